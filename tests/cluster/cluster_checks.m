% The Octave side of make test-cluster (test-cluster.sh runs each step in a fresh octave-cli,
% with SLURM_CONF naming the test's own Slurm):
%   cluster_checks('expected', WORK)          zelmor_train's models of the two problems
%   cluster_checks('whole', WORK)             a search of 4 tasks, its final fit as a job: the
%                                             model is zelmor_train's bit for bit, read again
%                                             from the folder, and fitted here again
%   cluster_checks('submit', WORK, NAME, SBATCH...)  submits problem NAME into WORK/NAME and
%                                             writes the job id to WORK/NAME.id
%   cluster_checks('collect', WORK, NAME)     collects it: the model must be zelmor_train's
%   cluster_checks('killed', WORK, NAME)      after a task was killed: the report names it, its
%                                             units and its log; resubmitted, only its missing
%                                             units run and the model is zelmor_train's
%   cluster_checks('limited', WORK)           6000 letters in tasks limited to 250 MB each, less
%                                             than the squared distances of all examples and a
%                                             fold's kernel need (8 * 6000^2 * 1.5 bytes): the
%                                             model is zelmor_train's
function cluster_checks (step, work, varargin)
  switch step
    case "expected"
      for name = {"small", "large"}
        [X, y, options] = problem (name{1});
        started = tic ();
        model = zelmor_train (X, y, options{:}, "Threads", 2, "Verbose", false);
        printf ("zelmor_train, %s problem (%d examples, %d classes): %.1f s\n", name{1}, rows (X), ...
                numel (model.classes), toc (started));
        save ("-v7", fullfile (work, [name{1} "-expected.mat"]), "model");
      end
    case "whole"
      [X, y, options] = problem ("small");
      folder = fullfile (work, "whole");
      started = tic ();
      job = zelmor_submit (X, y, options{:}, "Folder", folder, "Tasks", 4);
      assert (job.tasks, 4);
      model = zelmor_collect (job, "Interval", 1, "FinalFit", "cluster");
      printf ("zelmor_submit + zelmor_collect, 4 tasks and the final fit as a job: %.1f s\n", toc (started));
      expectSame (model, work, "small", "whole search, final fit on the cluster");
      logs = dir (fullfile (folder, "logs", "task-*.log"));
      assert (numel (logs), 4);
      for l = 1:numel (logs)
        text = fileread (fullfile (folder, "logs", logs(l).name));
        assert (! isempty (regexp (text, sprintf ("task \\d of 4 on %s", gethostname ()), "once")), text);
      end
      assert (numel (dir (fullfile (folder, "results", "unit-*.mat"))), 35);
      assert (same_bits (zelmor_collect (folder, "Verbose", false), model), "read again from the folder");
      delete (fullfile (folder, "model.mat"));
      again = zelmor_collect (folder, "Verbose", false);
      expectSame (again, work, "small", "fitted again on this machine");
    case "submit"
      [name, sbatch] = deal (varargin{1}, varargin(2:end));
      [X, y, options] = problem (name);
      job = zelmor_submit (X, y, options{:}, "Folder", fullfile (work, name), "Tasks", 4, "Sbatch", sbatch);
      handle = fopen (fullfile (work, [name ".id"]), "w");
      fprintf (handle, "%s\n", job.id);
      fclose (handle);
    case "limited"
      [X, y] = problem ("limited");
      options = {"Gamma", 0.1, "C", [1 10], "Folds", 2, "CacheSize", 20, "Verbose", false};
      expected = zelmor_train (X, y, options{:});
      folder = fullfile (work, "limited");
      started = tic ();
      job = zelmor_submit (X, y, options{:}, "Folder", folder, "Tasks", 2, "Sbatch", {"--mem=250M"});
      model = zelmor_collect (job, "Interval", 1, "FinalFit", "cluster");
      printf ("zelmor_submit + zelmor_collect of %d examples, tasks and fit within 250 MB each: %.1f s\n", ...
              rows (X), toc (started));
      assert (same_bits (rmfield (model, "seconds"), rmfield (expected, "seconds")), ...
              "within the memory limit: the model differs from zelmor_train's");
    case "collect"
      model = zelmor_collect (fullfile (work, varargin{1}), "Interval", 1);
      expectSame (model, work, varargin{1}, "collected");
    case "killed"
      name = varargin{1};
      folder = fullfile (work, name);
      saved = load (fullfile (folder, "job.mat"));
      job = saved.job;
      try
        zelmor_collect (job, "Interval", 1);
        error ("test:noError", "zelmor_collect put together a search with a killed task");
      catch failure
        assert (failure.identifier, "zelmor:tasksFailed", failure.message);
        report = failure.message;
      end
      printf ("the report:\n%s\n", report);
      missing = regexp (report, sprintf ("task 2 \\(%s_2, FAILED\\): (\\d+) units? without a result", job.id), ...
                        "tokens", "once");
      assert (! isempty (missing), report);
      missing = str2double (missing{1});
      assert (missing >= 1 && missing < 9, sprintf ("%d units of task 2 missing: was it killed while it ran?", missing));
      assert (isempty (strfind (report, "task 1 (")) && isempty (strfind (report, "task 3 (")), report);
      log = fullfile (folder, "logs", sprintf ("task-%s_2.log", job.id));
      for part = {log, "| zelmor_task: ", "'Resubmit', true"}
        assert (! isempty (strfind (report, part{1})), ["the report lacks " part{1}]);
      end
      model = zelmor_collect (job, "Interval", 1, "Resubmit", true);
      expectSame (model, work, name, "after the resubmission");
      saved = load (fullfile (folder, "job.mat"));
      assert (numel (saved.job.attempts), 2);
      assert (saved.job.attempts(2).tasks, 2);
      text = fileread (fullfile (folder, "logs", sprintf ("task-%s_2.log", saved.job.attempts(2).id)));
      assert (! isempty (strfind (text, sprintf ("9 units, %d to run", missing))), text);
      printf ("the killed task, resubmitted, ran its %d missing units of 9\n", missing);
  end
end

% The letter data (first rows), features scaled to [-1, 1] as the benchmark does, and the
% default grid.
function [X, y, options] = problem (name)
  rows = struct ("small", 300, "large", 800, "limited", 6000).(name);
  here = fileparts (mfilename ("fullpath"));
  plain = [tempname() ".csv"];
  cleanup = onCleanup (@() delete (plain));
  if system (sprintf ("gzip -dc '%s' > '%s'", fullfile (here, "..", "..", "bench", "data", "letter.csv.gz"), plain))
    error ("test:data", "cannot read the letter data");
  end
  data = dlmread (plain, ",")(1:rows, :);
  [X, y] = deal (data(:, 1:end - 1), data(:, end));
  low = min (X);
  span = max (X) - low;
  span(span == 0) = 1;
  X = 2 * (X - low) ./ span - 1;
  options = {"Verbose", true};
  % The small one with class weights and balanced accuracy, so that both reach the units.
  if strcmp (name, "small")
    options = [options, {"ClassWeight", "balanced", "Scoring", "balancedAccuracy"}];
  end
end

function expectSame (model, work, name, what)
  expected = load (fullfile (work, [name "-expected.mat"])).model;
  assert (same_bits (rmfield (model, "seconds"), rmfield (expected, "seconds")), ...
          [what ": the model differs from zelmor_train's"]);
  assert (isscalar (model.temperature), [what ": no temperature"]);
  printf ("%s: the model is zelmor_train's, bit for bit (C = %g, gamma %g, %d support vectors, T = %.4g)\n", ...
          what, model.C, model.gamma, numel (model.supportIndices), model.temperature);
end
