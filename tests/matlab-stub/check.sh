#!/usr/bin/env bash
# make check-matlab: the MATLAB side of the build, checked where no MATLAB is installed, in
# DIR (build-matlab/ by default), with warnings as errors throughout:
#  1. assembles the stand-in MATLAB root of tests/matlab-stub in DIR/root, its libraries
#     compiled;
#  2. configures CMake against it (and Octave), builds every MATLAB MEX file, the test-only
#     one included, and runs them in the stand-in host (matlab_host_test.cpp);
#  3. checks that each MATLAB MEX file exports mexFunction and mexfilerequiredapiversion and
#     nothing else, and that none holds the reference solver;
#  4. compiles the API version file and hello with make_mex's flags for MATLAB, as MATLAB's mex
#     does, and checks the same two exports; the same with -fvisibility=hidden must lose the
#     version symbol, or the check could not tell;
#  5. configures with MATLAB alone (hello then builds) and with neither host (CMake must stop,
#     naming both);
#  6. scans inst/, and make_mex.m for syntax, for Octave-only code (octave_only_scan.m), after
#     checking the scan on its own cases.
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
stub=$root/tests/matlab-stub
mkdir -p "${1:-$root/build-matlab}"
dir=$(cd "${1:-$root/build-matlab}" && pwd)
cxx=${CXX:-g++}
step() { printf '\n== check-matlab: %s\n' "$*"; }

step "stand-in MATLAB root in $dir/root"
matlab=$dir/root
rm -rf "$matlab"
cp -r "$stub/root" "$matlab"
libraries=$matlab/bin/glnxa64
mkdir -p "$libraries"
stand_in_library() {
    local name=$1
    shift
    "$cxx" -std=c++17 -O1 -Wall -Wextra -Werror -fPIC -shared -I"$matlab/extern/include" -I"$stub/host" \
        -Wl,-soname,"lib$name.so" -o "$libraries/lib$name.so" "$@"
}
stand_in_library ut "$stub/host/ut.cpp"
stand_in_library mx "$stub/host/mx.cpp"
stand_in_library mex "$stub/host/mex.cpp" -L"$libraries" -lut

step "CMake with MATLAB and Octave: every MATLAB MEX file, then the stand-in host's tests"
cmake -S "$root" -B "$dir/both" -DMatlab_ROOT_DIR="$matlab" -DZELMOR_MATLAB_STAND_IN=ON \
      -DZELMOR_WERROR=ON -DZELMOR_BUILD_BENCH=OFF
cmake --build "$dir/both" --parallel --target matlab_mex matlab_host_tests
(cd "$dir/both" && ctest --output-on-failure -L matlab-stand-in)

