// Speed of the solver against the plain transcription and against the memory floor, on RBF
// kernels of letter-like clustered data (16 integer features in 0..15, one cluster per
// class), beta = 0.1. Prints tables; asserts nothing but that both solvers agree bit for bit.
//
//   solver_bench [--quick]     --quick: smaller problems, for a smoke run
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "dual_solver.h"
#include "plain_dual_solver.h"
#include "solve_kernels.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;
using zelmor::detail::InstructionSet;

constexpr double kBeta = 0.1;
constexpr int kFeatures = 16;
// exp(-gamma |x - y|^2); with the clusters below, n = 3000 and k = 26 take about 66 000
// iterations, as the letter-recognition data do.
constexpr double kGamma = 0.006;

double secondsOf(const std::function<void()>& work) {
    const auto start = Clock::now();
    work();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

double medianSeconds(int repeats, const std::function<void()>& work) {
    std::vector<double> times;
    for (int r = 0; r < repeats; ++r) times.push_back(secondsOf(work));
    return median(times);
}

struct Problem {
    std::int32_t n = 0;
    std::int32_t k = 0;
    std::vector<double> kernel;
    std::vector<double> labels;

    zelmor::DualProblem view() const {
        zelmor::DualProblem p;
        p.kernel = zelmor::MatrixView{kernel.data(), n, n};
        p.labels = labels.data();
        p.beta = kBeta;
        p.classCount = k;
        p.exampleCount = n;
        return p;
    }
};

// Clusters of integer feature vectors, like the letter-recognition data: one centre per
// class, features rounded and clipped to 0..15. The kernel is symmetric bit for bit.
Problem letterLikeProblem(std::int32_t n, std::int32_t k, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> centre(5.0, 10.0);
    std::normal_distribution<double> spread(0.0, 3.0);
    std::vector<double> centres(static_cast<std::size_t>(k) * kFeatures);
    for (auto& c : centres) c = centre(rng);
    Problem p;
    p.n = n;
    p.k = k;
    std::vector<double> features(static_cast<std::size_t>(n) * kFeatures);
    for (std::int32_t i = 0; i < n; ++i) {
        const std::int32_t label = static_cast<std::int32_t>(rng() % static_cast<std::uint64_t>(k));
        p.labels.push_back(label + 1);
        for (int f = 0; f < kFeatures; ++f) {
            const double x = std::round(centres[static_cast<std::size_t>(label * kFeatures + f)] + spread(rng));
            features[static_cast<std::size_t>(i) * kFeatures + f] = std::clamp(x, 0.0, 15.0);
        }
    }
    p.kernel.resize(static_cast<std::size_t>(n) * n);
    for (std::int64_t c = 0; c < n; ++c) {
        for (std::int64_t r = 0; r <= c; ++r) {
            double distance = 0.0;
            for (int f = 0; f < kFeatures; ++f) {
                const double d = features[r * kFeatures + f] - features[c * kFeatures + f];
                distance += d * d;
            }
            const double value = std::exp(-kGamma * distance);
            p.kernel[r + c * n] = value;
            p.kernel[c + r * n] = value;
        }
    }
    return p;
}

// The floor of one iteration: every gradient entry read, multiplied in and written once, one
// kernel column read, and nothing else. Same blocked layout and vector width as the solver.
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

// Seconds per pass, median of repeats, cycling through kernel columns as the solver does.
double floorSeconds(const Problem& p, int passes, int repeats) {
    const std::int64_t blocks = p.n / 8;  // whole blocks only: the floor reads no padding
    std::vector<double> delta(static_cast<std::size_t>(p.k));
    for (std::int32_t m = 0; m < p.k; ++m) delta[static_cast<std::size_t>(m)] = 1e-3 * (m % 5 - 2);
    const std::size_t cells = static_cast<std::size_t>(blocks * p.k * 8);
    double* grad = static_cast<double*>(::operator new(cells * sizeof(double), std::align_val_t{64}));
    std::fill(grad, grad + cells, 0.25);
    const bool avx512 = zelmor::detail::cpuSupports(InstructionSet::Avx512);
    std::int64_t column = 0;
    const double seconds = medianSeconds(repeats, [&] {
        for (int pass = 0; pass < passes; ++pass) {
            column = (column + 7919) % p.n;
            const double* x = p.kernel.data() + column * p.n;
#if defined(__x86_64__)
            if (avx512) {
                floorPassAvx512(grad, blocks, p.k, x, delta.data());
                continue;
            }
#endif
            floorPassPortable(grad, blocks, p.k, x, delta.data());
        }
    });
    ::operator delete(grad, std::align_val_t{64});
    return seconds / passes * static_cast<double>(p.n) / static_cast<double>(blocks * 8);
}

bool identical(const zelmor::SolveResult& a, const zelmor::SolveResult& b) {
    return a.iterationCount == b.iterationCount && a.tau.size() == b.tau.size() &&
           std::memcmp(a.tau.data(), b.tau.data(), a.tau.size() * sizeof(double)) == 0;
}

// A run that reached its cap (n * n or a limit) applied as many updates as its count says;
// one that converged applied one more.
std::int64_t updatesApplied(const zelmor::SolveResult& r, std::int64_t cap) {
    return r.iterationCount == cap ? r.iterationCount : r.iterationCount + 1;
}

std::string cpuName() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    }
    return "unknown CPU";
}

