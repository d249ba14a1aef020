#include "reference.h"

namespace zelmor {
namespace reference {

namespace {

// How many entries of v are at least `threshold`, and their sum in increasing j from 0.0.
void countAndSumAtLeast(const double* v, std::int32_t L, double threshold, std::int64_t* count, double* sum) {
    *count = 0;
    *sum = 0.0;
    for (std::int32_t j = 0; j < L; j++) {
        if (v[j] >= threshold) {
            *count = *count + 1;
            *sum = *sum + v[j];
        }
    }
}

}  // namespace

std::vector<double> projectSimplex(const double* v, std::int32_t L) {
    std::vector<double> x(static_cast<std::size_t>(L > 0 ? L : 0));
    double c = -100;
    for (std::int32_t j = 0; j < L; j++) {
        if (v[j] > c) c = v[j];
    }
    std::int64_t count;
    double sum;
    countAndSumAtLeast(v, L, c, &count, &sum);
    double theta;
    // The pass limit only ends cycles (see projectionPassLimit): the fast projection stops at
    // the same pass, so the two agree even where the iteration would never end.
    const std::int64_t passLimit = projectionPassLimit(L);
    for (std::int64_t pass = 1;; pass++) {
        theta = (sum - 1) / static_cast<double>(count);
        std::int64_t count2;
        double sum2;
        countAndSumAtLeast(v, L, theta, &count2, &sum2);
        double residual = (sum2 - static_cast<double>(count2) * theta) - 1;
        if ((residual <= 0.000001 && residual >= -0.000001) || count2 == count) break;
        if (pass >= passLimit) break;
        count = count2;
        sum = sum2;
    }
    for (std::int32_t j = 0; j < L; j++) {
        if (v[j] > theta) {
            x[static_cast<std::size_t>(j)] = v[j] - theta;
        } else {
            x[static_cast<std::size_t>(j)] = 0.0;
        }
    }
    return x;
}

SolveResult solveDual(const DualProblem& problem, const StartMode& start, double tolerance, std::int64_t iterationLimit) {
    const std::int64_t n = problem.exampleCount;
    const double k = problem.classCount;
    const std::int64_t K = static_cast<std::int32_t>(k);
    const double* G = problem.kernel.data;
    const double* labels = problem.labels;
    const double beta = problem.beta;
    auto at = [K](std::vector<double>& rows, std::int64_t i, double m) -> double& {
        return rows[static_cast<std::size_t>(i * K + static_cast<std::int64_t>(m))];
    };
    // Example i's bound (its own class's target): its weight, or 1.
    auto weightOf = [&problem](std::int64_t i) { return problem.weights != nullptr ? problem.weights[i] : 1.0; };

    std::int64_t iterationCap = n * n;
    if (iterationLimit >= 0 && iterationLimit < iterationCap) iterationCap = iterationLimit;
    std::vector<double> tau(static_cast<std::size_t>(n * K)), grad(static_cast<std::size_t>(n * K)),
        target(static_cast<std::size_t>(n * K)), kernelDiag(static_cast<std::size_t>(n)),
        violation(static_cast<std::size_t>(n)), D(static_cast<std::size_t>(K)), delta(static_cast<std::size_t>(K)),
        tauNew(static_cast<std::size_t>(K));

    if (start.warm) {
        const double* tau0 = start.initialTau.data;
        for (std::int64_t i = 0; i < n; i++) {
            for (double m = 0; m < k; m = m + 1) {
                at(tau, i, m) = tau0[i + static_cast<std::int64_t>(m) * n];
                at(grad, i, m) = 0;
                at(target, i, m) = 0;
            }
        }
        for (std::int64_t j = 0; j < n; j++) {
            for (double m = 0; m < k; m = m + 1) {
                double s = 0.0;
                for (std::int64_t l = 0; l < n; l++) s = s + G[j + l * n] * at(tau, l, m);
                at(grad, j, m) = s;
            }
        }
        for (std::int64_t i = 0; i < n; i++) {
            double c = static_cast<double>(static_cast<std::int64_t>(labels[i]) - 1);
            at(target, i, c) = weightOf(i);
            at(grad, i, c) = at(grad, i, c) - beta;
        }
    } else {
        for (std::int64_t i = 0; i < n; i++) {
            for (double m = 0; m < k; m = m + 1) {
                at(tau, i, m) = 0;
                at(grad, i, m) = 0;
                at(target, i, m) = 0;
            }
        }
        for (std::int64_t i = 0; i < n; i++) {
            double c = static_cast<double>(static_cast<std::int64_t>(labels[i]) - 1);
            at(target, i, c) = weightOf(i);
            at(grad, i, c) = -beta;
        }
    }
    for (std::int64_t i = 0; i < n; i++) kernelDiag[static_cast<std::size_t>(i)] = G[i * (n + 1)];

    SolveResult result;
    result.end = SolveEnd::IterationCap;
    std::int64_t t = 0;
    bool stopped = false;
    for (t = 0; t < iterationCap; t++) {
        double best = -100;
        std::int64_t p = -1;
        for (std::int64_t j = 0; j < n; j++) {
            double hi = -100;
            double lo = 100;
            for (double m = 0; m < k; m = m + 1) {
                double g = at(grad, j, m);
                if (g > hi) hi = g;
                if (at(target, j, m) > at(tau, j, m) && lo > g) lo = g;
            }
            violation[static_cast<std::size_t>(j)] = hi - lo;
            if (violation[static_cast<std::size_t>(j)] > best) {
                best = violation[static_cast<std::size_t>(j)];
                p = j;
            }
        }
        if (p == -1) {
            stopped = true;
            result.end = SolveEnd::NothingSelected;
            break;
        }
        for (double m = 0; m < k; m = m + 1) {
            D[static_cast<std::size_t>(m)] =
                ((at(grad, p, m) / kernelDiag[static_cast<std::size_t>(p)]) - at(tau, p, m)) + at(target, p, m);
        }
        // The row's simplex sums to its weight w: nu = w * projectSimplex(D / w), with neither step
        // for a weight of 1.
        const double w = weightOf(p);
        if (w != 1.0) {
            for (double m = 0; m < k; m = m + 1) D[static_cast<std::size_t>(m)] = D[static_cast<std::size_t>(m)] / w;
        }
        std::vector<double> nu = projectSimplex(D.data(), static_cast<std::int32_t>(k));
        if (w != 1.0) {
            for (double m = 0; m < k; m = m + 1) nu[static_cast<std::size_t>(m)] = w * nu[static_cast<std::size_t>(m)];
        }
        for (double m = 0; m < k; m = m + 1) {
            if (labels[p] - 1 == m) {
                tauNew[static_cast<std::size_t>(m)] = w - nu[static_cast<std::size_t>(m)];
            } else {
                tauNew[static_cast<std::size_t>(m)] = -nu[static_cast<std::size_t>(m)];
            }
            delta[static_cast<std::size_t>(m)] = tauNew[static_cast<std::size_t>(m)] - at(tau, p, m);
        }
        for (std::int64_t l = 0; l < n; l++) {
            for (double m = 0; m < k; m = m + 1) {
                at(grad, l, m) = delta[static_cast<std::size_t>(m)] * G[p + l * n] + at(grad, l, m);
            }
        }
        for (double m = 0; m < k; m = m + 1) at(tau, p, m) = tauNew[static_cast<std::size_t>(m)];
        if (violation[static_cast<std::size_t>(p)] < tolerance) {
            stopped = true;
            result.end = SolveEnd::Converged;
            break;
        }
    }
    result.iterationCount = stopped ? t : iterationCap;
    result.tau.resize(static_cast<std::size_t>(n * K));
    for (std::int64_t i = 0; i < n; i++) {
        for (double m = 0; m < k; m = m + 1) {
            result.tau[static_cast<std::size_t>(i + static_cast<std::int64_t>(m) * n)] = at(tau, i, m);
        }
    }
    return result;
}

}  // namespace reference
}  // namespace zelmor
