%CHECKED_OPTION  The value of an option the zelmor helpers share, checked.
%
%  VALUE = checked_option(NAME, VALUE)
%
%  NAME is the option's name in lower case:
%    'maxrestarts'  a non-negative integer
%    'workers'      a positive integer
%    'threads'      a positive integer
%  (each at most 1e15, the largest count the engine takes: Inf is no count)
%    'parallel'     'auto', 'serial', 'pararrayfun' or 'parfor' (returned in lower case)
%    'verbose'      true, false or 'auto'
%    'warn'         true or false
%    'cachesize'    a positive number of megabytes
%  A value of the wrong kind raises zelmor:badOption naming the option.

function value = checked_option (name, value)
  switch name
    case 'maxrestarts'
      value = count(value, 0, 'MaxRestarts', 'a non-negative integer');
    case {'workers', 'threads'}
      value = count(value, 1, [upper(name(1)), name(2:end)], 'a positive integer');
    case 'parallel'
      choices = {'auto', 'serial', 'pararrayfun', 'parfor'};
      if ~ischar(value) || ~any(strcmpi(value, choices))
        error('zelmor:badOption', 'Parallel must be ''auto'', ''serial'', ''pararrayfun'' or ''parfor''');
      end
      value = lower(value);
    case 'verbose'
      if ischar(value) && strcmpi(value, 'auto')
        value = 'auto';
      elseif (islogical(value) || isnumeric(value)) && isscalar(value) && (value == 0 || value == 1)
        value = logical(value);
      else
        error('zelmor:badOption', 'Verbose must be true, false or ''auto''');
      end
    case 'cachesize'
      if ~isnumeric(value) || ~isreal(value) || ~isscalar(value) || ~(value > 0) || ~(value <= 1e9)
        error('zelmor:badOption', ['CacheSize must be a positive number of megabytes (the kernel columns ' ...
              'each solve keeps; at most 1e9)']);
      end
      value = double(value);
    case 'warn'
      if ~(islogical(value) || isnumeric(value)) || ~isscalar(value) || ~(value == 0 || value == 1)
        error('zelmor:badOption', 'Warn must be true or false');
      end
      value = logical(value);
  end
end

function value = count (value, least, name, what)
  if ~isnumeric(value) || ~isreal(value) || ~isscalar(value) || ~(value >= least) || value ~= fix(value) ...
      || ~(value <= 1e15)
    shown = sprintf('a %s of size %s', class(value), mat2str(size(value)));
    if isnumeric(value) && isreal(value) && isscalar(value)
      shown = sprintf('%g', value);
    end
    error('zelmor:badOption', '%s must be %s (got %s)', name, what, shown);
  end
  value = double(value);
end
