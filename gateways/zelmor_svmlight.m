%ZELMOR_SVMLIGHT  The LIBSVM-format reader and writer behind two helpers (not for direct use).
%
%  zelmor_read_svmlight and zelmor_write_svmlight check their inputs and call
%  this MEX function to read or write the file. Call those instead; its inputs
%  are theirs, converted, and may change between versions.
%
%  See also ZELMOR_READ_SVMLIGHT, ZELMOR_WRITE_SVMLIGHT.
