// Building zelmor_engine's outputs: arrays of doubles and logicals, and the structs of the grid
// and of the training as the helpers read them.
#ifndef ZELMOR_GATEWAYS_ENGINE_OUTPUTS_H
#define ZELMOR_GATEWAYS_ENGINE_OUTPUTS_H

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "mex_host.h"
#include "path.h"
#include "search.h"

namespace zelmor::enginegateway {

mxArray* doubles(std::int64_t rows, std::int64_t cols);

// For an output the engine writes whole: zeroing it first would cost a pass over new memory
// before Ctrl-C is even asked for. Never handed to the host unless complete.
mxArray* unwrittenDoubles(std::int64_t rows, std::int64_t cols);

template <class T>
mxArray* doublesFrom(const std::vector<T>& values, std::int64_t rows, std::int64_t cols) {
    mxArray* array = doubles(rows, cols);
    std::transform(values.begin(), values.end(), mexhost::realData(array), [](T v) { return static_cast<double>(v); });
    return array;
}

mxArray* logicalsFrom(const std::vector<std::uint8_t>& values, std::int64_t rows, std::int64_t cols);

// A 1 x 1 struct of the fields, in their order.
using Fields = std::vector<std::pair<const char*, mxArray*>>;
mxArray* structOf(const Fields& fields);

// The grid's results as the helpers read them: every cell's correct predictions (in all, and
// of each class: settings x betas x folds x classes), iterations, restarts, convergence and
// seconds, shaped settings x betas x folds; and, where kept, the decision values of each cell
// (a settings x betas cell array of n x k values, [] where this call tried none).
mxArray* gridStruct(const engine::GridResult& grid);

// The choice and the final fit as the helpers read them; grid is the cross-validation's, or
// [] where the caller has it. temperature: none, or the one fitted, in calibrationSeconds.
mxArray* trainResult(const engine::GridProblem& problem, mxArray* grid, engine::GridChoice choice,
                     const engine::Fit& fit, double crossValidationSeconds,
                     const std::vector<double>& temperature = {}, double calibrationSeconds = 0.0);

// The outputs of 'path' into plhs: the n x k x betas duals, then per beta (as far as nlhs asks)
// the iterations, seconds, restarts, convergence and tolerance of its solve.
void setPathOutputs(int nlhs, mxArray* plhs[], const std::vector<double>& taus, std::int64_t n, std::int64_t k,
                    const std::vector<engine::PathStep>& steps);

}  // namespace zelmor::enginegateway

#endif  // ZELMOR_GATEWAYS_ENGINE_OUTPUTS_H
