#pragma once
// An ellipse slide element inscribed in its box: filled, a ring, a ring segment or a filled
// sector, with an optional border band, soft inner edge and two-colour gradient.

#include <SDL3/SDL.h>

#include <string>

#include "objects/shape.h"

namespace lumetta {

class Display;

struct EllipseStyle {
    std::string mode = "fill";  // "fill", "ring", "arc" or "pie"
    SDL_Color borderColor{0, 0, 0, 255};
    float borderWidth = 0;   // pixels, inward
    float ringWidth = 10;    // thickness of "ring" and "arc", pixels; above 0 in every mode
    double startAngle = 0;   // degrees, counter-clockwise from the right, for "arc" and "pie"
    double endAngle = 360;
    std::string gradient = "none";  // "none", "linear" or "radial"
    SDL_Color gradientColor{255, 255, 255, 255};
    double gradientAngle = 0;
    float feather = 0;  // width of the soft inner edge, pixels
};

class Ellipse : public ShapeElement {
public:
    // Throws like Rectangle.
    Ellipse(Display* display, int slideWidth, int slideHeight, SDL_Rect rect, SDL_Color color,
            const EllipseStyle& style, float opacity);

    // The ellipse turns only with the display.
    bool draw(int offsetX, int offsetY, SDL_FlipMode flip = SDL_FLIP_NONE);
};

}  // namespace lumetta
