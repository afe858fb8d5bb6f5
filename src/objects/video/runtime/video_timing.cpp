#include "objects/video/runtime/video_timing.h"

#include <algorithm>
#include <cstdint>

namespace lumetta {

int64_t PresentationTimeline::dueTime(std::optional<int64_t> timestampUs, int64_t mediaClockNs) {
    if (!lastTimestamp) {
        baseTimestamp = timestampUs.value_or(0);
        lastTimestamp = baseTimestamp;
        clockBase = mediaClockNs;
    } else if (!timestampUs) {
        *lastTimestamp = saturatingAdd(*lastTimestamp, frameDuration);
    } else {
        const int64_t delta = saturatingSub(*timestampUs, *lastTimestamp);
        if (delta >= 1 && delta <= kLearnableGapUs) {
            frameDuration = std::max(delta, kMinimumFrameDurationUs);
            lastTimestamp = timestampUs;
        } else if (delta <= 0) {
            // A repeated or backward timestamp counts as a missing one.
            *lastTimestamp = saturatingAdd(*lastTimestamp, frameDuration);
        } else if (delta <= kRestartGapUs) {
            lastTimestamp = timestampUs;
        } else {
            baseTimestamp = *timestampUs;
            lastTimestamp = timestampUs;
            clockBase = mediaClockNs;
        }
    }
    const int64_t offsetUs = std::min(std::max<int64_t>(0, saturatingSub(*lastTimestamp, baseTimestamp)),
                                      INT64_MAX / 1000);
    return saturatingAdd(clockBase, offsetUs * 1000);
}

}  // namespace lumetta
