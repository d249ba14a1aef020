% Every bad call is refused with its error identifier, never a crash: after all of them the
% session still answers valid calls. Also the calls that must be accepted: asymmetric kernels,
% negative diagonals, labels of any shape, and every allowed number of outputs.
1;

function expect_error (id, call, output_count, what)
  try
    if (output_count == 0)
      call ();
    else
      outputs = cell (1, output_count);
      [outputs{:}] = call ();
    end
  catch err
    if (! strcmp (err.identifier, id))
      error ("%s: raised %s (%s), expected %s", what, err.identifier, err.message, id);
    end
    return;
  end
  error ("%s: accepted, expected %s", what, id);
end

function with = replace_input (args, position, value)
  with = args;
  with{position} = value;
end

G = [2, 1, 0.5; 1, 2, 1; 0.5, 1, 2];
labels = [1; 2; 3];
solver_args = {G, labels, 1, 3, zeros(3, 3)};
hello_args = {[1, 4; 2, 5; 3, 6], ones(3, 2)};
% name, the inputs it takes, the largest number of outputs
functions = {
  "zelmor_c",  @zelmor_c,  solver_args,        2
  "zelmor_c2", @zelmor_c2, solver_args(1:4),   2
  "hello",     @hello,     hello_args,         1
};
checked = 0;

% Argument counts: every wrong number of inputs, and one output too many.
for f = 1:rows (functions)
  [name, fn, args, max_outputs] = functions{f, :};
  for count = 0:numel (args) + 1
    if (count != numel (args))
      padded = [args, {1}];
      expect_error ("zelmor:nargin", @() fn (padded{1:count}), 1, sprintf ("%s with %d inputs", name, count));
      checked += 1;
    end
  end
  expect_error ("zelmor:nargout", @() fn (args{:}), max_outputs + 1, ...
                sprintf ("%s with %d outputs", name, max_outputs + 1));
  checked += 1;
end

% Classes and layouts whose data are not real doubles, at every input position.
wrong_layouts = {
  "single",           @(x) single (x)
  "int32",            @(x) int32 (x)
  "uint8",            @(x) uint8 (abs (x))
  "logical",          @(x) x != 0
  "char",             @(x) repmat ("a", size (x))
  "complex",          @(x) complex (x, 1)
  "complex, zero imaginary part", @(x) complex (x, 0)
  "sparse",           @(x) sparse (x)
  "cell",             @(x) {x}
  "struct",           @(x) struct ("value", x)
  "function handle",  @(x) @sin
  "3-D",              @(x) cat (3, x, x)
};
for f = 1:rows (functions)
  [name, fn, args] = functions{f, :};
  for position = 1:numel (args)
    for w = 1:rows (wrong_layouts)
      [layout, convert] = wrong_layouts{w, :};
      bad = replace_input (args, position, convert (args{position}));
      expect_error ("zelmor:notRealDouble", @() fn (bad{:}), 1, ...
                    sprintf ("%s with a %s input %d", name, layout, position));
      checked += 1;
    end
  end
end

