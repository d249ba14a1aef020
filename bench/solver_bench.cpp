// Speed of the solver: the sweep mode the solver picks (class-sparse, or dense where that
// serves better), the dense mode over every class, the reference solver, the memory floor of one
// iteration and, beside it, the memory work of applying only a few changed classes. On RBF
// kernels (features scaled to [-1, 1]) of the letter-recognition and satellite-image data in
// bench/data, and of letter-like clustered data (16 integer features, one cluster per class)
// for ten classes; beta = 0.1 throughout. Prints tables; asserts nothing but that every variant
// agrees with the others bit for bit.
//
// Times are the CPU time of the benchmark's thread, so that other work on the machine, which
// takes the CPU away now and then, does not count; what it does to shared caches still does.
//
//   solver_bench [--quick]     --quick: smaller problems, for a smoke run
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "dual_solver.h"
#include "problems.h"
#include "reference.h"
#include "solve_internals.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

using testing_support::OwnedProblem;
using zelmor::detail::InstructionSet;
using zelmor::detail::SweepMode;

constexpr double kBeta = 0.1;
// With these, n = 3000 letters take about 64 000 iterations to converge.
constexpr double kLetterGamma = 0.5;
constexpr double kSatelliteGamma = 1.0;
constexpr double kClusterGamma = 0.006;

double threadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

double secondsOf(const std::function<void()>& work) {
    const double start = threadSeconds();
    work();
    return threadSeconds() - start;
}

// The fastest of several runs: the one least disturbed by the rest of the machine.
double bestSeconds(int repeats, const std::function<void()>& work) {
    double best = std::numeric_limits<double>::infinity();
    for (int r = 0; r < repeats; ++r) best = std::min(best, secondsOf(work));
    return best;
}

OwnedProblem letters(std::int32_t n) {
    return testing_support::rbfProblemFromCsv(ZELMOR_BENCH_DATA_DIR "/letter.csv.gz", n, kLetterGamma, kBeta);
}

OwnedProblem satellite(std::int32_t n) {
    return testing_support::rbfProblemFromCsv(ZELMOR_BENCH_DATA_DIR "/satellite.csv.gz", n, kSatelliteGamma, kBeta);
}

// The floor of one iteration: every gradient entry read, multiplied in and written once, one
// kernel column read, and nothing else. Same blocked layout and vector width as the dense mode.
#if defined(__x86_64__)
__attribute__((target("avx512f"))) void floorPassAvx512(double* grad, std::int64_t blocks, std::int32_t k,
                                                         const double* column, const double* delta) {
    for (std::int64_t b = 0; b < blocks; ++b) {
        const __m512d x = _mm512_loadu_pd(column + b * 8);
        double* g = grad + b * k * 8;
        for (std::int32_t m = 0; m < k; ++m, g += 8) {
            _mm512_store_pd(g, _mm512_add_pd(_mm512_mul_pd(_mm512_set1_pd(delta[m]), x), _mm512_load_pd(g)));
        }
    }
}
#endif

void floorPassPortable(double* grad, std::int64_t blocks, std::int32_t k, const double* column, const double* delta) {
    for (std::int64_t b = 0; b < blocks; ++b) {
        double* g = grad + b * k * 8;
        for (std::int32_t m = 0; m < k; ++m, g += 8) {
            for (int lane = 0; lane < 8; ++lane) g[lane] = delta[m] * column[b * 8 + lane] + g[lane];
        }
    }
}

// Seconds per pass of `pass` over a kernel column, the best of repeats, cycling through the
// columns as the solver does; a pass covers whole blocks only, scaled here to all n examples.
double secondsPerPass(const OwnedProblem& p, int passes, int repeats, const std::function<void(const double*)>& pass) {
    std::int64_t column = 0;
    const double seconds = bestSeconds(repeats, [&] {
        for (int i = 0; i < passes; ++i) {
            column = (column + 7919) % p.n;
            pass(p.kernel.data() + column * p.n);
        }
    });
    return seconds / passes * static_cast<double>(p.n) / static_cast<double>(p.n / 8 * 8);
}

