// Storage for a whole kernel or base matrix, left unwritten: zeroing n^2 doubles first would take
// as long as a pass over them, and no stop could interrupt it. On Linux, in 2 MB pages where the
// system allows them: faulting in a kernel of 4 KB pages costs more than computing it.
#ifndef ZELMOR_ENGINE_KERNEL_STORAGE_H
#define ZELMOR_ENGINE_KERNEL_STORAGE_H

#include <cstdint>
#include <cstdlib>
#include <memory>

namespace zelmor::engine {

struct FreeStorage {
    void operator()(double* data) const { std::free(data); }
};
using KernelStorage = std::unique_ptr<double[], FreeStorage>;

// count doubles (at least one); throws std::bad_alloc when the system has none to give.
KernelStorage kernelStorage(std::int64_t count);

}  // namespace zelmor::engine

#endif  // ZELMOR_ENGINE_KERNEL_STORAGE_H
