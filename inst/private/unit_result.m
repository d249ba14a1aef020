%UNIT_RESULT  A unit's result file, read and checked.
%
%  [RESULT, WHY] = unit_result(FOLDER, UNIT, DATA)
%
%  UNIT is (setting, fold); DATA the folder's problem.mat (read_problem's). RESULT is the
%  file's contents when it is whole, of this unit and of this problem, and its counts are
%  possible ones; otherwise [] and WHY says what is wrong with it: 'missing', or why it was
%  refused (it cannot be read, lacks a result, holds more than plain data, is of another
%  problem or another unit, its contents do not match their checksum, or its counts are not
%  whole numbers of examples of its fold).

function [result, why] = unit_result (folder, unit, data)
  result = [];
  why = '';
  file = unit_file(folder, unit);
  if ~exist(file, 'file')
    why = 'missing';
    return
  end
  [contents, why] = load_plain(file);
  if ~isempty(why)
    why = ['refused: ', why];
    return
  end
  why = refusal(contents, unit, data);
  if isempty(why)
    result = contents;
  end
end

function why = refusal (contents, unit, data)
  why = '';
  fields = unit_fields();
  plan = data.problem.plan;
  betaCount = numel(plan.betas);
  if ~all(isfield(contents, fields))
    why = 'refused: it lacks some of its results';
  elseif ~ischar(contents.checksum) || ~strcmp(contents.checksum, data.checksum)
    why = 'refused: it comes from another problem';
  elseif ~isequal(contents.unit, unit(:).')
    why = 'refused: it holds another unit';
  elseif ~isShaped(contents, betaCount, data.problem) || ~ischar(contents.content) ...
      || ~strcmp(contents.content, unit_checksum(contents))
    why = 'refused: its contents do not match their checksum';
  else
    why = countsRefusal(contents, unit, data.problem);
  end
end

% Cells not tried hold -1, in all and for each class; the others counts of the fold's examples,
% those of each class adding up to the cell's.
function why = countsRefusal (contents, unit, problem)
  why = '';
  plan = problem.plan;
  inFold = plan.folds == unit(2);
  foldSize = sum(inFold);
  classSizes = accumarray(problem.index(inFold), 1, [problem.classCount, 1]).';
  tried = plan.tried(unit(1), :);
  counts = [contents.correct(tried), contents.iterations, contents.restarts];
  byClass = contents.classCorrect(tried, :);
  if ~all(contents.correct(~tried) == -1) || ~all(counts == fix(counts) & counts >= 0) ...
      || any(contents.correct > foldSize) || ~all(all(contents.classCorrect(~tried, :) == -1)) ...
      || ~all(byClass(:) == fix(byClass(:)) & byClass(:) >= 0) || any(any(byClass > classSizes)) ...
      || ~isequal(sum(byClass, 2).', contents.correct(tried))
    why = sprintf('refused: its counts are not whole numbers of examples of its fold (0 to %d)', foldSize);
  end
end

function shaped = isShaped (contents, betaCount, problem)
  cells = {contents.correct, contents.iterations, contents.restarts, contents.seconds};
  times = {contents.baseSeconds, contents.kernelSeconds, contents.solveSeconds, contents.scoringSeconds};
  isReal = @(v) isa(v, 'double') && isreal(v) && ~issparse(v);
  shaped = all(cellfun(@(c) isReal(c) && isequal(size(c), [1, betaCount]), cells)) ...
           && islogical(contents.converged) && isequal(size(contents.converged), [1, betaCount]) ...
           && all(cellfun(@(t) isReal(t) && isscalar(t) && isfinite(t), times)) ...
           && all(isfinite(contents.seconds)) ...
           && isReal(contents.classCorrect) ...
           && isequal(size(contents.classCorrect), [betaCount, problem.classCount]);
  % The decision values of a calibrating search: the fold's rows of every beta, finite where tried.
  decision = contents.decision;
  if shaped && problem.plan.engine.calibrate
    foldSize = sum(problem.plan.folds == contents.unit(2));
    tried = problem.plan.tried(contents.unit(1), :);
    shaped = isReal(decision) && ndims(decision) <= 3 ...
             && isequal([size(decision, 1), size(decision, 2), size(decision, 3)], ...
                        [foldSize, problem.classCount, betaCount]) ...
             && all(reshape(isfinite(decision(:, :, tried)), [], 1));
  elseif shaped
    shaped = isReal(decision) && isempty(decision);
  end
end
