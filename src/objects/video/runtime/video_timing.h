#pragma once
// Time for a playing video: the rules that turn frame timestamps into due times on the media
// clock. Sums of timestamps from a file saturate (core/int_range.h) instead of overflowing.

#include <cstdint>
#include <optional>

#include "core/int_range.h"

namespace lumetta {

// Assigns each presented frame its place on the media timeline, in microseconds, and its due
// time on the media clock, in nanoseconds.
class PresentationTimeline {
public:
    static constexpr int64_t kInitialFrameDurationUs = 40000;
    static constexpr int64_t kMinimumFrameDurationUs = 8000;
    static constexpr int64_t kLearnableGapUs = 100000;  // larger gaps are waited out, not learned
    static constexpr int64_t kRestartGapUs = 1000000;   // larger jumps restart the timeline

    // `timestampUs` empty: the frame has none. Returns the due time in media-clock nanoseconds.
    int64_t dueTime(std::optional<int64_t> timestampUs, int64_t mediaClockNs);

    int64_t lastTimestampUs() const { return lastTimestamp.value_or(0); }
    int64_t frameDurationUs() const { return frameDuration; }

private:
    std::optional<int64_t> lastTimestamp;
    int64_t baseTimestamp = 0;
    int64_t clockBase = 0;
    int64_t frameDuration = kInitialFrameDurationUs;
};

}  // namespace lumetta
