%UNIT_RESULT  A unit's result file, read and checked.
%
%  [RESULT, WHY] = unit_result(FOLDER, UNIT, CHECKSUM, BETACOUNT)
%
%  UNIT is (setting, fold); CHECKSUM the problem's. RESULT is the file's contents when it is
%  whole, of this unit and of this problem; otherwise [] and WHY says what is wrong with it:
%  'missing', or why it was refused (it cannot be read, lacks a result, is of another problem
%  or another unit, or its contents do not match their checksum).

function [result, why] = unit_result (folder, unit, checksum, betaCount)
  result = [];
  why = '';
  file = unit_file(folder, unit);
  if ~exist(file, 'file')
    why = 'missing';
    return
  end
  try
    data = load(file);
  catch failure
    why = sprintf('refused: it cannot be read (%s)', failure.message);
    return
  end
  fields = {'checksum', 'unit', 'correct', 'iterations', 'restarts', 'converged', 'seconds', 'content', ...
            'baseSeconds', 'kernelSeconds', 'solveSeconds', 'scoringSeconds'};
  if ~all(isfield(data, fields))
    why = 'refused: it lacks some of its results';
    return
  end
  if ~ischar(data.checksum) || ~strcmp(data.checksum, checksum)
    why = 'refused: it comes from another problem';
    return
  end
  if ~isequal(data.unit, unit(:).')
    why = 'refused: it holds another unit';
    return
  end
  cells = {data.correct, data.iterations, data.restarts, data.seconds};
  shaped = all(cellfun(@(c) isa(c, 'double') && isequal(size(c), [1, betaCount]), cells)) ...
           && islogical(data.converged) && isequal(size(data.converged), [1, betaCount]);
  if ~shaped || ~ischar(data.content) || ~strcmp(data.content, unit_checksum(data))
    why = 'refused: its contents do not match their checksum';
    return
  end
  result = data;
end
