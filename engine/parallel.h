// The engine's one way of running work on several threads: a shared counter of work items that
// every thread takes the next item from. Which thread runs an item, and when, decides nothing:
// each item writes only its own results, so every output is the same whatever the thread count.
#ifndef ZELMOR_ENGINE_PARALLEL_H
#define ZELMOR_ENGINE_PARALLEL_H

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace zelmor::engine {

// Runs body(i) for every i in [0, count) on up to threadCount threads, the calling thread among
// them, and returns once every thread has ended: no thread outlives the call. The first exception
// a body throws stops the others from taking new items and is rethrown here. A thread that cannot
// be started leaves its share to those that were.
template <class Body>
void forEachIndex(std::int64_t count, int threadCount, Body&& body) {
    std::atomic<std::int64_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr failure;
    std::mutex failureLock;
    auto work = [&] {
        for (;;) {
            if (failed.load(std::memory_order_relaxed)) return;
            const std::int64_t i = next.fetch_add(1, std::memory_order_relaxed);
            if (i >= count) return;
            try {
                body(i);
            } catch (...) {
                std::lock_guard<std::mutex> hold(failureLock);
                if (!failure) failure = std::current_exception();
                failed.store(true, std::memory_order_relaxed);
                return;
            }
        }
    };
    const std::int64_t helpers = std::max<std::int64_t>(0, std::min<std::int64_t>(threadCount, count) - 1);
    std::vector<std::thread> threads;
    try {
        threads.reserve(static_cast<std::size_t>(helpers));
        for (std::int64_t t = 0; t < helpers; ++t) threads.emplace_back(work);
    } catch (...) {
        // Too few threads (or no memory for one): the ones running, and this one, do it all.
    }
    work();
    for (std::thread& thread : threads) thread.join();
    if (failure) std::rethrow_exception(failure);
}

// The number of threads to use when the caller leaves it open: every core.
inline int defaultThreadCount() {
    const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : static_cast<int>(std::min<unsigned>(cores, 256));
}

}  // namespace zelmor::engine

#endif  // ZELMOR_ENGINE_PARALLEL_H
