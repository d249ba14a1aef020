% Text given as MATLAB string scalars ("rbf") works in the helpers as char does ('rbf'): kernel
% types, option names and text option values, each call with the same result either way.
% Octave has no strings, so a stand-in string class (string_stand_in/) takes their place.
function test_string_inputs (testDir)
  addpath(fullfile(testDir, 'string_stand_in'));
  t = (1:30).';
  X = [cos(t), sin(2 * t)] + kron([0 0; 3 0; 0 3], ones(10, 1));
  labels = kron((1:3).', ones(10, 1));
  G = zelmor_kernel(X, [], 'rbf', 0.5);
  s = @string;
  file = [tempname() '.txt'];
  removeFile = onCleanup(@() delete(file));
  % what, the call with char, the same call with strings
  calls = {
    'zelmor_kernel type',         @() zelmor_kernel(X, [], 'rbf', 0.5), @() zelmor_kernel(X, [], s('rbf'), 0.5)
    'zelmor_kernel type, poly',   @() zelmor_kernel(X, X(1:4, :), 'POLY', [2 1]), ...
                                  @() zelmor_kernel(X, X(1:4, :), s('POLY'), [2 1])
    'zelmor_path option',         @() zelmor_path(G, labels, [1 0.1], 3, 'MaxRestarts', 3), ...
                                  @() zelmor_path(G, labels, [1 0.1], 3, s('MaxRestarts'), 3)
    'zelmor_crossval options',    @() zelmor_crossval(G, labels, [1 0.1], 3, 'Parallel', 'serial', 'Verbose', false), ...
                                  @() zelmor_crossval(G, labels, [1 0.1], 3, s('Parallel'), s('serial'), ...
                                                      s('Verbose'), false)
    'zelmor_train options',       @() fitted(X, labels, 'Kernel', 'poly', 'Degree', 2, 'C', [1 4], 'Verbose', 'auto'), ...
                                  @() fitted(X, labels, s('Kernel'), s('poly'), s('Degree'), 2, s('C'), [1 4], ...
                                             s('Verbose'), s('auto'))
    'LIBSVM file and option',     @() writtenAndRead(file, @(f) f, 'Features'), ...
                                  @() writtenAndRead(file, s, s('Features'))
  };
  for c = 1:rows(calls)
    [what, withChar, withString] = calls{c, :};
    expected = withChar();
    actual = withString();
    assert(isequal(actual, expected), '%s: strings give another result than char', what);
  end
  % Strings that are not one piece of text are refused as char matrices are.
  try
    zelmor_kernel(X, [], {s('rbf')}, 0.5);
    error('test:accepted', 'a cell holding a string was taken as a kernel type');
  catch err
    assert(err.identifier, 'zelmor:badKernelType');
  end
  rmpath(fullfile(testDir, 'string_stand_in'));
end

% X written to FILE and read back with 'Features', the file's name and the option's passed
% through AS.
function result = writtenAndRead (file, as, features)
  zelmor_write_svmlight(as(file), [1; 2], [0.5 0; 0 2]);
  [y, X] = zelmor_read_svmlight(as(file), features, 3);
  result = {y, X};
end

% The model without its timings, which differ from run to run.
function model = fitted (varargin)
  model = rmfield(zelmor_train(varargin{:}), 'seconds');
end
