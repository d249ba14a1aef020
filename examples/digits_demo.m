% Handwritten digits with zelmor: train along a beta path, choose beta by
% cross-validation, test, and draw the results.
%
% Run it with `make demo` from the repository, which installs what is missing
% and builds first, or from Octave once the MEX files are built:
%   run('examples/digits_demo.m')
% The functions come from build/mex unless they are on the path already (for
% example after `pkg load zelmor`). The figure goes to build/digits_demo.png, or
% to the file named by a variable figureFile set before running the script.
%
% Data: 1797 handwritten digits, 8x8 pixel counts 0..16 (UCI "Optical
% Recognition of Handwritten Digits"), in examples/data/digits.csv.gz.

root = fileparts(fileparts(mfilename('fullpath')));
if exist('zelmor_c2') ~= 3 || exist('zelmor_kernel') ~= 2
  addpath(fullfile(root, 'build', 'mex'));
end
if exist('zelmor_c2') ~= 3
  error('zelmor:demo', 'zelmor_c2 is not built: run `make` in %s first', root);
end

% --- Data: digits 0..9 become classes 1..10; pixels scaled to 0..1.
unpacked = tempname();
csvFile = gunzip(fullfile(root, 'examples', 'data', 'digits.csv.gz'), unpacked);
data = dlmread(csvFile{1}, ',');
rmdir(unpacked, 's');
X = data(:, 1:end - 1) / 16;
labels = data(:, end) + 1;
classCount = 10;

% A stratified quarter held out for testing, fixed by the seed alone.
isTest = zelmor_folds(labels, 4, 2024) == 1;
trainX = X(~isTest, :);
trainLabels = labels(~isTest);
testX = X(isTest, :);
testLabels = labels(isTest);

% The usual width for an RBF kernel: one over (features x pixel variance).
gamma = 1 / (size(trainX, 2) * var(trainX(:)));
G = zelmor_kernel(trainX, [], 'rbf', gamma);
testKernel = zelmor_kernel(testX, trainX, 'rbf', gamma);
fprintf('zelmor demo: handwritten digits, %d training and %d test examples, %d features, %d classes\n', ...
        numel(trainLabels), numel(testLabels), size(X, 2), classCount);
fprintf('RBF kernel with gamma = %.4f\n\n', gamma);

% --- A path over beta: a cold start, then each solve warm-started from the last.
betas = [0.01 0.03 0.1 0.3 1 3];
pathCount = numel(betas);
iterations = zeros(1, pathCount);
seconds = zeros(1, pathCount);
testAccuracy = zeros(1, pathCount);
taus = cell(1, pathCount);
for b = 1:pathCount
  started = tic;
  if b == 1
    [tau, iterations(b)] = zelmor_c2(G, trainLabels, betas(b), classCount);
  else
    [tau, iterations(b)] = zelmor_c(G, trainLabels, betas(b), classCount, tau);
  end
  seconds(b) = toc(started);
  taus{b} = tau;
  testAccuracy(b) = mean(zelmor_predict(testKernel, tau) == testLabels);
end

% --- beta is chosen on the training set alone: 5-fold cross-validation.
started = tic;
[foldAccuracy, ~, ~, how] = zelmor_crossval(G, trainLabels, betas, 5);
cvAccuracy = mean(foldAccuracy, 2).';
fprintf('5-fold cross-validation on the training set: %.1f s (folds run %s)\n\n', toc(started), ...
        strrep(strrep(how, 'serial', 'one after the other'), 'pararrayfun', 'in parallel by pararrayfun'));
[~, chosen] = max(cvAccuracy);

fprintf('    beta  start  iterations  train time  cv accuracy  test accuracy\n');
for b = 1:pathCount
  start = 'warm';
  if b == 1
    start = 'cold';
  end
  mark = ' ';
  if b == chosen
    mark = '*';
  end
  fprintf('%c %6.2f   %s  %10d  %8.3f s  %10.1f%%  %12.1f%%\n', mark, betas(b), start, ...
          iterations(b), seconds(b), 100 * cvAccuracy(b), 100 * testAccuracy(b));
end
fprintf('* chosen: the best cross-validated accuracy\n\n');

% --- The chosen model on the test set.
predicted = zelmor_predict(testKernel, taus{chosen});
confusion = accumarray([testLabels, predicted], 1, [classCount, classCount]);
fprintf('confusion matrix at beta = %g (rows: true digit, columns: predicted digit)\n', betas(chosen));
fprintf('     %s\n', sprintf('%5d', 0:classCount - 1));
for m = 1:classCount
  fprintf('%5d%s\n', m - 1, sprintf('%5d', confusion(m, :)));
end
fprintf('\ntest accuracy: %.1f%%\n', 100 * mean(predicted == testLabels));

% --- Figure. Without a display Octave can still draw through gnuplot into a file.
if exist('OCTAVE_VERSION', 'builtin') && isempty(getenv('DISPLAY'))
  warning('off', 'Octave:gnuplot-graphics');
  graphics_toolkit('gnuplot');
end
if ~exist('figureFile', 'var')
  figureFile = fullfile(root, 'build', 'digits_demo.png');
end
if ~exist(fileparts(figureFile), 'dir')
  mkdir(fileparts(figureFile));
end
figureHandle = figure('visible', 'off');
subplot(1, 3, 1);
semilogx(betas, 100 * cvAccuracy, 'o-', betas, 100 * testAccuracy, 's-', ...
         betas(chosen), 100 * testAccuracy(chosen), 'k*', 'markersize', 12);
xlabel('beta');
ylabel('accuracy (%)');
legend('5-fold cv', 'test', 'chosen', 'location', 'southwest');
title('accuracy');
subplot(1, 3, 2);
semilogx(betas, iterations, 'o-');
xlabel('beta');
ylabel('iterations');
title('iterations (first cold, then warm)');
subplot(1, 3, 3);
imagesc(0:classCount - 1, 0:classCount - 1, confusion);
colormap(flipud(gray()));
axis square;
% Counts as text: next to the diagonal a single error would be an invisible shade.
[trueClass, predictedClass] = find(confusion);
for e = 1:numel(trueClass)
  count = confusion(trueClass(e), predictedClass(e));
  color = 'r';
  if trueClass(e) == predictedClass(e)
    color = 'w';
  end
  text(predictedClass(e) - 1, trueClass(e) - 1, sprintf('%d', count), 'color', color, ...
       'horizontalalignment', 'center', 'fontsize', 8);
end
xlabel('predicted digit');
ylabel('true digit');
title(sprintf('confusion, beta = %g', betas(chosen)));
set(figureHandle, 'paperunits', 'inches', 'paperposition', [0 0 15 4.5]);
print(figureHandle, figureFile, '-dpng', '-r100');
close(figureHandle);
fprintf('figure written to %s\n', figureFile);
