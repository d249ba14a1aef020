// The instruction sets the loops are built for, and the choice among them at run time. The
// solve loops (solve_loops.h) and the engine's kernel loops (engine/kernel_loops.h) are each
// written once over the lane types (lanes_portable.h, lanes_avx2.h, lanes_avx512.h) and built
// once per instruction set, each build in a source of its own that fills a table of functions;
// LoopsPerSet picks the table for a set.
#ifndef ZELMOR_SOLVER_INSTRUCTION_SETS_H
#define ZELMOR_SOLVER_INSTRUCTION_SETS_H

namespace zelmor {
namespace detail {

enum class InstructionSet { Portable, Avx2, Avx512 };

const char* nameOf(InstructionSet set);
bool cpuSupports(InstructionSet set);
InstructionSet fastestSupported();

// One table of loops per instruction set. Off x86-64 only the portable table is built, and every
// set gets it.
template <class Loops>
struct LoopsPerSet {
    const Loops* portable = nullptr;
    const Loops* avx2 = nullptr;
    const Loops* avx512 = nullptr;

    const Loops& forSet(InstructionSet set) const {
        if (set == InstructionSet::Avx512 && avx512 != nullptr) return *avx512;
        if (set == InstructionSet::Avx2 && avx2 != nullptr) return *avx2;
        return *portable;
    }
};

}  // namespace detail
}  // namespace zelmor

#endif  // ZELMOR_SOLVER_INSTRUCTION_SETS_H
