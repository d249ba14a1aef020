%ZELMOR_CROSSVAL  K-fold cross-validated accuracy over a grid of beta values.
%
%  ACCURACY = zelmor_crossval(G, LABELS, BETAS, FOLDS)
%  [ACCURACY, ITERATIONS, FOLDS, HOW, INFO] = zelmor_crossval(..., NAME, VALUE, ...)
%
%  For each fold f, trains on the examples outside f and predicts the examples
%  in f, for every beta in BETAS in the order given, with zelmor_path: a cold
%  start at BETAS(1), then warm starts along the grid, every solve scaled to a
%  tolerance relative to its beta and continued past the cap of N^2 iterations
%  (see zelmor_path). Pass BETAS in descending order (C = 1/beta ascending):
%  that is the faster way, with the same results.
%
%  The folds are independent and run in parallel where the host offers it:
%    Octave with the 'parallel' package installed   pararrayfun (loaded on demand)
%    MATLAB                                         parfor (parallel with the
%                                                   Parallel Computing Toolbox)
%    otherwise                                      one after the other
%  With 'Parallel' 'auto' (the default) in Octave the first fold runs here and
%  times the work: when it took less than half a second, starting worker
%  processes would cost more than it saves, and the other folds run here too.
%  Every fold does the same arithmetic in every mode, so the results are
%  identical to the last bit whichever way they ran.
%
%  Inputs:
%    G        N-by-N kernel of all examples, for example zelmor_kernel(X, [], ...).
%    LABELS   N class numbers 1..K; K is their largest value (a class without
%             examples still counts).
%    BETAS    vector of finite beta values.
%    FOLDS    the number of folds F (2..N), dealt by zelmor_folds(LABELS, F), or
%             an N-vector of fold numbers 1..F, each fold used at least once.
%  Options (name, value):
%    'Parallel'     'auto' (default), 'serial', 'pararrayfun' or 'parfor'.
%    'Workers'      most processes to use; every core (pararrayfun) or the
%                   pool's default (parfor) when omitted.
%    'MaxRestarts'  passed to zelmor_path (default 20).
%    'Verbose'      true: a line per fold as it finishes (which, of how many,
%                   seconds since the start); false: none; 'auto' (default):
%                   only once the work has run for 2 seconds.
%
%  Outputs:
%    ACCURACY    numel(BETAS)-by-F, PER FOLD: ACCURACY(b, f) is the fraction
%                of the examples of fold f predicted correctly with BETAS(b).
%                mean(ACCURACY, 2) weighs the folds equally; the pooled
%                accuracy, over all N examples, is INFO.pooled.
%    ITERATIONS  numel(BETAS)-by-F iterations of each solve (all its calls).
%    FOLDS       N-by-1 fold numbers used.
%    HOW         'serial', 'pararrayfun' or 'parfor': the way the folds ran
%                ('pararrayfun' also when the first fold ran here).
%    INFO        struct: pooled (numel(BETAS)-by-1, the fraction of all N
%                examples predicted correctly), and numel(BETAS)-by-F fields
%                restarts, converged and seconds of each solve (zelmor_path).
%
%  Warning: zelmor:notConverged when a solve was still at the cap after
%  'MaxRestarts' continuations (INFO.converged is false there).
%
%  Errors (identifiers): zelmor:nargin, zelmor:kernelNotSquare,
%    zelmor:kernelNotFinite, zelmor:badLabels, zelmor:badBeta, zelmor:badFolds,
%    zelmor:badOption, zelmor:noParallel; and any error of zelmor_c2/zelmor_c.
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
  if ~isa(G, 'double') || ~isreal(G) || issparse(G) || ndims(G) ~= 2 || size(G, 1) ~= size(G, 2)
    error('zelmor:kernelNotSquare', 'G must be a real, full, square double matrix');
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
  options = named_options(varargin, struct('parallel', 'auto', 'workers', [], 'maxrestarts', 20, 'verbose', 'auto'));
  how = options.parallel;
  workers = options.workers;
  maxRestarts = options.maxrestarts;
  verbose = options.verbose;

  started = tic;
  pathOptions = {'MaxRestarts', maxRestarts, 'Warn', false};
  % Only the training runs go to the workers; scoring stays here, so that every mode
  % predicts in the same process from the same dual variables.
  taus = cell(1, foldCount);
  counts = cell(1, foldCount);
  seconds = cell(1, foldCount);
  infos = cell(1, foldCount);
  first = 1;
  if strcmp(how, 'auto')
    how = chooseParallel(foldCount, workers);
    if strcmp(how, 'pararrayfun')
      % The first fold times the work: a fold shorter than half a second does not pay for
      % starting workers (some 0.15 s a round on two cores).
      [taus{1}, counts{1}, seconds{1}, infos{1}] = trainFold(G, labels, folds, 1, betas, classCount, pathOptions);
      report(verbose, started, 1, foldCount);
      first = 2;
      if toc(started) < 0.5
        how = 'serial';
      end
    end
  end
  switch how
    case 'serial'
      for f = first:foldCount
        [taus{f}, counts{f}, seconds{f}, infos{f}] = trainFold(G, labels, folds, f, betas, classCount, pathOptions);
        report(verbose, started, f, foldCount);
      end
    case 'pararrayfun'
      if ~loadParallelPackage()
        error('zelmor:noParallel', 'pararrayfun needs Octave''s parallel package, which is not installed');
      end
      if isempty(workers)
        workers = nproc();
      end
      % A round per batch of workers, so that a line can be printed as each batch finishes;
      % with nothing to print, one round, which starts the workers once.
      batchSize = workers;
      if isequal(verbose, false)
        batchSize = foldCount;
      end
      for batchStart = first:batchSize:foldCount
        batch = batchStart:min(batchStart + batchSize - 1, foldCount);
        % The workers are fresh Octave processes: they can call functions on the path,
        % not the subfunctions of this file.
        [taus(batch), counts(batch), seconds(batch), infos(batch)] = interruptible_pararrayfun(min(workers, numel(batch)), ...
            @(f) zelmor_path(G(folds ~= f, folds ~= f), labels(folds ~= f), betas, classCount, pathOptions{:}), ...
            batch, 'UniformOutput', false, 'VerboseLevel', 0, ...
            'ErrorHandler', @(failure, varargin) deal(failure, [], [], []));
        % A worker's error arrives without its identifier; the same fold run here raises
        % the original error, the computation being the same.
        for f = batch(cellfun(@isstruct, taus(batch)))
          [taus{f}, counts{f}, seconds{f}, infos{f}] = trainFold(G, labels, folds, f, betas, classCount, pathOptions);
        end
        report(verbose, started, batch, foldCount);
      end
    case 'parfor'
      if isempty(workers)
        parfor f = 1:foldCount
          [taus{f}, counts{f}, seconds{f}, infos{f}] = trainFold(G, labels, folds, f, betas, classCount, pathOptions);
        end
      else
        parfor (f = 1:foldCount, workers)
          [taus{f}, counts{f}, seconds{f}, infos{f}] = trainFold(G, labels, folds, f, betas, classCount, pathOptions);
        end
      end
      report(verbose, started, 1:foldCount, foldCount);
  end

  accuracy = zeros(numel(betas), foldCount);
  iterations = zeros(numel(betas), foldCount);
  correct = zeros(numel(betas), 1);
  info = struct('pooled', [], 'restarts', zeros(numel(betas), foldCount), ...
                'converged', false(numel(betas), foldCount), 'seconds', zeros(numel(betas), foldCount));
  for f = 1:foldCount
    test = folds == f;
    testKernel = G(test, ~test);
    for b = 1:numel(betas)
      hits = zelmor_predict(testKernel, taus{f}(:, :, b)) == labels(test);
      accuracy(b, f) = mean(hits);
      correct(b) = correct(b) + sum(hits);
    end
    iterations(:, f) = counts{f}(:);
    info.restarts(:, f) = infos{f}.restarts(:);
    info.converged(:, f) = infos{f}.converged(:);
    info.seconds(:, f) = seconds{f}(:);
  end
  info.pooled = correct / n;

  if ~all(info.converged(:))
    [b, f] = find(~info.converged);
    warning('zelmor:notConverged', ...
            ['zelmor_crossval: %d solve(s) still at the cap of iterations after %d restarts ' ...
             '(beta %s in folds %s): their accuracies come from dual variables that are not the ' ...
             'solution. Allow more restarts with the option ''MaxRestarts'''], ...
            numel(b), maxRestarts, mat2str(betas(b).', 4), mat2str(f.'));
  end
