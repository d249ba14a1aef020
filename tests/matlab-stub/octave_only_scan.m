%OCTAVE_ONLY_SCAN  Find what MATLAB would not run in code that both hosts run.
%
%  [COUNT, LINES] = octave_only_scan(FILES, SYNTAXFILES)
%
%  Prints FILE:LINE: what, why for every Octave-only token in the code of FILES (syntax and
%  functions) and of SYNTAXFILES (syntax only: files that call Octave's functions behind a
%  check for Octave, such as make_mex.m), and returns how many it found and the line number
%  of each finding. Lines of %! blocks
%  are skipped: they are Octave's tests, and comments to MATLAB. Strings and comments are
%  taken out before the search, so a token inside them counts for nothing.

function [count, lineNumbers] = octave_only_scan (files, syntaxFiles)
  % The tokens, each with the reason MATLAB cannot take it. Left out on purpose: names that
  % MATLAB has too (inputname, validatestring, strjoin, ...), and Octave's constants e, I, J
  % and NaN-like names that a helper may use as variable names (catch e), which a scan by
  % name cannot tell from the constants.
  syntax = {
    '#',                'a # comment or #{ block: MATLAB comments start with %'
    '!',                'Octave''s ! and !=: MATLAB writes ~ and ~='
    '\+\+|--(?=\s*[;,)\]]|\s*$)', 'increment or decrement: MATLAB has neither'
    '[-+*/^]=(?!=)',    'compound assignment (+=, -=, *=, /=, ^=): MATLAB has none'
    '\*\*',             'power written **: MATLAB writes ^'
    '\\\s*$',           'a line continued with \: MATLAB continues with ...'
    '(?<![\w.])(endif|endfor|endparfor|endwhile|endfunction|endswitch|end_try_catch|end_unwind_protect|unwind_protect|unwind_protect_cleanup|until)(?!\w)', ...
                        'Octave''s block keywords: MATLAB ends every block with end, and has no unwind_protect or do-until'
    '^\s*do\s*$',       'a do-until loop: MATLAB has none'
    '[)\]]\(',          'indexing the result of a call or bracket: MATLAB cannot, without a variable between'
  };
  functions = {
    'printf|puts|fputs|fdisp',             'Octave''s printing: MATLAB has fprintf and disp'
    'fflush|stdout|stderr',                'Octave''s streams: MATLAB writes fprintf(1, ...) and fprintf(2, ...)'
    'columns|rows',                        'Octave''s size(x, 2) and size(x, 1)'
    'isargout|nthargout|print_usage',      'Octave-only functions'
    'nproc',                               'Octave-only: MATLAB asks feature(''numcores'')'
    'NA|isna',                             'Octave''s missing value: MATLAB has NaN and ismissing'
    'isdigit',                             'Octave-only: MATLAB writes isstrprop(s, ''digit'')'
    'mkoctfile|OCTAVE_HOME|OCTAVE_VERSION|octave_config_info', 'Octave''s own: call only behind a check for Octave'
    '__\w+__',                             'Octave''s internal functions'
  };
  % A name counts where it is not part of a longer name or a field (s.rows).
  functions(:, 1) = strcat('(?<![\w.])(', functions(:, 1), ')(?!\w)');
  doubleQuoted = 'a double-quoted string: a string object in MATLAB, not char, and its \ escapes are not read';

  lineNumbers = [];
  for f = 1:numel(files) + numel(syntaxFiles)
    if f <= numel(files)
      file = files{f};
      tokens = [syntax; functions];
    else
      file = syntaxFiles{f - numel(files)};
      tokens = syntax;
    end
    lines = regexp(fileread(file), '\r?\n', 'split');
    inBlockComment = false;
    for l = 1:numel(lines)
      line = lines{l};
      trimmed = strtrim(line);
      if strncmp(trimmed, '%!', 2)
        continue;
      end
      if strcmp(trimmed, '%{')
        inBlockComment = true;
      end
      if inBlockComment
        inBlockComment = ~strcmp(trimmed, '%}');
        continue;
      end
      [code, quoted] = codeOf(line);
      found = {};
      if quoted
        found{end + 1} = doubleQuoted;
      end
      for t = 1:size(tokens, 1)
        if ~isempty(regexp(code, tokens{t, 1}, 'once'))
          found{end + 1} = tokens{t, 2};
        end
      end
      for k = 1:numel(found)
        fprintf('%s:%d: %s\n    %s\n', file, l, found{k}, trimmed);
      end
      lineNumbers(end + 1:end + numel(found)) = l;
    end
  end
  count = numel(lineNumbers);
end

% The line without its comment and with every string replaced by S. QUOTED tells whether a
% double-quoted string was among them. A quote starts a string unless it follows a name, a
% number, a closing bracket, a dot or another quote directly: then it transposes.
function [code, quoted] = codeOf (line)
  code = '';
  quoted = false;
  i = 1;
  n = numel(line);
  while i <= n
    c = line(i);
    if c == '%' || (c == '.' && i + 2 <= n && strcmp(line(i:i + 2), '...'))
      break;
    elseif c == '"' || (c == '''' && ~(i > 1 && ~isempty(regexp(line(i - 1), '[\w)\]}.''"]', 'once'))))
      quoted = quoted || c == '"';
      i = endOfString(line, i);
      code(end + 1) = 'S';
    else
      code(end + 1) = c;
    end
    i = i + 1;
  end
  % An anonymous function's parameters are followed by its body, as in @(x) (x + 1).
  code = regexprep(code, '@\s*\([^)]*\)', '@ ');
end

% Where the string that opens at START ends; a doubled quote stands for one inside it.
function i = endOfString (line, start)
  quote = line(start);
  i = start + 1;
  while i <= numel(line)
    if line(i) == quote
      if i < numel(line) && line(i + 1) == quote
        i = i + 2;
        continue;
      end
      return;
    end
    i = i + 1;
  end
end
