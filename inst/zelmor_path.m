%ZELMOR_PATH  Train along a grid of beta values, each solve warm-started from the last.
%
%  [TAUS, ITERATIONS, SECONDS, INFO] = zelmor_path(G, LABELS, BETAS, K)
%  [...] = zelmor_path(..., NAME, VALUE, ...)
%
%  Solves at BETAS(1) from zero, then at BETAS(2), BETAS(3), ... each starting
%  from the dual variables of the previous beta, and solves every beta to a
%  tolerance relative to beta:
%
%  * Relative tolerances. zelmor_c2 and zelmor_c stop at an absolute tolerance
%    (0.001 cold, 0.01 warm) while the violations scale with beta, so a plain
%    call at a small beta stops far from the solution. zelmor_path stops the
%    cold solve once the largest violation is below 0.001*beta and the warm
%    ones below 0.01*beta (the plain tolerances where beta is not positive).
%    Its search for the largest violation measures every violation as it is,
%    however large the gradient grows at large C or with far outliers.
%  * Warm starts without G*TAU. Only the label term of the gradient
%    G*TAU - beta*Y depends on beta, so the next solve starts from the
%    gradient the last one ended with, moved by the change of beta in each
%    example's own class, instead of computing G*TAU anew. Then the rows of
%    TAU strictly between zero and their bound (own class 1) are scaled by the
%    factor in [0, 1] that minimises the objective at the new beta along them
%    (where no row is at its bound, the solution is proportional to beta), and
%    the gradient follows through G times those rows alone.
%  * Solves on the examples that move. Once a solve is within ten times its
%    tolerance, the examples whose dual row is zero and whose own class's
%    gradient entry leads every other by the tolerance stay where they are;
%    when the others are at most half of all, the solve goes on with those
%    alone (their rows and columns of G), the rest's gradients follow, and any
%    of them that then violates the tolerance joins in. The stop is decided
%    over all examples. At large C, where most examples are no support vector,
%    each iteration then costs a fraction as much.
%  * Past the cap. A solve that ends at the cap of N^2 iterations continues
%    from where it stopped, up to 'MaxRestarts' times per beta; a beta still
%    capped then raises the warning zelmor:notConverged.
%  The kernel is read where it is: solves on every example read G's columns
%  in place, and solves on the examples that move gather their rows of G
%  into a cache of 'CacheSize' megabytes as they need them.
%
%  Order: pass BETAS in descending order (C = 1/beta ascending). A warm start
%  needs far fewer iterations than a cold one when neighbouring betas are close,
%  and starting at the largest beta makes the cold solve the cheap one.
%
%  Inputs:
%    G        N-by-N training kernel, as zelmor_c2 takes it.
%    LABELS   N class numbers 1..K.
%    BETAS    non-empty vector of finite beta values, in the order to solve them.
%    K        number of classes.
%  Options (name, value):
%    'MaxRestarts'  most continuations from a capped solve per beta (default
%                   20), a non-negative integer. Each costs up to N^2
%                   iterations.
%    'Warn'         false: no zelmor:notConverged warning (INFO says the same).
%    'CacheSize'    megabytes of kernel columns each solve keeps, a positive
%                   number (default: a share of half the machine's memory among
%                   the solves at once, from 16 to 384). No result depends on
%                   it.
%
%  Outputs:
%    TAUS        N-by-K-by-numel(BETAS): TAUS(:, :, b) are the dual variables
%                at BETAS(b).
%    ITERATIONS  1-by-numel(BETAS): the iterations at BETAS(b), counted as
%                zelmor_c2 counts them: the updates applied, less the one of
%                the iteration that met the tolerance.
%    SECONDS     1-by-numel(BETAS) wall-clock time of the solves at each beta.
%    INFO        struct with 1-by-numel(BETAS) fields:
%                  restarts   solves continued from a capped one
%                  converged  true when the last solve stopped below its
%                             tolerance
%                  tolerance  the tolerance reached: 0.001*beta (cold) or
%                             0.01*beta (warm)
%
%  Memory: the dual variables of every beta (N*K*numel(BETAS) doubles), the
%  solver's working storage and, for solves on the examples that move, a
%  cache of 'CacheSize' megabytes of their columns of G; G itself is read
%  where it is.
%
%  Warning: zelmor:notConverged when a beta is still at the cap after
%  'MaxRestarts' continuations; its dual variables are then not the solution.
%
%  Errors (identifiers): zelmor:nargin, zelmor:badBeta, zelmor:badOption,
%    zelmor:notRealDouble, zelmor:kernelNotSquare, zelmor:kernelNotFinite,
%    zelmor:kernelZeroDiagonal, zelmor:badLabels, zelmor:badClassCount,
%    zelmor:outOfMemory.
%
%  Example:
%    X = [randn(30, 2); randn(30, 2) + 3];
%    labels = [ones(30, 1); 2 * ones(30, 1)];
%    G = zelmor_kernel(X, [], 'rbf', 0.5);
%    [taus, iterations, ~, info] = zelmor_path(G, labels, [10 1 0.1 0.001], 2);
%    classes = zelmor_predict(zelmor_kernel([3 3], X, 'rbf', 0.5), taus(:, :, end))
%
%  See also ZELMOR_C2, ZELMOR_C, ZELMOR_CROSSVAL, ZELMOR_TRAIN.

