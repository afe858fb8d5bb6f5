#pragma once
// An ellipse slide element inscribed in its box: filled, a ring, a ring segment or a filled
// sector, with an optional border band, soft inner edge and two-colour gradient.

#include <SDL3/SDL.h>

#include <string>

#include "objects/shape.h"
#include "objects/shape_style.h"

namespace lumetta {

class Display;

class Ellipse : public ShapeElement {
public:
    // Throws like Rectangle.
    Ellipse(Display* display, int slideWidth, int slideHeight, SDL_Rect rect, SDL_Color color,
            const EllipseStyle& style, float opacity);

    // The ellipse turns only with the display.
    bool draw(int offsetX, int offsetY, SDL_FlipMode flip = SDL_FLIP_NONE);
};

}  // namespace lumetta
