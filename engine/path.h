// Solves along a grid of beta values, each solve warm-started from the previous one, every one
// to a tolerance relative to its beta and continued past the solver's cap of n^2 iterations.
#ifndef ZELMOR_ENGINE_PATH_H
#define ZELMOR_ENGINE_PATH_H

#include <cstdint>
#include <functional>
#include <vector>

#include "dual_solver.h"
#include "face_step.h"
#include "kernel_cache.h"

namespace zelmor::engine {

// The problem of a path: the kernel over its n examples (the cache's training examples), n
// labels in 1..k, k, and n positive weights (null: all 1; see DualProblem). The preconditions of
// DualProblem hold for it (finite, non-zero diagonal, labels in range). Borrowed; the path
// orders the cache's columns as it goes.
struct PathProblem {
    KernelCache* kernel = nullptr;
    const double* labels = nullptr;
    std::int32_t exampleCount = 0;
    std::int32_t classCount = 0;
    const double* weights = nullptr;
};

// How far a path has gone within the solves of one beta: told every so often while they run.
struct PathProgress {
    std::int64_t betaIndex = 0;
    std::int64_t iterations = 0;  // at this beta so far
    double violation = 0.0;       // the largest violation of the examples the solve sweeps
    double tolerance = 0.0;
};
using PathReport = std::function<void(const PathProgress&)>;

struct PathSettings {
    // Continuations of a solve that ended at the cap, per beta.
    std::int64_t maxRestarts = 20;
    // Stopping tolerances relative to beta: of the cold solve at the first beta, and of the
    // solves at every later beta, each started from the previous beta's solution. A beta that is
    // not positive has no relative scale and takes them as they are.
    double firstBetaTolerance = kColdStartTolerance;
    double laterBetaTolerance = 0.01;
    // Solves sweep only the examples that may still move, when those are few (see solvePath).
    bool shrink = true;
    // A face step (face_step.h) after every this many greedy iterations of a solve that has not
    // converged, where the kernel is symmetric; 0: greedy steps alone.
    std::int64_t faceStepEvery = 2000;
    FaceStepSettings faceStep;
    // Threads that share each iteration of a large solve; null: the calling thread alone.
    const SolveWorkers* workers = nullptr;
    // Told how far the solves have gone, from the thread that runs the path.
    PathReport report;
};

// What the path did at one beta.
struct PathStep {
    // As a solver counts them, over all the solves at this beta: the updates applied, less the
    // converging one (the zero-based index of the iteration that stopped), or all of them when
    // still at the cap.
    std::int64_t iterations = 0;
    std::int64_t updates = 0;
    std::int64_t restarts = 0;    // calls continued from one that ended at the cap
    bool converged = false;       // the last call stopped below its tolerance
    std::int64_t faceSteps = 0;       // face steps tried, and their conjugate-gradient iterations
    std::int64_t faceIterations = 0;
    double tolerance = 0.0;       // the tolerance of the solves at this beta
    double seconds = 0.0;
};

// Called after each beta with its index and its dual variables (n x k, column-major).
using PathVisitor = std::function<void(std::int64_t betaIndex, const std::vector<double>& tau)>;

// A solve sweeps only the examples that may still move when they are at most this share
// of all: the others then cost nothing per iteration, and their kernel is at most a quarter
// of the whole.
constexpr double kShrinkBelowShare = 0.5;

// The tolerance a path solves beta to.
double pathTolerance(double relative, double beta);

// Moves the gradient G * tau - fromBeta * Y (n x k, column-major) to toBeta: only the label term
// depends on beta, so each example's entry in its own class moves by fromBeta - toBeta.
void moveGradientToBeta(std::vector<double>* grad, const double* labels, std::int64_t n, double fromBeta,
                        double toBeta);

// Turns a solution tau at fromBeta, with its gradient G * tau - fromBeta * Y, into the start at
// toBeta. The gradient moves to toBeta (moveGradientToBeta). Then the free rows of tau (own-class
// entry neither 0 nor at its bound, the example's weight) are scaled by the factor in [0, 1] that
// minimises the objective at toBeta along them, and the gradient follows through G times those rows alone:
// where no example is at its bound the solution is proportional to beta, and the free rows
// then start where they end. Every row keeps to its bounds. Returns the factor (1: unchanged), or
// -1 when the kernel's StopRequest asked to stop while its columns were made.
double warmStartAtBeta(const PathProblem& problem, std::vector<double>* tau, std::vector<double>* grad,
                       double fromBeta, double toBeta);

// Cold solve at betas[0], then warm solves at betas[1], betas[2], ... each from the dual
// variables and the gradient the previous one ended with, moved to the next beta by
// warmStartAtBeta (no product with all of G). The sweep measures every violation as it is (no finite starting
// bound), so large gradients at large C cannot hide one. With settings.shrink, every solve
// goes on, once within ten times its tolerance, on the examples that may still move alone when
// they are few (see kShrinkBelowShare); the stop is decided over all examples. Returns the
// steps, fewer than
// betaCount when the StopRequest stopped the path (the last step then unfinished and dropped).
std::vector<PathStep> solvePath(const PathProblem& problem, const double* betas, std::int64_t betaCount,
                                const PathSettings& settings, const PathVisitor& visit,
                                const StopRequest& stop = StopRequest{});

}  // namespace zelmor::engine

#endif  // ZELMOR_ENGINE_PATH_H
