// Kernels for any CPU, in plain C++. They are also the readable statement of what the vector
// kernels must reproduce bit for bit.
#include <algorithm>
#include <cstring>

#include "solve_kernels.h"

namespace zelmor {
namespace detail {

namespace {

constexpr std::int64_t W = kBlockWidth;

// A warm-start block of kernel columns small enough to stay cached while every class of one
// block of examples walks it.
constexpr std::int64_t kColumnBlock = 128;

// Folds one block's violations into the running selection, examples in increasing order.
void selectInBlock(std::int64_t block, std::int64_t valid, const double* hi, const double* lo, Selection* best) {
    for (std::int64_t lane = 0; lane < valid; ++lane) {
        const double violation = hi[lane] - lo[lane];
        // Strict: ties keep the lower-numbered example.
        if (violation > best->violation) {
            best->violation = violation;
            best->example = block * W + lane;
        }
    }
}

template <bool kUpdate>
Selection sweep(const GradientBlocks& s, const double* line, const double* delta) {
    const std::int32_t k = s.classCount;
    // Only a violation above -100 selects an example.
    Selection best{-1, -100.0};
    for (std::int64_t b = 0; b < s.blockCount; ++b) {
        const std::int64_t valid = std::min(W, s.exampleCount - b * W);
        double x[W] = {};
        if (kUpdate) std::memcpy(x, line + b * W, static_cast<std::size_t>(valid) * sizeof(double));
        // Finite starting values, as the sweep defines them.
        double hi[W];
        double lo[W];
        std::fill(hi, hi + W, -100.0);
        std::fill(lo, lo + W, 100.0);
        double* g = s.grad + b * k * W;
        const std::uint8_t* eligible = s.eligible + b * k;
        for (std::int32_t m = 0; m < k; ++m, g += W) {
            const unsigned bits = eligible[m];
            // Selects rather than branches, so that compilers can vectorise across the lanes.
            for (std::int64_t lane = 0; lane < W; ++lane) {
                double v = g[lane];
                if (kUpdate) {
                    // Product then sum, never fused.
                    v = delta[m] * x[lane] + v;
                    g[lane] = v;
                }
                // A NaN neither raises hi nor lowers lo.
                hi[lane] = v > hi[lane] ? v : hi[lane];
                lo[lane] = ((bits >> lane) & 1u) != 0 && lo[lane] > v ? v : lo[lane];
            }
        }
        selectInBlock(b, valid, hi, lo, &best);
    }
    return best;
}

Selection select(const GradientBlocks& s) { return sweep<false>(s, nullptr, nullptr); }

Selection updateAndSelect(const GradientBlocks& s, const double* line, const double* delta) {
    return sweep<true>(s, line, delta);
}

void accumulateKernelProducts(const GradientBlocks& s, const double* kernel, const double* tau) {
    const std::int64_t n = s.exampleCount;
    const std::int32_t k = s.classCount;
    // Column blocks in increasing order, columns within a block in increasing order: every
    // entry still receives its terms in increasing l.
    for (std::int64_t l0 = 0; l0 < n; l0 += kColumnBlock) {
        const std::int64_t l1 = std::min(n, l0 + kColumnBlock);
        for (std::int64_t b = 0; b < s.blockCount; ++b) {
            const std::int64_t valid = std::min(W, n - b * W);
            for (std::int32_t m = 0; m < k; ++m) {
                double* g = s.grad + (b * k + m) * W;
                const double* tauColumn = tau + m * n;
                for (std::int64_t l = l0; l < l1; ++l) {
                    const double* kernelColumn = kernel + l * n + b * W;
                    const double t = tauColumn[l];
                    for (std::int64_t lane = 0; lane < valid; ++lane) g[lane] = g[lane] + kernelColumn[lane] * t;
                }
            }
        }
    }
}

}  // namespace

extern const SolveKernels kPortableKernels = {select, updateAndSelect, accumulateKernelProducts};

}  // namespace detail
}  // namespace zelmor
