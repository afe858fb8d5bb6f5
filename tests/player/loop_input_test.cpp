// The player loop driven from outside: keys, swipes and taps, the remote control's buttons and
// the television's standby reports, the menus and the pairing screen, each pushed as the events
// the loop takes, on the manual clock, with the frames read back as they are presented.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>

#include "core/palette.h"
#include "link/player_events.h"
#include "player/player_loop.h"
#include "player/remote_control.h"
#include "player/remote_pairing.h"
#include "support/fake_cec_adapter.h"
#include "support/fake_tools.h"
#include "support/line_capture.h"
#include "view_test_support.h"

namespace lumetta::player {
namespace {

using namespace lumetta::testing;
using screens::PairingStatus;
using screens::RemotePairing;

struct Shown {
    std::int64_t systemMs;
    int index;
    Colour centre;
    Colour corner;
    bool boxAtBottomRight;  // the grey of the bottom-right box (or its orange bar) in the box's row
};

// On this small screen a long box text pushes the bar off the left edge; the box's grey stays.
bool boxInRow(SDL_Renderer* renderer, int y) {
    const SDL_Rect row{0, y, 320, 1};
    SurfaceHandle read(SDL_RenderReadPixels(renderer, &row));
    if (!read) return false;
    for (int x = 0; x < read->w; ++x) {
        Uint8 r = 0, g = 0, b = 0, a = 0;
        SDL_ReadSurfacePixel(read.get(), x, 0, &r, &g, &b, &a);
        if ((r == 255 && g == 128 && b == 0) || (r == 34 && g == 34 && b == 34)) return true;
    }
    return false;
}

void push(SDL_Event event) { ASSERT_TRUE(SDL_PushEvent(&event)) << SDL_GetError(); }

SDL_Event key(SDL_Keycode code, bool downKey = true) {
    SDL_Event event{};
    event.type = downKey ? SDL_EVENT_KEY_DOWN : SDL_EVENT_KEY_UP;
    event.key.key = code;
    event.key.down = downKey;
    return event;
}

SDL_Event finger(SDL_EventType type, float x, float y) {
    SDL_Event event{};
    event.type = type;
    event.tfinger.fingerID = 11;
    event.tfinger.x = x;
    event.tfinger.y = y;
    return event;
}

SDL_Event plain(std::uint32_t type, SDL_DisplayID display = 0) {
    SDL_Event event{};
    event.type = type;
    event.display.displayID = display;
    return event;
}

// A remote control the test presses: the listener keeps the loop's handlers until its stop.
class Remote {
public:
    CecListener listener() {
        return [this](std::stop_token stop, const CecKeyHandler& keys, const CecPowerHandler& power) {
            {
                std::lock_guard lock(mutex_);
                keys_ = keys;
                power_ = power;
            }
            ready_ = true;
            while (!stop.stop_requested()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            std::lock_guard lock(mutex_);
            keys_ = nullptr;
            power_ = nullptr;
        };
    }
    bool waitReady() const {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!ready_ && std::chrono::steady_clock::now() < limit) std::this_thread::yield();
        return ready_;
    }
    void press(std::uint8_t code) {
        std::lock_guard lock(mutex_);
        keys_(code, true);
        keys_(code, false);
    }
    void power(bool on) {
        std::lock_guard lock(mutex_);
        power_(on);
    }

private:
    std::mutex mutex_;
    std::atomic<bool> ready_{false};
    CecKeyHandler keys_;
    CecPowerHandler power_;
};

class LoopInput : public ::testing::Test {
protected:
    LoopInput() {
        displayStandby = false;
        h.seams.out = &out;
        h.seams.errors = &errors;
        h.seams.input.sendPlaylistUpdate = [](const std::string&) { return true; };
        h.onFrame = [this](Display& shown) {
            shownFrames.push_back({h.frames.back().systemMs, currentSlideIndex.load(), h.frames.back().centre,
                                   pixelAt(shown.renderer(), 5, 5), boxInRow(shown.renderer(), 155)});
            if (onTick) onTick(true);
        };
        // A still slide is drawn once and then only waited on: the test acts in the waits too.
        h.seams.waitEvent = [this, wait = h.seams.waitEvent](SDL_Event& event, int timeoutMs) {
            if (onTick && !shownFrames.empty()) onTick(false);
            return wait(event, timeoutMs);
        };
    }
    ~LoopInput() override { displayStandby = false; }

