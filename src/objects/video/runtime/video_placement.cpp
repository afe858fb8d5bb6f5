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
    // Only quarter turns turn a video; any other rotation shows it upright.
    const int rotation = normalizedRotation(rotationDegrees) % 90 == 0 ? rotationDegrees : 0;
    const SlideMapping mapping(view, rotation, std::max(1, slideWidth), std::max(1, slideHeight));
    const bool quarterTurn = mapping.quarterTurn();
    const OutputRect seen = mapping.bounds(mapping.box(layer.x, layer.y, layer.w, layer.h));

    VideoPlacement placement;
    placement.angle = normalizedRotation(static_cast<int>(mapping.angle()));
    const int left = roundToInt(seen.x);
    const int top = roundToInt(seen.y);
    const int width = std::max(1, roundToInt(seen.w));
    const int height = std::max(1, roundToInt(seen.h));
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
