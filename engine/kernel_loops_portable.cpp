// The kernel loops for any CPU, in plain C++, and the one-value exponential.
#include "lanes_portable.h"

#define ZELMOR_LANES_TARGET
#include "kernel_loops.h"

namespace zelmor::engine {

const KernelLoops kPortableKernelLoops = kernelLoopsOf<detail::PortableLanes>();

// One lane: the same operations as every other build's, on this value alone.
double kernelExp(double x) {
    using One = detail::PortableLanesOf<1>;
    double lane[1] = {x};
    One::storeUnaligned(lane, expLanes<One>(One::loadUnaligned(lane)));
    return lane[0];
}

}  // namespace zelmor::engine
