// Every variant of the solve this CPU can run (instruction set and sweep mode), checked bit for
// bit against the reference solver: random problems, block tails and masks, the warm start's
// cache blocks, the kernel row/column choice, signed zeros and values that overflow.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include "dual_solver.h"
#include "reference.h"
#include "solve_internals.h"
#include "problems.h"

namespace {

using testing_support::firstBitDifference;
using testing_support::OwnedProblem;
using testing_support::RandomOptions;
using testing_support::sameBits;
using zelmor::detail::InstructionSet;
using zelmor::detail::SweepMode;

::testing::AssertionResult everyVariantAgreesWithTheReference(const OwnedProblem& p, double tolerance) {
    const zelmor::SolveResult reference = zelmor::reference::solveDual(p.problem(), p.start(), tolerance);
    for (InstructionSet set : testing_support::supportedInstructionSets()) {
        for (SweepMode mode : {SweepMode::Dense, SweepMode::ClassSparse}) {
            const zelmor::SolveResult got =
                zelmor::detail::solveDualUsing(set, p.problem(), p.start(), tolerance, -1, {}, mode);
            if (got.iterationCount != reference.iterationCount) {
                return ::testing::AssertionFailure()
                       << zelmor::detail::nameOf(set) << " " << zelmor::detail::nameOf(mode) << " " << p.describe()
                       << ": count " << got.iterationCount << " vs " << reference.iterationCount;
            }
            const std::int64_t diff = firstBitDifference(got.tau, reference.tau);
            if (diff != -1) {
                return ::testing::AssertionFailure()
                       << zelmor::detail::nameOf(set) << " " << zelmor::detail::nameOf(mode) << " " << p.describe()
                       << ": first tau difference at " << diff;
            }
        }
    }
    return ::testing::AssertionSuccess();
}

// hi and lo of example j as the sweep measures them, over a row-major gradient.
std::pair<double, double> extremesOf(const std::vector<double>& grad, const std::vector<bool>& eligible,
                                     std::int64_t j, std::int32_t k) {
    double hi = -100.0;
    double lo = 100.0;
    for (std::int32_t m = 0; m < k; ++m) {
        const double g = grad[static_cast<std::size_t>(j * k + m)];
        if (g > hi) hi = g;
        if (eligible[static_cast<std::size_t>(j * k + m)] && lo > g) lo = g;
    }
    return {hi, lo};
}

// The sweep one example at a time, over a row-major gradient and per-entry eligibility.
zelmor::detail::Selection referenceSweep(const std::vector<double>& grad, const std::vector<bool>& eligible,
                                         std::int64_t n, std::int32_t k) {
    zelmor::detail::Selection best{-1, -100.0};
    for (std::int64_t j = 0; j < n; ++j) {
        const auto [hi, lo] = extremesOf(grad, eligible, j, k);
        if (hi - lo > best.violation) best = zelmor::detail::Selection{j, hi - lo};
    }
    return best;
}

// A gradient of up to 40 examples and 9 classes drawn from a palette, with random
// eligibility, laid out for the solve loops in the blocked or the class-major layout (padding
// lanes hold NaN: they must never be selected nor change a result).
struct LoopsFixture {
    std::int64_t n = 0;
    std::int32_t k = 0;
    std::vector<double> grad;  // row-major, entry (i, m) at i * k + m
    std::vector<bool> eligible;
    alignas(64) double cells[5 * 9 * 8];
    std::uint8_t bits[5 * 9] = {};
    std::uint8_t blockBits[5 * 9] = {};
    alignas(64) double bounds[5 * 16];
    double largest[5];
    zelmor::detail::GradientLayout layout;

    template <std::size_t kPalette>
    LoopsFixture(std::mt19937_64& rng, const double (&palette)[kPalette]) {
        n = 1 + static_cast<std::int64_t>(rng() % 40);
        k = 1 + static_cast<std::int32_t>(rng() % 9);
        grad.resize(static_cast<std::size_t>(n * k));
        eligible.resize(grad.size());
        for (std::size_t i = 0; i < grad.size(); ++i) {
            grad[i] = palette[rng() % kPalette];
            eligible[i] = rng() % 3 != 0;
        }
    }

