// zelmor_engine: the helpers' way into the engine (kernels, paths over beta, cross-validation on
// threads, the whole search of zelmor_train). Called by the zelmor_* helpers, which check and
// convert the user's inputs first; it checks again what would make it read out of bounds.
// Features (A, B, XTEST, XTRAIN, X) may be sparse: they are read as lists of each example's
// non-zeros, and features of both kinds in one call both as such lists.
//
//   K = zelmor_engine('kernel', A, B, TYPE, GAMMA, DEGREE, OFFSET, THREADS)      B = [] for A with itself
//   D = zelmor_engine('decision', KTEST, TAU, THREADS)
//   D = zelmor_engine('decision', XTEST, XTRAIN, TYPE, GAMMA, DEGREE, OFFSET, TAU, THREADS)
//   [TAUS, ITERATIONS, SECONDS, RESTARTS, CONVERGED, TOLERANCE] =
//       zelmor_engine('path', G, LABELS, BETAS, K, MAXRESTARTS, CACHESIZE)
//   R = zelmor_engine('crossval', G, LABELS, BETAS, FOLDS, K, MAXRESTARTS, THREADS, VERBOSE, CACHESIZE)
//   R = zelmor_engine('train', X, LABELS, K, OPTIONS)
//   G = zelmor_engine('units', X, LABELS, K, OPTIONS, UNITS)        some units of the search
//   R = zelmor_engine('fit', X, LABELS, K, OPTIONS, CORRECT)        choice and fit from given counts
//   B = zelmor_engine('memory', X, LABELS, K, OPTIONS, UNITS)       peak bytes of those units ([]: the fit)
//   T = zelmor_engine('calibrate', DECISION, LABELS, K, BETA)       temperature from out-of-fold values
//   P = zelmor_engine('probabilities', SCORES, T)                   softmax of SCORES / T
//   H = zelmor_engine('checksum', A, B, ...)
//
// The work runs on threads of the engine; this thread alone talks to the host: it asks for
// Ctrl-C every few milliseconds, stops the work when one is pending, and prints the progress
// lines the work queues. No thread outlives the call.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "calibration.h"
#include "finite_kernel.h"
#include "kernel_cache.h"
#include "kernels.h"
#include "mex_host.h"
#include "parallel.h"
#include "path.h"
#include "predict.h"
#include "search.h"

