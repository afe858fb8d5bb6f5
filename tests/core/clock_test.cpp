#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "core/clock.h"
#include "support/manual_clock.h"

namespace lumetta {
namespace {

using testing::ManualClock;

TEST(SystemClock, WallAndSteadyTimeMove) {
    Clock& clock = systemClock();
    EXPECT_GT(clock.systemMs(), 1'600'000'000'000);
    const auto before = clock.steadyMs();
    EXPECT_TRUE(clock.sleepFor(5));
    EXPECT_GE(clock.steadyMs(), before + 5);
}

TEST(SystemClock, StopEndsASleepAndAWait) {
    Clock& clock = systemClock();
    std::stop_source source;
    std::jthread stopper([&] { source.request_stop(); });
    EXPECT_FALSE(clock.sleepFor(3'600'000, source.get_token()));

    std::mutex mutex;
    std::condition_variable_any cv;
    std::unique_lock lock(mutex);
    EXPECT_FALSE(clock.waitFor(cv, lock, 3'600'000, source.get_token(), [] { return false; }));
    // A far deadline saturates instead of overflowing.
    std::stop_source other;
    std::jthread late([&] { other.request_stop(); });
    EXPECT_FALSE(clock.waitUntil(cv, lock, INT64_MAX, other.get_token(), [] { return false; }));
}

TEST(ManualClock, SleepersWakeOnlyWhenTimeReachesTheirDeadline) {
    ManualClock clock;
    std::atomic<bool> woke{false};
    std::jthread sleeper([&] {
        clock.sleepFor(1000);
        woke = true;
    });
    ASSERT_TRUE(clock.waitForWaiters(1));
    clock.advance(999);
    EXPECT_FALSE(woke);
    clock.advance(1);
    sleeper.join();
    EXPECT_TRUE(woke);
    EXPECT_EQ(clock.ticksMs(), 1000u);
}

TEST(ManualClock, TimedWaitEndsOnReadinessDeadlineOrStop) {
    ManualClock clock;
    std::mutex mutex;
    std::condition_variable_any cv;
    bool ready = false;

    std::jthread waiter([&](std::stop_token) {
        std::unique_lock lock(mutex);
        EXPECT_TRUE(clock.waitFor(cv, lock, 60'000, {}, [&] { return ready; }));
    });
    ASSERT_TRUE(clock.waitForWaiters(1));
    {
        std::lock_guard lock(mutex);
        ready = true;
    }
    cv.notify_all();
    waiter.join();

    std::jthread timesOut([&] {
        std::unique_lock lock(mutex);
        EXPECT_FALSE(clock.waitFor(cv, lock, 60'000, {}, [] { return false; }));
    });
    ASSERT_TRUE(clock.waitForWaiters(1));
    clock.advance(60'000);
    timesOut.join();

    std::stop_source source;
    std::jthread stopped([&] {
        std::unique_lock lock(mutex);
        EXPECT_FALSE(clock.waitFor(cv, lock, 60'000, source.get_token(), [] { return false; }));
    });
    ASSERT_TRUE(clock.waitForWaiters(1));
    source.request_stop();
    stopped.join();
}

TEST(ManualClock, AutoAdvanceJumpsToTheDeadline) {
    ManualClock clock;
    clock.setAutoAdvance(true);
    const auto start = clock.steadyMs();
    EXPECT_TRUE(clock.sleepFor(300'000));
    EXPECT_EQ(clock.steadyMs(), start + 300'000);
    const auto wall = clock.systemMs();
    clock.setSystemMs(wall - 5000);
    EXPECT_EQ(clock.systemMs(), wall - 5000);
    EXPECT_EQ(clock.steadyMs(), start + 300'000);
}

}  // namespace
}  // namespace lumetta
