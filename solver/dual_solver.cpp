// The solve loop: selection by largest violation, exact per-example sub-problem, gradient update.
//
// The sweep that selects the next example is fused into the gradient update of the previous
// iteration: each example's violation is measured right after its own gradient update, with
// the eligibility its dual row will have at the next sweep. The inner loops live in
// solve_loops.h; this file owns the state, the start and the per-example work, and chooses
// between the dense update of every class and the class-sparse one (solve_internals.h).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "dual_solver.h"
#include "solve_internals.h"

namespace zelmor {
namespace detail {

extern const SolveLoops kPortableLoops;
#if defined(__x86_64__)
extern const SolveLoops kAvx2Loops;
extern const SolveLoops kAvx512Loops;
constexpr LoopsPerSet<SolveLoops> kSolveLoops{&kPortableLoops, &kAvx2Loops, &kAvx512Loops};
#else
constexpr LoopsPerSet<SolveLoops> kSolveLoops{&kPortableLoops};
#endif

namespace {

constexpr std::int64_t W = kBlockWidth;

// One class of one block is a 64-byte vector: aligned, it is exactly one cache line.
constexpr std::size_t kAlignment = 64;

template <class T>
class AlignedArray {
public:
    AlignedArray() = default;
    explicit AlignedArray(std::size_t count)
        : data_(static_cast<T*>(::operator new(count * sizeof(T) + 1, std::align_val_t{kAlignment}))) {
        std::memset(static_cast<void*>(data_), 0, count * sizeof(T));
    }
    ~AlignedArray() {
        if (data_ != nullptr) ::operator delete(data_, std::align_val_t{kAlignment});
    }
    AlignedArray(const AlignedArray&) = delete;
    AlignedArray& operator=(const AlignedArray&) = delete;

    T* data() const { return data_; }
    bool empty() const { return data_ == nullptr; }
    void swap(AlignedArray& other) noexcept { std::swap(data_, other.data_); }

private:
    T* data_ = nullptr;
};

// How many columns ahead a strided walk along a kernel row prefetches.
constexpr std::int64_t kStridedLookahead = 32;

// The most pieces one pass is cut into.
constexpr std::int64_t kMostPieces = 64;

// Whether row i of the kernel equals column i bit for bit, learned for a group of examples the
// first time one of them is selected.
constexpr std::int64_t kShapeGroup = 64;
enum class RowShape : std::uint8_t { Unknown, EqualsColumn, DiffersFromColumn };

// An update changes two classes or more, or none: with three classes or fewer it changes most
// of them, and the dense pass is the faster.
constexpr std::int32_t kClassSparseFromClasses = 4;

// Automatic mode watches the share of classes the updates change, over windows of this many
// iterations, and moves to the dense pass above the first share and back below the second (the
// class-sparse pass costs about a quarter of the dense one plus one and a half times that share
// of it). Moving costs about two dense passes, so it is rare whichever way the shares go.
constexpr std::int64_t kModeWindow = 256;
constexpr double kDenseAboveShare = 0.7;
constexpr double kClassSparseBelowShare = 0.5;
// The alternating mode moves every this many iterations.
constexpr std::int64_t kAlternateEvery = 5;

struct Layout {
    std::int64_t n = 0;
    std::int32_t k = 0;
    std::int64_t blocks = 0;
};

// k is truncated to 32 bits where a count is needed, as the per-class loops run while m < k.
Layout layoutOf(const DualProblem& problem) {
    Layout layout;
    layout.n = problem.exampleCount > 0 ? problem.exampleCount : 0;
    const std::int32_t k = static_cast<std::int32_t>(problem.classCount);
    layout.k = k > 0 ? k : 0;
    layout.blocks = (layout.n + W - 1) / W;
    return layout;
}

// Working state of one solve. The dual variables are kept example by example (tauRows) and
// handed back column-major; target is implied by the labels, and "target > tau" is kept as
// eligibility bits.
struct DualState {
    DualState(const Layout& layout, SweepMode mode)
        : grad(static_cast<std::size_t>(layout.blocks * layout.k * W)),
          blockedEligible(static_cast<std::size_t>(layout.blocks * layout.k)),
          kernelDiag(static_cast<std::size_t>(layout.n)),
          rowShape(static_cast<std::size_t>(layout.n), RowShape::Unknown),
          row(static_cast<std::size_t>(layout.n)),
          subproblem(static_cast<std::size_t>(layout.k)),
          delta(static_cast<std::size_t>(layout.k)),
          projected(static_cast<std::size_t>(layout.k)),
          changedClasses(static_cast<std::size_t>(layout.k)),
          changedDeltas(static_cast<std::size_t>(layout.k)),
          tauRows(static_cast<std::size_t>(layout.n * layout.k), 0.0),
          shape(layout) {
        blocks.grad = grad.data();
        blocks.blockEligible = blockedEligible.data();
        blocks.exampleCount = layout.n;
        blocks.blockCount = layout.blocks;
        blocks.classCount = layout.k;
        useLayoutOf(mode);
    }

