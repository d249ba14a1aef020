%LOAD_PLAIN  The variables of a MAT file of a search's folder, when they are plain data.
%
%  [CONTENTS, WHY] = load_plain(FILE)
%
%  FILE is read as a MAT file only, never as Octave text (which can hold a function that
%  indexing would call), and its contents are checked to hold plain data (foreign_content)
%  before any of it is used. WHY is '' when they are, else why not: 'it cannot be read (...)'
%  or 'the file.a.b, a function_handle, is not plain data'; CONTENTS is then an empty struct.

function [contents, why] = load_plain (file)
  contents = struct();
  why = '';
  try
    loaded = load(file, '-mat');
  catch failure
    why = sprintf('it cannot be read (%s)', failure.message);
    return
  end
  foreign = foreign_content(loaded, 'the file');
  if ~isempty(foreign)
    why = sprintf('%s is not plain data', foreign);
    return
  end
  contents = loaded;
end
