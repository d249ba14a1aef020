% Run under a 3 GB address-space limit: a search whose whole kernels would need about 8 GB
% (the squared distances of 16000 examples, 2 GB, and each fold's kernels beside them) runs
% within it, its kernels made as the solves need them, and learns the problem.
n = 16000;
t = (1:n)';
labels = mod (t, 4) + 1;
X = [cos(labels * pi / 2), sin(labels * pi / 2)] * 3 + [sin(7 * t), cos(11 * t)];
model = zelmor_train (X, labels, "Gamma", 0.5, "C", [1 4], "Folds", 2, "Threads", 2, "Verbose", false);
accuracy = mean (zelmor_predict (model, X) == labels);
assert (accuracy > 0.95, "accuracy %.3f", accuracy);
status = fileread ("/proc/self/status");
peak = str2double (regexp (status, "VmHWM:\\s*(\\d+)", "tokens", "once"){1}) / 2 ^ 20;
printf ("%d examples under a 3 GB address-space limit: trained, %.1f%% on the training set, peak %.2f GB resident\n", ...
        n, 100 * accuracy, peak);
