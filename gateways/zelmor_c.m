%ZELMOR_C  Continue training a Crammer-Singer multi-class SVM from given dual variables.
%
%  [TAU, COUNT] = zelmor_c(G, LABELS, BETA, K, TAU0)
%
%  Solves the dual of the Crammer-Singer multi-class formulation one example at a
%  time, starting from TAU0 (for example the TAU of an earlier zelmor_c2 call),
%  until the largest violation of the optimality conditions falls below 0.1*0.1
%  or N^2 iterations have run. The result is exact to the last bit and the same on
%  every machine. A row of TAU0 outside the constraints is corrected only when its
%  example is selected.
%
%  Inputs (all real, non-sparse, 2-D double):
%    G       N-by-N kernel matrix: finite, no zero on its diagonal. It need not be
%            symmetric; an asymmetric kernel is used exactly as given.
%    LABELS  at least N values (any shape); the first N are the classes 1..K of
%            the examples.
%    BETA    finite scalar: the weight of the label term in the objective.
%    K       scalar: the number of classes, a positive integer.
%    TAU0    N-by-K finite initial dual variables.
%
%  Outputs:
%    TAU     N-by-K dual variables.
%    COUNT   zero-based index of the iteration that met the tolerance, or N^2
%            when the iteration cap was reached.
%
%  Warning (identifier; silence it with warning('off', ID)):
%    zelmor:iterationCap  the cap of N^2 iterations was reached with a
%        violation at or above 0.1*0.1 left: TAU is not the solution yet;
%        continue with another call from it. A warm start that stops at once
%        because TAU0 already meets the tolerance is normal and stays silent.
%        Made an error with warning('error', ID), it leaves nothing assigned.
%  The tolerance is absolute while violations scale with BETA: for BETA well
%  below 1 solve zelmor_c(G*s, LABELS, BETA*s, K, TAU0) with s = 2^ceil(log2(1/BETA))
%  (the same solution, a tolerance of at most 0.01*BETA), or use zelmor_path or
%  zelmor_train, whose solves stop at a tolerance relative to BETA.
%
%  Errors (identifiers): zelmor:nargin, zelmor:nargout, zelmor:notRealDouble,
%    zelmor:kernelNotSquare, zelmor:kernelNotFinite, zelmor:kernelZeroDiagonal,
%    zelmor:badLabels, zelmor:badBeta, zelmor:badClassCount,
%    zelmor:badInitialTau, zelmor:outOfMemory, zelmor:internal.
%
%  Example:
%    G = [2 1; 1 2];  labels = [1; 2];
%    tau = zelmor_c2(G, labels, 1, 2);
%    [tau, count] = zelmor_c(G, labels, 1, 2, tau);
%
%  See also ZELMOR_C2.
