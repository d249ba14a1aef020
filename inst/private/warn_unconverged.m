%WARN_UNCONVERGED  zelmor:notConverged, naming every solve of a training that was still at the cap.
%
%  warn_unconverged(CALLER, PROBLEM, RESULT)
%
%  CALLER names the helper in the message; PROBLEM is training_problem's, RESULT the engine's
%  (with its grid). Warns nothing when every solve converged.

function warn_unconverged (caller, problem, result)
  unconverged = unconvergedCells(problem.plan, result);
  if ~isempty(unconverged)
    warning('zelmor:notConverged', ...
            ['%s: still at the cap of iterations after %d restarts at %s: the accuracies or the ' ...
             'model there come from dual variables that are not the solution. Allow more restarts with ' ...
             'the option ''MaxRestarts'', or leave out the largest C'], ...
            caller, problem.options.maxRestarts, strjoin(unique(unconverged), '; '));
  end
end

% Where a solve was still at the cap: the grid cells, and the final fit.
function unconverged = unconvergedCells (plan, result)
  unconverged = {};
  if ~isempty(plan.folds)
    [p, b] = find(plan.tried & ~all(result.grid.converged, 3));
    for i = 1:numel(p)
      unconverged{end + 1} = sprintf('%s, C = %g', describe_setting(plan.settings(p(i))), 1 / plan.betas(b(i)));
    end
  end
  if ~result.converged
    unconverged{end + 1} = sprintf('the final fit at %s, C = %g', describe_setting(plan.settings(result.setting)), ...
                                   1 / plan.betas(result.beta));
  end
end
