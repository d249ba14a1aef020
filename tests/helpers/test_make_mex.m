% make_mex in Octave: it builds the MEX files into WORKDIR with the help files and
% helpers beside them, and its solvers return the same bits as the CMake build (on the
% path when this runs) on every problem below, iteration counts included. On a system it
% does not support, it stops before it creates anything.
function test_make_mex (repoRoot, workDir)
  if exist(workDir, 'dir')
    confirm_recursive_rmdir(false, 'local');
    rmdir(workDir, 's');
  end
  addpath(repoRoot);
  refusedOnMacos(fullfile(workDir, 'refused'));
  make_mex(workDir);
  expected = {'hello.mex', 'zelmor_c.mex', 'zelmor_c2.mex', 'zelmor_svmlight.mex', 'hello.m', 'zelmor_c.m', ...
              'zelmor_c2.m', 'zelmor_kernel.m', 'zelmor_predict.m', 'zelmor_folds.m', ...
              'zelmor_path.m', 'zelmor_crossval.m', 'zelmor_train.m', 'zelmor_read_svmlight.m'};
  for f = 1:numel(expected)
    assert(isfile(fullfile(workDir, expected{f})), 'make_mex left no %s', expected{f});
  end

  % A MEX function takes its name from its file: renamed copies load beside the CMake build.
  renamedDir = fullfile(workDir, 'renamed');
  mkdir(renamedDir);
  for name = {'zelmor_c', 'zelmor_c2', 'hello', 'zelmor_svmlight'}
    copyfile(fullfile(workDir, [name{1} '.mex']), fullfile(renamedDir, ['made_' name{1} '.mex']));
  end
  addpath(renamedDir);
  assert(strncmp(which('made_zelmor_c2'), renamedDir, numel(renamedDir)));
  assert(isempty(strfind(which('zelmor_c2'), workDir)), 'the CMake build is not first on the path');

  unpacked = gunzip(fullfile(repoRoot, 'examples', 'data', 'digits.csv.gz'), workDir);
  digits = dlmread(unpacked{1}, ',');
  iris = dlmread(fullfile(repoRoot, 'tests', 'data', 'iris.csv'), ',', 1, 0);
  t = (1:40).';
  blobs = [cos(3 * t), sin(5 * t)] + kron([0 0; 2 1; 1 3; -1 2], ones(10, 1));
  % name, examples, labels, kernel, parameter, betas (cold, then warm)
  problems = {
    'digits 300, rbf',   digits(1:300, 1:end - 1) / 16, digits(1:300, end) + 1, 'rbf',    0.1,    [0.03 0.3 3]
    'digits 200, poly',  digits(1:200, 1:end - 1) / 16, digits(1:200, end) + 1, 'poly',   [2 1],  [0.01 1]
    'iris, linear',      iris(:, 1:end - 1),            iris(:, end) + 1,        'linear', [],     [0.1 1 10]
    'blobs, rbf',        blobs,                         kron((1:4).', ones(10, 1)), 'rbf', 2,      [1 0.1 150]
  };
  for p = 1:rows(problems)
    [name, X, labels, type, parameter, betas] = problems{p, :};
    G = zelmor_kernel(X, [], type, parameter);
    k = max(labels);
    [tau, count] = zelmor_c2(G, labels, betas(1), k);
    [madeTau, madeCount] = made_zelmor_c2(G, labels, betas(1), k);
    assertSameBits(tau, count, madeTau, madeCount, sprintf('%s, cold at %g', name, betas(1)));
    for b = 2:numel(betas)
      [tau, count] = zelmor_c(G, labels, betas(b), k, tau);
      [madeTau, madeCount] = made_zelmor_c(G, labels, betas(b), k, madeTau);
      assertSameBits(tau, count, madeTau, madeCount, sprintf('%s, warm at %g', name, betas(b)));
    end
  end
  assert(isequal(evalc('hello([1 4; 2 5; 3 6], ones(3, 2));'), ...
                 evalc('made_hello([1 4; 2 5; 3 6], ones(3, 2));')));
  % The LIBSVM reader of each build reads the other's file to the same bits.
  libsvmFile = fullfile(workDir, 'digits.txt');
  made_zelmor_svmlight('write', libsvmFile, digits(:, end), digits(:, 1:end - 1) / 16);
  [labels, X] = zelmor_read_svmlight(libsvmFile);
  [madeLabels, madeX] = made_zelmor_svmlight('read', libsvmFile, -1);
  assert(same_bits(labels, madeLabels) && same_bits(full(X), full(madeX)) && issparse(madeX), ...
         'the two builds read the LIBSVM file differently');
  assert(same_bits(full(X), digits(:, 1:end - 1) / 16));
end

% make_mex as it would run on macOS: an ismac that answers true comes first on the path.
function refusedOnMacos (outdir)
  elsewhere = tempname();
  mkdir(elsewhere);
  fid = fopen(fullfile(elsewhere, 'ismac.m'), 'w');
  fprintf(fid, 'function answer = ismac ()\n  answer = true;\nend\n');
  fclose(fid);
  shadowed = warning('off', 'Octave:shadowed-function');
  addpath(elsewhere);
  try
    make_mex(outdir);
    error('test:accepted', 'make_mex went on on a system it does not support');
  catch err
    assert(err.identifier, 'zelmor:unsupportedPlatform');
  end
  rmpath(elsewhere);
  warning(shadowed);
  delete(fullfile(elsewhere, 'ismac.m'));
  rmdir(elsewhere);
  assert(~exist(outdir, 'dir'), 'make_mex created %s before refusing', outdir);
end

function assertSameBits (tau, count, madeTau, madeCount, what)
  assert(isequal(size(madeTau), size(tau)), '%s: sizes differ', what);
  % typecast tells -0 from 0, which isequal would not.
  differ = find(typecast(madeTau(:), 'uint64') ~= typecast(tau(:), 'uint64'), 1);
  assert(isempty(differ), '%s: element %d is %.17g, CMake build gives %.17g', what, differ, ...
         madeTau(max([differ, 1])), tau(max([differ, 1])));
  assert(madeCount == count, '%s: %d iterations, CMake build gives %d', what, madeCount, count);
end
