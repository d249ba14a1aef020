% One fit at a fixed cell on the standard letter training set (the first 15000 examples, features
% scaled to [-1, 1]): zelmor_train at gamma 1.216, C = 16, its time, its test accuracy on the
% last 5000 examples and the peak resident memory of the process, for bench/time_to_model.sh.
function single_fit (root)
  plain = [tempname() '.csv'];
  system(sprintf('gzip -dc ''%s/bench/data/letter.csv.gz'' > ''%s''', root, plain));
  data = dlmread(plain, ',');
  delete(plain);
  [X, y] = deal(data(:, 1:end - 1), data(:, end));
  low = min(X(1:15000, :));
  X = 2 * (X - low) ./ (max(X(1:15000, :)) - low) - 1;
  started = tic;
  model = zelmor_train(X(1:15000, :), y(1:15000), 'Standardize', false, 'Gamma', 1.216, 'C', 16);
  seconds = toc(started);
  accuracy = mean(zelmor_predict(model, X(15001:end, :)) == y(15001:end));
  status = fileread('/proc/self/status');
  peak = str2double(regexp(status, 'VmHWM:\s*(\d+)', 'tokens', 'once'){1}) / 2 ^ 20;
  printf(['\nletter, 15000 training examples, gamma 1.216, C = 16: zelmor_train %.2f s (kernel %.2f s, ' ...
          'solve %.2f s, %d iterations), test accuracy %.2f%%, peak resident memory %.2f GB\n'], ...
         seconds, model.seconds.kernels, model.seconds.solves, model.iterations, 100 * accuracy, peak);
end
