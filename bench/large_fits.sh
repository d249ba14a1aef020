#!/usr/bin/env bash
# Many examples: the standard shuttle split (43 500 training examples, 9 features, 7 classes)
# and letter's (15 000, 16, 26), features scaled to [-1, 1] over the training examples. One fit
# at a fixed cell (shuttle: gamma 1, C = 16; letter: gamma 1.216, C = 16) against n, and
# shuttle's 7 x 7 grid of 5 folds on 2 threads, zelmor beside scikit-learn's SVC and, where
# installed, the statistics package's svmtrain (both one-vs-one), each fit in a process of its
# own: time, test accuracy and peak resident memory of the whole process. scikit-learn is
# installed here (as root, with apt-get) when missing, never by the tests or CI.
#   usage: bench/large_fits.sh MEX_DIR [--no-grid]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
mexdir=$(cd "$1" && pwd)
grid=${2:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python=/usr/bin/python3
[ -x "$python" ] || python=python3
if ! "$python" -c 'import sklearn' 2>/dev/null && [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
    echo "Installing python3-sklearn for this benchmark"
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends python3-sklearn >/dev/null
fi
octave() { octave-cli -f --no-history --no-window-system --eval "addpath('$mexdir', '$root/bench'); $1"; }
haveSklearn=0
"$python" -c 'import sklearn' 2>/dev/null && haveSklearn=1
haveSvmtrain=0
octave "pkg load statistics; exit(!exist('svmtrain'))" >/dev/null 2>&1 && haveSvmtrain=1

octave "large_fits('write', '$root', '$work')"
results=$work/results
run() { grep '^RESULT ' | cut -d' ' -f2 | tee -a "$results"; }
for set in "shuttle 5000 10000 20000 43500" "letter 15000"; do
    read -r name sizes <<< "$set"
    for n in $sizes; do
        octave "large_fits('zelmor', '$work', '$name', '$n')" | run
        [ $haveSklearn = 0 ] || "$python" "$root/bench/large_fits.py" "$work" "$name" "$n" | run
        [ $haveSvmtrain = 0 ] || octave "large_fits('svmtrain', '$work', '$name', '$n')" 2>/dev/null | run
    done
done
if [ "$grid" != --no-grid ]; then
    octave "large_fits('grid', '$work', 'shuttle')" | tee "$work/grid.log" | run
    grep chosen "$work/grid.log"
    [ $haveSklearn = 0 ] || "$python" "$root/bench/large_fits.py" "$work" shuttle grid | tee "$work/sk.log" | run
    [ $haveSklearn = 0 ] || grep chosen "$work/sk.log"
fi

echo
echo "One fit at a fixed cell and shuttle's grid (5 folds, 2 threads): wall-clock seconds, test accuracy, peak resident MB of the whole process."
echo
echo "| data | n | zelmor | scikit-learn SVC | statistics svmtrain |"
echo "|---|---:|---|---|---|"
awk -F, '
    { isGrid = ($2 ~ /-grid$/); key = $1 SUBSEP $3 SUBSEP isGrid
      if (!(key in seen)) { seen[key] = 1; order[++count] = key }
      who = $2; sub(/-grid$/, "", who); cell[key, who] = sprintf("%.2f s, %.2f%%, %d MB", $4, 100 * $5, $6)
      if (isGrid) grid[key] = 1 }
    END { for (i = 1; i <= count; i++) { key = order[i]; split(key, part, SUBSEP)
            label = part[1] (key in grid ? ", 7 x 7 grid" : "")
            printf "| %s | %s | %s | %s | %s |\n", label, part[2], cell[key, "zelmor"],
                   ((key, "sklearn") in cell ? cell[key, "sklearn"] : "-"),
                   ((key, "svmtrain") in cell ? cell[key, "svmtrain"] : "-") } }' "$results"
