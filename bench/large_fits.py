"""scikit-learn's side of bench/large_fits.sh, one fit per process so that its peak resident
memory is the fit's: python3 large_fits.py OUTDIR NAME N (SVC at the set's fixed cell on its
first N examples) or python3 large_fits.py OUTDIR NAME grid (GridSearchCV, 7 gamma x 7 C, the
same 5 folds as zelmor, n_jobs=2). Prints "RESULT name,who,n,seconds,accuracy,peakMB"."""
import os
import resource
import sys
import time

import numpy as np
from sklearn.model_selection import GridSearchCV, PredefinedSplit
from sklearn.svm import SVC

CELLS = {"shuttle": (1.0, 16.0), "letter": (1.216, 16.0)}


def peak_mb():
    # Linux gives kilobytes; the grid's workers are children.
    own = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    children = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    return max(own, children) / 1024


def main(outdir, name, what):
    train = np.loadtxt(os.path.join(outdir, name + "-train.csv"), delimiter=",")
    test = np.loadtxt(os.path.join(outdir, name + "-test.csv"), delimiter=",")
    if what == "grid":
        X, y = train[:, :-1], train[:, -1]
        folds = np.loadtxt(os.path.join(outdir, name + "-folds.csv")).astype(int) - 1
        gamma0 = 1 / (X.shape[1] * X.var(axis=0, ddof=1).mean())
        search = GridSearchCV(SVC(kernel="rbf"), {"gamma": list(gamma0 * 2.0 ** np.arange(-3, 4)),
                                                  "C": list(2.0 ** np.arange(-2, 11, 2))},
                              cv=PredefinedSplit(folds), n_jobs=2)
        started = time.perf_counter()
        search.fit(X, y)
        seconds = time.perf_counter() - started
        accuracy = search.score(test[:, :-1], test[:, -1])
        who, n = "sklearn-grid", len(y)
        print(f"chosen: {search.best_params_}")
    else:
        n = int(what)
        X, y = train[:n, :-1], train[:n, -1]
        gamma, C = CELLS[name]
        started = time.perf_counter()
        model = SVC(kernel="rbf", gamma=gamma, C=C).fit(X, y)
        seconds = time.perf_counter() - started
        accuracy = model.score(test[:, :-1], test[:, -1])
        who = "sklearn"
    print(f"RESULT {name},{who},{n},{seconds:.3f},{accuracy:.6f},{peak_mb():.0f}", flush=True)


if __name__ == "__main__":
    main(*sys.argv[1:4])
