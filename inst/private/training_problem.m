%TRAINING_PROBLEM  What zelmor_train and zelmor_submit train on, checked and prepared.
%
%  PROBLEM = training_problem(X, Y, VALUES, GIVEN)
%
%  X and Y as zelmor_train takes them; VALUES and GIVEN its options, from helper_options (of
%  zelmor_train or zelmor_submit). Checks the options against each other, checks X, encodes the
%  labels, standardises the features and plans the search.
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

function problem = training_problem (X, y, values, given)
  options = trainingOptions(values, given);
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
  plan = choosePlan(options, X, index, exampleWeights(options, index));
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
% the engine reads it, with the examples' weights, the scoring and whether to calibrate.
function plan = choosePlan (options, X, index, weights)
  [settings, gammaGrid, degreeGrid, gamma0] = kernelSettings(options, X);
  betas = sort(options.betas(:), 'descend').';
  tried = true(numel(settings), numel(betas));
  % The default C grid leaves out the largest C at the smallest gammas: there the solves are
  % slowest and, on the usual data sets, never the best by much.
  if options.defaultC && strcmp(options.kernel, 'rbf')
    tried = (1 ./ betas) <= 2 ^ 10 * [settings.gamma].' / gamma0;
  end
  % A single cell is cross-validated only to calibrate it.
  folds = [];
  if numel(settings) > 1 || numel(betas) > 1 || isequal(options.probability, true)
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
                       'verbose', verbosity_code(options.verbose), 'weights', weights, ...
                       'scoring', options.scoring, ...
                       'calibrate', double(~isempty(folds) && ~isequal(options.probability, false)), ...
                       'settingNames', {arrayfun(@describe_setting, settings, 'UniformOutput', false)});
end

% Each example's weight, the product of its class's ('ClassWeight') and its own ('Weights'), as
% a column; [] when neither is given. 'balanced' gives class c the weight N / (K * N_c).
function weights = exampleWeights (options, index)
  [n, K] = deal(numel(index), max(index));
  weights = [];
  classWeight = options.classWeight;
  if ischar(classWeight)
    classWeight = n ./ (K * accumarray(index, 1, [K, 1]));
  end
  if ~isempty(classWeight)
    if numel(classWeight) ~= K
      error('zelmor:badWeights', ['ClassWeight must hold %d weights, one per class in the order of ' ...
                                  'model.classes (got %d)'], K, numel(classWeight));
    end
    weights = classWeight(index);
  end
  if ~isempty(options.weights)
    if numel(options.weights) ~= n
      error('zelmor:badWeights', 'Weights must hold %d weights, one per example (got %d)', n, numel(options.weights));
    end
    if isempty(weights)
      weights = options.weights;
    else
      weights = weights .* options.weights;
    end
  end
  weights = weights(:);
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

% The options of the training, from helper_options' VALUES and GIVEN: the checks that involve
% several options, and the defaults that depend on the kernel type.
function options = trainingOptions (values, given)
  isGiven = @(field) any(strcmp(given, field));
  if isGiven('c') && isGiven('beta')
    error('zelmor:badOption', 'give C or Beta, not both (beta = 1/C)');
  end
  kernel = values.kernel;
  featureKernel = ~strcmp(kernel, 'precomputed');
  applies = struct('gamma', any(strcmp(kernel, {'rbf', 'poly'})), 'degree', strcmp(kernel, 'poly'), ...
                   'offset', strcmp(kernel, 'poly'));
  for name = {'gamma', 'degree', 'offset'}
    if isGiven(name{1}) && ~applies.(name{1})
      error('zelmor:badOption', 'the option %s does not apply to the kernel ''%s''', name{1}, kernel);
    end
  end
  standardize = values.standardize;
  if isempty(standardize)
    standardize = featureKernel;
  elseif standardize && ~featureKernel
    error('zelmor:badOption', 'Standardize does not apply to a precomputed kernel');
  end
  if isGiven('c')
    betas = 1 ./ values.c;
  elseif isGiven('beta')
    betas = values.beta;
  else
    betas = 1 ./ values.c.(kernel);
  end
  % Not given, gamma is gamma0 times the kernel type's factors (kernelSettings).
  [gamma, gammaFactors] = deal(values.gamma, []);
  if ~isGiven('gamma')
    gamma = [];
    if applies.gamma
      gammaFactors = values.gamma.(kernel);
    end
  end
  options = struct('kernel', kernel, 'gamma', gamma, 'gammaFactors', gammaFactors, 'degree', values.degree, ...
                   'offset', values.offset, 'betas', betas, 'defaultC', ~isGiven('c') && ~isGiven('beta'), ...
                   'folds', values.folds, 'foldsGiven', isGiven('folds'), 'seed', values.seed, ...
                   'standardize', standardize, 'parallel', values.parallel, 'threads', values.threads, ...
                   'maxRestarts', values.maxRestarts, 'verbose', values.verbose, 'cacheSize', values.cacheSize, ...
                   'classWeight', values.classWeight, 'weights', values.weights, 'scoring', values.scoring, ...
                   'probability', values.probability);
  options.threads = thread_count(options);
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
    gammas = gamma0 * options.gammaFactors(:);
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
