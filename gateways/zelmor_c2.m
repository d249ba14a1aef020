%ZELMOR_C2  Train a Crammer-Singer multi-class SVM on a precomputed kernel, from zero.
%
%  [TAU, COUNT] = zelmor_c2(G, LABELS, BETA, K)
%
%  Solves the dual of the Crammer-Singer multi-class formulation one example at a
%  time, starting from TAU = 0, until the largest violation of the optimality
%  conditions falls below 0.001 or N^2 iterations have run. The result is exact to
%  the last bit and the same on every machine.
%
%  Inputs (all real, non-sparse, 2-D double):
%    G       N-by-N kernel matrix: finite, no zero on its diagonal. It need not be
%            symmetric; an asymmetric kernel is used exactly as given.
%    LABELS  at least N values (any shape); the first N are the classes 1..K of
%            the examples.
%    BETA    finite scalar: the weight of the label term in the objective.
%    K       scalar: the number of classes, a positive integer.
%
%  Outputs:
%    TAU     N-by-K dual variables; row i belongs to example i and sums to zero.
%    COUNT   zero-based index of the iteration that met the tolerance, or N^2
%            when the iteration cap was reached.
%
%  Warnings (identifiers; silence one with warning('off', ID)):
%    zelmor:stoppedAtStart  the solve stopped after its first update (COUNT = 0)
%        although N > 0, K >= 2 and BETA > 0: a cold start's first violation is
%        BETA itself, so this happens exactly when BETA < 0.001, and TAU is far
%        from the solution. The tolerance is absolute while violations scale
%        with BETA: solve zelmor_c2(G*s, LABELS, BETA*s, K) with
%        s = 2^ceil(log2(1/BETA)) instead (the same solution; multiplying by a
%        power of two is exact), or use zelmor_path or zelmor_train, whose
%        solves stop at a tolerance relative to BETA.
%    zelmor:iterationCap  the cap of N^2 iterations was reached with a
%        violation at or above 0.001 left: continue with
%        TAU = zelmor_c(G, LABELS, BETA, K, TAU). A run that reaches the cap
%        with its TAU already within the tolerance (N = 1) stays silent.
%  Both come after the outputs are set; made errors with warning('error', ID),
%  they leave nothing assigned.
%
%  Errors (identifiers): zelmor:nargin, zelmor:nargout, zelmor:notRealDouble,
%    zelmor:kernelNotSquare, zelmor:kernelNotFinite, zelmor:kernelZeroDiagonal,
%    zelmor:badLabels, zelmor:badBeta, zelmor:badClassCount, zelmor:outOfMemory,
%    zelmor:internal.
%
%  Example:
%    X = [randn(20, 2); randn(20, 2) + 3];
%    G = exp(-0.5 * (sum(X.^2, 2) + sum(X.^2, 2)' - 2 * (X * X')));
%    labels = [ones(20, 1); 2 * ones(20, 1)];
%    [tau, count] = zelmor_c2(G, labels, 1, 2);
%    tau = zelmor_c(G, labels, 1, 2, tau);    % continue with the warm start
%
%  See also ZELMOR_C.
