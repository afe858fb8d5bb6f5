#pragma once
// A clock the test steps by hand. Sleepers and waiters on it wake when `advance` moves the
// steady time past their deadline; `waitForWaiters` lets a test know that a thread under
// test has reached its wait before the test moves time on.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>

#include "core/clock.h"

namespace lumetta::testing {

class ManualClock final : public Clock {
public:
    explicit ManualClock(std::int64_t systemStart = 1'750'000'000'000, std::int64_t steadyStart = 1'000'000);

    std::int64_t systemMs() const override { return system_.load(); }
    std::int64_t steadyMs() const override { return steady_.load(); }

    bool sleepUntil(std::int64_t deadline, std::stop_token stop = {}) override;
    bool waitUntil(std::condition_variable_any& cv, std::unique_lock<std::mutex>& lock, std::int64_t deadline,
                   std::stop_token stop, const std::function<bool()>& ready) override;

    // Moves the steady and the wall clock on by `milliseconds` and wakes whoever waits.
    void advance(std::int64_t milliseconds);
    // Sets the wall clock alone (the steady clock never jumps).
    void setSystemMs(std::int64_t value);
    // When on, a sleep or timed wait that would block moves the clock to its deadline at once.
    void setAutoAdvance(bool on) { autoAdvance_ = on; }

    // Threads currently blocked in sleepUntil or waitUntil on this clock.
    int waiters() const;
    // Blocks (in real time, at most `realTimeoutMs`) until at least `count` threads wait on
    // this clock. Returns whether they did.
    bool waitForWaiters(int count, int realTimeoutMs = 5000) const;

private:
    void enter(std::condition_variable_any* cv);
    void leave(std::condition_variable_any* cv);

    std::atomic<std::int64_t> system_;
    std::atomic<std::int64_t> steady_;
    std::atomic<bool> autoAdvance_{false};

    mutable std::mutex mutex_;
    mutable std::condition_variable_any changed_;
    std::multiset<std::condition_variable_any*> waitingOn_;
    int waiters_ = 0;
};

}  // namespace lumetta::testing
