#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "dual_solver.h"
#include "reference.h"
#include "problems.h"

namespace {

using testing_support::firstBitDifference;
using testing_support::OwnedProblem;
using testing_support::sameBits;

std::uint64_t bitsOf(double value) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

OwnedProblem smallProblem(std::int32_t n, std::int32_t k, std::vector<double> kernel, std::vector<double> labels,
                          double beta, std::vector<double> tau0 = {}, bool warm = false) {
    OwnedProblem p;
    p.n = n;
    p.k = k;
    p.kernel = std::move(kernel);
    p.labels = std::move(labels);
    p.beta = beta;
    p.warm = warm;
    p.tau0 = std::move(tau0);
    return p;
}

TEST(Tolerances, HaveTheirExactBitPatterns) {
    EXPECT_EQ(bitsOf(zelmor::kContinuedSolveTolerance), 0x3F847AE147AE147CULL);
    EXPECT_EQ(bitsOf(zelmor::kColdStartTolerance), 0x3F50624DD2F1A9FCULL);
    // One ulp above the double nearest 0.01.
    EXPECT_EQ(bitsOf(0.01), 0x3F847AE147AE147BULL);
}

struct SolveCase {
    const char* name;
    OwnedProblem problem;
    double tolerance;
    std::vector<double> expectedTau;  // exact bits, column-major
    std::int64_t expectedCount;
    zelmor::SolveEnd expectedEnd;
};

TEST(SolveDual, HandSolvedCasesToTheBit) {
    const double warmTol = zelmor::kContinuedSolveTolerance;
    const double coldTol = zelmor::kColdStartTolerance;
    const double halfWarmTol = warmTol / 2;     // violation 2 * a lands exactly on the tolerance
    const double halfNearest = 0.01 / 2;        // ... or exactly on the double nearest 0.01
    constexpr auto Converged = zelmor::SolveEnd::Converged;
    constexpr auto Cap = zelmor::SolveEnd::IterationCap;
    constexpr auto NothingSelected = zelmor::SolveEnd::NothingSelected;
    const SolveCase cases[] = {
        // One example: the cap is a single iteration, violation 1 does not stop it.
        {"cold, one example", smallProblem(1, 2, {1.0}, {1.0}, 1.0), coldTol, {0.5, -0.5}, 1, Cap},
        // Warm from that result: violation 0, one null update, count 0.
        {"warm from the cold result", smallProblem(1, 2, {1.0}, {1.0}, 1.0, {0.5, -0.5}, true), warmTol,
         {0.5, -0.5}, 0, Converged},
        // Projection gives (1, 0, 0): the new row negates the zeros into -0.0.
        {"negated zeros stay negative", smallProblem(1, 3, {1.0}, {1.0}, -5.0), coldTol, {0.0, -0.0, -0.0}, 0, Converged},
        {"no examples, cold", smallProblem(0, 3, {}, {}, 1.0), coldTol, {}, 0, Cap},
        {"no examples, warm", smallProblem(0, 3, {}, {}, 1.0, {}, true), warmTol, {}, 0, Cap},
        // A violation equal to the tolerance does not stop; the cap (1) ends the run.
        {"violation equal to tolerance", smallProblem(1, 2, {1.0}, {1.0}, 0.0, {halfWarmTol, -halfWarmTol}, true),
         warmTol, {0.0, -0.0}, 1, Cap},
        // The double nearest 0.01 lies below the warm tolerance and stops at once.
        {"violation at nearest 0.01", smallProblem(1, 2, {1.0}, {1.0}, 0.0, {halfNearest, -halfNearest}, true),
         warmTol, {0.0, -0.0}, 0, Converged},
        // tau0 = target and a non-positive gradient: every violation is -100, none selected.
        {"no example selected", smallProblem(1, 2, {1.0}, {1.0}, 2.0, {1.0, 0.0}, true), warmTol, {1.0, 0.0}, 0, NothingSelected},
        // A negative diagonal is no kernel, but the result is defined.
        {"negative diagonal", smallProblem(1, 2, {-1.0}, {2.0}, 1.0), coldTol, {-0.0, 0.0}, 1, Cap},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const zelmor::SolveResult got = zelmor::solveDual(c.problem.problem(), c.problem.start(), c.tolerance);
        EXPECT_EQ(got.iterationCount, c.expectedCount);
        EXPECT_EQ(got.end, c.expectedEnd);
        ASSERT_EQ(got.tau.size(), c.expectedTau.size());
        for (std::size_t i = 0; i < got.tau.size(); ++i) {
            EXPECT_TRUE(sameBits(got.tau[i], c.expectedTau[i])) << "tau[" << i << "] = " << got.tau[i];
        }
        const zelmor::SolveResult reference = zelmor::reference::solveDual(c.problem.problem(), c.problem.start(), c.tolerance);
        EXPECT_EQ(firstBitDifference(got.tau, reference.tau), -1);
        EXPECT_EQ(got.iterationCount, reference.iterationCount);
    }
}

// The one-example cold solve ends at its cap of one iteration with a tau that already meets
// the tolerance: the sweep after the update measures violation 0.
TEST(SolveDual, ReportsTheViolationLeftAfterTheLastUpdate) {
    const OwnedProblem p = smallProblem(1, 2, {1.0}, {1.0}, 1.0);
    const zelmor::SolveResult got = zelmor::solveDual(p.problem(), p.start(), zelmor::kColdStartTolerance);
    EXPECT_EQ(got.end, zelmor::SolveEnd::IterationCap);
    EXPECT_EQ(got.remainingViolation, 0.0);
}

// A StopRequest ends the solve where it answers true and changes nothing while it does not.
TEST(SolveDual, StopRequestEndsEarlyWithoutChangingBits) {
    struct Counter {
        int asked = 0;
        int stopAt = -1;
    };
    const auto ask = [](void* context) {
        auto* counter = static_cast<Counter*>(context);
        return counter->asked++ == counter->stopAt;
    };
    testing_support::RandomOptions options;
    options.exampleCount = 300;
    options.classCount = 4;
    options.allowWarm = false;
    const OwnedProblem p = testing_support::randomProblem(7, options);
    const zelmor::SolveResult uninterrupted = zelmor::solveDual(p.problem(), p.start(), 0.0);
    Counter never;
    const zelmor::SolveResult asked = zelmor::solveDual(p.problem(), p.start(), 0.0, zelmor::StopRequest{ask, &never});
    EXPECT_GT(never.asked, 1);
    EXPECT_EQ(asked.iterationCount, uninterrupted.iterationCount);
    EXPECT_EQ(firstBitDifference(asked.tau, uninterrupted.tau), -1);
    Counter second{0, 1};
    const zelmor::SolveResult stopped = zelmor::solveDual(p.problem(), p.start(), 0.0, zelmor::StopRequest{ask, &second});
    EXPECT_EQ(stopped.end, zelmor::SolveEnd::Interrupted);
    EXPECT_GT(stopped.iterationCount, 0);
    EXPECT_LT(stopped.iterationCount, uninterrupted.iterationCount);

    // A warm start asks between stretches of its kernel products: a stop there ends the solve
    // before any iteration, with tau as given.
    const OwnedProblem large = testing_support::clusteredProblem(800, 26, 4, 0.006, 0.1);
    std::vector<double> tau0(static_cast<std::size_t>(800 * 26), 0.0);
    for (std::size_t i = 0; i < 800; ++i) {
        const auto c = static_cast<std::size_t>(large.labels[i]) - 1;
        tau0[i + c * 800] = 0.25;
        tau0[i + ((c + 1) % 26) * 800] = -0.25;
    }
    Counter warm{0, 1};
    const zelmor::SolveResult warmStopped =
        zelmor::solveDual(large.problem(), zelmor::StartMode::warmFrom(zelmor::MatrixView{tau0.data(), 800, 26}), 0.0,
                          zelmor::StopRequest{ask, &warm});
    EXPECT_EQ(warmStopped.end, zelmor::SolveEnd::Interrupted);
    EXPECT_EQ(warmStopped.iterationCount, 0);
    EXPECT_EQ(warm.asked, 2);
    EXPECT_EQ(firstBitDifference(warmStopped.tau, tau0), -1);
}

// Two identical examples share the largest violation; the first is updated, the second
// left bitwise as it was, and the small violation stops the run after that one update.
TEST(SolveDual, TieGoesToTheLowestNumberedExample) {
    const double a = 0.5025;
    const OwnedProblem p = smallProblem(2, 2, {1.0, 0.0, 0.0, 1.0}, {1.0, 1.0}, 1.0, {a, a, -a, -a}, true);
    const zelmor::SolveResult got = zelmor::solveDual(p.problem(), p.start(), zelmor::kContinuedSolveTolerance);
    EXPECT_EQ(got.iterationCount, 0);
    EXPECT_FALSE(sameBits(got.tau[0], a));  // example 0, class 0
    EXPECT_TRUE(sameBits(got.tau[1], a));   // example 1, class 0
    EXPECT_TRUE(sameBits(got.tau[3], -a));  // example 1, class 1
}

// Each updated row satisfies tau <= target exactly and sums to zero within the projection's
// tolerance; a cold start updates or leaves feasible every row.
TEST(SolveDual, ColdSolutionsAreFeasible) {
    for (std::uint64_t seed = 1; seed <= 300; ++seed) {
        testing_support::RandomOptions options;
        options.allowWarm = false;
        const OwnedProblem p = testing_support::randomProblem(seed, options);
        const zelmor::SolveResult got = zelmor::solveDual(p.problem(), p.start(), zelmor::kColdStartTolerance);
        for (std::int32_t i = 0; i < p.n; ++i) {
            double sum = 0.0;
            for (std::int32_t m = 0; m < p.k; ++m) {
                const double value = got.tau[static_cast<std::size_t>(i + m * p.n)];
                const double target = (p.labels[static_cast<std::size_t>(i)] - 1 == m) ? 1.0 : 0.0;
                EXPECT_LE(value, target) << p.describe() << " seed " << seed;
                sum += value;
            }
            EXPECT_NEAR(sum, 0.0, 1e-5) << p.describe() << " seed " << seed;
        }
    }
}

void expectAgreesWithTheReference(const OwnedProblem& p, double tolerance, const std::string& label) {
    const zelmor::SolveResult got = zelmor::solveDual(p.problem(), p.start(), tolerance);
    const zelmor::SolveResult reference = zelmor::reference::solveDual(p.problem(), p.start(), tolerance);
    ASSERT_EQ(got.tau.size(), static_cast<std::size_t>(p.n) * static_cast<std::size_t>(p.k)) << label;
    ASSERT_EQ(got.iterationCount, reference.iterationCount) << label << " " << p.describe();
    const std::int64_t diff = firstBitDifference(got.tau, reference.tau);
    ASSERT_EQ(diff, -1) << label << " " << p.describe() << " first difference at " << diff;
}

TEST(SolveDual, AgreesWithTheReferenceOnRandomProblems) {
    const double tolerances[] = {zelmor::kColdStartTolerance, zelmor::kContinuedSolveTolerance, 0.0};
    for (std::uint64_t seed = 1; seed <= 1500; ++seed) {
        const OwnedProblem p = testing_support::randomProblem(seed);
        expectAgreesWithTheReference(p, tolerances[seed % 3], "seed " + std::to_string(seed));
    }
}

TEST(SolveDual, AgreesWithTheReferenceOnManyClasses) {
    testing_support::RandomOptions options;
    options.maxExamples = 90;
    options.maxClasses = 26;
    for (std::uint64_t seed = 5001; seed <= 5060; ++seed) {
        const OwnedProblem p = testing_support::randomProblem(seed, options);
        expectAgreesWithTheReference(p, zelmor::kColdStartTolerance, "seed " + std::to_string(seed));
    }
}

// Extreme but finite inputs overflow inside the loop; the result must still be reached and
// agree with the reference solver.
TEST(SolveDual, AgreesWithTheReferenceOnExtremeValues) {
    const double betas[] = {1e-300, 1e-6, 1e6, 1e300, -1e300};
    const double scales[] = {1e-300, 1e300};
    int index = 0;
    for (double beta : betas) {
        for (double scale : scales) {
            OwnedProblem p = testing_support::randomProblem(9000 + static_cast<std::uint64_t>(index++));
            p.beta = beta;
            for (auto& g : p.kernel) g *= scale;
            expectAgreesWithTheReference(p, zelmor::kColdStartTolerance, "beta " + std::to_string(beta));
        }
    }
}

std::vector<std::vector<double>> readIris(std::vector<double>* labels) {
    std::ifstream file(ZELMOR_TEST_DATA_DIR "/iris.csv");
    std::vector<std::vector<double>> features;
    std::string line;
    std::getline(file, line);  // header
    while (std::getline(file, line)) {
        std::stringstream fields(line);
        std::string field;
        std::vector<double> row;
        while (std::getline(fields, field, ',')) row.push_back(std::stod(field));
        if (row.size() < 2) continue;
        labels->push_back(row.back() + 1.0);  // 0-based in the file
        row.pop_back();
        features.push_back(row);
    }
    return features;
}

TEST(SolveDual, AgreesWithTheReferenceOnIris) {
    OwnedProblem p;
    const auto features = readIris(&p.labels);
    ASSERT_EQ(features.size(), 150u);
    std::mt19937_64 rng(7);
    p.n = 150;
    p.k = 3;
    p.beta = 1.0;
    p.kernel = testing_support::makeKernel(features, testing_support::KernelKind::Rbf, rng);
    expectAgreesWithTheReference(p, zelmor::kColdStartTolerance, "iris cold");
    p.tau0 = zelmor::solveDual(p.problem(), p.start(), zelmor::kColdStartTolerance).tau;
    p.warm = true;
    p.beta = 3.0;
    expectAgreesWithTheReference(p, zelmor::kContinuedSolveTolerance, "iris warm");
}

TEST(WorkingStorage, FiguresOverflowAsMinusOne) {
    EXPECT_EQ(zelmor::workingStorageBytes(0, 1), 5 * 8 + 4);
    // At least the gradient, n x k doubles; the result is not working storage.
    EXPECT_GE(zelmor::workingStorageBytes(1000, 26), 1000 * 26 * 8);
    EXPECT_EQ(zelmor::workingStorageBytes(std::numeric_limits<std::int32_t>::max(), 1000000000000LL), -1);
    EXPECT_EQ(zelmor::workingStorageBytes(-1, 3), -1);
}

}  // namespace