    // Frames from `from` on until the first that shows slide `index`; none when it never does.
    std::optional<std::size_t> framesUntil(int index, std::size_t from) const {
        for (std::size_t i = from; i < shownFrames.size(); ++i) {
            if (shownFrames[i].index == index) return i - from + 1;
        }
        return std::nullopt;
    }
    std::optional<std::int64_t> timeOf(int index, std::size_t from = 0) const {
        for (std::size_t i = from; i < shownFrames.size(); ++i) {
            if (shownFrames[i].index == index) return shownFrames[i].systemMs;
        }
        return std::nullopt;
    }
    // True once the first slide has faded in and shows its own colour.
    bool settled() const { return !shownFrames.empty() && shownFrames.back().centre == kRed; }
    // Milliseconds since the first frame.
    std::int64_t elapsed() const { return h.clock.systemMs() - shownFrames[0].systemMs; }

    ViewHarness h;
    LineCapture out;
    LineCapture errors;
    std::vector<Shown> shownFrames;
    // Called after every presented frame (true) and before every wait for events (false).
    std::function<void(bool framed)> onTick;
};

Json::Value threeSlides(int duration) {
    return playlistDocument("Shapes", {shapeSlide("a", "rectangle", "#FF0000", duration),
                                       shapeSlide("b", "rectangle", "#00FF00", duration),
                                       shapeSlide("c", "rectangle", "#0000FF", duration)});
}

TEST_F(LoopInput, KeysAndSwipesMoveThroughTheSlidesWithinTwoFrames) {
    h.storePlaylist(threeSlides(100));
    int step = 0;
    std::size_t pushedAt = 0;
    std::vector<std::optional<std::size_t>> latency;
    onTick = [&](bool framed) {
        if (!framed) return;
        const int index = shownFrames.back().index;
        if (step == 0 && settled()) {
            push(key(SDLK_RIGHT));
            pushedAt = shownFrames.size();
            step = 1;
        } else if (step == 1 && index == 1) {
            latency.push_back(framesUntil(1, pushedAt));
            // A swipe to the left: back to the first slide.
            push(finger(SDL_EVENT_FINGER_DOWN, 0.9f, 0.5f));
            push(finger(SDL_EVENT_FINGER_UP, 0.1f, 0.55f));
            pushedAt = shownFrames.size();
            step = 2;
        } else if (step == 2 && index == 0) {
            latency.push_back(framesUntil(0, pushedAt));
            // Left on the first slide shows the last; Up there goes back to the first, Down on the
            // last does nothing.
            push(key(SDLK_LEFT));
            step = 3;
        } else if (step == 3 && index == 2) {
            push(key(SDLK_DOWN));
            push(key(SDLK_UP));
            step = 4;
        } else if (step == 4 && index == 0) {
            push(key(SDLK_RCTRL));
            push(key(SDLK_ESCAPE));
            step = 5;
        } else if (shownFrames.size() > 2000) {
            ViewHarness::pushQuit();
        }
    };
    EXPECT_EQ(h.run(), 0);
    EXPECT_EQ(step, 5);
    ASSERT_EQ(latency.size(), 2u);
    ASSERT_TRUE(latency[0] && latency[1]);
    EXPECT_LE(*latency[0], 2u) << "frames from the key to the next slide";
    // The fingers change nothing on screen, so the still slide sleeps on and the swipe's key,
    // queued behind them, is taken at once.
    EXPECT_LE(*latency[1], 2u) << "frames from the swipe (which comes back as a key) to the slide";
    // Down on the last slide did nothing: the Up after it came straight from slide 2.
    for (std::size_t i = 1; i < shownFrames.size(); ++i) {
        if (shownFrames[i - 1].index == 2) {
            EXPECT_NE(shownFrames[i].index, 1);
        }
    }
    EXPECT_TRUE(errors.lines().empty()) << errors.lines().front();
}

// Motion nobody reads costs no turn: on a slide that moves (a frame every cycle, one event
// taken per frame), a key behind ten thousand mouse movements and a swipe with thirty finger
// movements each still change the slide within two frames.
TEST_F(LoopInput, MotionEventsDoNotHoldBackTheKeysBehindThem) {
    Json::Value document = threeSlides(100);
    for (auto& slide : document["slides"]) slide["motionEffect"] = "zoom-in-slow";
    h.storePlaylist(document);
    const auto motion = [](std::uint32_t type) {
        SDL_Event event{};
        event.type = type;
        event.motion.x = 10;
        event.tfinger.fingerID = 11;
        SDL_PushEvent(&event);  // SDL may refuse some; none may hold the key back either way
    };
    int step = 0;
    std::size_t pushedAt = 0;
    std::vector<std::optional<std::size_t>> latency;
    onTick = [&](bool framed) {
        if (!framed) return;
        const int index = shownFrames.back().index;
        if (step == 0 && elapsed() > 500) {
            for (int i = 0; i < 10'000; ++i) motion(SDL_EVENT_MOUSE_MOTION);
            push(key(SDLK_RIGHT));
            pushedAt = shownFrames.size();
            step = 1;
        } else if (step == 1 && index == 1) {
            latency.push_back(framesUntil(1, pushedAt));
            push(finger(SDL_EVENT_FINGER_DOWN, 0.9f, 0.5f));
            step = 2;
        } else if (step == 2) {
            // The finger moves across the screen and lifts.
            for (int i = 0; i < 30; ++i) motion(SDL_EVENT_FINGER_MOTION);
            push(finger(SDL_EVENT_FINGER_UP, 0.1f, 0.55f));
            pushedAt = shownFrames.size();
            step = 3;
        } else if (step == 3 && index == 0) {
            latency.push_back(framesUntil(0, pushedAt));
            ViewHarness::pushQuit();
            step = 4;
        } else if (shownFrames.size() > 20'000) {
            ViewHarness::pushQuit();
        }
    };
    EXPECT_EQ(h.run(), 0);
    EXPECT_EQ(step, 4);
    ASSERT_EQ(latency.size(), 2u);
    ASSERT_TRUE(latency[0] && latency[1]);
    EXPECT_LE(*latency[0], 2u) << "frames from the key behind the mouse movements to the next slide";
    EXPECT_LE(*latency[1], 2u) << "frames from the swipe's lift to the slide";
    EXPECT_TRUE(errors.lines().empty()) << errors.lines().front();
}

TEST_F(LoopInput, PrintScreenSavesTheNextFrameUnderTheLoopsOwnDirectory) {
    h.storePlaylist(threeSlides(100));
    std::size_t pressedAt = 0;
    onTick = [&](bool framed) {
        if (!framed) return;
        if (pressedAt == 0 && settled()) {
            // On a still slide that sleeps: the key itself brings the frame that is saved.
            push(key(SDLK_PRINTSCREEN));
            pressedAt = shownFrames.size();
        } else if (pressedAt > 0 || shownFrames.size() > 2000) {
            ViewHarness::pushQuit();
        }
    };
    EXPECT_EQ(h.run(), 0);
    ASSERT_GT(pressedAt, 0u);
    EXPECT_EQ(shownFrames.size(), pressedAt + 1) << "one frame after the key";
    std::vector<std::string> saved;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(h.base / "lumetta", error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("screenshot-", 0) == 0) saved.push_back(name);
    }
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved[0].substr(saved[0].size() - 4), ".png");
}

TEST_F(LoopInput, TheRemoteOpensAndClosesTheMenuOverTheSlide) {
    h.storePlaylist(threeSlides(100));
    Remote remote;
    h.seams.cecListener = remote.listener();
    h.link.availablePlaylists = {{"Lobby", "a"}, {"Night", "b"}};
    int step = 0;
    std::int64_t openedAt = 0;
    std::int64_t closedAt = 0;
    onTick = [&](bool framed) {
        if (!framed) return;
        const Shown& frame = shownFrames.back();
        if (step == 0 && settled()) {
            ASSERT_TRUE(remote.waitReady());
            EXPECT_EQ(frame.corner, kRed);
            remote.press(0x00);  // Select: Return, which opens the playlist menu
            step = 1;
        } else if (step == 1 && frame.corner == kBlack) {
            openedAt = frame.systemMs;
            step = 2;
        } else if (step == 2 && frame.corner == kRed) {
            // Closed by itself 15 s after the last key.
            closedAt = frame.systemMs;
            remote.press(0x00);
            step = 3;
        } else if (step == 3 && frame.corner == kBlack) {
            remote.press(0x0D);  // Exit closes it
            step = 4;
        } else if (step == 4 && frame.corner == kRed) {
            remote.press(0x0D);  // and does nothing else with the menu closed
            remote.press(0x04);  // Right
            step = 5;
        } else if (step == 5 && frame.index == 1) {
            ViewHarness::pushQuit();
            step = 6;
        } else if (shownFrames.size() > 3000) {
            ViewHarness::pushQuit();
        }
    };
    EXPECT_EQ(h.run(), 0);
    EXPECT_EQ(step, 6);
    EXPECT_GE(closedAt - openedAt, 15000 - 16);
    EXPECT_LE(closedAt - openedAt, 15000 + 50);
    EXPECT_TRUE(errors.lines().empty()) << errors.lines().front();
}

TEST_F(LoopInput, StandbyStopsDrawingAndRestartsTheSlide) {
    h.storePlaylist(threeSlides(5));
    Remote remote;
    h.seams.cecListener = remote.listener();
    const std::filesystem::path marker = h.seams.standbyFile;
    int standbyWaits = 0;
    std::int64_t wokeAt = 0;
    const auto wait = h.seams.waitEvent;
    h.seams.waitEvent = [&](SDL_Event& event, int timeoutMs) {
        if (displayStandby && timeoutMs == 250 && ++standbyWaits == 20) {
            // The television wakes 5 s later; the marker went with the report.
            wokeAt = h.clock.systemMs();
            remote.power(true);
            EXPECT_FALSE(std::filesystem::exists(marker));
        }
        return wait(event, timeoutMs);
    };
    int step = 0;
    std::int64_t sleptAt = 0;
    std::size_t sleptFrame = 0;
    onTick = [&](bool framed) {
        const Shown& frame = shownFrames.back();
        if (step == 0 && elapsed() >= 2500) {
            ASSERT_TRUE(remote.waitReady());
            remote.power(false);
            remote.power(false);  // a repeated report changes nothing
            std::ifstream in(marker);
            std::stringstream content;
            content << in.rdbuf();
            EXPECT_EQ(content.str(), "standby\n");
            SDL_Event pending[8];
            const int waiting = SDL_PeepEvents(pending, 8, SDL_PEEKEVENT, standbyChangedEvent, standbyChangedEvent);
            EXPECT_EQ(waiting, 1) << "one standby event for two reports";
            sleptAt = h.clock.systemMs();
            sleptFrame = shownFrames.size();
            step = 1;
        } else if (step == 1 && framed && wokeAt > 0 && frame.index == 1) {
            ViewHarness::pushQuit();
            step = 2;
        } else if (shownFrames.size() > 3000) {
            ViewHarness::pushQuit();
        }
    };
    EXPECT_EQ(h.run(), 0);
    EXPECT_EQ(step, 2);
    EXPECT_EQ(standbyWaits, 20);
    // Nothing was presented while the television slept; the first slide then started again
    // from its beginning and ran its whole 5 s.
    ASSERT_LT(sleptFrame, shownFrames.size());
    std::size_t afterWake = sleptFrame;
    while (afterWake < shownFrames.size() && shownFrames[afterWake].systemMs < wokeAt) ++afterWake;
    ASSERT_LT(afterWake, shownFrames.size());
    EXPECT_LE(afterWake - sleptFrame, 1u) << "at most the cycle that took the standby event";
    EXPECT_GE(wokeAt - sleptAt, 19 * 250);
    EXPECT_EQ(shownFrames[afterWake].index, 0);
    const auto next = timeOf(1, afterWake);
    ASSERT_TRUE(next.has_value());
    EXPECT_GE(*next - shownFrames[afterWake].systemMs, 5000 - 300);
    EXPECT_FALSE(std::filesystem::exists(marker));
    EXPECT_TRUE(errors.lines().empty()) << errors.lines().front();
}

TEST_F(LoopInput, AQuitInStandbyEndsThePlayerAndADisplayRemovalToo) {
    for (const std::uint32_t ending : {static_cast<std::uint32_t>(SDL_EVENT_QUIT),
                                       static_cast<std::uint32_t>(SDL_EVENT_DISPLAY_REMOVED)}) {
        ViewHarness run;
        LineCapture lines;
        run.seams.out = &lines;
        run.seams.errors = &errors;
        run.storePlaylist(threeSlides(5));
        Remote remote;
        run.seams.cecListener = remote.listener();
        int standbyWaits = 0;
        const auto wait = run.seams.waitEvent;
        run.seams.waitEvent = [&](SDL_Event& event, int timeoutMs) {
            if (displayStandby && timeoutMs == 250 && ++standbyWaits == 3) {
                // Keys, touches and a playlist wake-up are dropped; then the stop.
                push(key(SDLK_RIGHT));
                push(finger(SDL_EVENT_FINGER_DOWN, 0.5f, 0.5f));
                push(plain(playlistReadyEvent));
                push(plain(ending, 4));
            }
            return wait(event, timeoutMs);
        };
        bool slept = false;
        run.onFrame = [&](Display&) {
            if (!slept && run.frames.size() > 3) {
                ASSERT_TRUE(remote.waitReady());
                remote.power(false);
                slept = true;
            } else if (run.frames.size() > 1000) {
                ViewHarness::pushQuit();
            }
        };
        EXPECT_EQ(run.run(), 0) << ending;
        EXPECT_FALSE(run.running) << ending;
        EXPECT_GE(standbyWaits, 4) << ending;
        EXPECT_LE(standbyWaits, 8) << ending << ": the stop ended the wait";
        EXPECT_FALSE(std::filesystem::exists(run.seams.standbyFile)) << "removed on the way out";
        if (ending == SDL_EVENT_DISPLAY_REMOVED) {
            EXPECT_EQ(lines.count("Display disconnected " + std::string(ansi::BOLD_RED) + "4" +
                                  std::string(ansi::RESET) + "; exiting for restart"),
                      1);
        }
    }
    EXPECT_TRUE(errors.lines().empty()) << errors.lines().front();
}

TEST_F(LoopInput, AGroupWakeUpAloneChangesNothingVisible) {
    h.storePlaylist(threeSlides(2));
    bool pushed = false;
    std::size_t pushedAt = 0;
    onTick = [&](bool framed) {
        (void)framed;
        if (!pushed && elapsed() >= 1000) {
            push(plain(groupChangedEvent));
            pushed = true;
            pushedAt = shownFrames.size();
        } else if (shownFrames.back().index == 1) {
            ViewHarness::pushQuit();
        }
    };
    EXPECT_EQ(h.run(), 0);
    ASSERT_TRUE(pushed);
    for (std::size_t i = pushedAt; i < shownFrames.size() && shownFrames[i].index == 0; ++i) {
        EXPECT_EQ(shownFrames[i].centre, kRed);
        EXPECT_FALSE(shownFrames[i].boxAtBottomRight);
    }
    // The slide was neither restarted nor cut short.
    const auto next = timeOf(1);
    ASSERT_TRUE(next.has_value());
    EXPECT_GE(*next - shownFrames[0].systemMs, 2000);
    EXPECT_LE(*next - shownFrames[0].systemMs, 2000 + 50);
}

TEST_F(LoopInput, ATapPausesTheSlideWithItsBoxAndThePauseOutlivesASlideChange) {
    h.storePlaylist(threeSlides(1));
    int step = 0;
    std::int64_t tappedAt = 0;
    onTick = [&](bool framed) {
        const Shown& frame = shownFrames.back();
        (void)framed;
        if (step == 0 && elapsed() >= 500) {
            push(finger(SDL_EVENT_FINGER_DOWN, 0.5f, 0.5f));
            push(finger(SDL_EVENT_FINGER_UP, 0.53f, 0.5f));
            tappedAt = h.clock.systemMs();
            step = 1;
        } else if (step == 1 && h.clock.systemMs() - tappedAt >= 10000) {
            // A manual change keeps the pause: the slide shown does not end on its duration.
            push(key(SDLK_RIGHT));
            step = 2;
        } else if (step == 2 && frame.index == 2) {
            ViewHarness::pushQuit();
            step = 3;
        } else if (shownFrames.size() > 3000) {
            ViewHarness::pushQuit();
        }
    };
    EXPECT_EQ(h.run(), 0);
    EXPECT_EQ(step, 3);
    const auto second = timeOf(1);
    const auto third = timeOf(2);
    ASSERT_TRUE(second && third);
    EXPECT_GE(*second - tappedAt, 10000);
    EXPECT_LT(*second - tappedAt, 10000 + 100) << "the key, not the duration, ended the first slide";
    EXPECT_GE(*third - tappedAt, 60000 - 16) << "the second slide waited for the pause to run out";
    EXPECT_LE(*third - tappedAt, 60000 + 1100);
    // The box is on every frame of the pause and gone after it.
    std::size_t withBox = 0, during = 0;
    for (const Shown& frame : shownFrames) {
        if (frame.systemMs > tappedAt + 16 && frame.systemMs < tappedAt + 59000) {
            ++during;
            withBox += frame.boxAtBottomRight ? 1 : 0;
        }
        if (frame.systemMs > tappedAt + 60100) {
            EXPECT_FALSE(frame.boxAtBottomRight) << frame.systemMs - tappedAt;
        }
    }
    EXPECT_GT(during, 55u) << "a frame at least every second for the countdown";
    EXPECT_EQ(withBox, during);
}

// Moves the loop's clock on by the modal screen's 16 ms each time the screen waits on it (the
// clock's other waiters, counted in `others`, aside), until the pass that `lastPass` marks.
std::jthread paceScreenWaits(ManualClock& clock, const std::atomic<int>& others, std::function<bool()> lastPass) {
    return std::jthread([&clock, &others, lastPass = std::move(lastPass)](std::stop_token stop) {
        while (!stop.stop_requested()) {
            if (!clock.waitForWaiters(others + 1, 20)) continue;
            const bool last = lastPass();
            clock.advance(16);
            const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (clock.waiters() > others && std::chrono::steady_clock::now() < limit) {
                std::this_thread::yield();
            }
            if (last) return;
        }
    });
}

// A pairing that runs for ten passes of the modal screen (eleven with the pass that sees it end).
// The screen waits 16 ms between passes on the loop's clock: a helper moves the clock on by
// exactly that each time the screen waits, and stops after the last pass.
class ClockedPairing : public RemotePairing {
public:
    explicit ClockedPairing(ManualClock& clock) : clock_(clock) {}
    ~ClockedPairing() override { helper_ = {}; }
    bool start() override {
        looks_ = 0;
        others_ = clock_.waiters();
        helper_ = paceScreenWaits(clock_, others_, [this] { return looks_ > 10; });
        return true;
    }
    PairingStatus status() const override {
        // The screen does not wait while it asks: every other waiter of the clock is counted.
        others_ = clock_.waiters();
        ++looks_;
        return looks_ <= 10 ? PairingStatus{"Searching", 1, true} : PairingStatus{"Paired", 2, false};
    }
    bool running() const override { return looks_ <= 10; }

private:
    ManualClock& clock_;
    mutable std::atomic<int> looks_{100};
    mutable std::atomic<int> others_{0};
    std::jthread helper_;
};

TEST_F(LoopInput, ThePairingScreenHoldsTheSlideAndLeavesItsLastWord) {
    h.storePlaylist(threeSlides(2));
    ClockedPairing pairing(h.clock);
    h.seams.input.pairing = &pairing;
    int step = 0;
    std::size_t afterPairing = 0;
    onTick = [&](bool framed) {
        if (step == 0 && elapsed() >= 1000) {
            push(key(SDLK_B));
            step = 1;
        } else if (step == 1 && framed) {
            afterPairing = shownFrames.size() - 1;
            step = 2;
        } else if (step == 2 && framed && shownFrames.back().index == 1) {
            ViewHarness::pushQuit();
            step = 3;
        } else if (shownFrames.size() > 3000) {
            ViewHarness::pushQuit();
        }
    };
    EXPECT_EQ(h.run(), 0);
    EXPECT_EQ(step, 3);
    // Eleven passes of 16 ms: the slide's end moved by them.
    const auto next = timeOf(1);
    ASSERT_TRUE(next.has_value());
    EXPECT_GE(*next - shownFrames[0].systemMs, 2000 + 11 * 16);
    EXPECT_LE(*next - shownFrames[0].systemMs, 2000 + 11 * 16 + 50);
    // Over the slide afterwards the final word stays in its box; the picture is gone.
    ASSERT_GT(afterPairing, 0u);
    EXPECT_TRUE(shownFrames[afterPairing].boxAtBottomRight);
    EXPECT_EQ(shownFrames[afterPairing].centre, kRed);
}

// The loop's Bluetooth pairing on the fake tools, as the screens see it through a wrapper that
// moves the loop's clock on by the modal screen's 16 ms each time the screen waits (until the
// pairing has ended), and that notes every text it hands out and when the final one came.
class PacedPairing : public RemotePairing {
public:
    PacedPairing(ManualClock& loopClock, BluetoothPairingSeams seams) : clock_(loopClock), real_(std::move(seams)) {}
    ~PacedPairing() override { helper_ = {}; }
    bool start() override {
        others_ = clock_.waiters();
        // What the panel saw before the key does not count.
        ended_ = false;
        {
            std::lock_guard lock(mutex_);
            seen_.clear();
            finalSeenMs_.reset();
        }
        const bool started = real_.start();
        helper_ = paceScreenWaits(clock_, others_, [this] { return ended_.load(); });
        return started;
    }
    PairingStatus status() const override {
        // The screen does not wait while it asks: every other waiter of the clock is counted.
        others_ = clock_.waiters();
        PairingStatus status = real_.status();
        std::lock_guard lock(mutex_);
        if (seen_.empty() || seen_.back() != status.text) seen_.push_back(status.text);
        if (!status.inProgress && !finalSeenMs_) finalSeenMs_ = clock_.systemMs();
        return status;
    }
    bool running() const override {
        const bool running = real_.running();
        if (!running) ended_ = true;
        return running;
    }

