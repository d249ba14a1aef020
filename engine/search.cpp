#include "search.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "kernel_cache.h"
#include "kernel_storage.h"
#include "parallel.h"

namespace zelmor::engine {

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool readStop(void* flag) {
    return static_cast<const std::atomic<bool>*>(flag)->load(std::memory_order_relaxed);
}

// A kernel setting p in words, for progress lines.
std::string settingName(const GridProblem& problem, std::int64_t p) {
    if (problem.settingNames.empty()) return "setting " + std::to_string(p + 1);
    return problem.settingNames[static_cast<std::size_t>(p)];
}

// The examples of each fold and those outside it, in increasing order.
struct FoldRows {
    std::vector<std::int64_t> train;
    std::vector<std::int64_t> test;
};

std::vector<FoldRows> foldRowsOf(const GridProblem& problem) {
    std::vector<FoldRows> folds(static_cast<std::size_t>(problem.foldCount));
    for (std::int64_t i = 0; i < problem.exampleCount; ++i) {
        const auto fold = static_cast<std::int64_t>(problem.folds[i]) - 1;
        for (std::int64_t f = 0; f < problem.foldCount; ++f) {
            (f == fold ? folds[static_cast<std::size_t>(f)].test : folds[static_cast<std::size_t>(f)].train).push_back(i);
        }
    }
    return folds;
}

// What is left of a cross-validation, weighed by what each unit is expected to cost: its betas
// times gamma^-slope, the slope fitted to the units done so far (cost against gamma, in logs)
// and taken as 1 before two kernel parameters are done. Small gammas cost the most, and the
// units run setting by setting from the first, so that the units done first are the dearest.
class RemainingWork {
public:
    RemainingWork(const GridProblem& problem, const std::vector<GridUnit>& units,
                  const std::vector<std::vector<std::int64_t>>& usedBetas)
        : units_(units), done_(units.size(), 0), seconds_(problem.kernelSettings.size(), 0.0),
          finished_(problem.kernelSettings.size(), 0) {
        for (const GridUnit& unit : units) {
            const KernelSetting& setting = problem.kernelSettings[static_cast<std::size_t>(unit.setting)];
            gammas_.push_back(setting.type == KernelType::Linear || problem.precomputed != nullptr ? 1.0 : setting.gamma);
            betas_.push_back(static_cast<double>(usedBetas[static_cast<std::size_t>(unit.setting)].size()));
        }
    }

    void finished(std::int64_t u, double seconds) {
        done_[static_cast<std::size_t>(u)] = 1;
        seconds_[static_cast<std::size_t>(units_[static_cast<std::size_t>(u)].setting)] += seconds;
        ++finished_[static_cast<std::size_t>(units_[static_cast<std::size_t>(u)].setting)];
    }

    // Seconds left, from the seconds the work has run.
    double left(double elapsed) const {
        const double slope = fittedSlope();
        double done = 0.0;
        double remaining = 0.0;
        for (std::size_t u = 0; u < units_.size(); ++u) {
            const double expected = betas_[u] * std::pow(gammas_[u], -slope);
            (done_[u] ? done : remaining) += expected;
        }
        return done > 0.0 ? elapsed * remaining / done : 0.0;
    }

private:
    // The least-squares slope of log(seconds per beta) against -log(gamma) over the settings
    // with units done, within [0, 2].
    double fittedSlope() const {
        double n = 0.0, sx = 0.0, sy = 0.0, sxx = 0.0, sxy = 0.0;
        for (std::size_t u = 0; u < units_.size(); ++u) {
            const auto p = static_cast<std::size_t>(units_[u].setting);
            if (!done_[u] || seconds_[p] <= 0.0) continue;
            const double x = -std::log(gammas_[u]);
            const double y = std::log(seconds_[p] / static_cast<double>(finished_[p]) / betas_[u]);
            n += 1.0;
            sx += x;
            sy += y;
            sxx += x * x;
            sxy += x * y;
        }
        const double spread = n * sxx - sx * sx;
        if (n < 2.0 || !(spread > 1e-9 * n * n)) return 1.0;
        return std::clamp((n * sxy - sx * sy) / spread, 0.0, 2.0);
    }

