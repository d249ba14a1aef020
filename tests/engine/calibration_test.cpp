// Scoring and calibration: balanced accuracy compared exactly where doubles would round apart,
// the choice of a cell by it, the engine's logarithm, the temperature as the log-loss's
// minimiser, and probabilities whose most probable class is the prediction, ties included.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "calibration.h"
#include "problems.h"
#include "scoring.h"
#include "search.h"

namespace {

using namespace zelmor::engine;

TEST(Scoring, BalancedAccuracyIsComparedExactly) {
    struct Case {
        std::vector<std::int64_t> a;
        std::vector<std::int64_t> b;
        std::vector<std::int64_t> sizes;
        int sign;
    };
    const Case cases[] = {
        {{1, 1}, {3, 0}, {10, 5}, 0},                 // 1/10 + 1/5 = 3/10, which doubles round apart
        {{1, 2, 0}, {0, 0, 3}, {10, 10, 10}, 0},      // one size: the counts alone
        {{1, 0}, {0, 1}, {1000003, 1000033}, 1},      // 1/1000003 > 1/1000033
        {{0, 1}, {1, 0}, {1000003, 1000033}, -1},
        {{5, 0, 7}, {5, 0, 7}, {9, 0, 7}, 0},         // a class without examples is left out
        {{2147483000, 0}, {0, 2147483000}, {2147483000, 2147483647}, 1},
        {{1, 1, 1, 1}, {1, 1, 1, 2}, {3, 7, 11, 13}, -1},
    };
    for (const Case& c : cases) {
        const auto k = static_cast<std::int32_t>(c.sizes.size());
        EXPECT_EQ(compareBalancedAccuracy(c.a.data(), c.b.data(), c.sizes.data(), k), c.sign) << c.sizes[0];
        EXPECT_EQ(compareBalancedAccuracy(c.b.data(), c.a.data(), c.sizes.data(), k), -c.sign) << c.sizes[0];
    }
    // Random counts over many classes against sums in long double, where those are far apart.
    std::mt19937_64 rng(7);
    for (int trial = 0; trial < 2000; ++trial) {
        const std::int32_t k = 1 + static_cast<std::int32_t>(rng() % 40);
        std::vector<std::int64_t> sizes(static_cast<std::size_t>(k)), a(sizes.size()), b(sizes.size());
        long double difference = 0;
        for (std::size_t c = 0; c < sizes.size(); ++c) {
            sizes[c] = 1 + static_cast<std::int64_t>(rng() % 5000);
            a[c] = static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(sizes[c] + 1));
            b[c] = static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(sizes[c] + 1));
            difference += static_cast<long double>(a[c] - b[c]) / static_cast<long double>(sizes[c]);
        }
        if (std::fabs(static_cast<double>(difference)) < 1e-9) continue;
        EXPECT_EQ(compareBalancedAccuracy(a.data(), b.data(), sizes.data(), k), difference > 0 ? 1 : -1) << trial;
    }
}

TEST(Scoring, TheChoiceFollowsTheScoringAndItsTies) {
    // Two settings, one beta, one fold, two classes of 10 and 5 examples.
    GridResult grid;
    grid.settingCount = 2;
    grid.betaCount = 1;
    grid.foldCount = 1;
    grid.classCount = 2;
    grid.classSizes = {10, 5};
    // Setting 0 gets 10 + 0 right, setting 1 gets 6 + 3: more examples, fewer on average per class.
    grid.correct = {10, 9};
    grid.classCorrect = {10, 6, 0, 3};
    EXPECT_EQ(chooseCell(grid, {1.0}, Scoring::Accuracy).setting, 0);
    EXPECT_EQ(chooseCell(grid, {1.0}, Scoring::BalancedAccuracy).setting, 1);
    // 1/10 + 1/5 against 3/10 + 0/5: equal, so the first setting, though doubles differ.
    grid.correct = {2, 3};
    grid.classCorrect = {1, 3, 1, 0};
    EXPECT_EQ(chooseCell(grid, {1.0}, Scoring::BalancedAccuracy).setting, 0);
    grid.classCorrect = {3, 1, 0, 1};
    EXPECT_EQ(chooseCell(grid, {1.0}, Scoring::BalancedAccuracy).setting, 0);
}

TEST(Calibration, TheLogarithmIsWithinAFewUlpsOfTheLibrarys) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> exponent(-700.0, 700.0);
    std::vector<double> xs = {1.0, 2.0, 0.5, 3.0, 26.0, 1e-300, 1e300, 5e-324, 1.7976931348623157e308,
                              std::nextafter(1.0, 2.0), std::nextafter(1.0, 0.0), 0.7071067811865476};
    for (int i = 0; i < 20000; ++i) xs.push_back(std::exp(exponent(rng)));
    for (double x : xs) {
        const double expected = std::log(x);
        const double got = calibrationLog(x);
        EXPECT_LE(std::fabs(got - expected), 4 * std::numeric_limits<double>::epsilon() * std::fmax(std::fabs(expected), 1e-300))
            << x;
    }
    EXPECT_EQ(calibrationLog(1.0), 0.0);
    EXPECT_EQ(calibrationLog(0.0), -std::numeric_limits<double>::infinity());
    EXPECT_TRUE(std::isnan(calibrationLog(-1.0)));
}