namespace {

using namespace zelmor;
using namespace zelmor::mexhost;
using namespace zelmor::engine;
using Clock = std::chrono::steady_clock;

// How often this thread asks the host for Ctrl-C while the engine works.
constexpr auto kPollInterval = std::chrono::milliseconds(10);
// With VERBOSE 'auto', progress lines appear once the work has run this long.
constexpr double kQuietSeconds = 2.0;

enum class Verbosity { None = 0, All = 1, AfterQuietSpell = 2 };

std::string textOf(const mxArray* array, const char* what) {
    if (!mxIsChar(array) || mxGetNumberOfElements(array) > 63) {
        throw GatewayError("zelmor:badInput", formatMessage("%s must be a short text", what));
    }
    char buffer[64] = {};
    mxGetString(array, buffer, sizeof buffer);
    return buffer;
}

double scalarOf(const mxArray* array, const char* what) {
    requireRealDoubleMatrix(array, what);
    return requireFiniteScalar(array, what, "zelmor:badInput");
}

std::int64_t countOf(const mxArray* array, const char* what, double least) {
    const double value = scalarOf(array, what);
    if (value < least || std::trunc(value) != value || value > 1e15) {
        throw GatewayError("zelmor:badInput", formatMessage("%s must be an integer of at least %g", what, least));
    }
    return static_cast<std::int64_t>(value);
}

std::vector<double> finiteValues(const mxArray* array, const char* what, const char* id) {
    requireRealDoubleMatrix(array, what);
    requireFiniteEntries(array, what, id);
    const double* data = realData(array);
    return std::vector<double>(data, data + mxGetNumberOfElements(array));
}

int threadsOf(const mxArray* array) {
    const std::int64_t threads = countOf(array, "the thread count", 0);
    return threads == 0 ? defaultThreadCount() : static_cast<int>(std::min<std::int64_t>(threads, 1024));
}

// CACHESIZE: megabytes of kernel columns per solve (2^20 bytes each), 0 for the default.
std::int64_t cacheBytesOf(const mxArray* array) {
    const double megabytes = scalarOf(array, "the cache size");
    if (!(megabytes >= 0) || megabytes > 1e9) {
        throw GatewayError("zelmor:badInput", "the cache size must be 0 (the default) or a positive number of megabytes");
    }
    return static_cast<std::int64_t>(std::ceil(megabytes * 1048576.0));
}

Verbosity verbosityOf(const mxArray* array) {
    const std::int64_t code = countOf(array, "the verbosity", 0);
    if (code > 2) throw GatewayError("zelmor:badInput", "the verbosity must be 0, 1 or 2");
    return static_cast<Verbosity>(code);
}

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

// A square, finite kernel with no zero on its diagonal, n labels in 1..k, and k.
struct CheckedKernel {
    const double* kernel = nullptr;
    std::int32_t n = 0;
    std::int32_t k = 0;
    const double* labels = nullptr;
};

std::int32_t classCountOf(const mxArray* array) {
    requireRealDoubleMatrix(array, "class count k");
    const double k = requireClassCount(array);
    if (k > 1e6) throw GatewayError("zelmor:badClassCount", formatMessage("class count k = %g is too large", k));
    return static_cast<std::int32_t>(k);
}

CheckedKernel checkedKernel(const mxArray* kernel, const mxArray* labels, const mxArray* classCount) {
    requireRealDoubleMatrix(kernel, "kernel");
    requireRealDoubleMatrix(labels, "labels");
    CheckedKernel checked;
    checked.n = requireSquareKernel(kernel);
    checked.k = classCountOf(classCount);
    requireFiniteEntries(kernel, "kernel", "zelmor:kernelNotFinite");
    requireNonZeroDiagonal(kernel, checked.n);
    requireLabels(labels, checked.n, checked.k);
    checked.kernel = realData(kernel);
    checked.labels = realData(labels);
    return checked;
}

std::vector<double> betasOf(const mxArray* array) {
    std::vector<double> betas = finiteValues(array, "betas", "zelmor:badBeta");
    if (betas.empty()) throw GatewayError("zelmor:badBeta", "betas must hold at least one value");
    return betas;
}

// n fold numbers 1..F, each fold used; returns F.
std::int32_t checkFolds(const std::vector<double>& folds, std::int32_t n) {
    if (static_cast<std::int64_t>(folds.size()) != n) {
        throw GatewayError("zelmor:badFolds", formatMessage("folds must hold %d fold numbers", n));
    }
    double largest = 0;
    for (double f : folds) {
        if (f < 1 || std::trunc(f) != f || f > n) {
            throw GatewayError("zelmor:badFolds", "fold numbers must be integers from 1 to the example count");
        }
        largest = std::max(largest, f);
    }
    std::vector<char> used(static_cast<std::size_t>(largest), 0);
    for (double f : folds) used[static_cast<std::size_t>(f) - 1] = 1;
    if (largest < 2 || std::find(used.begin(), used.end(), 0) != used.end()) {
        throw GatewayError("zelmor:badFolds", "fold numbers must run over 1..F with F >= 2, each used");
    }
    return static_cast<std::int32_t>(largest);
}

KernelType kernelTypeOf(const std::string& name) {
    if (name == "rbf") return KernelType::Rbf;
    if (name == "linear") return KernelType::Linear;
    if (name == "poly") return KernelType::Poly;
    throw GatewayError("zelmor:badKernelType", "the kernel type must be 'rbf', 'linear' or 'poly'");
}

KernelSetting settingOf(KernelType type, double gamma, double degree, double offset) {
    const bool usesGamma = type != KernelType::Linear;
    if (usesGamma && !(gamma > 0)) {
        throw GatewayError("zelmor:badKernelParameter", formatMessage("gamma must be positive (got %g)", gamma));
    }
    if (type == KernelType::Poly && (degree < 1 || std::trunc(degree) != degree || degree > 1e9 || offset < 0)) {
        throw GatewayError("zelmor:badKernelParameter",
                           "the degree must be a positive integer and the offset not negative");
    }
    KernelSetting setting;
    setting.type = type;
    setting.gamma = gamma;
    setting.degree = type == KernelType::Poly ? static_cast<std::int32_t>(degree) : 1;
    setting.offset = offset;
    return setting;
}

Examples examplesOf(const mxArray* array, const char* what) {
    requireRealDoubleMatrix(array, what);
    requireFiniteEntries(array, what, "zelmor:badExamples");
    return Examples{realData(array), static_cast<std::int64_t>(mxGetM(array)),
                    static_cast<std::int64_t>(mxGetN(array))};
}

// Examples that may be sparse: a dense array read in place, or, when it is sparse or asSparse
// asks (its partner is sparse), its non-zeros example by example, held in rows.
Examples examplesOf(const mxArray* array, const char* what, bool asSparse, CompressedRows* rows) {
    const bool sparse = mxIsSparse(array) && mxIsDouble(array) && !mxIsComplex(array);
    if (!sparse) {
        const Examples dense = examplesOf(array, what);
        if (!asSparse) return dense;
    }
    const auto count = static_cast<std::int64_t>(mxGetM(array));
    const auto features = static_cast<std::int64_t>(mxGetN(array));
    // Sparse features are numbered in 32 bits.
    if (features > std::numeric_limits<std::int32_t>::max()) {
        throw GatewayError("zelmor:badExamples", formatMessage("%s has %lld columns; sparse examples may have at most "
                                                               "2147483647 features", what,
                                                               static_cast<long long>(features)));
    }
    *rows = compressedRowsOf(array);
    if (sparse) requireFiniteRows(*rows, what, "zelmor:badExamples");
    return Examples{SparseFeatures{rows->rowStarts.data(), rows->indices.data(), rows->values.data()}, count, features};
}

// The bytes of examples held sparse.
std::int64_t heldBytes(const CompressedRows& rows) {
    return static_cast<std::int64_t>(8 * rows.rowStarts.size() + 12 * rows.values.size());
}

// Runs work(control) on an engine thread while this one polls the host; see the top of the file.
template <class Work>
void runWithHost(const char* prefix, Verbosity verbosity, Work&& work) {
    std::atomic<bool> stop{false};
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;
    std::exception_ptr failure;
    std::vector<std::pair<double, std::string>> lines;
    const auto started = Clock::now();

    RunControl control;
    control.stop = &stop;
    control.report = [&](const std::string& line) {
        const double at = std::chrono::duration<double>(Clock::now() - started).count();
        std::lock_guard<std::mutex> hold(lock);
        lines.emplace_back(at, line);
    };
    auto print = [&] {
        std::vector<std::pair<double, std::string>> ready;
        {
            std::lock_guard<std::mutex> hold(lock);
            ready.swap(lines);
        }
        for (const auto& [at, line] : ready) {
            if (verbosity == Verbosity::All || (verbosity == Verbosity::AfterQuietSpell && at >= kQuietSeconds)) {
                mexPrintf("%s%s\n", prefix, line.c_str());
            }
        }
    };

    std::thread engine([&] {
        try {
            work(control);
        } catch (...) {
            failure = std::current_exception();
        }
        std::lock_guard<std::mutex> hold(lock);
        done = true;
        finished.notify_one();
    });
    // Whatever leaves this frame, the engine's thread is stopped and joined first.
    struct JoinOnExit {
        std::thread& thread;
        std::atomic<bool>& stop;
        ~JoinOnExit() {
            stop.store(true);
            if (thread.joinable()) thread.join();
        }
    } joinOnExit{engine, stop};
    for (;;) {
        {
            std::unique_lock<std::mutex> hold(lock);
            if (finished.wait_for(hold, kPollInterval, [&] { return done; })) break;
        }
        if (interruptPending()) stop.store(true);
        print();
    }
    const bool interrupted = stop.load();
    engine.join();
    print();
    if (failure) {
        try {
            std::rethrow_exception(failure);
        } catch (const Stopped&) {
            throw Interrupted{};
        } catch (const KernelNotFinite& overflow) {
            throw GatewayError("zelmor:kernelNotFinite",
                               formatMessage("a kernel entry is %g, not a finite number: the kernel overflows. Use "
                                             "standardised features, a smaller gamma or a lower degree",
                                             overflow.value));
        }
    }
    if (interrupted) throw Interrupted{};
}

mxArray* doubles(std::int64_t rows, std::int64_t cols) {
    return mxCreateDoubleMatrix(static_cast<mwSize>(rows), static_cast<mwSize>(cols), mxREAL);
}

// For an output the engine writes whole: zeroing it first would cost a pass over new memory
// before Ctrl-C is even asked for. Never handed to the host unless complete.
mxArray* unwrittenDoubles(std::int64_t rows, std::int64_t cols) {
    return mxCreateUninitNumericMatrix(static_cast<std::size_t>(rows), static_cast<std::size_t>(cols), mxDOUBLE_CLASS,
                                       mxREAL);
}

template <class T>
mxArray* doublesFrom(const std::vector<T>& values, std::int64_t rows, std::int64_t cols) {
    mxArray* array = doubles(rows, cols);
    std::transform(values.begin(), values.end(), realData(array), [](T v) { return static_cast<double>(v); });
    return array;
}

mxArray* logicalsFrom(const std::vector<std::uint8_t>& values, std::int64_t rows, std::int64_t cols) {
    mxArray* array = mxCreateLogicalMatrix(static_cast<mwSize>(rows), static_cast<mwSize>(cols));
    mxLogical* data = mxGetLogicals(array);
    for (std::size_t i = 0; i < values.size(); ++i) data[i] = values[i] != 0;
    return array;
}

mxArray* structOf(const std::vector<std::pair<const char*, mxArray*>>& fields) {
    std::vector<const char*> names;
    for (const auto& field : fields) names.push_back(field.first);
    mxArray* result = mxCreateStructMatrix(1, 1, static_cast<int>(names.size()), names.data());
    for (std::size_t i = 0; i < fields.size(); ++i) mxSetFieldByNumber(result, 0, static_cast<int>(i), fields[i].second);
    return result;
}

const mxArray* fieldOf(const mxArray* options, const char* name) {
    const mxArray* field = mxIsStruct(options) ? mxGetField(options, 0, name) : nullptr;
    if (field == nullptr) throw GatewayError("zelmor:badInput", formatMessage("the options lack the field %s", name));
    return field;
}

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
    const KernelSetting setting = settingOf(kernelTypeOf(textOf(prhs[3], "the kernel type")), scalarOf(prhs[4], "gamma"),
                                            scalarOf(prhs[5], "degree"), scalarOf(prhs[6], "offset"));
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
        setting = settingOf(kernelTypeOf(textOf(prhs[3], "the kernel type")), scalarOf(prhs[4], "gamma"),
                            scalarOf(prhs[5], "degree"), scalarOf(prhs[6], "offset"));
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

