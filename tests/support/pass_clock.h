#pragma once
// A manual clock that counts how often its steady time is read, so a test can tell that a
// polling loop (one that reads the time once per pass) has gone round after the test moved
// the time on:
//
//   clock.advance(2000);
//   ASSERT_TRUE(clock.waitForPasses(2));  // a whole pass has seen the new time

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "support/manual_clock.h"

namespace lumetta::testing {

class PassClock final : public Clock {
public:
    std::int64_t systemMs() const override { return time_.systemMs(); }
    std::int64_t steadyMs() const override {
        ++reads_;  // counted before the read: a read counted after `advance` sees the new time
        return time_.steadyMs();
    }
    std::int64_t steadyNs() const override { return steadyMs() * 1'000'000; }
    bool sleepUntil(std::int64_t deadline, std::stop_token stop = {}) override {
        return time_.sleepUntil(deadline, std::move(stop));
    }
    bool waitUntil(std::condition_variable_any& cv, std::unique_lock<std::mutex>& lock, std::int64_t deadline,
                   std::stop_token stop, const std::function<bool()>& ready) override {
        return time_.waitUntil(cv, lock, deadline, std::move(stop), ready);
    }

    void advance(std::int64_t milliseconds) { time_.advance(milliseconds); }
    std::int64_t reads() const { return reads_.load(); }
    // Waits (real time, at most `limit`) until the time has been read `count` more times from now.
    bool waitForPasses(int count, std::chrono::milliseconds limit = std::chrono::seconds(30)) const {
        const std::int64_t target = reads_.load() + count;
        const auto end = std::chrono::steady_clock::now() + limit;
        while (reads_.load() < target) {
            if (std::chrono::steady_clock::now() >= end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

private:
    ManualClock time_;
    mutable std::atomic<std::int64_t> reads_{0};
};

}  // namespace lumetta::testing
