%READ_PROBLEM  The problem.mat of a cluster search's folder, read and checked against its checksum.
%
%  DATA = read_problem(FOLDER)
%
%  DATA holds problem (training_problem's), checksum and units (rows of setting, fold, task).
%  Errors (identifiers): zelmor:notAJob (no problem.mat), zelmor:badProblem (it cannot be
%  read, or its contents do not match their checksum).

function data = read_problem (folder)
  file = fullfile(folder, 'problem.mat');
  if ~exist(file, 'file')
    error('zelmor:notAJob', '%s holds no search of zelmor_submit (no problem.mat)', folder);
  end
  try
    data = load(file);
  catch failure
    error('zelmor:badProblem', 'cannot read %s: %s', file, failure.message);
  end
  if ~all(isfield(data, {'problem', 'checksum', 'units'})) ...
      || ~strcmp(problem_checksum(data.problem), data.checksum)
    error('zelmor:badProblem', '%s is damaged: its contents do not match their checksum', file);
  end
end
