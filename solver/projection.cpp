// Projection onto the probability simplex by a fixed-point iteration on the threshold.
#include "dual_solver.h"

namespace zelmor {

namespace {

// Entries at or above the threshold, and their sum taken in increasing index from 0.0.
struct UpperSet {
    std::int64_t count = 0;
    double sum = 0.0;
};

// Which entries are selected is settled first, 64 at a time and without branches (their
// outcomes here are as good as random); the sum then adds the selected entries alone, in
// increasing index, so its chain of dependent additions is only as long as the set.
UpperSet collectAtOrAbove(const double* values, std::int32_t length, double threshold) {
    UpperSet set;
    for (std::int32_t first = 0; first < length; first += 64) {
        const std::int32_t count = length - first < 64 ? length - first : 64;
        std::uint64_t selected = 0;
        for (std::int32_t j = 0; j < count; ++j) {
            selected |= static_cast<std::uint64_t>(values[first + j] >= threshold) << j;
        }
        set.count += __builtin_popcountll(selected);
        for (; selected != 0; selected &= selected - 1) set.sum = set.sum + values[first + __builtin_ctzll(selected)];
    }
    return set;
}

}  // namespace

std::int64_t projectionPassLimit(std::int32_t count) {
    const std::int64_t length = count > 0 ? count : 0;
    return 2 * length + 16;
}

void projectSimplexInto(const double* values, std::int32_t count, double* projected) {
    const std::int32_t length = count > 0 ? count : 0;

    // The peak starts at -100, not -infinity: when every entry lies below it the initial
    // set is empty and the first threshold is -infinity, which then selects every entry.
    double peak = -100.0;
    for (std::int32_t j = 0; j < length; ++j) peak = values[j] > peak ? values[j] : peak;
    UpperSet current = collectAtOrAbove(values, length, peak);

    const std::int64_t passLimit = projectionPassLimit(length);
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
    for (std::int32_t j = 0; j < length; ++j) projected[j] = values[j] > theta ? values[j] - theta : 0.0;
}

std::vector<double> projectSimplex(const double* values, std::int32_t count) {
    std::vector<double> projected(static_cast<std::size_t>(count > 0 ? count : 0));
    projectSimplexInto(values, count, projected.data());
    return projected;
}

}  // namespace zelmor
