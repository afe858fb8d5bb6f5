#pragma once
// Everything a person at the screen (or the television's remote control) does to the player
// loop, and the overlays that answer: the loop's event switch for a slide on screen and for the
// waiting screen, the two menus with their key routing, the touch pause with its box, the
// remote-control pairing with its panel and modal screen, the Wi-Fi set-up request and the
// standby wait after a slide ended.
//
// The loop owns one `PlayerInput` for its whole run, on the main thread, and:
//   - rebuilds the menus whenever it makes a playlist current (`rebuildMenus`);
//   - takes every event through the input's event pump (`events()`, screens/event_pump.h), which
//     the pairing screen and the standby wait share, hands each to `handleSlideEvent` (slide on
//     screen) or `handleWaitingEvent` (no slides) and applies the returned `InputOutcome` to its
//     own state;
//   - each cycle calls `tickMenus`, `updatePairingPanel` and `pauseSecondsChanged` and redraws
//     when one of them says so; a slide does not end on its duration while `paused`;
//   - on each presented frame draws `drawMenus` after the slide, then (after the download banner
//     and its fade) `drawPairingPanel` and `drawPause`;
//   - after a slide's cycle ends calls `afterCycle`, which waits out a standby and runs the
//     Wi-Fi set-up.

#include <SDL3/SDL.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/display_mode.h"
#include "core/process_state.h"
#include "core/shared_defaults.h"
#include "player/input_routing.h"
#include "player/remote_control.h"
#include "screens/event_pump.h"
#include "screens/menus.h"
#include "screens/pairing_screen.h"
#include "screens/pause_overlay.h"

namespace lumetta {
class Display;
class Playlist;
}  // namespace lumetta

namespace lumetta::player {

// The SDL user events other threads wake the loop with; a modal screen that takes one queues it
// again when it ends.
extern const std::vector<std::uint32_t> loopWakeUps;

// The boundaries of the input side; the defaults are the running player's, except those that
// stand for pieces the player does not have yet (empty: the key says so in the log).
struct InputSeams {
    // SDL's tick scale (ticksMs) for the pause, the menus and the pairing status.
    Clock* clock = &systemClock();
    // The playlists the service offers this display (the playlist menu's list).
    screens::PlaylistSource playlists;
    // Asks the service to switch to the playlist with this id; false when it could not be queued.
    std::function<bool(const std::string& id)> sendPlaylistUpdate;
    // Switches to a mode chosen in the resolution menu, stores it and reboots (empty: the
    // display's switch, the configuration store and `reboot`).
    std::function<void(const DisplayMode& mode)> chooseMode;
    // The device's reboot after a mode was chosen and stored.
    std::function<void()> reboot;
    // The display's modes for the resolution menu (empty: the display's own full-screen modes).
    screens::ModeSource modes;
    // Saves the next presented frame into the directory given.
    std::function<void(const std::string& directory)> requestScreenshot;
    std::string screenshotDirectory;
    // The remote-control pairing (null: none; the loop hands in its Bluetooth pairing).
    screens::RemotePairing* pairing = nullptr;
    // The modal Wi-Fi set-up screen (empty: not available on this player yet).
    std::function<void()> wifiSetup;
    // Queues the key a swipe stands for.
    EventPusher push = sdlEventPusher();
    // Where the input's event pump takes events: the wait for one event, and the take of one
    // already waiting.
    screens::EventWaiter waitEvent = screens::sdlEventWaiter();
    screens::EventPoller pollEvent = screens::sdlEventPoller();
    // The fonts of the pause and status boxes.
    std::string fontsDirectory = sharedDefaults().fontsDirectory;
    std::atomic<bool>* running = &playerRunning;
    std::atomic<bool>* standby = &displayStandby;
    std::ostream* out = &std::cout;
    std::ostream* errors = &std::cerr;
};

// The slide on screen, as an event needs to know it.
struct SlideOnScreen {
    int index = 0;
    int count = 0;
    bool hasVideo = false;
    // Pauses (true) or resumes every video of the slide while the pairing screen runs.
    std::function<void(bool paused)> pauseVideos;
};

// What the loop does after an event. The input has already done what is its own (menus,
// screenshot, pairing, pause state); these are the loop's.
struct InputOutcome {
    bool endSlide = false;        // clear viewRunning: the slide's cycle ends with this one
    bool stopPlayer = false;      // clear playerRunning
    std::optional<int> nextIndex; // show this slide next (and announce it to the group)
    // A tap paused the slide: its scheduled end (when it has a duration) moves this much later.
    std::uint64_t slideEndShiftMs = 0;
    // The pairing screen held the slide: every clock of the slide (start, image motion, frame
    // clock, a running fade) moves `clockShiftMs` later, its scheduled end `endShiftMs`.
    std::uint64_t clockShiftMs = 0;
    std::uint64_t endShiftMs = 0;
    bool redraw = false;
    // The event changed nothing on screen (a finger that went down, or came up as a swipe whose
    // key is now queued): it is no reason to draw the next cycle, which may sleep and so take
    // the queued key at once.
    bool unseen = false;
};

// What the loop does after a slide's cycle ended.
struct AfterCycleOutcome {
    // The same slide starts again from its beginning (start time now, index not advanced).
    bool restartSlide = false;
    // The Wi-Fi screen ran: the next frames fade in from black.
    bool fadeFromBlack = false;
};

class PlayerInput {
public:
    explicit PlayerInput(Display* display, InputSeams seams = InputSeams());
    ~PlayerInput();
    PlayerInput(const PlayerInput&) = delete;
    PlayerInput& operator=(const PlayerInput&) = delete;

