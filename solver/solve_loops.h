// The inner loops of the solve, written once over a lane type L that holds one block of eight
// examples: the sweep for the largest violation, the gradient update fused with it (over every
// class, or over the few classes an update changes), and the warm start's kernel products.
// lanes_portable.h, lanes_avx2.h and lanes_avx512.h are the lane types; each instruction set's
// source file includes one of them and this file, with ZELMOR_LANES_TARGET naming its target,
// and fills a SolveLoops table from the instances.
//
// What L provides, per lane of a block: loads and stores of eight doubles, the update
// d * x + g and the warm-start sum s + x * t (each product rounded before its sum), the running
// maximum v > hi ? v : hi and the masked minimum lo > v ? v : lo (a NaN v changes neither),
// comparisons into lane masks, eligibility bytes as masks, and per-lane example numbers.
//
// Everything has internal linkage: each source file gets its own copy, compiled for its own
// instruction set, and none can stand in for another's at link time.
#ifndef ZELMOR_SOLVER_SOLVE_LOOPS_H
#define ZELMOR_SOLVER_SOLVE_LOOPS_H

#include <cstdint>

#include "solve_internals.h"

#ifndef ZELMOR_LANES_TARGET
#error "define ZELMOR_LANES_TARGET (the target attribute of the lane type) before including solve_loops.h"
#endif

