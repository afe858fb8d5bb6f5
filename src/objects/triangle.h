#pragma once
// A triangle slide element: isosceles, equilateral or right-angled, pointing up, down, left
// or right inside its box, with an optional border band, rendered once into a texture.

#include <SDL3/SDL.h>

#include <string>

#include "objects/shape.h"
#include "objects/shape_style.h"

namespace lumetta {

class Display;

class Triangle : public ShapeElement {
public:
    // `tipPosition` (0 to 1, along the base) is used by the isosceles form only. Throws like
    // Rectangle.
    Triangle(Display* display, int slideWidth, int slideHeight, SDL_Rect rect, SDL_Color color,
             TriangleDirection direction, TriangleType type, SDL_Color borderColor, float borderWidth,
             double rotation, float tipPosition, float opacity);
    // The same with the words: `direction` "up", "down", "left" or "right" (where the tip
    // points), `type` "isosceles", "equilateral" or "right-angled". Another direction word throws
    // std::invalid_argument "Invalid triangle direction", then another type word "Invalid
    // triangle type", before anything else is checked.
    Triangle(Display* display, int slideWidth, int slideHeight, SDL_Rect rect, SDL_Color color,
             const std::string& direction, const std::string& type, SDL_Color borderColor, float borderWidth,
             double rotation, float tipPosition, float opacity);

    bool draw(int offsetX, int offsetY, SDL_FlipMode flip = SDL_FLIP_NONE);

private:
    struct Form {
        TriangleDirection direction;
        TriangleType type;
    };
    static Form formOf(const std::string& direction, const std::string& type);
    Triangle(Display* display, int slideWidth, int slideHeight, SDL_Rect rect, SDL_Color color, Form form,
             SDL_Color borderColor, float borderWidth, double rotation, float tipPosition, float opacity);

    double angle = 0;
};

}  // namespace lumetta
