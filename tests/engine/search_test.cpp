// The engine's paths over beta and its cross-validation: the gradient handed from one beta to the
// next, continuation past a stop, agreement with the plain solver, the same bits whatever the
// thread count, the choice of a grid cell, and stopping.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <vector>

#include "dual_solver.h"
#include "path.h"
#include "problems.h"
#include "search.h"

namespace {

using namespace zelmor;
using namespace zelmor::engine;
using testing_support::clusteredProblem;
using testing_support::firstBitDifference;
using testing_support::OwnedProblem;

// A path over a kernel given whole, read through a cache of cacheBytes.
struct GivenPath {
    GivenPath(const double* kernel, std::int32_t n, const double* labels, std::int32_t k,
              std::int64_t cacheBytes = std::int64_t{1} << 30)
        : cache(givenKernel(kernel, n), everyExample(n), {}, cacheBytes, nullptr, StopRequest{}) {
        problem.kernel = &cache;
        problem.labels = labels;
        problem.exampleCount = n;
        problem.classCount = k;
    }
    explicit GivenPath(const OwnedProblem& owned) : GivenPath(owned.kernel.data(), owned.n, owned.labels.data(), owned.k) {}
    KernelCache cache;
    PathProblem problem;
};

// G * tau - beta * Y, each entry summed over l in increasing order.
std::vector<double> gradientOf(const OwnedProblem& p, const std::vector<double>& tau, double beta) {
    const std::int64_t n = p.n;
    std::vector<double> grad(static_cast<std::size_t>(n * p.k), 0.0);
    for (std::int32_t m = 0; m < p.k; ++m) {
        for (std::int64_t j = 0; j < n; ++j) {
            double sum = 0.0;
            for (std::int64_t l = 0; l < n; ++l) sum += p.kernel[j + l * n] * tau[l + m * n];
            const double target = static_cast<std::int32_t>(p.labels[j]) - 1 == m ? 1.0 : 0.0;
            grad[j + m * n] = sum - beta * target;
        }
    }
    return grad;
}

// The dual objective: half of tau . G tau less beta times tau . Y, from a fresh gradient.
double objectiveOf(const OwnedProblem& p, const std::vector<double>& tau, double beta) {
    const std::vector<double> grad = gradientOf(p, tau, beta);
    double value = 0.0;
    for (std::int64_t i = 0; i < p.n; ++i) {
        for (std::int32_t m = 0; m < p.k; ++m) {
            const double own = static_cast<std::int32_t>(p.labels[i]) - 1 == m ? 1.0 : 0.0;
            value += tau[i + m * p.n] * (0.5 * (grad[i + m * p.n] + beta * own) - beta * own);
        }
    }
    return value;
}

TEST(PathTest, WarmStartAtTheNextBetaKeepsItsGradientAndBounds) {
    const OwnedProblem p = clusteredProblem(300, 6, 3, 0.02, 0.5);
    SolveControl control;
    control.keepGradient = true;
    control.tolerance = 0.0005;
    const SolveResult solved = solveDual(p.problem(), StartMode::cold(), control);
    ASSERT_EQ(solved.end, SolveEnd::Converged);
    for (double next : {0.5, 0.1, 2.0, 1e-4}) {
        std::vector<double> moved = solved.grad;
        moveGradientToBeta(&moved, p.labels.data(), p.n, 0.5, next);
        const std::vector<double> fresh = gradientOf(p, solved.tau, next);
        for (std::size_t i = 0; i < fresh.size(); ++i) {
            // The solve keeps its gradient by updates, which round differently from fresh sums.
            ASSERT_NEAR(moved[i], fresh[i], 1e-10) << "beta " << next << ", entry " << i;
        }

        std::vector<double> tau = solved.tau;
        std::vector<double> grad = solved.grad;
        const double scale = warmStartAtBeta(GivenPath(p).problem, &tau, &grad, 0.5, next);
        // Towards larger beta the rows stay: the factor would exceed 1.
        if (next >= 0.5) {
            EXPECT_EQ(firstBitDifference(tau, solved.tau), -1) << next;
        } else {
            EXPECT_LT(scale, 1.0) << next;
        }
        const std::vector<double> there = gradientOf(p, tau, next);
        for (std::size_t i = 0; i < there.size(); ++i) {
            ASSERT_NEAR(grad[i], there[i], 1e-10) << "beta " << next << ", entry " << i;
        }
        for (std::int64_t i = 0; i < p.n; ++i) {
            double sum = 0.0;
            for (std::int32_t m = 0; m < p.k; ++m) {
                const double bound = static_cast<std::int32_t>(p.labels[i]) - 1 == m ? 1.0 : 0.0;
                ASSERT_LE(tau[i + m * p.n], bound) << "beta " << next << ", example " << i;
                sum += tau[i + m * p.n];
            }
            ASSERT_NEAR(sum, 0.0, 1e-9) << "beta " << next << ", example " << i;
        }
        // The factor minimises the objective along the free rows, so the start is no worse
        // than the rows as they were.
        EXPECT_LE(objectiveOf(p, tau, next), objectiveOf(p, solved.tau, next) + 1e-12) << next;
    }
}

TEST(PathTest, ContinuingFromAKeptGradientIsTheUninterruptedSolve) {
    const OwnedProblem p = clusteredProblem(400, 8, 5, 0.02, 0.2);
    SolveControl whole;
    whole.tolerance = 0.0002;
    const SolveResult reference = solveDual(p.problem(), StartMode::cold(), whole);
    ASSERT_EQ(reference.end, SolveEnd::Converged);
    ASSERT_GT(reference.iterationCount, 300);
    for (double sweepStart : {100.0, static_cast<double>(INFINITY)}) {
        SolveControl part = whole;
        part.iterationLimit = 137;
        part.keepGradient = true;
        part.sweepStart = sweepStart;
        const SolveResult first = solveDual(p.problem(), StartMode::cold(), part);
        ASSERT_EQ(first.iterationCount, 137);
        part.iterationLimit = -1;
        const SolveResult rest =
            solveDual(p.problem(),
                      StartMode::warmFrom(MatrixView{first.tau.data(), p.n, p.k}, MatrixView{first.grad.data(), p.n, p.k}),
                      part);
        EXPECT_EQ(firstBitDifference(rest.tau, reference.tau), -1) << "sweep start " << sweepStart;
        EXPECT_EQ(first.iterationCount + rest.iterationCount, reference.iterationCount);
    }
}

// The largest violation over every example of tau, from its gradient computed afresh.
double largestViolationOf(const OwnedProblem& p, const std::vector<double>& tau, double beta) {
    const std::vector<double> grad = gradientOf(p, tau, beta);
    double largest = -INFINITY;
    for (std::int64_t i = 0; i < p.n; ++i) {
        const auto c = static_cast<std::int32_t>(p.labels[i]) - 1;
        double hi = -INFINITY;
        double lo = INFINITY;
        for (std::int32_t m = 0; m < p.k; ++m) {
            const double g = grad[i + m * p.n];
            hi = std::max(hi, g);
            if ((m == c ? 1.0 : 0.0) > tau[i + m * p.n]) lo = std::min(lo, g);
        }
        largest = std::max(largest, hi - lo);
    }
    return largest;
}

TEST(PathTest, OneBetaMeetsItsRelativeToleranceOverEveryExample) {
    // The cold solve's stop tests the selected example before its update, which moves the
    // others: the path goes on until none is above the tolerance, with or without solves on
    // the examples that move and face steps.
    const OwnedProblem p = clusteredProblem(250, 5, 9, 0.03, 0.25);
    const double beta = 0.25;
    for (int variant = 0; variant < 4; ++variant) {
        std::vector<double> tau;
        PathSettings settings;
        settings.shrink = variant % 2 == 0;
        settings.faceStepEvery = variant < 2 ? 2000 : 0;
        const std::vector<PathStep> steps =
            solvePath(GivenPath(p).problem, &beta, 1, settings, [&](std::int64_t, const std::vector<double>& t) { tau = t; });
        ASSERT_EQ(steps.size(), 1u);
        EXPECT_TRUE(steps[0].converged);
        EXPECT_EQ(steps[0].tolerance, 0.001 * beta);
        EXPECT_LT(largestViolationOf(p, tau, beta), 0.001 * beta * (1 + 1e-9)) << variant;
    }
}

TEST(PathTest, SolvesOnTheExamplesThatMoveMeetTheToleranceOverAll) {
    // Well separated clusters: at small beta few examples are support vectors, and the warm
    // solves run on those that may move.
    OwnedProblem p;
    p.n = 450;
    p.k = 3;
    std::vector<double> x(450 * 3);
    std::mt19937_64 rng(8);
    std::normal_distribution<double> noise(0.0, 1.0);
    for (std::int64_t i = 0; i < 450; ++i) {
        p.labels.push_back(static_cast<double>(i % 3 + 1));
        for (std::int64_t f = 0; f < 3; ++f) x[i + f * 450] = (f == i % 3 ? 4.0 : 0.0) + noise(rng);
    }
    p.kernel.resize(450 * 450);
    KernelSetting rbf;
    rbf.gamma = 0.2;
    ASSERT_TRUE(kernelMatrix(rbf, Examples{x.data(), 450, 3}, nullptr, p.kernel.data(), 450, 1, nullptr));
    const double betas[] = {1.0, 0.1, 0.01, 0.001, 0.0001};
    std::vector<std::int64_t> iterations[2];
    for (bool shrink : {false, true}) {
        PathSettings settings;
        settings.shrink = shrink;
        std::vector<std::vector<double>> taus;
        const std::vector<PathStep> steps = solvePath(GivenPath(p).problem, betas, 5, settings,
                                                      [&](std::int64_t, const std::vector<double>& tau) { taus.push_back(tau); });
        ASSERT_EQ(steps.size(), 5u);
        for (std::size_t b = 0; b < 5; ++b) {
            EXPECT_TRUE(steps[b].converged);
            // The tolerance holds for the example selected before the last update; that update
            // moves the others' violations a little.
            EXPECT_LT(largestViolationOf(p, taus[b], betas[b]), 2 * steps[b].tolerance)
                << (shrink ? "shrunk" : "full") << ", beta " << betas[b];
            iterations[shrink].push_back(steps[b].iterations);
        }
    }
    // The solves on the examples that move took another course.
    EXPECT_NE(iterations[0], iterations[1]);
}

TEST(PathTest, TheCacheSizeChangesNoBit) {
    // Solves on the examples that move, rounds of them, kernels symmetric and not: one column at
    // a time, a few, or all of them give the same path.
    OwnedProblem p;
    p.n = 300;
    p.k = 3;
    std::vector<double> x(300 * 3);
    std::mt19937_64 rng(11);
    std::normal_distribution<double> noise(0.0, 1.0);
    for (std::int64_t i = 0; i < 300; ++i) {
        p.labels.push_back(static_cast<double>(i % 3 + 1));
        for (std::int64_t f = 0; f < 3; ++f) x[i + f * 300] = (f == i % 3 ? 3.0 : 0.0) + noise(rng);
    }
    p.kernel.resize(300 * 300);
    KernelSetting rbf;
    rbf.gamma = 0.3;
    ASSERT_TRUE(kernelMatrix(rbf, Examples{x.data(), 300, 3}, nullptr, p.kernel.data(), 300, 1, nullptr));
    OwnedProblem asymmetric = p;
    for (std::int64_t c = 0; c < 300; ++c) {
        for (std::int64_t r = 0; r < c; ++r) asymmetric.kernel[r + c * 300] *= 1.0 + 1e-3 * noise(rng);
    }
    const double betas[] = {1.0, 0.1, 0.01, 0.001};
    for (const OwnedProblem* problem : {&p, &asymmetric}) {
        std::vector<std::vector<double>> expected;
        for (std::int64_t columns : {300, 1, 7, 60}) {
            GivenPath given(problem->kernel.data(), 300, problem->labels.data(), 3, columns * 300 * 8);
            ASSERT_EQ(given.cache.capacity(), columns);
            std::vector<std::vector<double>> taus;
            const std::vector<PathStep> steps = solvePath(given.problem, betas, 4, PathSettings{},
                                                          [&](std::int64_t, const std::vector<double>& tau) { taus.push_back(tau); });
            ASSERT_EQ(steps.size(), 4u);
            if (expected.empty()) {
                expected = taus;
                continue;
            }
            for (std::size_t b = 0; b < 4; ++b) {
                EXPECT_EQ(firstBitDifference(taus[b], expected[b]), -1)
                    << columns << " columns, beta " << betas[b] << (problem == &p ? "" : ", asymmetric");
            }
        }
    }
}

TEST(PathTest, CappedSolvesContinueUpToTheRestartLimit) {
    // Eight points in three groups: at small beta their solves need more than n^2 = 64 updates.
    const double x[] = {0, 0.5, 0.1, 3, 3.4, 2.7, 0, 0.3, 0, 0.2, 0.6, 3, 2.8, 3.3, 3, 3.1};
    const double labels[] = {1, 1, 1, 2, 2, 2, 3, 3};
    KernelSetting rbf;
    rbf.gamma = 0.4;
    std::vector<double> kernel(64);
    ASSERT_TRUE(kernelMatrix(rbf, Examples{x, 8, 2}, nullptr, kernel.data(), 8, 1, nullptr));
    GivenPath given(kernel.data(), 8, labels, 3);
    const PathProblem& problem = given.problem;
    const double betas[] = {0.7, 0.01, 0.001};
    struct Case {
        std::int64_t maxRestarts;
        bool converged;
    };
    for (const Case& c : {Case{0, false}, Case{20, true}}) {
        PathSettings settings;
        settings.maxRestarts = c.maxRestarts;
        const std::vector<PathStep> steps = solvePath(problem, betas, 3, settings, nullptr);
        ASSERT_EQ(steps.size(), 3u);
        bool all = true;
        std::int64_t restarts = 0;
        for (const PathStep& step : steps) {
            all = all && step.converged;
            restarts += step.restarts;
            // A solve left at the cap applied n^2 updates, after the ones before it that converged
            // (to a looser tolerance, or on the examples that move); one continued, more.
            EXPECT_TRUE(step.converged || step.iterations >= 64);
            EXPECT_TRUE(step.restarts == 0 || step.iterations > 64 * step.restarts);
        }
        EXPECT_EQ(all, c.converged) << "restarts " << c.maxRestarts;
        EXPECT_TRUE(c.converged ? restarts > 0 : restarts == 0) << "restarts " << c.maxRestarts;
    }
}

// Three noisy clusters of d-dimensional features, column-major, and their labels 1..3.
struct FeatureSet {
    std::int64_t n = 0;
    std::int64_t d = 0;
    std::vector<double> x;
    std::vector<double> labels;
    std::vector<double> folds;
};

FeatureSet featureSet(std::int64_t n, std::int64_t d, std::int32_t foldCount) {
    FeatureSet set;
    set.n = n;
    set.d = d;
    set.x.resize(static_cast<std::size_t>(n * d));
    std::mt19937_64 rng(42);
    std::normal_distribution<double> noise(0.0, 1.0);
    for (std::int64_t i = 0; i < n; ++i) {
        const std::int64_t c = i % 3;
        set.labels.push_back(static_cast<double>(c + 1));
        set.folds.push_back(static_cast<double>(i % foldCount + 1));
        for (std::int64_t f = 0; f < d; ++f) set.x[i + f * n] = (f == c ? 1.5 : 0.0) + noise(rng);
    }
    return set;
}

GridProblem gridOf(const FeatureSet& set, KernelType type, const std::vector<double>& gammas,
                   const std::vector<double>& betas, std::int32_t foldCount) {
    GridProblem problem;
    problem.labels = set.labels.data();
    problem.exampleCount = static_cast<std::int32_t>(set.n);
    problem.classCount = 3;
    problem.features = Examples{set.x.data(), set.n, set.d};
    for (double gamma : gammas) {
        KernelSetting setting;
        setting.type = type;
        setting.gamma = gamma;
        setting.degree = 2;
        setting.offset = 1.0;
        problem.kernelSettings.push_back(setting);
    }
    problem.betas = betas;
    problem.folds = set.folds.data();
    problem.foldCount = foldCount;
    return problem;
}

void expectSameGrid(const GridResult& a, const GridResult& b, const char* what) {
    EXPECT_EQ(a.correct, b.correct) << what;
    EXPECT_EQ(a.classCorrect, b.classCorrect) << what;
    ASSERT_EQ(a.decisionValues.size(), b.decisionValues.size()) << what;
    for (std::size_t cell = 0; cell < a.decisionValues.size(); ++cell) {
        EXPECT_EQ(firstBitDifference(a.decisionValues[cell], b.decisionValues[cell]), -1) << what << ", cell " << cell;
    }
    EXPECT_EQ(a.iterations, b.iterations) << what;
    EXPECT_EQ(a.restarts, b.restarts) << what;
    EXPECT_EQ(a.converged, b.converged) << what;
    EXPECT_EQ(a.foldSizes, b.foldSizes) << what;
}

TEST(SearchTest, EveryResultIsTheSameWhateverTheThreadCount) {
    const FeatureSet set = featureSet(150, 4, 4);
    for (KernelType type : {KernelType::Rbf, KernelType::Poly}) {
        GridProblem problem = gridOf(set, type, {0.05, 0.2, 0.8}, {4.0, 0.5, 0.05}, 4);
        // The largest C is left out at the smallest gamma.
        problem.tried = {1, 1, 1, 1, 1, 1, 0, 1, 1};
        RunSettings settings;
        settings.threadCount = 1;
        settings.keepDecisionValues = true;
        const GridResult serial = crossValidate(problem, settings, RunControl{});
        settings.memoryBudget = 0;  // one unit at a time, whatever the threads
        const GridResult budgeted = crossValidate(problem, settings, RunControl{});
        expectSameGrid(serial, budgeted, "memory budget of one unit");
        EXPECT_EQ(budgeted.concurrentUnits, 1);
        const GridChoice choice = chooseCell(serial, problem.betas);
        const Fit fit = fitModel(problem, choice.setting, problem.betas[choice.beta], settings, RunControl{});
        EXPECT_EQ(serial.correct[6 + 0], -1);  // (setting 0, beta 2, fold 0) was not tried
        for (int threads : {2, 7}) {
            settings.threadCount = threads;
            settings.memoryBudget = std::int64_t{1} << 40;
            const GridResult parallel = crossValidate(problem, settings, RunControl{});
            expectSameGrid(serial, parallel, threads == 2 ? "2 threads" : "7 threads");
            EXPECT_EQ(parallel.concurrentUnits, std::min(threads, 12));
            const Fit again = fitModel(problem, choice.setting, problem.betas[choice.beta], settings, RunControl{});
            EXPECT_EQ(firstBitDifference(fit.tau, again.tau), -1) << threads << " threads";
        }
    }
}

TEST(SearchTest, EveryResultIsTheSameWhateverTheCache) {
    // Kernels from features (one base for every setting, or made per unit) and given whole, every
    // kernel type, caches of one column up to all, and fits on 1 to 3 threads.
    const FeatureSet set = featureSet(180, 4, 3);
    std::vector<double> given(180 * 180);
    KernelSetting rbf;
    rbf.gamma = 0.3;
    ASSERT_TRUE(kernelMatrix(rbf, Examples{set.x.data(), 180, 4}, nullptr, given.data(), 180, 1, nullptr));
    for (int kind = 0; kind < 4; ++kind) {
        const KernelType types[] = {KernelType::Rbf, KernelType::Linear, KernelType::Poly, KernelType::Rbf};
        GridProblem problem = gridOf(set, types[kind], {0.1, 0.4}, {2.0, 0.2, 0.02}, 3);
        if (kind == 3) {
            problem.precomputed = given.data();
            problem.kernelSettings.resize(1);
        }
        RunSettings settings;
        settings.threadCount = 2;
        settings.cacheBytes = std::int64_t{1} << 30;
        // The fit's passes cut into pieces of one block and more.
        settings.leastBlocksPerPiece = 1;
        const GridResult whole = crossValidate(problem, settings, RunControl{});
        const GridChoice choice = chooseCell(whole, problem.betas);
        const Fit fit = fitModel(problem, choice.setting, problem.betas[choice.beta], settings, RunControl{});
        for (std::int64_t columns : {1, 4, 50}) {
            settings.cacheBytes = columns * 8 * 180;
            const GridResult cached = crossValidate(problem, settings, RunControl{});
            expectSameGrid(whole, cached, "a small cache");
            for (int threads : {1, 3}) {
                // Threads share the fit's passes in pieces: once is enough.
                if (threads > 1 && columns != 4) continue;
                settings.threadCount = threads;
                const Fit again = fitModel(problem, choice.setting, problem.betas[choice.beta], settings, RunControl{});
                EXPECT_EQ(firstBitDifference(fit.tau, again.tau), -1)
                    << "kind " << kind << ", " << columns << " columns, " << threads << " threads";
            }
            settings.threadCount = 2;
        }
    }
}

TEST(SearchTest, UnitsRunApartPutTogetherAreTheWholeSearch) {
    const FeatureSet set = featureSet(120, 3, 3);
    GridProblem problem = gridOf(set, KernelType::Rbf, {0.05, 0.3, 1.2, 4.0}, {2.0, 0.3, 0.03}, 3);
    // Setting 1 tries nothing and has no units; setting 0 leaves out its largest C.
    problem.tried = {1, 0, 1, 1, 1, 0, 1, 1, 0, 0, 1, 1};
    const std::vector<GridUnit> units = gridUnits(problem);
    ASSERT_EQ(units.size(), 9u);
    for (std::size_t u = 0; u < units.size(); ++u) {
        EXPECT_EQ(units[u].setting, std::vector<std::int64_t>({0, 2, 3})[u / 3]) << u;
        EXPECT_EQ(units[u].fold, static_cast<std::int64_t>(u % 3)) << u;
    }
    RunSettings settings;
    settings.threadCount = 2;
    settings.keepDecisionValues = true;
    const GridResult whole = crossValidate(problem, settings, RunControl{});
    // Three shares, each unit to share u % 3, as a job array deals them out; put together in
    // unit order, the decision values of each unit from the rows of its fold.
    GridResult merged = whole;
    std::fill(merged.correct.begin(), merged.correct.end(), -7);
    std::fill(merged.classCorrect.begin(), merged.classCorrect.end(), -7);
    for (std::vector<double>& values : merged.decisionValues) std::fill(values.begin(), values.end(), 0.5);
    for (std::size_t share = 0; share < 3; ++share) {
        std::vector<GridUnit> mine;
        for (std::size_t u = share; u < units.size(); u += 3) mine.push_back(units[u]);
        settings.threadCount = static_cast<int>(share) + 1;
        const GridResult part = crossValidateUnits(problem, mine, settings, RunControl{});
        EXPECT_EQ(part.foldSizes, whole.foldSizes);
        for (std::int64_t p = 0; p < 4; ++p) {
            for (std::int64_t f = 0; f < 3; ++f) {
                const bool ran = std::any_of(mine.begin(), mine.end(),
                                             [&](const GridUnit& unit) { return unit.setting == p && unit.fold == f; });
                for (std::int64_t b = 0; b < 3; ++b) {
                    const auto cell = static_cast<std::size_t>(p + 4 * (b + 3 * f));
                    if (!ran) {
                        EXPECT_EQ(part.correct[cell], -1) << "share " << share << ", cell " << cell;
                        continue;
                    }
                    merged.correct[cell] = part.correct[cell];
                    for (std::size_t c = 0; c < 3; ++c) merged.classCorrect[cell + 36 * c] = part.classCorrect[cell + 36 * c];
                    const std::vector<double>& values = part.decisionValues[static_cast<std::size_t>(p + 4 * b)];
                    for (std::int64_t i = 0; i < 120; ++i) {
                        if (set.folds[static_cast<std::size_t>(i)] != static_cast<double>(f + 1) || values.empty()) continue;
                        for (std::int64_t m = 0; m < 3; ++m) {
                            merged.decisionValues[static_cast<std::size_t>(p + 4 * b)][static_cast<std::size_t>(i + 120 * m)] =
                                values[static_cast<std::size_t>(i + 120 * m)];
                        }
                    }
                    merged.iterations[cell] = part.iterations[cell];
                    merged.restarts[cell] = part.restarts[cell];
                    merged.converged[cell] = part.converged[cell];
                }
            }
        }
    }
    // Setting 1 ran nowhere: its cells stay as the whole search leaves them.
    for (std::int64_t b = 0; b < 3; ++b) {
        for (std::int64_t f = 0; f < 3; ++f) {
            const auto cell = static_cast<std::size_t>(1 + 4 * (b + 3 * f));
            merged.correct[cell] = -1;
            for (std::size_t c = 0; c < 3; ++c) merged.classCorrect[cell + 36 * c] = -1;
        }
    }
    expectSameGrid(whole, merged, "three shares put together");
    const GridChoice a = chooseCell(whole, problem.betas);
    const GridChoice b = chooseCell(merged, problem.betas);
    EXPECT_EQ(a.setting, b.setting);
    EXPECT_EQ(a.beta, b.beta);
}

TEST(SearchTest, UnitsOutsideTheGridOrGivenTwiceAreRefused) {
    const FeatureSet set = featureSet(30, 2, 3);
    GridProblem problem = gridOf(set, KernelType::Rbf, {0.5, 1.0}, {1.0}, 3);
    problem.tried = {1, 0};
    const std::vector<std::vector<GridUnit>> refused = {
        {{2, 0}},           // no such setting
        {{0, 3}},           // no such fold
        {{-1, 0}},          // negative
        {{1, 0}},           // a setting with no tried cell has no units
        {{0, 1}, {0, 1}},   // twice
    };
    for (const std::vector<GridUnit>& units : refused) {
        EXPECT_THROW(crossValidateUnits(problem, units, RunSettings{}, RunControl{}), std::invalid_argument)
            << units.back().setting << ", " << units.back().fold;
    }
    const GridResult none = crossValidateUnits(problem, {}, RunSettings{}, RunControl{});
    EXPECT_TRUE(std::all_of(none.correct.begin(), none.correct.end(), [](std::int64_t c) { return c == -1; }));
}

TEST(SearchTest, FoldKernelsFromFeaturesAreTheFoldsOfTheFullKernel) {
    const FeatureSet set = featureSet(90, 3, 3);
    const GridProblem fromFeatures = gridOf(set, KernelType::Rbf, {0.3}, {2.0, 0.2}, 3);
    std::vector<double> kernel(static_cast<std::size_t>(set.n * set.n));
    ASSERT_TRUE(kernelMatrix(fromFeatures.kernelSettings[0], fromFeatures.features, nullptr, kernel.data(), set.n, 2, nullptr));
    GridProblem precomputed = fromFeatures;
    precomputed.precomputed = kernel.data();
    RunSettings settings;
    settings.threadCount = 2;
    expectSameGrid(crossValidate(fromFeatures, settings, RunControl{}), crossValidate(precomputed, settings, RunControl{}),
                   "precomputed");
    const Fit a = fitModel(fromFeatures, 0, 0.2, settings, RunControl{});
    const Fit b = fitModel(precomputed, 0, 0.2, settings, RunControl{});
    EXPECT_EQ(firstBitDifference(a.tau, b.tau), -1);
}

TEST(SearchTest, TiesGoToTheSmallestCThenTheFirstSetting) {
    GridResult grid;
    grid.settingCount = 2;
    grid.betaCount = 3;
    grid.foldCount = 2;
    // Correct predictions per (setting, beta), split over the two folds; -1: not tried.
    struct Case {
        std::vector<std::int64_t> totals;  // setting-major within beta: (0,0) (1,0) (0,1) (1,1) (0,2) (1,2)
        std::vector<double> betas;
        std::int64_t setting;
        std::int64_t beta;
    };
    const Case cases[] = {
        {{5, 7, 7, 7, 7, 6}, {1.0, 0.1, 0.01}, 1, 0},    // the largest beta among equals
        {{5, 6, 7, 7, 7, 6}, {1.0, 0.1, 0.01}, 0, 1},    // then the first setting
        {{5, 6, 7, 7, 7, 6}, {0.01, 0.1, 1.0}, 0, 2},    // by beta's value, not its position
        {{-1, 6, 9, 7, 7, -1}, {1.0, 0.1, 0.01}, 0, 1},  // cells not tried never win
    };
    for (const Case& c : cases) {
        grid.correct.assign(12, 0);
        for (std::size_t cell = 0; cell < 6; ++cell) {
            const std::int64_t t = c.totals[cell];
            grid.correct[cell] = t < 0 ? -1 : t / 2;
            grid.correct[cell + 6] = t < 0 ? -1 : t - t / 2;
        }
        const GridChoice choice = chooseCell(grid, c.betas);
        EXPECT_EQ(choice.setting, c.setting);
        EXPECT_EQ(choice.beta, c.beta);
    }
}

TEST(SearchTest, AStopAskedForEndsTheWorkWithoutAResult) {
    const FeatureSet set = featureSet(60, 3, 2);
    const GridProblem problem = gridOf(set, KernelType::Rbf, {0.3, 1.0}, {1.0, 0.1}, 2);
    std::atomic<bool> stop{true};
    RunControl control;
    control.stop = &stop;
    RunSettings settings;
    settings.threadCount = 2;
    EXPECT_THROW(crossValidate(problem, settings, control), Stopped);
    EXPECT_THROW(fitModel(problem, 0, 1.0, settings, control), Stopped);
}

TEST(SearchTest, PeakMemoryCountsTheBaseAndTheUnitsAtOnce) {
    const FeatureSet set = featureSet(100, 2, 5);
    GridProblem problem = gridOf(set, KernelType::Rbf, {0.5, 1.0}, {1.0}, 5);
    RunSettings settings;
    settings.threadCount = 2;
    // Caches that hold every fold's whole kernel (80 x 100 entries) and, between them, the base.
    settings.cacheBytes = (8 * 100 * 100 + 2 * 8 * 80 * 100) / 2;
    SearchPlan plan = planSearch(problem, settings, 10);
    EXPECT_TRUE(plan.sharedBase);
    EXPECT_EQ(plan.concurrentUnits, 2);
    EXPECT_EQ(plan.unitBytes, unitBytes(80, 20, 3, 2, settings.cacheBytes));
    EXPECT_GE(plan.unitBytes, 8 * 80 * 100);
    EXPECT_EQ(searchPeakBytes(problem, plan), 8 * 100 * 100 + 2 * plan.unitBytes);
    // A cache of a few columns: no base, and units of a few columns each.
    settings.cacheBytes = 8 * 100 * 3;
    plan = planSearch(problem, settings, 10);
    EXPECT_FALSE(plan.sharedBase);
    EXPECT_EQ(searchPeakBytes(problem, plan), 2 * plan.unitBytes);
    EXPECT_LT(plan.unitBytes - faceStepBytes(80, 3), 8 * 80 * 100);
    EXPECT_EQ(plan.unitBytes - unitBytes(80, 20, 3, 2, 8 * 100), 2 * 8 * 100);
    // The memory budget decides how many run at once.
    settings.memoryBudget = plan.unitBytes;
    EXPECT_EQ(planSearch(problem, settings, 10).concurrentUnits, 1);
    std::vector<double> kernel(100 * 100, 0.0);
    problem.precomputed = kernel.data();
    EXPECT_FALSE(planSearch(problem, settings, 10).sharedBase);
}

}  // namespace

