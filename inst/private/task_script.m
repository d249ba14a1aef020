%TASK_SCRIPT  Writes the batch script that runs zelmor_task in octave-cli on a node.
%
%  task_script(FOLDER, KIND)
%
%  KIND is 'tasks' for the array's tasks (FOLDER/task.sh: the task is Slurm's array index)
%  or 'fit' for the final fit (FOLDER/fit.sh). The script names FOLDER as it is now, so it is
%  written again before every submission, by rename (a task starting meanwhile reads the old
%  script or the new one, whole). It reaches the zelmor functions and the MEX file by the
%  folders they have on this machine, which the nodes must share.

function task_script (folder, kind)
  paths = unique({fileparts(mfilename('fullpath')), fileparts(which('zelmor_engine'))});
  paths = regexprep(paths, '[\\/]private$', '');
  argument = '''fit''';
  file = 'fit.sh';
  if strcmp(kind, 'tasks')
    argument = 'str2double(getenv(''SLURM_ARRAY_TASK_ID''))';
    file = 'task.sh';
  end
  code = sprintf('addpath(getenv(''ZELMOR_PATH'')); zelmor_task(getenv(''ZELMOR_FOLDER''), %s)', argument);
  lines = {
    '#!/bin/sh'
    '# A task of a zelmor_submit search: zelmor_task in octave-cli, on this node.'
    ['export ZELMOR_FOLDER=', shell_quote(folder)]
    ['export ZELMOR_PATH=', shell_quote(strjoin(unique(paths), pathsep))]
    ['exec octave-cli -q -f --no-history --no-window-system --eval ', shell_quote(code)]
  };
  save_atomically(fullfile(folder, file), sprintf('%s\n', lines{:}));
end
