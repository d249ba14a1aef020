// Lanes for CPUs with AVX2: one block of eight examples as two vectors of four doubles.
//
// Included by the sources that build loops for AVX2; everything here has internal linkage and
// carries the AVX2 target, so none of it can reach code that runs on other CPUs.
#ifndef ZELMOR_SOLVER_LANES_AVX2_H
#define ZELMOR_SOLVER_LANES_AVX2_H

#include <immintrin.h>

#include <cstdint>

#define ZELMOR_AVX2 __attribute__((target("avx2")))

namespace zelmor {
namespace detail {
namespace {

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

struct Avx2Lanes {
    static constexpr int kWidth = 8;
    // Lanes 0-3 and 4-7.
    struct Doubles {
        __m256d low;
        __m256d high;
    };
    // All bits set in a lane that is in the mask.
    struct Mask {
        __m256d low;
        __m256d high;
    };
    struct Examples {
        __m256i low;
        __m256i high;
    };

    // Warm-start tile: one block by six classes, 12 accumulators of the 16 registers.
    static constexpr int kWarmRows = 1;
    static constexpr int kWarmClasses = 6;
    // Kernel loops: the base tile's rows in vectors of lanes, and a row's columns.
    static constexpr int kBaseRowVectors = 1;
    static constexpr int kRowVectors = 2;

    ZELMOR_AVX2 static Doubles load(const double* p) { return Doubles{_mm256_load_pd(p), _mm256_load_pd(p + 4)}; }
    ZELMOR_AVX2 static Doubles loadUnaligned(const double* p) { return Doubles{_mm256_loadu_pd(p), _mm256_loadu_pd(p + 4)}; }
    // The masked loads never touch memory outside `valid`.
    ZELMOR_AVX2 static Doubles loadValid(const double* p, Mask valid) {
        return Doubles{_mm256_maskload_pd(p, _mm256_castpd_si256(valid.low)),
                       _mm256_maskload_pd(p + 4, _mm256_castpd_si256(valid.high))};
    }
    ZELMOR_AVX2 static void store(double* p, Doubles a) {
        _mm256_store_pd(p, a.low);
        _mm256_store_pd(p + 4, a.high);
    }
    ZELMOR_AVX2 static void storeUnaligned(double* p, Doubles a) {
        _mm256_storeu_pd(p, a.low);
        _mm256_storeu_pd(p + 4, a.high);
    }
    ZELMOR_AVX2 static Doubles broadcast(double x) {
        const __m256d a = _mm256_set1_pd(x);
        return Doubles{a, a};
    }
    // Product then sum, never fused.
    ZELMOR_AVX2 static Doubles productPlus(Doubles d, Doubles x, Doubles g) {
        return Doubles{_mm256_add_pd(_mm256_mul_pd(d.low, x.low), g.low), _mm256_add_pd(_mm256_mul_pd(d.high, x.high), g.high)};
    }
    ZELMOR_AVX2 static Doubles plusProduct(Doubles sum, Doubles x, Doubles t) {
        return Doubles{_mm256_add_pd(sum.low, _mm256_mul_pd(x.low, t.low)),
                       _mm256_add_pd(sum.high, _mm256_mul_pd(x.high, t.high))};
    }
    ZELMOR_AVX2 static Doubles plus(Doubles x, Doubles y) {
        return Doubles{_mm256_add_pd(x.low, y.low), _mm256_add_pd(x.high, y.high)};
    }
    ZELMOR_AVX2 static Doubles times(Doubles x, Doubles y) {
        return Doubles{_mm256_mul_pd(x.low, y.low), _mm256_mul_pd(x.high, y.high)};
    }
    // Each lane's bits shifted left by 52: the low bits move into the sign and exponent.
    ZELMOR_AVX2 static Doubles lowBitsToExponent(Doubles x) {
        return Doubles{_mm256_castsi256_pd(_mm256_slli_epi64(_mm256_castpd_si256(x.low), 52)),
                       _mm256_castsi256_pd(_mm256_slli_epi64(_mm256_castpd_si256(x.high), 52))};
    }
    ZELMOR_AVX2 static Doubles minus(Doubles x, Doubles y) {
        return Doubles{_mm256_sub_pd(x.low, y.low), _mm256_sub_pd(x.high, y.high)};
    }
    // max(v, hi) is v > hi ? v : hi, operand order included: a NaN v leaves hi.
    ZELMOR_AVX2 static Doubles raise(Doubles v, Doubles hi) {
        return Doubles{_mm256_max_pd(v.low, hi.low), _mm256_max_pd(v.high, hi.high)};
    }
    // min(v, lo) is v < lo ? v : lo: a NaN v leaves lo.
    ZELMOR_AVX2 static Doubles lowerWhere(Mask where, Doubles v, Doubles lo) {
        return Doubles{_mm256_blendv_pd(lo.low, _mm256_min_pd(v.low, lo.low), where.low),
                       _mm256_blendv_pd(lo.high, _mm256_min_pd(v.high, lo.high), where.high)};
    }
    ZELMOR_AVX2 static Doubles select(Mask where, Doubles set, Doubles otherwise) {
        return Doubles{_mm256_blendv_pd(otherwise.low, set.low, where.low),
                       _mm256_blendv_pd(otherwise.high, set.high, where.high)};
    }

