#include "objects/triangle.h"

#include <cmath>
#include <optional>
#include <stdexcept>

#include "objects/shape.h"
#include "objects/shape_raster.h"

namespace lumetta {

namespace {
constexpr std::string_view kWord = "Triangle";
}  // namespace

Triangle::Form Triangle::formOf(const std::string& direction, const std::string& type) {
    const std::optional<TriangleDirection> pointing = triangleDirectionByName(direction);
    if (!pointing) throw std::invalid_argument("Invalid triangle direction");
    const std::optional<TriangleType> form = triangleTypeByName(type);
    if (!form) throw std::invalid_argument("Invalid triangle type");
    return {*pointing, *form};
}

Triangle::Triangle(Display* display, int slideWidth, int slideHeight, SDL_Rect rect, SDL_Color color,
                   const std::string& direction, const std::string& type, SDL_Color borderColor, float borderWidth,
                   double rotation, float tipPosition, float opacity)
    : Triangle(display, slideWidth, slideHeight, rect, color, formOf(direction, type), borderColor, borderWidth,
               rotation, tipPosition, opacity) {}

Triangle::Triangle(Display* display, int slideWidth, int slideHeight, SDL_Rect rect, SDL_Color color,
                   TriangleDirection direction, TriangleType type, SDL_Color borderColor, float borderWidth,
                   double rotation, float tipPosition, float opacity)
    : Triangle(display, slideWidth, slideHeight, rect, color, Form{direction, type}, borderColor, borderWidth,
               rotation, tipPosition, opacity) {}

Triangle::Triangle(Display* display, int slideWidth, int slideHeight, SDL_Rect rect, SDL_Color color, Form form,
                   SDL_Color borderColor, float borderWidth, double rotation, float tipPosition, float opacity)
    : ShapeElement(display, slideWidth, slideHeight), angle(std::fmod(rotation, 360.0)) {
    if (!std::isfinite(borderWidth) || borderWidth < 0 || !std::isfinite(rotation) || !std::isfinite(tipPosition) ||
        tipPosition < 0 || tipPosition > 1) {
        throw std::invalid_argument("Invalid triangle border width, rotation or tip position");
    }
    SDL_Renderer* renderer = shapeRenderer(display, slideWidth, slideHeight, kWord);
    const SDL_Rect box = shapeBox(rect, slideWidth, slideHeight, kWord);

    TriangleRaster raster;
    raster.fillAlpha = shapeOpacityToAlpha(color.a, opacity, kWord);
    raster.borderAlpha = shapeOpacityToAlpha(borderColor.a, opacity, kWord);
    this->rect = box;
    if (raster.fillAlpha == 0 && (borderWidth == 0 || raster.borderAlpha == 0)) {
        return;
    }
    raster.color = color;
    raster.borderColor = borderColor;
    raster.borderWidth = borderWidth;
    placeTriangle(raster, box.w, box.h, form.direction, form.type, tipPosition);
    texture = makeShapeTexture(renderer, box.w, box.h, [&](const PixelRows& out) { rasterizeTriangle(raster, out); });
}

bool Triangle::draw(int offsetX, int offsetY, SDL_FlipMode flip) {
    return drawShape(kWord, 0, angle, offsetX, offsetY, flip);
}

}  // namespace lumetta
