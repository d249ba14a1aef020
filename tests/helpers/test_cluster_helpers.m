% zelmor_submit, zelmor_task and zelmor_collect against stand-ins for sbatch and squeue
% (fake-slurm/), which run every task at once on this machine: the collected model is
% zelmor_train's bit for bit, its temperature included, for every kind of kernel, with weights
% and either scoring, and a local or a cluster final fit;
% results that are damaged, of another problem or of another unit are refused and named;
% failed tasks are reported with their units and logs, and resubmitted tasks run only what is
% missing. make test-cluster does the same on a real Slurm.
function test_cluster_helpers (root)
  here = fileparts (mfilename ("fullpath"));
  state = tempname ();
  mkdir (state);
  folders = tempname ();
  mkdir (folders);
  oldPath = getenv ("PATH");
  setenv ("PATH", [fullfile(here, "fake-slurm"), pathsep, oldPath]);
  setenv ("FAKE_SLURM_DIR", state);
  setenv ("FAKE_SLURM_FAIL", "");
  cleanup = onCleanup (@() restore (oldPath, state, folders));

  data = dlmread (fullfile (root, "tests", "data", "iris.csv"), ",", 1, 0);
  [X, y] = deal (data(:, 1:4), data(:, 5));
  names = {"setosa"; "versicolor"; "virginica"}(y + 1);
  G = zelmor_kernel (X, [], "poly", [2, 1, 0.2]);
  checked = 0;

  % The collected model is zelmor_train's, whatever the kernel, the labels, the weights, the
  % scoring, the task count and where the final fit runs; a second call reads it back from the
  % folder alone.
  weights = 1 + mod (1:150, 4).';
  kinds = {
    % what, X, labels, zelmor_train's options, tasks ([]: one per kernel setting), final fit
    "rbf, default grid",  X, y,     {},                                              3,  "local"
    "poly grid, cellstr", X, names, {"Kernel", "poly", "Degree", [2 3], "C", [0.1 10]}, [], "cluster"
    "linear, 3 folds",    X, y,     {"Kernel", "linear", "Folds", 3},                2,  "local"
    "precomputed",        G, y,     {"Kernel", "precomputed", "C", [0.01 1]},        2,  "cluster"
    "sparse X",           sparse(X .* (X > 2)), y, {"Gamma", [0.5 2], "C", [1 10]}, 2,  "cluster"
    "weighted, balanced scoring", X, y, {"ClassWeight", [1 3 0.5], "Weights", weights, ...
                                         "Scoring", "balancedAccuracy", "Gamma", [0.3 1], "C", [1 8]}, 3, "local"
    "one cell, calibrated", X, names, {"ClassWeight", "balanced", "Gamma", 0.3, "C", 4, "Probability", true}, ...
                                      [], "cluster"
  };
  for c = 1:rows (kinds)
    [what, inputs, labels, options, tasks, fit] = kinds{c, :};
    folder = fullfile (folders, sprintf ("kind%d", c));
    submitOptions = [options, {"Folder", folder, "Verbose", false}];
    if ! isempty (tasks)
      submitOptions(end + 1:end + 2) = {"Tasks", tasks};
    end
    job = zelmor_submit (inputs, labels, submitOptions{:});
    model = zelmor_collect (job, "Interval", 1, "Verbose", false, "FinalFit", fit);
    expected = zelmor_train (inputs, labels, "Verbose", false, options{:});
    assert (same_bits (rmfield (model, "seconds"), rmfield (expected, "seconds")), what);
    assert (isscalar (model.temperature) && model.temperature > 0, [what ": no temperature"]);
    again = zelmor_collect (folder, "Verbose", false);
    assert (same_bits (again, model), [what ", read again"]);
    checked += 1;
  end
  assert (numel (dir (fullfile (folders, "kind2", "logs", "fit-*.log"))), 1);
  % With every result in the folder, collecting needs no Slurm: nothing on the PATH.
  delete (fullfile (folders, "kind1", "model.mat"));
  empty = fullfile (state, "empty");
  mkdir (empty);
  setenv ("PATH", empty);
  model = zelmor_collect (fullfile (folders, "kind1"), "Verbose", false);
  setenv ("PATH", [fullfile(here, "fake-slurm"), pathsep, oldPath]);
  expected = zelmor_train (X, y, "Verbose", false);
  assert (same_bits (rmfield (model, "seconds"), rmfield (expected, "seconds")), "without Slurm");
  checked += 1;

  % One search of 2 x 2 cells and 3 folds (6 units in 2 tasks) to damage, and another problem
  % whose results do not belong to it.
  options = {"Gamma", [0.1 1], "C", [1 10], "Folds", 3, "Verbose", false};
  expected = rmfield (zelmor_train (X, y, options{:}), "seconds");
  folder = fullfile (folders, "damaged");
  job = zelmor_submit (X, y, "Folder", folder, "Tasks", 2, options{:});
  other = fullfile (folders, "other");
  zelmor_submit (X, y, "Folder", other, "Tasks", 2, options{:}, "Seed", 2);
  % Each task asks Slurm for the memory the engine says its units need, unless the user asked.
  lastCall = @() regexprep (fileread (fullfile (state, "sbatch-calls")), '^.*\n(?=.)', '');
  asked = regexp (lastCall (), '--mem=(\d+)M', 'tokens');
  assert (numel (asked) == 1 && str2double (asked{1}{1}) > 256, lastCall ());
  zelmor_submit (X, y, "Folder", fullfile (folders, "own-memory"), "Tasks", 2, "Sbatch", {"--mem-per-cpu=300M"}, ...
                 options{:});
  assert (numel (strfind (lastCall (), "--mem")) == 1 && ! isempty (strfind (lastCall (), "--mem-per-cpu=300M")), ...
          lastCall ());
  unit = @(p, f) fullfile (folder, "results", sprintf ("unit-%d-%d.mat", p, f));
  damages = {
    % what, damage of unit (1, 2) (task 2), the reason named
    "missing",         @() delete (unit (1, 2)),                                        "without a result: gamma 0.1 fold 2"
    "cut short",       @() cutShort (unit (1, 2)),                                      "cannot be read"
    "another problem", @() copyfile (fullfile (other, "results", "unit-1-2.mat"), unit (1, 2)), "another problem"
    "another unit",    @() copyfile (unit (1, 1), unit (1, 2)),                         "another unit"
    "a count changed", @() changeCount (unit (1, 2)),                                   "do not match their checksum"
  };
  for c = 1:rows (damages)
    [what, damage, reason] = damages{c, :};
    if exist (fullfile (folder, "model.mat"), "file")
      delete (fullfile (folder, "model.mat"));
    end
    damage ();
    message = errorOf (@() zelmor_collect (job, "Interval", 1, "Verbose", false), "zelmor:tasksFailed", what);
    assert (! isempty (strfind (message, "task 2 (")) && ! isempty (strfind (message, "COMPLETED")), message);
    assert (! isempty (strfind (message, "gamma 0.1 fold 2")), message);
    assert (! isempty (strfind (message, reason)), [what ": " message]);
    assert (! isempty (strfind (message, "1 unit without a result")), message);
    % Run by hand, the task redoes that unit alone.
    shown = evalc ("zelmor_task (folder, 2)");
    assert (! isempty (strfind (shown, "3 units, 1 to run")), shown);
    model = zelmor_collect (job, "Interval", 1, "Verbose", false);
    assert (same_bits (rmfield (model, "seconds"), expected), what);
    checked += 1;
  end
  % A damaged model.mat is made again; a damaged problem.mat stops everything.
  cutShort (fullfile (folder, "model.mat"));
  shown = evalc ("model = zelmor_collect (job, 'Interval', 1);");
  assert (! isempty (strfind (shown, "model.mat: it cannot be read")), shown);
  assert (same_bits (rmfield (model, "seconds"), expected));
  cutShort (fullfile (folder, "problem.mat"));
  errorOf (@() zelmor_collect (job, "Verbose", false), "zelmor:badProblem", "problem.mat cut short");
  errorOf (@() zelmor_task (folder, 1), "zelmor:badProblem", "problem.mat cut short, task");
  errorOf (@() zelmor_task (other, 3), "zelmor:badTask", "task 3 of 2");
  errorOf (@() zelmor_task (other, "all"), "zelmor:badTask", "task 'all'");

  % A task that failed: reported with its units, state and log; resubmitted, it runs what is
  % missing, and only its units.
  setenv ("FAKE_SLURM_FAIL", "2");
  folder = fullfile (folders, "failed");
  job = zelmor_submit (X, y, "Folder", folder, "Tasks", 2, options{:});
  setenv ("FAKE_SLURM_FAIL", "");
  message = errorOf (@() zelmor_collect (job, "Interval", 1, "Verbose", false), "zelmor:tasksFailed", "task 2");
  for part = {sprintf("task 2 (%s_2, FAILED): 3 units without a result", job.id), ...
              fullfile(folder, "logs", sprintf("task-%s_2.log", job.id)), "| killed before it began", ...
              "'Resubmit', true"}
    assert (! isempty (strfind (message, part{1})), ["no '" part{1} "' in: " message]);
  end
  assert (isempty (strfind (message, "task 1 (")), message);
  shown = evalc ("model = zelmor_collect (job, 'Interval', 1, 'Resubmit', true);");
  assert (same_bits (rmfield (model, "seconds"), expected), "resubmitted");
  calls = strsplit (strtrim (fileread (fullfile (state, "sbatch-calls"))), "\n");
  assert (! isempty (strfind (calls{end}, "--array=2 ")), calls{end});
  saved = load (fullfile (folder, "job.mat"));
  assert (numel (saved.job.attempts), 2);
  assert (saved.job.attempts(2).tasks, 2);
  assert (! isempty (strfind (shown, "resubmitted task 2 as job")), shown);
  % Only what is missing: a unit of task 1 lost, task 1 runs that one alone.
  delete (fullfile (folder, "model.mat"), fullfile (folder, "results", "unit-2-2.mat"));
  zelmor_collect (job, "Interval", 1, "Verbose", false, "Resubmit", true);
  logs = dir (fullfile (folder, "logs", "task-*_1.log"));
  assert (! isempty (strfind (fileread (fullfile (folder, "logs", logs(end).name)), "3 units, 1 to run")));
  % A task that fails again is not resubmitted twice in one call.
  delete (fullfile (folder, "model.mat"), fullfile (folder, "results", "unit-1-2.mat"));
  setenv ("FAKE_SLURM_FAIL", "2");
  errorOf (@() zelmor_collect (job, "Interval", 1, "Verbose", false, "Resubmit", true), ...
           "zelmor:tasksFailed", "failed again");
  % A final-fit job that failed, then resubmitted.
  setenv ("FAKE_SLURM_FAIL", "N/A");
  evalc ("zelmor_task (folder, 2)");
  message = errorOf (@() zelmor_collect (job, "Interval", 1, "Verbose", false, "FinalFit", "cluster"), ...
                     "zelmor:fitFailed", "final fit");
  assert (! isempty (strfind (message, "| killed before it began")), message);
  setenv ("FAKE_SLURM_FAIL", "");
  model = zelmor_collect (job, "Interval", 1, "Verbose", false, "FinalFit", "cluster", "Resubmit", true);
  assert (same_bits (rmfield (model, "seconds"), expected), "final fit resubmitted");
  checked += 6;
  printf ("cluster helpers against stand-ins for Slurm: %d checks passed\n", checked);
end

function cutShort (file)
  handle = fopen (file, "r");
  bytes = fread (handle, Inf, "uint8=>uint8");
  fclose (handle);
  handle = fopen (file, "w");
  fwrite (handle, bytes(1:floor (end / 2)));
  fclose (handle);
end

function changeCount (file)
  result = load (file);
  result.correct(1) += 1;
  save ("-v7", file, "-struct", "result");
end

function message = errorOf (call, id, what)
  try
    call ();
  catch failure
    assert (failure.identifier, id, what);
    message = failure.message;
    return;
  end
  error ("test:noError", "%s: no error %s", what, id);
end

function restore (path, state, folders)
  setenv ("PATH", path);
  unsetenv ("FAKE_SLURM_DIR");
  unsetenv ("FAKE_SLURM_FAIL");
  confirm_recursive_rmdir (false, "local");
  rmdir (state, "s");
  rmdir (folders, "s");
end
