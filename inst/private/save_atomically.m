%SAVE_ATOMICALLY  Writes a record of a search's folder whole or not at all.
%
%  save_atomically(FILE, DATA)
%
%  DATA is a struct, whose fields become the variables of a MAT file that Octave and MATLAB
%  read (-v7), or a char row, written as the text of FILE. The file is written under a
%  temporary name beside FILE, then renamed to FILE: a reader on any machine finds the old
%  file, the new one or none, never a part. A failure raises zelmor:folderNotWritable.

function save_atomically (file, data)
  folder = fileparts(file);
  % tempname's random part keeps apart two writers of one file on different machines.
  temporary = [tempname(folder), '.partial.mat'];
  try
    if ischar(data)
      writeText(temporary, data);
    else
      save(temporary, '-v7', '-struct', 'data');
    end
  catch failure
    if exist(temporary, 'file')
      delete(temporary);
    end
    error('zelmor:folderNotWritable', 'cannot write %s: %s', file, failure.message);
  end
  if exist('OCTAVE_VERSION', 'builtin') ~= 0
    [status, message] = rename(temporary, file);
    moved = status == 0;
  else
    [moved, message] = movefile(temporary, file, 'f');
  end
  if ~moved
    delete(temporary);
    error('zelmor:folderNotWritable', 'cannot rename a file to %s: %s', file, message);
  end
end

function writeText (file, text)
  handle = fopen(file, 'w');
  if handle < 0
    error('zelmor:folderNotWritable', 'cannot create %s', file);
  end
  fprintf(handle, '%s', text);
  if fclose(handle) ~= 0
    error('zelmor:folderNotWritable', 'cannot write all of %s', file);
  end
end
