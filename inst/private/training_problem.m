%TRAINING_PROBLEM  What zelmor_train and zelmor_submit train on, checked and prepared.
%
%  PROBLEM = training_problem(X, Y, OPTIONS)
%
%  X, Y and OPTIONS (a cell of name, value pairs) as zelmor_train takes them. Parses and checks
%  the options, checks X, encodes the labels, standardises the features and plans the search.
%  PROBLEM holds:
%    X                 the features as the engine sees them (standardised where asked), sparse
%                      when X was
%    index, classCount the class number 1..K of every example, and K
%    classes, labelType, labelsAsRow   the class names in the labels' own type
%    center, scale     the feature statistics ([] without standardising; center [] for a
%                      sparse X, which is scaled alone)
%    options           the checked options
%    plan              what to cross-validate (settings, betas, cells tried, folds), with
%                      plan.engine, the options of zelmor_engine's 'train', 'units' and 'fit'
%  The errors are zelmor_train's.

function problem = training_problem (X, y, arguments)
  options = parseOptions(arguments);
  X = checkExamples(X, options.kernel);
  n = size(X, 1);
  [index, classes, labelType] = encodeLabels(y, n);
  % Predictions come back as a row when the training labels were one, to compare with
  % test labels of the same shape.
  labelsAsRow = ~ischar(y) && isrow(y) && n > 1;
  if max(index) < 2
    error('zelmor:oneClass', 'Y holds one class only: training needs at least two');
  end
  if options.folds > n
    if options.foldsGiven
      error('zelmor:badFolds', 'Folds must be at most the number of examples, %d (got %d)', n, options.folds);
    end
    options.folds = n;
  end
  [X, center, scale] = standardize(X, options.standardize);
  plan = choosePlan(options, X, index);
  problem = struct('X', X, 'index', index, 'classCount', max(index), 'classes', {classes}, ...
                   'labelType', labelType, 'labelsAsRow', labelsAsRow, 'center', center, 'scale', scale, ...
                   'options', options, 'plan', plan);
end

function [X, center, scale] = standardize (X, wanted)
  center = [];
  scale = [];
  if wanted && issparse(X)
    % Centring would fill a sparse X with non-zeros: each feature is scaled by its largest
    % absolute value alone, into [-1, 1].
    scale = full(max(abs(X), [], 1));
    scale(scale == 0) = 1;
    X = standardized(X, center, scale);
  elseif wanted
    center = mean(X, 1);
    scale = std(X, 0, 1);
    % Values near the largest double: their mean or spread overflows, and every feature would
    % become 0 (or NaN).
    feature = find(~isfinite(center) | ~isfinite(scale), 1);
    if ~isempty(feature)
      error('zelmor:badExamples', ['feature %d of X cannot be standardised: its mean or standard deviation ' ...
            'overflows (its values reach %g); scale X down first'], feature, max(abs(X(:, feature))));
    end
    % A constant feature carries nothing; it stays zero rather than becoming NaN.
    scale(scale == 0) = 1;
    X = standardized(X, center, scale);
  end
end

% What to cross-validate: the kernel settings (grid rows), the betas (columns, largest first, so
% that every path runs from the smallest C up), the cells tried and the folds; and the same as
% the engine reads it.
function plan = choosePlan (options, X, index)
  [settings, gammaGrid, degreeGrid, gamma0] = kernelSettings(options, X);
  betas = sort(options.betas(:), 'descend').';
  tried = true(numel(settings), numel(betas));
  % The default C grid leaves out the largest C at the smallest gammas: there the solves are
  % slowest and, on the usual data sets, never the best by much.
  if options.defaultC && strcmp(options.kernel, 'rbf')
    tried = (1 ./ betas) <= 2 ^ 10 * [settings.gamma].' / gamma0;
  end
  folds = [];
  if numel(settings) > 1 || numel(betas) > 1
    folds = zelmor_folds(index, options.folds, options.seed);
  end
  gammas = ones(numel(settings), 1);
  degrees = ones(numel(settings), 1);
  offset = 0;
  for p = 1:numel(settings)
    [gammas(p), degrees(p), offset] = engine_kernel(settings(p));
  end
  plan = struct('settings', settings, 'gammaGrid', gammaGrid, 'degreeGrid', degreeGrid, 'betas', betas, ...
                'tried', tried, 'folds', folds);
  plan.engine = struct('kernel', options.kernel, 'gamma', gammas, 'degree', degrees, 'offset', offset, ...
                       'betas', betas, 'tried', double(tried), 'folds', folds, ...
                       'maxRestarts', options.maxRestarts, 'threads', options.threads, ...
                       'cacheSize', options.cacheSize, ...
                       'verbose', verbosity_code(options.verbose));
