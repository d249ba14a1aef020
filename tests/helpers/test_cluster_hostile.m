% The cluster helpers against careless and hostile folders, with the stand-ins for Slurm
% (fake-slurm/): job ids that would run commands, problem.mat files that would run code or
% were changed, a model.mat of another problem, two sessions on one folder, folders moved,
% copied or named with %, glob characters, ~ or NUL, and unit files whose counts are
% impossible. Each is refused with its identifier (nothing runs), or works as for a plain
% folder, bit for bit.
function test_cluster_hostile (root)
  here = fileparts (mfilename ("fullpath"));
  state = tempname ();
  mkdir (state);
  base = tempname ();
  mkdir (base);
  oldPath = getenv ("PATH");
  oldHome = getenv ("HOME");
  oldFolder = pwd ();
  setenv ("PATH", [fullfile(here, "fake-slurm"), pathsep, oldPath]);
  setenv ("FAKE_SLURM_DIR", state);
  setenv ("FAKE_SLURM_FAIL", "");
  cleanup = onCleanup (@() restore (oldPath, oldHome, oldFolder, state, base));

  t = (1:24).';
  X = [cos(t), sin(3 * t)] + kron([0 0; 2 0], ones(12, 1));
  y = kron([1; 2], ones(12, 1));
  options = {"Gamma", [0.5 1], "C", [1 4], "Folds", 2, "Verbose", false};
  expected = rmfield (zelmor_train (X, y, options{:}), "seconds");
  submit = @(folder, varargin) zelmor_submit (X, y, "Folder", folder, options{:}, varargin{:});
  collect = @(folder, varargin) zelmor_collect (folder, "Interval", 1, "Verbose", false, varargin{:});
  sameModel = @(model, what) assert (same_bits (rmfield (model, "seconds"), expected), what);
  pwned = fullfile (base, "PWNED");
  checked = 0;

  % Job ids go into squeue's, sacct's and sbatch's command lines: anything but digits is
  % refused before, and a damaged job record is named.
  folder = fullfile (base, "ids");
  submit (folder);
  collect (folder);
  injected = ["$(touch " pwned ")"];
  damages = {
    % what, change of the job struct
    "an attempt's id", @(job) setfield (job, "attempts", struct ("id", injected, "tasks", [1 2]))
    "the job's id",    @(job) setfield (job, "id", ["1;touch " pwned])
    "a final fit's id", @(job) setfield (job, "fit", struct ("id", ["`touch " pwned "`"], "after", job.id))
    "a numeric id",    @(job) setfield (job, "attempts", struct ("id", 5, "tasks", [1 2]))
    "a task number",   @(job) setfield (job, "attempts", struct ("id", job.id, "tasks", 7))
    "the units",       @(job) setfield (job, "units", job.units(1:2, :))
    "no job at all",   @(job) 5
  };
  file = fullfile (folder, "job.mat");
  whole = load (file);
  % Every result is there: the final fit asks the queue about the tasks, then about its job.
  delete (fullfile (folder, "model.mat"));
  for c = 1:rows (damages)
    [what, damage] = damages{c, :};
    job = damage (whole.job);
    save ("-v7", file, "job");
    errorOf (@() collect (folder, "FinalFit", "cluster"), "zelmor:badJob", what);
    assert (! exist (pwned, "file"), [what ": a command ran"]);
    checked += 1;
  end

  % problem.mat: read as a MAT file only (text can hold a function, which indexing would
  % call), and every field that decides a result under its checksum.
  folder = fullfile (base, "problem");
  submit (folder);
  file = fullfile (folder, "problem.mat");
  whole = load (file);
  damaged = whole;
  damaged.units = @(varargin) [1 1 1] + 0 * system (["touch " pwned]);
  save ("-text", file, "-struct", "damaged");
  errorOf (@() collect (folder), "zelmor:badProblem", "units as a function, in text");
  errorOf (@() zelmor_task (folder, 1), "zelmor:badProblem", "units as a function, task");
  assert (! exist (pwned, "file"), "code ran from problem.mat");
  damages = {
    % what, change of the file's contents
    "a feature value", @(d) setfield (d, "problem", "X", d.problem.X + 0.5 * (d.problem.X == d.problem.X(7)))
    "a label",         @(d) setfield (d, "problem", "index", 3 - d.problem.index)
    "the unit list",   @(d) setfield (d, "units", d.units([2 1 3 4], :))
    "a unit's task",   @(d) setfield (d, "units", [d.units(:, 1:2), 3 - d.units(:, 3)])
    "the classes",     @(d) setfield (d, "problem", "classes", [7; 8])
    "the centre",      @(d) setfield (d, "problem", "center", 2 * d.problem.center)
    "the betas",       @(d) setfield (d, "problem", "plan", "betas", [1 0.5])
  };
  for c = 1:rows (damages)
    [what, damage] = damages{c, :};
    damaged = damage (whole);
    save ("-v7", file, "-struct", "damaged");
    message = errorOf (@() collect (folder), "zelmor:badProblem", what);
    assert (! isempty (strfind (message, "checksum")), [what ": " message]);
    errorOf (@() zelmor_task (folder, 1), "zelmor:badProblem", [what ", task"]);
    checked += 1;
  end
  % A forged checksum does not let impossible units through to an index.
  damaged = whole;
  damaged.units(1, 1) = 9;
  damaged.checksum = checksumOf (damaged);
  save ("-v7", file, "-struct", "damaged");
  message = errorOf (@() collect (folder), "zelmor:badProblem", "units beyond the grid");
  assert (! isempty (strfind (message, "the units")), message);
  save ("-v7", file, "-struct", "whole");
  sameModel (collect (folder), "problem.mat whole again");
  checked += 2;

  % The unit files' counts: impossible ones under a consistent checksum are the collect's own
  % refusal, not the engine's.
  unit = fullfile (folder, "results", "unit-1-2.mat");
  saved = load (unit);
  delete (fullfile (folder, "model.mat"));
  % Counts of a class too: one beyond the class's examples in the fold, its cell's count with it.
  classSize = sum (whole.problem.index(whole.problem.plan.folds == 2) == 1);
  forgeries = {
    "a count of NaN",  @(r) setfield (r, "correct", [NaN, r.correct(2:end)])
    "a count of -5",   @(r) setfield (r, "correct", [-5, r.correct(2:end)])
    "a count of 2.5",  @(r) setfield (r, "correct", [2.5, r.correct(2:end)])
    "a count of 1000", @(r) setfield (r, "correct", [1000, r.correct(2:end)])
    "a class count of -1 in a tried cell", @(r) setfield (r, "classCorrect", [-1, r.classCorrect(1, 2:end); ...
                                                                               r.classCorrect(2:end, :)])
    "class counts that add up to another", @(r) setfield (r, "classCorrect", r.classCorrect + [1, 0; 0, 0])
    "a class count beyond its class", @(r) setfield (setfield (r, "classCorrect", ...
        [classSize + 1, r.classCorrect(1, 2:end); r.classCorrect(2:end, :)]), "correct", ...
        [classSize + 1 + sum(r.classCorrect(1, 2:end)), r.correct(2:end)])
  };
  for c = 1:rows (forgeries)
    [what, forge] = forgeries{c, :};
    forged = forge (saved);
    forged.content = zelmor_engine ("checksum", forged.checksum, forged.unit, forged.correct, forged.classCorrect, ...
                                    forged.decision, forged.iterations, forged.restarts, forged.converged, ...
                                    forged.seconds);
    save ("-v7", unit, "-struct", "forged");
    message = errorOf (@() collect (folder), "zelmor:tasksFailed", what);
    assert (! isempty (strfind (message, "whole numbers of examples")), message);
    checked += 1;
  end
  save ("-v7", unit, "-struct", "saved");

  % model.mat is of its problem alone: the same folder submitted again with features on
  % another scale (the same once standardised), or other labels, makes a model anew.
  folder = fullfile (base, "stale");
  submit (folder);
  collect (folder);
  for c = 1:2
    delete (fullfile (folder, "job.mat"));
    if c == 1
      zelmor_submit (4 * X, y, "Folder", folder, options{:});
      again = zelmor_train (4 * X, y, options{:});
    else
      zelmor_submit (X, y + 10, "Folder", folder, options{:});
      again = zelmor_train (X, y + 10, options{:});
    end
    model = collect (folder);
    assert (same_bits (rmfield (model, "seconds"), rmfield (again, "seconds")), sprintf ("resubmitted, case %d", c));
    checked += 1;
  end

  % Two sessions on one folder. A second submission while the first waits on sbatch is
  % refused, and the first one's search is intact.
  folder = fullfile (base, "twice");
  mexFolder = fileparts (which ("zelmor_engine"));
  session = @(code) sprintf ("octave-cli -q -f --no-history --no-window-system --eval \"addpath('%s'); %s\"\n", ...
                             mexFolder, code);
  inputs = fullfile (state, "inputs.mat");
  save ("-v7", inputs, "X", "y");
  outcome = fullfile (state, "outcome");
  writeHook (fullfile (state, "sbatch-hook"), session (sprintf (["load('%s'); try, zelmor_submit(X, 3 - y, " ...
    "'Folder', '%s', 'Gamma', [0.5 1], 'Verbose', false); id = 'none'; catch e, id = e.identifier; end; " ...
    "f = fopen('%s', 'w'); fprintf(f, '%%s', id); fclose(f);"], inputs, folder, outcome)));
  submit (folder);
  assert (fileread (outcome), "zelmor:folderInUse");
  sameModel (collect (folder), "the first session's search");
  saved = load (fullfile (folder, "job.mat"));
  assert (numel (saved.job.attempts), 1);
  % A session holding the lock keeps every other from submitting.
  folder = fullfile (base, "locked");
  mkdir (fullfile (folder, "lock"));
  errorOf (@() submit (folder), "zelmor:folderInUse", "lock held");
  assert (! exist (fullfile (folder, "problem.mat"), "file"), "written under another session's lock");
  checked += 2;
  % Two collections that resubmit a failed task at once: the second session (run by squeue
  % between the first one's looks) resubmits it and it fails again; the first finds that
  % resubmission under the lock and does not make another, and no record is lost.
  folder = fullfile (base, "resubmitted");
  setenv ("FAKE_SLURM_FAIL", "2");
  job = submit (folder);
  setenv ("FAKE_SLURM_FAIL", "");
  writeHook (fullfile (state, "squeue-hook"), ["FAKE_SLURM_FAIL=2 ", session(sprintf (["try, zelmor_collect('%s', " ...
    "'Resubmit', true, 'Interval', 1, 'Verbose', false); id = 'none'; catch e, id = e.identifier; end; " ...
    "f = fopen('%s', 'w'); fprintf(f, '%%s', id); fclose(f);"], folder, outcome))]);
  calls = numel (strsplit (strtrim (fileread (fullfile (state, "sbatch-calls"))), "\n"));
  errorOf (@() collect (folder, "Resubmit", true), "zelmor:tasksFailed", "failed again, in the other session");
  assert (fileread (outcome), "zelmor:tasksFailed");
  saved = load (fullfile (folder, "job.mat"));
  assert (numel (strsplit (strtrim (fileread (fullfile (state, "sbatch-calls"))), "\n")), calls + 1);
  assert ({saved.job.attempts.id}, {job.id, fileread(fullfile (state, "last-id"))(1:end - 1)});
  sameModel (collect (folder, "Resubmit", true), "resubmitted once more");
  checked += 1;

  % The folder given is the folder used: a search moved elsewhere is collected there, and one
  % copied writes its final fit's script and record into the copy alone.
  folder = fullfile (base, "moved");
  submit (folder);
  movefile (folder, [folder "-b"]);
  sameModel (collect ([folder "-b"]), "moved");
  copy = [folder "-c"];
  copyfile ([folder "-b"], copy);
  delete (fullfile (copy, "model.mat"));
  sameModel (collect (copy, "FinalFit", "cluster"), "copied, final fit on the cluster");
  assert (! isempty (strfind (fileread (fullfile (copy, "fit.sh")), copy)));
  assert (! exist (fullfile ([folder "-b"], "fit.sh"), "file"));
  original = load (fullfile ([folder "-b"], "job.mat"));
  assert (isempty (original.job.fit));
  checked += 2;

  % Names Slurm or dir() would read as more than a name: % in a log file's pattern, and
  % wildcards (with folders beside it that the wildcards match, holding searches too).
  for name = {"50%a%j%%", "r?", "r*", "r[1]"}
    folder = fullfile (base, name{1});
    job = submit (folder);
    if name{1}(1) == "r"
      % cp, as copyfile would read the name as a pattern too.
      system (sprintf ("cp -R '%s' '%s/r1' && cp -R '%s' '%s/r2'", folder, base, folder, base));
    end
    model = collect (folder);
    sameModel (model, name{1});
    assert (isfinite (model.seconds.crossValidation) && model.seconds.crossValidation >= 0, name{1});
    for task = 1:job.tasks
      assert (exist (fullfile (folder, "logs", sprintf ("task-%s_%d.log", job.id, task)), "file") == 2, ...
              sprintf ("%s: no log of task %d", name{1}, task));
    end
    confirm_recursive_rmdir (false, "local");
    if exist (fullfile (base, "r1"), "dir")
      rmdir (fullfile (base, "r1"), "s");
      rmdir (fullfile (base, "r2"), "s");
    end
    checked += 1;
  end

  % ~ is the home folder wherever the session is; a NUL or a backslash in a name is refused
  % before anything is made.
  home = fullfile (base, "home");
  mkdir (home);
  setenv ("HOME", home);
  elsewhere = fullfile (base, "elsewhere");
  mkdir (elsewhere);
  cd (elsewhere);
  job = submit ("~/search");
  assert (job.folder, fullfile (home, "search"));
  assert (! exist (fullfile (elsewhere, "~"), "file"));
  sameModel (collect ("~/search"), "~/search");
  cd (oldFolder);
  errorOf (@() submit ([base "/nul" char(0) "x"]), "zelmor:badOption", "a NUL");
  assert (! exist (fullfile (base, "nul"), "file"), "a folder was made for a name with a NUL");
  errorOf (@() submit ([base "/back\\slash"]), "zelmor:badOption", "a backslash");
  assert (! exist ([base "/back\\slash"], "file"), "a folder was made for a name with a backslash");
  errorOf (@() zelmor_collect ("~other/search"), "zelmor:notAJob", "another user's home");
  checked += 4;
  printf ("cluster helpers against hostile and careless folders: %d checks passed\n", checked);
end

% The checksum problem.mat carries, made by a copy of the helpers' private function, as a
% forger would.
function checksum = checksumOf (data)
  copy = tempname ();
  mkdir (copy);
  copyfile (fullfile (fileparts (which ("zelmor_submit")), "private", "problem_checksum.m"), copy);
  addpath (copy);
  checksum = problem_checksum (data.problem, data.units);
  rmpath (copy);
  confirm_recursive_rmdir (false, "local");
  rmdir (copy, "s");
end

function writeHook (file, text)
  handle = fopen (file, "w");
  fputs (handle, text);
  fclose (handle);
end

function message = errorOf (call, id, what)
  try
    call ();
  catch failure
    assert (failure.identifier, id, [what ": " failure.message]);
    message = failure.message;
    return;
  end
  error ("test:noError", "%s: no error %s", what, id);
end

function restore (path, home, folder, state, base)
  cd (folder);
  setenv ("PATH", path);
  setenv ("HOME", home);
  unsetenv ("FAKE_SLURM_DIR");
  unsetenv ("FAKE_SLURM_FAIL");
  confirm_recursive_rmdir (false, "local");
  rmdir (state, "s");
  rmdir (base, "s");
end
