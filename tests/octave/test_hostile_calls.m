% Thousands of calls with a fixed seed to zelmor_c, zelmor_c2 and hello through the real host:
% valid calls drawn at random, then the same calls broken in one to three places (classes,
% shapes, values, argument and output counts). Octave must survive every call (finishing is
% the proof); every error must carry a zelmor:* identifier naming a fault the call really
% has; no valid call may be rejected; valid calls must agree bit for bit with the reference
% solver in reference_dual_solve.m.
1;

% ---- The rules a call is judged by, written from the gateways' contract, not their code.

function faults = solver_faults (args, warm)
  % Every fault a solver call has, as identifiers; empty for a valid call.
  faults = {};
  for i = 1:numel (args)
    x = args{i};
    if (! (isa (x, "double") && isreal (x) && ! issparse (x) && ndims (x) == 2))
      % No other property of such an input can be read; this is its only fault.
      faults = {"zelmor:notRealDouble"};
      return;
    end
  end
  [G, labels, beta, k] = args{1:4};
  n = rows (G);
  if (rows (G) != columns (G))
    faults{end + 1} = "zelmor:kernelNotSquare";
  end
  if (! (isscalar (beta) && isfinite (beta)))
    faults{end + 1} = "zelmor:badBeta";
  end
  k_ok = isscalar (k) && isfinite (k) && k >= 1 && k == fix (k);
  if (! k_ok)
    faults{end + 1} = "zelmor:badClassCount";
  elseif (k > 2^31 - 1)
    % The random calls draw class counts that are tiny or beyond 32 bits; sizes near this
    % machine's memory are tried only by the impossible requests below.
    faults{end + 1} = "zelmor:outOfMemory";
  end
  if (! all (isfinite (G(:))))
    faults{end + 1} = "zelmor:kernelNotFinite";
  end
  if (rows (G) == columns (G) && any (diag (G) == 0))
    faults{end + 1} = "zelmor:kernelZeroDiagonal";
  end
  if (numel (labels) < n)
    faults{end + 1} = "zelmor:badLabels";
  else
    first = labels(1:n);
    if (any (first != fix (first)) || any (first < 1) || (isscalar (k) && any (first > k)))
      faults{end + 1} = "zelmor:badLabels";
    end
  end
  if (warm)
    tau0 = args{5};
    if (! (k_ok && isequal (size (tau0), [n, k]) && all (isfinite (tau0(:)))))
      faults{end + 1} = "zelmor:badInitialTau";
    end
  end
end

function bytes = storage_bytes (n, k)
  % Working storage plus the result and the output, to the order of magnitude that matters:
  % an impossible request is tried only where it exceeds this machine's memory twice over.
  bytes = 8 * (5 * n * k + 4 * k + 3 * n);
end

function bytes = physical_bytes ()
  persistent total;
  if (isempty (total))
    meminfo = fileread ("/proc/meminfo");
    total = 1024 * sscanf (regexp (meminfo, "MemTotal:\\s*(\\d+)", "tokens", "once"){1}, "%d");
  end
  bytes = total;
end

function faults = call_faults (name, args, nout)
  limits = struct ("zelmor_c", [5, 2], "zelmor_c2", [4, 2], "hello", [2, 1]);
  limit = limits.(name);
  if (numel (args) != limit(1))
    faults = {"zelmor:nargin"};
  elseif (nout > limit(2))
    faults = {"zelmor:nargout"};
  elseif (strcmp (name, "hello"))
    faults = {};
    for i = 1:2
      x = args{i};
      if (! (isa (x, "double") && isreal (x) && ! issparse (x) && ndims (x) == 2))
        faults{end + 1} = "zelmor:notRealDouble";
      elseif (numel (x) < 6)
        faults{end + 1} = "zelmor:badInput";
      end
    end
  else
    faults = solver_faults (args, strcmp (name, "zelmor_c"));
  end
end

% ---- Calling, and comparing with the reference solver.

function [outputs, err, text] = call_mex (name, args, nout)
  % Calls with exactly nout outputs requested; with none, the result is what lands in ans.
  outputs = {};
  err = [];
  text = "";
  fn = str2func (name);
  try
    if (nout == 0)
      text = evalc ("fn (args{:});");
      outputs = {ans};
    else
      outputs = cell (1, nout);
      text = evalc ("[outputs{:}] = fn (args{:});");
    end
  catch caught
    err = caught;
  end
end

function same = same_bits (a, b)
  same = isequal (size (a), size (b)) && isa (a, "double") && isreal (a) ...
         && all (typecast (a(:), "uint64") == typecast (b(:), "uint64"));
