%MODEL_PROBLEM  What makes a struct unfit for zelmor_predict as a model, or '' when nothing does.
%
%  WHY = model_problem(MODEL)
%
%  Checks every field prediction reads (model_fields) for the class, shape and values
%  zelmor_train gives it, against the others: a model damaged in a file or by hand must not
%  predict (a beta of -1 would turn every prediction around). WHY names the field and what
%  it must be, to follow 'MODEL'.

function why = model_problem (model)
  [~, required] = model_fields();
  if ~isstruct(model) || ~isscalar(model) || ~all(isfield(model, required)) || ~isequal(model.format, 'zelmor model')
    why = 'must be a struct made by zelmor_train';
  elseif ~isequal(model.version, 1)
    why = sprintf('is of version %s; this zelmor_predict reads version 1', shown(model.version));
  elseif ~any(strcmp(model.kernel, {'rbf', 'linear', 'poly', 'precomputed'}))
    why = 'has a kernel that is none of ''rbf'', ''linear'', ''poly'' and ''precomputed''';
  else
    why = kernelProblem(model);
    if isempty(why)
      why = examplesProblem(model);
    end
    if isempty(why)
      why = classesProblem(model);
    end
  end
end

function why = kernelProblem (model)
  why = '';
  uses = struct('gamma', any(strcmp(model.kernel, {'rbf', 'poly'})), 'degree', strcmp(model.kernel, 'poly'), ...
                'offset', strcmp(model.kernel, 'poly'));
  % What a value of each must be where the kernel uses it; elsewhere it is [].
  valid = struct('gamma', @(v) isNumber(v) && v > 0, ...
                 'degree', @(v) isNumber(v) && v >= 1 && v == fix(v) && v <= 1e9, ...
                 'offset', @(v) isNumber(v) && v >= 0);
  wanted = struct('gamma', 'a positive number', 'degree', 'a positive integer', 'offset', 'a number >= 0');
  for name = {'gamma', 'degree', 'offset'}
    value = model.(name{1});
    isValid = valid.(name{1});
    if uses.(name{1}) && ~isValid(value)
      why = sprintf('has a %s kernel, so its %s must be %s', model.kernel, name{1}, wanted.(name{1}));
      return
    elseif ~uses.(name{1}) && ~isempty(value)
      why = sprintf('has a %s kernel, so its %s must be []', model.kernel, name{1});
      return
    end
  end
  if ~isNumber(model.beta) || ~(model.beta > 0)
    why = 'must have a positive beta (= 1/C)';
  elseif isfield(model, 'temperature') && ~isempty(model.temperature) ...
      && ~(isNumber(model.temperature) && model.temperature > 0)
    why = 'must have a temperature that is a positive number, or [] (no calibration)';
  end
end

% The support vectors, their rows, dual variables and the feature statistics, which must agree.
% Each check is tried only once those above it hold, so it may rely on them.
function why = examplesProblem (model)
  why = '';
  precomputed = strcmp(model.kernel, 'precomputed');
  [S, K] = size(model.tau);
  N = model.trainCount;
  D = model.featureCount;
  checks = {
    @() isNumber(N) && N >= 1 && N == fix(N),      'a trainCount that is a positive integer'
    @() isNumber(D) && D >= 1 && D == fix(D) && (~precomputed || D == N), ...
      'a featureCount that is a positive integer (the trainCount for a precomputed kernel)'
    @() isFinite(model.tau) && ndims(model.tau) == 2 && S <= N && K >= 2, ...
      'a tau of finite doubles, one row per support vector and a column per class'
    @() isFinite(model.supportIndices) && isequal(size(model.supportIndices), [S, 1]) ...
        && all(model.supportIndices == fix(model.supportIndices)) && all(diff(model.supportIndices) > 0) ...
        && all(model.supportIndices >= 1 & model.supportIndices <= N), ...
      'supportIndices that number the rows of tau among the training examples, in increasing order'
    @() precomputed || (isFiniteFeatures(model.supportVectors) && isequal(size(model.supportVectors), [S, D])), ...
      'supportVectors of finite doubles, dense or sparse, one row per row of tau and a column per feature'
    @() isFlag(model.standardize) && ~(precomputed && model.standardize), ...
      'a standardize that is true or false (false for a precomputed kernel)'
    @() ~model.standardize || ((isequal(model.center, []) == issparse(model.supportVectors)) ...
                               && (isempty(model.center) || (isFinite(model.center) ...
                                                             && isequal(size(model.center), [1, D]))) ...
                               && isFinite(model.scale) && isequal(size(model.scale), [1, D]) ...
                               && all(model.scale > 0)), ...
      sprintf(['a center and a scale that are rows of %s finite values (the scales positive; the center [] ' ...
               'exactly when the support vectors are sparse), as it standardises'], shown(D))
  };
  for c = 1:size(checks, 1)
    if ~checks{c, 1}()
      why = ['must have ', checks{c, 2}];
      return
    end
  end
end

function why = classesProblem (model)
  why = '';
  K = size(model.tau, 2);
  classes = model.classes;
  if ischar(classes)
    [count, typeMatches] = deal(size(classes, 1), strcmp(model.labelType, 'char') && ndims(classes) == 2);
  else
    count = numel(classes);
    typeMatches = ischar(model.labelType) && (strcmp(model.labelType, class(classes)) ...
                                              || (strcmp(model.labelType, 'cellstr') && iscellstr(classes)));
    typeMatches = typeMatches && (isvector(classes) || isempty(classes));
  end
  if ~typeMatches
    why = 'must have classes of its labelType (a char matrix with one class per row for ''char'')';
  elseif count ~= K
    why = sprintf('has %d classes but tau has %d columns: one per class', count, K);
  elseif ~isFlag(model.labelsAsRow)
    why = 'must have a labelsAsRow that is true or false';
  end
end

function yes = isNumber (value)
  yes = isa(value, 'double') && isreal(value) && isscalar(value) && isfinite(value);
end

function yes = isFlag (value)
  yes = (islogical(value) || isnumeric(value)) && isreal(value) && isscalar(value) && (value == 0 || value == 1);
end

function yes = isFinite (value)
  yes = isa(value, 'double') && isreal(value) && ~issparse(value) && all(isfinite(value(:)));
end

% Finite doubles, dense or sparse: of a sparse matrix only the non-zeros need a look.
function yes = isFiniteFeatures (value)
  yes = isa(value, 'double') && isreal(value) && (isFinite(value) || (issparse(value) && all(isfinite(nonzeros(value)))));
end

function text = shown (value)
  if isNumber(value)
    text = sprintf('%g', value);
  elseif ischar(value) && isrow(value) && numel(value) <= 20
    text = sprintf('''%s''', value);
  else
    text = sprintf('a %s of size %s', class(value), mat2str(size(value)));
  end
end