    const mwSize dimensions[3] = {static_cast<mwSize>(n), static_cast<mwSize>(k), static_cast<mwSize>(count)};
    mxArray* tauArray = mxCreateNumericArray(3, dimensions, mxDOUBLE_CLASS, mxREAL);
    std::copy(taus.begin(), taus.end(), realData(tauArray));
    plhs[0] = tauArray;
    std::vector<double> iterations, seconds, restarts, tolerance;
    std::vector<std::uint8_t> converged;
    for (const PathStep& step : steps) {
        iterations.push_back(static_cast<double>(step.iterations));
        seconds.push_back(step.seconds);
        restarts.push_back(static_cast<double>(step.restarts));
        converged.push_back(step.converged);
        tolerance.push_back(step.tolerance);
    }
    mxArray* outputs[] = {nullptr, doublesFrom(iterations, 1, count), doublesFrom(seconds, 1, count),
                          doublesFrom(restarts, 1, count), logicalsFrom(converged, 1, count),
                          doublesFrom(tolerance, 1, count)};
    for (int i = 1; i < 6; ++i) {
        if (i < nlhs) {
            plhs[i] = outputs[i];
        } else {
            mxDestroyArray(outputs[i]);
        }
    }
}

// The grid's results as the helpers read them: every cell's correct predictions (in all, and
// of each class: settings x betas x folds x classes), iterations, restarts, convergence and
// seconds, shaped settings x betas x folds; and, where kept, the decision values of each cell
// (a settings x betas cell array of n x k values, [] where this call tried none).
std::vector<std::pair<const char*, mxArray*>> gridFields(const GridResult& grid) {
    const mwSize dimensions[3] = {static_cast<mwSize>(grid.settingCount), static_cast<mwSize>(grid.betaCount),
                                  static_cast<mwSize>(grid.foldCount)};
    auto array = [](mwSize count, const mwSize* extents, const auto& values) {
        mxArray* result = mxCreateNumericArray(count, extents, mxDOUBLE_CLASS, mxREAL);
        std::transform(values.begin(), values.end(), realData(result), [](auto v) { return static_cast<double>(v); });
        return result;
    };
    auto cube = [&](const auto& values) { return array(3, dimensions, values); };
    const mwSize byClass[4] = {dimensions[0], dimensions[1], dimensions[2], static_cast<mwSize>(grid.classCount)};
    mxArray* converged = mxCreateLogicalArray(3, dimensions);
    std::transform(grid.converged.begin(), grid.converged.end(), mxGetLogicals(converged),
                   [](std::uint8_t v) { return v != 0; });
    std::vector<std::pair<const char*, mxArray*>> fields{
        {"correct", cube(grid.correct)},
        {"classCorrect", array(4, byClass, grid.classCorrect)},
        {"iterations", cube(grid.iterations)},
        {"restarts", cube(grid.restarts)},
        {"converged", converged},
        {"seconds", cube(grid.seconds)},
        {"foldSizes", doublesFrom(grid.foldSizes, 1, grid.foldCount)},
        {"concurrentUnits", mxCreateDoubleScalar(static_cast<double>(grid.concurrentUnits))},
        {"baseSeconds", mxCreateDoubleScalar(grid.baseSeconds)},
        {"kernelSeconds", mxCreateDoubleScalar(grid.kernelSeconds)},
        {"solveSeconds", mxCreateDoubleScalar(grid.solveSeconds)},
        {"scoringSeconds", mxCreateDoubleScalar(grid.scoringSeconds)}};
    if (!grid.decisionValues.empty()) {
        mxArray* cells = mxCreateCellMatrix(dimensions[0], dimensions[1]);
        for (std::size_t cell = 0; cell < grid.decisionValues.size(); ++cell) {
            const std::vector<double>& values = grid.decisionValues[cell];
            const std::int64_t columns = values.empty() ? 0 : grid.classCount;
            const std::int64_t rows = values.empty() ? 0 : static_cast<std::int64_t>(values.size()) / grid.classCount;
            mxSetCell(cells, static_cast<mwIndex>(cell), doublesFrom(values, rows, columns));
        }
        fields.emplace_back("decisionValues", cells);
    }
    return fields;
}

