#pragma once
// The render targets of the player loop: the slide targets every slide is drawn into, the
// target of the waiting screen, and the copy of a target onto the screen, inset while the
// overlay reveal runs.

#include <SDL3/SDL.h>

#include "display/sdl_handles.h"

namespace lumetta {
class Display;
}

namespace lumetta::player {

// A texture of the display's size (ARGB8888, target access, blended). Throws
// std::runtime_error "Could not create slide render target: " + SDL's error.
TextureHandle createSlideTarget(Display& display);

// With `enabled`: makes the waiting screen's target on first use, selects it, resets the
// viewport and clears it to opaque black. Throws "Could not select download slide target: " +
// SDL's error (creation failures as createSlideTarget's).
void selectDownloadTarget(Display& display, TextureHandle& holder, bool enabled);

// Where a target lands on a width x height screen at reveal progress `progress` (0..1, NaN 0):
// scaled about the centre by the eased inset of at most 160 pixels a side.
SDL_FRect revealedSlideRect(int width, int height, double progress);

// Selects the screen, resets the viewport, clears it to opaque black and draws `target` into
// revealedSlideRect (through the display's draw submitter). Nothing is drawn without a target.
void presentSlideTarget(Display& display, double progress, SDL_Texture* target);

}  // namespace lumetta::player
