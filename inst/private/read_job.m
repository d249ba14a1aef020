%READ_JOB  The job.mat of a cluster search's folder, read and checked.
%
%  JOB = read_job(FOLDER, DATA)
%
%  DATA is the folder's problem.mat (read_problem's). The file is read as plain data
%  (load_plain) and checked before any field is used: the fields of zelmor_submit's job with
%  their classes and shapes, every job id digits (job_ids; they go into squeue's, sacct's and
%  sbatch's command lines), every task number one of the search's, and the units of DATA.
%  JOB.folder is FOLDER: the folder given is the folder used, wherever the search was made.
%  Errors (identifiers): zelmor:notAJob (no job.mat), zelmor:badJob (it cannot be read, or is
%  damaged, saying how).

function job = read_job (folder, data)
  file = fullfile(folder, 'job.mat');
  if ~exist(file, 'file')
    error('zelmor:notAJob', '%s holds no submitted job (no job.mat)', folder);
  end
  [saved, why] = load_plain(file);
  if isempty(why)
    why = damage(saved, data);
  end
  if isempty(why)
    try
      job_ids([{saved.job.id}, {saved.job.attempts.id}, {saved.job.fit.id}, {saved.job.fit.after}]);
    catch failure
      why = failure.message;
    end
  end
  if ~isempty(why)
    error('zelmor:badJob', '%s is damaged: %s', file, why);
  end
  job = saved.job;
  job.folder = folder;
end

function why = damage (saved, data)
  why = '';
  fields = {'id', 'folder', 'units', 'tasks', 'attempts', 'fit', 'sbatch', 'threads', 'submitted'};
  if ~isfield(saved, 'job') || ~isstruct(saved.job) || ~isscalar(saved.job) || ~all(isfield(saved.job, fields))
    why = 'it lacks the fields of a job';
    return
  end
  job = saved.job;
  taskCount = max(data.units(:, 3));
  checks = {
    isequal(job.units, data.units) && isequal(job.tasks, taskCount),        'its units are not those of problem.mat'
    isstruct(job.attempts) && ~isempty(job.attempts) && all(isfield(job.attempts, {'id', 'tasks'})) ...
      && all(arrayfun(@(a) isTaskList(a.tasks, taskCount), job.attempts)),   'its submissions are not a job''s'
    isstruct(job.fit) && all(isfield(job.fit, {'id', 'after'})),             'its final-fit jobs are not a job''s'
    iscellstr(job.sbatch),                                                   'its sbatch options are not texts'
    isnumeric(job.threads) && isreal(job.threads) && isscalar(job.threads) && job.threads >= 0 ...
      && job.threads == fix(job.threads) && job.threads <= 1e15,             'its thread count is not a count'
    isa(job.submitted, 'double') && isscalar(job.submitted) && isfinite(job.submitted), ...
                                                                             'its time of submission is not a date'
  };
  bad = find(~[checks{:, 1}], 1);
  if ~isempty(bad)
    why = checks{bad, 2};
  end
end

function yes = isTaskList (tasks, taskCount)
  yes = isa(tasks, 'double') && isreal(tasks) && isrow(tasks) && all(tasks == fix(tasks)) ...
        && all(tasks >= 1 & tasks <= taskCount);
end
