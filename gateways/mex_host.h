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

// Physical memory in bytes, or INT64_MAX when the system does not say.
std::int64_t physicalMemoryBytes();

const double* realData(const mxArray* array);
double* realData(mxArray* array);

// Whether the user has asked the host to interrupt the running command (Ctrl-C). Cheap enough
// to ask thousands of times a second, from the thread that runs the call.
bool interruptPending() noexcept;

// Thrown by a call's body when it stopped because an interrupt is pending. The body throws it
// before writing any output, so the caller receives nothing half-written.
struct Interrupted {};

// A fixed-size copy of a failure or a warning, so that no C++ object is alive when the host
// raises it: the host's raise does not return (a warning's neither, once the caller has made it
// an error with warning('error', id)).
struct HostReport {
    bool recorded = false;
    char id[64] = {};
    char message[512] = {};
};

void record(HostReport& report, const char* id, const char* message) noexcept;

// Raises the recorded failure through the host; does not return.
void raiseFailure(const HostReport& report);

// Raises the recorded warning through the host, if there is one. Call it only where a failure
// could be raised: after the guarded body, with the outputs in their slots.
void raiseWarning(const HostReport& report);

// Hands a pending interrupt back to the host, which ends the command as it ends its own
// interrupted built-ins (Octave: silently, back at the prompt). Where the host does not take it
// (MATLAB), raises zelmor:interrupted instead. Does not return.
void raiseInterrupt();

// Runs one call's work. The host's error raise leaves through this frame without running
// destructors (MATLAB jumps out of it), so the report is copied out of the exception and raised
// only once the try block, and every object it held, is gone. An interrupt leaves the same way.
template <typename Body>
void runGuarded(Body&& body) {
    HostReport report;
    bool interrupted = false;
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
        record(report, "zelmor:internal", "unexpected failure inside the MEX function");
    }
    if (interrupted) {
        raiseInterrupt();
    }
    if (report.recorded) {
        raiseFailure(report);
    }
}

}  // namespace zelmor::mexhost

#endif  // ZELMOR_GATEWAYS_MEX_HOST_H
