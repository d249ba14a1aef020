// Inputs that fuzzing and the sanitizer builds turned up, kept as regression tests.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "dual_solver.h"
#include "problems.h"
#include "reference.h"
#include "solve_internals.h"

namespace {

using zelmor::detail::InstructionSet;
using zelmor::detail::SweepMode;

const InstructionSet kInstructionSets[] = {InstructionSet::Portable, InstructionSet::Avx2, InstructionSet::Avx512};

// No examples, as a caller with empty arrays builds it: every pointer is null. Copying zero
// bytes from or to a null pointer is still undefined behaviour (memcpy's arguments are
// declared non-null), which only a sanitizer build reports.
TEST(FuzzFindings, NoExamplesWithNullPointers) {
    struct Case {
        const char* name;
        bool warm;
        double classCount;
    };
    const Case cases[] = {{"cold, k = 1", false, 1.0}, {"warm, k = 1", true, 1.0}, {"warm, k = 3", true, 3.0}};
    for (const Case& c : cases) {
        zelmor::DualProblem problem;
        problem.kernel = zelmor::MatrixView{nullptr, 0, 0};
        problem.labels = nullptr;
        problem.beta = 1.0;
        problem.classCount = c.classCount;
        problem.exampleCount = 0;
        const zelmor::StartMode start = c.warm ? zelmor::StartMode::warmFrom(zelmor::MatrixView{nullptr, 0, 3})
                                               : zelmor::StartMode::cold();
        for (InstructionSet set : kInstructionSets) {
            if (!zelmor::detail::cpuSupports(set)) continue;
            SCOPED_TRACE(std::string(c.name) + ", " + zelmor::detail::nameOf(set));
            const zelmor::SolveResult got = zelmor::detail::solveDualUsing(set, problem, start, 0.001);
            EXPECT_TRUE(got.tau.empty());
            EXPECT_EQ(got.iterationCount, 0);
        }
    }
}

// Finite values whose sums round far above the residual tolerance make the projection's
// fixed point revisit a set and never settle: a 2-cycle of set sizes (3, 4) near 1.4e14 and
// a 3-cycle (7, 6, 1) near -3.7e12. The loop must still end, at the same pass as the reference
// solver's, with entries that are never negative and never NaN.
TEST(FuzzFindings, ProjectionEndsWhereTheFixedPointCycles) {
    const std::vector<std::vector<double>> inputs = {
        {-0x1.fffffff0000ffp+46, 0x1.f2f2f2f2f2f2fp+46, 0x1.f2f2f2f2f2f19p+46, 0x1.f2f2f2f2f2f2fp+46,
         0x1.f2f2f2f2f2f2fp+46},
        {-0x1.aeaeaeaeaeaebp+41, -0x1.aeaeaeaeaeaeap+41, -0x1.aeaeaeaeaeaeap+41, -0x1.aeaeaeaeaeaeap+41,
         -0x1.aeaeaeaeaeaeap+41, -0x1.aeaeaeaeae2ecp+41, -0x1.aeaeaeaeaeaeap+41},
    };
    for (const auto& input : inputs) {
        const auto count = static_cast<std::int32_t>(input.size());
        const std::vector<double> got = zelmor::projectSimplex(input.data(), count);
        ASSERT_EQ(got.size(), input.size());
        for (double x : got) {
            EXPECT_FALSE(std::isnan(x));
            EXPECT_GE(x, 0.0);
        }
        EXPECT_EQ(testing_support::firstBitDifference(got, zelmor::reference::projectSimplex(input.data(), count)), -1);
    }
}

// A warm start whose overflowing kernel entry sends one sub-problem into such a cycle: every
// variant ends with the reference solver's result.
TEST(FuzzFindings, SolveEndsWhenAProjectionWouldCycle) {
    const double kernel[] = {0x1p+0, 0x0p+0,  0x0p+0, -0x1.fdfd9ffdfdfep+510, 0x1p-3,
                             0x0p+0, 0x0.000005f001201p-1022, 0x0p+0, 0x1p+0};
    const double labels[] = {1, 1, 1};
    const double a = 0x1.c71c71c71c71cp-1;
    const double b = -0x1.c71c71c71c71cp-4;
    // Column-major 3 x 9: the first column is (a, 1, 0), every other one (b, -0, 0).
    std::vector<double> tau0 = {a, 1.0, 0.0};
    for (int m = 1; m < 9; ++m) tau0.insert(tau0.end(), {b, -0.0, 0.0});

    zelmor::DualProblem problem;
    problem.kernel = zelmor::MatrixView{kernel, 3, 3};
    problem.labels = labels;
    problem.beta = 1.0;
    problem.classCount = 9.0;
    problem.exampleCount = 3;
    const zelmor::StartMode start = zelmor::StartMode::warmFrom(zelmor::MatrixView{tau0.data(), 3, 9});
    const zelmor::SolveResult reference = zelmor::reference::solveDual(problem, start, 0.0);
    for (InstructionSet set : kInstructionSets) {
        if (!zelmor::detail::cpuSupports(set)) continue;
        for (SweepMode mode : {SweepMode::Dense, SweepMode::ClassSparse}) {
            SCOPED_TRACE(std::string(zelmor::detail::nameOf(set)) + " " + zelmor::detail::nameOf(mode));
            const zelmor::SolveResult got = zelmor::detail::solveDualUsing(set, problem, start, 0.0, -1, {}, mode);
            EXPECT_EQ(got.iterationCount, reference.iterationCount);
            EXPECT_EQ(testing_support::firstBitDifference(got.tau, reference.tau), -1);
        }
    }
}

}  // namespace
