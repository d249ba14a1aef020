// The MATLAB builds of the MEX files, loaded and called as MATLAB loads and calls them, inside
// the stand-in host (host/stand_in.h). Checked here: what only MATLAB's side of the host adapter
// does. A call enables interrupts and puts the caller's setting back, a Ctrl-C ends it with
// zelmor:interrupted and nothing left pending, Ctrl-C is asked for on the calling thread only,
// MATLAB's own errors reach MATLAB unchanged, each file carries the R2018a API version, the
// LIBSVM reader's sparse matrix is built as MATLAB's API builds one, and the zeros MATLAB may
// store in a sparse matrix count as zeros.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "mex.h"
#include "stand_in.h"

// libut's switch, which MATLAB's headers do not declare.
extern "C" bool utSetInterruptEnabled(bool enabled);

namespace {

using MexFunction = void (*)(int, mxArray*[], int, const mxArray*[]);
using VersionFunction = void (*)(unsigned int*, unsigned int*);

// A symbol of build/mex/NAME.mexa64; the files stay open for the whole run, as in MATLAB.
void* symbolOf(const std::string& name, const char* symbol) {
    static std::map<std::string, void*> opened;
    void*& handle = opened[name];
    if (handle == nullptr) {
        const std::string path = std::string(ZELMOR_MATLAB_MEX_DIR) + "/" + name + ".mexa64";
        handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) ADD_FAILURE() << dlerror();
    }
    return handle == nullptr ? nullptr : dlsym(handle, symbol);
}

mxArray* matrix(std::size_t rows, std::size_t cols, const std::vector<double>& values) {
    mxArray* array = mxCreateDoubleMatrix(rows, cols, mxREAL);
    std::copy(values.begin(), values.end(), static_cast<double*>(mxGetData(array)));
    return array;
}

mxArray* scalar(double value) {
    return mxCreateDoubleScalar(value);
}

// n examples in 5 dimensions around k centres, their RBF kernel (gamma 0.5) and labels 1..k:
// a cold solve at beta = 0.01 runs for many thousand iterations.
struct Problem {
    std::size_t n;
    std::vector<double> kernel;
    std::vector<double> labels;
    std::vector<double> features;
};

Problem blobs(std::size_t n, int k) {
    std::mt19937 random(7);
    std::normal_distribution<double> normal;
    Problem problem{n, std::vector<double>(n * n), std::vector<double>(n), std::vector<double>(n * 5)};
    for (std::size_t i = 0; i < n; ++i) {
        problem.labels[i] = static_cast<double>(i % static_cast<std::size_t>(k) + 1);
        for (std::size_t d = 0; d < 5; ++d) problem.features[i + n * d] = normal(random) + problem.labels[i];
    }
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            double distance = 0.0;
            for (std::size_t d = 0; d < 5; ++d) {
                const double difference = problem.features[i + n * d] - problem.features[j + n * d];
                distance += difference * difference;
            }
            problem.kernel[i + n * j] = std::exp(-0.5 * distance);
        }
    }
    return problem;
}

struct Call {
    const char* what;
    const char* file;
    int nlhs;
    std::vector<mxArray*> (*inputs)();
};

struct Outcome {
    bool raised = false;
    standin::HostError error;
    std::vector<mxArray*> outputs;
    standin::InterruptRecord interrupts;
};

// Calls the MEX file as MATLAB does and destroys inputs and outputs afterwards.
Outcome run(const Call& call) {
    std::vector<mxArray*> inputs = call.inputs();
    Outcome outcome;
    outcome.outputs.assign(static_cast<std::size_t>(std::max(call.nlhs, 1)), nullptr);
    standin::setHostThread();
    auto entry = reinterpret_cast<MexFunction>(symbolOf(call.file, "mexFunction"));
    if (entry == nullptr) {
        ADD_FAILURE() << call.file << " exports no mexFunction";
        return outcome;
    }
    try {
        entry(call.nlhs, outcome.outputs.data(), static_cast<int>(inputs.size()),
              const_cast<const mxArray**>(inputs.data()));
    } catch (const standin::HostError& error) {
        outcome.raised = true;
        outcome.error = error;
    }
    outcome.interrupts = standin::interruptRecord();
    for (mxArray* input : inputs) mxDestroyArray(input);
    return outcome;
}

void release(Outcome& outcome) {
    for (mxArray* output : outcome.outputs) mxDestroyArray(output);
}

const Call kHello{"hello", "hello", 1, [] {
                      return std::vector<mxArray*>{matrix(3, 2, {1, 2, 3, 4, 5, 6}), matrix(3, 2, {1, 1, 1, 1, 1, 1})};
                  }};