    // What only the class-sparse layout keeps: its bounds and its own copy of the eligibility,
    // allocated on first use.
    void allocateClassSparse() {
        if (!bounds.empty()) return;
        AlignedArray<double> fresh(static_cast<std::size_t>(shape.blocks * 2 * W));
        AlignedArray<std::uint8_t> bits(static_cast<std::size_t>(shape.blocks * shape.k));
        blockLargest.resize(static_cast<std::size_t>(shape.blocks));
        bounds.swap(fresh);
        classMajorEligible.swap(bits);
    }

    // Strides for the mode's layout; the class-sparse one also keeps bounds.
    void useLayoutOf(SweepMode newMode) {
        mode = newMode;
        if (mode == SweepMode::ClassSparse) {
            allocateClassSparse();
            blocks.eligible = classMajorEligible.data();
            blocks.bounds = bounds.data();
            blocks.blockLargest = blockLargest.data();
        } else {
            blocks.eligible = blockedEligible.data();
            blocks.bounds = nullptr;
            blocks.blockLargest = nullptr;
        }
        setStrides(&blocks, mode, shape);
    }

    // Strides of a mode's layout: blocked for the dense pass, class-major for the class-sparse one
    // (its update then streams a few whole classes, eligibility bytes included).
    static void setStrides(GradientLayout* layout, SweepMode mode, const Layout& shape) {
        const bool classMajor = mode == SweepMode::ClassSparse;
        layout->blockStride = classMajor ? W : shape.k * W;
        layout->classStride = classMajor ? shape.blocks * W : W;
        layout->eligibleBlockStride = classMajor ? 1 : shape.k;
        layout->eligibleClassStride = classMajor ? shape.blocks : 1;
    }

    // Moves the gradient (and the eligibility, for the class-sparse layout) into the other mode's
    // layout; false, with nothing changed, when the memory for that cannot be had. The bounds are
    // left to the next select().
    bool switchTo(SweepMode newMode) {
        try {
            if (spare.empty()) {
                AlignedArray<double> grads(static_cast<std::size_t>(shape.blocks * shape.k * W));
                spare.swap(grads);
            }
            allocateClassSparse();
        } catch (const std::bad_alloc&) {
            return false;
        }
        const GradientLayout before = blocks;
        GradientLayout after = blocks;
        after.grad = spare.data();
        setStrides(&after, newMode, shape);
        for (std::int64_t b = 0; b < shape.blocks; ++b) {
            for (std::int32_t m = 0; m < shape.k; ++m) std::memcpy(after.gradAt(b, m), before.gradAt(b, m), W * sizeof(double));
        }
        grad.swap(spare);
        blocks.grad = grad.data();
        useLayoutOf(newMode);
        if (newMode == SweepMode::ClassSparse) {
            for (std::int64_t b = 0; b < shape.blocks; ++b) {
                for (std::int32_t m = 0; m < shape.k; ++m) {
                    blocks.eligible[m * shape.blocks + b] = blockedEligible.data()[b * shape.k + m];
                }
            }
        }
        return true;
    }

    double& gradAt(std::int64_t i, std::int32_t m) const { return blocks.gradAt(i / W, m)[i % W]; }

    // The result's layout: entry (i, m) at i + m * n.
    std::vector<double> columnMajorGrad() const {
        std::vector<double> columns(tauRows.size());
        for (std::int32_t m = 0; m < shape.k; ++m) {
            for (std::int64_t i = 0; i < shape.n; ++i) columns[static_cast<std::size_t>(i + m * shape.n)] = gradAt(i, m);
        }
        return columns;
    }
    std::vector<double> columnMajorTau() const {
        std::vector<double> tau(tauRows.size());
        for (std::int64_t i = 0; i < shape.n; ++i) {
            for (std::int32_t m = 0; m < shape.k; ++m) {
                tau[static_cast<std::size_t>(i + m * shape.n)] = tauRows[static_cast<std::size_t>(i * shape.k + m)];
            }
        }
        return tau;
    }
    // In the blocked copy always, and in the class-major one while the class-sparse layout is in use.
    void setEligible(std::int64_t i, std::int32_t m, bool value) {
        const auto bit = static_cast<std::uint8_t>(1u << (i % W));
        std::uint8_t& blocked = blockedEligible.data()[(i / W) * shape.k + m];
        blocked = static_cast<std::uint8_t>(value ? blocked | bit : blocked & ~bit);
        if (mode == SweepMode::ClassSparse) {
            std::uint8_t& classMajor = classMajorEligible.data()[m * shape.blocks + i / W];
            classMajor = static_cast<std::uint8_t>(value ? classMajor | bit : classMajor & ~bit);
        }
    }

