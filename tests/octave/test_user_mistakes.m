% The mistakes new users make, each refused with its identifier and a message that says what
% to do: the pieces each message must hold, and what it must not say. Then every option name
% that an "unknown option" message lists must be one the function takes.
1;

function outcome = raised (call)
  outcome = {};
  try
    call ();
  catch err
    outcome = {err.identifier, err.message};
  end
end

t = (1:40).';
X = [cos(t), sin(2 * t)] + kron([0 0; 3 3], ones(20, 1));
y = kron([1; 2], ones(20, 1));
G = zelmor_kernel(X, [], 'rbf', 0.5);
tau = zelmor_c2(G, y, 1, 2);
model = zelmor_train(X, y, 'Gamma', 0.5, 'C', 1);
Xtest = [0 0; 3 3; 1 1; 0 3; 3 0];

% what, call, identifier, pieces the message holds, pieces it must not hold
cases = {
  'model second', @() zelmor_predict(Xtest, model), 'zelmor:argumentOrder', ...
      {'model goes first', 'zelmor_predict(MODEL, XTEST)'}, {'TAU'}
  'features for the test kernel', @() zelmor_predict(Xtest, tau), 'zelmor:kernelMismatch', ...
      {'zelmor_kernel(Xtest, Xtrain, ...)', 'zelmor_predict(MODEL, XTEST)', '40 training examples'}, {}
  % Swapped with as many test examples as classes, so the shapes fit: one feature matrix
  % for each rule of the dual variables it breaks.
  'swapped: features of both signs', @() zelmor_predict(tau, X(1:2, :)), 'zelmor:badTau', ...
      {'entries above 0', 'the kernel goes first'}, {}
  'swapped: features in [0, 1]', @() zelmor_predict(tau, [0.2 0.7; 0.9 0.1]), 'zelmor:badTau', ...
      {'row 1 has 2 entries above 0', 'the kernel goes first'}, {}
  'swapped: counts', @() zelmor_predict(tau, [3 0; 0 5]), 'zelmor:badTau', ...
      {'row 1 holds 3 in column 1', 'the kernel goes first'}, {}
  'swapped: negative features', @() zelmor_predict(tau, [-1 -2; -3 -0.5]), 'zelmor:badTau', ...
      {'row 1 sums to -3', 'the kernel goes first'}, {}
  'swapped: one small feature each', @() zelmor_predict(tau, [0.5 0; 0 0.25]), 'zelmor:badTau', ...
      {'row 1 sums to 0.5', 'the kernel goes first'}, {}
  'a char row of labels', @() zelmor_train(X, repmat('ab', 1, 20)), 'zelmor:sizeMismatch', ...
      {'char row', 'one label', 'Y(:)', 'cellstr'}, {'1 labels'}
  'a misspelt option', @() zelmor_train(X, y, 'Kernal', 'rbf'), 'zelmor:badOption', ...
      {'''Kernal''', 'Kernel, Gamma', 'MaxRestarts'}, {}
  'a misspelt path option', @() zelmor_path(G, y, 1, 2, 'MaxRestart', 3), 'zelmor:badOption', ...
      {'''MaxRestart''', 'MaxRestarts, Warn'}, {}
  'a misspelt cross-validation option', @() zelmor_crossval(G, y, 1, 5, 'Thread', 1), 'zelmor:badOption', ...
      {'''Thread''', 'Threads', 'Workers'}, {}
  'a negative C', @() zelmor_train(X, y, 'C', -1), 'zelmor:badC', {'C must be positive', '(got -1)'}, {}
  'a zero in a grid of C', @() zelmor_train(X, y, 'C', [4 0]), 'zelmor:badC', {'got 0 at position 2'}, {}
  'C as text', @() zelmor_train(X, y, 'C', '10'), 'zelmor:badC', {'got a char'}, {}
  'a negative beta', @() zelmor_train(X, y, 'Beta', -2), 'zelmor:badBeta', {'Beta', '(got -2)'}, {}
  % Features where a training kernel goes, in every function that takes one.
  'features to zelmor_c2', @() zelmor_c2(X, y, 1, 2), 'zelmor:kernelNotSquare', ...
      {'got 40x2', 'zelmor_kernel(X, [], ...)'}, {'2147483647'}
  'features to zelmor_c', @() zelmor_c(X, y, 1, 2, zeros(40, 2)), 'zelmor:kernelNotSquare', ...
      {'got 40x2', 'zelmor_kernel(X, [], ...)'}, {'2147483647'}
  'features to zelmor_path', @() zelmor_path(X, y, 1, 2), 'zelmor:kernelNotSquare', ...
      {'got 40x2', 'zelmor_kernel(X, [], ...)'}, {'2147483647'}
  'features to zelmor_crossval', @() zelmor_crossval(X, y, 1, 5), 'zelmor:kernelNotSquare', ...
      {'got 40x2', 'zelmor_kernel(X, [], ...)'}, {}
  'features as a precomputed kernel', @() zelmor_train(X, y, 'Kernel', 'precomputed'), 'zelmor:kernelNotSquare', ...
      {'got 40x2', 'X holds features'}, {}
  % Kernels that overflow, which would give a model of no support vectors that predicts one class.
  'a poly kernel of a huge degree', @() zelmor_train(X, y, 'Kernel', 'poly', 'Degree', 1e9, 'C', 1), ...
      'zelmor:kernelNotFinite', {'overflows', 'a smaller gamma or a lower degree', 'standardised features'}, {}
  'products of huge features', @() zelmor_train(1e200 * X, y, 'Kernel', 'linear', 'Standardize', false), ...
      'zelmor:kernelNotFinite', {'overflows', 'standardised features'}, {}
  'a kernel of huge features', @() zelmor_kernel(1e200 * X, [], 'linear'), 'zelmor:kernelNotFinite', ...
      {'overflows'}, {}
  'predicting huge features', @() zelmor_predict(zelmor_train(X, y, 'Kernel', 'linear', 'C', 1, ...
                                                                 'Standardize', false), [1e308 1e308]), ...
      'zelmor:kernelNotFinite', {'overflows'}, {}
  % Each message blames what is wrong, in words of the call the user made.
  'a damaged centre', @() zelmor_predict(setfield(model, 'center', [NaN 0]), Xtest), 'zelmor:badModel', ...
      {'center'}, {'test examples'}
  'Threads Inf', @() zelmor_train(X, y, 'Threads', Inf), 'zelmor:badOption', {'Threads', 'got Inf'}, {'zelmor_engine'}
  'MaxRestarts Inf', @() zelmor_train(X, y, 'MaxRestarts', Inf), 'zelmor:badOption', {'MaxRestarts'}, {'zelmor_engine'}
  'Threads Inf to a cross-validation', @() zelmor_crossval(G, y, 1, 5, 'Threads', Inf), 'zelmor:badOption', ...
      {'Threads'}, {'zelmor_engine'}
  'the default grid on huge features', @() zelmor_train(1e200 * X, y, 'Standardize', false), 'zelmor:badExamples', ...
      {'default gamma', 'Gamma'}, {'must be positive'}
  'standardising huge features', @() zelmor_train(1e200 * X, y), 'zelmor:badExamples', ...
      {'feature 1', 'scale X down'}, {'gamma'}
  'examples without features', @() zelmor_train(zeros(40, 0), y), 'zelmor:badExamples', {'no features', '40x0'}, ...
      {'no examples'}
  % A char matrix in a cell would be taken by its first row, merging labels.
  'a char matrix as a label', @() zelmor_train(X, [{['a'; 'b']}; repmat({'c'}, 39, 1)]), 'zelmor:badLabels', ...
      {'Y{1}', '[2 1]', 'char row'}, {}
};
for c = 1:rows (cases)
  [what, call, identifier, holds, lacks] = cases{c, :};
  outcome = raised (call);
  if (isempty (outcome))
    error ('%s: accepted, expected %s', what, identifier);
  end
  [got, message] = outcome{:};
  if (! strcmp (got, identifier))
    error ('%s: raised %s (%s), expected %s', what, got, message, identifier);
  end
  for piece = holds
    if (isempty (strfind (message, piece{1})))
      error ('%s: the message does not say "%s": %s', what, piece{1}, message);
    end
  end
  for piece = lacks
    if (! isempty (strfind (message, piece{1})))
      error ('%s: the message says "%s": %s', what, piece{1}, message);
    end
  end
end

% Every name an "unknown option" message offers is taken: given with a value of no use to
% any option ({}), each is refused for its value, never as unknown.
calls = {
  'zelmor_train', @(varargin) zelmor_train(X, y, varargin{:})
  'zelmor_path', @(varargin) zelmor_path(G, y, 1, 2, varargin{:})
  'zelmor_crossval', @(varargin) zelmor_crossval(G, y, 1, 5, varargin{:})
};
for c = 1:rows (calls)
  [name, call] = calls{c, :};
  outcome = raised (@() call ('NoSuchOption', 1));
  offered = regexp (outcome{2}, '\(the options are ([^)]*)\)', 'tokens', 'once');
  assert (! isempty (offered), '%s lists no options: %s', name, outcome{2});
  offered = strtrim (strsplit (offered{1}, ','));
  for option = offered
    outcome = raised (@() call (option{1}, {}));
    assert (! isempty (outcome) && isempty (strfind (outcome{2}, 'unknown option')), ...
            '%s offers %s but does not take it', name, option{1});
  end
  printf ('%s: %d option names offered, each taken\n', name, numel (offered));
end
printf ('%d mistakes refused with messages that say what to do\n', rows (cases));
