// Face steps against the plain greedy solve: each step keeps every row within its bounds and
// summing to zero, keeps the gradient G * tau - beta * Y and lowers the objective by what it
// says; paths with them reach the greedy paths' optimum within the tolerance, on every kernel
// type, from 2 to 26 classes and across the grid of beta, with the same bits on any thread count.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "face_step.h"
#include "kernel_cache.h"
#include "kernels.h"
#include "path.h"
#include "problems.h"
#include "search.h"

namespace {

using namespace zelmor;
using namespace zelmor::engine;
using testing_support::firstBitDifference;

// n examples of d features around one centre per class, and their kernel.
struct Problem {
    std::int64_t n = 0;
    std::int32_t k = 0;
    std::vector<double> x, labels, kernel;
    KernelSetting setting;
};

Problem problemOf(std::int64_t n, std::int32_t k, KernelType type, std::uint64_t seed) {
    Problem p;
    p.n = n;
    p.k = k;
    const std::int64_t d = 4;
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::vector<double> centres(static_cast<std::size_t>(k * d));
    for (double& c : centres) c = 2.0 * noise(rng);
    p.x.resize(static_cast<std::size_t>(n * d));
    for (std::int64_t i = 0; i < n; ++i) {
        const std::int64_t c = i % k;
        p.labels.push_back(static_cast<double>(c + 1));
        for (std::int64_t f = 0; f < d; ++f) p.x[i + f * n] = centres[c * d + f] + noise(rng);
    }
    p.setting.type = type;
    p.setting.gamma = type == KernelType::Rbf ? 0.05 : 0.2;
    p.setting.degree = 2;
    p.setting.offset = 1.0;
    p.kernel.resize(static_cast<std::size_t>(n * n));
    kernelMatrix(p.setting, Examples{p.x.data(), n, d}, nullptr, p.kernel.data(), n, 1, nullptr);
    return p;
}

std::vector<double> gradientOf(const Problem& p, const std::vector<double>& tau, double beta) {
    std::vector<double> grad(static_cast<std::size_t>(p.n * p.k));
    for (std::int32_t m = 0; m < p.k; ++m) {
        for (std::int64_t i = 0; i < p.n; ++i) {
            double sum = 0.0;
            for (std::int64_t j = 0; j < p.n; ++j) sum += p.kernel[i + j * p.n] * tau[j + m * p.n];
            grad[i + m * p.n] = sum - (static_cast<std::int32_t>(p.labels[i]) - 1 == m ? beta : 0.0);
        }
    }
    return grad;
}

double objectiveOf(const Problem& p, const std::vector<double>& tau, double beta) {
    const std::vector<double> grad = gradientOf(p, tau, beta);
    double value = 0.0;
    for (std::int32_t m = 0; m < p.k; ++m) {
        for (std::int64_t i = 0; i < p.n; ++i) {
            const double own = static_cast<std::int32_t>(p.labels[i]) - 1 == m ? beta : 0.0;
            value += 0.5 * tau[i + m * p.n] * (grad[i + m * p.n] + own) - own * tau[i + m * p.n];
        }
    }
    return value;
}

// The largest violation of tau, from a fresh gradient, and how far a row strays from its
// bounds or its sum.
double violationOf(const Problem& p, const std::vector<double>& tau, double beta) {
    const std::vector<double> grad = gradientOf(p, tau, beta);
    double largest = 0.0;
    for (std::int64_t i = 0; i < p.n; ++i) {
        const auto c = static_cast<std::int32_t>(p.labels[i]) - 1;
        double hi = -INFINITY, lo = INFINITY;
        for (std::int32_t m = 0; m < p.k; ++m) {
            hi = std::max(hi, grad[i + m * p.n]);
            if ((m == c ? 1.0 : 0.0) > tau[i + m * p.n]) lo = std::min(lo, grad[i + m * p.n]);
        }
        largest = std::max(largest, hi - lo);
    }
    return largest;
}

double infeasibilityOf(const Problem& p, const std::vector<double>& tau) {
    double worst = 0.0;
    for (std::int64_t i = 0; i < p.n; ++i) {
        double sum = 0.0;
        for (std::int32_t m = 0; m < p.k; ++m) {
            const double t = tau[i + m * p.n];
            sum += t;
            worst = std::max(worst, t - (static_cast<std::int32_t>(p.labels[i]) - 1 == m ? 1.0 : 0.0));
        }
        worst = std::max(worst, std::fabs(sum));
    }
    return worst;
}

TEST(FaceStep, KeepsTheBoundsTheSumsAndTheGradient) {
    int taken = 0;
    for (KernelType type : {KernelType::Rbf, KernelType::Linear, KernelType::Poly}) {
        for (std::int32_t k : {2, 5, 26}) {
            const Problem p = problemOf(150, k, type, 7 + k);
            KernelCache cache(givenKernel(p.kernel.data(), p.n), everyExample(p.n), {}, std::int64_t{1} << 30,
                              nullptr, StopRequest{});
            const std::vector<std::int64_t> every = everyExample(p.n);
            KernelCache::SolveRows rows;
            cache.bindRows(&every, &rows);
            for (double beta : {1.0, 0.05, 0.002}) {
                DualProblem dual;
                dual.rows = &rows.rows;
                dual.labels = p.labels.data();
                dual.beta = beta;
                dual.classCount = p.k;
                dual.exampleCount = static_cast<std::int32_t>(p.n);
                SolveControl control;
                control.tolerance = 0.0;
                control.iterationLimit = 400;
                control.keepGradient = true;
                control.sweepStart = INFINITY;
                SolveResult greedy = solveDual(dual, StartMode::cold(), control);
                std::vector<double> tau = greedy.tau, grad = greedy.grad;
                for (int step = 0; step < 3; ++step) {
                    const double before = objectiveOf(p, tau, beta);
                    const FaceStepResult face = faceStep(dual, &tau, &grad, FaceStepSettings{});
                    const double after = objectiveOf(p, tau, beta);
                    const std::vector<double> fresh = gradientOf(p, tau, beta);
                    double drift = 0.0;
                    for (std::size_t i = 0; i < fresh.size(); ++i) drift = std::max(drift, std::fabs(fresh[i] - grad[i]));
                    EXPECT_LT(drift, 1e-12) << "type " << static_cast<int>(type) << ", k " << k << ", beta " << beta;
                    // The greedy steps' projections leave sums within 1e-6 of zero; face steps keep them.
                    EXPECT_LT(infeasibilityOf(p, tau), 2e-6);
                    if (face.taken) {
                        ++taken;
                        EXPECT_LT(face.decrease, 0.0);
                        EXPECT_NEAR(after - before, face.decrease, 1e-9 * (1.0 + std::fabs(before)));
                    } else {
                        EXPECT_EQ(after, before);
                    }
                }
            }
        }
    }
    EXPECT_GT(taken, 20);
}

TEST(FaceStep, PathsReachTheGreedyOptimum) {
    const double betas[] = {4.0, 0.5, 0.05, 0.005};
    std::uint64_t seed = 100;
    for (KernelType type : {KernelType::Rbf, KernelType::Linear, KernelType::Poly}) {
        std::int64_t faceSteps = 0;
        for (std::int32_t k : {2, 3, 8, 26}) {
            const Problem p = problemOf(k == 26 ? 130 : 90, k, type, ++seed);
            std::vector<std::vector<double>> taus[2];
            std::vector<PathStep> steps[2];
            for (int faces = 0; faces < 2; ++faces) {
                KernelCache cache(givenKernel(p.kernel.data(), p.n), everyExample(p.n), {}, std::int64_t{1} << 30,
                                  nullptr, StopRequest{});
                PathProblem path{&cache, p.labels.data(), static_cast<std::int32_t>(p.n), p.k};
                PathSettings settings;
                // Often, so that small problems take many.
                settings.faceStepEvery = faces == 1 ? 40 : 0;
                settings.maxRestarts = 100;
                steps[faces] = solvePath(path, betas, 4, settings,
                                         [&](std::int64_t, const std::vector<double>& tau) { taus[faces].push_back(tau); });
                ASSERT_EQ(steps[faces].size(), 4u);
            }
            for (std::size_t b = 0; b < 4; ++b) {
                SCOPED_TRACE(testing::Message() << "type " << static_cast<int>(type) << ", k " << k << ", beta " << betas[b]);
                faceSteps += steps[1][b].faceSteps;
                for (int faces = 0; faces < 2; ++faces) {
                    EXPECT_TRUE(steps[faces][b].converged);
                    // Measured afresh: a path goes on until no example is above its tolerance.
                    EXPECT_LT(violationOf(p, taus[faces][b], betas[b]), steps[faces][b].tolerance * (1 + 1e-9));
                    EXPECT_LT(infeasibilityOf(p, taus[faces][b]), 2e-6);
                }
                // Within the tolerance of each other: tau . (violations) bounds each one's gap.
                const double scale = static_cast<double>(p.n) * steps[1][b].tolerance;
                EXPECT_NEAR(objectiveOf(p, taus[1][b], betas[b]), objectiveOf(p, taus[0][b], betas[b]), 2 * scale);
            }
        }
        EXPECT_GT(faceSteps, 0) << "type " << static_cast<int>(type);
    }
}

TEST(FaceStep, AFitWithThemIsTheSameOnEveryThreadCount) {
    const Problem p = problemOf(200, 6, KernelType::Rbf, 3);
    GridProblem problem;
    problem.labels = p.labels.data();
    problem.exampleCount = static_cast<std::int32_t>(p.n);
    problem.classCount = p.k;
    problem.features = Examples{p.x.data(), p.n, 4};
    problem.kernelSettings.push_back(p.setting);
    RunSettings settings;
    settings.leastBlocksPerPiece = 1;
    settings.path.faceStepEvery = 100;
    std::vector<double> first;
    for (int threads : {1, 2, 3}) {
        settings.threadCount = threads;
        const Fit fit = fitModel(problem, 0, 0.01, settings, RunControl{});
        EXPECT_GT(fit.step.faceSteps, 0);
        if (first.empty()) first = fit.tau;
        EXPECT_EQ(firstBitDifference(fit.tau, first), -1) << threads << " threads";
    }
}

}  // namespace
