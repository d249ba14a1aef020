// The inner loops of the solve, one implementation per instruction set, and the means to pick
// one. Internal to the solver; tests and benchmarks include it to run every path side by side.
//
// Every implementation performs the same IEEE operations in the same order on every value, so
// all of them give bitwise identical results; they differ only in how many examples one
// instruction handles.
#ifndef ZELMOR_SOLVER_SOLVE_KERNELS_H
#define ZELMOR_SOLVER_SOLVE_KERNELS_H

#include <cstdint>
#include <vector>

#include "dual_solver.h"

namespace zelmor {
namespace detail {

// Examples are grouped in blocks of this many. Within a block the gradient is stored class by
// class, so one class of a whole block is one contiguous run of doubles and one block, all
// classes included, is one contiguous stretch of memory:
//   gradient entry (i, m) at index ((i / kBlockWidth) * k + m) * kBlockWidth + i % kBlockWidth.
// The last block is padded; padded lanes hold values that nothing ever reads as results.
constexpr std::int64_t kBlockWidth = 8;

// The working state the kernels share with the solve loop.
struct GradientBlocks {
    double* grad = nullptr;              // blockCount * classCount * kBlockWidth doubles
    const std::uint8_t* eligible = nullptr;  // byte (block, m): bit lane set when target > tau
    std::int64_t exampleCount = 0;
    std::int64_t blockCount = 0;
    std::int32_t classCount = 0;
};

// The example a sweep selects (-1 for none) and its violation. The violation may differ from
// the sweep's own figure in the sign of a zero, which no comparison can see.
struct Selection {
    std::int64_t example = -1;
    double violation = 0.0;
};

// The selection from per-lane results: the largest violation over the lanes, and among the
// lanes holding it the lowest example. Lanes keep their own first maximum, so this is the
// first maximum overall. Violations are never NaN (hi >= -100 and lo <= 100 throughout).
Selection firstMaximumOfLanes(const double (&violation)[kBlockWidth], const std::int64_t (&example)[kBlockWidth]);

struct SolveKernels {
    // The sweep: largest violation hi - lo over all examples, ties to the lowest index.
    Selection (*select)(const GradientBlocks& state);
    // grad(l, m) = delta[m] * line[l] + grad(l, m) for every example l and class m, each
    // example's violation measured right after its own update, then selected as select() does.
    Selection (*updateAndSelect)(const GradientBlocks& state, const double* line, const double* delta);
    // grad(j, m) = grad(j, m) + G(j, l) * tau(l, m) for l = 0 .. n-1 in increasing order, G
    // the n x n kernel and tau the n x k dual variables, both column-major.
    void (*accumulateKernelProducts)(const GradientBlocks& state, const double* kernel, const double* tau);
};

enum class InstructionSet { Portable, Avx2, Avx512 };

const char* nameOf(InstructionSet set);
bool cpuSupports(InstructionSet set);
InstructionSet fastestSupported();
const SolveKernels& kernelsFor(InstructionSet set);

// solveDual on a chosen path; solveDual itself uses fastestSupported(). iterationLimit, when
// not negative, lowers the cap of n * n iterations to it (for benchmarks timing a stretch).
SolveResult solveDualUsing(InstructionSet set, const DualProblem& problem, const StartMode& start, double tolerance,
                           std::int64_t iterationLimit = -1, const StopRequest& stop = StopRequest{});

// The gradient as the start leaves it, row-major n x k (entry (i, m) at i * k + m): lets a
// test compare the start alone, including the warm start's sums, with a reference.
std::vector<double> startGradientUsing(InstructionSet set, const DualProblem& problem, const StartMode& start);

}  // namespace detail
}  // namespace zelmor

#endif  // ZELMOR_SOLVER_SOLVE_KERNELS_H
