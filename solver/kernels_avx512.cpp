// Kernels for CPUs with AVX-512F and AVX-512DQ (every AVX-512 CPU but the Xeon Phi): one block
// of examples is one vector.
//
// Only the functions below carry the target attribute, and all of them have internal linkage,
// so no code for this instruction set can leak into the rest of the build through a shared
// inline function.
#include "solve_kernels.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include <algorithm>
#include <cstdint>

#define ZELMOR_AVX512 __attribute__((target("avx512f,avx512dq")))

namespace zelmor {
namespace detail {

namespace {

static_assert(kBlockWidth == 8, "one block of examples is one vector of eight doubles");

// Warm-start tile: kRowVectors blocks of examples times up to kClassTile classes, all of them
// accumulators in registers (24 of the 32), walked over kColumnBlock kernel columns.
constexpr int kRowVectors = 4;
constexpr int kClassTile = 6;
constexpr std::int64_t kColumnBlock = 128;

// The masked forms with every lane set, where an unmasked one would do: GCC 12 warns about
// the undefined pass-through operand of the unmasked forms.
constexpr __mmask8 kAllLanes = 0xFF;

ZELMOR_AVX512 inline __mmask8 laneMask(std::int64_t valid) {
    return static_cast<__mmask8>(valid >= 8 ? 0xFF : (1u << valid) - 1u);
}

// One class's eligibility bits, loaded straight into a mask register. Left to themselves,
// compilers bring the byte through a general register, and on AMD Zen 4 that transfer, not
// the arithmetic, bounds the fused pass.
ZELMOR_AVX512 inline __mmask8 loadEligibility(const std::uint8_t* bits) {
    __mmask8 mask;
    asm("kmovb %1, %0" : "=k"(mask) : "m"(*bits));
    return mask;
}

// One class of one block: the update, then the class folded into hi and lo. max(v, hi) is
// v > hi ? v : hi and min(v, lo) is v < lo ? v : lo, operand order included: a NaN v leaves
// both as they were, as the scalar comparisons do.
template <bool kUpdate>
ZELMOR_AVX512 inline void foldClass(double* g, __m512d x, double delta, const std::uint8_t* eligible, __m512d* hi,
                                    __m512d* lo) {
    __m512d v = _mm512_load_pd(g);
    if (kUpdate) {
        // Product then sum, never fused.
        v = _mm512_add_pd(_mm512_mul_pd(_mm512_set1_pd(delta), x), v);
        _mm512_store_pd(g, v);
    }
    *hi = _mm512_mask_max_pd(*hi, kAllLanes, v, *hi);
    *lo = _mm512_mask_min_pd(*lo, loadEligibility(eligible), v, *lo);
}

template <bool kUpdate>
ZELMOR_AVX512 Selection sweep(const GradientBlocks& s, const double* line, const double* delta) {
    const std::int32_t k = s.classCount;
    // Each lane keeps the first maximum of the examples it saw; the lowest index among the
    // lanes holding the overall maximum is then the first maximum overall.
    __m512d bestViolation = _mm512_set1_pd(-100.0);
    __m512i bestExample = _mm512_set1_epi64(-1);
    __m512i lanes = _mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7);
    const __m512i step = _mm512_set1_epi64(8);
    for (std::int64_t b = 0; b < s.blockCount; ++b) {
        const __mmask8 valid = laneMask(s.exampleCount - b * 8);
        __m512d x = _mm512_setzero_pd();
        // The masked load never touches memory past the line's end.
        if (kUpdate) x = _mm512_maskz_loadu_pd(valid, line + b * 8);
        double* g = s.grad + b * k * 8;
        const std::uint8_t* eligible = s.eligible + b * k;
        // Even and odd classes fold into separate hi and lo, halving the chain of dependent
        // max and min operations. Merging them reorders each example's comparisons, which can
        // change only which zero, -0.0 or 0.0, hi or lo ends with: only the sign of a zero
        // violation, and violations are only ever compared.
        __m512d hiEven = _mm512_set1_pd(-100.0);
        __m512d hiOdd = hiEven;
        __m512d loEven = _mm512_set1_pd(100.0);
        __m512d loOdd = loEven;
        std::int32_t m = 0;
        for (; m + 1 < k; m += 2) {
            foldClass<kUpdate>(g + m * 8, x, kUpdate ? delta[m] : 0.0, eligible + m, &hiEven, &loEven);
            foldClass<kUpdate>(g + m * 8 + 8, x, kUpdate ? delta[m + 1] : 0.0, eligible + m + 1, &hiOdd, &loOdd);
        }
        if (m < k) foldClass<kUpdate>(g + m * 8, x, kUpdate ? delta[m] : 0.0, eligible + m, &hiEven, &loEven);
        const __m512d hi = _mm512_mask_max_pd(hiEven, kAllLanes, hiOdd, hiEven);
        const __m512d lo = _mm512_mask_min_pd(loEven, kAllLanes, loOdd, loEven);
        const __m512d violation = _mm512_sub_pd(hi, lo);
        const __mmask8 better = _mm512_mask_cmp_pd_mask(valid, violation, bestViolation, _CMP_GT_OQ);
        bestViolation = _mm512_mask_mov_pd(bestViolation, better, violation);
        bestExample = _mm512_mask_mov_epi64(bestExample, better, lanes);
        lanes = _mm512_add_epi64(lanes, step);
    }
    alignas(64) double violation[8];
    alignas(64) std::int64_t example[8];
    _mm512_store_pd(violation, bestViolation);
    _mm512_store_si512(example, bestExample);
    return firstMaximumOfLanes(violation, example);
}

ZELMOR_AVX512 Selection select(const GradientBlocks& s) { return sweep<false>(s, nullptr, nullptr); }

ZELMOR_AVX512 Selection updateAndSelect(const GradientBlocks& s, const double* line, const double* delta) {
    return sweep<true>(s, line, delta);
}

// grad(block b0 + r, class m0 + c) += G(rows, l) * tau(l, m0 + c) for l in [l0, l1), with
// rows blocks b0 .. b0 + R - 1; lastValid masks the rows of the last block past n.
// With kPrefetch, also asks for the rows of the next tile in the same columns, which the
// hardware cannot guess: each column is a new stream.
// The unroll pragmas let the compiler keep acc in registers: without them GCC leaves the array
// in memory and stores every accumulator on every column, which costs a quarter of the time.
template <int R, int C, bool kPrefetch>
ZELMOR_AVX512 void accumulateTile(const GradientBlocks& s, const double* kernel, const double* tau, std::int64_t b0,
                                  std::int32_t m0, std::int64_t l0, std::int64_t l1, __mmask8 lastValid) {
    const std::int64_t n = s.exampleCount;
    const std::int32_t k = s.classCount;
    __m512d acc[R][C];
    #pragma GCC unroll 8
    for (int r = 0; r < R; ++r) {
        #pragma GCC unroll 8
        for (int c = 0; c < C; ++c) acc[r][c] = _mm512_load_pd(s.grad + ((b0 + r) * k + m0 + c) * 8);
    }
    const double* tauColumns = tau + m0 * n;
    for (std::int64_t l = l0; l < l1; ++l) {
        const double* column = kernel + l * n + b0 * 8;
        if (kPrefetch) {
            #pragma GCC unroll 8
            for (int r = 0; r < kRowVectors; ++r) _mm_prefetch(reinterpret_cast<const char*>(column + (R + r) * 8), _MM_HINT_T0);
        }
        __m512d x[R];
        #pragma GCC unroll 8
        for (int r = 0; r < R; ++r) {
            x[r] = r + 1 < R ? _mm512_loadu_pd(column + r * 8) : _mm512_maskz_loadu_pd(lastValid, column + r * 8);
        }
        #pragma GCC unroll 8
        for (int c = 0; c < C; ++c) {
            const __m512d t = _mm512_set1_pd(tauColumns[l + c * n]);
            // The running sum plus the product, never fused.
            #pragma GCC unroll 8
            for (int r = 0; r < R; ++r) acc[r][c] = _mm512_add_pd(acc[r][c], _mm512_mul_pd(x[r], t));
        }
    }
    #pragma GCC unroll 8
    for (int r = 0; r < R; ++r) {
        #pragma GCC unroll 8
        for (int c = 0; c < C; ++c) _mm512_store_pd(s.grad + ((b0 + r) * k + m0 + c) * 8, acc[r][c]);
    }
}

template <int R>
ZELMOR_AVX512 void accumulateRowTile(const GradientBlocks& s, const double* kernel, const double* tau,
                                     std::int64_t b0, std::int64_t l0, std::int64_t l1, __mmask8 lastValid) {
    const std::int32_t k = s.classCount;
    // The first class tile prefetches the next row tile, unless this is the last one.
    const bool more = (b0 + R) * 8 < s.exampleCount;
    std::int32_t m0 = 0;
    if (k >= kClassTile) {
        if (more) {
            accumulateTile<R, kClassTile, true>(s, kernel, tau, b0, m0, l0, l1, lastValid);
        } else {
            accumulateTile<R, kClassTile, false>(s, kernel, tau, b0, m0, l0, l1, lastValid);
        }
        m0 += kClassTile;
    }
    for (; m0 + kClassTile <= k; m0 += kClassTile) {
        accumulateTile<R, kClassTile, false>(s, kernel, tau, b0, m0, l0, l1, lastValid);
    }
    switch (k - m0) {
        case 1: accumulateTile<R, 1, false>(s, kernel, tau, b0, m0, l0, l1, lastValid); break;
        case 2: accumulateTile<R, 2, false>(s, kernel, tau, b0, m0, l0, l1, lastValid); break;
        case 3: accumulateTile<R, 3, false>(s, kernel, tau, b0, m0, l0, l1, lastValid); break;
        case 4: accumulateTile<R, 4, false>(s, kernel, tau, b0, m0, l0, l1, lastValid); break;
        case 5: accumulateTile<R, 5, false>(s, kernel, tau, b0, m0, l0, l1, lastValid); break;
        default: break;
    }
}

ZELMOR_AVX512 void accumulateKernelProducts(const GradientBlocks& s, const double* kernel, const double* tau) {
    const std::int64_t n = s.exampleCount;
    // Column blocks in increasing order, columns within a block in increasing order: every
    // entry still receives its terms in increasing l.
    for (std::int64_t l0 = 0; l0 < n; l0 += kColumnBlock) {
        const std::int64_t l1 = std::min(n, l0 + kColumnBlock);
        for (std::int64_t b0 = 0; b0 < s.blockCount; b0 += kRowVectors) {
            const std::int64_t rows = std::min<std::int64_t>(kRowVectors, s.blockCount - b0);
            const __mmask8 lastValid = laneMask(n - (b0 + rows - 1) * 8);
            switch (rows) {
                case 1: accumulateRowTile<1>(s, kernel, tau, b0, l0, l1, lastValid); break;
                case 2: accumulateRowTile<2>(s, kernel, tau, b0, l0, l1, lastValid); break;
                case 3: accumulateRowTile<3>(s, kernel, tau, b0, l0, l1, lastValid); break;
                default: accumulateRowTile<4>(s, kernel, tau, b0, l0, l1, lastValid); break;
            }
        }
    }
}

}  // namespace

extern const SolveKernels kAvx512Kernels = {select, updateAndSelect, accumulateKernelProducts};

}  // namespace detail
}  // namespace zelmor

#endif  // defined(__x86_64__)
