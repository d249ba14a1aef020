%ZELMOR_TRAIN  Train a Crammer-Singer multi-class SVM from features and labels in one call.
%
%  MODEL = zelmor_train(X, Y)
%  MODEL = zelmor_train(X, Y, NAME, VALUE, ...)
%
%  Standardises the features, chooses the kernel parameter and C by stratified
%  k-fold cross-validation over a grid (or takes them as given), trains the
%  final model on all examples, and returns it as a plain struct that
%  zelmor_predict(MODEL, XTEST) uses. Every solve reaches a tolerance relative
%  to beta = 1/C and continues past the solvers' cap of N^2 iterations (see
%  zelmor_path). The whole search runs in one call of the engine, on threads
%  of this process: the kernels are computed from the features in C++ (the
%  squared distances or products once for every gamma), and the units of
%  (kernel parameter, fold) run at once, as many as the cores and memory
%  allow; every result is the same whatever the thread count. Ctrl-C stops
%  it within a fraction of a second, with no output assigned.
%
%  Inputs:
%    X   N-by-D features, one example per row: real, finite, numeric or
%        logical, full or sparse. A sparse X stays sparse: its kernels are
%        computed from its non-zeros, the same bits as from the same values
%        given full, and its features take memory in proportion to them.
%        With 'Kernel' 'precomputed', the N-by-N training kernel.
%    Y   N labels of any type: numeric (any values but NaN), logical, a char
%        matrix with one label per row, a cell array of char rows, and, where
%        the host has them, string or categorical arrays. The classes are the
%        distinct labels, sorted; predictions come back in the same type.
%
%  Options (name, value; names in any case):
%    'Kernel'       'rbf' (default): exp(-gamma * |x - z|^2); 'linear': x * z';
%                   'poly': (gamma * x * z' + offset)^degree; 'precomputed'.
%    'Gamma'        gamma of 'rbf' and 'poly': a scalar, or a vector to choose
%                   from. Default for 'rbf': gamma0 * 2.^(-3:3), for 'poly':
%                   gamma0, where gamma0 = 1 / (D * the mean variance of the
%                   features used), which is 1/D after standardisation, so
%                   that the grid does not depend on the scale of X (for a
%                   sparse X, the variances come from its non-zeros).
%    'Degree'       degree of 'poly': positive integer(s); default 3.
%    'Offset'       offset of 'poly': a scalar >= 0; default 1 (zelmor_kernel's
%                   own default is 0).
%    'C'            C = 1/beta: a positive scalar, or a vector to choose from.
%                   Default 2.^(-2:2:10) = 0.25, 1, 4, ..., 1024, where for
%                   'rbf' only C <= 2^10 * gamma / gamma0 is tried: at the
%                   smallest gammas the largest C take the longest to solve
%                   and, on the usual data sets, never win by much. On two
%                   cores a 7 x 7 grid with 5 folds takes about a second for
%                   1347 digits and under half a minute for 4435 satimage
%                   examples (docs/performance.md has the figures). For
%                   'linear' the default is 2.^(-4:2:4), as its solves converge
%                   slowly at large C.
%    'Beta'         the same as beta = 1/C; give 'C' or 'Beta', not both.
%    'Folds'        the number of cross-validation folds, an integer from 2 to
%                   N; default 5 (N when N < 5).
%    'Seed'         seed of the fold assignment (zelmor_folds); default 1.
%    'Standardize'  true (default): centre and scale every feature by the
%                   training mean and standard deviation (kept in the model,
%                   applied again by zelmor_predict); not for 'precomputed'.
%                   Centring would fill a sparse X with non-zeros, so for a
%                   sparse X true means: divide every feature by its largest
%                   absolute value, with no centring (as scikit-learn's
%                   MaxAbsScaler); for z-scores, pass full(X).
%    'ClassWeight'  weights of the classes, in the order of MODEL.classes: K
%                   positive values, or 'balanced' for N / (K * N_c), N_c the
%                   examples of class c among all N (every fold uses these).
%                   Default: none. An example's weight multiplies its C, as
%                   LIBSVM's -wi and scikit-learn's class_weight do.
%    'Weights'      N positive weights, one per example, each multiplying its
%                   example's C (with 'ClassWeight', the two multiply), as
%                   scikit-learn's sample_weight does: in the dual, its bound,
%                   tau_i <= w_i * Y_i. Default: none. Each fold trains with
%                   the weights of its examples; its test examples count once
%                   each, whatever their weight.
%    'Scoring'      what the choice maximises: 'accuracy' (default), the
%                   fraction of the N examples predicted correctly, or
%                   'balancedAccuracy', the mean over the classes of the
%                   fraction of each class's examples predicted correctly,
%                   which weighs a small class as much as a large one.
%    'Probability'  'auto' (default): calibrate the probabilities of
%                   zelmor_predict from the out-of-fold decision values of the
%                   chosen cell, whenever there is a grid to cross-validate (no
%                   training of its own); true: at a single gamma and C too, by
%                   a cross-validation of that cell ('Folds', 'Seed'); false:
%                   no calibration.
%    'Threads'      most threads to use (default: every core); 1 for serial.
%    'Parallel'     'serial' means one thread; 'auto' (default) and the values
%                   'pararrayfun' and 'parfor' mean every core.
%    'MaxRestarts'  most continuations from a capped solve per beta (default
%                   20), a non-negative integer. Each costs up to N^2
%                   iterations.
%    'Verbose'      true: a line per kernel parameter as its cross-validation
%                   ends, and one for the final fit (what, how far, seconds),
%                   and every ten seconds one for a solve that runs long (its
%                   iterations, largest violation against its tolerance and
%                   seconds); false: none; 'auto' (default): only once the
%                   work has run for 2 seconds.
%    'CacheSize'    megabytes of kernel columns each solve keeps, a positive
%                   number (default: a share of half the machine's memory among
%                   the solves at once, from 16 to 384). No result depends on
%                   it.
%
%  Choice: the grid point with the best pooled cross-validated score (the
%  fraction of all N examples predicted correctly, or with 'Scoring'
%  'balancedAccuracy' the mean recall of the classes, compared exactly from
%  whole counts); among equals the smallest C, then the smallest kernel
%  parameter. Cross-validation runs only when there is something to choose
%  (or to calibrate). Along C every fold follows one path from the smallest C
%  up, each solve warm-started from the last; the final model is a cold solve
%  at the chosen C on all examples.
%
%  Probabilities: the cross-validation predicts every example from the fold
%  that leaves it out. At the chosen cell, their scores (decision values in
%  units of the margin, as zelmor_predict gives them) fix one temperature T,
%  the one in [2^-10, 2^10] that minimises the log-loss of softmax(scores / T)
%  over all N examples (60 steps of a golden-section search over log T,
%  every sum in a fixed order: the same bits on any thread count and on a
%  cluster). zelmor_predict's probabilities are then softmax(SCORES / T).
%
%  Output MODEL, a struct that save and load keep (Octave text, -v7):
%    format, version    'zelmor model' and 1: what zelmor_predict checks
%    kernel, gamma, degree, offset   the kernel and its parameters ([] where
%                       they do not apply)
%    standardize, center, scale      the feature statistics ([] when off;
%                       for a sparse X, center [] and scale the largest
%                       absolute values, 1 for a feature that is all zero)
%    supportVectors     the standardised features of the support vectors,
%                       the examples whose dual variables are not all zero
%                       ([] for 'precomputed'); sparse when X was
%    supportIndices     their rows in X
%    tau                their dual variables, one column per class
%    classes            the class names in the type of Y (a char matrix for
%                       char labels); labelType names that type, and
%                       labelsAsRow is true when Y was a row
%    C, beta            the chosen C and beta = 1/C
%    featureCount, trainCount        D (N for 'precomputed') and N
%    grid               gamma, degree (one per row), C (one per column),
%                       accuracy (pooled), balancedAccuracy (the mean of the
%                       classes' pooled recalls), foldAccuracy (per fold,
%                       third dimension), restarts and converged of every
%                       solve (per fold; converged is 1 where the solve ended
%                       below its tolerance, 0 where it was still at the
%                       cap), each NaN where the cell was not tried; scoring,
%                       what chose; and folds; empty fields without
%                       cross-validation
%    iterations, restarts, converged, tolerance   of the final solve
%                       (tolerance: 0.001 * beta)
%    temperature        T of the probabilities (see above); [] without
%                       calibration
%    seconds            crossValidation, fit and total wall-clock times; and
%                       where the work went, in seconds of the threads that
%                       did it added up: kernels, solves and scoring (of the
%                       test folds); calibration, the fit of the temperature
%
%  Memory, beside X (and, for a sparse X, a copy of its non-zeros example by
%  example, 12 bytes each): no kernel is held whole. Each solve makes the columns of
%  its kernel from the features as it needs them and keeps the recent ones
%  in a cache of 'CacheSize' megabytes (as LIBSVM's -m and scikit-learn's
%  cache_size); the model's bits do not depend on its size. Per unit of
%  (kernel parameter, fold) running at once: its cache, a copy of its
%  examples' features and its solver's state, about 5 * N * K doubles. The
%  peak is about 8 * N * D + T * (CacheSize + 40 * N * K) bytes with T units
%  at once (T is at most the thread count, and as many as fit within half of
%  the machine's memory). Where the squared distances (or products) of all
%  examples, N^2 doubles, fit beside every unit's whole kernel within the
%  caches of the units at once, they are made once and every kernel is
%  made from them. The final fit is one solve with one cache, on every
%  thread. To calibrate, it keeps the out-of-fold decision values of every
%  cell, N * K doubles each: 94 MB for the 45 cells of the default grid at
%  N = 10000 and K = 26.
%
%  Warning: zelmor:notConverged when a solve was still at the cap after
%  'MaxRestarts' continuations.
%
%  Errors (identifiers): zelmor:nargin, zelmor:badExamples (X not real numeric,
%    empty, without features, holding NaN or Inf, or of a scale whose
%    variance overflows), zelmor:sizeMismatch (X and Y count different
%    examples), zelmor:badLabels (an unsupported type, a missing label, or a
%    cell holding something other than char rows), zelmor:oneClass,
%    zelmor:badOption (unknown option, bad value, 'C' and 'Beta' together),
%    zelmor:badWeights ('ClassWeight' or 'Weights' not positive and finite, or
%    not one per class or per example),
%    zelmor:badKernelType, zelmor:badKernelParameter, zelmor:kernelNotFinite
%    (a kernel value overflows, as a poly kernel of a huge degree does),
%    zelmor:badC (C not positive and finite), zelmor:badBeta (the same for
%    beta), zelmor:badFolds, zelmor:badSeed, zelmor:kernelNotSquare,
%    zelmor:kernelZeroDiagonal (a precomputed kernel), zelmor:outOfMemory.
%
%  Example:
%    X = [randn(40, 2); randn(40, 2) + 3; randn(40, 2) - 3];
%    y = [repmat({'left'}, 40, 1); repmat({'up'}, 40, 1); repmat({'down'}, 40, 1)];
%    model = zelmor_train(X, y);
%    labels = zelmor_predict(model, [3 3; -3 -3])     % {'up'; 'down'}
%
%  See also ZELMOR_PREDICT, ZELMOR_CROSSVAL, ZELMOR_PATH, ZELMOR_KERNEL.

function model = zelmor_train (X, y, varargin)
  started = tic;
  if nargin < 2
    error('zelmor:nargin', 'zelmor_train takes at least 2 inputs (got %d)', nargin);
  end
  [values, given] = helper_options('zelmor_train', varargin);
  problem = training_problem(X, y, values, given);
  % The whole search and the final fit, in the engine.
  result = zelmor_engine('train', problem.X, problem.index, problem.classCount, problem.plan.engine);
  model = trained_model(problem, result, toc(started));
  printLine(problem.options.verbose, started, ...
            sprintf('chose %s, C = %g; fit on all %d examples: %d support vectors, %.1f s', ...
                    describe_setting(problem.plan.settings(result.setting)), model.C, size(problem.X, 1), ...
                    numel(model.supportIndices), model.seconds.fit));
  warn_unconverged('zelmor_train', problem, result);
end

function printLine (verbose, started, text)
  elapsed = toc(started);
  if isequal(verbose, true) || (ischar(verbose) && elapsed >= zelmor_engine('quietSeconds'))
    fprintf('zelmor_train: %s; %.1f s\n', text, elapsed);
  end
end

%!shared X, classOf
%! % Three blobs of 20 points, made without the random generators so every run sees the same.
%! t = (1:60).';
%! X = [cos(t), sin(2 * t)] * 1.2 + kron([0 0; 3 0; 0 3], ones(20, 1));
%! X(:, 3) = 10 * mod(t, 7);   % on another scale, and little use
%! classOf = kron((1:3).', ones(20, 1));

%!test
%! % Train, save, load and predict with every label type the host has: the labels come back
%! % in their own type, the same before and after save/load (text and -v7).
%! kinds = {
%!   'double, any values',  [-3; 0.5; 7]
%!   'int8',                int8([5; -2; 9])
%!   'char rows',           ['left '; 'up   '; 'right']
%!   'cellstr',             {'setosa'; 'versicolor'; 'virginica'}
%! };
%! if exist('OCTAVE_VERSION', 'builtin') == 0
%!   kinds(end + 1, :) = {'string', string({'a'; 'b'; 'c'})};
%!   kinds(end + 1, :) = {'categorical', categorical({'x'; 'y'; 'z'})};
%! end
%! file = [tempname() '.mat'];
%! cleanup = onCleanup(@() delete(file));
%! for c = 1:rows(kinds)
%!   [what, names] = kinds{c, :};
%!   if ischar(names)
%!     y = names(classOf, :);
%!   else
%!     y = names(classOf);
%!   end
%!   model = zelmor_train(X, y, 'Gamma', 0.5, 'C', 10);
%!   [labels, scores] = zelmor_predict(model, X(1:3:end, :));
%!   assert(class(labels), class(y), what);
%!   assert(isequal(labels, y(1:3:end, :)), what);
%!   assert(size(scores), [20 3]);
%!   for format = {'-text', '-v7'}
%!     saved = model;
%!     save(format{1}, file, 'saved');
%!     loaded = load(file);
%!     [again, againScores] = zelmor_predict(loaded.saved, X(1:3:end, :));
%!     assert(isequal(again, labels) && isequal(class(again), class(labels)), [what, format{1}]);
%!     assert(againScores, scores, 1e-12);
%!   end
%! end
%! % Labels given as a row come back as a row.
%! model = zelmor_train(X, names(classOf).', 'Gamma', 0.5, 'C', 10);
%! assert(isequal(zelmor_predict(model, X(1:3:end, :)), names(classOf(1:3:end)).'));
%! % Two classes as logical labels, and the scores from the support vectors by hand.
%! y = classOf > 1;
%! model = zelmor_train(X, y, 'Kernel', 'linear', 'C', 1);
%! assert(islogical(zelmor_predict(model, X)));
%! [labels, scores] = zelmor_predict(model, X);
%! standardized = (X - mean(X)) ./ std(X);
%! expected = standardized * standardized(model.supportIndices, :).' * model.tau / model.beta;
%! assert(scores, expected, 1e-9);
%! assert(mean(labels == y) > 0.8);

%!test
%! % The grid choice is the one made by hand: per gamma a cross-validated path over C from
%! % the smallest up, the best pooled accuracy (ties to the smallest C), then a cold solve.
%! gammas = [0.1 1 4];
%! Cs = [0.25 4 64];
%! [model, shown] = deal([]);
%! shown = evalc(['model = zelmor_train(X, classOf, ''Gamma'', gammas, ''C'', Cs, ''Folds'', 3, ' ...
%!                '''Seed'', 7, ''Verbose'', true);']);
%! assert(numel(regexp(shown, 'zelmor_train: [^\n]*; [0-9.]+ s[^\n]*\n', 'match')), 4);
%! assert(numel(regexp(shown, 'gamma [0-9.]+ \(\d of 3\): best 3-fold accuracy [^\n]*about \d+ s left', 'match')), 3);
%! standardized = (X - mean(X)) ./ std(X);
%! folds = zelmor_folds(classOf, 3, 7);
%! pooled = zeros(3, 3);
%! for p = 1:3
%!   G = zelmor_kernel(standardized, [], 'rbf', gammas(p));
%!   [~, ~, ~, ~, info] = zelmor_crossval(G, classOf, 1 ./ Cs, folds, 'Parallel', 'serial');
%!   pooled(p, :) = info.pooled.';
%! end
%! assert(model.grid.accuracy, pooled, 0);
%! assert(model.grid.C, Cs);
%! assert(model.grid.gamma, gammas(:));
%! [p, b] = find(pooled == max(pooled(:)));
%! [b, first] = min(b);
%! assert([model.gamma, model.C], [gammas(p(first)), Cs(b)]);
%! G = zelmor_kernel(standardized, [], 'rbf', model.gamma);
%! tau = zelmor_path(G, classOf, 1 / model.C, 3);
%! assert(isequal(model.tau, tau(model.supportIndices, :)));
%! assert(all(all(tau(setdiff(1:60, model.supportIndices), :) == 0)));
%! assert(isequal(model.supportVectors, standardized(model.supportIndices, :)));

%!test
%! % A large C: a plain cold solve stops after one update and predicts one class; trained
%! % here, the solve converges and the training set is learnt.
%! G = zelmor_kernel((X - mean(X)) ./ std(X), [], 'rbf', 0.3);
%! state = warning('off', 'zelmor:stoppedAtStart');
%! [tau, count] = zelmor_c2(G, classOf, 1 / 4096, 3);
%! warning(state);
%! assert(count, 0);
%! assert(mean(zelmor_predict(G, tau) == classOf) < 0.5);
%! model = zelmor_train(X, classOf, 'Gamma', 0.3, 'C', 4096);
%! assert(model.converged);
%! assert(model.tolerance <= 0.001 / 4096);
%! assert(mean(zelmor_predict(model, X) == classOf), 1);

%!test
%! % A precomputed kernel: predicted from the columns of all training examples or of the
%! % support vectors alone; poly settings form a grid of degree and gamma.
%! G = zelmor_kernel(X, [], 'linear');
%! Cs = [0.0001 0.001 0.01 0.03];
%! model = zelmor_train(G, classOf, 'Kernel', 'precomputed', 'C', Cs);
%! [~, best] = max(model.grid.accuracy);
%! assert(model.C, Cs(best));
%! assert(isempty(model.supportVectors) && ~model.standardize);
%! labels = zelmor_predict(model, G);
%! assert(isequal(zelmor_predict(model, G(:, model.supportIndices)), labels));
%! model = zelmor_train(X, classOf, 'Kernel', 'poly', 'Degree', [2 3], 'Gamma', [0.1 0.2], 'C', 1, 'Folds', 2);
%! assert([model.grid.degree, model.grid.gamma], [2 0.1; 3 0.1; 2 0.2; 3 0.2]);
%! assert(any(model.degree == [2 3]) && model.offset == 1);

%!test
%! % The default C grid leaves out the largest C at small gamma: those cells report NaN, for
%! % their accuracy and for their solves alike, and every cell tried converged.
%! model = zelmor_train(X, classOf, 'Gamma', [1 8] / 24, 'Folds', 3);
%! untried = isnan(model.grid.accuracy);
%! assert(untried, [false(1, 5), true(1, 2); false(1, 7)]);
%! for field = {'foldAccuracy', 'restarts', 'converged'}
%!   assert(isequal(isnan(model.grid.(field{1})), repmat(untried, [1, 1, 3])), field{1});
%! end
%! assert(all(model.grid.converged(~isnan(model.grid.converged)) == 1));

%!test
%! % Weights of 1, given per example, per class or both, are no weights: the same model to the
%! % bit, cross-validation, choice and temperature included.
%! options = {'Gamma', [0.3 1], 'C', [1 16], 'Folds', 3};
%! plain = zelmor_train(X, classOf, options{:});
%! bits = @(m) typecast([m.tau(:); m.temperature; m.grid.accuracy(:); m.grid.balancedAccuracy(:)], 'uint64');
%! for extra = {{'Weights', ones(60, 1)}, {'ClassWeight', [1 1 1]}, {'ClassWeight', [1; 1; 1], 'Weights', ones(1, 60)}}
%!   weighted = zelmor_train(X, classOf, options{:}, extra{1}{:});
%!   assert(isequal(bits(weighted), bits(plain)) && isequal(weighted.supportIndices, plain.supportIndices));
%!   assert(isequal(weighted.grid.foldAccuracy, plain.grid.foldAccuracy) && weighted.C == plain.C);
%! end

%!test
%! % Two examples on an identity kernel: each row (a, -a) minimises a^2 - beta * a, so a = beta / 2
%! % unless its class's weight bounds it lower. At C = 1 a weight of 0.25 on class 1 holds its row
%! % at that bound; class 2's stays at 1/2. One update each, exact.
%! model = zelmor_train(eye(2), [1; 2], 'Kernel', 'precomputed', 'C', 1, 'ClassWeight', [0.25 1]);
%! assert(model.tau, [0.25 -0.25; -0.5 0.5], 0);
%! assert(zelmor_train(eye(2), [1; 2], 'Kernel', 'precomputed', 'C', 1).tau, [0.5 -0.5; -0.5 0.5], 0);
%! % In the order of model.classes, whatever the order of the labels.
%! model = zelmor_train(eye(2), {'b'; 'a'}, 'Kernel', 'precomputed', 'C', 1, 'ClassWeight', [1 0.25]);
%! assert(model.classes, {'a'; 'b'});
%! assert(model.tau, [-0.25 0.25; 0.5 -0.5], 0);
%! % 'balanced' is N / (K * N_c): 1.5 for the class of one example in three, 0.75 for the other;
%! % at C = 1/2 the rows want a = 1, which only the second class's bound holds.
%! balanced = zelmor_train(eye(3), [1; 2; 2], 'Kernel', 'precomputed', 'C', 0.5, 'ClassWeight', 'balanced');
%! assert(balanced.tau, [1 -1; -0.75 0.75; -0.75 0.75], 1e-14);
%! given = zelmor_train(eye(3), [1; 2; 2], 'Kernel', 'precomputed', 'C', 0.5, 'ClassWeight', [1.5 0.75]);
%! assert(isequal(given.tau, balanced.tau));

%!test
%! % A weight of 3 on an example is that example three times over: the copies' rows add up to
%! % the weighted row, and the scores agree, within the solves' tolerance. (Unstandardised: the
%! % copies would move the mean.)
%! % The example: the first held at its bound of 1 without a weight.
%! options = {'Gamma', 0.5, 'C', 1, 'Standardize', false};
%! Z = X(:, 1:2);
%! plain = zelmor_train(Z, classOf, options{:});
%! j = plain.supportIndices(find(max(plain.tau, [], 2) == 1, 1));
%! weights = ones(60, 1);
%! weights(j) = 3;
%! weighted = zelmor_train(Z, classOf, options{:}, 'Weights', weights);
%! repeated = zelmor_train([Z; Z([j j], :)], [classOf; classOf([j j])], options{:});
%! [W, R] = deal(zeros(60, 3), zeros(62, 3));
%! W(weighted.supportIndices, :) = weighted.tau;
%! R(repeated.supportIndices, :) = repeated.tau;
%! R(j, :) = R(j, :) + R(61, :) + R(62, :);
%! assert(W, R(1:60, :), 0.01);
%! assert(max(W(j, :)) > 1 && max(W(j, :)) <= 3);
%! test = Z(1:2:end, :) + 0.25;
%! [~, scores] = zelmor_predict(weighted, test);
%! [~, again] = zelmor_predict(repeated, test);
%! assert(scores, again, 0.01);

%!test
%! % 'balancedAccuracy' chooses by the classes' mean recall over the out-of-fold predictions, as
%! % made by hand (in whole twentieths, so that ties are exact), on classes of 20, 20 and 5.
%! keep = [1:40, 41:4:60].';
%! [Xs, ys] = deal(X(keep, :), classOf(keep));
%! gammas = [0.1 1 4];
%! Cs = [0.25 4 64];
%! model = zelmor_train(Xs, ys, 'Gamma', gammas, 'C', Cs, 'Folds', 3, 'Scoring', 'balancedAccuracy');
%! assert(model.grid.scoring, 'balancedAccuracy');
%! standardized = (Xs - mean(Xs)) ./ std(Xs);
%! folds = zelmor_folds(ys, 3, 1);
%! perClass = zeros(3, 3, 3);
%! for p = 1:3
%!   G = zelmor_kernel(standardized, [], 'rbf', gammas(p));
%!   for f = 1:3
%!     train = folds ~= f;
%!     taus = zelmor_path(G(train, train), ys(train), 1 ./ Cs, 3);
%!     for b = 1:3
%!       hits = zelmor_predict(G(~train, train), taus(:, :, b)) == ys(~train);
%!       perClass(p, b, :) = perClass(p, b, :) + reshape(accumarray(ys(~train), hits, [3 1]), 1, 1, 3);
%!     end
%!   end
%! end
%! sizes = reshape([20 20 5], 1, 1, 3);
%! assert(model.grid.balancedAccuracy, mean(perClass ./ sizes, 3), 1e-15);
%! score = sum(perClass .* (20 ./ sizes), 3);
%! [p, b] = find(score == max(score(:)));
%! [b, first] = min(b);
%! assert([model.gamma, model.C], [gammas(p(first)), Cs(b)]);

%!test
%! % Calibration: the temperature is the same bits on any thread count; a single cell is
%! % calibrated only when asked, by its own cross-validation; without, no temperature.
%! options = {'Gamma', [0.3 1], 'C', [1 16], 'Folds', 3};
%! model = zelmor_train(X, classOf, options{:}, 'Threads', 1);
%! assert(isscalar(model.temperature) && model.temperature > 0);
%! for threads = [2 7]
%!   again = zelmor_train(X, classOf, options{:}, 'Threads', threads);
%!   assert(isequal(typecast(again.temperature, 'uint64'), typecast(model.temperature, 'uint64')));
%! end
%! assert(isempty(zelmor_train(X, classOf, options{:}, 'Probability', false).temperature));
%! single = zelmor_train(X, classOf, 'Gamma', 1, 'C', 16);
%! assert(isempty(single.temperature) && isempty(single.grid.folds));
%! single = zelmor_train(X, classOf, 'Gamma', 1, 'C', 16, 'Folds', 3, 'Probability', true);
%! assert(single.temperature > 0);
%! assert(size(single.grid.accuracy), [1 1]);
%! % The same cell of the grid above, with the same folds: the same out-of-fold values.
%! if model.gamma == 1 && model.C == 16
%!   assert(single.temperature, model.temperature, 0);
%! end

%!error <zelmor_train takes> zelmor_train(1)
%!error id=zelmor:badExamples zelmor_train({1, 2}, [1 2])
%!error id=zelmor:badExamples zelmor_train([1 2; NaN 3], [1 2])
%!error id=zelmor:badExamples zelmor_train([1 2; Inf 3], [1 2])
%!error id=zelmor:badExamples zelmor_train(zeros(0, 2), [])
%!error id=zelmor:sizeMismatch zelmor_train([1; 2; 3], [1 2])
%!error id=zelmor:sizeMismatch zelmor_train([1; 2; 3], ['a'; 'b'])
%!error id=zelmor:badLabels zelmor_train([1; 2], [1 NaN])
%!error id=zelmor:badLabels zelmor_train([1; 2], {1, 2})
%!error id=zelmor:badLabels zelmor_train([1; 2], struct('a', {1, 2}))
%!error id=zelmor:oneClass zelmor_train([1; 2; 3], [4 4 4])
%!error id=zelmor:badOption zelmor_train([1; 2], [1 2], 'Speed', 1)
%!error id=zelmor:badOption zelmor_train([1; 2], [1 2], 'C')
%!error id=zelmor:badOption zelmor_train([1; 2], [1 2], 'C', 1, 'Beta', 1)
%!error id=zelmor:badOption zelmor_train([1; 2], [1 2], 'Kernel', 'linear', 'Gamma', 1)
%!error id=zelmor:badOption zelmor_train(eye(2), [1 2], 'Kernel', 'precomputed', 'Standardize', true)
%!error id=zelmor:badOption zelmor_train([1; 2], [1 2], 'Verbose', 'loud')
%!error id=zelmor:badKernelType zelmor_train([1; 2], [1 2], 'Kernel', 'sigmoid')
%!error id=zelmor:badKernelParameter zelmor_train([1; 2], [1 2], 'Gamma', 0)
%!error id=zelmor:badKernelParameter zelmor_train([1; 2], [1 2], 'Kernel', 'poly', 'Degree', 1.5)
%!error id=zelmor:badC zelmor_train([1; 2], [1 2], 'C', -1)
%!error id=zelmor:badBeta zelmor_train([1; 2], [1 2], 'Beta', [1 Inf])
%!error id=zelmor:badFolds zelmor_train([1; 2], [1 2], 'Folds', 1)
%!error id=zelmor:badFolds zelmor_train([1; 2; 3], [1 2 1], 'Folds', 4, 'C', [1 2])
%!error id=zelmor:badSeed zelmor_train([1; 2], [1 2], 'Seed', -1)
%!error id=zelmor:kernelNotSquare zelmor_train(ones(2, 3), [1 2], 'Kernel', 'precomputed')
%!error id=zelmor:badWeights zelmor_train([1; 2], [1 2], 'Weights', [1 0])
%!error id=zelmor:badWeights zelmor_train([1; 2], [1 2], 'Weights', [1 2 3])
%!error id=zelmor:badWeights zelmor_train([1; 2], [1 2], 'ClassWeight', [1 NaN])
%!error id=zelmor:badWeights zelmor_train([1; 2], [1 2], 'ClassWeight', [1 2 3])
%!error id=zelmor:badWeights zelmor_train([1; 2], [1 2], 'ClassWeight', 'even')
%!error id=zelmor:badOption zelmor_train([1; 2], [1 2], 'Scoring', 'f1')
%!error id=zelmor:badOption zelmor_train([1; 2], [1 2], 'Probability', 'yes')