const Call kHelloNoInputs{"hello without inputs", "hello", 1, [] { return std::vector<mxArray*>{}; }};
const Call kSmallSolve{"zelmor_c2 on one example", "zelmor_c2", 2,
                       [] { return std::vector<mxArray*>{scalar(1), scalar(1), scalar(1), scalar(2)}; }};
const Call kBadClassCount{"zelmor_c2 with k = 0", "zelmor_c2", 2,
                          [] { return std::vector<mxArray*>{scalar(1), scalar(1), scalar(1), scalar(0)}; }};
const Call kSmallKernel{"zelmor_engine kernel of two examples", "zelmor_engine", 1, [] {
                            return std::vector<mxArray*>{mxCreateString("kernel"), matrix(2, 1, {0, 1}),
                                                         matrix(0, 0, {}), mxCreateString("linear"), scalar(1),
                                                         scalar(1), scalar(0), scalar(1)};
                        }};
const Call kUnknownCommand{"zelmor_engine with an unknown command", "zelmor_engine", 1,
                           [] { return std::vector<mxArray*>{mxCreateString("fly")}; }};
const Call kLongSolve{"zelmor_c2, 1500 examples", "zelmor_c2", 2, [] {
                          const Problem problem = blobs(1500, 4);
                          return std::vector<mxArray*>{matrix(problem.n, problem.n, problem.kernel),
                                                       matrix(problem.n, 1, problem.labels), scalar(0.01), scalar(4)};
                      }};
// On one thread it takes half a second here, fifty times the 10 ms before the calling thread
// first looks for Ctrl-C.
const Call kLongKernel{"zelmor_engine kernel of 5000 examples with 200 features", "zelmor_engine", 1, [] {
                           std::vector<double> features(5000 * 200);
                           for (std::size_t i = 0; i < features.size(); ++i) features[i] = std::sin(0.37 * i);
                           return std::vector<mxArray*>{mxCreateString("kernel"), matrix(5000, 200, features),
                                                        matrix(0, 0, {}), mxCreateString("rbf"), scalar(0.01),
                                                        scalar(1), scalar(0), scalar(1)};
                       }};

// A small LIBSVM file, written once.
const char* svmlightFile() {
    static const std::string path = [] {
        const std::string name = ::testing::TempDir() + "zelmor-stand-in.txt";
        std::ofstream(name) << "2 1:0.5 3:-1\n-1 2:4\n";
        return name;
    }();
    return path.c_str();
}

const Call kSvmlightRead{"zelmor_svmlight reading a small file", "zelmor_svmlight", 3, [] {
                             return std::vector<mxArray*>{mxCreateString("read"), mxCreateString(svmlightFile()),
                                                          scalar(-1)};
                         }};
const Call kSvmlightMissing{"zelmor_svmlight reading no file", "zelmor_svmlight", 2, [] {
                                return std::vector<mxArray*>{mxCreateString("read"),
                                                             mxCreateString("/nonexistent/zelmor.txt"), scalar(-1)};
                            }};

class MatlabBuild : public ::testing::Test {
protected:
    void SetUp() override {
        standin::resetInterrupts();
        standin::failCreationNumber(0);
        standin::takePrinted();
        standin::takeWarnings();
    }
};

TEST_F(MatlabBuild, EachFileCarriesTheApiVersionOfR2018a) {
    for (const char* file : {"hello", "zelmor_c", "zelmor_c2", "zelmor_engine", "zelmor_svmlight"}) {
        auto version = reinterpret_cast<VersionFunction>(symbolOf(file, "mexfilerequiredapiversion"));
        ASSERT_NE(version, nullptr) << file;
        unsigned int builtBy = 0;
        unsigned int api = 0;
        version(&builtBy, &api);
        EXPECT_EQ(api, 800u) << file;
    }
}

TEST_F(MatlabBuild, HelloPrintsThroughMexPrintfAndSolvesGiveTheirBits) {
    Outcome hello = run(kHello);
    ASSERT_FALSE(hello.raised) << hello.error.id;
    EXPECT_EQ(standin::takePrinted(),
              "1.000000 4.000000 \n2.000000 5.000000 \n3.000000 6.000000 \n"
              "2.000000 5.000000 \n3.000000 6.000000 \n4.000000 7.000000 \n");
    release(hello);

    Outcome solve = run(kSmallSolve);
    ASSERT_FALSE(solve.raised) << solve.error.id;
    const double* tau = static_cast<const double*>(mxGetData(solve.outputs[0]));
    EXPECT_EQ(tau[0], 0.5);
    EXPECT_EQ(tau[1], -0.5);
    EXPECT_EQ(mxGetScalar(solve.outputs[1]), 1.0);
    release(solve);
}

