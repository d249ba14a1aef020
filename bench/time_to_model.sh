#!/usr/bin/env bash
# Time to a tuned model, zelmor_train against scikit-learn's GridSearchCV(SVC), on the same
# split, grid and folds (bench/time_to_model.m, bench/time_to_model.py), and a single fit on
# the standard letter training set. scikit-learn is this benchmark's alone: installed here (as
# root, with apt-get) when missing, never by the tests or CI; without it only zelmor's figures
# are printed.
#   usage: bench/time_to_model.sh MEX_DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
mexdir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

source "$root/bench/sklearn_python.sh"
octave=(octave-cli -f --no-history --no-window-system)
"${octave[@]}" --eval "addpath('$mexdir', '$root/bench'); time_to_model('$root', '$work')"
if has_sklearn; then
    "$python" "$root/bench/time_to_model.py" "$work"
else
    echo "scikit-learn is not installed (python3-sklearn): zelmor's figures only"
    column -s, -t "$work/zelmor.csv"
fi
"${octave[@]}" --eval "addpath('$mexdir', '$root/bench'); single_fit('$root')"