// Memory: units at once within half of this machine's memory.
RunSettings runSettingsOf(int threads, std::int64_t maxRestarts) {
    RunSettings settings;
    settings.threadCount = threads;
    settings.path.maxRestarts = maxRestarts;
    settings.memoryBudget = physicalMemoryBytes() / 2;
    return settings;
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
    plhs[0] = structOf(gridFields(grid));
}

// The problem of 'train', 'units', 'fit' and 'checksum': X (or a precomputed kernel), labels, k
// and the options the helpers pass. The problem borrows the inputs and the folds held here.
struct TrainInputs {
    GridProblem problem;
    CompressedRows sparseFeatures;  // a sparse X's non-zeros, example by example
    std::vector<double> folds;
    RunSettings settings;
    Verbosity verbosity = Verbosity::None;
    // Whether there is a grid to cross-validate (folds given).
    bool search = false;
    std::vector<double> weights;
    Scoring scoring = Scoring::Accuracy;
    // Whether the cross-validation keeps its decision values for a temperature.
    bool calibrate = false;
};

// A field the helpers may leave out, or null.
const mxArray* optionalFieldOf(const mxArray* options, const char* name) {
    return mxIsStruct(options) ? mxGetField(options, 0, name) : nullptr;
}

// The options' weights, scoring and calibration, each its default when left out.
void readWeightsAndScoring(const mxArray* options, TrainInputs* inputs) {
    if (const mxArray* weights = optionalFieldOf(options, "weights"); weights != nullptr && !mxIsEmpty(weights)) {
        inputs->weights = finiteValues(weights, "the weights", "zelmor:badWeights");
        // A weight of zero or below would divide the sub-problem by zero or turn its bound around.
        const bool positive =
            std::all_of(inputs->weights.begin(), inputs->weights.end(), [](double w) { return w > 0; });
        if (static_cast<std::int64_t>(inputs->weights.size()) != inputs->problem.exampleCount || !positive) {
            throw GatewayError("zelmor:badWeights",
                               formatMessage("the weights must be %d positive values, one per example",
                                             inputs->problem.exampleCount));
        }
        inputs->problem.weights = inputs->weights.data();
    }
    if (const mxArray* scoring = optionalFieldOf(options, "scoring"); scoring != nullptr) {
        const std::string name = textOf(scoring, "the scoring");
        if (name != "accuracy" && name != "balancedAccuracy") {
            throw GatewayError("zelmor:badInput", "the scoring must be 'accuracy' or 'balancedAccuracy'");
        }
        inputs->scoring = name == "accuracy" ? Scoring::Accuracy : Scoring::BalancedAccuracy;
    }
    if (const mxArray* calibrate = optionalFieldOf(options, "calibrate"); calibrate != nullptr) {
        inputs->calibrate = countOf(calibrate, "calibrate", 0) != 0;
    }
    inputs->settings.keepDecisionValues = inputs->calibrate && inputs->search;
}