    const std::vector<GridUnit>& units_;
    std::vector<std::uint8_t> done_;
    std::vector<double> gammas_, betas_;
    std::vector<double> seconds_;
    std::vector<std::int64_t> finished_;
};

// A solve that runs long tells how far it is: first after this many seconds, then every so often.
constexpr double kProgressAfterSeconds = 5.0;
constexpr double kProgressEverySeconds = 10.0;

// Progress lines of one path (what: which unit or fit) into the control's report, from the
// thread that runs it.
PathReport progressReport(const RunControl& control, const std::string& what, const std::vector<double>& betas) {
    if (!control.report) return PathReport{};
    struct Timing {
        Clock::time_point started = Clock::now();
        double lastSeconds = 0.0;
    };
    auto timing = std::make_shared<Timing>();
    return [&control, what, betas, timing](const PathProgress& progress) {
        const double elapsed = secondsSince(timing->started);
        const double wait = timing->lastSeconds == 0.0 ? kProgressAfterSeconds : kProgressEverySeconds;
        if (elapsed - timing->lastSeconds < wait) return;
        timing->lastSeconds = elapsed;
        char line[256];
        std::snprintf(line, sizeof line, "%s: C = %g, %lld iterations, largest violation %.3g (to reach %.3g), %.0f s",
                      what.c_str(), 1.0 / betas[static_cast<std::size_t>(progress.betaIndex)],
                      static_cast<long long>(progress.iterations), progress.violation, progress.tolerance, elapsed);
        control.report(line);
    };
}

// How many test examples the dual variables predict correctly, in all and of each class (into
// classCorrect, k counts): the largest decision value wins, ties to the lower class. The
// decision values are decisionValues' sums, from the test entries of the columns of the examples
// whose dual rows are not zero. -1 when stopped.
std::int64_t countCorrect(KernelCache* kernel, const std::vector<double>& tau, std::int32_t k,
                          const std::vector<double>& testLabels, std::vector<double>* decision,
                          std::int64_t* classCorrect) {
    const std::int64_t trainCount = kernel->trainCount();
    const std::int64_t testCount = kernel->testCount();
    decision->assign(static_cast<std::size_t>(testCount * k), 0.0);
    double* values = decision->data();
    for (std::int64_t j = 0; j < trainCount; ++j) {
        const double* column = nullptr;
        for (std::int32_t m = 0; m < k; ++m) {
            const double weight = tau[static_cast<std::size_t>(j + m * trainCount)];
            if (weight == 0.0) continue;
            if (column == nullptr && (column = kernel->testColumn(j)) == nullptr) return -1;
            double* target = values + m * testCount;
            for (std::int64_t t = 0; t < testCount; ++t) target[t] = target[t] + column[t] * weight;
        }
    }
    std::int64_t correct = 0;
    std::fill(classCorrect, classCorrect + k, 0);
    for (std::int64_t t = 0; t < testCount; ++t) {
        std::int32_t best = 0;
        for (std::int32_t m = 1; m < k; ++m) {
            if (values[t + m * testCount] > values[t + best * testCount]) best = m;
        }
        const bool right = static_cast<double>(best + 1) == testLabels[static_cast<std::size_t>(t)];
        correct += right;
        classCorrect[best] += right;
    }
    return correct;
}

std::int64_t cellIndex(const GridResult& r, std::int64_t p, std::int64_t b, std::int64_t f) {
    return p + r.settingCount * (b + r.betaCount * f);
}

bool isTried(const GridProblem& problem, std::int64_t p, std::int64_t b) {
    return problem.tried.empty() ||
           problem.tried[static_cast<std::size_t>(p + static_cast<std::int64_t>(problem.kernelSettings.size()) * b)] != 0;
}

// A fold's decision values (testCount x k) into the rows of its test examples of an n x k cell.
void keepDecisionValues(const std::vector<double>& decision, const std::vector<std::int64_t>& testRows,
                        std::int64_t n, std::int32_t k, std::vector<double>* cell) {
    const auto testCount = static_cast<std::int64_t>(testRows.size());
    for (std::int32_t m = 0; m < k; ++m) {
        for (std::int64_t t = 0; t < testCount; ++t) {
            (*cell)[static_cast<std::size_t>(testRows[static_cast<std::size_t>(t)] + m * n)] =
                decision[static_cast<std::size_t>(t + m * testCount)];
        }
    }
}

// What a cell scores by, summed over its folds: its correct predictions (Accuracy), or those of
// each class (BalancedAccuracy); empty when a fold did not try it.
std::vector<std::int64_t> cellTotals(const GridResult& result, std::int64_t p, std::int64_t b, Scoring scoring) {
    const bool byClass = scoring == Scoring::BalancedAccuracy;
    const std::int64_t cells = result.settingCount * result.betaCount * result.foldCount;
    std::vector<std::int64_t> totals(static_cast<std::size_t>(byClass ? result.classCount : 1), 0);
    for (std::int64_t f = 0; f < result.foldCount; ++f) {
        const std::int64_t cell = cellIndex(result, p, b, f);
        if (result.correct[static_cast<std::size_t>(cell)] < 0) return {};
        for (std::size_t c = 0; c < totals.size(); ++c) {
            const std::int64_t entry = byClass ? cell + cells * static_cast<std::int64_t>(c) : cell;
            totals[c] += (byClass ? result.classCorrect : result.correct)[static_cast<std::size_t>(entry)];
        }
    }
    return totals;
}

}  // namespace

