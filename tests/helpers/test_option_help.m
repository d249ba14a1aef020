% Every helper's help lists exactly the options the table gives it (inst/private/option_table.m),
% each with the table's text, and every option it takes is listed there or, for zelmor_submit,
% in zelmor_train's help; a default the text names as a number is the table's default. On a
% difference it prints the block the help should hold.
function test_option_help (root)
  here = pwd ();
  cd (fullfile (fileparts (which ("zelmor_train")), "private"));
  table = option_table ();
  cd (here);
  helpers = {"zelmor_train", "zelmor_submit", "zelmor_crossval", "zelmor_path", "zelmor_collect", ...
             "zelmor_read_svmlight"};
  names = {table.name};
  assert (all (cellfun (@(h) all (ismember (h, helpers)), {table.helpers})), "an option names an unknown helper");
  listedIn = struct ();
  for h = helpers
    helper = h{1};
    listed = helpOptions (fullfile (root, "inst", [helper ".m"]));
    [expectedNames, expectedTexts] = deal ({});
    takes = {};
    for o = 1:numel (table)
      if any (strcmp (table(o).helpers, helper))
        takes{end + 1} = table(o).name;
      end
      for r = 1:rows (table(o).help)
        if any (strcmp (table(o).help{r, 1}, helper))
          expectedNames{end + 1} = table(o).name;
          expectedTexts{end + 1} = normalised (table(o).help{r, 2});
        end
      end
    end
    if ! isequal (listed(:, 1).', expectedNames) || ! isequal (listed(:, 2).', expectedTexts)
      printf ("%s: its help should list, in this order:\n", helper);
      for o = 1:numel (expectedNames)
        printf ("%s", formatted (expectedNames{o}, expectedTexts{o}, max (cellfun (@numel, expectedNames))));
      end
      for o = 1:min (numel (expectedNames), rows (listed))
        if ! strcmp (listed{o, 2}, expectedTexts{o})
          printf ("first difference at '%s':\n  help:  %s\n  table: %s\n", expectedNames{o}, listed{o, 2}, ...
                  expectedTexts{o});
          break
        end
      end
      error ("test:optionHelp", "%s: the options of its help are not the table's", helper);
    end
    assert (numel (unique (takes)) == numel (takes), "%s takes two options of one name", helper);
    listedIn.(helper) = expectedNames;
    unlisted = setdiff (takes, expectedNames);
    if strcmp (helper, "zelmor_submit")
      assert (isempty (setdiff (unlisted, listedIn.zelmor_train)), "zelmor_submit takes %s, listed nowhere", ...
              strjoin (setdiff (unlisted, listedIn.zelmor_train), ", "));
    else
      assert (isempty (unlisted), "%s takes %s without listing it", helper, strjoin (unlisted, ", "));
    end
  end
  % A default the help names as a number ("default 20") is the table's.
  for o = 1:numel (table)
    for r = 1:rows (table(o).help)
      said = regexp (table(o).help{r, 2}, "default (\\d+)", "tokens");
      for s = 1:numel (said)
        assert (isnumeric (table(o).default) && isscalar (table(o).default) ...
                && str2double (said{s}{1}) == table(o).default, "%s: its help says default %s", ...
                table(o).name, said{s}{1});
      end
    end
  end
  printf ("%d options, the helps of %d helpers agree with them\n", numel (unique (names)), numel (helpers));
end

% The options of a help: rows of name and text, the text's lines joined. An option starts at
% "%    'Name'"; the lines after it that are indented further go on with its text.
function listed = helpOptions (file)
  lines = strsplit (fileread (file), "\n");
  listed = cell (0, 2);
  inOption = false;
  for l = 1:numel (lines)
    line = lines{l};
    if isempty (line) || line(1) != "%"
      break
    end
    start = regexp (line, "^%    '([A-Za-z]+)'\\s+(.*)$", "tokens", "once");
    if ! isempty (start)
      listed(end + 1, :) = start;
      inOption = true;
    elseif inOption && ! isempty (regexp (line, "^%     +\\S", "once"))
      listed{end, 2} = [listed{end, 2}, " ", strtrim(line(2:end))];
    else
      inOption = false;
    end
  end
  listed(:, 2) = cellfun (@normalised, listed(:, 2), "UniformOutput", false);
end

function text = normalised (text)
  text = strtrim (regexprep (text, "\\s+", " "));
end

% The lines of a help that list NAME with TEXT, wrapped at 79 characters, the texts of the
% options of names up to WIDEST characters starting in one column.
function block = formatted (name, text, widest)
  column = 5 + widest + 4;
  quoted = ["'" name "'"];
  lines = {["%    ", quoted, blanks(widest + 4 - numel (quoted))]};
  for w = strsplit (text, " ")
    if numel (lines{end}) + 1 + numel (w{1}) > 79 && numel (lines{end}) > column
      lines{end + 1} = ["%", blanks(column - 1)];
    end
    if numel (lines{end}) == column
      lines{end} = [lines{end}, w{1}];
    else
      lines{end} = [lines{end}, " ", w{1}];
    end
  end
  block = sprintf ("%s\n", lines{:});
end
