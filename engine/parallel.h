// The engine's one way of running work on several threads: a shared counter of work items that
// every thread takes the next item from. Which thread runs an item, and when, decides nothing:
// each item writes only its own results, so every output is the same whatever the thread count.
#ifndef ZELMOR_ENGINE_PARALLEL_H
#define ZELMOR_ENGINE_PARALLEL_H

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

#include "dual_solver.h"

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

// Threads kept for one long solve, to share each of its small pieces of work (a kernel column of
// a few hundred microseconds) with the calling thread: run(count, body) runs body(i) for every i
// in [0, count) on the pool's threads and the caller's and returns once all are done. Between
// pieces the threads wait spinning for a moment, then asleep. Which thread runs a piece decides
// nothing: each writes its own part of the output.
class WorkerPool {
public:
    // threadCount threads in all, the caller among them; threads that cannot be started leave
    // their share to the others.
    explicit WorkerPool(int threadCount) {
        try {
            for (int t = 1; t < threadCount; ++t) threads_.emplace_back([this] { serve(); });
        } catch (...) {
        }
    }
    ~WorkerPool() {
        {
            std::lock_guard<std::mutex> hold(lock_);
            closing_ = true;
            generation_.fetch_add(1, std::memory_order_release);
        }
        wake_.notify_all();
        for (std::thread& thread : threads_) thread.join();
    }
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    int size() const { return static_cast<int>(threads_.size()) + 1; }

    // The pool as a solve's workers (dual_solver.h).
    SolveWorkers solveWorkers() {
        SolveWorkers workers;
        workers.run = [](void* context, std::int64_t count, void (*piece)(void*, std::int64_t), void* pieceContext) {
            static_cast<WorkerPool*>(context)->run(count, [&](std::int64_t i) { piece(pieceContext, i); });
        };
        workers.context = this;
        workers.threads = size();
        return workers;
    }

    template <class Body>
    void run(std::int64_t count, Body&& body) {
        if (threads_.empty() || count <= 1) {
            for (std::int64_t i = 0; i < count; ++i) body(i);
            return;
        }
        Job job;
        job.count = count;
        using Callable = std::remove_reference_t<Body>;
        job.body = [](void* context, std::int64_t i) { (*static_cast<Callable*>(context))(i); };
        job.context = const_cast<void*>(static_cast<const void*>(&body));
        {
            std::lock_guard<std::mutex> hold(lock_);
            job_ = &job;
            busy_.store(static_cast<int>(threads_.size()), std::memory_order_relaxed);
            generation_.fetch_add(1, std::memory_order_release);
        }
        wake_.notify_all();
        work(&job);
        // The job lives on this frame: every thread has left it before it goes.
        while (busy_.load(std::memory_order_acquire) != 0) std::this_thread::yield();
        job_ = nullptr;
        if (job.failure) std::rethrow_exception(job.failure);
    }

private:
    struct Job {
        std::int64_t count = 0;
        void (*body)(void*, std::int64_t) = nullptr;
        void* context = nullptr;
        std::atomic<std::int64_t> next{0};
        std::atomic<bool> failed{false};
        std::exception_ptr failure;
        std::mutex failureLock;
    };

    static void work(Job* job) {
        for (;;) {
            if (job->failed.load(std::memory_order_relaxed)) return;
            const std::int64_t i = job->next.fetch_add(1, std::memory_order_relaxed);
            if (i >= job->count) return;
            try {
                job->body(job->context, i);
            } catch (...) {
                std::lock_guard<std::mutex> hold(job->failureLock);
                if (!job->failure) job->failure = std::current_exception();
                job->failed.store(true, std::memory_order_relaxed);
            }
        }
    }

    // How long a thread looks for the next piece before it sleeps; it yields while it looks, so
    // that more threads than cores still leave the cores to the work.
    static constexpr auto kSpin = std::chrono::microseconds(100);

    void serve() {
        std::uint64_t seen = 0;
        for (;;) {
            const auto started = std::chrono::steady_clock::now();
            while (generation_.load(std::memory_order_acquire) == seen &&
                   std::chrono::steady_clock::now() - started < kSpin) {
                std::this_thread::yield();
            }
            Job* job = nullptr;
            {
                std::unique_lock<std::mutex> hold(lock_);
                wake_.wait(hold, [&] { return generation_.load(std::memory_order_relaxed) != seen; });
                seen = generation_.load(std::memory_order_relaxed);
                if (closing_) return;
                job = job_;
            }
            work(job);
            busy_.fetch_sub(1, std::memory_order_acq_rel);
        }
    }

    std::vector<std::thread> threads_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::atomic<std::uint64_t> generation_{0};
    std::atomic<int> busy_{0};
    Job* job_ = nullptr;
    bool closing_ = false;
};

// The most threads a call runs on: a larger thread count, given or the machine's, means this
// many (every core of the largest machines).
constexpr int kMaxThreadCount = 1024;

// The number of threads to use when the caller leaves it open: every core.
inline int defaultThreadCount() {
    const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : static_cast<int>(std::min<unsigned>(cores, kMaxThreadCount));
}

}  // namespace zelmor::engine

#endif  // ZELMOR_ENGINE_PARALLEL_H
