#include "definedness.h"

#include <cstddef>
#include <vector>

#include "plain_dual_solver.h"

namespace fuzzing {

namespace {

struct UpperSet {
    std::int64_t size = 0;
    double sum = 0.0;
};

UpperSet atOrAbove(const double* values, std::int32_t length, double threshold) {
    UpperSet set;
    for (std::int32_t j = 0; j < length; ++j) {
        if (values[j] >= threshold) {
            ++set.size;
            set.sum = set.sum + values[j];
        }
    }
    return set;
}

}  // namespace

bool projectionEnds(const double* values, std::int32_t count) {
    const std::int32_t length = count > 0 ? count : 0;
    double peak = -100.0;
    for (std::int32_t j = 0; j < length; ++j) {
        if (values[j] > peak) peak = values[j];
    }
    UpperSet current = atOrAbove(values, length, peak);
    // Sets {j : v[j] >= t} are nested, so one is fixed by its size, and a pass depends on
    // nothing but the set it starts from: a size seen twice at the start of a pass is a cycle.
    std::vector<bool> seen(static_cast<std::size_t>(length) + 1, false);
    for (;;) {
        if (seen[static_cast<std::size_t>(current.size)]) return false;
        seen[static_cast<std::size_t>(current.size)] = true;
        const double theta = (current.sum - 1.0) / static_cast<double>(current.size);
        const UpperSet next = atOrAbove(values, length, theta);
        const double residual = (next.sum - static_cast<double>(next.size) * theta) - 1.0;
        if ((residual <= 0.000001 && residual >= -0.000001) || next.size == current.size) return true;
        current = next;
    }
}

bool solveIsDefined(const zelmor::DualProblem& problem, const zelmor::StartMode& start, double tolerance,
                    std::int64_t iterationLimit, zelmor::SolveResult* replayed) {
    const std::int64_t n = problem.exampleCount;
    const std::int64_t k = static_cast<std::int32_t>(problem.classCount);
    const double* kernel = problem.kernel.data;
    const std::size_t cells = static_cast<std::size_t>(n * k);
    // Per example rows: element (i, m) at i * k + m.
    std::vector<double> tau(cells, 0.0);
    std::vector<double> grad(cells, 0.0);
    std::vector<double> target(cells, 0.0);
    std::vector<double> violation(static_cast<std::size_t>(n));
    std::vector<double> sub(static_cast<std::size_t>(k));
    std::vector<double> fresh(static_cast<std::size_t>(k));
    std::vector<double> delta(static_cast<std::size_t>(k));

    for (std::int64_t i = 0; i < n; ++i) {
        const std::int64_t c = static_cast<std::int64_t>(problem.labels[i]) - 1;
        target[static_cast<std::size_t>(i * k + c)] = 1.0;
    }
    if (start.warm) {
        for (std::int64_t i = 0; i < n; ++i) {
            for (std::int64_t m = 0; m < k; ++m) tau[static_cast<std::size_t>(i * k + m)] = start.initialTau.data[i + m * n];
        }
        for (std::int64_t j = 0; j < n; ++j) {
            for (std::int64_t m = 0; m < k; ++m) {
                double sum = 0.0;
                for (std::int64_t l = 0; l < n; ++l) sum = sum + kernel[j + l * n] * tau[static_cast<std::size_t>(l * k + m)];
                grad[static_cast<std::size_t>(j * k + m)] = sum;
            }
        }
        for (std::int64_t i = 0; i < n; ++i) {
            const std::int64_t c = static_cast<std::int64_t>(problem.labels[i]) - 1;
            grad[static_cast<std::size_t>(i * k + c)] = grad[static_cast<std::size_t>(i * k + c)] - problem.beta;
        }
    } else {
        for (std::int64_t i = 0; i < n; ++i) {
            const std::int64_t c = static_cast<std::int64_t>(problem.labels[i]) - 1;
            grad[static_cast<std::size_t>(i * k + c)] = -problem.beta;
        }
    }

    const std::int64_t cap = iterationLimit >= 0 && iterationLimit < n * n ? iterationLimit : n * n;
    replayed->iterationCount = cap;
    for (std::int64_t t = 0; t < cap; ++t) {
        double best = -100.0;
        std::int64_t p = -1;
        for (std::int64_t j = 0; j < n; ++j) {
            double hi = -100.0;
            double lo = 100.0;
            for (std::int64_t m = 0; m < k; ++m) {
                const std::size_t at = static_cast<std::size_t>(j * k + m);
                if (grad[at] > hi) hi = grad[at];
                if (target[at] > tau[at] && lo > grad[at]) lo = grad[at];
            }
            violation[static_cast<std::size_t>(j)] = hi - lo;
            if (hi - lo > best) {
                best = hi - lo;
                p = j;
            }
        }
        if (p < 0) {
            replayed->iterationCount = t;
            break;
        }
        const double diagonal = kernel[p * (n + 1)];
        for (std::int64_t m = 0; m < k; ++m) {
            const std::size_t at = static_cast<std::size_t>(p * k + m);
            sub[static_cast<std::size_t>(m)] = ((grad[at] / diagonal) - tau[at]) + target[at];
        }
        if (!projectionEnds(sub.data(), static_cast<std::int32_t>(k))) return false;
        const std::vector<double> nu = plain::projectSimplex(sub.data(), static_cast<std::int32_t>(k));
        for (std::int64_t m = 0; m < k; ++m) {
            const std::size_t at = static_cast<std::size_t>(m);
            fresh[at] = problem.labels[p] - 1.0 == static_cast<double>(m) ? 1.0 - nu[at] : -nu[at];
            delta[at] = fresh[at] - tau[static_cast<std::size_t>(p * k + m)];
        }
        for (std::int64_t l = 0; l < n; ++l) {
            const double g = kernel[p + l * n];
            for (std::int64_t m = 0; m < k; ++m) {
                const std::size_t at = static_cast<std::size_t>(l * k + m);
                grad[at] = delta[static_cast<std::size_t>(m)] * g + grad[at];
            }
        }
        for (std::int64_t m = 0; m < k; ++m) tau[static_cast<std::size_t>(p * k + m)] = fresh[static_cast<std::size_t>(m)];
        if (violation[static_cast<std::size_t>(p)] < tolerance) {
            replayed->iterationCount = t;
            break;
        }
    }

    replayed->tau.assign(cells, 0.0);
    for (std::int64_t i = 0; i < n; ++i) {
        for (std::int64_t m = 0; m < k; ++m) {
            replayed->tau[static_cast<std::size_t>(i + m * n)] = tau[static_cast<std::size_t>(i * k + m)];
        }
    }
    return true;
}

}  // namespace fuzzing
