// Kernel matrices from features: the squared distances or products of every pair of examples,
// and the kernel values made from them.
//
// Every result is defined to the last bit, whatever the CPU, instruction set, build type or
// thread count: each sum runs over the features in increasing order from 0.0, the exponential is
// the engine's own (kernelExp) rather than the C library's, and the build keeps -ffp-contract=off
// and no fast-math. Work runs on threads only through forEachIndex (parallel.h).
//
// Errors: the functions report nothing but their results; they trust the preconditions below
// (the gateway checks them). The only failure they can raise is std::bad_alloc.
#ifndef ZELMOR_ENGINE_KERNELS_H
#define ZELMOR_ENGINE_KERNELS_H

#include <atomic>
#include <cstdint>

#include "instruction_sets.h"

namespace zelmor::engine {

// Sparse examples, example by example: the non-zero features of example i are
// indices[starts[i]], ..., indices[starts[i + 1] - 1], increasing, with their values. A
// stretch of consecutive examples is the same arrays with starts moved on.
struct SparseFeatures {
    const std::int64_t* starts = nullptr;   // count + 1 offsets into indices and values
    const std::int32_t* indices = nullptr;  // feature numbers from 0
    const double* values = nullptr;         // never zero: a zero is an absent entry
};

// Examples as the host passes them: count rows (examples) by features columns, column-major,
// x(i, f) at data[i + f * count]; or, with sparse.starts set (data then null), sparse.
//
// A sparse example's bases are the dense ones to the last bit. Each base sums its terms over
// the features in increasing order from +0.0, and in round-to-nearest such a sum is never
// -0.0 (x + (-x) is +0.0, and +0.0 + -0.0 is +0.0), so a term of +0.0 or -0.0 leaves it as it
// is. A product's term is such a zero wherever either feature is zero, and a squared
// distance's wherever both are, (0 - 0)^2 = +0.0: their sums run over the features both
// examples hold, and over those either holds, computing each term as the dense loops do.
struct Examples {
    const double* data = nullptr;
    std::int64_t count = 0;
    std::int64_t featureCount = 0;
    SparseFeatures sparse;

    Examples() = default;
    Examples(const double* denseData, std::int64_t exampleCount, std::int64_t featureCount)
        : data(denseData), count(exampleCount), featureCount(featureCount) {}
    Examples(const SparseFeatures& sparseFeatures, std::int64_t exampleCount, std::int64_t featureCount)
        : count(exampleCount), featureCount(featureCount), sparse(sparseFeatures) {}

