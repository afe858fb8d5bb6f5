#include "screens/overlay_reveal.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/manual_clock.h"

namespace lumetta::screens {
namespace {

struct Step {
    std::int64_t advanceMs;  // clock step before the update
    const char* announced;   // "" hides the overlay
    bool changed;
    double a, b;
};

void run(const std::vector<Step>& steps, std::int64_t startTicks = 1000) {
    testing::ManualClock clock;
    clock.advance(startTicks);
    OverlayReveal reveal(clock);
    int n = 0;
    for (const Step& s : steps) {
        clock.advance(s.advanceMs);
        EXPECT_EQ(reveal.update(s.announced), s.changed) << "step " << n;
        EXPECT_NEAR(reveal.phaseA(), s.a, 1e-9) << "step " << n;
        EXPECT_NEAR(reveal.phaseB(), s.b, 1e-9) << "step " << n;
        ++n;
    }
}

TEST(OverlayReveal, ShowingRunsPhaseAThenPhaseB) {
    run({
        {0, "", false, 0, 0},          // hidden and at rest
        {50, "p1", false, 0, 0},       // the flip only takes the time
        {375, "p1", true, 0.5, 0},
        {300, "p1", true, 0.9, 0},
        {200, "p1", true, 1, 0},       // overshoot: exactly 1, the rest not carried into B
        {100, "p2", true, 1, 0.25},    // another id is still "shown"
        {300, "p2", true, 1, 1},
        {5000, "p2", false, 1, 1},     // steady at the end
    });
}

TEST(OverlayReveal, HidingRunsPhaseBDownFirstAndTakesAtLeast1150Ms) {
    run({
        {0, "p", false, 0, 0},
        {750, "p", true, 1, 0},
        {400, "p", true, 1, 1},
        {10, "", false, 1, 1},          // flip
        {200, "", true, 1, 0.5},
        {5000, "", true, 1, 0},         // B ends; the long step does not reach A
        {375, "", true, 0.5, 0},
        {375, "", true, 0, 0},
        {1000, "", false, 0, 0},
    });
}

TEST(OverlayReveal, FlipHalfwayReversesFromWhereItStands) {
    run({
        {0, "p", false, 0, 0},
        {375, "p", true, 0.5, 0},
        {100, "", false, 0.5, 0},  // hide: no time counted
        {150, "", true, 0.3, 0},
        {100, "p", false, 0.3, 0},  // show again
        {75, "p", true, 0.4, 0},
    });
}

// Ticks start at 0 when the clock is made: an update at tick 0 counts as never updated, so the
// first real step counts no time either.
TEST(OverlayReveal, FirstUpdatesCountNoTime) {
    run(
        {
            {0, "p", false, 0, 0},
            {500, "p", false, 0, 0},  // the previous update was at tick 0
            {75, "p", true, 0.1, 0},
        },
        0);
}

}  // namespace
}  // namespace lumetta::screens
