// Running zelmor_engine's work beside the host: the work runs on a thread of the engine, and the
// calling thread alone talks to the host. It asks for Ctrl-C every few milliseconds, stops the
// work when one is pending, and prints the progress lines the work queues. No thread outlives
// the call.
#ifndef ZELMOR_GATEWAYS_HOST_RUNNER_H
#define ZELMOR_GATEWAYS_HOST_RUNNER_H

#include <functional>

#include "search.h"

namespace zelmor::enginegateway {

// Which progress lines reach the host. The helpers pass the code (0, 1 or 2).
enum class Verbosity { None = 0, All = 1, AfterQuietSpell = 2 };

// With Verbosity::AfterQuietSpell, progress lines appear once the work has run this long. The
// helpers ask for it ('quietSeconds') to decide on lines of their own.
constexpr double kQuietSeconds = 2.0;

// Runs work(control) on an engine thread while this one polls the host, printing each progress
// line after prefix. Throws mexhost::Interrupted when a Ctrl-C stopped the work, a GatewayError
// (zelmor:kernelNotFinite) for a kernel that overflows, and whatever else the work threw.
void runWithHost(const char* prefix, Verbosity verbosity,
                 const std::function<void(const engine::RunControl& control)>& work);

}  // namespace zelmor::enginegateway

#endif  // ZELMOR_GATEWAYS_HOST_RUNNER_H
