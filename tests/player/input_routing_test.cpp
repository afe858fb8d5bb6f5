#include "player/input_routing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>

#include "screens/event_pump.h"

namespace lumetta::player {
namespace {

TEST(GlobalKeys, TableWithRepeatsAndCtrl) {
    struct Case {
        SDL_Keycode key;
        bool repeat, ctrl;
        KeyAction slide, waiting;
    } cases[] = {
        {SDLK_LEFT, false, false, KeyAction::previousSlide, KeyAction::none},
        {SDLK_PAGEDOWN, false, false, KeyAction::previousSlide, KeyAction::none},
        {SDLK_RIGHT, false, false, KeyAction::nextSlide, KeyAction::none},
        {SDLK_PAGEUP, false, false, KeyAction::nextSlide, KeyAction::none},
        {SDLK_HOME, false, false, KeyAction::firstSlide, KeyAction::none},
        {SDLK_AC_HOME, false, false, KeyAction::firstSlide, KeyAction::none},
        {SDLK_UP, false, false, KeyAction::firstSlideUnlessOn, KeyAction::none},
        {SDLK_END, false, false, KeyAction::lastSlide, KeyAction::none},
        {SDLK_DOWN, false, false, KeyAction::lastSlideUnlessOn, KeyAction::none},
        {SDLK_PRINTSCREEN, false, false, KeyAction::screenshot, KeyAction::screenshot},
        {SDLK_W, false, false, KeyAction::wifiSetup, KeyAction::wifiSetup},
        {SDLK_B, false, false, KeyAction::pairing, KeyAction::pairing},
        // A held key acts once: its repeats do nothing.
        {SDLK_RIGHT, true, false, KeyAction::none, KeyAction::none},
        {SDLK_LEFT, true, true, KeyAction::none, KeyAction::none},
        {SDLK_W, true, false, KeyAction::none, KeyAction::none},
        {SDLK_B, true, false, KeyAction::none, KeyAction::none},
        {SDLK_PRINTSCREEN, true, false, KeyAction::none, KeyAction::none},
        // Escape quits only with Ctrl held, repeat or not.
        {SDLK_ESCAPE, false, false, KeyAction::none, KeyAction::none},
        {SDLK_ESCAPE, false, true, KeyAction::quit, KeyAction::quit},
        {SDLK_ESCAPE, true, true, KeyAction::quit, KeyAction::quit},
        {SDLK_LCTRL, false, false, KeyAction::ctrlDown, KeyAction::ctrlDown},
        {SDLK_RCTRL, true, false, KeyAction::ctrlDown, KeyAction::ctrlDown},
        // The menus' keys, and keys nobody knows, do nothing here.
        {SDLK_RETURN, false, false, KeyAction::none, KeyAction::none},
        {SDLK_KP_ENTER, false, false, KeyAction::none, KeyAction::none},
        {SDLK_R, false, false, KeyAction::none, KeyAction::none},
        {SDLK_AC_BACK, false, false, KeyAction::none, KeyAction::none},
        {SDLK_LSHIFT, false, true, KeyAction::none, KeyAction::none},
        {SDLK_LGUI, false, false, KeyAction::none, KeyAction::none},  // 0x400000E3: one bit from Ctrl
        {0, false, false, KeyAction::none, KeyAction::none},
        {static_cast<SDL_Keycode>(0xFFFFFFFF), false, false, KeyAction::none, KeyAction::none},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(globalKeyAction(c.key, c.repeat, c.ctrl), c.slide) << std::hex << c.key << " " << c.repeat;
        EXPECT_EQ(waitingKeyAction(c.key, c.repeat, c.ctrl), c.waiting) << std::hex << c.key << " " << c.repeat;
    }
    EXPECT_TRUE(screens::isCtrlKey(SDLK_LCTRL));
    EXPECT_TRUE(screens::isCtrlKey(SDLK_RCTRL));
    EXPECT_FALSE(screens::isCtrlKey(SDLK_LSHIFT));
    EXPECT_FALSE(screens::isCtrlKey(SDLK_LALT));
}

TEST(GlobalKeys, NavigationWrapsAndUpDownStopAtTheirEnd) {
    struct Case {
        KeyAction action;
        int current, count;
        std::optional<int> target;
    } cases[] = {
        {KeyAction::previousSlide, 0, 5, 4},  // Left on the first shows the last
        {KeyAction::previousSlide, 3, 5, 2},
        {KeyAction::nextSlide, 4, 5, 0},      // Right on the last shows the first
        {KeyAction::nextSlide, 1, 5, 2},
        {KeyAction::firstSlide, 0, 5, 0},     // Home restarts the first
        {KeyAction::firstSlide, 3, 5, 0},
        {KeyAction::lastSlide, 4, 5, 4},
        {KeyAction::firstSlideUnlessOn, 0, 5, std::nullopt},  // Up on the first: nothing
        {KeyAction::firstSlideUnlessOn, 2, 5, 0},
        {KeyAction::lastSlideUnlessOn, 4, 5, std::nullopt},   // Down on the last: nothing
        {KeyAction::lastSlideUnlessOn, 2, 5, 4},
        {KeyAction::previousSlide, 0, 1, 0},  // one slide: previous and next restart it
        {KeyAction::nextSlide, 0, 1, 0},
        {KeyAction::firstSlideUnlessOn, 0, 1, std::nullopt},
        {KeyAction::nextSlide, 7, 5, 3},      // an index from a longer playlist counts modulo
        {KeyAction::previousSlide, -1, 5, 3},
        {KeyAction::nextSlide, 0, 0, std::nullopt},  // no slides
        {KeyAction::screenshot, 1, 5, std::nullopt},
        {KeyAction::quit, 1, 5, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(navigationTarget(c.action, c.current, c.count), c.target)
            << static_cast<int>(c.action) << " " << c.current << "/" << c.count;
    }
}

TEST(Touch, SwipesAndTaps) {
    struct Case {
        float x0, y0, x1, y1;
        std::optional<TouchGesture> gesture;
    } cases[] = {
        {0.8f, 0.5f, 0.2f, 0.5f, TouchGesture{false, SDLK_LEFT}},
        {0.2f, 0.5f, 0.8f, 0.55f, TouchGesture{false, SDLK_RIGHT}},
        {0.5f, 0.8f, 0.45f, 0.2f, TouchGesture{false, SDLK_HOME}},  // upwards: the first slide
        {0.5f, 0.2f, 0.5f, 0.9f, TouchGesture{false, SDLK_END}},    // downwards: the last
        {0.5f, 0.5f, 0.53f, 0.52f, TouchGesture{true, 0}},          // short: a tap
        {0.5f, 0.5f, 0.5f, 0.57f, TouchGesture{true, 0}},
        {0.5f, 0.5f, 0.5f, 0.5f, TouchGesture{true, 0}},
        {0.5f, 0.5f, 0.6f, 0.6f, TouchGesture{false, SDLK_RIGHT}},  // a diagonal counts as horizontal
        {0.0f, 0.0f, 0.25f, 0.0f, TouchGesture{false, SDLK_RIGHT}},
        // Beyond the surface counts as its edge: no jump past 1, and a tap stays a tap.
        {0.95f, 0.5f, 7.0f, 0.5f, TouchGesture{true, 0}},
        {-3.0f, 0.5f, 0.2f, 0.5f, TouchGesture{false, SDLK_RIGHT}},
        {0.5f, 0.5f, 0.5f, -40.0f, TouchGesture{false, SDLK_HOME}},
        // No number at all: the gesture ends unread.
        {0.5f, 0.5f, std::nanf(""), 0.5f, std::nullopt},
        {0.5f, 0.5f, std::numeric_limits<float>::infinity(), 0.5f, std::nullopt},
    };
    for (const Case& c : cases) {
        TouchTracker touch;
        touch.fingerDown(7, c.x0, c.y0);
        EXPECT_EQ(touch.fingerUp(7, c.x1, c.y1), c.gesture) << c.x0 << "," << c.y0 << " -> " << c.x1 << "," << c.y1;
        EXPECT_FALSE(touch.active());
        EXPECT_EQ(touch.fingerUp(7, c.x1, c.y1), std::nullopt) << "one up per gesture";
    }
}

TEST(Touch, OnlyTheFingerThatStartedEndsTheGesture) {
    TouchTracker touch;
    EXPECT_EQ(touch.fingerUp(1, 0.1f, 0.5f), std::nullopt) << "no gesture under way";
    touch.fingerDown(1, 0.9f, 0.5f);
    EXPECT_EQ(touch.fingerUp(2, 0.1f, 0.5f), std::nullopt) << "another finger";
    EXPECT_TRUE(touch.active());
    // A new finger replaces the gesture under way.
    touch.fingerDown(2, 0.5f, 0.5f);
    EXPECT_EQ(touch.fingerUp(1, 0.1f, 0.5f), std::nullopt);
    EXPECT_EQ(touch.fingerUp(2, 0.5f, 0.1f), (TouchGesture{false, SDLK_HOME}));
    touch.fingerDown(3, std::nanf(""), 0.5f);
    EXPECT_FALSE(touch.active());
}

TEST(Touch, TapPauseRestartsTheSixtySecondsAndMovesTheEndOnlyByWhatIsNew) {
    // First tap: 60 s from now, the slide's end 60 s later.
    TapPause first = tapPause(0, 10'000);
    EXPECT_EQ(first.pauseEnd, 70'000u);
    EXPECT_EQ(first.slideEndShift, 60'000u);
    // A tap 20 s into the pause restarts the 60 s; the end moves by the 20 s added.
    TapPause second = tapPause(first.pauseEnd, 30'000);
    EXPECT_EQ(second.pauseEnd, 90'000u);
    EXPECT_EQ(second.slideEndShift, 20'000u);
    // A tap long after the pause ran out counts as a first one.
    TapPause later = tapPause(second.pauseEnd, 500'000);
    EXPECT_EQ(later.pauseEnd, 560'000u);
    EXPECT_EQ(later.slideEndShift, 60'000u);
}

TEST(Touch, PairingMovesTheEndLessWhatAPauseCovered) {
    struct Case {
        std::uint64_t t0, t1, pauseEnd, shift;
    } cases[] = {
        {1000, 9000, 0, 8000},         // no pause
        {1000, 9000, 500, 8000},       // a pause that ended before
        {1000, 9000, 4000, 5000},      // the pause covered the first 3 s
        {1000, 9000, 61000, 0},        // the pause covered it all
        {1000, 1000, 0, 0},
        {9000, 1000, 0, 0},            // ticks never run back
    };
    for (const Case& c : cases) {
        EXPECT_EQ(pairingEndShift(c.t0, c.t1, c.pauseEnd), c.shift) << c.t0 << ".." << c.t1 << " " << c.pauseEnd;
    }
}

TEST(RemoteControl, ButtonsStandForKeys) {
    struct Case {
        std::uint8_t code;
        std::optional<SDL_Keycode> key;
    } cases[] = {
        {0x00, SDLK_RETURN}, {0x01, SDLK_UP},   {0x02, SDLK_DOWN},    {0x03, SDLK_LEFT},
        {0x04, SDLK_RIGHT},  {0x0D, SDLK_AC_BACK}, {0x05, std::nullopt}, {0x0C, std::nullopt},
        {0x44, std::nullopt}, {0xFF, std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(cecKeycode(c.code), c.key) << int(c.code);
}

}  // namespace
}  // namespace lumetta::player
