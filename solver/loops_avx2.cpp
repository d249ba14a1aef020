// The solve loops for CPUs with AVX2.
#if defined(__x86_64__)

#include "lanes_avx2.h"

#define ZELMOR_LANES_TARGET ZELMOR_AVX2
#include "solve_loops.h"

namespace zelmor {
namespace detail {

extern const SolveLoops kAvx2Loops = loopsOf<Avx2Lanes>();

}  // namespace detail
}  // namespace zelmor

#endif  // defined(__x86_64__)
