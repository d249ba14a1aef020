%READ_PROBLEM  The problem.mat of a cluster search's folder, read and checked.
%
%  DATA = read_problem(FOLDER)
%
%  DATA holds problem (training_problem's), checksum and units (rows of setting, fold, task).
%  The file is read as plain data (load_plain), then checked: contents that match their
%  checksum (problem_checksum), and the class and shape of every field the helpers index with.
%  Errors (identifiers): zelmor:notAJob (no problem.mat), zelmor:badProblem (it cannot be
%  read, or is damaged, saying how).

function data = read_problem (folder)
  file = fullfile(folder, 'problem.mat');
  if ~exist(file, 'file')
    error('zelmor:notAJob', '%s holds no search of zelmor_submit (no problem.mat)', folder);
  end
  [data, why] = load_plain(file);
  if isempty(why)
    why = damage(data);
  end
  if ~isempty(why)
    error('zelmor:badProblem', '%s is damaged: %s', file, why);
  end
end

function why = damage (data)
  why = '';
  if ~all(isfield(data, {'problem', 'checksum', 'units'}))
    why = 'it lacks the problem, its checksum or its units';
  elseif ~ischar(data.checksum) || ~strcmp(problem_checksum(data.problem, data.units), data.checksum)
    why = 'its contents do not match their checksum';
  else
    why = shapeOf(data.problem, data.units);
  end
end

% What of the problem and its units the helpers index with is not as zelmor_submit writes it.
function why = shapeOf (problem, units)
  why = '';
  fields = {'X', 'index', 'classCount', 'classes', 'labelType', 'labelsAsRow', 'center', 'scale', 'options', 'plan'};
  if ~isScalarStruct(problem, fields) ...
      || ~isScalarStruct(problem.plan, {'settings', 'betas', 'tried', 'folds', 'engine'}) ...
      || ~isScalarStruct(problem.plan.engine, {'calibrate'}) ...
      || ~isScalarStruct(problem.options, {'threads', 'folds', 'verbose', 'maxRestarts'})
    why = 'the problem lacks some of its fields';
    return
  end
  plan = problem.plan;
  n = size(problem.X, 1);
  [P, B] = deal(numel(plan.settings), numel(plan.betas));
  foldCount = 0;
  if isWhole(plan.folds, [n, 1], 1, n)
    foldCount = max(plan.folds);
  end
  % Each row is tested on its own: a value of the wrong class fails its own row alone.
  checks = {
    isa(problem.X, 'double') && ndims(problem.X) == 2 && n >= 1,              'X'
    isWhole(problem.classCount, [1, 1], 2, n) && isWhole(problem.index, [n, 1], 1, problem.classCount), ...
                                                                                'the class numbers'
    isstruct(plan.settings) && P >= 1 && all(isfield(plan.settings, {'gamma', 'degree', 'offset'})), ...
                                                                                'the kernel settings'
    isa(plan.betas, 'double') && isequal(size(plan.betas), [1, B]) && B >= 1,  'the betas'
    islogical(plan.tried) && isequal(size(plan.tried), [P, B]),                 'the cells tried'
    foldCount >= 2,                                                             'the folds'
    isWhole(problem.options.threads, [1, 1], 0, 1e15),                         'the thread count'
    isWhole(plan.engine.calibrate, [1, 1], 0, 1),                               'the calibration'
    isWhole(units, [NaN, 3], 1, Inf) && size(units, 1) >= 1 && all(units(:, 1) <= P) ...
      && all(units(:, 2) <= foldCount) && isequal(unique(units(:, 3)).', 1:max(units(:, 3))) ...
      && size(unique(units(:, 1:2), 'rows'), 1) == size(units, 1),               'the units'
  };
  bad = find(~[checks{:, 1}], 1);
  if ~isempty(bad)
    why = sprintf('%s: not as zelmor_submit writes them', checks{bad, 2});
  end
end

function yes = isScalarStruct (value, fields)
  yes = isstruct(value) && isscalar(value) && all(isfield(value, fields));
end

% A real double array of this shape (NaN: any extent) of whole numbers in [least, most].
function yes = isWhole (value, shape, least, most)
  yes = isa(value, 'double') && isreal(value) && ndims(value) == 2 ...
        && all(isnan(shape) | size(value) == shape) && all(value(:) == fix(value(:))) ...
        && all(value(:) >= least & value(:) <= most);
end
