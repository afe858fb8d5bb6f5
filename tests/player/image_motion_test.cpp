#include "player/image_motion.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "support/transition_screen.h"

namespace lumetta::player {
namespace {

using testing::Frame;
using testing::kInLeft;
using testing::kInRight;
using testing::RecordingCalls;
using testing::TransitionScreen;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct WindowCase {
    const char* name;
    int width, height;
    double progress;
    SDL_Rect window;
};

std::ostream& operator<<(std::ostream& out, const WindowCase& c) {
    return out << "\"" << c.name << "\" " << c.width << "x" << c.height << " at " << c.progress;
}

// On 97 x 61 the full margins are 4 and 2 (window 89 x 57, origin 0..8 by 0..4); on 1920 x 1080
// they are 77 and 43 (window 1766 x 994).
TEST(ImageMotion, WindowPerEffectAndProgress) {
    const std::vector<WindowCase> cases = {
        // Pans keep the 92 % window and cross the whole margin towards the named side.
        {"pan-left", 97, 61, 0.0, {8, 2, 89, 57}},
        {"pan-left", 97, 61, 0.5, {4, 2, 89, 57}},
        {"pan-left", 97, 61, 1.0, {0, 2, 89, 57}},
        {"pan-right", 97, 61, 0.0, {0, 2, 89, 57}},
        {"pan-right", 97, 61, 1.0, {8, 2, 89, 57}},
        {"pan-up", 97, 61, 0.0, {4, 4, 89, 57}},
        {"pan-up", 97, 61, 1.0, {4, 0, 89, 57}},
        {"pan-down", 97, 61, 0.0, {4, 0, 89, 57}},
        {"pan-up-left", 97, 61, 0.0, {8, 4, 89, 57}},
        {"pan-down-right", 97, 61, 0.0, {0, 0, 89, 57}},
        {"pan-down-right", 97, 61, 1.0, {8, 4, 89, 57}},
        {"pan-left", 1920, 1080, 0.5, {77, 43, 1766, 994}},
        {"pan-right", 1920, 1080, 1.0, {154, 43, 1766, 994}},
        // Zooms: the whole frame at their open end, centred in between.
        {"zoom-in-slow", 97, 61, 0.0, {0, 0, 97, 61}},
        {"zoom-in-slow", 97, 61, 0.5, {2, 1, 93, 59}},
        {"zoom-in-slow", 97, 61, 1.0, {4, 2, 89, 57}},
        {"zoom-out-slow", 97, 61, 0.0, {4, 2, 89, 57}},
        {"zoom-out-slow", 97, 61, 1.0, {0, 0, 97, 61}},
        // Ken Burns zooms in while drifting into the named corner.
        {"ken-burns-up-left", 97, 61, 0.0, {0, 0, 97, 61}},
        {"ken-burns-up-left", 97, 61, 0.5, {2, 1, 93, 59}},
        {"ken-burns-up-left", 97, 61, 1.0, {0, 0, 89, 57}},
        {"ken-burns-down-right", 97, 61, 1.0, {8, 4, 89, 57}},
        {"ken-burns-up-right", 1920, 1080, 1.0, {154, 0, 1766, 994}},
        // Other names: the rule applied as it stands (case-sensitive words, left and up first).
        {"", 97, 61, 0.3, {4, 2, 89, 57}},
        {"LEFT", 97, 61, 0.0, {4, 2, 89, 57}},
        {"left-right-up-down", 97, 61, 0.0, {8, 4, 89, 57}},
        {"ken-burns-", 97, 61, 1.0, {4, 2, 89, 57}},
        // Progress outside the range is clamped, NaN counts as 0.
        {"pan-left", 97, 61, kNaN, {8, 2, 89, 57}},
        {"pan-left", 97, 61, -5.0, {8, 2, 89, 57}},
        {"pan-left", 97, 61, 7.0, {0, 2, 89, 57}},
        {"zoom-in-slow", 97, 61, kNaN, {0, 0, 97, 61}},
        // The smallest targets still get a window of at least one pixel.
        {"pan-down-right", 1, 1, 1.0, {0, 0, 1, 1}},
        {"ken-burns-up-left", 2, 2, 0.7, {0, 0, 2, 2}},
        {"pan-left", 13, 1, 0.0, {2, 0, 11, 1}},
    };
    for (const WindowCase& c : cases) {
        const SDL_Rect got = motionWindow(c.width, c.height, c.name, c.progress);
        EXPECT_EQ(got.x, c.window.x) << c;
        EXPECT_EQ(got.y, c.window.y) << c;
        EXPECT_EQ(got.w, c.window.w) << c;
        EXPECT_EQ(got.h, c.window.h) << c;
    }
}

TEST(ImageMotion, ProgressOverTheSlidesDuration) {
    struct Case {
        std::int64_t now, start;
        double duration, progress;
    };
    for (const Case& c : std::vector<Case>{{10'000, 10'000, 8, 0.0},
                                           {14'000, 10'000, 8, 0.5},
                                           {18'000, 10'000, 8, 1.0},
                                           {99'000, 10'000, 8, 1.0},  // holds the end
                                           {9'000, 10'000, 8, 0.0},   // clock stepped back
                                           {25'000, 10'000, 0, 0.5},  // no duration: 30 s
                                           {40'000, 10'000, 0, 1.0},
                                           {25'000, 10'000, -5, 0.5},
                                           {10'300, 10'000, 0.6, 0.5},
                                           {10'000, 10'000, std::numeric_limits<double>::quiet_NaN(), 0.0}}) {
        EXPECT_DOUBLE_EQ(motionProgress(c.now, c.start, c.duration), c.progress)
            << c.now << " " << c.start << " " << c.duration;
    }
}

// The frame is one texture draw: the window stretched over the whole target, or the whole
// picture for "none" and for a size that is not positive; nothing without a renderer or picture.
TEST(ImageMotion, DrawsTheWindowOverTheWholeTarget) {
    TransitionScreen screen(97, 61);
    struct Case {
        const char* name;
        int width, height;
        bool windowed;
    };
    for (const Case& c : std::vector<Case>{{"pan-left", 97, 61, true},
                                           {"none", 97, 61, false},
                                           {"pan-left", 0, 61, false},
                                           {"pan-left", 97, -3, false},
                                           {"none", -1, -1, false}}) {
        RecordingCalls recorded;
        screen.clear();
        applyImageMotion(screen.renderer(), screen.incoming(), c.width, c.height, c.name, 0.25, recorded);
        ASSERT_EQ(recorded.calls.size(), 1u) << c.name << " " << c.width;
        const auto& call = recorded.calls[0];
        EXPECT_EQ(call.tex, screen.incoming());
        EXPECT_FALSE(call.destination.has_value());
        EXPECT_EQ(call.source.has_value(), c.windowed) << c.name << " " << c.width;
        if (c.windowed) {
            EXPECT_EQ(call.source->x, 6.0f);  // pan-left a quarter through: lround(-0.5 * -4) + 4
            EXPECT_EQ(call.source->w, 89.0f);
        } else {
            EXPECT_TRUE(screen.capture() == screen.incomingPicture()) << c.name << " " << c.width;
        }
    }
    RecordingCalls recorded;
    applyImageMotion(nullptr, screen.incoming(), 97, 61, "pan-left", 0.5, recorded);
    applyImageMotion(screen.renderer(), nullptr, 97, 61, "pan-left", 0.5, recorded);
    EXPECT_TRUE(recorded.calls.empty());
}

// A slide's motion effect moves as its name does.
TEST(ImageMotion, EveryEffectOfASlideDrawsAsItsName) {
    TransitionScreen screen(97, 61);
    for (std::size_t index = 0; index < motionEffectNames().size(); ++index) {
        const auto effect = static_cast<MotionEffect>(index);
        const std::string_view name = motionEffectNames()[index];
        RecordingCalls byEffect, byName;
        applyImageMotion(screen.renderer(), screen.incoming(), 97, 61, effect, 0.25, byEffect);
        applyImageMotion(screen.renderer(), screen.incoming(), 97, 61, name, 0.25, byName);
        ASSERT_EQ(byEffect.calls.size(), 1u) << name;
        ASSERT_EQ(byName.calls.size(), 1u) << name;
        const auto& source = byEffect.calls[0].source;
        ASSERT_EQ(source.has_value(), effect != MotionEffect::None) << name;
        if (!source) continue;
        const SDL_Rect expected = motionWindow(97, 61, name, 0.25);
        EXPECT_EQ(source->x, static_cast<float>(expected.x)) << name;
        EXPECT_EQ(source->y, static_cast<float>(expected.y)) << name;
        EXPECT_EQ(source->w, static_cast<float>(expected.w)) << name;
        EXPECT_EQ(byName.calls[0].source->x, source->x) << name;
    }
}

// The move shows on screen: the boundary between the picture's halves (column 48) travels right
// as the window pans left, and stays centred with a centred window.
TEST(ImageMotion, PanMovesThePictureOnScreen) {
    TransitionScreen screen(97, 61);
    const auto boundary = [&](const char* name, double progress) {
        screen.clear();
        applyImageMotion(screen.renderer(), screen.incoming(), 97, 61, name, progress);
        const Frame frame = screen.capture();
        int x = 0;
        while (x < 97 && frame.at(x, 30) == kInLeft) ++x;
        EXPECT_EQ(frame.at(96, 30), kInRight);
        return x;
    };
    // Window origin 8, 4 and 0: the boundary lands at (48 - origin) * 97 / 89.
    EXPECT_NEAR(boundary("pan-left", 0.0), 43.6, 1.5);
    EXPECT_NEAR(boundary("pan-left", 0.5), 48.0, 1.5);
    EXPECT_NEAR(boundary("pan-left", 1.0), 52.3, 1.5);
    EXPECT_NEAR(boundary("zoom-in-slow", 1.0), 48.0, 1.5);
    EXPECT_EQ(boundary("none", 0.5), 48);
}

}  // namespace
}  // namespace lumetta::player