    // Fills the layout the solve keeps for the sweep mode, its eligibility included.
    void layOut(bool classMajor) {
        const std::int64_t blocks = (n + 7) / 8;
        layout = zelmor::detail::GradientLayout{};
        layout.grad = cells;
        layout.eligible = bits;
        layout.blockEligible = blockBits;
        layout.exampleCount = n;
        layout.blockCount = blocks;
        layout.classCount = k;
        layout.blockStride = classMajor ? 8 : k * 8;
        layout.classStride = classMajor ? blocks * 8 : 8;
        layout.eligibleBlockStride = classMajor ? 1 : k;
        layout.eligibleClassStride = classMajor ? blocks : 1;
        if (classMajor) {
            layout.bounds = bounds;
            layout.blockLargest = largest;
        }
        std::fill(cells, cells + 5 * 9 * 8, std::numeric_limits<double>::quiet_NaN());
        std::fill(bits, bits + 5 * 9, 0);
        std::fill(blockBits, blockBits + 5 * 9, 0);
        for (std::int64_t i = 0; i < n; ++i) {
            for (std::int32_t m = 0; m < k; ++m) {
                at(i, m) = grad[static_cast<std::size_t>(i * k + m)];
                if (!eligible[static_cast<std::size_t>(i * k + m)]) continue;
                bits[(i / 8) * layout.eligibleBlockStride + m * layout.eligibleClassStride] |= 1u << (i % 8);
                blockBits[(i / 8) * k + m] |= 1u << (i % 8);
            }
        }
    }

