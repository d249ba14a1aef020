%ZELMOR_SOLVE_ON  Test only: zelmor_c2 or zelmor_c on a chosen instruction set and sweep mode.
%
%  [TAU, COUNT] = zelmor_solve_on(SET, SWEEP, G, LABELS, BETA, K)        as zelmor_c2
%  [TAU, COUNT] = zelmor_solve_on(SET, SWEEP, G, LABELS, BETA, K, TAU0)  as zelmor_c
%  SETS = zelmor_solve_on('supported')
%
%  SET is 'portable', 'AVX2' or 'AVX-512' (one of SETS, those this CPU has); SWEEP is
%  'dense', 'class-sparse' or 'automatic'. Every choice gives the same bits as the MEX
%  functions themselves, which pick the fastest set and the automatic sweep.