// Scores of n examples and k classes, column-major: the own class raised by a margin with noise.
std::vector<double> noisyScores(std::int64_t n, std::int32_t k, std::vector<double>* labels, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::vector<double> scores(static_cast<std::size_t>(n * k));
    labels->clear();
    for (std::int64_t i = 0; i < n; ++i) {
        const auto own = static_cast<std::int32_t>(rng() % static_cast<std::uint64_t>(k));
        labels->push_back(own + 1);
        for (std::int32_t m = 0; m < k; ++m) scores[static_cast<std::size_t>(i + m * n)] = noise(rng) + (m == own ? 1.5 : -1.0);
    }
    return scores;
}

TEST(Calibration, TheTemperatureMinimisesTheLogLoss) {
    for (std::uint64_t seed = 1; seed <= 6; ++seed) {
        std::vector<double> labels;
        const std::int32_t k = 2 + static_cast<std::int32_t>(seed);
        const std::vector<double> scores = noisyScores(400, k, &labels, seed);
        const double t = fitTemperature(scores.data(), 400, k, labels.data());
        ASSERT_GT(t, kLeastTemperature);
        ASSERT_LT(t, kMostTemperature);
        const double best = logLoss(scores.data(), 400, k, labels.data(), t);
        for (double factor : {0.999, 1.001, 0.5, 2.0}) {
            EXPECT_LE(best, logLoss(scores.data(), 400, k, labels.data(), t * factor)) << seed << " " << factor;
        }
        // The same bits again: nothing in the fit depends on anything but its inputs.
        EXPECT_TRUE(testing_support::sameBits(t, fitTemperature(scores.data(), 400, k, labels.data())));
    }
    // Scores that set every class apart by far push the temperature down until the loss rounds
    // to nothing, and no further (where it is flat the larger temperature wins); scores that say
    // nothing (all equal) leave a flat loss, n log k at every temperature.
    std::vector<double> labels = {1, 2, 3};
    const std::vector<double> apart = {9, -9, -9, -9, 9, -9, -9, -9, 9};
    const double sure = fitTemperature(apart.data(), 3, 3, labels.data());
    EXPECT_LT(sure, 1.0);
    EXPECT_LT(logLoss(apart.data(), 3, 3, labels.data(), sure), 1e-14);
    const std::vector<double> flat(9, 0.25);
    EXPECT_NEAR(logLoss(flat.data(), 3, 3, labels.data(), 0.3), 3 * std::log(3.0), 1e-14);
}

TEST(Calibration, TheMostProbableClassIsThePredictedOneTiesIncluded) {
    const double tiny = 1e-300;
    const double up = std::nextafter(2.0, 3.0);
    // Rows of three scores: exact ties, scores a few ulps apart (their probabilities round
    // together), far apart (underflow), and large.
    const std::vector<std::vector<double>> rows = {
        {1.0, 1.0, 1.0}, {0.0, 2.0, 2.0}, {2.0, up, 2.0}, {2.0, 2.0, up},      {std::nextafter(5.0, 0.0), 5.0, -3.0},
        {tiny, 0.0, -tiny}, {-1e4, 1e4, 0.0}, {700.0, 699.0, -700.0}, {-3.0, -3.0, -2.5}, {1e-17, 0.0, 1e-17},
    };
    const std::int64_t n = static_cast<std::int64_t>(rows.size());
    std::vector<double> scores(static_cast<std::size_t>(n * 3));
    for (std::int64_t i = 0; i < n; ++i) {
        for (std::int32_t m = 0; m < 3; ++m) scores[static_cast<std::size_t>(i + m * n)] = rows[static_cast<std::size_t>(i)][static_cast<std::size_t>(m)];
    }
    for (double temperature : {kLeastTemperature, 0.05, 1.0, 37.0, kMostTemperature}) {
        std::vector<double> p(scores.size());
        softmaxProbabilities(scores.data(), n, 3, temperature, p.data());
        for (std::int64_t i = 0; i < n; ++i) {
            std::int32_t predicted = 0;
            std::int32_t likeliest = 0;
            double sum = 0.0;
            for (std::int32_t m = 0; m < 3; ++m) {
                const auto cell = static_cast<std::size_t>(i + m * n);
                if (scores[cell] > scores[static_cast<std::size_t>(i + predicted * n)]) predicted = m;
                if (p[cell] > p[static_cast<std::size_t>(i + likeliest * n)]) likeliest = m;
                EXPECT_GE(p[cell], 0.0);
                sum += p[cell];
            }
            EXPECT_EQ(likeliest, predicted) << "row " << i << ", T " << temperature;
            EXPECT_NEAR(sum, 1.0, 1e-12) << "row " << i << ", T " << temperature;
        }
        // Equal scores, equal probabilities.
        EXPECT_EQ(p[0], p[static_cast<std::size_t>(n)]);
        EXPECT_EQ(p[static_cast<std::size_t>(1 + n)], p[static_cast<std::size_t>(1 + 2 * n)]);
    }
}

}  // namespace