// The options' names of the kernel settings, for progress lines; none when left out.
void readSettingNames(const mxArray* options, GridProblem* problem) {
    const mxArray* names = optionalFieldOf(options, "settingNames");
    if (names == nullptr) return;
    if (!mxIsCell(names) || mxGetNumberOfElements(names) != problem->kernelSettings.size()) {
        throw GatewayError("zelmor:badInput", "settingNames must be a cell of one text per setting");
    }
    for (std::size_t p = 0; p < problem->kernelSettings.size(); ++p) {
        const mxArray* name = mxGetCell(names, static_cast<mwIndex>(p));
        if (name == nullptr) throw GatewayError("zelmor:badInput", "a setting's name must be a short text");
        problem->settingNames.push_back(textOf(name, "a setting's name"));
    }
}

void readTrainInputs(const mxArray* const prhs[], TrainInputs* inputs) {
    const mxArray* options = prhs[4];
    const std::string kernel = textOf(fieldOf(options, "kernel"), "the kernel");
    GridProblem& problem = inputs->problem;
    if (kernel == "precomputed") {
        const CheckedKernel checked = checkedKernel(prhs[1], prhs[2], prhs[3]);
        problem.precomputed = checked.kernel;
        problem.exampleCount = checked.n;
        problem.classCount = checked.k;
        problem.labels = checked.labels;
        problem.kernelSettings.push_back(KernelSetting{});
    } else {
        problem.features = examplesOf(prhs[1], "X", false, &inputs->sparseFeatures);
        if (problem.features.count > std::numeric_limits<std::int32_t>::max()) {
            throw GatewayError("zelmor:badExamples", "X has too many rows");
        }
        problem.exampleCount = static_cast<std::int32_t>(problem.features.count);
        problem.classCount = classCountOf(prhs[3]);
        requireRealDoubleMatrix(prhs[2], "labels");
        requireLabels(prhs[2], problem.exampleCount, problem.classCount);
        problem.labels = realData(prhs[2]);
        const KernelType type = kernelTypeOf(kernel);
        const std::vector<double> gammas = finiteValues(fieldOf(options, "gamma"), "gamma", "zelmor:badKernelParameter");
        const std::vector<double> degrees =
            finiteValues(fieldOf(options, "degree"), "degree", "zelmor:badKernelParameter");
        const double offset = scalarOf(fieldOf(options, "offset"), "offset");
        if (gammas.size() != degrees.size() || gammas.empty()) {
            throw GatewayError("zelmor:badKernelParameter", "gamma and degree must hold one value per setting");
        }
        for (std::size_t p = 0; p < gammas.size(); ++p) {
            problem.kernelSettings.push_back(settingOf(type, gammas[p], degrees[p], offset));
        }
    }
    problem.betas = betasOf(fieldOf(options, "betas"));
    const auto settingCount = static_cast<std::int64_t>(problem.kernelSettings.size());
    const auto betaCount = static_cast<std::int64_t>(problem.betas.size());
    const std::vector<double> tried = finiteValues(fieldOf(options, "tried"), "tried", "zelmor:badInput");
    if (static_cast<std::int64_t>(tried.size()) != settingCount * betaCount) {
        throw GatewayError("zelmor:badInput", "tried must hold one value per grid cell");
    }
    for (double t : tried) problem.tried.push_back(t != 0);
    readSettingNames(options, &problem);
    inputs->folds = finiteValues(fieldOf(options, "folds"), "folds", "zelmor:badFolds");
    inputs->search = !inputs->folds.empty();
    if (inputs->search) {
        problem.foldCount = checkFolds(inputs->folds, problem.exampleCount);
        problem.folds = inputs->folds.data();
    }
    inputs->settings = runSettingsOf(threadsOf(fieldOf(options, "threads")),
                                     countOf(fieldOf(options, "maxRestarts"), "MaxRestarts", 0));
    inputs->settings.cacheBytes = cacheBytesOf(fieldOf(options, "cacheSize"));
    inputs->verbosity = verbosityOf(fieldOf(options, "verbose"));
    readWeightsAndScoring(options, inputs);
}

