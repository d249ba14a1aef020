%ZELMOR_PREDICT  Predicted classes and decision values, from a model or from dual variables.
%
%  [LABELS, SCORES] = zelmor_predict(MODEL, XTEST)
%  [LABELS, SCORES, PROBABILITIES] = zelmor_predict(MODEL, XTEST)
%  [CLASSES, DECISION] = zelmor_predict(KTEST, TAU)
%
%  With a MODEL from zelmor_train: standardises XTEST with the training
%  statistics, evaluates the kernel between its rows and the support vectors
%  in blocks of rows on every core (about 2^20 kernel values, 8 MB, per block
%  and thread, however many rows XTEST has), and predicts for each row the
%  class with the largest decision value, in the type of the training labels
%  (a tie goes to the class that sorts first). Every decision value is summed
%  over the support vectors in their order, so it has the same bits on every
%  machine and thread count.
%    MODEL    struct returned by zelmor_train (also after save and load).
%    XTEST    M-by-D features, one example per row, D as in training, full
%             or sparse against a model of either kind (trained on a full
%             or a sparse X): the same bits whatever the mix. A sparse XTEST
%             stays sparse, but for a model that centres its features (one
%             trained on a full X with 'Standardize'), which makes it full
%             as it standardises. For a 'precomputed' model, the M-by-N kernel between the new examples
%             and all N training examples (or only the support vectors,
%             MODEL.supportIndices, in that order).
%    LABELS   M predicted labels: an M-by-1 array of the training labels'
%             type (1-by-M when they were a row), or a char matrix with one
%             label per row.
%    SCORES   M-by-K decision values in units of the margin: SCORES(x, m) =
%             sum over the support vectors i of TAU(i, m) * K(x, x_i) / beta,
%             column m for class MODEL.classes(m). A training example that is
%             not a support vector scores its own class at least 1 (within
%             the solver's tolerance) above every other.
%    PROBABILITIES  M-by-K: row x is softmax(SCORES(x, :) / T), with T =
%             MODEL.temperature, and sums to 1. T is fitted when training:
%             the one temperature at which these probabilities, for the
%             training examples predicted by the cross-validation folds that
%             left them out, have the least log-loss. So they are the
%             scores calibrated as a whole: on data like the training data,
%             of the examples given 0.8 about eight in ten belong to that
%             class. They are not a measure of each example's own
%             uncertainty, not calibrated class by class (one T serves all),
%             and not to be trusted on data unlike the training data. They
%             follow the scores' order, so the most probable class is always
%             the predicted one: where a class before it scores lower by
%             less than the probabilities can show, it is shown as the next
%             double below. A model without calibration (one gamma and one C,
%             trained without 'Probability', true) raises
%             zelmor:notCalibrated.
%
%  With a kernel and dual variables (the solvers' own results):
%    KTEST     M-by-N kernel between M new examples (rows) and the N training
%              examples (columns), for example zelmor_kernel(Xnew, Xtrain, ...).
%              Use the training kernel itself to score the training examples.
%    TAU       N-by-K dual variables from zelmor_c2 or zelmor_c (or from
%              zelmor_path): in every row at most one entry above 0, none
%              above 1, and a sum of 0. A TAU that breaks this is refused, so
%              that swapped inputs never pass for a prediction.
%    CLASSES   M-by-1 predicted class numbers 1..K: the largest of
%              DECISION(x, m) = sum over i of TAU(i, m) * K(x, x_i), used
%              exactly as the solver returned it; a tie goes to the lowest class.
%    DECISION  M-by-K decision values.
%
%  Errors (identifiers): zelmor:nargin, zelmor:badModel (a struct that is not
%    a zelmor model, or a model with a field that zelmor_train cannot have
%    made, such as a beta that is not positive or fewer classes than tau has
%    columns: the message names it), zelmor:argumentOrder (a model given
%    second), zelmor:badExamples, zelmor:featureMismatch, zelmor:badKernel,
%    zelmor:badTau (TAU not finite doubles, or not dual variables: some row
%    with more than one entry above 0, one above 1, or a sum not 0, as when
%    the inputs are swapped), zelmor:kernelMismatch, zelmor:kernelNotFinite
%    (a kernel value between XTEST and the support vectors overflows),
%    zelmor:notCalibrated (PROBABILITIES asked of a model without a
%    temperature, or of dual variables).
%
%  Example:
%    X = [randn(20, 2); randn(20, 2) + 3];
%    model = zelmor_train(X, [repmat('a', 20, 1); repmat('b', 20, 1)]);
%    [labels, scores] = zelmor_predict(model, [0 0; 3 3])       % ['a'; 'b']
%    tau = zelmor_c2(zelmor_kernel(X, [], 'rbf', 0.5), [ones(20, 1); 2 * ones(20, 1)], 1, 2);
%    classes = zelmor_predict(zelmor_kernel([0 0; 3 3], X, 'rbf', 0.5), tau)   % [1; 2]
%
%  See also ZELMOR_TRAIN, ZELMOR_KERNEL, ZELMOR_C2, ZELMOR_C, ZELMOR_CROSSVAL.

function [classes, decision, probabilities] = zelmor_predict (Ktest, tau)
  if nargin ~= 2
    error('zelmor:nargin', 'zelmor_predict takes 2 inputs (got %d)', nargin);
  end
  if isstruct(Ktest)
    [classes, decision] = predictWithModel(Ktest, tau);
    if nargout > 2
      probabilities = calibrated(Ktest, decision);
    end
    return;
  end
  if nargout > 2
    error('zelmor:notCalibrated', ['probabilities come from a model: zelmor_train(X, Y) calibrates it, and ' ...
          '[LABELS, SCORES, PROBABILITIES] = zelmor_predict(MODEL, XTEST) gives them']);
  end
  if isstruct(tau)
    error('zelmor:argumentOrder', ['the model goes first: zelmor_predict(MODEL, XTEST) (got a %s first ' ...
          'and the model second)'], class(Ktest));
  end
  if ~isnumeric(Ktest) || ~isreal(Ktest) || ndims(Ktest) ~= 2 || ~all(isfinite(Ktest(:)))
    error('zelmor:badKernel', 'KTEST must be a real 2-D matrix of finite values');
  end
  if ~isa(tau, 'double') || ~isreal(tau) || issparse(tau) || ndims(tau) ~= 2 || ~all(isfinite(tau(:)))
    error('zelmor:badTau', 'TAU must be a real, full, 2-D double matrix of finite values');
  end
  % Shapes alone cannot tell the inputs apart when the test examples happen to be as many as
  % the classes: the solvers' dual variables can.
  problem = dualVariablesProblem(tau);
  if ~isempty(problem)
    hint = '';
    if isempty(dualVariablesProblem(double(Ktest)))
      hint = ['. KTEST looks like dual variables: the kernel goes first, zelmor_predict(KTEST, TAU), ' ...
              'or a model, zelmor_predict(MODEL, XTEST)'];
    end
    error('zelmor:badTau', ['TAU must hold dual variables from zelmor_c2 or zelmor_c: in every row at ' ...
          'most one entry above 0, none above 1, and a sum of 0 (%s)%s'], problem, hint);
  end
  if size(Ktest, 2) ~= size(tau, 1)
    error('zelmor:kernelMismatch', ...
          ['KTEST has %d columns but TAU has %d rows: KTEST must be the kernel between the test ' ...
           'examples (rows) and the %d training examples (columns), such as zelmor_kernel(Xtest, ' ...
           'Xtrain, ...) with the kernel of training; to predict from features, train a model with ' ...
           'zelmor_train and call zelmor_predict(MODEL, XTEST)'], size(Ktest, 2), size(tau, 1), size(tau, 1));
  end
  if size(tau, 2) < 1
    error('zelmor:badTau', 'TAU must have at least one column (one per class)');
  end

  decision = zelmor_engine('decision', full(double(Ktest)), tau, 0);
  [~, classes] = max(decision, [], 2);
  classes = reshape(classes, [], 1);
end


% What shows that TAU cannot be dual variables of the solvers, or '' when nothing does. Every
% row the solvers write is the example's target minus a point of the simplex: at most one
% entry above 0 (its own class), none above 1 (both exact), and a sum of 0 to within the
% projection's tolerance, far below the margin allowed here.
function problem = dualVariablesProblem (tau)
  problem = '';
  if isempty(tau)
    return;
  end
  [row, column] = find(tau > 1, 1);
  if ~isempty(row)
    problem = sprintf('row %d holds %g in column %d', row, tau(row, column), column);
    return;
  end
  above = sum(tau > 0, 2);
  row = find(above > 1, 1);
  if ~isempty(row)
    problem = sprintf('row %d has %d entries above 0', row, above(row));
    return;
  end
  sums = sum(tau, 2);
  row = find(abs(sums) > 1e-3 * max(1, max(abs(tau), [], 2)), 1);
  if ~isempty(row)
    problem = sprintf('row %d sums to %g', row, sums(row));
  end
end


% The model's probabilities from its scores, or zelmor:notCalibrated saying how to get them.
function probabilities = calibrated (model, scores)
  if ~isfield(model, 'temperature') || isempty(model.temperature)
    error('zelmor:notCalibrated', ['MODEL has no calibration for probabilities: train it with a grid of ' ...
          'gamma or C to choose from (its cross-validation calibrates it), or at a single gamma and C with ' ...
          '''Probability'', true']);
  end
  probabilities = zelmor_engine('probabilities', scores, model.temperature);
end

function [labels, scores] = predictWithModel (model, X)
  why = model_problem(model);
  if ~isempty(why)
    error('zelmor:badModel', 'MODEL %s', why);
  end
  X = checked_examples(X, 'XTEST');
  precomputed = strcmp(model.kernel, 'precomputed');
  supportCount = size(model.tau, 1);
  if precomputed
    X = full(X);
    if size(X, 2) == model.trainCount
      X = X(:, model.supportIndices);
    elseif size(X, 2) ~= supportCount
      error('zelmor:featureMismatch', ['a precomputed model needs the kernel with its %d training ' ...
            'examples (or its %d support vectors) as columns (got %d columns)'], model.trainCount, ...
            supportCount, size(X, 2));
    end
  elseif size(X, 2) ~= model.featureCount
    error('zelmor:featureMismatch', 'XTEST must have %d features, as in training (got %d)', ...
          model.featureCount, size(X, 2));
  end
  if model.standardize
    X = standardized(X, model.center, model.scale);
  end

  if precomputed
    decision = zelmor_engine('decision', X, model.tau, 0);
  else
    [gamma, degree, offset] = engine_kernel(model);
    decision = zelmor_engine('decision', X, model.supportVectors, model.kernel, gamma, degree, offset, model.tau, 0);
  end
  scores = decision / model.beta;
  [~, index] = max(scores, [], 2);
  if strcmp(model.labelType, 'char')
    labels = model.classes(index, :);
  else
    labels = model.classes(index);
    labels = labels(:);
    if model.labelsAsRow
      labels = labels.';
    end
  end
end

%!test
%! % Each decision value is the weighted kernel sum over the training examples.
%! Ktest = [1 0 2; 0.5 0.5 0; 0 0 0; -1 2 1];
%! tau = [1 -1; -0.5 0.5; 0.25 -0.25];
%! [classes, decision] = zelmor_predict(Ktest, tau);
%! expected = zeros(4, 2);
%! for x = 1:4
%!   for m = 1:2
%!     expected(x, m) = sum(tau(:, m) .* Ktest(x, :).');
%!   end
%! end
%! assert(decision, expected, 1e-15);
%! % Row 3 scores 0 for both classes: the tie goes to the lower class.
%! assert(classes, [1; 1; 1; 2]);

%!test
%! % A solve on separable data predicts its own training labels and two fresh points.
%! X = [0 0; 0.3 0.1; 0.1 0.4; 5 5; 5.2 4.9; 4.8 5.3; 0 5; 0.2 5.1; -0.1 4.7];
%! labels = [1; 1; 1; 2; 2; 2; 3; 3; 3];
%! G = zelmor_kernel(X, [], 'rbf', 0.5);
%! tau = zelmor_c2(G, labels, 1, 3);
%! assert(zelmor_predict(G, tau), labels);
%! assert(zelmor_predict(zelmor_kernel([5 5.1; 0.1 5], X, 'rbf', 0.5), tau), [2; 3]);

%!test
%! % No new examples gives empty results of the right shapes.
%! [classes, decision] = zelmor_predict(zeros(0, 3), repmat([0.75 -0.25 -0.25 -0.25], 3, 1));
%! assert(size(classes), [0 1]);
%! assert(size(decision), [0 4]);

%!test
%! % A model predicts in blocks of rows: 20000 rows against 83 support vectors take two.
%! t = (1:90).';
%! X = [cos(t), sin(3 * t)] + kron([0 0; 2 0; 0 2], ones(30, 1));
%! model = zelmor_train(X, kron((1:3).', ones(30, 1)), 'Gamma', 2, 'C', 0.1);
%! assert(size(model.tau, 1) * 20000 > 2 ^ 20);
%! test = repmat(X, 223, 1)(1:20000, :) + 0.01;
%! [labels, scores] = zelmor_predict(model, test);
%! standardized = (test - model.center) ./ model.scale;
%! expected = zelmor_kernel(standardized, model.supportVectors, 'rbf', model.gamma) * model.tau / model.beta;
%! assert(scores, expected, 1e-12);
%! [~, expectedLabels] = max(expected, [], 2);
%! assert(labels, expectedLabels);

%!test
%! % One row through a model: one label (a row, like the training labels) and one row of scores.
%! model = zelmor_train([0 0; 0 1; 5 5; 5 6; 0 6; 1 6], {'a'; 'a'; 'b'; 'b'; 'c'; 'c'}, 'C', 1, 'Gamma', 1);
%! [label, scores] = zelmor_predict(model, [5 5.5]);
%! assert(label, {'b'});
%! assert(size(scores), [1 3]);
%! [~, best] = max(scores);
%! assert(best, 2);
%! assert(zelmor_predict(model, [0.2 6]), {'c'});

%!test
%! % Whatever the solvers return passes for dual variables: cold solves at any beta (the
%! % smallest stops after one update, others at the cap), warm ones from another beta's, every
%! % beta of a path and a model's rows, on kernels of ordinary and of large scale.
%! t = (1:30).';
%! X = [cos(t), sin(3 * t)] + kron([0 0; 2 0; 0 2], ones(10, 1));
%! labels = kron((1:3).', ones(10, 1));
%! state = warning();
%! cleanup = onCleanup(@() warning(state));
%! warning('off', 'zelmor:stoppedAtStart');
%! warning('off', 'zelmor:iterationCap');
%! for scale = [1, 1e3]
%!   G = scale * zelmor_kernel(X, [], 'rbf', 0.7);
%!   path = zelmor_path(G, labels, [100 1 0.01 1e-4], 3);
%!   taus = squeeze(num2cell(path, [1 2]));
%!   for beta = [1e-4, 0.01, 1, 100]
%!     taus{end + 1} = zelmor_c2(G, labels, beta, 3);
%!     taus{end + 1} = zelmor_c(G, labels, beta, 3, path(:, :, 2));
%!   end
%!   for i = 1:numel(taus)
%!     assert(size(zelmor_predict(G, taus{i})), [30 1]);
%!   end
%! end
%! model = zelmor_train(G, labels, 'Kernel', 'precomputed', 'C', 10);
%! assert(size(zelmor_predict(G(:, model.supportIndices), model.tau)), [30 1]);

%!test
%! % A damaged model is refused, naming the field, before it predicts: each of these would
%! % predict wrong labels (a negative beta turns them around) or fail inside Octave.
%! base = zelmor_train([0 0; 0 1; 5 5; 5 6; 0 6; 1 6], [1 1 2 2 3 3], 'C', 1, 'Gamma', 1);
%! poly = zelmor_train([0 0; 0 1; 5 5; 5 6], [1 1 2 2], 'Kernel', 'poly', 'C', 1);
%! precomputed = zelmor_train(eye(4) + 1, [1 1 2 2], 'Kernel', 'precomputed', 'C', 1);
%! damages = {
%!   % model, field, damaged value
%!   base, 'beta', -1;  base, 'beta', 0;  base, 'beta', NaN;  base, 'version', '1'
%!   base, 'center', 0;  base, 'center', [NaN 0];  base, 'scale', [1 0];  base, 'standardize', []
%!   base, 'gamma', [];  base, 'gamma', -1;  base, 'degree', 3;  poly, 'degree', 2.5;  poly, 'offset', []
%!   base, 'classes', [1; 2];  base, 'classes', [];  base, 'tau', [base.tau, base.tau(:, 1)]
%!   base, 'tau', base.tau(:, 1);  base, 'supportIndices', base.supportIndices + 6
%!   base, 'supportIndices', flipud(base.supportIndices);  base, 'supportVectors', base.supportVectors(:, 1)
%!   base, 'labelType', 'cellstr';  base, 'labelsAsRow', 'yes';  base, 'kernel', 'sigmoid'
%!   base, 'featureCount', 1.5;  precomputed, 'supportIndices', precomputed.supportIndices + 4
%!   precomputed, 'standardize', true
%! };
%! for d = 1:rows(damages)
%!   [good, field, value] = damages{d, :};
%!   try
%!     zelmor_predict(setfield(good, field, value), ones(1, good.featureCount));
%!     error('test:noError', 'a model with a damaged %s predicted', field);
%!   catch failure
%!     assert(failure.identifier, 'zelmor:badModel', failure.message);
%!     assert(! isempty(strfind(failure.message, field)), failure.message);
%!   end
%! end
%! % The models themselves predict.
%! assert(size(zelmor_predict(poly, [0 0])), [1 1]);
%! assert(size(zelmor_predict(precomputed, ones(1, 4))), [1 1]);

%!shared model
%! model = zelmor_train([0 0; 0 1; 5 5; 5 6], [1 1 2 2], 'C', 1, 'Gamma', 1);
%!test
%! % Probabilities: rows of K that sum to 1, softmax(SCORES / T); the most probable class (the
%! % first largest, as max gives it) is the predicted one on every row, ties included: a point
%! % far from every example scores 0 for all classes, and takes the first class, at 1/3 each.
%! t = (1:90).';
%! X = [cos(t), sin(3 * t)] + kron([0 0; 2 0; 0 2], ones(30, 1));
%! y = kron([3; 1; 2], ones(30, 1));
%! trained = zelmor_train(X, y, 'Gamma', [0.5 2], 'C', [0.3 3 30], 'Folds', 3);
%! test = [X + 0.3 * sin(7 * X); 1e3 1e3; 1 1];
%! [labels, scores, P] = zelmor_predict(trained, test);
%! assert(size(P), [92 3]);
%! assert(all(P(:) >= 0) && max(abs(sum(P, 2) - 1)) <= 1e-12);
%! [~, likeliest] = max(P, [], 2);
%! assert(trained.classes(likeliest), labels);
%! assert(all(scores(91, :) == 0) && labels(91) == trained.classes(1));
%! assert(P(91, :), [1 1 1] / 3, 1e-15);
%! z = scores / trained.temperature;
%! expected = exp(z - max(z, [], 2)) ./ sum(exp(z - max(z, [], 2)), 2);
%! assert(P, expected, 1e-13);
%! % The same bits after save and load.
%! file = [tempname() '.mat'];
%! cleanup = onCleanup(@() delete(file));
%! save('-v7', file, 'trained');
%! loaded = load(file);
%! [~, ~, again] = zelmor_predict(loaded.trained, test);
%! assert(isequal(typecast(again(:), 'uint64'), typecast(P(:), 'uint64')));

%!test
%! % Without a temperature there are no probabilities: the message says how to get them.
%! uncalibrated = zelmor_train([0 0; 0 1; 5 5; 5 6], [1; 1; 2; 2], 'Gamma', 1, 'C', 1);
%! try
%!   [~, ~, P] = zelmor_predict(uncalibrated, [0 0]);
%!   error('test:noError', 'no error');
%! catch failure
%!   assert(failure.identifier, 'zelmor:notCalibrated');
%!   assert(! isempty(strfind(failure.message, '''Probability'', true')));
%! end
%! uncalibrated.temperature = -1;
%! try
%!   zelmor_predict(uncalibrated, [0 0]);
%!   error('test:noError', 'no error');
%! catch failure
%!   assert(failure.identifier, 'zelmor:badModel');
%! end

%!error id=zelmor:badModel zelmor_predict(struct('tau', 1), 1)
%!error id=zelmor:badModel zelmor_predict(setfield(model, 'format', 'other'), [0 0])
%!error id=zelmor:badModel zelmor_predict(setfield(model, 'version', 2), [0 0])
%!error id=zelmor:badModel zelmor_predict([model, model], [0 0])
%!error id=zelmor:featureMismatch zelmor_predict(model, [0 0 0])
%!error id=zelmor:badExamples zelmor_predict(model, [0 NaN])
%!error id=zelmor:badExamples zelmor_predict(model, {0, 0})
%!error <zelmor_predict takes> zelmor_predict(1)
%!error id=zelmor:badKernel zelmor_predict('a', 1)
%!error id=zelmor:badKernel zelmor_predict([1 Inf], [1; 1])
%!error id=zelmor:badTau zelmor_predict(1, single(1))
%!error id=zelmor:badTau zelmor_predict(1, NaN)
%!error id=zelmor:badTau zelmor_predict(zeros(1, 0), zeros(0, 0))
%!error id=zelmor:kernelMismatch zelmor_predict(ones(2, 3), zeros(2, 4))
