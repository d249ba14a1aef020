#include "predict.h"

#include <algorithm>
#include <vector>

#include "finite_kernel.h"
#include "kernel_storage.h"
#include "parallel.h"

namespace zelmor::engine {

void decisionValues(const double* kernel, std::int64_t ldKernel, std::int64_t testCount, std::int64_t trainCount,
                    const double* tau, std::int32_t k, double* out) {
    std::fill(out, out + testCount * k, 0.0);
    for (std::int64_t j = 0; j < trainCount; ++j) {
        const double* column = kernel + j * ldKernel;
        for (std::int32_t m = 0; m < k; ++m) {
            const double weight = tau[j + m * trainCount];
            if (weight == 0.0) continue;
            double* target = out + m * testCount;
            for (std::int64_t t = 0; t < testCount; ++t) target[t] = target[t] + column[t] * weight;
        }
    }
}

bool decisionValuesOnThreads(const KernelSetting* setting, const double* kernel, const Examples& test,
                             const Examples& train, const double* tau, std::int32_t k, double* out,
                             int threadCount, const std::atomic<bool>* stop) {
    // About a million kernel values per block.
    const std::int64_t rowsPerBlock = std::max<std::int64_t>(8, (std::int64_t{1} << 20) / std::max<std::int64_t>(train.count, 1));
    const std::int64_t blockCount = (test.count + rowsPerBlock - 1) / rowsPerBlock;
    forEachIndex(blockCount, threadCount, [&](std::int64_t block) {
        if (stop != nullptr && stop->load(std::memory_order_relaxed)) return;
        const std::int64_t first = block * rowsPerBlock;
        const std::int64_t rows = std::min(rowsPerBlock, test.count - first);
        std::vector<double> values(static_cast<std::size_t>(rows * k));
        if (kernel != nullptr) {
            decisionValues(kernel + first, test.count, rows, train.count, tau, k, values.data());
        } else {
            // The block's rows: sparse ones in place, dense ones packed.
            std::vector<double> features;
            Examples block{nullptr, rows, test.featureCount};
            if (test.isSparse()) {
                block.sparse = test.sparse;
                block.sparse.starts += first;
            } else {
                features.resize(static_cast<std::size_t>(rows * test.featureCount));
                for (std::int64_t f = 0; f < test.featureCount; ++f) {
                    std::copy(test.data + first + f * test.count, test.data + first + rows + f * test.count,
                              features.begin() + f * rows);
                }
                block.data = features.data();
            }
            const KernelStorage blockKernel = kernelStorage(rows * train.count);
            kernelMatrix(*setting, block, &train, blockKernel.get(), rows, 1, nullptr);
            requireFiniteKernel(blockKernel.get(), rows * train.count);
            decisionValues(blockKernel.get(), rows, rows, train.count, tau, k, values.data());
        }
        for (std::int32_t m = 0; m < k; ++m) {
            std::copy(values.begin() + m * rows, values.begin() + (m + 1) * rows, out + first + m * test.count);
        }
    });
    return stop == nullptr || !stop->load(std::memory_order_relaxed);
}

}  // namespace zelmor::engine