    double& at(std::int64_t i, std::int32_t m) { return layout.gradAt(i / 8, m)[i % 8]; }
};

// The solve loops alone on gradients drawn from a palette of awkward values: NaN, infinities,
// zeros of both signs, the sweep's bounds -100 and 100 and their neighbours, ties. Updates
// multiply infinities by zeros and add opposite infinities. Every build must select the same
// example with an equal violation and leave the same gradient bits.
TEST(SolveVariants, LoopsSweepAwkwardValuesAsDefined) {
    volatile double inf = std::numeric_limits<double>::infinity();
    // The NaN the hardware makes from an invalid operation. The solver's inputs are finite, so
    // that is the only NaN it ever meets, and then no bit shows which operand a NaN came from
    // (compilers may swap the operands of a sum).
    const double nan = inf - inf;
    const double palette[] = {-0.0, 0.0, 1.0, -1.0, 0.5, nan, inf, -inf,
                              100.0, -100.0, 99.5, -100.5, 1e308, -1e308, 5e-324};
    std::mt19937_64 rng(99);
    for (int trial = 0; trial < 3000; ++trial) {
        LoopsFixture f(rng, palette);
        const std::int64_t n = f.n;
        const std::int32_t k = f.k;
        const bool update = trial % 2 == 1;
        std::vector<double> line(static_cast<std::size_t>(n));
        std::vector<double> delta(static_cast<std::size_t>(k));
        for (auto& x : line) x = palette[rng() % std::size(palette)];
        for (auto& d : delta) d = palette[rng() % std::size(palette)];

        std::vector<double> expectedGrad = f.grad;
        if (update) {
            for (std::int64_t l = 0; l < n; ++l) {
                for (std::int32_t m = 0; m < k; ++m) {
                    double& g = expectedGrad[static_cast<std::size_t>(l * k + m)];
                    g = delta[static_cast<std::size_t>(m)] * line[static_cast<std::size_t>(l)] + g;
                }
            }
        }
        const zelmor::detail::Selection expected = referenceSweep(expectedGrad, f.eligible, n, k);

        for (InstructionSet set : testing_support::supportedInstructionSets()) {
            f.layOut(false);
            const zelmor::detail::SolveLoops& loops = zelmor::detail::loopsFor(set);
            const zelmor::detail::Selection got =
                update ? loops.updateAndSelect(f.layout, line.data(), delta.data()) : loops.select(f.layout);
            ASSERT_EQ(got.example, expected.example) << zelmor::detail::nameOf(set) << " trial " << trial;
            ASSERT_TRUE(got.violation == expected.violation) << zelmor::detail::nameOf(set) << " trial " << trial;
            for (std::int64_t i = 0; i < n; ++i) {
                for (std::int32_t m = 0; m < k; ++m) {
                    ASSERT_TRUE(sameBits(f.at(i, m), expectedGrad[static_cast<std::size_t>(i * k + m)]))
                        << zelmor::detail::nameOf(set) << " trial " << trial << " entry " << i << "," << m;
                }
            }
        }
    }
}

// The class-sparse update and sweep alone, in the class-major layout, from bounds of hi and lo
// made as loose as bounds may be (up to infinities): only the changed classes are written, the
// selection is the full sweep's over the gradient the dense update would leave (which differs
// only in the signs of zeros in unchanged classes), and every bound still bounds afterwards.
// Gradients from the awkward palette, ties included; kernel lines finite, as the solver's are.
TEST(SolveVariants, ClassSparseSweepSelectsAsTheFullOneFromAnyBounds) {
    volatile double inf = std::numeric_limits<double>::infinity();
    const double nan = inf - inf;
    const double palette[] = {-0.0, 0.0, 1.0, -1.0, 0.5, nan, inf, -inf, 100.0, -100.0, 99.5, -100.5, 1e308, -1e308};
    const double finite[] = {-0.0, 0.0, 1.0, -1.0, 0.5, 0.25, 2.0, 1e-300, 1e300, -7.0};
    std::mt19937_64 rng(4711);
    for (int trial = 0; trial < 2000; ++trial) {
        LoopsFixture f(rng, palette);
        const std::int64_t n = f.n;
        const std::int32_t k = f.k;
        std::vector<double> line(static_cast<std::size_t>(n));
        for (auto& x : line) x = finite[rng() % std::size(finite)];
        std::vector<std::int32_t> classes;
        std::vector<double> deltas;
        std::vector<double> expectedGrad = f.grad;
        for (std::int32_t m = 0; m < k; ++m) {
            // A zero delta, of either sign, leaves its class out of the update.
            const double d = rng() % 3 == 0 ? (rng() % 2 ? 0.0 : -0.0) : palette[rng() % std::size(palette)];
            if (d != 0.0 || std::isnan(d)) {
                classes.push_back(m);
                deltas.push_back(d);
            }
            for (std::int64_t l = 0; l < n; ++l) {
                double& g = expectedGrad[static_cast<std::size_t>(l * k + m)];
                g = d * line[static_cast<std::size_t>(l)] + g;
            }
        }
        const zelmor::detail::Selection expected = referenceSweep(expectedGrad, f.eligible, n, k);

        for (InstructionSet set : testing_support::supportedInstructionSets()) {
            f.layOut(true);
            const double slack[] = {0.0, 0.5, 1e300, inf};
            for (std::int64_t i = 0; i < n; ++i) {
                const auto [hi, lo] = extremesOf(f.grad, f.eligible, i, k);
                f.bounds[(i / 8) * 16 + i % 8] = hi + slack[rng() % 4];
                f.bounds[(i / 8) * 16 + 8 + i % 8] = lo - slack[rng() % 4];
            }
            zelmor::detail::SparseUpdate update;
            update.line = line.data();
            update.changed = zelmor::detail::ChangedClasses{static_cast<std::int32_t>(classes.size()), classes.data(),
                                                            deltas.data()};
            update.updatedExample = rng() % 2 ? static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(n)) : -1;
            const zelmor::detail::Selection got = zelmor::detail::loopsFor(set).sparseUpdateAndSelect(f.layout, update);
            const std::string where = std::string(zelmor::detail::nameOf(set)) + " trial " + std::to_string(trial);
            ASSERT_EQ(got.example, expected.example) << where;
            ASSERT_TRUE(got.violation == expected.violation) << where;
            for (std::int64_t i = 0; i < n; ++i) {
                for (std::int32_t m = 0; m < k; ++m) {
                    const bool changed = std::find(classes.begin(), classes.end(), m) != classes.end();
                    const double expectedValue = changed ? expectedGrad[static_cast<std::size_t>(i * k + m)]
                                                         : f.grad[static_cast<std::size_t>(i * k + m)];
                    ASSERT_TRUE(sameBits(f.at(i, m), expectedValue)) << where << " entry " << i << "," << m;
                }
                const auto [hi, lo] = extremesOf(expectedGrad, f.eligible, i, k);
                ASSERT_GE(f.bounds[(i / 8) * 16 + i % 8], hi) << where << " example " << i;
                ASSERT_LE(f.bounds[(i / 8) * 16 + 8 + i % 8], lo) << where << " example " << i;
            }
        }
    }
}