double floorSeconds(const OwnedProblem& p, int passes, int repeats) {
    const std::int64_t blocks = p.n / 8;  // whole blocks only: the floor reads no padding
    std::vector<double> delta(static_cast<std::size_t>(p.k));
    for (std::int32_t m = 0; m < p.k; ++m) delta[static_cast<std::size_t>(m)] = 1e-3 * (m % 5 - 2);
    const std::size_t cells = static_cast<std::size_t>(blocks * p.k * 8);
    double* grad = static_cast<double*>(::operator new(cells * sizeof(double), std::align_val_t{64}));
    std::fill(grad, grad + cells, 0.25);
    const bool avx512 = zelmor::detail::cpuSupports(InstructionSet::Avx512);
    const double seconds = secondsPerPass(p, passes, repeats, [&](const double* x) {
#if defined(__x86_64__)
        if (avx512) {
            floorPassAvx512(grad, blocks, p.k, x, delta.data());
            return;
        }
#endif
        floorPassPortable(grad, blocks, p.k, x, delta.data());
    });
    ::operator delete(grad, std::align_val_t{64});
    return seconds;
}

// What an iteration costs that only applies its changed classes and selects nothing: c
// class-major rows of the gradient, each read, multiplied in and written once, and one kernel
// column, asked for ahead as the solver asks for it. A solve that writes the changed classes of
// every iteration does at least this much memory work per iteration, before it selects anything.
#if defined(__x86_64__)
__attribute__((target("avx512f"))) void changedPassAvx512(double* const* rows, int c, std::int64_t blocks,
                                                           const double* column, const double* delta) {
    for (std::int64_t b = 0; b < blocks; ++b) {
        __builtin_prefetch(column + (b + 64) * 8);
        const __m512d x = _mm512_loadu_pd(column + b * 8);
        for (int i = 0; i < c; ++i) {
            double* g = rows[i] + b * 8;
            _mm512_store_pd(g, _mm512_add_pd(_mm512_mul_pd(_mm512_set1_pd(delta[i]), x), _mm512_load_pd(g)));
        }
    }
}
#endif

void changedPassPortable(double* const* rows, int c, std::int64_t blocks, const double* column, const double* delta) {
    for (std::int64_t b = 0; b < blocks; ++b) {
        for (int i = 0; i < c; ++i) {
            double* g = rows[i] + b * 8;
            for (int lane = 0; lane < 8; ++lane) g[lane] = delta[i] * column[b * 8 + lane] + g[lane];
        }
    }
}

// Seconds per pass over c changed classes, measured like the floor.
double changedClassesSeconds(const OwnedProblem& p, int c, int passes, int repeats) {
    const std::int64_t blocks = p.n / 8;
    const double delta[4] = {1e-3, -2e-3, 1e-3, -1e-3};
    std::vector<double*> rows(static_cast<std::size_t>(c));
    for (auto& row : rows) {
        row = static_cast<double*>(::operator new(static_cast<std::size_t>(blocks * 8) * sizeof(double), std::align_val_t{64}));
        std::fill(row, row + blocks * 8, 0.25);
    }
    const bool avx512 = zelmor::detail::cpuSupports(InstructionSet::Avx512);
    const double seconds = secondsPerPass(p, passes, repeats, [&](const double* x) {
#if defined(__x86_64__)
        if (avx512) {
            changedPassAvx512(rows.data(), c, blocks, x, delta);
            return;
        }
#endif
        changedPassPortable(rows.data(), c, blocks, x, delta);
    });
    for (auto& row : rows) ::operator delete(row, std::align_val_t{64});
    return seconds;
}

bool identical(const zelmor::SolveResult& a, const zelmor::SolveResult& b) {
    return a.iterationCount == b.iterationCount && a.tau.size() == b.tau.size() &&
           std::memcmp(a.tau.data(), b.tau.data(), a.tau.size() * sizeof(double)) == 0;
}

// A run that converged applied one update more than its count says.
std::int64_t updatesApplied(const zelmor::SolveResult& r) {
    return r.end == zelmor::SolveEnd::Converged ? r.iterationCount + 1 : r.iterationCount;
}

std::string cpuName() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    }
    return "unknown CPU";
}

// One stretch of a cold solve to tolerance 0.001 (all of it, or the first `limit` iterations),
// timed in the automatic mode, the dense mode and, when asked, the reference solver.
struct ColdRun {
    std::int32_t n = 0, k = 0;
    std::string stretch;
    std::int64_t updates = 0;
    double automatic = 0;  // seconds for the stretch
    double dense = 0;
    double reference = -1;  // not run
    double floor = 0;       // seconds for one floor pass
    double changedAlone[3] = {-1, -1, -1};  // seconds for one pass over 2, 3, 4 changed classes alone
    bool agree = true;
    zelmor::SolveResult result;
};

