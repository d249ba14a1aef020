%ZELMOR_TASK  One task of a search that zelmor_submit sent to a Slurm cluster.
%
%  zelmor_task(FOLDER, TASK)
%  zelmor_task(FOLDER, 'fit')
%
%  What each task of the job array runs, in octave-cli on its node: it reads the
%  problem from FOLDER, checks it against its checksum, and computes its share
%  of the units (kernel parameter, fold), each in one call of the engine with
%  the kernels made from the features on the node. Every unit's result goes
%  into FOLDER/results as soon as it is done, written under a temporary name
%  and renamed, with the problem's checksum. Units whose result is already
%  there (from an earlier run of the task) are not run again, so a task that
%  was resubmitted does only what is missing.
%
%  With 'fit', it puts every unit's result together, chooses and fits the final
%  model as zelmor_collect does, and writes it to FOLDER/model.mat: the final
%  fit of zelmor_collect(JOB, 'FinalFit', 'cluster').
%
%  Threads: the CPUs Slurm gave the task (SLURM_CPUS_PER_TASK, which
%  zelmor_submit's 'Threads' sets), else one inside a Slurm job, else the
%  'Threads' option of the search. A task can be run by hand as well, in any
%  session that reaches FOLDER, to redo or debug a unit without Slurm.
%
%  Inputs:
%    FOLDER  the folder of the search (job.folder).
%    TASK    a task number, 1 to the job's task count.
%
%  Errors (identifiers): zelmor:nargin, zelmor:notAJob, zelmor:badProblem
%    (problem.mat damaged), zelmor:badJob (fit: job.mat damaged),
%    zelmor:badTask, zelmor:folderNotWritable,
%    zelmor:missingResults (fit: a unit has no result); and the engine's.
%
%  Example (by hand, in a session on a node):
%    zelmor_task('/shared/me/letters', 2)    % task 2's units that have no result yet
%
%  See also ZELMOR_SUBMIT, ZELMOR_COLLECT.

function zelmor_task (folder, task)
  if nargin ~= 2
    error('zelmor:nargin', 'zelmor_task takes 2 inputs (got %d)', nargin);
  end
  folder = absolute_folder(folder, 'zelmor:notAJob', 'FOLDER');
  data = read_problem(folder);
  if ischar(task) && strcmp(task, 'fit')
    fitOnNode(folder, data);
    return
  end
  taskCount = max(data.units(:, 3));
  if ~isnumeric(task) || ~isscalar(task) || ~any(task == 1:taskCount)
    error('zelmor:badTask', 'TASK must be ''fit'' or a task number from 1 to %d', taskCount);
  end
  problem = data.problem;
  mine = find(data.units(:, 3) == task);
  todo = [];
  for u = mine(:).'
    if isempty(unit_result(folder, data.units(u, 1:2), data))
      todo(end + 1) = u;
    end
  end
  threads = threadCount(problem.options.threads);
  fprintf('zelmor_task: task %d of %d on %s, process %d, %d thread%s: %d units, %d to run\n', task, taskCount, ...
          hostName(), processId(), threads, repmat('s', 1, threads ~= 1), numel(mine), numel(todo));
  flush_output();
  engine = problem.plan.engine;
  engine.threads = threads;
  engine.verbose = 0;
  started = tic;
  written = 0;
  % As many units at once as threads: the engine runs each unit on one thread.
  for first = 1:max(threads, 1):numel(todo)
    batch = todo(first:min(first + max(threads, 1) - 1, numel(todo)));
    grid = zelmor_engine('units', problem.X, problem.index, problem.classCount, engine, data.units(batch, 1:2));
    share = 1 / numel(batch);
    for u = batch
      [p, f] = deal(data.units(u, 1), data.units(u, 2));
      result = struct('checksum', data.checksum, 'unit', [p, f], 'correct', grid.correct(p, :, f), ...
                      'classCorrect', reshape(grid.classCorrect(p, :, f, :), numel(problem.plan.betas), []), ...
                      'decision', unitDecisionValues(grid, problem.plan, p, f), ...
                      'iterations', grid.iterations(p, :, f), 'restarts', grid.restarts(p, :, f), ...
                      'converged', grid.converged(p, :, f), 'seconds', grid.seconds(p, :, f), ...
                      'baseSeconds', share * grid.baseSeconds, 'kernelSeconds', share * grid.kernelSeconds, ...
                      'solveSeconds', share * grid.solveSeconds, 'scoringSeconds', share * grid.scoringSeconds);
      result.content = unit_checksum(result);
      % A unit's fields are listed once, in unit_fields; a result that strays from it stops here.
      result = orderfields(result, unit_fields());
      save_atomically(unit_file(folder, [p, f]), result);
      written = written + 1;
      fprintf('zelmor_task: %s, fold %d written (%d of %d); %.1f s\n', describe_setting(problem.plan.settings(p)), ...
              f, written, numel(todo), toc(started));
    end
    flush_output();
  end
end

% The out-of-fold decision values of unit (p, f), for a calibration: its test examples' rows of
% each beta's cell, fold size x K x betas (NaN at betas not tried); [] when the search does not
% calibrate.
function decision = unitDecisionValues (grid, plan, p, f)
  decision = [];
  if ~isfield(grid, 'decisionValues')
    return
  end
  inFold = plan.folds == f;
  decision = NaN(sum(inFold), size(grid.classCorrect, 4), numel(plan.betas));
  for b = find(plan.tried(p, :))
    decision(:, :, b) = grid.decisionValues{p, b}(inFold, :);
  end
end

% The final fit on the node, written to model.mat.
function fitOnNode (folder, data)
  fprintf('zelmor_task: the final fit on %s, process %d\n', hostName(), processId());
  flush_output();
  job = read_job(folder, data);
  model = collected_model(folder, data, job.submitted);
  save_atomically(fullfile(folder, 'model.mat'), struct('model', model, 'checksum', data.checksum));
  fprintf('zelmor_task: model.mat written: C = %g, %d support vectors\n', model.C, numel(model.supportIndices));
end

function threads = threadCount (optionThreads)
  threads = str2double(getenv('SLURM_CPUS_PER_TASK'));
  if isnan(threads)
    threads = optionThreads;
    if ~isempty(getenv('SLURM_JOB_ID'))
      threads = 1;
    elseif threads == 0
      threads = core_count();
    end
  end
end

function name = hostName ()
  name = getenv('SLURMD_NODENAME');
  if isempty(name)
    [~, name] = system('hostname');
    name = strtrim(name);
  end
end

function pid = processId ()
  if exist('OCTAVE_VERSION', 'builtin') ~= 0
    pid = getpid();
  else
    pid = feature('getpid');
  end
end

%!error <zelmor_task takes> zelmor_task(1)
%!error id=zelmor:notAJob zelmor_task(tempname(), 1)
