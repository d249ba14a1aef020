// Problems for the solver's tests, fuzzers and benchmark: one owning type and the generators
// they share.
#ifndef ZELMOR_TESTS_SUPPORT_PROBLEMS_H
#define ZELMOR_TESTS_SUPPORT_PROBLEMS_H

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "dual_solver.h"
#include "solve_internals.h"

namespace testing_support {

enum class KernelKind { Rbf, Linear, Integer, Asymmetric };

// A self-contained problem: owns what DualProblem and StartMode borrow.
struct OwnedProblem {
    std::int32_t n = 0;
    std::int32_t k = 1;
    double beta = 1.0;
    std::vector<double> kernel;  // n x n, column-major
    std::vector<double> labels;  // n values in 1..k
    bool warm = false;
    std::vector<double> tau0;    // n x k, column-major; used when warm
    std::vector<double> weights; // n weights (each example's bound); empty: none

    zelmor::DualProblem problem() const {
        zelmor::DualProblem p;
        p.kernel = zelmor::MatrixView{kernel.data(), n, n};
        p.labels = labels.data();
        p.beta = beta;
        p.classCount = static_cast<double>(k);
        p.exampleCount = n;
        p.weights = weights.empty() ? nullptr : weights.data();
        return p;
    }
    zelmor::StartMode start() const {
        if (!warm) return zelmor::StartMode::cold();
        return zelmor::StartMode::warmFrom(zelmor::MatrixView{tau0.data(), n, k});
    }
    std::string describe() const;
};

struct RandomOptions {
    std::int32_t maxExamples = 40;
    std::int32_t maxClasses = 8;
    bool allowWarm = true;
    double minBeta = 1e-3;  // beta is drawn log-uniformly from [minBeta, maxBeta]
    double maxBeta = 150.0;
    std::int32_t exampleCount = -1;  // when not negative, n instead of a drawn one
    std::int32_t classCount = -1;    // when positive, k instead of a drawn one
    bool weighted = false;           // weights drawn for the examples: 1 and others, tiny to large
};

// Features, labels, kernel kind, beta (log-uniform over the options' range), duplicated examples
// (exact ties), weights when asked for and warm starts, all drawn from the seed.
OwnedProblem randomProblem(std::uint64_t seed, const RandomOptions& options = {});

// Clusters of integer feature vectors, like the letter-recognition data: one centre per class,
// 16 features rounded and clipped to 0..15, an RBF kernel exp(-gamma |x - y|^2) symmetric bit
// for bit. With gamma 0.006 and beta 0.1, n = 3000 and k = 26 take about 66 000 iterations to
// converge, as the letter data do.
OwnedProblem clusteredProblem(std::int32_t n, std::int32_t k, std::uint64_t seed, double gamma, double beta);

// The first n examples of a data set (a CSV file of features and then the class 1..k per line,
// gzip-compressed when the name ends in .gz), features scaled to [-1, 1] over those examples, an
// RBF kernel exp(-gamma |x - y|^2) symmetric bit for bit with a unit diagonal, k the largest
// class. Throws std::runtime_error when the file cannot be read.
OwnedProblem rbfProblemFromCsv(const std::string& path, std::int32_t n, double gamma, double beta);

// Kernel from feature rows: RBF exp(-gamma |x - y|^2), linear x.y (+1 on the diagonal so it
// is never zero), or integer-valued; Asymmetric perturbs an RBF kernel off the diagonal.
std::vector<double> makeKernel(const std::vector<std::vector<double>>& features, KernelKind kind,
                               std::mt19937_64& rng);

// Bitwise equality, signed zeros and NaN payloads included.
inline bool sameBits(double a, double b) {
    std::uint64_t x = 0;
    std::uint64_t y = 0;
    std::memcpy(&x, &a, sizeof x);
    std::memcpy(&y, &b, sizeof y);
    return x == y;
}

// The instruction sets this CPU runs: the portable one, which runs on every CPU, and the
// vector ones it has.
std::vector<zelmor::detail::InstructionSet> supportedInstructionSets();

// Index of the first element that differs bitwise, or -1.
std::int64_t firstBitDifference(const std::vector<double>& a, const std::vector<double>& b);

}  // namespace testing_support

#endif  // ZELMOR_TESTS_SUPPORT_PROBLEMS_H
