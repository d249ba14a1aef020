"""Time to a tuned model with scikit-learn's SVC (one-vs-one) and GridSearchCV, on the problems
bench/time_to_model.m wrote (the same scaled features, split, kernel parameters, C values and
folds), and the table of both: python3 time_to_model.py OUTDIR."""
import csv
import os
import sys
import time

import numpy as np
from sklearn.model_selection import GridSearchCV, PredefinedSplit
from sklearn.svm import SVC


def main(outdir):
    ours = {row["name"]: row for row in csv.DictReader(open(os.path.join(outdir, "zelmor.csv")))}
    print()
    print("Time to a tuned model: 7 gamma x 7 C, 5 folds, 2 threads, features scaled to [-1, 1]; wall-clock seconds.")
    print()
    print("| data | n | d | k | zelmor | scikit-learn | ratio | test accuracy (zelmor / sklearn) "
          "| single fit (zelmor / sklearn) | zelmor's work: kernels / solves / scoring (thread-s) |")
    print("|---|---:|---:|---:|---:|---:|---:|---|---|---|")
    for name, row in ours.items():
        train = np.loadtxt(os.path.join(outdir, name + "-train.csv"), delimiter=",")
        test = np.loadtxt(os.path.join(outdir, name + "-test.csv"), delimiter=",")
        grid = np.loadtxt(os.path.join(outdir, name + "-grid.csv"), delimiter=",")
        X, y, folds = train[:, :-2], train[:, -2], train[:, -1].astype(int) - 1
        search = GridSearchCV(SVC(kernel="rbf", cache_size=1000),
                              {"gamma": list(grid[0]), "C": list(grid[1])},
                              cv=PredefinedSplit(folds), n_jobs=2)
        started = time.perf_counter()
        search.fit(X, y)
        seconds = time.perf_counter() - started
        accuracy = search.score(test[:, :-1], test[:, -1])
        started = time.perf_counter()
        SVC(kernel="rbf", cache_size=1000, **search.best_params_).fit(X, y)
        fit = time.perf_counter() - started
        zelmor = float(row["seconds"])
        print(f"| {name} | {row['n']} | {row['d']} | {row['k']} | {zelmor:.1f} | {seconds:.1f} | "
              f"{zelmor / seconds:.2f} | {100 * float(row['accuracy']):.2f}% / {100 * accuracy:.2f}% | "
              f"{float(row['fit']):.2f} s / {fit:.2f} s | "
              f"{float(row['kernels']):.1f} / {float(row['solves']):.1f} / {float(row['scoring']):.1f} |", flush=True)


if __name__ == "__main__":
    main(sys.argv[1])
