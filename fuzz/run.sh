#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into BUILD_DIR and runs each for SECONDS: first over
# the committed corpus (a regression run), then fuzzing from it. New inputs go to
# BUILD_DIR/corpus/<target>, never into the committed corpus; a finding stops the run with
# the input saved as BUILD_DIR/artifacts/<target>-crash-* and a non-zero exit.
#   usage: fuzz/run.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build-fuzz}
seconds=${2:-60}
targets=(project_simplex_fuzzer solve_dual_fuzzer svmlight_fuzzer)

# clang alone is not enough: libFuzzer and the sanitizer runtimes are only recommended by
# Debian's clang packages, which --no-install-recommends leaves out.
fuzzer_runtime() {
    local runtime
    runtime=$(clang++ -print-file-name=libclang_rt.fuzzer-x86_64.a 2>/dev/null) || return 1
    [[ "$runtime" == /* && -f "$runtime" ]]
}
missing=()
if ! command -v clang++ >/dev/null 2>&1; then
    missing+=(clang libclang-rt-dev)
elif ! fuzzer_runtime; then
    version=$(clang++ -dumpversion | cut -d. -f1)
    missing+=("libclang-rt-${version}-dev")
fi
if [ ${#missing[@]} -gt 0 ]; then
    bash cmake/apt-install.sh "what the fuzzers need" "${missing[@]}"
fi

cmake -S fuzz -B "$build_dir" -DCMAKE_CXX_COMPILER=clang++
cmake --build "$build_dir" --parallel

for target in "${targets[@]}"; do
    corpus="$build_dir/corpus/$target"
    artifacts="$build_dir/artifacts"
    mkdir -p "$corpus" "$artifacts"
    echo "== $target: the committed corpus"
    "$build_dir/$target" -runs=0 -artifact_prefix="$artifacts/$target-" "fuzz/corpus/$target"
    echo "== $target: fuzzing for $seconds s"
    "$build_dir/$target" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$artifacts/$target-" \
        "$corpus" "fuzz/corpus/$target" 2>&1 | grep -v -E '^#[0-9]+'
done
