#pragma once
// What the four slide shapes share: the checks of their surroundings, the texture made
// from a rasteriser, and the mapping of a shape's box from slide coordinates to the screen.

#include <SDL3/SDL.h>

#include <functional>
#include <string_view>

#include "objects/shape_placement.h"
#include "display/sdl_handles.h"
#include "objects/shape_raster.h"

namespace lumetta {

class Display;

// The renderer of `display` after the surroundings checks of a shape under construction;
// failures throw std::runtime_error "<Word> display is null", "<Word> logical dimensions
// must be greater than zero" or "<Word> renderer is null".
SDL_Renderer* shapeRenderer(Display* display, int slideWidth, int slideHeight, std::string_view word);

// The box of a shape: all zeros means the whole slide. A width or height not above 0
// throws std::runtime_error "<Word> dimensions must be greater than zero".
SDL_Rect shapeBox(const SDL_Rect& rect, int slideWidth, int slideHeight, std::string_view word);

// A blended texture of width x height pixels painted by `paint` on an ABGR8888 surface.
// Throws std::runtime_error naming the failed SDL call; nothing is left behind on failure.
TextureHandle makeShapeTexture(SDL_Renderer* renderer, int width, int height,
                              const std::function<void(const PixelRows&)>& paint);

// The part every slide shape has: where it draws, the slide it lives in, its box and its
// texture (null when it came out invisible). The texture is made once by the shape's
// constructor and drawn unchanged every frame.
class ShapeElement {
public:
    virtual ~ShapeElement() = default;
    ShapeElement(const ShapeElement&) = delete;
    ShapeElement& operator=(const ShapeElement&) = delete;

    SDL_Texture* textureHandle() const { return texture.get(); }
    SDL_Rect box() const { return rect; }

protected:
    ShapeElement(Display* display, int slideWidth, int slideHeight)
        : display(display), slideWidth(slideWidth), slideHeight(slideHeight) {}

    // Draws the texture for this frame, `margin` texture pixels around the box and turned by
    // `angle` and the display rotation. False when there is nothing to draw or the draw
    // failed; a failure is logged as "<Word> Draw Exception: " and the message, never thrown.
    bool drawShape(std::string_view word, int margin, double angle, int offsetX, int offsetY,
                     SDL_FlipMode flip) const;

    Display* display = nullptr;
    int slideWidth = 0;
    int slideHeight = 0;
    SDL_Rect rect{0, 0, 0, 0};
    TextureHandle texture;
};

}  // namespace lumetta
