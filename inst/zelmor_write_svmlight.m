%ZELMOR_WRITE_SVMLIGHT  Write labels and features to a LIBSVM (svmlight) file.
%
%  zelmor_write_svmlight(FILE, Y, X)
%
%  Writes one line per example, LABEL INDEX:VALUE INDEX:VALUE ..., with
%  1-based indices in increasing order and the zeros of X left out, as LIBSVM
%  and scikit-learn read it. zelmor_read_svmlight reads the file back to the
%  same bits: every value is written with the fewest significant digits, 15,
%  16 or 17, that read back as the same double, and a label that is a whole
%  number is written with all its digits (3, not 3.0; 100000000000000000, not
%  1e+17). A zero is not written, so -0 in X comes back as +0; labels keep
%  their sign, -0 included. Inf and NaN are written as inf and nan (a NaN
%  comes back as NaN, without its payload). An existing FILE is replaced;
%  when writing fails, the partly written file is removed. The writer is
%  C++ (a MEX function).
%
%  Inputs:
%    FILE   the file's name, a char row or string scalar.
%    Y      N numeric or logical labels (a vector, or empty for N = 0).
%    X      N-by-D real numeric or logical matrix, dense or sparse; D at most
%           2147483647.
%
%  Errors (identifiers): zelmor:nargin, zelmor:badFileName, zelmor:badLabels
%    (labels that are not numbers), zelmor:badExamples, zelmor:sizeMismatch,
%    zelmor:fileNotWritable, zelmor:outOfMemory.
%
%  Example:
%    X = sparse([1 0 2.5; 0 -1 0]);
%    zelmor_write_svmlight('two.txt', [1; 2], X)   % "1 1:1 3:2.5" and "2 2:-1"
%    [y, Xback] = zelmor_read_svmlight('two.txt');
%    isequal(Xback, X)                             % true
%
%  See also ZELMOR_READ_SVMLIGHT.

function zelmor_write_svmlight (file, y, X)
  if nargin ~= 3
    error('zelmor:nargin', 'zelmor_write_svmlight takes 3 inputs, FILE, Y and X (got %d)', nargin);
  end
  file = svmlight_file_name(file);
  if ~(isnumeric(y) || islogical(y)) || ~isreal(y) || ~(isvector(y) || isempty(y))
    error('zelmor:badLabels', ['Y must be a vector of numbers: LIBSVM files hold numeric labels (turn ' ...
                               'others into numbers first, for example [classes, ~, y] = unique(labels))']);
  end
  if ~(isnumeric(X) || islogical(X)) || ~isreal(X) || ndims(X) ~= 2
    error('zelmor:badExamples', 'X must be a real numeric or logical matrix, dense or sparse (got a %s)', class(X));
  end
  if size(X, 1) ~= numel(y)
    error('zelmor:sizeMismatch', 'X has %d rows for %d labels: one row per label', size(X, 1), numel(y));
  end
  zelmor_svmlight('write', file, double(full(y(:))), double(X));
end

%!shared folder
%! folder = tempname();
%! mkdir(folder);

%!test
%! % Integral labels as integers, zeros left out, the shortest digits that give back the bits.
%! file = fullfile(folder, 'written.txt');
%! zelmor_write_svmlight(file, [3; -1; 1e17], [0.1 0 -2; 0 0 0; 0 0.1 + 0.2 -0]);
%! expected = sprintf('3 1:0.1 3:-2\n-1\n100000000000000000 2:0.30000000000000004\n');
%! assert(fileread(file), expected);

%!test
%! % Dense and sparse X, logical and single inputs: the same file.
%! a = fullfile(folder, 'dense.txt');
%! b = fullfile(folder, 'sparse.txt');
%! X = [1 0; 0 1; 1 1];
%! zelmor_write_svmlight(a, int8([1 2 3]), single(X));
%! zelmor_write_svmlight(b, [1 2 3], sparse(logical(X)));
%! assert(fileread(a), fileread(b));

%!error id=zelmor:nargin zelmor_write_svmlight('x.txt', 1)
%!error id=zelmor:badLabels zelmor_write_svmlight('x.txt', {'a'}, 1)
%!error id=zelmor:badExamples zelmor_write_svmlight('x.txt', 1, 'a')
%!error id=zelmor:badExamples zelmor_write_svmlight('x.txt', 1, 1i)
%!error id=zelmor:sizeMismatch zelmor_write_svmlight('x.txt', [1 2], 1)
%!error id=zelmor:fileNotWritable zelmor_write_svmlight(fullfile(tempdir(), 'no such folder', 'x.txt'), 1, 1)
%!error id=zelmor:fileNotWritable zelmor_write_svmlight('/dev/full', 1, 1)

%!test
%! confirm_recursive_rmdir(false, 'local');
%! rmdir(folder, 's');