end

function compared = check_valid_outputs (name, args, outputs, text, what)
  % Returns normally when the outputs of a valid call are right, and whether they were
  % compared with the reference solver; raises otherwise.
  compared = false;
  if (strcmp (name, "hello"))
    a = args{1}(1:6);
    b = args{2}(1:6);
    total = reshape (b(:) + a(:), 3, 2);
    if (! isequaln (outputs{1}, total) || ! isequal (size (outputs{1}), [3, 2]))
      error ("hostile:wrongResult", "%s: hello returned %s", what, mat2str (outputs{1}));
    end
    % C prints non-finite numbers its own way ("nan", "-inf"); the count of lines still holds.
    expected = [sprintf("%f %f \n", reshape (a, 3, 2)'), sprintf("%f %f \n", total')];
    if (! all (isfinite ([a(:); total(:)])))
      expected = regexprep (text, "[^\n]*\n", "x\n");
      text = regexprep (text, "[^ \n]+ [^ \n]+ \n", "x\n");
    end
    if (! strcmp (text, expected))
      error ("hostile:wrongResult", "%s: hello printed %s", what, undo_string_escapes (text));
    end
    compared = true;
    return;
  end
  [G, labels, beta, k] = args{1:4};
  n = rows (G);
  tau = outputs{1};
  if (! isequal (size (tau), [n, k]) || ! isa (tau, "double") || ! isreal (tau))
    error ("hostile:wrongResult", "%s: tau is %s %s", what, mat2str (size (tau)), class (tau));
  end
  if (numel (outputs) > 1)
    count = outputs{2};
    if (! (isscalar (count) && isa (count, "double") && count == fix (count) && count >= 0 && count <= n^2))
      error ("hostile:wrongResult", "%s: count %s", what, mat2str (count));
    end
  end
  % Larger problems are left out only because the scalar reference solver is slow.
  if (n > 10)
    return;
  end
  if (strcmp (name, "zelmor_c"))
    [tau_reference, count_reference] = reference_dual_solve (G, labels, beta, k, 0.1 * 0.1, args{5});
  else
    [tau_reference, count_reference] = reference_dual_solve (G, labels, beta, k, 0.001);
  end
  if (! same_bits (tau, tau_reference))
    error ("hostile:wrongResult", "%s: tau differs from the reference solver", what);
  end
  if (numel (outputs) > 1 && outputs{2} != count_reference)
    error ("hostile:wrongResult", "%s: count %d, reference solver %d", what, outputs{2}, count_reference);
  end
  compared = true;
end

% ---- Valid calls.