StopRequest RunControl::stopRequest() const {
    if (stop == nullptr) return StopRequest{};
    return StopRequest{readStop, const_cast<std::atomic<bool>*>(stop)};
}

std::int64_t defaultCacheBytes(std::int64_t memoryBudget, std::int64_t unitsAtOnce) {
    const std::int64_t share = memoryBudget / (2 * std::max<std::int64_t>(unitsAtOnce, 1));
    return std::max<std::int64_t>(kLeastCacheBytes, std::min(kDefaultCacheBytes, share));
}

std::int64_t unitBytes(std::int64_t trainCount, std::int64_t testCount, std::int64_t classCount,
                       std::int64_t features, std::int64_t cacheBytes) {
    // The cache: its columns, as many as its budget holds (one at least, all at most), and what
    // it keeps beside them.
    const std::int64_t column = KernelCache::columnBytes(trainCount, testCount);
    const std::int64_t columns = std::clamp<std::int64_t>(cacheBytes / column, 1, std::max<std::int64_t>(trainCount, 1));
    const std::int64_t cache = columns * column + KernelCache::overheadBytes(trainCount, testCount, features);
    // The path's dual variables and gradient, the solve's result (twice over while it is handed
    // on), the examples of a shrunk solve and its diagonal, and the test decisions.
    const std::int64_t path = 8 * (5 * trainCount * classCount + 2 * trainCount + testCount * classCount);
    return cache + workingStorageBytes(trainCount, classCount) + path + faceStepBytes(trainCount, classCount);
}

namespace {

// The features a unit's cache packs: none for a precomputed kernel or sparse features.
std::int64_t featureCountOf(const GridProblem& problem) {
    return problem.precomputed != nullptr || problem.features.isSparse() ? 0 : problem.features.featureCount;
}

// The bytes of the largest unit over the folds, and the columns of the largest fold's kernel.
std::int64_t largestUnitBytes(const GridProblem& problem, const std::vector<FoldRows>& folds,
                              std::int64_t cacheBytes) {
    std::int64_t largest = 0;
    for (const FoldRows& fold : folds) {
        largest = std::max(largest, unitBytes(static_cast<std::int64_t>(fold.train.size()),
                                              static_cast<std::int64_t>(fold.test.size()), problem.classCount,
                                              featureCountOf(problem), cacheBytes));
    }
    return largest;
}

std::int64_t largestFoldKernelBytes(const std::vector<FoldRows>& folds) {
    std::int64_t largest = 0;
    for (const FoldRows& fold : folds) {
        const auto train = static_cast<std::int64_t>(fold.train.size());
        largest = std::max(largest, train * KernelCache::columnBytes(train, static_cast<std::int64_t>(fold.test.size())));
    }
    return largest;
}

}  // namespace

SearchPlan planSearch(const GridProblem& problem, const RunSettings& settings, std::int64_t unitCount) {
    SearchPlan plan;
    const std::int64_t n = problem.exampleCount;
    const std::int64_t atMost = std::max<std::int64_t>(1, std::min<std::int64_t>(settings.threadCount, unitCount));
    plan.cacheBytes = settings.cacheBytes > 0 ? settings.cacheBytes : defaultCacheBytes(settings.memoryBudget, atMost);
    const std::vector<FoldRows> folds = problem.foldCount > 0 ? foldRowsOf(problem) : std::vector<FoldRows>{};
    plan.unitBytes = largestUnitBytes(problem, folds, plan.cacheBytes);
    plan.concurrentUnits = std::clamp<std::int64_t>(settings.memoryBudget / std::max<std::int64_t>(plan.unitBytes, 1),
                                                    1, atMost);
    // One base matrix of all examples serves every setting, each unit's kernel a function of it:
    // where it fits beside every unit's whole kernel within the caches of the units at once.
    const std::int64_t whole = largestFoldKernelBytes(folds);
    const double base = 8.0 * static_cast<double>(n) * static_cast<double>(n);
    plan.sharedBase = problem.precomputed == nullptr && whole <= plan.cacheBytes &&
                      base + static_cast<double>(plan.concurrentUnits * whole) <=
                          static_cast<double>(plan.concurrentUnits * plan.cacheBytes);
    return plan;
}

