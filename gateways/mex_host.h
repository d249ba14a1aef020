// Host adapter shared by the gateways: one named check per thing a caller can get wrong, each
// raising a GatewayError with an identifier a caller can test for, and the guard that turns
// every failure inside a call into a host error without letting a C++ exception escape.
#ifndef ZELMOR_GATEWAYS_MEX_HOST_H
#define ZELMOR_GATEWAYS_MEX_HOST_H

#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "mex.h"

// The one symbol the host looks up by name, exported where everything else is hidden.
#define ZELMOR_MEX_EXPORT __attribute__((visibility("default")))

namespace zelmor::mexhost {

// A rejected call: `id` is a "zelmor:mnemonic" string literal, what() the detail for a person.
class GatewayError : public std::runtime_error {
public:
    GatewayError(const char* id, const std::string& message) : std::runtime_error(message), id_(id) {}
    const char* id() const noexcept { return id_; }

private:
    const char* id_;
};

// printf-style formatting for error messages. The attribute names __printf__: MATLAB's mex.h
// defines printf as mexPrintf, which GCC knows no format of.
std::string formatMessage(const char* format, ...) __attribute__((format(__printf__, 1, 2)));

void requireArgumentCounts(int inputCount, int expectedInputs, int outputCount, int maxOutputs);

// Real, non-sparse, 2-D double: the only layout whose data the gateways can read as doubles.
void requireRealDoubleMatrix(const mxArray* array, const char* name);

// Returns n, the row count of a square kernel.
std::int32_t requireSquareKernel(const mxArray* kernel);
void requireNonZeroDiagonal(const mxArray* kernel, std::int32_t exampleCount);

void requireFiniteEntries(const mxArray* array, const char* name, const char* id);
double requireFiniteScalar(const mxArray* array, const char* name, const char* id);
double requireClassCount(const mxArray* array);
void requireLabels(const mxArray* labels, std::int32_t exampleCount, double classCount);
void requireShape(const mxArray* array, const char* name, const char* id, std::int64_t rows, std::int64_t cols);
void requireAtLeastElements(const mxArray* array, const char* name, std::size_t count);

// A real double matrix, dense or sparse, row by row with its zeros (+0 and -0, stored or not)
// left out: row r's entries are indices[rowStarts[r]], ..., indices[rowStarts[r + 1] - 1],
// column numbers from 0 in increasing order, with their values. O(entries) in time and memory
// for a sparse matrix. Precondition: at most 2^31 - 1 columns.
struct CompressedRows {
    std::vector<std::int64_t> rowStarts;
    std::vector<std::int32_t> indices;
    std::vector<double> values;
};
CompressedRows compressedRowsOf(const mxArray* matrix);
// Every value finite; else the error id, naming the first value that is not, by row and column.
void requireFiniteRows(const CompressedRows& rows, const char* name, const char* id);

// Physical memory in bytes, or INT64_MAX when the system does not say.
std::int64_t physicalMemoryBytes();

const double* realData(const mxArray* array);
double* realData(mxArray* array);

// Whether the user has asked the host to interrupt the running command (Ctrl-C). Cheap enough
// to ask thousands of times a second. Ask it only on the thread that called mexFunction: MATLAB
// crashes when another thread asks (R2019a and later). The engine's threads read a flag that the
// calling thread raises instead.
bool interruptPending() noexcept;

// Lets a Ctrl-C reach interruptPending for the length of one call: MATLAB holds the press back
// from a MEX file that has not enabled interrupts, Octave always delivers it. The caller's
// setting comes back with restore(), or at the end of the scope at the latest.
class InterruptsEnabled {
public:
    InterruptsEnabled() noexcept;
    ~InterruptsEnabled() { restore(); }
    InterruptsEnabled(const InterruptsEnabled&) = delete;
    InterruptsEnabled& operator=(const InterruptsEnabled&) = delete;
    void restore() noexcept;

private:
    [[maybe_unused]] bool previous_ = false;  // read by MATLAB's side only
    bool active_ = true;
};

// Thrown by a call's body when it stopped because an interrupt is pending. The body throws it
// before writing any output, so the caller receives nothing half-written.
struct Interrupted {};

// A fixed-size copy of a failure or a warning, made inside a call's body and raised after it.
struct HostReport {
    bool recorded = false;
    char id[64] = {};
    char message[512] = {};
};

void record(HostReport& report, const char* id, const char* message) noexcept;

// Raises the recorded failure through the host; does not return.
void raiseFailure(const HostReport& report);

// Raises the recorded warning through the host, if there is one. Call it only where a failure
// could be raised: after the guarded body, with the outputs in their slots. It does not return
// when the caller has made the warning an error with warning('error', id).
void raiseWarning(const HostReport& report);

// Hands a pending interrupt back to the host. Octave ends the command as it ends its own
// interrupted built-ins: silently, back at the prompt. MATLAB has no such way: the pending flag
// is cleared (left raised, it would stop the user's next command as well) and zelmor:interrupted
// is raised. Does not return.
void raiseInterrupt();

// Runs one call's work, with interrupts enabled, and turns every failure into a host error.
// Both hosts raise an error by throwing a C++ exception of their own through the caller's
// frames, whose destructors run (MATLAB documents this for C++ MEX files; Octave throws its
// execution_exception). Raised inside the try block, it would meet our own handlers, so the
// report is copied out of our exception and raised only after the block. An interrupt leaves
// the same way.
template <typename Body>
void runGuarded(Body&& body) {
    HostReport report;
    bool interrupted = false;
    InterruptsEnabled interrupts;
    try {
        body();
    } catch (const Interrupted&) {
        // Neither a failure nor swallowed: the host's own interrupt, raised below.
        interrupted = true;
    } catch (const GatewayError& error) {
        record(report, error.id(), error.what());
    } catch (const std::bad_alloc&) {
        record(report, "zelmor:outOfMemory", "working storage could not be obtained");
    } catch (const std::exception& error) {
        record(report, "zelmor:internal", error.what());
    } catch (...) {
#if defined(ZELMOR_HOST_MATLAB)
        // An error MATLAB raised inside the body (out of memory in an mxCreate* call, for one),
        // thrown as a type of its own: it goes back to MATLAB, which reports it in its own words.
        throw;
#else
        record(report, "zelmor:internal", "unexpected failure inside the MEX function");
#endif
    }
    interrupts.restore();
    if (interrupted) {
        raiseInterrupt();
    }
    if (report.recorded) {
        raiseFailure(report);
    }
}

}  // namespace zelmor::mexhost

#endif  // ZELMOR_GATEWAYS_MEX_HOST_H
