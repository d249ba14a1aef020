% A sparse X against the same values given dense, through the helpers: zelmor_train's models,
% zelmor_predict's labels and scores (a sparse or a dense XTEST against either kind of model)
% and zelmor_kernel's kernels are the same bits, for every kernel type, on values that are
% hard for a sum that skips zeros (negative values, exact ties, subnormals, products that
% underflow, -0 in the dense form). A sparse X is scaled by each feature's largest absolute
% value, without centring, and stays sparse in the model; its default gamma comes from its
% non-zeros.
1;

function same = sameBits (a, b)
  same = isequal (size (a), size (b)) && isequal (typecast (full (a(:)), "uint64"), typecast (full (b(:)), "uint64"));
end

% n examples of 3 classes, D features, about a third of the entries held.
function [X, y] = sparseLooking (n, D, seed)
  rand ("seed", seed);
  randn ("seed", seed);
  X = randn (n, D) .* (rand (n, D) < 0.3);
  kind = floor (rand (n, D) * 6);
  X(kind == 1) = round (X(kind == 1));      % ties, often exact
  X(kind == 2) = X(kind == 2) * 1e-310;     % subnormal
  X(kind == 3) = X(kind == 3) * 1e-170;     % their products underflow to a signed zero
  X(kind == 4 & X == 0) = -0;
  X(:, 5) = 0;                              % a feature no example holds
  y = mod ((1:n).', 3) + 1;
  X(sub2ind ([n, D], (1:n).', y)) += 2;
end

[X, y] = sparseLooking (120, 15, 3);
S = sparse (X);
assert (issparse (S) && nnz (S) < 0.5 * numel (S));
Xtest = sparseLooking (40, 15, 4);
scale = max (abs (X));
scale(scale == 0) = 1;
cases = {
  % kernel, options (the grid: each case cross-validates)
  "rbf",    {"Gamma", [0.1 0.4], "C", [1 8], "Folds", 3}
  "linear", {"C", [0.5 2], "Folds", 3}
  "poly",   {"Gamma", 0.2, "Degree", [2 3], "C", 1, "Folds", 3}
};
for c = 1:rows (cases)
  [kernel, options] = cases{c, :};
  options = [{"Kernel", kernel, "Verbose", false}, options];
  % Unscaled, and scaled by default: sparse against the dense X scaled by hand.
  pairs = {
    "unscaled", zelmor_train(S, y, options{:}, "Standardize", false), zelmor_train(X, y, options{:}, "Standardize", false), 1
    "scaled",   zelmor_train(S, y, options{:}),                      zelmor_train(X ./ scale, y, options{:}, "Standardize", false), scale
  };
  for p = 1:rows (pairs)
    [what, sparseModel, denseModel, by] = pairs{p, :};
    what = [kernel, ", ", what];
    assert (issparse (sparseModel.supportVectors), what);
    for field = {"tau", "supportIndices", "gamma", "C"}
      assert (sameBits (sparseModel.(field{1}), denseModel.(field{1})), "%s: %s", what, field{1});
    end
    % A sparse matrix holds no -0: its zeros are +0.
    assert (sameBits (sparseModel.supportVectors, sparse (denseModel.supportVectors)), what);
    assert (isequaln (sparseModel.grid.accuracy, denseModel.grid.accuracy), what);
    % Either kind of XTEST against either model: the dense model's scores on the dense XTEST.
    [labels, scores] = zelmor_predict (denseModel, Xtest ./ by);
    tests = {sparseModel, Xtest; sparseModel, sparse(Xtest); denseModel, sparse(Xtest ./ by)};
    for t = 1:rows (tests)
      [againLabels, againScores] = zelmor_predict (tests{t, :});
      assert (isequal (againLabels, labels) && sameBits (againScores, scores), "%s: prediction %d", what, t);
    end
  end
  % The kernels: sparse with itself, sparse against dense and dense against sparse.
  parameter = {0.3, [], [3 1 0.2]}{c};
  expected = zelmor_kernel (X, Xtest, kernel, parameter);
  assert (sameBits (zelmor_kernel (S, [], kernel, parameter), zelmor_kernel (X, [], kernel, parameter)), kernel);
  assert (sameBits (zelmor_kernel (S, Xtest, kernel, parameter), expected), kernel);
  assert (sameBits (zelmor_kernel (X, sparse (Xtest), kernel, parameter), expected), kernel);
end

% The scaling of a sparse X: no centre, each feature's largest absolute value (1 for a feature
% no example holds), the same with 'Standardize', true; kept through save and load.
model = zelmor_train (S, y, "Kernel", "linear", "C", 1);
assert (isempty (model.center) && model.standardize && sameBits (model.scale, scale));
assert (sameBits (model.scale(5), 1));
assert (sameBits (zelmor_train (S, y, "Kernel", "linear", "C", 1, "Standardize", true).tau, model.tau));
file = [tempname() ".mat"];
cleanup = onCleanup (@() delete (file));
save ("-v7", file, "model");
loaded = load (file);
assert (issparse (loaded.model.supportVectors));
[~, scores] = zelmor_predict (model, S);
[~, again] = zelmor_predict (loaded.model, S);
assert (sameBits (again, scores));

% The default gamma of a sparse X: 1 / (D x the mean variance of its scaled features), from the
% non-zeros alone, as var gives it for the dense values (within rounding).
model = zelmor_train (S, y, "Kernel", "poly", "C", 1);
gamma0 = 1 / (15 * mean (var (X ./ scale)));
assert (abs (model.gamma - gamma0) <= 1e-13 * gamma0);
model = zelmor_train (S, y, "Kernel", "poly", "C", 1, "Standardize", false);
assert (abs (model.gamma - 1 / (15 * mean (var (X)))) <= 1e-13 * model.gamma);

% What zelmor_train cannot have made: the centre [] with dense support vectors, a centre with
% sparse ones; a sparse XTEST's non-finite value named where it is.
sparseModel = zelmor_train (S, y, "Kernel", "linear", "C", 1);
denseModel = zelmor_train (X, y, "Kernel", "linear", "C", 1);
notFinite = sparseModel.supportVectors;
notFinite(find (notFinite, 1)) = NaN;
damaged = {setfield(denseModel, "center", []), setfield(sparseModel, "center", zeros(1, 15)), ...
           setfield(sparseModel, "supportVectors", notFinite)};
for d = 1:numel (damaged)
  try
    zelmor_predict (damaged{d}, S);
    error ("test:noError", "damaged model %d predicted", d);
  catch failure
    assert (failure.identifier, "zelmor:badModel");
  end
end
bad = S;
bad(7, 9) = Inf;
try
  zelmor_train (bad, y);
  error ("test:noError", "a sparse X holding Inf trained");
catch failure
  assert (failure.identifier, "zelmor:badExamples");
  assert (! isempty (strfind (failure.message, "row 7, column 9")), failure.message);
end
printf ("sparse X: the dense bits for every kernel type\n");
