%MEMORY_OPTION  The --mem option of a cluster search's tasks or of its final fit.
%
%  OPTIONS = memory_option(PROBLEM, UNITS, THREADS, SBATCH)
%
%  PROBLEM is the search's (training_problem's); UNITS the search's units, rows of (setting,
%  fold, ...), of which a task runs THREADS at once (its CPUs), or [] for the final fit; SBATCH
%  the user's sbatch options. OPTIONS is {'--mem=...M'}: the engine's own estimate of what those units (or the
%  fit) hold at their peak, with the features as Octave holds them, Octave itself and a
%  margin; or {} when SBATCH already asks for memory.

function options = memory_option (problem, units, threads, sbatch)
  options = {};
  if any(strncmp(sbatch, '--mem', 5))
    return
  end
  engine = problem.plan.engine;
  engine.threads = max(threads, 1);
  engine.verbose = 0;
  % The folds are alike: any THREADS units weigh as much as a task's.
  atOnce = units(1:min(engine.threads, size(units, 1)), 1:min(2, size(units, 2)));
  bytes = zelmor_engine('memory', problem.X, problem.index, problem.classCount, engine, atOnce);
  % Octave itself, and the problem as loaded and handed to the engine.
  beside = 256 * 2 ^ 20 + 2 * 8 * (numel(problem.X) + numel(problem.index));
  options = {sprintf('--mem=%dM', ceil(1.25 * (bytes + beside) / 2 ^ 20))};
end
