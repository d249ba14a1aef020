// How a cross-validated grid cell is scored, exactly: from whole counts of correct predictions,
// so that a score is the same wherever and in whatever order its units ran, and two cells tie
// exactly when their scores are equal as numbers.
#ifndef ZELMOR_ENGINE_SCORING_H
#define ZELMOR_ENGINE_SCORING_H

#include <cstdint>

namespace zelmor::engine {

enum class Scoring {
    // The fraction of all examples predicted correctly.
    Accuracy,
    // The mean over the classes that have examples of the fraction of each class's examples
    // predicted correctly (its recall).
    BalancedAccuracy,
};

// The sign (-1, 0 or 1) of the balanced accuracy of the per-class counts a less that of b, with
// sizes[c] examples in class c (classes without examples left out), k classes: the sign of the
// sum over c of (a[c] - b[c]) / sizes[c], worked out in whole numbers without rounding.
int compareBalancedAccuracy(const std::int64_t* a, const std::int64_t* b, const std::int64_t* sizes,
                            std::int32_t k);

}  // namespace zelmor::engine

#endif  // ZELMOR_ENGINE_SCORING_H
