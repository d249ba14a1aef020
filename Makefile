# Thin wrapper over CMake: `make` builds the MEX files into build/mex, `make test` runs every test.
#   BUILD_DIR=build  BUILD_TYPE=Release  WERROR=1 (warnings as errors)
# Each target checks for what it needs and nothing more (cmake/ensure-deps.sh): the build needs
# a compiler, CMake and Octave with mkoctfile; make demo and make test add theirs.

BUILD_DIR ?= build
BUILD_TYPE ?= Release
WERROR ?= 0

ifeq ($(WERROR),1)
  CMAKE_WERROR := ON
else
  CMAKE_WERROR := OFF
endif

MAKEFLAGS += --no-print-directory
# One target at a time: the work runs in parallel inside cmake --build, and two checks
# installing packages at once would collide.
.NOTPARALLEL:

.PHONY: all deps deps-demo deps-test configure build test test-sanitize test-threads test-cluster test-fresh \
        check-matlab fuzz bench clean demo package

all: build

deps:
	@bash cmake/ensure-deps.sh build
deps-demo:
	@bash cmake/ensure-deps.sh build demo
deps-test:
	@bash cmake/ensure-deps.sh build demo test

CONFIGURE = cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DZELMOR_WERROR=$(CMAKE_WERROR)

# Tests whose tools (GoogleTest, tmux) are missing are left out here; make test requires them.
configure: deps
	$(CONFIGURE) -DZELMOR_REQUIRE_TEST_TOOLS=OFF

# The MEX files (and, with MATLAB, their .mexa64 twins), with the help files and the helpers.
build: configure
	cmake --build $(BUILD_DIR) --parallel --target mex_files

# Every test, built and run; a missing test tool stops it instead of leaving tests out.
test: deps-test
	$(CONFIGURE) -DZELMOR_REQUIRE_TEST_TOOLS=ON
	cmake --build $(BUILD_DIR) --parallel
	cd $(BUILD_DIR) && ctest --output-on-failure

# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer in build-sanitize/, the
# Octave ones with instrumented MEX files in octave-cli (tests/sanitize/README.md). Any report
# fails. Tests that cap the address space cannot run under ASan and are left out.
SANITIZE_DIR ?= build-sanitize
test-sanitize: deps-test
	cmake -S . -B $(SANITIZE_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELMOR_SANITIZE=ON \
	  -DZELMOR_BUILD_BENCH=OFF -DZELMOR_WERROR=$(CMAKE_WERROR) -DZELMOR_REQUIRE_TEST_TOOLS=ON
	cmake --build $(SANITIZE_DIR) --parallel
	cd $(SANITIZE_DIR) && ctest --output-on-failure -LE address-space-limit

# The engine's tests (threads, kernels, paths, cross-validation) under ThreadSanitizer in
# build-threads/; any report fails.
THREADS_DIR ?= build-threads
test-threads: deps-test
	cmake -S . -B $(THREADS_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELMOR_THREAD_SANITIZE=ON \
	  -DZELMOR_BUILD_BENCH=OFF -DZELMOR_WERROR=$(CMAKE_WERROR) -DZELMOR_REQUIRE_TEST_TOOLS=ON
	cmake --build $(THREADS_DIR) --parallel --target engine_tests
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" $(THREADS_DIR)/tests/engine/engine_tests

# The MATLAB builds, checked without MATLAB in build-matlab/, warnings as errors: CMake against
# the stand-in MATLAB root of tests/matlab-stub, every MATLAB MEX file built and run in its
# stand-in host, their exports and those of make_mex's flags, CMake with MATLAB alone and with
# no host, and inst/ scanned for Octave-only code; see tests/matlab-stub/check.sh.
MATLAB_CHECK_DIR ?= build-matlab
check-matlab: deps-test
	bash tests/matlab-stub/check.sh $(MATLAB_CHECK_DIR)

# The cluster helpers on a one-node Slurm of the test's own, as root: started, used for three
# searches (one with a task killed), stopped, and nothing of it left; see
# tests/cluster/test-cluster.sh.
test-cluster: deps-test
	$(CONFIGURE) -DZELMOR_REQUIRE_TEST_TOOLS=ON
	cmake --build $(BUILD_DIR) --parallel --target mex_files
	bash tests/cluster/test-cluster.sh $(BUILD_DIR)/mex

# The README's commands on a fresh machine, as root: a minimal Debian 12 root from debootstrap
# (built once, cached in /var/cache/zelmor-fresh), only make installed, a clone of HEAD; the
# install lines by need, make and pkg install by a user without root on the build's packages
# alone, then make demo and make test inside it; see tests/fresh/test-fresh.sh.
test-fresh:
	bash tests/fresh/test-fresh.sh

# libFuzzer targets (clang) in build-fuzz/, each run over the committed corpus and then for
# FUZZ_SECONDS; see fuzz/run.sh.
FUZZ_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
fuzz:
	bash fuzz/run.sh $(FUZZ_DIR) $(FUZZ_SECONDS)

# The benchmarks: the solver's speed against the reference solver and the memory floor, then
# the time to a tuned model against scikit-learn's GridSearchCV (installed for it when missing,
# as root) and one large fit, satimage's solves cell by cell, fits on tens of thousands of
# examples, probabilities against SVC(probability=True), then reading LIBSVM files against the
# statistics package's libsvmread (installed likewise); printed as tables. Takes about half an
# hour and up to 3 GB of memory; not part of `make test`.
bench: configure
	cmake --build $(BUILD_DIR) --parallel --target solver_bench mex_files
	$(BUILD_DIR)/bench/solver_bench
	bash bench/time_to_model.sh $(abspath $(BUILD_DIR))/mex
	octave-cli -f --no-history --no-window-system \
	  --eval "addpath('$(abspath $(BUILD_DIR))/mex', 'bench'); cell_costs(pwd)"
	bash bench/large_fits.sh $(abspath $(BUILD_DIR))/mex
	bash bench/probability_bench.sh $(abspath $(BUILD_DIR))/mex
	bash bench/svmlight_bench.sh $(abspath $(BUILD_DIR))/mex

# The digits example: builds only the MEX files, then trains, tests and draws
# $(BUILD_DIR)/digits_demo.png.
demo: deps-demo configure
	cmake --build $(BUILD_DIR) --parallel --target mex_files
	octave-cli -f --no-history --no-window-system --eval "figureFile = '$(abspath $(BUILD_DIR))/digits_demo.png'; \
	  addpath('$(abspath $(BUILD_DIR))/mex'); run('$(CURDIR)/examples/digits_demo.m')"

# The Octave package for `pkg install`: $(BUILD_DIR)/zelmor-VERSION.tar.gz.
package:
	@bash package/make_package.sh $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_DIR) $(THREADS_DIR) $(FUZZ_DIR) $(MATLAB_CHECK_DIR)
