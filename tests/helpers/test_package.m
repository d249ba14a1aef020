% The Octave package, end to end: assemble it, `pkg install` it into an empty user
% package folder, and check that `pkg load` gives every function with its help and
% that `pkg test` passes. Nothing outside WORKDIR is written.
function test_package (repoRoot, workDir)
  if exist(workDir, 'dir')
    confirm_recursive_rmdir(false, 'local');
    rmdir(workDir, 's');
  end
  mkdir(workDir);
  [status, output] = system(sprintf('bash "%s" "%s"', ...
                                    fullfile(repoRoot, 'package', 'make_package.sh'), workDir));
  assert(status == 0, 'make_package.sh failed:\n%s', output);
  tarball = strtrim(output);
  assert(exist(tarball, 'file') == 2, 'no tarball at %s', tarball);

  % An install as root goes to the system's package list unless told -local.
  prefix = fullfile(workDir, 'packages');
  pkg('prefix', prefix, prefix);
  pkg('local_list', fullfile(workDir, 'octave_packages'));
  pkg('install', '-local', tarball);
  pkg('load', 'zelmor');

  % The package carries the project's licence, and the citation file names its version.
  installed = pkg('list', 'zelmor');
  copying = fileread(fullfile(installed{1}.dir, 'packinfo', 'COPYING'));
  assert(strcmp(copying, fileread(fullfile(repoRoot, 'LICENSE'))), 'the package''s COPYING is not LICENSE');
  citation = fileread(fullfile(repoRoot, 'CITATION.cff'));
  assert(~isempty(strfind(citation, sprintf('\nversion: %s\n', installed{1}.version))), ...
         'CITATION.cff does not give the package''s version, %s', installed{1}.version);

  functions = {'zelmor_c2', 3; 'zelmor_c', 3; 'hello', 3; 'zelmor_kernel', 2; ...
               'zelmor_predict', 2; 'zelmor_folds', 2; 'zelmor_path', 2; 'zelmor_crossval', 2; ...
               'zelmor_train', 2};
  for f = 1:rows(functions)
    [name, kind] = functions{f, :};
    assert(exist(name) == kind, '%s: exist gives %d, expected %d', name, exist(name), kind);
    location = which(name);
    assert(strncmp(location, prefix, numel(prefix)), '%s comes from %s, not the package', name, location);
    helpText = evalc(sprintf('help %s', name));
    assert(~isempty(strfind(helpText, upper(name))), '%s has no help text:\n%s', name, helpText);
  end

  % pkg test prints its tally; a failure anywhere shows up as FAIL above zero.
  cd(workDir);
  report = evalc('pkg test zelmor');
  printf('%s', report);
  passed = str2double(regexp(report, 'PASS\s+(\d+)', 'tokens', 'once'));
  failed = str2double(regexp(report, 'FAIL\s+(\d+)', 'tokens', 'once'));
  assert(passed > 0, 'pkg test ran no test');
  assert(failed == 0, 'pkg test: %d tests failed', failed);

  pkg('unload', 'zelmor');
  pkg('uninstall', '-local', 'zelmor');
  assert(isempty(pkg('list', 'zelmor')), 'zelmor is still installed after pkg uninstall');
end
