% A data set of bench/data as the benchmarks split and scale it, and the grid and folds they
% search, written for the peer (scikit-learn) to read: OUTDIR/NAME-train.csv (features, label,
% fold), NAME-test.csv (features, label) and NAME-grid.csv (the gammas, then the C values).
%   [Xtrain, ytrain, Xtest, ytest, gammas, Cs, folds] = bench_split(root, file, trainRows, testRows, outdir, name)
% Features are scaled to [-1, 1] over the training rows, as the peer's users do; gamma runs over
% 1 / (d * the mean variance) * 2^(-3:3), C over 2^(-2:2:10); 5 stratified folds of seed 1.
function [Xtrain, ytrain, Xtest, ytest, gammas, Cs, folds] = bench_split (root, file, trainRows, testRows, outdir, name)
  data = readGzippedCsv(fullfile(root, file));
  [X, y] = deal(data(:, 1:end - 1), data(:, end));
  low = min(X(trainRows, :));
  span = max(X(trainRows, :)) - low;
  span(span == 0) = 1;
  X = 2 * (X - low) ./ span - 1;
  [Xtrain, ytrain, Xtest, ytest] = deal(X(trainRows, :), y(trainRows), X(testRows, :), y(testRows));
  gammas = 1 / (columns(X) * mean(var(Xtrain))) * 2 .^ (-3:3);
  Cs = 2 .^ (-2:2:10);
  [~, ~, classOf] = unique(ytrain);
  folds = zelmor_folds(classOf, 5, 1);
  dlmwrite(fullfile(outdir, [name '-train.csv']), [Xtrain, ytrain, folds], 'precision', 17);
  dlmwrite(fullfile(outdir, [name '-test.csv']), [Xtest, ytest], 'precision', 17);
  dlmwrite(fullfile(outdir, [name '-grid.csv']), gammas, 'precision', 17);
  dlmwrite(fullfile(outdir, [name '-grid.csv']), Cs, '-append', 'precision', 17);
end

function data = readGzippedCsv (file)
  plain = [tempname() '.csv'];
  cleanup = onCleanup(@() delete(plain));
  if system(sprintf('gzip -dc ''%s'' > ''%s''', file, plain)) ~= 0
    error('bench:data', 'cannot read %s', file);
  end
  data = dlmread(plain, ',');
end
