// Exact dual solver for the Crammer-Singer multi-class SVM on a precomputed kernel.
//
// Pure numerical core: no host dependency, no printing, no global state, no threads.
// Every array crosses this interface as a flat block of doubles in column-major order
// (element (r, c) at index r + c * rows). Results are reproducible to the last bit: the
// evaluation orders, comparison strictness and starting values below are part of the contract,
// and the build keeps -ffp-contract=off and no fast-math on every target.
//
// Errors: the functions report nothing but their results. The only failure they can raise
// is std::bad_alloc when working storage cannot be obtained; callers that must not throw
// (the MEX gateways) catch it.
#ifndef ZELMOR_SOLVER_DUAL_SOLVER_H
#define ZELMOR_SOLVER_DUAL_SOLVER_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zelmor {

// Non-owning view of a real double matrix in column-major order.
struct MatrixView {
    const double* data = nullptr;
    std::int64_t rows = 0;
    std::int64_t cols = 0;

    double at(std::int64_t r, std::int64_t c) const { return data[r + c * rows]; }
};

// The rows of a kernel made on demand, in place of a kernel held whole: row(context, p) returns
// G(p, l) for l = 0 .. n-1, valid until the next call, or nullptr once the caller wants the solve
// to stop (making a row can take a while); diagonal holds G(i, i) for every example. A warm start
// without a gradient reads row l in place of column l, so that one needs a symmetric kernel.
struct KernelRows {
    const double* (*row)(void* context, std::int64_t p) = nullptr;
    void* context = nullptr;
    const double* diagonal = nullptr;
};

// Read-only inputs of one solve, borrowed from the caller for the whole call.
//
// Preconditions (the gateways check them; the solver trusts them):
//   kernel       exampleCount x exampleCount, finite, non-zero diagonal. It need not be
//                symmetric: the update follows row p of the selected example, exactly.
//   rows         when not null, the kernel's rows come from it and kernel is not read; the
//                same conditions hold for the rows it makes. The results are the same bits as
//                from the kernel held whole.
//   labels       exampleCount doubles, each integral and within 1 .. classCount.
//   beta         finite.
//   classCount   a positive integer no larger than INT32_MAX, held as a double.
//   exampleCount 0 or more; any int32 value is allowed (counts are carried in 64 bits).
//   weights      when not null, exampleCount positive finite weights w_i: example i's C is
//                w_i * C, so its row's bound is w_i * Y_i (tau_i <= w_i * Y_i) in place of Y_i.
//                Null: every weight 1, and a weight of exactly 1 gives the bits of no weight.
struct DualProblem {
    MatrixView kernel;
    const KernelRows* rows = nullptr;
    const double* labels = nullptr;
    double beta = 0.0;
    double classCount = 0.0;
    std::int32_t exampleCount = 0;
    const double* weights = nullptr;
};

// Cold start (tau = 0) or warm start from an exampleCount x k matrix tau0 (column-major).
// A warm start takes tau0 unchecked: a row outside the constraints is corrected only when
// its example is selected. It computes the gradient G * tau0 - beta * Y, unless it is given
// one (initialGradient, exampleCount x k, column-major): a solve that continues where another
// ended, or at another beta, takes the gradient that one kept (SolveControl::keepGradient)
// instead of summing n^2 * k products again.
struct StartMode {
    bool warm = false;
    MatrixView initialTau;
    MatrixView initialGradient;

    static StartMode cold() { return StartMode{}; }
    static StartMode warmFrom(MatrixView tau0) { return StartMode{true, tau0, MatrixView{}}; }
    static StartMode warmFrom(MatrixView tau0, MatrixView gradient) { return StartMode{true, tau0, gradient}; }
};

// Why a solve returned.
enum class SolveEnd {
    Converged,        // the selected violation fell below the tolerance
    IterationCap,     // the cap of n * n iterations was reached
    NothingSelected,  // a sweep selected no example (possible only with overflowing values)
    Interrupted,      // the caller's StopRequest asked to stop, or its KernelRows made no row
};

struct SolveResult {
    std::vector<double> tau;          // exampleCount x k, column-major
    std::vector<double> grad;         // the same shape, when SolveControl::keepGradient; else empty
    std::int64_t iterationCount = 0;  // see solveDual
    SolveEnd end = SolveEnd::Converged;
    // The largest violation of the returned tau, as the sweep after the last update measured
    // it; -100 when that sweep selected no example (or no iteration ran). Below the tolerance,
    // the returned tau meets it even when the solve ended at the cap.
    double remainingViolation = -100.0;
    // How often the solve moved its gradient between the dense and the class-sparse layout
    // (automatic sweep mode only); the results are the same either way.
    std::int64_t layoutMoves = 0;
};

