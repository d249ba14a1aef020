// Projection onto the probability simplex by a fixed-point iteration on the threshold.
#include "dual_solver.h"

namespace zelmor {

namespace {

// Entries at or above the threshold, and their sum taken in increasing index from 0.0.
struct UpperSet {
    std::int64_t count = 0;
    double sum = 0.0;
};

UpperSet collectAtOrAbove(const double* values, std::int32_t length, double threshold) {
    UpperSet set;
    for (std::int32_t j = 0; j < length; ++j) {
        if (values[j] >= threshold) {
            ++set.count;
            set.sum = set.sum + values[j];
        }
    }
    return set;
}

}  // namespace

std::vector<double> projectSimplex(const double* values, std::int32_t count) {
    const std::int32_t length = count > 0 ? count : 0;
    std::vector<double> projected(static_cast<std::size_t>(length));

    // The peak starts at -100, not -infinity: when every entry lies below it the initial
    // set is empty and the first threshold is -infinity, which then selects every entry.
    double peak = -100.0;
    for (std::int32_t j = 0; j < length; ++j) {
        if (values[j] > peak) peak = values[j];
    }
    UpperSet current = collectAtOrAbove(values, length, peak);

    // Every set visited is {j : v[j] >= t} for some t, so it is fixed by its size, and a
    // pass is a function of the previous size alone: a run that ends does so within
    // length + 2 passes, and one that revisits a size never ends. The bound below is
    // reached only by such cycles: non-finite values produce them, and so do finite values
    // large enough (around 1e12 and beyond) that their sums lose the digits the residual test needs.
    const std::int64_t passLimit = 2 * static_cast<std::int64_t>(length) + 16;
    double theta = 0.0;
    for (std::int64_t pass = 1;; ++pass) {
        theta = (current.sum - 1.0) / static_cast<double>(current.count);
        const UpperSet next = collectAtOrAbove(values, length, theta);
        // Order fixed: (sum - count * theta) - 1; both bounds inclusive.
        const double residual = (next.sum - static_cast<double>(next.count) * theta) - 1.0;
        if ((residual <= 0.000001 && residual >= -0.000001) || next.count == current.count) break;
        if (pass >= passLimit) break;
        current = next;
    }

    // The threshold of the last pass is kept, not recomputed from the set it produced.
    for (std::int32_t j = 0; j < length; ++j) {
        projected[static_cast<std::size_t>(j)] = values[j] > theta ? values[j] - theta : 0.0;
    }
    return projected;
}

}  // namespace zelmor
