#pragma once
// The pairing panel and the modal pairing screen. While a remote-control pairing runs, a
// built-in picture explaining how to pair covers the screen, and a box at the bottom right
// shows the pairing's latest status text: a progress text until the next one replaces it, a
// final text for 5 seconds (so it stays over the slides after the pairing ended).
//
// The loop owns one `PairingPanel` for its whole run. Every cycle with a slide on screen it
// calls `update` and redraws when that returns true; on each presented frame it draws the panel
// after the download banner and the fade, before the pause overlay. On the "b" key it starts
// the pairing and runs `runPairingScreen`, which keeps every event from the loop until the
// pairing is over.

#include <SDL3/SDL.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "core/clock.h"
#include "core/shared_defaults.h"
#include "display/draw.h"
#include "display/sdl_handles.h"
#include "screens/overlay_box.h"
#include "screens/screen.h"

namespace lumetta {
class Display;
}

namespace lumetta::screens {

// A final status text stays this long.
inline constexpr std::uint64_t pairingFinalStatusMs = 5000;

// One look at a pairing: its latest status text, a counter that grows by one with every new
// status, and whether that text reports progress.
struct PairingStatus {
    std::string text;
    std::uint64_t counter = 0;
    bool inProgress = false;
};

// The remote-control pairing as the screens use it.
class RemotePairing {
public:
    virtual ~RemotePairing() = default;
    // Starts a pairing; false when one already runs (it then only posts a notice).
    virtual bool start() = 0;
    virtual PairingStatus status() const = 0;
    // Set from `start` until the pairing ends.
    virtual bool running() const = 0;
};

// The built-in help picture (PNG).
std::span<const unsigned char> pairingHelpPicture();

struct PairingScreenState {
    explicit PairingScreenState(const std::string& fontsDirectory = sharedDefaults().fontsDirectory)
        : status(overlayBoxFonts(fontsDirectory)) {}

    TextureHandle helpTexture;   // made on first need
    bool showHelp = false;       // the pairing runs: the picture is shown
    bool helpLoadTried = false;  // loaded once already, well or not
    std::string statusText;
    std::uint64_t lastCounter = 0;
    std::uint64_t hideAt = 0;    // tick a final text goes away
    bool inProgress = false;
    bool showStatus = false;
    OverlayBoxText status;       // the box font and the line on show
    std::span<const unsigned char> helpPicture = pairingHelpPicture();
};

// Takes over a status look at tick `now`: the picture follows `running`, a new counter brings
// its text, a final text goes 5 s after it came. True when what the panel shows changed.
bool updatePairingStatus(PairingScreenState& state, const PairingStatus& status, bool running, std::uint64_t now);

// The panel on an output of width x height: the help picture over the whole output, turned
// with the screen (`rotation`, the display rotation) and fitted whole, then the status box
// (never turned).
void drawPairingScreen(PairingScreenState& state, SDL_Renderer* renderer, int width, int height, int rotation,
                       DrawSubmitter& submitter = sdlDrawSubmitter());

// The panel over the slides, as a screen: it takes no events and is finished while it shows
// neither the picture nor the status box.
class PairingPanel final : public Screen {
public:
    PairingPanel(RemotePairing* pairing, const Clock& clock, const std::string& fontsDirectory)
        : state_(fontsDirectory), pairing_(pairing), clock_(&clock) {}

    // Takes over the pairing's status now (nothing without a pairing); true when the panel changed.
    bool update();

    ScreenAnswer takeEvent(const SDL_Event&) override { return ScreenAnswer::ignored; }
    void draw(const ScreenOutput& output) override;
    bool finished() const override { return !state_.showHelp && !state_.showStatus; }

    PairingScreenState& state() { return state_; }
    const PairingScreenState& state() const { return state_; }

private:
    PairingScreenState state_;
    RemotePairing* pairing_;
    const Clock* clock_;
};

enum class PairingScreenEnd {
    pairingOver,  // the pairing ended; the loop goes on
    quit,         // quit, display removal or Ctrl+Escape: the player stops (the pump's flag cleared)
    stopped,      // the player was stopped from elsewhere
};

// The modal screen (runModalScreen, screens/screen.h): every 16 ms (on `clock`) takes over the
// status, draws the panel alone on black and presents it, and takes every waiting event through
// `events` (a quit, a display removal or Escape with Ctrl held stops the player; a loop wake-up
// is queued again, once, when the screen ends; every other event is dropped), until the pairing
// is over or the player stops. `beforePresent` runs before each present.
PairingScreenEnd runPairingScreen(PairingScreenState& state, RemotePairing& pairing, Display& display,
                                  EventPump& events, Clock& clock = systemClock(),
                                  const std::function<void()>& beforePresent = {});

}  // namespace lumetta::screens
