% Where a grid search's solving goes, cell by cell: satimage as bench/time_to_model.m splits and
% scales it, each gamma's kernel cross-validated over the C grid by zelmor_crossval (5 folds of
% seed 1, 2 threads), and per cell (gamma, C) the iterations and the seconds of its solves, each
% summed over the folds. Prints a Markdown table.
%   octave-cli --eval "addpath('MEX_DIR', 'bench'); cell_costs(pwd)"
function cell_costs (root)
  outdir = tempname();
  mkdir(outdir);
  cleanup = onCleanup(@() removeFolder(outdir));
  [Xtrain, ytrain, ~, ~, gammas, Cs, folds] = ...
      bench_split(root, 'bench/data/satellite.csv.gz', 1:4435, 4436:6435, outdir, 'satimage');
  [~, ~, classOf] = unique(ytrain);
  iterations = zeros(numel(gammas), numel(Cs));
  seconds = zeros(numel(gammas), numel(Cs));
  for g = 1:numel(gammas)
    G = zelmor_kernel(Xtrain, [], 'rbf', gammas(g));
    [~, perFold, ~, ~, info] = zelmor_crossval(G, classOf, 1 ./ Cs, folds, 'Threads', 2, 'Verbose', false);
    iterations(g, :) = sum(perFold, 2)';
    seconds(g, :) = sum(info.seconds, 2)';
  end
  printf('| gamma / gamma0 |%s total |\n', sprintf(' C = %g |', Cs));
  printf('|---|%s---:|\n', repmat('---:|', 1, numel(Cs)));
  for g = 1:numel(gammas)
    cells = arrayfun(@(c) sprintf(' %.2f M, %.2f s |', iterations(g, c) / 1e6, seconds(g, c)), ...
                     1:numel(Cs), 'UniformOutput', false);
    printf('| 2^%d |%s %.2f M, %.1f s |\n', g - 4, [cells{:}], sum(iterations(g, :)) / 1e6, sum(seconds(g, :)));
  end
  printf('| all | | | | | | | | %.2f M, %.1f s |\n', sum(iterations(:)) / 1e6, sum(seconds(:)));
end

function removeFolder (folder)
  confirm_recursive_rmdir(false, 'local');
  rmdir(folder, 's');
end