// A cold solve to `tolerance`, fast (median of repeats) and, if asked, plain (once).
struct ColdRun {
    std::int32_t n = 0, k = 0;
    std::string stretch;
    double tolerance = 0;
    std::int64_t updates = 0;
    double fastSeconds = 0;
    double plainSeconds = -1;  // not run
    double plainPerIteration = -1;
    bool plainFromShorterStretch = false;
    double floorSeconds = 0;   // one floor pass
    bool agree = true;
    zelmor::SolveResult result;
};

// limit, when not negative, stops both solvers after that many iterations.
ColdRun coldRun(const Problem& p, double tolerance, std::int64_t limit, const std::string& stretch, int repeats,
                bool withPlain) {
    ColdRun run;
    run.n = p.n;
    run.k = p.k;
    run.stretch = stretch;
    run.tolerance = tolerance;
    const InstructionSet path = zelmor::detail::fastestSupported();
    run.fastSeconds = medianSeconds(repeats, [&] {
        run.result = zelmor::detail::solveDualUsing(path, p.view(), zelmor::StartMode::cold(), tolerance, limit);
    });
    run.updates = updatesApplied(run.result, limit >= 0 ? limit : static_cast<std::int64_t>(p.n) * p.n);
    run.floorSeconds = floorSeconds(p, 300, 7);
    if (withPlain) {
        zelmor::SolveResult plainResult;
        run.plainSeconds =
            secondsOf([&] { plainResult = plain::solveDual(p.view(), zelmor::StartMode::cold(), tolerance, limit); });
        run.agree = identical(run.result, plainResult);
        run.plainPerIteration = run.plainSeconds / static_cast<double>(run.updates);
    }
    return run;
}

// The warm start's G * tau0 and the one iteration an infinite tolerance allows.
struct WarmRun {
    std::int32_t n = 0, k = 0;
    double fastSeconds = 0;
    double plainSeconds = -1;
    bool agree = true;
};

// plainRepeats = 0 skips the plain transcription.
WarmRun warmRun(const Problem& p, const std::vector<double>& tau0, int repeats, int plainRepeats) {
    WarmRun run;
    run.n = p.n;
    run.k = p.k;
    const zelmor::StartMode start = zelmor::StartMode::warmFrom(zelmor::MatrixView{tau0.data(), p.n, p.k});
    const double once = std::numeric_limits<double>::infinity();
    zelmor::SolveResult fast;
    run.fastSeconds = medianSeconds(repeats, [&] { fast = zelmor::solveDual(p.view(), start, once); });
    if (plainRepeats > 0) {
        zelmor::SolveResult plainResult;
        run.plainSeconds = medianSeconds(plainRepeats, [&] { plainResult = plain::solveDual(p.view(), start, once); });
        run.agree = identical(fast, plainResult);
    }
    return run;
}

