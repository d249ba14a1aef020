// The solve loops for CPUs with AVX2.
#if defined(__x86_64__)

#include "lanes_avx2.h"

#define ZELMOR_LANES_TARGET ZELMOR_AVX2
#include "solve_loops.h"

namespace zelmor {
namespace detail {

extern const SolveKernels kAvx2Kernels = kernelsOf<Avx2Lanes>();

}  // namespace detail
}  // namespace zelmor

#endif  // defined(__x86_64__)