std::int64_t decisionValueBytes(const GridProblem& problem, std::int64_t cellCount) {
    return 8 * static_cast<std::int64_t>(problem.exampleCount) * problem.classCount * cellCount;
}

std::int64_t searchPeakBytes(const GridProblem& problem, const SearchPlan& plan) {
    const std::int64_t n = problem.exampleCount;
    return (plan.sharedBase ? 8 * n * n : 0) + plan.concurrentUnits * plan.unitBytes;
}

std::vector<GridUnit> gridUnits(const GridProblem& problem) {
    const auto settingCount = static_cast<std::int64_t>(problem.kernelSettings.size());
    const auto betaCount = static_cast<std::int64_t>(problem.betas.size());
    std::vector<GridUnit> units;
    for (std::int64_t p = 0; p < settingCount; ++p) {
        bool anyTried = false;
        for (std::int64_t b = 0; b < betaCount; ++b) anyTried = anyTried || isTried(problem, p, b);
        if (!anyTried) continue;
        for (std::int64_t f = 0; f < problem.foldCount; ++f) units.push_back(GridUnit{p, f});
    }
    return units;
}

GridResult crossValidate(const GridProblem& problem, const RunSettings& settings, const RunControl& control) {
    return crossValidateUnits(problem, gridUnits(problem), settings, control);
}