step "exports of the MATLAB MEX files"
mapfile -t built < <(find "$dir/both" -name '*.mexa64' | sort)
[ ${#built[@]} -ge 6 ] || { echo "expected at least 6 MATLAB MEX files, found ${#built[@]}" >&2; exit 1; }
exports_of() { nm -D --defined-only "$1" | awk '{print $3}' | sort | tr '\n' ' '; }
expected='mexFunction mexfilerequiredapiversion '
for file in "${built[@]}"; do
    exported=$(exports_of "$file")
    if [ "$exported" != "$expected" ]; then
        echo "$file exports '$exported', expected '$expected'" >&2
        exit 1
    fi
    if nm -C "$file" | grep -q 'zelmor::reference::'; then
        echo "$file holds the reference solver" >&2
        exit 1
    fi
    echo "$file: $exported"
done

step "make_mex's flags for MATLAB, as MATLAB's mex compiles and links"
list=$root/cmake/mex_sources.mk
make_mex_flags=$(sed -n 's/^EXACT_FLAGS *= *//p; s/^MATLAB_FLAGS *= *//p' "$list" | tr '\n' ' ')
echo "flags: $make_mex_flags"
mex_like() {
    local output=$1
    shift
    # shellcheck disable=SC2086  # the flags are words
    "$cxx" -fexceptions -fPIC -fno-omit-frame-pointer -pthread $make_mex_flags "$@" \
        -DMATLAB_DEFAULT_RELEASE=R2018a -DMATLAB_MEX_FILE -DZELMOR_HOST_MATLAB \
        -I"$matlab/extern/include" -I"$root/gateways" -shared -Wl,--no-undefined \
        -Wl,--version-script,"$matlab/extern/lib/glnxa64/c_exportsmexfileversion.map" \
        -o "$output" "$matlab/extern/version/cpp_mexapi_version.cpp" \
        "$root/gateways/hello.cpp" "$root/gateways/mex_host.cpp" -L"$libraries" -lmx -lmex -lut
}
mex_like "$dir/hello_make_mex.mexa64" -Wall -Wextra -Werror
exported=$(exports_of "$dir/hello_make_mex.mexa64")
if [ "$exported" != "$expected" ]; then
    echo "with make_mex's flags hello exports '$exported', expected '$expected'" >&2
    exit 1
fi
echo "make_mex's flags: $exported"
mex_like "$dir/hello_hidden.mexa64" -fvisibility=hidden
if exports_of "$dir/hello_hidden.mexa64" | grep -q mexfilerequiredapiversion; then
    echo "the stand-in root exports the API version symbol even under -fvisibility=hidden:" \
         "this check cannot tell a MEX file MATLAB refuses" >&2
    exit 1
fi

step "CMake with MATLAB alone, and with neither host"
cmake -S "$root" -B "$dir/matlab-only" -DMatlab_ROOT_DIR="$matlab" -DCMAKE_DISABLE_FIND_PACKAGE_OctaveMex=ON \
      -DZELMOR_WERROR=ON -DZELMOR_BUILD_BENCH=OFF -DBUILD_TESTING=OFF
cmake --build "$dir/matlab-only" --parallel --target hello_matlab
rm -rf "$dir/no-host"
if cmake -S "$root" -B "$dir/no-host" -DCMAKE_DISABLE_FIND_PACKAGE_OctaveMex=ON \
         -DCMAKE_DISABLE_FIND_PACKAGE_Matlab=ON -DBUILD_TESTING=OFF > "$dir/no-host.log" 2>&1; then
    echo "CMake configured with neither Octave nor MATLAB" >&2
    exit 1
fi
grep -q 'Found neither GNU Octave nor MATLAB' "$dir/no-host.log" || {
    cat "$dir/no-host.log" >&2
    echo "CMake stopped without saying that neither host was found" >&2
    exit 1
}
echo "neither host: CMake stops and says so"

step "Octave-only code in inst/ and make_mex.m"
octave-cli -f --no-history --no-window-system --eval "
  addpath('$stub');
  cases = fullfile('$stub', 'scan_cases');
  evalc('[count, lines] = octave_only_scan({fullfile(cases, ''octave_only.m'')}, {});');
  expected = numel(strsplit(strtrim(fileread(fullfile(cases, 'octave_only.m'))), sprintf('\n')));
  assert(isequal(lines, 1:expected), 'the scan found lines %s of octave_only.m, not each of 1..%d once', ...
         mat2str(lines), expected);
  assert(octave_only_scan({fullfile(cases, 'matlab_too.m')}, {}) == 0, 'the scan found something in matlab_too.m');
  % Files that call Octave's own functions only behind a check for Octave: their syntax alone.
  guarded = {'$root/make_mex.m'; '$root/inst/private/core_count.m'; '$root/inst/private/flush_output.m'};
  helpers = setdiff([glob('$root/inst/*.m'); glob('$root/inst/private/*.m')], guarded);
  found = octave_only_scan(helpers, guarded);
  printf('%d helper files, and %d for syntax: %d Octave-only tokens\n', numel(helpers), numel(guarded), found);
  exit(found > 0);"

step "passed"
