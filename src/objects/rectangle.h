#pragma once
// A rectangle slide element: fill or two-colour gradient, rounded corners, a border band,
// a soft inner edge and an optional soft drop shadow, rendered once into a texture.

#include <SDL3/SDL.h>

#include <string>

#include "objects/shape.h"
#include "objects/shape_style.h"

namespace lumetta {

class Display;

class Rectangle : public ShapeElement {
public:
    // `rect` is in slide coordinates; all zeros covers the whole slide. Throws
    // std::invalid_argument for bad options and std::runtime_error for a missing display,
    // renderer or area and for a failed SDL step.
    Rectangle(Display* display, int slideWidth, int slideHeight, SDL_Rect rect, SDL_Color color,
              const RectangleStyle& style, float opacity);

    // Draws the texture with the box moved by the offsets (slide pixels). False when nothing
    // was drawn; a failure is logged, never thrown.
    bool draw(int offsetX, int offsetY, SDL_FlipMode flip = SDL_FLIP_NONE);

    int marginPixels() const { return shadowMargin; }

protected:
    double angle = 0;
    int shadowMargin = 0;
};

}  // namespace lumetta