    AlignedArray<double> grad;
    AlignedArray<double> spare;
    AlignedArray<std::uint8_t> blockedEligible;
    AlignedArray<std::uint8_t> classMajorEligible;
    AlignedArray<double> bounds;
    std::vector<double> blockLargest;
    GradientLayout blocks;
    std::vector<double> kernelDiag;
    std::vector<RowShape> rowShape;
    std::vector<double> row;
    std::vector<double> subproblem;
    std::vector<double> delta;
    std::vector<double> projected;
    std::vector<std::int32_t> changedClasses;
    std::vector<double> changedDeltas;
    // The dual variables, example by example: the row of the selected example is one stretch.
    std::vector<double> tauRows;
    Layout shape;
    SweepMode mode = SweepMode::Dense;
};

std::uint64_t bitsOf(double value) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

bool allEqualColumns(const std::vector<RowShape>& shapes, std::int64_t begin, std::int64_t end) {
    for (std::int64_t l = begin; l < end; ++l) {
        if (shapes[static_cast<std::size_t>(l)] != RowShape::EqualsColumn) return false;
    }
    return true;
}

// Compares rows and columns of the kShapeGroup examples around p. Reading a row is a strided
// walk that touches a new page per column; a group of rows shares those pages, and 64 rows
// (512 bytes of each column) cost barely more than one. Columns l of a group already found
// equal to its rows are skipped: that group's check compared G(l, i) with G(i, l) already.
void learnRowShapes(const double* kernel, std::int64_t n, std::int64_t p, std::vector<RowShape>* shapes) {
    const std::int64_t first = p - p % kShapeGroup;
    const std::int64_t count = n - first < kShapeGroup ? n - first : kShapeGroup;
    std::uint64_t differs[kShapeGroup] = {};
    for (std::int64_t l0 = 0; l0 < n; l0 += kShapeGroup) {
        const std::int64_t l1 = l0 + kShapeGroup < n ? l0 + kShapeGroup : n;
        if (allEqualColumns(*shapes, l0, l1)) continue;
        // The next stretch of the rows: one page per column, which the hardware cannot guess.
        for (std::int64_t l = l1; l < l1 + kShapeGroup && l < n; ++l) {
            for (std::int64_t i = 0; i < count; i += 8) __builtin_prefetch(kernel + l * n + first + i);
        }
        for (std::int64_t i = 0; i < count; ++i) {
            const double* column = kernel + (first + i) * n;
            std::uint64_t d = 0;
            // Bitwise: -0.0 and 0.0 give products of different sign.
            for (std::int64_t l = l0; l < l1; ++l) d |= bitsOf(kernel[l * n + first + i]) ^ bitsOf(column[l]);
            differs[i] |= d;
        }
    }
    for (std::int64_t i = 0; i < count; ++i) {
        (*shapes)[static_cast<std::size_t>(first + i)] =
            differs[i] == 0 ? RowShape::EqualsColumn : RowShape::DiffersFromColumn;
    }
}

// Row p of the kernel, G(p, l) for l = 0 .. n-1, as the update must follow it: from the rows made
// on demand when there are some; else column p when the two are bitwise equal (contiguous),
// otherwise row p gathered with stride n. Null when a row made on demand did not come.
const double* kernelLineOf(const DualProblem& problem, std::int64_t n, std::int64_t p, DualState* state) {
    if (problem.rows != nullptr) return problem.rows->row(problem.rows->context, p);
    const double* kernel = problem.kernel.data;
    std::vector<RowShape>& shapes = state->rowShape;
    if (shapes[static_cast<std::size_t>(p)] == RowShape::Unknown) learnRowShapes(kernel, n, p, &shapes);
    if (shapes[static_cast<std::size_t>(p)] == RowShape::EqualsColumn) return kernel + p * n;
    double* row = state->row.data();
    for (std::int64_t l = 0; l < n; ++l) {
        if (l + kStridedLookahead < n) __builtin_prefetch(kernel + p + (l + kStridedLookahead) * n);
        row[l] = kernel[p + l * n];
    }
    return row;
}

// Zero-based class index of a label, -1 when it names no class (outside the limits).
std::int64_t classIndexOf(double label, std::int32_t k) {
    const std::int64_t c = static_cast<std::int64_t>(static_cast<std::int32_t>(label)) - 1;
    return c >= 0 && c < k ? c : -1;
}

// The bound of example i's own class: its weight, 1 without weights.
double boundOf(const DualProblem& problem, std::int64_t i) {
    return problem.weights != nullptr ? problem.weights[i] : 1.0;
}

// The projection of values[0 .. count-1] onto the simplex whose entries sum to bound:
// bound * projectSimplex(values / bound), which values overwrites. A bound of exactly 1 skips
// the division and the product, so that weights of 1 give the bits of no weights.
void projectSimplexWithBound(double* values, std::int32_t count, double bound, double* projected) {
    if (bound != 1.0) {
        for (std::int32_t m = 0; m < count; ++m) values[m] = values[m] / bound;
    }
    projectSimplexInto(values, count, projected);
    if (bound != 1.0) {
        for (std::int32_t m = 0; m < count; ++m) projected[m] = bound * projected[m];
    }
}

// How many kernel columns the warm start sums between two questions to a StopRequest: about
// four million products' worth, in whole stretches of the loops' 128 columns.
std::int64_t warmStartStretch(const Layout& layout) {
    const std::int64_t cells = layout.n * layout.k;
    const std::int64_t columns = (std::int64_t{1} << 22) / (cells > 0 ? cells : 1);
    return columns < 128 ? 128 : columns - columns % 128;
}

// The warm start's sums from rows made on demand: grad(j, m) += G(j, l) * tau0(l, m) for the given
// rows l in increasing order, G(j, l) read from row l (the kernel is symmetric). Each entry
// receives its terms in the order the tiles of the kernel held whole add them. False when
// stopped.
bool addRowProducts(const KernelRows& source, const double* tau0, const std::vector<std::int64_t>& rows,
                    const Layout& layout, const StopRequest& stop, DualState* state) {
    const std::int64_t n = layout.n;
    for (std::int64_t l : rows) {
        if (stop.now()) return false;
        const double* line = source.row(source.context, l);
        if (line == nullptr) return false;
        for (std::int32_t m = 0; m < layout.k; ++m) {
            const double t = tau0[l + m * n];
            // Adding x * 0 changes no sum (see above).
            if (t == 0.0) continue;
            for (std::int64_t j = 0; j < n; ++j) {
                double& g = state->gradAt(j, m);
                g = g + line[j] * t;
            }
        }
    }
    return true;
}

// False when the StopRequest asked to stop during the warm start, whose gradient is then unfinished.
bool startState(const DualProblem& problem, const StartMode& start, const SolveLoops& loops, const Layout& layout,
                const StopRequest& stop, DualState* state) {
    const std::int64_t n = layout.n;
    const std::int32_t k = layout.k;
    const double* labels = problem.labels;
    const double beta = problem.beta;
    std::vector<double>& tau = state->tauRows;
    const bool gradientGiven = start.warm && start.initialGradient.data != nullptr;
    if (gradientGiven) {
        const double* tau0 = start.initialTau.data;
        const double* grad0 = start.initialGradient.data;
        for (std::int64_t l = 0; l < n; ++l) {
            for (std::int32_t m = 0; m < k; ++m) {
                tau[static_cast<std::size_t>(l * k + m)] = tau0[l + m * n];
                state->gradAt(l, m) = grad0[l + m * n];
            }
        }
    } else if (start.warm && !tau.empty()) {
        const double* tau0 = start.initialTau.data;
        // A row of zeros adds only zeros to each sum, and adding a zero changes no sum: no sum
        // starts from or reaches -0.0, since 0.0 + -0.0 is 0.0. Those columns are skipped.
        std::vector<std::int64_t> rows;
        for (std::int64_t l = 0; l < n; ++l) {
            bool zero = true;
            for (std::int32_t m = 0; m < k; ++m) {
                const double value = tau0[l + m * n];
                tau[static_cast<std::size_t>(l * k + m)] = value;
                zero = zero && value == 0.0;
            }
            if (!zero) rows.push_back(l);
        }
        if (problem.rows != nullptr) {
            if (!addRowProducts(*problem.rows, tau0, rows, layout, stop, state)) return false;
        } else {
            const std::int64_t stretch = warmStartStretch(layout);
            for (std::size_t i0 = 0; i0 < rows.size(); i0 += static_cast<std::size_t>(stretch)) {
                if (stop.now()) return false;
                const std::int64_t count = static_cast<std::int64_t>(rows.size() - i0) < stretch
                                               ? static_cast<std::int64_t>(rows.size() - i0)
                                               : stretch;
                loops.accumulateKernelProducts(state->blocks, problem.kernel.data, tau0, rows.data() + i0, count);
            }
        }
    }
    for (std::int64_t i = 0; i < n; ++i) {
        const std::int64_t c = classIndexOf(labels[i], k);
        const double bound = boundOf(problem, i);
        for (std::int32_t m = 0; m < k; ++m) {
            const double target = m == c ? bound : 0.0;
            state->setEligible(i, m, target > tau[static_cast<std::size_t>(i * k + m)]);
        }
        if (c < 0 || gradientGiven) continue;
        // Cold: assigned, not subtracted from 0, so beta = 0 gives -0.0.
        double& g = state->gradAt(i, static_cast<std::int32_t>(c));
        g = start.warm ? g - beta : -beta;
    }
    for (std::int64_t i = 0; i < n; ++i) {
        state->kernelDiag[static_cast<std::size_t>(i)] =
            problem.rows != nullptr ? problem.rows->diagonal[i] : problem.kernel.data[i * (n + 1)];
    }
    return true;
}

// How many iterations run between two questions to a StopRequest: about a million gradient
// entries' worth of work, so that even a slow question costs well under 1% of a solve.
std::int64_t stopCheckInterval(const Layout& layout) {
    const std::int64_t cells = layout.n * layout.k;
    constexpr std::int64_t kCellsBetweenChecks = std::int64_t{1} << 20;
    return cells >= kCellsBetweenChecks ? 1 : kCellsBetweenChecks / (cells > 0 ? cells : 1);
}

// Blocks [first, end) of a layout, as a layout of their own: the same strides, the arrays from
// the first block on.
GradientLayout piecesLayout(const GradientLayout& whole, std::int64_t first, std::int64_t end) {
    GradientLayout piece = whole;
    piece.grad = whole.grad + first * whole.blockStride;
    piece.eligible = whole.eligible + first * whole.eligibleBlockStride;
    piece.blockEligible = whole.blockEligible + first * whole.classCount;
    if (whole.bounds != nullptr) piece.bounds = whole.bounds + first * 2 * kBlockWidth;
    if (whole.blockLargest != nullptr) piece.blockLargest = whole.blockLargest + first;
    piece.blockCount = end - first;
    piece.exampleCount = std::min(whole.exampleCount, end * kBlockWidth) - first * kBlockWidth;
    return piece;
}

// One iteration's update and sweep, cut into pieces of whole blocks that workers run at once. Each
// piece selects its own first largest violation; the largest of those, ties to the lowest
// example, is the selection of one pass over every example.
struct SharedPass {
    const SolveLoops* loops = nullptr;
    const GradientLayout* whole = nullptr;
    const double* line = nullptr;
    const double* delta = nullptr;
    const SparseUpdate* sparse = nullptr;
    std::int64_t pieces = 0;
    Selection selections[kMostPieces];

