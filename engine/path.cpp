#include "path.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <utility>

namespace zelmor::engine {

double pathTolerance(double relative, double beta) {
    return beta > 0.0 ? relative * beta : relative;
}

void moveGradientToBeta(std::vector<double>* grad, const double* labels, std::int64_t n, double fromBeta,
                        double toBeta) {
    const double change = fromBeta - toBeta;
    for (std::int64_t i = 0; i < n; ++i) {
        const auto c = static_cast<std::int64_t>(labels[i]) - 1;
        (*grad)[static_cast<std::size_t>(i + c * n)] += change;
    }
}

double warmStartAtBeta(const PathProblem& problem, std::vector<double>* tau, std::vector<double>* grad,
                       double fromBeta, double toBeta) {
    const std::int64_t n = problem.exampleCount;
    const std::int32_t k = problem.classCount;
    const double* labels = problem.labels;
    moveGradientToBeta(grad, labels, n, fromBeta, toBeta);
    std::vector<std::int64_t> free;
    for (std::int64_t i = 0; i < n; ++i) {
        const double own = (*tau)[static_cast<std::size_t>(i + (static_cast<std::int64_t>(labels[i]) - 1) * n)];
        const double bound = problem.weights != nullptr ? problem.weights[i] : 1.0;
        if (own != 0.0 && own != bound) free.push_back(i);
    }
    if (free.empty()) return 1.0;
    // P = G * (the free rows of tau), each entry summed over the free rows in increasing order;
    // column j's entries lie in the cache's order.
    KernelCache& kernel = *problem.kernel;
    const std::vector<std::int64_t>& order = kernel.order();
    std::vector<double> product(static_cast<std::size_t>(n * k), 0.0);
    for (std::int64_t j : free) {
        const double* column = kernel.column(j, n);
        if (column == nullptr) return -1.0;
        for (std::int32_t m = 0; m < k; ++m) {
            const double t = (*tau)[static_cast<std::size_t>(j + m * n)];
            if (t == 0.0) continue;
            double* target = product.data() + m * n;
            for (std::int64_t q = 0; q < n; ++q) {
                const std::int64_t i = order[static_cast<std::size_t>(q)];
                target[i] = target[i] + column[q] * t;
            }
        }
    }
    // With F the free rows and R the rest, along tau_R + s tau_F the objective is
    // s^2 (F.GF) / 2 + s (F.GR - toBeta F.Y) + constant; F.GR is F.G tau less F.GF, and G tau is
    // the gradient at toBeta plus toBeta Y.
    double labelPart = 0.0;
    double freeFree = 0.0;
    double freeAll = 0.0;
    for (std::int64_t j : free) {
        const auto c = static_cast<std::int32_t>(labels[j]) - 1;
        for (std::int32_t m = 0; m < k; ++m) {
            const auto cell = static_cast<std::size_t>(j + m * n);
            const double t = (*tau)[cell];
            freeFree += t * product[cell];
            freeAll += t * (m == c ? (*grad)[cell] + toBeta : (*grad)[cell]);
            if (m == c) labelPart += t;
        }
    }
    double scale = freeFree > 0.0 ? (toBeta * labelPart - (freeAll - freeFree)) / freeFree : 1.0;
    // Within [0, 1] every scaled row keeps to its bounds; NaN (from overflow) keeps the rows.
    if (!(scale < 1.0)) return 1.0;
    if (scale < 0.0) scale = 0.0;
    for (std::int64_t j : free) {
        for (std::int32_t m = 0; m < k; ++m) {
            double& t = (*tau)[static_cast<std::size_t>(j + m * n)];
            t = scale * t;
        }
    }
    const double change = scale - 1.0;
    for (std::size_t cell = 0; cell < product.size(); ++cell) (*grad)[cell] = change * product[cell] + (*grad)[cell];
    return scale;
}

namespace {

// What a solve's progress reports need beside what the solve knows.
struct ProgressContext {
    const PathReport* report = nullptr;
    const PathStep* step = nullptr;
    std::int64_t betaIndex = 0;
};

void tellProgress(void* context, std::int64_t iterations, double violation) {
    const auto* progress = static_cast<const ProgressContext*>(context);
    PathProgress told;
    told.betaIndex = progress->betaIndex;
    told.iterations = progress->step->updates + iterations;
    told.violation = violation;
    told.tolerance = progress->step->tolerance;
    (*progress->report)(told);
}

constexpr int kShrinkRounds = 8;
constexpr double kLooseFactor = 10.0;
// A solve on every example before the solves on those that move goes to this many times its
// tolerance: far enough to tell the examples that keep moving, and no further, since every
// iteration on all of them costs all of them.
constexpr double kFullLooseFactor = 100.0;

// Whether example i may move in the next solve: its dual row is not zero, or another class's
// gradient entry reaches its own class's, so that its violation is not below zero by a margin.
// A row of zeros with its own class's entry above every other by more than the margin is
// where the solution keeps it (its violation is zero, and stays so while the others move little).
bool mayMove(const std::vector<double>& tau, const std::vector<double>& grad, const double* labels, std::int64_t n,
             std::int32_t k, std::int64_t i, double margin) {
    const auto c = static_cast<std::int64_t>(labels[i]) - 1;
    for (std::int32_t m = 0; m < k; ++m) {
        if (tau[static_cast<std::size_t>(i + m * n)] != 0.0) return true;
    }
    const double own = grad[static_cast<std::size_t>(i + c * n)];
    for (std::int32_t m = 0; m < k; ++m) {
        if (m != c && grad[static_cast<std::size_t>(i + m * n)] > own - margin) return true;
    }
    return false;
}

// The largest violation among the given examples (all with dual rows of zeros: their only
// eligible class is their own), or -infinity when there is none.
double largestViolation(const std::vector<double>& grad, const double* labels, std::int64_t n, std::int32_t k,
                        const std::vector<std::int64_t>& examples) {
    double largest = -std::numeric_limits<double>::infinity();
    for (std::int64_t i : examples) {
        const auto c = static_cast<std::int64_t>(labels[i]) - 1;
        double hi = grad[static_cast<std::size_t>(i + c * n)];
        for (std::int32_t m = 0; m < k; ++m) hi = std::max(hi, grad[static_cast<std::size_t>(i + m * n)]);
        largest = std::max(largest, hi - grad[static_cast<std::size_t>(i + c * n)]);
    }
    return largest;
}

// Whether a solve that stopped below its tolerance left an example above it: the stop tests the
// selected example's violation before its update, which moves the others.
bool stillViolated(const SolveResult& result, const SolveControl& control) {
    return result.end == SolveEnd::Converged && !(result.remainingViolation < control.tolerance);
}

// Runs solves from (tau, grad) on the problem, continuing at the cap up to the restart limit,
// and after a stop below the tolerance while an example is still above it. False when stopped.
bool solveWithRestarts(const DualProblem& dual, const SolveControl& control, std::int64_t maxRestarts,
                       const StopRequest& stop, std::vector<double>* tau, std::vector<double>* grad, PathStep* step) {
    const std::int64_t n = dual.exampleCount;
    const auto k = static_cast<std::int32_t>(dual.classCount);
    const std::int64_t cap = control.iterationCap >= 0 ? control.iterationCap : n * n;
    std::int64_t sinceRestart = 0;
    for (;;) {
        // What is left of the cap, which the continuations of a converged solve share.
        SolveControl part = control;
        part.iterationCap = cap;
        part.iterationLimit = cap - sinceRestart;
        const StartMode start = tau->empty() ? StartMode::cold()
                                             : StartMode::warmFrom(MatrixView{tau->data(), n, k},
                                                                   MatrixView{grad->data(), n, k});
        SolveResult result = solveDual(dual, start, part, stop);
        if (result.end == SolveEnd::Interrupted) return false;
        *tau = std::move(result.tau);
        *grad = std::move(result.grad);
        const bool capped = result.end == SolveEnd::IterationCap && n > 0;
        // A converged solve counts from zero: the update of its stopping iteration is one more.
        const std::int64_t applied = result.iterationCount + (result.end == SolveEnd::Converged && n > 0 ? 1 : 0);
        step->updates += applied;
        sinceRestart += applied;
        step->converged = !capped;
        if (!capped && stillViolated(result, control)) continue;
        if (!capped || step->restarts == maxRestarts) return true;
        ++step->restarts;
        sinceRestart = 0;
    }
}

// The same with a face step (face_step.h) after every stretch of greedy iterations that did not
// converge; the cap of n^2 updates and its restarts count the greedy updates as one solve's.
constexpr std::int64_t kFaceStepClassesPerUpdate = 4;
bool solveWithFaceSteps(const DualProblem& dual, const SolveControl& control, const PathSettings& settings,
                        const StopRequest& stop, std::vector<double>* tau, std::vector<double>* grad, PathStep* step) {
    const std::int64_t n = dual.exampleCount;
    const auto k = static_cast<std::int32_t>(dual.classCount);
    const std::int64_t cap = control.iterationCap >= 0 ? control.iterationCap : n * n;
    std::int64_t sinceRestart = 0;
    // The greedy steps' work since the last face step, at a few classes an update: a face step is
    // taken once it costs at most as much, so that they take at most half of the time.
    std::int64_t greedyWork = 0;
    for (;;) {
        SolveControl stretch = control;
        stretch.iterationCap = cap;
        stretch.iterationLimit = std::min(settings.faceStepEvery, cap - sinceRestart);
        const StartMode start = tau->empty() ? StartMode::cold()
                                             : StartMode::warmFrom(MatrixView{tau->data(), n, k},
                                                                   MatrixView{grad->data(), n, k});
        SolveResult result = solveDual(dual, start, stretch, stop);
        if (result.end == SolveEnd::Interrupted) return false;
        *tau = std::move(result.tau);
        *grad = std::move(result.grad);
        const bool limited = result.end == SolveEnd::IterationCap && n > 0;
        const std::int64_t applied = result.iterationCount + (result.end == SolveEnd::Converged && n > 0 ? 1 : 0);
        step->updates += applied;
        sinceRestart += applied;
        greedyWork += applied * n * kFaceStepClassesPerUpdate;
        step->converged = !limited;
        if (!limited && !stillViolated(result, control)) return true;
        if (sinceRestart >= cap) {
            step->converged = false;
            if (step->restarts == settings.maxRestarts) return true;
            ++step->restarts;
            sinceRestart = 0;
        }
        if (!limited) continue;
        FaceStepSettings faceSettings = settings.faceStep;
        faceSettings.mostWork = greedyWork;
        faceSettings.mostBlockEntries = std::min(faceSettings.mostBlockEntries, faceStepMostBlockEntries(n, k));
        const FaceStepResult face = faceStep(dual, tau, grad, faceSettings, stop);
        if (stop.now()) return false;
        if (face.tooCostly) continue;
        greedyWork = 0;
        ++step->faceSteps;
        step->faceIterations += face.iterations;
    }
}

// A solve from (tau, grad): with face steps where they are asked for and the kernel is
// symmetric, else greedy alone.
bool solveFrom(const PathProblem& problem, const DualProblem& dual, const SolveControl& control,
               const PathSettings& settings, const StopRequest& stop, std::vector<double>* tau,
               std::vector<double>* grad, PathStep* step) {
    if (settings.faceStepEvery > 0 && problem.kernel->symmetric()) {
        return solveWithFaceSteps(dual, control, settings, stop, tau, grad, step);
    }
    return solveWithRestarts(dual, control, settings.maxRestarts, stop, tau, grad, step);
}

// A warm solve on the examples that may move alone, the others' dual rows staying zero: their
// rows add nothing to any gradient, so the examples that move form a problem of their own, on
// the kernel's rows and columns of those examples. Afterwards the others' gradients follow the
// change of the moved rows, and the solve is over only when none of them violates the
// tolerance either; otherwise those that do join the ones that move, and it goes on. Returns
// false when stopped; leaves tau and grad as they were and returns true at once when too many
// examples may move for this to pay.
bool solveShrunk(const PathProblem& problem, const DualProblem& full, const SolveControl& control,
                 const PathSettings& settings, const StopRequest& stop, std::vector<double>* tau,
                 std::vector<double>* grad, PathStep* step, bool* done, bool* declined) {
    const std::int64_t n = problem.exampleCount;
    const std::int32_t k = problem.classCount;
    KernelCache& kernel = *problem.kernel;
    *done = false;
    *declined = false;
    // Rounds first solve to a looser tolerance, which settles which examples move at a fraction
    // of the cost, and then to the tolerance itself; past a few rounds the full solve takes over.
    SolveControl loose = control;
    loose.tolerance = kLooseFactor * control.tolerance;
    bool tight = false;
    for (int round = 0; round < kShrinkRounds; ++round) {
        std::vector<std::int64_t> moving;
        std::vector<std::int64_t> resting;
        for (std::int64_t i = 0; i < n; ++i) {
            (mayMove(*tau, *grad, problem.labels, n, k, i, control.tolerance) ? moving : resting).push_back(i);
        }
        if (static_cast<double>(moving.size()) > kShrinkBelowShare * static_cast<double>(n)) {
            *declined = round == 0;
            return true;
        }
        const auto a = static_cast<std::int64_t>(moving.size());
        // The moving examples first in every column: their rows are the columns' first entries.
        kernel.orderColumns(moving);
        KernelCache::SolveRows rows;
        kernel.bindRows(&moving, &rows);
        std::vector<double> labels(static_cast<std::size_t>(a));
        std::vector<double> weights(problem.weights != nullptr ? static_cast<std::size_t>(a) : 0);
        std::vector<double> subTau(static_cast<std::size_t>(a * k));
        std::vector<double> subGrad(static_cast<std::size_t>(a * k));
        for (std::int64_t c = 0; c < a; ++c) {
            labels[static_cast<std::size_t>(c)] = problem.labels[moving[static_cast<std::size_t>(c)]];
            const std::int64_t i = moving[static_cast<std::size_t>(c)];
            if (!weights.empty()) weights[static_cast<std::size_t>(c)] = problem.weights[i];
            for (std::int32_t m = 0; m < k; ++m) {
                subTau[static_cast<std::size_t>(c + m * a)] = (*tau)[static_cast<std::size_t>(moving[static_cast<std::size_t>(c)] + m * n)];
                subGrad[static_cast<std::size_t>(c + m * a)] = (*grad)[static_cast<std::size_t>(moving[static_cast<std::size_t>(c)] + m * n)];
            }
        }
        const std::vector<double> before = subTau;
        // The cap, and with it what counts as a restart, stays that of all the examples.
        SolveControl subControl = tight ? control : loose;
        subControl.iterationCap = n * n;
        DualProblem sub = full;
        sub.rows = &rows.rows;
        sub.labels = labels.data();
        sub.weights = weights.empty() ? nullptr : weights.data();
        sub.exampleCount = static_cast<std::int32_t>(a);
        if (!solveFrom(problem, sub, subControl, settings, stop, &subTau, &subGrad, step)) return false;
        // The resting examples' gradients follow the moved rows, each entry adding the changes
        // in increasing order of the moved examples. The resting examples follow the moving
        // ones in every column.
        for (std::int64_t c = 0; c < a; ++c) {
            const std::int64_t j = moving[static_cast<std::size_t>(c)];
            const double* column = nullptr;
            for (std::int32_t m = 0; m < k; ++m) {
                const auto cell = static_cast<std::size_t>(c + m * a);
                (*tau)[static_cast<std::size_t>(j + m * n)] = subTau[cell];
                (*grad)[static_cast<std::size_t>(j + m * n)] = subGrad[cell];
                const double change = subTau[cell] - before[cell];
                if (change == 0.0 || resting.empty()) continue;
                if (column == nullptr && (column = kernel.column(j, n)) == nullptr) return false;
                double* target = grad->data() + m * n;
                const double* restingEntries = column + a;
                for (std::size_t r = 0; r < resting.size(); ++r) {
                    const std::int64_t i = resting[r];
                    target[i] = target[i] + restingEntries[r] * change;
                }
            }
        }
        if (!step->converged) {
            *done = true;
            return true;
        }
        const bool restingSettled = largestViolation(*grad, problem.labels, n, k, resting) < control.tolerance;
        if (restingSettled && tight) {
            *done = true;
            return true;
        }
        tight = restingSettled;
    }
    return true;
}

}  // namespace

std::vector<PathStep> solvePath(const PathProblem& problem, const double* betas, std::int64_t betaCount,
                                const PathSettings& settings, const PathVisitor& visit, const StopRequest& stop) {
    const std::int32_t k = problem.classCount;
    // Solves on every example read the columns in the examples' own order.
    const std::vector<std::int64_t> every = everyExample(problem.exampleCount);
    KernelCache::SolveRows rows;
    problem.kernel->bindRows(&every, &rows);
    DualProblem dual;
    dual.rows = &rows.rows;
    dual.labels = problem.labels;
    dual.classCount = static_cast<double>(k);
    dual.exampleCount = problem.exampleCount;
    dual.weights = problem.weights;

    std::vector<PathStep> steps;
    std::vector<double> tau;
    std::vector<double> grad;
    for (std::int64_t b = 0; b < betaCount; ++b) {
        const auto started = std::chrono::steady_clock::now();
        const double beta = betas[b];
        PathStep step;
        if (b > 0 && warmStartAtBeta(problem, &tau, &grad, betas[b - 1], beta) < 0.0) return steps;
        dual.beta = beta;
        SolveControl control;
        control.tolerance = pathTolerance(b == 0 ? settings.firstBetaTolerance : settings.laterBetaTolerance, beta);
        control.sweepStart = std::numeric_limits<double>::infinity();
        control.keepGradient = true;
        control.workers = settings.workers;
        step.tolerance = control.tolerance;
        ProgressContext progress{&settings.report, &step, b};
        if (settings.report) {
            control.progress = tellProgress;
            control.progressContext = &progress;
        }
        bool done = false;
        if (settings.shrink) {
            // A cold start moves every example at first, and a warm one may move too many: the
            // full solve then goes to a hundred times the tolerance, which finds the few that keep
            // moving, before the solve on those.
            bool declined = b == 0;
            if (!declined && !solveShrunk(problem, dual, control, settings, stop, &tau, &grad, &step, &done, &declined)) {
                return steps;
            }
            if (declined) {
                SolveControl loose = control;
                loose.tolerance = kFullLooseFactor * control.tolerance;
                problem.kernel->orderColumns({});
                if (!solveFrom(problem, dual, loose, settings, stop, &tau, &grad, &step)) return steps;
                // Still at the cap with no restart left: as far as this beta goes.
                done = !step.converged;
                if (!done && !solveShrunk(problem, dual, control, settings, stop, &tau, &grad, &step, &done, &declined)) {
                    return steps;
                }
            }
        }
        if (!done) {
            problem.kernel->orderColumns({});
            if (!solveFrom(problem, dual, control, settings, stop, &tau, &grad, &step)) return steps;
        }
        step.iterations = step.updates - (step.converged && step.updates > 0 ? 1 : 0);
        step.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        steps.push_back(step);
        if (visit) visit(b, tau);
    }
    return steps;
}

}  // namespace zelmor::engine
