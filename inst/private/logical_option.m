%LOGICAL_OPTION  A true-or-false option's value as a logical, or zelmor:badOption naming it.
%
%  VALUE = logical_option(VALUE, NAME)

function value = logical_option (value, name)
  if ~(islogical(value) || isnumeric(value)) || ~isscalar(value) || ~(value == 0 || value == 1)
    error('zelmor:badOption', '%s must be true or false', name);
  end
  value = logical(value);
end
