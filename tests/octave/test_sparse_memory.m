% A sparse X whose dense form (16 GB) could never be held under this test's address-space
% limit (about 3 GB) is trained on, cross-validated, predicted and made kernels of: every
% helper and the engine hold memory in proportion to its non-zeros, never to its size.
n = 2000;
D = 1e6;
held = 20;
rand ("seed", 7);
y = mod ((1:n).', 3) + 1;
rows = [repmat((1:n).', held, 1); (1:n).'];
columns = [floor(rand (n * held, 1) * D) + 1; y];
values = [randn(n * held, 1); 3 * ones(n, 1)];
X = sparse (rows, columns, values, n, D);
model = zelmor_train (X, y, "Gamma", [0.05 0.2], "C", [1 4], "Folds", 3, "Verbose", false);
assert (issparse (model.supportVectors) && isequal (size (model.supportVectors, 2), D));
assert (mean (zelmor_predict (model, X) == y) > 0.9);
% The default gamma, from the non-zeros, and a kernel against a few examples.
model = zelmor_train (X, y, "Kernel", "poly", "C", 1, "Verbose", false);
assert (model.gamma > 0 && isfinite (model.gamma));
K = zelmor_kernel (X(1:50, :), X, "linear");
assert (isequal (size (K), [50, n]));
printf ("a sparse X of %d x %d (%d non-zeros) trained under the address-space limit\n", n, D, nnz (X));
