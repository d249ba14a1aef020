#include "engine_commands.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "calibration.h"
#include "engine_inputs.h"
#include "engine_outputs.h"
#include "finite_kernel.h"
#include "host_runner.h"
#include "kernel_cache.h"
#include "kernels.h"
#include "path.h"
#include "predict.h"
#include "search.h"

namespace zelmor::enginegateway {

using namespace mexhost;
using namespace engine;

namespace {

using Clock = std::chrono::steady_clock;

// Refuses work whose memory this machine could never give, before any of it is asked for.
void requireMemory(double bytes, const char* what) {
    const double available = static_cast<double>(physicalMemoryBytes());
    if (!(bytes <= available)) {
        throw GatewayError("zelmor:outOfMemory",
                           formatMessage("%s needs %.3g GB, more than this machine has (%.3g GB)", what, bytes / 1e9,
                                         available / 1e9));
    }
}

// The bytes of the decision values a search keeps, at most those of every cell of the grid.
std::int64_t keptDecisionBytes(const GridProblem& problem, const RunSettings& settings) {
    if (!settings.keepDecisionValues) return 0;
    return decisionValueBytes(problem, static_cast<std::int64_t>(problem.kernelSettings.size() * problem.betas.size()));
}

// Refuses a search whose units could not run even one at a time, with the decision values it keeps.
void requireSearchMemory(const GridProblem& problem, const RunSettings& settings, std::int64_t unitCount,
                         const char* what) {
    SearchPlan plan = planSearch(problem, settings, unitCount);
    plan.concurrentUnits = 1;
    requireMemory(static_cast<double>(searchPeakBytes(problem, plan) + keptDecisionBytes(problem, settings)), what);
}

void requireFitMemory(const GridProblem& problem, const RunSettings& settings) {
    requireMemory(static_cast<double>(fitPeakBytes(problem, settings)), "the final fit");
}

}  // namespace

void kernelCommand(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    requireArgumentCounts(nrhs, 8, nlhs, 1);
    const bool self = mxGetM(prhs[2]) == 0 && mxGetN(prhs[2]) == 0;
    // Dense against sparse examples: both sparse, which gives the same bits.
    const bool sparse = mxIsSparse(prhs[1]) || (!self && mxIsSparse(prhs[2]));
    CompressedRows aRows, bRows;
    const Examples a = examplesOf(prhs[1], "A", sparse, &aRows);
    Examples b = a;
    if (!self) b = examplesOf(prhs[2], "B", sparse, &bRows);
    if (a.featureCount != b.featureCount) {
        throw GatewayError("zelmor:featureMismatch",
                           formatMessage("A and B must have the same number of columns (got %lld and %lld)",
                                         static_cast<long long>(a.featureCount), static_cast<long long>(b.featureCount)));
    }
    const KernelSetting setting = settingOf(prhs + 3);
    const int threads = threadsOf(prhs[7]);
    requireMemory(8.0 * static_cast<double>(a.count) * static_cast<double>(b.count), "the kernel");
    mxArray* kernel = unwrittenDoubles(a.count, b.count);
    runWithHost("", Verbosity::None, [&](const RunControl& control) {
        if (!kernelMatrix(setting, a, self ? nullptr : &b, realData(kernel), std::max<std::int64_t>(a.count, 1),
                          threads, control.stop)) {
            throw Stopped{};
        }
        requireFiniteKernel(realData(kernel), a.count * b.count);
    });
    plhs[0] = kernel;
}

// Decision values from a kernel (KTEST, TAU, THREADS) or from features (XTEST, XTRAIN, TYPE,
// GAMMA, DEGREE, OFFSET, TAU, THREADS).
void decisionCommand(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    requireArgumentCounts(nrhs, nrhs == 4 ? 4 : 9, nlhs, 1);
    const bool fromKernel = nrhs == 4;
    const mxArray* tauArray = prhs[fromKernel ? 2 : 7];
    const std::vector<double> tau = finiteValues(tauArray, "tau", "zelmor:badTau");
    Examples test;
    Examples train;
    CompressedRows testRows, trainRows;
    KernelSetting setting;
    const double* kernel = nullptr;
    if (fromKernel) {
        const Examples k = examplesOf(prhs[1], "the kernel");
        kernel = k.data;
        test = Examples{nullptr, k.count, 0};
        train = Examples{nullptr, k.featureCount, 0};
    } else {
        test = examplesOf(prhs[1], "the test examples", mxIsSparse(prhs[2]), &testRows);
        train = examplesOf(prhs[2], "the training examples", mxIsSparse(prhs[1]), &trainRows);
        if (test.featureCount != train.featureCount) {
            throw GatewayError("zelmor:featureMismatch", "the test and training examples differ in features");
        }
        setting = settingOf(prhs + 3);
    }
    if (static_cast<std::int64_t>(mxGetM(tauArray)) != train.count || mxGetN(tauArray) < 1) {
        throw GatewayError("zelmor:kernelMismatch", "tau must have one row per training example");
    }
    const auto k = static_cast<std::int32_t>(std::min<std::size_t>(mxGetN(tauArray), 1u << 30));
    const int threads = threadsOf(prhs[fromKernel ? 3 : 8]);
    requireMemory(8.0 * static_cast<double>(test.count) * static_cast<double>(k), "the decision values");
    mxArray* decision = unwrittenDoubles(test.count, k);
    runWithHost("", Verbosity::None, [&](const RunControl& control) {
        if (!decisionValuesOnThreads(fromKernel ? nullptr : &setting, kernel, test, train, tau.data(), k,
                                     realData(decision), threads, control.stop)) {
            throw Stopped{};
        }
    });
    plhs[0] = decision;
}

void pathCommand(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    requireArgumentCounts(nrhs, 7, nlhs, 6);
    const CheckedKernel checked = checkedKernel(prhs[1], prhs[2], prhs[4]);
    const std::vector<double> betas = betasOf(prhs[3]);
    PathSettings settings;
    settings.maxRestarts = countOf(prhs[5], "MaxRestarts", 0);
    const std::int64_t n = checked.n;
    const std::int64_t k = checked.k;
    const auto count = static_cast<std::int64_t>(betas.size());
    std::int64_t cacheBytes = cacheBytesOf(prhs[6]);
    if (cacheBytes == 0) cacheBytes = defaultCacheBytes(physicalMemoryBytes() / 2, 1);
    requireMemory(8.0 * static_cast<double>(n * k) * static_cast<double>(count) +
                      static_cast<double>(unitBytes(n, 0, k, 0, cacheBytes)),
                  "the path");

    std::vector<double> taus(static_cast<std::size_t>(n * k * count));
    std::vector<PathStep> steps;
    runWithHost("", Verbosity::None, [&](const RunControl& control) {
        KernelCache kernel(givenKernel(checked.kernel, n), everyExample(n), {}, cacheBytes, nullptr,
                           control.stopRequest());
        PathProblem problem;
        problem.kernel = &kernel;
        problem.labels = checked.labels;
        problem.exampleCount = checked.n;
        problem.classCount = checked.k;
        steps = solvePath(problem, betas.data(), count, settings,
                          [&](std::int64_t b, const std::vector<double>& tau) {
                              std::copy(tau.begin(), tau.end(), taus.begin() + b * n * k);
                          },
                          control.stopRequest());
        if (static_cast<std::int64_t>(steps.size()) < count) throw Stopped{};
    });
    setPathOutputs(nlhs, plhs, taus, n, k, steps);
}

void crossvalCommand(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    requireArgumentCounts(nrhs, 10, nlhs, 1);
    const CheckedKernel checked = checkedKernel(prhs[1], prhs[2], prhs[5]);
    GridProblem problem;
    problem.labels = checked.labels;
    problem.exampleCount = checked.n;
    problem.classCount = checked.k;
    problem.precomputed = checked.kernel;
    problem.kernelSettings.push_back(KernelSetting{});
    problem.betas = betasOf(prhs[3]);
    const std::vector<double> folds = finiteValues(prhs[4], "folds", "zelmor:badFolds");
    problem.foldCount = checkFolds(folds, checked.n);
    problem.folds = folds.data();
    RunSettings settings = runSettingsOf(threadsOf(prhs[7]), countOf(prhs[6], "MaxRestarts", 0));
    settings.cacheBytes = cacheBytesOf(prhs[9]);
    settings.reportFolds = true;
    requireSearchMemory(problem, settings, static_cast<std::int64_t>(gridUnits(problem).size()), "the cross-validation");

    GridResult grid;
    runWithHost("zelmor_crossval: ", verbosityOf(prhs[8]),
                [&](const RunControl& control) { grid = crossValidate(problem, settings, control); });
    plhs[0] = gridStruct(grid);
}

void trainCommand(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    requireArgumentCounts(nrhs, 5, nlhs, 1);
    TrainInputs inputs;
    readTrainInputs(prhs, &inputs);
    const GridProblem& problem = inputs.problem;
    if (inputs.search) {
        requireSearchMemory(problem, inputs.settings, static_cast<std::int64_t>(gridUnits(problem).size()),
                            "the training");
    } else {
        requireFitMemory(problem, inputs.settings);
    }

    GridResult grid;
    GridChoice choice{0, 0};
    Fit fit;
    double crossValidationSeconds = 0;
    std::vector<double> temperature;
    double calibrationSeconds = 0;
    runWithHost("zelmor_train: ", inputs.verbosity, [&](const RunControl& control) {
        const auto started = Clock::now();
        if (inputs.search) {
            grid = crossValidate(problem, inputs.settings, control);
            choice = chooseCell(grid, problem.betas, inputs.scoring);
            if (choice.setting < 0) throw std::logic_error("no grid cell was tried");
        }
        const double beta = problem.betas[static_cast<std::size_t>(choice.beta)];
        if (inputs.settings.keepDecisionValues) {
            const auto calibrationStarted = Clock::now();
            const std::vector<double>& decision =
                grid.decisionValues[static_cast<std::size_t>(choice.setting + grid.settingCount * choice.beta)];
            temperature.push_back(fitTemperatureToDecisions(decision.data(), problem.exampleCount, problem.classCount,
                                                            problem.labels, beta));
            grid.decisionValues = {};
            calibrationSeconds = std::chrono::duration<double>(Clock::now() - calibrationStarted).count();
        }
        crossValidationSeconds = std::chrono::duration<double>(Clock::now() - started).count();
        fit = fitModel(problem, choice.setting, beta, inputs.settings, control);
    });
    plhs[0] = trainResult(problem, inputs.search ? gridStruct(grid) : doubles(0, 0), choice, fit,
                          crossValidationSeconds, temperature, calibrationSeconds);
}

namespace {

// The grid's units (gridUnits) as rows of (setting, fold) numbers from 1.
mxArray* unitRows(const std::vector<GridUnit>& units) {
    const auto count = static_cast<std::int64_t>(units.size());
    mxArray* rows = doubles(count, 2);
    for (std::int64_t u = 0; u < count; ++u) {
        realData(rows)[u] = static_cast<double>(units[static_cast<std::size_t>(u)].setting + 1);
        realData(rows)[u + count] = static_cast<double>(units[static_cast<std::size_t>(u)].fold + 1);
    }
    return rows;
}

}  // namespace

// The given units, run; for [] the grid's units, listed.
void unitsCommand(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    requireArgumentCounts(nrhs, 6, nlhs, 1);
    TrainInputs inputs;
    readTrainInputs(prhs, &inputs);
    if (!inputs.search) throw GatewayError("zelmor:badInput", "units need folds: there is no grid to cross-validate");
    if (mxIsEmpty(prhs[5])) {
        plhs[0] = unitRows(gridUnits(inputs.problem));
        return;
    }
    const std::vector<GridUnit> units = unitsOf(prhs[5], inputs.problem);
    inputs.settings.reportFolds = true;
    requireSearchMemory(inputs.problem, inputs.settings, static_cast<std::int64_t>(units.size()), "the units");
    GridResult grid;
    runWithHost("zelmor_task: ", inputs.verbosity, [&](const RunControl& control) {
        grid = crossValidateUnits(inputs.problem, units, inputs.settings, control);
    });
    plhs[0] = gridStruct(grid);
}

void fitCommand(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    requireArgumentCounts(nrhs, 6, nlhs, 1);
    TrainInputs inputs;
    readTrainInputs(prhs, &inputs);
    const GridProblem& problem = inputs.problem;
    GridChoice choice{0, 0};
    if (inputs.search) {
        choice = chooseCell(gridOfCounts(prhs[5], problem), problem.betas, inputs.scoring);
        if (choice.setting < 0) throw GatewayError("zelmor:badInput", "no grid cell was tried");
    } else if (!mxIsEmpty(prhs[5])) {
        throw GatewayError("zelmor:badInput", "without folds there are no counts to choose from: pass []");
    }
    requireFitMemory(problem, inputs.settings);
    Fit fit;
    runWithHost("zelmor_collect: ", inputs.verbosity, [&](const RunControl& control) {
        fit = fitModel(problem, choice.setting, problem.betas[static_cast<std::size_t>(choice.beta)], inputs.settings,
                       control);
    });
    plhs[0] = trainResult(problem, doubles(0, 0), choice, fit, 0.0);
}

// The bytes the given units hold at their peak when run in one call, as many at once as the
// threads allow, or for [] those of the final fit: beyond the features (but for a sparse X's copy
// example by example), the labels and the outputs. What a task of a search asks of its node.
void memoryCommand(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    requireArgumentCounts(nrhs, 6, nlhs, 1);
    TrainInputs inputs;
    readTrainInputs(prhs, &inputs);
    const GridProblem& problem = inputs.problem;
    std::int64_t bytes = 0;
    if (mxIsEmpty(prhs[5])) {
        bytes = fitPeakBytes(problem, inputs.settings);
    } else {
        if (!inputs.search) throw GatewayError("zelmor:badInput", "units need folds: there is no grid to cross-validate");
        const auto unitCount = static_cast<std::int64_t>(unitsOf(prhs[5], problem).size());
        bytes = searchPeakBytes(problem, planSearch(problem, inputs.settings, unitCount)) +
                keptDecisionBytes(problem, inputs.settings);
    }
    // A sparse X is held a second time, example by example.
    bytes += heldBytes(inputs.sparseFeatures);
    plhs[0] = mxCreateDoubleScalar(static_cast<double>(bytes));
}

// The temperature from a cell's out-of-fold decision values (n x k), the labels 1..k and the
// cell's beta: what 'train' fits, for a search whose units ran apart.
void calibrateCommand(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    requireArgumentCounts(nrhs, 5, nlhs, 1);
    const std::int32_t k = classCountOf(prhs[3]);
    requireRealDoubleMatrix(prhs[1], "the decision values");
    requireFiniteEntries(prhs[1], "the decision values", "zelmor:badInput");
    if (mxGetN(prhs[1]) != static_cast<std::size_t>(k) || mxGetM(prhs[1]) > 2147483647) {
        throw GatewayError("zelmor:badInput", "the decision values must have one column per class");
    }
    const auto n = static_cast<std::int32_t>(mxGetM(prhs[1]));
    requireRealDoubleMatrix(prhs[2], "labels");
    requireLabels(prhs[2], n, k);
    const double beta = scalarOf(prhs[4], "beta");
    if (!(beta > 0)) throw GatewayError("zelmor:badBeta", "beta must be positive");
    plhs[0] = mxCreateDoubleScalar(fitTemperatureToDecisions(realData(prhs[1]), n, k, realData(prhs[2]), beta));
}

// Probabilities from scores (n x k) and a positive temperature.
void probabilitiesCommand(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    requireArgumentCounts(nrhs, 3, nlhs, 1);
    requireRealDoubleMatrix(prhs[1], "the scores");
    requireFiniteEntries(prhs[1], "the scores", "zelmor:badInput");
    const double temperature = scalarOf(prhs[2], "the temperature");
    if (!(temperature > 0)) throw GatewayError("zelmor:badInput", "the temperature must be positive");
    const auto n = static_cast<std::int64_t>(mxGetM(prhs[1]));
    const auto k = static_cast<std::int32_t>(std::min<std::size_t>(mxGetN(prhs[1]), 1u << 30));
    mxArray* probabilities = doubles(n, k);
    softmaxProbabilities(realData(prhs[1]), n, k, temperature, realData(probabilities));
    plhs[0] = probabilities;
}

// The grid of P settings, B betas, F folds and K classes with no cell tried, shaped and named as
// 'train' and 'units' give theirs: the grid the cluster helpers fill with their units' results.
void gridCommand(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    requireArgumentCounts(nrhs, 5, nlhs, 1);
    GridResult grid;
    grid.settingCount = countOf(prhs[1], "the setting count", 1);
    grid.betaCount = countOf(prhs[2], "the beta count", 1);
    grid.foldCount = countOf(prhs[3], "the fold count", 1);
    grid.classCount = countOf(prhs[4], "the class count", 1);
    const double cells = static_cast<double>(grid.settingCount) * static_cast<double>(grid.betaCount) *
                         static_cast<double>(grid.foldCount);
    requireMemory(8.0 * cells * (static_cast<double>(grid.classCount) + 5.0), "the grid");
    const auto count = static_cast<std::size_t>(cells);
    grid.correct.assign(count, -1);
    grid.classCorrect.assign(count * static_cast<std::size_t>(grid.classCount), -1);
    grid.iterations.assign(count, 0);
    grid.restarts.assign(count, 0);
    grid.converged.assign(count, 0);
    grid.seconds.assign(count, 0.0);
    grid.foldSizes.assign(static_cast<std::size_t>(grid.foldCount), 0);
    plhs[0] = gridStruct(grid);
}

void quietSecondsCommand(int nlhs, mxArray* plhs[], int nrhs, const mxArray* /*prhs*/[]) {
    requireArgumentCounts(nrhs, 1, nlhs, 1);
    plhs[0] = mxCreateDoubleScalar(kQuietSeconds);
}

}  // namespace zelmor::enginegateway
