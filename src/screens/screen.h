#pragma once
// What every screen of the player is to the loop: something that takes events, draws itself
// over (or instead of) the slide, and says when it has nothing more to do. The loop's overlays
// (menus, download banner, pairing panel, pause box) are drawn over each frame; the modal
// screens (start-up splash, pairing screen) are blocking calls that run `runModalScreen`.

#include <SDL3/SDL.h>

#include <cstdint>
#include <functional>

#include "core/clock.h"
#include "display/draw.h"
#include "screens/event_pump.h"

namespace lumetta {
class Display;
}

namespace lumetta::screens {

// Where a screen draws: the renderer's current target, its size, the display rotation (degrees)
// and the submitter its copies go through.
struct ScreenOutput {
    SDL_Renderer* renderer = nullptr;
    int width = 0;
    int height = 0;
    int rotation = 0;
    DrawSubmitter* submitter = &sdlDrawSubmitter();
};

// What a screen made of an event.
enum class ScreenAnswer {
    ignored,     // not the screen's: others may act on it
    taken,       // the screen acted on it (or keeps it from everyone else)
    stopPlayer,  // the screen asks the whole player to stop
};

class Screen {
public:
    virtual ~Screen() = default;
    // One event the pump passed on (a quit or display removal has already stopped the player).
    virtual ScreenAnswer takeEvent(const SDL_Event& event) = 0;
    // Draws the screen's frame onto `output`.
    virtual void draw(const ScreenOutput& output) = 0;
    // True once the screen has nothing (more) to show.
    virtual bool finished() const = 0;
};

enum class ModalEnd {
    finished,  // the screen finished; the player goes on
    quit,      // a quit, a display removal, Ctrl+Escape or the screen itself stopped the player
    stopped,   // the player was stopped from elsewhere
};

// How a modal screen is paced.
struct ModalPace {
    // The pause after each pass (none when 0), on `clock`.
    Clock* clock = &systemClock();
    int frameGapMs = 0;
    // Runs after each pass's drawing, just before the present.
    std::function<void()> beforePresent;
};

// Runs `screen` as a blocking call on `display`: each pass draws it on the whole output,
// presents the frame, and takes every waiting event through `events`. A quit, a display
// removal, Escape with a Ctrl modifier, or a screen's stop request stops the player; every
// other event goes to the screen. The screen ends once it is finished or the player stops (at
// least one pass runs). When it ends, each loop wake-up it took is queued again, once, and the
// held keys are forgotten.
ModalEnd runModalScreen(Screen& screen, EventPump& events, Display& display, const ModalPace& pace = {});

}  // namespace lumetta::screens