function [taus, iterations, seconds, info] = zelmor_path (G, labels, betas, k, varargin)
  if nargin < 4
    error('zelmor:nargin', 'zelmor_path takes at least 4 inputs (got %d)', nargin);
  end
  if ~isnumeric(betas) || ~isreal(betas) || isempty(betas) || ~isvector(betas) || ~all(isfinite(betas))
    error('zelmor:badBeta', 'BETAS must be a non-empty vector of finite values');
  end
  options = helper_options('zelmor_path', varargin);
  betas = double(betas(:).');
  [taus, iterations, seconds, restarts, converged, tolerance] = ...
      zelmor_engine('path', G, labels, betas, k, options.maxRestarts, options.cacheSize);
  info = struct('restarts', restarts, 'converged', converged, 'tolerance', tolerance);
  if options.warn && ~all(converged)
    failed = find(~converged);
    warning('zelmor:notConverged', ...
            ['zelmor_path: at beta = %s the solve was still at the cap of N^2 = %d iterations ' ...
             'after %d restarts (%s iterations in all): its dual variables are not the solution. ' ...
             'Allow more restarts with the option ''MaxRestarts'''], ...
            mat2str(betas(failed), 4), size(G, 1) ^ 2, options.maxRestarts, mat2str(iterations(failed)));
  end
end

%!shared X, labels, G
%! X = [0 0; 0.5 0.2; 0.1 0.6; 3 3; 3.4 2.8; 2.7 3.3; 0 3; 0.3 3.1];
%! labels = [1; 1; 1; 2; 2; 2; 3; 3];
%! G = zelmor_kernel(X, [], 'rbf', 0.4);

%!test
%! % At beta = 1 the relative tolerance of the cold solve is the plain one, 0.001, and the path
%! % is zelmor_c2 bit for bit (its gradients stay well inside the plain sweep's +-100).
%! t = (1:30).';
%! blobs = zelmor_kernel([cos(t), sin(2 * t)] + kron([0 0; 2 0; 0 2], ones(10, 1)), [], 'rbf', 1);
%! blobLabels = kron((1:3).', ones(10, 1));
%! [tau, count] = zelmor_c2(blobs, blobLabels, 1, 3);
%! assert(count < 900);
%! [taus, iterations, ~, info] = zelmor_path(blobs, blobLabels, 1, 3);
%! assert(isequal(typecast(taus(:), 'uint64'), typecast(tau(:), 'uint64')));
%! assert(iterations, count);
%! assert([info.converged, info.restarts, info.tolerance], [true, 0, 0.001]);
%! assert(fieldnames(info), {'restarts'; 'converged'; 'tolerance'});

%!test
%! % Every beta is solved to its relative tolerance: the largest violation of each tau, measured
%! % from the gradient it implies, is below 0.01 * beta (warm) or 0.001 * beta (cold).
%! betas = [40 2 2 0.3 0.02 0.0007];
%! [taus, iterations, seconds, info] = zelmor_path(G, labels, betas, 3);
%! assert(size(taus), [8 3 6]);
%! assert(all(seconds >= 0) && all(iterations >= 0));
%! assert(info.converged, true(1, 6));
%! assert(info.tolerance, [0.001, 0.01 * ones(1, 5)] .* betas);
%! target = full(sparse(1:8, labels, 1, 8, 3));
%! for b = 1:6
%!   tau = taus(:, :, b);
%!   assert(all(abs(sum(tau, 2)) < 1e-9) && all(all(tau <= target)));
%!   gradient = G * tau - betas(b) * target;
%!   eligible = gradient;
%!   eligible(target <= tau) = Inf;
%!   violation = max(gradient, [], 2) - min(eligible, [], 2);
%!   % The tolerance is checked on the selected example, before its last update.
%!   assert(max(violation) < 2 * info.tolerance(b), sprintf('beta %g: violation %g', betas(b), max(violation)));
%! end

%!test
%! % A bound of no restarts leaves capped betas unconverged, and says so once.
%! lastwarn('');
%! [~, iterations, ~, capped] = zelmor_path(G, labels, [0.7 0.01 0.001], 3, 'MaxRestarts', 0);
%! [~, id] = lastwarn();
%! assert(id, 'zelmor:notConverged');
%! % At the cap after any solves before it that converged (to a looser tolerance, or on the
%! % examples that move).
%! assert(any(~capped.converged) && all(iterations(~capped.converged) >= 64));
%! assert(capped.restarts, [0 0 0]);
%! [~, more, ~, continued] = zelmor_path(G, labels, [0.7 0.01 0.001], 3);
%! assert(all(continued.converged) && any(continued.restarts > 0));
%! assert(all(more(continued.restarts > 0) > 64));
%! lastwarn('');
%! zelmor_path(G, labels, [0.7 0.01 0.001], 3, 'MaxRestarts', 0, 'Warn', false);
%! assert(lastwarn(), '');

%!test
%! % Points far beyond the margin: scaled by 2^ceil(log2(1/beta)) = 64 their gradient passes
%! % 100 and the plain solvers stall at the cap on violations that are not there; the path
%! % measures every violation and converges, also from a warm start.
%! x = [1 2 5 20 100 400 -1 -3 -10 -50 -200 -400].';
%! far = x * x.';
%! twoClasses = 1 + (x < 0);
%! state = warning('off', 'zelmor:iterationCap');
%! [tau, count] = zelmor_c2(far * 64, twoClasses, 1, 2);
%! warning(state);
%! assert(count, 144);
%! [~, ~, ~, info] = zelmor_path(far, twoClasses, 1 / 64, 2);
%! assert(info.converged && info.tolerance == 0.001 / 64);
%! [~, ~, ~, info] = zelmor_path(far, twoClasses, [1 1 / 64 2^-12], 2);
%! assert(info.converged, true(1, 3));

%!test
%! % No examples gives empty dual variables; one example, one class.
%! assert(size(zelmor_path(zeros(0, 0), zeros(0, 1), [1 2], 4)), [0 4 2]);
%! [taus, iterations] = zelmor_path(4, 2, 1.5, 2);
%! assert(size(taus), [1 2]);
%! assert(iterations >= 0);

%!error <zelmor_path takes> zelmor_path(1, 1, 1)
%!error id=zelmor:badBeta zelmor_path(1, 1, [], 1)
%!error id=zelmor:badBeta zelmor_path(1, 1, [1 NaN], 1)
%!error id=zelmor:badBeta zelmor_path(1, 1, ones(2), 1)
%!error id=zelmor:badOption zelmor_path(1, 1, 1, 2, 'MaxRestarts', -1)
%!error id=zelmor:badOption zelmor_path(1, 1, 1, 2, 'Speed', 1)
%!error id=zelmor:kernelNotSquare zelmor_path(ones(2, 3), [1 1], 1, 1)
%!error id=zelmor:notRealDouble zelmor_path(single(1), 1, 1, 2)
%!error id=zelmor:kernelNotFinite zelmor_path([1 NaN; NaN 1], [1 2], 0.001, 2)
%!error id=zelmor:kernelZeroDiagonal zelmor_path([1 0; 0 0], [1 2], 1, 2)
%!error id=zelmor:badLabels zelmor_path(eye(2), [1 3], 1, 2)
%!error id=zelmor:badClassCount zelmor_path(eye(2), [1 2], 1, 0)
