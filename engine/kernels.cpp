#include "kernels.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "kernel_internals.h"
#include "parallel.h"

namespace zelmor::engine {

#if defined(__x86_64__)
constexpr detail::LoopsPerSet<KernelLoops> kKernelLoops{&kPortableKernelLoops, &kAvx2KernelLoops, &kAvx512KernelLoops};
#else
constexpr detail::LoopsPerSet<KernelLoops> kKernelLoops{&kPortableKernelLoops};
#endif

const KernelLoops& kernelLoopsFor(InstructionSet set) { return kKernelLoops.forSet(set); }

namespace {

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
    for (std::int64_t f = 0; f < a.featureCount; ++f) {
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

void sparseTile(BaseKind kind, const KernelSetting* setting, const KernelLoops& loops, const Examples& a,
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
bool matrixUsing(const KernelLoops& loops, BaseKind kind, const KernelSetting* setting, const Examples& a,
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
        const std::int64_t packedCount = a.isSparse() ? 0 : paddedSide * std::max<std::int64_t>(a.featureCount, 1);
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
    if (!examples.isSparse()) return std::max<std::int64_t>(examples.featureCount, 1);
    const std::int64_t nonZeros = examples.sparse.starts[examples.count] - examples.sparse.starts[0];
    return std::max<std::int64_t>(1, 2 * ((nonZeros + examples.count - 1) / std::max<std::int64_t>(examples.count, 1)));
}

BaseKind baseKindOf(KernelType type) {
    return type == KernelType::Rbf ? BaseKind::SquaredDistance : BaseKind::Product;
}

double kernelValue(const KernelSetting& setting, double base) {
    kernelLoopsFor(InstructionSet::Portable).applyValues(setting, &base, 1);
    return base;
}

void applyKernelValue(const KernelSetting& setting, double* values, std::int64_t count) {
    kernelLoopsFor(detail::fastestSupported()).applyValues(setting, values, count);
}

void applyKernelValueUsing(InstructionSet set, const KernelSetting& setting, double* values, std::int64_t count) {
    kernelLoopsFor(set).applyValues(setting, values, count);
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
    const KernelLoops& loops = kernelLoopsFor(detail::fastestSupported());
    for (std::int64_t c = 0; c < colCount; ++c) {
        const double* baseColumn = base + cols[c] * ldBase;
        double* outColumn = out + c * rowCount;
        for (std::int64_t r = 0; r < rowCount; ++r) outColumn[r] = baseColumn[rows[r]];
        loops.applyValues(setting, outColumn, rowCount);
    }
}

}  // namespace zelmor::engine
