#!/usr/bin/env bash
# Installs what the build, the tests, the demo and the Octave package need on Debian, but only
# what is missing: a machine that has everything never runs apt. Each check looks for what is
# used at run time (a file, an Octave package, a program), not only for a command's name, since
# `apt-get install --no-install-recommends octave` leaves out the font and Ghostscript that its
# figures need. As root it installs; otherwise it prints the command to run.
set -euo pipefail

missing=()
has() { command -v "$1" >/dev/null 2>&1; }

has make || missing+=(make)
has cmake || missing+=(cmake)
# The build, and `pkg install`, which compiles the package's MEX files with g++ through make.
has g++ || missing+=(g++)
has octave-cli || missing+=(octave)
has mkoctfile || missing+=(liboctave-dev)
# Octave's gunzip, which unpacks the demo's data, runs gzip.
has gzip || missing+=(gzip)
# The demo's figure: octave-cli draws only through gnuplot; Octave's text renderer needs its
# FreeSans font as soon as an axes is made (the octave package only recommends it); and
# print -dpng goes through Ghostscript.
has gnuplot || missing+=(gnuplot-nox)
[ -f /usr/share/fonts/opentype/freefont/FreeSans.otf ] || missing+=(fonts-freefont-otf)
has gs || missing+=(ghostscript)
# The tests drive an interactive octave-cli in a tmux session to send it Ctrl-C.
has tmux || missing+=(tmux)

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

exec bash "$(dirname "$0")/apt-install.sh" "build and test dependencies" "${missing[@]}"
