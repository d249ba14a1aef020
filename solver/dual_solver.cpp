// The solve loop: selection by largest violation, exact per-example sub-problem, gradient update.
#include "dual_solver.h"

#include <cstring>

namespace zelmor {

namespace {

// Working state of one solve. tau, grad and target are stored per example: the k values of
// one example are contiguous, so all per-example work touches one row.
struct DualState {
    std::vector<double> tau;
    std::vector<double> grad;
    std::vector<double> target;
    std::vector<double> kernelDiag;
    std::vector<double> violation;
    std::vector<double> subproblem;
    std::vector<double> delta;
};

bool multiplyOverflows(std::int64_t a, std::int64_t b, std::int64_t* product) {
    return __builtin_mul_overflow(a, b, product);
}

}  // namespace

std::int64_t workingStorageBytes(std::int64_t exampleCount, std::int64_t classCount) {
    if (exampleCount < 0 || classCount < 0) return -1;
    // Three n x k matrices, two vectors of n, and four of k (the sub-problem, the delta,
    // and the projection's result and scratch).
    std::int64_t cells = 0;
    std::int64_t matrices = 0;
    if (multiplyOverflows(exampleCount, classCount, &cells)) return -1;
    if (multiplyOverflows(cells, 3, &matrices)) return -1;
    std::int64_t doubles = matrices;
    if (__builtin_add_overflow(doubles, 2 * exampleCount, &doubles)) return -1;
    if (__builtin_add_overflow(doubles, 4 * classCount, &doubles)) return -1;
    std::int64_t bytes = 0;
    if (multiplyOverflows(doubles, static_cast<std::int64_t>(sizeof(double)), &bytes)) return -1;
    return bytes;
}

SolveResult solveDual(const DualProblem& problem, const StartMode& start, double tolerance) {
    const std::int64_t n = problem.exampleCount > 0 ? problem.exampleCount : 0;
    const std::int32_t k = static_cast<std::int32_t>(problem.classCount);
    const std::size_t rowWidth = static_cast<std::size_t>(k);
    const std::size_t cells = static_cast<std::size_t>(n) * rowWidth;
    const double* kernel = problem.kernel.data;
    const double* labels = problem.labels;
    const double beta = problem.beta;

    // In 64 bits: n * n overflows 32 bits beyond n = 46340.
    const std::int64_t iterationCap = n * n;

    DualState state;
    state.tau.assign(cells, 0.0);
    state.grad.assign(cells, 0.0);
    state.target.assign(cells, 0.0);
    state.kernelDiag.resize(static_cast<std::size_t>(n));
    state.violation.resize(static_cast<std::size_t>(n));
    state.subproblem.resize(rowWidth);
    state.delta.resize(rowWidth);

    double* tau = state.tau.data();
    double* grad = state.grad.data();
    double* target = state.target.data();

    auto classIndex = [&](std::int64_t i) {
        return static_cast<std::int64_t>(static_cast<std::int32_t>(labels[i])) - 1;
    };

    if (start.warm) {
        const double* tau0 = start.initialTau.data;
        for (std::int64_t i = 0; i < n; ++i) {
            for (std::int32_t m = 0; m < k; ++m) tau[i * k + m] = tau0[i + m * n];
        }
        // grad(j, m) = sum over l of G(j, l) * tau(l, m), each entry accumulated in
        // increasing l from 0.0 (grad starts at 0.0). Walking l outermost reads kernel
        // column l contiguously without changing any entry's order of summation.
        for (std::int64_t l = 0; l < n; ++l) {
            const double* column = kernel + l * n;
            const double* tauRow = tau + l * k;
            for (std::int64_t j = 0; j < n; ++j) {
                const double g = column[j];
                double* gradRow = grad + j * k;
                for (std::int32_t m = 0; m < k; ++m) gradRow[m] = gradRow[m] + g * tauRow[m];
            }
        }
        for (std::int64_t i = 0; i < n; ++i) {
            const std::int64_t c = classIndex(i);
            target[i * k + c] = 1.0;
            grad[i * k + c] = grad[i * k + c] - beta;
        }
    } else {
        for (std::int64_t i = 0; i < n; ++i) {
            const std::int64_t c = classIndex(i);
            target[i * k + c] = 1.0;
            // Assigned, not subtracted from 0: beta = 0 gives -0.0 here.
            grad[i * k + c] = -beta;
        }
    }

    for (std::int64_t i = 0; i < n; ++i) state.kernelDiag[static_cast<std::size_t>(i)] = kernel[i * (n + 1)];

    SolveResult result;
    result.iterationCount = iterationCap;
    for (std::int64_t t = 0; t < iterationCap; ++t) {
        // Starting values are finite on purpose: entries at or below -100 never raise hi,
        // eligible entries at or above 100 never lower lo, and only a violation strictly
        // above -100 selects an example. Ties go to the lowest-numbered example.
        double best = -100.0;
        std::int64_t p = -1;
        for (std::int64_t j = 0; j < n; ++j) {
            const double* g = grad + j * k;
            const double* y = target + j * k;
            const double* x = tau + j * k;
            double hi = -100.0;
            double lo = 100.0;
            for (std::int32_t m = 0; m < k; ++m) {
                if (g[m] > hi) hi = g[m];
                if (y[m] > x[m] && lo > g[m]) lo = g[m];
            }
            const double violation = hi - lo;
            state.violation[static_cast<std::size_t>(j)] = violation;
            if (violation > best) {
                best = violation;
                p = j;
            }
        }
        // No example selected: nothing can be updated, so stop with tau as it stands.
        if (p < 0) {
            result.iterationCount = t;
            break;
        }

        double* tauP = tau + p * k;
        const double* gradP = grad + p * k;
        const double* targetP = target + p * k;
        const double diag = state.kernelDiag[static_cast<std::size_t>(p)];
        for (std::int32_t m = 0; m < k; ++m) {
            // Order fixed: ((grad / diag) - tau) + target.
            state.subproblem[static_cast<std::size_t>(m)] = ((gradP[m] / diag) - tauP[m]) + targetP[m];
        }
        const std::vector<double> nu = projectSimplex(state.subproblem.data(), k);
        const double labelIndex = labels[p] - 1.0;
        double* delta = state.delta.data();
        for (std::int32_t m = 0; m < k; ++m) {
            // Negation, not 0 - nu: a zero becomes -0.0.
            const double updated = labelIndex == static_cast<double>(m) ? 1.0 - nu[static_cast<std::size_t>(m)]
                                                                       : -nu[static_cast<std::size_t>(m)];
            delta[m] = updated - tauP[m];
            state.subproblem[static_cast<std::size_t>(m)] = updated;
        }

        // Row p of G (stride n): for an asymmetric kernel this, not column p, is what the
        // update follows. Product then sum, never fused.
        for (std::int64_t l = 0; l < n; ++l) {
            const double g = kernel[p + l * n];
            double* gradRow = grad + l * k;
            for (std::int32_t m = 0; m < k; ++m) gradRow[m] = delta[m] * g + gradRow[m];
        }
        std::memcpy(tauP, state.subproblem.data(), rowWidth * sizeof(double));

        // Strict: a violation equal to the tolerance does not stop. The converging iteration
        // has already applied its update.
        if (state.violation[static_cast<std::size_t>(p)] < tolerance) {
            result.iterationCount = t;
            break;
        }
    }

    result.tau.resize(cells);
    for (std::int64_t i = 0; i < n; ++i) {
        for (std::int32_t m = 0; m < k; ++m) result.tau[static_cast<std::size_t>(i + m * n)] = tau[i * k + m];
    }
    return result;
}

}  // namespace zelmor
