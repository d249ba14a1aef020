%COLLECTED_MODEL  The model of a cluster search, from the results of its units in its folder.
%
%  [MODEL, RESULT] = collected_model(FOLDER, DATA, SUBMITTED)
%
%  DATA is the folder's problem.mat (problem, checksum, units). Every unit's result is read
%  and checked, and the units are put together in the order of DATA.units into the grid that
%  zelmor_engine's 'train' would have made; the choice and the final fit are then the
%  engine's, from the same counts, and so is the temperature, from the chosen cell's decision
%  values that its units wrote: MODEL is zelmor_train's, bit for bit, but for its times.
%  RESULT is the engine's, with the grid. Nothing is put together from a part: a unit whose
%  result is missing or refused raises zelmor:missingResults, naming each. The model's
%  cross-validation time runs from SUBMITTED (a serial date number) to the last result written.

function [model, result] = collected_model (folder, data, submitted)
  problem = data.problem;
  plan = problem.plan;
  [P, B, F, K] = deal(numel(plan.settings), numel(plan.betas), max(plan.folds), problem.classCount);
  % The grid as the engine names and shapes it, every cell untried until its unit fills it.
  grid = zelmor_engine('grid', P, B, F, K);
  grid.foldSizes = accumarray(plan.folds(:), 1).';
  grid.concurrentUnits = 1;
  problems = {};
  decisions = cell(P, F);
  lastWritten = submitted;
  for u = 1:size(data.units, 1)
    unit = data.units(u, 1:2);
    [cells, why] = unit_result(folder, unit, data);
    if isempty(cells)
      problems{end + 1} = sprintf('%s: %s', unit_file(folder, unit), why);
      continue
    end
    [p, f] = deal(unit(1), unit(2));
    lastWritten = max(lastWritten, modified_time(unit_file(folder, unit)));
    grid.correct(p, :, f) = cells.correct;
    grid.classCorrect(p, :, f, :) = reshape(cells.classCorrect, [1, B, 1, K]);
    decisions{p, f} = cells.decision;
    grid.iterations(p, :, f) = cells.iterations;
    grid.restarts(p, :, f) = cells.restarts;
    grid.converged(p, :, f) = cells.converged;
    grid.seconds(p, :, f) = cells.seconds;
    grid.baseSeconds = grid.baseSeconds + cells.baseSeconds;
    grid.kernelSeconds = grid.kernelSeconds + cells.kernelSeconds;
    grid.solveSeconds = grid.solveSeconds + cells.solveSeconds;
    grid.scoringSeconds = grid.scoringSeconds + cells.scoringSeconds;
  end
  if ~isempty(problems)
    error('zelmor:missingResults', '%d of %d units have no result to use:\n  %s', numel(problems), ...
          size(data.units, 1), strjoin(problems, sprintf('\n  ')));
  end
  result = zelmor_engine('fit', problem.X, problem.index, problem.classCount, plan.engine, grid.classCorrect);
  if plan.engine.calibrate
    % The chosen cell's out-of-fold decision values, each fold's rows from its unit.
    decision = zeros(size(problem.X, 1), K);
    for f = 1:F
      decision(plan.folds == f, :) = decisions{result.setting, f}(:, :, result.beta);
    end
    started = tic;
    result.temperature = zelmor_engine('calibrate', decision, problem.index, K, plan.betas(result.beta));
    result.calibrationSeconds = toc(started);
  end
  result.grid = grid;
  result.crossValidationSeconds = (lastWritten - submitted) * 86400;
  model = trained_model(problem, result, result.crossValidationSeconds + result.kernelSeconds + result.solveSeconds);
end
