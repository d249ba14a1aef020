#include "engine_outputs.h"

namespace zelmor::enginegateway {

using namespace mexhost;
using namespace engine;

mxArray* doubles(std::int64_t rows, std::int64_t cols) {
    return mxCreateDoubleMatrix(static_cast<mwSize>(rows), static_cast<mwSize>(cols), mxREAL);
}

mxArray* unwrittenDoubles(std::int64_t rows, std::int64_t cols) {
    return mxCreateUninitNumericMatrix(static_cast<std::size_t>(rows), static_cast<std::size_t>(cols), mxDOUBLE_CLASS,
                                       mxREAL);
}

mxArray* logicalsFrom(const std::vector<std::uint8_t>& values, std::int64_t rows, std::int64_t cols) {
    mxArray* array = mxCreateLogicalMatrix(static_cast<mwSize>(rows), static_cast<mwSize>(cols));
    mxLogical* data = mxGetLogicals(array);
    for (std::size_t i = 0; i < values.size(); ++i) data[i] = values[i] != 0;
    return array;
}

mxArray* structOf(const Fields& fields) {
    std::vector<const char*> names;
    for (const auto& field : fields) names.push_back(field.first);
    mxArray* result = mxCreateStructMatrix(1, 1, static_cast<int>(names.size()), names.data());
    for (std::size_t i = 0; i < fields.size(); ++i) mxSetFieldByNumber(result, 0, static_cast<int>(i), fields[i].second);
    return result;
}

namespace {

// A settings x betas cell array of each cell's n x k decision values.
mxArray* decisionCells(const GridResult& grid) {
    mxArray* cells = mxCreateCellMatrix(static_cast<mwSize>(grid.settingCount), static_cast<mwSize>(grid.betaCount));
    for (std::size_t cell = 0; cell < grid.decisionValues.size(); ++cell) {
        const std::vector<double>& values = grid.decisionValues[cell];
        const std::int64_t columns = values.empty() ? 0 : grid.classCount;
        const std::int64_t rows = values.empty() ? 0 : static_cast<std::int64_t>(values.size()) / grid.classCount;
        mxSetCell(cells, static_cast<mwIndex>(cell), doublesFrom(values, rows, columns));
    }
    return cells;
}

}  // namespace

mxArray* gridStruct(const GridResult& grid) {
    const mwSize dimensions[3] = {static_cast<mwSize>(grid.settingCount), static_cast<mwSize>(grid.betaCount),
                                  static_cast<mwSize>(grid.foldCount)};
    auto array = [](mwSize count, const mwSize* extents, const auto& values) {
        mxArray* result = mxCreateNumericArray(count, extents, mxDOUBLE_CLASS, mxREAL);
        std::transform(values.begin(), values.end(), realData(result), [](auto v) { return static_cast<double>(v); });
        return result;
    };
    auto cube = [&](const auto& values) { return array(3, dimensions, values); };
    const mwSize byClass[4] = {dimensions[0], dimensions[1], dimensions[2], static_cast<mwSize>(grid.classCount)};
    mxArray* converged = mxCreateLogicalArray(3, dimensions);
    std::transform(grid.converged.begin(), grid.converged.end(), mxGetLogicals(converged),
                   [](std::uint8_t v) { return v != 0; });
    Fields fields{{"correct", cube(grid.correct)},
                  {"classCorrect", array(4, byClass, grid.classCorrect)},
                  {"iterations", cube(grid.iterations)},
                  {"restarts", cube(grid.restarts)},
                  {"converged", converged},
                  {"seconds", cube(grid.seconds)},
                  {"foldSizes", doublesFrom(grid.foldSizes, 1, grid.foldCount)},
                  {"concurrentUnits", mxCreateDoubleScalar(static_cast<double>(grid.concurrentUnits))},
                  {"baseSeconds", mxCreateDoubleScalar(grid.baseSeconds)},
                  {"kernelSeconds", mxCreateDoubleScalar(grid.kernelSeconds)},
                  {"solveSeconds", mxCreateDoubleScalar(grid.solveSeconds)},
                  {"scoringSeconds", mxCreateDoubleScalar(grid.scoringSeconds)}};
    if (!grid.decisionValues.empty()) fields.emplace_back("decisionValues", decisionCells(grid));
    return structOf(fields);
}

mxArray* trainResult(const GridProblem& problem, mxArray* grid, GridChoice choice, const Fit& fit,
                     double crossValidationSeconds, const std::vector<double>& temperature, double calibrationSeconds) {
    Fields fields;
    fields.emplace_back("grid", grid);
    fields.emplace_back("setting", mxCreateDoubleScalar(static_cast<double>(choice.setting + 1)));
    fields.emplace_back("beta", mxCreateDoubleScalar(static_cast<double>(choice.beta + 1)));
    fields.emplace_back("tau", doublesFrom(fit.tau, problem.exampleCount, problem.classCount));
    fields.emplace_back("iterations", mxCreateDoubleScalar(static_cast<double>(fit.step.iterations)));
    fields.emplace_back("restarts", mxCreateDoubleScalar(static_cast<double>(fit.step.restarts)));
    fields.emplace_back("converged", mxCreateLogicalScalar(fit.step.converged));
    fields.emplace_back("tolerance", mxCreateDoubleScalar(fit.step.tolerance));
    fields.emplace_back("crossValidationSeconds", mxCreateDoubleScalar(crossValidationSeconds));
    fields.emplace_back("kernelSeconds", mxCreateDoubleScalar(fit.kernelSeconds));
    fields.emplace_back("solveSeconds", mxCreateDoubleScalar(fit.step.seconds));
    fields.emplace_back("temperature", doublesFrom(temperature, static_cast<std::int64_t>(temperature.size()),
                                                   temperature.empty() ? 0 : 1));
    fields.emplace_back("calibrationSeconds", mxCreateDoubleScalar(calibrationSeconds));
    return structOf(fields);
}

void setPathOutputs(int nlhs, mxArray* plhs[], const std::vector<double>& taus, std::int64_t n, std::int64_t k,
                    const std::vector<PathStep>& steps) {
    const auto count = static_cast<std::int64_t>(steps.size());
    const mwSize dimensions[3] = {static_cast<mwSize>(n), static_cast<mwSize>(k), static_cast<mwSize>(count)};
    mxArray* tauArray = mxCreateNumericArray(3, dimensions, mxDOUBLE_CLASS, mxREAL);
    std::copy(taus.begin(), taus.end(), realData(tauArray));
    plhs[0] = tauArray;
    std::vector<double> iterations, seconds, restarts, tolerance;
    std::vector<std::uint8_t> converged;
    for (const PathStep& step : steps) {
        iterations.push_back(static_cast<double>(step.iterations));
        seconds.push_back(step.seconds);
        restarts.push_back(static_cast<double>(step.restarts));
        converged.push_back(step.converged);
        tolerance.push_back(step.tolerance);
    }
    mxArray* outputs[] = {nullptr, doublesFrom(iterations, 1, count), doublesFrom(seconds, 1, count),
                          doublesFrom(restarts, 1, count), logicalsFrom(converged, 1, count),
                          doublesFrom(tolerance, 1, count)};
    for (int i = 1; i < 6; ++i) {
        if (i < nlhs) {
            plhs[i] = outputs[i];
        } else {
            mxDestroyArray(outputs[i]);
        }
    }
}

}  // namespace zelmor::enginegateway
