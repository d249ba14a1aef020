#include "host_runner.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "finite_kernel.h"
#include "mex_host.h"

namespace zelmor::enginegateway {

namespace {

using namespace mexhost;
using namespace engine;
using Clock = std::chrono::steady_clock;

// How often the calling thread asks the host for Ctrl-C while the engine works.
constexpr auto kPollInterval = std::chrono::milliseconds(10);

// The progress lines the work queues from any thread, each with its time since the start,
// printed by the calling thread alone.
class ProgressLines {
public:
    ProgressLines(const char* prefix, Verbosity verbosity)
        : prefix_(prefix), verbosity_(verbosity), started_(Clock::now()) {}

    void add(const std::string& line) {
        const double at = std::chrono::duration<double>(Clock::now() - started_).count();
        std::lock_guard<std::mutex> hold(lock_);
        lines_.emplace_back(at, line);
    }

    void print() {
        std::vector<std::pair<double, std::string>> ready;
        {
            std::lock_guard<std::mutex> hold(lock_);
            ready.swap(lines_);
        }
        for (const auto& [at, line] : ready) {
            if (verbosity_ == Verbosity::All || (verbosity_ == Verbosity::AfterQuietSpell && at >= kQuietSeconds)) {
                mexPrintf("%s%s\n", prefix_, line.c_str());
            }
        }
    }

private:
    const char* prefix_;
    Verbosity verbosity_;
    Clock::time_point started_;
    std::mutex lock_;
    std::vector<std::pair<double, std::string>> lines_;
};

// The engine thread's word that the work has ended, and how.
class Completion {
public:
    void finish(std::exception_ptr failure) {
        std::lock_guard<std::mutex> hold(lock_);
        failure_ = std::move(failure);
        done_ = true;
        finished_.notify_one();
    }

    bool waitFor(std::chrono::milliseconds interval) {
        std::unique_lock<std::mutex> hold(lock_);
        return finished_.wait_for(hold, interval, [&] { return done_; });
    }

    // Read once the engine's thread is joined.
    std::exception_ptr failure() const { return failure_; }

private:
    std::mutex lock_;
    std::condition_variable finished_;
    bool done_ = false;
    std::exception_ptr failure_;
};

// Whatever leaves runWithHost, the engine's thread is stopped and joined first.
struct JoinOnExit {
    std::thread& thread;
    std::atomic<bool>& stop;
    ~JoinOnExit() {
        stop.store(true);
        if (thread.joinable()) thread.join();
    }
};

// Rethrows the work's failure as the host should see it.
[[noreturn]] void rethrowForHost(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const Stopped&) {
        throw Interrupted{};
    } catch (const KernelNotFinite& overflow) {
        throw GatewayError("zelmor:kernelNotFinite",
                           formatMessage("a kernel entry is %g, not a finite number: the kernel overflows. Use "
                                         "standardised features, a smaller gamma or a lower degree",
                                         overflow.value));
    }
}

}  // namespace

void runWithHost(const char* prefix, Verbosity verbosity, const std::function<void(const RunControl& control)>& work) {
    std::atomic<bool> stop{false};
    ProgressLines lines(prefix, verbosity);
    Completion completion;
    RunControl control;
    control.stop = &stop;
    control.report = [&](const std::string& line) { lines.add(line); };

    std::thread engine([&] {
        std::exception_ptr failure;
        try {
            work(control);
        } catch (...) {
            failure = std::current_exception();
        }
        completion.finish(std::move(failure));
    });
    JoinOnExit joinOnExit{engine, stop};
    while (!completion.waitFor(kPollInterval)) {
        if (interruptPending()) stop.store(true);
        lines.print();
    }
    const bool interrupted = stop.load();
    engine.join();
    lines.print();
    if (completion.failure()) rethrowForHost(completion.failure());
    if (interrupted) throw Interrupted{};
}

}  // namespace zelmor::enginegateway
