// Model selection: cross-validation of a grid of kernel settings and beta values on a pool of
// threads, the choice of a grid cell, and the final fit.
//
// The work is split into units, one per (kernel setting, fold): each builds its fold's training
// and test kernels into buffers of its own, follows a path over beta on the training examples
// and scores the test examples after every beta. Units write only their own cells, so every
// result is the same whatever the thread count and whatever order the units finish in.
//
// A kernel made from features that holds a value that is not finite (it overflowed) raises
// KernelNotFinite (finite_kernel.h) from crossValidate, crossValidateUnits and fitModel (their
// kernel caches check every entry they make).
#ifndef ZELMOR_ENGINE_SEARCH_H
#define ZELMOR_ENGINE_SEARCH_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kernels.h"
#include "path.h"
#include "scoring.h"

namespace zelmor::engine {

// The examples and where their kernels come from: features (dense or sparse) and one kernel
// setting per grid row, or a precomputed n x n kernel (a single grid row; its setting is not
// used). Borrowed.
struct GridProblem {
    const double* labels = nullptr;  // n class numbers 1..k
    std::int32_t exampleCount = 0;
    std::int32_t classCount = 0;
    const double* precomputed = nullptr;
    Examples features;
    std::vector<KernelSetting> kernelSettings;
    // One per kernel setting: the words progress lines call it by (the helpers' wording, such as
    // "gamma 0.5"). Empty: "setting P", its number from 1.
    std::vector<std::string> settingNames;
    // The grid's columns, in the order every path solves them.
    std::vector<double> betas;
    // settings x betas, entry p + P * b: whether cell (p, b) is cross-validated. Empty: all are.
    std::vector<std::uint8_t> tried;
    // n fold numbers 1..F; every fold holds an example. Empty when nothing is cross-validated.
    const double* folds = nullptr;
    std::int32_t foldCount = 0;
    // n positive weights, each multiplying its example's C (see DualProblem); null: all 1. A
    // fold trains with the weights of its training examples.
    const double* weights = nullptr;
};

// How the work runs.
struct RunSettings {
    int threadCount = 1;
    // Bytes the units may hold at once; decides how many run together (at least one). See
    // planSearch.
    std::int64_t memoryBudget = std::int64_t{1} << 40;
    // Bytes of kernel columns each solve's cache holds (see kernel_cache.h); 0 or less: the
    // default, defaultCacheBytes. A model's bits do not depend on it.
    std::int64_t cacheBytes = 0;
    // The final fit shares each of its iterations among the threads in pieces of at least this
    // many blocks of eight examples (see SolveWorkers).
    std::int64_t leastBlocksPerPiece = 1024;
    PathSettings path;
    // A progress line per finished unit (fold) instead of one per finished setting.
    bool reportFolds = false;
    // Keep every tried cell's out-of-fold decision values (GridResult::decisionValues), for a
    // calibration of the chosen one: n * k doubles per cell.
    bool keepDecisionValues = false;
};

// Per (setting p, beta b, fold f), entry p + P * (b + B * f). Cells not tried hold -1 correct
// predictions, no iterations and converged false.
struct GridResult {
    std::int64_t settingCount = 0;
    std::int64_t betaCount = 0;
    std::int64_t foldCount = 0;
    std::vector<std::int64_t> correct;
    std::vector<std::int64_t> iterations;
    std::vector<std::int64_t> restarts;
    std::vector<std::uint8_t> converged;
    std::vector<double> seconds;
    std::vector<std::int64_t> foldSizes;
    // Per (setting p, beta b, fold f, class c), entry p + P * (b + B * (f + F * c)): the correct
    // predictions among the fold's test examples of class c (they add up to correct); -1 where
    // not tried. classSizes: the examples of each class, over all folds.
    std::int64_t classCount = 0;
    std::vector<std::int64_t> classCorrect;
    std::vector<std::int64_t> classSizes;
    // With RunSettings::keepDecisionValues, per cell p + P * b that a unit of this call tried:
    // n x k decision values, column-major, each example's from the unit of its fold (the sums
    // countCorrect scores it by); NaN in the rows of folds that ran elsewhere. Empty otherwise.
    std::vector<std::vector<double>> decisionValues;
    // Units run at once, as the memory budget allowed.
    std::int64_t concurrentUnits = 0;
    // Where the time went, in seconds of the threads that did the work, added up: the base of
    // the kernels (the squared distances or products of all examples), the units' fold kernels,
    // their solves and their scoring of the test folds.
    double baseSeconds = 0.0;
    double kernelSeconds = 0.0;
    double solveSeconds = 0.0;
    double scoringSeconds = 0.0;
};

// The calling side's hooks: a flag that stops the work (the solves, the kernels, the units
// not started), and a sink for progress lines, called from any thread.
struct RunControl {
    const std::atomic<bool>* stop = nullptr;
    std::function<void(const std::string&)> report;

