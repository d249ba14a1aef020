%ZELMOR_SUBMIT  Send zelmor_train's grid search to a Slurm cluster as one job array.
%
%  JOB = zelmor_submit(X, Y, 'Folder', FOLDER)
%  JOB = zelmor_submit(X, Y, 'Folder', FOLDER, NAME, VALUE, ...)
%
%  Takes the inputs and options of zelmor_train and splits its cross-validation
%  into units, one per (kernel parameter, fold). It writes the problem once
%  into FOLDER and submits one `sbatch --array` job: each task runs octave-cli
%  on its share of the units (zelmor_task), computes their kernels from the
%  features on its node (no kernel is ever written to a file) and writes each
%  unit's result into FOLDER as soon as it is done. It returns at once.
%  zelmor_collect(JOB) then waits for the units, puts them together, chooses
%  and fits: the model is zelmor_train(X, Y, ...)'s, bit for bit (but for its
%  times). Cancel the job with `scancel JOBID` (JOB.id).
%
%  Inputs: X (full or sparse), Y and the options of zelmor_train ('Kernel',
%  'Gamma', 'C', 'Folds', 'Seed', 'Standardize', 'MaxRestarts', ...), and:
%    'Folder'   (required) the search's folder: created when missing; the
%               submitting machine and every node must reach it at the same
%               path (a relative name is taken from the current folder, a
%               leading ~ from HOME; no backslash, which Slurm reads in log
%               names). It must not hold another search. Whoever can write it
%               can run commands as you, through task.sh: let no one else.
%    'Tasks'    how many array tasks; default one per kernel parameter (7 with
%               the default rbf grid), at most one per unit. The units are
%               dealt out in turn: task t runs units t, t + Tasks, ...
%    'Sbatch'   further sbatch options, a cell of texts, each an option as
%               sbatch takes it: {'--partition=short', '--time=2:00:00',
%               '--mem=8G'}. They go with every submission of this search
%               (resubmissions and the final fit too).
%    'Threads'  the CPUs of each task (--cpus-per-task) and the engine's
%               threads there, which run that many units at once; default one.
%    'Verbose'  false: say nothing; otherwise a line on what was submitted.
%
%  FOLDER holds:
%    problem.mat    the features as the engine sees them (standardised as
%                   zelmor_train does; a sparse X stays sparse, as -v7 keeps
%                   it), the class numbers, the search's plan
%                   and options, the units and their tasks, and a checksum
%    job.mat        the job: its id, the units, every submission
%    task.sh        the batch script of the tasks (fit.sh: of the final fit)
%    results/       unit-P-F.mat, the result of kernel setting P, fold F,
%                   written by its task under a temporary name and renamed,
%                   carrying the problem's checksum
%    logs/          task-JOB_TASK.log, the output of every task (fit-JOB.log)
%    model.mat      the model, once zelmor_collect (or the final fit) made it
%    lock/          while a session writes job.mat (made by mkdir, so only one
%                   session at a time: a second submission meanwhile is refused)
%  MAT files are written with -v7, which Octave and MATLAB both read; every file
%  is written under a temporary name and renamed, so a reader never sees a part.
%
%  Memory of a task: X, and per unit running at once its kernel cache
%  ('CacheSize') and its solver's state (see zelmor_train). Each task and the
%  final fit ask Slurm for what the engine estimates for them (--mem), with a
%  margin, unless 'Sbatch' holds a --mem option of the user's.
%
%  Output JOB, a struct (also in FOLDER/job.mat):
%    id        the job id (text)
%    folder    FOLDER as an absolute path
%    units     one row per unit: kernel setting (a row of model.grid), fold,
%              and the task that runs it
%    tasks     the number of tasks
%    attempts  every submission of tasks: id and task numbers
%    fit       the final-fit job, once zelmor_collect submitted one
%    sbatch, threads, submitted (as a serial date number)
%
%  Errors (identifiers): those of zelmor_train, and zelmor:badOption (no
%    'Folder', or one that is not a folder's name, a bad 'Tasks' or 'Sbatch'),
%    zelmor:nothingToSearch (a single grid cell, without 'Probability', true),
%    zelmor:folderNotWritable, zelmor:folderInUse (a search there, or another
%    session submitting to it),
%    zelmor:noSbatch (sbatch is not on the PATH), zelmor:submitRejected
%    (sbatch said no; its message is in the error's).
%
%  Example:
%    job = zelmor_submit(X, y, 'Folder', '/shared/me/letters', 'Tasks', 4, ...
%                        'Sbatch', {'--time=1:00:00'});
%    model = zelmor_collect(job);
%
%  See also ZELMOR_COLLECT, ZELMOR_TRAIN, ZELMOR_TASK.

function job = zelmor_submit (X, y, varargin)
  if nargin < 2
    error('zelmor:nargin', 'zelmor_submit takes at least 2 inputs (got %d)', nargin);
  end
  [options, given] = helper_options('zelmor_submit', varargin);
  if isempty(options.folder)
    error('zelmor:badOption', 'zelmor_submit needs ''Folder'': a folder every node of the cluster can reach');
  end
  problem = training_problem(X, y, options, given);
  if isempty(problem.plan.folds)
    error('zelmor:nothingToSearch', ['the grid holds a single cell: there is nothing to cross-validate on ' ...
                                     'a cluster (unless ''Probability'', true calibrates it); call zelmor_train']);
  end
  % The engine's units, (setting, fold) for every setting with a cell to try and every fold, in
  % the order it numbers them.
  units = zelmor_engine('units', problem.X, problem.index, problem.classCount, problem.plan.engine, []);
  settingsWithUnits = unique(units(:, 1));
  foldCount = max(problem.plan.folds);
  taskCount = options.tasks;
  if isempty(taskCount)
    taskCount = numel(settingsWithUnits);
  end
  taskCount = min(taskCount, size(units, 1));
  units(:, 3) = mod((0:size(units, 1) - 1).', taskCount) + 1;

  folder = options.folder;
  taskLog = log_option(folder, 'task-%A_%a.log');
  prepareFolder(folder);
  % From here until job.mat is written, this session alone may write the folder's records.
  release = folder_lock(folder, 0);
  if exist(fullfile(folder, 'job.mat'), 'file')
    error('zelmor:folderInUse', ['%s already holds a search (job.mat): collect it with zelmor_collect, or ' ...
                                 'choose another folder'], folder);
  end
  checksum = problem_checksum(problem, units);
  save_atomically(fullfile(folder, 'problem.mat'), struct('problem', problem, 'checksum', checksum, 'units', units));
  task_script(folder, 'tasks');

  job = struct('id', '', 'folder', folder, 'units', units, 'tasks', taskCount, ...
               'attempts', struct('id', {}, 'tasks', {}), 'fit', struct('id', {}, 'after', {}), ...
               'sbatch', {options.sbatch}, 'threads', problem.options.threads, 'submitted', now());
  job.id = submit_to_slurm(job, 'task.sh', [{sprintf('--array=1-%d', taskCount), taskLog}, ...
                                            memory_option(problem, units, job.threads, job.sbatch)]);
  job.attempts(1).id = job.id;
  job.attempts(1).tasks = 1:taskCount;
  save_atomically(fullfile(folder, 'job.mat'), struct('job', job));
  clear('release');
  if ~isequal(problem.options.verbose, false)
    fprintf('zelmor_submit: job %s, %d tasks for %d units (%d kernel settings x %d folds) in %s\n', job.id, ...
            taskCount, size(units, 1), numel(settingsWithUnits), foldCount, folder);
  end
end

% The folder (an absolute path) with results/ and logs/, checked to be writable.
function prepareFolder (folder)
  for sub = {'', 'results', 'logs'}
    where = fullfile(folder, sub{1});
    if ~exist(where, 'dir')
      [made, message] = mkdir(where);
      if ~made
        error('zelmor:folderNotWritable', 'cannot create the folder %s: %s', where, message);
      end
    end
  end
  probe = [tempname(folder), '.probe'];
  handle = fopen(probe, 'w');
  if handle < 0
    error('zelmor:folderNotWritable', 'cannot write into the folder %s', folder);
  end
  fclose(handle);
  delete(probe);
end

%!shared X, y
%! t = (1:24).';
%! X = [cos(t), sin(3 * t)] + kron([0 0; 2 0; 0 2], ones(8, 1));
%! y = kron((1:3).', ones(8, 1));

%!test
%! % A stand-in for sbatch that records its words and answers as a cluster's would: the job
%! % has its units dealt out in turn, the options reach sbatch, and the folder holds the problem,
%! % the tasks' script and the job.
%! bin = tempname();
%! mkdir(bin);
%! folder = fullfile(tempname(), 'search');
%! words = fullfile(bin, 'words');
%! handle = fopen(fullfile(bin, 'sbatch'), 'w');
%! fprintf(handle, '#!/bin/sh\nfor word; do echo "$word"; done > %s\necho 4242\\;cluster\n', words);
%! fclose(handle);
%! system(['chmod +x ', fullfile(bin, 'sbatch')]);
%! path = getenv('PATH');
%! setenv('PATH', [bin, pathsep, path]);
%! restore = onCleanup(@() setenv('PATH', path));
%! job = zelmor_submit(X, y, 'Folder', folder, 'Gamma', [0.5 1 2], 'C', [1 10], 'Folds', 3, 'Tasks', 4, ...
%!                     'Threads', 2, 'Sbatch', {'--time=5', '--comment=it''s mine'}, 'Verbose', false);
%! assert(job.id, '4242');
%! assert(job.folder, folder);
%! assert(job.units, [kron((1:3).', [1; 1; 1]), repmat((1:3).', 3, 1), [1 2 3 4 1 2 3 4 1].']);
%! assert(job.tasks, 4);
%! sent = strsplit(strtrim(fileread(words)), "\n");
%! assert(sent(end), {fullfile(folder, 'task.sh')});
%! for word = {'--parsable', '--array=1-4', '--cpus-per-task=2', '--time=5', '--comment=it''s mine', ...
%!           ['--output=', fullfile(folder, 'logs', 'task-%A_%a.log')]}
%!   assert(any(strcmp(sent, word{1})), word{1});
%! end
%! saved = load(fullfile(folder, 'job.mat'));
%! assert(saved.job, job);
%! problem = load(fullfile(folder, 'problem.mat'));
%! assert(problem.units, job.units);
%! assert(numel(problem.checksum), 16);
%! script = fileread(fullfile(folder, 'task.sh'));
%! assert(! isempty(strfind(script, 'zelmor_task(getenv(')));
%! assert(! isempty(strfind(script, ['ZELMOR_FOLDER=''', folder, ''''])));
%! assert(isfolder(fullfile(folder, 'results')) && isfolder(fullfile(folder, 'logs')));
%! % The folder now holds a search: a second one is refused.
%! fail('zelmor_submit(X, y, ''Folder'', folder, ''Verbose'', false)', 'already holds a search');

%!test
%! % No sbatch on the PATH, and an sbatch that says no: each its own error, with sbatch's words.
%! [empty, bin] = deal(tempname(), tempname());
%! mkdir(empty);
%! mkdir(bin);
%! handle = fopen(fullfile(bin, 'sbatch'), 'w');
%! fprintf(handle, '#!/bin/sh\necho "sbatch: error: invalid partition specified: nope" >&2\nexit 1\n');
%! fclose(handle);
%! system(['chmod +x ', fullfile(bin, 'sbatch')]);
%! path = getenv('PATH');
%! restore = onCleanup(@() setenv('PATH', path));
%! setenv('PATH', empty);
%! try
%!   zelmor_submit(X, y, 'Folder', tempname(), 'Verbose', false);
%!   error('test:noError', 'no error');
%! catch failure
%!   assert(failure.identifier, 'zelmor:noSbatch');
%! end
%! setenv('PATH', [bin, pathsep, path]);
%! folder = tempname();
%! try
%!   zelmor_submit(X, y, 'Folder', folder, 'Sbatch', '--partition=nope', 'Verbose', false);
%!   error('test:noError', 'no error');
%! catch failure
%!   assert(failure.identifier, 'zelmor:submitRejected');
%!   assert(! isempty(strfind(failure.message, 'invalid partition specified: nope')), failure.message);
%! end
%! % Nothing was submitted, so the folder holds no job and can be used again.
%! assert(exist(fullfile(folder, 'job.mat'), 'file'), 0);

%!test
%! % A folder that cannot be made: its name goes through a file.
%! file = tempname();
%! fclose(fopen(file, 'w'));
%! cleanup = onCleanup(@() delete(file));
%! try
%!   zelmor_submit(X, y, 'Folder', fullfile(file, 'search'), 'Verbose', false);
%!   error('test:noError', 'no error');
%! catch failure
%!   assert(failure.identifier, 'zelmor:folderNotWritable');
%! end

%!error <zelmor_submit takes> zelmor_submit(1)
%!error <needs 'Folder'> zelmor_submit(X, y)
%!error id=zelmor:badOption zelmor_submit(X, y, 'Folder', 'x', 'Tasks', 0)
%!error id=zelmor:badOption zelmor_submit(X, y, 'Folder', 'x', 'Tasks', 1.5)
%!error id=zelmor:badOption zelmor_submit(X, y, 'Folder', 'x', 'Sbatch', {'--time=5', 7})
%!error id=zelmor:badOption zelmor_submit(X, y, 'Folder', 5)
%!error id=zelmor:badOption zelmor_submit(X, y, 'Folder', 'x', 'Threads', Inf)
%!error id=zelmor:badOption zelmor_submit(X, y, 'Folder', 'x', 'Threads', 1e16)
%!error id=zelmor:badOption zelmor_submit(X, y, 'Folder', 'x', 'Speed', 1)
%!error id=zelmor:badKernelType zelmor_submit(X, y, 'Folder', 'x', 'Kernel', 'sigmoid')
%!error id=zelmor:nothingToSearch zelmor_submit(X, y, 'Folder', 'x', 'Gamma', 1, 'C', 1)
