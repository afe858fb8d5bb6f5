#include "player/player_input.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "core/palette.h"
#include "core/process_state.h"
#include "link/player_events.h"
#include "support/manual_clock.h"
#include "support/overlay_screen.h"

namespace lumetta::player {
namespace {

using lumetta::testing::kOrange;
using screens::PairingStatus;
using screens::PlaylistChoice;
using screens::RemotePairing;
using lumetta::testing::ManualClock;
using lumetta::testing::OverlayScreen;

SDL_Event keyEvent(SDL_EventType type, SDL_Keycode key, bool repeat = false) {
    SDL_Event event;
    SDL_zero(event);
    event.type = type;
    event.key.key = key;
    event.key.down = type == SDL_EVENT_KEY_DOWN;
    event.key.repeat = repeat;
    return event;
}
SDL_Event down(SDL_Keycode key, bool repeat = false) { return keyEvent(SDL_EVENT_KEY_DOWN, key, repeat); }
SDL_Event up(SDL_Keycode key) { return keyEvent(SDL_EVENT_KEY_UP, key); }

SDL_Event finger(SDL_EventType type, SDL_FingerID id, float x, float y) {
    SDL_Event event;
    SDL_zero(event);
    event.type = type;
    event.tfinger.fingerID = id;
    event.tfinger.x = x;
    event.tfinger.y = y;
    return event;
}

SDL_Event plain(std::uint32_t type, SDL_DisplayID display = 0) {
    SDL_Event event;
    SDL_zero(event);
    event.type = type;
    event.display.displayID = display;
    return event;
}

DisplayMode mode(int w, int h, float rate, bool current = false) {
    DisplayMode m;
    m.width = w, m.height = h, m.refreshRate = rate, m.current = current;
    return m;
}

class FakePairing : public RemotePairing {
public:
    bool start() override {
        ++starts;
        looks = 0;
        return true;
    }
    PairingStatus status() const override {
        ++looks;
        return looks <= passes ? PairingStatus{"Searching", 1, true} : PairingStatus{"Paired", 2, false};
    }
    bool running() const override { return looks <= passes; }

    int starts = 0;
    int passes = 3;
    mutable int looks = 0;
};

class PlayerInputTest : public ::testing::Test {
protected:
    PlayerInputTest() : screen_(640, 360) {
        playerRunning = true;
        clock_.setAutoAdvance(true);
        SDL_FlushEvents(SDL_EVENT_FIRST, SDL_EVENT_LAST);
    }
    ~PlayerInputTest() override {
        playerRunning = true;
        SDL_FlushEvents(SDL_EVENT_FIRST, SDL_EVENT_LAST);
    }

    InputSeams seams() {
        InputSeams s;
        s.clock = &clock_;
        s.playlists = [this] { return offered_; };
        s.sendPlaylistUpdate = [this](const std::string& id) {
            sent_.push_back(id);
            return sendSucceeds_;
        };
        s.chooseMode = [this](const DisplayMode& m) { chosen_.push_back(m); };
        s.modes = [this] { return modes_; };
        s.requestScreenshot = [this](const std::string& directory) { screenshots_.push_back(directory); };
        s.screenshotDirectory = "/data/lumetta";
        s.push = [this](SDL_Event& event) {
            pushed_.push_back(event);
            return true;
        };
        s.running = &running_;
        s.standby = &standby_;
        s.out = &out_;
        s.errors = &errors_;
        return s;
    }

    // An input with both menus for a 1920 x 1080 first slide.
    std::unique_ptr<PlayerInput> input(InputSeams s) {
        auto made = std::make_unique<PlayerInput>(screen_.display(), std::move(s));
        made->rebuildMenus(1920, 1080);
        return made;
    }
    std::unique_ptr<PlayerInput> input() { return input(seams()); }