// The choice and the final fit as the helpers read them; grid is the cross-validation's, or
// [] where the caller has it.
// temperature: none, or the one fitted, in calibrationSeconds.
mxArray* trainResult(const GridProblem& problem, mxArray* grid, GridChoice choice, const Fit& fit,
                     double crossValidationSeconds, const std::vector<double>& temperature = {},
                     double calibrationSeconds = 0.0) {
    std::vector<std::pair<const char*, mxArray*>> fields;
    fields.emplace_back("grid", grid);
    fields.emplace_back("setting", mxCreateDoubleScalar(static_cast<double>(choice.setting + 1)));
    fields.emplace_back("beta", mxCreateDoubleScalar(static_cast<double>(choice.beta + 1)));
    fields.emplace_back("tau", doublesFrom(fit.tau, problem.exampleCount, problem.classCount));
    fields.emplace_back("iterations", mxCreateDoubleScalar(static_cast<double>(fit.step.iterations)));
    fields.emplace_back("restarts", mxCreateDoubleScalar(static_cast<double>(fit.step.restarts)));
    fields.emplace_back("converged", mxCreateLogicalScalar(fit.step.converged));
    fields.emplace_back("tolerance", mxCreateDoubleScalar(fit.step.tolerance));
    fields.emplace_back("crossValidationSeconds", mxCreateDoubleScalar(crossValidationSeconds));
    fields.emplace_back("kernelSeconds", mxCreateDoubleScalar(fit.kernelSeconds));
    fields.emplace_back("solveSeconds", mxCreateDoubleScalar(fit.step.seconds));
    fields.emplace_back("temperature", doublesFrom(temperature, static_cast<std::int64_t>(temperature.size()),
                                                   temperature.empty() ? 0 : 1));
    fields.emplace_back("calibrationSeconds", mxCreateDoubleScalar(calibrationSeconds));
    return structOf(fields);
}

void requireFitMemory(const GridProblem& problem, const RunSettings& settings) {
    requireMemory(static_cast<double>(fitPeakBytes(problem, settings)), "the final fit");
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
    plhs[0] = trainResult(problem, inputs.search ? structOf(gridFields(grid)) : doubles(0, 0), choice, fit,
                          crossValidationSeconds, temperature, calibrationSeconds);
}

