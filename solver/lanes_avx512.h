// Lanes for CPUs with AVX-512F and AVX-512DQ (every AVX-512 CPU but the Xeon Phi): one block
// of eight examples is one vector, a lane mask one mask register.
//
// Included by the sources that build loops for AVX-512; everything here has internal linkage
// and carries the AVX-512 target, so none of it can reach code that runs on other CPUs.
#ifndef ZELMOR_SOLVER_LANES_AVX512_H
#define ZELMOR_SOLVER_LANES_AVX512_H

#include <immintrin.h>

#include <cstdint>

#define ZELMOR_AVX512 __attribute__((target("avx512f,avx512dq")))

namespace zelmor {
namespace detail {
namespace {

struct Avx512Lanes {
    static constexpr int kWidth = 8;
    using Doubles = __m512d;
    using Mask = __mmask8;
    using Examples = __m512i;

    // Warm-start tile: four blocks by six classes, 24 accumulators of the 32 registers.
    static constexpr int kWarmRows = 4;
    static constexpr int kWarmClasses = 6;
    // Kernel loops: the base tile's rows in vectors of lanes, and a row's columns.
    static constexpr int kBaseRowVectors = 2;
    static constexpr int kRowVectors = 4;

    // The masked forms with every lane set, where an unmasked one would do: GCC 12 warns about
    // the undefined pass-through operand of the unmasked forms.
    static constexpr __mmask8 kAll = 0xFF;

    ZELMOR_AVX512 static Doubles load(const double* p) { return _mm512_load_pd(p); }
    ZELMOR_AVX512 static Doubles loadUnaligned(const double* p) { return _mm512_loadu_pd(p); }
    // The masked load never touches memory outside `valid`.
    ZELMOR_AVX512 static Doubles loadValid(const double* p, Mask valid) { return _mm512_maskz_loadu_pd(valid, p); }
    ZELMOR_AVX512 static void store(double* p, Doubles a) { _mm512_store_pd(p, a); }
    ZELMOR_AVX512 static void storeUnaligned(double* p, Doubles a) { _mm512_storeu_pd(p, a); }
    ZELMOR_AVX512 static Doubles broadcast(double x) { return _mm512_set1_pd(x); }
    // Product then sum, never fused.
    ZELMOR_AVX512 static Doubles productPlus(Doubles d, Doubles x, Doubles g) {
        return _mm512_add_pd(_mm512_mul_pd(d, x), g);
    }
    ZELMOR_AVX512 static Doubles plusProduct(Doubles sum, Doubles x, Doubles t) {
        return _mm512_add_pd(sum, _mm512_mul_pd(x, t));
    }
    ZELMOR_AVX512 static Doubles plus(Doubles x, Doubles y) { return _mm512_add_pd(x, y); }
    ZELMOR_AVX512 static Doubles times(Doubles x, Doubles y) { return _mm512_mul_pd(x, y); }
    // Each lane's bits shifted left by 52: the low bits move into the sign and exponent.
    ZELMOR_AVX512 static Doubles lowBitsToExponent(Doubles x) {
        return _mm512_castsi512_pd(_mm512_maskz_slli_epi64(kAll, _mm512_castpd_si512(x), 52));
    }
    ZELMOR_AVX512 static Doubles minus(Doubles x, Doubles y) { return _mm512_sub_pd(x, y); }
    // max(v, hi) is v > hi ? v : hi, operand order included: a NaN v leaves hi.
    ZELMOR_AVX512 static Doubles raise(Doubles v, Doubles hi) { return _mm512_mask_max_pd(hi, kAll, v, hi); }
    // min(v, lo) is v < lo ? v : lo: a NaN v leaves lo.
    ZELMOR_AVX512 static Doubles lowerWhere(Mask where, Doubles v, Doubles lo) {
        return _mm512_mask_min_pd(lo, where, v, lo);
    }
    ZELMOR_AVX512 static Doubles select(Mask where, Doubles set, Doubles otherwise) {
        return _mm512_mask_mov_pd(otherwise, where, set);
    }

    // One class's eligibility bits, loaded straight into a mask register. Left to themselves,
    // compilers bring the byte through a general register, and on AMD Zen 4 that transfer, not
    // the arithmetic, bounds the dense pass.
    ZELMOR_AVX512 static Mask eligibility(const std::uint8_t* bits) {
        Mask mask;
        asm("kmovb %1, %0" : "=k"(mask) : "m"(*bits));
        return mask;
    }
    ZELMOR_AVX512 static Mask allLanes() { return kAll; }
    ZELMOR_AVX512 static Mask lanesBelow(std::int64_t valid) {
        return static_cast<Mask>(valid >= 8 ? 0xFFu : (1u << valid) - 1u);
    }
    ZELMOR_AVX512 static Mask greater(Doubles x, Doubles y) { return _mm512_cmp_pd_mask(x, y, _CMP_GT_OQ); }
    ZELMOR_AVX512 static Mask atLeast(Doubles x, Doubles y) { return _mm512_cmp_pd_mask(x, y, _CMP_GE_OQ); }
    ZELMOR_AVX512 static Mask both(Mask x, Mask y) { return static_cast<Mask>(x & y); }
    ZELMOR_AVX512 static bool any(Mask m) { return m != 0; }
    ZELMOR_AVX512 static unsigned bits(Mask m) { return m; }
    // The largest lane; no lane is NaN.
    ZELMOR_AVX512 static double largest(Doubles a) {
        const __m256d four = _mm256_max_pd(_mm512_maskz_extractf64x4_pd(kAll, a, 0), _mm512_maskz_extractf64x4_pd(kAll, a, 1));
        const __m128d two = _mm_max_pd(_mm256_castpd256_pd128(four), _mm256_extractf128_pd(four, 1));
        return _mm_cvtsd_f64(_mm_max_sd(two, _mm_unpackhi_pd(two, two)));
    }

    ZELMOR_AVX512 static Examples everyLane(std::int64_t example) { return _mm512_set1_epi64(example); }
    ZELMOR_AVX512 static Examples examplesFrom(std::int64_t first) {
        return _mm512_add_epi64(_mm512_set1_epi64(first), _mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7));
    }
    ZELMOR_AVX512 static Examples advance(Examples e, std::int64_t step) {
        return _mm512_add_epi64(e, _mm512_set1_epi64(step));
    }
    ZELMOR_AVX512 static Examples selectExamples(Mask where, Examples set, Examples otherwise) {
        return _mm512_mask_mov_epi64(otherwise, where, set);
    }
    ZELMOR_AVX512 static void spill(Doubles a, double (&out)[8]) { _mm512_storeu_pd(out, a); }
    ZELMOR_AVX512 static void spill(Examples e, std::int64_t (&out)[8]) { _mm512_storeu_si512(out, e); }
};

}  // namespace
}  // namespace detail
}  // namespace zelmor

#endif  // ZELMOR_SOLVER_LANES_AVX512_H
