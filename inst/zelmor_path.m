%ZELMOR_PATH  Train along a grid of beta values, each solve warm-started from the last.
%
%  [TAUS, ITERATIONS, SECONDS] = zelmor_path(G, LABELS, BETAS, K)
%
%  Solves at BETAS(1) from zero with zelmor_c2, then at BETAS(2), BETAS(3), ...
%  with zelmor_c, each starting from the dual variables of the previous beta.
%  The results are exactly those of calling the solvers in that order by hand.
%  A warm start needs far fewer iterations than a cold one when neighbouring
%  betas are close, so pass the grid sorted.
%
%  zelmor_c stops once the selected violation is below 0.01, an absolute
%  tolerance, while violations scale with beta. Below beta of about 0.01 a warm
%  start can stop after its first update, which moves one example's row alone
%  and leaves a poor model (on the digits demo, 0.001 then 0.003 predicts half
%  the test set wrongly). Keep warm starts to betas well above 0.01, or begin
%  the grid there: the first solve is cold and uses 0.001.
%
%  Inputs:
%    G        N-by-N training kernel, as zelmor_c2 takes it.
%    LABELS   N class numbers 1..K.
%    BETAS    non-empty vector of finite beta values, in the order to solve them.
%    K        number of classes.
%
%  Outputs:
%    TAUS        N-by-K-by-numel(BETAS): TAUS(:, :, b) are the dual variables
%                at BETAS(b).
%    ITERATIONS  1-by-numel(BETAS) iteration counts reported by the solvers.
%    SECONDS     1-by-numel(BETAS) wall-clock time of each solve.
%
%  Errors (identifiers): zelmor:nargin, zelmor:badBeta; and any error of
%    zelmor_c2/zelmor_c for G, LABELS and K.
%
%  Example:
%    X = [randn(30, 2); randn(30, 2) + 3];
%    labels = [ones(30, 1); 2 * ones(30, 1)];
%    [taus, iterations] = zelmor_path(zelmor_kernel(X, [], 'rbf', 0.5), labels, [0.1 1 10], 2);
%    classes = zelmor_predict(zelmor_kernel([3 3], X, 'rbf', 0.5), taus(:, :, end))
%
%  See also ZELMOR_C2, ZELMOR_C, ZELMOR_CROSSVAL.

function [taus, iterations, seconds] = zelmor_path (G, labels, betas, k)
  if nargin ~= 4
    error('zelmor:nargin', 'zelmor_path takes 4 inputs (got %d)', nargin);
  end
  if ~isnumeric(betas) || ~isreal(betas) || isempty(betas) || ~isvector(betas) || ~all(isfinite(betas))
    error('zelmor:badBeta', 'BETAS must be a non-empty vector of finite values');
  end
  betas = double(betas);
  iterations = zeros(1, numel(betas));
  seconds = zeros(1, numel(betas));
  for b = 1:numel(betas)
    started = tic;
    if b == 1
      [tau, iterations(b)] = zelmor_c2(G, labels, betas(b), k);
      % Sized after the first solve so that the solver's own checks of G and K speak first.
      taus = zeros([size(tau), numel(betas)]);
    else
      [tau, iterations(b)] = zelmor_c(G, labels, betas(b), k, tau);
    end
    seconds(b) = toc(started);
    taus(:, :, b) = tau;
  end
end

%!test
%! % Identical, bit for bit, to the cold solve followed by warm solves done by hand.
%! X = [0 0; 0.5 0.2; 0.1 0.6; 3 3; 3.4 2.8; 2.7 3.3; 0 3; 0.3 3.1];
%! labels = [1; 1; 1; 2; 2; 2; 3; 3];
%! G = zelmor_kernel(X, [], 'rbf', 0.4);
%! betas = [0.02 0.3 2 2 40];
%! [taus, iterations, seconds] = zelmor_path(G, labels, betas, 3);
%! assert(size(taus), [8 3 5]);
%! assert(size(iterations), [1 5]);
%! assert(all(seconds >= 0));
%! [tau, count] = zelmor_c2(G, labels, betas(1), 3);
%! assert(isequal(taus(:, :, 1), tau) && iterations(1) == count);
%! for b = 2:5
%!   [tau, count] = zelmor_c(G, labels, betas(b), 3, tau);
%!   assert(isequal(taus(:, :, b), tau) && iterations(b) == count);
%! end

%!test
%! % One beta is just the cold solve; no examples gives empty dual variables.
%! [taus, iterations] = zelmor_path(4, 2, 1.5, 2);
%! [tau, count] = zelmor_c2(4, 2, 1.5, 2);
%! assert(isequal(taus, tau) && iterations == count);
%! assert(size(zelmor_path(zeros(0, 0), zeros(0, 1), [1 2], 4)), [0 4 2]);

%!error <zelmor_path takes> zelmor_path(1, 1, 1)
%!error id=zelmor:badBeta zelmor_path(1, 1, [], 1)
%!error id=zelmor:badBeta zelmor_path(1, 1, [1 NaN], 1)
%!error id=zelmor:badBeta zelmor_path(1, 1, ones(2), 1)
%!error id=zelmor:kernelNotSquare zelmor_path(ones(2, 3), [1 1], 1, 1)
