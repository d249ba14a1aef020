%ZELMOR_CROSSVAL  K-fold cross-validated accuracy over a grid of beta values.
%
%  ACCURACY = zelmor_crossval(G, LABELS, BETAS, FOLDS)
%  [ACCURACY, ITERATIONS, FOLDS, HOW, INFO] = zelmor_crossval(..., NAME, VALUE, ...)
%
%  For each fold f, trains on the examples outside f and predicts the examples
%  in f, for every beta in BETAS in the order given, along one path (see
%  zelmor_path): a cold solve at BETAS(1), then warm solves along the grid,
%  every one to a tolerance relative to its beta and continued past the cap of
%  N^2 iterations. Pass BETAS in descending order (C = 1/beta ascending): that
%  is the faster way.
%
%  The folds run at once on threads of this process, as many as the cores (or
%  'Threads') and as memory allows. Every fold writes only its own results and
%  does the same arithmetic however many threads run, so the results are
%  identical to the last bit whatever the thread count. Ctrl-C stops the work
%  within a fraction of a second, with no output assigned.
%
%  Inputs:
%    G        N-by-N kernel of all examples, for example zelmor_kernel(X, [], ...).
%    LABELS   N class numbers 1..K; K is their largest value (a class without
%             examples still counts).
%    BETAS    vector of finite beta values.
%    FOLDS    the number of folds F (2..N), dealt by zelmor_folds(LABELS, F), or
%             an N-vector of fold numbers 1..F, each fold used at least once.
%  Options (name, value):
%    'Threads'      most threads to use (default: every core); 1 for serial.
%    'Workers'      the same as 'Threads'.
%    'Parallel'     'serial' means one thread; 'auto' (default) and the values
%                   'pararrayfun' and 'parfor' mean every core.
%    'MaxRestarts'  most continuations from a capped solve per beta (default
%                   20), a non-negative integer. Each costs up to N^2
%                   iterations.
%    'Verbose'      true: a line per fold as it finishes (which, of how many,
%                   seconds since the start, an estimate of the rest); false:
%                   none; 'auto' (default): only once the work has run for 2
%                   seconds.
%    'CacheSize'    megabytes of kernel columns each solve keeps, a positive
%                   number (default: a share of half the machine's memory among
%                   the solves at once, from 16 to 384). No result depends on
%                   it.
%
%  Outputs:
%    ACCURACY    numel(BETAS)-by-F, PER FOLD: ACCURACY(b, f) is the fraction
%                of the examples of fold f predicted correctly with BETAS(b).
%                mean(ACCURACY, 2) weighs the folds equally; the pooled
%                accuracy, over all N examples, is INFO.pooled.
%    ITERATIONS  numel(BETAS)-by-F iterations of each solve (all its calls).
%    FOLDS       N-by-1 fold numbers used.
%    HOW         'serial' (one thread) or 'threads'.
%    INFO        struct: pooled (numel(BETAS)-by-1, the fraction of all N
%                examples predicted correctly), numel(BETAS)-by-F fields
%                restarts, converged and seconds of each solve (zelmor_path),
%                and threads, the folds that ran at once.
%
%  Prediction: the decision value of class m for a test example is the sum
%  over training examples j, in increasing order, of G(test, j) * TAU(j, m);
%  the largest wins, ties to the lower class.
%
%  Memory: G is read where it is, through each fold's rows. Per fold running
%  at once, a cache of 'CacheSize' megabytes of the columns its solves read
%  (gathered from G as they are needed) and its solver's state, about
%  5 * N * K doubles: at most about T * (CacheSize + 40 * N * K) bytes
%  beside G with T folds at once. At most half of the machine's memory goes
%  to folds at once.
%
%  Warning: zelmor:notConverged when a solve was still at the cap after
%  'MaxRestarts' continuations (INFO.converged is false there).
%
%  Errors (identifiers): zelmor:nargin, zelmor:kernelNotSquare,
%    zelmor:kernelNotFinite, zelmor:kernelZeroDiagonal, zelmor:badLabels,
%    zelmor:badBeta, zelmor:badFolds, zelmor:badOption, zelmor:outOfMemory.
%
%  Example:
%    X = [randn(30, 2); randn(30, 2) + 2; randn(30, 2) - 2];
%    labels = kron((1:3)', ones(30, 1));
%    betas = [3 1 0.3 0.1];
%    accuracy = zelmor_crossval(zelmor_kernel(X, [], 'rbf', 0.5), labels, betas, 5);
%    [~, best] = max(mean(accuracy, 2));
%    beta = betas(best)
%
%  See also ZELMOR_PATH, ZELMOR_FOLDS, ZELMOR_KERNEL, ZELMOR_PREDICT, ZELMOR_TRAIN.

function [accuracy, iterations, folds, how, info] = zelmor_crossval (G, labels, betas, folds, varargin)
  if nargin < 4
    error('zelmor:nargin', 'zelmor_crossval takes at least 4 inputs (got %d)', nargin);
  end
  if ~isa(G, 'double') || ~isreal(G) || issparse(G) || ndims(G) ~= 2
    kind = class(G);
    if issparse(G)
      kind = ['sparse ', kind];
    end
    if ~isreal(G)
      kind = ['complex ', kind];
    end
    error('zelmor:kernelNotSquare', 'G must be a real, full, 2-D double matrix (got a %s of size %s)', ...
          kind, mat2str(size(G)));
  end
  if size(G, 1) ~= size(G, 2)
    error('zelmor:kernelNotSquare', ['G must be square, N-by-N over the N examples (got %dx%d); from ' ...
          'features X, make it with zelmor_kernel(X, [], ...), or train with zelmor_train(X, labels)'], ...
          size(G, 1), size(G, 2));
  end
  if ~all(isfinite(G(:)))
    error('zelmor:kernelNotFinite', 'G must hold finite values only');
  end
  n = size(G, 1);
  if ~isnumeric(labels) || ~isreal(labels) || numel(labels) ~= n ...
      || ~all(labels(:) >= 1 & labels(:) == fix(labels(:)) & isfinite(labels(:)))
    error('zelmor:badLabels', 'LABELS must hold %d positive integers, one per example', n);
  end
  labels = double(labels(:));
  classCount = max(labels);
  if ~isnumeric(betas) || ~isreal(betas) || isempty(betas) || ~isvector(betas) || ~all(isfinite(betas))
    error('zelmor:badBeta', 'BETAS must be a non-empty vector of finite values');
  end
  betas = double(betas(:));
  folds = checkFolds(folds, labels);
  foldCount = max(folds);
  options = helper_options('zelmor_crossval', varargin);
  threads = thread_count(options);

  result = zelmor_engine('crossval', G, labels, betas, folds, classCount, options.maxRestarts, threads, ...
                         verbosity_code(options.verbose), options.cacheSize);
  correct = reshape(result.correct, numel(betas), foldCount);
  [pooled, accuracy] = pooled_accuracy(correct, result.foldSizes);
  iterations = reshape(result.iterations, numel(betas), foldCount);
  how = 'threads';
  if threads == 1
    how = 'serial';
  end
  info = struct('pooled', pooled, ...
                'restarts', reshape(result.restarts, numel(betas), foldCount), ...
                'converged', reshape(result.converged, numel(betas), foldCount), ...
                'seconds', reshape(result.seconds, numel(betas), foldCount), ...
                'threads', result.concurrentUnits);

  if ~all(info.converged(:))
    [b, f] = find(~info.converged);
    warning('zelmor:notConverged', ...
            ['zelmor_crossval: %d solve(s) still at the cap of iterations after %d restarts ' ...
             '(beta %s in folds %s): their accuracies come from dual variables that are not the ' ...
             'solution. Allow more restarts with the option ''MaxRestarts'''], ...
            numel(b), options.maxRestarts, mat2str(betas(b).', 4), mat2str(f.'));
  end
end

function folds = checkFolds (folds, labels)
  n = numel(labels);
  if ~isnumeric(folds) || ~isreal(folds) || ~all(isfinite(folds(:)))
    error('zelmor:badFolds', 'FOLDS must be a number of folds or a vector of fold numbers');
  end
  if isscalar(folds) && n ~= 1
    if folds ~= fix(folds) || folds < 2 || folds > n
      error('zelmor:badFolds', 'the number of folds must be an integer from 2 to %d (got %g)', n, folds);
    end
    folds = zelmor_folds(labels, folds);
    return;
  end
  folds = double(folds(:));
  if numel(folds) ~= n || ~all(folds >= 1 & folds == fix(folds))
    error('zelmor:badFolds', 'FOLDS must hold %d fold numbers, positive integers', n);
  end
  % An unused fold number would be a fold with nothing to predict and an empty column.
  if max(folds) < 2 || ~all(accumarray(folds, 1) > 0)
    error('zelmor:badFolds', 'fold numbers must run over 1..F with F >= 2, each used at least once');
  end
end

%!shared G, labels, betas
%! % Three blobs of 15 points, made without the random generators so every run sees the same.
%! t = (1:45).';
%! X = [cos(t), sin(2 * t)] * 1.5 + kron([0 0; 2.5 0; 0 2.5], ones(15, 1));
%! labels = kron((1:3).', ones(15, 1));
%! G = zelmor_kernel(X, [], 'rbf', 1);
%! betas = [5 1 0.2 0.05];

%!test
%! % Every fold is zelmor_path on the examples outside it, scored by the decision values summed
%! % in order; pooled accuracy counts every example once (4 folds of 12, 11, 11 and 11 examples
%! % weigh differently).
%! folds = zelmor_folds(labels, 4, 5);
%! [accuracy, iterations, usedFolds, how, info] = zelmor_crossval(G, labels, betas, folds, 'Threads', 1);
%! assert(how, 'serial');
%! assert(isequal(usedFolds, folds));
%! assert(size(accuracy), [4 4]);
%! correct = zeros(4, 1);
%! for f = 1:4
%!   train = folds ~= f;
%!   [taus, counts, ~, pathInfo] = zelmor_path(G(train, train), labels(train), betas, 3);
%!   for b = 1:4
%!     hits = zelmor_predict(G(~train, train), taus(:, :, b)) == labels(~train);
%!     assert(accuracy(b, f), mean(hits), 0);
%!     correct(b) = correct(b) + sum(hits);
%!   end
%!   assert(iterations(:, f), counts(:), 0);
%!   assert(info.restarts(:, f), pathInfo.restarts(:), 0);
%!   assert(info.converged(:, f), pathInfo.converged(:));
%! end
%! assert(info.pooled, correct / 45, 0);
%! assert(any(abs(info.pooled - mean(accuracy, 2)) > 1e-3));

%!test
%! % Labels drawn from classes 1 and 3 only: K is the largest label, 3, not the count of
%! % distinct labels, and class 3 is predicted as 3.
%! sparseLabels = 1 + 2 * (labels > 1);
%! folds = zelmor_folds(sparseLabels, 3, 2);
%! accuracy = zelmor_crossval(G, sparseLabels, betas(2), folds);
%! for f = 1:3
%!   train = folds ~= f;
%!   tau = zelmor_path(G(train, train), sparseLabels(train), betas(2), 3);
%!   assert(size(tau, 2), 3);
%!   assert(accuracy(f), mean(zelmor_predict(G(~train, train), tau) == sparseLabels(~train)), 0);
%! end
%! assert(all(accuracy > 0.6));

%!test
%! % A line per fold with 'Verbose' true, none with false, none for short work by default.
%! shown = evalc('zelmor_crossval(G, labels, betas, 3, ''Verbose'', true);');
%! assert(numel(regexp(shown, 'zelmor_crossval: fold \d of 3 done, [0-9.]+ s', 'match')), 3);
%! assert(evalc('zelmor_crossval(G, labels, betas, 3, ''Verbose'', false);'), '');
%! assert(evalc('zelmor_crossval(G, labels, betas, 3);'), '');

%!test
%! % The same bits whatever the thread count, and whichever way the old options ask for it.
%! [accuracy, iterations, folds, ~, info] = zelmor_crossval(G, labels, betas, 5, 'Threads', 1);
%! runs = {{'Threads', 2}, {'Threads', 7}, {}, {'Parallel', 'parfor'}, {'Parallel', 'pararrayfun', 'Workers', 2}};
%! for r = 1:numel(runs)
%!   [again, againIterations, againFolds, how, againInfo] = zelmor_crossval(G, labels, betas, 5, runs{r}{:});
%!   assert(how, 'threads');
%!   assert(isequal(again, accuracy) && isequal(againIterations, iterations) && isequal(againFolds, folds));
%!   assert(isequal(againInfo.pooled, info.pooled) && isequal(againInfo.restarts, info.restarts));
%! end
%! [~, ~, ~, how] = zelmor_crossval(G, labels, betas, 5, 'Parallel', 'serial');
%! assert(how, 'serial');

%!test
%! % A zero on the diagonal is refused with its identifier.
%! zeroDiagonal = eye(6);
%! zeroDiagonal(2, 2) = 0;
%! try
%!   zelmor_crossval(zeroDiagonal, [1 2 1 2 1 2], [1 2], 3);
%!   error('test:noError', 'no error raised');
%! catch failure
%!   assert(failure.identifier, 'zelmor:kernelZeroDiagonal');
%! end

%!test
%! % A single example per fold and a one-value grid still give one column per fold.
%! [accuracy, iterations] = zelmor_crossval(G(1:4, 1:4), [1; 2; 1; 2], 1, 4);
%! assert(size(accuracy), [1 4]);
%! assert(all(accuracy == 0 | accuracy == 1));
%! assert(all(iterations >= 0));

%!error <zelmor_crossval takes> zelmor_crossval(1, 1, 1)
%!error id=zelmor:kernelNotSquare zelmor_crossval(ones(2, 3), [1 2], 1, 2)
%!error id=zelmor:kernelNotSquare zelmor_crossval(single(eye(2)), [1 2], 1, 2)
%!error id=zelmor:kernelNotFinite zelmor_crossval([1 NaN; NaN 1], [1 2], 1, 2)
%!error id=zelmor:badLabels zelmor_crossval(eye(3), [1 2], 1, 2)
%!error id=zelmor:badLabels zelmor_crossval(eye(2), [1 0], 1, 2)
%!error id=zelmor:badBeta zelmor_crossval(eye(2), [1 2], [], 2)
%!error id=zelmor:badBeta zelmor_crossval(eye(2), [1 2], [1 Inf], 2)
%!error id=zelmor:badFolds zelmor_crossval(eye(2), [1 2], 1, 3)
%!error id=zelmor:badFolds zelmor_crossval(eye(2), [1 2], 1, 1)
%!error id=zelmor:badFolds zelmor_crossval(eye(3), [1 2 1], 1, [1 3 1])
%!error id=zelmor:badFolds zelmor_crossval(eye(3), [1 2 1], 1, [1 1 1])
%!error id=zelmor:badFolds zelmor_crossval(eye(3), [1 2 1], 1, [1 2])
%!error id=zelmor:badOption zelmor_crossval(eye(2), [1 2], 1, 2, 'Parallel')
%!error id=zelmor:badOption zelmor_crossval(eye(2), [1 2], 1, 2, 'Parallel', 'threads')
%!error id=zelmor:badOption zelmor_crossval(eye(2), [1 2], 1, 2, 'Workers', 0)
%!error id=zelmor:badOption zelmor_crossval(eye(2), [1 2], 1, 2, 'Threads', 1.5)
%!error id=zelmor:badOption zelmor_crossval(eye(2), [1 2], 1, 2, 'Speed', 1)
%!error id=zelmor:badOption zelmor_crossval(eye(2), [1 2], 1, 2, 'Verbose', 'loud')
%!error id=zelmor:badOption zelmor_crossval(eye(2), [1 2], 1, 2, 'MaxRestarts', 0.5)
