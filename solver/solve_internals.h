// The inner loops of the solve, written once over a lane type (solve_loops.h) and built for
// each instruction set, and the means to pick one. Internal to the solver; tests and benchmarks
// include it to run every instruction set and sweep mode side by side.
//
// Every build performs the same IEEE operations in the same order on every value, so all of
// them give bitwise identical results; they differ only in how many examples one instruction
// handles.
#ifndef ZELMOR_SOLVER_SOLVE_INTERNALS_H
#define ZELMOR_SOLVER_SOLVE_INTERNALS_H

#include <cstdint>
#include <vector>

#include "dual_solver.h"
#include "instruction_sets.h"

namespace zelmor {
namespace detail {

// Examples are grouped in blocks of this many; one class of one block is one run of eight
// doubles, a 64-byte line. The last block is padded; padded lanes hold values that nothing
// ever reads as results.
constexpr std::int64_t kBlockWidth = 8;

// Where the gradient and the eligibility of example i and class m live, for block b = i / 8:
//   grad[b * blockStride + m * classStride + i % 8]
//   bit (i % 8) of eligible[b * eligibleBlockStride + m * eligibleClassStride]  (target > tau)
// Two layouts use it. Blocked: each block holds all its classes (classStride 8), so a pass over
// every class of every example is one contiguous stream. Class-major: each class holds all
// its blocks (blockStride 8), so a pass over a few classes streams a few contiguous arrays.
struct GradientLayout {
    double* grad = nullptr;
    std::uint8_t* eligible = nullptr;
    // The eligibility bytes block by block whatever the layout, byte (b, m) at b * classCount + m:
    // measuring a block reads them as one line. In the blocked layout, the same bytes as eligible.
    const std::uint8_t* blockEligible = nullptr;
    // Class-major layout only (see SparseUpdate): per block, eight upper bounds of hi and then
    // eight lower bounds of lo, one per lane; and per block the largest bound of a violation.
    double* bounds = nullptr;
    double* blockLargest = nullptr;
    std::int64_t exampleCount = 0;
    std::int64_t blockCount = 0;
    std::int32_t classCount = 0;
    std::int64_t blockStride = 0;
    std::int64_t classStride = 0;
    std::int64_t eligibleBlockStride = 0;
    std::int64_t eligibleClassStride = 0;
    // The sweep looks for the largest violation from hi = -sweepStart and lo = sweepStart (see
    // SolveControl).
    double sweepStart = kSweepStart;

    double* gradAt(std::int64_t block, std::int32_t m) const { return grad + block * blockStride + m * classStride; }
    const std::uint8_t* eligibleAt(std::int64_t block, std::int32_t m) const {
        return eligible + block * eligibleBlockStride + m * eligibleClassStride;
    }
};

// The example a sweep selects (-1 for none) and its violation. The violation may differ from a
// plain sweep's figure in the sign of a zero, which no comparison can see.
struct Selection {
    std::int64_t example = -1;
    double violation = -100.0;
};

// The classes an update changes, with their deltas; every other class has delta +0.0 or -0.0.
struct ChangedClasses {
    std::int32_t count = 0;
    const std::int32_t* classes = nullptr;
    const double* deltas = nullptr;
};

// One class-sparse update and the sweep that follows it. Only the changed classes are written:
// a zero delta times a finite kernel entry is a zero, and adding a zero leaves every entry as
// it was but perhaps for the sign of a zero, which no comparison and no division by a non-zero
// diagonal followed by adding the target can see.
//
// hi and lo are not recomputed for every example. Each example keeps an upper bound of hi and
// a lower bound of lo, which an update can move only through the changed classes, so the
// update pass keeps them with a maximum and a minimum per changed class. Their difference
// bounds the example's violation. The sweep then measures exactly, over every class, the block
// with the largest bound, and after it, in order, every block whose bound reaches the largest
// violation measured so far; no other block can hold the largest violation. Measuring a block
// also makes its bounds exact again.
struct SparseUpdate {
    const double* line = nullptr;  // G(p, l), l = 0 .. n-1
    ChangedClasses changed;
    // The updated example: its eligibility changed, so its block is measured exactly.
    std::int64_t updatedExample = -1;
};

struct SolveLoops {
    // The sweep: largest violation hi - lo over all examples, ties to the lowest index. With a
    // bounds array in the layout, also sets every bound to the exact hi and lo.
    Selection (*select)(const GradientLayout& layout);
    // grad(l, m) = delta[m] * line[l] + grad(l, m) for every example l and class m, then the
    // sweep as select() does it.
    Selection (*updateAndSelect)(const GradientLayout& layout, const double* line, const double* delta);
    // The same update and sweep for an update that changes few classes, in the class-major
    // layout with its bounds.
    Selection (*sparseUpdateAndSelect)(const GradientLayout& layout, const SparseUpdate& update);
    // grad(j, m) = grad(j, m) + G(j, l) * tau(l, m) for l = rows[0], rows[1], ... in that order
    // (increasing), G the n x n kernel and tau the n x k dual variables, both column-major.
    void (*accumulateKernelProducts)(const GradientLayout& layout, const double* kernel, const double* tau,
                                     const std::int64_t* rows, std::int64_t rowCount);
};

// The selection from per-lane results: the largest violation over the lanes, and among the
// lanes holding it the lowest example. Lanes keep their own first maximum, so this is the
// first maximum overall.
Selection firstMaximumOfLanes(const double (&violation)[kBlockWidth], const std::int64_t (&example)[kBlockWidth]);

// The solve loops built for `set` (see instruction_sets.h).
const SolveLoops& loopsFor(InstructionSet set);

// How the gradient is updated: every class of every example in one pass (Dense), or only the
// classes an update changes (ClassSparse). Automatic starts by the class count and moves
// between the two by the share of classes the updates change. Alternating moves between them
// every few iterations whatever the shares, so that tests can check the selection across many
// moves. All give the same bits.
enum class SweepMode { Automatic, Dense, ClassSparse, Alternating };

const char* nameOf(SweepMode mode);
// The mode Automatic starts a solve of k classes in.
SweepMode chooseSweepMode(std::int32_t classCount);

// solveDual on a chosen instruction set and sweep mode; solveDual itself uses fastestSupported() and Automatic.
// iterationLimit, when not negative, lowers the cap of n * n iterations to it (for benchmarks
// timing a stretch).
SolveResult solveDualUsing(InstructionSet set, const DualProblem& problem, const StartMode& start, double tolerance,
                           std::int64_t iterationLimit = -1, const StopRequest& stop = StopRequest{},
                           SweepMode mode = SweepMode::Automatic);
SolveResult solveDualUsing(InstructionSet set, const DualProblem& problem, const StartMode& start,
                           const SolveControl& control, const StopRequest& stop = StopRequest{},
                           SweepMode mode = SweepMode::Automatic);

// The gradient as the start leaves it, row-major n x k (entry (i, m) at i * k + m): lets a
// test compare the start alone, including the warm start's sums, with a reference.
std::vector<double> startGradientUsing(InstructionSet set, const DualProblem& problem, const StartMode& start,
                                       SweepMode mode = SweepMode::Dense);

}  // namespace detail
}  // namespace zelmor

#endif  // ZELMOR_SOLVER_SOLVE_INTERNALS_H
