// The inner loops of the kernel matrices, written once over the solver's lane types
// (kernel_loops.h) and built for each instruction set (kernel_loops_*.cpp), and the pieces of
// work they are given. Internal to the engine's kernels (kernels.cpp).
//
// Every lane's value is computed on its own, by the same IEEE operations in the same order
// whatever the lane type, so every build gives the same bits.
#ifndef ZELMOR_ENGINE_KERNEL_INTERNALS_H
#define ZELMOR_ENGINE_KERNEL_INTERNALS_H

#include <cstdint>

#include "instruction_sets.h"
#include "kernels.h"

namespace zelmor::engine {

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

struct KernelLoops {
    // values[i] = kernelValue(setting, values[i]) for i in [0, count).
    void (*applyValues)(const KernelSetting& setting, double* values, std::int64_t count);
    // kernelRow's work, on dense examples.
    void (*row)(const KernelSetting& setting, const double* point, const Examples& block, std::int64_t begin,
                std::int64_t end, double* out);
    // The tile's bases of `kind`, then their kernel values when a setting is given.
    void (*tile)(BaseKind kind, const KernelSetting* setting, const Tile& tile);
    // Rows per block of the tile loop: tiles are padded to a whole number of blocks.
    std::int64_t blockRows;
};

// Each instruction set's build, defined in kernel_loops_*.cpp; off x86-64 only the portable one.
extern const KernelLoops kPortableKernelLoops;
extern const KernelLoops kAvx2KernelLoops;
extern const KernelLoops kAvx512KernelLoops;

// The kernel loops built for `set`.
const KernelLoops& kernelLoopsFor(detail::InstructionSet set);

}  // namespace zelmor::engine

#endif  // ZELMOR_ENGINE_KERNEL_INTERNALS_H
