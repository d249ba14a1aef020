%ZELMOR_ENGINE  The engine behind the zelmor_* helpers (not for direct use).
%
%  The helpers zelmor_kernel, zelmor_path, zelmor_crossval, zelmor_train,
%  zelmor_submit, zelmor_task and zelmor_collect check their inputs and call
%  this MEX function for the work: kernels from features, paths over beta,
%  cross-validation on threads (whole, or some of its units), the choice and
%  the final fit, and checksums of the files a cluster search shares. Call
%  those instead; its inputs are theirs, converted, and may change between
%  versions.
%
%  See also ZELMOR_TRAIN, ZELMOR_SUBMIT, ZELMOR_CROSSVAL, ZELMOR_PATH, ZELMOR_KERNEL.
