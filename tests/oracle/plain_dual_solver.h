// A plain, literal transcription of the solver's numbered steps, kept as a test oracle.
// It favours obviousness over speed: every loop, comparison and evaluation order is written
// out as the algorithm states it (per-class loops compare a double counter with k, rows are
// stored per example, the kernel is read by row with stride n). The fast solver must agree
// with it bit for bit on every input.
#ifndef ZELMOR_TESTS_ORACLE_PLAIN_DUAL_SOLVER_H
#define ZELMOR_TESTS_ORACLE_PLAIN_DUAL_SOLVER_H

#include <cstdint>
#include <vector>

#include "dual_solver.h"

namespace plain {

// iterationLimit, when not negative, lowers the cap of n * n iterations to it, so that a
// benchmark can time a stretch of a long solve; the tests never set it.
zelmor::SolveResult solveDual(const zelmor::DualProblem& problem, const zelmor::StartMode& start,
                              double tolerance, std::int64_t iterationLimit = -1);

std::vector<double> projectSimplex(const double* values, std::int32_t count);

}  // namespace plain

#endif  // ZELMOR_TESTS_ORACLE_PLAIN_DUAL_SOLVER_H
