%ZELMOR_FOLDS  Stratified fold numbers from a fixed seed, the same in Octave and MATLAB.
%
%  FOLDS = zelmor_folds(LABELS, F)
%  FOLDS = zelmor_folds(LABELS, F, SEED)
%
%  Shuffles the examples of each class with a seeded generator of its own
%  (a 32-bit linear congruential generator, so the result depends on nothing
%  but the inputs: not on rand's state, the host or its version) and deals them
%  out to folds 1..F in turn. Every class is spread over the folds as evenly as
%  it can be, and fold sizes differ by at most one.
%
%  Use it for a train/test split (test = zelmor_folds(labels, 4) == 1 holds out
%  a quarter) or to fix the folds of zelmor_crossval.
%
%  Inputs:
%    LABELS  N class numbers, positive integers.
%    F       number of folds, an integer from 1 to N.
%    SEED    integer from 0 to 2^32 - 1; 1 when omitted.
%
%  Output:
%    FOLDS   N-by-1 fold numbers 1..F.
%
%  Errors (identifiers): zelmor:nargin, zelmor:badLabels, zelmor:badFolds,
%    zelmor:badSeed.
%
%  Example:
%    labels = [1 1 1 1 2 2 2 2 3 3 3 3]';
%    folds = zelmor_folds(labels, 4, 7);
%    accumarray([labels, folds], 1)     % one example of each class per fold
%
%  See also ZELMOR_CROSSVAL.

function folds = zelmor_folds (labels, F, seed)
  if nargin < 2 || nargin > 3
    error('zelmor:nargin', 'zelmor_folds takes 2 or 3 inputs (got %d)', nargin);
  end
  if nargin < 3
    seed = 1;
  end
  if ~isnumeric(labels) || ~isreal(labels) || ~isvector(labels) ...
      || ~all(labels(:) >= 1 & labels(:) == fix(labels(:)) & isfinite(labels(:)))
    error('zelmor:badLabels', 'LABELS must be a vector of positive integers');
  end
  n = numel(labels);
  if ~isnumeric(F) || ~isreal(F) || ~isscalar(F) || F ~= fix(F) || F < 1 || F > n
    error('zelmor:badFolds', 'F must be an integer from 1 to the number of examples, %d', n);
  end
  if ~isnumeric(seed) || ~isreal(seed) || ~isscalar(seed) || seed ~= fix(seed) || seed < 0 || seed >= 2^32
    error('zelmor:badSeed', 'SEED must be an integer from 0 to 2^32 - 1');
  end

  % Every product stays below 2^53, so the generator runs exactly in doubles.
  keys = zeros(n, 1);
  state = double(seed);
  for i = 1:n
    state = mod(1664525 * state + 1013904223, 2^32);
    keys(i) = state;
  end
  % The generator's period is 2^32, so the keys are distinct and the order is unique.
  [~, order] = sortrows([double(labels(:)), keys]);
  folds = zeros(n, 1);
  folds(order) = mod(0:n - 1, double(F)).' + 1;
end

%!test
%! % Each class spreads evenly over the folds, and fold sizes differ by at most one.
%! cases = {
%!   % labels                     F  seed
%!   [1 1 1 1 2 2 2 2 3 3 3 3],   4, 7
%!   [ones(1, 10), 2 * ones(1, 7)], 3, 1
%!   repmat([3 1 2], 1, 9),       5, 0
%!   [1 2 2 5 5 5],               6, 4294967295
%!   ones(1, 5),                  1, 12
%! };
%! for c = 1:rows(cases)
%!   [labels, F, seed] = cases{c, :};
%!   folds = zelmor_folds(labels, F, seed);
%!   assert(size(folds), [numel(labels), 1]);
%!   assert(all(folds >= 1 & folds <= F & folds == fix(folds)));
%!   sizes = accumarray(folds, 1, [F 1]);
%!   assert(max(sizes) - min(sizes) <= 1);
%!   for m = unique(labels)
%!     perClass = accumarray(folds(labels(:) == m), 1, [F 1]);
%!     assert(max(perClass) - min(perClass) <= 1);
%!   end
%! end

%!test
%! % Fixed by the seed alone: the global generators play no part; seeds differ.
%! labels = repmat(1:3, 1, 20);
%! rand('seed', 1); first = zelmor_folds(labels, 5, 42);
%! rand('seed', 99); rand(10); second = zelmor_folds(labels, 5, 42);
%! assert(isequal(first, second));
%! assert(~isequal(first, zelmor_folds(labels, 5, 43)));
%! assert(isequal(zelmor_folds(labels, 5), zelmor_folds(labels, 5, 1)));

%!test
%! % Seed 0 gives the generator's known keys 1013904223, 1196435762, 3519870697 and
%! % 2868466484: class 1 is dealt as examples 2, 4, 3, then class 2 continues the turn.
%! assert(zelmor_folds([1 1 1], 3, 0), [1; 2; 3]);
%! assert(zelmor_folds([2 1 1 1], 2, 0), [2; 1; 1; 2]);

%!error <zelmor_folds takes> zelmor_folds(1)
%!error id=zelmor:badLabels zelmor_folds([1 0 2], 2)
%!error id=zelmor:badLabels zelmor_folds([1 1.5 2], 2)
%!error id=zelmor:badLabels zelmor_folds(ones(2), 2)
%!error id=zelmor:badLabels zelmor_folds({1, 2}, 2)
%!error id=zelmor:badFolds zelmor_folds([1 2 3], 4)
%!error id=zelmor:badFolds zelmor_folds([1 2 3], 0)
%!error id=zelmor:badFolds zelmor_folds([1 2 3], 1.5)
%!error id=zelmor:badSeed zelmor_folds([1 2 3], 2, -1)
%!error id=zelmor:badSeed zelmor_folds([1 2 3], 2, 2^32)
