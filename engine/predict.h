// Prediction: the decision values of test examples from a model's dual variables, from a kernel
// given whole or made block by block from the features. The class with the largest value is the
// prediction, ties to the lower class.
//
// A kernel made from features that holds a value that is not finite (it overflowed) raises
// KernelNotFinite (finite_kernel.h) from decisionValuesOnThreads.
#ifndef ZELMOR_ENGINE_PREDICT_H
#define ZELMOR_ENGINE_PREDICT_H

#include <atomic>
#include <cstdint>

#include "kernels.h"

namespace zelmor::engine {

// Decision values: out(t, m) (testCount x k, column-major) = the sum over training examples j,
// in increasing order, of K(t, j) * tau(j, m), for a testCount x trainCount kernel with leading
// dimension ldKernel and trainCount x k dual variables; zero entries of tau add only zeros and
// are skipped.
void decisionValues(const double* kernel, std::int64_t ldKernel, std::int64_t testCount, std::int64_t trainCount,
                    const double* tau, std::int32_t k, double* out);

// The same for a kernel given whole (kernel != nullptr), or between test and training features
// (both dense or both sparse), evaluated in blocks of test rows so that no more than a block's
// kernel is ever held; on threads, each block written by one. False when stopped.
bool decisionValuesOnThreads(const KernelSetting* setting, const double* kernel, const Examples& test,
                             const Examples& train, const double* tau, std::int32_t k, double* out,
                             int threadCount, const std::atomic<bool>* stop);

}  // namespace zelmor::engine

#endif  // ZELMOR_ENGINE_PREDICT_H