namespace zelmor {
namespace detail {
namespace {

// The best violation each lane has seen, with its example.
template <class L>
struct LaneSelection {
    typename L::Doubles best;
    typename L::Examples bestExample;
};

// Only a violation strictly above -sweepStart can select an example.
template <class L>
ZELMOR_LANES_TARGET inline LaneSelection<L> startSelection(const GradientLayout& s) {
    return LaneSelection<L>{L::broadcast(-s.sweepStart), L::everyLane(-1)};
}

// Strictly greater replaces, so each lane keeps the first example holding its maximum; offered
// in increasing order of examples, the lanes then hold the first maximum overall.
template <class L>
ZELMOR_LANES_TARGET inline void offer(LaneSelection<L>* s, typename L::Doubles violation, typename L::Mask valid,
                                      typename L::Examples examples) {
    const typename L::Mask better = L::both(L::greater(violation, s->best), valid);
    s->best = L::select(better, violation, s->best);
    s->bestExample = L::selectExamples(better, examples, s->bestExample);
}

template <class L>
ZELMOR_LANES_TARGET inline Selection finish(const LaneSelection<L>& s) {
    double best[kBlockWidth];
    std::int64_t bestExample[kBlockWidth];
    L::spill(s.best, best);
    L::spill(s.bestExample, bestExample);
    return firstMaximumOfLanes(best, bestExample);
}

// The largest of the valid lanes, -infinity when none is.
template <class L>
ZELMOR_LANES_TARGET inline double largestOf(typename L::Doubles a, typename L::Mask valid) {
    return L::largest(L::select(valid, a, L::broadcast(-__builtin_inf())));
}

// One class of one block, first updated when kUpdate, then folded into hi and lo.
template <class L, bool kUpdate>
ZELMOR_LANES_TARGET inline void foldClass(double* g, typename L::Doubles x, typename L::Doubles delta,
                                          const std::uint8_t* eligible, typename L::Doubles* hi,
                                          typename L::Doubles* lo) {
    typename L::Doubles v = L::load(g);
    if (kUpdate) {
        v = L::productPlus(delta, x, v);
        L::store(g, v);
    }
    *hi = L::raise(v, *hi);
    *lo = L::lowerWhere(L::eligibility(eligible), v, *lo);
}

// The classes of one block: where its first class starts and how far apart its classes lie;
// its eligibility bytes, one per class, side by side.
// Held by value, so that the compiler keeps it in registers across the stores into the gradient.
struct BlockClasses {
    double* grad;
    const std::uint8_t* eligible;
    std::int64_t classStride;
    std::int32_t classCount;
    double sweepStart;
};

inline BlockClasses blockClassesOf(const GradientLayout& s, std::int64_t b) {
    return BlockClasses{s.gradAt(b, 0), s.blockEligible + b * s.classCount, s.classStride, s.classCount, s.sweepStart};
}

// hi and lo of the eight examples of one block over every class, from the starting values
// -sweepStart and sweepStart; with kUpdate every class is first updated with x and delta. Classes fold
// into four separate hi and lo by their number modulo four, which shortens the chains of
// dependent operations fourfold. Merging them reorders each example's comparisons, which can
// change only which zero, -0.0 or 0.0, hi or lo ends with: only the sign of a zero violation,
// and violations are only ever compared.
template <class L, bool kUpdate>
ZELMOR_LANES_TARGET inline void foldBlock(BlockClasses block, typename L::Doubles x, const double* delta,
                                          typename L::Doubles* hi, typename L::Doubles* lo) {
    constexpr int kChains = 4;
    const std::int32_t k = block.classCount;
    typename L::Doubles his[kChains];
    typename L::Doubles los[kChains];
    #pragma GCC unroll 4
    for (int c = 0; c < kChains; ++c) {
        his[c] = L::broadcast(-block.sweepStart);
        los[c] = L::broadcast(block.sweepStart);
    }
    const typename L::Doubles none = L::broadcast(0.0);
    double* g = block.grad;
    const std::uint8_t* e = block.eligible;
    const std::int64_t gStep = block.classStride;
    std::int32_t m = 0;
    for (; m + kChains <= k; m += kChains, g += kChains * gStep, e += kChains) {
        #pragma GCC unroll 4
        for (int c = 0; c < kChains; ++c) {
            foldClass<L, kUpdate>(g + c * gStep, x, kUpdate ? L::broadcast(delta[m + c]) : none, e + c, &his[c],
                                  &los[c]);
        }
    }
    // At most three classes left, each into its own chain (constant indices keep the chains in
    // registers).
    #pragma GCC unroll 3
    for (int c = 0; c < kChains - 1; ++c) {
        if (m + c < k) {
            foldClass<L, kUpdate>(g + c * gStep, x, kUpdate ? L::broadcast(delta[m + c]) : none, e + c, &his[c],
                                  &los[c]);
        }
    }
    *hi = L::raise(L::raise(his[3], his[2]), L::raise(his[1], his[0]));
    *lo = L::lowerWhere(L::allLanes(), L::lowerWhere(L::allLanes(), los[3], los[2]),
                        L::lowerWhere(L::allLanes(), los[1], los[0]));
}

// The sweep over every class of every example, each class first updated when kUpdate. Without
// an update it also leaves exact bounds where the layout keeps them.
template <class L, bool kUpdate>
ZELMOR_LANES_TARGET Selection denseSweep(const GradientLayout& s, const double* line, const double* delta) {
    double* const bounds = s.bounds;
    LaneSelection<L> selection = startSelection<L>(s);
    typename L::Examples examples = L::examplesFrom(0);
    for (std::int64_t b = 0; b < s.blockCount; ++b) {
        const typename L::Mask valid = L::lanesBelow(s.exampleCount - b * kBlockWidth);
        typename L::Doubles x = L::broadcast(0.0);
        if (kUpdate) x = L::loadValid(line + b * kBlockWidth, valid);
        typename L::Doubles hi;
        typename L::Doubles lo;
        foldBlock<L, kUpdate>(blockClassesOf(s, b), x, delta, &hi, &lo);
        if (!kUpdate && bounds != nullptr) {
            L::store(bounds + b * 2 * kBlockWidth, hi);
            L::store(bounds + b * 2 * kBlockWidth + kBlockWidth, lo);
        }
        offer<L>(&selection, L::minus(hi, lo), valid, examples);
        examples = L::advance(examples, kBlockWidth);
    }
    return finish(selection);
}

template <class L>
ZELMOR_LANES_TARGET Selection select(const GradientLayout& s) {
    return denseSweep<L, false>(s, nullptr, nullptr);
}

template <class L>
ZELMOR_LANES_TARGET Selection updateAndSelect(const GradientLayout& s, const double* line, const double* delta) {
    return denseSweep<L, true>(s, line, delta);
}

// One changed class of one block: the update, then the class folded into the block's bounds.
template <class L>
ZELMOR_LANES_TARGET inline void updateClassAndBounds(double* g, typename L::Doubles x, typename L::Doubles delta,
                                                     const std::uint8_t* eligible, typename L::Doubles* hiBound,
                                                     typename L::Doubles* loBound) {
    const typename L::Doubles v = L::productPlus(delta, x, L::load(g));
    L::store(g, v);
    *hiBound = L::raise(v, *hiBound);
    *loBound = L::lowerWhere(L::eligibility(eligible), v, *loBound);
}

// How many blocks ahead the class-sparse pass asks for the kernel line.
constexpr std::int64_t kLineLookahead = 64;

// Block b measured exactly over every class; its bounds become exact. Returns its largest
// violation.
template <class L>
ZELMOR_LANES_TARGET inline double measureBlock(const GradientLayout& s, std::int64_t b) {
    typename L::Doubles hi;
    typename L::Doubles lo;
    foldBlock<L, false>(blockClassesOf(s, b), L::broadcast(0.0), nullptr, &hi, &lo);
    double* bounds = s.bounds + b * 2 * kBlockWidth;
    L::store(bounds, hi);
    L::store(bounds + kBlockWidth, lo);
    return largestOf<L>(L::minus(hi, lo), L::lanesBelow(s.exampleCount - b * kBlockWidth));
}

// One block of the class-sparse update: its changed classes, its bounds, and the largest bound
// of a violation in it. kPartial: the last block, whose lanes past n the kernel line lacks.
template <class L, int kChanged, bool kPartial>
ZELMOR_LANES_TARGET inline void sparseUpdateBlock(const GradientLayout& s, const SparseUpdate& u, std::int64_t b,
                                                  double* const (&rows)[kChanged > 0 ? kChanged : 1],
                                                  const std::uint8_t* const (&eligibleRows)[kChanged > 0 ? kChanged : 1],
                                                  const typename L::Doubles (&deltas)[kChanged > 0 ? kChanged : 1]) {
    const typename L::Mask valid = kPartial ? L::lanesBelow(s.exampleCount - b * kBlockWidth) : L::allLanes();
    // The kernel line is new memory in every iteration and the pass does little per line of it:
    // asking early hides its latency.
    __builtin_prefetch(u.line + (b + kLineLookahead) * kBlockWidth);
    const typename L::Doubles x =
        kPartial ? L::loadValid(u.line + b * kBlockWidth, valid) : L::loadUnaligned(u.line + b * kBlockWidth);
    double* bounds = s.bounds + b * 2 * kBlockWidth;
    typename L::Doubles hi = L::load(bounds);
    typename L::Doubles lo = L::load(bounds + kBlockWidth);
    if (kChanged > 0) {
        #pragma GCC unroll 8
        for (int i = 0; i < kChanged; ++i) {
            updateClassAndBounds<L>(rows[i] + b * s.blockStride, x, deltas[i], eligibleRows[i] + b * s.eligibleBlockStride,
                                    &hi, &lo);
        }
    } else {
        for (std::int32_t i = 0; i < u.changed.count; ++i) {
            const std::int32_t m = u.changed.classes[i];
            updateClassAndBounds<L>(s.gradAt(b, m), x, L::broadcast(u.changed.deltas[i]), s.eligibleAt(b, m), &hi, &lo);
        }
    }
    L::store(bounds, hi);
    L::store(bounds + kBlockWidth, lo);
    s.blockLargest[b] = largestOf<L>(L::minus(hi, lo), valid);
}

// The class-sparse update (see SparseUpdate) for kChanged changed classes, unrolled, or for any
// number when kChanged is 0: every block's changed classes, its bounds, and the largest bound
// of a violation in it. The updated example's block is then measured exactly.
template <class L, int kChanged>
ZELMOR_LANES_TARGET void sparseUpdate(const GradientLayout& s, const SparseUpdate& u) {
    constexpr int kSlots = kChanged > 0 ? kChanged : 1;
    double* rows[kSlots] = {};
    const std::uint8_t* eligibleRows[kSlots] = {};
    typename L::Doubles deltas[kSlots];
    if (kChanged > 0) {
        for (int i = 0; i < kChanged; ++i) {
            rows[i] = s.gradAt(0, u.changed.classes[i]);
            eligibleRows[i] = s.eligibleAt(0, u.changed.classes[i]);
            deltas[i] = L::broadcast(u.changed.deltas[i]);
        }
    }
    // A copy the compiler can keep in registers across the stores into the gradient.
    const GradientLayout layout = s;
    const std::int64_t wholeBlocks = layout.exampleCount / kBlockWidth;
    for (std::int64_t b = 0; b < wholeBlocks; ++b) sparseUpdateBlock<L, kChanged, false>(layout, u, b, rows, eligibleRows, deltas);
    if (wholeBlocks < layout.blockCount) sparseUpdateBlock<L, kChanged, true>(layout, u, wholeBlocks, rows, eligibleRows, deltas);
    if (u.updatedExample >= 0) {
        const std::int64_t b = u.updatedExample / kBlockWidth;
        layout.blockLargest[b] = measureBlock<L>(layout, b);
    }
}

// The sweep after a class-sparse update: the block with the largest bound first, then every
// block in order whose bound reaches the largest violation measured so far, measured exactly
// unless it already is, and offered. Every block skipped is below a violation that exists, so
// the selection is that of a sweep over every example. Comparing eight blocks' bounds at a time
// with what has been measured so far skips most blocks at once.
template <class L>
ZELMOR_LANES_TARGET Selection selectAfterSparseUpdate(const GradientLayout& s, std::int64_t updatedBlock) {
    const double* blockLargest = s.blockLargest;
    const std::int64_t blockCount = s.blockCount;
    // The first block with the largest bound: the blocks' bounds offered like violations.
    LaneSelection<L> bounds = startSelection<L>(s);
    for (std::int64_t b0 = 0; b0 < blockCount; b0 += kBlockWidth) {
        const typename L::Mask valid = L::lanesBelow(blockCount - b0);
        offer<L>(&bounds, L::loadValid(blockLargest + b0, valid), valid, L::examplesFrom(b0));
    }
    const std::int64_t top = finish(bounds).example;
    LaneSelection<L> selection = startSelection<L>(s);
    if (top < 0) return finish(selection);
    double reached = top == updatedBlock ? blockLargest[top] : measureBlock<L>(s, top);
    for (std::int64_t b0 = 0; b0 < blockCount; b0 += kBlockWidth) {
        const typename L::Mask valid = L::lanesBelow(blockCount - b0);
        unsigned reaching = L::bits(L::both(L::atLeast(L::loadValid(blockLargest + b0, valid), L::broadcast(reached)), valid));
        for (; reaching != 0; reaching &= reaching - 1) {
            const std::int64_t b = b0 + __builtin_ctz(reaching);
            // The largest measured so far may have grown since the mask was made.
            if (!(blockLargest[b] >= reached)) continue;
            if (b != top && b != updatedBlock) {
                const double measured = measureBlock<L>(s, b);
                if (measured > reached) reached = measured;
            }
            const double* blockBounds = s.bounds + b * 2 * kBlockWidth;
            offer<L>(&selection, L::minus(L::load(blockBounds), L::load(blockBounds + kBlockWidth)),
                     L::lanesBelow(s.exampleCount - b * kBlockWidth), L::examplesFrom(b * kBlockWidth));
        }
    }
    return finish(selection);
}

template <class L, int kChanged>
ZELMOR_LANES_TARGET inline void sparseUpdateFor(const GradientLayout& s, const SparseUpdate& u) {
    if constexpr (kChanged == 0) {
        sparseUpdate<L, 0>(s, u);
    } else {
        if (u.changed.count == kChanged) {
            sparseUpdate<L, kChanged>(s, u);
            return;
        }
        sparseUpdateFor<L, kChanged - 1>(s, u);
    }
}

// Up to eight changed classes run unrolled; more run in a loop.
template <class L>
ZELMOR_LANES_TARGET Selection sparseUpdateAndSelect(const GradientLayout& s, const SparseUpdate& u) {
    sparseUpdateFor<L, 8>(s, u);
    return selectAfterSparseUpdate<L>(s, u.updatedExample >= 0 ? u.updatedExample / kBlockWidth : -1);
}

// Warm start, one tile: grad(blocks b0 .. b0 + R - 1, classes m0 .. m0 + C - 1) += G(rows of
// those blocks, l) * tau(l, class) for l = rows[0 .. rowCount - 1], in that order, all R x C
// accumulators held in registers; lastValid masks the lanes of the last block past n. With
// kPrefetch, also asks for the next tile's rows in the same columns, which the hardware cannot
// guess: each column is a new stream. The unroll pragmas let the compiler keep the
// accumulators in registers: without them GCC leaves the array in memory and stores every
// accumulator on every column.
template <class L, int R, int C, bool kPrefetch>
ZELMOR_LANES_TARGET void accumulateTile(const GradientLayout& s, const double* kernel, const double* tau,
                                        std::int64_t b0, std::int32_t m0, const std::int64_t* rows,
                                        std::int64_t rowCount, typename L::Mask lastValid) {
    const std::int64_t n = s.exampleCount;
    typename L::Doubles acc[R][C];
    #pragma GCC unroll 8
    for (int r = 0; r < R; ++r) {
        #pragma GCC unroll 8
        for (int c = 0; c < C; ++c) acc[r][c] = L::load(s.gradAt(b0 + r, m0 + c));
    }
    const double* tauColumns = tau + m0 * n;
    for (std::int64_t i = 0; i < rowCount; ++i) {
        const std::int64_t l = rows[i];
        const double* column = kernel + l * n + b0 * kBlockWidth;
        if (kPrefetch) {
            #pragma GCC unroll 8
            for (int r = 0; r < R; ++r) __builtin_prefetch(column + (R + r) * kBlockWidth);
        }
        typename L::Doubles x[R];
        #pragma GCC unroll 8
        for (int r = 0; r < R; ++r) {
            x[r] = r + 1 < R ? L::loadUnaligned(column + r * kBlockWidth) : L::loadValid(column + r * kBlockWidth, lastValid);
        }
        #pragma GCC unroll 8
        for (int c = 0; c < C; ++c) {
            const typename L::Doubles t = L::broadcast(tauColumns[l + c * n]);
            // The running sum plus the product, never fused.
            #pragma GCC unroll 8
            for (int r = 0; r < R; ++r) acc[r][c] = L::plusProduct(acc[r][c], x[r], t);
        }
    }
    #pragma GCC unroll 8
    for (int r = 0; r < R; ++r) {
        #pragma GCC unroll 8
        for (int c = 0; c < C; ++c) L::store(s.gradAt(b0 + r, m0 + c), acc[r][c]);
    }
}

// The classes left after whole tiles of L::kWarmClasses: one tile of exactly `count` classes.
template <class L, int R, int C>
ZELMOR_LANES_TARGET void accumulateClassTail(const GradientLayout& s, const double* kernel, const double* tau,
                                             std::int64_t b0, std::int32_t m0, const std::int64_t* rows,
                                             std::int64_t rowCount, typename L::Mask lastValid, std::int32_t count) {
    if constexpr (C > 0) {
        if (count == C) {
            accumulateTile<L, R, C, false>(s, kernel, tau, b0, m0, rows, rowCount, lastValid);
            return;
        }
        accumulateClassTail<L, R, C - 1>(s, kernel, tau, b0, m0, rows, rowCount, lastValid, count);
    }
}

// R blocks of examples, every class, over the given kernel columns.
template <class L, int R>
ZELMOR_LANES_TARGET void accumulateRowTile(const GradientLayout& s, const double* kernel, const double* tau,
                                           std::int64_t b0, const std::int64_t* rows, std::int64_t rowCount,
                                           typename L::Mask lastValid) {
    constexpr int C = L::kWarmClasses;
    const std::int32_t k = s.classCount;
    // The first class tile prefetches the next row tile, unless this is the last one.
    const bool more = (b0 + R) * kBlockWidth < s.exampleCount;
    std::int32_t m0 = 0;
    if (k >= C) {
        if (more) {
            accumulateTile<L, R, C, true>(s, kernel, tau, b0, m0, rows, rowCount, lastValid);
        } else {
            accumulateTile<L, R, C, false>(s, kernel, tau, b0, m0, rows, rowCount, lastValid);
        }
        m0 += C;
    }
    for (; m0 + C <= k; m0 += C) accumulateTile<L, R, C, false>(s, kernel, tau, b0, m0, rows, rowCount, lastValid);
    accumulateClassTail<L, R, C - 1>(s, kernel, tau, b0, m0, rows, rowCount, lastValid, k - m0);
}

// The last row tile may hold fewer than L::kWarmRows blocks.
template <class L, int R>
ZELMOR_LANES_TARGET void accumulateRowTileOf(const GradientLayout& s, const double* kernel, const double* tau,
                                             std::int64_t b0, const std::int64_t* rows, std::int64_t rowCount,
                                             typename L::Mask lastValid, std::int64_t blocks) {
    if constexpr (R > 0) {
        if (blocks == R) {
            accumulateRowTile<L, R>(s, kernel, tau, b0, rows, rowCount, lastValid);
            return;
        }
        accumulateRowTileOf<L, R - 1>(s, kernel, tau, b0, rows, rowCount, lastValid, blocks);
    }
}

// Kernel columns in stretches small enough to stay cached while every tile walks them; the
// stretches in increasing order and the columns within one in increasing order, so every entry
// still receives its terms in increasing l.
template <class L>
ZELMOR_LANES_TARGET void accumulateKernelProducts(const GradientLayout& s, const double* kernel, const double* tau,
                                                  const std::int64_t* rows, std::int64_t rowCount) {
    constexpr std::int64_t kColumnStretch = 128;
    constexpr std::int64_t R = L::kWarmRows;
    for (std::int64_t i0 = 0; i0 < rowCount; i0 += kColumnStretch) {
        const std::int64_t count = rowCount - i0 < kColumnStretch ? rowCount - i0 : kColumnStretch;
        for (std::int64_t b0 = 0; b0 < s.blockCount; b0 += R) {
            const std::int64_t blocks = s.blockCount - b0 < R ? s.blockCount - b0 : R;
            const typename L::Mask lastValid = L::lanesBelow(s.exampleCount - (b0 + blocks - 1) * kBlockWidth);
            accumulateRowTileOf<L, L::kWarmRows>(s, kernel, tau, b0, rows + i0, count, lastValid, blocks);
        }
    }
}

template <class L>
constexpr SolveLoops loopsOf() {
    return SolveLoops{select<L>, updateAndSelect<L>, sparseUpdateAndSelect<L>, accumulateKernelProducts<L>};
}

}  // namespace
}  // namespace detail
}  // namespace zelmor

#endif  // ZELMOR_SOLVER_SOLVE_LOOPS_H
