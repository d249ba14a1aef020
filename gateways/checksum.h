// zelmor_engine's 'checksum': 64-bit FNV-1a over arrays as either host holds them. Not a guard
// against tampering; it tells one problem's files from another's and a damaged file from a
// whole one.
#ifndef ZELMOR_GATEWAYS_CHECKSUM_H
#define ZELMOR_GATEWAYS_CHECKSUM_H

#include "mex_host.h"

namespace zelmor::enginegateway {

// H = zelmor_engine('checksum', A, B, ...): 16 hexadecimal digits over the arrays given, in
// order: each one's class, dimensions and elements (of a sparse double matrix, column by column
// its non-zero values and their rows, as one host or the other stores them).
void checksumCommand(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

}  // namespace zelmor::enginegateway

#endif  // ZELMOR_GATEWAYS_CHECKSUM_H