    std::vector<std::string> seen() const {
        std::lock_guard lock(mutex_);
        return seen_;
    }
    bool hasSeen(const std::string& text) const {
        const auto all = seen();
        return std::find(all.begin(), all.end(), text) != all.end();
    }
    std::optional<std::int64_t> finalSeenMs() const {
        std::lock_guard lock(mutex_);
        return finalSeenMs_;
    }
    bool ended() const { return ended_.load(); }

private:
    ManualClock& clock_;
    BluetoothRemotePairing real_;
    mutable std::atomic<int> others_{0};
    mutable std::atomic<bool> ended_{false};
    mutable std::mutex mutex_;
    mutable std::vector<std::string> seen_;
    mutable std::optional<std::int64_t> finalSeenMs_;
    std::jthread helper_;
};

TEST_F(LoopInput, TheBKeyPairsAHandControllerAndTheFinalWordStaysFiveSecondsOverTheSlide) {
    for (const char* tool : {"bluetoothctl", "systemctl"}) ASSERT_TRUE(resolvesToFake(tool)) << tool;
    const std::string address = "AA:BB:CC:DD:EE:01";
    const std::string connected =
        "Device " + address + " (public)\n\tName: Remote\n\tIcon: input-gaming\n\tPaired: yes\n\tBonded: yes\n"
        "\tTrusted: yes\n\tConnected: yes\n";
    FakeTools fakes;
    fakes.answer("bluetoothctl", "--timeout 30 scan on", {.waitForSignal = true});
    fakes.answer("bluetoothctl", "--timeout 3 devices", {.out = "Device " + address + " Remote\n"});
    fakes.answer("bluetoothctl", "--timeout 3 info " + address,
                 {.out = "Device " + address + " (public)\n\tName: Remote\n\tIcon: input-gaming\n\tPaired: no\n"});
    // The verification waits, with its answer written, until the test has seen the pairing text
    // on the screen; its time limit then ends it.
    fakes.answer("bluetoothctl", "info " + address, {.out = connected, .waitForSignal = true});
    TempDir inputs;
    ManualClock pairingClock;
    pairingClock.setAutoAdvance(true);
    BluetoothPairingSeams seams;
    seams.clock = &pairingClock;
    seams.inputDevices = writeTestFile(inputs / "devices", "N: Name=\"Remote\"\n");
    PacedPairing pairing(h.clock, seams);
    h.seams.input.pairing = &pairing;
    std::jthread release([&](std::stop_token stop) {
        while (!stop.stop_requested() && !pairing.hasSeen("Bluetooth: pairing with Remote...")) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (stop.stop_requested() || !fakes.waitUntilWaiting("bluetoothctl", "info " + address)) return;
        pairingClock.advance(35'000);
    });

    h.storePlaylist(threeSlides(30));
    int step = 0;
    std::size_t afterPairing = 0;
    onTick = [&](bool framed) {
        if (step == 0 && elapsed() >= 1000) {
            push(key(SDLK_B));
            step = 1;
        } else if (step == 1 && framed && pairing.ended()) {
            afterPairing = shownFrames.size() - 1;
            step = 2;
        } else if (step == 2 && framed && !shownFrames.back().boxAtBottomRight) {
            ViewHarness::pushQuit();
            step = 3;
        } else if (shownFrames.size() > 3000 || (step > 0 && elapsed() > 60'000)) {
            ViewHarness::pushQuit();
        }
    };
    EXPECT_EQ(h.run(), 0);
    release.request_stop();
    EXPECT_EQ(step, 3);
    const auto seen = pairing.seen();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front(), "Bluetooth: searching for hand controller...");
    EXPECT_TRUE(pairing.hasSeen("Bluetooth: pairing with Remote..."));
    EXPECT_EQ(seen.back(), "Bluetooth controller connected");
    EXPECT_TRUE(fakes.waitForLogLine("bluetoothctl --timeout 5 pairable off"));
    // Over the slide afterwards the final word stays in its box for 5 s; the picture is gone.
    const auto finalMs = pairing.finalSeenMs();
    ASSERT_TRUE(finalMs.has_value());
    ASSERT_GT(afterPairing, 0u);
    EXPECT_EQ(shownFrames[afterPairing].centre, kRed);
    for (std::size_t i = afterPairing; i < shownFrames.size(); ++i) {
        const std::int64_t since = shownFrames[i].systemMs - *finalMs;
        if (since < 5000 - 16) {
            EXPECT_TRUE(shownFrames[i].boxAtBottomRight) << since;
        } else if (since > 5000 + 16) {
            EXPECT_FALSE(shownFrames[i].boxAtBottomRight) << since;
        }
    }
    EXPECT_GE(shownFrames.back().systemMs - *finalMs, 5000 - 16);
    EXPECT_LE(shownFrames.back().systemMs - *finalMs, 5000 + 100);
}

TEST_F(LoopInput, TheLoopPairsThroughABluetoothPairingOfItsOwnUnlessOneIsHandedIn) {
    {
        PlayerLoop loop(h.base.str(), *h.display, "DEVICE1", false, nullptr, nullptr, h.seams);
        EXPECT_NE(dynamic_cast<BluetoothRemotePairing*>(loop.pairing.get()), nullptr);
    }
    ClockedPairing given(h.clock);
    h.seams.input.pairing = &given;
    PlayerLoop loop(h.base.str(), *h.display, "DEVICE1", false, nullptr, nullptr, h.seams);
    EXPECT_EQ(loop.pairing, nullptr);
}

TEST_F(LoopInput, WithoutTheListenerTheLoopGoesOnWithoutTheRemote) {
    h.storePlaylist(threeSlides(1));
    FakeCecIo noAdapter({});
    h.seams.cecListener = deviceCecListener(noAdapter, h.clock);
    onTick = [&](bool framed) {
        if (framed && shownFrames.back().index == 1) ViewHarness::pushQuit();
    };
    EXPECT_EQ(h.run(), 0);
    EXPECT_EQ(errors.lines(), std::vector<std::string>{std::string(ansi::BOLD_RED) + "[CEC]" +
                                                       std::string(ansi::RESET) + " No usable /dev/cec adapter found"});
    EXPECT_TRUE(timeOf(1).has_value());
}

// Waits in real time (at most 5 s) for what another thread does.
bool within5s(const std::function<bool()>& done) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done() && std::chrono::steady_clock::now() < limit) std::this_thread::yield();
    return done();
}

