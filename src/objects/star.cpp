#include "objects/star.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "objects/shape.h"
#include "objects/shape_raster.h"

namespace lumetta {

namespace {
constexpr std::string_view kWord = "Star";
}  // namespace

Star::Star(Display* display, int slideWidth, int slideHeight, SDL_Rect rect, SDL_Color color, int points,
           float pointHeight, const std::vector<float>& pointLengths, float opacity)
    : ShapeElement(display, slideWidth, slideHeight) {
    if (points < 3 || points > 128) {
        throw std::invalid_argument("Star points must be between 3 and 128");
    }
    if (!std::isfinite(pointHeight) || pointHeight <= 0 || pointHeight >= 1) {
        throw std::invalid_argument("Star point height must be greater than 0 and less than 1");
    }
    if (!pointLengths.empty()) {
        if (pointLengths.size() != static_cast<std::size_t>(points)) {
            throw std::invalid_argument("Star point lengths must contain one value per point");
        }
        if (!std::all_of(pointLengths.begin(), pointLengths.end(),
                         [](float length) { return std::isfinite(length) && length > 0 && length <= 1; })) {
            throw std::invalid_argument("Star point lengths must be greater than 0 and at most 1");
        }
    }
    const std::vector<double> outline = starOutline(points, pointHeight, pointLengths);
    SDL_Renderer* renderer = shapeRenderer(display, slideWidth, slideHeight, kWord);
    const SDL_Rect box = shapeBox(rect, slideWidth, slideHeight, kWord);
    this->rect = box;

    StarRaster raster;
    raster.outline = &outline;
    raster.color = color;
    raster.alpha = shapeOpacityToAlpha(color.a, opacity, kWord);
    if (raster.alpha == 0) {
        return;
    }
    texture = makeShapeTexture(renderer, box.w, box.h, [&](const PixelRows& out) { rasterizeStar(raster, out); });
}

bool Star::draw(int offsetX, int offsetY, SDL_FlipMode flip) {
    return drawShape(kWord, 0, 0.0, offsetX, offsetY, flip);
}

}  // namespace lumetta