% Bad values for the solvers: the same checks guard both, so each case runs through both.
% position, value, identifier
bad_values = {
  1, ones(3, 2),                  "zelmor:kernelNotSquare"
  1, ones(2, 3),                  "zelmor:kernelNotSquare"
  1, zeros(1, 0),                 "zelmor:kernelNotSquare"
  1, [2, NaN, 0; 1, 2, 1; 0, 1, 2], "zelmor:kernelNotFinite"
  1, [Inf, 1, 0; 1, 2, 1; 0, 1, 2], "zelmor:kernelNotFinite"
  1, [2, 1, 0; 1, 2, 1; -Inf, 1, 2], "zelmor:kernelNotFinite"
  1, [2, 1, 0; 1, 0, 1; 0, 1, 2],   "zelmor:kernelZeroDiagonal"
  1, [2, 1, 0; 1, 2, 1; 0, 1, -0],  "zelmor:kernelZeroDiagonal"
  2, [1; 2],                      "zelmor:badLabels"
  2, [],                          "zelmor:badLabels"
  2, [1; 2.5; 3],                 "zelmor:badLabels"
  2, [0; 1; 2],                   "zelmor:badLabels"
  2, [1; 2; 4],                   "zelmor:badLabels"
  2, [-1; 1; 2],                  "zelmor:badLabels"
  2, [1; NaN; 2],                 "zelmor:badLabels"
  2, [1; Inf; 2],                 "zelmor:badLabels"
  3, [1, 2],                      "zelmor:badBeta"
  3, [],                          "zelmor:badBeta"
  3, NaN,                         "zelmor:badBeta"
  3, Inf,                         "zelmor:badBeta"
  3, -Inf,                        "zelmor:badBeta"
  4, 0,                           "zelmor:badClassCount"
  4, -1,                          "zelmor:badClassCount"
  4, 2.5,                         "zelmor:badClassCount"
  4, NaN,                         "zelmor:badClassCount"
  4, Inf,                         "zelmor:badClassCount"
  4, [3, 3],                      "zelmor:badClassCount"
  4, [],                          "zelmor:badClassCount"
  4, 2,                           "zelmor:badLabels"
  4, 1e12,                        "zelmor:outOfMemory"
  4, 2^31,                        "zelmor:outOfMemory"
  4, 2^31 - 1,                    "zelmor:outOfMemory"
};
for f = 1:2
  [name, fn, args] = functions{f, :};
  for row = 1:rows (bad_values)
    [position, value, id] = bad_values{row, :};
    bad = replace_input (args, position, value);
    expect_error (id, @() fn (bad{:}), 1, sprintf ("%s with input %d = %s", name, position, mat2str (value)));
    checked += 1;
  end
end

% The smallest impossible request, on both solvers, whatever tau0 holds.
expect_error ("zelmor:outOfMemory", @() zelmor_c2 (1, 1, 1, 1e12), 1, "zelmor_c2(1, 1, 1, 1e12)");
expect_error ("zelmor:outOfMemory", @() zelmor_c (1, 1, 1, 1e12, 0), 1, "zelmor_c(1, 1, 1, 1e12, 0)");

bad_initial_tau = {zeros(3, 2), zeros(2, 3), zeros(3, 4), zeros(9, 1), [], ...
                   [0, 0, 0; 0, NaN, 0; 0, 0, 0], [0, 0, 0; 0, 0, 0; 0, 0, -Inf]};
for i = 1:numel (bad_initial_tau)
  bad = replace_input (solver_args, 5, bad_initial_tau{i});
  expect_error ("zelmor:badInitialTau", @() zelmor_c (bad{:}), 1, sprintf ("tau0 = %s", mat2str (bad_initial_tau{i})));
  checked += 1;
end

bad_hello = {ones(1, 5), [], ones(5, 1)};
for position = 1:2
  for i = 1:numel (bad_hello)
    bad = replace_input (hello_args, position, bad_hello{i});
    expect_error ("zelmor:badInput", @() hello (bad{:}), 1, ...
                  sprintf ("hello input %d = %s", position, mat2str (bad_hello{i})));
    checked += 1;
  end
end

% The engine's own gateway, called directly as the helpers never would: refused, not crashed.
options = struct ("kernel", "rbf", "gamma", 1, "degree", 1, "offset", 0, "betas", 1, "tried", 1, ...
                  "folds", [], "maxRestarts", 0, "threads", 1, "verbose", 0, "cacheSize", 0);
