#include "support/manual_clock.h"

#include <chrono>

namespace lumetta::testing {

namespace {
// A notification sent between a waiter's deadline check and its wait is caught by this
// short real-time re-check; it bounds the lag, it is not what makes a test pass.
constexpr auto recheck = std::chrono::milliseconds(2);
}  // namespace

ManualClock::ManualClock(std::int64_t systemStart, std::int64_t steadyStart)
    : system_(systemStart), steady_(steadyStart) {
    ticksOrigin_ = steadyStart;
}

void ManualClock::enter(std::condition_variable_any* cv) {
    {
        std::lock_guard lock(mutex_);
        ++waiters_;
        if (cv != nullptr) waitingOn_.insert(cv);
    }
    changed_.notify_all();
}

void ManualClock::leave(std::condition_variable_any* cv) {
    {
        std::lock_guard lock(mutex_);
        --waiters_;
        if (cv != nullptr) waitingOn_.erase(waitingOn_.find(cv));
    }
    changed_.notify_all();
}

bool ManualClock::sleepUntil(std::int64_t deadline, std::stop_token stop) {
    if (steadyMs() >= deadline) return true;
    if (autoAdvance_) {
        advance(deadline - steadyMs());
        return true;
    }
    enter(nullptr);
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, stop, [&] { return steadyMs() >= deadline; });
    }
    leave(nullptr);
    return steadyMs() >= deadline;
}

bool ManualClock::waitUntil(std::condition_variable_any& cv, std::unique_lock<std::mutex>& lock,
                            std::int64_t deadline, std::stop_token stop, const std::function<bool()>& ready) {
    bool entered = false;
    bool result = false;
    while (true) {
        if (ready()) {
            result = true;
            break;
        }
        if (stop.stop_requested() || steadyMs() >= deadline) break;
        if (autoAdvance_) {
            advance(deadline - steadyMs());
            continue;
        }
        if (!entered) {
            enter(&cv);
            entered = true;
        }
        cv.wait_for(lock, stop, recheck, ready);
    }
    if (entered) leave(&cv);
    return result || ready();
}

void ManualClock::advance(std::int64_t milliseconds) {
    std::lock_guard lock(mutex_);
    steady_ += milliseconds;
    system_ += milliseconds;
    changed_.notify_all();
    // Notified under the lock: a waiter cannot leave (and its owner free the variable) meanwhile.
    for (auto* cv : waitingOn_) cv->notify_all();
}

void ManualClock::setSystemMs(std::int64_t value) {
    {
        std::lock_guard lock(mutex_);
        system_ = value;
    }
    changed_.notify_all();
}

int ManualClock::waiters() const {
    std::lock_guard lock(mutex_);
    return waiters_;
}

bool ManualClock::waitForWaiters(int count, int realTimeoutMs) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(realTimeoutMs), [&] { return waiters_ >= count; });
}

}  // namespace lumetta::testing
