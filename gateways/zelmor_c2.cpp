// zelmor_c2: cold-start solver, starts from zero dual variables with the tighter tolerance.
#include "solver_gateway.h"

extern "C" ZELMOR_MEX_EXPORT void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    zelmor::gateways::runSolverGateway(nlhs, plhs, nrhs, prhs, zelmor::gateways::Mode::cold);
}