folded = setfield (options, "folds", [1 2 1]);
half_tried = setfield (setfield (folded, "betas", [1 0.5]), "tried", [1 0]);
engine_calls = {
  "no command",             "zelmor:nargin",             {}
  "unknown command",        "zelmor:badInput",           {"solve"}
  "command not text",       "zelmor:badInput",           {42}
  "kernel: B of 2 columns", "zelmor:featureMismatch",    {"kernel", ones(3), ones(2), "rbf", 1, 1, 0, 0}
  "kernel: gamma 0",        "zelmor:badKernelParameter", {"kernel", ones(3), [], "rbf", 0, 1, 0, 0}
  "kernel: NaN example",    "zelmor:badExamples",        {"kernel", [1 NaN], [], "linear", 1, 1, 0, 0}
  "kernel: type",           "zelmor:badKernelType",      {"kernel", ones(3), [], "sigmoid", 1, 1, 0, 0}
  "kernel: threads -1",     "zelmor:badInput",           {"kernel", ones(3), [], "rbf", 1, 1, 0, -1}
  "decision: too large",    "zelmor:outOfMemory",        {"decision", zeros(1e5, 1), zeros(1, 1e5), 0}
  "decision: tau rows",     "zelmor:kernelMismatch",     {"decision", ones(2, 3), ones(2, 2), 0}
  "path: zero diagonal",    "zelmor:kernelZeroDiagonal", {"path", [1 0; 0 0], [1 2], 1, 2, 0, 0}
  "path: label 3 of 2",     "zelmor:badLabels",          {"path", eye(2), [1 3], 1, 2, 0, 0}
  "crossval: fold 2 unused", "zelmor:badFolds",          {"crossval", eye(3), [1 2 1], 1, [1 1 3], 2, 0, 1, 0, 0}
  "crossval: verbosity 7",  "zelmor:badInput",           {"crossval", eye(3), [1 2 1], 1, [1 2 1], 2, 0, 1, 7, 0}
  "path: cache size -1",   "zelmor:badInput",           {"path", eye(2), [1 2], 1, 2, 0, -1}
  "crossval: cache NaN",    "zelmor:badInput",           {"crossval", eye(3), [1 2 1], 1, [1 2 1], 2, 0, 1, 0, NaN}
  "train: options not a struct", "zelmor:badInput",      {"train", ones(3, 1), [1; 2; 1], 2, 5}
  "train: cache size Inf",  "zelmor:badInput",           {"train", ones(3, 1), [1; 2; 1], 2, setfield(options, "cacheSize", Inf)}
  "train: tried too short", "zelmor:badInput",           {"train", ones(3, 1), [1; 2; 1], 2, setfield(options, "betas", [1 2])}
  "train: class count 0",   "zelmor:badClassCount",      {"train", ones(3, 1), [1; 2; 1], 0, options}
  "units: no folds",        "zelmor:badInput",           {"units", ones(3, 1), [1; 2; 1], 2, options, [1 1]}
  "units: fold 3 of 2",     "zelmor:badInput",           {"units", ones(3, 1), [1; 2; 1], 2, folded, [1 3]}
  "units: setting 0",       "zelmor:badInput",           {"units", ones(3, 1), [1; 2; 1], 2, folded, [0 1]}
  "units: a unit twice",    "zelmor:badInput",           {"units", ones(3, 1), [1; 2; 1], 2, folded, [1 2; 1 2]}
  "units: three columns",   "zelmor:badInput",           {"units", ones(3, 1), [1; 2; 1], 2, folded, [1 1 1]}
  "units: names not a cell", "zelmor:badInput",          {"units", ones(3, 1), [1; 2; 1], 2, setfield(folded, "settingNames", "gamma 1"), [1 1]}
  "units: a name too many", "zelmor:badInput",           {"units", ones(3, 1), [1; 2; 1], 2, setfield(folded, "settingNames", {"a", "b"}), [1 1]}
  "fit: a count missing",   "zelmor:badInput",           {"fit", ones(3, 1), [1; 2; 1], 2, folded, [1 -1 0 0]}
  "fit: a count too large", "zelmor:badInput",           {"fit", ones(3, 1), [1; 2; 1], 2, folded, [1 4 0 0]}
  "fit: counts too few",    "zelmor:badInput",           {"fit", ones(3, 1), [1; 2; 1], 2, folded, [1 1]}
  "fit: counts, no folds",  "zelmor:badInput",           {"fit", ones(3, 1), [1; 2; 1], 2, options, 1}
  "fit: a cell not tried counted", "zelmor:badInput",    {"fit", ones(3, 1), [1; 2; 1], 2, half_tried, [1 2 0 -1 0 -1 1 -1]}
  "train: a weight of 0",   "zelmor:badWeights",         {"train", ones(3, 1), [1; 2; 1], 2, setfield(options, "weights", [1 0 1])}
  "train: weights too few", "zelmor:badWeights",         {"train", ones(3, 1), [1; 2; 1], 2, setfield(options, "weights", [1 1])}
  "train: weight Inf",      "zelmor:badWeights",         {"train", ones(3, 1), [1; 2; 1], 2, setfield(options, "weights", [1 Inf 1])}
  "train: scoring unknown", "zelmor:badInput",           {"train", ones(3, 1), [1; 2; 1], 2, setfield(options, "scoring", "f1")}
  "calibrate: columns not k", "zelmor:badInput",         {"calibrate", ones(3, 2), [1; 2; 1], 3, 1}
  "calibrate: beta 0",      "zelmor:badBeta",            {"calibrate", ones(3, 2), [1; 2; 1], 2, 0}
  "calibrate: label 3 of 2", "zelmor:badLabels",         {"calibrate", ones(3, 2), [1; 3; 1], 2, 1}
  "calibrate: NaN value",   "zelmor:badInput",           {"calibrate", [1 NaN; 0 0], [1; 2], 2, 1}
  "probabilities: T 0",     "zelmor:badInput",           {"probabilities", ones(2), 0}
  "probabilities: NaN",     "zelmor:badInput",           {"probabilities", [1 NaN], 1}
  "checksum: a cell",       "zelmor:badInput",           {"checksum", {1}}
  "checksum: complex",      "zelmor:badInput",           {"checksum", 1, 1i}
  "grid: no folds",         "zelmor:badInput",           {"grid", 1, 1, 0, 2}
  "grid: too large",        "zelmor:outOfMemory",        {"grid", 1e6, 1e6, 1e6, 2}
};
for c = 1:rows (engine_calls)
  [what, id, args] = engine_calls{c, :};
  expect_error (id, @() zelmor_engine (args{:}), 1, ["zelmor_engine, " what]);
  checked += 1;
