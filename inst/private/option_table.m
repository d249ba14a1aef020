%OPTION_TABLE  Every option of the zelmor helpers: name, default, check, takers and help, once.
%
%  ENTRIES = option_table()
%
%  ENTRIES is a struct array with one element per option:
%    name     the name as the helps spell it ('MaxRestarts'); given in any case
%    field    the field that holds its value in helper_options' result ('maxRestarts')
%    default  the value when it is not given
%    check    a function of a given value that returns it checked (and made double, lower
%             case or canonical), or raises an error with an identifier that names the option
%    helpers  the helpers that take it
%    help     rows of {helpers, text}: each helper's help lists the option with that text
%             (whitespace aside); a helper that takes an option without listing it refers to
%             the help of another that does (zelmor_submit to zelmor_train's)
%  Two elements may share a name when no helper takes both ('Verbose' of the engine's
%  progress, and zelmor_collect's). tests/helpers/test_option_help.m checks every help
%  against this table.

function entries = option_table ()
  training = {'zelmor_train', 'zelmor_submit'};
  solving = [training, {'zelmor_crossval'}];
  entries = repmat(option('', [], [], {}, {}), 0, 1);

  entries(end + 1) = option('Kernel', 'rbf', ...
    @(v) oneOf(v, {'rbf', 'linear', 'poly', 'precomputed'}, 'zelmor:badKernelType', 'Kernel'), training, ...
    {'zelmor_train', ['''rbf'' (default): exp(-gamma * |x - z|^2); ''linear'': x * z''; ''poly'': (gamma * ' ...
                      'x * z'' + offset)^degree; ''precomputed''.']});
  % Factors of gamma0, 1 / (D * the mean variance of the features used), per kernel type.
  entries(end + 1) = option('Gamma', struct('rbf', 2 .^ (-3:3), 'poly', 1), ...
    @(v) positiveVector(v, 'zelmor:badKernelParameter', 'Gamma'), training, ...
    {'zelmor_train', ['gamma of ''rbf'' and ''poly'': a scalar, or a vector to choose from. Default for ' ...
                      '''rbf'': gamma0 * 2.^(-3:3), for ''poly'': gamma0, where gamma0 = 1 / (D * the mean ' ...
                      'variance of the features used), which is 1/D after standardisation, so that the grid ' ...
                      'does not depend on the scale of X (for a sparse X, the variances come from its ' ...
                      'non-zeros).']});
  entries(end + 1) = option('Degree', 3, @degrees, training, ...
    {'zelmor_train', 'degree of ''poly'': positive integer(s); default 3.'});
  entries(end + 1) = option('Offset', 1, @offset, training, ...
    {'zelmor_train', 'offset of ''poly'': a scalar >= 0; default 1.'});
  % Per kernel type: linear solves on standardised features converge slowly at large C.
  entries(end + 1) = option('C', struct('rbf', 2 .^ (-2:2:10), 'poly', 2 .^ (-2:2:10), ...
                                        'precomputed', 2 .^ (-2:2:10), 'linear', 2 .^ (-4:2:4)), ...
    @(v) positiveVector(v, 'zelmor:badC', 'C'), training, ...
    {'zelmor_train', ['C = 1/beta: a positive scalar, or a vector to choose from. Default 2.^(-2:2:10) = ' ...
                      '0.25, 1, 4, ..., 1024, where for ''rbf'' only C <= 2^10 * gamma / gamma0 is tried: at ' ...
                      'the smallest gammas the largest C take the longest to solve and, on the usual data ' ...
                      'sets, never win by much. The default grids take about a minute for 2000 examples of ' ...
                      '26 classes on two cores, and some 10 seconds for 1797 digits. For ''linear'' the ' ...
                      'default is 2.^(-4:2:4), as its solves converge slowly at large C.']});
  entries(end + 1) = option('Beta', [], @(v) positiveVector(v, 'zelmor:badBeta', 'Beta'), training, ...
    {'zelmor_train', 'the same as beta = 1/C; give ''C'' or ''Beta'', not both.'});
  entries(end + 1) = option('Folds', 5, @foldCount, training, ...
    {'zelmor_train', 'the number of cross-validation folds, an integer from 2 to N; default 5 (N when N < 5).'});
  entries(end + 1) = option('Seed', 1, @seed, training, ...
    {'zelmor_train', 'seed of the fold assignment (zelmor_folds); default 1.'});
  entries(end + 1) = option('Standardize', [], @(v) flag(v, 'Standardize'), training, ...
    {'zelmor_train', ['true (default): centre and scale every feature by the training mean and standard ' ...
                      'deviation (kept in the model, applied again by zelmor_predict); not for ' ...
                      '''precomputed''. Centring would fill a sparse X with non-zeros, so for a sparse X ' ...
                      'true means: divide every feature by its largest absolute value, with no centring (as ' ...
                      'scikit-learn''s MaxAbsScaler); for z-scores, pass full(X).']});
  entries(end + 1) = option('ClassWeight', [], @classWeight, training, ...
    {'zelmor_train', ['weights of the classes, in the order of MODEL.classes: K positive values, or ' ...
                      '''balanced'' for N / (K * N_c), N_c the examples of class c among all N (every fold ' ...
                      'uses these). Default: none. An example''s weight multiplies its C, as LIBSVM''s -wi ' ...
                      'and scikit-learn''s class_weight do.']});
  entries(end + 1) = option('Weights', [], @(v) weightVector(v, 'Weights'), training, ...
    {'zelmor_train', ['N positive weights, one per example, each multiplying its example''s C (with ' ...
                      '''ClassWeight'', the two multiply), as scikit-learn''s sample_weight does: in the ' ...
                      'dual, its bound, tau_i <= w_i * Y_i. Default: none. Each fold trains with the weights ' ...
                      'of its examples; its test examples count once each, whatever their weight.']});
  entries(end + 1) = option('Scoring', 'accuracy', ...
    @(v) oneOf(v, {'accuracy', 'balancedAccuracy'}, 'zelmor:badOption', 'Scoring'), training, ...
    {'zelmor_train', ['what the choice maximises: ''accuracy'' (default), the fraction of the N examples ' ...
                      'predicted correctly, or ''balancedAccuracy'', the mean over the classes of the ' ...
                      'fraction of each class''s examples predicted correctly, which weighs a small class ' ...
                      'as much as a large one.']});
  entries(end + 1) = option('Probability', 'auto', @(v) flagOrAuto(v, 'Probability'), training, ...
    {'zelmor_train', ['''auto'' (default): calibrate the probabilities of zelmor_predict from the ' ...
                      'out-of-fold decision values of the chosen cell, whenever there is a grid to ' ...
                      'cross-validate (no training of its own); true: at a single gamma and C too, by a ' ...
                      'cross-validation of that cell (''Folds'', ''Seed''); false: no calibration.']});
  entries(end + 1) = option('Folder', '', @(v) absolute_folder(v, 'zelmor:badOption', 'Folder'), ...
    {'zelmor_submit'}, ...
    {'zelmor_submit', ['(required) the search''s folder: created when missing; the submitting machine and ' ...
                       'every node must reach it at the same path (a relative name is taken from the ' ...
                       'current folder, a leading ~ from HOME; no backslash, which Slurm reads in log ' ...
                       'names). It must not hold another search. Whoever can write it can run commands as ' ...
                       'you, through task.sh: let no one else.']});
  entries(end + 1) = option('Tasks', [], @(v) count(v, 1, 'Tasks', 'a positive integer'), {'zelmor_submit'}, ...
    {'zelmor_submit', ['how many array tasks; default one per kernel parameter (7 with the default rbf ' ...
                       'grid), at most one per unit. The units are dealt out in turn: task t runs units t, ' ...
                       't + Tasks, ...']});
  entries(end + 1) = option('Sbatch', {}, @sbatch, {'zelmor_submit'}, ...
    {'zelmor_submit', ['further sbatch options, a cell of texts, each an option as sbatch takes it: ' ...
                       '{''--partition=short'', ''--time=2:00:00'', ''--mem=8G''}. They go with every ' ...
                       'submission of this search (resubmissions and the final fit too).']});
  entries(end + 1) = option('Threads', [], @(v) count(v, 1, 'Threads', 'a positive integer'), solving, ...
    {{'zelmor_train', 'zelmor_crossval'}, 'most threads to use (default: every core); 1 for serial.'
     'zelmor_submit', ['the CPUs of each task (--cpus-per-task) and the engine''s threads there, which run ' ...
                       'that many units at once; default one.']});
  entries(end + 1) = option('Workers', [], @(v) count(v, 1, 'Workers', 'a positive integer'), ...
    {'zelmor_crossval'}, {'zelmor_crossval', 'the same as ''Threads''.'});
  entries(end + 1) = option('Parallel', 'auto', ...
    @(v) oneOf(v, {'auto', 'serial', 'pararrayfun', 'parfor'}, 'zelmor:badOption', 'Parallel'), solving, ...
    {{'zelmor_train', 'zelmor_crossval'}, ['''serial'' means one thread; ''auto'' (default) and the values ' ...
                                           '''pararrayfun'' and ''parfor'' mean every core.']});
  entries(end + 1) = option('MaxRestarts', 20, @(v) count(v, 0, 'MaxRestarts', 'a non-negative integer'), ...
    [solving, {'zelmor_path'}], ...
    {{'zelmor_train', 'zelmor_crossval', 'zelmor_path'}, ...
     ['most continuations from a capped solve per beta (default 20), a non-negative integer. Each costs up to ' ...
      'N^2 iterations.']});
  entries(end + 1) = option('Warn', true, @(v) flag(v, 'Warn'), {'zelmor_path'}, ...
    {'zelmor_path', 'false: no zelmor:notConverged warning (INFO says the same).'});
  entries(end + 1) = option('Verbose', 'auto', @(v) flagOrAuto(v, 'Verbose'), solving, ...
    {'zelmor_train', ['true: a line per kernel parameter as its cross-validation ends, and one for the ' ...
                      'final fit (what, how far, seconds), and every ten seconds one for a solve that runs ' ...
                      'long (its iterations, largest violation against its tolerance and seconds); false: ' ...
                      'none; ''auto'' (default): only once the work has run for 2 seconds.']
     'zelmor_crossval', ['true: a line per fold as it finishes (which, of how many, seconds since the ' ...
                         'start, an estimate of the rest); false: none; ''auto'' (default): only once the ' ...
                         'work has run for 2 seconds.']
     'zelmor_submit', 'false: say nothing; otherwise a line on what was submitted.'});
  entries(end + 1) = option('CacheSize', 0, @cacheSize, [solving, {'zelmor_path'}], ...
    {{'zelmor_train', 'zelmor_crossval', 'zelmor_path'}, ...
     ['megabytes of kernel columns each solve keeps, a positive number (default: a share of half the ' ...
      'machine''s memory among the solves at once, from 16 to 384). No result depends on it.']});
  entries(end + 1) = option('Resubmit', false, @(v) flag(v, 'Resubmit'), {'zelmor_collect'}, ...
    {'zelmor_collect', 'true: resubmit the tasks that failed, once, and wait on; false (default): report them.'});
  entries(end + 1) = option('FinalFit', 'local', ...
    @(v) oneOf(v, {'local', 'cluster'}, 'zelmor:badOption', 'FinalFit'), {'zelmor_collect'}, ...
    {'zelmor_collect', ['''local'' (default): on this machine; ''cluster'': as one more job, which runs once ' ...
                        'the tasks have, and writes model.mat.']});
  entries(end + 1) = option('Interval', 10, @interval, {'zelmor_collect'}, ...
    {'zelmor_collect', 'seconds between looks at the queue and the folder, at least 1; default 10.'});
  entries(end + 1) = option('Verbose', true, @(v) flag(v, 'Verbose'), {'zelmor_collect'}, ...
    {'zelmor_collect', 'true (default): the progress lines; false: none.'});
  entries(end + 1) = option('Features', [], @featureCount, {'zelmor_read_svmlight'}, ...
    {'zelmor_read_svmlight', ['D, the number of columns of X, an integer from 0 to 2147483647; a larger ' ...
                              'index in the file is an error (zelmor:featureMismatch), never dropped. Read a ' ...
                              'test file with its training file''s width this way. [] (the default): the ' ...
                              'largest index in the file.']});
end

% HELP is one row {helpers, text} or several, one per wording.
function entry = option (name, default, check, helpers, help)
  wordings = cell(size(help, 1), 2);
  for r = 1:size(help, 1)
    listedBy = help{r, 1};
    if ischar(listedBy)
      listedBy = {listedBy};
    end
    wordings(r, :) = {listedBy, help{r, 2}};
  end
  field = name;
  if ~isempty(field)
    field(1) = lower(field(1));
  end
  entry = struct('name', name, 'field', field, 'default', {default}, 'check', {check}, ...
                 'helpers', {helpers}, 'help', {wordings});
end

% The checks, each raising an identifier that tests compare.

function value = degrees (value)
  value = positiveVector(value, 'zelmor:badKernelParameter', 'Degree');
  if any(value ~= fix(value))
    error('zelmor:badKernelParameter', 'Degree must hold positive integers');
  end
end

function value = offset (value)
  if ~isnumeric(value) || ~isreal(value) || ~isscalar(value) || ~(value >= 0) || ~isfinite(value)
    error('zelmor:badKernelParameter', 'Offset must be a finite scalar >= 0');
  end
  value = double(value);
end

function value = foldCount (value)
  if ~isnumeric(value) || ~isscalar(value) || ~(value >= 2) || value ~= fix(value) || ~isfinite(value)
    error('zelmor:badFolds', 'Folds must be an integer of at least 2');
  end
  value = double(value);
end

function value = seed (value)
  if ~isnumeric(value) || ~isreal(value) || ~isscalar(value) || value ~= fix(value) || value < 0 ...
      || value >= 2 ^ 32
    error('zelmor:badSeed', 'Seed must be an integer from 0 to 2^32 - 1');
  end
  value = double(value);
end

function value = flagOrAuto (value, name)
  if ischar(value) && strcmpi(value, 'auto')
    value = 'auto';
  elseif (islogical(value) || isnumeric(value)) && isscalar(value) && (value == 0 || value == 1)
    value = logical(value);
  else
    error('zelmor:badOption', '%s must be true, false or ''auto''', name);
  end
end

function value = classWeight (value)
  if ischar(value) && strcmpi(value, 'balanced')
    value = 'balanced';
  elseif ischar(value)
    error('zelmor:badWeights', 'ClassWeight must be ''balanced'' or positive finite weights, one per class');
  else
    value = weightVector(value, 'ClassWeight');
  end
end

% Positive finite weights as a double column; their count is checked once the classes and the
% examples are known.
function value = weightVector (value, name)
  if ~(isnumeric(value) || islogical(value)) || ~isreal(value) || isempty(value) || ~isvector(value) ...
      || issparse(value)
    error('zelmor:badWeights', '%s must be a vector of positive finite weights (got a %s of size %s)', name, ...
          class(value), mat2str(size(value)));
  end
  value = double(value(:));
  bad = find(~(isfinite(value) & value > 0), 1);
  if ~isempty(bad)
    error('zelmor:badWeights', '%s must hold positive finite weights (got %g at position %d)', name, ...
          value(bad), bad);
  end
end

function value = cacheSize (value)
  if ~isnumeric(value) || ~isreal(value) || ~isscalar(value) || ~(value > 0) || ~(value <= 1e9)
    error('zelmor:badOption', ['CacheSize must be a positive number of megabytes (the kernel columns each ' ...
                               'solve keeps; at most 1e9)']);
  end
  value = double(value);
end

function value = sbatch (value)
  if isa(value, 'string')
    value = cellstr(value);
  end
  if ischar(value)
    value = {value};
  end
  if ~iscellstr(value)
    error('zelmor:badOption', 'Sbatch must be a cell of texts, one sbatch option each');
  end
  value = value(:).';
end

% Each look asks the queue: more than one a second would only load Slurm's controller.
function value = interval (value)
  if ~isnumeric(value) || ~isreal(value) || ~isscalar(value) || ~(value >= 1) || ~isfinite(value)
    error('zelmor:badOption', 'Interval must be a finite number of seconds, at least 1');
  end
  value = double(value);
end

function value = featureCount (value)
  if isnumeric(value) && isempty(value)
    value = [];
  elseif ~(isnumeric(value) && isreal(value) && isscalar(value) && value >= 0 && value <= 2147483647 ...
           && value == fix(value))
    error('zelmor:badOption', ['Features must be an integer from 0 to 2147483647, or [] for as many ' ...
                               'features as the largest index in the file']);
  else
    value = double(value);
  end
end

% One of CHOICES in any case, returned as CHOICES spells it.
function value = oneOf (value, choices, id, name)
  if ~ischar(value) || ~any(strcmpi(value, choices))
    quoted = strcat('''', choices, '''');
    error(id, '%s must be %s or %s', name, strjoin(quoted(1:end - 1), ', '), quoted{end});
  end
  value = choices{strcmpi(value, choices)};
end

function value = flag (value, name)
  if ~(islogical(value) || isnumeric(value)) || ~isscalar(value) || ~(value == 0 || value == 1)
    error('zelmor:badOption', '%s must be true or false', name);
  end
  value = logical(value);
end

% A count of at most 1e15, the largest the engine takes (Inf is no count).
function value = count (value, least, name, what)
  if ~isnumeric(value) || ~isreal(value) || ~isscalar(value) || ~(value >= least) || value ~= fix(value) ...
      || ~(value <= 1e15)
    shown = sprintf('a %s of size %s', class(value), mat2str(size(value)));
    if isnumeric(value) && isreal(value) && isscalar(value)
      shown = sprintf('%g', value);
    end
    error('zelmor:badOption', '%s must be %s (got %s)', name, what, shown);
  end
  value = double(value);
end

% A grid of positive finite values, sorted, each once, as a column.
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
