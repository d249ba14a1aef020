// Lanes in plain C++: one block of eight examples as arrays of eight, every operation a loop
// over the lanes. Runs on any CPU and states, one lane at a time, what the vector adapters
// compute eight lanes at a time. A single lane (PortableLanesOf<1>) computes one value alone.
//
// Included by the sources that build loops for any CPU, after ZELMOR_LANES_TARGET is defined;
// everything here has internal linkage.
#ifndef ZELMOR_SOLVER_LANES_PORTABLE_H
#define ZELMOR_SOLVER_LANES_PORTABLE_H

#include <cstdint>
#include <cstring>

namespace zelmor {
namespace detail {
namespace {

template <int Width>
struct PortableLanesOf {
    static constexpr int kWidth = Width;
    struct Doubles {
        double lane[Width];
    };
    // Bit i set: lane i.
    using Mask = unsigned;
    struct Examples {
        std::int64_t lane[Width];
    };

    // Warm-start tile: blocks of examples by classes held as accumulators.
    static constexpr int kWarmRows = 1;
    static constexpr int kWarmClasses = 4;
    // Kernel loops: the base tile's rows in vectors of lanes, and a row's columns.
    static constexpr int kBaseRowVectors = 1;
    static constexpr int kRowVectors = 1;

    static Doubles load(const double* p) {
        Doubles a;
        for (int i = 0; i < Width; ++i) a.lane[i] = p[i];
        return a;
    }
    // Lanes outside `valid` read as 0.0 and their memory is not touched.
    static Doubles loadValid(const double* p, Mask valid) {
        Doubles a;
        for (int i = 0; i < Width; ++i) a.lane[i] = (valid >> i) & 1u ? p[i] : 0.0;
        return a;
    }
    static Doubles loadUnaligned(const double* p) { return load(p); }
    static void store(double* p, Doubles a) {
        for (int i = 0; i < Width; ++i) p[i] = a.lane[i];
    }
    static void storeUnaligned(double* p, Doubles a) { store(p, a); }
    static Doubles broadcast(double x) {
        Doubles a;
        for (int i = 0; i < Width; ++i) a.lane[i] = x;
        return a;
    }
    // d * x + g, the product rounded before the sum.
    static Doubles productPlus(Doubles d, Doubles x, Doubles g) {
        Doubles a;
        for (int i = 0; i < Width; ++i) a.lane[i] = d.lane[i] * x.lane[i] + g.lane[i];
        return a;
    }
    // sum + x * t, the product rounded before the sum.
    static Doubles plusProduct(Doubles sum, Doubles x, Doubles t) {
        Doubles a;
        for (int i = 0; i < Width; ++i) a.lane[i] = sum.lane[i] + x.lane[i] * t.lane[i];
        return a;
    }
    static Doubles plus(Doubles x, Doubles y) {
        Doubles a;
        for (int i = 0; i < Width; ++i) a.lane[i] = x.lane[i] + y.lane[i];
        return a;
    }
    static Doubles times(Doubles x, Doubles y) {
        Doubles a;
        for (int i = 0; i < Width; ++i) a.lane[i] = x.lane[i] * y.lane[i];
        return a;
    }
    // Each lane's bits shifted left by 52: the low bits move into the sign and exponent.
    static Doubles lowBitsToExponent(Doubles x) {
        Doubles a;
        for (int i = 0; i < Width; ++i) {
            std::uint64_t bits;
            std::memcpy(&bits, &x.lane[i], sizeof bits);
            bits <<= 52;
            std::memcpy(&a.lane[i], &bits, sizeof bits);
        }
        return a;
    }
    static Doubles minus(Doubles x, Doubles y) {
        Doubles a;
        for (int i = 0; i < Width; ++i) a.lane[i] = x.lane[i] - y.lane[i];
        return a;
    }
    // v > hi ? v : hi: a NaN v leaves hi as it was.
    static Doubles raise(Doubles v, Doubles hi) {
        Doubles a;
        for (int i = 0; i < Width; ++i) a.lane[i] = v.lane[i] > hi.lane[i] ? v.lane[i] : hi.lane[i];
        return a;
    }
    // In the lanes of `where`, lo > v ? v : lo: a NaN v leaves lo as it was.
    static Doubles lowerWhere(Mask where, Doubles v, Doubles lo) {
        Doubles a;
        for (int i = 0; i < Width; ++i) a.lane[i] = ((where >> i) & 1u) != 0 && lo.lane[i] > v.lane[i] ? v.lane[i] : lo.lane[i];
        return a;
    }
    static Doubles select(Mask where, Doubles set, Doubles otherwise) {
        Doubles a;
        for (int i = 0; i < Width; ++i) a.lane[i] = (where >> i) & 1u ? set.lane[i] : otherwise.lane[i];
        return a;
    }

    static Mask eligibility(const std::uint8_t* bits) { return *bits; }
    static Mask allLanes() { return lanesBelow(Width); }
    static Mask lanesBelow(std::int64_t valid) { return valid >= Width ? (1u << Width) - 1u : (1u << valid) - 1u; }
    static Mask greater(Doubles x, Doubles y) {
        Mask m = 0;
        for (int i = 0; i < Width; ++i) m |= (x.lane[i] > y.lane[i] ? 1u : 0u) << i;
        return m;
    }
    static Mask atLeast(Doubles x, Doubles y) {
        Mask m = 0;
        for (int i = 0; i < Width; ++i) m |= (x.lane[i] >= y.lane[i] ? 1u : 0u) << i;
        return m;
    }
    static Mask both(Mask x, Mask y) { return x & y; }
    static bool any(Mask m) { return m != 0; }
    static unsigned bits(Mask m) { return m; }
    // The largest lane; no lane is NaN.
    static double largest(Doubles a) {
        double top = a.lane[0];
        for (int i = 1; i < Width; ++i) top = a.lane[i] > top ? a.lane[i] : top;
        return top;
    }

    static Examples everyLane(std::int64_t example) {
        Examples e;
        for (int i = 0; i < Width; ++i) e.lane[i] = example;
        return e;
    }
    static Examples examplesFrom(std::int64_t first) {
        Examples e;
        for (int i = 0; i < Width; ++i) e.lane[i] = first + i;
        return e;
    }
    static Examples advance(Examples e, std::int64_t step) {
        for (int i = 0; i < Width; ++i) e.lane[i] += step;
        return e;
    }
    static Examples selectExamples(Mask where, Examples set, Examples otherwise) {
        Examples e;
        for (int i = 0; i < Width; ++i) e.lane[i] = (where >> i) & 1u ? set.lane[i] : otherwise.lane[i];
        return e;
    }
    static void spill(Doubles a, double (&out)[Width]) {
        for (int i = 0; i < Width; ++i) out[i] = a.lane[i];
    }
    static void spill(Examples e, std::int64_t (&out)[Width]) {
        for (int i = 0; i < Width; ++i) out[i] = e.lane[i];
    }
};

using PortableLanes = PortableLanesOf<8>;

}  // namespace
}  // namespace detail
}  // namespace zelmor

#endif  // ZELMOR_SOLVER_LANES_PORTABLE_H
