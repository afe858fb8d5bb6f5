#pragma once
// The pause overlay: "Playback paused - N seconds remaining" in the bottom-right box while a
// touch pause runs. The loop owns one `PauseOverlay` for its whole run: it sets the state's
// `pauseEnd` when a tap pauses the slide, redraws whenever `pauseSecondsRemaining` differs from
// `secondsShown` (and then stores it there), and draws the overlay last on every presented frame.

#include <SDL3/SDL.h>

#include <cstdint>
#include <string>

#include "core/clock.h"
#include "core/shared_defaults.h"
#include "screens/overlay_box.h"
#include "screens/screen.h"

namespace lumetta::screens {

// A tap pauses the slide for this long.
inline constexpr std::uint64_t touchPauseMs = 60000;

struct PauseOverlayState {
    explicit PauseOverlayState(const std::string& fontsDirectory = sharedDefaults().fontsDirectory)
        : text(overlayBoxFonts(fontsDirectory)) {}

    std::uint64_t pauseEnd = 0;  // tick (ms) the pause ends; 0: none yet
    int secondsShown = 0;        // for the loop's redraw test
    OverlayBoxText text;         // the box font and the line on show
};

// Whole seconds left of the pause, rounded up; 0 once it is over.
int pauseSecondsRemaining(std::uint64_t pauseEnd, std::uint64_t now);

// The box for an output of width x height at tick `now`; nothing once the pause is over. A box
// font that does not open leaves the box out until a later call opens one.
void drawPauseOverlay(PauseOverlayState& state, SDL_Renderer* renderer, int width, int height, std::uint64_t now);

// The box as a screen on `clock` (SDL's tick scale): it takes no events and is finished once
// the pause is over.
class PauseOverlay final : public Screen {
public:
    PauseOverlay(const Clock& clock, const std::string& fontsDirectory) : state_(fontsDirectory), clock_(&clock) {}

    ScreenAnswer takeEvent(const SDL_Event&) override { return ScreenAnswer::ignored; }
    void draw(const ScreenOutput& output) override {
        drawPauseOverlay(state_, output.renderer, output.width, output.height, clock_->ticksMs());
    }
    bool finished() const override { return pauseSecondsRemaining(state_.pauseEnd, clock_->ticksMs()) == 0; }

    PauseOverlayState& state() { return state_; }
    const PauseOverlayState& state() const { return state_; }

private:
    PauseOverlayState state_;
    const Clock* clock_;
};

}  // namespace lumetta::screens