// Lets the caller stop a long solve: requested(context) is asked every few iterations (how
// many is chosen from n * k so that asking costs well under 1% of the work) and between
// stretches of the warm start; once it answers true, solveDual returns tau as it stands with
// end == SolveEnd::Interrupted. A solve that is never asked to stop gives the same bits as
// one without a StopRequest.
struct StopRequest {
    bool (*requested)(void* context) = nullptr;
    void* context = nullptr;

    bool now() const { return requested != nullptr && requested(context); }
};

// Lets one solve share each iteration's pass over the examples with threads the caller keeps:
// run(context, count, piece, pieceContext) calls piece(pieceContext, i) once for every i in
// [0, count), on any threads in any order, and returns once all are done. A solve cuts its pass
// into at most `threads` pieces of whole blocks of examples, each of leastBlocks blocks of eight
// examples or more, so that a piece costs far more than handing it over. The results are the same
// bits however the pieces run.
struct SolveWorkers {
    void (*run)(void* context, std::int64_t count, void (*piece)(void* pieceContext, std::int64_t i),
                void* pieceContext) = nullptr;
    void* context = nullptr;
    int threads = 1;
    std::int64_t leastBlocks = 1024;
};

// Absolute stopping tolerances of the two solver MEX functions: zelmor_c continues from given
// dual variables, zelmor_c2 starts cold. The first is the double-precision product 0.1 * 0.1
// (0x3F847AE147AE147C), one ulp above the double nearest 0.01; keep it that way.
constexpr double kContinuedSolveTolerance = 0.1 * 0.1;
constexpr double kColdStartTolerance = 0.001;

// The MEX functions' sweep starts from hi = -100 and lo = 100: gradient entries at or below -100
// never raise hi, eligible entries at or above 100 never lower lo, and only a violation above
// -100 selects an example. These finite starting values are part of those functions' results;
// large gradients (a large scale, far outliers) then hide violations.
constexpr double kSweepStart = 100.0;

// How one solve runs, beyond its problem and start.
struct SolveControl {
    double tolerance = kColdStartTolerance;
    // The sweep's starting bound (see kSweepStart); infinity measures every violation as it is.
    double sweepStart = kSweepStart;
    // The cap in place of n * n iterations when not negative: a solve on some of the examples
    // of a larger problem keeps the larger problem's cap.
    std::int64_t iterationCap = -1;
    // Lowers the cap when not negative.
    std::int64_t iterationLimit = -1;
    // Hand the final gradient back in SolveResult::grad, for a warm start that continues.
    bool keepGradient = false;
    // Threads to share each iteration's pass with; null: the calling thread alone.
    const SolveWorkers* workers = nullptr;
    // Told, as often as the StopRequest is asked, the iterations so far and the largest violation
    // the last sweep measured.
    void (*progress)(void* context, std::int64_t iterations, double violation) = nullptr;
    void* progressContext = nullptr;
};
// Solves the dual by repeated selection of the example with the largest violation of the
// optimality conditions, an exact solve of its k-variable sub-problem and a gradient update
// of every example.
//
// Runs on the widest instruction set the CPU offers (AVX-512, AVX2, or portable C++), chosen
// at run time; every choice gives the same results, bit for bit.
//
// iterationCount: on convergence, the zero-based index of the stopping iteration (one less
// than the number of updates applied, since the converging iteration still applies its
// update); when the cap of n * n iterations is reached, the cap; when a sweep selects no
// example at all (possible only with overflowing values), or when interrupted, the number of
// updates applied.
SolveResult solveDual(const DualProblem& problem, const StartMode& start, double tolerance,
                      const StopRequest& stop = StopRequest{});
SolveResult solveDual(const DualProblem& problem, const StartMode& start, const SolveControl& control,
                      const StopRequest& stop = StopRequest{});

// Euclidean projection of values[0 .. count-1] onto the probability simplex, with the
// threshold found by a fixed-point iteration on the set of entries at or above it.
std::vector<double> projectSimplex(const double* values, std::int32_t count);

// The same into projected[0 .. count-1], with no allocation.
void projectSimplexInto(const double* values, std::int32_t count, double* projected);

// The most passes the fixed-point iteration makes; the last pass's threshold is used. Every set
// it visits is {j : v[j] >= t} for some t, so it is fixed by its size, and a pass depends on the
// previous size alone: a run that ends does so within count + 2 passes, and one that revisits a
// size never ends. The limit is reached only by such cycles: non-finite values produce them, and
// so do finite values large enough (around 1e12 and beyond) that their sums lose the digits the
// residual test needs. The reference solver stops at the same pass, so the two agree even there.
std::int64_t projectionPassLimit(std::int32_t count);

// Bytes of working storage solveDual needs beyond its inputs and its result, or -1 when the
// figure does not fit in 64 bits. Lets a caller refuse an impossible request before
// touching memory.
std::int64_t workingStorageBytes(std::int64_t exampleCount, std::int64_t classCount);

}  // namespace zelmor

#endif  // ZELMOR_SOLVER_DUAL_SOLVER_H