ColdRun coldRun(const OwnedProblem& p, std::int64_t limit, const std::string& stretch, int repeats, bool withReference) {
    const InstructionSet set = zelmor::detail::fastestSupported();
    const double tolerance = zelmor::kColdStartTolerance;
    ColdRun run;
    run.n = p.n;
    run.k = p.k;
    run.stretch = stretch;
    run.automatic = bestSeconds(repeats, [&] {
        run.result = zelmor::detail::solveDualUsing(set, p.problem(), p.start(), tolerance, limit, {}, SweepMode::Automatic);
    });
    zelmor::SolveResult dense;
    run.dense = bestSeconds(repeats, [&] {
        dense = zelmor::detail::solveDualUsing(set, p.problem(), p.start(), tolerance, limit, {}, SweepMode::Dense);
    });
    run.agree = identical(run.result, dense);
    run.updates = updatesApplied(run.result);
    run.floor = floorSeconds(p, 300, 7);
    if (withReference) {
        zelmor::SolveResult reference;
        run.reference = secondsOf([&] { reference = zelmor::reference::solveDual(p.problem(), p.start(), tolerance, limit); });
        run.agree = run.agree && identical(run.result, reference);
    }
    return run;
}

void measureChangedClassesAlone(const OwnedProblem& p, ColdRun* run) {
    for (int c = 2; c <= 4; ++c) run->changedAlone[c - 2] = changedClassesSeconds(p, c, 300, 7);
}

void printIterations(const std::vector<ColdRun>& runs) {
    std::printf("\nOne iteration, microseconds (best of repeats; reference: one run)\n");
    std::printf("%6s %3s  %-28s %8s %9s %8s %8s %10s %10s %10s\n", "n", "k", "stretch", "updates", "automatic", "dense",
                "floor", "auto/floor", "dense/floor", "reference");
    for (const auto& r : runs) {
        const double perUpdate = 1e6 / static_cast<double>(r.updates);
        char reference[32] = "-";
        if (r.reference >= 0) std::snprintf(reference, sizeof reference, "%.1f", r.reference * perUpdate);
        std::printf("%6d %3d  %-28s %8lld %9.2f %8.2f %8.2f %10.2f %10.2f %10s%s\n", r.n, r.k, r.stretch.c_str(),
                    static_cast<long long>(r.updates), r.automatic * perUpdate, r.dense * perUpdate, r.floor * 1e6,
                    r.automatic / static_cast<double>(r.updates) / r.floor,
                    r.dense / static_cast<double>(r.updates) / r.floor, reference, r.agree ? "" : "  RESULTS DIFFER");
    }
}

void printColdSolves(const std::vector<ColdRun>& runs) {
    std::printf("\nFull cold solve, tolerance 0.001, seconds\n");
    std::printf("%6s %3s %10s %10s %9s %10s %12s  %s\n", "n", "k", "iterations", "automatic", "dense", "reference",
                "ref/auto", "results");
    for (const auto& r : runs) {
        std::printf("%6d %3d %10lld %10.3f %9.3f %10.2f %12.1f  %s\n", r.n, r.k, static_cast<long long>(r.updates),
                    r.automatic, r.dense, r.reference, r.reference / r.automatic, r.agree ? "bit-identical" : "DIFFER");
    }
}

void printChangedClassesAlone(const std::vector<ColdRun>& runs) {
    std::printf("\nOnly the changed classes updated, nothing selected: one pass, microseconds, and its share of the floor\n");
    std::printf("%6s %3s %9s %9s %9s %8s %22s\n", "n", "k", "2 classes", "3 classes", "4 classes", "floor", "shares (2 / 3 / 4)");
    for (const auto& r : runs) {
        if (r.changedAlone[0] < 0) continue;
        std::printf("%6d %3d %9.2f %9.2f %9.2f %8.2f %10.2f / %.2f / %.2f\n", r.n, r.k, r.changedAlone[0] * 1e6,
                    r.changedAlone[1] * 1e6, r.changedAlone[2] * 1e6, r.floor * 1e6, r.changedAlone[0] / r.floor,
                    r.changedAlone[1] / r.floor, r.changedAlone[2] / r.floor);
    }
}

