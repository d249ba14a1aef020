% Time to a tuned model with zelmor_train, for bench/time_to_model.sh: for each data set, the
% whole grid search (kernel parameter and C by 5-fold cross-validation, then the final fit) on
% two threads, the test accuracy, where the time went, and a single fit at the chosen cell. It
% writes each problem (scaled features, labels, folds, grid: bench_split) into OUTDIR for the
% peer to run on the same split, grid and folds, and its own figures into OUTDIR/zelmor.csv.
function time_to_model (root, outdir)
  sets = {
    % name, file under ROOT, training rows, test rows
    'satimage', 'bench/data/satellite.csv.gz', 1:4435, 4436:6435
    'shuttle-3000', 'bench/data/shuttle.csv.gz', 1:3000, 43501:58000
    'letter-3000', 'bench/data/letter.csv.gz', 1:3000, 16001:20000
    'dna', 'bench/data/dna.csv.gz', 1:2000, 2001:3186
    'digits', 'examples/data/digits.csv.gz', 1:1347, 1348:1797
  };
  results = fopen(fullfile(outdir, 'zelmor.csv'), 'w');
  fprintf(results, 'name,n,d,k,seconds,accuracy,gamma,C,kernels,solves,scoring,fit\n');
  for s = 1:rows(sets)
    [name, file, trainRows, testRows] = sets{s, :};
    [Xtrain, ytrain, Xtest, ytest, gammas, Cs] = bench_split(root, file, trainRows, testRows, outdir, name);
    d = columns(Xtrain);
    started = tic;
    model = zelmor_train(Xtrain, ytrain, 'Standardize', false, 'Gamma', gammas, 'C', Cs, 'Folds', 5, ...
                         'Seed', 1, 'Threads', 2, 'Verbose', false);
    seconds = toc(started);
    accuracy = mean(zelmor_predict(model, Xtest) == ytest);
    started = tic;
    zelmor_train(Xtrain, ytrain, 'Standardize', false, 'Gamma', model.gamma, 'C', model.C, 'Threads', 2);
    fit = toc(started);
    fprintf(results, '%s,%d,%d,%d,%.3f,%.6f,%.17g,%.17g,%.3f,%.3f,%.3f,%.3f\n', name, numel(trainRows), d, ...
            numel(unique(ytrain)), seconds, accuracy, model.gamma, model.C, model.seconds.kernels, ...
            model.seconds.solves, model.seconds.scoring, fit);
    printf('zelmor: %s done in %.1f s\n', name, seconds);
  end
  fclose(results);
end