// The units of the grid to run, as rows of (setting, fold) numbers from 1.
std::vector<GridUnit> unitsOf(const mxArray* array, const GridProblem& problem) {
    requireRealDoubleMatrix(array, "the units");
    requireFiniteEntries(array, "the units", "zelmor:badInput");
    if (mxGetN(array) != 2) throw GatewayError("zelmor:badInput", "the units must be rows of (setting, fold)");
    std::vector<std::uint8_t> isUnit(problem.kernelSettings.size() * static_cast<std::size_t>(problem.foldCount), 0);
    for (const GridUnit& unit : gridUnits(problem)) {
        isUnit[static_cast<std::size_t>(unit.setting * problem.foldCount + unit.fold)] = 1;
    }
    const auto count = static_cast<std::int64_t>(mxGetM(array));
    const double* data = realData(array);
    std::vector<GridUnit> units;
    for (std::int64_t u = 0; u < count; ++u) {
        const double setting = data[u];
        const double fold = data[u + count];
        const bool inGrid = setting >= 1 && setting <= static_cast<double>(problem.kernelSettings.size()) &&
                            std::trunc(setting) == setting && fold >= 1 && fold <= problem.foldCount &&
                            std::trunc(fold) == fold;
        const auto index = inGrid ? static_cast<std::size_t>((setting - 1) * problem.foldCount + (fold - 1)) : 0;
        if (!inGrid || isUnit[index] == 0) {
            throw GatewayError("zelmor:badInput",
                               formatMessage("unit (%g, %g) is not a (setting, fold) of the grid with a cell to try, "
                                             "or is given twice",
                                             setting, fold));
        }
        isUnit[index] = 0;
        units.push_back(GridUnit{static_cast<std::int64_t>(setting) - 1, static_cast<std::int64_t>(fold) - 1});
    }
    return units;
}

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
    plhs[0] = structOf(gridFields(grid));
}