// Long enough for the automatic mode to weigh the share of classes the updates change, window
// after window, and to move the gradient between its two layouts on the way; k from 4, where
// most classes change, to 26, where few do.
TEST(SolveVariants, AutomaticModeAgreesWithTheReferenceAcrossLayoutMoves) {
    struct Case {
        std::int32_t n;
        std::int32_t k;
        double beta;
        std::int64_t limit;
    };
    const Case cases[] = {{200, 4, 0.3, 6000}, {160, 6, 0.1, 6000}, {120, 12, 0.05, 6000}, {96, 26, 0.1, 4000}};
    std::uint64_t seed = 5000;
    for (const Case& c : cases) {
        const OwnedProblem p = testing_support::clusteredProblem(c.n, c.k, ++seed, 0.02, c.beta);
        const auto reference = zelmor::reference::solveDual(p.problem(), p.start(), 0.0, c.limit);
        for (InstructionSet set : testing_support::supportedInstructionSets()) {
            const auto got =
                zelmor::detail::solveDualUsing(set, p.problem(), p.start(), 0.0, c.limit, {}, SweepMode::Automatic);
            EXPECT_EQ(got.iterationCount, reference.iterationCount) << p.describe();
            EXPECT_EQ(firstBitDifference(got.tau, reference.tau), -1) << p.describe();
            // There and back: the class-sparse layout is left and taken up again.
            EXPECT_GE(got.layoutMoves, 2) << p.describe();
        }
    }
}

// Moves between the layouts every few iterations, from the first ones of a cold or warm start,
// where gradients change most, to the end: after every move the selection is the full sweep's,
// whatever bounds the class-sparse layout kept from its last use.
TEST(SolveVariants, AlternatingLayoutsAgreeWithTheReference) {
    RandomOptions options;
    for (std::uint64_t seed = 200001; seed <= 201500; ++seed) {
        const OwnedProblem p = testing_support::randomProblem(seed, options);
        const auto reference = zelmor::reference::solveDual(p.problem(), p.start(), 0.0, 300);
        for (InstructionSet set : testing_support::supportedInstructionSets()) {
            const auto got =
                zelmor::detail::solveDualUsing(set, p.problem(), p.start(), 0.0, 300, {}, SweepMode::Alternating);
            ASSERT_EQ(got.iterationCount, reference.iterationCount) << p.describe();
            ASSERT_EQ(firstBitDifference(got.tau, reference.tau), -1) << p.describe() << " " << nameOf(set);
        }
    }
}

// Workers for a solve: each pass's pieces on threads of their own, started for the pass, or on
// this thread from the last piece to the first.
struct TestWorkers {
    static void onThreads(void*, std::int64_t count, void (*piece)(void*, std::int64_t), void* pieceContext) {
        std::vector<std::thread> threads;
        for (std::int64_t i = 1; i < count; ++i) threads.emplace_back([=] { piece(pieceContext, i); });
        piece(pieceContext, 0);
        for (std::thread& thread : threads) thread.join();
    }
    static void backwards(void*, std::int64_t count, void (*piece)(void*, std::int64_t), void* pieceContext) {
        for (std::int64_t i = count - 1; i >= 0; --i) piece(pieceContext, i);
    }
};