// The warm start's G * tau0 and the one iteration an infinite tolerance allows, from a tau0
// whose rows are mostly zero (a cold solve's result), against the reference solver.
void printWarmStart(const OwnedProblem& cold, const std::vector<double>& tau0, int repeats) {
    OwnedProblem p = cold;
    p.warm = true;
    p.tau0 = tau0;
    std::int64_t nonZeroRows = 0;
    for (std::int32_t i = 0; i < p.n; ++i) {
        for (std::int32_t m = 0; m < p.k; ++m) {
            if (tau0[static_cast<std::size_t>(i + m * p.n)] != 0.0) {
                ++nonZeroRows;
                break;
            }
        }
    }
    const double once = std::numeric_limits<double>::infinity();
    zelmor::SolveResult fast;
    const double fastSeconds = bestSeconds(repeats, [&] { fast = zelmor::solveDual(p.problem(), p.start(), once); });
    zelmor::SolveResult reference;
    const double referenceSeconds = secondsOf([&] { reference = zelmor::reference::solveDual(p.problem(), p.start(), once); });
    std::printf("\nWarm start from a cold solve's tau (%lld of %d rows not zero): G * tau0 and one iteration, ms\n",
                static_cast<long long>(nonZeroRows), p.n);
    std::printf("%6s %3s %9s %10s %8s  %s\n", "n", "k", "fast", "reference", "speedup", "results");
    std::printf("%6d %3d %9.1f %10.0f %8.1f  %s\n", p.n, p.k, fastSeconds * 1e3, referenceSeconds * 1e3,
                referenceSeconds / fastSeconds, identical(fast, reference) ? "bit-identical" : "DIFFER");
}

void printInstructionSets(const OwnedProblem& p, std::int64_t iterations) {
    std::printf("\nOne iteration by instruction set, n = %d, k = %d, first %lld iterations, microseconds\n", p.n, p.k,
                static_cast<long long>(iterations));
    std::printf("  %-9s %10s %8s\n", "", "automatic", "dense");
    for (InstructionSet set : {InstructionSet::Portable, InstructionSet::Avx2, InstructionSet::Avx512}) {
        if (!zelmor::detail::cpuSupports(set)) continue;
        double seconds[2];
        int column = 0;
        for (SweepMode mode : {SweepMode::Automatic, SweepMode::Dense}) {
            seconds[column++] = bestSeconds(3, [&] {
                zelmor::detail::solveDualUsing(set, p.problem(), p.start(), 0.0, iterations, {}, mode);
            });
        }
        std::printf("  %-9s %10.2f %8.2f\n", zelmor::detail::nameOf(set),
                    seconds[0] / static_cast<double>(iterations) * 1e6, seconds[1] / static_cast<double>(iterations) * 1e6);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::string(argv[1]) == "--quick";
    std::printf("CPU: %s; solver instruction set: %s%s\n", cpuName().c_str(),
                zelmor::detail::nameOf(zelmor::detail::fastestSupported()), quick ? "; quick run" : "");
    std::printf("Data: letters (RBF gamma %g), satellite images (gamma %g), letter-like clusters (gamma %g); beta %g\n",
                kLetterGamma, kSatelliteGamma, kClusterGamma, kBeta);
    std::fflush(stdout);

    const std::int32_t scale = quick ? 5 : 1;
    const std::int64_t toConvergence = -1;
    std::vector<ColdRun> iterations;
    std::vector<ColdRun> coldSolves;

    iterations.push_back(coldRun(testing_support::clusteredProblem(2000 / scale, 10, 1, kClusterGamma, kBeta),
                                 toConvergence, "clusters, full cold solve", 5, true));
    iterations.push_back(coldRun(satellite(3000 / scale), toConvergence, "satellite, full cold solve", 5, true));
    {
        const OwnedProblem p = letters(3000 / scale);
        iterations.push_back(coldRun(p, toConvergence, "letters, full cold solve", 3, true));
        measureChangedClassesAlone(p, &iterations.back());
        coldSolves.push_back(iterations.back());
    }
    {
        const OwnedProblem p = letters(5000 / scale);
        iterations.push_back(coldRun(p, toConvergence, "letters, full cold solve", 3, true));
        measureChangedClassesAlone(p, &iterations.back());
        coldSolves.push_back(iterations.back());
        printInstructionSets(p, quick ? 2000 : 20000);
        printWarmStart(p, iterations.back().result.tau, 3);
    }
    {
        // The first 100 000 iterations of a solve too long for the reference solver; they
        // include the strided reads that learn which kernel rows equal their columns, a cost
        // paid once per group of examples.
        const OwnedProblem p = letters(15000 / scale);
        const std::int64_t stretch = quick ? 5000 : 100000;
        iterations.push_back(coldRun(p, stretch, "letters, first " + std::to_string(stretch), 1, false));
    }
    printIterations(iterations);
    printChangedClassesAlone(iterations);
    printColdSolves(coldSolves);
    return 0;
}