std::string plainFigure(double value, const char* format) {
    if (value < 0) return "-";
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

void printIterations(const std::vector<ColdRun>& runs) {
    std::printf("\nOne iteration, microseconds (fast and floor: median of repeats; plain: one run)\n");
    std::printf("%6s %3s  %-26s %8s %8s %8s %9s %10s %10s\n", "n", "k", "iterations", "updates", "fast", "floor", "plain",
                "fast/floor", "plain/fast");
    bool borrowed = false;
    for (const auto& r : runs) {
        const double fast = r.fastSeconds / static_cast<double>(r.updates);
        const double plain = r.plainPerIteration;
        std::string plainText = plainFigure(plain * 1e6, "%.1f");
        if (r.plainFromShorterStretch) plainText += "*";
        borrowed = borrowed || r.plainFromShorterStretch;
        std::printf("%6d %3d  %-26s %8lld %8.2f %8.2f %9s %10.2f %10s%s\n", r.n, r.k, r.stretch.c_str(),
                    static_cast<long long>(r.updates), fast * 1e6, r.floorSeconds * 1e6, plainText.c_str(),
                    fast / r.floorSeconds, plainFigure(plain < 0 ? -1 : plain / fast, "%.1f").c_str(),
                    r.agree ? "" : "  RESULTS DIFFER");
    }
    if (borrowed) {
        std::printf("  * timed on the shorter stretch above: a plain iteration does the same work in every iteration\n");
    }
}

void printColdSolves(const std::vector<ColdRun>& runs) {
    std::printf("\nFull cold solve, tolerance 0.001, seconds (fast: median of repeats; plain: one run)\n");
    std::printf("%6s %3s %10s %9s %9s %8s  %s\n", "n", "k", "iterations", "fast", "plain", "speedup", "results");
    for (const auto& r : runs) {
        std::printf("%6d %3d %10lld %9.3f %9.2f %8.1f  %s\n", r.n, r.k, static_cast<long long>(r.updates),
                    r.fastSeconds, r.plainSeconds, r.plainSeconds / r.fastSeconds,
                    r.agree ? "bit-identical" : "DIFFER");
    }
}

void printWarmBuilds(const std::vector<WarmRun>& runs) {
    std::printf("\nWarm start: G * tau0 and one iteration, milliseconds (median of repeats; plain at n = 5000: one run)\n");
    std::printf("%6s %3s %9s %10s %8s  %s\n", "n", "k", "fast", "plain", "speedup", "results");
    for (const auto& r : runs) {
        std::printf("%6d %3d %9.1f %10s %8s  %s\n", r.n, r.k, r.fastSeconds * 1e3,
                    plainFigure(r.plainSeconds * 1e3, "%.0f").c_str(),
                    plainFigure(r.plainSeconds < 0 ? -1 : r.plainSeconds / r.fastSeconds, "%.1f").c_str(),
                    r.plainSeconds < 0 ? "" : (r.agree ? "bit-identical" : "DIFFER"));
    }
}

void printPaths(const Problem& p, std::int64_t iterations) {
    std::printf("\nOne iteration by instruction set, n = %d, k = %d, first %lld iterations, microseconds\n", p.n, p.k,
                static_cast<long long>(iterations));
    for (InstructionSet set : {InstructionSet::Portable, InstructionSet::Avx2, InstructionSet::Avx512}) {
        if (!zelmor::detail::cpuSupports(set)) continue;
        const double seconds = medianSeconds(3, [&] {
            zelmor::detail::solveDualUsing(set, p.view(), zelmor::StartMode::cold(), 0.0, iterations);
        });
        std::printf("  %-9s %8.2f\n", zelmor::detail::nameOf(set), seconds / static_cast<double>(iterations) * 1e6);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::string(argv[1]) == "--quick";
    const double cold = zelmor::kColdStartTolerance;
    std::printf("CPU: %s; solver path: %s%s\n", cpuName().c_str(),
                zelmor::detail::nameOf(zelmor::detail::fastestSupported()), quick ? "; quick run" : "");
    std::printf("Data: RBF kernels (gamma %.3g) of letter-like clusters, 16 features, beta %.1f\n", kGamma, kBeta);
    std::fflush(stdout);

    const std::int32_t scale = quick ? 5 : 1;
    const std::int64_t toConvergence = -1;
    std::vector<ColdRun> iterations;
    std::vector<ColdRun> coldSolves;
    std::vector<WarmRun> warmBuilds;

    {
        const Problem p = letterLikeProblem(2000 / scale, 10, 1);
        iterations.push_back(coldRun(p, cold, toConvergence, "full cold solve", 5, true));
        warmBuilds.push_back(warmRun(p, iterations.back().result.tau, 11, 5));
    }
    {
        const Problem p = letterLikeProblem(3000 / scale, 26, 4);
        coldSolves.push_back(coldRun(p, cold, toConvergence, "full cold solve", 3, true));
    }
    {
        const Problem p = letterLikeProblem(5000 / scale, 26, 2);
        iterations.push_back(coldRun(p, cold, toConvergence, "full cold solve", 3, true));
        coldSolves.push_back(iterations.back());
        warmBuilds.push_back(warmRun(p, iterations.back().result.tau, 3, 1));
        printPaths(p, quick ? 2000 : 20000);
    }
    {
        // Too slow to run to convergence with the plain solver: the first iterations of a cold
        // solve for both, and a longer stretch for the fast solver alone. The first stretch
        // carries most of the strided reads that learn which kernel rows equal their columns,
        // a cost paid once per group of examples.
        const Problem p = letterLikeProblem(15000 / scale, 26, 3);
        const std::int64_t first = quick ? 200 : 2000;
        const std::int64_t longer = quick ? 5000 : 100000;
        iterations.push_back(coldRun(p, cold, first, "first " + std::to_string(first), 3, true));
        iterations.push_back(coldRun(p, cold, longer, "first " + std::to_string(longer), 3, false));
        iterations.back().plainPerIteration = iterations[iterations.size() - 2].plainPerIteration;
        iterations.back().plainFromShorterStretch = true;
        warmBuilds.push_back(warmRun(p, iterations.back().result.tau, 3, 0));
    }
    printIterations(iterations);
    printColdSolves(coldSolves);
    printWarmBuilds(warmBuilds);
    return 0;
}
