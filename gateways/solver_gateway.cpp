#include "solver_gateway.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>

#include "dual_solver.h"

namespace zelmor::gateways {

namespace {

using namespace zelmor::mexhost;

constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();
constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();

// Refuses a solve whose storage could never be obtained, before any of it is requested.
void requireWorkingStorage(std::int32_t exampleCount, double classCount) {
    // Every length derived from k is a 32-bit integer.
    if (classCount > static_cast<double>(kInt32Max)) {
        throw GatewayError("zelmor:outOfMemory",
                           formatMessage("class count %.17g exceeds the largest supported, %lld", classCount,
                                         static_cast<long long>(kInt32Max)));
    }
    const std::int64_t n = exampleCount;
    const auto k = static_cast<std::int64_t>(classCount);
    const std::int64_t available = physicalMemoryBytes();
    const std::int64_t working = workingStorageBytes(n, k);
    // n and k are both below 2^31, so n * k fits; the result and the output add 16 bytes each.
    const std::int64_t cells = n * k;
    const bool fits = working >= 0 && cells <= (kInt64Max - working) / 16 && working + cells * 16 <= available;
    if (!fits) {
        throw GatewayError("zelmor:outOfMemory",
                           formatMessage("%lld examples and %lld classes need more memory than this machine "
                                         "has (%lld bytes)",
                                         static_cast<long long>(n), static_cast<long long>(k),
                                         static_cast<long long>(available)));
    }
}

// An exact result that is still not what the caller asked for. Recorded here, raised by the
// caller once the outputs are in place, since the caller may have made it an error.
void recordEndWarning(const SolveResult& result, bool warm, std::int32_t n, double k, double beta,
                      HostReport* warning) {
    const double tolerance = warm ? kContinuedSolveTolerance : kColdStartTolerance;
    // A cold start's first violation is beta itself (with one class there is none at all).
    if (!warm && n > 0 && k >= 2.0 && beta > 0.0 && result.end == SolveEnd::Converged &&
        result.iterationCount == 0) {
        record(*warning, "zelmor:stoppedAtStart",
                      formatMessage("the cold start stopped after its first update: beta = %g is below the tolerance "
                                    "0.001, and a cold start's first violation is beta itself, so tau is far from "
                                    "the solution. Scale the problem instead: zelmor_c2(G*s, labels, beta*s, k) "
                                    "with s = 2^ceil(log2(1/beta)) has the same solution and a tolerance of at "
                                    "most 0.001*beta; zelmor_path and zelmor_train do this for you",
                                    beta)
                          .c_str());
    } else if (n > 0 && result.end == SolveEnd::IterationCap && result.remainingViolation >= tolerance) {
        record(*warning, "zelmor:iterationCap",
                      formatMessage("the solve reached its cap of n^2 = %lld iterations with a violation of %.3g left, "
                                    "not below its tolerance %g: tau is not the solution yet. Continue from it with "
                                    "tau = zelmor_c(G, labels, beta, k, tau); zelmor_path and zelmor_train "
                                    "continue for you",
                                    static_cast<long long>(result.iterationCount), result.remainingViolation,
                                    tolerance)
                          .c_str());
    }
}

void solve(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[], Mode mode, const SolveVariant& variant,
           HostReport* warning) {
    const bool warm = mode == Mode::warm;
    requireArgumentCounts(nrhs, warm ? 5 : 4, nlhs, 2);

    static const char* const kInputNames[] = {"kernel", "labels", "beta", "class count k", "initial tau"};
    for (int i = 0; i < nrhs; ++i) {
        requireRealDoubleMatrix(prhs[i], kInputNames[i]);
    }
    const mxArray* kernel = prhs[0];
    const mxArray* labels = prhs[1];

    const std::int32_t n = requireSquareKernel(kernel);
    const double beta = requireFiniteScalar(prhs[2], "beta", "zelmor:badBeta");
    const double k = requireClassCount(prhs[3]);
    // Ahead of the shape of tau0: an impossible k must read as a memory failure in both functions.
    requireWorkingStorage(n, k);
    requireFiniteEntries(kernel, "kernel", "zelmor:kernelNotFinite");
    requireNonZeroDiagonal(kernel, n);
    requireLabels(labels, n, k);

    const auto columns = static_cast<std::int64_t>(k);
    DualProblem problem;
    problem.kernel = MatrixView{realData(kernel), n, n};
    problem.labels = realData(labels);
    problem.beta = beta;
    problem.classCount = k;
    problem.exampleCount = n;

    StartMode start = StartMode::cold();
    if (warm) {
        const mxArray* initialTau = prhs[4];
        requireShape(initialTau, "initial tau", "zelmor:badInitialTau", n, columns);
        requireFiniteEntries(initialTau, "initial tau", "zelmor:badInitialTau");
        start = StartMode::warmFrom(MatrixView{realData(initialTau), n, columns});
    }

    const double tolerance = warm ? kContinuedSolveTolerance : kColdStartTolerance;
    // Ctrl-C stops the solve within a few iterations; its partial tau goes nowhere.
    const StopRequest stop{[](void*) { return interruptPending(); }, nullptr};
    const SolveResult result = variant.chosen
                                   ? detail::solveDualUsing(variant.set, problem, start, tolerance, -1, stop, variant.sweep)
                                   : solveDual(problem, start, tolerance, stop);
    if (result.end == SolveEnd::Interrupted) {
        throw Interrupted{};
    }
    // The copy below writes exactly n x k doubles into the output.
    if (result.tau.size() != static_cast<std::size_t>(std::int64_t{n} * columns)) {
        throw std::logic_error("the solver returned a result of the wrong size");
    }

    // Slot 0 is always writable (it becomes ans); further slots only when requested.
    mxArray* tau = mxCreateDoubleMatrix(static_cast<mwSize>(n), static_cast<mwSize>(columns), mxREAL);
    std::copy(result.tau.begin(), result.tau.end(), realData(tau));
    plhs[0] = tau;
    if (nlhs >= 2) {
        plhs[1] = mxCreateDoubleScalar(static_cast<double>(result.iterationCount));
    }
    recordEndWarning(result, warm, n, k, beta, warning);
}

}  // namespace

void runSolverGateway(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[], Mode mode,
                      const SolveVariant& variant) {
    HostReport warning;
    runGuarded([&] { solve(nlhs, plhs, nrhs, prhs, mode, variant, &warning); });
    raiseWarning(warning);
}

}  // namespace zelmor::gateways