// Whatever the caller had set, and however the call ends, the setting is back before the host
// raises anything and after the call.
TEST_F(MatlabBuild, EveryCallPutsTheCallersInterruptSettingBack) {
    const struct {
        const Call* call;
        const char* raises;
    } cases[] = {
        {&kHello, nullptr},
        {&kHelloNoInputs, "zelmor:nargin"},
        {&kSmallSolve, nullptr},
        {&kBadClassCount, "zelmor:badClassCount"},
        {&kSmallKernel, nullptr},
        {&kUnknownCommand, "zelmor:badInput"},
        {&kSvmlightRead, nullptr},
        {&kSvmlightMissing, "zelmor:fileNotFound"},
    };
    for (const auto& c : cases) {
        for (bool callerSetting : {false, true}) {
            SCOPED_TRACE(std::string(c.call->what) + (callerSetting ? ", interrupts enabled" : ""));
            standin::resetInterrupts();
            utSetInterruptEnabled(callerSetting);
            Outcome outcome = run(*c.call);
            EXPECT_EQ(outcome.raised, c.raises != nullptr);
            if (c.raises != nullptr) {
                EXPECT_EQ(outcome.error.id, c.raises);
                EXPECT_EQ(outcome.error.enabledAtRaise, callerSetting);
            }
            EXPECT_EQ(outcome.interrupts.enabled, callerSetting);
            release(outcome);
        }
    }
}

// The press reaches the call only because it enabled interrupts; the call stops, writes no
// output, clears the flag before it raises, and asked for it on the calling thread alone.
TEST_F(MatlabBuild, CtrlCEndsTheCallWithZelmorInterruptedAndNothingPending) {
    for (const Call* call : {&kLongSolve, &kLongKernel}) {
        SCOPED_TRACE(call->what);
        standin::resetInterrupts();
        standin::pressCtrlCAtPoll(1);
        Outcome outcome = run(*call);
        ASSERT_TRUE(outcome.raised) << "the call ran to its end after " << outcome.interrupts.polls << " polls";
        EXPECT_EQ(outcome.error.id, "zelmor:interrupted");
        EXPECT_FALSE(outcome.error.pendingAtRaise);
        EXPECT_FALSE(outcome.error.enabledAtRaise);
        EXPECT_FALSE(outcome.interrupts.pending);
        EXPECT_GE(outcome.interrupts.polls, 1);
        EXPECT_EQ(outcome.interrupts.pollsFromOtherThreads, 0);
        for (mxArray* output : outcome.outputs) EXPECT_EQ(output, nullptr);
        release(outcome);
    }
}

// Out of memory in an mxCreate* call is MATLAB's error, raised by MATLAB: the guard lets it
// through instead of calling it zelmor:internal.
TEST_F(MatlabBuild, MatlabsOwnErrorsReachMatlabUnchanged) {
    for (const Call* call : {&kHello, &kSmallSolve, &kSmallKernel, &kSvmlightRead}) {
        SCOPED_TRACE(call->what);
        standin::resetInterrupts();
        std::vector<mxArray*> inputs = call->inputs();
        for (mxArray* input : inputs) mxDestroyArray(input);
        // The inputs are made before the call: the first array the call itself makes fails.
        standin::failCreationNumber(static_cast<int>(inputs.size()) + 1);
        Outcome outcome = run(*call);
        ASSERT_TRUE(outcome.raised);
        EXPECT_EQ(outcome.error.id, "MATLAB:nomem");
        EXPECT_FALSE(outcome.interrupts.enabled);
        release(outcome);
    }
}

