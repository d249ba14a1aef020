#include "instruction_sets.h"

namespace zelmor {
namespace detail {

const char* nameOf(InstructionSet set) {
    switch (set) {
        case InstructionSet::Avx512: return "AVX-512";
        case InstructionSet::Avx2: return "AVX2";
        default: return "portable";
    }
}

bool cpuSupports(InstructionSet set) {
#if defined(__x86_64__)
    __builtin_cpu_init();
    switch (set) {
        case InstructionSet::Avx512: return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
        case InstructionSet::Avx2: return __builtin_cpu_supports("avx2");
        default: return true;
    }
#else
    return set == InstructionSet::Portable;
#endif
}

InstructionSet fastestSupported() {
    // Asked once: solves run on several threads at once, and the CPU model is global state.
    static const InstructionSet fastest = cpuSupports(InstructionSet::Avx512) ? InstructionSet::Avx512
                                          : cpuSupports(InstructionSet::Avx2) ? InstructionSet::Avx2
                                                                              : InstructionSet::Portable;
    return fastest;
}

}  // namespace detail
}  // namespace zelmor
