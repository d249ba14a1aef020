%PROBLEM_CHECKSUM  A checksum of everything problem.mat holds, as 16 hex digits.
%
%  CHECKSUM = problem_checksum(PROBLEM, UNITS)
%
%  PROBLEM is training_problem's, UNITS the search's rows of (setting, fold, task). The
%  checksum covers every field of both, to the last bit and with their classes and shapes:
%  the features and class numbers the units read, the plan and options they follow, and the
%  labels' classes and type and the standardisation's centre and scale that the model is
%  made of. So a unit's result or a model.mat carrying it belongs to this very problem, and a
%  problem.mat whose contents were changed is told from a whole one. PROBLEM must hold plain
%  data only (foreign_content).

function checksum = problem_checksum (problem, units)
  parts = flattened(struct('problem', problem, 'units', units));
  checksum = zelmor_engine('checksum', parts{:});
end

% The arrays that make up a value, in a fixed order, for the engine's checksum: a struct gives
% its size, its field names and then each element's fields; a cell its size and its elements.
function parts = flattened (value)
  if isstruct(value)
    names = fieldnames(value);
    parts = {'struct', size(value), strjoin(names(:).', char(10))};
    for e = 1:numel(value)
      for f = 1:numel(names)
        parts = [parts, flattened(value(e).(names{f}))];
      end
    end
  elseif iscell(value)
    parts = {'cell', size(value)};
    for e = 1:numel(value)
      parts = [parts, flattened(value{e})];
    end
  elseif isa(value, 'string') || isa(value, 'categorical')
    % MATLAB's labels: their type, shape and text (and a categorical's categories).
    parts = [{class(value), size(value)}, flattened(cellstr(value))];
    if isa(value, 'categorical')
      parts = [parts, flattened(categories(value))];
    end
  elseif issparse(value) && isa(value, 'double')
    % A sparse X as it is: made full, it could outgrow the memory.
    parts = {value};
  else
    parts = {full(value)};
  end
end
