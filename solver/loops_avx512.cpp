// The solve loops for CPUs with AVX-512F and AVX-512DQ.
#if defined(__x86_64__)

#include "lanes_avx512.h"

#define ZELMOR_LANES_TARGET ZELMOR_AVX512
#include "solve_loops.h"

namespace zelmor {
namespace detail {

extern const SolveLoops kAvx512Loops = loopsOf<Avx512Lanes>();

}  // namespace detail
}  // namespace zelmor

#endif  // defined(__x86_64__)
