% zelmor_c2 and zelmor_c must agree bit for bit, signs of zeros and iteration counts included,
% with the reference solver in reference_dual_solve.m on every problem below: random RBF,
% linear, integer and asymmetric kernels, ties, k from 1 to 26, beta from 1e-3 to 150, cold
% starts, warm starts from the cold result and from feasible and infeasible tau0, and iris.
1;

function G = rbf_kernel (X, gamma)
  sq = sum (X .^ 2, 2);
  G = exp (-gamma * (sq + sq' - 2 * (X * X')));
end

function Y = one_hot (labels, k)
  n = numel (labels);
  Y = zeros (n, k);
  Y(sub2ind ([n, k], (1:n)', labels(:))) = 1;
end

% Rows tau_i = Y_i - w_i with w_i on the probability simplex: inside the constraints.
function tau0 = feasible_tau (labels, k)
  w = rand (numel (labels), k);
  tau0 = one_hot (labels, k) - w ./ sum (w, 2);
end

function problem = make_problem (name, G, labels, beta, k, tau0)
  problem = struct ("name", name, "G", G, "labels", labels, "beta", beta, "k", k, "tau0", tau0);
end

function problems = random_problems ()
  problems = {};
  % name, kernel family, n, k, beta, seed
  table = {
    "rbf n=1 k=1",         "rbf",     1,  1, 1,     1
    "rbf n=2 k=2",         "rbf",     2,  2, 1e-3,  2
    "rbf n=5 k=3",         "rbf",     5,  3, 1,     3
    "rbf n=12 k=4",        "rbf",    12,  4, 10,    4
    "rbf n=20 k=6",        "rbf",    20,  6, 0.1,   5
    "rbf n=30 k=3",        "rbf",    30,  3, 150,   6
    "rbf n=40 k=5",        "rbf",    40,  5, 1,     7
    "rbf n=10 k=26",       "rbf",    10, 26, 1,     8
    "rbf n=4 k=1",         "rbf",     4,  1, 150,   9
    "linear n=10 k=3",     "linear", 10,  3, 1,    10
    "linear n=20 k=4",     "linear", 20,  4, 0.01, 11
    "linear n=35 k=2",     "linear", 35,  2, 100,  12
    "linear n=12 k=26",    "linear", 12, 26, 2,    13
    "integer n=10 k=3",    "integer", 10, 3, 1,    14
    "integer n=24 k=5",    "integer", 24, 5, 3,    15
    "integer n=18 k=2",    "integer", 18, 2, 150,  16
    "asymmetric n=10 k=3", "asymmetric", 10, 3, 1,  17
    "asymmetric n=20 k=4", "asymmetric", 20, 4, 10, 18
    "asymmetric n=15 k=6", "asymmetric", 15, 6, 0.01, 19
    "ties n=16 k=3",       "ties",   16,  3, 1,    20
    "ties n=24 k=4",       "ties",   24,  4, 10,   21
    "identical n=6 k=3",   "ones",    6,  3, 1,    22
    "negative diagonal n=5 k=3", "negative", 5, 3, 1, 23
  };
  for row = 1:rows (table)
    [name, family, n, k, beta, seed] = table{row, :};
    rand ("state", seed);
    randn ("state", seed);
    labels = randi (k, n, 1);
    X = randn (n, 3);
    switch (family)
      case "rbf"
        G = rbf_kernel (X, 0.5);
      case "linear"
        G = X * X';
      case "integer"
        A = randi ([-3, 3], n, 4);
        G = A * A' + eye (n);
      case "asymmetric"
        % Off-diagonal noise breaks symmetry by far more than rounding would.
        G = rbf_kernel (X, 0.5) + 0.1 * (rand (n) - 0.5) .* ! eye (n);
      case "ties"
        half = n / 2;
        G = rbf_kernel ([X(1:half, :); X(1:half, :)], 0.5);
        labels = [labels(1:half); labels(1:half)];
      case "ones"
        G = ones (n);
      case "negative"
        G = -rbf_kernel (X, 0.5);
    end
    problems{end + 1} = make_problem (name, G, labels, beta, k, []);
    % Warm starts from foreign tau0 on the smaller problems, where the cap stays cheap.
    if (n <= 20 && ! strcmp (family, "negative"))
      problems{end + 1} = make_problem ([name " from feasible tau0"], G, labels, beta, k, ...
                                        feasible_tau (labels, k));
      problems{end + 1} = make_problem ([name " from infeasible tau0"], G, labels, beta, k, ...
                                        2 * randn (n, k));
    end
  end
end

function problems = iris_problems ()
  data_dir = getenv ("ZELMOR_TEST_DATA_DIR");
  if (isempty (data_dir))
    data_dir = fullfile (fileparts (mfilename ("fullpath")), "..", "data");
  end
  % The first line is a header; the last column holds 0-based classes.
  raw = dlmread (fullfile (data_dir, "iris.csv"), ",", 1, 0);
  X = raw(:, 1:4);
  labels = raw(:, 5) + 1;
  % The linear kernel on centred features, every third flower: the raw one runs to the cap.
  picked = 1:3:rows (X);
  centred = X(picked, :) - mean (X(picked, :));
  problems = {make_problem("iris rbf", rbf_kernel(X, 0.5), labels, 1, 3, []), ...
              make_problem("iris linear", centred * centred', labels(picked), 1, 3, [])};
end

% The MEX function, then the same gateway on every instruction set this CPU has and in every
% sweep mode, against one reference result.
function check_calls (p, what, tau_ref, count_ref, varargin)
  if (isempty (varargin))
    [tau, count] = zelmor_c2 (p.G, p.labels, p.beta, p.k);
  else
    [tau, count] = zelmor_c (p.G, p.labels, p.beta, p.k, varargin{:});
  end
  assert (same_bits (tau, tau_ref), '%s differs from the reference', [p.name ": " what " tau"]);
  assert (same_bits (count, count_ref), '%s differs from the reference', [p.name ": " what " count"]);
  for set = zelmor_solve_on ("supported")
    for sweep = {"dense", "class-sparse", "automatic"}
      [tau, count] = zelmor_solve_on (set{1}, sweep{1}, p.G, p.labels, p.beta, p.k, varargin{:});
      where = sprintf ("%s: %s on %s, %s", p.name, what, set{1}, sweep{1});
      assert (same_bits (tau, tau_ref), '%s differs from the reference', [where " tau"]);
      assert (same_bits (count, count_ref), '%s differs from the reference', [where " count"]);
    end
  end
end

function check_problem (p)
  [tau_cold, count_ref] = reference_dual_solve (p.G, p.labels, p.beta, p.k, 0.001);
  check_calls (p, "cold", tau_cold, count_ref);

  % Continuing from the cold result is an ordinary warm start.
  [tau_ref, count_ref] = reference_dual_solve (p.G, p.labels, p.beta, p.k, 0.1 * 0.1, tau_cold);
  check_calls (p, "warm-from-cold", tau_ref, count_ref, tau_cold);

  if (! isempty (p.tau0))
    [tau_ref, count_ref] = reference_dual_solve (p.G, p.labels, p.beta, p.k, 0.1 * 0.1, p.tau0);
    check_calls (p, "warm", tau_ref, count_ref, p.tau0);
  end
end

% Hand-solved cases: one example, two classes; a negative beta whose update writes -0.0;
% no examples at all.
worked = {
  @() zelmor_c2(1, 1, 1, 2),                      [0.5, -0.5],   1
  @() zelmor_c(1, 1, 1, 2, [0.5, -0.5]),          [0.5, -0.5],   0
  @() zelmor_c2(1, 1, -10, 3),                    [0, -0, -0],   0
  @() zelmor_c2(zeros(0), [], 1, 3),              zeros(0, 3),   0
  @() zelmor_c(zeros(0), [], 1, 3, zeros(0, 3)),  zeros(0, 3),   0
};
for row = 1:rows (worked)
  [call, tau_expected, count_expected] = worked{row, :};
  [tau, count] = call ();
  assert (same_bits (tau, tau_expected), '%s differs from the reference', sprintf ("worked case %d: tau", row));
  assert (same_bits (count, count_expected), '%s differs from the reference', sprintf ("worked case %d: count", row));
end

problems = [random_problems(), iris_problems()];
for i = 1:numel (problems)
  check_problem (problems{i});
end
printf ("%d worked cases and %d problems agree bit for bit, on %s\n", rows (worked), numel (problems), ...
        strjoin (zelmor_solve_on ("supported"), ", "));
