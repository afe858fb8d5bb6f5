#pragma once
// A star slide element: 3 to 128 points inscribed in the ellipse of its box, one colour,
// each point with its own length, rendered once into a texture.

#include <SDL3/SDL.h>

#include <vector>

#include "objects/shape.h"

namespace lumetta {

class Display;

class Star : public ShapeElement {
public:
    // `pointHeight` (above 0, below 1) is the depth of the notches as a fraction of the point
    // length; `pointLengths` is empty (every point reaches the box's ellipse) or one value per
    // point, above 0 and at most 1. Throws like Rectangle.
    Star(Display* display, int slideWidth, int slideHeight, SDL_Rect rect, SDL_Color color, int points,
         float pointHeight, const std::vector<float>& pointLengths, float opacity);

    // The star turns only with the display.
    bool draw(int offsetX, int offsetY, SDL_FlipMode flip = SDL_FLIP_NONE);
};

}  // namespace lumetta
