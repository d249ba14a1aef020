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

# Debian's python3, which python3-sklearn serves (another python3 may come first on the PATH).
python=/usr/bin/python3
[ -x "$python" ] || python=python3
if ! "$python" -c 'import sklearn' 2>/dev/null && [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
    echo "Installing python3-sklearn for this benchmark"
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends python3-sklearn >/dev/null
fi
octave=(octave-cli -f --no-history --no-window-system)
"${octave[@]}" --eval "addpath('$mexdir', '$root/bench'); time_to_model('$root', '$work')"
if "$python" -c 'import sklearn' 2>/dev/null; then
    "$python" "$root/bench/time_to_model.py" "$work"
else
    echo "scikit-learn is not installed (python3-sklearn): zelmor's figures only"
    column -s, -t "$work/zelmor.csv"
fi
"${octave[@]}" --eval "addpath('$mexdir', '$root/bench'); single_fit('$root')"