function G = random_kernel (n)
  X = randn (n, 1 + randi (3));
  switch (randi (7))
    case 1
      sq = sum (X .^ 2, 2);
      G = exp (-0.5 * (sq + sq' - 2 * (X * X')));
    case 2
      G = X * X' + eye (n);
    case 3
      A = randi ([-3, 3], n, 2);
      G = A * A' + eye (n);
    case 4
      % Asymmetric by far more than rounding; the update follows row p of the selected example.
      G = X * X' + eye (n) + 0.2 * (rand (n) - 0.5);
    case 5
      % A negative diagonal is no kernel, but its result is defined.
      G = -(X * X' + eye (n));
    case 6
      % Exact ties: equal rows and quarter steps.
      G = round (4 * (X(:, 1) * X(:, 1)')) / 4 + 2 * eye (n);
    otherwise
      % One magnitude anywhere in the finite doubles.
      G = (X * X' + eye (n)) * 10 ^ randi ([-300, 300]);
  end
  G += diag (diag (G) == 0);
end

function [name, args] = random_valid_call ()
  betas = [1, 1e-3, 0.5, 10, 150, 0, -0, -2, 1e-300, 1e300];
  switch (randi (5))
    case 1
      name = "hello";
      shapes = {[3, 2], [6, 1], [1, 6], [2, 4], [3, 3], [1, 9]};
      args = {};
      for i = 1:2
        shape = shapes{randi (numel (shapes))};
        args{i} = round (100 * randn (shape)) / 8;
      end
      return;
    case {2, 3}
      name = "zelmor_c2";
    otherwise
      name = "zelmor_c";
  end
  n = randi ([0, 8]);
  k = randi (5);
  G = random_kernel (n);
  labels = randi (k, n, 1);
  switch (randi (4))
    case 1
      labels = labels';
    case 2
      % Values past the first n are never read.
      labels = [labels; 0.5; NaN; -7];
    case 3
      if (n > 0)
        labels = reshape ([labels; ones(mod (-n, 2), 1)], 2, []);
      end
  end
  beta = betas(randi (numel (betas)));
  args = {G, labels, beta, k};
  if (strcmp (name, "zelmor_c"))
    switch (randi (4))
      case 1
        tau0 = zeros (n, k);
      case 2
        tau0 = zelmor_c2 (G, labels, beta, k);
      case 3
        tau0 = 3 * randn (n, k);
      otherwise
        % Aliasing: the kernel itself as tau0 where its shape allows.
        k = max (n, 1);
        labels = randi (k, n, 1);
        args = {G, labels, beta, k};
        tau0 = zeros (n, k);
        if (n > 0)
          tau0 = G;
        end
    end
    args{5} = tau0;
  end
end

% ---- Breaking a call.

function bad = wrong_class (x)
  converters = {
    @(x) single (x)
    @(x) int32 (x)
    @(x) uint8 (abs (x))
    @(x) int64 (x)
    @(x) x != 0
    @(x) repmat ("a", size (x))
    @(x) "a string"
    @(x) complex (x, 1)
    @(x) complex (x, 0)
    @(x) sparse (double (x(:, :, 1)))
    @(x) {x}
    @(x) {}
    @(x) struct ("value", x)
    @(x) struct ("value", {})
    @(x) @sin
    @(x) @(y) y + x
    @(x) containers.Map ()
    @(x) cat (3, x, x)
  };
  bad = attempt (converters{randi (numel (converters))}, x, int8 (1));
end

function y = attempt (f, x, fallback)
  % Breaking an already broken value may itself fail (a cell has no NaN entries); then
  % the fallback, hostile in its own way, takes its place.
  try
    y = f (x);
  catch
    y = fallback;
  end
end

function bad = wrong_value (x)
  % Same class, hostile content or shape.
  if (isnumeric (x) && isempty (x))
    x = 1;
  end
  choices = {
    @(x) poke (x, NaN)
    @(x) poke (x, Inf)
    @(x) poke (x, -Inf)
    @(x) poke (x, 1e308)
    @(x) poke (x, -0)
    @(x) poke (x, 0.5)
    @(x) []
    @(x) zeros (0, columns (x))
    @(x) zeros (rows (x), 0)
    @(x) x'
    @(x) x(1:end - 1, :)
    @(x) x(:, 1:end - 1)
    @(x) [x; x(end, :)]
    @(x) [x, x(:, end)]
    @(x) x(:)
    @(x) NaN
    @(x) 1e300
    @(x) 1:7
  };
  bad = attempt (choices{randi (numel (choices))}, x, NaN);
end

function x = poke (x, value)
  x(randi (numel (x))) = value;
end

function k = hostile_class_count ()
  values = [0, -1, 2.5, NaN, Inf, -Inf, 1e12, 2^31, 2^32 + 1, 2^53, 1e300, realmax, -2^31, ...
            1 + eps, 2^31 - 0.5];
  k = values(randi (numel (values)));
end

function [args, nout] = break_call (name, args, nout)
  for change = 1:randi (3)
    switch (randi (20))
      case {1, 2, 3, 4, 5, 6}
        if (! isempty (args))
          i = randi (numel (args));
          args{i} = wrong_class (args{i});
        end
      case {7, 8, 9, 10, 11, 12}
        if (! isempty (args))
          i = randi (numel (args));
          args{i} = wrong_value (args{i});
        end
      case {13, 14, 15}
        if (numel (args) >= 4 && ! strcmp (name, "hello"))
          args{4} = hostile_class_count ();
        end
      case {16, 17}
        if (numel (args) >= 2 && ! strcmp (name, "hello"))
          % Labels out of range, fractional, too few, or of an impossible class number.
          labels = attempt (@double, args{2}, 1);
          options = {[labels(:); 0], 0 * labels, labels + 0.5, labels(1:end - 1), -labels, ...
                     labels * 2^31, NaN (size (labels))};
          args{2} = attempt (@(o) o{randi (numel (o))}, options, 0);
        end
      case 18
        args(randi (numel (args) + 1):end) = [];
      case 19
        args(end + 1:end + randi (2)) = {1};
      otherwise
        nout = randi ([0, 3]);
    end
  end
end

% ---- The run.

function bytes = peak_resident_bytes ()
  status = fileread ("/proc/self/status");
  kb = sscanf (regexp (status, "VmHWM:\\s*(\\d+)", "tokens", "once"){1}, "%d");
  bytes = 1024 * kb;
end

% Breaking values converts between classes that Octave warns about; the warnings say nothing here.
warning ("off", "all");
rand ("state", 20261209);
randn ("state", 20261209);

% Requests whose working storage cannot exist fail fast with zelmor:outOfMemory, before any
% of it is touched: the peak resident size of this process barely moves.
impossible = {
  "zelmor_c2", {1, 1, 1, 1e12}
  "zelmor_c2", {eye(3), [1; 2; 3], 1, 2^31 - 1}
  "zelmor_c2", {zeros(0), [], 1, 2^31 - 1}
  "zelmor_c",  {1, 1, 1, 1e12, 0}
  "zelmor_c",  {eye(2), [1; 1], 1, 2^40, zeros(2, 3)}
};
for row = 1:rows (impossible)
  [name, args] = impossible{row, :};
  if (storage_bytes (rows (args{1}), args{4}) < 2 * physical_bytes () && args{4} <= 2^31 - 1)
    printf ("impossible request %d skipped: this machine might hold it\n", row);
    continue;
  end
  before = peak_resident_bytes ();
  tic;
  [~, err] = call_mex (name, args, 2);
  seconds = toc;
  grown = peak_resident_bytes () - before;
  if (isempty (err) || ! strcmp (err.identifier, "zelmor:outOfMemory"))
    error ("impossible request %d was not refused as zelmor:outOfMemory", row);
  end
  if (grown > 64 * 2^20)
    error ("impossible request %d touched %d MB before failing", row, round (grown / 2^20));
  end
  printf ("impossible request %d: zelmor:outOfMemory after %.3f s, peak RSS grew %d kB\n", ...
          row, seconds, round (grown / 1024));
end

% Large inputs, allocated for real but small enough for any test machine.
large = {
  "zelmor_c2", {eye(2000), ones(1999, 1), 1, 3}, "zelmor:badLabels"
  "zelmor_c2", {eye(3), 1:1e6, 1, 3}, ""
  "zelmor_c2", {sparse(1e5, 1e5), 1, 1, 2}, "zelmor:notRealDouble"
  "zelmor_c2", {zeros(46341, 1), 1, 1, 2}, "zelmor:kernelNotSquare"
  "zelmor_c",  {eye(1000), ones(1000, 1), 1, 2, zeros(1000, 3)}, "zelmor:badInitialTau"
  "zelmor_c2", {eye(1500), randi(4, 1500, 1), 1, 4}, ""
};
for row = 1:rows (large)
  [name, args, id] = large{row, :};
  [outputs, err, text] = call_mex (name, args, 2);
  if (isempty (id))
    if (! isempty (err))
      error ("large call %d rejected: %s (%s)", row, err.identifier, err.message);
    end
    check_valid_outputs (name, args, outputs, text, sprintf ("large call %d", row));
  elseif (isempty (err) || ! strcmp (err.identifier, id))
    error ("large call %d: expected %s", row, id);
  end
end

tried = struct ("valid", 0, "compared", 0, "refused", 0);
by_id = containers.Map ();
calls = 6000;
for call = 1:calls
  [name, args] = random_valid_call ();
  nout = randi ([0, 2 - strcmp(name, "hello")]);
  % Half the calls stay valid; the rest are broken in one to three places.
  if (call > calls / 2)
    [args, nout] = break_call (name, args, nout);
  end
  faults = call_faults (name, args, nout);
  what = sprintf ("call %d, %s with %d inputs and %d outputs", call, name, numel (args), nout);
  [outputs, err, text] = call_mex (name, args, nout);
  if (isempty (faults))
    if (! isempty (err))
      error ("%s: valid call rejected with %s (%s)", what, err.identifier, err.message);
    end
    tried.compared += check_valid_outputs (name, args, outputs, text, what);
    tried.valid += 1;
  else
    if (isempty (err))
      error ("%s: accepted, expected one of %s", what, strjoin (faults, ", "));
    end
    if (! any (strcmp (err.identifier, faults)))
      error ("%s: raised '%s' (%s), expected one of %s", what, err.identifier, err.message, ...
             strjoin (faults, ", "));
    end
    tried.refused += 1;
    if (! isKey (by_id, err.identifier))
      by_id(err.identifier) = 0;
    end
    by_id(err.identifier) += 1;
  end
  % Unloading and reloading between calls: nothing may outlive a call.
  if (mod (call, 500) == 0)
    clear zelmor_c zelmor_c2 hello
  end
end

printf (["%d random calls: %d valid ones answered correctly (%d of them compared bit for bit), ", ...
         "%d refused with a fault they have\n"], calls, tried.valid, tried.compared, tried.refused);
ids = keys (by_id);
for i = 1:numel (ids)
  printf ("  %-26s %d\n", ids{i}, by_id(ids{i}));
end
