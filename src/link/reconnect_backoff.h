#pragma once
// When the WebSocket thread tries again after an attempt, and what it says about it.
//
// After a failed attempt the thread waits 5 seconds, doubling the wait after every further
// failure up to 300 seconds (5, 10, 20, 40, 80, 160, 300, 300, ...). A connection that stayed
// open for 30 seconds or more was a good one: a 5 second pause follows, without a line, and the
// schedule starts again from 5 seconds. One that dropped sooner counts as a failure.

#include <cstdint>
#include <optional>
#include <string>

namespace lumetta {

// A connection that is not open this long after its attempt started is given up.
inline constexpr std::int64_t connectTimeoutMs = 30'000;
// A connection that stayed open this long resets the schedule.
inline constexpr std::int64_t goodConnectionMs = 30'000;
// The pause after a good connection.
inline constexpr std::int64_t pauseAfterGoodConnectionMs = 5'000;
inline constexpr int firstReconnectDelaySeconds = 5;
inline constexpr int longestReconnectDelaySeconds = 300;

class ReconnectBackoff {
public:
    // What follows an attempt: how long to wait before the next one and the message to log
    // after the "[WEBSOCKET]" tag (empty: nothing to log).
    struct Wait {
        std::int64_t delayMs = 0;
        std::string message;
    };

    // The layer gave no connection at all.
    Wait connectionNotStarted();
    // The attempt ended. `openForMs`: how long the connection was open, none when it never opened.
    Wait attemptEnded(std::optional<std::int64_t> openForMs);

    int delaySeconds() const { return delaySeconds_; }
    unsigned failedAttempts() const { return failedAttempts_; }

private:
    Wait failure(const std::string& what);

    int delaySeconds_ = firstReconnectDelaySeconds;
    unsigned failedAttempts_ = 0;
};

}  // namespace lumetta