namespace {

// The grid of a feature set with its example `repeated` given `copies` more times, each copy
// appended with its label and fold: the problem that a weight of copies + 1 on it stands for.
struct RepeatedSet {
    FeatureSet set;
    RepeatedSet(const FeatureSet& original, std::int64_t repeated, std::int64_t copies) : set(original) {
        const std::int64_t n = original.n + copies;
        set.n = n;
        set.x.assign(static_cast<std::size_t>(n * original.d), 0.0);
        for (std::int64_t f = 0; f < original.d; ++f) {
            for (std::int64_t i = 0; i < n; ++i) {
                const std::int64_t from = i < original.n ? i : repeated;
                set.x[static_cast<std::size_t>(i + f * n)] = original.x[static_cast<std::size_t>(from + f * original.n)];
            }
        }
        for (std::int64_t c = 0; c < copies; ++c) {
            set.labels.push_back(original.labels[static_cast<std::size_t>(repeated)]);
            set.folds.push_back(original.folds[static_cast<std::size_t>(repeated)]);
        }
    }
};

TEST(SearchTest, WeightsOfOneAreNoWeights) {
    const FeatureSet set = featureSet(90, 3, 3);
    GridProblem plain = gridOf(set, KernelType::Rbf, {0.2, 0.8}, {2.0, 0.2, 0.02}, 3);
    const std::vector<double> ones(90, 1.0);
    GridProblem weighted = plain;
    weighted.weights = ones.data();
    RunSettings settings;
    settings.threadCount = 2;
    settings.keepDecisionValues = true;
    const GridResult a = crossValidate(plain, settings, RunControl{});
    const GridResult b = crossValidate(weighted, settings, RunControl{});
    expectSameGrid(a, b, "weights of one");
    EXPECT_EQ(a.classCorrect, b.classCorrect);
    for (std::size_t cell = 0; cell < a.decisionValues.size(); ++cell) {
        EXPECT_EQ(firstBitDifference(a.decisionValues[cell], b.decisionValues[cell]), -1) << cell;
    }
    const Fit fitA = fitModel(plain, 1, 0.02, settings, RunControl{});
    const Fit fitB = fitModel(weighted, 1, 0.02, settings, RunControl{});
    EXPECT_EQ(firstBitDifference(fitA.tau, fitB.tau), -1);
    // The decision values kept are those the counts come from: the largest wins, ties to the
    // lower class.
    for (std::int64_t cell = 0; cell < 6; ++cell) {
        const std::vector<double>& values = a.decisionValues[static_cast<std::size_t>(cell)];
        std::vector<std::int64_t> correct(3, 0);
        std::vector<std::int64_t> ofClass(9, 0);
        for (std::int64_t i = 0; i < 90; ++i) {
            std::int64_t best = 0;
            for (std::int64_t m = 1; m < 3; ++m) {
                if (values[static_cast<std::size_t>(i + 90 * m)] > values[static_cast<std::size_t>(i + 90 * best)]) best = m;
            }
            const bool right = static_cast<double>(best + 1) == set.labels[static_cast<std::size_t>(i)];
            const auto fold = static_cast<std::size_t>(set.folds[static_cast<std::size_t>(i)]) - 1;
            correct[fold] += right;
            ofClass[fold + 3 * static_cast<std::size_t>(best)] += right;
        }
        for (std::int64_t f = 0; f < 3; ++f) {
            EXPECT_EQ(correct[static_cast<std::size_t>(f)], a.correct[static_cast<std::size_t>(cell + 6 * f)]) << cell;
            for (std::int64_t c = 0; c < 3; ++c) {
                EXPECT_EQ(ofClass[static_cast<std::size_t>(f + 3 * c)],
                          a.classCorrect[static_cast<std::size_t>(cell + 6 * f + 18 * c)]) << cell;
            }
        }
    }
}

// A weight of w on an example is that example w times over, all in its fold: every fold's
// decision values, in units of the margin, and the final fit's rows (the copies' rows summed)
// agree within what the solves' tolerances (0.01 beta on the gradient) leave open.
TEST(SearchTest, AWeightOfWIsTheExampleRepeatedWTimesInItsFold) {
    const FeatureSet set = featureSet(60, 3, 3);
    for (std::int64_t repeated : {4, 17}) {
        for (std::int64_t w : {2, 3}) {
            const RepeatedSet copies(set, repeated, w - 1);
            std::vector<double> weights(60, 1.0);
            weights[static_cast<std::size_t>(repeated)] = static_cast<double>(w);
            const std::vector<double> betas = {2.0, 0.2, 0.02};
            GridProblem weighted = gridOf(set, KernelType::Rbf, {0.3}, betas, 3);
            weighted.weights = weights.data();
            const GridProblem repeatedProblem = gridOf(copies.set, KernelType::Rbf, {0.3}, betas, 3);
            RunSettings settings;
            settings.keepDecisionValues = true;
            const GridResult a = crossValidate(weighted, settings, RunControl{});
            const GridResult b = crossValidate(repeatedProblem, settings, RunControl{});
            const std::int64_t n = 60 + w - 1;
            for (std::size_t beta = 0; beta < betas.size(); ++beta) {
                for (std::int64_t i = 0; i < 60; ++i) {
                    for (std::int32_t m = 0; m < 3; ++m) {
                        const double x = a.decisionValues[beta][static_cast<std::size_t>(i + m * 60)] / betas[beta];
                        const double y = b.decisionValues[beta][static_cast<std::size_t>(i + m * n)] / betas[beta];
                        ASSERT_NEAR(x, y, 0.02) << "example " << i << ", beta " << betas[beta] << ", w " << w;
                    }
                }
            }
            const Fit fitA = fitModel(weighted, 0, 0.02, settings, RunControl{});
            const Fit fitB = fitModel(repeatedProblem, 0, 0.02, settings, RunControl{});
            for (std::int64_t i = 0; i < 60; ++i) {
                for (std::int32_t m = 0; m < 3; ++m) {
                    double row = fitB.tau[static_cast<std::size_t>(i + m * n)];
                    if (i == repeated) {
                        for (std::int64_t c = 60; c < n; ++c) row += fitB.tau[static_cast<std::size_t>(c + m * n)];
                    }
                    ASSERT_NEAR(fitA.tau[static_cast<std::size_t>(i + m * 60)], row, 0.02) << i << ", w " << w;
                }
            }
        }
    }
}

}  // namespace
