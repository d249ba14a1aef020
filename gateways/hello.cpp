// hello: adds two 3x2 matrices, prints the first and the sum, and returns the sum.
#include <cstddef>

#include "mex_host.h"

namespace {

using namespace zelmor::mexhost;

constexpr int kRows = 3;
constexpr int kCols = 2;

// A 3x2 working matrix stored row by row.
using Matrix3x2 = double[kRows][kCols];

void printRows(const Matrix3x2& matrix) {
    for (int i = 0; i < kRows; ++i) {
        mexPrintf("%f ", matrix[i][0]);
        mexPrintf("%f ", matrix[i][1]);
        mexPrintf("\n");
    }
}

void sayHello(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    requireArgumentCounts(nrhs, 2, nlhs, 1);
    const char* const names[] = {"first input", "second input"};
    for (int i = 0; i < 2; ++i) {
        requireRealDoubleMatrix(prhs[i], names[i]);
        // Elements past the sixth are ignored; fewer would be read past the end.
        requireAtLeastElements(prhs[i], names[i], kRows * kCols);
    }

    const double* first = realData(prhs[0]);
    const double* second = realData(prhs[1]);
    Matrix3x2 a;
    Matrix3x2 b;
    Matrix3x2 sum;
    for (int i = 0; i < kRows; ++i) {
        for (int j = 0; j < kCols; ++j) {
            a[i][j] = first[i + kRows * j];
            b[i][j] = second[i + kRows * j];
            sum[i][j] = b[i][j] + a[i][j];
        }
    }
    printRows(a);
    printRows(sum);

    mxArray* output = mxCreateDoubleMatrix(kRows, kCols, mxREAL);
    double* out = realData(output);
    for (int i = 0; i < kRows; ++i) {
        for (int j = 0; j < kCols; ++j) {
            out[i + kRows * j] = sum[i][j];
        }
    }
    plhs[0] = output;
}

}  // namespace

extern "C" ZELMOR_MEX_EXPORT void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    runGuarded([&] { sayHello(nlhs, plhs, nrhs, prhs); });
}
