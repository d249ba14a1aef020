% Peak memory of the helpers beside the caller's data, in kernels' worth (n^2 doubles), against
% what their help states: a path copies nothing; a cross-validation holds, per fold running at
% once, the fold's training and test kernels ((F - 1) / F and (F - 1) / F^2 of a kernel with F
% folds: 0.8 with 5) and the kernel of the examples that move in a solve (at most a quarter
% of the training kernel: 0.16); zelmor_train adds the squared distances of all examples (one
% kernel). The
% kernel (72 MB) is larger than any block the C library keeps for reuse, so every copy is new
% memory.
1;

function kb = peak_kb ()
  status = fileread ("/proc/self/status");
  kb = str2double (regexp (status, "VmHWM:\\s*(\\d+)", "tokens", "once"){1});
end

function reset_peak ()
  fid = fopen ("/proc/self/clear_refs", "w");
  fprintf (fid, "5");
  fclose (fid);
end

% Under AddressSanitizer freed memory waits in quarantine and every peak includes it.
if (! isempty (strfind (getenv ("LD_PRELOAD"), "asan")))
  printf ("skipped under AddressSanitizer\n");
  return;
end
n = 3000;
t = (1:n)';
X = [sin(t), cos(3 * t), mod(t, 7) / 7];
labels = mod (t, 3) + 1;
G = zelmor_kernel (X, [], "rbf", 0.5);
kernel_kb = n ^ 2 * 8 / 1024;
% name, call, most kernels' worth of memory at the peak (what the help states, plus 0.1 for
% the dual variables, the solvers' storage and the process's own growth)
cases = {
  "zelmor_path over three betas",      @() zelmor_path (G, labels, [4 1 0.25], 3),                    0.1
  "zelmor_crossval, 5 folds, 1 thread", @() zelmor_crossval (G, labels, [4 1], 5, "Threads", 1),      0.96 + 0.1
  "zelmor_crossval, 5 folds, 2 threads", @() zelmor_crossval (G, labels, [4 1], 5, "Threads", 2),     1.92 + 0.1
  "zelmor_train, 5 folds, 2 threads",  @() zelmor_train (X, labels, "Gamma", [0.5 1], "C", [1 4], "Threads", 2), 2.92 + 0.1
};
for c = 1:rows (cases)
  [what, call, most] = cases{c, :};
  reset_peak ();
  before = peak_kb ();
  call ();
  used = (peak_kb () - before) / kernel_kb;
  assert (used <= most, "%s: peak of %.2f kernels beside the caller's, expected at most %.2f", what, used, most);
  printf ("%s: peak of %.2f kernels beside the caller's\n", what, used);
end