namespace {

// The betas each setting tries, in the grid's order.
std::vector<std::vector<std::int64_t>> usedBetasOf(const GridProblem& problem) {
    const auto settingCount = static_cast<std::int64_t>(problem.kernelSettings.size());
    const auto betaCount = static_cast<std::int64_t>(problem.betas.size());
    std::vector<std::vector<std::int64_t>> usedBetas(static_cast<std::size_t>(settingCount));
    for (std::int64_t p = 0; p < settingCount; ++p) {
        for (std::int64_t b = 0; b < betaCount; ++b) {
            if (isTried(problem, p, b)) usedBetas[static_cast<std::size_t>(p)].push_back(b);
        }
    }
    return usedBetas;
}

// A result of the problem's shape with no cell tried, and the examples of each fold and class.
GridResult untriedResult(const GridProblem& problem, const std::vector<FoldRows>& folds) {
    GridResult result;
    result.settingCount = static_cast<std::int64_t>(problem.kernelSettings.size());
    result.betaCount = static_cast<std::int64_t>(problem.betas.size());
    result.foldCount = problem.foldCount;
    const auto cells = static_cast<std::size_t>(result.settingCount * result.betaCount * result.foldCount);
    result.correct.assign(cells, -1);
    result.iterations.assign(cells, 0);
    result.restarts.assign(cells, 0);
    result.converged.assign(cells, 0);
    result.seconds.assign(cells, 0.0);
    for (const FoldRows& fold : folds) result.foldSizes.push_back(static_cast<std::int64_t>(fold.test.size()));
    result.classCount = problem.classCount;
    result.classCorrect.assign(cells * static_cast<std::size_t>(problem.classCount), -1);
    result.classSizes = classSizesOf(problem);
    return result;
}

// How many of the units each setting has.
std::vector<std::int64_t> unitsOfEachSetting(const GridProblem& problem, const std::vector<GridUnit>& units,
                                             const std::vector<std::vector<std::int64_t>>& usedBetas) {
    const auto settingCount = static_cast<std::int64_t>(problem.kernelSettings.size());
    const std::int64_t foldCount = problem.foldCount;
    std::vector<std::int64_t> unitsOfSetting(static_cast<std::size_t>(settingCount), 0);
    std::vector<std::uint8_t> seen(static_cast<std::size_t>(settingCount * foldCount), 0);
    for (const GridUnit& unit : units) {
        // A unit outside the grid would write outside the result; one given twice, twice into it.
        if (unit.setting < 0 || unit.setting >= settingCount || unit.fold < 0 || unit.fold >= foldCount ||
            usedBetas[static_cast<std::size_t>(unit.setting)].empty() ||
            seen[static_cast<std::size_t>(unit.setting * foldCount + unit.fold)] != 0) {
            throw std::invalid_argument("a unit is not one of the grid's, or is given twice");
        }
        seen[static_cast<std::size_t>(unit.setting * foldCount + unit.fold)] = 1;
        ++unitsOfSetting[static_cast<std::size_t>(unit.setting)];
    }
    return unitsOfSetting;
}

// NaN decision values for every cell a unit tries: every unit of a cell writes the rows of its
// own fold.
void prepareDecisionValues(const GridProblem& problem, const std::vector<GridUnit>& units,
                           const std::vector<std::vector<std::int64_t>>& usedBetas, GridResult* result) {
    const std::int64_t n = problem.exampleCount;
    result->decisionValues.resize(static_cast<std::size_t>(result->settingCount * result->betaCount));
    for (const GridUnit& unit : units) {
        for (std::int64_t b : usedBetas[static_cast<std::size_t>(unit.setting)]) {
            std::vector<double>& values =
                result->decisionValues[static_cast<std::size_t>(unit.setting + result->settingCount * b)];
            if (values.empty()) {
                values.assign(static_cast<std::size_t>(n * problem.classCount),
                              std::numeric_limits<double>::quiet_NaN());
            }
        }
    }
}

// Where the units' kernels come from: every setting's kernel is a function of one base matrix
// of all examples (squared distances or products), made once into base where the plan shares
// it; otherwise each unit makes its columns from the features.
KernelSource unitKernelSource(const GridProblem& problem, const SearchPlan& plan, const RunSettings& settings,
                              const RunControl& control, KernelStorage* base) {
    const std::int64_t n = problem.exampleCount;
    KernelSource source;
    if (problem.precomputed != nullptr) {
        source = givenKernel(problem.precomputed, n);
    } else if (plan.sharedBase) {
        *base = kernelStorage(n * n);
        if (!baseMatrix(baseKindOf(problem.kernelSettings.front().type), problem.features, nullptr, base->get(), n,
                        settings.threadCount, control.stop)) {
            throw Stopped{};
        }
        source.kind = KernelSource::Kind::Base;
        source.matrix = base->get();
        source.ld = n;
    } else {
        source.kind = KernelSource::Kind::Features;
        source.features = problem.features;
    }
    return source;
}

// What every unit of one call reads, and the result each writes its own cells of.
struct UnitWork {
    const GridProblem& problem;
    const std::vector<GridUnit>& units;
    const std::vector<FoldRows>& folds;
    const std::vector<std::vector<std::int64_t>>& usedBetas;
    const KernelSource& source;
    const SearchPlan& plan;
    const RunSettings& settings;
    const RunControl& control;
    StopRequest stop;
    GridResult* result;
};

// What one unit found, per beta it tries (usedBetas' order): the correct predictions in all and
// of each class (k per beta), the path's steps; and where its time went.
struct UnitOutcome {
    std::vector<std::int64_t> correct;
    std::vector<std::int64_t> classCorrect;
    std::vector<PathStep> steps;
    double startSeconds = 0.0;
    double scoringSeconds = 0.0;
    CacheCounts made;
    Clock::time_point started;
};

// The values of the given rows.
std::vector<double> valuesAt(const double* values, const std::vector<std::int64_t>& rows) {
    std::vector<double> picked;
    for (std::int64_t i : rows) picked.push_back(values[i]);
    return picked;
}

// A unit's path on its fold's training examples, each beta's dual variables scored on its test
// examples (and their decision values kept where asked). False when stopped.
bool solveUnit(const UnitWork& work, std::int64_t u, UnitOutcome* outcome) {
    const GridProblem& problem = work.problem;
    outcome->started = Clock::now();
    const std::int64_t p = work.units[static_cast<std::size_t>(u)].setting;
    const std::int64_t f = work.units[static_cast<std::size_t>(u)].fold;
    const std::int64_t settingCount = work.result->settingCount;
    const std::int32_t k = problem.classCount;
    const KernelSetting& setting = problem.kernelSettings[static_cast<std::size_t>(p)];
    const FoldRows& rows = work.folds[static_cast<std::size_t>(f)];
    KernelSource unitSource = work.source;
    unitSource.setting = setting;
    KernelCache kernel(unitSource, rows.train, rows.test, work.plan.cacheBytes, nullptr, work.stop);
    outcome->startSeconds = secondsSince(outcome->started);
    const std::vector<double> trainLabels = valuesAt(problem.labels, rows.train);
    const std::vector<double> testLabels = valuesAt(problem.labels, rows.test);
    const std::vector<double> trainWeights =
        problem.weights != nullptr ? valuesAt(problem.weights, rows.train) : std::vector<double>{};

    const std::vector<std::int64_t>& used = work.usedBetas[static_cast<std::size_t>(p)];
    std::vector<double> betas;
    for (std::int64_t b : used) betas.push_back(problem.betas[static_cast<std::size_t>(b)]);
    PathSettings pathSettings = work.settings.path;
    char what[128];
    const std::string which = settingCount > 1 ? settingName(problem, p) + ", " : std::string();
    std::snprintf(what, sizeof what, "%sfold %lld of %lld", which.c_str(), static_cast<long long>(f + 1),
                  static_cast<long long>(problem.foldCount));
    pathSettings.report = progressReport(work.control, what, betas);
    PathProblem path;
    path.kernel = &kernel;
    path.labels = trainLabels.data();
    path.exampleCount = static_cast<std::int32_t>(rows.train.size());
    path.classCount = k;
    path.weights = trainWeights.empty() ? nullptr : trainWeights.data();
    std::vector<double> decision;
    outcome->correct.assign(used.size(), -1);
    outcome->classCorrect.assign(used.size() * static_cast<std::size_t>(k), -1);
    outcome->steps = solvePath(
        path, betas.data(), static_cast<std::int64_t>(betas.size()), pathSettings,
        [&](std::int64_t b, const std::vector<double>& tau) {
            const auto scoringStarted = Clock::now();
            const auto i = static_cast<std::size_t>(b);
            outcome->correct[i] =
                countCorrect(&kernel, tau, k, testLabels, &decision, &outcome->classCorrect[i * k]);
            if (work.settings.keepDecisionValues && outcome->correct[i] >= 0) {
                const auto cell = static_cast<std::size_t>(p + settingCount * used[i]);
                keepDecisionValues(decision, rows.test, problem.exampleCount, k, &work.result->decisionValues[cell]);
            }
            outcome->scoringSeconds += secondsSince(scoringStarted);
        },
        work.stop);
    outcome->made = kernel.counts();
    return outcome->steps.size() >= used.size() && !work.control.stopped();
}

// A unit's cells of the result: its own, which no other unit writes.
void recordCells(const UnitWork& work, const GridUnit& unit, const UnitOutcome& outcome) {
    GridResult& result = *work.result;
    const std::vector<std::int64_t>& used = work.usedBetas[static_cast<std::size_t>(unit.setting)];
    const auto cells = static_cast<std::size_t>(result.settingCount * result.betaCount * result.foldCount);
    const std::int32_t k = work.problem.classCount;
    for (std::size_t i = 0; i < used.size(); ++i) {
        const auto cell = static_cast<std::size_t>(cellIndex(result, unit.setting, used[i], unit.fold));
        result.correct[cell] = outcome.correct[i];
        for (std::int32_t c = 0; c < k; ++c) result.classCorrect[cell + cells * c] = outcome.classCorrect[i * k + c];
        result.iterations[cell] = outcome.steps[i].iterations;
        result.restarts[cell] = outcome.steps[i].restarts;
        result.converged[cell] = outcome.steps[i].converged ? 1 : 0;
        result.seconds[cell] = outcome.steps[i].seconds;
    }
}

// The units' times added up and their progress lines, one unit at a time whatever thread
// finished it: a line per unit (RunSettings::reportFolds), or per setting once its last fold is
// done, with its best accuracy over all folds where this call ran them all.
class SearchProgress {
public:
    SearchProgress(const UnitWork& work, const std::vector<std::int64_t>& unitsOfSetting, Clock::time_point started)
        : work_(work), unitsOfSetting_(unitsOfSetting), started_(started),
          remaining_(work.problem, work.units, work.usedBetas), foldsDone_(unitsOfSetting.size(), 0),
          settingsInCall_(std::count_if(unitsOfSetting.begin(), unitsOfSetting.end(),
                                        [](std::int64_t count) { return count > 0; })) {}