end

function [tau, count, seconds, info] = trainFold (G, labels, folds, f, betas, classCount, pathOptions)
  train = folds ~= f;
  [tau, count, seconds, info] = zelmor_path(G(train, train), labels(train), betas, classCount, pathOptions{:});
end

% One line per finished fold (or batch of folds run together): which, of how many, and the
% seconds since the start.
function report (verbose, started, done, foldCount)
  elapsed = toc(started);
  if isequal(verbose, true) || (ischar(verbose) && elapsed >= 2)
    if isscalar(done)
      what = sprintf('fold %d', done);
    else
      what = sprintf('folds %d-%d', done(1), done(end));
    end
    fprintf('zelmor_crossval: %s of %d done, %.1f s\n', what, foldCount, elapsed);
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

function how = chooseParallel (foldCount, workers)
  if ~isOctave()
    how = 'parfor';
  elseif foldCount > 1 && ~isequal(workers, 1) && nproc() > 1 && loadParallelPackage()
    how = 'pararrayfun';
  else
    how = 'serial';
  end
end

% True once pararrayfun can be called; loads the package when it is installed but not loaded.
function available = loadParallelPackage ()
  available = isOctave() && exist('pararrayfun') == 2;
  if ~available && isOctave() && ~isempty(pkg('list', 'parallel'))
    pkg('load', 'parallel');
    available = exist('pararrayfun') == 2;
  end
end

