#include "mex_host.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <limits>


namespace zelmor::mexhost {

namespace {

constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();

// "3x4 single", "2x2 complex double", "2x3x4 double": what arrived, for the message.
std::string describe(const mxArray* array) {
    std::string text;
    const mwSize dimensionCount = mxGetNumberOfDimensions(array);
    const mwSize* dimensions = mxGetDimensions(array);
    for (mwSize d = 0; d < dimensionCount; ++d) {
        text += (d == 0 ? "" : "x") + std::to_string(dimensions[d]);
    }
    if (mxIsSparse(array)) {
        text += " sparse";
    }
    if (mxIsComplex(array)) {
        text += " complex";
    }
    return text + " " + mxGetClassName(array);
}

}  // namespace

std::string formatMessage(const char* format, ...) {
    char buffer[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(buffer, sizeof buffer, format, arguments);
    va_end(arguments);
    return buffer;
}

void requireArgumentCounts(const char* function, int inputCount, int expectedInputs, int outputCount,
                           int maxOutputs) {
    if (inputCount != expectedInputs) {
        throw GatewayError("zelmor:nargin", formatMessage("%s takes exactly %d inputs (got %d)", function,
                                                          expectedInputs, inputCount));
    }
    if (outputCount > maxOutputs) {
        throw GatewayError("zelmor:nargout", formatMessage("%s returns at most %d output%s (%d requested)",
                                                           function, maxOutputs, maxOutputs == 1 ? "" : "s",
                                                           outputCount));
    }
}

void requireRealDoubleMatrix(const mxArray* array, const char* name) {
    const bool usable = mxIsDouble(array) && !mxIsComplex(array) && !mxIsSparse(array) &&
                        mxGetNumberOfDimensions(array) == 2;
    if (!usable) {
        throw GatewayError("zelmor:notRealDouble",
                           formatMessage("%s must be a real, non-sparse, 2-D double matrix (got a %s)", name,
                                         describe(array).c_str()));
    }
}

std::int32_t requireSquareKernel(const mxArray* kernel) {
    const std::size_t rows = mxGetM(kernel);
    const std::size_t cols = mxGetN(kernel);
    // The example count is a 32-bit integer throughout the solver.
    if (rows != cols || rows > static_cast<std::size_t>(kInt32Max)) {
        throw GatewayError("zelmor:kernelNotSquare",
                           formatMessage("kernel must be square with at most %lld rows (got %zux%zu)",
                                         static_cast<long long>(kInt32Max), rows, cols));
    }
    return static_cast<std::int32_t>(rows);
}

void requireNonZeroDiagonal(const mxArray* kernel, std::int32_t exampleCount) {
    const double* data = realData(kernel);
    const std::int64_t stride = std::int64_t{exampleCount} + 1;
    for (std::int64_t i = 0; i < exampleCount; ++i) {
        // The sub-problem divides by the diagonal entry of the selected example.
        if (data[i * stride] == 0.0) {
            throw GatewayError("zelmor:kernelZeroDiagonal",
                               formatMessage("kernel diagonal must hold no zero (got 0 at position %lld)",
                                             static_cast<long long>(i + 1)));
        }
    }
}

void requireFiniteEntries(const mxArray* array, const char* name, const char* id) {
    const double* data = realData(array);
    const std::size_t count = mxGetNumberOfElements(array);
    for (std::size_t i = 0; i < count; ++i) {
        if (!std::isfinite(data[i])) {
            throw GatewayError(id, formatMessage("%s must be finite (got %g at element %zu)", name, data[i], i + 1));
        }
    }
}

double requireFiniteScalar(const mxArray* array, const char* name, const char* id) {
    if (mxGetM(array) != 1 || mxGetN(array) != 1) {
        throw GatewayError(id, formatMessage("%s must be a 1x1 scalar (got %zux%zu)", name, mxGetM(array),
                                             mxGetN(array)));
    }
    const double value = mxGetScalar(array);
    if (!std::isfinite(value)) {
        throw GatewayError(id, formatMessage("%s must be finite (got %g)", name, value));
    }
    return value;
}

double requireClassCount(const mxArray* array) {
    const double k = requireFiniteScalar(array, "class count k", "zelmor:badClassCount");
    if (k < 1.0 || std::trunc(k) != k) {
        throw GatewayError("zelmor:badClassCount",
                           formatMessage("class count k must be a positive integer (got %.17g)", k));
    }
    return k;
}

void requireLabels(const mxArray* labels, std::int32_t exampleCount, double classCount) {
    const std::size_t available = mxGetNumberOfElements(labels);
    if (available < static_cast<std::size_t>(exampleCount)) {
        throw GatewayError("zelmor:badLabels", formatMessage("labels must hold at least %d values (got %zu)",
                                                             exampleCount, available));
    }
    const double* data = realData(labels);
    for (std::int32_t i = 0; i < exampleCount; ++i) {
        // Labels index the target row: a fraction or an out-of-range value would write outside it.
        const double label = data[i];
        if (std::trunc(label) != label) {
            throw GatewayError("zelmor:badLabels",
                               formatMessage("label %.17g at position %d is not an integer", label, i + 1));
        }
        if (label < 1.0 || label > classCount) {
            throw GatewayError("zelmor:badLabels", formatMessage("label %.17g at position %d is outside 1..%.17g",
                                                                 label, i + 1, classCount));
        }
    }
}

void requireShape(const mxArray* array, const char* name, const char* id, std::int64_t rows, std::int64_t cols) {
    const std::size_t actualRows = mxGetM(array);
    const std::size_t actualCols = mxGetN(array);
    if (actualRows != static_cast<std::size_t>(rows) || actualCols != static_cast<std::size_t>(cols)) {
        throw GatewayError(id, formatMessage("%s must be %lldx%lld (got %zux%zu)", name, static_cast<long long>(rows),
                                             static_cast<long long>(cols), actualRows, actualCols));
    }
}

void requireAtLeastElements(const mxArray* array, const char* name, std::size_t count) {
    const std::size_t available = mxGetNumberOfElements(array);
    if (available < count) {
        throw GatewayError("zelmor:badInput",
                           formatMessage("%s must hold at least %zu values (got %zu)", name, count, available));
    }
}

const double* realData(const mxArray* array) {
    return static_cast<const double*>(mxGetData(array));
}

double* realData(mxArray* array) {
    return static_cast<double*>(mxGetData(array));
}

void recordFailure(FailureReport& report, const char* id, const char* message) noexcept {
    report.failed = true;
    std::snprintf(report.id, sizeof report.id, "%s", id);
    std::snprintf(report.message, sizeof report.message, "%s", message);
}

void raiseFailure(const FailureReport& report) {
    mexErrMsgIdAndTxt(report.id, "%s", report.message);
}

}  // namespace zelmor::mexhost
