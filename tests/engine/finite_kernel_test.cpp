// Kernels that overflow are refused wherever the engine computes one from features: the folds'
// kernels of a cross-validation, the final fit's (both through the kernel cache) and the
// prediction's, by KernelNotFinite.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "finite_kernel.h"
#include "predict.h"
#include "search.h"

namespace {

using namespace zelmor::engine;

TEST(FiniteKernelTest, RefusesTheFirstValueThatIsNotFinite) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const double largest = std::numeric_limits<double>::max();
    const double tiny = std::numeric_limits<double>::denorm_min();
    std::vector<double> values{0.0, -0.0, 1.0, -largest, largest, tiny, -tiny, 3.5};
    EXPECT_NO_THROW(requireFiniteKernel(values.data(), static_cast<std::int64_t>(values.size())));
    EXPECT_NO_THROW(requireFiniteKernel(nullptr, 0));
    for (double bad : {kInf, -kInf, std::nan("")}) {
        for (std::size_t at : {std::size_t{0}, std::size_t{5}, values.size() - 1}) {
            std::vector<double> damaged = values;
            damaged[at] = bad;
            damaged.push_back(-kInf);  // not the first
            try {
                requireFiniteKernel(damaged.data(), static_cast<std::int64_t>(damaged.size()));
                ADD_FAILURE() << "no KernelNotFinite for " << bad << " at " << at;
            } catch (const KernelNotFinite& failure) {
                EXPECT_TRUE(std::isnan(bad) ? std::isnan(failure.value) : failure.value == bad) << at;
            }
        }
    }
}

// Two examples per class of three, features of ordinary scale: (gamma x.z + 1)^degree with a
// degree of a billion overflows on every diagonal entry.
struct Overflowing {
    std::vector<double> x{0.5, 0.6, -0.5, -0.4, 0.1, 0.2, 1.0, 1.1, 0.3, 0.2, -1.0, -0.9};
    std::vector<double> labels{1, 1, 2, 2, 3, 3};
    std::vector<double> folds{1, 2, 1, 2, 1, 2};
    GridProblem problem;

    explicit Overflowing(KernelType type, double scale) {
        for (double& value : x) value *= scale;
        problem.labels = labels.data();
        problem.exampleCount = 6;
        problem.classCount = 3;
        problem.features = Examples{x.data(), 6, 2};
        KernelSetting setting;
        setting.type = type;
        setting.gamma = 1.0;
        setting.degree = 1000000000;
        setting.offset = 1.0;
        problem.kernelSettings.push_back(setting);
        problem.betas = {1.0, 0.5};
        problem.folds = folds.data();
        problem.foldCount = 2;
    }
};

TEST(FiniteKernelTest, EveryKernelFromFeaturesIsChecked) {
    for (const auto& [type, scale] : {std::pair{KernelType::Poly, 1.0}, std::pair{KernelType::Linear, 1e200}}) {
        const Overflowing set(type, scale);
        RunSettings settings;
        settings.threadCount = 2;
        EXPECT_THROW(crossValidate(set.problem, settings, RunControl{}), KernelNotFinite);
        EXPECT_THROW(crossValidateUnits(set.problem, {GridUnit{0, 1}}, settings, RunControl{}), KernelNotFinite);
        EXPECT_THROW(fitModel(set.problem, 0, 1.0, settings, RunControl{}), KernelNotFinite);
        const std::vector<double> tau{1, 0, -1, 0, 0, 0, -1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        std::vector<double> out(18);
        EXPECT_THROW(decisionValuesOnThreads(&set.problem.kernelSettings[0], nullptr, set.problem.features,
                                             set.problem.features, tau.data(), 3, out.data(), 2, nullptr),
                     KernelNotFinite);
    }
    // The same kernels at a degree that does not overflow go through.
    Overflowing fine(KernelType::Poly, 1.0);
    fine.problem.kernelSettings[0].degree = 3;
    RunSettings settings;
    EXPECT_NO_THROW(crossValidate(fine.problem, settings, RunControl{}));
    EXPECT_NO_THROW(fitModel(fine.problem, 0, 1.0, settings, RunControl{}));
}

}  // namespace
