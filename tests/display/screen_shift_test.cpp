#include "display/screen_shift.h"

#include <gtest/gtest.h>

#include "core/process_state.h"

namespace lumetta {
namespace {

// Leaves the process-wide shift and rotation as it found them.
class ScreenShift : public ::testing::Test {
protected:
    void TearDown() override {
        setScreenShift(0, 0, 0, 0.0f);
        displayRotation = 0;
    }
};

TEST_F(ScreenShift, StartsAsNoChange) {
    SDL_Rect rect{5, 6, 70, 80};
    applyScreenShift(rect);
    EXPECT_EQ(rect.x, 5);
    EXPECT_EQ(rect.y, 6);
    EXPECT_EQ(rect.w, 70);
    EXPECT_EQ(rect.h, 80);
}

TEST_F(ScreenShift, ModeAndMarginTable) {
    const struct {
        int mode, amount, margin, rotation;
        SDL_Rect before, after;
    } cases[] = {
        // Inset, and the inset adding up with the margin.
        {1, 1, 0, 0, {0, 0, 1920, 1080}, {1, 1, 1918, 1078}},
        {1, 1, 2, -180, {0, 0, 100, 100}, {-1, -1, 94, 94}},
        {1, 3, 2, 0, {0, 0, 100, 100}, {5, 5, 90, 90}},
        // The eight moves.
        {9, 3, 0, 0, {10, 10, 50, 50}, {7, 10, 50, 50}},
        {10, 3, 0, 0, {10, 10, 50, 50}, {13, 10, 50, 50}},
        {11, 3, 0, 0, {10, 10, 50, 50}, {10, 7, 50, 50}},
        {12, 3, 0, 0, {10, 10, 50, 50}, {10, 13, 50, 50}},
        {13, 3, 0, 0, {10, 10, 50, 50}, {7, 7, 50, 50}},
        {14, 3, 0, 0, {10, 10, 50, 50}, {13, 13, 50, 50}},
        {15, 3, 0, 0, {10, 10, 50, 50}, {7, 7, 50, 50}},
        {16, 3, 0, 0, {10, 10, 50, 50}, {13, 13, 50, 50}},
        // Modes that move nothing.
        {0, 3, 0, 0, {10, 10, 50, 50}, {10, 10, 50, 50}},
        {5, 3, 0, 0, {10, 10, 50, 50}, {10, 10, 50, 50}},
        {8, 3, 0, 0, {10, 10, 50, 50}, {10, 10, 50, 50}},
        {17, 3, 0, 0, {10, 10, 50, 50}, {10, 10, 50, 50}},
        {-1, 3, 0, 0, {10, 10, 50, 50}, {10, 10, 50, 50}},
        // The margin follows the rotation; other rotations only shrink.
        {0, 0, 20, 0, {0, 0, 1920, 1080}, {20, 20, 1880, 1040}},
        {0, 0, 20, -90, {0, 0, 1080, 1920}, {-20, 20, 1040, 1880}},
        {0, 0, 20, -180, {0, 0, 100, 100}, {-20, -20, 60, 60}},
        {0, 0, 20, -270, {0, 0, 100, 100}, {20, -20, 60, 60}},
        {0, 0, 20, 90, {0, 0, 100, 100}, {0, 0, 60, 60}},
        {0, 0, 20, -360, {0, 0, 100, 100}, {0, 0, 60, 60}},
        // A move and the margin together.
        {12, 4, 10, -90, {0, 0, 100, 100}, {-10, 14, 80, 80}},
        // Larger than half the rectangle: an empty rectangle, not a crash.
        {1, 60, 0, 0, {0, 0, 100, 100}, {60, 60, -20, -20}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "mode " << c.mode << " amount " << c.amount << " margin " << c.margin
                                          << " rotation " << c.rotation);
        setScreenShift(c.mode, c.amount, c.margin, 123.0f);
        displayRotation = c.rotation;
        SDL_Rect rect = c.before;
        applyScreenShift(rect);
        EXPECT_EQ(rect.x, c.after.x);
        EXPECT_EQ(rect.y, c.after.y);
        EXPECT_EQ(rect.w, c.after.w);
        EXPECT_EQ(rect.h, c.after.h);
    }
}

TEST_F(ScreenShift, LastSettingWins) {
    setScreenShift(1, 5, 5, 0.0f);
    setScreenShift(0, 0, 0, 0.0f);
    SDL_Rect rect{1, 2, 3, 4};
    applyScreenShift(rect);
    EXPECT_EQ(rect.x, 1);
    EXPECT_EQ(rect.y, 2);
    EXPECT_EQ(rect.w, 3);
    EXPECT_EQ(rect.h, 4);
}

}  // namespace
}  // namespace lumetta
