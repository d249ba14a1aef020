// Sparse examples against the same values given dense: every base, kernel entry, kernel row,
// decision value, cross-validated count and fitted dual variable the same bits, on every
// instruction set and thread count, where the values are the hard ones for skipping terms:
// negative values, exact ties, subnormals, products that underflow to a signed zero, and zeros
// of either sign in the dense form.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "kernels.h"
#include "predict.h"
#include "problems.h"
#include "search.h"

namespace {

using namespace zelmor::engine;
using testing_support::firstBitDifference;

// count x features, column-major, about a third of the entries held. Feature 1 is zero in
// every example, and example 2 is zero in every feature.
std::vector<double> sparseLooking(std::int64_t count, std::int64_t features, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal(0.0, 2.0);
    std::uniform_int_distribution<int> kind(0, 14);
    std::vector<double> x(static_cast<std::size_t>(count * features), 0.0);
    for (std::int64_t f = 0; f < features; ++f) {
        for (std::int64_t i = 0; i < count; ++i) {
            double& value = x[static_cast<std::size_t>(i + f * count)];
            switch (kind(rng)) {
                case 0: value = std::round(normal(rng)); break;              // ties, often exact
                case 1: value = normal(rng) * 1e-310; break;                 // subnormal
                case 2: value = normal(rng) * 1e-170; break;                 // products underflow
                case 3: value = -0.0; break;
                case 4: value = normal(rng); break;
                case 5: value = -std::fabs(normal(rng)); break;
                default: break;                                              // +0.0
            }
            if (f == 1 || i == 2) value = i % 2 == 0 ? 0.0 : -0.0;
        }
    }
    return x;
}

// The examples' non-zeros, example by example, as the gateways hold them.
struct Compressed {
    std::vector<std::int64_t> starts{0};
    std::vector<std::int32_t> indices;
    std::vector<double> values;
    Examples examples;
};

Compressed compressed(const std::vector<double>& x, std::int64_t count, std::int64_t features) {
    Compressed c;
    for (std::int64_t i = 0; i < count; ++i) {
        for (std::int64_t f = 0; f < features; ++f) {
            const double value = x[static_cast<std::size_t>(i + f * count)];
            if (value == 0.0) continue;
            c.indices.push_back(static_cast<std::int32_t>(f));
            c.values.push_back(value);
        }
        c.starts.push_back(static_cast<std::int64_t>(c.values.size()));
    }
    c.examples = Examples{SparseFeatures{c.starts.data(), c.indices.data(), c.values.data()}, count, features};
    return c;
}

const KernelSetting kSettings[] = {{KernelType::Rbf, 0.3, 1, 0.0},
                                   {KernelType::Linear, 1.0, 1, 0.0},
                                   {KernelType::Poly, 0.5, 3, 1.0},
                                   {KernelType::Poly, 2.0, 2, 0.0}};

TEST(SparseKernels, MatricesAndRowsAreTheDenseBits) {
    // Square (mirrored, several chunks) and rectangular, with the tails of every tile shape.
    const struct {
        std::int64_t aCount, bCount, features;  // bCount -1: a with itself
    } shapes[] = {{300, -1, 9}, {37, 129, 6}, {5, -1, 1}, {0, 4, 3}};
    for (const auto& shape : shapes) {
        const bool square = shape.bCount < 0;
        const std::int64_t bCount = square ? shape.aCount : shape.bCount;
        const std::vector<double> xa = sparseLooking(shape.aCount, shape.features, 5);
        const std::vector<double> xb = square ? xa : sparseLooking(bCount, shape.features, 6);
        const Compressed sa = compressed(xa, shape.aCount, shape.features);
        const Compressed sb = compressed(xb, bCount, shape.features);
        const Examples da{xa.data(), shape.aCount, shape.features};
        const Examples db{xb.data(), bCount, shape.features};
        const std::int64_t ld = shape.aCount + 2;
        for (const KernelSetting& setting : kSettings) {
            std::vector<double> dense(static_cast<std::size_t>(ld * bCount), -1.0);
            std::vector<double> denseBase = dense;
            ASSERT_TRUE(kernelMatrix(setting, da, square ? nullptr : &db, dense.data(), ld, 1, nullptr));
            ASSERT_TRUE(baseMatrix(baseKindOf(setting.type), da, square ? nullptr : &db, denseBase.data(), ld, 1,
                                   nullptr));
            for (InstructionSet set : testing_support::supportedInstructionSets()) {
                for (int threads : {1, 3}) {
                    std::vector<double> sparse(dense.size(), -1.0);
                    std::vector<double> sparseBase = sparse;
                    ASSERT_TRUE(kernelMatrixUsing(set, setting, sa.examples, square ? nullptr : &sb.examples,
                                                  sparse.data(), ld, threads, nullptr));
                    ASSERT_TRUE(baseMatrixUsing(set, baseKindOf(setting.type), sa.examples,
                                                square ? nullptr : &sb.examples, sparseBase.data(), ld, threads,
                                                nullptr));
                    const std::int64_t at = firstBitDifference(sparse, dense);
                    EXPECT_EQ(at, -1) << zelmor::detail::nameOf(set) << ", type " << static_cast<int>(setting.type)
                                      << ", " << shape.aCount << " x " << shape.bCount << ", at " << at % ld << ", "
                                      << at / ld;
                    EXPECT_EQ(firstBitDifference(sparseBase, denseBase), -1);
                }
            }
            // Rows against a shuffled choice of b's examples, the kernel matrix's entries.
            std::vector<std::int64_t> chosen;
            for (std::int64_t j = bCount - 1; j >= 0; j -= 3) chosen.push_back(j);
            std::vector<double> row(chosen.size() + 1, -1.0);
            for (std::int64_t i = 0; i < shape.aCount; i += 7) {
                sparseKernelRow(setting, sa.examples, i, sb.examples, chosen.data(),
                                static_cast<std::int64_t>(chosen.size()), row.data());
                ASSERT_EQ(row.back(), -1.0);
                for (std::size_t c = 0; c < chosen.size(); ++c) {
                    ASSERT_TRUE(testing_support::sameBits(row[c], dense[static_cast<std::size_t>(i + chosen[c] * ld)]))
                        << "row " << i << ", column " << chosen[c];
                }
            }
        }
    }
}

// Three classes, the class's own features larger, mostly zeros.
struct SparseSet {
    std::int64_t n = 0;
    std::int64_t d = 0;
    std::vector<double> x;
    std::vector<double> labels;
    std::vector<double> folds;
};

SparseSet sparseSet(std::int64_t n, std::int64_t d) {
    SparseSet set{n, d, sparseLooking(n, d, 9), {}, {}};
    for (std::int64_t i = 0; i < n; ++i) {
        set.labels.push_back(static_cast<double>(i % 3 + 1));
        set.folds.push_back(static_cast<double>(i % 4 + 1));
        set.x[static_cast<std::size_t>(i + (3 + i % 3) * n)] += 2.0;
    }
    return set;
}

GridProblem gridOf(const SparseSet& set, const Examples& features, KernelType type) {
    GridProblem problem;
    problem.labels = set.labels.data();
    problem.exampleCount = static_cast<std::int32_t>(set.n);
    problem.classCount = 3;
    problem.features = features;
    for (double gamma : {0.05, 0.2}) problem.kernelSettings.push_back(KernelSetting{type, gamma, 2, 1.0});
    problem.betas = {2.0, 0.2, 0.02};
    problem.folds = set.folds.data();
    problem.foldCount = 4;
    return problem;
}

TEST(SparseSearch, CrossValidationFitAndDecisionValuesAreTheDenseBits) {
    const SparseSet set = sparseSet(160, 12);
    const Compressed sparse = compressed(set.x, set.n, set.d);
    const std::vector<double> test = sparseLooking(7000, set.d, 11);
    const Compressed sparseTest = compressed(test, 7000, set.d);
    for (KernelType type : {KernelType::Rbf, KernelType::Linear, KernelType::Poly}) {
        const GridProblem dense = gridOf(set, Examples{set.x.data(), set.n, set.d}, type);
        const GridProblem fromSparse = gridOf(set, sparse.examples, type);
        // One base matrix shared by the units, and each unit's columns from the features.
        for (std::int64_t cacheBytes : {std::int64_t{1} << 30, std::int64_t{8 * 170 * 10}}) {
            RunSettings settings;
            settings.threadCount = 2;
            settings.cacheBytes = cacheBytes;
            const bool shared = planSearch(fromSparse, settings, 8).sharedBase;
            EXPECT_EQ(shared, cacheBytes > 1e6);
            const GridResult a = crossValidate(dense, settings, RunControl{});
            const GridResult b = crossValidate(fromSparse, settings, RunControl{});
            EXPECT_EQ(a.correct, b.correct) << static_cast<int>(type) << (shared ? " shared" : " per unit");
            EXPECT_EQ(a.iterations, b.iterations);
            const Fit fitA = fitModel(dense, 1, 0.2, settings, RunControl{});
            const Fit fitB = fitModel(fromSparse, 1, 0.2, settings, RunControl{});
            EXPECT_EQ(firstBitDifference(fitA.tau, fitB.tau), -1) << static_cast<int>(type);
            // Decision values of new examples, in two blocks (of 6553 rows) on threads.
            std::vector<double> valuesA(7000 * 3), valuesB(7000 * 3);
            ASSERT_TRUE(decisionValuesOnThreads(&dense.kernelSettings[1], nullptr, Examples{test.data(), 7000, set.d},
                                                dense.features, fitA.tau.data(), 3, valuesA.data(), 2, nullptr));
            ASSERT_TRUE(decisionValuesOnThreads(&dense.kernelSettings[1], nullptr, sparseTest.examples,
                                                fromSparse.features, fitA.tau.data(), 3, valuesB.data(), 2, nullptr));
            EXPECT_EQ(firstBitDifference(valuesA, valuesB), -1);
        }
    }
}

}  // namespace
