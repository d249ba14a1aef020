%ZELMOR_PREDICT  Predicted classes and decision values from trained dual variables.
%
%  [CLASSES, DECISION] = zelmor_predict(KTEST, TAU)
%
%  Scores every class m for every new example x as the weighted kernel sum
%  DECISION(x, m) = sum over i of TAU(i, m) * K(x, x_i), over the training
%  examples x_i, and predicts the class with the largest score. A tie goes to
%  the lowest-numbered class. TAU is used exactly as the solver returned it.
%
%  Inputs:
%    KTEST     M-by-N kernel between M new examples (rows) and the N training
%              examples (columns), for example zelmor_kernel(Xnew, Xtrain, ...).
%              Use the training kernel itself to score the training examples.
%    TAU       N-by-K dual variables from zelmor_c2 or zelmor_c.
%
%  Outputs:
%    CLASSES   M-by-1 predicted class numbers 1..K.
%    DECISION  M-by-K decision values.
%
%  Errors (identifiers): zelmor:nargin, zelmor:badKernel, zelmor:badTau,
%    zelmor:kernelMismatch.
%
%  Example:
%    Xtrain = [randn(20, 2); randn(20, 2) + 3];
%    labels = [ones(20, 1); 2 * ones(20, 1)];
%    tau = zelmor_c2(zelmor_kernel(Xtrain, [], 'rbf', 0.5), labels, 1, 2);
%    [classes, decision] = zelmor_predict(zelmor_kernel([0 0; 3 3], Xtrain, 'rbf', 0.5), tau)
%
%  See also ZELMOR_KERNEL, ZELMOR_C2, ZELMOR_C, ZELMOR_CROSSVAL.

function [classes, decision] = zelmor_predict (Ktest, tau)
  if nargin ~= 2
    error('zelmor:nargin', 'zelmor_predict takes 2 inputs (got %d)', nargin);
  end
  if ~isnumeric(Ktest) || ~isreal(Ktest) || ndims(Ktest) ~= 2 || ~all(isfinite(Ktest(:)))
    error('zelmor:badKernel', 'KTEST must be a real 2-D matrix of finite values');
  end
  if ~isa(tau, 'double') || ~isreal(tau) || issparse(tau) || ndims(tau) ~= 2 || ~all(isfinite(tau(:)))
    error('zelmor:badTau', 'TAU must be a real, full, 2-D double matrix of finite values');
  end
  if size(Ktest, 2) ~= size(tau, 1)
    error('zelmor:kernelMismatch', ...
          'KTEST has %d columns but TAU has %d rows: both count the training examples', ...
          size(Ktest, 2), size(tau, 1));
  end
  if size(tau, 2) < 1
    error('zelmor:badTau', 'TAU must have at least one column (one per class)');
  end

  decision = full(double(Ktest)) * tau;
  [~, classes] = max(decision, [], 2);
  classes = reshape(classes, [], 1);
end

%!test
%! % Each decision value is the weighted kernel sum over the training examples.
%! Ktest = [1 0 2; 0.5 0.5 0; 0 0 0; -1 2 1];
%! tau = [1 -1; -0.5 0.5; 0.25 -0.25];
%! [classes, decision] = zelmor_predict(Ktest, tau);
%! expected = zeros(4, 2);
%! for x = 1:4
%!   for m = 1:2
%!     expected(x, m) = sum(tau(:, m) .* Ktest(x, :).');
%!   end
%! end
%! assert(decision, expected, 1e-15);
%! % Row 3 scores 0 for both classes: the tie goes to the lower class.
%! assert(classes, [1; 1; 1; 2]);

%!test
%! % A solve on separable data predicts its own training labels and two fresh points.
%! X = [0 0; 0.3 0.1; 0.1 0.4; 5 5; 5.2 4.9; 4.8 5.3; 0 5; 0.2 5.1; -0.1 4.7];
%! labels = [1; 1; 1; 2; 2; 2; 3; 3; 3];
%! G = zelmor_kernel(X, [], 'rbf', 0.5);
%! tau = zelmor_c2(G, labels, 1, 3);
%! assert(zelmor_predict(G, tau), labels);
%! assert(zelmor_predict(zelmor_kernel([5 5.1; 0.1 5], X, 'rbf', 0.5), tau), [2; 3]);

%!test
%! % No new examples gives empty results of the right shapes.
%! [classes, decision] = zelmor_predict(zeros(0, 3), ones(3, 4));
%! assert(size(classes), [0 1]);
%! assert(size(decision), [0 4]);

%!error <zelmor_predict takes> zelmor_predict(1)
%!error id=zelmor:badKernel zelmor_predict('a', 1)
%!error id=zelmor:badKernel zelmor_predict([1 Inf], [1; 1])
%!error id=zelmor:badTau zelmor_predict(1, single(1))
%!error id=zelmor:badTau zelmor_predict(1, NaN)
%!error id=zelmor:badTau zelmor_predict(zeros(1, 0), zeros(0, 0))
%!error id=zelmor:kernelMismatch zelmor_predict(ones(2, 3), ones(2, 4))
