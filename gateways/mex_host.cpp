#include "mex_host.h"

#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <limits>

// The builds refuse other systems than Linux; this says why where it would show first.
#if defined(_WIN32)
#error "zelmor builds on Linux only: physicalMemoryBytes asks POSIX sysconf for the machine's memory"
#endif
#include <unistd.h>

// How a pending Ctrl-C is seen depends on the host, chosen by the build: add_mex, make_mex.m and
// the package's Makefile each define one of these.
#if defined(ZELMOR_HOST_OCTAVE) == defined(ZELMOR_HOST_MATLAB)
#error "define exactly one of ZELMOR_HOST_OCTAVE and ZELMOR_HOST_MATLAB"
#endif

#if defined(ZELMOR_HOST_OCTAVE)
#if !defined(HAVE_OCTAVE)
#error "ZELMOR_HOST_OCTAVE is set but mex.h is not Octave's"
#endif
#include "quit.h"
#else
#if defined(HAVE_OCTAVE)
#error "ZELMOR_HOST_MATLAB is set but mex.h is Octave's"
#endif
// libut's interrupt flag, which MATLAB raises on Ctrl-C, and its switches; MEX files use them,
// MATLAB's headers do not declare them. Each setter returns the previous setting.
extern "C" bool utIsInterruptPending(void);
extern "C" bool utSetInterruptEnabled(bool enabled);
extern "C" bool utSetInterruptPending(bool pending);
#endif

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

