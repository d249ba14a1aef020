// A second-order step for the greedy solves: on the face of the dual variables that are
// strictly inside their bounds, a few conjugate-gradient steps towards the minimum of the
// objective there, then the step projected back onto each row's bounds and halved until the
// objective falls.
//
// Greedy one-example steps crawl where many examples are free and their kernel is close to
// singular (small gamma, large C): the coordinates are strongly coupled, and every step undoes
// part of the others'. Near the solution the bounds that hold no longer change, and the
// problem on the remaining variables is a linear system; a conjugate-gradient step on it moves
// all of them at once. The greedy solve then goes on from the new point and decides the stop,
// so every solve still meets its tolerance.
//
// Everything runs on the calling thread in a fixed order, so the result is the same bits
// whatever the thread count or the kernel cache; the kernel must be symmetric.
#ifndef ZELMOR_ENGINE_FACE_STEP_H
#define ZELMOR_ENGINE_FACE_STEP_H

#include <cstdint>
#include <vector>

#include "dual_solver.h"

namespace zelmor::engine {

// A face step's kernel blocks take at most kFaceStepBlocksPerVariable doubles per dual variable,
// or kFaceStepLeastBlockEntries where that is more, and kFaceStepMostBlockEntries in all.
constexpr std::int64_t kFaceStepMostBlockEntries = std::int64_t{4} << 20;
constexpr std::int64_t kFaceStepLeastBlockEntries = std::int64_t{2} << 20;
constexpr std::int64_t kFaceStepBlocksPerVariable = 16;
std::int64_t faceStepMostBlockEntries(std::int64_t n, std::int64_t k);

struct FaceStepSettings {
    // Conjugate-gradient iterations per step.
    int iterations = 50;
    // Halvings of the projected step before giving up.
    int halvings = 30;
    // The step is not tried where the free rows' kernel blocks would take more doubles than this:
    // a face so large is far from settled. A bound of the problem's (faceStepMostBlockEntries),
    // not the cache's, so that whether a step is tried never depends on the cache.
    std::int64_t mostBlockEntries = kFaceStepMostBlockEntries;
    // The step is not tried when it would cost more than this many products of a kernel entry
    // and a variable: a face that is large is far from settled, and the greedy steps do better.
    std::int64_t mostWork = INT64_MAX;
};

// The bytes of the kernel blocks of a face step of n examples and k classes, at most.
std::int64_t faceStepBytes(std::int64_t n, std::int64_t k);

struct FaceStepResult {
    bool taken = false;
    double length = 0.0;             // the factor of the conjugate-gradient step taken
    double decrease = 0.0;           // the objective's change (negative when taken)
    std::int64_t freeRows = 0;       // rows with two free variables or more
    std::int64_t iterations = 0;     // conjugate-gradient iterations run
    bool tooCostly = false;          // not tried: it would cost more than mostWork
};

// One step from (tau, grad) of a solve of `problem` (rows made on demand through problem.rows,
// of a symmetric kernel): grad is G * tau - beta * Y, both exampleCount x k, column-major, and
// both are updated when the step is taken. A variable is free when it is strictly below its
// bound (1 in the own class, 0 in the others); only rows with two free variables or more move,
// and every row keeps to its bounds and its sum. False in `taken` when no step lowers the
// objective, or the step would cost too much; stopped (by `stop`, or a row not made) it takes
// no step.
FaceStepResult faceStep(const DualProblem& problem, std::vector<double>* tau, std::vector<double>* grad,
                        const FaceStepSettings& settings, const StopRequest& stop = StopRequest{});

}  // namespace zelmor::engine

#endif  // ZELMOR_ENGINE_FACE_STEP_H
