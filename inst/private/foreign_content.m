%FOREIGN_CONTENT  Where a value read from a file holds more than plain data, or ''.
%
%  WHERE = foreign_content(VALUE, NAME)
%
%  Plain data is real numeric, char and logical arrays, and structs and cells of them (and,
%  in MATLAB, string and categorical arrays, as labels are). Anything else (a function
%  handle, an object) can run code when it is indexed or displayed, so a file's contents are
%  checked with this before any of them is used. WHERE names the first such part, as
%  'NAME.plan.settings(2).gamma, a function_handle'.

function where = foreign_content (value, name)
  where = '';
  if isstruct(value)
    fields = fieldnames(value);
    for e = 1:numel(value)
      for f = 1:numel(fields)
        where = foreign_content(value(e).(fields{f}), sprintf('%s%s.%s', name, element(value, e), fields{f}));
        if ~isempty(where)
          return
        end
      end
    end
  elseif iscell(value)
    for e = 1:numel(value)
      where = foreign_content(value{e}, sprintf('%s{%d}', name, e));
      if ~isempty(where)
        return
      end
    end
  elseif ~((isnumeric(value) && isreal(value)) || ischar(value) || islogical(value) ...
           || isa(value, 'string') || isa(value, 'categorical'))
    where = sprintf('%s, a %s', name, class(value));
  end
end

function text = element (value, e)
  text = '';
  if ~isscalar(value)
    text = sprintf('(%d)', e);
  end
end
