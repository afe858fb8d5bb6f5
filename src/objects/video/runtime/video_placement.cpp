#include "objects/video/runtime/video_placement.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace lumetta {

namespace {

int clampToInt(double value) {
    if (std::isnan(value)) {
        return 0;
    }
    return static_cast<int>(std::clamp(value, static_cast<double>(std::numeric_limits<int>::min()),
                                       static_cast<double>(std::numeric_limits<int>::max())));
}

int clampToInt(int64_t value) {
    return static_cast<int>(std::clamp<int64_t>(value, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

// Nearest integer in single precision, clamped to the int range.
int roundToInt(double value) { return clampToInt(static_cast<double>(std::round(static_cast<float>(value)))); }

}  // namespace

VideoPlacement placeVideo(const SDL_Rect& view, int slideWidth, int slideHeight, const SDL_Rect& layer,
                          int rotationDegrees, int pictureWidth, int pictureHeight) {
    const int rotation = normalizedRotation(rotationDegrees);
    const bool quarterTurn = rotation == 90 || rotation == 270;
    const double slideW = std::max(1, slideWidth);
    const double slideH = std::max(1, slideHeight);
    const double sw = quarterTurn ? slideH : slideW;
    const double sh = quarterTurn ? slideW : slideH;
    const double scale = std::min(view.w / sw, view.h / sh);

    const int64_t x = layer.x;
    const int64_t y = layer.y;
    const int64_t w = layer.w;
    const int64_t h = layer.h;
    double originX = static_cast<double>(x);
    double originY = static_cast<double>(y);
    double boxWidth = static_cast<double>(w);
    double boxHeight = static_cast<double>(h);
    VideoPlacement placement;
    switch (rotation) {
        case 180:
            originX = static_cast<double>(slideWidth - x - w);
            originY = static_cast<double>(slideHeight - y - h);
            placement.angle = 180.0;
            break;
        case 90:
            originX = static_cast<double>(y);
            originY = static_cast<double>(slideWidth - x - w);
            boxWidth = static_cast<double>(h);
            boxHeight = static_cast<double>(w);
            placement.angle = 270.0;
            break;
        case 270:
            originX = static_cast<double>(slideHeight - y - h);
            originY = static_cast<double>(x);
            boxWidth = static_cast<double>(h);
            boxHeight = static_cast<double>(w);
            placement.angle = 90.0;
            break;
        default:
            break;
    }

    const int left = roundToInt(view.x + (view.w - scale * sw) * 0.5 + originX * scale);
    const int top = roundToInt(view.y + (view.h - scale * sh) * 0.5 + originY * scale);
    const int width = std::max(1, roundToInt(boxWidth * scale));
    const int height = std::max(1, roundToInt(boxHeight * scale));
    placement.fill = SDL_Rect{left, top, width, height};

    // The rectangle the turned picture is fitted into: for a quarter turn, the unturned
    // rectangle with the box's centre whose turned image is the box.
    SDL_Rect rect = placement.fill;
    if (quarterTurn) {
        rect = SDL_Rect{roundToInt(left + width / 2.0 - height / 2.0), roundToInt(top + height / 2.0 - width / 2.0),
                        height, width};
    }

    if (pictureWidth > 0 && pictureHeight > 0) {
        // The same pairing for every rotation keeps the turned picture inside the box.
        const double fit = std::min(static_cast<double>(rect.w) / pictureWidth,
                                    static_cast<double>(rect.h) / pictureHeight);
        const int drawnWidth = std::max(1, roundToInt(pictureWidth * fit));
        const int drawnHeight = std::max(1, roundToInt(pictureHeight * fit));
        const int64_t pictureLeft = static_cast<int64_t>(rect.x) + (static_cast<int64_t>(rect.w) - drawnWidth) / 2;
        const int64_t pictureTop = static_cast<int64_t>(rect.y) + (static_cast<int64_t>(rect.h) - drawnHeight) / 2;
        placement.picture = SDL_Rect{clampToInt(pictureLeft), clampToInt(pictureTop), drawnWidth, drawnHeight};
        placement.hasPicture = true;
    }
    return placement;
}

}  // namespace lumetta
