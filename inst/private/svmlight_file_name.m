%SVMLIGHT_FILE_NAME  The FILE input of the LIBSVM-format helpers, checked, as a char row.
%
%  FILE = svmlight_file_name(FILE)
%
%  A char row or string scalar, not empty. A NUL character would end the name early in C and
%  name another file, so it is refused too (zelmor:badFileName).

function file = svmlight_file_name (file)
  file = as_char(file);
  if ~ischar(file) || isempty(file) || size(file, 1) ~= 1 || any(file == char(0))
    error('zelmor:badFileName', 'FILE must be a file name: a char row or string scalar, not empty');
  end
end