    bool stopped() const { return stop != nullptr && stop->load(std::memory_order_relaxed); }
    StopRequest stopRequest() const;
};

// Thrown when the RunControl's flag stopped the work; nothing of it is returned.
struct Stopped {};

// Cross-validates every tried cell: one unit per (setting, fold) with a tried cell.
GridResult crossValidate(const GridProblem& problem, const RunSettings& settings, const RunControl& control);

// One unit of the work: a kernel setting on one fold (both zero-based).
struct GridUnit {
    std::int64_t setting = 0;
    std::int64_t fold = 0;
};

// Every unit of a problem in the order crossValidate numbers them: setting by setting, those
// with a tried cell only, and the folds within each.
std::vector<GridUnit> gridUnits(const GridProblem& problem);

// Cross-validates the given units alone, each one of gridUnits(problem) at most once: their
// cells hold the bits crossValidate gives them (a unit's results depend on its own setting and
// fold only), the other cells are left as not tried. So the units can run apart, on other
// machines, and their cells be put together into crossValidate's result.
GridResult crossValidateUnits(const GridProblem& problem, const std::vector<GridUnit>& units,
                              const RunSettings& settings, const RunControl& control);

// The best cell by its score over all folds: correct predictions (Accuracy), or the per-class
// correct predictions against classSizes (BalancedAccuracy, compared exactly); among equals the
// larger beta (the smaller C), then the earlier setting. {-1, -1} when no cell was tried.
struct GridChoice {
    std::int64_t setting = -1;
    std::int64_t beta = -1;
};
GridChoice chooseCell(const GridResult& result, const std::vector<double>& betas,
                      Scoring scoring = Scoring::Accuracy);

// The examples of each class of a problem (GridResult::classSizes).
std::vector<std::int64_t> classSizesOf(const GridProblem& problem);

// The final fit: a cold solve at beta on every example, to the path's relative tolerance and
// continued past the cap, its kernel made as it goes (or the precomputed one, read in place) and
// every thread sharing the making of its columns.
struct Fit {
    std::vector<double> tau;  // n x k, column-major
    PathStep step;
    double kernelSeconds = 0.0;
};
Fit fitModel(const GridProblem& problem, std::int64_t setting, double beta, const RunSettings& settings,
             const RunControl& control);

// The default cache of a solve: a share of the memory budget among the units at once, at most
// kDefaultCacheBytes and at least kLeastCacheBytes.
constexpr std::int64_t kDefaultCacheBytes = std::int64_t{384} << 20;
constexpr std::int64_t kLeastCacheBytes = std::int64_t{16} << 20;
std::int64_t defaultCacheBytes(std::int64_t memoryBudget, std::int64_t unitsAtOnce);

// The bytes one unit holds at its peak, beyond the inputs: its kernel cache (the columns its
// budget allows, and what it keeps beside them), its path's state and its solver's storage.
std::int64_t unitBytes(std::int64_t trainCount, std::int64_t testCount, std::int64_t classCount,
                       std::int64_t features, std::int64_t cacheBytes);

// How a cross-validation runs: each unit's cache, the bytes of the largest unit, how many run at
// once within the memory budget (at least one), and whether the units' kernels come from one
// base matrix of all examples, made once (where it and every unit's whole kernel fit within the
// caches of the units at once) rather than from the features, unit by unit.
struct SearchPlan {
    std::int64_t cacheBytes = 0;
    std::int64_t unitBytes = 0;
    std::int64_t concurrentUnits = 1;
    bool sharedBase = false;
};
SearchPlan planSearch(const GridProblem& problem, const RunSettings& settings, std::int64_t unitCount);
// The bytes it holds at its peak, beyond its inputs and outputs: the base where there is one and
// the units at once.
std::int64_t searchPeakBytes(const GridProblem& problem, const SearchPlan& plan);
// The bytes of the decision values kept for cellCount cells (RunSettings::keepDecisionValues).
std::int64_t decisionValueBytes(const GridProblem& problem, std::int64_t cellCount);

// The final fit's cache and its peak bytes, as a unit's.
std::int64_t fitCacheBytes(const GridProblem& problem, const RunSettings& settings);
std::int64_t fitPeakBytes(const GridProblem& problem, const RunSettings& settings);

}  // namespace zelmor::engine

#endif  // ZELMOR_ENGINE_SEARCH_H
