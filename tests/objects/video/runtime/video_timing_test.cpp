#include "objects/video/runtime/video_timing.h"

#include <gtest/gtest.h>

#include <vector>

namespace lumetta {
namespace {

constexpr int64_t ms = 1000000;  // nanoseconds

struct Step {
    std::optional<int64_t> timestampUs;
    int64_t clockNs;  // media clock when the frame is taken
    int64_t dueNs;    // expected due time
};

void expectDueTimes(const std::vector<Step>& steps) {
    PresentationTimeline timeline;
    for (size_t i = 0; i < steps.size(); ++i) {
        EXPECT_EQ(timeline.dueTime(steps[i].timestampUs, steps[i].clockNs), steps[i].dueNs) << "frame " << i;
    }
}

TEST(PresentationTimeline, TimestampRules) {
    SCOPED_TRACE("25 frames a second from a non-zero start: 40 ms apart, the first at once");
    expectDueTimes({{1000000, 500 * ms, 500 * ms},
                    {1040000, 501 * ms, 540 * ms},
                    {1080000, 502 * ms, 580 * ms},
                    {1120000, 900 * ms, 620 * ms}});  // late frames keep their place
}

TEST(PresentationTimeline, MissingTimestampsUseTheLearnedSpacing) {
    // Before anything is learned the spacing is 40 ms; the first frame without one starts at 0.
    expectDueTimes({{std::nullopt, 0, 0}, {std::nullopt, 0, 40 * ms}, {std::nullopt, 0, 80 * ms}});
    // After 20 ms was learned, missing timestamps follow at 20 ms.
    expectDueTimes({{0, 0, 0}, {20000, 0, 20 * ms}, {std::nullopt, 0, 40 * ms}, {std::nullopt, 0, 60 * ms}});
}

TEST(PresentationTimeline, RepeatedAndBackwardTimestampsCountAsMissing) {
    expectDueTimes({{0, 0, 0}, {33000, 0, 33 * ms}, {33000, 0, 66 * ms}, {10000, 0, 99 * ms}, {132000, 0, 132 * ms}});
}

TEST(PresentationTimeline, GapsAreWaitedOutJumpsRestartAndTinySpacingIsRaised) {
    // A gap between 100 ms and 1 s is waited out and not learned.
    expectDueTimes({{0, 0, 0}, {40000, 0, 40 * ms}, {540000, 0, 540 * ms}, {std::nullopt, 0, 580 * ms}});
    // Exactly 100 ms is still learned; exactly 1 s is still waited out.
    expectDueTimes({{0, 0, 0}, {100000, 0, 100 * ms}, {std::nullopt, 0, 200 * ms}, {1200000, 0, 1200 * ms}});
    // More than a second restarts the timeline at the media clock: due at once, then onward.
    expectDueTimes({{0, 0, 0},
                    {40000, 10 * ms, 40 * ms},
                    {5000000, 70 * ms, 70 * ms},
                    {5040000, 71 * ms, 110 * ms},
                    {std::nullopt, 72 * ms, 150 * ms}});
    // Spacing below 8 ms is learned as 8 ms.
    expectDueTimes({{0, 0, 0}, {2000, 0, 2 * ms}, {std::nullopt, 0, 10 * ms}, {std::nullopt, 0, 18 * ms}});
}

TEST(PresentationTimeline, HostileTimestampsDoNotOverflow) {
    PresentationTimeline timeline;
    EXPECT_EQ(timeline.dueTime(INT64_MIN + 5, 0), 0);
    // A jump from the far past to the far future restarts instead of wrapping around.
    EXPECT_EQ(timeline.dueTime(INT64_MAX - 5, 7 * ms), 7 * ms);
    // Counting on from the end of the range saturates rather than wrapping into the past.
    EXPECT_GE(timeline.dueTime(std::nullopt, 8 * ms), 7 * ms);
}

}  // namespace
}  // namespace lumetta
