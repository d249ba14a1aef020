// The kernel loops for CPUs with AVX-512F and AVX-512DQ.
#if defined(__x86_64__)

#include "lanes_avx512.h"

#define ZELMOR_LANES_TARGET ZELMOR_AVX512
#include "kernel_loops.h"

const zelmor::engine::KernelLoops zelmor::engine::kAvx512KernelLoops = kernelLoopsOf<detail::Avx512Lanes>();

#endif  // defined(__x86_64__)
