%ZELMOR_KERNEL  Kernel matrix between two sets of examples.
%
%  K = zelmor_kernel(A, B, 'rbf', GAMMA)
%  K = zelmor_kernel(A, B, 'linear')
%  K = zelmor_kernel(A, B, 'poly', [DEGREE, OFFSET, GAMMA])
%  K = zelmor_kernel(A, [], ...)
%
%  Evaluates a kernel between every example (row) of A and every example of B:
%    'rbf'     K(i,j) = exp(-GAMMA * ||A(i,:) - B(j,:)||^2), GAMMA > 0
%    'linear'  K(i,j) = A(i,:) * B(j,:)'
%    'poly'    K(i,j) = (GAMMA * A(i,:) * B(j,:)' + OFFSET)^DEGREE, DEGREE a
%              positive integer, OFFSET >= 0 (0 when only DEGREE is given),
%              GAMMA > 0 (1 when not given). These are the kernel's own
%              defaults; zelmor_train's 'poly' defaults differ (OFFSET 1,
%              GAMMA chosen from the data: see help zelmor_train).
%  With B = [] the result is the square kernel of A with itself, exactly
%  symmetric (and, for 'rbf', with an exact unit diagonal), as the solvers
%  need for a training kernel.
%
%  Every entry has the same bits on every machine, build and thread count:
%  the squared distance is the sum of (a_f - b_f)^2 and the product the sum of
%  a_f * b_f, each over the features f in increasing order (never through a
%  BLAS library, whose order depends on the machine), and exp is the
%  engine's own. The work runs on every core.
%
%  Inputs:
%    A       M-by-D real matrix, one example per row, full or sparse.
%    B       N-by-D real matrix with the same D, full or sparse, or [] for
%            B = A. A sparse A or B is never made full: the sums run over
%            the features that either example holds (squared distances) or
%            both hold (products), which gives the same bits as the sums
%            over every feature, as the terms left out are zeros.
%    TYPE    'rbf', 'linear' or 'poly' (any case).
%    PARAM   the kernel's parameter, as above; 'linear' takes none.
%
%  Output:
%    K       M-by-N full double matrix: rows follow A, columns follow B. For
%            prediction pass the test examples as A and the training examples
%            as B.
%
%  Errors (identifiers): zelmor:nargin, zelmor:badExamples,
%    zelmor:featureMismatch, zelmor:badKernelType, zelmor:badKernelParameter,
%    zelmor:kernelNotFinite (a kernel value overflows: a degree or gamma too
%    large for the scale of the features).
%
%  Example:
%    Xtrain = [randn(20, 2); randn(20, 2) + 3];
%    labels = [ones(20, 1); 2 * ones(20, 1)];
%    G = zelmor_kernel(Xtrain, [], 'rbf', 0.5);
%    tau = zelmor_c2(G, labels, 1, 2);
%    classes = zelmor_predict(zelmor_kernel([0 0; 3 3], Xtrain, 'rbf', 0.5), tau)
%
%  See also ZELMOR_PREDICT, ZELMOR_C2, ZELMOR_CROSSVAL.

function K = zelmor_kernel (A, B, type, param)
  if nargin < 3 || nargin > 4
    error('zelmor:nargin', 'zelmor_kernel takes 3 or 4 inputs (got %d)', nargin);
  end
  A = checked_examples(A, 'A');
  % Only [] itself means "A again": a 0-by-D B is a real, empty set of examples.
  selfKernel = isnumeric(B) && isequal(size(B), [0 0]);
  if selfKernel
    B = A;
  else
    B = checked_examples(B, 'B');
  end
  if size(A, 2) ~= size(B, 2)
    error('zelmor:featureMismatch', ...
          'A and B must have the same number of columns (got %d and %d)', size(A, 2), size(B, 2));
  end
  type = as_char(type);
  if ~ischar(type) || ~(isrow(type) || isempty(type))
    error('zelmor:badKernelType', 'the kernel type must be ''rbf'', ''linear'' or ''poly''');
  end
  if nargin < 4
    param = [];
  end

  [gamma, degree, offset] = deal(1, 1, 0);
  switch lower(type)
    case 'rbf'
      gamma = checkParameter(param, 1, 'rbf', 'GAMMA');
      if ~(gamma > 0)
        error('zelmor:badKernelParameter', 'rbf: GAMMA must be positive (got %g)', gamma);
      end
    case 'linear'
      if ~isempty(param)
        error('zelmor:badKernelParameter', 'linear takes no parameter');
      end
    case 'poly'
      param = checkParameter(param, [1 2 3], 'poly', '[DEGREE, OFFSET, GAMMA]');
      given = param;
      param = [0, 0, 1];
      param(1:numel(given)) = given;
      [degree, offset, gamma] = deal(param(1), param(2), param(3));
      if degree < 1 || degree ~= fix(degree) || offset < 0 || ~(gamma > 0)
        error('zelmor:badKernelParameter', ...
              'poly: DEGREE must be a positive integer, OFFSET non-negative and GAMMA positive (got %g, %g, %g)', ...
              degree, offset, gamma);
      end
    otherwise
      error('zelmor:badKernelType', 'unknown kernel type ''%s'': use ''rbf'', ''linear'' or ''poly''', type);
  end
  if selfKernel
    B = [];
  end
  K = zelmor_engine('kernel', A, B, lower(type), gamma, degree, offset, 0);
