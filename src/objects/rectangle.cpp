#include "objects/rectangle.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "objects/shape.h"
#include "objects/shape_raster.h"

namespace lumetta {

namespace {

constexpr std::string_view kWord = "Rectangle";

ShapeGradient checkedGradient(const RectangleStyle& style) {
    if (style.gradient == "none") {
        return ShapeGradient::None;
    }
    if (style.gradient == "linear") {
        return ShapeGradient::Linear;
    }
    if (style.gradient == "radial") {
        return ShapeGradient::Radial;
    }
    throw std::invalid_argument("Invalid rectangle gradient");
}

bool finiteNonNegative(float value) {
    return std::isfinite(value) && value >= 0;
}

void checkNumbers(const RectangleStyle& style) {
    if (!finiteNonNegative(style.borderWidth) || !finiteNonNegative(style.cornerRadius) ||
        !finiteNonNegative(style.blur) || !finiteNonNegative(style.shadowBlur)) {
        throw std::invalid_argument("Rectangle widths, radii and blur must be finite and nonnegative");
    }
    if (style.hasCornerRadii && !std::all_of(std::begin(style.cornerRadii), std::end(style.cornerRadii),
                                             finiteNonNegative)) {
        throw std::invalid_argument("Invalid rectangle corner radii");
    }
    if (!std::isfinite(style.rotation) || !std::isfinite(style.gradientAngle) ||
        !std::isfinite(style.shadowOffsetX) || !std::isfinite(style.shadowOffsetY) ||
        !std::isfinite(style.shadowOpacity) || style.shadowOpacity < 0 || style.shadowOpacity > 1) {
        throw std::invalid_argument("Invalid rectangle angle, shadow offset or opacity");
    }
}

}  // namespace

Rectangle::Rectangle(Display* display, int slideWidth, int slideHeight, SDL_Rect rect, SDL_Color color,
                     const RectangleStyle& style, float opacity)
    : ShapeElement(display, slideWidth, slideHeight), angle(std::fmod(style.rotation, 360.0)) {
    const ShapeGradient gradient = checkedGradient(style);
    checkNumbers(style);
    SDL_Renderer* renderer = shapeRenderer(display, slideWidth, slideHeight, kWord);
    const SDL_Rect box = shapeBox(rect, slideWidth, slideHeight, kWord);

    const std::uint8_t alpha = shapeOpacityToAlpha(255, opacity, kWord);
    if (alpha == 0) {
        this->rect = box;
        return;
    }
    const bool plain = style.borderWidth == 0 && style.cornerRadius == 0 && !style.hasCornerRadii &&
                       gradient == ShapeGradient::None && style.blur == 0 && !style.shadow;
    if (plain) {
        const std::uint8_t fillAlpha = shapeOpacityToAlpha(color.a, opacity, kWord);
        texture = makeShapeTexture(renderer, 1, 1, [&](const PixelRows& out) {
            const std::uint32_t value = packAbgr8888(color.r, color.g, color.b, fillAlpha);
            std::memcpy(out.pixels, &value, sizeof value);
        });
        this->rect = box;
        return;
    }

    int margin = 0;
    if (style.shadow) {
        const float wanted =
            std::ceil(style.shadowBlur + std::max(std::fabs(style.shadowOffsetX), std::fabs(style.shadowOffsetY)));
        if (static_cast<double>(wanted) > static_cast<double>((2147483647 - std::max(box.w, box.h)) / 2)) {
            throw std::invalid_argument("Rectangle shadow dimensions are too large");
        }
        margin = static_cast<int>(wanted);
    }

    RectangleRaster raster;
    raster.width = box.w;
    raster.height = box.h;
    raster.margin = margin;
    for (int i = 0; i < 4; ++i) {
        raster.radii[i] = style.hasCornerRadii ? style.cornerRadii[i] : style.cornerRadius;
    }
    raster.color = color;
    raster.gradient = gradient;
    raster.gradientColor = style.gradientColor;
    raster.gradientAngle = style.gradientAngle;
    raster.borderColor = style.borderColor;
    raster.borderWidth = style.borderWidth;
    raster.blur = style.blur;
    raster.shadow = style.shadow;
    raster.shadowColor = style.shadowColor;
    raster.shadowOpacity = style.shadowOpacity;
    raster.shadowBlur = style.shadowBlur;
    raster.shadowOffsetX = style.shadowOffsetX;
    raster.shadowOffsetY = style.shadowOffsetY;
    raster.alpha = alpha;
    // Sizes are checked against the int range above; the surface call refuses what memory cannot hold.
    texture = makeShapeTexture(renderer, box.w + 2 * margin, box.h + 2 * margin,
                               [&](const PixelRows& out) { rasterizeRectangle(raster, out); });
    this->rect = box;
    shadowMargin = margin;
}

bool Rectangle::draw(int offsetX, int offsetY, SDL_FlipMode flip) {
    return drawShape(kWord, shadowMargin, angle, offsetX, offsetY, flip);
}

}  // namespace lumetta
