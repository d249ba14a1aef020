% The Octave side of ctrl_c_test.sh, which types these calls at an interactive prompt.
%
%   s = ctrl_c_checks('setup')
%       A letter-like RBF problem (n = 7000, k = 26) whose solves take seconds, and the
%       reference results of a smaller one, solved before anything is interrupted; features
%       of 2000 examples by 10000 whose kernel columns take long to make.
%   ctrl_c_checks('describe')
%       Prints PID-<process id>.
%   ctrl_c_checks('verify', s, name, target, mark)
%       After an interrupted call: its target still holds 'untouched', mark still 42, and the
%       small problem solves to the same bits and counts as before. Prints VERIFY-OK name or
%       VERIFY-FAILED and the reason.
% The tokens are printed with formats, so the echo of the typed command never matches them.
function varargout = ctrl_c_checks (step, varargin)
  switch step
    case 'setup'
      varargout{1} = setup();
    case 'describe'
      printf('PID-%d\n', getpid());
    case 'verify'
      try
        verify(varargin{:});
        report('VERIFY', 'OK', varargin{2});
      catch failure
        report('VERIFY', 'FAILED', [varargin{2} ': ' failure.message]);
      end
  end
end

function s = setup ()
  [s.G, s.labels, s.X] = letterLike(7000, 26, 1);
  s.k = 26;
  s.beta = 0.1;
  % Warm from zero with the looser tolerance still takes seconds at this size.
  s.tau0 = zeros(7000, 26);
  small = 1:1500;
  s.small.G = s.G(small, small);
  s.small.labels = s.labels(small);
  [s.small.cold, s.small.coldCount] = zelmor_c2(s.small.G, s.small.labels, s.beta, s.k);
  [s.small.warm, s.small.warmCount] = zelmor_c(s.small.G, s.small.labels, 1, s.k, s.small.cold);
  % Many features and a cache of one column: a fit that spends its time making kernel columns,
  % each of 2000 x 10000 terms.
  s.wide = randn(2000, 10000);
  s.wideLabels = 1 + (s.wide(:, 1) > 0) + (s.wide(:, 2) > 0);
end

function verify (s, name, target, mark)
  if ~isequal(target, 'untouched')
    error('the interrupted call assigned its output (now a %s %s)', mat2str(size(target)), class(target));
  end
  if ~isequal(mark, 42)
    error('the workspace variable mark changed');
  end
  [cold, coldCount] = zelmor_c2(s.small.G, s.small.labels, s.beta, s.k);
  [warm, warmCount] = zelmor_c(s.small.G, s.small.labels, 1, s.k, cold);
  % typecast tells -0 from 0, which isequal would not.
  same = @(a, b) isequal(size(a), size(b)) && isequal(typecast(a(:), 'uint64'), typecast(b(:), 'uint64'));
  if ~same(cold, s.small.cold) || coldCount ~= s.small.coldCount
    error('the cold solve after the interrupt differs from the one before');
  end
  if ~same(warm, s.small.warm) || warmCount ~= s.small.warmCount
    error('the warm solve after the interrupt differs from the one before');
  end
end

% Clusters of 16 integer features in 0..15, one centre per class, like the letter-recognition
% data; n = 7000, k = 26 takes seconds from zero at beta 0.1.
function [G, labels, X] = letterLike (n, k, seed)
  rand('state', seed);
  randn('state', seed);
  centres = 5 + 5 * rand(k, 16);
  labels = floor(rand(n, 1) * k) + 1;
  X = min(max(round(centres(labels, :) + 3 * randn(n, 16)), 0), 15);
  G = zelmor_kernel(X, [], 'rbf', 0.006);
end

function report (what, outcome, detail)
  printf('%s-%s %s\n', what, outcome, detail);
end