    void unitDone(std::int64_t u, const UnitOutcome& outcome) {
        GridResult& result = *work_.result;
        const GridUnit& unit = work_.units[static_cast<std::size_t>(u)];
        // The columns are made within the solves and the scoring: their time is the kernels'.
        std::lock_guard<std::mutex> hold(lock_);
        result.kernelSeconds += outcome.startSeconds + outcome.made.trainSeconds + outcome.made.testSeconds;
        result.scoringSeconds += outcome.scoringSeconds - outcome.made.testSeconds;
        for (const PathStep& step : outcome.steps) result.solveSeconds += step.seconds;
        result.solveSeconds -= outcome.made.trainSeconds;
        remaining_.finished(u, secondsSince(outcome.started));
        const double elapsed = secondsSince(started_);
        const double left = remaining_.left(elapsed);
        const RunControl& control = work_.control;
        if (work_.settings.reportFolds && control.report) reportFold(unit, elapsed, left);
        const auto p = static_cast<std::size_t>(unit.setting);
        if (++foldsDone_[p] < unitsOfSetting_[p]) return;
        ++settingsDone_;
        if (work_.settings.reportFolds || !control.report || unitsOfSetting_[p] < work_.problem.foldCount) return;
        reportSetting(unit.setting, elapsed, left);
    }

private:
    void reportFold(const GridUnit& unit, double elapsed, double left) const {
        const GridProblem& problem = work_.problem;
        const std::string which =
            work_.result->settingCount > 1 ? settingName(problem, unit.setting) + ", " : std::string();
        char line[256];
        std::snprintf(line, sizeof line, "%sfold %lld of %lld done, %.1f s, about %.0f s left", which.c_str(),
                      static_cast<long long>(unit.fold + 1), static_cast<long long>(problem.foldCount), elapsed,
                      left);
        work_.control.report(line);
    }

