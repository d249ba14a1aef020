// zelmor_svmlight: the way of zelmor_read_svmlight and zelmor_write_svmlight into the LIBSVM
// format's reader and writer (formats/svmlight.h). The helpers check and convert the user's
// inputs first; this checks again what would make it read out of bounds.
//
//   [Y, X, QIDLINE] = zelmor_svmlight('read', FILE, FEATURES)   FEATURES < 0: the largest index
//   zelmor_svmlight('write', FILE, Y, X)                         X dense or sparse
//
// Reading and writing run on this thread, which asks the host for Ctrl-C after every MiB.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "mex_host.h"
#include "svmlight.h"

namespace {

using namespace zelmor::mexhost;
using namespace zelmor::formats;

const char* identifierOf(FileProblem problem) {
    switch (problem) {
        case FileProblem::Malformed:
            return "zelmor:badSvmlightFile";
        case FileProblem::FeatureLimit:
            return "zelmor:featureMismatch";
        case FileProblem::NotFound:
            return "zelmor:fileNotFound";
        case FileProblem::NotAFile:
            return "zelmor:notAFile";
        case FileProblem::NotReadable:
            return "zelmor:fileNotReadable";
        case FileProblem::NotWritable:
            return "zelmor:fileNotWritable";
    }
    return "zelmor:internal";
}

std::string fileNameOf(const mxArray* array) {
    if (!mxIsChar(array) || mxGetM(array) != 1 || mxGetN(array) == 0) {
        throw GatewayError("zelmor:badFileName", "FILE must be a file name: a char row, not empty");
    }
    // MATLAB hands its 16-bit characters over in the system's multibyte encoding, up to 4 bytes each.
    std::vector<char> buffer(mxGetNumberOfElements(array) * 4 + 1);
    mxGetString(array, buffer.data(), buffer.size());
    return buffer.data();
}

void checkpoint() {
    if (interruptPending()) throw Interrupted{};
}

// The file's name goes in front of what the reader or writer says.
[[noreturn]] void raiseFileError(const std::string& path, const FileError& error) {
    throw GatewayError(identifierOf(error.problem()), path + ": " + error.what());
}

// Refuses, before any of it is asked for, an X this machine could never hold: one line that
// names feature 2147483647 makes column starts of 16 GB. The peak is the rows read, the
// outputs, and as much again while Octave copies them into values of its own.
void requireMemoryFor(const std::string& path, const SparseRows& rows) {
    const double outputs = 8.0 * static_cast<double>(rows.labels.size()) +
                           16.0 * static_cast<double>(rows.values.size()) +
                           8.0 * (static_cast<double>(rows.featureCount) + 1.0);
    const double bytes = 12.0 * static_cast<double>(rows.values.size()) + 2.0 * outputs;
    const double available = static_cast<double>(physicalMemoryBytes());
    if (!(bytes <= available)) {
        throw GatewayError("zelmor:outOfMemory",
                           formatMessage("%s: X of %zu examples and %lld features needs %.3g GB, more than this "
                                         "machine has (%.3g GB)",
                                         path.c_str(), rows.labels.size(), static_cast<long long>(rows.featureCount),
                                         bytes / 1e9, available / 1e9));
    }
}

// The rows as the host's sparse matrix, column by column; row indices increase in each column.
mxArray* sparseColumns(const SparseRows& rows) {
    const std::size_t n = rows.labels.size();
    const auto d = static_cast<std::size_t>(rows.featureCount);
    const std::size_t count = rows.values.size();
    // Some hosts refuse a sparse matrix with room for no entry.
    mxArray* array = mxCreateSparse(n, d, count > 0 ? count : 1, mxREAL);
    mwIndex* starts = mxGetJc(array);
    mwIndex* rowIndices = mxGetIr(array);
    double* values = realData(array);
    std::fill(starts, starts + d + 1, mwIndex{0});
    for (const std::int32_t column : rows.indices) ++starts[column + 1];
    for (std::size_t c = 0; c < d; ++c) starts[c + 1] += starts[c];
    // Each column's start serves as its cursor and ends as the next column's start; shifted
    // back by one afterwards, the starts are the starts again.
    for (std::size_t i = 0; i < n; ++i) {
        for (auto k = static_cast<std::size_t>(rows.rowStarts[i]); k < static_cast<std::size_t>(rows.rowStarts[i + 1]); ++k) {
            const mwIndex at = starts[rows.indices[k]]++;
            rowIndices[at] = i;
            values[at] = rows.values[k];
        }
    }
    for (std::size_t c = d; c > 0; --c) starts[c] = starts[c - 1];
    starts[0] = 0;
    return array;
}

void readFile(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    requireArgumentCounts(nrhs, 3, nlhs, 3);
    const std::string path = fileNameOf(prhs[1]);
    requireRealDoubleMatrix(prhs[2], "FEATURES");
    const double features = requireFiniteScalar(prhs[2], "FEATURES", "zelmor:badInput");
    if (std::trunc(features) != features || features > static_cast<double>(kMaxFeatureIndex)) {
        throw GatewayError("zelmor:badInput", "FEATURES must be an integer up to 2147483647, or negative");
    }
    ReadResult read;
    try {
        read = readSvmlightFile(path, features < 0 ? -1 : static_cast<std::int64_t>(features), checkpoint);
    } catch (const FileError& error) {
        raiseFileError(path, error);
    }
    requireMemoryFor(path, read.rows);

    const std::size_t n = read.rows.labels.size();
    mxArray* labels = mxCreateDoubleMatrix(n, 1, mxREAL);
    if (n > 0) std::memcpy(realData(labels), read.rows.labels.data(), n * sizeof(double));
    plhs[0] = labels;
    if (nlhs >= 2) plhs[1] = sparseColumns(read.rows);
    if (nlhs >= 3) plhs[2] = mxCreateDoubleScalar(static_cast<double>(read.firstQidLine));
}

// The rows of a dense or sparse X, its zeros left out.
SparseRows rowsOf(const mxArray* examples) {
    CompressedRows compressed = compressedRowsOf(examples);
    SparseRows rows;
    rows.featureCount = static_cast<std::int64_t>(mxGetN(examples));
    rows.rowStarts = std::move(compressed.rowStarts);
    rows.indices = std::move(compressed.indices);
    rows.values = std::move(compressed.values);
    return rows;
}

void writeFile(int nlhs, mxArray*[], int nrhs, const mxArray* prhs[]) {
    requireArgumentCounts(nrhs, 4, nlhs, 0);
    const std::string path = fileNameOf(prhs[1]);
    requireRealDoubleMatrix(prhs[2], "Y");
    const mxArray* examples = prhs[3];
    if (!mxIsDouble(examples) || mxIsComplex(examples) || mxGetNumberOfDimensions(examples) != 2) {
        throw GatewayError("zelmor:notRealDouble", "X must be a real 2-D double matrix, dense or sparse");
    }
    const std::size_t n = mxGetNumberOfElements(prhs[2]);
    if (mxGetM(examples) != n) {
        throw GatewayError("zelmor:sizeMismatch",
                           formatMessage("X has %zu rows for %zu labels", mxGetM(examples), n));
    }
    // Indices are 1-based in the file and held in 32 bits.
    if (mxGetN(examples) > static_cast<std::size_t>(kMaxFeatureIndex)) {
        throw GatewayError("zelmor:badExamples", "X has more columns than a LIBSVM file can number (2147483647)");
    }
    SparseRows rows = rowsOf(examples);
    const double* labels = realData(prhs[2]);
    rows.labels.assign(labels, labels + n);
    try {
        writeSvmlightFile(path, rows, checkpoint);
    } catch (const FileError& error) {
        raiseFileError(path, error);
    }
}

struct Command {
    const char* name;
    void (*run)(int, mxArray*[], int, const mxArray*[]);
};
constexpr Command kCommands[] = {{"read", readFile}, {"write", writeFile}};

void dispatch(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    if (nrhs < 1) throw GatewayError("zelmor:nargin", "expected a command, 'read' or 'write', first");
    char command[16] = {};
    if (mxIsChar(prhs[0]) && mxGetNumberOfElements(prhs[0]) < sizeof command) {
        mxGetString(prhs[0], command, sizeof command);
    }
    for (const Command& c : kCommands) {
        if (std::strcmp(command, c.name) == 0) return c.run(nlhs, plhs, nrhs, prhs);
    }
    throw GatewayError("zelmor:badInput", "expected the command 'read' or 'write' first");
}

}  // namespace

extern "C" ZELMOR_MEX_EXPORT void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    runGuarded([&] { dispatch(nlhs, plhs, nrhs, prhs); });
}
