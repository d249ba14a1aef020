#include "problems.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace testing_support {

namespace {

double logUniform(std::mt19937_64& rng, double low, double high) {
    std::uniform_real_distribution<double> u(std::log(low), std::log(high));
    return std::exp(u(rng));
}

}  // namespace

std::vector<double> makeKernel(const std::vector<std::vector<double>>& features, KernelKind kind,
                               std::mt19937_64& rng) {
    const std::size_t n = features.size();
    const std::size_t d = n > 0 ? features[0].size() : 0;
    std::vector<double> kernel(n * n);
    const double gamma = logUniform(rng, 0.05, 5.0);
    for (std::size_t c = 0; c < n; ++c) {
        for (std::size_t r = 0; r < n; ++r) {
            double value = 0.0;
            if (kind == KernelKind::Linear) {
                for (std::size_t f = 0; f < d; ++f) value += features[r][f] * features[c][f];
                if (r == c) value += 1.0;
            } else if (kind == KernelKind::Integer) {
                for (std::size_t f = 0; f < d; ++f) value += std::round(3 * features[r][f]) * std::round(3 * features[c][f]);
                if (r == c) value = std::abs(value) + 1.0;
            } else {
                double distance = 0.0;
                for (std::size_t f = 0; f < d; ++f) {
                    const double diff = features[r][f] - features[c][f];
                    distance += diff * diff;
                }
                value = std::exp(-gamma * distance);
            }
            kernel[r + c * n] = value;
        }
    }
    if (kind == KernelKind::Asymmetric) {
        std::uniform_real_distribution<double> noise(-0.05, 0.05);
        for (std::size_t c = 0; c < n; ++c) {
            for (std::size_t r = 0; r < n; ++r) {
                if (r != c) kernel[r + c * n] += noise(rng);
            }
        }
    }
    return kernel;
}

OwnedProblem randomProblem(std::uint64_t seed, const RandomOptions& options) {
    std::mt19937_64 rng(seed);
    OwnedProblem problem;
    std::uniform_int_distribution<std::int32_t> examples(0, options.maxExamples);
    std::uniform_int_distribution<std::int32_t> classes(1, options.maxClasses);
    problem.n = examples(rng);
    problem.k = classes(rng);
    if (options.exampleCount >= 0) problem.n = options.exampleCount;
    if (options.classCount > 0) problem.k = options.classCount;
    problem.beta = logUniform(rng, options.minBeta, options.maxBeta);

    const std::int32_t dimensions = std::uniform_int_distribution<std::int32_t>(1, 5)(rng);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_int_distribution<std::int32_t> label(1, problem.k);
    std::vector<std::vector<double>> features;
    for (std::int32_t i = 0; i < problem.n; ++i) {
        // Now and then repeat an earlier example exactly, label included: an exact tie.
        if (i > 0 && std::uniform_int_distribution<int>(0, 5)(rng) == 0) {
            const std::size_t source = std::uniform_int_distribution<std::size_t>(0, features.size() - 1)(rng);
            features.push_back(features[source]);
            problem.labels.push_back(problem.labels[source]);
            continue;
        }
        std::vector<double> x(static_cast<std::size_t>(dimensions));
        const std::int32_t y = label(rng);
        for (auto& value : x) value = normal(rng) + 0.7 * y;
        features.push_back(x);
        problem.labels.push_back(y);
    }
    const auto kind = static_cast<KernelKind>(std::uniform_int_distribution<int>(0, 3)(rng));
    problem.kernel = makeKernel(features, kind, rng);
    if (options.weighted) {
        // Exact ones among the others: a weight of 1 takes the unweighted steps.
        const double palette[] = {1.0, 1.0, 2.0, 0.5, 3.0, 0.125, 1e-3, 1e3};
        for (std::int32_t i = 0; i < problem.n; ++i) {
            const std::size_t pick = std::uniform_int_distribution<std::size_t>(0, std::size(palette))(rng);
            problem.weights.push_back(pick < std::size(palette) ? palette[pick] : logUniform(rng, 0.01, 100.0));
        }
    }

    const int start = options.allowWarm ? std::uniform_int_distribution<int>(0, 2)(rng) : 0;
    if (start == 1) {
        // Warm from a feasible point: a cold solve's result.
        OwnedProblem cold = problem;
        const zelmor::SolveResult solved = zelmor::solveDual(cold.problem(), cold.start(), zelmor::kColdStartTolerance);
        problem.warm = true;
        problem.tau0 = solved.tau;
    } else if (start == 2) {
        // Warm from an arbitrary, generally infeasible point.
        problem.warm = true;
        std::uniform_real_distribution<double> u(-1.5, 1.5);
        problem.tau0.resize(static_cast<std::size_t>(problem.n) * static_cast<std::size_t>(problem.k));
        for (auto& value : problem.tau0) value = u(rng);
    }
    return problem;
}