end

function X = checkExamples (X, kernel)
  X = checked_examples(X, 'X');
  if strcmp(kernel, 'precomputed')
    X = full(X);
  end
  if size(X, 1) > 0 && size(X, 2) == 0
    error('zelmor:badExamples', ['X has no features (it is %dx0): one example per row, one feature per ' ...
                                 'column'], size(X, 1));
  end
  if isempty(X)
    error('zelmor:badExamples', 'X holds no examples (it is %dx%d)', size(X, 1), size(X, 2));
  end
  if strcmp(kernel, 'precomputed') && size(X, 1) ~= size(X, 2)
    error('zelmor:kernelNotSquare', ['a precomputed training kernel must be square, N-by-N over the N ' ...
          'examples (got %dx%d); without ''Kernel'', ''precomputed'', X holds features, one example per row'], ...
          size(X, 1), size(X, 2));
  end
end

% Class numbers 1..K for the labels, and the class names in the labels' own type.
function [index, classes, labelType] = encodeLabels (y, n)
  if ischar(y)
    if ndims(y) ~= 2
      error('zelmor:badLabels', 'char labels must be a matrix with one label per row');
    end
    count = size(y, 1);
    labelType = 'char';
  elseif isa(y, 'categorical') || isa(y, 'string') || iscellstr(y) || islogical(y) ...
      || (isnumeric(y) && isreal(y))
    if ~isvector(y) && ~isempty(y)
      error('zelmor:badLabels', 'Y must be a vector of labels (got %s)', mat2str(size(y)));
    end
    count = numel(y);
    labelType = class(y);
    if iscell(y)
      labelType = 'cellstr';
    end
  else
    error('zelmor:badLabels', ['Y must hold numeric, logical, char (one label per row), cellstr, ' ...
                               'string or categorical labels (got %s)'], class(y));
  end
  if count ~= n
    % A char row is one label; one label per character, or per word, was likely meant.
    if ischar(y) && count == 1
      shown = y;
      if numel(shown) > 20
        shown = [shown(1:20), '...'];
      end
      error('zelmor:sizeMismatch', ['Y is a char row, ''%s'', which is one label, but X has %d rows. ' ...
            'For one label per character pass Y(:); for words, a cellstr such as {''left''; ''right''} ' ...
            'or a char matrix with one label per row'], shown, n);
    end
    labelWord = 'labels';
    if count == 1
      labelWord = 'label';
    end
    error('zelmor:sizeMismatch', 'X has %d rows but Y holds %d %s: one label per example', n, count, labelWord);
  end
  switch labelType
    case 'char'
      [classes, ~, index] = unique(y, 'rows');
    case 'categorical'
      missing = isundefined(y);
    case 'string'
      missing = ismissing(y);
    otherwise
      if isnumeric(y)
        missing = isnan(y);
      else
        missing = false;
      end
  end
  if strcmp(labelType, 'cellstr')
    % unique would take the first row of a char matrix alone, merging labels.
    bad = find(~cellfun(@(label) ndims(label) == 2 && size(label, 1) <= 1, y), 1);
    if ~isempty(bad)
      error('zelmor:badLabels', ['Y{%d} is a %s char matrix: each label of a cell array must be a char row ' ...
                                 '(for one label per row of a char matrix, pass the matrix itself)'], bad, ...
            mat2str(size(y{bad})));
    end
  end
  if ~strcmp(labelType, 'char')
    if any(missing(:))
      error('zelmor:badLabels', 'Y holds a missing label at position %d', find(missing, 1));
    end
    y = y(:);
    if issparse(y)
      y = full(y);
    end
    [classes, ~, index] = unique(y);
  end
  index = double(index(:));
