% Handwritten digits with zelmor: one call chooses the kernel width and C by
% cross-validation and trains the model, one call predicts; then a look at the
% path over beta behind the choice, the confusion matrix and a figure.
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
if exist('zelmor_c2') ~= 3 || exist('zelmor_train') ~= 2
  addpath(fullfile(root, 'build', 'mex'));
end
if exist('zelmor_c2') ~= 3
  error('zelmor:demo', 'zelmor_c2 is not built: run `make` in %s first', root);
end

% --- Data: the pixels as they come, the digits 0..9 as the labels.
unpacked = tempname();
csvFile = gunzip(fullfile(root, 'examples', 'data', 'digits.csv.gz'), unpacked);
data = dlmread(csvFile{1}, ',');
rmdir(unpacked, 's');
X = data(:, 1:end - 1);
digits = data(:, end);

% A stratified quarter held out for testing, fixed by the seed alone.
isTest = zelmor_folds(digits + 1, 4, 2024) == 1;
trainX = X(~isTest, :);
trainDigits = digits(~isTest);
testX = X(isTest, :);
testDigits = digits(isTest);
fprintf('zelmor demo: handwritten digits, %d training and %d test examples, %d features, 10 classes\n\n', ...
        numel(trainDigits), numel(testDigits), size(X, 2));

% --- One call: standardise, choose gamma and C by 5-fold cross-validation, train.
model = zelmor_train(trainX, trainDigits, 'Verbose', true);
fprintf('\nchosen: rbf gamma = %.4g, C = %g (beta = %g); %d support vectors; %.1f s in all\n\n', ...
        model.gamma, model.C, model.beta, size(model.tau, 1), model.seconds.total);

% --- One call: predict the held-out digits, in the labels' own type.
predicted = zelmor_predict(model, testX);

% --- Behind the choice: the path over beta at the chosen gamma, on all training
% examples, one cold solve and then warm starts, each to a tolerance relative to beta.
Cs = model.grid.C;
betas = 1 ./ Cs;
standardized = (trainX - model.center) ./ model.scale;
G = zelmor_kernel(standardized, [], 'rbf', model.gamma);
testKernel = zelmor_kernel((testX - model.center) ./ model.scale, standardized, 'rbf', model.gamma);
[taus, iterations, seconds, info] = zelmor_path(G, trainDigits + 1, betas, 10);
cvAccuracy = model.grid.accuracy(model.grid.gamma == model.gamma, :);
testAccuracy = zeros(size(betas));
for b = 1:numel(betas)
  testAccuracy(b) = mean(zelmor_predict(testKernel, taus(:, :, b)) - 1 == testDigits);
end
fprintf('        C      beta  start  iterations  restarts  train time  cv accuracy  test accuracy\n');
for b = 1:numel(betas)
  start = 'warm';
  if b == 1
    start = 'cold';
  end
  mark = ' ';
  if Cs(b) == model.C
    mark = '*';
  end
  fprintf('%c %7g  %8.4g   %s  %10d  %8d  %8.3f s  %10.1f%%  %12.1f%%\n', mark, Cs(b), betas(b), start, ...
          iterations(b), info.restarts(b), seconds(b), 100 * cvAccuracy(b), 100 * testAccuracy(b));
end
fprintf('* chosen: the best cross-validated accuracy over the whole grid\n\n');

% --- The model's predictions on the test set.
confusion = accumarray([testDigits, predicted] + 1, 1, [10, 10]);
fprintf('confusion matrix (rows: true digit, columns: predicted digit)\n');
fprintf('     %s\n', sprintf('%5d', 0:9));
for m = 1:10
  fprintf('%5d%s\n', m - 1, sprintf('%5d', confusion(m, :)));
end
fprintf('\ntest accuracy: %.1f%%\n', 100 * mean(predicted == testDigits));

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
others = semilogx(Cs, 100 * model.grid.accuracy.', '-', 'color', [0.7 0.7 0.7]);
hold on;
shown = semilogx(Cs, 100 * cvAccuracy, 'bo-', Cs, 100 * testAccuracy, 'ks-', ...
                 model.C, 100 * testAccuracy(Cs == model.C), 'k*', 'markersize', 12);
hold off;
xlabel('C = 1/beta');
ylabel('accuracy (%)');
legend([others(1); shown], {'5-fold cv, other gammas', '5-fold cv, chosen gamma', 'test', 'chosen'}, ...
       'location', 'southeast');
title(sprintf('accuracy (chosen gamma = %.3g)', model.gamma));
subplot(1, 3, 2);
semilogx(Cs, iterations, 'o-');
xlabel('C = 1/beta');
ylabel('iterations');
title('iterations (first cold, then warm)');
subplot(1, 3, 3);
imagesc(0:9, 0:9, confusion);
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
title(sprintf('confusion, gamma = %.3g, C = %g', model.gamma, model.C));
set(figureHandle, 'paperunits', 'inches', 'paperposition', [0 0 15 4.5]);
print(figureHandle, figureFile, '-dpng', '-r100');
close(figureHandle);
fprintf('figure written to %s\n', figureFile);
