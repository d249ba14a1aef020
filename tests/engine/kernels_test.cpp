// Kernel matrices from features, bit for bit against plain loops on every instruction set and
// thread count; the engine's exp against the C library's and against the true value.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "kernels.h"
#include "problems.h"

namespace {

using namespace zelmor::engine;
using testing_support::sameBits;

// Mostly normal values, with integers (exact ties) and signed zeros among them.
std::vector<double> randomFeatures(std::int64_t count, std::int64_t features, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal(0.0, 3.0);
    std::vector<double> x(static_cast<std::size_t>(count * features));
    for (std::size_t i = 0; i < x.size(); ++i) {
        x[i] = i % 7 == 3 ? std::round(normal(rng)) : i % 11 == 5 ? -0.0 : normal(rng);
    }
    return x;
}

double plainBase(BaseKind kind, const Examples& a, std::int64_t i, const Examples& b, std::int64_t j) {
    double sum = 0.0;
    for (std::int64_t f = 0; f < a.featureCount; ++f) {
        const double x = a.data[i + f * a.count];
        const double y = b.data[j + f * b.count];
        sum += kind == BaseKind::SquaredDistance ? (x - y) * (x - y) : x * y;
    }
    return sum;
}

// Rows beyond a.count in each column of ldOut must keep it: only the matrix is written.
constexpr double kUntouched = -12345.0;

struct Shape {
    std::int64_t aCount;
    std::int64_t bCount;  // -1: the square matrix of a with itself
    std::int64_t features;
};

// Every entry of the base matrix of `kind`, or given a setting of the kernel matrix, against the
// plain loops, on every instruction set and thread count.
void expectEveryEntry(const Shape& shape, BaseKind kind, const KernelSetting* setting) {
    SCOPED_TRACE(testing::Message() << "base " << static_cast<int>(kind) << ", kernel "
                                    << (setting ? static_cast<int>(setting->type) : -1) << " degree "
                                    << (setting ? setting->degree : 0) << ": " << shape.aCount << " x "
                                    << shape.bCount << " by " << shape.features);
    const bool square = shape.bCount < 0;
    const std::vector<double> xa = randomFeatures(shape.aCount, shape.features, 1);
    const std::vector<double> xb = randomFeatures(square ? 0 : shape.bCount, shape.features, 2);
    const Examples a{xa.data(), shape.aCount, shape.features};
    const Examples b{xb.data(), shape.bCount, shape.features};
    const Examples& columns = square ? a : b;
    const std::int64_t ld = a.count + 3;
    std::vector<double> expected(static_cast<std::size_t>(ld * columns.count), kUntouched);
    for (std::int64_t j = 0; j < columns.count; ++j) {
        for (std::int64_t i = 0; i < a.count; ++i) {
            const double base = plainBase(kind, a, i, columns, j);
            expected[static_cast<std::size_t>(i + j * ld)] = setting ? kernelValue(*setting, base) : base;
        }
    }
    for (InstructionSet set : testing_support::supportedInstructionSets()) {
        for (int threads : {1, 2, 7}) {
            std::vector<double> out(expected.size(), kUntouched);
            const Examples* other = square ? nullptr : &b;
            ASSERT_TRUE(setting ? kernelMatrixUsing(set, *setting, a, other, out.data(), ld, threads, nullptr)
                                : baseMatrixUsing(set, kind, a, other, out.data(), ld, threads, nullptr));
            const std::int64_t at = testing_support::firstBitDifference(out, expected);
            ASSERT_EQ(at, -1) << zelmor::detail::nameOf(set) << " threads " << threads << " at " << at % ld << ", "
                              << at / ld;
        }
    }
}

const KernelSetting kSettings[] = {{KernelType::Rbf, 0.3, 1, 0.0},  {KernelType::Linear, 1.0, 1, 0.0},
                                   {KernelType::Poly, 0.5, 3, 1.0}, {KernelType::Poly, 0.25, 0, 2.0},
                                   {KernelType::Poly, 2.0, 6, -0.5}};

TEST(KernelMatrices, EveryEntryIsThePlainLoopsValue) {
    // Tails of row blocks and column groups, several chunks (mirrored), a tile side shrunk by
    // many features, and the empty shapes.
    const Shape shapes[] = {{300, -1, 5}, {1000, -1, 3}, {37, 129, 3}, {200, 7, 1}, {1, -1, 4}, {100, -1, 2000},
                            {5, -1, 0},   {3, 4, 0},     {0, -1, 3},   {0, 5, 2},   {5, 0, 2}};
    for (BaseKind kind : {BaseKind::SquaredDistance, BaseKind::Product}) {
        for (const Shape& shape : shapes) expectEveryEntry(shape, kind, nullptr);
    }
    for (const KernelSetting& setting : kSettings) {
        for (const Shape& shape : {Shape{150, -1, 4}, Shape{70, 33, 4}}) {
            expectEveryEntry(shape, baseKindOf(setting.type), &setting);
        }
    }
}

TEST(KernelRows, EveryEntryIsTheKernelMatrixEntry) {
    // Stretches and their tails, an empty range, no features and many.
    const struct {
        std::int64_t count, features, begin, end;
    } cases[] = {{600, 5, 0, 600}, {600, 5, 3, 517}, {20, 3, 7, 8}, {20, 3, 9, 9}, {9, 0, 0, 9}, {40, 700, 1, 39}};
    for (const KernelSetting& setting : kSettings) {
        for (const auto& c : cases) {
            const std::vector<double> x = randomFeatures(c.count, c.features, 4);
            const Examples block{x.data(), c.count, c.features};
            std::vector<double> whole(static_cast<std::size_t>(c.count * c.count));
            ASSERT_TRUE(kernelMatrix(setting, block, nullptr, whole.data(), std::max<std::int64_t>(c.count, 1), 1,
                                     nullptr));
            std::vector<double> point(static_cast<std::size_t>(c.features));
            for (std::int64_t p : {std::int64_t{0}, c.count / 2, c.count - 1}) {
                for (std::int64_t f = 0; f < c.features; ++f) point[static_cast<std::size_t>(f)] = x[p + f * c.count];
                const std::vector<double> expected(whole.begin() + p * c.count + c.begin,
                                                   whole.begin() + p * c.count + c.end);
                for (InstructionSet set : testing_support::supportedInstructionSets()) {
                    std::vector<double> row(expected.size() + 1, kUntouched);
                    kernelRowUsing(set, setting, point.data(), block, c.begin, c.end, row.data());
                    ASSERT_EQ(row.back(), kUntouched);
                    row.pop_back();
                    ASSERT_EQ(testing_support::firstBitDifference(row, expected), -1)
                        << zelmor::detail::nameOf(set) << " type " << static_cast<int>(setting.type) << ", row " << p
                        << " of " << c.count << " by " << c.features;
                }
            }
        }
    }
}

TEST(KernelValue, PolyMultipliesInSquareAndMultiplyOrder) {
    const struct {
        std::int32_t degree;
        double (*power)(double t);
    } cases[] = {{0, [](double) { return 1.0; }},
                 {3, [](double t) { return t * (t * t); }},
                 {6, [](double t) { return (t * t) * ((t * t) * (t * t)); }},
                 {13, [](double t) {
                      return (t * ((t * t) * (t * t))) * (((t * t) * (t * t)) * ((t * t) * (t * t)));
                  }}};
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> uniform(-3.0, 3.0);
    for (int i = 0; i < 1000; ++i) {
        const double base = uniform(rng);
        for (const auto& c : cases) {
            ASSERT_TRUE(sameBits(kernelValue({KernelType::Poly, 0.7, c.degree, 0.3}, base), c.power(base * 0.7 + 0.3)))
                << "degree " << c.degree << " base " << base;
        }
    }
}

// Within 1 ulp of the C library everywhere, subnormal results included, and within 0.67 ulp of
// the true value where the result is normal and long double can tell.
TEST(KernelExp, WithinOneUlpOfTheLibraryAndTwoThirdsOfTheTruth) {
    const bool measurable = std::numeric_limits<long double>::digits >= 64;
    const std::int64_t steps = 3000000;
    for (std::int64_t i = 0; i <= steps; ++i) {
        const double x = -745.2 + (745.2 + 709.78) * static_cast<double>(i) / static_cast<double>(steps);
        const double got = kernelExp(x);
        const double library = std::exp(x);
        ASSERT_TRUE(got == library || got == std::nextafter(library, 0.0) || got == std::nextafter(library, HUGE_VAL))
            << x;
        if (!measurable || x < -708.3) continue;
        const long double truth = std::exp(static_cast<long double>(x));
        int exponent = 0;
        std::frexp(static_cast<double>(truth), &exponent);
        ASSERT_LE(std::fabs(static_cast<long double>(got) - truth) / std::ldexp(1.0L, exponent - 53), 0.67L) << x;
    }
}

TEST(KernelExp, SpecialValuesAndEveryArrayPathGiveTheScalarBits) {
    const double infinity = std::numeric_limits<double>::infinity();
    const double exact[][2] = {{0.0, 1.0},        {-0.0, 1.0},    {-infinity, 0.0}, {infinity, infinity},
                               {710.0, infinity}, {-746.0, 0.0},  {-745.2, 0.0},    {-745.1, 0x1p-1074},
                               {-1e300, 0.0},     {1e300, infinity}};
    std::vector<double> xs;
    for (const auto& c : exact) {
        EXPECT_TRUE(sameBits(kernelExp(c[0]), c[1])) << c[0];
        xs.push_back(c[0]);
    }
    EXPECT_TRUE(std::isnan(kernelExp(std::numeric_limits<double>::quiet_NaN())));
    // An odd count, so that every instruction set also takes its tail; Rbf with gamma 1 of -x is exp(x).
    for (int i = 0; i < 991; ++i) xs.push_back(-745.3 + 1455.0 * i / 990.0);
    for (InstructionSet set : testing_support::supportedInstructionSets()) {
        std::vector<double> values;
        for (double x : xs) values.push_back(-x);
        applyKernelValueUsing(set, {KernelType::Rbf, 1.0, 1, 0.0}, values.data(), static_cast<std::int64_t>(xs.size()));
        for (std::size_t i = 0; i < xs.size(); ++i) {
            ASSERT_TRUE(sameBits(values[i], kernelExp(xs[i]))) << zelmor::detail::nameOf(set) << " " << xs[i];
        }
    }
}

TEST(KernelFromBase, GathersTheKernelMatrixEntries) {
    const std::int64_t n = 60;
    const std::vector<double> x = randomFeatures(n, 3, 6);
    const Examples a{x.data(), n, 3};
    const std::vector<std::int64_t> train{0, 5, 6, 17, 33, 34, 35, 59, 2};
    const std::vector<std::int64_t> test{1, 58, 5, 5, 40};
    for (const KernelSetting& setting : kSettings) {
        std::vector<double> base(static_cast<std::size_t>((n + 2) * n));
        std::vector<double> kernel(static_cast<std::size_t>(n * n));
        ASSERT_TRUE(baseMatrix(baseKindOf(setting.type), a, nullptr, base.data(), n + 2, 2, nullptr));
        ASSERT_TRUE(kernelMatrix(setting, a, nullptr, kernel.data(), n, 2, nullptr));
        for (const std::vector<std::int64_t>& rows : {train, test}) {
            std::vector<double> out(rows.size() * train.size());
            kernelFromBase(setting, base.data(), n + 2, rows.data(), static_cast<std::int64_t>(rows.size()),
                           train.data(), static_cast<std::int64_t>(train.size()), out.data());
            for (std::size_t c = 0; c < train.size(); ++c) {
                for (std::size_t r = 0; r < rows.size(); ++r) {
                    const double expected = kernel[static_cast<std::size_t>(rows[r] + train[c] * n)];
                    ASSERT_TRUE(sameBits(out[r + c * rows.size()], expected));
                }
            }
        }
    }
}

TEST(KernelMatrix, AStopAlreadyRequestedWritesNothing) {
    const std::int64_t n = 500;
    const std::vector<double> x = randomFeatures(n, 4, 7);
    const Examples a{x.data(), n, 4};
    const std::atomic<bool> stop{true};
    const std::atomic<bool> go{false};
    std::vector<double> out(static_cast<std::size_t>(n * n), kUntouched);
    EXPECT_FALSE(kernelMatrix(KernelSetting{}, a, nullptr, out.data(), n, 2, &stop));
    EXPECT_FALSE(baseMatrix(BaseKind::Product, a, &a, out.data(), n, 2, &stop));
    for (double value : out) ASSERT_EQ(value, kUntouched);
    EXPECT_TRUE(baseMatrix(BaseKind::Product, a, &a, out.data(), n, 2, &go));
}

}  // namespace
