// zelmor_c: warm-start solver, continues from the caller's dual variables.
#include "solver_gateway.h"

extern "C" ZELMOR_MEX_EXPORT void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    zelmor::gateways::runSolverGateway(nlhs, plhs, nrhs, prhs, zelmor::gateways::Mode::warm);
}
