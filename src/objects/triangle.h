#pragma once
// A triangle slide element: isosceles, equilateral or right-angled, pointing up, down, left
// or right inside its box, with an optional border band, rendered once into a texture.

#include <SDL3/SDL.h>

#include <string>

#include "objects/shape.h"

namespace lumetta {

class Display;

class Triangle : public ShapeElement {
public:
    // `direction` is "up", "down", "left" or "right" (where the tip points), `type`
    // "isosceles", "equilateral" or "right-angled"; `tipPosition` (0 to 1, along the base)
    // is used by "isosceles" only. Throws like Rectangle.
    Triangle(Display* display, int slideWidth, int slideHeight, SDL_Rect rect, SDL_Color color,
             const std::string& direction, const std::string& type, SDL_Color borderColor, float borderWidth,
             double rotation, float tipPosition, float opacity);

    bool draw(int offsetX, int offsetY, SDL_FlipMode flip = SDL_FLIP_NONE);

private:
    double angle = 0;
};

}  // namespace lumetta
