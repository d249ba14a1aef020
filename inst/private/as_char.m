%AS_CHAR  A string scalar as a char row; any other value as it is.
%
%  VALUE = as_char(VALUE)
%
%  In MATLAB "rbf" is a string scalar, not a char row. The helpers read names, kernel types
%  and text options as char, so they pass each through this first. A string array of another
%  size, or a missing string, stays as it is, and is refused where text is expected.

function value = as_char (value)
  if isa(value, 'string') && isscalar(value) && ~ismissing(value)
    value = char(value);
  end
end