OwnedProblem clusteredProblem(std::int32_t n, std::int32_t k, std::uint64_t seed, double gamma, double beta) {
    constexpr int kFeatures = 16;
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> centre(5.0, 10.0);
    std::normal_distribution<double> spread(0.0, 3.0);
    std::vector<double> centres(static_cast<std::size_t>(k) * kFeatures);
    for (auto& c : centres) c = centre(rng);
    OwnedProblem p;
    p.n = n;
    p.k = k;
    p.beta = beta;
    std::vector<double> features(static_cast<std::size_t>(n) * kFeatures);
    for (std::int32_t i = 0; i < n; ++i) {
        const std::int32_t label = static_cast<std::int32_t>(rng() % static_cast<std::uint64_t>(k));
        p.labels.push_back(label + 1);
        for (int f = 0; f < kFeatures; ++f) {
            const double x = std::round(centres[static_cast<std::size_t>(label * kFeatures + f)] + spread(rng));
            features[static_cast<std::size_t>(i) * kFeatures + f] = std::clamp(x, 0.0, 15.0);
        }
    }
    const std::size_t size = static_cast<std::size_t>(n);
    p.kernel.resize(size * size);
    for (std::size_t c = 0; c < size; ++c) {
        for (std::size_t r = 0; r <= c; ++r) {
            double distance = 0.0;
            for (int f = 0; f < kFeatures; ++f) {
                const double d = features[r * kFeatures + f] - features[c * kFeatures + f];
                distance += d * d;
            }
            const double value = std::exp(-gamma * distance);
            p.kernel[r + c * size] = value;
            p.kernel[c + r * size] = value;
        }
    }
    return p;
}

OwnedProblem rbfProblemFromCsv(const std::string& path, std::int32_t n, double gamma, double beta) {
    const bool compressed = path.size() > 3 && path.compare(path.size() - 3, 3, ".gz") == 0;
    FILE* file = compressed ? popen(("gzip -dc '" + path + "'").c_str(), "r") : std::fopen(path.c_str(), "r");
    if (file == nullptr) throw std::runtime_error("cannot read " + path);
    std::vector<std::vector<double>> rows;
    std::string line;
    for (int c = std::fgetc(file); c != EOF && static_cast<std::int32_t>(rows.size()) < n; c = std::fgetc(file)) {
        if (c != '\n') {
            line += static_cast<char>(c);
            continue;
        }
        std::vector<double> row;
        std::istringstream fields(line);
        for (std::string field; std::getline(fields, field, ',');) row.push_back(std::stod(field));
        if (!row.empty()) rows.push_back(row);
        line.clear();
    }
    if (compressed) {
        pclose(file);
    } else {
        std::fclose(file);
    }
    if (rows.empty()) throw std::runtime_error("no examples in " + path);

    const std::size_t d = rows[0].size() - 1;
    std::vector<double> low(d, 1e300);
    std::vector<double> high(d, -1e300);
    for (const auto& row : rows) {
        for (std::size_t f = 0; f < d; ++f) {
            low[f] = std::min(low[f], row[f]);
            high[f] = std::max(high[f], row[f]);
        }
    }
    OwnedProblem p;
    p.n = static_cast<std::int32_t>(rows.size());
    p.beta = beta;
    std::vector<double> features(rows.size() * d);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        for (std::size_t f = 0; f < d; ++f) {
            features[i * d + f] = high[f] > low[f] ? 2.0 * (rows[i][f] - low[f]) / (high[f] - low[f]) - 1.0 : 0.0;
        }
        p.labels.push_back(rows[i][d]);
        p.k = std::max(p.k, static_cast<std::int32_t>(rows[i][d]));
    }
    const std::size_t size = rows.size();
    p.kernel.resize(size * size);
    for (std::size_t c = 0; c < size; ++c) {
        for (std::size_t r = 0; r <= c; ++r) {
            double distance = 0.0;
            for (std::size_t f = 0; f < d; ++f) {
                const double diff = features[r * d + f] - features[c * d + f];
                distance += diff * diff;
            }
            const double value = r == c ? 1.0 : std::exp(-gamma * distance);
            p.kernel[r + c * size] = value;
            p.kernel[c + r * size] = value;
        }
    }
    return p;
}

std::string OwnedProblem::describe() const {
    std::ostringstream text;
    text << "n=" << n << " k=" << k << " beta=" << beta << (warm ? " warm" : " cold")
         << (weights.empty() ? "" : " weighted");
    return text.str();
}

std::vector<zelmor::detail::InstructionSet> supportedInstructionSets() {
    using zelmor::detail::InstructionSet;
    std::vector<InstructionSet> sets{InstructionSet::Portable};
    for (InstructionSet set : {InstructionSet::Avx2, InstructionSet::Avx512}) {
        if (zelmor::detail::cpuSupports(set)) sets.push_back(set);
    }
    return sets;
}

std::int64_t firstBitDifference(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!sameBits(a[i], b[i])) return static_cast<std::int64_t>(i);
    }
    return -1;
}

}  // namespace testing_support