end

function param = checkParameter (param, counts, type, what)
  if ~isnumeric(param) || ~isreal(param) || ~any(numel(param) == counts) || ~all(isfinite(param(:)))
    error('zelmor:badKernelParameter', '%s needs %s: finite real number(s)', type, what);
  end
  param = double(full(param(:).'));
end

%!test
%! % Entries checked one by one against the kernel definitions.
%! A = [0 0; 1 2; -1 0.5];
%! B = [1 1; 0 -2];
%! rbf = zeros(3, 2); linear = zeros(3, 2); poly = zeros(3, 2);
%! for i = 1:3
%!   for j = 1:2
%!     rbf(i, j) = exp(-0.7 * sum((A(i, :) - B(j, :)) .^ 2));
%!     linear(i, j) = A(i, :) * B(j, :).';
%!     poly(i, j) = (A(i, :) * B(j, :).' + 1.5) ^ 3;
%!   end
%! end
%! assert(zelmor_kernel(A, B, 'rbf', 0.7), rbf, 1e-14);
%! assert(zelmor_kernel(A, B, 'RBF', 0.7), rbf, 1e-14);
%! assert(zelmor_kernel(A, B, 'linear'), linear, 0);
%! assert(zelmor_kernel(A, B, 'poly', [3 1.5]), poly, 1e-12);
%! assert(zelmor_kernel(A, B, 'poly', 2), linear .^ 2, 0);
%! assert(zelmor_kernel(A, B, 'poly', [3 1.5 0.25]), (0.25 * linear + 1.5) .^ 3, 0);

%!test
%! % A training kernel must be symmetric to the last bit, with a unit rbf diagonal.
%! X = 3 * sin((1:57).' * (1:9)) + 10;
%! for type = {'rbf', 'linear', 'poly'}
%!   params = struct('rbf', 0.01, 'linear', [], 'poly', [2 1]);
%!   G = zelmor_kernel(X, [], type{1}, params.(type{1}));
%!   assert(size(G), [57 57]);
%!   assert(isequal(G, G.'), [type{1} ' kernel is not exactly symmetric']);
%!   assert(G, zelmor_kernel(X, X, type{1}, params.(type{1})), 1e-10 * max(abs(G(:))));
%! end
%! assert(all(diag(zelmor_kernel(X, [], 'rbf', 5)) == 1));

%!test
%! % Degenerate shapes: no examples on either side, and inputs that are not double.
%! assert(size(zelmor_kernel(zeros(0, 3), ones(4, 3), 'rbf', 1)), [0 4]);
%! assert(size(zelmor_kernel(ones(2, 3), zeros(0, 3), 'linear')), [2 0]);
%! assert(size(zelmor_kernel(zeros(0, 3), [], 'rbf', 1)), [0 0]);
%! assert(class(zelmor_kernel(single([1 2]), int8([3 4]), 'linear')), 'double');
%! assert(zelmor_kernel(sparse([1 2]), [3 4], 'linear'), 11);

%!test
%! % Near neighbours far from the origin: |a|^2 + |b|^2 - 2ab rounds to -1.5e-8 here, and an rbf
%! % value above 1 would follow.
%! X = [7137.8392297147; 7137.839229715312];
%! assert(all(all(zelmor_kernel(X, [], 'rbf', 1) <= 1)));
%! assert(all(all(zelmor_kernel(X, flipud(X), 'rbf', 1) <= 1)));

%!error <zelmor_kernel takes> zelmor_kernel(1, 1)
%!error id=zelmor:badExamples zelmor_kernel({1}, 1, 'linear')
%!error id=zelmor:badExamples zelmor_kernel([1 NaN], [], 'linear')
%!error id=zelmor:badExamples zelmor_kernel([1 2], [1i 2], 'linear')
%!error id=zelmor:featureMismatch zelmor_kernel(ones(2, 3), ones(2, 2), 'rbf', 1)
%!error id=zelmor:badKernelType zelmor_kernel(1, 1, 'sigmoid')
%!error id=zelmor:badKernelType zelmor_kernel(1, 1, 3)
%!error id=zelmor:badKernelParameter zelmor_kernel(1, 1, 'rbf')
%!error id=zelmor:badKernelParameter zelmor_kernel(1, 1, 'rbf', 0)
%!error id=zelmor:badKernelParameter zelmor_kernel(1, 1, 'rbf', [1 2])
%!error id=zelmor:badKernelParameter zelmor_kernel(1, 1, 'linear', 2)
%!error id=zelmor:badKernelParameter zelmor_kernel(1, 1, 'poly', 1.5)
%!error id=zelmor:badKernelParameter zelmor_kernel(1, 1, 'poly', [2 -1])
%!error id=zelmor:badKernelParameter zelmor_kernel(1, 1, 'poly', [2 1 0])
