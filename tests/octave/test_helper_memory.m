% Peak memory of the helpers beside the caller's kernel, measured by the kernel's size: a path
% keeps one scaled copy of it (made afresh when the scale changes, the old one dropped first),
% and cross-validation a fold's kernel and its scaled copy. A second copy held while rescaling
% (Gs = Gs * r in Octave) would show as a peak of two. The kernel (72 MB) is larger than any
% block the C library keeps for reuse, so every copy is new memory.
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
G = exp (-0.5 * (sum (X .^ 2, 2) + sum (X .^ 2, 2)' - 2 * (X * X')));
kernel_kb = n ^ 2 * 8 / 1024;
% name, call, most kernels' worth of memory at the peak
cases = {
  "zelmor_path over three scales", @() zelmor_path (G, labels, [4 1 0.25], 3),              1.15
  "zelmor_crossval, 5 folds",      @() zelmor_crossval (G, labels, [4 1], 5, "Parallel", "serial"), 1.45
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
