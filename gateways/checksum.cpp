#include "checksum.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <type_traits>

namespace zelmor::enginegateway {

using namespace mexhost;

namespace {

// 64-bit FNV-1a over bytes, continuing from hash.
std::uint64_t fnv1a(const void* data, std::size_t size, std::uint64_t hash) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        hash ^= bytes[i];
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

// A sparse double matrix's part of the checksum: per column the count of its non-zero values,
// then each one's row and value. An explicit zero, which one host may store and the other not,
// is left out.
std::uint64_t sparseChecksum(const mxArray* array, std::uint64_t hash) {
    const mwIndex* starts = mxGetJc(array);
    const mwIndex* rows = mxGetIr(array);
    const double* values = realData(array);
    for (std::size_t c = 0; c < mxGetN(array); ++c) {
        std::uint64_t count = 0;
        for (mwIndex k = starts[c]; k < starts[c + 1]; ++k) count += values[k] != 0.0;
        hash = fnv1a(&count, sizeof count, hash);
        for (mwIndex k = starts[c]; k < starts[c + 1]; ++k) {
            if (values[k] == 0.0) continue;
            const auto row = static_cast<std::uint64_t>(rows[k]);
            hash = fnv1a(&row, sizeof row, hash);
            hash = fnv1a(&values[k], sizeof values[k], hash);
        }
    }
    return hash;
}

// One array's class, dimensions and elements.
std::uint64_t arrayChecksum(const mxArray* array, std::uint64_t hash) {
    const std::string className = mxGetClassName(array);
    hash = fnv1a(className.c_str(), className.size() + 1, hash);
    const auto dimensionCount = static_cast<std::uint64_t>(mxGetNumberOfDimensions(array));
    hash = fnv1a(&dimensionCount, sizeof dimensionCount, hash);
    const mwSize* dimensions = mxGetDimensions(array);
    for (std::uint64_t d = 0; d < dimensionCount; ++d) {
        const auto extent = static_cast<std::uint64_t>(dimensions[d]);
        hash = fnv1a(&extent, sizeof extent, hash);
    }
    if (mxIsSparse(array)) {
        hash = fnv1a("sparse", 7, hash);
        return sparseChecksum(array, hash);
    }
    if (mxIsChar(array)) {
        // Characters as 16-bit units: Octave keeps a char in one byte, MATLAB in two.
        const mxChar* chars = mxGetChars(array);
        for (std::size_t c = 0; c < mxGetNumberOfElements(array); ++c) {
            const auto unit = static_cast<std::uint16_t>(static_cast<std::make_unsigned_t<mxChar>>(chars[c]));
            hash = fnv1a(&unit, sizeof unit, hash);
        }
        return hash;
    }
    return fnv1a(mxGetData(array), mxGetNumberOfElements(array) * mxGetElementSize(array), hash);
}

}  // namespace

void checksumCommand(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    requireArgumentCounts(nrhs, nrhs, nlhs, 1);
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (int i = 1; i < nrhs; ++i) {
        const mxArray* array = prhs[i];
        if (!(mxIsNumeric(array) || mxIsChar(array) || mxIsLogical(array)) || mxIsComplex(array) ||
            (mxIsSparse(array) && !mxIsDouble(array))) {
            throw GatewayError("zelmor:badInput",
                               formatMessage("input %d must be a real numeric, char or logical array, full but for "
                                             "sparse doubles", i + 1));
        }
        hash = arrayChecksum(array, hash);
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    plhs[0] = mxCreateString(text);
}

}  // namespace zelmor::enginegateway
