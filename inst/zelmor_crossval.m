%ZELMOR_CROSSVAL  K-fold cross-validated accuracy over a grid of beta values.
%
%  ACCURACY = zelmor_crossval(G, LABELS, BETAS, FOLDS)
%  [ACCURACY, ITERATIONS, FOLDS, HOW] = zelmor_crossval(..., NAME, VALUE, ...)
%
%  For each fold f, trains on the examples outside f and predicts the examples
%  in f, for every beta in BETAS in the order given: zelmor_c2 (cold start) at
%  BETAS(1), then zelmor_c warm-started from the previous beta's TAU. The folds
%  are independent and run in parallel where the host offers it:
%    Octave with the 'parallel' package installed   pararrayfun (loaded on demand)
%    MATLAB                                         parfor (parallel with the
%                                                   Parallel Computing Toolbox)
%    otherwise                                      one after the other
%  Every fold does the same arithmetic in every mode, so the results are
%  identical to the last bit whichever way they ran.
%
%  Inputs:
%    G        N-by-N kernel of all examples, for example zelmor_kernel(X, [], ...).
%    LABELS   N class numbers 1..K; K is their largest value.
%    BETAS    vector of finite beta values. Sorting them keeps consecutive warm
%             starts close to each other.
%    FOLDS    the number of folds F (2..N), dealt by zelmor_folds(LABELS, F), or
%             an N-vector of fold numbers 1..F, each fold used at least once.
%  Options (name, value):
%    'Parallel'  'auto' (default), 'serial', 'pararrayfun' or 'parfor'.
%    'Workers'   most processes to use; every core (pararrayfun) or the pool's
%                default (parfor) when omitted.
%
%  Outputs:
%    ACCURACY    numel(BETAS)-by-F: the fraction of fold f predicted correctly
%                with BETAS(b). mean(ACCURACY, 2) is the cross-validated accuracy.
%    ITERATIONS  numel(BETAS)-by-F iteration counts reported by the solvers.
%    FOLDS       N-by-1 fold numbers used.
%    HOW         'serial', 'pararrayfun' or 'parfor': the way the folds ran.
%
%  Errors (identifiers): zelmor:nargin, zelmor:kernelNotSquare,
%    zelmor:kernelNotFinite, zelmor:badLabels, zelmor:badBeta, zelmor:badFolds,
%    zelmor:badOption, zelmor:noParallel; and any error of zelmor_c2/zelmor_c.
%
%  Example:
%    X = [randn(30, 2); randn(30, 2) + 2; randn(30, 2) - 2];
%    labels = kron((1:3)', ones(30, 1));
%    betas = [0.1 0.3 1 3];
%    accuracy = zelmor_crossval(zelmor_kernel(X, [], 'rbf', 0.5), labels, betas, 5);
%    [~, best] = max(mean(accuracy, 2));
%    beta = betas(best)
%
%  See also ZELMOR_FOLDS, ZELMOR_KERNEL, ZELMOR_PREDICT, ZELMOR_C2, ZELMOR_C.

function [accuracy, iterations, folds, how] = zelmor_crossval (G, labels, betas, folds, varargin)
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
  [how, workers] = parseOptions(varargin);

  if strcmp(how, 'auto')
    how = chooseParallel(foldCount, workers);
  end
  % Only the training runs go to the workers; scoring stays here, so that every mode
  % predicts in the same process from the same dual variables.
  taus = cell(1, foldCount);
  counts = cell(1, foldCount);
  switch how
    case 'serial'
      for f = 1:foldCount
        [taus{f}, counts{f}] = zelmor_path(G(folds ~= f, folds ~= f), labels(folds ~= f), betas, classCount);
      end
    case 'pararrayfun'
      if ~loadParallelPackage()
        error('zelmor:noParallel', 'pararrayfun needs Octave''s parallel package, which is not installed');
      end
      if isempty(workers)
        workers = nproc();
      end
      % The workers are fresh Octave processes: they can call functions on the path,
      % not the subfunctions of this file.
      [taus, counts] = interruptible_pararrayfun(workers, ...
          @(f) zelmor_path(G(folds ~= f, folds ~= f), labels(folds ~= f), betas, classCount), ...
          1:foldCount, 'UniformOutput', false, 'VerboseLevel', 0, ...
          'ErrorHandler', @(failure, varargin) deal(failure, []));
      % A worker's error arrives without its identifier; the same fold run here raises
      % the original error, the computation being the same.
      for f = find(cellfun(@isstruct, taus))
        [taus{f}, counts{f}] = zelmor_path(G(folds ~= f, folds ~= f), labels(folds ~= f), betas, classCount);
      end
    case 'parfor'
      if isempty(workers)
        parfor f = 1:foldCount
          [taus{f}, counts{f}] = zelmor_path(G(folds ~= f, folds ~= f), labels(folds ~= f), betas, classCount);
        end
      else
        parfor (f = 1:foldCount, workers)
          [taus{f}, counts{f}] = zelmor_path(G(folds ~= f, folds ~= f), labels(folds ~= f), betas, classCount);
        end
      end
  end

  accuracy = zeros(numel(betas), foldCount);
  iterations = zeros(numel(betas), foldCount);
  for f = 1:foldCount
    test = folds == f;
    testKernel = G(test, ~test);
    for b = 1:numel(betas)
      accuracy(b, f) = mean(zelmor_predict(testKernel, taus{f}(:, :, b)) == labels(test));
    end
    iterations(:, f) = counts{f}(:);
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

function [how, workers] = parseOptions (options)
  how = 'auto';
  workers = [];
  if mod(numel(options), 2) ~= 0
    error('zelmor:badOption', 'options come in name, value pairs');
  end
  for i = 1:2:numel(options)
    name = options{i};
    value = options{i + 1};
    if ~ischar(name)
      error('zelmor:badOption', 'option names must be text');
    end
    switch lower(name)
      case 'parallel'
        choices = {'auto', 'serial', 'pararrayfun', 'parfor'};
        if ~ischar(value) || ~any(strcmpi(value, choices))
          error('zelmor:badOption', 'Parallel must be ''auto'', ''serial'', ''pararrayfun'' or ''parfor''');
        end
        how = lower(value);
      case 'workers'
        if ~isnumeric(value) || ~isscalar(value) || ~(value >= 1) || value ~= fix(value)
          error('zelmor:badOption', 'Workers must be a positive integer');
        end
        workers = double(value);
      otherwise
        error('zelmor:badOption', 'unknown option ''%s''', name);
    end
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
%! X = [cos(t), sin(2 * t)] * 0.8 + kron([0 0; 2.5 0; 0 2.5], ones(15, 1));
%! labels = kron((1:3).', ones(15, 1));
%! G = zelmor_kernel(X, [], 'rbf', 1);
%! betas = [0.05 0.2 1 5];

%!test
%! % Every fold is the cold solve at the first beta followed by warm solves along the grid.
%! folds = zelmor_folds(labels, 3, 5);
%! [accuracy, iterations, usedFolds, how] = zelmor_crossval(G, labels, betas, folds, 'Parallel', 'serial');
%! assert(how, 'serial');
%! assert(isequal(usedFolds, folds));
%! assert(size(accuracy), [4 3]);
%! for f = 1:3
%!   train = folds ~= f;
%!   [tau, count] = zelmor_c2(G(train, train), labels(train), betas(1), 3);
%!   for b = 1:4
%!     if b > 1
%!       [tau, count] = zelmor_c(G(train, train), labels(train), betas(b), 3, tau);
%!     end
%!     correct = zelmor_predict(G(~train, train), tau) == labels(~train);
%!     assert(accuracy(b, f), mean(correct), 0);
%!     assert(iterations(b, f), count, 0);
%!   end
%! end
%! assert(mean(accuracy(:)) > 0.9);

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
