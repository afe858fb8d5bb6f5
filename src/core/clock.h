#pragma once
// The one source of time for every timed piece of the player.
//
// Production code takes a `Clock&` (defaulting to `systemClock()`); tests hand in the manual
// clock of tests/support and step it, so waits of seconds or hours run in no real time.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stop_token>

namespace lumetta {

class Clock {
public:
    virtual ~Clock() = default;

    // Wall-clock time: milliseconds since the Unix epoch.
    virtual std::int64_t systemMs() const = 0;
    // Monotonic milliseconds (arbitrary origin); every deadline below is on this scale.
    virtual std::int64_t steadyMs() const = 0;
    // The same monotonic time in nanoseconds, for pacing finer than a millisecond (video).
    virtual std::int64_t steadyNs() const { return steadyMs() * 1'000'000; }
    // Milliseconds since the clock was made: the player's stand-in for SDL's tick counter.
    std::uint64_t ticksMs() const;

    // Blocks until steadyMs() reaches `deadline` or `stop` is requested.
    // Returns true when the deadline was reached, false when stopped first.
    virtual bool sleepUntil(std::int64_t deadline, std::stop_token stop = {}) = 0;
    bool sleepFor(std::int64_t milliseconds, std::stop_token stop = {}) {
        return sleepUntil(steadyMs() + milliseconds, std::move(stop));
    }

    // Waits on `cv` (with `lock` held on entry and on return) until `ready()` is true, the
    // steady deadline passes or `stop` is requested. Returns `ready()`'s last value.
    virtual bool waitUntil(std::condition_variable_any& cv, std::unique_lock<std::mutex>& lock,
                           std::int64_t deadline, std::stop_token stop, const std::function<bool()>& ready) = 0;
    bool waitFor(std::condition_variable_any& cv, std::unique_lock<std::mutex>& lock, std::int64_t milliseconds,
                 std::stop_token stop, const std::function<bool()>& ready) {
        return waitUntil(cv, lock, steadyMs() + milliseconds, std::move(stop), ready);
    }

protected:
    // Set by the concrete clock once its steady time can be read.
    std::int64_t ticksOrigin_ = 0;
};

// The real clocks of the machine (std::chrono's system and steady clocks).
Clock& systemClock();

}  // namespace lumetta
