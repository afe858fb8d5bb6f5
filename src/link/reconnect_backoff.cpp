#include "link/reconnect_backoff.h"

#include <algorithm>

namespace lumetta {

ReconnectBackoff::Wait ReconnectBackoff::connectionNotStarted() { return failure(" Connection failed"); }

ReconnectBackoff::Wait ReconnectBackoff::attemptEnded(std::optional<std::int64_t> openForMs) {
    if (!openForMs) return failure(" Connection attempt failed");
    const std::int64_t duration = std::max<std::int64_t>(*openForMs, 0);
    if (duration >= goodConnectionMs) {
        delaySeconds_ = firstReconnectDelaySeconds;
        failedAttempts_ = 0;
        return Wait{pauseAfterGoodConnectionMs, {}};
    }
    return failure(" Connection attempt failed after " + std::to_string(duration / 1000) + " seconds");
}

ReconnectBackoff::Wait ReconnectBackoff::failure(const std::string& what) {
    ++failedAttempts_;
    Wait wait{std::int64_t{delaySeconds_} * 1000, what + "; retry " + std::to_string(failedAttempts_) + " in " +
                                                       std::to_string(delaySeconds_) + " seconds"};
    // The next failure waits twice as long; the doubling is done now rather than after the wait,
    // which nobody can tell apart: a stop during the wait ends the thread.
    delaySeconds_ = std::min(delaySeconds_ * 2, longestReconnectDelaySeconds);
    return wait;
}

}  // namespace lumetta