    // The best accuracy over all folds: the first beta of the most correct predictions.
    void reportSetting(std::int64_t p, double elapsed, double left) const {
        const GridProblem& problem = work_.problem;
        std::int64_t bestCorrect = -1;
        std::int64_t bestBeta = 0;
        for (std::int64_t b : work_.usedBetas[static_cast<std::size_t>(p)]) {
            const std::vector<std::int64_t> total = cellTotals(*work_.result, p, b, Scoring::Accuracy);
            if (!total.empty() && total[0] > bestCorrect) {
                bestCorrect = total[0];
                bestBeta = b;
            }
        }
        char line[256];
        std::snprintf(line, sizeof line,
                      "%s (%lld of %lld): best %lld-fold accuracy %.1f%% at C = %g; %.1f s, about %.0f s left",
                      settingName(problem, p).c_str(),
                      static_cast<long long>(settingsDone_), static_cast<long long>(settingsInCall_),
                      static_cast<long long>(problem.foldCount),
                      100.0 * static_cast<double>(bestCorrect) / static_cast<double>(problem.exampleCount),
                      1.0 / problem.betas[static_cast<std::size_t>(bestBeta)], elapsed, left);
        work_.control.report(line);
    }

    const UnitWork& work_;
    const std::vector<std::int64_t>& unitsOfSetting_;
    const Clock::time_point started_;
    std::mutex lock_;
    RemainingWork remaining_;
    std::vector<std::int64_t> foldsDone_;
    const std::int64_t settingsInCall_;
    std::int64_t settingsDone_ = 0;
};

}  // namespace

GridResult crossValidateUnits(const GridProblem& problem, const std::vector<GridUnit>& units,
                              const RunSettings& settings, const RunControl& control) {
    const auto started = Clock::now();
    if (problem.kernelSettings.empty()) throw std::invalid_argument("the grid has no kernel setting");
    if (!problem.settingNames.empty() && problem.settingNames.size() != problem.kernelSettings.size()) {
        throw std::invalid_argument("the grid names some of its kernel settings only");
    }
    for (const KernelSetting& setting : problem.kernelSettings) {
        if (baseKindOf(setting.type) != baseKindOf(problem.kernelSettings.front().type)) {
            throw std::invalid_argument("the grid mixes kernels of distances and of products");
        }
    }
    const std::vector<FoldRows> folds = foldRowsOf(problem);
    GridResult result = untriedResult(problem, folds);
    const std::vector<std::vector<std::int64_t>> usedBetas = usedBetasOf(problem);
    const std::vector<std::int64_t> unitsOfSetting = unitsOfEachSetting(problem, units, usedBetas);
    const auto unitCount = static_cast<std::int64_t>(units.size());
    if (unitCount == 0) return result;

    const SearchPlan plan = planSearch(problem, settings, unitCount);
    result.concurrentUnits = plan.concurrentUnits;
    if (settings.keepDecisionValues) prepareDecisionValues(problem, units, usedBetas, &result);
    KernelStorage base;
    const auto baseStarted = Clock::now();
    const KernelSource source = unitKernelSource(problem, plan, settings, control, &base);
    result.baseSeconds = secondsSince(baseStarted) * static_cast<double>(settings.threadCount);

    const UnitWork work{problem, units, folds, usedBetas, source, plan, settings, control, control.stopRequest(), &result};
    SearchProgress progress(work, unitsOfSetting, started);
    forEachIndex(unitCount, static_cast<int>(plan.concurrentUnits), [&](std::int64_t u) {
        if (control.stopped()) return;
        UnitOutcome outcome;
        if (!solveUnit(work, u, &outcome)) return;
        recordCells(work, units[static_cast<std::size_t>(u)], outcome);
        progress.unitDone(u, outcome);
    });
    if (control.stopped()) throw Stopped{};
    return result;
}

