#include "objects/shape_placement.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>

#include "display/slide_mapping.h"

namespace lumetta {

namespace {

// Rounds to the nearest int, saturating at the ends of the int range.
int roundClamped(double value) {
    if (std::isnan(value)) {
        return 0;
    }
    value = std::clamp(value, static_cast<double>(INT_MIN), static_cast<double>(INT_MAX));
    return static_cast<int>(std::llround(value));
}

}  // namespace

std::optional<ShapePlacement> placeShape(const ShapePlacementInput& in) {
    if (in.outputWidth <= 0 || in.outputHeight <= 0 || in.box.w <= 0 || in.box.h <= 0) {
        return std::nullopt;
    }
    SDL_Rect viewport = in.viewport;
    if (viewport.w <= 0 || viewport.h <= 0) {
        viewport = {0, 0, in.outputWidth, in.outputHeight};
    }
    const SlideMapping mapping(viewport, in.rotation, in.slideWidth, in.slideHeight);
    if (!mapping.usable()) {
        return std::nullopt;
    }
    const double scale = mapping.scale();
    // Positions, offsets and half sizes each fit an int, their sums need not. Shapes take the
    // centres of the slide, the box and the viewport in whole units.
    const std::int64_t boxX = std::int64_t{in.box.x} + in.offsetX + in.box.w / 2 - in.slideWidth / 2;
    const std::int64_t boxY = std::int64_t{in.box.y} + in.offsetY + in.box.h / 2 - in.slideHeight / 2;
    const OutputPoint offset = mapping.turned(static_cast<double>(boxX) * scale, static_cast<double>(boxY) * scale);
    const double x = std::int64_t{viewport.x} + viewport.w / 2 + offset.x;
    const double y = std::int64_t{viewport.y} + viewport.h / 2 + offset.y;

    const int dw = std::max(1, roundClamped(scale * in.box.w));
    const int dh = std::max(1, roundClamped(scale * in.box.h));
    const int dx0 = roundClamped(x - dw / 2);
    const int dy0 = roundClamped(y - dh / 2);
    const double mx = static_cast<double>(in.margin) * dw / in.box.w;
    const double my = static_cast<double>(in.margin) * dh / in.box.h;

    ShapePlacement placement;
    placement.destination = {static_cast<float>(dx0 - mx), static_cast<float>(dy0 - my),
                             static_cast<float>(dw + 2 * mx), static_cast<float>(dh + 2 * my)};
    placement.centre = {placement.destination.w / 2, placement.destination.h / 2};
    placement.angle = in.angle + mapping.angle();
    return placement;
}

}  // namespace lumetta
