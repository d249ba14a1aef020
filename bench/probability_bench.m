% Probabilities on satimage for bench/probability_bench.sh: zelmor_train's search on the first
% 4435 examples (features scaled to [-1, 1], the time-to-model grid and folds, two threads),
% its chosen cell, its temperature and the seconds the calibration took, and its predictions of
% the last 2000 examples, into OUTDIR (satimage-zelmor.csv: one row per test example, its label
% and the probability of each class in the order of model.classes; satimage-zelmor-model.csv: the
% classes, then gamma, C, T, the calibration's and the whole search's seconds, and the same
% search's seconds without calibration).
function probability_bench (root, outdir)
  [Xtrain, ytrain, Xtest, ~, gammas, Cs] = bench_split(root, 'bench/data/satellite.csv.gz', 1:4435, 4436:6435, ...
                                                        outdir, 'satimage');
  options = {'Standardize', false, 'Gamma', gammas, 'C', Cs, 'Folds', 5, 'Seed', 1, 'Threads', 2, 'Verbose', false};
  started = tic;
  model = zelmor_train(Xtrain, ytrain, options{:});
  seconds = toc(started);
  started = tic;
  zelmor_train(Xtrain, ytrain, options{:}, 'Probability', false);
  uncalibrated = toc(started);
  [labels, ~, probabilities] = zelmor_predict(model, Xtest);
  dlmwrite(fullfile(outdir, 'satimage-zelmor.csv'), [labels, probabilities], 'precision', 17);
  dlmwrite(fullfile(outdir, 'satimage-zelmor-model.csv'), model.classes(:).', 'precision', 17);
  dlmwrite(fullfile(outdir, 'satimage-zelmor-model.csv'), ...
           [model.gamma, model.C, model.temperature, model.seconds.calibration, seconds, uncalibrated], ...
           '-append', 'precision', 17);
  printf('zelmor: satimage done in %.1f s (%.1f s without calibration)\n', seconds, uncalibrated);
end
