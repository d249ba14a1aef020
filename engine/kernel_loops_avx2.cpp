// The kernel loops for CPUs with AVX2.
#if defined(__x86_64__)

#include "lanes_avx2.h"

#define ZELMOR_LANES_TARGET ZELMOR_AVX2
#include "kernel_loops.h"

const zelmor::engine::KernelLoops zelmor::engine::kAvx2KernelLoops = kernelLoopsOf<detail::Avx2Lanes>();

#endif  // defined(__x86_64__)