    OverlayScreen screen_;
    ManualClock clock_;
    std::vector<PlaylistChoice> offered_ = {{"Lobby", "a"}, {"Menu board", "b"}, {"Night", "c"}};
    std::vector<DisplayMode> modes_ = {mode(1920, 1080, 60, true), mode(1280, 720, 60), mode(3840, 2160, 30)};
    std::vector<std::string> sent_;
    bool sendSucceeds_ = true;
    std::vector<DisplayMode> chosen_;
    std::vector<std::string> screenshots_;
    std::vector<SDL_Event> pushed_;
    std::atomic<bool> running_{true};
    std::atomic<bool> standby_{false};
    std::ostringstream out_;
    std::ostringstream errors_;
    SlideOnScreen slide_{2, 5, false, {}};
};

// Feeds `keys` and tells what the last one did and which menus are open.
struct Routed {
    InputOutcome last;
    bool playlistOpen = false, resolutionOpen = false;
};
Routed feed(PlayerInput& input, const std::vector<SDL_Event>& events, const SlideOnScreen& slide) {
    Routed routed;
    for (const SDL_Event& event : events) routed.last = input.handleSlideEvent(event, slide);
    routed.playlistOpen = input.playlistMenu()->isOpen();
    routed.resolutionOpen = input.resolutionMenu()->isOpen();
    return routed;
}

TEST_F(PlayerInputTest, KeysGoToTheMenusFirst) {
    struct Case {
        const char* what;
        std::vector<SDL_Event> keys;
        bool playlistOpen, resolutionOpen;
        bool endSlide, stopPlayer;
        std::optional<int> nextIndex;
    } cases[] = {
        {"Return opens the playlist menu", {down(SDLK_RETURN)}, true, false, false, false, {}},
        {"keypad Enter too", {down(SDLK_KP_ENTER)}, true, false, false, false, {}},
        {"a held Return is swallowed", {down(SDLK_RETURN, true)}, false, false, false, false, {}},
        {"'r' opens the resolution menu", {down(SDLK_R)}, false, true, false, false, {}},
        {"a held 'r' opens nothing", {down(SDLK_R, true)}, false, false, false, false, {}},
        {"'r' inside the playlist menu stays there", {down(SDLK_RETURN), down(SDLK_R)}, true, false, false, false, {}},
        {"Return inside the resolution menu applies there",
         {down(SDLK_R), down(SDLK_RETURN)}, false, false, false, false, {}},
        {"arrows move inside a menu, not the slides", {down(SDLK_RETURN), down(SDLK_RIGHT), down(SDLK_LEFT)},
         true, false, false, false, {}},
        {"Escape closes a menu", {down(SDLK_RETURN), down(SDLK_ESCAPE)}, false, false, false, false, {}},
        {"Ctrl+Escape closes a menu and the player runs on",
         {down(SDLK_LCTRL), down(SDLK_RETURN), down(SDLK_ESCAPE)}, false, false, false, false, {}},
        {"Ctrl pressed inside the menu is the menu's",
         {down(SDLK_RETURN), down(SDLK_LCTRL), down(SDLK_ESCAPE), down(SDLK_ESCAPE)}, false, false, false, false, {}},
        {"remote Exit closes the menu", {down(SDLK_AC_BACK)}, false, false, false, false, {}},
        {"without a menu the arrows navigate", {down(SDLK_RETURN), down(SDLK_BACKSPACE), down(SDLK_RIGHT)},
         false, false, true, false, 3},
    };
    for (const Case& c : cases) {
        auto in = input();
        const Routed routed = feed(*in, c.keys, slide_);
        EXPECT_EQ(routed.playlistOpen, c.playlistOpen) << c.what;
        EXPECT_EQ(routed.resolutionOpen, c.resolutionOpen) << c.what;
        EXPECT_EQ(routed.last.endSlide, c.endSlide) << c.what;
        EXPECT_EQ(routed.last.stopPlayer, c.stopPlayer) << c.what;
        EXPECT_EQ(routed.last.nextIndex, c.nextIndex) << c.what;
    }
    EXPECT_TRUE(sent_.empty());
    EXPECT_TRUE(chosen_.empty()) << "Return on the mode in use only closes the menu";
}

TEST_F(PlayerInputTest, ConfirmedChoicesAreSentOrApplied) {
    auto in = input();
    feed(*in, {down(SDLK_RETURN), down(SDLK_DOWN), down(SDLK_RETURN)}, slide_);
    EXPECT_EQ(sent_, std::vector<std::string>{"b"});
    EXPECT_EQ(errors_.str(), "");

    // A request that cannot be queued is logged; the menu is closed and the slide stays.
    sendSucceeds_ = false;
    const Routed failed = feed(*in, {down(SDLK_RETURN), down(SDLK_UP), down(SDLK_RETURN)}, slide_);
    EXPECT_EQ(sent_, (std::vector<std::string>{"b", "a"}));
    EXPECT_EQ(errors_.str(), "[PLAYLIST] Failed to send playlist update\n");
    EXPECT_FALSE(failed.playlistOpen);
    EXPECT_FALSE(failed.last.endSlide);
    EXPECT_TRUE(failed.last.redraw);

    // The resolution menu starts on the mode in use; another mode is handed on once.
    feed(*in, {down(SDLK_R), down(SDLK_DOWN), down(SDLK_RETURN, true), down(SDLK_RETURN)}, slide_);
    ASSERT_EQ(chosen_.size(), 1u);
    EXPECT_EQ(chosen_[0].width, 1280);
    EXPECT_EQ(chosen_[0].height, 720);
    feed(*in, {down(SDLK_R), down(SDLK_RETURN)}, slide_);
    EXPECT_EQ(chosen_.size(), 1u) << "the mode in use changes nothing";
}

TEST_F(PlayerInputTest, MenusNeedAFirstSlide) {
    auto in = std::make_unique<PlayerInput>(screen_.display(), seams());
    in->rebuildMenus(nullptr);
    EXPECT_EQ(in->playlistMenu(), nullptr);
    EXPECT_EQ(in->resolutionMenu(), nullptr);
    EXPECT_EQ(errors_.str(), std::string(ansi::BOLD_RED) + "Playlist menu exception: no playlist" +
                                 std::string(ansi::RESET) + "\nResolution menu exception: no playlist\n");
    // Their keys then reach the global table, where they do nothing.
    for (SDL_Keycode key : {SDLK_RETURN, SDLK_KP_ENTER, SDLK_R}) {
        const InputOutcome outcome = in->handleSlideEvent(down(key), slide_);
        EXPECT_FALSE(outcome.endSlide || outcome.redraw || outcome.nextIndex) << key;
    }
    EXPECT_FALSE(in->tickMenus());
    in->drawMenus();

    // A rebuild places them 40 pixels in from the first slide's edges; an open menu closes.
    in->rebuildMenus(1920, 1080);
    ASSERT_NE(in->playlistMenu(), nullptr);
    EXPECT_EQ(in->playlistMenu()->rows(), 13);
    EXPECT_EQ(in->resolutionMenu()->rows(), 17);
    in->handleSlideEvent(down(SDLK_RETURN), slide_);
    EXPECT_TRUE(in->playlistMenu()->isOpen());
    in->rebuildMenus(1280, 720);
    EXPECT_FALSE(in->playlistMenu()->isOpen());
    EXPECT_EQ(in->playlistMenu()->rows(), (640 - 128) / 64);
}

TEST_F(PlayerInputTest, OpenMenusCountDownAndCloseAfterFifteenSeconds) {
    clock_.setAutoAdvance(false);
    auto in = input();
    EXPECT_FALSE(in->tickMenus());
    in->handleSlideEvent(down(SDLK_RETURN), slide_);
    EXPECT_FALSE(in->tickMenus()) << "the banner already shows 15";
    EXPECT_EQ(in->playlistMenu()->shownSeconds(), 15);
    clock_.advance(1000);
    EXPECT_TRUE(in->tickMenus());
    EXPECT_EQ(in->playlistMenu()->shownSeconds(), 14);
    clock_.advance(13999);
    EXPECT_TRUE(in->tickMenus());
    EXPECT_EQ(in->playlistMenu()->shownSeconds(), 1);
    clock_.advance(1);
    EXPECT_TRUE(in->tickMenus());
    EXPECT_FALSE(in->playlistMenu()->isOpen());
    EXPECT_FALSE(in->tickMenus());
}

TEST_F(PlayerInputTest, NavigationCtrlAndEscape) {
    struct Case {
        const char* what;
        std::vector<SDL_Event> keys;
        int index, count;
        bool endSlide, stopPlayer;
        std::optional<int> nextIndex;
    } cases[] = {
        {"Left on the first shows the last", {down(SDLK_LEFT)}, 0, 5, true, false, 4},
        {"Right on the last shows the first", {down(SDLK_RIGHT)}, 4, 5, true, false, 0},
        {"Up on the first does nothing", {down(SDLK_UP)}, 0, 5, false, false, {}},
        {"Down on the last does nothing", {down(SDLK_DOWN)}, 4, 5, false, false, {}},
        {"Up elsewhere goes to the first", {down(SDLK_UP)}, 3, 5, true, false, 0},
        {"End goes to the last", {down(SDLK_END)}, 4, 5, true, false, 4},
        {"a held arrow moves once", {down(SDLK_RIGHT, true)}, 1, 5, false, false, {}},
        {"one slide restarts", {down(SDLK_LEFT)}, 0, 1, true, false, 0},
        {"Escape alone never quits", {down(SDLK_ESCAPE)}, 1, 5, false, false, {}},
        {"Ctrl down, Escape quits", {down(SDLK_LCTRL), down(SDLK_ESCAPE)}, 1, 5, true, true, {}},
        {"right Ctrl too, held or not", {down(SDLK_RCTRL), down(SDLK_RCTRL, true), down(SDLK_ESCAPE, true)}, 1, 5,
         true, true, {}},
        {"Ctrl down, Ctrl up, Escape does nothing", {down(SDLK_LCTRL), up(SDLK_LCTRL), down(SDLK_ESCAPE)}, 1, 5,
         false, false, {}},
        {"either Ctrl's release ends it", {down(SDLK_LCTRL), up(SDLK_RCTRL), down(SDLK_ESCAPE)}, 1, 5, false, false,
         {}},
        {"other key-ups do not", {down(SDLK_LCTRL), up(SDLK_ESCAPE), up(SDLK_LSHIFT), down(SDLK_ESCAPE)}, 1, 5, true,
         true, {}},
    };
    for (const Case& c : cases) {
        auto in = input();
        const SlideOnScreen slide{c.index, c.count, false, {}};
        InputOutcome last;
        for (const SDL_Event& event : c.keys) last = in->handleSlideEvent(event, slide);
        EXPECT_EQ(last.endSlide, c.endSlide) << c.what;
        EXPECT_EQ(last.stopPlayer, c.stopPlayer) << c.what;
        EXPECT_EQ(last.nextIndex, c.nextIndex) << c.what;
    }
}

TEST_F(PlayerInputTest, ScreenshotAndWifiWithoutTheirPieces) {
    auto in = input();
    in->handleSlideEvent(down(SDLK_PRINTSCREEN), slide_);
    in->handleSlideEvent(down(SDLK_PRINTSCREEN, true), slide_);
    EXPECT_EQ(screenshots_, std::vector<std::string>{"/data/lumetta"});

    const InputOutcome wifi = in->handleSlideEvent(down(SDLK_W), slide_);
    EXPECT_FALSE(wifi.endSlide);
    EXPECT_FALSE(in->wifiRequested());
    EXPECT_EQ(errors_.str(), "[PLAYER] Wi-Fi set-up is not available yet\n");
    // The same on the waiting screen.
    in->handleWaitingEvent(down(SDLK_W));
    EXPECT_EQ(errors_.str(), "[PLAYER] Wi-Fi set-up is not available yet\n[PLAYER] Wi-Fi set-up is not available yet\n");
}

TEST_F(PlayerInputTest, SwipesComeBackAsKeysAndTapsPause) {
    auto in = input();
    // A swipe queues its key; fed back it navigates like the key.
    // The fingers themselves change nothing on screen: no reason to draw for them.
    const InputOutcome fingerDown = in->handleSlideEvent(finger(SDL_EVENT_FINGER_DOWN, 3, 0.9f, 0.5f), slide_);
    EXPECT_TRUE(fingerDown.unseen && !fingerDown.redraw);
    const InputOutcome other = in->handleSlideEvent(finger(SDL_EVENT_FINGER_UP, 4, 0.1f, 0.5f), slide_);
    EXPECT_TRUE(other.unseen && !other.redraw) << "another finger";
    const InputOutcome swipe = in->handleSlideEvent(finger(SDL_EVENT_FINGER_UP, 3, 0.1f, 0.5f), slide_);
    EXPECT_FALSE(swipe.endSlide) << "the key comes back through the queue";
    EXPECT_TRUE(swipe.unseen && !swipe.redraw);
    ASSERT_EQ(pushed_.size(), 1u);
    EXPECT_EQ(pushed_[0].key.key, SDLK_LEFT);
    EXPECT_EQ(in->handleSlideEvent(pushed_[0], slide_).nextIndex, 1);

    // Inside an open menu a swipe moves the highlight.
    in->handleSlideEvent(down(SDLK_RETURN), slide_);
    in->handleSlideEvent(finger(SDL_EVENT_FINGER_DOWN, 3, 0.5f, 0.2f), slide_);
    in->handleSlideEvent(finger(SDL_EVENT_FINGER_UP, 3, 0.5f, 0.9f), slide_);
    ASSERT_EQ(pushed_.size(), 2u);
    EXPECT_EQ(pushed_[1].key.key, SDLK_END);
    const InputOutcome inMenu = in->handleSlideEvent(pushed_[1], slide_);
    EXPECT_FALSE(inMenu.nextIndex);
    EXPECT_EQ(in->playlistMenu()->selected(), 2u);
    in->handleSlideEvent(down(SDLK_ESCAPE), slide_);

    // A tap on a video slide does nothing.
    const SlideOnScreen video{2, 5, true, {}};
    in->handleSlideEvent(finger(SDL_EVENT_FINGER_DOWN, 5, 0.5f, 0.5f), video);
    const InputOutcome onVideo = in->handleSlideEvent(finger(SDL_EVENT_FINGER_UP, 5, 0.52f, 0.5f), video);
    EXPECT_FALSE(onVideo.redraw);
    EXPECT_FALSE(in->paused());
    EXPECT_FALSE(in->pauseSecondsChanged());

    // Elsewhere it pauses for 60 s; the box counts down to 1 and goes.
    clock_.setAutoAdvance(false);
    in->handleSlideEvent(finger(SDL_EVENT_FINGER_DOWN, 5, 0.5f, 0.5f), slide_);
    const InputOutcome tap = in->handleSlideEvent(finger(SDL_EVENT_FINGER_UP, 5, 0.5f, 0.55f), slide_);
    EXPECT_TRUE(tap.redraw);
    EXPECT_FALSE(tap.unseen);
    EXPECT_EQ(tap.slideEndShiftMs, 60000u);
    EXPECT_TRUE(in->paused());
    EXPECT_TRUE(in->pauseSecondsChanged());
    EXPECT_EQ(in->pause().secondsShown, 60);
    EXPECT_FALSE(in->pauseSecondsChanged());

    // A manual slide change keeps the pause.
    clock_.advance(20000);
    EXPECT_EQ(in->handleSlideEvent(down(SDLK_RIGHT), slide_).nextIndex, 3);
    EXPECT_TRUE(in->paused());
    EXPECT_TRUE(in->pauseSecondsChanged());
    EXPECT_EQ(in->pause().secondsShown, 40);

    // A second tap restarts the 60 s and moves the end by what it adds.
    in->handleSlideEvent(finger(SDL_EVENT_FINGER_DOWN, 6, 0.5f, 0.5f), slide_);
    EXPECT_EQ(in->handleSlideEvent(finger(SDL_EVENT_FINGER_UP, 6, 0.5f, 0.5f), slide_).slideEndShiftMs, 20000u);
    clock_.advance(59000);
    EXPECT_TRUE(in->pauseSecondsChanged());
    EXPECT_EQ(in->pause().secondsShown, 1);
    clock_.advance(999);
    EXPECT_FALSE(in->pauseSecondsChanged());
    EXPECT_TRUE(in->paused());
    clock_.advance(1);
    EXPECT_FALSE(in->paused());
    EXPECT_TRUE(in->pauseSecondsChanged());
    EXPECT_EQ(in->pause().secondsShown, 0);
}

TEST_F(PlayerInputTest, WakeUpsDisplaysAndQuit) {
    auto in = input();
    struct Case {
        SDL_Event event;
        bool standby;
        bool endSlide, stopPlayer;
        std::string out;
    } cases[] = {
        {plain(playlistReadyEvent), false, true, false, ""},
        {plain(groupChangedEvent), false, false, false, ""},
        {plain(standbyChangedEvent), true, true, false, ""},
        {plain(standbyChangedEvent), false, false, false, ""},  // awake again: the slide goes on
        {plain(SDL_EVENT_QUIT), false, true, true, ""},
        {plain(SDL_EVENT_DISPLAY_ADDED, 7), false, false, false,
         "Display Connected " + std::string(ansi::BOLD_GREEN) + "7" + std::string(ansi::RESET) + "\n"},
        {plain(SDL_EVENT_DISPLAY_REMOVED, 7), false, true, true,
         "Display disconnected " + std::string(ansi::BOLD_RED) + "7" + std::string(ansi::RESET) +
             "; exiting for restart\n"},
        {plain(SDL_EVENT_DISPLAY_MOVED, 7), false, false, false, ""},
        {plain(SDL_EVENT_MOUSE_MOTION), false, false, false, ""},
        {plain(SDL_EVENT_FINGER_MOTION), false, false, false, ""},
    };
    for (const Case& c : cases) {
        standby_ = c.standby;
        out_.str("");
        const InputOutcome outcome = in->handleSlideEvent(c.event, slide_);
        EXPECT_EQ(outcome.endSlide, c.endSlide) << std::hex << c.event.type;
        EXPECT_EQ(outcome.stopPlayer, c.stopPlayer) << std::hex << c.event.type;
        EXPECT_FALSE(outcome.redraw || outcome.nextIndex) << std::hex << c.event.type;
        EXPECT_EQ(out_.str(), c.out) << std::hex << c.event.type;
    }
}

TEST_F(PlayerInputTest, TheWaitingScreenTakesOnlyItsFewKeys) {
    int wifiRuns = 0;
    InputSeams s = seams();
    s.wifiSetup = [&] { ++wifiRuns; };
    auto in = input(std::move(s));
    for (SDL_Keycode key : {SDLK_RIGHT, SDLK_LEFT, SDLK_HOME, SDLK_END, SDLK_UP, SDLK_DOWN, SDLK_RETURN, SDLK_R,
                            SDLK_ESCAPE}) {
        const InputOutcome outcome = in->handleWaitingEvent(down(key));
        EXPECT_FALSE(outcome.endSlide || outcome.nextIndex || outcome.stopPlayer) << key;
    }
    EXPECT_FALSE(in->playlistMenu()->isOpen()) << "the menus are not asked";
    EXPECT_FALSE(in->resolutionMenu()->isOpen());
    for (const SDL_Event& event : {plain(playlistReadyEvent), plain(standbyChangedEvent),
                                   finger(SDL_EVENT_FINGER_DOWN, 1, 0.5f, 0.5f),
                                   finger(SDL_EVENT_FINGER_UP, 1, 0.5f, 0.5f), plain(SDL_EVENT_DISPLAY_ADDED, 3)}) {
        const InputOutcome outcome = in->handleWaitingEvent(event);
        EXPECT_FALSE(outcome.endSlide || outcome.stopPlayer || outcome.redraw) << std::hex << event.type;
    }
    EXPECT_FALSE(in->paused()) << "no pause on the waiting screen";
    EXPECT_EQ(out_.str(), "") << "display additions are not logged there";

    in->handleWaitingEvent(down(SDLK_W));
    EXPECT_EQ(wifiRuns, 1) << "the set-up runs at once";
    EXPECT_FALSE(in->wifiRequested());
    in->handleWaitingEvent(down(SDLK_PRINTSCREEN));
    EXPECT_EQ(screenshots_.size(), 1u);

    in->handleWaitingEvent(down(SDLK_LCTRL));
    const InputOutcome quit = in->handleWaitingEvent(down(SDLK_ESCAPE));
    EXPECT_TRUE(quit.stopPlayer);
    EXPECT_TRUE(in->handleWaitingEvent(plain(SDL_EVENT_QUIT)).stopPlayer);
    const InputOutcome removed = in->handleWaitingEvent(plain(SDL_EVENT_DISPLAY_REMOVED, 9));
    EXPECT_TRUE(removed.stopPlayer);
    EXPECT_EQ(out_.str(), "Display disconnected " + std::string(ansi::BOLD_RED) + "9" + std::string(ansi::RESET) +
                              "; exiting for restart\n");
}

TEST_F(PlayerInputTest, PairingHoldsTheSlideAndShiftsItsClocks) {
    FakePairing pairing;
    InputSeams s = seams();
    s.pairing = &pairing;
    auto in = input(std::move(s));
    std::vector<bool> videoCalls;
    const SlideOnScreen slide{1, 5, false, [&](bool paused) { videoCalls.push_back(paused); }};

    const InputOutcome outcome = in->handleSlideEvent(down(SDLK_B), slide);
    EXPECT_EQ(pairing.starts, 1);
    EXPECT_EQ(videoCalls, (std::vector<bool>{true, false}));
    EXPECT_EQ(outcome.clockShiftMs, 4u * 16) << "four passes of the modal screen";
    EXPECT_EQ(outcome.endShiftMs, 4u * 16);
    EXPECT_FALSE(outcome.endSlide);
    EXPECT_TRUE(playerRunning);
    // After it the final word stays 5 s over the slides, the picture is gone at once.
    EXPECT_FALSE(in->pairingPanel().showHelp);
    EXPECT_TRUE(in->pairingPanel().showStatus);
    EXPECT_EQ(in->pairingPanel().statusText, "Paired");
    clock_.setAutoAdvance(false);
    EXPECT_FALSE(in->updatePairingPanel());
    clock_.advance(5000);
    EXPECT_TRUE(in->updatePairingPanel());
    EXPECT_FALSE(in->pairingPanel().showStatus);

    clock_.setAutoAdvance(true);
    // Ctrl pressed before the screen and let go on it (the release never reaches the loop): a
    // later Escape alone does not quit; a Ctrl still held repeats and Escape quits again.
    in->handleSlideEvent(down(SDLK_LCTRL), slide);
    in->handleSlideEvent(down(SDLK_B), slide);
    EXPECT_FALSE(in->ctrlHeld());
    EXPECT_FALSE(in->handleSlideEvent(down(SDLK_ESCAPE), slide).stopPlayer);
    in->handleSlideEvent(down(SDLK_LCTRL, true), slide);
    EXPECT_TRUE(in->handleSlideEvent(down(SDLK_ESCAPE), slide).stopPlayer);
    in->handleSlideEvent(up(SDLK_LCTRL), slide);

    // Inside a touch pause the end moves only by what the pause did not cover.
    in->handleSlideEvent(finger(SDL_EVENT_FINGER_DOWN, 1, 0.5f, 0.5f), slide);
    in->handleSlideEvent(finger(SDL_EVENT_FINGER_UP, 1, 0.5f, 0.5f), slide);
    const InputOutcome paused = in->handleSlideEvent(down(SDLK_B), slide);
    EXPECT_EQ(paused.clockShiftMs, 4u * 16);
    EXPECT_EQ(paused.endShiftMs, 0u);

    // A quit on the pairing screen stops the player.
    pairing.passes = 1000;
    SDL_Event quit = plain(SDL_EVENT_QUIT);
    ASSERT_TRUE(SDL_PushEvent(&quit));
    const InputOutcome stopped = in->handleSlideEvent(down(SDLK_B), slide);
    EXPECT_TRUE(stopped.endSlide);
    EXPECT_TRUE(stopped.stopPlayer);
    EXPECT_FALSE(running_) << "the loop's own running flag";
    EXPECT_TRUE(playerRunning);

    // Stopped from elsewhere meanwhile (the loop's flag cleared), the screen ends too.
    running_ = false;
    const InputOutcome elsewhere = in->handleSlideEvent(down(SDLK_B), slide);
    EXPECT_FALSE(elsewhere.stopPlayer);
    EXPECT_EQ(pairing.looks, 1) << "no pass beyond the one under way";
}

TEST_F(PlayerInputTest, PairingPanelAndPauseBoxAreDrawnOverTheFrame) {
    FakePairing pairing;
    pairing.passes = 1000;
    InputSeams s = seams();
    s.pairing = &pairing;
    auto in = input(std::move(s));
    clock_.setAutoAdvance(false);
    pairing.start();
    EXPECT_TRUE(in->updatePairingPanel());
    screen_.clear();
    in->drawPairingPanel(screen_.renderer(), 640, 360, 0);
    const auto withHelp = screen_.capture();
    EXPECT_EQ(lumetta::testing::countIn(withHelp, {0, 0, 640, 360}, lumetta::testing::kBackdrop), 0)
        << "the picture covers the frame";
    EXPECT_GT(lumetta::testing::countIn(withHelp, {0, 300, 640, 60}, kOrange), 0) << "the status box";

    in->handleSlideEvent(finger(SDL_EVENT_FINGER_DOWN, 1, 0.5f, 0.5f), slide_);
    in->handleSlideEvent(finger(SDL_EVENT_FINGER_UP, 1, 0.5f, 0.5f), slide_);
    screen_.clear();
    in->drawPause(screen_.renderer(), 640, 360);
    EXPECT_GT(lumetta::testing::countIn(screen_.capture(), {0, 300, 640, 60}, kOrange), 0);
    clock_.advance(60000);
    screen_.clear();
    in->drawPause(screen_.renderer(), 640, 360);
    EXPECT_EQ(lumetta::testing::countIn(screen_.capture(), {0, 0, 640, 360}, kOrange), 0) << "the pause is over";
}

TEST_F(PlayerInputTest, AfterTheCycleStandbyAndWifi) {
    int wifiRuns = 0, destroyed = 0, waits = 0;
    InputSeams s = seams();
    s.wifiSetup = [&] { ++wifiRuns; };
    std::vector<std::uint32_t> script;
    s.waitEvent = [&](SDL_Event& event, int) {
        const std::size_t at = static_cast<std::size_t>(waits++);
        if (at < script.size()) {
            SDL_zero(event);
            event.type = script[at];
            return true;
        }
        standby_ = false;  // the television wakes
        return false;
    };
    auto in = input(std::move(s));
    const auto destroy = [&] { ++destroyed; };

    // Nothing asked: nothing done.
    AfterCycleOutcome none = in->afterCycle(destroy);
    EXPECT_FALSE(none.restartSlide);
    EXPECT_EQ(destroyed, 0);

    // Standby: the layers go, events are dropped until the television wakes, the slide restarts.
    standby_ = true;
    script = {SDL_EVENT_KEY_DOWN, playlistReadyEvent, SDL_EVENT_FINGER_UP};
    AfterCycleOutcome woke = in->afterCycle(destroy);
    EXPECT_TRUE(woke.restartSlide);
    EXPECT_FALSE(woke.fadeFromBlack);
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(waits, 4);
    EXPECT_TRUE(running_);

    // A quit in standby ends the player.
    standby_ = true;
    waits = 0;
    script = {SDL_EVENT_QUIT};
    EXPECT_FALSE(in->afterCycle(destroy).restartSlide);
    EXPECT_FALSE(running_);
    EXPECT_TRUE(standby_);
    running_ = true;
    standby_ = false;

    // 'w' ends the slide; the set-up runs after its cycle and the slide starts again.
    const InputOutcome w = in->handleSlideEvent(down(SDLK_W), slide_);
    EXPECT_TRUE(w.endSlide);
    EXPECT_FALSE(w.nextIndex);
    EXPECT_TRUE(in->wifiRequested());
    destroyed = 0;
    AfterCycleOutcome wifi = in->afterCycle(destroy);
    EXPECT_EQ(wifiRuns, 1);
    EXPECT_EQ(destroyed, 1);
    EXPECT_TRUE(wifi.restartSlide);
    EXPECT_TRUE(wifi.fadeFromBlack);
    EXPECT_FALSE(in->wifiRequested());
    EXPECT_FALSE(in->afterCycle(destroy).restartSlide) << "once";

    // A player stopped meanwhile does not open it.
    in->handleSlideEvent(down(SDLK_W), slide_);
    running_ = false;
    in->afterCycle(destroy);
    EXPECT_EQ(wifiRuns, 1);
    EXPECT_FALSE(in->wifiRequested());
}

}  // namespace
}  // namespace lumetta::player
