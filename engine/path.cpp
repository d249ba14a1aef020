#include "path.h"

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

std::vector<PathStep> solvePath(const PathProblem& problem, const double* betas, std::int64_t betaCount,
                                const PathSettings& settings, const PathVisitor& visit, const StopRequest& stop) {
    const std::int64_t n = problem.exampleCount;
    const std::int32_t k = problem.classCount;
    DualProblem dual;
    dual.kernel = problem.kernel;
    dual.labels = problem.labels;
    dual.classCount = static_cast<double>(k);
    dual.exampleCount = problem.exampleCount;

    std::vector<PathStep> steps;
    std::vector<double> tau;
    std::vector<double> grad;
    for (std::int64_t b = 0; b < betaCount; ++b) {
        const auto started = std::chrono::steady_clock::now();
        const double beta = betas[b];
        PathStep step;
        if (b > 0) moveGradientToBeta(&grad, problem.labels, n, betas[b - 1], beta);
        dual.beta = beta;
        SolveControl control;
        control.tolerance = pathTolerance(b == 0 ? settings.coldTolerance : settings.warmTolerance, beta);
        control.sweepStart = std::numeric_limits<double>::infinity();
        control.keepGradient = true;
        step.tolerance = control.tolerance;
        for (;;) {
            const StartMode start = tau.empty() ? StartMode::cold()
                                                : StartMode::warmFrom(MatrixView{tau.data(), n, k},
                                                                      MatrixView{grad.data(), n, k});
            SolveResult result = solveDual(dual, start, control, stop);
            if (result.end == SolveEnd::Interrupted) return steps;
            tau = std::move(result.tau);
            grad = std::move(result.grad);
            step.iterations += result.iterationCount;
            const bool capped = result.end == SolveEnd::IterationCap && n > 0;
            step.converged = !capped;
            if (!capped || step.restarts == settings.maxRestarts) break;
            ++step.restarts;
        }
        step.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        steps.push_back(step);
        if (visit) visit(b, tau);
    }
    return steps;
}

}  // namespace zelmor::engine
