// zelmor_engine: the helpers' way into the engine (kernels, paths over beta, cross-validation on
// threads, the whole search of zelmor_train). Called by the zelmor_* helpers, which check and
// convert the user's inputs first; it checks again what would make it read out of bounds.
// Features (A, B, XTEST, XTRAIN, X) may be sparse: they are read as lists of each example's
// non-zeros, and features of both kinds in one call both as such lists.
//
//   K = zelmor_engine('kernel', A, B, TYPE, GAMMA, DEGREE, OFFSET, THREADS)      B = [] for A with itself
//   D = zelmor_engine('decision', KTEST, TAU, THREADS)
//   D = zelmor_engine('decision', XTEST, XTRAIN, TYPE, GAMMA, DEGREE, OFFSET, TAU, THREADS)
//   [TAUS, ITERATIONS, SECONDS, RESTARTS, CONVERGED, TOLERANCE] =
//       zelmor_engine('path', G, LABELS, BETAS, K, MAXRESTARTS, CACHESIZE)
//   R = zelmor_engine('crossval', G, LABELS, BETAS, FOLDS, K, MAXRESTARTS, THREADS, VERBOSE, CACHESIZE)
//   R = zelmor_engine('train', X, LABELS, K, OPTIONS)
//   G = zelmor_engine('units', X, LABELS, K, OPTIONS, UNITS)        some units of the search
//   R = zelmor_engine('fit', X, LABELS, K, OPTIONS, CORRECT)        choice and fit from given counts
//   B = zelmor_engine('memory', X, LABELS, K, OPTIONS, UNITS)       peak bytes of those units ([]: the fit)
//   T = zelmor_engine('calibrate', DECISION, LABELS, K, BETA)       temperature from out-of-fold values
//   P = zelmor_engine('probabilities', SCORES, T)                   softmax of SCORES / T
//   H = zelmor_engine('checksum', A, B, ...)
//   G = zelmor_engine('grid', SETTINGS, BETAS, FOLDS, K)             a grid of those counts, none tried
//   S = zelmor_engine('quietSeconds')                               the spell VERBOSE 2 keeps quiet
//
// The work runs on threads of the engine while this thread alone talks to the host
// (host_runner.h). Each command reads its inputs (engine_inputs.h) and builds its outputs
// (engine_outputs.h); this file holds the table of commands and the entry point.
#include <iterator>
#include <string>

#include "checksum.h"
#include "engine_commands.h"
#include "engine_inputs.h"
#include "mex_host.h"

namespace {

using namespace zelmor::mexhost;
using namespace zelmor::enginegateway;

using CommandHandler = void (*)(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

struct Command {
    const char* name;
    CommandHandler handler;
};

// The commands, by name; the 'expected a command' message lists them in this order.
constexpr Command kCommands[] = {
    {"kernel", kernelCommand},
    {"decision", decisionCommand},
    {"path", pathCommand},
    {"crossval", crossvalCommand},
    {"train", trainCommand},
    {"units", unitsCommand},
    {"fit", fitCommand},
    {"memory", memoryCommand},
    {"calibrate", calibrateCommand},
    {"probabilities", probabilitiesCommand},
    {"checksum", checksumCommand},
    {"grid", gridCommand},
    {"quietSeconds", quietSecondsCommand},
};

// The commands' names as a list: 'a', 'b' or 'c'.
std::string commandNames() {
    constexpr std::size_t count = std::size(kCommands);
    std::string names;
    for (std::size_t c = 0; c < count; ++c) {
        if (c > 0) names += c + 1 == count ? " or " : ", ";
        names += std::string("'") + kCommands[c].name + "'";
    }
    return names;
}

}  // namespace

extern "C" ZELMOR_MEX_EXPORT void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    runGuarded([&] {
        if (nrhs < 1) throw GatewayError("zelmor:nargin", "expected a command: " + commandNames());
        const std::string name = textOf(prhs[0], "the command");
        for (const Command& command : kCommands) {
            if (name == command.name) {
                command.handler(nlhs, plhs, nrhs, prhs);
                return;
            }
        }
        throw GatewayError("zelmor:badInput", formatMessage("unknown command '%s'", name.c_str()));
    });
}