// Octave's spelling of the non-finite values, so messages read like the caller's own input.
std::string formatValue(double value) {
    if (std::isnan(value)) {
        return "NaN";
    }
    if (std::isinf(value)) {
        return value > 0 ? "Inf" : "-Inf";
    }
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.17g", value);
    return buffer;
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

void requireArgumentCounts(int inputCount, int expectedInputs, int outputCount, int maxOutputs) {
    if (inputCount != expectedInputs) {
        throw GatewayError("zelmor:nargin",
                           formatMessage("expected exactly %d inputs (got %d)", expectedInputs, inputCount));
    }
    if (outputCount > maxOutputs) {
        throw GatewayError("zelmor:nargout", formatMessage("expected at most %d output%s (got %d)", maxOutputs,
                                                           maxOutputs == 1 ? "" : "s", outputCount));
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
    // Features passed where the kernel goes are the likely cause: say how to make one.
    if (rows != cols) {
        throw GatewayError("zelmor:kernelNotSquare",
                           formatMessage("kernel must be square, N-by-N over the N training examples (got "
                                         "%zux%zu); from features X, make it with zelmor_kernel(X, [], ...), "
                                         "or train with zelmor_train(X, labels)",
                                         rows, cols));
    }
    // The example count is a 32-bit integer throughout the solver.
    if (rows > static_cast<std::size_t>(kInt32Max)) {
        throw GatewayError("zelmor:kernelNotSquare",
                           formatMessage("kernel has %zu rows; at most %lld examples are supported", rows,
                                         static_cast<long long>(kInt32Max)));
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
    const std::size_t rows = mxGetM(array);
    const std::size_t count = mxGetNumberOfElements(array);
    for (std::size_t i = 0; i < count; ++i) {
        if (!std::isfinite(data[i])) {
            throw GatewayError(id, formatMessage("%s must be finite (got %s at row %zu, column %zu)", name,
                                                 formatValue(data[i]).c_str(), i % rows + 1, i / rows + 1));
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
        throw GatewayError(id, formatMessage("%s must be finite (got %s)", name, formatValue(value).c_str()));
    }
    return value;
}

double requireClassCount(const mxArray* array) {
    const double k = requireFiniteScalar(array, "class count k", "zelmor:badClassCount");
    if (k < 1.0 || std::trunc(k) != k) {
        throw GatewayError("zelmor:badClassCount",
                           formatMessage("class count k must be a positive integer (got %s)", formatValue(k).c_str()));
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
            throw GatewayError("zelmor:badLabels", formatMessage("label %s at position %d is not an integer",
                                                                 formatValue(label).c_str(), i + 1));
        }
        if (label < 1.0 || label > classCount) {
            throw GatewayError("zelmor:badLabels", formatMessage("label %s at position %d is outside 1..%s",
                                                                 formatValue(label).c_str(), i + 1,
                                                                 formatValue(classCount).c_str()));
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

CompressedRows compressedRowsOf(const mxArray* matrix) {
    const std::size_t n = mxGetM(matrix);
    const std::size_t d = mxGetN(matrix);
    const double* data = realData(matrix);
    CompressedRows rows;
    rows.rowStarts.assign(n + 1, 0);
    // Two passes: the entries of each row counted, then placed column by column, so that the
    // column numbers increase along every row.
    const auto eachEntry = [&](auto&& visit) {
        if (mxIsSparse(matrix)) {
            const mwIndex* starts = mxGetJc(matrix);
            const mwIndex* rowIndices = mxGetIr(matrix);
            for (std::size_t c = 0; c < d; ++c) {
                for (mwIndex k = starts[c]; k < starts[c + 1]; ++k) {
                    visit(static_cast<std::size_t>(rowIndices[k]), c, data[k]);
                }
            }
        } else {
            for (std::size_t c = 0; c < d; ++c) {
                for (std::size_t r = 0; r < n; ++r) visit(r, c, data[r + n * c]);
            }
        }
    };
    eachEntry([&](std::size_t r, std::size_t, double value) {
        if (value != 0.0) ++rows.rowStarts[r + 1];
    });
    for (std::size_t r = 0; r < n; ++r) rows.rowStarts[r + 1] += rows.rowStarts[r];
    const auto count = static_cast<std::size_t>(rows.rowStarts[n]);
    rows.indices.resize(count);
    rows.values.resize(count);
    std::vector<std::int64_t> next(rows.rowStarts.begin(), rows.rowStarts.end() - 1);
    eachEntry([&](std::size_t r, std::size_t c, double value) {
        if (value == 0.0) return;
        const auto at = static_cast<std::size_t>(next[r]++);
        rows.indices[at] = static_cast<std::int32_t>(c);
        rows.values[at] = value;
    });
    return rows;
}

void requireFiniteRows(const CompressedRows& rows, const char* name, const char* id) {
    for (std::size_t r = 0; r + 1 < rows.rowStarts.size(); ++r) {
        const auto end = static_cast<std::size_t>(rows.rowStarts[r + 1]);
        for (auto k = static_cast<std::size_t>(rows.rowStarts[r]); k < end; ++k) {
            if (!std::isfinite(rows.values[k])) {
                throw GatewayError(id, formatMessage("%s must be finite (got %s at row %zu, column %d)", name,
                                                     formatValue(rows.values[k]).c_str(), r + 1, rows.indices[k] + 1));
            }
        }
    }
}

std::int64_t physicalMemoryBytes() {
    constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) {
        return kInt64Max;
    }
    if (pages > kInt64Max / pageSize) {
        return kInt64Max;
    }
    return static_cast<std::int64_t>(pages) * pageSize;
}

const double* realData(const mxArray* array) {
    return static_cast<const double*>(mxGetData(array));
}

double* realData(mxArray* array) {
    return static_cast<double*>(mxGetData(array));
}

void record(HostReport& report, const char* id, const char* message) noexcept {
    report.recorded = true;
    std::snprintf(report.id, sizeof report.id, "%s", id);
    std::snprintf(report.message, sizeof report.message, "%s", message);
}

void raiseFailure(const HostReport& report) {
    mexErrMsgIdAndTxt(report.id, "%s", report.message);
}

void raiseWarning(const HostReport& report) {
    if (report.recorded) {
        mexWarnMsgIdAndTxt(report.id, "%s", report.message);
    }
}

#if defined(ZELMOR_HOST_OCTAVE)

InterruptsEnabled::InterruptsEnabled() noexcept = default;

void InterruptsEnabled::restore() noexcept {
    active_ = false;
}

bool interruptPending() noexcept {
    // Octave's signal handler counts Ctrl-C presses here, possibly from another thread: read it
    // afresh on every question.
    return *static_cast<volatile std::sig_atomic_t*>(&octave_interrupt_state) > 0;
}

void raiseInterrupt() {
    // The way Octave's own built-ins stop: octave_quit() throws Octave's interrupt, which leaves
    // this MEX call as an error raised through mexErrMsgIdAndTxt does and ends at the prompt.
    octave_quit();
    mexErrMsgIdAndTxt("zelmor:interrupted", "interrupted by Ctrl-C; no output was written");
}

#else

InterruptsEnabled::InterruptsEnabled() noexcept : previous_(utSetInterruptEnabled(true)) {}

void InterruptsEnabled::restore() noexcept {
    if (active_) {
        utSetInterruptEnabled(previous_);
        active_ = false;
    }
}

bool interruptPending() noexcept {
    return utIsInterruptPending();
}

void raiseInterrupt() {
    // This call answers the press with its error; the press must not stop the next command too.
    utSetInterruptPending(false);
    mexErrMsgIdAndTxt("zelmor:interrupted", "interrupted by Ctrl-C; no output was written");
}

#endif

}  // namespace zelmor::mexhost
