// Stand-in libut: the interrupt flag of the Command Window (see stand_in.h).
#include <mutex>
#include <thread>

#include "stand_in.h"

namespace {

std::mutex lock;
standin::InterruptRecord state;
int pressAt = 0;
std::thread::id hostThread;

}  // namespace

extern "C" bool utIsInterruptPending(void) {
    std::lock_guard<std::mutex> hold(lock);
    ++state.polls;
    if (std::this_thread::get_id() != hostThread) ++state.pollsFromOtherThreads;
    if (pressAt > 0 && state.polls >= pressAt && state.enabled) state.pending = true;
    return state.pending;
}

extern "C" bool utSetInterruptEnabled(bool enabled) {
    std::lock_guard<std::mutex> hold(lock);
    const bool previous = state.enabled;
    state.enabled = enabled;
    return previous;
}

extern "C" bool utSetInterruptPending(bool pending) {
    std::lock_guard<std::mutex> hold(lock);
    const bool previous = state.pending;
    state.pending = pending;
    return previous;
}

namespace standin {

void pressCtrlCAtPoll(int poll) {
    std::lock_guard<std::mutex> hold(lock);
    pressAt = poll;
}

void setHostThread() {
    std::lock_guard<std::mutex> hold(lock);
    hostThread = std::this_thread::get_id();
}

InterruptRecord interruptRecord() {
    std::lock_guard<std::mutex> hold(lock);
    return state;
}

void resetInterrupts() {
    std::lock_guard<std::mutex> hold(lock);
    state = InterruptRecord{};
    pressAt = 0;
}

}  // namespace standin
