#include "objects/ellipse.h"

#include <cmath>
#include <stdexcept>

#include "objects/shape.h"
#include "objects/shape_raster.h"

namespace lumetta {

namespace {

constexpr std::string_view kWord = "Ellipse";

EllipseMode checkedMode(const std::string& mode) {
    if (mode == "fill") {
        return EllipseMode::Fill;
    }
    if (mode == "ring") {
        return EllipseMode::Ring;
    }
    if (mode == "arc") {
        return EllipseMode::Arc;
    }
    if (mode == "pie") {
        return EllipseMode::Pie;
    }
    throw std::invalid_argument("Invalid ellipse mode");
}

ShapeGradient checkedGradient(const std::string& gradient) {
    if (gradient == "none") {
        return ShapeGradient::None;
    }
    if (gradient == "radial") {
        return ShapeGradient::Radial;
    }
    if (gradient == "linear") {
        return ShapeGradient::Linear;
    }
    throw std::invalid_argument("Invalid ellipse gradient");
}

}  // namespace

Ellipse::Ellipse(Display* display, int slideWidth, int slideHeight, SDL_Rect rect, SDL_Color color,
                 const EllipseStyle& style, float opacity)
    : ShapeElement(display, slideWidth, slideHeight) {
    EllipseRaster raster;
    raster.mode = checkedMode(style.mode);
    raster.gradient = checkedGradient(style.gradient);
    const bool numbersValid = std::isfinite(style.borderWidth) && style.borderWidth >= 0 &&
                              std::isfinite(style.ringWidth) && style.ringWidth > 0 &&
                              std::isfinite(style.startAngle) && std::isfinite(style.endAngle) &&
                              std::isfinite(style.endAngle - style.startAngle) && std::isfinite(style.gradientAngle) &&
                              std::isfinite(style.feather) && style.feather >= 0;
    if (!numbersValid) {
        throw std::invalid_argument("Invalid ellipse thickness, angle or feather");
    }
    SDL_Renderer* renderer = shapeRenderer(display, slideWidth, slideHeight, kWord);
    const SDL_Rect box = shapeBox(rect, slideWidth, slideHeight, kWord);
    this->rect = box;

    raster.fillAlpha = shapeOpacityToAlpha(color.a, opacity, kWord);
    raster.borderAlpha = shapeOpacityToAlpha(style.borderColor.a, opacity, kWord);
    raster.gradientAlpha = shapeOpacityToAlpha(style.gradientColor.a, opacity, kWord);
    if (raster.fillAlpha == 0 && (style.borderWidth == 0 || raster.borderAlpha == 0) &&
        (raster.gradient == ShapeGradient::None || raster.gradientAlpha == 0)) {
        return;
    }
    raster.color = color;
    raster.borderColor = style.borderColor;
    raster.borderWidth = style.borderWidth;
    raster.ringWidth = style.ringWidth;
    raster.startAngle = style.startAngle;
    raster.endAngle = style.endAngle;
    raster.gradientColor = style.gradientColor;
    raster.gradientAngle = style.gradientAngle;
    raster.feather = style.feather;
    texture = makeShapeTexture(renderer, box.w, box.h, [&](const PixelRows& out) { rasterizeEllipse(raster, out); });
}

bool Ellipse::draw(int offsetX, int offsetY, SDL_FlipMode flip) {
    return drawShape(kWord, 0, 0.0, offsetX, offsetY, flip);
}

}  // namespace lumetta
