// The kernel loops, written once over a lane type L of the solver's lanes layer (lanes_*.h):
// the exponential and the polynomial of a kernel value, the tiles of a base matrix and the rows
// of a kernel. Each instruction set's source file includes one lane type and this file, with
// ZELMOR_LANES_TARGET naming its target, and fills a KernelLoops table from the instances.
//
// What L provides, per lane: unaligned loads and stores, broadcasts, + - * rounded one
// operation at a time (productPlus(d, x, g) is d * x + g, plusProduct(s, x, t) is s + x * t),
// comparisons into masks and selection by them, and lowBitsToExponent, each lane's bits
// shifted left by 52. Each lane's value depends on that lane alone, so the bits never depend on
// the width.
//
// Everything has internal linkage: each source file gets its own copy, compiled for its own
// instruction set, and none can stand in for another's at link time.
#ifndef ZELMOR_ENGINE_KERNEL_LOOPS_H
#define ZELMOR_ENGINE_KERNEL_LOOPS_H

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "kernel_internals.h"

#ifndef ZELMOR_LANES_TARGET
#error "define ZELMOR_LANES_TARGET (the target attribute of the lane type) before including kernel_loops.h"
#endif

namespace zelmor::engine {
namespace {

// exp(x) = 2^k * exp(r), k = round(x / ln 2), r = x - k ln 2, |r| <= ln 2 / 2 plus a hair (from
// rounding x / ln 2 before rounding to an integer).
constexpr double kLog2e = 0x1.71547652b82fep+0;
// ln 2 in two parts. kLn2High has 42 significant bits, so k * kLn2High is exact for |k| < 2^11,
// and so is x - k * kLn2High: the two are within a factor of two of each other (or k is 0).
constexpr double kLn2High = 0x1.62e42fefa3800p-1;
constexpr double kLn2Low = 0x1.ef35793c76730p-45;
// Adding this to a double below 2^51 in magnitude leaves a sum whose last bit weighs 1, so the
// addition rounds to the nearest integer (ties to even) and subtracting it again is exact.
constexpr double kRoundingShift = 0x1.8p52;
// exp is 0 below the first and +inf above the second; clamping keeps k in [-1077, 1025], the
// range the two powers of two below can build.
constexpr double kExpLowest = -746.0;
constexpr double kExpHighest = 710.0;
// q(r) = (exp(r) - 1 - r) / r^2 on |r| <= 0.3467 by a polynomial of degree 10, fitted by us at
// the Chebyshev nodes of that interval; with these rounded coefficients it is within 2.6e-18 of
// q everywhere on it, far below what r^2 q can show in an ulp of the result.
constexpr double kTail[] = {0x1.0000000000000p-1,  0x1.5555555555557p-3,  0x1.5555555555556p-5,
                            0x1.11111111100d3p-7,  0x1.6c16c16c162cfp-10, 0x1.a01a01abeccc3p-13,
                            0x1.a01a01a6db488p-16, 0x1.71de02225a2f3p-19, 0x1.27e4db5bb725ap-22,
                            0x1.af4e092e1705bp-26, 0x1.1f7315649f2d7p-29};
constexpr int kTailDegree = 10;

// x * factor rounded to an integer (ties to even), for products below 2^51 in magnitude.
template <class L>
ZELMOR_LANES_TARGET inline typename L::Doubles roundedProduct(typename L::Doubles x, double factor) {
    const typename L::Doubles shift = L::broadcast(kRoundingShift);
    return L::minus(L::productPlus(x, L::broadcast(factor), shift), shift);
}

// 2^k for an integral k in [-1022, 1023] held as a double: k + 1023 lands in the low bits of
// kRoundingShift + k + 1023, and the shift moves them to the exponent field while pushing the
// shift constant's own bits out of the word.
template <class L>
ZELMOR_LANES_TARGET inline typename L::Doubles powerOfTwo(typename L::Doubles k) {
    return L::lowBitsToExponent(L::plus(k, L::broadcast(kRoundingShift + 1023.0)));
}

template <class L>
ZELMOR_LANES_TARGET inline typename L::Doubles expLanes(typename L::Doubles x) {
    using Doubles = typename L::Doubles;
    // NaN fails both comparisons and carries through every step to the result.
    const Doubles lowest = L::broadcast(kExpLowest);
    const Doubles highest = L::broadcast(kExpHighest);
    Doubles clamped = L::select(L::greater(lowest, x), lowest, x);
    clamped = L::select(L::greater(clamped, highest), highest, clamped);
    const Doubles k = roundedProduct<L>(clamped, kLog2e);
    const Doubles high = L::minus(clamped, L::times(k, L::broadcast(kLn2High)));
    const Doubles lowPart = L::times(k, L::broadcast(kLn2Low));
    const Doubles r = L::minus(high, lowPart);
    // What rounding r lost: exact when |high| >= |lowPart|; otherwise |r| < 3e-10 and the loss
    // is below 2^-84, which no ulp of the result can show.
    const Doubles rLoss = L::minus(L::minus(high, r), lowPart);
    // Horner's order, from the highest coefficient down.
    Doubles q = L::broadcast(kTail[kTailDegree]);
#pragma GCC unroll 16
    for (int i = kTailDegree - 1; i >= 0; --i) q = L::productPlus(q, r, L::broadcast(kTail[i]));
    // exp(r + rLoss) = 1 + r + r^2 q(r) + rLoss (1 + r), up to terms far below an ulp. 1 + r is
    // rounded and its loss recovered exactly (|r| < 1); the small terms are summed first, in
    // this order, their roundings weighing at most about a sixth of an ulp of the result, and
    // the final sum adds its half ulp.
    const Doubles unit = L::broadcast(1.0);
    const Doubles one = L::plus(unit, r);
    const Doubles oneLoss = L::plus(L::minus(unit, one), r);
    const Doubles small = L::plus(L::plusProduct(oneLoss, rLoss, one), L::times(L::times(r, r), q));
    const Doubles mantissa = L::plus(one, small);
    // 2^k as two powers of two that are both normal for every k the clamp allows; the first
    // product is exact, so the second rounds the result once, into the subnormals too.
    const Doubles kHalf = roundedProduct<L>(k, 0.5);
    return L::times(L::times(mantissa, powerOfTwo<L>(kHalf)), powerOfTwo<L>(L::minus(k, kHalf)));
}

// (gamma * base + offset)^degree, by the square-and-multiply order kernelValue states.
template <class L>
ZELMOR_LANES_TARGET inline typename L::Doubles polyLanes(const KernelSetting& setting, typename L::Doubles base) {
    using Doubles = typename L::Doubles;
    Doubles power = L::productPlus(base, L::broadcast(setting.gamma), L::broadcast(setting.offset));
    Doubles result = L::broadcast(1.0);
    for (std::uint32_t bits = setting.degree < 0 ? 0u : static_cast<std::uint32_t>(setting.degree); bits != 0;) {
        if (bits & 1u) result = L::times(result, power);
        bits >>= 1;
        if (bits != 0) power = L::times(power, power);
    }
    return result;
}

template <class L, KernelType type>
ZELMOR_LANES_TARGET inline typename L::Doubles valueLanes(const KernelSetting& setting, typename L::Doubles base) {
    if constexpr (type == KernelType::Rbf) {
        return expLanes<L>(L::times(base, L::broadcast(-setting.gamma)));
    } else {
        return polyLanes<L>(setting, base);
    }
}

// The setting comes as a copy: a store to values could otherwise change it, as far as the
// compiler knows, and it would be read again for every vector.
template <class L, KernelType type>
ZELMOR_LANES_TARGET inline void applyValuesOfType(const KernelSetting setting, double* values, std::int64_t count) {
    constexpr int width = L::kWidth;
    std::int64_t i = 0;
    for (; i + width <= count; i += width) {
        L::storeUnaligned(values + i, valueLanes<L, type>(setting, L::loadUnaligned(values + i)));
    }
    if (i == count) return;
    // The last few values in lanes of their own: each lane's result is independent of the others.
    // The lanes are not on the stack: AddressSanitizer's fake stack frames do not keep the
    // 64-byte alignment the compiler assumes for a local array of one vector.
    alignas(64) static thread_local double lanes[width];
    std::fill(lanes, lanes + width, 0.0);
    std::memcpy(lanes, values + i, static_cast<std::size_t>(count - i) * sizeof(double));
    L::storeUnaligned(lanes, valueLanes<L, type>(setting, L::loadUnaligned(lanes)));
    std::memcpy(values + i, lanes, static_cast<std::size_t>(count - i) * sizeof(double));
}

// A linear kernel's values are its bases: nothing to do.
template <class L>
ZELMOR_LANES_TARGET void applyValues(const KernelSetting& setting, double* values, std::int64_t count) {
    if (setting.type == KernelType::Rbf) applyValuesOfType<L, KernelType::Rbf>(setting, values, count);
    if (setting.type == KernelType::Poly) applyValuesOfType<L, KernelType::Poly>(setting, values, count);
}

// The base tile's rows go L::kBaseRowVectors vectors at a time and its columns four at a time:
// the sums held in registers while the features stream past, each row vector loaded once for
// four columns.
constexpr int kColumnGroup = 4;

template <BaseKind kind, class L>
ZELMOR_LANES_TARGET inline typename L::Doubles baseTerm(typename L::Doubles x, typename L::Doubles y) {
    if constexpr (kind == BaseKind::SquaredDistance) {
        const typename L::Doubles difference = L::minus(x, y);
        return L::times(difference, difference);
    } else {
        return L::times(x, y);
    }
}

// Columns [column, column + columns) of the tile, all its rows.
template <class L, BaseKind kind, int columns>
ZELMOR_LANES_TARGET inline void baseColumns(const Tile& tile, std::int64_t column) {
    using Doubles = typename L::Doubles;
    constexpr int width = L::kWidth;
    constexpr int rowVectors = L::kBaseRowVectors;
    const double* bFirst = tile.b->data + column;
    double* valuesFirst = tile.values + (column - tile.colBegin) * tile.paddedRows;
    for (std::int64_t row = 0; row < tile.paddedRows; row += rowVectors * width) {
        Doubles sums[rowVectors][columns];
#pragma GCC unroll 8
        for (int c = 0; c < columns; ++c) {
#pragma GCC unroll 4
            for (int v = 0; v < rowVectors; ++v) sums[v][c] = L::broadcast(0.0);
        }
        // Each sum runs over the features in increasing order from 0.0.
        const double* packed = tile.packedRows + row;
        const double* bFeature = bFirst;
        for (std::int64_t f = 0; f < tile.b->featureCount; ++f, packed += tile.paddedRows, bFeature += tile.b->count) {
            Doubles x[rowVectors];
#pragma GCC unroll 4
            for (int v = 0; v < rowVectors; ++v) x[v] = L::loadUnaligned(packed + v * width);
#pragma GCC unroll 8
            for (int c = 0; c < columns; ++c) {
                const Doubles y = L::broadcast(bFeature[c]);
#pragma GCC unroll 4
                for (int v = 0; v < rowVectors; ++v) sums[v][c] = L::plus(sums[v][c], baseTerm<kind, L>(x[v], y));
            }
        }
#pragma GCC unroll 8
        for (int c = 0; c < columns; ++c) {
#pragma GCC unroll 4
            for (int v = 0; v < rowVectors; ++v) {
                L::storeUnaligned(valuesFirst + row + c * tile.paddedRows + v * width, sums[v][c]);
            }
        }
    }
}

template <class L, BaseKind kind>
ZELMOR_LANES_TARGET inline void baseTile(const Tile& tile) {
    std::int64_t column = tile.colBegin;
    for (; column + kColumnGroup <= tile.colEnd; column += kColumnGroup) {
        baseColumns<L, kind, kColumnGroup>(tile, column);
    }
    for (; column < tile.colEnd; ++column) baseColumns<L, kind, 1>(tile, column);
}

// The tile's bases, then their kernel values when a setting is given (padding rows included:
// nobody reads them).
template <class L>
ZELMOR_LANES_TARGET void baseAndValueTile(BaseKind kind, const KernelSetting* setting, const Tile& tile) {
    if (kind == BaseKind::SquaredDistance) {
        baseTile<L, BaseKind::SquaredDistance>(tile);
    } else {
        baseTile<L, BaseKind::Product>(tile);
    }
    if (setting != nullptr) applyValues<L>(*setting, tile.values, (tile.colEnd - tile.colBegin) * tile.paddedRows);
}

// A row's columns go in stretches of this many, whose sums stay in the first-level cache until
// their kernel values are made, and L::kRowVectors vectors of them at a time.
constexpr std::int64_t kRowStretch = 256;

// The bases of one point against columns [begin, begin + count) of a block, into sums: each sum
// runs over the features in increasing order from 0.0, and the point's features are broadcast.
// L::kRowVectors vectors of columns at a time, their sums held in registers while the features
// stream past; the last few columns in lanes of their own (zeros beyond count, never read).
template <class L, BaseKind kind>
ZELMOR_LANES_TARGET inline void rowStretch(const double* point, const Examples& block, std::int64_t begin,
                                           std::int64_t count, double* sums) {
    using Doubles = typename L::Doubles;
    constexpr int width = L::kWidth;
    constexpr int rowVectors = L::kRowVectors;
    constexpr int group = rowVectors * width;
    std::int64_t c = 0;
    for (; c + group <= count; c += group) {
        Doubles acc[rowVectors];
#pragma GCC unroll 8
        for (int v = 0; v < rowVectors; ++v) acc[v] = L::broadcast(0.0);
        const double* column = block.data + begin + c;
        for (std::int64_t f = 0; f < block.featureCount; ++f, column += block.count) {
            const Doubles x = L::broadcast(point[f]);
#pragma GCC unroll 8
            for (int v = 0; v < rowVectors; ++v) {
                acc[v] = L::plus(acc[v], baseTerm<kind, L>(L::loadUnaligned(column + v * width), x));
            }
        }
#pragma GCC unroll 8
        for (int v = 0; v < rowVectors; ++v) L::storeUnaligned(sums + c + v * width, acc[v]);
    }
    for (; c < count; c += width) {
        Doubles acc = L::broadcast(0.0);
        alignas(64) static thread_local double lanes[width];  // off the stack, as in applyValuesOfType
        for (std::int64_t f = 0; f < block.featureCount; ++f) {
            const double* column = block.data + f * block.count + begin + c;
            for (int lane = 0; lane < width; ++lane) lanes[lane] = c + lane < count ? column[lane] : 0.0;
            acc = L::plus(acc, baseTerm<kind, L>(L::loadUnaligned(lanes), L::broadcast(point[f])));
        }
        L::storeUnaligned(sums + c, acc);
    }
}

template <class L>
ZELMOR_LANES_TARGET void kernelRowOf(const KernelSetting& setting, const double* point, const Examples& block,
                                     std::int64_t begin, std::int64_t end, double* out) {
    constexpr int width = L::kWidth;
    alignas(64) double sums[kRowStretch + width];
    for (std::int64_t c0 = begin; c0 < end; c0 += kRowStretch) {
        const std::int64_t count = std::min(kRowStretch, end - c0);
        if (baseKindOf(setting.type) == BaseKind::SquaredDistance) {
            rowStretch<L, BaseKind::SquaredDistance>(point, block, c0, count, sums);
        } else {
            rowStretch<L, BaseKind::Product>(point, block, c0, count, sums);
        }
        applyValues<L>(setting, sums, count);
        std::memcpy(out + (c0 - begin), sums, static_cast<std::size_t>(count) * sizeof(double));
    }
}

template <class L>
constexpr KernelLoops kernelLoopsOf() {
    return KernelLoops{applyValues<L>, kernelRowOf<L>, baseAndValueTile<L>, L::kBaseRowVectors * L::kWidth};
}

}  // namespace
}  // namespace zelmor::engine

#endif  // ZELMOR_ENGINE_KERNEL_LOOPS_H
