// Which runs have a defined result at all.
//
// The simplex projection's fixed-point loop has no bound of its own. On some extreme inputs
// (overflowing sums, or rounding far above the residual tolerance) it returns to a set it has
// already visited and would never end. No result is defined there: the solver and the plain
// transcription each stop at their own safety bound and may disagree. A differential check
// has to skip exactly those runs and no others, so this file decides definedness by replaying
// the defined steps, independently of both implementations under test.
#ifndef ZELMOR_FUZZ_DEFINEDNESS_H
#define ZELMOR_FUZZ_DEFINEDNESS_H

#include <cstdint>

#include "dual_solver.h"

namespace fuzzing {

// True when the projection's fixed-point loop ends on these values.
bool projectionEnds(const double* values, std::int32_t count);

// Replays the solve loop step by step and returns true when every projection it reaches
// ends; `replayed` then holds the defined result, a third opinion on the other two.
// iterationLimit, when not negative, lowers the cap of n * n iterations as the solvers'
// own limit does.
bool solveIsDefined(const zelmor::DualProblem& problem, const zelmor::StartMode& start, double tolerance,
                    std::int64_t iterationLimit, zelmor::SolveResult* replayed);

}  // namespace fuzzing

#endif  // ZELMOR_FUZZ_DEFINEDNESS_H
