#!/usr/bin/env bash
# Installs what the build and the tests need on Debian, but only what is missing: a machine
# that has everything never runs apt. As root it installs; otherwise it prints the command.
set -euo pipefail

missing=()
command -v make >/dev/null 2>&1 || missing+=(make)
command -v cmake >/dev/null 2>&1 || missing+=(cmake)
command -v g++ >/dev/null 2>&1 || missing+=(g++)
command -v octave-cli >/dev/null 2>&1 || missing+=(octave)
command -v mkoctfile >/dev/null 2>&1 || missing+=(liboctave-dev)
# The demo's figure: octave-cli draws only through gnuplot.
command -v gnuplot >/dev/null 2>&1 || missing+=(gnuplot-nox)
# The Ctrl-C test types into a real terminal.
command -v tmux >/dev/null 2>&1 || missing+=(tmux)
# Lets zelmor_crossval run folds in parallel, and the tests compare that with serial runs.
ls -d /usr/share/octave/packages/parallel-* >/dev/null 2>&1 || missing+=(octave-parallel)

# GoogleTest's CMake package file stands for its headers and libraries (one Debian package).
have_gtest() {
    local config
    for config in /usr/lib/*/cmake/GTest/GTestConfig.cmake /usr/lib/cmake/GTest/GTestConfig.cmake \
                  /usr/local/lib/cmake/GTest/GTestConfig.cmake; do
        [ -f "$config" ] && return 0
    done
    return 1
}
have_gtest || missing+=(googletest libgtest-dev)

[ ${#missing[@]} -eq 0 ] && exit 0

exec bash "$(dirname "$0")/apt-install.sh" "build dependencies" "${missing[@]}"