// A pass cut into pieces, one block each up to many, in both layouts and across their moves:
// the same bits as one pass.
TEST(SolveVariants, PassesSharedAmongThreadsAgreeWithTheReference) {
    RandomOptions options;
    options.maxExamples = 70;
    for (std::uint64_t seed = 300001; seed <= 300150; ++seed) {
        const OwnedProblem p = testing_support::randomProblem(seed, options);
        const auto reference = zelmor::reference::solveDual(p.problem(), p.start(), 0.0, 400);
        for (int threads : {2, 3, 7}) {
            for (SweepMode mode : {SweepMode::Dense, SweepMode::ClassSparse, SweepMode::Alternating}) {
                zelmor::SolveWorkers workers;
                workers.run = seed % 25 == 0 ? TestWorkers::onThreads : TestWorkers::backwards;
                workers.threads = threads;
                workers.leastBlocks = 1;
                zelmor::SolveControl control;
                control.tolerance = 0.0;
                control.iterationLimit = 400;
                control.workers = &workers;
                const auto got = zelmor::detail::solveDualUsing(zelmor::detail::fastestSupported(), p.problem(),
                                                                p.start(), control, {}, mode);
                ASSERT_EQ(got.iterationCount, reference.iterationCount) << p.describe() << " " << threads;
                ASSERT_EQ(firstBitDifference(got.tau, reference.tau), -1)
                    << p.describe() << " " << threads << " threads, " << nameOf(mode);
            }
        }
    }
}

// Thousands of small problems: asymmetric kernels, exact ties from duplicated examples, k = 1,
// warm starts from feasible and from infeasible points, beta over twelve decades.
TEST(SolveVariants, AgreeWithTheReferenceOnRandomProblems) {
    const double tolerances[] = {zelmor::kColdStartTolerance, zelmor::kContinuedSolveTolerance, 0.0};
    RandomOptions options;
    options.minBeta = 1e-6;
    options.maxBeta = 1e6;
    for (std::uint64_t seed = 100001; seed <= 103000; ++seed) {
        const OwnedProblem p = testing_support::randomProblem(seed, options);
        ASSERT_TRUE(everyVariantAgreesWithTheReference(p, tolerances[seed % 3])) << "seed " << seed;
    }
}

// Weights bound each row at its own scale: tiny and large ones beside exact ones, on every variant,
// in both layouts, moving between them, and with the pass shared among threads.
TEST(SolveVariants, AgreeWithTheReferenceOnWeightedProblems) {
    const double tolerances[] = {zelmor::kColdStartTolerance, zelmor::kContinuedSolveTolerance, 0.0};
    RandomOptions options;
    options.weighted = true;
    options.minBeta = 1e-4;
    options.maxBeta = 1e4;
    for (std::uint64_t seed = 110001; seed <= 111200; ++seed) {
        const OwnedProblem p = testing_support::randomProblem(seed, options);
        ASSERT_TRUE(everyVariantAgreesWithTheReference(p, tolerances[seed % 3])) << "seed " << seed;
        if (seed % 4 != 0) continue;
        const auto reference = zelmor::reference::solveDual(p.problem(), p.start(), 0.0, 300);
        zelmor::SolveWorkers workers;
        workers.run = TestWorkers::backwards;
        workers.threads = 3;
        workers.leastBlocks = 1;
        zelmor::SolveControl control;
        control.tolerance = 0.0;
        control.iterationLimit = 300;
        control.workers = seed % 8 == 0 ? &workers : nullptr;
        const auto got = zelmor::detail::solveDualUsing(zelmor::detail::fastestSupported(), p.problem(), p.start(),
                                                        control, {}, SweepMode::Alternating);
        ASSERT_EQ(got.iterationCount, reference.iterationCount) << p.describe();
        ASSERT_EQ(firstBitDifference(got.tau, reference.tau), -1) << p.describe();
    }
}

