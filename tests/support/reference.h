// The reference solver: the solve loop and the simplex projection written plainly, one step at a
// time, for tests, fuzzers and benchmarks to check the fast solver against (it is not linked
// into the MEX files). It favours obviousness over speed: every per-class loop compares a
// double counter with k, tau, grad and target are stored per example, the kernel is read by row
// with stride n, every sweep measures every example over every class, and every update touches
// every class. The fast solver must agree with it bit for bit on every input, weights
// (DualProblem::weights) included.
#ifndef ZELMOR_TESTS_SUPPORT_REFERENCE_H
#define ZELMOR_TESTS_SUPPORT_REFERENCE_H

#include <cstdint>
#include <vector>

#include "dual_solver.h"

namespace zelmor {
namespace reference {

// iterationLimit, when not negative, lowers the cap of n * n iterations to it, so that a
// benchmark can time a stretch of a long solve.
SolveResult solveDual(const DualProblem& problem, const StartMode& start, double tolerance,
                      std::int64_t iterationLimit = -1);

std::vector<double> projectSimplex(const double* values, std::int32_t count);

}  // namespace reference
}  // namespace zelmor

#endif  // ZELMOR_TESTS_SUPPORT_REFERENCE_H
