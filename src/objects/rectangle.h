#pragma once
// A rectangle slide element: fill or two-colour gradient, rounded corners, a border band,
// a soft inner edge and an optional soft drop shadow, rendered once into a texture.

#include <SDL3/SDL.h>

#include <string>

#include "objects/shape.h"

namespace lumetta {

class Display;

struct RectangleStyle {
    SDL_Color borderColor{0, 0, 0, 255};
    float borderWidth = 0;   // pixels, inward from the edge
    float cornerRadius = 0;  // all four corners unless hasCornerRadii
    float cornerRadii[4] = {0, 0, 0, 0};  // top-left, top-right, bottom-right, bottom-left
    bool hasCornerRadii = false;
    std::string gradient = "none";  // "none", "linear" or "radial"
    SDL_Color gradientColor{255, 255, 255, 255};  // end colour; the fill colour starts it
    double gradientAngle = 0;  // degrees: 0 left to right, 90 top to bottom
    double rotation = 0;       // degrees
    float blur = 0;            // width of the soft inner edge, pixels
    bool shadow = false;
    SDL_Color shadowColor{0, 0, 0, 255};
    float shadowOpacity = 0.5f;  // 0 to 1
    float shadowBlur = 8;
    float shadowOffsetX = 4;
    float shadowOffsetY = 4;
};

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
