// Kernels for CPUs with AVX2: one block of examples is two vectors of four.
//
// Only the functions below carry the target attribute, and all of them have internal linkage,
// so no code for this instruction set can leak into the rest of the build through a shared
// inline function.
#include "solve_kernels.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include <algorithm>
#include <cstdint>

#define ZELMOR_AVX2 __attribute__((target("avx2")))

namespace zelmor {
namespace detail {

namespace {

static_assert(kBlockWidth == 8, "one block of examples is two vectors of four doubles");

// Warm-start tile: one block of examples times up to kClassTile classes, 12 accumulators of
// the 16 registers, walked over kColumnBlock kernel columns.
constexpr int kClassTile = 6;
constexpr std::int64_t kColumnBlock = 128;

// A block of eight examples as two vectors: lanes 0-3 and 4-7.
struct Pair {
    __m256d low;
    __m256d high;
};

struct LaneMasks {
    __m256i low;
    __m256i high;
};

// All-ones in lanes below valid.
ZELMOR_AVX2 inline LaneMasks lanesBelow(std::int64_t valid) {
    const __m256i count = _mm256_set1_epi64x(valid);
    return LaneMasks{_mm256_cmpgt_epi64(count, _mm256_setr_epi64x(0, 1, 2, 3)),
                     _mm256_cmpgt_epi64(count, _mm256_setr_epi64x(4, 5, 6, 7))};
}

// Each eligibility byte spread to one byte per lane, 0xFF where the lane's bit is set: two
// sign-extending loads then make the lane masks, cheaper than testing the bits in registers.
struct SpreadBytes {
    std::uint32_t low;
    std::uint32_t high;
};

constexpr std::uint32_t spreadNibble(unsigned nibble) {
    std::uint32_t spread = 0;
    for (unsigned lane = 0; lane < 4; ++lane) {
        if ((nibble >> lane) & 1u) spread |= 0xFFu << (8 * lane);
    }
    return spread;
}

struct SpreadTable {
    SpreadBytes entries[256];
    constexpr SpreadTable() : entries() {
        for (unsigned bits = 0; bits < 256; ++bits) entries[bits] = SpreadBytes{spreadNibble(bits & 15u), spreadNibble(bits >> 4)};
    }
};

constexpr SpreadTable kSpread{};

// All-ones in the lanes whose bit is set in the eligibility byte.
ZELMOR_AVX2 inline LaneMasks lanesOf(std::uint8_t bits) {
    const SpreadBytes& spread = kSpread.entries[bits];
    return LaneMasks{_mm256_cvtepi8_epi64(_mm_cvtsi32_si128(static_cast<int>(spread.low))),
                     _mm256_cvtepi8_epi64(_mm_cvtsi32_si128(static_cast<int>(spread.high)))};
}

// The fold of one block's classes into hi and lo, each lane as the sweep's scalar loop.
struct Bounds {
    __m256d hiLow, hiHigh, loLow, loHigh;
};

ZELMOR_AVX2 inline Bounds startingBounds() {
    const __m256d hi = _mm256_set1_pd(-100.0);
    const __m256d lo = _mm256_set1_pd(100.0);
    return Bounds{hi, hi, lo, lo};
}

// max(v, hi) is v > hi ? v : hi and min(v, lo) is v < lo ? v : lo, operand order included:
// a NaN v leaves both as they were, as the scalar comparisons do.
ZELMOR_AVX2 inline void fold(__m256d v, __m256i eligible, __m256d* hi, __m256d* lo) {
    *hi = _mm256_max_pd(v, *hi);
    *lo = _mm256_blendv_pd(*lo, _mm256_min_pd(v, *lo), _mm256_castsi256_pd(eligible));
}

// One class of one block: the update, then the class folded into the bounds.
template <bool kUpdate>
ZELMOR_AVX2 inline void foldClass(double* g, Pair x, double delta, std::uint8_t eligible, Bounds* bounds) {
    __m256d low = _mm256_load_pd(g);
    __m256d high = _mm256_load_pd(g + 4);
    if (kUpdate) {
        // Product then sum, never fused.
        const __m256d d = _mm256_set1_pd(delta);
        low = _mm256_add_pd(_mm256_mul_pd(d, x.low), low);
        high = _mm256_add_pd(_mm256_mul_pd(d, x.high), high);
        _mm256_store_pd(g, low);
        _mm256_store_pd(g + 4, high);
    }
    const LaneMasks e = lanesOf(eligible);
    fold(low, e.low, &bounds->hiLow, &bounds->loLow);
    fold(high, e.high, &bounds->hiHigh, &bounds->loHigh);
}

ZELMOR_AVX2 inline void keepBetter(__m256d violation, __m256i valid, __m256i example, __m256d* bestViolation,
                                   __m256i* bestExample) {
    const __m256d better =
        _mm256_and_pd(_mm256_cmp_pd(violation, *bestViolation, _CMP_GT_OQ), _mm256_castsi256_pd(valid));
    *bestViolation = _mm256_blendv_pd(*bestViolation, violation, better);
    *bestExample = _mm256_castpd_si256(
        _mm256_blendv_pd(_mm256_castsi256_pd(*bestExample), _mm256_castsi256_pd(example), better));
}

template <bool kUpdate>
ZELMOR_AVX2 Selection sweep(const GradientBlocks& s, const double* line, const double* delta) {
    const std::int32_t k = s.classCount;
    // Each lane keeps the first maximum of the examples it saw; the lowest index among the
    // lanes holding the overall maximum is then the first maximum overall.
    __m256d bestLow = _mm256_set1_pd(-100.0);
    __m256d bestHigh = bestLow;
    __m256i bestExampleLow = _mm256_set1_epi64x(-1);
    __m256i bestExampleHigh = bestExampleLow;
    __m256i exampleLow = _mm256_setr_epi64x(0, 1, 2, 3);
    __m256i exampleHigh = _mm256_setr_epi64x(4, 5, 6, 7);
    const __m256i step = _mm256_set1_epi64x(8);
    for (std::int64_t b = 0; b < s.blockCount; ++b) {
        const LaneMasks valid = lanesBelow(s.exampleCount - b * 8);
        Pair x{_mm256_setzero_pd(), _mm256_setzero_pd()};
        if (kUpdate) {
            // The masked loads never touch memory past the line's end.
            x.low = _mm256_maskload_pd(line + b * 8, valid.low);
            x.high = _mm256_maskload_pd(line + b * 8 + 4, valid.high);
        }
        double* g = s.grad + b * k * 8;
        const std::uint8_t* eligible = s.eligible + b * k;
        // Even and odd classes fold into separate bounds, halving the chain of dependent max
        // and min operations. Merging them reorders each example's comparisons, which can
        // change only which zero, -0.0 or 0.0, hi or lo ends with: only the sign of a zero
        // violation, and violations are only ever compared.
        Bounds even = startingBounds();
        Bounds odd = startingBounds();
        std::int32_t m = 0;
        for (; m + 1 < k; m += 2) {
            foldClass<kUpdate>(g + m * 8, x, kUpdate ? delta[m] : 0.0, eligible[m], &even);
            foldClass<kUpdate>(g + m * 8 + 8, x, kUpdate ? delta[m + 1] : 0.0, eligible[m + 1], &odd);
        }
        if (m < k) foldClass<kUpdate>(g + m * 8, x, kUpdate ? delta[m] : 0.0, eligible[m], &even);
        const __m256d violationLow =
            _mm256_sub_pd(_mm256_max_pd(odd.hiLow, even.hiLow), _mm256_min_pd(odd.loLow, even.loLow));
        const __m256d violationHigh =
            _mm256_sub_pd(_mm256_max_pd(odd.hiHigh, even.hiHigh), _mm256_min_pd(odd.loHigh, even.loHigh));
        keepBetter(violationLow, valid.low, exampleLow, &bestLow, &bestExampleLow);
        keepBetter(violationHigh, valid.high, exampleHigh, &bestHigh, &bestExampleHigh);
        exampleLow = _mm256_add_epi64(exampleLow, step);
        exampleHigh = _mm256_add_epi64(exampleHigh, step);
    }
    alignas(32) double violation[8];
    alignas(32) std::int64_t example[8];
    _mm256_store_pd(violation, bestLow);
    _mm256_store_pd(violation + 4, bestHigh);
    _mm256_store_si256(reinterpret_cast<__m256i*>(example), bestExampleLow);
    _mm256_store_si256(reinterpret_cast<__m256i*>(example + 4), bestExampleHigh);
    return firstMaximumOfLanes(violation, example);
}

ZELMOR_AVX2 Selection select(const GradientBlocks& s) { return sweep<false>(s, nullptr, nullptr); }

ZELMOR_AVX2 Selection updateAndSelect(const GradientBlocks& s, const double* line, const double* delta) {
    return sweep<true>(s, line, delta);
}

// grad(block b, class m0 + c) += G(rows of b, l) * tau(l, m0 + c) for l in [l0, l1).
template <int C>
ZELMOR_AVX2 void accumulateTile(const GradientBlocks& s, const double* kernel, const double* tau, std::int64_t b,
                                std::int32_t m0, std::int64_t l0, std::int64_t l1, LaneMasks valid) {
    const std::int64_t n = s.exampleCount;
    const std::int32_t k = s.classCount;
    double* g = s.grad + (b * k + m0) * 8;
    Pair acc[C];
    for (int c = 0; c < C; ++c) acc[c] = Pair{_mm256_load_pd(g + c * 8), _mm256_load_pd(g + c * 8 + 4)};
    const double* tauColumns = tau + m0 * n;
    for (std::int64_t l = l0; l < l1; ++l) {
        const double* column = kernel + l * n + b * 8;
        const Pair x{_mm256_maskload_pd(column, valid.low), _mm256_maskload_pd(column + 4, valid.high)};
        for (int c = 0; c < C; ++c) {
            const __m256d t = _mm256_set1_pd(tauColumns[l + c * n]);
            // The running sum plus the product, never fused.
            acc[c].low = _mm256_add_pd(acc[c].low, _mm256_mul_pd(x.low, t));
            acc[c].high = _mm256_add_pd(acc[c].high, _mm256_mul_pd(x.high, t));
        }
    }
    for (int c = 0; c < C; ++c) {
        _mm256_store_pd(g + c * 8, acc[c].low);
        _mm256_store_pd(g + c * 8 + 4, acc[c].high);
    }
}

ZELMOR_AVX2 void accumulateKernelProducts(const GradientBlocks& s, const double* kernel, const double* tau) {
    const std::int64_t n = s.exampleCount;
    const std::int32_t k = s.classCount;
    // Column blocks in increasing order, columns within a block in increasing order: every
    // entry still receives its terms in increasing l.
    for (std::int64_t l0 = 0; l0 < n; l0 += kColumnBlock) {
        const std::int64_t l1 = std::min(n, l0 + kColumnBlock);
        for (std::int64_t b = 0; b < s.blockCount; ++b) {
            const LaneMasks valid = lanesBelow(n - b * 8);
            std::int32_t m0 = 0;
            for (; m0 + kClassTile <= k; m0 += kClassTile) {
                accumulateTile<kClassTile>(s, kernel, tau, b, m0, l0, l1, valid);
            }
            switch (k - m0) {
                case 1: accumulateTile<1>(s, kernel, tau, b, m0, l0, l1, valid); break;
                case 2: accumulateTile<2>(s, kernel, tau, b, m0, l0, l1, valid); break;
                case 3: accumulateTile<3>(s, kernel, tau, b, m0, l0, l1, valid); break;
                case 4: accumulateTile<4>(s, kernel, tau, b, m0, l0, l1, valid); break;
                case 5: accumulateTile<5>(s, kernel, tau, b, m0, l0, l1, valid); break;
                default: break;
            }
        }
    }
}

}  // namespace

extern const SolveKernels kAvx2Kernels = {select, updateAndSelect, accumulateKernelProducts};

}  // namespace detail
}  // namespace zelmor

#endif  // defined(__x86_64__)