function octave = isOctave ()
  octave = exist('OCTAVE_VERSION', 'builtin') ~= 0;
end

%!shared G, labels, betas
%! % Three blobs of 15 points, made without the random generators so every run sees the same.
%! t = (1:45).';
%! X = [cos(t), sin(2 * t)] * 1.5 + kron([0 0; 2.5 0; 0 2.5], ones(15, 1));
%! labels = kron((1:3).', ones(15, 1));
%! G = zelmor_kernel(X, [], 'rbf', 1);
%! betas = [5 1 0.2 0.05];

%!test
%! % Every fold is zelmor_path on the examples outside it; pooled accuracy counts every
%! % example once (4 folds of 12, 11, 11 and 11 examples weigh differently).
%! folds = zelmor_folds(labels, 4, 5);
%! [accuracy, iterations, usedFolds, how, info] = ...
%!     zelmor_crossval(G, labels, betas, folds, 'Parallel', 'serial');
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
%! accuracy = zelmor_crossval(G, sparseLabels, betas(2), folds, 'Parallel', 'serial');
%! for f = 1:3
%!   train = folds ~= f;
%!   tau = zelmor_path(G(train, train), sparseLabels(train), betas(2), 3);
%!   assert(size(tau, 2), 3);
%!   assert(accuracy(f), mean(zelmor_predict(G(~train, train), tau) == sparseLabels(~train)), 0);
%! end
%! assert(all(accuracy > 0.6));

%!test
%! % A line per fold with 'Verbose' true, none with false, none for short work by default.
%! shown = evalc('zelmor_crossval(G, labels, betas, 3, ''Parallel'', ''serial'', ''Verbose'', true);');
%! assert(numel(regexp(shown, 'zelmor_crossval: fold \d of 3 done, [0-9.]+ s', 'match')), 3);
%! assert(evalc('zelmor_crossval(G, labels, betas, 3, ''Verbose'', false);'), '');
%! assert(evalc('zelmor_crossval(G, labels, betas, 3);'), '');

%!test
%! % The same bits whichever way the folds ran; parfor runs its loop serially in Octave.
%! [accuracy, iterations, folds] = zelmor_crossval(G, labels, betas, 5, 'Parallel', 'serial');
%! [parforAccuracy, parforIterations, parforFolds, how] = ...
%!     zelmor_crossval(G, labels, betas, 5, 'Parallel', 'parfor', 'Workers', 2);
%! assert(how, 'parfor');
%! assert(isequal(parforAccuracy, accuracy) && isequal(parforIterations, iterations));
%! assert(isequal(parforFolds, folds) && isequal(folds, zelmor_folds(labels, 5)));
%! if ~isempty(pkg('list', 'parallel'))
%!   [parallelAccuracy, parallelIterations, ~, how] = ...
%!       zelmor_crossval(G, labels, betas, 5, 'Parallel', 'pararrayfun', 'Workers', 2);
%!   assert(how, 'pararrayfun');
%!   assert(isequal(parallelAccuracy, accuracy) && isequal(parallelIterations, iterations));
%! end
%! [parforAccuracy, parforIterations] = zelmor_crossval(G, labels, betas, 5, 'Parallel', 'parfor');
%! assert(isequal(parforAccuracy, accuracy) && isequal(parforIterations, iterations));
%! [autoAccuracy, autoIterations, ~, how] = zelmor_crossval(G, labels, betas, 5);
%! assert(any(strcmp(how, {'serial', 'pararrayfun'})));
%! assert(isequal(autoAccuracy, accuracy) && isequal(autoIterations, iterations));
%! [~, ~, ~, how] = zelmor_crossval(G, labels, betas, 5, 'Workers', 1);
%! assert(how, 'serial');

%!test
%! % A solver's error reaches the caller with its identifier, whichever way the folds ran.
%! zeroDiagonal = eye(6);
%! zeroDiagonal(2, 2) = 0;
%! modes = {'serial', 'parfor'};
%! if ~isempty(pkg('list', 'parallel'))
%!   modes{end + 1} = 'pararrayfun';
%! end
%! for mode = modes
%!   try
%!     zelmor_crossval(zeroDiagonal, [1 2 1 2 1 2], [1 2], 3, 'Parallel', mode{1});
%!     error('test:noError', '%s: no error raised', mode{1});
%!   catch failure
%!     assert(failure.identifier, 'zelmor:kernelZeroDiagonal', mode{1});
%!   end
%! end

%!test
%! % A single example per fold and a one-value grid still give one column per fold.
%! [accuracy, iterations] = zelmor_crossval(G(1:4, 1:4), [1; 2; 1; 2], 1, 4, 'Parallel', 'serial');
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
%!error id=zelmor:badOption zelmor_crossval(eye(2), [1 2], 1, 2, 'Speed', 1)
%!error id=zelmor:badOption zelmor_crossval(eye(2), [1 2], 1, 2, 'Verbose', 'loud')
%!error id=zelmor:badOption zelmor_crossval(eye(2), [1 2], 1, 2, 'MaxRestarts', 0.5)
