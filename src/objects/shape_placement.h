#pragma once
// The mapping of a shape's box from slide coordinates onto the renderer output.

#include <SDL3/SDL.h>

#include <optional>

namespace lumetta {

// Where a shape's texture lands on the output for one frame.
struct ShapePlacementInput {
    int outputWidth = 0;
    int outputHeight = 0;
    SDL_Rect viewport{0, 0, 0, 0};  // replaced by the whole output when empty
    int rotation = 0;               // display rotation, degrees
    int slideWidth = 0;
    int slideHeight = 0;
    SDL_Rect box{0, 0, 0, 0};  // in slide coordinates
    int offsetX = 0;
    int offsetY = 0;
    int margin = 0;    // texture pixels around the box on every side
    double angle = 0;  // the shape's own rotation, degrees
};

struct ShapePlacement {
    SDL_FRect destination{0, 0, 0, 0};
    SDL_FPoint centre{0, 0};
    double angle = 0;  // the shape's angle minus the display rotation
};

// Nothing when the slide cannot be fitted into the output. Positions are summed in 64 bits
// and clamped to the int range, so any box and offset give a finite rectangle.
std::optional<ShapePlacement> placeShape(const ShapePlacementInput& input);

}  // namespace lumetta
