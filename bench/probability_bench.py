"""Probabilities on satimage: zelmor's (softmax of the scores over the temperature its
cross-validation fitted) beside scikit-learn's SVC(probability=True) (Platt scaling from a 5-fold
internal run), each at its own package's chosen cell of the same grid and folds, on the problem
bench/probability_bench.m wrote: the test log-losses and accuracies, the seconds calibration
adds, how often the most probable class is not the prediction, and a reliability table of the
most probable class's probability in 10 bins. python3 probability_bench.py OUTDIR."""
import os
import sys
import time

import numpy as np
from sklearn.metrics import log_loss
from sklearn.model_selection import GridSearchCV, PredefinedSplit
from sklearn.svm import SVC


def reliability(probabilities, classes, y):
    """Per bin of the top probability [0, 0.1), ..., [0.9, 1]: count, mean probability, accuracy."""
    top = probabilities.max(axis=1)
    right = classes[probabilities.argmax(axis=1)] == y
    bins = np.minimum((top * 10).astype(int), 9)
    rows = []
    for b in range(10):
        inside = bins == b
        count = int(inside.sum())
        rows.append((count, top[inside].mean() if count else float("nan"),
                     right[inside].mean() if count else float("nan")))
    return rows


def main(outdir):
    train = np.loadtxt(os.path.join(outdir, "satimage-train.csv"), delimiter=",")
    test = np.loadtxt(os.path.join(outdir, "satimage-test.csv"), delimiter=",")
    grid = np.loadtxt(os.path.join(outdir, "satimage-grid.csv"), delimiter=",")
    X, y, folds = train[:, :-2], train[:, -2], train[:, -1].astype(int) - 1
    Xtest, ytest = test[:, :-1], test[:, -1]
    predicted = np.loadtxt(os.path.join(outdir, "satimage-zelmor.csv"), delimiter=",")
    labels, ours = predicted[:, 0], predicted[:, 1:]
    model = open(os.path.join(outdir, "satimage-zelmor-model.csv")).read().split("\n")
    classes = np.array([float(c) for c in model[0].split(",")])
    gamma, C, temperature, calibration, seconds, uncalibrated = (float(v) for v in model[1].split(","))

    search = GridSearchCV(SVC(kernel="rbf", cache_size=1000), {"gamma": list(grid[0]), "C": list(grid[1])},
                          cv=PredefinedSplit(folds), n_jobs=2)
    search.fit(X, y)
    started = time.perf_counter()
    SVC(kernel="rbf", cache_size=1000, **search.best_params_).fit(X, y)
    plain = time.perf_counter() - started
    started = time.perf_counter()
    theirs = SVC(kernel="rbf", cache_size=1000, probability=True, random_state=0, **search.best_params_).fit(X, y)
    calibrated = time.perf_counter() - started
    probabilities = theirs.predict_proba(Xtest)
    disagree = int((theirs.classes_[probabilities.argmax(axis=1)] != theirs.predict(Xtest)).sum())
    disagree_ours = int((classes[ours.argmax(axis=1)] != labels).sum())

    print()
    print("Probabilities on satimage: 4435 training and 2000 test examples, 6 classes, features scaled to "
          "[-1, 1]; 7 gamma x 7 C, 5 folds; each package at the cell its own search chose.")
    print()
    print("| | chosen cell | test accuracy | test log-loss | calibration adds | most probable class "
          "not the prediction |")
    print("|---|---|---:|---:|---|---:|")
    print(f"| zelmor (T = {temperature:.4g}) | gamma {gamma:.4g}, C = {C:g} | "
          f"{100 * np.mean(labels == ytest):.2f}% | "
          f"{log_loss(ytest, ours, labels=classes):.4f} | {calibration:.3f} s to fit T "
          f"(the search: {seconds:.1f} s, {uncalibrated:.1f} s without) | {disagree_ours} of {len(ytest)} |")
    print(f"| scikit-learn SVC(probability=True) | gamma {search.best_params_['gamma']:.4g}, "
          f"C = {search.best_params_['C']:g} | {100 * theirs.score(Xtest, ytest):.2f}% | "
          f"{log_loss(ytest, probabilities, labels=theirs.classes_):.4f} | {calibrated - plain:.2f} s "
          f"(the fit: {calibrated:.2f} s, {plain:.2f} s without) | {disagree} of {len(ytest)} |")
    print()
    print("Reliability: the test examples by the probability of their most probable class, in 10 bins; "
          "per bin the examples, their mean probability and the share predicted correctly.")
    print()
    print("| bin | zelmor: examples | mean probability | correct | scikit-learn: examples | mean probability "
          "| correct |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for b, (a, t) in enumerate(zip(reliability(ours, classes, ytest),
                                   reliability(probabilities, theirs.classes_, ytest))):
        cells = [f"{row[0]} | {row[1]:.3f} | {row[2]:.3f}" if row[0] else f"{row[0]} | | " for row in (a, t)]
        print(f"| {b / 10:.1f}-{(b + 1) / 10:.1f} | {cells[0]} | {cells[1]} |")


if __name__ == "__main__":
    main(sys.argv[1])
