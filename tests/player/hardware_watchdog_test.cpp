// The hardware watchdog over a scripted driver: timeout negotiation, keep-alives, switching off,
// and the guard thread that feeds it. No test opens a real device.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/watchdog.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "player/hardware_watchdog.h"
#include "support/manual_clock.h"

namespace lumetta::player {
namespace {

// A watchdog driver with scripted answers. Every call is recorded by name, in order.
class FakeWatchdogIo final : public WatchdogIo {
public:
    int openError = 0;                 // errno of a failing open
    std::optional<int> supportOptions = WDIOF_SETTIMEOUT | WDIOF_KEEPALIVEPING | WDIOF_MAGICCLOSE;  // none: fails
    std::optional<int> setTimeoutAnswer = 15;  // none: WDIOC_SETTIMEOUT fails
    std::optional<int> getTimeoutAnswer;       // none: WDIOC_GETTIMEOUT fails
    int disableError = 0;              // errno of a failing WDIOS_DISABLECARD
    int writeError = 0;                // errno of a failing magic-close write
    int closeError = 0;
    std::vector<int> keepAliveErrors;  // errno per keep-alive in turn (0: succeeds); later ones succeed

    int open(const char* path, int flags) override {
        record(std::string("open ") + path + ((flags & O_WRONLY) && (flags & O_CLOEXEC) ? " wronly+cloexec" : ""));
        if (openError != 0) return fail(openError);
        std::lock_guard lock(mutex_);
        ++openCount_;
        return 7;
    }
    int ioctl(int fd, unsigned long request, void* argument) override {
        EXPECT_EQ(fd, 7);
        switch (request) {
        case WDIOC_GETSUPPORT:
            record("getsupport");
            if (!supportOptions) return fail(ENOTTY);
            static_cast<watchdog_info*>(argument)->options = static_cast<__u32>(*supportOptions);
            return 0;
        case WDIOC_SETTIMEOUT:
            record("settimeout " + std::to_string(*static_cast<int*>(argument)));
            if (!setTimeoutAnswer) return fail(EINVAL);
            *static_cast<int*>(argument) = *setTimeoutAnswer;
            return 0;
        case WDIOC_GETTIMEOUT:
            record("gettimeout");
            if (!getTimeoutAnswer) return fail(EOPNOTSUPP);
            *static_cast<int*>(argument) = *getTimeoutAnswer;
            return 0;
        case WDIOC_KEEPALIVE: {
            record("keepalive");
            std::lock_guard lock(mutex_);
            const int error = keepAliveIndex_ < keepAliveErrors.size() ? keepAliveErrors[keepAliveIndex_] : 0;
            ++keepAliveIndex_;
            if (error != 0) {
                errno = error;
                return -1;
            }
            return 0;
        }
        case WDIOC_SETOPTIONS:
            record(*static_cast<int*>(argument) == WDIOS_DISABLECARD ? "disablecard" : "setoptions");
            if (disableError != 0) return fail(disableError);
            return 0;
        default:
            record("unknown ioctl");
            return fail(ENOTTY);
        }
    }
    ssize_t write(int fd, const void* data, size_t size) override {
        EXPECT_EQ(fd, 7);
        record("write " + std::string(static_cast<const char*>(data), size));
        if (writeError != 0) return fail(writeError);
        return static_cast<ssize_t>(size);
    }
    int close(int fd) override {
        EXPECT_EQ(fd, 7);
        record("close");
        {
            std::lock_guard lock(mutex_);
            --openCount_;
        }
        if (closeError != 0) return fail(closeError);
        return 0;
    }

