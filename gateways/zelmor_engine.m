%ZELMOR_ENGINE  The engine behind the zelmor_* helpers (not for direct use).
%
%  The helpers zelmor_kernel, zelmor_path, zelmor_crossval and zelmor_train
%  check their inputs and call this MEX function for the work: kernels from
%  features, paths over beta, and cross-validation on threads. Call those
%  instead; its inputs are theirs, converted, and may change between versions.
%
%  See also ZELMOR_TRAIN, ZELMOR_CROSSVAL, ZELMOR_PATH, ZELMOR_KERNEL.
