// The kernel of one solve's examples, made as the solves ask for it and kept in a cache of
// bounded size, so that no solve needs the whole kernel in memory: the engine's answer to a
// kernel of n^2 entries that does not fit.
//
// A cache holds columns of the kernel over its training examples: column j is K(i, j) for every
// training example i, which for the symmetric kernels made from features is row j too. The
// training positions of every column follow one order, which a shrunk solve sets so that the
// examples it moves come first: its rows are then the first entries of the columns, and the
// others' entries follow for the update of the examples at rest. Each column also holds its
// entries over the test examples, for scoring, in their own order. Columns are made in pieces as
// they are needed and the least recently used ones make way for new ones.
//
// Every entry made is the bits the kernel made whole holds (kernelMatrix, kernelFromBase, or the
// given kernel itself), so nothing a solve computes depends on the cache's size.
#ifndef ZELMOR_ENGINE_KERNEL_CACHE_H
#define ZELMOR_ENGINE_KERNEL_CACHE_H

#include <cstdint>
#include <memory>
#include <vector>

#include "dual_solver.h"
#include "finite_kernel.h"
#include "kernels.h"

namespace zelmor::engine {

class WorkerPool;

// Where the entries come from, with the examples as indices into it. Borrowed.
struct KernelSource {
    enum class Kind {
        Features,  // kernelValue(setting, base(x_a, x_b)) from the features
        Base,      // kernelValue(setting, matrix(a, b)) from a base matrix of all examples
        Given,     // matrix(a, b), a kernel given whole
    };
    Kind kind = Kind::Features;
    KernelSetting setting;
    Examples features;
    const double* matrix = nullptr;  // Base and Given: column-major, leading dimension ld
    std::int64_t ld = 0;
    // Given only: whether matrix(a, b) == matrix(b, a) bit for bit over every pair. When not, the
    // solvers read rows, which the cache gathers apart from its columns.
    bool symmetric = true;
};

// An entry that is not a finite number raises KernelNotFinite (finite_kernel.h).

struct CacheCounts {
    std::int64_t columnsMade = 0;  // pieces of columns made, test pieces among them
    std::int64_t entriesMade = 0;
    std::int64_t hits = 0;         // requests met by entries held
    // Time spent making the training and the test entries.
    double trainSeconds = 0.0;
    double testSeconds = 0.0;
};

// Whether matrix(a, b) and matrix(b, a) have the same bits for every pair of an n x n matrix.
bool bitwiseSymmetric(const double* matrix, std::int64_t n);

// A kernel given whole, n x n, as a source.
KernelSource givenKernel(const double* matrix, std::int64_t n);
// 0, 1, ..., n - 1: every example of a source, in order.
std::vector<std::int64_t> everyExample(std::int64_t n);

class KernelCache {
public:
    // train and test: indices into the source, each in increasing order. budgetBytes bounds the
    // columns held (one at least is always held). workers, when not null, share the making of
    // each piece; stop, when it asks, makes requests return null.
    KernelCache(const KernelSource& source, std::vector<std::int64_t> train, std::vector<std::int64_t> test,
                std::int64_t budgetBytes, WorkerPool* workers, const StopRequest& stop);
    ~KernelCache();
    KernelCache(const KernelCache&) = delete;
    KernelCache& operator=(const KernelCache&) = delete;

    std::int64_t trainCount() const { return trainCount_; }
    // Whether every entry K(a, b) is K(b, a): made from features, always.
    bool symmetric() const { return source_.kind != KernelSource::Kind::Given || source_.symmetric; }
    std::int64_t testCount() const { return testCount_; }
    // K(i, i) for every training example.
    const double* diagonal() const { return diagonal_.data(); }

    // Puts the given training examples (increasing) first in every column, the others after them
    // in increasing order; none given, every example in increasing order. Columns held are
    // rearranged when next asked for.
    void orderColumns(const std::vector<std::int64_t>& first);
    // The current order: position q of every column holds training example order()[q].
    const std::vector<std::int64_t>& order() const { return order_; }

    // Column j over the first `length` positions of the order: K(order()[q], j). Valid until the
    // next request; null when stopped.
    const double* column(std::int64_t j, std::int64_t length);
    // Row j over the same positions, K(j, order()[q]): the column itself but for a given kernel
    // that is not symmetric.
    const double* row(std::int64_t j, std::int64_t length);
    // Column j over the test examples, K(test t, j).
    const double* testColumn(std::int64_t j);

    // The solver's view of rows j = examples[p] over the first examples.size() positions, for a
    // solve on those examples (which must be the first of the order): bound to this cache and
    // to `examples`, which must outlive it.
    struct SolveRows {
        KernelRows rows;
        std::vector<double> diagonal;
        KernelCache* cache = nullptr;
        const std::vector<std::int64_t>* examples = nullptr;
    };
    void bindRows(const std::vector<std::int64_t>* examples, SolveRows* out);

    // The columns the budget holds at once, and their bytes.
    std::int64_t capacity() const { return capacity_; }
    std::int64_t capacityBytes() const { return capacity_ * stride_ * 8; }
    const CacheCounts& counts() const { return counts_; }

    // What a cache holds beside its columns (at most the budget, and one column at least): its
    // records, its orders and, for dense features, the examples' features packed (sparse ones
    // are read in place: pass 0 features).
    static std::int64_t overheadBytes(std::int64_t trainCount, std::int64_t testCount, std::int64_t features);
    // The bytes of one column.
    static std::int64_t columnBytes(std::int64_t trainCount, std::int64_t testCount);

private:
    struct Entry {
        std::int64_t slot = -1;
        std::int64_t version = 0;
        std::int64_t length = 0;  // positions made, in the order of `version`
        bool test = false;        // the test entries made
    };

    double* slotData(std::int64_t slot) const { return slab_ + slot * stride_; }
    Entry& hold(std::int64_t j);
    void bringUpToDate(Entry* entry);
    bool makeTrain(std::int64_t j, std::int64_t from, std::int64_t to, double* out);
    bool makeTest(std::int64_t j, double* out);
    void packTrainFeatures();
    void checkFinite(const double* values, std::int64_t count) const;
    static const double* rowFor(void* context, std::int64_t p);

    KernelSource source_;
    std::vector<std::int64_t> train_;
    std::vector<std::int64_t> test_;
    std::int64_t trainCount_ = 0;
    std::int64_t testCount_ = 0;
    std::int64_t stride_ = 0;
    std::int64_t capacity_ = 0;
    WorkerPool* workers_ = nullptr;
    StopRequest stop_;

    double* slab_ = nullptr;
    std::vector<Entry> entries_;
    // Least recently used first: a list over the slots in use.
    std::vector<std::int64_t> owner_, previous_, next_;
    std::int64_t oldest_ = -1, newest_ = -1, slotsUsed_ = 0;

    std::vector<std::int64_t> order_;
    std::int64_t version_ = 0;
    // The positions of each training example in the orders of the last few versions.
    static constexpr int kOrdersKept = 8;
    std::vector<std::int64_t> positions_[kOrdersKept];
    bool identityOrder_ = true;

    // Dense features: the training examples' features in the current order, the test examples'
    // in theirs, and one example's features. Sparse ones: the training examples in the current
    // order, as indices into the source.
    std::vector<double> packedTrain_, packedTest_, point_;
    std::vector<std::int64_t> orderedTrain_;
    std::vector<double> diagonal_;
    std::vector<double> scratch_;
    CacheCounts counts_;
};

}  // namespace zelmor::engine

#endif  // ZELMOR_ENGINE_KERNEL_CACHE_H