end

function options = parseOptions (arguments)
  names = {'Kernel', 'Gamma', 'Degree', 'Offset', 'C', 'Beta', 'Folds', 'Seed', 'Standardize', 'Threads', ...
           'Parallel', 'MaxRestarts', 'Verbose', 'CacheSize'};
  options = struct('kernel', 'rbf', 'gamma', [], 'degree', 3, 'offset', 1, 'betas', 1 ./ 2 .^ (-2:2:10), ...
                   'defaultC', true, 'folds', 5, 'foldsGiven', false, 'seed', 1, 'standardize', [], ...
                   'parallel', 'auto', 'threads', [], 'maxRestarts', 20, 'verbose', 'auto', 'cacheSize', 0);
  if mod(numel(arguments), 2) ~= 0
    error('zelmor:badOption', 'options come in name, value pairs');
  end
  given = {};
  for i = 1:2:numel(arguments)
    name = as_char(arguments{i});
    value = as_char(arguments{i + 1});
    if ~ischar(name) || ~isrow(name)
      error('zelmor:badOption', 'option names must be text');
    end
    given{end + 1} = lower(name);
    switch lower(name)
      case 'kernel'
        kernels = {'rbf', 'linear', 'poly', 'precomputed'};
        if ~ischar(value) || ~any(strcmpi(value, kernels))
          error('zelmor:badKernelType', 'Kernel must be ''rbf'', ''linear'', ''poly'' or ''precomputed''');
        end
        options.kernel = lower(value);
      case 'gamma'
        options.gamma = positiveVector(value, 'zelmor:badKernelParameter', 'Gamma');
      case 'degree'
        options.degree = positiveVector(value, 'zelmor:badKernelParameter', 'Degree');
        if any(options.degree ~= fix(options.degree))
          error('zelmor:badKernelParameter', 'Degree must hold positive integers');
        end
      case 'offset'
        if ~isnumeric(value) || ~isreal(value) || ~isscalar(value) || ~(value >= 0) || ~isfinite(value)
          error('zelmor:badKernelParameter', 'Offset must be a finite scalar >= 0');
        end
        options.offset = double(value);
      case 'c'
        options.betas = 1 ./ positiveVector(value, 'zelmor:badC', 'C');
        options.defaultC = false;
      case 'beta'
        options.betas = positiveVector(value, 'zelmor:badBeta', 'Beta');
        options.defaultC = false;
      case 'folds'
        if ~isnumeric(value) || ~isscalar(value) || ~(value >= 2) || value ~= fix(value) || ~isfinite(value)
          error('zelmor:badFolds', 'Folds must be an integer of at least 2');
        end
        options.folds = double(value);
        options.foldsGiven = true;
      case 'seed'
        if ~isnumeric(value) || ~isreal(value) || ~isscalar(value) || value ~= fix(value) || value < 0 ...
            || value >= 2 ^ 32
          error('zelmor:badSeed', 'Seed must be an integer from 0 to 2^32 - 1');
        end
        options.seed = double(value);
      case 'standardize'
        options.standardize = logical_option(value, 'Standardize');
      case 'parallel'
        options.parallel = checked_option('parallel', value);
      case 'threads'
        options.threads = checked_option('threads', value);
      case 'maxrestarts'
        options.maxRestarts = checked_option('maxrestarts', value);
      case 'verbose'
        options.verbose = checked_option('verbose', value);
      case 'cachesize'
        options.cacheSize = checked_option('cachesize', value);
      otherwise
        error('zelmor:badOption', 'unknown option ''%s'' (the options are %s)', name, strjoin(names, ', '));
    end
  end
  options.threads = thread_count(options);
  if any(strcmp(given, 'c')) && any(strcmp(given, 'beta'))
    error('zelmor:badOption', 'give C or Beta, not both (beta = 1/C)');
  end
  % A linear kernel on standardised features converges slowly at large C.
  if options.defaultC && strcmp(options.kernel, 'linear')
    options.betas = 1 ./ 2 .^ (-4:2:4).';
  end
  featureKernel = ~strcmp(options.kernel, 'precomputed');
  applies = struct('gamma', any(strcmp(options.kernel, {'rbf', 'poly'})), ...
                   'degree', strcmp(options.kernel, 'poly'), 'offset', strcmp(options.kernel, 'poly'));
  for name = {'gamma', 'degree', 'offset'}
    if any(strcmp(given, name{1})) && ~applies.(name{1})
      error('zelmor:badOption', 'the option %s does not apply to the kernel ''%s''', name{1}, options.kernel);
    end
  end
  if isempty(options.standardize)
    options.standardize = featureKernel;
  elseif options.standardize && ~featureKernel
    error('zelmor:badOption', 'Standardize does not apply to a precomputed kernel');
  end
