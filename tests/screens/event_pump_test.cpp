#include "screens/event_pump.h"

#include <SDL3/SDL.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "core/palette.h"
#include "core/process_state.h"
#include "screens/screen.h"
#include "support/manual_clock.h"
#include "support/overlay_screen.h"

namespace lumetta::screens {
namespace {

using lumetta::testing::ManualClock;
using lumetta::testing::OverlayScreen;

constexpr std::uint32_t kWakeUp = SDL_EVENT_USER + 1;
constexpr std::uint32_t kOtherWakeUp = SDL_EVENT_USER + 3;

SDL_Event event(std::uint32_t type, SDL_Keycode key = 0, SDL_Keymod mod = 0) {
    SDL_Event made;
    SDL_zero(made);
    made.type = type;
    made.key.key = key;
    made.key.mod = mod;
    made.key.down = type == SDL_EVENT_KEY_DOWN;
    return made;
}

SDL_Event removed(SDL_DisplayID display) {
    SDL_Event made = event(SDL_EVENT_DISPLAY_REMOVED);
    made.display.displayID = display;
    return made;
}

TEST(EventPump, QuitAndDisplayRemovalStopTheFlagHandedInAndCtrlReleasesAreSeenByAll) {
    std::atomic<bool> running{true};
    std::ostringstream out;
    EventPump pump(running, out);
    playerRunning = true;
    struct Case {
        SDL_Event event;
        bool stops;
        std::string line;
    } cases[] = {
        {event(SDL_EVENT_QUIT), true, ""},
        {removed(7), true,
         "Display disconnected " + std::string(ansi::BOLD_RED) + "7" + std::string(ansi::RESET) +
             "; exiting for restart\n"},
        {event(SDL_EVENT_KEY_DOWN, SDLK_ESCAPE), false, ""},
        {event(SDL_EVENT_KEY_DOWN, SDLK_ESCAPE, SDL_KMOD_LCTRL), false, ""},  // a screen's to judge
        {event(SDL_EVENT_DISPLAY_ADDED), false, ""},
        {event(kWakeUp), false, ""},
    };
    for (const Case& c : cases) {
        running = true;
        out.str("");
        const PumpedEvent pumped = pump.pass(c.event);
        EXPECT_EQ(pumped.stopsPlayer, c.stops) << std::hex << c.event.type;
        EXPECT_EQ(running.load(), !c.stops) << std::hex << c.event.type;
        EXPECT_EQ(pumped.event.type, c.event.type);
        EXPECT_EQ(out.str(), c.line) << std::hex << c.event.type;
    }
    EXPECT_TRUE(playerRunning) << "only the pump's own flag";

    // A held Ctrl ends with either Ctrl's release, whoever takes it; other key-ups leave it.
    for (const SDL_Keycode release : {SDLK_LCTRL, SDLK_RCTRL}) {
        pump.holdCtrl();
        pump.pass(event(SDL_EVENT_KEY_UP, SDLK_LSHIFT));
        pump.pass(event(SDL_EVENT_KEY_UP, SDLK_ESCAPE));
        EXPECT_TRUE(pump.ctrlHeld());
        pump.pass(event(SDL_EVENT_KEY_UP, release));
        EXPECT_FALSE(pump.ctrlHeld()) << release;
    }
    pump.pass(event(SDL_EVENT_KEY_DOWN, SDLK_LCTRL));
    EXPECT_FALSE(pump.ctrlHeld()) << "a Ctrl key-down is held only when the loop takes it as its own";
}

TEST(EventPump, TakesFromItsSourcesAndPassesWhatItTakes) {
    std::atomic<bool> running{true};
    std::ostringstream out;
    std::vector<int> waits;
    std::vector<std::uint32_t> waiting = {SDL_EVENT_KEY_DOWN, SDL_EVENT_QUIT};
    EventPump pump(
        running, out,
        [&](SDL_Event&, int timeoutMs) {
            waits.push_back(timeoutMs);
            return false;
        },
        [&](SDL_Event& taken) {
            if (waiting.empty()) return false;
            taken.type = waiting.front();
            waiting.erase(waiting.begin());
            return true;
        });
    EXPECT_FALSE(pump.wait(250));
    EXPECT_EQ(waits, std::vector<int>{250});
    const auto key = pump.poll();
    ASSERT_TRUE(key);
    EXPECT_EQ(key->event.type, SDL_EVENT_KEY_DOWN);
    EXPECT_FALSE(key->stopsPlayer);
    const auto quit = pump.poll();
    ASSERT_TRUE(quit);
    EXPECT_TRUE(quit->stopsPlayer);
    EXPECT_FALSE(running);
    EXPECT_FALSE(pump.poll());
}

// A modal screen that keeps what it was given and finishes after a number of passes.
class ScriptedScreen final : public Screen {
public:
    ScreenAnswer takeEvent(const SDL_Event& taken) override {
        taken_.push_back(taken.type);
        if (taken.type == SDL_EVENT_KEY_DOWN && taken.key.key == SDLK_S) return ScreenAnswer::stopPlayer;
        return ScreenAnswer::taken;
    }
    void draw(const ScreenOutput& output) override {
        ++passes;
        EXPECT_NE(output.renderer, nullptr);
        if (onPass) onPass(passes);
    }
    bool finished() const override { return passes >= passesWanted; }

