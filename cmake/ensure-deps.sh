#!/usr/bin/env bash
# Checks what a make target needs, by purpose, and nothing more:
#   build   the MEX files (make) and the Octave package (pkg install compiles them too):
#           make, CMake, a C++17 compiler, Octave with mkoctfile
#   demo    make demo: gzip, gnuplot, Octave's FreeSans font, Ghostscript
#   test    make test, beyond the build and the demo (which it runs): tmux, GoogleTest
# Each check looks for what is used at run time (a file, a program), not only for a command's
# name, since `apt-get install --no-install-recommends octave` leaves out the font and
# Ghostscript that its figures need. When something is missing: as root on a system with
# apt-get it is installed; otherwise the list of what is missing, grouped by purpose, and the
# command to install it, and a failure.
#   usage: cmake/ensure-deps.sh PURPOSE...      (make test: build demo test)
set -euo pipefail

declare -A wanted=()
for purpose in "$@"; do
    case $purpose in
        build | demo | test) wanted[$purpose]=1 ;;
        *) echo "usage: $0 build|demo|test..." >&2; exit 2 ;;
    esac
done
[ ${#wanted[@]} -gt 0 ] || { echo "usage: $0 build|demo|test..." >&2; exit 2; }

has() { command -v "$1" >/dev/null 2>&1; }
# A compiler given in CXX (as CMake reads it), else GCC's: mkoctfile's own is g++ on Debian.
has_compiler() { local compiler=(${CXX:-g++}); has "${compiler[0]}"; }
# GoogleTest's CMake package file stands for its headers and libraries (one Debian package);
# one built in a prefix of the user's own counts when CMAKE_PREFIX_PATH or GTest_DIR names it.
has_gtest() {
    local prefix config
    local candidates=(/usr/lib/*/cmake/GTest/GTestConfig.cmake /usr/lib/cmake/GTest/GTestConfig.cmake
                      /usr/local/lib/cmake/GTest/GTestConfig.cmake /usr/local/lib/*/cmake/GTest/GTestConfig.cmake)
    [ -n "${GTest_DIR:-}" ] && candidates+=("$GTest_DIR/GTestConfig.cmake")
    local prefixes
    IFS=':;' read -r -a prefixes <<< "${CMAKE_PREFIX_PATH:-}"
    for prefix in "${prefixes[@]}"; do
        [ -n "$prefix" ] && candidates+=("$prefix"/lib/cmake/GTest/GTestConfig.cmake "$prefix"/lib/*/cmake/GTest/GTestConfig.cmake
                                         "$prefix"/lib64/cmake/GTest/GTestConfig.cmake)
    done
    for config in "${candidates[@]}"; do
        [ -f "$config" ] && return 0
    done
    return 1
}

purposes=(build demo test)
declare -A heading=(
    [build]="to build the MEX files (make; pkg install of the package too)"
    [demo]="for the demo (make demo; make test runs it too)"
    [test]="for the tests (make test)"
)
declare -A report=()
packages=()

# need PURPOSE PACKAGES WHAT CHECK...: PACKAGES are Debian's (space-separated), WHAT says what
# they stand for on any system, CHECK is the command that succeeds when it is there.
need() {
    local purpose=$1 debian=$2 what=$3
    shift 3
    [ -n "${wanted[$purpose]:-}" ] || return 0
    "$@" && return 0
    report[$purpose]+=$(printf '  %-52s Debian: %s' "$what" "$debian")$'\n'
    local package
    for package in $debian; do
        [[ " ${packages[*]} " == *" $package "* ]] || packages+=("$package")
    done
}

need build make "make" has make
need build cmake "CMake 3.18 or later (cmake)" has cmake
need build g++ "a C++17 compiler (g++, or the one CXX names)" has_compiler
need build octave "GNU Octave (octave-cli)" has octave-cli
need build liboctave-dev "Octave's headers and mkoctfile" has mkoctfile
# Octave's gunzip, which unpacks the demo's data, runs gzip.
need demo gzip "gzip" has gzip
# The demo's figure: octave-cli draws only through gnuplot; Octave's text renderer needs its
# FreeSans font as soon as an axes is made (the octave package only recommends it); and
# print -dpng goes through Ghostscript.
need demo gnuplot-nox "gnuplot" has gnuplot
need demo fonts-freefont-otf "the GNU FreeFont FreeSans font (FreeSans.otf)" \
    test -f /usr/share/fonts/opentype/freefont/FreeSans.otf
need demo ghostscript "Ghostscript (gs)" has gs
# The Ctrl-C test drives an interactive octave-cli in a tmux session.
need test tmux "tmux" has tmux
need test "googletest libgtest-dev" "GoogleTest (its CMake package GTestConfig.cmake)" has_gtest

[ ${#packages[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ] && has apt-get; then
    exec bash "$(dirname "$0")/apt-install.sh" "what make needs" "${packages[@]}"
fi
for purpose in "${purposes[@]}"; do
    [ -n "${report[$purpose]:-}" ] && printf 'Missing %s:\n%s' "${heading[$purpose]}" "${report[$purpose]}" >&2
done
if ! has apt-get; then
    echo "This system has no apt-get: install these with its own package manager (Debian's names are a guide)." >&2
    exit 1
fi
exec bash "$(dirname "$0")/apt-install.sh" --listed "what make needs" "${packages[@]}"
