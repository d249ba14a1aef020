#include "engine_inputs.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "parallel.h"

namespace zelmor::enginegateway {

using namespace mexhost;
using namespace engine;

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
    return threads == 0 ? defaultThreadCount() : static_cast<int>(std::min<std::int64_t>(threads, kMaxThreadCount));
}

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

std::int32_t checkFolds(const std::vector<double>& folds, std::int32_t n) {
    // Fold numbers index each example's fold, and the units presume every fold has examples to
    // test and others to train on.
    const auto refused = [n] {
        return GatewayError("zelmor:badFolds",
                            formatMessage("folds must be %d fold numbers over 1..F, F >= 2, each used", n));
    };
    if (static_cast<std::int64_t>(folds.size()) != n) throw refused();
    double largest = 0;
    for (double f : folds) {
        if (!(f >= 1 && f <= n && std::trunc(f) == f)) throw refused();
        largest = std::max(largest, f);
    }
    std::vector<char> used(static_cast<std::size_t>(largest), 0);
    for (double f : folds) used[static_cast<std::size_t>(f) - 1] = 1;
    if (largest < 2 || std::find(used.begin(), used.end(), 0) != used.end()) throw refused();
    return static_cast<std::int32_t>(largest);
}

KernelType kernelTypeOf(const std::string& name) {
    if (name == "rbf") return KernelType::Rbf;
    if (name == "linear") return KernelType::Linear;
    if (name == "poly") return KernelType::Poly;
    throw GatewayError("zelmor:badKernelType", "the kernel type must be 'rbf', 'linear' or 'poly'");
}

KernelSetting settingOf(KernelType type, double gamma, double degree, double offset) {
    // The helpers check gamma, the degree and the offset in the words users read. Kept here: a
    // degree the setting's 32 bits hold whole, and a positive gamma.
    const bool gammaValid = type == KernelType::Linear || gamma > 0;
    const bool degreeValid = type != KernelType::Poly || (degree >= 1 && degree <= 1e9 && std::trunc(degree) == degree);
    if (!gammaValid || !degreeValid) {
        throw GatewayError("zelmor:badKernelParameter",
                           formatMessage("gamma %g or degree %g is out of range", gamma, degree));
    }
    KernelSetting setting;
    setting.type = type;
    setting.gamma = gamma;
    setting.degree = type == KernelType::Poly ? static_cast<std::int32_t>(degree) : 1;
    setting.offset = offset;
    return setting;
}

KernelSetting settingOf(const mxArray* const inputs[4]) {
    const KernelType type = kernelTypeOf(textOf(inputs[0], "the kernel type"));
    const double gamma = scalarOf(inputs[1], "gamma");
    const double degree = scalarOf(inputs[2], "degree");
    const double offset = scalarOf(inputs[3], "offset");
    return settingOf(type, gamma, degree, offset);
}

Examples examplesOf(const mxArray* array, const char* what) {
    requireRealDoubleMatrix(array, what);
    requireFiniteEntries(array, what, "zelmor:badExamples");
    return Examples{realData(array), static_cast<std::int64_t>(mxGetM(array)),
                    static_cast<std::int64_t>(mxGetN(array))};
}

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

std::int64_t heldBytes(const CompressedRows& rows) {
    return static_cast<std::int64_t>(8 * rows.rowStarts.size() + 12 * rows.values.size());
}

RunSettings runSettingsOf(int threads, std::int64_t maxRestarts) {
    RunSettings settings;
    settings.threadCount = threads;
    settings.path.maxRestarts = maxRestarts;
    settings.memoryBudget = physicalMemoryBytes() / 2;
    return settings;
}

namespace {

const mxArray* fieldOf(const mxArray* options, const char* name) {
    const mxArray* field = mxIsStruct(options) ? mxGetField(options, 0, name) : nullptr;
    if (field == nullptr) throw GatewayError("zelmor:badInput", formatMessage("the options lack the field %s", name));
    return field;
}

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

// Features X, labels and k, and the settings of the kernel named, from the options' gamma,
// degree and offset.
void readFeatureProblem(const mxArray* const prhs[], const std::string& kernel, TrainInputs* inputs) {
    const mxArray* options = prhs[4];
    GridProblem& problem = inputs->problem;
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
    const std::vector<double> degrees = finiteValues(fieldOf(options, "degree"), "degree", "zelmor:badKernelParameter");
    const double offset = scalarOf(fieldOf(options, "offset"), "offset");
    if (gammas.size() != degrees.size() || gammas.empty()) {
        throw GatewayError("zelmor:badKernelParameter", "gamma and degree must hold one value per setting");
    }
    for (std::size_t p = 0; p < gammas.size(); ++p) {
        problem.kernelSettings.push_back(settingOf(type, gammas[p], degrees[p], offset));
    }
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

// The betas, the cells tried and the folds of the options.
void readGrid(const mxArray* options, TrainInputs* inputs) {
    GridProblem& problem = inputs->problem;
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
}

}  // namespace

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
        readFeatureProblem(prhs, kernel, inputs);
    }
    readGrid(options, inputs);
    inputs->settings = runSettingsOf(threadsOf(fieldOf(options, "threads")),
                                     countOf(fieldOf(options, "maxRestarts"), "MaxRestarts", 0));
    inputs->settings.cacheBytes = cacheBytesOf(fieldOf(options, "cacheSize"));
    inputs->verbosity = verbosityOf(fieldOf(options, "verbose"));
    readWeightsAndScoring(options, inputs);
}

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

// Every tried cell must hold counts and every other -1: a missing count would pass over its cell
// silently, a count in a cell not tried would let it win. Their sum over the classes is a cell's
// correct predictions.
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

}  // namespace zelmor::enginegateway
