#include "player/hardware_watchdog.h"

#include <fcntl.h>
#include <linux/watchdog.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "core/log.h"

namespace lumetta::player {

namespace {

class SystemWatchdogIo final : public WatchdogIo {
public:
    int open(const char* path, int flags) override { return ::open(path, flags); }
    int ioctl(int fd, unsigned long request, void* argument) override { return ::ioctl(fd, request, argument); }
    ssize_t write(int fd, const void* data, size_t size) override { return ::write(fd, data, size); }
    int close(int fd) override { return ::close(fd); }
};

std::string systemError(int error) { return std::strerror(error); }

}  // namespace

WatchdogIo& systemWatchdogIo() {
    static SystemWatchdogIo io;
    return io;
}

HardwareWatchdog::HardwareWatchdog(WatchdogIo& io, std::ostream& errors) : io_(io), errors_(errors) {
    std::lock_guard lock(mutex_);
    fd_ = io_.open(devicePath, O_WRONLY | O_CLOEXEC);
    if (fd_ < 0) {
        const int error = errno;
        fd_ = -1;
        logText(errors_, std::string("Failed to open ") + devicePath + ": " + systemError(error));
        return;
    }

    watchdog_info info{};
    if (io_.ioctl(fd_, WDIOC_GETSUPPORT, &info) == 0) magicCloseSupported_ = (info.options & WDIOF_MAGICCLOSE) != 0;

    // The driver may round the request to what the hardware can do, and says so in the answer.
    int timeout = requestedTimeoutSeconds;
    if (io_.ioctl(fd_, WDIOC_SETTIMEOUT, &timeout) != 0) {
        timeout = 0;
        if (io_.ioctl(fd_, WDIOC_GETTIMEOUT, &timeout) != 0) {
            const int error = errno;
            logText(errors_, std::string("Failed to determine ") + devicePath + " timeout: " + systemError(error));
            disableLocked();
            return;
        }
    }
    timeoutSeconds_ = timeout;
    if (timeout <= 1) {
        // No feeding period is safe against a timeout this short: a busy second would reset the board.
        logText(errors_, std::string("Unsafe ") + devicePath + " timeout: " + std::to_string(timeout) + " second(s)");
        disableLocked();
    }
}

HardwareWatchdog::~HardwareWatchdog() {
    std::lock_guard lock(mutex_);
    if (fd_ >= 0) disableLocked();
}

bool HardwareWatchdog::isOpen() const {
    std::lock_guard lock(mutex_);
    return fd_ >= 0;
}

int HardwareWatchdog::timeoutSeconds() const {
    std::lock_guard lock(mutex_);
    return timeoutSeconds_;
}

std::int64_t HardwareWatchdog::keepAliveInterval() const {
    std::lock_guard lock(mutex_);
    if (timeoutSeconds_ > 5) return static_cast<std::int64_t>(timeoutSeconds_ / 3) * 1000;
    return 1000;
}

bool HardwareWatchdog::keepAlive() {
    std::lock_guard lock(mutex_);
    if (fd_ < 0) return false;
    int dummy = 0;
    int result = 0;
    do {
        result = io_.ioctl(fd_, WDIOC_KEEPALIVE, &dummy);
    } while (result != 0 && errno == EINTR);
    if (result == 0) return true;
    const int error = errno;
    if (!keepAliveFailureReported_) {
        keepAliveFailureReported_ = true;
        logText(errors_, std::string("Failed to keep ") + devicePath + " alive: " + systemError(error));
    }
    return false;
}

bool HardwareWatchdog::disable() {
    std::lock_guard lock(mutex_);
    return disableLocked();
}

void HardwareWatchdog::stop() { disable(); }

bool HardwareWatchdog::disableLocked() {
    if (fd_ < 0) return true;
    int option = WDIOS_DISABLECARD;
    if (io_.ioctl(fd_, WDIOC_SETOPTIONS, &option) == 0) return closeLocked(true);
    int error = errno;
    if (magicCloseSupported_) {
        // The magic character tells the driver that the close that follows is intended.
        ssize_t written = 0;
        do {
            written = io_.write(fd_, "V", 1);
        } while (written < 0 && errno == EINTR);
        if (written == 1) return closeLocked(true);
        if (written < 0) error = errno;
    }
    logText(errors_, std::string("Could not disable ") + devicePath +
                         "; it may be configured with nowayout: " + systemError(error));
    closeLocked(false);
    return false;
}

bool HardwareWatchdog::closeLocked(bool switchedOff) {
    const int fd = fd_;
    fd_ = -1;
    if (io_.close(fd) != 0) {
        const int error = errno;
        logText(errors_, std::string("Failed to close ") + devicePath + ": " + systemError(error));
        return false;
    }
    return switchedOff;
}

WatchdogTimerGuard::WatchdogTimerGuard(std::unique_ptr<HardwareWatchdog> watchdog, Clock& clock,
                                       const LoopPulse* pulse)
    : watchdog_(std::move(watchdog)), clock_(clock), pulse_(pulse) {}

WatchdogTimerGuard::~WatchdogTimerGuard() { stop(); }

void WatchdogTimerGuard::start() {
    if (watchdog_ == nullptr) return;
    start(watchdog_->keepAliveInterval());
}

void WatchdogTimerGuard::start(std::int64_t intervalMs) {
    if (watchdog_ == nullptr || !watchdog_->isOpen() || thread_.joinable()) return;
    if (intervalMs < 1) intervalMs = 1;
    {
        std::lock_guard lock(mutex_);
        running_ = true;
    }
    thread_ = std::jthread([this, intervalMs](std::stop_token stop) { run(stop, intervalMs); });
}

void WatchdogTimerGuard::stop() {
    if (thread_.joinable()) {
        thread_.request_stop();
        wake_.notify_all();
        thread_.join();
    }
    if (watchdog_ != nullptr) watchdog_->stop();
}

bool WatchdogTimerGuard::feeding() const {
    std::lock_guard lock(mutex_);
    return running_;
}

void WatchdogTimerGuard::run(std::stop_token stop, std::int64_t intervalMs) {
    std::unique_lock lock(mutex_);
    while (!stop.stop_requested()) {
        const std::int64_t deadline = clock_.steadyMs() + intervalMs;
        clock_.waitUntil(wake_, lock, deadline, stop, [] { return false; });
        if (stop.stop_requested()) break;
        // A loop that has not turned for the watchdog's whole timeout hangs: it is not fed, and
        // the board resets unless the loop comes back first.
        if (pulse_ != nullptr &&
            clock_.steadyMs() - pulse_->lastBeatMs() > static_cast<std::int64_t>(watchdog_->timeoutSeconds()) * 1000) {
            continue;
        }
        // The device is never talked to with the guard's lock held: stop() must not wait for it.
        lock.unlock();
        const bool fed = watchdog_->keepAlive();
        lock.lock();
        // A refused keep-alive ends the feeding for good; the board resets unless the player
        // switches the watchdog off first.
        if (!fed) break;
    }
    running_ = false;
}

}  // namespace lumetta::player
