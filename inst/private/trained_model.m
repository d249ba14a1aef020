%TRAINED_MODEL  The model struct that zelmor_predict reads, from a training problem and the engine's fit.
%
%  MODEL = trained_model(PROBLEM, RESULT, SECONDS)
%
%  PROBLEM is training_problem's; RESULT the struct of zelmor_engine's 'train' or 'fit' (the
%  latter with the grid of the units put together in RESULT.grid); SECONDS the total time.
%  The model's fields are listed in zelmor_train's help.

function model = trained_model (problem, result, seconds)
  plan = problem.plan;
  options = problem.options;
  X = problem.X;
  grid = struct('gamma', plan.gammaGrid, 'degree', plan.degreeGrid, 'C', 1 ./ plan.betas, 'accuracy', [], ...
                'balancedAccuracy', [], 'scoring', options.scoring, 'foldAccuracy', [], 'restarts', [], ...
                'converged', [], 'folds', plan.folds);
  if ~isempty(plan.folds)
    cells = result.grid;
    tried = repmat(plan.tried, [1, 1, options.folds]);
    correct = cells.correct;
    correct(~tried) = NaN;
    [grid.accuracy, grid.foldAccuracy] = pooled_accuracy(correct, cells.foldSizes);
    % Each class's recall over all folds, then their mean (NaN where not tried, as the counts -1).
    classSizes = accumarray(problem.index, 1, [problem.classCount, 1]);
    recall = sum(cells.classCorrect, 3) ./ reshape(classSizes, 1, 1, 1, []);
    grid.balancedAccuracy = mean(recall, 4);
    grid.balancedAccuracy(~plan.tried) = NaN;
    % Cells never tried have no solve to report on: NaN, as their accuracy.
    grid.restarts = double(cells.restarts);
    grid.restarts(~tried) = NaN;
    grid.converged = double(cells.converged);
    grid.converged(~tried) = NaN;
  end
  setting = plan.settings(result.setting);
  beta = plan.betas(result.beta);
  support = find(any(result.tau ~= 0, 2));
  supportVectors = [];
  if ~strcmp(options.kernel, 'precomputed')
    supportVectors = X(support, :);
  end
  fitSeconds = result.kernelSeconds + result.solveSeconds;
  work = struct('kernels', result.kernelSeconds, 'solves', result.solveSeconds, 'scoring', 0, ...
                'calibration', result.calibrationSeconds);
  if ~isempty(plan.folds)
    work.kernels = work.kernels + result.grid.baseSeconds + result.grid.kernelSeconds;
    work.solves = work.solves + result.grid.solveSeconds;
    work.scoring = result.grid.scoringSeconds;
  end
  model = struct('format', 'zelmor model', 'version', 1, 'kernel', options.kernel, ...
                 'gamma', setting.gamma, 'degree', setting.degree, 'offset', setting.offset, ...
                 'standardize', options.standardize, 'center', problem.center, 'scale', problem.scale, ...
                 'supportVectors', supportVectors, 'supportIndices', support, 'tau', result.tau(support, :), ...
                 'classes', {problem.classes}, 'labelType', problem.labelType, 'labelsAsRow', problem.labelsAsRow, ...
                 'C', 1 / beta, 'beta', beta, ...
                 'featureCount', size(X, 2), 'trainCount', size(X, 1), 'grid', grid, ...
                 'iterations', result.iterations, 'restarts', result.restarts, 'converged', result.converged, ...
                 'tolerance', result.tolerance, 'temperature', result.temperature, ...
                 'seconds', struct('crossValidation', result.crossValidationSeconds, 'fit', fitSeconds, ...
                                   'total', seconds, 'kernels', work.kernels, 'solves', work.solves, ...
                                   'scoring', work.scoring, 'calibration', work.calibration));
  % The fields zelmor_predict relies on are listed once, in model_fields; a model that strays
  % from that list stops here.
  model = orderfields(model, model_fields());
end
