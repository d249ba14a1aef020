#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "dual_solver.h"
#include "reference.h"
#include "problems.h"

namespace {

using testing_support::sameBits;

double fromBits(std::uint64_t bits) {
    double value = 0.0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

struct ProjectionCase {
    const char* name;
    std::vector<double> input;
    std::vector<double> expected;  // exact bits
};

TEST(ProjectSimplex, HandSolvedCasesToTheBit) {
    const double inf = std::numeric_limits<double>::infinity();
    const ProjectionCase cases[] = {
        {"two zeros", {0.0, 0.0}, {0.5, 0.5}},
        {"one dominant entry", {5.0, 0.0, 0.0}, {1.0, 0.0, 0.0}},
        // theta = (0.2 + 0.1 - 1) / 2 after the set grows from {0} to {0, 1}.
        {"set grows once", {0.2, 0.1}, {fromBits(0x3fe199999999999aULL), fromBits(0x3fdccccccccccccc)}},
        // Residual 5e-7 is inside the tolerance, so theta stays 1 although the set grew.
        {"residual within tolerance", {2.0, 1.0 + 5e-7}, {1.0, fromBits(0x3ea0c6f7a0c00000ULL)}},
        // Every entry below the peak's start: empty set, theta -inf, then both, then {0}.
        {"all below -100", {-200.0, -300.0}, {1.0, 0.0}},
        // Also below -100, but here the peak's start decides: from the empty set theta goes to
        // -inf, then (v0 + v1 - 1) / 2, and the set {0} ends the loop with a residual of 2.5e-7.
        // A peak started at v0 would stop at once with theta = v0 - 1 and give exactly 1.
        {"peak starts at -100, not at the largest entry", {-554.6437222028748, -555.6437227028748},
         {fromBits(0x3ff00000431bde00ULL), 0.0}},
        {"empty", {}, {}},
        {"single entry", {-7.0}, {1.0}},
        {"entry at exactly -100 joins the initial set", {-100.0, -100.0}, {0.5, 0.5}},
        {"infinite entry", {inf, 0.0}, {0.0, 0.0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<double> got = zelmor::projectSimplex(c.input.data(), static_cast<std::int32_t>(c.input.size()));
        ASSERT_EQ(got.size(), c.expected.size());
        for (std::size_t j = 0; j < got.size(); ++j) {
            EXPECT_TRUE(sameBits(got[j], c.expected[j])) << "entry " << j << ": " << got[j] << " vs " << c.expected[j];
        }
    }
}

TEST(ProjectSimplex, EqualEntriesShareTheMassEvenly) {
    for (std::int32_t length : {1, 2, 3, 7, 26, 1000}) {
        const std::vector<double> input(static_cast<std::size_t>(length), 0.25);
        const std::vector<double> got = zelmor::projectSimplex(input.data(), length);
        for (double x : got) EXPECT_NEAR(x, 1.0 / length, 1e-15) << "length " << length;
    }
}

// Extreme but finite sub-problems can overflow; the fixed point must still end.
TEST(ProjectSimplex, EndsOnNonFiniteValues) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<std::vector<double>> inputs = {
        {nan}, {nan, 1.0}, {-inf, -inf}, {inf, -inf, nan}, {1e308, 1e308, 1e308}, {-1e308, 1e308, -1e308, 3.0},
        {inf, inf}, {nan, nan, nan, nan, 0.5},
    };
    for (const auto& input : inputs) {
        const std::vector<double> got = zelmor::projectSimplex(input.data(), static_cast<std::int32_t>(input.size()));
        const std::vector<double> reference = zelmor::reference::projectSimplex(input.data(), static_cast<std::int32_t>(input.size()));
        EXPECT_EQ(got.size(), input.size());
        EXPECT_EQ(testing_support::firstBitDifference(got, reference), -1);
    }
}

TEST(ProjectSimplex, AgreesWithTheReferenceOnRandomVectors) {
    std::mt19937_64 rng(20261209);
    for (int trial = 0; trial < 20000; ++trial) {
        const std::int32_t length = std::uniform_int_distribution<std::int32_t>(0, 30)(rng);
        const double scale = std::pow(10.0, std::uniform_real_distribution<double>(-8, 4)(rng));
        std::vector<double> input(static_cast<std::size_t>(length));
        for (auto& v : input) {
            // Coarse values produce ties and exact residuals; fine ones exercise rounding.
            v = trial % 3 == 0 ? std::round(std::normal_distribution<double>(0, 3)(rng)) / 4
                               : std::normal_distribution<double>(0, scale)(rng);
        }
        const auto got = zelmor::projectSimplex(input.data(), length);
        const auto reference = zelmor::reference::projectSimplex(input.data(), length);
        ASSERT_EQ(testing_support::firstBitDifference(got, reference), -1) << "trial " << trial;
        if (length > 0) {
            double sum = 0.0;
            for (double x : got) {
                EXPECT_GE(x, 0.0);
                sum += x;
            }
            EXPECT_NEAR(sum, 1.0, 1e-5) << "trial " << trial;
        }
    }
}

}  // namespace