    std::int64_t firstBlock(std::int64_t piece) const { return whole->blockCount * piece / pieces; }

    static void run(void* context, std::int64_t piece) {
        auto* pass = static_cast<SharedPass*>(context);
        const std::int64_t first = pass->firstBlock(piece);
        const GradientLayout layout = piecesLayout(*pass->whole, first, pass->firstBlock(piece + 1));
        const std::int64_t offset = first * kBlockWidth;
        Selection selection;
        if (pass->sparse != nullptr) {
            SparseUpdate update = *pass->sparse;
            update.line = pass->sparse->line + offset;
            const std::int64_t updated = pass->sparse->updatedExample - offset;
            update.updatedExample = updated >= 0 && updated < layout.blockCount * kBlockWidth ? updated : -1;
            selection = pass->loops->sparseUpdateAndSelect(layout, update);
        } else {
            selection = pass->loops->updateAndSelect(layout, pass->line + offset, pass->delta);
        }
        if (selection.example >= 0) selection.example += offset;
        pass->selections[piece] = selection;
    }

    Selection combined() const {
        Selection best;
        for (std::int64_t piece = 0; piece < pieces; ++piece) {
            const Selection& s = selections[piece];
            if (s.example >= 0 && (best.example < 0 || s.violation > best.violation)) best = s;
        }
        return best;
    }
};

// How many pieces a pass over the layout is cut into: 1 without workers.
std::int64_t piecesOf(const SolveWorkers* workers, const Layout& layout) {
    if (workers == nullptr || workers->run == nullptr || workers->threads < 2) return 1;
    const std::int64_t most = std::min<std::int64_t>(workers->threads, kMostPieces);
    return std::max<std::int64_t>(1, std::min(most, layout.blocks / std::max<std::int64_t>(workers->leastBlocks, 1)));
}

}  // namespace

Selection firstMaximumOfLanes(const double (&violation)[kBlockWidth], const std::int64_t (&example)[kBlockWidth]) {
    double top = violation[0];
    for (std::int64_t lane = 1; lane < kBlockWidth; ++lane) top = violation[lane] > top ? violation[lane] : top;
    std::int64_t first = INT64_MAX;
    for (std::int64_t lane = 0; lane < kBlockWidth; ++lane) {
        if (violation[lane] == top && example[lane] < first) first = example[lane];
    }
    return Selection{first, top};
}

const char* nameOf(SweepMode mode) {
    switch (mode) {
        case SweepMode::Dense: return "dense";
        case SweepMode::ClassSparse: return "class-sparse";
        case SweepMode::Alternating: return "alternating";
        default: return "automatic";
    }
}

SweepMode chooseSweepMode(std::int32_t classCount) {
    return classCount >= kClassSparseFromClasses ? SweepMode::ClassSparse : SweepMode::Dense;
}

const SolveLoops& loopsFor(InstructionSet set) { return kSolveLoops.forSet(set); }

std::vector<double> startGradientUsing(InstructionSet set, const DualProblem& problem, const StartMode& start,
                                       SweepMode mode) {
    const Layout layout = layoutOf(problem);
    const bool chosen = mode == SweepMode::Automatic || mode == SweepMode::Alternating;
    DualState state(layout, chosen ? chooseSweepMode(layout.k) : mode);
    startState(problem, start, loopsFor(set), layout, StopRequest{}, &state);
    std::vector<double> grad(state.tauRows.size());
    for (std::int64_t i = 0; i < layout.n; ++i) {
        for (std::int32_t m = 0; m < layout.k; ++m) grad[static_cast<std::size_t>(i * layout.k + m)] = state.gradAt(i, m);
    }
    return grad;
}

SolveResult solveDualUsing(InstructionSet set, const DualProblem& problem, const StartMode& start, double tolerance,
                           std::int64_t iterationLimit, const StopRequest& stop, SweepMode mode) {
    SolveControl control;
    control.tolerance = tolerance;
    control.iterationLimit = iterationLimit;
    return solveDualUsing(set, problem, start, control, stop, mode);
}

namespace {

// When the solve moves between the dense and the class-sparse sweep. Adaptive solves weigh the
// share of classes the updates change over each window of iterations; alternating ones move at
// the end of every window whatever the share.
struct ModeChoice {
    bool adaptive = false;
    bool alternating = false;
    std::int64_t window = kModeWindow;
    std::int64_t changedInWindow = 0;
};

ModeChoice modeChoiceFor(SweepMode mode, std::int32_t k) {
    ModeChoice choice;
    choice.alternating = mode == SweepMode::Alternating;
    choice.adaptive = choice.alternating || (mode == SweepMode::Automatic && k >= kClassSparseFromClasses);
    choice.window = choice.alternating ? kAlternateEvery : kModeWindow;
    return choice;
}

// Iteration t changed `changed` classes: at the end of a window, move to the sweep mode the
// window's share of changed classes calls for. A move that cannot have its storage ends the
// adapting.
void adaptSweepMode(const SolveLoops& loops, std::int64_t t, std::int32_t changed, std::int32_t k, ModeChoice* choice,
                    DualState* state, SolveResult* result) {
    choice->changedInWindow += changed;
    if (!choice->adaptive || (t + 1) % choice->window != 0) return;
    const double share = static_cast<double>(choice->changedInWindow) / static_cast<double>(kModeWindow * k);
    choice->changedInWindow = 0;
    const bool sparse = state->mode == SweepMode::ClassSparse;
    SweepMode better = sparse ? (share > kDenseAboveShare ? SweepMode::Dense : state->mode)
                              : (share < kClassSparseBelowShare ? SweepMode::ClassSparse : state->mode);
    if (choice->alternating) better = sparse ? SweepMode::Dense : SweepMode::ClassSparse;
    if (better == state->mode) return;
    if (state->switchTo(better)) {
        ++result->layoutMoves;
        // Only sets the bounds: the gradient is the same, so is the selection.
        if (better == SweepMode::ClassSparse) loops.select(state->blocks);
    } else {
        choice->adaptive = false;
    }
}

// Example p's sub-problem, projected onto its bound, becomes its new dual row: sets its deltas,
// its eligibility and the list of classes that changed, and returns how many changed.
std::int32_t updateDualRow(const DualProblem& problem, const Layout& layout, std::int64_t p, DualState* state) {
    const std::int32_t k = layout.k;
    std::vector<double>& tau = state->tauRows;
    double* subproblem = state->subproblem.data();
    double* delta = state->delta.data();
    const std::int64_t c = classIndexOf(problem.labels[p], k);
    const double diag = state->kernelDiag[static_cast<std::size_t>(p)];
    const double bound = boundOf(problem, p);
    for (std::int32_t m = 0; m < k; ++m) {
        const double target = m == c ? bound : 0.0;
        // Order fixed: ((grad / diag) - tau) + target; adding a 0.0 target turns -0.0 into 0.0.
        subproblem[m] = ((state->gradAt(p, m) / diag) - tau[static_cast<std::size_t>(p * k + m)]) + target;
    }
    double* nu = state->projected.data();
    projectSimplexWithBound(subproblem, k, bound, nu);
    const double labelIndex = problem.labels[p] - 1.0;
    std::int32_t changed = 0;
    for (std::int32_t m = 0; m < k; ++m) {
        double& tauPM = tau[static_cast<std::size_t>(p * k + m)];
        // Negation, not 0 - nu: a zero becomes -0.0.
        const double updated = labelIndex == static_cast<double>(m) ? bound - nu[m] : -nu[m];
        delta[m] = updated - tauPM;
        tauPM = updated;
        state->setEligible(p, m, (m == c ? bound : 0.0) > updated);
        // NaN counts as a change: it is not equal to zero.
        if (delta[m] != 0.0) {
            state->changedClasses[static_cast<std::size_t>(changed)] = m;
            state->changedDeltas[static_cast<std::size_t>(changed)] = delta[m];
            ++changed;
        }
    }
    return changed;
}

// The gradient update for example p's new dual row, along its kernel row `line`, and the sweep
// that selects the next example: on the calling thread, or cut into pieces for the workers.
Selection updateAndSweep(const SolveLoops& loops, const SolveControl& control, std::int64_t pieces,
                         const double* line, std::int64_t p, std::int32_t changed, DualState* state) {
    SparseUpdate update;
    if (state->mode == SweepMode::ClassSparse) {
        update.line = line;
        update.changed = ChangedClasses{changed, state->changedClasses.data(), state->changedDeltas.data()};
        update.updatedExample = p;
    }
    if (pieces > 1) {
        SharedPass pass;
        pass.loops = &loops;
        pass.whole = &state->blocks;
        pass.line = line;
        pass.delta = state->delta.data();
        pass.sparse = state->mode == SweepMode::ClassSparse ? &update : nullptr;
        pass.pieces = pieces;
        control.workers->run(control.workers->context, pieces, SharedPass::run, &pass);
        return pass.combined();
    }
    if (state->mode == SweepMode::ClassSparse) return loops.sparseUpdateAndSelect(state->blocks, update);
    return loops.updateAndSelect(state->blocks, line, state->delta.data());
}

// The solve stops at iteration t, for the reason given.
void endAt(std::int64_t t, SolveEnd end, SolveResult* result) {
    result->iterationCount = t;
    result->end = end;
}

// The iterations of a solve from its start, up to the cap, a stop, or convergence; sets the
// count and the end in result and returns the last selection.
Selection iterate(const SolveLoops& loops, const DualProblem& problem, const Layout& layout,
                  const SolveControl& control, const StopRequest& stop, ModeChoice* choice, DualState* state,
                  SolveResult* result) {
    // In 64 bits: n * n overflows 32 bits beyond n = 46340.
    const std::int64_t fullCap = control.iterationCap >= 0 ? control.iterationCap : layout.n * layout.n;
    const std::int64_t iterationLimit = control.iterationLimit;
    const std::int64_t iterationCap = iterationLimit >= 0 && iterationLimit < fullCap ? iterationLimit : fullCap;
    const std::int64_t checkInterval = stopCheckInterval(layout);
    result->iterationCount = iterationCap;
    result->end = SolveEnd::IterationCap;
    Selection selected = iterationCap > 0 ? loops.select(state->blocks) : Selection{};
    const std::int64_t pieces = piecesOf(control.workers, layout);
    for (std::int64_t t = 0; t < iterationCap; ++t) {
        if (t % checkInterval == 0 && control.progress != nullptr && t > 0) {
            control.progress(control.progressContext, t, selected.violation);
        }
        if (t % checkInterval == 0 && stop.now()) {
            endAt(t, SolveEnd::Interrupted, result);
            break;
        }
        // No example selected: nothing can be updated, so stop with tau as it stands.
        const std::int64_t p = selected.example;
        if (p < 0) {
            endAt(t, SolveEnd::NothingSelected, result);
            break;
        }
        // Before anything changes: a row made on demand may not come.
        const double* line = kernelLineOf(problem, layout.n, p, state);
        if (line == nullptr) {
            endAt(t, SolveEnd::Interrupted, result);
            break;
        }
        const std::int32_t changed = updateDualRow(problem, layout, p, state);
        // Strict: a violation equal to the tolerance does not stop. The converging iteration
        // still applies its update.
        const bool converged = selected.violation < control.tolerance;
        selected = updateAndSweep(loops, control, pieces, line, p, changed, state);
        if (converged) {
            endAt(t, SolveEnd::Converged, result);
            break;
        }
        adaptSweepMode(loops, t, changed, layout.k, choice, state, result);
    }
    return selected;
}

}  // namespace

SolveResult solveDualUsing(InstructionSet set, const DualProblem& problem, const StartMode& start,
                           const SolveControl& control, const StopRequest& stop, SweepMode mode) {
    const SolveLoops& loops = loopsFor(set);
    const Layout layout = layoutOf(problem);
    ModeChoice choice = modeChoiceFor(mode, layout.k);
    const bool chosen = mode == SweepMode::Automatic || choice.alternating;
    DualState state(layout, chosen ? chooseSweepMode(layout.k) : mode);
    state.blocks.sweepStart = control.sweepStart;
    SolveResult result;
    result.remainingViolation = -control.sweepStart;
    if (!startState(problem, start, loops, layout, stop, &state)) {
        result.iterationCount = 0;
        result.end = SolveEnd::Interrupted;
        result.tau = state.columnMajorTau();
        return result;
    }
    const Selection selected = iterate(loops, problem, layout, control, stop, &choice, &state, &result);
    result.remainingViolation = selected.example >= 0 ? selected.violation : -control.sweepStart;
    result.tau = state.columnMajorTau();
    if (control.keepGradient) result.grad = state.columnMajorGrad();
    return result;
}

}  // namespace detail

std::int64_t workingStorageBytes(std::int64_t exampleCount, std::int64_t classCount) {
    if (exampleCount < 0 || classCount < 0) return -1;
    // The gradient of ceil(n / 8) * 8 examples and one eligibility byte per block and class; per
    // block two vectors of bounds and a largest bound (with eight bytes to spare); the dual
    // variables by example; per example the diagonal, a gathered kernel row, a row-shape byte and
    // a warm-start row number; per class the sub-problem, the delta, the changed classes and their deltas, and
    // the projection's result. Moving between layouts later allocates a second gradient and
    // eligibility, and goes without when it cannot have them.
    const std::int64_t blocks = exampleCount / detail::kBlockWidth + (exampleCount % detail::kBlockWidth != 0);
    std::int64_t blockCells = 0;
    std::int64_t bytes = 0;
    std::int64_t part = 0;
    if (__builtin_mul_overflow(blocks, classCount, &blockCells)) return -1;
    if (__builtin_mul_overflow(blockCells, detail::kBlockWidth * 8 + 1, &bytes)) return -1;
    if (__builtin_mul_overflow(blocks, 2 * detail::kBlockWidth * 8 + 16, &part) || __builtin_add_overflow(bytes, part, &bytes)) {
        return -1;
    }
    if (__builtin_mul_overflow(exampleCount, classCount, &part) || __builtin_mul_overflow(part, 8, &part) ||
        __builtin_add_overflow(bytes, part, &bytes)) {
        return -1;
    }
    if (__builtin_mul_overflow(exampleCount, 3 * 8 + 1, &part) || __builtin_add_overflow(bytes, part, &bytes)) return -1;
    if (__builtin_mul_overflow(classCount, 5 * 8 + 4, &part) || __builtin_add_overflow(bytes, part, &bytes)) return -1;
    return bytes;
}

SolveResult solveDual(const DualProblem& problem, const StartMode& start, double tolerance, const StopRequest& stop) {
    return detail::solveDualUsing(detail::fastestSupported(), problem, start, tolerance, -1, stop);
}

SolveResult solveDual(const DualProblem& problem, const StartMode& start, const SolveControl& control,
                      const StopRequest& stop) {
    return detail::solveDualUsing(detail::fastestSupported(), problem, start, control, stop);
}

}  // namespace zelmor
