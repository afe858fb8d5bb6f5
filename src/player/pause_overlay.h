#pragma once
// The pause overlay: "Playback paused - N seconds remaining" in the bottom-right box while a
// touch pause runs. The loop owns the state for its whole run: it sets `pauseEnd` when a tap
// pauses the slide, redraws whenever `pauseSecondsRemaining` differs from `secondsShown` (and
// then stores it there), and calls `drawPauseOverlay` last on every presented frame.

#include <SDL3/SDL.h>

#include <cstdint>
#include <string>

#include "core/shared_defaults.h"
#include "player/overlay_box.h"

namespace lumetta::player {

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

}  // namespace lumetta::player
