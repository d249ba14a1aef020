% Runs the %!test, %!error and %!assert blocks of one file (a helper or a package test
% file) and fails unless every one of them passes.
function run_test_blocks (file)
  [passed, total] = test(file, 'quiet', stdout);
  printf('%s: %d of %d passed\n', file, passed, total);
  if total == 0
    error('test:none', '%s holds no tests', file);
  end
  if passed < total
    error('test:failed', '%s: %d of %d failed', file, total - passed, total);
  end
end
