// The check that a kernel the engine computed holds finite values only. A poly kernel of a high
// degree, or products of huge features, overflow to Inf (or NaN); the solver would then take
// meaningless steps and still report convergence, so the engine refuses such a kernel wherever
// it computes one (the kernel cache, the prediction's blocks, zelmor_engine 'kernel'), as the
// solver gateways refuse a kernel given them.
#ifndef ZELMOR_ENGINE_FINITE_KERNEL_H
#define ZELMOR_ENGINE_FINITE_KERNEL_H

#include <cmath>
#include <cstdint>
#include <limits>

namespace zelmor::engine {

// A kernel entry that is not a finite number: an overflow, as a poly kernel of a high degree or
// a linear kernel of huge features can give. value is the first one found.
struct KernelNotFinite {
    double value;
};

// Throws KernelNotFinite unless values[0, count) are all finite. One branch-free pass, over
// values that are still in the cache where the callers call it (right after making them).
inline void requireFiniteKernel(const double* values, std::int64_t count) {
    constexpr double kLargest = std::numeric_limits<double>::max();
    unsigned notFinite = 0;
    // NaN fails the comparison as Inf does.
    for (std::int64_t i = 0; i < count; ++i) notFinite |= !(std::fabs(values[i]) <= kLargest);
    if (notFinite == 0) return;
    for (std::int64_t i = 0; i < count; ++i) {
        if (!(std::fabs(values[i]) <= kLargest)) throw KernelNotFinite{values[i]};
    }
}

}  // namespace zelmor::engine

#endif  // ZELMOR_ENGINE_FINITE_KERNEL_H
