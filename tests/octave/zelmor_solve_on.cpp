// Test-only MEX function: zelmor_c2 or zelmor_c through the same gateway, on a chosen
// instruction set and sweep mode, so that the Octave tests reach every variant the CPU offers.
//
//   [tau, count] = zelmor_solve_on(set, sweep, G, labels, beta, k)         like zelmor_c2
//   [tau, count] = zelmor_solve_on(set, sweep, G, labels, beta, k, tau0)   like zelmor_c
//   sets = zelmor_solve_on('supported')                                    cellstr of sets
//
// set: 'portable', 'AVX2' or 'AVX-512'; sweep: 'dense', 'class-sparse' or 'automatic'.
#include <cstring>
#include <string>

#include "solver_gateway.h"

namespace {

using namespace zelmor;
using zelmor::mexhost::GatewayError;

std::string textOf(const mxArray* array, const char* what) {
    if (!mxIsChar(array)) throw GatewayError("zelmor:badInput", std::string(what) + " must be text");
    char buffer[64] = {};
    mxGetString(array, buffer, sizeof buffer);
    return buffer;
}

}  // namespace

extern "C" ZELMOR_MEX_EXPORT void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    const detail::InstructionSet sets[] = {detail::InstructionSet::Portable, detail::InstructionSet::Avx2,
                                           detail::InstructionSet::Avx512};
    gateways::SolveVariant variant;
    bool listOnly = false;
    mexhost::runGuarded([&] {
        if (nrhs == 1 && textOf(prhs[0], "the query") == "supported") {
            listOnly = true;
            return;
        }
        if (nrhs < 2) throw GatewayError("zelmor:nargin", "expected a set, a sweep mode and the solver's inputs");
        const std::string set = textOf(prhs[0], "the instruction set");
        const std::string sweep = textOf(prhs[1], "the sweep mode");
        variant.chosen = false;
        for (detail::InstructionSet candidate : sets) {
            if (set == detail::nameOf(candidate)) {
                if (!detail::cpuSupports(candidate)) throw GatewayError("zelmor:badInput", set + " is not on this CPU");
                variant.set = candidate;
                variant.chosen = true;
            }
        }
        if (!variant.chosen) throw GatewayError("zelmor:badInput", "unknown instruction set " + set);
        for (detail::SweepMode mode : {detail::SweepMode::Dense, detail::SweepMode::ClassSparse, detail::SweepMode::Automatic}) {
            if (sweep == detail::nameOf(mode)) variant.sweep = mode;
        }
        if (sweep != detail::nameOf(variant.sweep)) throw GatewayError("zelmor:badInput", "unknown sweep mode " + sweep);
    });
    if (listOnly) {
        int count = 0;
        for (detail::InstructionSet candidate : sets) count += detail::cpuSupports(candidate) ? 1 : 0;
        mxArray* list = mxCreateCellMatrix(1, static_cast<mwSize>(count));
        int at = 0;
        for (detail::InstructionSet candidate : sets) {
            if (detail::cpuSupports(candidate)) mxSetCell(list, at++, mxCreateString(detail::nameOf(candidate)));
        }
        plhs[0] = list;
        return;
    }
    const gateways::Mode mode = nrhs - 2 == 5 ? gateways::Mode::warm : gateways::Mode::cold;
    gateways::runSolverGateway(nlhs, plhs, nrhs - 2, prhs + 2, mode, variant);
}
