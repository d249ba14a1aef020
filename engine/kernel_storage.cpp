#include "kernel_storage.h"

#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace zelmor::engine {

KernelStorage kernelStorage(std::int64_t count) {
    constexpr std::size_t kHugePage = std::size_t{1} << 21;
    const std::size_t bytes = static_cast<std::size_t>(count > 0 ? count : 1) * sizeof(double);
    void* data = nullptr;
    if (bytes >= kHugePage) {
        if (posix_memalign(&data, kHugePage, (bytes + kHugePage - 1) / kHugePage * kHugePage) != 0) data = nullptr;
#if defined(__linux__)
        if (data != nullptr) madvise(data, bytes, MADV_HUGEPAGE);
#endif
    } else {
        data = std::malloc(bytes);
    }
    if (data == nullptr) throw std::bad_alloc();
    return KernelStorage(static_cast<double*>(data));
}

}  // namespace zelmor::engine