end

% Still alive: valid calls work, with every allowed number of outputs; none means ans.
[tau, count] = zelmor_c2 (G, labels, 1, 3);
assert (size (tau), [3, 3]);
zelmor_c2 (G, labels, 1, 3);
assert (isequal (ans, tau));
assert (isequal (zelmor_c2 (G, labels, 1, 3), tau));
[tau_warm, count_warm] = zelmor_c (G, labels, 1, 3, tau);
zelmor_c (G, labels, 1, 3, tau);
assert (isequal (ans, tau_warm));
evalc ("hello (hello_args{:}); sum_as_ans = ans;");
assert (isequal (sum_as_ans, [2, 5; 3, 6; 4, 7]));

% Accepted: labels of any shape with extra values ignored; asymmetric kernels used as given;
% negative diagonals (not a kernel, but the result is defined).
assert (isequal (zelmor_c2 (G, labels', 1, 3), tau));
assert (isequal (zelmor_c2 (G, [labels; 7; 0.5], 1, 3), tau));
assert (isequal (zelmor_c2 (G, [1, 3; 2, 9], 1, 3), zelmor_c2 (G, [1; 2; 3], 1, 3)));
asymmetric = G;
asymmetric(1, 2) += 0.25;
[tau_asym, count_asym] = zelmor_c2 (asymmetric, labels, 1, 3);
assert (size (tau_asym), [3, 3]);
assert (! isequal (tau_asym, tau));
[tau_neg, count_neg] = zelmor_c2 (-G, labels, 1, 3);
assert (size (tau_neg), [3, 3]);
assert (all (isfinite (tau_neg(:))));

printf ("%d bad calls refused with their identifiers; Octave still answers\n", checked + 2);