    bool isSparse() const { return sparse.starts != nullptr; }
};

// The terms a base of two examples sums at most: the features, or for sparse examples their
// mean count of non-zeros twice over, at least 1. For cutting work into pieces of like cost.
std::int64_t termsPerBase(const Examples& examples);

enum class KernelType { Rbf, Linear, Poly };

// Rbf: exp(-gamma * |a - b|^2). Linear: a . b. Poly: (gamma * a . b + offset)^degree, where a
// negative degree counts as 0.
struct KernelSetting {
    KernelType type = KernelType::Rbf;
    double gamma = 1.0;
    std::int32_t degree = 1;
    double offset = 0.0;
};

// What a kernel is made from, for a pair of examples a and b, summed over f = 0, 1, ... in
// increasing order starting from 0.0:
//   SquaredDistance  sum_f (a_f - b_f)^2, as a difference so that it is never negative and
//                    base(a, b) == base(b, a) bit for bit, with base(a, a) == 0 for finite a
//   Product          sum_f a_f * b_f, also symmetric bit for bit
enum class BaseKind { SquaredDistance, Product };

BaseKind baseKindOf(KernelType type);

// The kernel value of one base: Rbf exp(-gamma * base) by kernelExp; Linear the base itself;
// Poly (gamma * base + offset)^degree by square-and-multiply: with t = gamma * base + offset,
// the result starts at 1.0 and, for each bit of the degree from the lowest, is multiplied by the
// current power of t when the bit is set, the power then squared.
double kernelValue(const KernelSetting& setting, double base);

// values[i] = kernelValue(setting, values[i]) for i in [0, count), bit for bit.
void applyKernelValue(const KernelSetting& setting, double* values, std::int64_t count);

// exp(x), the same bits on every CPU (the C library's exp may differ between CPUs and versions):
// within 0.64 ulp of the true value measured over 10^8 arguments (0.67 by analysis); exp(0) ==
// exp(-0.0) == 1 exactly; +inf for +inf and above about 709.7827; 0 for -inf and wherever the
// true value is below half the least subnormal. Subnormal results are not flushed: each is the
// normal-range value scaled and rounded once, within 0.77 of the subnormal spacing measured.
// NaN in, NaN out. Branch-free, so loops over arrays of it vectorise.
double kernelExp(double x);

// The base matrix between every example of a and every example of b: out(i, j) = base(a_i, b_j)
// for an a.count x b.count output, column-major with leading dimension ldOut >= a.count, written
// entry by entry (other rows of the leading dimension are left as they were).
// With b == nullptr: the square base of a with itself, each pair computed once and mirrored
// (but for the squares on the diagonal, made in full: every term is symmetric, so their two
// halves agree), exactly symmetric, with a zero diagonal for squared distances.
// Preconditions: b->featureCount == a.featureCount, both dense or both sparse; out does not overlap the
// examples.
//
// Runs on up to threadCount threads (the calling thread among them) over chunks of columns.
// Returns false, with the output partly written, once *stop is true; it is read between tiles of
// at most 128 x 128 entries and (for up to 65536 features) 2^24 terms, so a stop lands within a
// few milliseconds. stop may be null.
bool baseMatrix(BaseKind kind, const Examples& a, const Examples* b, double* out, std::int64_t ldOut,
                int threadCount, const std::atomic<bool>* stop);

// The kernel matrix itself, with the same conventions: out(i, j) = kernelValue(setting,
// base(a_i, b_j)), exactly symmetric for b == nullptr (unit diagonal for Rbf). The values are
// made tile by tile, with no base matrix beside the output: each thread works in two buffers of
// its own, a tile's values (128 KB) and its rows' features (at most 128 x features doubles).
bool kernelMatrix(const KernelSetting& setting, const Examples& a, const Examples* b, double* out,
                  std::int64_t ldOut, int threadCount, const std::atomic<bool>* stop);

// One row of a kernel, made on demand: out[c - begin] = kernelValue(setting, base(point, block_c))
// for the examples c in [begin, end) of block, where point holds block.featureCount values. Every
// entry is the bits kernelMatrix gives the same pair. Runs on the calling thread alone.
void kernelRow(const KernelSetting& setting, const double* point, const Examples& block, std::int64_t begin,
               std::int64_t end, double* out);

// The same for sparse examples, read in place: out[c] = kernelValue(setting, base(x_point,
// block_{examples[c]})) for c in [0, count), where x and block are sparse (they may be the same
// examples) and examples indexes block. Every entry is the bits kernelMatrix gives the pair, and
// so the bits of the same examples given dense. Runs on the calling thread alone.
void sparseKernelRow(const KernelSetting& setting, const Examples& x, std::int64_t point, const Examples& block,
                     const std::int64_t* examples, std::int64_t count, double* out);

// A kernel gathered from a base matrix of all examples: out(r, c) = kernelValue(setting,
// base(rows[r], cols[c])) for a rowCount x colCount output (column-major, leading dimension
// rowCount), base n x n with leading dimension ldBase, every index in [0, n). For a fold's
// training kernel (rows == cols) and its test kernel. Runs on the calling thread alone: the
// engine runs many at once.
void kernelFromBase(const KernelSetting& setting, const double* base, std::int64_t ldBase, const std::int64_t* rows,
                    std::int64_t rowCount, const std::int64_t* cols, std::int64_t colCount, double* out);

// The same on a chosen instruction set, for tests and benchmarks; every set the CPU supports
// gives the same bits. The functions above use detail::fastestSupported().
using detail::InstructionSet;
void applyKernelValueUsing(InstructionSet set, const KernelSetting& setting, double* values, std::int64_t count);
bool baseMatrixUsing(InstructionSet set, BaseKind kind, const Examples& a, const Examples* b, double* out,
                     std::int64_t ldOut, int threadCount, const std::atomic<bool>* stop);
void kernelRowUsing(InstructionSet set, const KernelSetting& setting, const double* point, const Examples& block,
                    std::int64_t begin, std::int64_t end, double* out);
bool kernelMatrixUsing(InstructionSet set, const KernelSetting& setting, const Examples& a, const Examples* b,
                       double* out, std::int64_t ldOut, int threadCount, const std::atomic<bool>* stop);

}  // namespace zelmor::engine

#endif  // ZELMOR_ENGINE_KERNELS_H
