// The body shared by the two solver MEX functions, which differ only in input 5 (the initial
// dual variables), the start mode and the stopping tolerance.
#ifndef ZELMOR_GATEWAYS_SOLVER_GATEWAY_H
#define ZELMOR_GATEWAYS_SOLVER_GATEWAY_H

#include "mex_host.h"
#include "solve_internals.h"

namespace zelmor::gateways {

enum class Mode {
    warm,  // zelmor_c: five inputs, continues from tau0
    cold,  // zelmor_c2: four inputs, starts from zero
};

// The instruction set and sweep mode to solve with. The MEX functions leave both to the solver
// (the fastest set, the automatic mode); a test-only entry chooses them to reach every variant.
struct SolveVariant {
    bool chosen = false;
    detail::InstructionSet set = detail::InstructionSet::Portable;
    detail::SweepMode sweep = detail::SweepMode::Automatic;
};

// Validates the call, solves, and fills the outputs; every failure becomes a host error.
void runSolverGateway(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[], Mode mode,
                      const SolveVariant& variant = SolveVariant{});

}  // namespace zelmor::gateways

#endif  // ZELMOR_GATEWAYS_SOLVER_GATEWAY_H
