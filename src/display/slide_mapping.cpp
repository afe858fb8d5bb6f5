#include "display/slide_mapping.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <numbers>

#include "core/process_state.h"

namespace lumetta {

namespace {

int roundSaturating(double value) {
    if (std::isnan(value)) return 0;
    return static_cast<int>(std::clamp(std::round(value), static_cast<double>(INT_MIN), static_cast<double>(INT_MAX)));
}

}  // namespace

int normalizedRotation(int degrees) {
    const int reduced = degrees % 360;
    return reduced < 0 ? reduced + 360 : reduced;
}

SlideMapping::SlideMapping(SDL_Rect viewport, int rotation, int slideWidth, int slideHeight)
    : viewport_(viewport),
      rotation_(rotation),
      reduced_(normalizedRotation(rotation)),
      slideWidth_(slideWidth),
      slideHeight_(slideHeight) {
    if (viewport.w < 1 || viewport.h < 1 || slideWidth < 1 || slideHeight < 1) return;
    const double fittedWidth = quarterTurn() ? slideHeight : slideWidth;
    const double fittedHeight = quarterTurn() ? slideWidth : slideHeight;
    scale_ = std::min(viewport.w / fittedWidth, viewport.h / fittedHeight);
}

SlideMapping SlideMapping::forRenderer(SDL_Renderer* renderer, int slideWidth, int slideHeight) {
    SDL_Rect viewport{0, 0, 0, 0};
    if (!SDL_GetRenderViewport(renderer, &viewport) || viewport.w < 1 || viewport.h < 1) {
        int width = 0, height = 0;
        if (!SDL_GetCurrentRenderOutputSize(renderer, &width, &height)) width = height = 0;
        viewport = SDL_Rect{0, 0, width, height};
    }
    return SlideMapping(viewport, displayRotation.load(), slideWidth, slideHeight);
}

OutputPoint SlideMapping::centre() const {
    return {viewport_.x + viewport_.w / 2.0, viewport_.y + viewport_.h / 2.0};
}

OutputPoint SlideMapping::turned(double dx, double dy) const {
    // SDL turns clockwise on screen; the stored rotation turns the other way.
    switch (reduced_) {
        case 0: return {dx, dy};
        case 90: return {dy, -dx};
        case 180: return {-dx, -dy};
        case 270: return {-dy, dx};
        default: break;
    }
    const double theta = -static_cast<double>(rotation_) * std::numbers::pi / 180.0;
    const double c = std::cos(theta);
    const double s = std::sin(theta);
    return {dx * c - dy * s, dx * s + dy * c};
}

OutputPoint SlideMapping::point(double slideX, double slideY) const {
    const OutputPoint offset = turned((slideX - slideWidth_ / 2.0) * scale_, (slideY - slideHeight_ / 2.0) * scale_);
    const OutputPoint middle = centre();
    return {middle.x + offset.x, middle.y + offset.y};
}

OutputBox SlideMapping::box(double x, double y, double width, double height) const {
    const OutputPoint middle = point(x + width / 2.0, y + height / 2.0);
    return {middle.x, middle.y, width * scale_, height * scale_};
}

OutputRect SlideMapping::bounds(const OutputBox& box) const {
    const double w = quarterTurn() ? box.height : box.width;
    const double h = quarterTurn() ? box.width : box.height;
    return {box.centreX - w / 2.0, box.centreY - h / 2.0, w, h};
}

SDL_Rect roundedRect(const OutputBox& box) {
    const int w = std::max(1, roundSaturating(box.width));
    const int h = std::max(1, roundSaturating(box.height));
    return SDL_Rect{roundSaturating(box.centreX - w / 2.0), roundSaturating(box.centreY - h / 2.0), w, h};
}

}  // namespace lumetta