cec_msg cecMessage(std::vector<std::uint8_t> bytes) {
    cec_msg msg{};
    std::copy(bytes.begin(), bytes.end(), msg.msg);
    msg.len = static_cast<std::uint32_t>(bytes.size());
    return msg;
}

TEST_F(LoopInput, TheTelevisionsRemoteAndPowerReportsReachTheLoopThroughTheAdapter) {
    h.storePlaylist(threeSlides(100));
    FakeCecDevice adapter;
    adapter.name = "cec0";
    FakeCecIo io({adapter});
    h.seams.cecListener = deviceCecListener(io, h.clock);
    const auto remote = [&](std::vector<std::uint8_t> bytes) { io.queueReceived("cec0", cecMessage(std::move(bytes))); };

    int standbyWaits = 0;
    const auto wait = h.seams.waitEvent;
    h.seams.waitEvent = [&](SDL_Event& event, int timeoutMs) {
        if (displayStandby && timeoutMs == 250 && ++standbyWaits == 4) remote({0x04, 0x90, 0x02});  // waking
        return wait(event, timeoutMs);
    };
    struct Key {
        Uint32 type;
        SDL_Keycode key;
        bool operator==(const Key&) const = default;
    };
    std::vector<Key> queued;
    int step = 0;
    onTick = [&](bool framed) {
        if (step == 0 && framed && settled()) {
            ASSERT_TRUE(within5s([&] { return !io.modes("cec0").empty(); })) << "the listener holds the adapter";
            for (const std::uint8_t code : {0x01, 0x00, 0x0D}) {  // Up, Select, Exit
                remote({0x04, 0x44, code});
                remote({0x04, 0x45});
            }
            // The loop is held here until all six are on its queue, so none is taken yet.
            SDL_Event events[8];
            ASSERT_TRUE(within5s([&] {
                return SDL_PeepEvents(events, 8, SDL_PEEKEVENT, SDL_EVENT_KEY_DOWN, SDL_EVENT_KEY_UP) == 6;
            }));
            for (int i = 0; i < 6; ++i) queued.push_back({events[i].type, events[i].key.key});
            step = 1;
        } else if (step == 1 && framed) {
            remote({0x04, 0x90, 0x01});  // standby
            ASSERT_TRUE(within5s([] { return displayStandby.load(); }));
            step = 2;
        } else if (step == 2 && framed && !displayStandby) {
            ViewHarness::pushQuit();
            step = 3;
        }
    };
    EXPECT_EQ(h.run(), 0);
    EXPECT_EQ(step, 3);
    const std::vector<Key> expected = {{SDL_EVENT_KEY_DOWN, SDLK_UP},     {SDL_EVENT_KEY_UP, SDLK_UP},
                                       {SDL_EVENT_KEY_DOWN, SDLK_RETURN}, {SDL_EVENT_KEY_UP, SDLK_RETURN},
                                       {SDL_EVENT_KEY_DOWN, SDLK_AC_BACK}, {SDL_EVENT_KEY_UP, SDLK_AC_BACK}};
    EXPECT_EQ(queued, expected);
    EXPECT_GE(standbyWaits, 4) << "the loop waited out the standby until the wake report";
    EXPECT_FALSE(std::filesystem::exists(h.seams.standbyFile));
    // The loop's end stopped the listener and waited for it: the adapter is closed.
    EXPECT_EQ(io.openDescriptors(), 0);
    EXPECT_EQ(io.modes("cec0"), std::vector<std::uint32_t>{CEC_MODE_INITIATOR | CEC_MODE_FOLLOWER});
    EXPECT_TRUE(errors.lines().empty()) << errors.lines().front();
}

}  // namespace
}  // namespace lumetta::player
