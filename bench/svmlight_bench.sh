#!/usr/bin/env bash
# Reading LIBSVM files: zelmor_read_svmlight against libsvmread of Octave's statistics package,
# on the same files of over 100 MB, value for value (bench/svmlight_bench.m), plain and gzip.
# The statistics package is this benchmark's alone: installed here (as root, with apt-get, as
# Debian's octave-statistics) when missing, never by the tests or CI; without it only zelmor's
# figures are printed.
#   usage: bench/svmlight_bench.sh MEX_DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
mexdir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

octave=(octave-cli -f --no-history --no-window-system)
has_statistics() { "${octave[@]}" --eval "pkg load statistics" >/dev/null 2>&1; }
if ! has_statistics && [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
    echo "Installing octave-statistics for this benchmark"
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends octave-statistics >/dev/null
fi
"${octave[@]}" --eval "addpath('$mexdir', '$root/bench'); svmlight_bench('$root', '$work')"
