%HELLO  Add two 3-by-2 matrices, print the first and the sum, and return the sum.
%
%  S = hello(A, B)
%
%  Inputs (real, non-sparse, 2-D double):
%    A, B    at least six values each; the first six, in column-major order,
%            are read as a 3-by-2 matrix and the rest are ignored.
%
%  Output:
%    S       3-by-2 matrix A + B.
%
%  Prints A, then S, one row per line, each number as "%f " (six decimals and
%  one blank).
%
%  Errors (identifiers): zelmor:nargin, zelmor:nargout, zelmor:notRealDouble,
%    zelmor:badInput (fewer than six values), zelmor:internal.
%
%  Example:
%    S = hello([1 4; 2 5; 3 6], ones(3, 2))
