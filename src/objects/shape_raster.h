#pragma once
// CPU rasterisers of the four slide shapes.
//
// Each one is a pure function from the shape's (already validated) parameters to 32-bit
// pixels: bytes R, G, B, A packed as SDL_PIXELFORMAT_ABGR8888 values, straight alpha. They
// never allocate per pixel; large pictures are split into row bands over a few threads,
// each pixel being computed exactly as on one thread, so the result is bit-identical.

#include <SDL3/SDL_pixels.h>

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "objects/shape_style.h"

namespace lumetta {

// A writable block of 32-bit pixels, `pitch` bytes from one row to the next.
struct PixelRows {
    void* pixels = nullptr;
    int width = 0;
    int height = 0;
    std::ptrdiff_t pitch = 0;
};

// The ABGR8888 value of one pixel (what SDL_MapSurfaceRGBA gives for that format).
constexpr std::uint32_t packAbgr8888(std::uint8_t r, std::uint8_t g, std::uint8_t b, std::uint8_t a) {
    return std::uint32_t{r} | (std::uint32_t{g} << 8) | (std::uint32_t{b} << 16) | (std::uint32_t{a} << 24);
}

// Element opacity applied to a base alpha: at or below 1 a fraction (negative is 0), above 1
// and up to 255 on the 0-255 scale, above 255 opaque. A non-finite opacity throws
// std::invalid_argument "<shapeWord> opacity must be finite".
std::uint8_t shapeOpacityToAlpha(unsigned base, float opacity, std::string_view shapeWord);

enum class ShapeGradient { None, Linear, Radial };

struct RectangleRaster {
    int width = 0;   // the box
    int height = 0;
    int margin = 0;  // shadow margin on every side; the picture is (width + 2m) x (height + 2m)
    double radii[4] = {0, 0, 0, 0};  // top-left, top-right, bottom-right, bottom-left, uncapped
    SDL_Color color{0, 0, 0, 255};
    ShapeGradient gradient = ShapeGradient::None;
    SDL_Color gradientColor{255, 255, 255, 255};
    double gradientAngle = 0;
    SDL_Color borderColor{0, 0, 0, 255};
    double borderWidth = 0;
    double blur = 0;
    bool shadow = false;
    SDL_Color shadowColor{0, 0, 0, 255};
    double shadowOpacity = 0.5;
    double shadowBlur = 8;
    double shadowOffsetX = 4;
    double shadowOffsetY = 4;
    std::uint8_t alpha = 255;  // the element opacity as an alpha (k = alpha / 255)
};
void rasterizeRectangle(const RectangleRaster& shape, const PixelRows& out);

// A triangle given by its three corners in box pixels (tip, base end, base start), wound so
// that the signed distance to every edge is positive inside.
struct TriangleRaster {
    double x[3] = {0, 0, 0};
    double y[3] = {0, 0, 0};
    SDL_Color color{0, 0, 0, 255};
    SDL_Color borderColor{0, 0, 0, 255};
    double borderWidth = 0;
    std::uint8_t fillAlpha = 255;
    std::uint8_t borderAlpha = 255;
};
// Corners of the triangle for a box, direction, form and tip position.
void placeTriangle(TriangleRaster& shape, int width, int height, TriangleDirection direction, TriangleType type,
                   double tipPosition);
void rasterizeTriangle(const TriangleRaster& shape, const PixelRows& out);

enum class EllipseMode { Fill, Ring, Arc, Pie };
struct EllipseRaster {
    EllipseMode mode = EllipseMode::Fill;
    SDL_Color color{0, 0, 0, 255};
    SDL_Color borderColor{0, 0, 0, 255};
    double borderWidth = 0;
    double ringWidth = 1;
    double startAngle = 0;
    double endAngle = 0;
    ShapeGradient gradient = ShapeGradient::None;
    SDL_Color gradientColor{255, 255, 255, 255};
    double gradientAngle = 0;
    double feather = 0;
    std::uint8_t fillAlpha = 255;
    std::uint8_t borderAlpha = 255;
    std::uint8_t gradientAlpha = 255;
};
void rasterizeEllipse(const EllipseRaster& shape, const PixelRows& out);

// Tip and notch radii, alternating, 2 x points entries; `lengths` empty or one per point.
std::vector<double> starOutline(int points, double pointHeight, const std::vector<float>& lengths);
struct StarRaster {
    const std::vector<double>* outline = nullptr;
    SDL_Color color{0, 0, 0, 255};
    std::uint8_t alpha = 255;
};
void rasterizeStar(const StarRaster& shape, const PixelRows& out);

}  // namespace lumetta
