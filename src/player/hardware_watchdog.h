#pragma once
// The system's hardware watchdog: armed when the player starts with the watchdog option, fed by
// a small guard thread, and switched off again when the player ends in order, so that only a
// hung player resets the board.
//
// The device is reached through `WatchdogIo`, so the same code runs over a scripted driver in
// tests; a test never opens the real device. Device failures never throw: an operation returns
// false and writes its line (untagged) to the error stream it was given.

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <iostream>
#include <memory>
#include <mutex>
#include <ostream>
#include <stop_token>
#include <thread>

#include "core/clock.h"

namespace lumetta::player {

// The system calls that reach the watchdog device. Failures return -1 with errno set.
class WatchdogIo {
public:
    virtual ~WatchdogIo() = default;
    virtual int open(const char* path, int flags) = 0;
    virtual int ioctl(int fd, unsigned long request, void* argument) = 0;
    virtual ssize_t write(int fd, const void* data, size_t size) = 0;
    virtual int close(int fd) = 0;
};

// The kernel's device.
WatchdogIo& systemWatchdogIo();

class HardwareWatchdog {
public:
    static constexpr const char* devicePath = "/dev/watchdog";
    static constexpr int requestedTimeoutSeconds = 15;

    // Opens and arms the device (its countdown runs from here) with a 15 s timeout, or the
    // timeout the driver settles on. A timeout of 1 s or less, or one that cannot be read, is
    // refused: the device is switched off again. Usable whether or not that worked: see isOpen.
    explicit HardwareWatchdog(WatchdogIo& io = systemWatchdogIo(), std::ostream& errors = std::cerr);
    // Switches the device off when it is still open.
    ~HardwareWatchdog();
    HardwareWatchdog(const HardwareWatchdog&) = delete;
    HardwareWatchdog& operator=(const HardwareWatchdog&) = delete;

    bool isOpen() const;
    // Seconds the device waits for a keep-alive; 0 until known.
    int timeoutSeconds() const;
    // The feeding period: a third of the timeout (whole seconds) above 5 s, else 1000 ms.
    std::int64_t keepAliveInterval() const;

    // One keep-alive. False when closed or when the driver refused it (reported once per object).
    bool keepAlive();
    // Switches the watchdog off and closes it. True when it was closed cleanly after being
    // switched off, or was not open. A device that cannot be switched off (nowayout) is closed
    // anyway, with a warning, and gives false: it will reset the board after its timeout.
    bool disable();
    // disable(), result ignored.
    void stop();

private:
    bool disableLocked();
    bool closeLocked(bool switchedOff);

    WatchdogIo& io_;
    std::ostream& errors_;
    mutable std::mutex mutex_;  // every operation holds it
    int fd_ = -1;
    int timeoutSeconds_ = 0;
    bool magicCloseSupported_ = false;
    bool keepAliveFailureReported_ = false;
};

// The mark the player loop leaves at every turn (each frame cycle, each wait for events): the
// steady time of its last one. The guard feeds the watchdog only while it is fresh, so a loop
// that hangs (in a join, a page flip, a deadlock) lets the board reset.
class LoopPulse {
public:
    explicit LoopPulse(const Clock& clock = systemClock()) : clock_(clock), last_(clock.steadyMs()) {}
    void beat() { last_.store(clock_.steadyMs()); }
    std::int64_t lastBeatMs() const { return last_.load(); }

private:
    const Clock& clock_;
    std::atomic<std::int64_t> last_;
};

// Owns the watchdog and the thread that feeds it.
class WatchdogTimerGuard {
public:
    // `watchdog` may be null (the guard then does nothing). The feeding waits run on `clock`.
    // With a `pulse` (on the same clock) a keep-alive is sent only while its last beat is no
    // older than the watchdog's timeout; the feeding goes on once it beats again.
    explicit WatchdogTimerGuard(std::unique_ptr<HardwareWatchdog> watchdog, Clock& clock = systemClock(),
                                const LoopPulse* pulse = nullptr);
    // stop().
    ~WatchdogTimerGuard();
    WatchdogTimerGuard(const WatchdogTimerGuard&) = delete;
    WatchdogTimerGuard& operator=(const WatchdogTimerGuard&) = delete;

    // Starts feeding at the watchdog's keep-alive interval: the first keep-alive follows one
    // interval after the start. Nothing without an open watchdog or when already started.
    void start();
    // The same at a chosen interval (milliseconds, at least 1).
    void start(std::int64_t intervalMs);
    // Ends the feeding at once (a wait in progress ends; no further keep-alive is sent), then
    // switches the watchdog off. Idempotent.
    void stop();

    HardwareWatchdog* watchdog() const { return watchdog_.get(); }
    // Whether the feeding thread is still running (it ends for good after a failed keep-alive).
    bool feeding() const;

private:
    void run(std::stop_token stop, std::int64_t intervalMs);

    std::unique_ptr<HardwareWatchdog> watchdog_;
    Clock& clock_;
    const LoopPulse* pulse_ = nullptr;
    mutable std::mutex mutex_;  // serves the timed wait and the stop request only
    std::condition_variable_any wake_;
    bool running_ = false;
    std::jthread thread_;
};

}  // namespace lumetta::player