    // Both menus anew for `playlist` (closed; an open one closes): the rectangle 40 pixels in
    // from the edges of its first slide. A menu that cannot be built (no slides) is absent, with
    // a log line, until the next rebuild.
    void rebuildMenus(const Playlist* playlist);
    // Both menus for a first slide of slideWidth x slideHeight.
    void rebuildMenus(int slideWidth, int slideHeight);

    // The pump the loop, the pairing screen and the standby wait take their events through (on
    // the seams' event sources, running flag and output).
    screens::EventPump& events() { return events_; }

    // One event taken through `events()` while a slide is on screen.
    InputOutcome handleSlideEvent(const screens::PumpedEvent& pumped, const SlideOnScreen& slide);
    // One event taken through `events()` while the playlist has no slides (no menus, no navigation).
    InputOutcome handleWaitingEvent(const screens::PumpedEvent& pumped);
    // The same for an event made by hand: it is passed through the pump first.
    InputOutcome handleSlideEvent(const SDL_Event& event, const SlideOnScreen& slide) {
        return handleSlideEvent(events_.pass(event), slide);
    }
    InputOutcome handleWaitingEvent(const SDL_Event& event) { return handleWaitingEvent(events_.pass(event)); }

    // Once per cycle: the menus' idle countdown. True when something on show changed.
    bool tickMenus();
    // Once per cycle with a slide on screen: the pairing status. True when the panel changed.
    bool updatePairingPanel();
    // Once per cycle: true when the pause box's number changed (it is then the one shown).
    bool pauseSecondsChanged();
    // A touch pause runs: the slide does not end on its duration.
    bool paused() const;

    // Over the slide: the playlist menu, then the resolution menu.
    void drawMenus();
    // The pairing panel and the pause box on the renderer's current target (width x height).
    void drawPairingPanel(SDL_Renderer* renderer, int width, int height, int rotation);
    void drawPause(SDL_Renderer* renderer, int width, int height);

    // After a slide's cycle: waits out a standby (`destroyLayers` first), then runs a requested
    // Wi-Fi set-up.
    AfterCycleOutcome afterCycle(const std::function<void()>& destroyLayers);

    // The state on show, for the loop and tests.
    screens::PlaylistMenu* playlistMenu() const { return playlistMenu_.get(); }
    screens::ResolutionMenu* resolutionMenu() const { return resolutionMenu_.get(); }
    const screens::PauseOverlayState& pause() const { return pause_.state(); }
    const screens::PairingScreenState& pairingPanel() const { return pairing_.state(); }
    bool ctrlHeld() const { return events_.ctrlHeld(); }
    bool wifiRequested() const { return wifiRequested_; }

private:
    // Offers a key-down to the menus; true when one of them took it.
    bool routeToMenus(const SDL_Event& event);
    InputOutcome globalKey(KeyAction action, const SlideOnScreen* slide);
    void touch(const SDL_Event& event, const SlideOnScreen& slide, InputOutcome& outcome);
    // Starts a pairing and runs the modal screen; false when pairing is not available.
    bool runPairing(InputOutcome& outcome);
    void requestScreenshot();
    std::uint64_t now() const { return seams_.clock->ticksMs(); }

    Display* display_;
    InputSeams seams_;
    screens::EventPump events_;
    bool wifiRequested_ = false;
    TouchTracker touch_;
    screens::PauseOverlay pause_;
    screens::PairingPanel pairing_;
    std::unique_ptr<screens::PlaylistMenu> playlistMenu_;
    std::unique_ptr<screens::ResolutionMenu> resolutionMenu_;
};

}  // namespace lumetta::player