    int passes = 0;
    int passesWanted = 3;
    std::function<void(int pass)> onPass;
    std::vector<std::uint32_t> taken_;
};

class ModalScreenTest : public ::testing::Test {
protected:
    ModalScreenTest() : screen_(160, 90) {
        SDL_FlushEvents(SDL_EVENT_FIRST, SDL_EVENT_LAST);
        clock_.setAutoAdvance(true);
        playerRunning = true;
    }
    ~ModalScreenTest() override {
        playerRunning = true;
        SDL_FlushEvents(SDL_EVENT_FIRST, SDL_EVENT_LAST);
    }

    static void push(const SDL_Event& made) {
        SDL_Event copy = made;
        ASSERT_TRUE(SDL_PushEvent(&copy)) << SDL_GetError();
    }
    ModalPace pace() {
        ModalPace p;
        p.clock = &clock_;
        p.frameGapMs = 16;
        return p;
    }

    OverlayScreen screen_;
    ManualClock clock_;
    std::atomic<bool> running_{true};
    std::ostringstream out_;
    EventPump events_{running_, out_, {}, {}, {kWakeUp, kOtherWakeUp}};
};

TEST_F(ModalScreenTest, RunsUntilFinishedAndLeavesTheLoopItsWakeUpsButNoHeldKey) {
    // Ctrl held before the screen and never let go on it: a later Escape alone must not quit.
    events_.holdCtrl();
    ScriptedScreen screen;
    screen.onPass = [](int pass) {
        if (pass == 1) {
            push(event(kOtherWakeUp));
            push(event(SDL_EVENT_KEY_DOWN, SDLK_RIGHT));
            push(event(kWakeUp));
            push(event(kWakeUp));
            push(event(SDL_EVENT_FINGER_DOWN));
        }
    };
    const std::int64_t t0 = clock_.steadyMs();
    EXPECT_EQ(runModalScreen(screen, events_, *screen_.display(), pace()), ModalEnd::finished);
    EXPECT_EQ(screen.passes, 3);
    EXPECT_EQ(clock_.steadyMs() - t0, 3 * 16);
    EXPECT_EQ(screen.taken_, (std::vector<std::uint32_t>{kOtherWakeUp, SDL_EVENT_KEY_DOWN, kWakeUp, kWakeUp,
                                                         SDL_EVENT_FINGER_DOWN}));
    EXPECT_TRUE(running_);
    EXPECT_FALSE(events_.ctrlHeld());
    std::vector<std::uint32_t> left;
    SDL_Event waiting;
    while (SDL_PollEvent(&waiting)) left.push_back(waiting.type);
    EXPECT_EQ(left, (std::vector<std::uint32_t>{kWakeUp, kOtherWakeUp})) << "each once, for the loop";
}

TEST_F(ModalScreenTest, QuitDisplayRemovalCtrlEscapeAndTheScreensOwnStopEndItThroughThePumpsFlag) {
    const SDL_Event endings[] = {event(SDL_EVENT_QUIT), removed(4),
                                 event(SDL_EVENT_KEY_DOWN, SDLK_ESCAPE, SDL_KMOD_RCTRL),
                                 event(SDL_EVENT_KEY_DOWN, SDLK_S)};
    for (const SDL_Event& ending : endings) {
        running_ = true;
        out_.str("");
        ScriptedScreen screen;
        screen.passesWanted = 100;
        push(ending);
        EXPECT_EQ(runModalScreen(screen, events_, *screen_.display(), pace()), ModalEnd::quit) << std::hex
                                                                                               << ending.type;
        EXPECT_EQ(screen.passes, 1) << "ends after the pass that took it";
        EXPECT_FALSE(running_);
        EXPECT_TRUE(playerRunning) << "only the pump's own flag";
        EXPECT_EQ(out_.str().empty(), ending.type != SDL_EVENT_DISPLAY_REMOVED) << out_.str();
    }

    // Stopped from elsewhere: the pass under way is the last.
    running_ = false;
    ScriptedScreen screen;
    screen.passesWanted = 100;
    EXPECT_EQ(runModalScreen(screen, events_, *screen_.display(), pace()), ModalEnd::stopped);
    EXPECT_EQ(screen.passes, 1);
}

}  // namespace
}  // namespace lumetta::screens