end

function value = positiveVector (value, id, name)
  if ~isnumeric(value) || ~isreal(value) || isempty(value) || ~isvector(value)
    given = sprintf('a %s of size %s', class(value), mat2str(size(value)));
    if isnumeric(value) && ~isreal(value)
      given = 'a complex value';
    end
    error(id, '%s must be a positive finite scalar or vector (got %s)', name, given);
  end
  bad = find(~(isfinite(value) & value > 0), 1);
  if ~isempty(bad)
    if isscalar(value)
      error(id, '%s must be positive and finite (got %g)', name, value);
    end
    error(id, '%s must hold positive finite values (got %g at position %d)', name, value(bad), bad);
  end
  value = unique(double(value(:)));
end

% Every kernel to cross-validate, as structs with gamma, degree and offset ([] where they do
% not apply), and the grid's axes, one value per setting.
function [settings, gammaGrid, degreeGrid, gamma0] = kernelSettings (options, X)
  empty = struct('gamma', [], 'degree', [], 'offset', []);
  % One over (features x their mean variance): 1/D after standardisation.
  variance = mean(featureVariances(X));
  gamma0 = 1 / (size(X, 2) * max(variance, realmin));
  gammas = options.gamma;
  if isempty(gammas) && any(strcmp(options.kernel, {'rbf', 'poly'}))
    gammas = gamma0;
    if strcmp(options.kernel, 'rbf')
      gammas = gamma0 * 2 .^ (-3:1:3).';
    end
    % Features of a huge scale (their variance overflows) or of none (all constant).
    if ~all(isfinite(gammas) & gammas > 0)
      error('zelmor:badExamples', ['the default gamma, 1 / (D x the mean variance of the features), cannot be ' ...
            'used here: that variance is %g (the values of X reach %g). Standardise or scale X, or give ' ...
            '''Gamma'''], variance, full(max(abs(X(:)))));
    end
  end
  switch options.kernel
    case 'rbf'
      settings = repmat(empty, numel(gammas), 1);
      for p = 1:numel(gammas)
        settings(p).gamma = gammas(p);
      end
      gammaGrid = gammas;
      degreeGrid = [];
    case 'poly'
      [degrees, gammaGrid] = ndgrid(options.degree, gammas);
      settings = repmat(empty, numel(degrees), 1);
      for p = 1:numel(degrees)
        settings(p) = struct('gamma', gammaGrid(p), 'degree', degrees(p), 'offset', options.offset);
      end
      gammaGrid = gammaGrid(:);
      degreeGrid = degrees(:);
    otherwise
      settings = empty;
      gammaGrid = [];
      degreeGrid = [];
  end
end

% The variance of each feature, var(X, 0, 1); for a sparse X from its non-zeros alone, the
% zeros' deviations from the mean, all alike, added as one term per feature.
function variances = featureVariances (X)
  if ~issparse(X)
    variances = var(X, 0, 1);
    return
  end
  [n, D] = size(X);
  means = full(sum(X, 1)).' / n;
  [~, featureOf, values] = find(X);
  held = accumarray(featureOf, 1, [D, 1]);
  squares = accumarray(featureOf, (values - means(featureOf)) .^ 2, [D, 1]) + (n - held) .* means .^ 2;
  variances = squares.' / max(n - 1, 1);
end
