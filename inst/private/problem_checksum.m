%PROBLEM_CHECKSUM  A checksum of what the units of a search depend on, as 16 hex digits.
%
%  CHECKSUM = problem_checksum(PROBLEM)
%
%  PROBLEM is training_problem's. The checksum covers the features as the engine sees them,
%  the class numbers, the kernel settings, the betas, the cells tried, the folds and the
%  restarts allowed: everything a unit's results depend on, and nothing that changes none of
%  them (the thread count, the verbosity).

function checksum = problem_checksum (problem)
  e = problem.plan.engine;
  checksum = zelmor_engine('checksum', problem.X, problem.index, problem.classCount, e.kernel, e.gamma, ...
                           e.degree, e.offset, e.betas, e.tried, e.folds, e.maxRestarts);
end
