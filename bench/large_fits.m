% Single fits and a grid search on many examples, one per call, for bench/large_fits.sh: each
% call runs in a fresh octave-cli, so that the peak resident memory it prints (VmHWM, the whole
% process: Octave, its copy of the data, the engine) is that of the one fit.
%   large_fits('write', ROOT, OUTDIR)        the scaled data sets, for every peer
%   large_fits('zelmor', OUTDIR, NAME, N)    zelmor_train at the set's fixed cell on its first N
%   large_fits('svmtrain', OUTDIR, NAME, N)  the statistics package's svmtrain at the same cell
%   large_fits('grid', OUTDIR, NAME)         zelmor_train's 7 x 7 grid, 5 folds, 2 threads
% Each prints one line: "RESULT name,who,n,seconds,accuracy,peakMB".
function large_fits (step, varargin)
  switch step
    case 'write'
      [root, outdir] = varargin{:};
      % name, file, training rows, test rows, gamma, C of the fixed cell
      sets = {'shuttle', 'bench/data/shuttle.csv.gz', 1:43500, 43501:58000
              'letter', 'bench/data/letter.csv.gz', 1:15000, 15001:20000};
      for s = 1:rows(sets)
        [name, file, trainRows, testRows] = sets{s, :};
        plain = [tempname() '.csv'];
        system(sprintf('gzip -dc ''%s'' > ''%s''', fullfile(root, file), plain));
        data = dlmread(plain, ',');
        delete(plain);
        [X, y] = deal(data(:, 1:end - 1), data(:, end));
        low = min(X(trainRows, :));
        span = max(X(trainRows, :)) - low;
        span(span == 0) = 1;
        X = 2 * (X - low) ./ span - 1;
        dlmwrite(fullfile(outdir, [name '-train.csv']), [X(trainRows, :), y(trainRows)], 'precision', 17);
        dlmwrite(fullfile(outdir, [name '-test.csv']), [X(testRows, :), y(testRows)], 'precision', 17);
      end
    case {'zelmor', 'svmtrain'}
      [outdir, name, n] = deal(varargin{1}, varargin{2}, str2double(varargin{3}));
      [X, y, Xtest, ytest] = readSet(outdir, name, n);
      [gamma, C] = cellOf(name);
      started = tic;
      if strcmp(step, 'zelmor')
        model = zelmor_train(X, y, 'Standardize', false, 'Gamma', gamma, 'C', C, 'Threads', 2, 'Verbose', false);
        seconds = toc(started);
        predicted = zelmor_predict(model, Xtest);
      else
        pkg load statistics
        model = svmtrain(y, X, sprintf('-s 0 -t 2 -g %.17g -c %.17g -q', gamma, C));
        seconds = toc(started);
        predicted = svmpredict(ytest, Xtest, model, '-q');
      end
      report(name, step, n, seconds, mean(predicted == ytest));
    case 'grid'
      [outdir, name] = varargin{:};
      [X, y, Xtest, ytest] = readSet(outdir, name, Inf);
      gammas = 1 / (columns(X) * mean(var(X))) * 2 .^ (-3:3);
      started = tic;
      model = zelmor_train(X, y, 'Standardize', false, 'Gamma', gammas, 'C', 2 .^ (-2:2:10), 'Folds', 5, ...
                           'Seed', 1, 'Threads', 2, 'Verbose', true);
      seconds = toc(started);
      report(name, 'zelmor-grid', rows(X), seconds, mean(zelmor_predict(model, Xtest) == ytest));
      printf('chosen: gamma %.17g, C %g\n', model.gamma, model.C);
      dlmwrite(fullfile(outdir, [name '-folds.csv']), zelmor_folds(y, 5, 1), 'precision', 17);
  end
end

function [gamma, C] = cellOf (name)
  switch name
    case 'shuttle'
      [gamma, C] = deal(1, 16);
    case 'letter'
      [gamma, C] = deal(1.216, 16);
  end
end

function [X, y, Xtest, ytest] = readSet (outdir, name, n)
  train = dlmread(fullfile(outdir, [name '-train.csv']), ',');
  test = dlmread(fullfile(outdir, [name '-test.csv']), ',');
  train = train(1:min(n, rows(train)), :);
  [X, y, Xtest, ytest] = deal(train(:, 1:end - 1), train(:, end), test(:, 1:end - 1), test(:, end));
end

function report (name, who, n, seconds, accuracy)
  status = fileread('/proc/self/status');
  peak = str2double(regexp(status, 'VmHWM:\s*(\d+)', 'tokens', 'once'){1}) / 1024;
  printf('RESULT %s,%s,%d,%.3f,%.6f,%.0f\n', name, who, n, seconds, accuracy, peak);
end
