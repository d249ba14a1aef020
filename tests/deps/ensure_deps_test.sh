#!/usr/bin/env bash
# cmake/ensure-deps.sh asks each target for what it needs and no more: on a PATH without the
# build's programs and without apt-get (so that nothing is ever installed), each set of
# purposes must fail and list, under its own heading, exactly the programs it needs.
#   usage: ensure_deps_test.sh REPO_ROOT
set -euo pipefail
script=$1/cmake/ensure-deps.sh
bin=$(mktemp -d)
trap 'rm -rf "$bin"' EXIT
# Only what the script itself runs.
for program in bash env id dirname; do
    ln -s "$(command -v "$program")" "$bin/$program"
done

# purposes | headings and programs the list must hold | what it must not
cases=(
    "build|to build the MEX files;Debian: cmake;Debian: g++;Debian: octave;Debian: liboctave-dev|for the demo;for the tests;gnuplot;tmux"
    "build demo|to build the MEX files;for the demo;Debian: gnuplot-nox;Debian: ghostscript;Debian: gzip|for the tests;tmux"
    "build demo test|to build the MEX files;for the demo;for the tests;Debian: tmux|"
    "demo|for the demo;Debian: gnuplot-nox|to build the MEX files;for the tests"
)
for entry in "${cases[@]}"; do
    IFS='|' read -r purposes holds lacks <<< "$entry"
    if output=$(env PATH="$bin" bash "$script" $purposes 2>&1); then
        echo "ensure-deps.sh $purposes: passed without its programs"; exit 1
    fi
    grep -q "has no apt-get" <<< "$output" || { echo "ensure-deps.sh $purposes: no word on apt-get:"; echo "$output"; exit 1; }
    IFS=';' read -r -a pieces <<< "$holds"
    for piece in "${pieces[@]}"; do
        grep -qF -- "$piece" <<< "$output" || { echo "ensure-deps.sh $purposes leaves out '$piece':"; echo "$output"; exit 1; }
    done
    IFS=';' read -r -a pieces <<< "$lacks"
    for piece in "${pieces[@]}"; do
        ! grep -qF -- "$piece" <<< "$output" || { echo "ensure-deps.sh $purposes asks for '$piece':"; echo "$output"; exit 1; }
    done
done
# With the build's programs of this machine added (still no apt-get), the build asks for nothing.
for program in make cmake g++ octave-cli mkoctfile; do
    ln -s "$(command -v "$program")" "$bin/$program"
done
env PATH="$bin" bash "$script" build || { echo "ensure-deps.sh build fails with every program of the build"; exit 1; }
echo "ensure-deps.sh: ${#cases[@]} sets of purposes, each listing what it needs and no more"
