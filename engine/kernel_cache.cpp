#include "kernel_cache.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "parallel.h"

namespace zelmor::engine {

namespace {

// A piece of a column is made in parts of about this many feature terms, so that its making
// shares well among workers and a stop lands within a few milliseconds.
constexpr std::int64_t kPartTerms = std::int64_t{1} << 20;
constexpr std::int64_t kLeastPart = 512;

std::int64_t partColumns(const KernelSource& source) {
    const std::int64_t terms = source.kind == KernelSource::Kind::Features ? termsPerBase(source.features) : 1;
    return std::max(kLeastPart, kPartTerms / terms);
}

std::uint64_t bitsOf(double value) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

bool bitwiseSymmetric(const double* matrix, std::int64_t n) {
    // In squares of 64, so that the columns read across the diagonal stay cached.
    constexpr std::int64_t kSquare = 64;
    for (std::int64_t c0 = 0; c0 < n; c0 += kSquare) {
        for (std::int64_t r0 = 0; r0 <= c0; r0 += kSquare) {
            for (std::int64_t c = c0; c < std::min(n, c0 + kSquare); ++c) {
                for (std::int64_t r = r0; r < std::min(c, r0 + kSquare); ++r) {
                    if (bitsOf(matrix[r + c * n]) != bitsOf(matrix[c + r * n])) return false;
                }
            }
        }
    }
    return true;
}

KernelSource givenKernel(const double* matrix, std::int64_t n) {
    KernelSource source;
    source.kind = KernelSource::Kind::Given;
    source.matrix = matrix;
    source.ld = n;
    source.symmetric = bitwiseSymmetric(matrix, n);
    return source;
}

std::vector<std::int64_t> everyExample(std::int64_t n) {
    std::vector<std::int64_t> examples(static_cast<std::size_t>(std::max<std::int64_t>(n, 0)));
    for (std::int64_t i = 0; i < n; ++i) examples[static_cast<std::size_t>(i)] = i;
    return examples;
}

std::int64_t KernelCache::overheadBytes(std::int64_t trainCount, std::int64_t testCount, std::int64_t features) {
    // Per training example its record, its place in the slot lists, the order and the positions
    // of the orders kept, and its diagonal entry; per example its packed features and a scratch
    // entry.
    const std::int64_t perTrainExample = static_cast<std::int64_t>(sizeof(Entry)) + 8 * (3 + 1 + kOrdersKept + 1);
    return trainCount * perTrainExample + 8 * (trainCount + testCount) * (features + 1) + 8 * features;
}

std::int64_t KernelCache::columnBytes(std::int64_t trainCount, std::int64_t testCount) {
    return 8 * std::max<std::int64_t>(trainCount + testCount, 1);
}

KernelCache::KernelCache(const KernelSource& source, std::vector<std::int64_t> train, std::vector<std::int64_t> test,
                         std::int64_t budgetBytes, WorkerPool* workers, const StopRequest& stop)
    : source_(source),
      train_(std::move(train)),
      test_(std::move(test)),
      trainCount_(static_cast<std::int64_t>(train_.size())),
      testCount_(static_cast<std::int64_t>(test_.size())),
      stride_(std::max<std::int64_t>(trainCount_ + testCount_, 1)),
      workers_(workers),
      stop_(stop) {
    capacity_ = std::clamp<std::int64_t>(budgetBytes / (8 * stride_), 1, std::max<std::int64_t>(trainCount_, 1));
    entries_.resize(static_cast<std::size_t>(trainCount_));
    owner_.assign(static_cast<std::size_t>(capacity_), -1);
    previous_.assign(static_cast<std::size_t>(capacity_), -1);
    next_.assign(static_cast<std::size_t>(capacity_), -1);
    order_.resize(static_cast<std::size_t>(trainCount_));
    for (std::int64_t q = 0; q < trainCount_; ++q) order_[static_cast<std::size_t>(q)] = q;
    positions_[0] = order_;
    scratch_.resize(static_cast<std::size_t>(stride_));
    diagonal_.resize(static_cast<std::size_t>(trainCount_));
    const std::int64_t d = source_.features.featureCount;
    const bool sparse = source_.kind == KernelSource::Kind::Features && source_.features.isSparse();
    if (source_.kind == KernelSource::Kind::Features) packTrainFeatures();
    // Sparse features are read in place, through the examples' indices.
    if (source_.kind == KernelSource::Kind::Features && !sparse) {
        packedTest_.resize(static_cast<std::size_t>(testCount_ * d));
        for (std::int64_t f = 0; f < d; ++f) {
            for (std::int64_t t = 0; t < testCount_; ++t) {
                packedTest_[static_cast<std::size_t>(t + f * testCount_)] =
                    source_.features.data[test_[static_cast<std::size_t>(t)] + f * source_.features.count];
            }
        }
        point_.resize(static_cast<std::size_t>(d));
    }
    for (std::int64_t i = 0; i < trainCount_; ++i) {
        const std::int64_t g = train_[static_cast<std::size_t>(i)];
        double& value = diagonal_[static_cast<std::size_t>(i)];
        switch (source_.kind) {
            case KernelSource::Kind::Features:
                if (sparse) {
                    sparseKernelRow(source_.setting, source_.features, g, source_.features, &g, 1, &value);
                    break;
                }
                for (std::int64_t f = 0; f < d; ++f) point_[static_cast<std::size_t>(f)] = packedTrain_[static_cast<std::size_t>(i + f * trainCount_)];
                kernelRow(source_.setting, point_.data(), Examples{packedTrain_.data(), trainCount_, d}, i, i + 1,
                          &value);
                break;
            case KernelSource::Kind::Base:
                value = kernelValue(source_.setting, source_.matrix[g + g * source_.ld]);
                break;
            case KernelSource::Kind::Given:
                value = source_.matrix[g + g * source_.ld];
                break;
        }
    }
    checkFinite(diagonal_.data(), trainCount_);
}

KernelCache::~KernelCache() { std::free(slab_); }

void KernelCache::packTrainFeatures() {
    if (source_.features.isSparse()) {
        orderedTrain_.clear();
        for (std::int64_t q : order_) orderedTrain_.push_back(train_[static_cast<std::size_t>(q)]);
        return;
    }
    const std::int64_t d = source_.features.featureCount;
    packedTrain_.resize(static_cast<std::size_t>(trainCount_ * d));
    for (std::int64_t f = 0; f < d; ++f) {
        const double* feature = source_.features.data + f * source_.features.count;
        double* packed = packedTrain_.data() + f * trainCount_;
        for (std::int64_t q = 0; q < trainCount_; ++q) {
            packed[q] = feature[train_[static_cast<std::size_t>(order_[static_cast<std::size_t>(q)])]];
        }
    }
}

void KernelCache::checkFinite(const double* values, std::int64_t count) const {
    // A given kernel was checked whole by the caller.
    if (source_.kind == KernelSource::Kind::Given) return;
    requireFiniteKernel(values, count);
}

void KernelCache::orderColumns(const std::vector<std::int64_t>& first) {
    if (first.empty() && identityOrder_) return;
    std::vector<std::int64_t> order;
    order.reserve(static_cast<std::size_t>(trainCount_));
    if (first.empty()) {
        for (std::int64_t q = 0; q < trainCount_; ++q) order.push_back(q);
    } else {
        std::vector<std::uint8_t> isFirst(static_cast<std::size_t>(trainCount_), 0);
        for (std::int64_t i : first) isFirst[static_cast<std::size_t>(i)] = 1;
        order = first;
        for (std::int64_t i = 0; i < trainCount_; ++i) {
            if (isFirst[static_cast<std::size_t>(i)] == 0) order.push_back(i);
        }
    }
    if (order == order_) return;
    order_.swap(order);
    identityOrder_ = first.empty();
    ++version_;
    std::vector<std::int64_t>& positions = positions_[version_ % kOrdersKept];
    positions.resize(static_cast<std::size_t>(trainCount_));
    for (std::int64_t q = 0; q < trainCount_; ++q) positions[static_cast<std::size_t>(order_[static_cast<std::size_t>(q)])] = q;
    if (source_.kind == KernelSource::Kind::Features) packTrainFeatures();
}

KernelCache::Entry& KernelCache::hold(std::int64_t j) {
    Entry& entry = entries_[static_cast<std::size_t>(j)];
    std::int64_t slot = entry.slot;
    if (slot >= 0) {
        // Moved to the newest end of the list.
        if (slot != newest_) {
            const std::int64_t before = previous_[static_cast<std::size_t>(slot)];
            const std::int64_t after = next_[static_cast<std::size_t>(slot)];
            if (before >= 0) next_[static_cast<std::size_t>(before)] = after; else oldest_ = after;
            previous_[static_cast<std::size_t>(after)] = before;
            previous_[static_cast<std::size_t>(slot)] = newest_;
            next_[static_cast<std::size_t>(slot)] = -1;
            next_[static_cast<std::size_t>(newest_)] = slot;
            newest_ = slot;
        }
        return entry;
    }
    if (slab_ == nullptr) {
        // Untouched until used: the system gives the memory page by page as columns are made.
        slab_ = static_cast<double*>(std::malloc(static_cast<std::size_t>(capacity_ * stride_) * sizeof(double)));
        if (slab_ == nullptr) throw std::bad_alloc();
    }
    if (slotsUsed_ < capacity_) {
        slot = slotsUsed_++;
    } else {
        // The least recently used column makes way.
        slot = oldest_;
        oldest_ = next_[static_cast<std::size_t>(slot)];
        if (oldest_ >= 0) previous_[static_cast<std::size_t>(oldest_)] = -1; else newest_ = -1;
        entries_[static_cast<std::size_t>(owner_[static_cast<std::size_t>(slot)])] = Entry{};
    }
    owner_[static_cast<std::size_t>(slot)] = j;
    previous_[static_cast<std::size_t>(slot)] = newest_;
    next_[static_cast<std::size_t>(slot)] = -1;
    if (newest_ >= 0) next_[static_cast<std::size_t>(newest_)] = slot; else oldest_ = slot;
    newest_ = slot;
    entry = Entry{slot, version_, 0, false};
    return entry;
}

// A whole column made in an older order is rearranged into the current one, while that order
// is still known; anything else made in an older order is dropped.
void KernelCache::bringUpToDate(Entry* entry) {
    if (entry->version == version_) return;
    const bool known = version_ - entry->version < kOrdersKept;
    if (entry->length == trainCount_ && known) {
        const std::vector<std::int64_t>& old = positions_[entry->version % kOrdersKept];
        double* data = slotData(entry->slot);
        std::copy(data, data + trainCount_, scratch_.begin());
        for (std::int64_t q = 0; q < trainCount_; ++q) {
            data[q] = scratch_[static_cast<std::size_t>(old[static_cast<std::size_t>(order_[static_cast<std::size_t>(q)])])];
        }
    } else {
        entry->length = 0;
    }
    entry->version = version_;
}

// Positions [from, to) of column j in the current order, in parts shared among the workers. Each
// part checks the stop first; a stopped making leaves the column as it was.
bool KernelCache::makeTrain(std::int64_t j, std::int64_t from, std::int64_t to, double* out) {
    const auto started = std::chrono::steady_clock::now();
    const std::int64_t part = partColumns(source_);
    const std::int64_t parts = (to - from + part - 1) / part;
    std::atomic<bool> stopped{false};
    const std::int64_t g = train_[static_cast<std::size_t>(j)];
    const std::int64_t d = source_.features.featureCount;
    const bool sparse = source_.kind == KernelSource::Kind::Features && source_.features.isSparse();
    if (source_.kind == KernelSource::Kind::Features && !sparse) {
        for (std::int64_t f = 0; f < d; ++f) point_[static_cast<std::size_t>(f)] = source_.features.data[g + f * source_.features.count];
    }
    auto makePart = [&](std::int64_t index) {
        if (stopped.load(std::memory_order_relaxed) || stop_.now()) {
            stopped.store(true, std::memory_order_relaxed);
            return;
        }
        const std::int64_t begin = from + index * part;
        const std::int64_t end = std::min(to, begin + part);
        switch (source_.kind) {
            case KernelSource::Kind::Features:
                if (sparse) {
                    sparseKernelRow(source_.setting, source_.features, g, source_.features,
                                    orderedTrain_.data() + begin, end - begin, out + begin);
                } else {
                    kernelRow(source_.setting, point_.data(), Examples{packedTrain_.data(), trainCount_, d}, begin,
                              end, out + begin);
                }
                break;
            case KernelSource::Kind::Base: {
                const double* column = source_.matrix + g * source_.ld;
                for (std::int64_t q = begin; q < end; ++q) out[q] = column[train_[static_cast<std::size_t>(order_[static_cast<std::size_t>(q)])]];
                applyKernelValue(source_.setting, out + begin, end - begin);
                break;
            }
            case KernelSource::Kind::Given: {
                const double* column = source_.matrix + g * source_.ld;
                for (std::int64_t q = begin; q < end; ++q) out[q] = column[train_[static_cast<std::size_t>(order_[static_cast<std::size_t>(q)])]];
                break;
            }
        }
    };
    if (workers_ != nullptr) {
        workers_->run(parts, makePart);
    } else {
        for (std::int64_t index = 0; index < parts; ++index) makePart(index);
    }
    if (stopped.load(std::memory_order_relaxed)) return false;
    checkFinite(out + from, to - from);
    ++counts_.columnsMade;
    counts_.entriesMade += to - from;
    counts_.trainSeconds += secondsSince(started);
    return true;
}

bool KernelCache::makeTest(std::int64_t j, double* out) {
    if (stop_.now()) return false;
    const auto started = std::chrono::steady_clock::now();
    const std::int64_t g = train_[static_cast<std::size_t>(j)];
    const std::int64_t d = source_.features.featureCount;
    switch (source_.kind) {
        case KernelSource::Kind::Features:
            if (source_.features.isSparse()) {
                sparseKernelRow(source_.setting, source_.features, g, source_.features, test_.data(), testCount_, out);
                break;
            }
            for (std::int64_t f = 0; f < d; ++f) point_[static_cast<std::size_t>(f)] = source_.features.data[g + f * source_.features.count];
            kernelRow(source_.setting, point_.data(), Examples{packedTest_.data(), testCount_, d}, 0, testCount_, out);
            break;
        case KernelSource::Kind::Base:
        case KernelSource::Kind::Given: {
            const double* column = source_.matrix + g * source_.ld;
            for (std::int64_t t = 0; t < testCount_; ++t) out[t] = column[test_[static_cast<std::size_t>(t)]];
            if (source_.kind == KernelSource::Kind::Base) applyKernelValue(source_.setting, out, testCount_);
            break;
        }
    }
    checkFinite(out, testCount_);
    ++counts_.columnsMade;
    counts_.entriesMade += testCount_;
    counts_.testSeconds += secondsSince(started);
    return true;
}

const double* KernelCache::column(std::int64_t j, std::int64_t length) {
    // A given kernel over all its examples in their own order is its own cache.
    if (source_.kind == KernelSource::Kind::Given && identityOrder_ && trainCount_ == source_.ld &&
        testCount_ == 0 && source_.ld > 0 && train_.back() == trainCount_ - 1) {
        ++counts_.hits;
        return source_.matrix + j * source_.ld;
    }
    Entry& entry = hold(j);
    bringUpToDate(&entry);
    double* data = slotData(entry.slot);
    if (entry.length >= length) {
        ++counts_.hits;
        return data;
    }
    if (!makeTrain(j, entry.length, length, data)) return nullptr;
    entry.length = length;
    return data;
}

const double* KernelCache::row(std::int64_t j, std::int64_t length) {
    if (source_.kind != KernelSource::Kind::Given || source_.symmetric) return column(j, length);
    if (stop_.now()) return nullptr;
    // Row j of a given kernel, gathered: the solves follow it exactly.
    const std::int64_t g = train_[static_cast<std::size_t>(j)];
    for (std::int64_t q = 0; q < length; ++q) {
        scratch_[static_cast<std::size_t>(q)] =
            source_.matrix[g + train_[static_cast<std::size_t>(order_[static_cast<std::size_t>(q)])] * source_.ld];
    }
    return scratch_.data();
}

const double* KernelCache::testColumn(std::int64_t j) {
    Entry& entry = hold(j);
    bringUpToDate(&entry);
    double* data = slotData(entry.slot) + trainCount_;
    if (entry.test) {
        ++counts_.hits;
        return data;
    }
    if (!makeTest(j, data)) return nullptr;
    entry.test = true;
    return data;
}

const double* KernelCache::rowFor(void* context, std::int64_t p) {
    auto* rows = static_cast<SolveRows*>(context);
    const std::vector<std::int64_t>& examples = *rows->examples;
    return rows->cache->row(examples[static_cast<std::size_t>(p)],
                                                       static_cast<std::int64_t>(examples.size()));
}

void KernelCache::bindRows(const std::vector<std::int64_t>* examples, SolveRows* out) {
    out->cache = this;
    out->examples = examples;
    out->diagonal.resize(examples->size());
    for (std::size_t p = 0; p < examples->size(); ++p) out->diagonal[p] = diagonal_[static_cast<std::size_t>((*examples)[p])];
    out->rows.row = rowFor;
    out->rows.context = out;
    out->rows.diagonal = out->diagonal.data();
}

}  // namespace zelmor::engine
