%HELPER_OPTIONS  A helper's name, value pairs, checked against the options it takes (option_table).
%
%  [VALUES, GIVEN] = helper_options(HELPER, PAIRS)
%
%  HELPER is the helper's name ('zelmor_train'); PAIRS a cell of name, value pairs. VALUES has
%  one field per option HELPER takes (the table's field, 'maxRestarts'): the value given,
%  checked by the table's check, or else the default. GIVEN lists the fields given, in order.
%  Names match in any case; names and values that are string scalars count as char; a name
%  given twice takes its last value. A name HELPER does not take (the message lists those it
%  does), a name that is not text, or an odd number of cells raises zelmor:badOption.

function [values, given] = helper_options (helper, pairs)
  entries = option_table();
  mine = entries(cellfun(@(helpers) any(strcmp(helpers, helper)), {entries.helpers}));
  values = struct();
  for o = 1:numel(mine)
    values.(mine(o).field) = mine(o).default;
  end
  given = {};
  if mod(numel(pairs), 2) ~= 0
    error('zelmor:badOption', 'options come in name, value pairs');
  end
  for i = 1:2:numel(pairs)
    name = as_char(pairs{i});
    if ~ischar(name) || ~(isrow(name) || isempty(name))
      error('zelmor:badOption', 'option names must be text');
    end
    match = find(strcmpi(name, {mine.name}), 1);
    if isempty(match)
      error('zelmor:badOption', 'unknown option ''%s'' (the options are %s)', name, strjoin({mine.name}, ', '));
    end
    check = mine(match).check;
    values.(mine(match).field) = check(as_char(pairs{i + 1}));
    given{end + 1} = mine(match).field;
  end
end
