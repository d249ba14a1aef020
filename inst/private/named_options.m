%NAMED_OPTIONS  Name, value pairs of the zelmor helpers, checked against their defaults.
%
%  VALUES = named_options(OPTIONS, DEFAULTS)
%
%  OPTIONS is a cell of name, value pairs; DEFAULTS a struct whose field names are the options
%  the caller takes, spelt as its help spells them ('MaxRestarts'). VALUES has the same
%  fields in lower case ('maxrestarts'): each value given replaces its default, checked by
%  checked_option; names match in any case. Names and values that are string scalars count
%  as char. A name not in DEFAULTS (the message lists those
%  that are), a name that is not text, or an odd number of cells raises zelmor:badOption.

function values = named_options (options, defaults)
  names = fieldnames(defaults);
  values = struct();
  for i = 1:numel(names)
    values.(lower(names{i})) = defaults.(names{i});
  end
  if mod(numel(options), 2) ~= 0
    error('zelmor:badOption', 'options come in name, value pairs');
  end
  for i = 1:2:numel(options)
    name = as_char(options{i});
    if ~ischar(name) || ~(isrow(name) || isempty(name))
      error('zelmor:badOption', 'option names must be text');
    end
    if ~any(strcmpi(name, names))
      error('zelmor:badOption', 'unknown option ''%s'' (the options are %s)', name, strjoin(names.', ', '));
    end
    key = lower(name);
    values.(key) = checked_option(key, as_char(options{i + 1}));
  end
end