// Every weight 1 is no weight, to the bit, on every variant; and a row keeps to its bound w * Y.
TEST(SolveVariants, WeightsOfOneGiveTheBitsOfNoWeights) {
    RandomOptions options;
    for (std::uint64_t seed = 120001; seed <= 120300; ++seed) {
        const OwnedProblem plain = testing_support::randomProblem(seed, options);
        OwnedProblem ones = plain;
        ones.weights.assign(static_cast<std::size_t>(plain.n), 1.0);
        for (InstructionSet set : testing_support::supportedInstructionSets()) {
            for (SweepMode mode : {SweepMode::Dense, SweepMode::ClassSparse}) {
                const auto without = zelmor::detail::solveDualUsing(set, plain.problem(), plain.start(), 0.001, -1, {}, mode);
                const auto with = zelmor::detail::solveDualUsing(set, ones.problem(), ones.start(), 0.001, -1, {}, mode);
                ASSERT_EQ(with.iterationCount, without.iterationCount) << plain.describe();
                ASSERT_EQ(firstBitDifference(with.tau, without.tau), -1) << plain.describe() << " " << nameOf(set);
            }
        }
    }
    options.weighted = true;
    options.allowWarm = false;
    for (std::uint64_t seed = 121001; seed <= 121200; ++seed) {
        const OwnedProblem p = testing_support::randomProblem(seed, options);
        const auto solved = zelmor::solveDual(p.problem(), p.start(), 0.001);
        for (std::int32_t i = 0; i < p.n; ++i) {
            double sum = 0.0;
            for (std::int32_t m = 0; m < p.k; ++m) {
                const double t = solved.tau[static_cast<std::size_t>(i + m * p.n)];
                const double bound = m + 1 == static_cast<std::int32_t>(p.labels[static_cast<std::size_t>(i)])
                                         ? p.weights[static_cast<std::size_t>(i)]
                                         : 0.0;
                ASSERT_LE(t, bound) << p.describe() << " row " << i;
                sum += t;
            }
            // The projection meets its sum to within 1e-6, at the row's scale.
            ASSERT_LE(std::abs(sum), 2e-6 * std::max(1.0, p.weights[static_cast<std::size_t>(i)])) << p.describe();
        }
    }
}

// The iteration limit benchmarks use to time a stretch of a long solve stops both solvers at
// the same iteration with the same count.
TEST(SolveVariants, IterationLimitStopsLikeTheCap) {
    for (std::uint64_t seed = 400001; seed <= 400040; ++seed) {
        const OwnedProblem p = testing_support::randomProblem(seed);
        for (std::int64_t limit : {0, 1, 5, 17}) {
            const auto reference = zelmor::reference::solveDual(p.problem(), p.start(), 0.0, limit);
            EXPECT_LE(reference.iterationCount, limit);
            for (InstructionSet set : testing_support::supportedInstructionSets()) {
                const auto got = zelmor::detail::solveDualUsing(set, p.problem(), p.start(), 0.0, limit);
                EXPECT_EQ(got.iterationCount, reference.iterationCount) << "seed " << seed << " limit " << limit;
                EXPECT_EQ(firstBitDifference(got.tau, reference.tau), -1) << "seed " << seed << " limit " << limit;
            }
        }
    }
}

// n around multiples of the vector widths (4 and 8 examples) and k across the class counts
// the warm-start tiles split differently (tiles of 6 classes).
TEST(SolveVariants, AgreeWithTheReferenceAcrossBlockTails) {
    const std::int32_t exampleCounts[] = {1, 2, 3, 4, 5, 7, 8, 9, 12, 15, 16, 17, 23, 24, 25, 31, 32, 33, 41};
    const std::int32_t classCounts[] = {1, 2, 3, 5, 6, 7, 11, 12, 13, 26};
    std::uint64_t seed = 200000;
    for (std::int32_t n : exampleCounts) {
        for (std::int32_t k : classCounts) {
            RandomOptions options;
            options.exampleCount = n;
            options.classCount = k;
            const OwnedProblem p = testing_support::randomProblem(++seed, options);
            ASSERT_TRUE(everyVariantAgreesWithTheReference(p, zelmor::kColdStartTolerance)) << "seed " << seed;
        }
    }
}

// Doubles over many binades: any change in the order of a sum changes its bits.
std::vector<double> wideRangeValues(std::size_t count, std::mt19937_64& rng) {
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_int_distribution<int> exponent(-30, 30);
    std::vector<double> values(count);
    for (auto& v : values) v = std::ldexp(normal(rng), exponent(rng));
    return values;
}

