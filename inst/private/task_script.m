%TASK_SCRIPT  Writes the batch script that runs zelmor_task in octave-cli on a node.
%
%  task_script(FILE, FOLDER, WHAT)
%
%  WHAT is the zelmor_task argument as Octave code: 'str2double(getenv(''SLURM_ARRAY_TASK_ID''))'
%  for the array's tasks, '''fit''' for the final fit. The script reaches the zelmor functions
%  and the MEX file by the folders they have on this machine, which the nodes must share.

function task_script (file, folder, what)
  paths = unique({fileparts(mfilename('fullpath')), fileparts(which('zelmor_engine'))});
  paths = regexprep(paths, '[\\/]private$', '');
  code = sprintf('addpath(getenv(''ZELMOR_PATH'')); zelmor_task(getenv(''ZELMOR_FOLDER''), %s)', what);
  lines = {
    '#!/bin/sh'
    '# A task of a zelmor_submit search: zelmor_task in octave-cli, on this node.'
    ['export ZELMOR_FOLDER=', shell_quote(folder)]
    ['export ZELMOR_PATH=', shell_quote(strjoin(unique(paths), pathsep))]
    ['exec octave-cli -q -f --no-history --no-window-system --eval ', shell_quote(code)]
  };
  handle = fopen(file, 'w');
  if handle < 0
    error('zelmor:folderNotWritable', 'cannot write %s', file);
  end
  fprintf(handle, '%s\n', lines{:});
  fclose(handle);
end
