#include "core/clock.h"

#include <chrono>

namespace lumetta {

std::uint64_t Clock::ticksMs() const {
    const std::int64_t elapsed = steadyMs() - ticksOrigin_;
    return elapsed > 0 ? static_cast<std::uint64_t>(elapsed) : 0;
}

namespace {

class SystemClock final : public Clock {
public:
    SystemClock() { ticksOrigin_ = steadyMs(); }

    std::int64_t systemMs() const override {
        using namespace std::chrono;
        return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    }

    std::int64_t steadyMs() const override {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }

    std::int64_t steadyNs() const override {
        using namespace std::chrono;
        return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
    }

    bool sleepUntil(std::int64_t deadline, std::stop_token stop) override {
        std::mutex mutex;
        std::condition_variable_any cv;
        std::unique_lock lock(mutex);
        cv.wait_until(lock, stop, toTimePoint(deadline), [] { return false; });
        return !stop.stop_requested() || steadyMs() >= deadline;
    }

    bool waitUntil(std::condition_variable_any& cv, std::unique_lock<std::mutex>& lock, std::int64_t deadline,
                   std::stop_token stop, const std::function<bool()>& ready) override {
        return cv.wait_until(lock, stop, toTimePoint(deadline), ready);
    }

private:
    static std::chrono::steady_clock::time_point toTimePoint(std::int64_t deadline) {
        using namespace std::chrono;
        // Saturate instead of overflowing the clock's representation for far deadlines.
        constexpr std::int64_t limit = duration_cast<milliseconds>(steady_clock::duration::max()).count() / 2;
        if (deadline > limit) deadline = limit;
        return steady_clock::time_point(duration_cast<steady_clock::duration>(milliseconds(deadline)));
    }
};

}  // namespace

Clock& systemClock() {
    static SystemClock clock;
    return clock;
}

}  // namespace lumetta
