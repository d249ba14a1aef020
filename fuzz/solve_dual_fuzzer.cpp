// solveDual against the reference solver: every element of tau bit for bit (signed zeros and
// NaN patterns included) and the same iteration count, on small problems that satisfy the
// solver's preconditions by construction: n <= 24, k <= 12, labels in 1..k, a finite kernel
// (symmetric or not) with no zero on its diagonal, finite beta and tau0, cold or warm, with or
// without positive weights. Values run from quarter steps that tie exactly to raw doubles at the
// edge of overflow. A second
// shape, 65 to 140 examples over a bounded stretch of iterations, crosses the solver's groups of
// 64 examples whose row/column symmetry it learns and reuses. Every instruction set the CPU
// has is run in every sweep mode: each must match on its own. Where a projection's fixed point
// would cycle, both stop at the same pass, so even those runs must agree.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "dual_solver.h"
#include "fuzz_input.h"
#include "problems.h"
#include "reference.h"
#include "solve_internals.h"

namespace {

constexpr std::int32_t kMaxExamples = 24;
constexpr std::int32_t kMaxClasses = 12;

enum class Symmetry { None, Exact, OneUlpOff, SignedZeros };

// A problem and how far to solve it.
struct Problem : testing_support::OwnedProblem {
    double tolerance = 0.0;
    std::int64_t iterationLimit = -1;  // below n * n only for the large shape
};

// How a block of values is drawn. Always finite, as the solver requires of its inputs: a
// product that overflows becomes the largest double of its sign.
double drawValue(fuzzing::FuzzInput& in, int kind, double scale) {
    switch (kind & 3) {
        case 0:
            return in.smallInteger() / 4.0;  // exact ties and cancellations
        case 1:
            return in.finiteDouble();  // anywhere in the finite doubles
        case 2: {
            // One magnitude for the block: sums overflow, products underflow.
            const double value = in.smallInteger() * scale;
            return std::isfinite(value) ? value : std::copysign(std::numeric_limits<double>::max(), value);
        }
        default:
            return (in.byte() & 7) == 0 ? in.finiteDouble() : in.smallInteger() / 16.0;
    }
}

double drawBeta(fuzzing::FuzzInput& in) {
    static const double kNotable[] = {
        1.0, 0.0, -0.0, 1e-3, 150.0, -1.0, 0.5, 1e300, -1e300, 1.7976931348623157e308, -1.7976931348623157e308,
        4.9406564584124654e-324, 2.2250738585072014e-308, 100.0, 200.0, 1e15,
    };
    const std::uint8_t choice = in.byte();
    if (choice < 128) return kNotable[choice % (sizeof kNotable / sizeof kNotable[0])];
    if (choice < 192) return in.finiteDouble();
    return in.smallInteger() * in.powerOfTwo();
}

double drawTolerance(fuzzing::FuzzInput& in, int choice) {
    switch (choice & 3) {
        case 0:
            return zelmor::kColdStartTolerance;
        case 1:
            return zelmor::kContinuedSolveTolerance;
        case 2:
            return 0.0;
        default:
            return in.anyDouble();  // the solver takes any tolerance, NaN included
    }
}

// Many examples from one value each: G(r, c) = 1 / (1 + |x_r - x_c|) is symmetric bit for
// bit, so every group of examples starts out equal to its columns; a few entries are then
// broken (one ulp, a sign, a pair of zeros of opposite sign) to make some groups differ.
void decodeLarge(fuzzing::FuzzInput& in, Problem* p) {
    p->n = 65 + in.byte() % 76;
    p->k = 1 + in.byte() % 4;
    p->iterationLimit = 16 + in.byte();
    const std::size_t n = static_cast<std::size_t>(p->n);
    std::vector<double> x(n);
    for (auto& value : x) value = in.smallInteger() / 8.0;
    p->kernel.resize(n * n);
    for (std::size_t c = 0; c < n; ++c) {
        for (std::size_t r = 0; r < n; ++r) p->kernel[r + c * n] = 1.0 / (1.0 + std::fabs(x[r] - x[c]));
    }
    for (int change = in.byte() % 6; change > 0; --change) {
        const std::size_t r = in.byte() % n;
        const std::size_t c = in.byte() % n;
        if (r == c) continue;
        double& entry = p->kernel[r + c * n];
        switch (in.byte() % 3) {
            case 0:
                entry = std::nextafter(entry, 2.0);
                break;
            case 1:
                entry = -entry;
                break;
            default:
                entry = 0.0;
                p->kernel[c + r * n] = -0.0;
                break;
        }
    }
}

Problem decode(fuzzing::FuzzInput& in) {
    Problem p;
    const std::uint8_t header = in.byte();
    if (header & 0x80) {
        p.warm = (header & 0x10) != 0;
        p.tolerance = drawTolerance(in, in.byte());
        p.beta = drawBeta(in);
        decodeLarge(in, &p);
        p.labels.resize(static_cast<std::size_t>(p.n));
        for (auto& label : p.labels) label = 1.0 + in.byte() % p.k;
        if (p.warm) {
            p.tau0.resize(static_cast<std::size_t>(p.n) * static_cast<std::size_t>(p.k));
            for (auto& value : p.tau0) value = in.smallInteger() / 16.0;
        }
        return p;
    }
    p.n = in.byte() % (kMaxExamples + 1);
    p.k = 1 + in.byte() % kMaxClasses;
    p.warm = (header & 0x10) != 0;
    const Symmetry symmetry = static_cast<Symmetry>((header >> 5) & 3);
    p.tolerance = drawTolerance(in, in.byte());
    p.beta = drawBeta(in);

    const std::size_t n = static_cast<std::size_t>(p.n);
    const std::size_t k = static_cast<std::size_t>(p.k);
    const int kernelKind = header & 3;
    const double kernelScale = in.powerOfTwo();
    p.kernel.resize(n * n);
    for (std::size_t c = 0; c < n; ++c) {
        for (std::size_t r = 0; r < n; ++r) {
            if (symmetry != Symmetry::None && r > c) {
                p.kernel[r + c * n] = p.kernel[c + r * n];
                continue;
            }
            double value = drawValue(in, kernelKind, kernelScale);
            // The sub-problem divides by the selected example's diagonal entry.
            if (r == c && value == 0.0) value = 1.0;
            p.kernel[r + c * n] = value;
        }
    }
    // The solver reads a kernel column in place of a row only where the two are equal bit
    // for bit; these near misses must take the row.
    if (n > 1 && symmetry == Symmetry::OneUlpOff) {
        const std::size_t r = in.byte() % n;
        const std::size_t c = (r + 1 + in.byte() % (n - 1)) % n;
        p.kernel[r + c * n] = std::nextafter(p.kernel[r + c * n], in.byte() & 1 ? 1e308 : -1e308);
    }
    if (symmetry == Symmetry::SignedZeros) {
        for (std::size_t c = 0; c < n; ++c) {
            for (std::size_t r = c + 1; r < n; ++r) {
                if (p.kernel[r + c * n] == 0.0 && (in.byte() & 1)) p.kernel[r + c * n] = -p.kernel[c + r * n];
            }
        }
    }
    p.labels.resize(n);
    for (auto& label : p.labels) label = 1.0 + in.byte() % p.k;

    if (p.warm) {
        const int tauKind = (header >> 2) & 3;
        p.tau0.resize(n * k);
        if (tauKind == 3) {
            // Continue from a cold solve: feasible rows, close to convergence.
            Problem cold = p;
            cold.warm = false;
            p.tau0 = zelmor::solveDual(cold.problem(), cold.start(), zelmor::kColdStartTolerance).tau;
        } else {
            const double tauScale = in.powerOfTwo();
            for (auto& value : p.tau0) value = drawValue(in, tauKind, tauScale);
        }
    }
    // Weights, when a last byte asks for them: positive and finite, exact ones among them.
    if (in.byte() & 1) {
        const double scale = in.powerOfTwo();
        p.weights.resize(n);
        for (auto& weight : p.weights) {
            const std::uint8_t pick = in.byte();
            weight = pick < 96 ? 1.0 : pick < 192 ? (1 + pick % 7) / 4.0 : (1 + pick % 31) * scale;
            if (!(weight > 0.0) || !std::isfinite(weight)) weight = 1.0;
        }
    }
    return p;
}

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void describe(const Problem& p) {
    std::fprintf(stderr, "n=%d k=%d beta=%a tolerance=%a %s, iteration limit %lld\nkernel (column-major):", p.n,
                 p.k, p.beta, p.tolerance, p.warm ? "warm" : "cold", static_cast<long long>(p.iterationLimit));
    for (double g : p.kernel) std::fprintf(stderr, " %a", g);
    std::fprintf(stderr, "\nlabels:");
    for (double y : p.labels) std::fprintf(stderr, " %g", y);
    if (p.warm) {
        std::fprintf(stderr, "\ntau0 (column-major):");
        for (double t : p.tau0) std::fprintf(stderr, " %a", t);
    }
    if (!p.weights.empty()) {
        std::fprintf(stderr, "\nweights:");
        for (double w : p.weights) std::fprintf(stderr, " %a", w);
    }
    std::fprintf(stderr, "\n");
}

constexpr zelmor::detail::InstructionSet kInstructionSets[] = {
    zelmor::detail::InstructionSet::Portable, zelmor::detail::InstructionSet::Avx2,
    zelmor::detail::InstructionSet::Avx512};
constexpr zelmor::detail::SweepMode kSweepModes[] = {zelmor::detail::SweepMode::Dense,
                                                     zelmor::detail::SweepMode::ClassSparse,
                                                     zelmor::detail::SweepMode::Automatic,
                                                     zelmor::detail::SweepMode::Alternating};

[[noreturn]] void fail(const Problem& p, const char* who, const char* what, const zelmor::SolveResult& got,
                       const zelmor::SolveResult& other) {
    std::fprintf(stderr, "%s: %s\n", who, what);
    describe(p);
    std::fprintf(stderr, "count %lld vs %lld\n", static_cast<long long>(got.iterationCount),
                 static_cast<long long>(other.iterationCount));
    for (std::size_t i = 0; i < got.tau.size() && i < other.tau.size(); ++i) {
        if (!sameBits(got.tau[i], other.tau[i])) {
            std::fprintf(stderr, "first difference at %zu: %a vs %a\n", i, got.tau[i], other.tau[i]);
            break;
        }
    }
    std::abort();
}

bool identical(const zelmor::SolveResult& a, const zelmor::SolveResult& b) {
    if (a.iterationCount != b.iterationCount || a.tau.size() != b.tau.size()) return false;
    for (std::size_t i = 0; i < a.tau.size(); ++i) {
        if (!sameBits(a.tau[i], b.tau[i])) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzing::FuzzInput in(data, size);
    const Problem p = decode(in);
    const zelmor::DualProblem problem = p.problem();
    const zelmor::StartMode start = p.start();

    const zelmor::SolveResult reference = zelmor::reference::solveDual(problem, start, p.tolerance, p.iterationLimit);
    const std::size_t cells = static_cast<std::size_t>(p.n) * static_cast<std::size_t>(p.k);
    const std::int64_t cap = p.iterationLimit >= 0 ? p.iterationLimit : std::int64_t{p.n} * p.n;
    for (const auto set : kInstructionSets) {
        if (!zelmor::detail::cpuSupports(set)) continue;
        for (const auto mode : kSweepModes) {
            const zelmor::SolveResult got =
                zelmor::detail::solveDualUsing(set, problem, start, p.tolerance, p.iterationLimit, {}, mode);
            std::string who = std::string(zelmor::detail::nameOf(set)) + " " + zelmor::detail::nameOf(mode);
            if (got.tau.size() != cells) fail(p, who.c_str(), "result has the wrong size", got, reference);
            if (got.iterationCount < 0 || got.iterationCount > cap) {
                fail(p, who.c_str(), "count outside 0..n*n", got, reference);
            }
            if (!identical(got, reference)) fail(p, who.c_str(), "differs from the reference solver", got, reference);
        }
    }

    // From a cold start every row is either untouched (zero) or rewritten by an update, and
    // an update never lets tau exceed the target (the weight at the own class, or 1): a check
    // on the reference solver itself.
    if (!p.warm) {
        for (std::int32_t i = 0; i < p.n; ++i) {
            const double bound = p.weights.empty() ? 1.0 : p.weights[static_cast<std::size_t>(i)];
            for (std::int32_t m = 0; m < p.k; ++m) {
                const double target = p.labels[static_cast<std::size_t>(i)] - 1.0 == m ? bound : 0.0;
                if (!(reference.tau[static_cast<std::size_t>(i + m * p.n)] <= target)) {
                    fail(p, "reference solver", "a cold solve left tau above its target", reference, reference);
                }
            }
        }
    }
    return 0;
}
