#include "kernels.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "parallel.h"

namespace zelmor::engine {
namespace {

// The lane helpers below return vectors wider than the baseline's registers; they are always
// inlined into a function built for the matching instruction set, so no call ever crosses the
// ABI boundary the compiler warns about.
#pragma GCC diagnostic ignored "-Wpsabi"

#define ZELMOR_ENGINE_INLINE __attribute__((always_inline)) inline

// A few doubles handled by one instruction, as a compiler vector: + - * act lane by lane with
// the same IEEE rounding as on a lone double, so a value's bits never depend on the width.
// Every loop below is written once over this type and built for each instruction set.
template <int Width>
struct Lanes {
    static constexpr int kWidth = Width;
    typedef double Doubles __attribute__((vector_size(Width * sizeof(double))));
    typedef std::uint64_t Bits __attribute__((vector_size(Width * sizeof(double))));

    ZELMOR_ENGINE_INLINE static Doubles load(const double* p) {
        Doubles v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    ZELMOR_ENGINE_INLINE static void store(double* p, const Doubles& v) { std::memcpy(p, &v, sizeof v); }
    // Lane by lane rather than 0.0 + x, which would turn -0.0 into +0.0.
    ZELMOR_ENGINE_INLINE static Doubles broadcast(double x) {
        double lanes[Width];
        for (int lane = 0; lane < Width; ++lane) lanes[lane] = x;
        return load(lanes);
    }
    // Same bits, other type (a copy: the compiler makes it a no-op).
    template <class To, class From>
    ZELMOR_ENGINE_INLINE static To reinterpret(const From& v) {
        static_assert(sizeof(To) == sizeof(From));
        To to;
        std::memcpy(&to, &v, sizeof to);
        return to;
    }
    ZELMOR_ENGINE_INLINE static Bits bitsOf(const Doubles& v) { return reinterpret<Bits>(v); }
    ZELMOR_ENGINE_INLINE static Doubles doublesOf(const Bits& b) { return reinterpret<Doubles>(b); }
};

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

// 2^k for an integral k in [-1022, 1023] held as a double: k + 1023 lands in the low bits of
// kRoundingShift + k + 1023, and the shift moves them to the exponent field while pushing the
// shift constant's own bits out of the word.
template <class L>
ZELMOR_ENGINE_INLINE typename L::Doubles powerOfTwo(const typename L::Doubles& k) {
    return L::doublesOf(L::bitsOf(k + (kRoundingShift + 1023.0)) << 52);
}

template <class L>
ZELMOR_ENGINE_INLINE typename L::Doubles expLanes(const typename L::Doubles& x) {
    using Doubles = typename L::Doubles;
    // NaN fails both comparisons and carries through every step to the result.
    const Doubles lowest = L::broadcast(kExpLowest);
    const Doubles highest = L::broadcast(kExpHighest);
    Doubles clamped = x < lowest ? lowest : x;
    clamped = clamped > highest ? highest : clamped;
    const Doubles k = (clamped * kLog2e + kRoundingShift) - kRoundingShift;
    const Doubles high = clamped - k * kLn2High;
    const Doubles lowPart = k * kLn2Low;
    const Doubles r = high - lowPart;
    // What rounding r lost: exact when |high| >= |lowPart|; otherwise |r| < 3e-10 and the loss
    // is below 2^-84, which no ulp of the result can show.
    const Doubles rLoss = (high - r) - lowPart;
    // Horner's order, from the highest coefficient down.
    Doubles q = L::broadcast(kTail[kTailDegree]);
#pragma GCC unroll 16
    for (int i = kTailDegree - 1; i >= 0; --i) q = q * r + kTail[i];
    // exp(r + rLoss) = 1 + r + r^2 q(r) + rLoss (1 + r), up to terms far below an ulp. 1 + r is
    // rounded and its loss recovered exactly (|r| < 1); the small terms are summed first, in
    // this order, their roundings weighing at most about a sixth of an ulp of the result, and
    // the final sum adds its half ulp.
    const Doubles one = 1.0 + r;
    const Doubles oneLoss = (1.0 - one) + r;
    const Doubles small = (oneLoss + rLoss * one) + (r * r) * q;
    const Doubles mantissa = one + small;
    // 2^k as two powers of two that are both normal for every k the clamp allows; the first
    // product is exact, so the second rounds the result once, into the subnormals too.
    const Doubles kHalf = (k * 0.5 + kRoundingShift) - kRoundingShift;
    return (mantissa * powerOfTwo<L>(kHalf)) * powerOfTwo<L>(k - kHalf);
}

// (gamma * base + offset)^degree, by the square-and-multiply order kernelValue states.
template <class L>
ZELMOR_ENGINE_INLINE typename L::Doubles polyLanes(const KernelSetting& setting, const typename L::Doubles& base) {
    using Doubles = typename L::Doubles;
    Doubles power = base * setting.gamma + setting.offset;
    Doubles result = L::broadcast(1.0);
    for (std::uint32_t bits = setting.degree < 0 ? 0u : static_cast<std::uint32_t>(setting.degree); bits != 0;) {
        if (bits & 1u) result = result * power;
        bits >>= 1;
        if (bits != 0) power = power * power;
    }
    return result;
}

template <class L, KernelType type>
ZELMOR_ENGINE_INLINE typename L::Doubles valueLanes(const KernelSetting& setting, const typename L::Doubles& base) {
    if constexpr (type == KernelType::Rbf) {
        return expLanes<L>(base * -setting.gamma);
    } else {
        return polyLanes<L>(setting, base);
    }
}

// The setting comes as a copy: a store to values could otherwise change it, as far as the
// compiler knows, and it would be read again for every vector.
template <class L, KernelType type>
ZELMOR_ENGINE_INLINE void applyValuesOfType(const KernelSetting setting, double* values, std::int64_t count) {
    constexpr int width = L::kWidth;
    std::int64_t i = 0;
    for (; i + width <= count; i += width) L::store(values + i, valueLanes<L, type>(setting, L::load(values + i)));
    if (i == count) return;
    // The last few values in lanes of their own: each lane's result is independent of the others.
    double lanes[width] = {};
    std::memcpy(lanes, values + i, static_cast<std::size_t>(count - i) * sizeof(double));
    L::store(lanes, valueLanes<L, type>(setting, L::load(lanes)));
    std::memcpy(values + i, lanes, static_cast<std::size_t>(count - i) * sizeof(double));
}

// A linear kernel's values are its bases: nothing to do.
template <class L>
ZELMOR_ENGINE_INLINE void applyValuesBody(const KernelSetting& setting, double* values, std::int64_t count) {
    if (setting.type == KernelType::Rbf) applyValuesOfType<L, KernelType::Rbf>(setting, values, count);
    if (setting.type == KernelType::Poly) applyValuesOfType<L, KernelType::Poly>(setting, values, count);
}

// One piece of a base matrix: a stretch of rows of a (packed, feature by feature, each
// feature's stretch padded with zeros to paddedRows, a whole number of row blocks) against
// examples [colBegin, colEnd) of b. Its values go to a buffer of its own, paddedRows apart
// column by column, which stays in the cache until they are copied out.
struct Tile {
    const double* packedRows = nullptr;
    std::int64_t paddedRows = 0;
    const Examples* b = nullptr;
    std::int64_t colBegin = 0;
    std::int64_t colEnd = 0;
    double* values = nullptr;
};

// Rows go two vectors at a time and columns four at a time: eight sums held in registers while
// the features stream past, each row vector loaded once for four columns.
constexpr int kRowVectors = 2;
constexpr int kColumnGroup = 4;

template <BaseKind kind, class Doubles>
ZELMOR_ENGINE_INLINE Doubles baseTerm(const Doubles& x, const Doubles& y) {
    if constexpr (kind == BaseKind::SquaredDistance) {
        const Doubles difference = x - y;
        return difference * difference;
    } else {
        return x * y;
    }
}

// Columns [column, column + columns) of the tile, all its rows.
template <class L, BaseKind kind, int columns>
ZELMOR_ENGINE_INLINE void baseColumns(const Tile& tile, std::int64_t column) {
    using Doubles = typename L::Doubles;
    constexpr int width = L::kWidth;
    const double* bFirst = tile.b->data + column;
    double* valuesFirst = tile.values + (column - tile.colBegin) * tile.paddedRows;
    for (std::int64_t row = 0; row < tile.paddedRows; row += kRowVectors * width) {
        Doubles sums[kRowVectors][columns];
#pragma GCC unroll 8
        for (int c = 0; c < columns; ++c) {
#pragma GCC unroll 4
            for (int v = 0; v < kRowVectors; ++v) sums[v][c] = L::broadcast(0.0);
        }
        // Each sum runs over the features in increasing order from 0.0.
        const double* packed = tile.packedRows + row;
        const double* bFeature = bFirst;
        for (std::int64_t f = 0; f < tile.b->features; ++f, packed += tile.paddedRows, bFeature += tile.b->count) {
            Doubles x[kRowVectors];
#pragma GCC unroll 4
            for (int v = 0; v < kRowVectors; ++v) x[v] = L::load(packed + v * width);
#pragma GCC unroll 8
            for (int c = 0; c < columns; ++c) {
                const Doubles y = L::broadcast(bFeature[c]);
#pragma GCC unroll 4
                for (int v = 0; v < kRowVectors; ++v) sums[v][c] = sums[v][c] + baseTerm<kind>(x[v], y);
            }
        }
#pragma GCC unroll 8
        for (int c = 0; c < columns; ++c) {
#pragma GCC unroll 4
            for (int v = 0; v < kRowVectors; ++v) {
                L::store(valuesFirst + row + c * tile.paddedRows + v * width, sums[v][c]);
            }
        }
    }
}

template <class L, BaseKind kind>
ZELMOR_ENGINE_INLINE void baseTile(const Tile& tile) {
    std::int64_t column = tile.colBegin;
    for (; column + kColumnGroup <= tile.colEnd; column += kColumnGroup) {
        baseColumns<L, kind, kColumnGroup>(tile, column);
    }
    for (; column < tile.colEnd; ++column) baseColumns<L, kind, 1>(tile, column);
}

// The tile's bases, then their kernel values when a setting is given (padding rows included:
// nobody reads them).
template <class L>
ZELMOR_ENGINE_INLINE void tileBody(BaseKind kind, const KernelSetting* setting, const Tile& tile) {
    if (kind == BaseKind::SquaredDistance) {
        baseTile<L, BaseKind::SquaredDistance>(tile);
    } else {
        baseTile<L, BaseKind::Product>(tile);
    }
    if (setting != nullptr) applyValuesBody<L>(*setting, tile.values, (tile.colEnd - tile.colBegin) * tile.paddedRows);
}

// A row's columns go in stretches of this many, whose sums stay in the first-level cache until
// their kernel values are made, and kRowGroup vectors of them at a time.
constexpr std::int64_t kRowStretch = 256;
constexpr int kRowGroup = 4;

// The bases of one point against columns [begin, begin + count) of a block, into sums: each sum
// runs over the features in increasing order from 0.0, and the point's features are broadcast.
// kRowVectors vectors of columns at a time, their sums held in registers while the features
// stream past; the last few columns in lanes of their own (zeros beyond count, never read).
template <class L, BaseKind kind>
ZELMOR_ENGINE_INLINE void rowStretch(const double* point, const Examples& block, std::int64_t begin,
                                     std::int64_t count, double* sums) {
    using Doubles = typename L::Doubles;
    constexpr int width = L::kWidth;
    constexpr int group = kRowGroup * width;
    std::int64_t c = 0;
    for (; c + group <= count; c += group) {
        Doubles acc[kRowGroup];
#pragma GCC unroll 8
        for (int v = 0; v < kRowGroup; ++v) acc[v] = L::broadcast(0.0);
        const double* column = block.data + begin + c;
        for (std::int64_t f = 0; f < block.features; ++f, column += block.count) {
            const Doubles x = L::broadcast(point[f]);
#pragma GCC unroll 8
            for (int v = 0; v < kRowGroup; ++v) acc[v] = acc[v] + baseTerm<kind>(L::load(column + v * width), x);
        }
#pragma GCC unroll 8
        for (int v = 0; v < kRowGroup; ++v) L::store(sums + c + v * width, acc[v]);
    }
    for (; c < count; c += width) {
        Doubles acc = L::broadcast(0.0);
        double lanes[width];
        for (std::int64_t f = 0; f < block.features; ++f) {
            const double* column = block.data + f * block.count + begin + c;
            for (int lane = 0; lane < width; ++lane) lanes[lane] = c + lane < count ? column[lane] : 0.0;
            acc = acc + baseTerm<kind>(L::load(lanes), L::broadcast(point[f]));
        }
        L::store(sums + c, acc);
    }
}

template <class L>
ZELMOR_ENGINE_INLINE void rowBody(const KernelSetting& setting, const double* point, const Examples& block,
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
        applyValuesBody<L>(setting, sums, count);
        std::memcpy(out + (c0 - begin), sums, static_cast<std::size_t>(count) * sizeof(double));
    }
}

// The base of example i of a and example j of b, both sparse: the dense loops' terms, each
// computed as they compute it, over the features both examples hold (products) or either holds
// (squared distances), in increasing order. The terms left out are zeros, which leave the sum
// as it is (see Examples); a feature one example lacks is 0.0 in its term, and a - 0.0 is a.
template <BaseKind kind>
double sparseBase(const SparseFeatures& a, std::int64_t i, const SparseFeatures& b, std::int64_t j) {
    std::int64_t p = a.starts[i];
    std::int64_t q = b.starts[j];
    const std::int64_t pEnd = a.starts[i + 1];
    const std::int64_t qEnd = b.starts[j + 1];
    double sum = 0.0;
    while (p < pEnd && q < qEnd) {
        const std::int32_t f = a.indices[p];
        const std::int32_t g = b.indices[q];
        if constexpr (kind == BaseKind::Product) {
            if (f == g) sum = sum + a.values[p] * b.values[q];
        } else {
            const double difference = (f <= g ? a.values[p] : 0.0) - (g <= f ? b.values[q] : 0.0);
            sum = sum + difference * difference;
        }
        p += f <= g;
        q += g <= f;
    }
    if constexpr (kind == BaseKind::SquaredDistance) {
        for (; p < pEnd; ++p) sum = sum + a.values[p] * a.values[p];
        for (; q < qEnd; ++q) sum = sum + b.values[q] * b.values[q];
    }
    return sum;
}

template <BaseKind kind>
void sparseBases(const Examples& x, std::int64_t point, const Examples& block, const std::int64_t* examples,
                 std::int64_t count, double* out) {
    for (std::int64_t c = 0; c < count; ++c) out[c] = sparseBase<kind>(x.sparse, point, block.sparse, examples[c]);
}

// Each instruction set's build of the loops above; the x86 ones carry their target alone, so
// nothing built for them can run on a CPU without it.
struct EngineLoops {
    void (*applyValues)(const KernelSetting& setting, double* values, std::int64_t count);
    void (*row)(const KernelSetting& setting, const double* point, const Examples& block, std::int64_t begin,
                std::int64_t end, double* out);
    void (*tile)(BaseKind kind, const KernelSetting* setting, const Tile& tile);
    // Rows per block of the tile loop: tiles are padded to a whole number of blocks.
    std::int64_t blockRows;
};

using PortableLanes = Lanes<2>;
void applyValuesPortable(const KernelSetting& setting, double* values, std::int64_t count) {
    applyValuesBody<PortableLanes>(setting, values, count);
}
void rowPortable(const KernelSetting& setting, const double* point, const Examples& block,
               std::int64_t begin, std::int64_t end, double* out) {
    rowBody<PortableLanes>(setting, point, block, begin, end, out);
}
void tilePortable(BaseKind kind, const KernelSetting* setting, const Tile& tile) {
    tileBody<PortableLanes>(kind, setting, tile);
}
constexpr EngineLoops kPortableLoops{applyValuesPortable, rowPortable, tilePortable, kRowVectors * PortableLanes::kWidth};

#if defined(__x86_64__)
#define ZELMOR_ENGINE_AVX2 __attribute__((target("avx2")))
#define ZELMOR_ENGINE_AVX512 __attribute__((target("avx512f,avx512dq")))

using Avx2Lanes = Lanes<4>;
ZELMOR_ENGINE_AVX2 void applyValuesAvx2(const KernelSetting& setting, double* values, std::int64_t count) {
    applyValuesBody<Avx2Lanes>(setting, values, count);
}
ZELMOR_ENGINE_AVX2 void rowAvx2(const KernelSetting& setting, const double* point, const Examples& block,
                                  std::int64_t begin, std::int64_t end, double* out) {
    rowBody<Avx2Lanes>(setting, point, block, begin, end, out);
}
ZELMOR_ENGINE_AVX2 void tileAvx2(BaseKind kind, const KernelSetting* setting, const Tile& tile) {
    tileBody<Avx2Lanes>(kind, setting, tile);
}
constexpr EngineLoops kAvx2Loops{applyValuesAvx2, rowAvx2, tileAvx2, kRowVectors * Avx2Lanes::kWidth};

using Avx512Lanes = Lanes<8>;
ZELMOR_ENGINE_AVX512 void applyValuesAvx512(const KernelSetting& setting, double* values, std::int64_t count) {
    applyValuesBody<Avx512Lanes>(setting, values, count);
}
ZELMOR_ENGINE_AVX512 void rowAvx512(const KernelSetting& setting, const double* point, const Examples& block,
                                    std::int64_t begin, std::int64_t end, double* out) {
    rowBody<Avx512Lanes>(setting, point, block, begin, end, out);
}
ZELMOR_ENGINE_AVX512 void tileAvx512(BaseKind kind, const KernelSetting* setting, const Tile& tile) {
    tileBody<Avx512Lanes>(kind, setting, tile);
}
constexpr EngineLoops kAvx512Loops{applyValuesAvx512, rowAvx512, tileAvx512, kRowVectors * Avx512Lanes::kWidth};
#endif

const EngineLoops& kernelLoopsFor(InstructionSet set) {
#if defined(__x86_64__)
    if (set == InstructionSet::Avx512) return kAvx512Loops;
    if (set == InstructionSet::Avx2) return kAvx2Loops;
#endif
    (void)set;
    return kPortableLoops;
}

// How the work is cut: square tiles of side x side entries, a chunk being a stretch of side
// columns. At 128 a tile's values (128 KB) stay in the second-level cache until copied out, each
// page of the output they are copied to takes a whole run of 1 KB, and the stop flag, read
// between tiles, is read every few hundred microseconds. Many features shrink the side, so that
// a tile stays below 2^24 terms (a few milliseconds) wherever it can.
constexpr std::int64_t kTileSide = 128;
constexpr std::int64_t kLeastTileSide = 16;
constexpr std::int64_t kTileTerms = std::int64_t{1} << 24;

std::int64_t tileSideFor(std::int64_t features) {
    std::int64_t side = kTileSide;
    while (side > kLeastTileSide && side * side * features > kTileTerms) side /= 2;
    return side;
}

void packRows(const Examples& a, std::int64_t rowBegin, std::int64_t rowEnd, std::int64_t paddedRows,
              double* packed) {
    const std::int64_t rowCount = rowEnd - rowBegin;
    for (std::int64_t f = 0; f < a.features; ++f) {
        double* destination = packed + f * paddedRows;
        std::memcpy(destination, a.data + rowBegin + f * a.count, static_cast<std::size_t>(rowCount) * sizeof(double));
        std::fill(destination + rowCount, destination + paddedRows, 0.0);
    }
}

// out(rowBegin + r, j) = the tile's value (r, j) for its valid rows r and its columns j.
void copyOut(const Tile& tile, std::int64_t rowBegin, std::int64_t rowCount, double* out, std::int64_t ldOut) {
    for (std::int64_t j = tile.colBegin; j < tile.colEnd; ++j) {
        std::memcpy(out + rowBegin + j * ldOut, tile.values + (j - tile.colBegin) * tile.paddedRows,
                    static_cast<std::size_t>(rowCount) * sizeof(double));
    }
}

// out(j, rowBegin + r) = the tile's value (r, j): the same values across the diagonal. In
// squares of kMirrorBlock rows and columns, so that the lines read and written at once are few
// enough to stay in the first-level cache.
constexpr std::int64_t kMirrorBlock = 8;

void copyMirrored(const Tile& tile, std::int64_t rowBegin, std::int64_t rowCount, double* out, std::int64_t ldOut) {
    const std::int64_t columns = tile.colEnd - tile.colBegin;
    for (std::int64_t r0 = 0; r0 < rowCount; r0 += kMirrorBlock) {
        const std::int64_t rEnd = std::min(rowCount, r0 + kMirrorBlock);
        for (std::int64_t c0 = 0; c0 < columns; c0 += kMirrorBlock) {
            const std::int64_t cEnd = std::min(columns, c0 + kMirrorBlock);
            for (std::int64_t r = r0; r < rEnd; ++r) {
                double* destination = out + tile.colBegin + (rowBegin + r) * ldOut;
                for (std::int64_t c = c0; c < cEnd; ++c) destination[c] = tile.values[r + c * tile.paddedRows];
            }
        }
    }
}

// The bases of rows [first, end) of a against the tile's columns, all sparse, into the tile's
// values (paddedRows apart, as the dense tiles'); the padding rows are left as they are.
template <BaseKind kind>
void sparseTileOfKind(const Examples& a, std::int64_t first, std::int64_t end, const Tile& tile) {
    for (std::int64_t j = tile.colBegin; j < tile.colEnd; ++j) {
        double* column = tile.values + (j - tile.colBegin) * tile.paddedRows;
        for (std::int64_t i = first; i < end; ++i) column[i - first] = sparseBase<kind>(a.sparse, i, tile.b->sparse, j);
    }
}

void sparseTile(BaseKind kind, const KernelSetting* setting, const EngineLoops& loops, const Examples& a,
                std::int64_t first, std::int64_t end, const Tile& tile) {
    if (kind == BaseKind::SquaredDistance) {
        sparseTileOfKind<BaseKind::SquaredDistance>(a, first, end, tile);
    } else {
        sparseTileOfKind<BaseKind::Product>(a, first, end, tile);
    }
    if (setting != nullptr) loops.applyValues(*setting, tile.values, (tile.colEnd - tile.colBegin) * tile.paddedRows);
}

bool stopRequested(const std::atomic<bool>* stop) { return stop != nullptr && stop->load(std::memory_order_relaxed); }

// The base matrix, or the kernel matrix when setting is not null, on the given loops.
bool matrixUsing(const EngineLoops& loops, BaseKind kind, const KernelSetting* setting, const Examples& a,
                 const Examples* b, double* out, std::int64_t ldOut, int threadCount, const std::atomic<bool>* stop) {
    const bool square = b == nullptr;
    const Examples& columns = square ? a : *b;
    if (a.isSparse() != columns.isSparse()) throw std::invalid_argument("dense examples against sparse ones");
    if (a.count == 0 || columns.count == 0) return !stopRequested(stop);
    const std::int64_t side = tileSideFor(termsPerBase(a));
    const std::int64_t paddedSide = (side + loops.blockRows - 1) / loops.blockRows * loops.blockRows;
    const std::int64_t chunkCount = (columns.count + side - 1) / side;
    std::atomic<bool> cut{false};
    forEachIndex(chunkCount, threadCount, [&](std::int64_t index) {
        // In a square matrix the last chunks hold the most rows: they go first, so that the
        // threads run out of work together.
        const std::int64_t chunk = square ? chunkCount - 1 - index : index;
        // Sparse rows are read in place.
        const std::int64_t packedCount = a.isSparse() ? 0 : paddedSide * std::max<std::int64_t>(a.features, 1);
        std::vector<double> packed(static_cast<std::size_t>(packedCount));
        std::vector<double> values(static_cast<std::size_t>(paddedSide * side));
        Tile tile;
        tile.packedRows = packed.data();
        tile.b = &columns;
        tile.colBegin = chunk * side;
        tile.colEnd = std::min(columns.count, tile.colBegin + side);
        tile.values = values.data();
        // A square matrix's chunk covers the rows above its columns, mirrored into the rows of its
        // columns, and then the square on the diagonal, made in full: its entries below the
        // diagonal are the same bits as those above, since every term is symmetric.
        const std::int64_t rowsBeforeDiagonal = square ? tile.colBegin : a.count;
        for (std::int64_t rowBegin = 0;; rowBegin += side) {
            const bool diagonal = rowBegin >= rowsBeforeDiagonal;
            if (diagonal && !square) break;
            if (stopRequested(stop)) {
                cut.store(true, std::memory_order_relaxed);
                return;
            }
            const std::int64_t first = diagonal ? tile.colBegin : rowBegin;
            const std::int64_t end = diagonal ? tile.colEnd : std::min(rowsBeforeDiagonal, rowBegin + side);
            tile.paddedRows = (end - first + loops.blockRows - 1) / loops.blockRows * loops.blockRows;
            if (a.isSparse()) {
                sparseTile(kind, setting, loops, a, first, end, tile);
            } else {
                packRows(a, first, end, tile.paddedRows, packed.data());
                loops.tile(kind, setting, tile);
            }
            copyOut(tile, first, end - first, out, ldOut);
            if (diagonal) break;
            if (square) copyMirrored(tile, first, end - first, out, ldOut);
        }
    });
    return !cut.load(std::memory_order_relaxed);
}

}  // namespace

std::int64_t termsPerBase(const Examples& examples) {
    if (!examples.isSparse()) return std::max<std::int64_t>(examples.features, 1);
    const std::int64_t nonZeros = examples.sparse.starts[examples.count] - examples.sparse.starts[0];
    return std::max<std::int64_t>(1, 2 * ((nonZeros + examples.count - 1) / std::max<std::int64_t>(examples.count, 1)));
}

BaseKind baseKindOf(KernelType type) {
    return type == KernelType::Rbf ? BaseKind::SquaredDistance : BaseKind::Product;
}

double kernelValue(const KernelSetting& setting, double base) {
    applyValuesPortable(setting, &base, 1);
    return base;
}

void applyKernelValue(const KernelSetting& setting, double* values, std::int64_t count) {
    kernelLoopsFor(detail::fastestSupported()).applyValues(setting, values, count);
}

void applyKernelValueUsing(InstructionSet set, const KernelSetting& setting, double* values, std::int64_t count) {
    kernelLoopsFor(set).applyValues(setting, values, count);
}

double kernelExp(double x) {
    double lanes[PortableLanes::kWidth] = {x};
    PortableLanes::store(lanes, expLanes<PortableLanes>(PortableLanes::load(lanes)));
    return lanes[0];
}

bool baseMatrixUsing(InstructionSet set, BaseKind kind, const Examples& a, const Examples* b, double* out,
                     std::int64_t ldOut, int threadCount, const std::atomic<bool>* stop) {
    return matrixUsing(kernelLoopsFor(set), kind, nullptr, a, b, out, ldOut, threadCount, stop);
}

bool kernelMatrixUsing(InstructionSet set, const KernelSetting& setting, const Examples& a, const Examples* b,
                       double* out, std::int64_t ldOut, int threadCount, const std::atomic<bool>* stop) {
    return matrixUsing(kernelLoopsFor(set), baseKindOf(setting.type), &setting, a, b, out, ldOut, threadCount, stop);
}

bool baseMatrix(BaseKind kind, const Examples& a, const Examples* b, double* out, std::int64_t ldOut,
                int threadCount, const std::atomic<bool>* stop) {
    return baseMatrixUsing(detail::fastestSupported(), kind, a, b, out, ldOut, threadCount, stop);
}

bool kernelMatrix(const KernelSetting& setting, const Examples& a, const Examples* b, double* out,
                  std::int64_t ldOut, int threadCount, const std::atomic<bool>* stop) {
    return kernelMatrixUsing(detail::fastestSupported(), setting, a, b, out, ldOut, threadCount, stop);
}

void kernelRow(const KernelSetting& setting, const double* point, const Examples& block, std::int64_t begin,
               std::int64_t end, double* out) {
    kernelLoopsFor(detail::fastestSupported()).row(setting, point, block, begin, end, out);
}

void kernelRowUsing(InstructionSet set, const KernelSetting& setting, const double* point, const Examples& block,
                    std::int64_t begin, std::int64_t end, double* out) {
    kernelLoopsFor(set).row(setting, point, block, begin, end, out);
}

void sparseKernelRow(const KernelSetting& setting, const Examples& x, std::int64_t point, const Examples& block,
                     const std::int64_t* examples, std::int64_t count, double* out) {
    if (baseKindOf(setting.type) == BaseKind::SquaredDistance) {
        sparseBases<BaseKind::SquaredDistance>(x, point, block, examples, count, out);
    } else {
        sparseBases<BaseKind::Product>(x, point, block, examples, count, out);
    }
    applyKernelValue(setting, out, count);
}

void kernelFromBase(const KernelSetting& setting, const double* base, std::int64_t ldBase, const std::int64_t* rows,
                    std::int64_t rowCount, const std::int64_t* cols, std::int64_t colCount, double* out) {
    const EngineLoops& loops = kernelLoopsFor(detail::fastestSupported());
    for (std::int64_t c = 0; c < colCount; ++c) {
        const double* baseColumn = base + cols[c] * ldBase;
        double* outColumn = out + c * rowCount;
        for (std::int64_t r = 0; r < rowCount; ++r) outColumn[r] = baseColumn[rows[r]];
        loops.applyValues(setting, outColumn, rowCount);
    }
}

}  // namespace zelmor::engine