    std::vector<std::string> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    int count(const std::string& call) const {
        std::lock_guard lock(mutex_);
        int n = 0;
        for (const auto& c : calls_) n += c == call ? 1 : 0;
        return n;
    }
    int openCount() const {
        std::lock_guard lock(mutex_);
        return openCount_;
    }

private:
    void record(std::string call) {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(call));
    }
    static int fail(int error) {
        errno = error;
        return -1;
    }

    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
    std::size_t keepAliveIndex_ = 0;
    int openCount_ = 0;
};

using Calls = std::vector<std::string>;

// Polls (real time, at most 5 s) until `done` holds; for what another thread does on its own.
template <typename Done>
bool eventually(Done done) {
    for (int i = 0; i < 500; ++i) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

TEST(HardwareWatchdog, TheDriversTimeoutSetsTheFeedingPeriod) {
    struct Case {
        std::optional<int> setAnswer;
        std::optional<int> getAnswer;
        int timeout;
        std::int64_t interval;
    };
    const Case cases[] = {
        {15, {}, 15, 5000},
        {10, {}, 10, 3000},
        {6, {}, 6, 2000},
        {5, {}, 5, 1000},
        {4, {}, 4, 1000},
        {2, {}, 2, 1000},
        {{}, 30, 30, 10000},  // the request refused, the running timeout read instead
        {INT_MAX, {}, INT_MAX, static_cast<std::int64_t>(INT_MAX / 3) * 1000},
    };
    for (const Case& c : cases) {
        FakeWatchdogIo io;
        io.setTimeoutAnswer = c.setAnswer;
        io.getTimeoutAnswer = c.getAnswer;
        std::ostringstream errors;
        HardwareWatchdog watchdog(io, errors);
        EXPECT_TRUE(watchdog.isOpen()) << c.timeout;
        EXPECT_EQ(watchdog.timeoutSeconds(), c.timeout);
        EXPECT_EQ(watchdog.keepAliveInterval(), c.interval) << c.timeout;
        EXPECT_EQ(errors.str(), "") << c.timeout;
        EXPECT_EQ(io.calls().front(), "open /dev/watchdog wronly+cloexec");
        EXPECT_EQ(io.calls().at(2), "settimeout 15");
    }
}

TEST(HardwareWatchdog, UnsafeOrUnknownTimeoutsSwitchTheDeviceOffAgain) {
    for (int timeout : {1, 0, -1, INT_MIN}) {
        FakeWatchdogIo io;
        io.setTimeoutAnswer = timeout;
        std::ostringstream errors;
        HardwareWatchdog watchdog(io, errors);
        EXPECT_FALSE(watchdog.isOpen()) << timeout;
        EXPECT_EQ(errors.str(), "Unsafe /dev/watchdog timeout: " + std::to_string(timeout) + " second(s)\n");
        EXPECT_EQ(io.calls(), (Calls{"open /dev/watchdog wronly+cloexec", "getsupport",
                                     "settimeout 15", "disablecard", "close"}));
        EXPECT_EQ(watchdog.keepAliveInterval(), 1000);
        EXPECT_FALSE(watchdog.keepAlive());
    }

    FakeWatchdogIo unreadable;
    unreadable.setTimeoutAnswer.reset();
    std::ostringstream errors;
    HardwareWatchdog watchdog(unreadable, errors);
    EXPECT_FALSE(watchdog.isOpen());
    EXPECT_EQ(errors.str(), "Failed to determine /dev/watchdog timeout: Operation not supported\n");
    EXPECT_EQ(unreadable.calls(), (Calls{"open /dev/watchdog wronly+cloexec", "getsupport", "settimeout 15",
                                         "gettimeout", "disablecard", "close"}));
}

TEST(HardwareWatchdog, ADeviceThatDoesNotOpenStaysClosed) {
    FakeWatchdogIo io;
    io.openError = ENOENT;
    std::ostringstream errors;
    {
        HardwareWatchdog watchdog(io, errors);
        EXPECT_FALSE(watchdog.isOpen());
        EXPECT_FALSE(watchdog.keepAlive());
        EXPECT_TRUE(watchdog.disable());
    }
    EXPECT_EQ(errors.str(), "Failed to open /dev/watchdog: No such file or directory\n");
    EXPECT_EQ(io.calls(), Calls{"open /dev/watchdog wronly+cloexec"});
}

TEST(HardwareWatchdog, SwitchingOffUsesTheDisableOptionThenTheMagicCharacter) {
    struct Case {
        const char* name;
        int disableError;
        bool magicClose;
        int writeError;
        int closeError;
        bool result;
        Calls tail;  // calls after the set-up
        std::string errors;
    };
    const Case cases[] = {
        {"disable option", 0, true, 0, 0, true, {"disablecard", "close"}, ""},
        {"magic close", EINVAL, true, 0, 0, true, {"disablecard", "write V", "close"}, ""},
        {"nowayout", EINVAL, false, 0, 0, false, {"disablecard", "close"},
         "Could not disable /dev/watchdog; it may be configured with nowayout: Invalid argument\n"},
        {"magic write fails", EINVAL, true, EIO, 0, false, {"disablecard", "write V", "close"},
         "Could not disable /dev/watchdog; it may be configured with nowayout: Input/output error\n"},
        {"close fails", 0, true, 0, EIO, false, {"disablecard", "close"},
         "Failed to close /dev/watchdog: Input/output error\n"},
    };
    for (const Case& c : cases) {
        FakeWatchdogIo io;
        io.disableError = c.disableError;
        io.writeError = c.writeError;
        io.closeError = c.closeError;
        if (!c.magicClose) io.supportOptions = WDIOF_SETTIMEOUT;
        std::ostringstream errors;
        HardwareWatchdog watchdog(io, errors);
        ASSERT_TRUE(watchdog.isOpen()) << c.name;
        EXPECT_EQ(watchdog.disable(), c.result) << c.name;
        EXPECT_FALSE(watchdog.isOpen()) << c.name;
        EXPECT_EQ(io.openCount(), 0) << c.name;
        Calls calls = io.calls();
        EXPECT_EQ(Calls(calls.begin() + 3, calls.end()), c.tail) << c.name;
        EXPECT_EQ(errors.str(), c.errors) << c.name;
        // Once closed, switching off again is a no-op that succeeds.
        EXPECT_TRUE(watchdog.disable()) << c.name;
        EXPECT_EQ(io.calls().size(), calls.size()) << c.name;
    }

    // A support query the driver refuses counts as no magic close.
    FakeWatchdogIo noSupport;
    noSupport.supportOptions.reset();
    noSupport.disableError = EINVAL;
    std::ostringstream errors;
    HardwareWatchdog watchdog(noSupport, errors);
    EXPECT_TRUE(watchdog.isOpen());
    EXPECT_FALSE(watchdog.disable());
    EXPECT_EQ(noSupport.count("write V"), 0);
}

TEST(HardwareWatchdog, KeepAliveRetriesInterruptionsAndReportsAFailureOnce) {
    FakeWatchdogIo io;
    io.keepAliveErrors = {EINTR, EINTR, 0, EIO, EIO};
    std::ostringstream errors;
    HardwareWatchdog watchdog(io, errors);
    EXPECT_TRUE(watchdog.keepAlive());
    EXPECT_EQ(io.count("keepalive"), 3);
    EXPECT_FALSE(watchdog.keepAlive());
    EXPECT_FALSE(watchdog.keepAlive());
    EXPECT_TRUE(watchdog.keepAlive());
    EXPECT_EQ(errors.str(), "Failed to keep /dev/watchdog alive: Input/output error\n");
}

TEST(HardwareWatchdog, GoingAwayOpenSwitchesItOff) {
    FakeWatchdogIo io;
    { HardwareWatchdog watchdog(io); }
    EXPECT_EQ(io.count("disablecard"), 1);
    EXPECT_EQ(io.openCount(), 0);
}

TEST(WatchdogTimerGuard, FeedsOneIntervalAfterTheStartAndEveryIntervalAfter) {
    testing::ManualClock clock;
    FakeWatchdogIo io;
    WatchdogTimerGuard guard(std::make_unique<HardwareWatchdog>(io), clock);
    guard.start();  // 15 s timeout: every 5000 ms
    ASSERT_TRUE(clock.waitForWaiters(1));
    clock.advance(4999);
    EXPECT_EQ(io.count("keepalive"), 0);
    for (int expected = 1; expected <= 3; ++expected) {
        clock.advance(expected == 1 ? 1 : 5000);
        ASSERT_TRUE(eventually([&] { return io.count("keepalive") == expected; }));
        // Back in its wait before the clock moves on.
        ASSERT_TRUE(clock.waitForWaiters(1));
        EXPECT_EQ(io.count("keepalive"), expected);
    }

    // The stop ends the wait at once; nothing is fed after it, and the device is switched off.
    guard.stop();
    EXPECT_FALSE(guard.feeding());
    const Calls calls = io.calls();
    EXPECT_EQ(io.count("keepalive"), 3);
    EXPECT_EQ(Calls(calls.end() - 2, calls.end()), (Calls{"disablecard", "close"}));
    EXPECT_FALSE(guard.watchdog()->isOpen());
}

TEST(WatchdogTimerGuard, ARefusedKeepAliveEndsTheFeedingForGood) {
    testing::ManualClock clock;
    FakeWatchdogIo io;
    io.keepAliveErrors = {0, EIO};
    std::ostringstream errors;
    WatchdogTimerGuard guard(std::make_unique<HardwareWatchdog>(io, errors), clock);
    guard.start(1000);
    for (int i = 1; i <= 2; ++i) {
        ASSERT_TRUE(clock.waitForWaiters(1));
        clock.advance(1000);
        ASSERT_TRUE(eventually([&] { return io.count("keepalive") == i; }));
    }
    EXPECT_TRUE(eventually([&] { return !guard.feeding(); }));
    clock.advance(10'000);
    EXPECT_EQ(io.count("keepalive"), 2);
    EXPECT_EQ(errors.str(), "Failed to keep /dev/watchdog alive: Input/output error\n");
    // The device stays armed until the player switches it off.
    EXPECT_TRUE(guard.watchdog()->isOpen());
    guard.stop();
    EXPECT_FALSE(guard.watchdog()->isOpen());
}

TEST(WatchdogTimerGuard, OnTheRealClockItFeedsUntilStoppedAndSwitchesOffOnTheWayOut) {
    FakeWatchdogIo io;
    {
        WatchdogTimerGuard guard(std::make_unique<HardwareWatchdog>(io));
        guard.start(10);
        EXPECT_TRUE(eventually([&] { return io.count("keepalive") >= 3; }));
        EXPECT_TRUE(guard.feeding());
        // Leaving the scope (as when the loop is left by an exception) stops and switches off.
    }
    const Calls calls = io.calls();
    EXPECT_EQ(Calls(calls.end() - 2, calls.end()), (Calls{"disablecard", "close"}));
    EXPECT_EQ(io.openCount(), 0);
}

TEST(WatchdogTimerGuard, WithoutAnOpenWatchdogNothingRuns) {
    FakeWatchdogIo io;
    io.openError = EACCES;
    std::ostringstream errors;
    WatchdogTimerGuard guard(std::make_unique<HardwareWatchdog>(io, errors));
    guard.start(10);
    EXPECT_FALSE(guard.feeding());
    WatchdogTimerGuard none(nullptr);
    none.start();
    none.stop();
    EXPECT_FALSE(none.feeding());
}

}  // namespace
}  // namespace lumetta::player