std::vector<std::int64_t> classSizesOf(const GridProblem& problem) {
    std::vector<std::int64_t> sizes(static_cast<std::size_t>(problem.classCount), 0);
    for (std::int64_t i = 0; i < problem.exampleCount; ++i) ++sizes[static_cast<std::size_t>(problem.labels[i]) - 1];
    return sizes;
}

GridChoice chooseCell(const GridResult& result, const std::vector<double>& betas, Scoring scoring) {
    GridChoice choice;
    std::vector<std::int64_t> best;
    for (std::int64_t p = 0; p < result.settingCount; ++p) {
        for (std::int64_t b = 0; b < result.betaCount; ++b) {
            const std::vector<std::int64_t> totals = cellTotals(result, p, b, scoring);
            if (totals.empty()) continue;
            int order = 1;
            if (choice.setting >= 0) {
                order = scoring == Scoring::BalancedAccuracy
                            ? compareBalancedAccuracy(totals.data(), best.data(), result.classSizes.data(),
                                                      static_cast<std::int32_t>(result.classCount))
                            : (totals[0] > best[0]) - (totals[0] < best[0]);
            }
            const bool better = order > 0 ||
                                (order == 0 && (betas[static_cast<std::size_t>(b)] >
                                                    betas[static_cast<std::size_t>(choice.beta)] ||
                                                (betas[static_cast<std::size_t>(b)] ==
                                                     betas[static_cast<std::size_t>(choice.beta)] &&
                                                 p < choice.setting)));
            if (better) {
                best = totals;
                choice = GridChoice{p, b};
            }
        }
    }
    return choice;
}

Fit fitModel(const GridProblem& problem, std::int64_t setting, double beta, const RunSettings& settings,
             const RunControl& control) {
    const std::int64_t n = problem.exampleCount;
    Fit fit;
    const auto started = Clock::now();
    KernelSource source;
    if (problem.precomputed != nullptr) {
        source = givenKernel(problem.precomputed, n);
    } else {
        source.features = problem.features;
        source.setting = problem.kernelSettings[static_cast<std::size_t>(setting)];
    }
    // One solve: every thread shares the making of its columns and its passes, but no more threads
    // than cores, which would only wait for each other.
    WorkerPool workers(std::min(settings.threadCount, defaultThreadCount()));
    const StopRequest stop = control.stopRequest();
    KernelCache kernel(source, everyExample(n), {}, fitCacheBytes(problem, settings), &workers, stop);
    PathProblem path;
    path.kernel = &kernel;
    path.labels = problem.labels;
    path.exampleCount = problem.exampleCount;
    path.classCount = problem.classCount;
    path.weights = problem.weights;
    SolveWorkers solveWorkers = workers.solveWorkers();
    solveWorkers.leastBlocks = settings.leastBlocksPerPiece;
    PathSettings pathSettings = settings.path;
    pathSettings.workers = &solveWorkers;
    pathSettings.report = progressReport(control, "fit on all " + std::to_string(n) + " examples", {beta});
    const std::vector<PathStep> steps =
        solvePath(path, &beta, 1, pathSettings, [&](std::int64_t, const std::vector<double>& tau) { fit.tau = tau; },
                  stop);
    if (steps.empty()) throw Stopped{};
    fit.step = steps.front();
    fit.kernelSeconds = kernel.counts().trainSeconds + secondsSince(started) - fit.step.seconds;
    fit.step.seconds -= kernel.counts().trainSeconds;
    return fit;
}

std::int64_t fitCacheBytes(const GridProblem& problem, const RunSettings& settings) {
    (void)problem;
    return settings.cacheBytes > 0 ? settings.cacheBytes : defaultCacheBytes(settings.memoryBudget, 1);
}

std::int64_t fitPeakBytes(const GridProblem& problem, const RunSettings& settings) {
    const std::int64_t n = problem.exampleCount;
    return unitBytes(n, 0, problem.classCount, featureCountOf(problem), fitCacheBytes(problem, settings));
}

}  // namespace zelmor::engine
