%ZELMOR_COLLECT  Wait for a search that zelmor_submit sent to a cluster, and return its model.
%
%  MODEL = zelmor_collect(JOB)
%  MODEL = zelmor_collect(FOLDER)
%  MODEL = zelmor_collect(..., NAME, VALUE, ...)
%
%  Waits for the units of the job, printing a line as they come in (units
%  done, tasks running and pending, time since the submission and an
%  estimate of the rest). Then it reads every unit's result, refusing any
%  that is damaged or of another problem, puts them together in a fixed
%  order, chooses the kernel parameter and C exactly as zelmor_train does and
%  fits the final model on all examples: here, or as one more job on the
%  cluster with 'FinalFit', 'cluster'. The model is the one zelmor_train
%  returns for the same inputs and options, bit for bit, but for its times
%  (model.seconds). It is also written to FOLDER/model.mat, and a later call
%  returns it from there.
%
%  It needs only the folder: call it again after closing the session, with
%  the folder's name. The folder given is the one used, so a search moved or
%  copied whole is collected where it is now. Several sessions may collect
%  one search at once: each change of job.mat is made under the folder's lock
%  (FOLDER/lock), so a task is resubmitted once and every submission is kept.
%  Ctrl-C stops the waiting, not the job, which goes on on the cluster; call
%  zelmor_collect again to go on waiting. To stop the job itself, cancel it:
%  scancel JOBID, with JOB.id (and the ids of any resubmission, in
%  JOB.attempts).
%
%  Faults: nothing is put together from a part. A task that ended (failed,
%  was cancelled or killed, or ran out of time) without the results of all
%  its units raises zelmor:tasksFailed, which names its units, its state and
%  its log (FOLDER/logs), with the log's last lines. Then 'Resubmit', true
%  submits those tasks again, each to run only its missing units, and waits
%  on; a unit that fails again raises the error.
%
%  Inputs:
%    JOB     zelmor_submit's struct, or the search's FOLDER.
%  Options (name, value; names in any case):
%    'Resubmit'  true: resubmit the tasks that failed, once, and wait on; false
%                (default): report them.
%    'FinalFit'  'local' (default): on this machine; 'cluster': as one more
%                job, which runs once the tasks have, and writes model.mat.
%    'Interval'  seconds between looks at the queue and the folder, at least 1;
%                default 10.
%    'Verbose'   true (default): the progress lines; false: none.
%
%  Output MODEL: zelmor_train's model struct (help zelmor_train), with
%  seconds.crossValidation from the submission to the last unit's result.
%
%  Needs squeue on the PATH while units are missing (nothing of Slurm once all
%  are in); sacct, where the cluster keeps accounts, names the state of tasks
%  the queue has forgotten; sbatch for 'Resubmit' and 'FinalFit', 'cluster'.
%
%  Errors (identifiers): zelmor:nargin, zelmor:badOption, zelmor:notAJob,
%    zelmor:badProblem (problem.mat damaged), zelmor:badJob (job.mat damaged,
%    such as a job id that is not digits), zelmor:folderInUse (another
%    session held the folder's lock for minutes), zelmor:tasksFailed,
%    zelmor:fitFailed (the final-fit job ended without the model),
%    zelmor:missingResults, zelmor:noSlurm, zelmor:queueFailed,
%    zelmor:noSbatch, zelmor:submitRejected, zelmor:folderNotWritable.
%  Warning: zelmor:notConverged, as zelmor_train.
%
%  Example:
%    job = zelmor_submit(X, y, 'Folder', '/shared/me/letters', 'Tasks', 4);
%    model = zelmor_collect(job);
%    % days later, in a new session:
%    model = zelmor_collect('/shared/me/letters');
%
%  See also ZELMOR_SUBMIT, ZELMOR_TRAIN, ZELMOR_TASK.

function model = zelmor_collect (job, varargin)
  if nargin < 1
    error('zelmor:nargin', 'zelmor_collect takes at least 1 input (got %d)', nargin);
  end
  options = helper_options('zelmor_collect', varargin);
  folder = folderOf(job);
  data = read_problem(folder);
  job = read_job(folder, data);
  [model, why] = savedModel(folder, data.checksum);
  if ~isempty(model)
    return
  end
  if ~isempty(why)
    say(options, sprintf('%s; making it again', why));
  end
  job = waitForUnits(job, data, options);
  if strcmp(options.finalFit, 'cluster')
    model = waitForFit(job, data, options);
  else
    say(options, 'every unit is done: choosing and fitting here');
    [model, result] = collected_model(folder, data, job.submitted);
    save_atomically(fullfile(folder, 'model.mat'), struct('model', model, 'checksum', data.checksum));
    warn_unconverged('zelmor_collect', data.problem, result);
  end
  say(options, sprintf('chose %s, C = %g: %d support vectors', ...
                       describe_setting(struct('gamma', model.gamma, 'degree', model.degree)), model.C, ...
                       numel(model.supportIndices)));
end

% The folder given is the folder used: a search moved or copied elsewhere is collected there.
function folder = folderOf (job)
  job = as_char(job);
  if isstruct(job) && isscalar(job) && isfield(job, 'folder')
    folder = job.folder;
  elseif ischar(job)
    folder = job;
  else
    error('zelmor:notAJob', 'JOB must be the struct of zelmor_submit or the folder of a search');
  end
  folder = absolute_folder(folder, 'zelmor:notAJob', 'the folder of JOB');
end

% The model of an earlier collection or of the final-fit job, when whole and of this problem;
% else [] and, for a file that is there but refused, why.
function [model, why] = savedModel (folder, checksum)
  model = [];
  why = '';
  file = fullfile(folder, 'model.mat');
  if ~exist(file, 'file')
    return
  end
  [saved, why] = load_plain(file);
  if ~isempty(why)
    why = sprintf('refused %s: %s', file, why);
  elseif ~all(isfield(saved, {'model', 'checksum'})) || ~ischar(saved.checksum) ...
      || ~strcmp(saved.checksum, checksum)
    why = sprintf('refused %s: it is not the model of this problem', file);
  elseif ~isempty(model_problem(saved.model))
    why = sprintf('refused %s: the model %s', file, model_problem(saved.model));
  else
    model = saved.model;
  end
end

% Waits until every unit has its result; fails, or resubmits, when a task ended without its.
function job = waitForUnits (job, data, options)
  unitCount = size(data.units, 1);
  done = false(unitCount, 1);
  whys = repmat({''}, unitCount, 1);
  refusals = {};
  resubmitted = false(unitCount, 1);
  lastLine = '';
  lastPrinted = -Inf;
  while true
    % Another session may have resubmitted tasks since the last look.
    job = read_job(job.folder, data);
    % The folder, then the queue, then the folder again for what is still missing: a task the
    % queue no longer runs has written all it ever will. With every result there, the queue
    % is not needed (nor Slurm on this machine).
    [done, whys, refusals] = lookForResults(job, data, done, whys, refusals, options);
    if all(done)
      job = ensureFit(job, data, options);
      return
    end
    states = slurm_states({job.attempts.id});
    [done, whys, refusals] = lookForResults(job, data, done, whys, refusals, options);
    if all(done)
      job = ensureFit(job, data, options, states);
      return
    end
    elapsed = (now() - job.submitted) * 86400;
    [current, running, pending] = currentStates(job, states);
    failedTasks = unique(data.units(~done & ~isActive(current(data.units(:, 3))), 3)).';
    if ~isempty(failedTasks)
      report = failureReport(job, data, whys, done, failedTasks, current);
      missing = ~done & ismember(data.units(:, 3), failedTasks);
      if ~options.resubmit || any(resubmitted & missing)
        error('zelmor:tasksFailed', ['%s\nNothing was put together. zelmor_collect(job, ''Resubmit'', true) ' ...
                                     'runs only the missing units again.'], report);
      end
      say(options, report);
      [job, due] = resubmit(job, data, failedTasks);
      % A resubmission by another session counts as this one's: a unit that fails again stops.
      resubmitted = resubmitted | missing;
      if isempty(due)
        say(options, sprintf('another session resubmitted task%s %s', plural(numel(failedTasks)), ...
                             numberList(failedTasks)));
      else
        say(options, sprintf('resubmitted task%s %s as job %s', plural(numel(due)), numberList(due), ...
                             job.attempts(end).id));
      end
      continue
    end
    job = ensureFit(job, data, options, states);
    line = sprintf('%d of %d units done; %d task%s running, %d pending', sum(done), unitCount, running, ...
                   plural(running), pending);
    if ~strcmp(line, lastLine) || elapsed - lastPrinted >= 60
      estimate = '';
      if any(done)
        estimate = sprintf(', about %.0f s left', elapsed / sum(done) * sum(~done));
      end
      say(options, sprintf('%s; %.0f s since the submission%s', line, elapsed, estimate));
      [lastLine, lastPrinted] = deal(line, elapsed);
    end
    pause(options.interval);
  end
end

% Reads the results of the units not yet done; says once of each refused file why.
function [done, whys, refusals] = lookForResults (job, data, done, whys, refusals, options)
  for u = find(~done).'
    [result, why] = unit_result(job.folder, data.units(u, 1:2), data);
    done(u) = ~isempty(result);
    whys{u} = why;
    said = sprintf('%s: %s', unit_file(job.folder, data.units(u, 1:2)), why);
    if strncmp(why, 'refused', 7) && ~any(strcmp(refusals, said))
      refusals{end + 1} = said;
      say(options, said);
    end
  end
end

% The state of each task in its latest submission ('' where neither squeue nor sacct knows
% it), and how many tasks run and wait.
function [current, running, pending] = currentStates (job, states)
  current = repmat({''}, 1, job.tasks);
  for t = 1:job.tasks
    match = strcmp({states.job}, latestAttempt(job, t)) & [states.task] == t;
    if any(match)
      current{t} = states(find(match, 1)).state;
    end
  end
  running = sum(strcmp(current, 'RUNNING'));
  pending = sum(strcmp(current, 'PENDING'));
  unknown = find(cellfun(@isempty, current));
  if ~isempty(unknown)
    % Forgotten by the queue, so ended: the accounts, where the cluster keeps them, say how.
    accounted = slurm_states({job.attempts.id}, 'accounting');
    for t = unknown
      match = strcmp({accounted.job}, latestAttempt(job, t)) & [accounted.task] == t;
      if any(match)
        current{t} = accounted(find(match, 1)).state;
      end
    end
  end
end

% The id of the latest submission of task t.
function id = latestAttempt (job, t)
  id = job.attempts(find(arrayfun(@(a) any(a.tasks == t), job.attempts), 1, 'last')).id;
end

% Whether a task in these states may still write results: pending, running, being requeued.
function active = isActive (states)
  ended = {'', 'COMPLETED', 'FAILED', 'CANCELLED', 'TIMEOUT', 'OUT_OF_MEMORY', 'NODE_FAIL', 'PREEMPTED', ...
           'BOOT_FAIL', 'DEADLINE', 'REVOKED', 'SPECIAL_EXIT'};
  active = ~ismember(states, ended);
  active = active(:);
end

function report = failureReport (job, data, whys, done, failedTasks, current)
  parts = {sprintf('%d task%s of job %s ended without all %s results:', numel(failedTasks), ...
                   plural(numel(failedTasks)), job.id, pronoun(numel(failedTasks)))};
  for t = failedTasks
    latest = latestAttempt(job, t);
    state = current{t};
    if isempty(state)
      state = 'ended; neither the queue nor the accounts know it any more';
    end
    missing = find(~done & data.units(:, 3) == t).';
    names = arrayfun(@(u) sprintf('%s fold %d%s', describe_setting(data.problem.plan.settings(data.units(u, 1))), ...
                                  data.units(u, 2), refusal(whys{u})), missing, 'UniformOutput', false);
    log = fullfile(job.folder, 'logs', sprintf('task-%s_%d.log', latest, t));
    parts{end + 1} = sprintf('  task %d (%s_%d, %s): %d unit%s without a result: %s', t, latest, t, state, ...
                             numel(missing), plural(numel(missing)), strjoin(names, '; '));
    parts{end + 1} = sprintf('  its log, %s, ends:', log);
    parts = [parts, logTail(log)];
  end
  report = strjoin(parts, sprintf('\n'));
end

% Why a unit's file was refused, in parentheses; nothing for a file that is not there.
function text = refusal (why)
  text = '';
  if strncmp(why, 'refused', 7)
    text = [' (', why, ')'];
  end
end

% The last lines of a log, each set off by a bar.
function lines = logTail (file)
  lines = {'    (no log)'};
  if ~exist(file, 'file')
    return
  end
  logLines = regexp(regexprep(fileread(file), '\s+$', ''), '\r?\n', 'split');
  lines = strcat({'    | '}, logLines(max(1, end - 7):end));
end

% Submits the failed tasks again, each to run its missing units, unless another session did
% since this one looked (DUE: the tasks this call submitted). The record is read again and
% written under the folder's lock, so no session's submission is lost from it.
function [job, due] = resubmit (job, data, tasks)
  release = folder_lock(job.folder, lockPatience());
  current = read_job(job.folder, data);
  due = tasks(arrayfun(@(t) strcmp(latestAttempt(current, t), latestAttempt(job, t)), tasks));
  if ~isempty(due)
    task_script(job.folder, 'tasks');
    id = submit_to_slurm(current, 'task.sh', [{['--array=', numberList(due)], ...
                                               log_option(job.folder, 'task-%A_%a.log')}, ...
                                              memory_option(data.problem, data.units, current.threads, current.sbatch)]);
    current.attempts(end + 1) = struct('id', id, 'tasks', due);
    save_atomically(fullfile(job.folder, 'job.mat'), struct('job', current));
  end
  job = current;
  clear('release');
end

% Seconds a session waits for another to finish changing job.mat: an sbatch call or two.
function seconds = lockPatience ()
  seconds = 120;
end

% With 'FinalFit', 'cluster': a final-fit job for the latest submission of tasks, which Slurm
% starts once that one has ended well and every earlier one still in the queue has ended.
function job = ensureFit (job, data, options, states)
  needed = @(j) isempty(j.fit) || ~strcmp(j.fit(end).after, j.attempts(end).id);
  if ~strcmp(options.finalFit, 'cluster') || ~needed(job)
    return
  end
  if nargin < 4
    states = slurm_states({job.attempts.id});
  end
  job = submitFit(job, data, states, needed);
  say(options, sprintf('the final fit will run as job %s', job.fit(end).id));
end

% Submits the final-fit job when NEEDED(job) still holds for the record read again under the
% folder's lock (another session may have submitted it meanwhile).
function job = submitFit (job, data, states, needed)
  release = folder_lock(job.folder, lockPatience());
  current = read_job(job.folder, data);
  if ~needed(current)
    job = current;
    return
  end
  if ~isequal(current.attempts, job.attempts)
    states = slurm_states({current.attempts.id});
  end
  latest = current.attempts(end).id;
  % Only on jobs the queue still runs: sbatch refuses a dependency on one it has forgotten.
  queued = {};
  for a = 1:numel(current.attempts)
    mine = strcmp({states.job}, current.attempts(a).id);
    if any(isActive({states(mine).state}))
      queued{end + 1} = current.attempts(a).id;
    end
  end
  conditions = {};
  if any(strcmp(queued, latest))
    conditions{end + 1} = ['afterok:', latest];
  end
  older = queued(~strcmp(queued, latest));
  if ~isempty(older)
    conditions{end + 1} = ['afterany:', strjoin(older, ':')];
  end
  task_script(job.folder, 'fit');
  sbatchOptions = {log_option(job.folder, 'fit-%j.log')};
  if ~isempty(conditions)
    sbatchOptions = [sbatchOptions, {['--dependency=', strjoin(conditions, ',')], '--kill-on-invalid-dep=yes'}];
  end
  id = submit_to_slurm(current, 'fit.sh', [sbatchOptions, memory_option(data.problem, [], current.threads, current.sbatch)]);
  current.fit(end + 1) = struct('id', id, 'after', latest);
  save_atomically(fullfile(job.folder, 'job.mat'), struct('job', current));
  job = current;
  clear('release');
end

function model = waitForFit (job, data, options)
  say(options, sprintf('every unit is done: waiting for the final fit, job %s', job.fit(end).id));
  resubmitted = false;
  while true
    id = job.fit(end).id;
    states = slurm_states({id});
    [model, why] = savedModel(job.folder, data.checksum);
    if ~isempty(model)
      return
    end
    if isempty(states) || ~isActive({states(1).state})
      % The job writes the model before it ends: one more look.
      [model, why] = savedModel(job.folder, data.checksum);
      if ~isempty(model)
        return
      end
      state = 'ended';
      if ~isempty(states)
        state = states(1).state;
      end
      log = fullfile(job.folder, 'logs', sprintf('fit-%s.log', id));
      report = strjoin([{sprintf(['the final-fit job %s (%s) ended without the model%s; ' ...
                                  'its log, %s, ends:'], id, state, whySuffix(why), log)}, logTail(log)], ...
                       sprintf('\n'));
      if ~options.resubmit || resubmitted
        error('zelmor:fitFailed', '%s\nzelmor_collect(job, ''Resubmit'', true, ''FinalFit'', ''cluster'') submits it again.', ...
              report);
      end
      say(options, report);
      % Unless another session resubmitted it meanwhile.
      job = submitFit(job, data, states([]), @(j) strcmp(j.fit(end).id, id));
      resubmitted = true;
      say(options, sprintf('the final fit was resubmitted as job %s', job.fit(end).id));
    end
    pause(options.interval);
  end
end

function text = whySuffix (why)
  text = '';
  if ~isempty(why)
    text = [' (', why, ')'];
  end
end

function say (options, text)
  if options.verbose
    fprintf('zelmor_collect: %s\n', text);
    flush_output();
  end
end

function text = numberList (numbers)
  text = strjoin(arrayfun(@(t) sprintf('%d', t), numbers, 'UniformOutput', false), ',');
end

function s = plural (count)
  s = '';
  if count ~= 1
    s = 's';
  end
end

function word = pronoun (count)
  word = 'its';
  if count ~= 1
    word = 'their';
  end
end

%!error <zelmor_collect takes> zelmor_collect()
%!error id=zelmor:notAJob zelmor_collect(42)
%!error id=zelmor:notAJob zelmor_collect(struct('id', '1'))
%!error id=zelmor:notAJob zelmor_collect(tempname())
%!error id=zelmor:badOption zelmor_collect(tempname(), 'FinalFit', 'moon')
%!error id=zelmor:badOption zelmor_collect(tempname(), 'Interval', 0)
%!error id=zelmor:badOption zelmor_collect(tempname(), 'Interval', 1e-300)
%!error id=zelmor:badOption zelmor_collect(tempname(), 'Interval', 0.5)
%!error id=zelmor:badOption zelmor_collect(tempname(), 'Interval', Inf)
%!error id=zelmor:notAJob zelmor_collect(struct('folder', 5))
%!error id=zelmor:notAJob zelmor_collect(['x', char(0)])
%!error id=zelmor:badOption zelmor_collect(tempname(), 'Resubmit', 'yes')
%!error id=zelmor:badOption zelmor_collect(tempname(), 'Wait', true)
%!error id=zelmor:badOption zelmor_collect(tempname(), 'Verbose')