    ZELMOR_AVX2 static Mask eligibility(const std::uint8_t* bits) {
        const SpreadBytes& spread = kSpread.entries[*bits];
        return Mask{_mm256_castsi256_pd(_mm256_cvtepi8_epi64(_mm_cvtsi32_si128(static_cast<int>(spread.low)))),
                    _mm256_castsi256_pd(_mm256_cvtepi8_epi64(_mm_cvtsi32_si128(static_cast<int>(spread.high))))};
    }
    ZELMOR_AVX2 static Mask allLanes() {
        const __m256d ones = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
        return Mask{ones, ones};
    }
    ZELMOR_AVX2 static Mask lanesBelow(std::int64_t valid) {
        const __m256i count = _mm256_set1_epi64x(valid);
        return Mask{_mm256_castsi256_pd(_mm256_cmpgt_epi64(count, _mm256_setr_epi64x(0, 1, 2, 3))),
                    _mm256_castsi256_pd(_mm256_cmpgt_epi64(count, _mm256_setr_epi64x(4, 5, 6, 7)))};
    }
    ZELMOR_AVX2 static Mask greater(Doubles x, Doubles y) {
        return Mask{_mm256_cmp_pd(x.low, y.low, _CMP_GT_OQ), _mm256_cmp_pd(x.high, y.high, _CMP_GT_OQ)};
    }
    ZELMOR_AVX2 static Mask atLeast(Doubles x, Doubles y) {
        return Mask{_mm256_cmp_pd(x.low, y.low, _CMP_GE_OQ), _mm256_cmp_pd(x.high, y.high, _CMP_GE_OQ)};
    }
    ZELMOR_AVX2 static Mask both(Mask x, Mask y) {
        return Mask{_mm256_and_pd(x.low, y.low), _mm256_and_pd(x.high, y.high)};
    }
    ZELMOR_AVX2 static bool any(Mask m) { return _mm256_movemask_pd(_mm256_or_pd(m.low, m.high)) != 0; }
    ZELMOR_AVX2 static unsigned bits(Mask m) {
        return static_cast<unsigned>(_mm256_movemask_pd(m.low)) | static_cast<unsigned>(_mm256_movemask_pd(m.high)) << 4;
    }
    // The largest lane; no lane is NaN.
    ZELMOR_AVX2 static double largest(Doubles a) {
        const __m256d four = _mm256_max_pd(a.low, a.high);
        const __m128d two = _mm_max_pd(_mm256_castpd256_pd128(four), _mm256_extractf128_pd(four, 1));
        return _mm_cvtsd_f64(_mm_max_sd(two, _mm_unpackhi_pd(two, two)));
    }

    ZELMOR_AVX2 static Examples everyLane(std::int64_t example) {
        const __m256i e = _mm256_set1_epi64x(example);
        return Examples{e, e};
    }
    ZELMOR_AVX2 static Examples examplesFrom(std::int64_t first) {
        const __m256i base = _mm256_set1_epi64x(first);
        return Examples{_mm256_add_epi64(base, _mm256_setr_epi64x(0, 1, 2, 3)),
                        _mm256_add_epi64(base, _mm256_setr_epi64x(4, 5, 6, 7))};
    }
    ZELMOR_AVX2 static Examples advance(Examples e, std::int64_t step) {
        const __m256i s = _mm256_set1_epi64x(step);
        return Examples{_mm256_add_epi64(e.low, s), _mm256_add_epi64(e.high, s)};
    }
    ZELMOR_AVX2 static Examples selectExamples(Mask where, Examples set, Examples otherwise) {
        return Examples{_mm256_castpd_si256(_mm256_blendv_pd(_mm256_castsi256_pd(otherwise.low),
                                                             _mm256_castsi256_pd(set.low), where.low)),
                        _mm256_castpd_si256(_mm256_blendv_pd(_mm256_castsi256_pd(otherwise.high),
                                                             _mm256_castsi256_pd(set.high), where.high))};
    }
    ZELMOR_AVX2 static void spill(Doubles a, double (&out)[8]) {
        _mm256_storeu_pd(out, a.low);
        _mm256_storeu_pd(out + 4, a.high);
    }
    ZELMOR_AVX2 static void spill(Examples e, std::int64_t (&out)[8]) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), e.low);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4), e.high);
    }
};

}  // namespace
}  // namespace detail
}  // namespace zelmor

#endif  // ZELMOR_SOLVER_LANES_AVX2_H
