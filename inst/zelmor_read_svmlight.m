%ZELMOR_READ_SVMLIGHT  Read labels and features from a LIBSVM (svmlight) file, plain or gzip.
%
%  [Y, X] = zelmor_read_svmlight(FILE)
%  [Y, X] = zelmor_read_svmlight(FILE, 'Features', D)
%
%  Reads the text format that LIBSVM and scikit-learn read and in which most
%  public SVM benchmarks are distributed: one example a line,
%
%    LABEL INDEX:VALUE INDEX:VALUE ...    # a comment
%
%  with feature indices from 1 and increasing along each line; a feature that
%  a line does not list is zero. Blank lines and # comments (a whole line or
%  the end of one) are skipped, and so are qid:NUMBER pairs (ranking queries),
%  with one warning for the file (zelmor:svmlightQid). Fields are separated by
%  blanks or tabs; lines end in LF or CR LF, and the last line needs no
%  newline. A gzip-compressed file is read as well: its first two bytes tell,
%  not its name. Numbers are read as C's strtod reads them in the "C" locale
%  (3, -0.25, 1e-5, 0x1p-3, inf, nan), each to the nearest double, so a file
%  from zelmor_write_svmlight gives back the same bits; a subnormal stays
%  subnormal, but a finite number beyond the largest double, such as 1e400,
%  is an error, not Inf.
%
%  The reader is C++ (a MEX function); Ctrl-C stops it within a MiB of text.
%  Nothing is returned unless the whole file was read: a malformed line, or
%  gzip data that are corrupt or cut short, is an error.
%
%  Input:
%    FILE   the file's name, a char row or string scalar.
%
%  Option:
%    'Features'  D, the number of columns of X, an integer from 0 to
%                2147483647; a larger index in the file is an error
%                (zelmor:featureMismatch), never dropped. Read a test file with
%                its training file's width this way. [] (the default): the
%                largest index in the file.
%
%  Outputs:
%    Y   N-by-1 double labels, one per example, in the file's order.
%    X   N-by-D sparse double features. Zeros in the file (0 and -0 alike)
%        are not stored, so a -0 comes back as +0.
%
%  Errors (identifiers): zelmor:nargin, zelmor:badFileName, zelmor:badOption,
%    zelmor:fileNotFound, zelmor:notAFile (a folder, or no regular file),
%    zelmor:fileNotReadable, zelmor:badSvmlightFile (its message gives the
%    line number and what was expected there: a label that is not a number,
%    something other than INDEX:VALUE after it, index 0 or above 2147483647,
%    indices that do not increase, a value that is not a number or is beyond
%    the range of a double, a label or pair longer than 4096 characters; or
%    gzip data that are corrupt or end early), zelmor:featureMismatch,
%    zelmor:outOfMemory.
%
%  Example:
%    [y, X] = zelmor_read_svmlight('satimage.scale');
%    [ytest, Xtest] = zelmor_read_svmlight('satimage.scale.t.gz', 'Features', size(X, 2));
%    model = zelmor_train(X, y);                      % X as it is, sparse
%    accuracy = mean(zelmor_predict(model, Xtest) == ytest)
%
%  See also ZELMOR_WRITE_SVMLIGHT, ZELMOR_TRAIN.

function [y, X] = zelmor_read_svmlight (file, varargin)
  if nargin < 1
    error('zelmor:nargin', 'zelmor_read_svmlight takes FILE, then options (got no input)');
  end
  file = svmlight_file_name(file);
  options = helper_options('zelmor_read_svmlight', varargin);
  width = -1;
  if ~isempty(options.features)
    width = options.features;
  end
  [y, X, qidLine] = zelmor_svmlight('read', file, width);
  if qidLine > 0
    warning('zelmor:svmlightQid', '%s: qid: pairs are ignored (the first is on line %d)', file, qidLine);
  end
end

%!shared folder
%! folder = tempname();
%! mkdir(folder);

%!test
%! % Comments, a blank line, CR LF, a tab and a last line without its newline.
%! file = fullfile(folder, 'small.txt');
%! fid = fopen(file, 'w');
%! fprintf(fid, '# two examples\n1 1:0.5 3:-2\r\n\n-1\t2:4 # the second\n3 3:1e-3');
%! fclose(fid);
%! [y, X] = zelmor_read_svmlight(file);
%! assert(y, [1; -1; 3]);
%! assert(issparse(X) && isa(X, 'double'));
%! assert(full(X), [0.5 0 -2; 0 4 0; 0 0 1e-3]);
%! [~, X] = zelmor_read_svmlight(file, 'Features', 5);
%! assert(size(X), [3 5]);

%!test
%! % gzip is told by the first bytes: the same text compressed, under a name without .gz.
%! file = fullfile(folder, 'compressed.txt');
%! fid = fopen(file, 'w');
%! fprintf(fid, '%d 2:%d 7:0.25\n', [1:300; 301:600]);
%! fclose(fid);
%! [y, X] = zelmor_read_svmlight(file);
%! % The gzip program itself: Octave's gzip function leaks a little, which the sanitizers' run reports.
%! assert(system(sprintf('gzip -n "%s"', file)) == 0);
%! movefile([file '.gz'], fullfile(folder, 'compressed.dat'));
%! [yz, Xz] = zelmor_read_svmlight(fullfile(folder, 'compressed.dat'));
%! assert(isequal(y, yz, (1:300).') && isequal(X, Xz) && size(X, 2) == 7);

%!test
%! % qid: pairs are skipped, with a warning that names the first line holding one.
%! file = fullfile(folder, 'ranking.txt');
%! fid = fopen(file, 'w');
%! fprintf(fid, '2 1:1\n1 qid:1 1:0.5\n3 qid:2 2:1\n');
%! fclose(fid);
%! warning('on', 'zelmor:svmlightQid', 'local');
%! lastwarn('');
%! [y, X] = zelmor_read_svmlight(file);
%! [message, id] = lastwarn();
%! assert(id, 'zelmor:svmlightQid');
%! assert(~isempty(strfind(message, 'line 2')));
%! assert(y, [2; 1; 3]);
%! assert(full(X), [1 0; 0.5 0; 0 1]);

%!error id=zelmor:nargin zelmor_read_svmlight()
%!error id=zelmor:badFileName zelmor_read_svmlight('')
%!error id=zelmor:badFileName zelmor_read_svmlight(3)
%!error id=zelmor:badOption zelmor_read_svmlight('x.txt', 'Features', -1)
%!error id=zelmor:badOption zelmor_read_svmlight('x.txt', 'Features', 2.5)
%!error id=zelmor:badOption zelmor_read_svmlight('x.txt', 'Width', 3)
%!error id=zelmor:fileNotFound zelmor_read_svmlight(fullfile(tempdir(), 'no such folder', 'train.txt'))
%!error id=zelmor:notAFile zelmor_read_svmlight(tempdir())

%!test
%! confirm_recursive_rmdir(false, 'local');
%! rmdir(folder, 's');
