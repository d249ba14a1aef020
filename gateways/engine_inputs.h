// Reading zelmor_engine's inputs. The helpers check and convert the user's inputs first, in
// the words a user reads; the checks here keep the engine safe from what a direct call may pass:
// no read out of bounds, no out-of-range index, no endless loop, no crash.
#ifndef ZELMOR_GATEWAYS_ENGINE_INPUTS_H
#define ZELMOR_GATEWAYS_ENGINE_INPUTS_H

#include <cstdint>
#include <string>
#include <vector>

#include "host_runner.h"
#include "kernels.h"
#include "mex_host.h"
#include "scoring.h"
#include "search.h"

namespace zelmor::enginegateway {

std::string textOf(const mxArray* array, const char* what);
double scalarOf(const mxArray* array, const char* what);
// An integer from least to 1e15.
std::int64_t countOf(const mxArray* array, const char* what, double least);
std::vector<double> finiteValues(const mxArray* array, const char* what, const char* id);

// THREADS: 0 for every core, else at most engine::kMaxThreadCount.
int threadsOf(const mxArray* array);
// CACHESIZE: megabytes of kernel columns per solve (2^20 bytes each), 0 for the default.
std::int64_t cacheBytesOf(const mxArray* array);
Verbosity verbosityOf(const mxArray* array);

// A square, finite kernel with no zero on its diagonal, n labels in 1..k, and k.
struct CheckedKernel {
    const double* kernel = nullptr;
    std::int32_t n = 0;
    std::int32_t k = 0;
    const double* labels = nullptr;
};
CheckedKernel checkedKernel(const mxArray* kernel, const mxArray* labels, const mxArray* classCount);
std::int32_t classCountOf(const mxArray* array);

std::vector<double> betasOf(const mxArray* array);
// n fold numbers 1..F, each fold used; returns F.
std::int32_t checkFolds(const std::vector<double>& folds, std::int32_t n);

engine::KernelType kernelTypeOf(const std::string& name);
engine::KernelSetting settingOf(engine::KernelType type, double gamma, double degree, double offset);
// The setting from the arrays of TYPE, GAMMA, DEGREE and OFFSET.
engine::KernelSetting settingOf(const mxArray* const inputs[4]);

// Dense examples, read in place.
engine::Examples examplesOf(const mxArray* array, const char* what);
// Examples that may be sparse: a dense array read in place, or, when it is sparse or asSparse
// asks (its partner is sparse), its non-zeros example by example, held in rows.
engine::Examples examplesOf(const mxArray* array, const char* what, bool asSparse, mexhost::CompressedRows* rows);
// The bytes of examples held sparse.
std::int64_t heldBytes(const mexhost::CompressedRows& rows);

// Memory: units at once within half of this machine's memory.
engine::RunSettings runSettingsOf(int threads, std::int64_t maxRestarts);

// The problem of 'train', 'units', 'fit' and 'memory': X (or a precomputed kernel), labels, k
// and the options the helpers pass. The problem borrows the inputs and the folds held here.
struct TrainInputs {
    engine::GridProblem problem;
    mexhost::CompressedRows sparseFeatures;  // a sparse X's non-zeros, example by example
    std::vector<double> folds;
    engine::RunSettings settings;
    Verbosity verbosity = Verbosity::None;
    // Whether there is a grid to cross-validate (folds given).
    bool search = false;
    std::vector<double> weights;
    engine::Scoring scoring = engine::Scoring::Accuracy;
    // Whether the cross-validation keeps its decision values for a temperature.
    bool calibrate = false;
};
// From prhs[1..4]: X, LABELS, K, OPTIONS.
void readTrainInputs(const mxArray* const prhs[], TrainInputs* inputs);

// The units of the grid to run, as rows of (setting, fold) numbers from 1.
std::vector<engine::GridUnit> unitsOf(const mxArray* array, const engine::GridProblem& problem);
// The cross-validation's correct predictions of each class, settings x betas x folds x classes,
// as a grid the choice reads.
engine::GridResult gridOfCounts(const mxArray* array, const engine::GridProblem& problem);

}  // namespace zelmor::enginegateway

#endif  // ZELMOR_GATEWAYS_ENGINE_INPUTS_H
