function [tau, count] = reference_dual_solve (G, labels, beta, k, tolerance, tau0)
  % The reference solver in scalar Octave code: the dual solve loop and its simplex projection
  % one step at a time, apart from the C++ solver so that the MEX results can be checked against
  % it bit for bit. Octave's scalar arithmetic is IEEE double, so every step below rounds as
  % the C++ code must.
  % Pass tau0 for a warm start; omit it for a cold start.
  n = rows (G);
  K = fix (k);
  cap = n * n;

  tau = zeros (n, K);
  grad = zeros (n, K);
  target = zeros (n, K);
  if (nargin > 5)
    for i = 1:n
      for m = 1:K
        tau(i, m) = tau0(i, m);
      end
    end
    for j = 1:n
      for m = 1:K
        s = 0.0;
        for l = 1:n
          s = s + G(j, l) * tau(l, m);
        end
        grad(j, m) = s;
      end
    end
    for i = 1:n
      c = fix (labels(i));
      target(i, c) = 1.0;
      grad(i, c) = grad(i, c) - beta;
    end
  else
    for i = 1:n
      c = fix (labels(i));
      target(i, c) = 1.0;
      grad(i, c) = -beta;
    end
  end

  kernel_diag = zeros (n, 1);
  for i = 1:n
    kernel_diag(i) = G(i, i);
  end

  violation = zeros (n, 1);
  D = zeros (1, K);
  tau_new = zeros (1, K);
  delta = zeros (1, K);
  count = cap;
  t = 0;
  while (t < cap)
    best = -100;
    p = 0;
    for j = 1:n
      hi = -100;
      lo = 100;
      for m = 1:K
        g = grad(j, m);
        if (g > hi)
          hi = g;
        end
        if (target(j, m) > tau(j, m) && lo > g)
          lo = g;
        end
      end
      violation(j) = hi - lo;
      if (violation(j) > best)
        best = violation(j);
        p = j;
      end
    end
    if (p == 0)
      % No example selected: stop with the updates applied so far.
      count = t;
      return;
    end

    for m = 1:K
      D(m) = ((grad(p, m) / kernel_diag(p)) - tau(p, m)) + target(p, m);
    end
    nu = project_simplex (D, K);
    for m = 1:K
      if (labels(p) - 1 == m - 1)
        tau_new(m) = 1 - nu(m);
      else
        tau_new(m) = -nu(m);
      end
      delta(m) = tau_new(m) - tau(p, m);
    end
    for l = 1:n
      for m = 1:K
        grad(l, m) = delta(m) * G(p, l) + grad(l, m);
      end
    end
    for m = 1:K
      tau(p, m) = tau_new(m);
    end
    if (violation(p) < tolerance)
      count = t;
      return;
    end
    t = t + 1;
  end
end

function x = project_simplex (v, L)
  c = -100;
  for j = 1:L
    if (v(j) > c)
      c = v(j);
    end
  end
  [count, s] = at_or_above (v, L, c);
  pass = 1;
  while (true)
    theta = (s - 1) / count;
    [count_next, s_next] = at_or_above (v, L, theta);
    residual = (s_next - count_next * theta) - 1;
    if ((residual <= 0.000001 && residual >= -0.000001) || count_next == count)
      break;
    end
    % A run that ends does so within L + 2 passes; one that goes on cycles forever, and
    % stops at the solver's own limit, with that pass's threshold.
    if (pass >= 2 * L + 16)
      break;
    end
    count = count_next;
    s = s_next;
    pass = pass + 1;
  end
  x = zeros (1, L);
  for j = 1:L
    if (v(j) > theta)
      x(j) = v(j) - theta;
    else
      x(j) = 0.0;
    end
  end
end

function [count, s] = at_or_above (v, L, threshold)
  count = 0;
  s = 0.0;
  for j = 1:L
    if (v(j) >= threshold)
      count = count + 1;
      s = s + v(j);
    end
  end
end