// The file's two examples as a 2-by-3 sparse matrix of MATLAB's layout, and written back from
// it, sparse or dense, as the same text.
TEST_F(MatlabBuild, SvmlightReadsIntoASparseMatrixAndWritesItBack) {
    Outcome read = run(kSvmlightRead);
    ASSERT_FALSE(read.raised) << read.error.id << ": " << read.error.message;
    const double* labels = static_cast<const double*>(mxGetData(read.outputs[0]));
    EXPECT_EQ(std::vector<double>(labels, labels + 2), (std::vector<double>{2, -1}));
    const mxArray* X = read.outputs[1];
    ASSERT_TRUE(mxIsSparse(X));
    EXPECT_EQ(mxGetM(X), 2u);
    EXPECT_EQ(mxGetN(X), 3u);
    EXPECT_EQ(std::vector<mwIndex>(mxGetJc(X), mxGetJc(X) + 4), (std::vector<mwIndex>{0, 1, 2, 3}));
    EXPECT_EQ(std::vector<mwIndex>(mxGetIr(X), mxGetIr(X) + 3), (std::vector<mwIndex>{0, 1, 0}));
    const double* values = static_cast<const double*>(mxGetData(X));
    EXPECT_EQ(std::vector<double>(values, values + 3), (std::vector<double>{0.5, 4, -1}));
    EXPECT_EQ(mxGetScalar(read.outputs[2]), 0.0);

    const std::string written = ::testing::TempDir() + "zelmor-stand-in-written.txt";
    for (const bool sparse : {true, false}) {
        SCOPED_TRACE(sparse ? "sparse X" : "dense X");
        std::vector<mxArray*> inputs{mxCreateString("write"), mxCreateString(written.c_str()), matrix(2, 1, {2, -1}),
                                     sparse ? mxCreateSparse(2, 3, 3, mxREAL) : matrix(2, 3, {0.5, 0, 0, 4, -1, 0})};
        if (sparse) {
            std::copy(mxGetJc(X), mxGetJc(X) + 4, mxGetJc(inputs[3]));
            std::copy(mxGetIr(X), mxGetIr(X) + 3, mxGetIr(inputs[3]));
            std::copy(values, values + 3, static_cast<double*>(mxGetData(inputs[3])));
        }
        auto entry = reinterpret_cast<MexFunction>(symbolOf("zelmor_svmlight", "mexFunction"));
        ASSERT_NE(entry, nullptr);
        try {
            entry(0, nullptr, 4, const_cast<const mxArray**>(inputs.data()));
        } catch (const standin::HostError& error) {
            ADD_FAILURE() << error.id << ": " << error.message;
        }
        for (mxArray* input : inputs) mxDestroyArray(input);
        std::ifstream file(written);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "2 1:0.5 3:-1\n-1 2:4\n");
    }
    release(read);
}

// A rows x cols sparse matrix of MATLAB's layout holding the given dense values, column-major;
// with storeZeros, every entry is stored, zeros (+0 and -0) among them, as MATLAB may store them.
mxArray* sparseOf(std::size_t rows, std::size_t cols, const std::vector<double>& dense, bool storeZeros) {
    mxArray* array = mxCreateSparse(rows, cols, rows * cols, mxREAL);
    mwIndex* starts = mxGetJc(array);
    mwIndex* rowIndices = mxGetIr(array);
    double* values = static_cast<double*>(mxGetData(array));
    mwIndex count = 0;
    for (std::size_t c = 0; c < cols; ++c) {
        starts[c] = count;
        for (std::size_t r = 0; r < rows; ++r) {
            if (dense[r + rows * c] == 0.0 && !storeZeros) continue;
            rowIndices[count] = r;
            values[count++] = dense[r + rows * c];
        }
    }
    starts[cols] = count;
    return array;
}

// Explicit zeros in a sparse X are zeros: the kernel of the dense values to the last bit, and
// the checksum of the same matrix without them.
TEST_F(MatlabBuild, StoredZerosOfASparseMatrixAreZeros) {
    const std::vector<double> dense{0.0, 1.5, -0.0, 0.0, -2.0, 0.0, 3.0, -0.0, 0.25, 0.0, 0.0, 1e-310};
    const auto call = [&](const char* command, mxArray* examples) {
        std::vector<mxArray*> inputs{mxCreateString(command), examples};
        if (std::strcmp(command, "kernel") == 0) {
            for (mxArray* input : {matrix(0, 0, {}), mxCreateString("rbf"), scalar(0.7), scalar(1), scalar(0), scalar(1)}) {
                inputs.push_back(input);
            }
        }
        mxArray* output = nullptr;
        auto entry = reinterpret_cast<MexFunction>(symbolOf("zelmor_engine", "mexFunction"));
        EXPECT_NE(entry, nullptr);
        try {
            entry(1, &output, static_cast<int>(inputs.size()), const_cast<const mxArray**>(inputs.data()));
        } catch (const standin::HostError& error) {
            ADD_FAILURE() << error.id << ": " << error.message;
        }
        for (mxArray* input : inputs) mxDestroyArray(input);
        return output;
    };
    mxArray* expected = call("kernel", matrix(3, 4, dense));
    mxArray* kernel = call("kernel", sparseOf(3, 4, dense, true));
    ASSERT_NE(expected, nullptr);
    ASSERT_NE(kernel, nullptr);
    EXPECT_EQ(std::memcmp(mxGetData(kernel), mxGetData(expected), 9 * sizeof(double)), 0);
    mxArray* withZeros = call("checksum", sparseOf(3, 4, dense, true));
    mxArray* without = call("checksum", sparseOf(3, 4, dense, false));
    char a[17] = {}, b[17] = {};
    mxGetString(withZeros, a, sizeof a);
    mxGetString(without, b, sizeof b);
    EXPECT_STREQ(a, b);
    for (mxArray* output : {expected, kernel, withZeros, without}) mxDestroyArray(output);
}

}  // namespace