// The warm start's G * tau0 against the sums written out, in increasing l from 0.0, for n
// across the row tiles (8 and 32 examples) and column blocks (128 columns) of the solve loops.
TEST(SolveVariants, WarmStartSumsInOrderAcrossCacheBlocks) {
    const std::int32_t exampleCounts[] = {1, 7, 8, 9, 31, 32, 33, 127, 128, 129, 255, 257, 300};
    const std::int32_t classCounts[] = {1, 5, 6, 7, 26};
    std::mt19937_64 rng(31337);
    for (std::int32_t n : exampleCounts) {
        for (std::int32_t k : classCounts) {
            OwnedProblem p;
            p.n = n;
            p.k = k;
            p.beta = 0.75;
            p.warm = true;
            p.kernel = wideRangeValues(static_cast<std::size_t>(n) * n, rng);
            p.tau0 = wideRangeValues(static_cast<std::size_t>(n) * k, rng);
            for (std::int32_t i = 0; i < n; ++i) p.labels.push_back(1 + (i * 7) % k);

            std::vector<double> expected(static_cast<std::size_t>(n) * k);
            for (std::int64_t j = 0; j < n; ++j) {
                for (std::int64_t m = 0; m < k; ++m) {
                    double sum = 0.0;
                    for (std::int64_t l = 0; l < n; ++l) sum = sum + p.kernel[j + l * n] * p.tau0[l + m * n];
                    if (m == static_cast<std::int64_t>(p.labels[j]) - 1) sum = sum - p.beta;
                    expected[j * k + m] = sum;
                }
            }
            for (InstructionSet set : testing_support::supportedInstructionSets()) {
                const auto got = zelmor::detail::startGradientUsing(set, p.problem(), p.start());
                ASSERT_EQ(firstBitDifference(got, expected), -1)
                    << zelmor::detail::nameOf(set) << " n=" << n << " k=" << k;
            }
        }
    }
}

// The update follows row p of the kernel. Reading column p instead is allowed only when the two
// are bitwise equal; a kernel symmetric but for one entry must still be followed row by row.
TEST(SolveVariants, FollowRowPWhereTheKernelIsNotSymmetric) {
    RandomOptions options;
    options.exampleCount = 21;
    options.classCount = 4;
    options.allowWarm = false;
    OwnedProblem symmetric = testing_support::randomProblem(4242, options);
    const std::int64_t n = symmetric.n;
    for (std::int64_t c = 0; c < n; ++c) {
        for (std::int64_t r = 0; r < c; ++r) symmetric.kernel[c + r * n] = symmetric.kernel[r + c * n];
    }
    // Example 0 is the first one the cold start selects: every violation is beta and ties go
    // to the lowest index. Rows 9 and 17 sit in a later block of eight.
    struct Case {
        const char* name;
        std::int64_t row;
        std::int64_t column;
        double factor;
    };
    const Case cases[] = {
        {"row 0 differs in one entry", 0, 5, 1.001},
        {"row 9 differs in one entry", 9, 3, 0.999},
        {"row 17 differs in its last entry", 17, 20, 1.0 + 1e-12},
        {"row 20 differs in its first entry", 20, 0, 1.01},
    };
    const zelmor::SolveResult base = zelmor::reference::solveDual(symmetric.problem(), symmetric.start(), 0.0);
    bool somePerturbationMatters = false;
    for (const Case& c : cases) {
        OwnedProblem p = symmetric;
        p.kernel[c.row + c.column * n] *= c.factor;
        EXPECT_TRUE(everyVariantAgreesWithTheReference(p, 0.0)) << c.name;
        // Had a solver read column `row`, it would have solved the symmetric problem instead.
        const zelmor::SolveResult perturbed = zelmor::reference::solveDual(p.problem(), p.start(), 0.0);
        somePerturbationMatters = somePerturbationMatters || firstBitDifference(perturbed.tau, base.tau) != -1;
    }
    EXPECT_TRUE(somePerturbationMatters);
    EXPECT_TRUE(everyVariantAgreesWithTheReference(symmetric, 0.0));

    // Shapes are learned for groups of 64 examples: asymmetric rows on both sides of a group
    // boundary, in a kernel otherwise symmetric.
    RandomOptions wide = options;
    wide.exampleCount = 150;
    OwnedProblem large = testing_support::randomProblem(4343, wide);
    const std::int64_t m = large.n;
    for (std::int64_t c = 0; c < m; ++c) {
        for (std::int64_t r = 0; r < c; ++r) large.kernel[c + r * m] = large.kernel[r + c * m];
    }
    EXPECT_TRUE(everyVariantAgreesWithTheReference(large, zelmor::kColdStartTolerance));
    for (std::int64_t row : {0, 63, 64, 127, 128, 149}) large.kernel[row + ((row + 7) % m) * m] *= 1.0001;
    EXPECT_TRUE(everyVariantAgreesWithTheReference(large, zelmor::kColdStartTolerance));

    // A mirror pair differing only in the sign of a zero is not bitwise symmetric.
    OwnedProblem signedZero = symmetric;
    signedZero.kernel[0 + 3 * n] = 0.0;
    signedZero.kernel[3 + 0 * n] = -0.0;
    EXPECT_TRUE(everyVariantAgreesWithTheReference(signedZero, 0.0));
}