// The cross-validation's correct predictions of each class, settings x betas x folds x classes,
// as the choice reads them (their sum over the classes is a cell's correct predictions). Every
// tried cell must hold counts and every other -1: a missing count would pass over its cell
// silently, a count in a cell not tried would let it win.
GridResult gridOfCounts(const mxArray* array, const GridProblem& problem) {
    GridResult grid;
    grid.settingCount = static_cast<std::int64_t>(problem.kernelSettings.size());
    grid.betaCount = static_cast<std::int64_t>(problem.betas.size());
    grid.foldCount = problem.foldCount;
    grid.classCount = problem.classCount;
    const std::int64_t cells = grid.settingCount * grid.betaCount * grid.foldCount;
    if (!mxIsDouble(array) || mxIsComplex(array) || mxIsSparse(array)) {
        throw GatewayError("zelmor:notRealDouble", "the counts must be a real, non-sparse double array");
    }
    if (static_cast<std::int64_t>(mxGetNumberOfElements(array)) != cells * grid.classCount) {
        throw GatewayError("zelmor:badInput", formatMessage("the counts must hold one value per grid cell, fold and "
                                                            "class (%lld)",
                                                            static_cast<long long>(cells * grid.classCount)));
    }
    const double* data = realData(array);
    grid.correct.assign(static_cast<std::size_t>(cells), 0);
    for (std::int64_t entry = 0; entry < cells * grid.classCount; ++entry) {
        const double count = data[entry];
        const std::int64_t cell = entry % cells;
        const std::int64_t p = cell % grid.settingCount;
        const std::int64_t b = cell / grid.settingCount % grid.betaCount;
        const bool tried = problem.tried[static_cast<std::size_t>(p + grid.settingCount * b)] != 0;
        const bool valid = tried ? count >= 0 && count <= problem.exampleCount && std::trunc(count) == count
                                 : count == -1;
        if (!valid) {
            throw GatewayError("zelmor:badInput",
                               formatMessage("the count of setting %lld, beta %lld, fold %lld, class %lld must be %s "
                                             "(got %g)",
                                             static_cast<long long>(p + 1), static_cast<long long>(b + 1),
                                             static_cast<long long>(cell / (grid.settingCount * grid.betaCount) + 1),
                                             static_cast<long long>(entry / cells + 1),
                                             tried ? "a whole number of examples" : "-1, as the cell is not tried",
                                             count));
        }
        grid.classCorrect.push_back(static_cast<std::int64_t>(count));
        grid.correct[static_cast<std::size_t>(cell)] = tried ? grid.correct[static_cast<std::size_t>(cell)] +
                                                                   static_cast<std::int64_t>(count)
                                                             : -1;
    }
    grid.classSizes = classSizesOf(problem);
    return grid;
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

// 64-bit FNV-1a over bytes, continuing from hash.
std::uint64_t fnv1a(const void* data, std::size_t size, std::uint64_t hash) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        hash ^= bytes[i];
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

// A sparse double matrix's part of the checksum: per column the count of its non-zero values,
// then each one's row and value. An explicit zero, which one host may store and the other not,
// is left out.
std::uint64_t sparseChecksum(const mxArray* array, std::uint64_t hash) {
    const mwIndex* starts = mxGetJc(array);
    const mwIndex* rows = mxGetIr(array);
    const double* values = realData(array);
    for (std::size_t c = 0; c < mxGetN(array); ++c) {
        std::uint64_t count = 0;
        for (mwIndex k = starts[c]; k < starts[c + 1]; ++k) count += values[k] != 0.0;
        hash = fnv1a(&count, sizeof count, hash);
        for (mwIndex k = starts[c]; k < starts[c + 1]; ++k) {
            if (values[k] == 0.0) continue;
            const auto row = static_cast<std::uint64_t>(rows[k]);
            hash = fnv1a(&row, sizeof row, hash);
            hash = fnv1a(&values[k], sizeof values[k], hash);
        }
    }
    return hash;
}

// A checksum of the arrays given, in order: each one's class, dimensions and elements (of a
// sparse double matrix, column by column its non-zero values and their rows, as one host or
// the other stores them). Not a guard against tampering; it tells one problem's files from
// another's and a damaged file from a whole one.
void checksumCommand(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    requireArgumentCounts(nrhs, nrhs, nlhs, 1);
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (int i = 1; i < nrhs; ++i) {
        const mxArray* array = prhs[i];
        const bool sparse = mxIsSparse(array);
        if (!(mxIsNumeric(array) || mxIsChar(array) || mxIsLogical(array)) || mxIsComplex(array) ||
            (sparse && !mxIsDouble(array))) {
            throw GatewayError("zelmor:badInput",
                               formatMessage("input %d must be a real numeric, char or logical array, full but for "
                                             "sparse doubles", i + 1));
        }
        const std::string className = mxGetClassName(array);
        hash = fnv1a(className.c_str(), className.size() + 1, hash);
        const auto dimensionCount = static_cast<std::uint64_t>(mxGetNumberOfDimensions(array));
        hash = fnv1a(&dimensionCount, sizeof dimensionCount, hash);
        const mwSize* dimensions = mxGetDimensions(array);
        for (std::uint64_t d = 0; d < dimensionCount; ++d) {
            const auto extent = static_cast<std::uint64_t>(dimensions[d]);
            hash = fnv1a(&extent, sizeof extent, hash);
        }
        if (sparse) {
            hash = fnv1a("sparse", 7, hash);
            hash = sparseChecksum(array, hash);
        } else if (mxIsChar(array)) {
            // Characters as 16-bit units: Octave keeps a char in one byte, MATLAB in two.
            const mxChar* chars = mxGetChars(array);
            for (std::size_t c = 0; c < mxGetNumberOfElements(array); ++c) {
                const auto unit = static_cast<std::uint16_t>(static_cast<std::make_unsigned_t<mxChar>>(chars[c]));
                hash = fnv1a(&unit, sizeof unit, hash);
            }
        } else {
            hash = fnv1a(mxGetData(array), mxGetNumberOfElements(array) * mxGetElementSize(array), hash);
        }
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    plhs[0] = mxCreateString(text);
}

}  // namespace

extern "C" ZELMOR_MEX_EXPORT void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    runGuarded([&] {
        if (nrhs < 1) {
            throw GatewayError("zelmor:nargin", "expected a command: 'kernel', 'decision', 'path', 'crossval', 'train', "
                                                "'units', 'fit', 'memory', 'calibrate', 'probabilities' or 'checksum'");
        }
        const std::string command = textOf(prhs[0], "the command");
        if (command == "kernel") {
            kernelCommand(nlhs, plhs, nrhs, prhs);
        } else if (command == "decision") {
            decisionCommand(nlhs, plhs, nrhs, prhs);
        } else if (command == "path") {
            pathCommand(nlhs, plhs, nrhs, prhs);
        } else if (command == "crossval") {
            crossvalCommand(nlhs, plhs, nrhs, prhs);
        } else if (command == "train") {
            trainCommand(nlhs, plhs, nrhs, prhs);
        } else if (command == "units") {
            unitsCommand(nlhs, plhs, nrhs, prhs);
        } else if (command == "fit") {
            fitCommand(nlhs, plhs, nrhs, prhs);
        } else if (command == "memory") {
            memoryCommand(nlhs, plhs, nrhs, prhs);
        } else if (command == "calibrate") {
            calibrateCommand(nlhs, plhs, nrhs, prhs);
        } else if (command == "probabilities") {
            probabilitiesCommand(nlhs, plhs, nrhs, prhs);
        } else if (command == "checksum") {
            checksumCommand(nlhs, plhs, nrhs, prhs);
        } else {
            throw GatewayError("zelmor:badInput", formatMessage("unknown command '%s'", command.c_str()));
        }
    });
}
