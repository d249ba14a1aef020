#!/usr/bin/env bash
# Probabilities on satimage: zelmor's calibrated probabilities beside scikit-learn's
# SVC(probability=True), each at its own chosen cell of one grid and one set of folds
# (bench/probability_bench.m, bench/probability_bench.py): test log-losses, the seconds
# calibration adds, and a reliability table. scikit-learn is this benchmark's alone: installed
# here (as root, with apt-get) when missing, never by the tests or CI; without it only zelmor's
# figures are printed.
#   usage: bench/probability_bench.sh MEX_DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
mexdir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

source "$root/bench/sklearn_python.sh"
octave=(octave-cli -f --no-history --no-window-system)
"${octave[@]}" --eval "addpath('$mexdir', '$root/bench'); probability_bench('$root', '$work')"
if has_sklearn; then
    "$python" "$root/bench/probability_bench.py" "$work"
else
    echo "scikit-learn is not installed (python3-sklearn): zelmor's figures only"
    cat "$work/satimage-zelmor-model.csv"
fi