// Huge kernel entries overflow the warm start's sums and products to infinities of both signs
// and to NaN, inside gradient rows that also hold finite values; the sweep's comparisons then
// meet NaN and must treat it as the scalar `g > hi` and `lo > g` do.
TEST(SolveVariants, AgreeWithTheReferenceWhenValuesOverflow) {
    std::mt19937_64 rng(808);
    std::uniform_real_distribution<double> magnitude(0.1, 1.0);
    std::uniform_real_distribution<double> tauValue(-2.0, 2.0);
    int problemsWithNaN = 0;
    int problemsWithInfinity = 0;
    for (int trial = 0; trial < 300; ++trial) {
        OwnedProblem p;
        p.n = 1 + trial % 13;
        p.k = 1 + trial % 7;
        p.beta = trial % 3 == 0 ? 1e308 : 0.5;
        p.warm = trial % 4 != 3;
        const double scale = trial % 2 == 0 ? 1e308 : 1e154;
        p.kernel.resize(static_cast<std::size_t>(p.n) * p.n);
        for (std::int32_t c = 0; c < p.n; ++c) {
            for (std::int32_t r = 0; r < p.n; ++r) {
                const double sign = r == c || rng() % 2 == 0 ? 1.0 : -1.0;
                p.kernel[static_cast<std::size_t>(r + c * p.n)] = sign * scale * magnitude(rng);
            }
        }
        for (std::int32_t i = 0; i < p.n; ++i) p.labels.push_back(1 + static_cast<double>(rng() % p.k));
        p.tau0.resize(static_cast<std::size_t>(p.n) * p.k);
        for (auto& t : p.tau0) t = tauValue(rng);

        const auto grad = zelmor::detail::startGradientUsing(InstructionSet::Portable, p.problem(), p.start());
        bool nan = false;
        bool infinity = false;
        for (double g : grad) {
            nan = nan || std::isnan(g);
            infinity = infinity || std::isinf(g);
        }
        problemsWithNaN += nan;
        problemsWithInfinity += infinity;
        ASSERT_TRUE(everyVariantAgreesWithTheReference(p, zelmor::kColdStartTolerance)) << "trial " << trial;
    }
    // The table must reach what it is for.
    EXPECT_GT(problemsWithNaN, 20);
    EXPECT_GT(problemsWithInfinity, 20);
}

// Zero gradient entries of either sign (beta = 0, integer kernels with zero entries, zero and
// negative-zero dual variables): hi and lo may end as -0.0 or 0.0, which only the sign of a
// zero violation can show, and a violation is only ever compared.
TEST(SolveVariants, AgreeWithTheReferenceOnSignedZeros) {
    const double tolerances[] = {zelmor::kColdStartTolerance, zelmor::kContinuedSolveTolerance, 0.0};
    std::mt19937_64 rng(2718);
    for (int trial = 0; trial < 400; ++trial) {
        RandomOptions options;
        options.maxExamples = 20;
        options.maxClasses = 5;
        OwnedProblem p = testing_support::randomProblem(300000 + static_cast<std::uint64_t>(trial), options);
        p.beta = trial % 2 == 0 ? 0.0 : -0.0;
        for (auto& g : p.kernel) g = std::round(g);
        for (std::int32_t i = 0; i < p.n; ++i) {
            double& diag = p.kernel[static_cast<std::size_t>(i) * (p.n + 1)];
            if (diag == 0.0) diag = 1.0;
        }
        if (p.warm) {
            for (auto& t : p.tau0) t = rng() % 3 == 0 ? -0.0 : std::round(t);
        }
        ASSERT_TRUE(everyVariantAgreesWithTheReference(p, tolerances[trial % 3])) << "trial " << trial;
    }
}

}  // namespace
