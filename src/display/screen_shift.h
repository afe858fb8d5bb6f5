#pragma once
// A process-wide nudge of the rectangles images are drawn into: an inset, a move in one of eight
// directions, and a margin from the edges that follows the display rotation. Set by the start-up
// splash while it animates and reset by the player loop; read only by image drawing. All of it
// runs on the main thread, so the values are plain.

#include <SDL3/SDL_rect.h>

namespace lumetta {

struct ScreenShiftState {
    int mode = 0;    // 0 none, 1 inset, 9 to 16 move; anything else moves nothing
    int amount = 0;  // pixels
    int margin = 0;  // pixels, pulled in from the edges along the display rotation
};

extern ScreenShiftState screenShiftState;

// `value` is accepted for the callers' sake and has no effect on the shift.
void setScreenShift(int mode, int amount, int margin, float value);

// Shifts the caller's rectangle in place by the current state and `displayRotation`.
void applyScreenShift(SDL_Rect& rect);

}  // namespace lumetta
