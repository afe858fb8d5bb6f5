#include "objects/video/runtime/video_placement.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

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

std::optional<LetterboxBars> letterboxBars(const VideoPlacement& placement) {
    if (!placement.hasPicture) return std::nullopt;
    const SDL_Rect& picture = placement.picture;
    int64_t left = picture.x;
    int64_t top = picture.y;
    int64_t width = picture.w;
    int64_t height = picture.h;
    const int angle = static_cast<int>(placement.angle);
    if (angle % 90 != 0) return std::nullopt;
    if (angle % 180 != 0) {
        // A quarter turn about the picture's centre swaps its sides around that centre.
        if ((width - height) % 2 != 0) return std::nullopt;
        left = left + (width - height) / 2;
        top = top + (height - width) / 2;
        std::swap(width, height);
    }
    const SDL_Rect& box = placement.fill;
    const int64_t boxRight = static_cast<int64_t>(box.x) + box.w;
    const int64_t boxBottom = static_cast<int64_t>(box.y) + box.h;
    // The covered area, cut to the box.
    const int64_t coverLeft = std::clamp<int64_t>(left, box.x, boxRight);
    const int64_t coverTop = std::clamp<int64_t>(top, box.y, boxBottom);
    const int64_t coverRight = std::clamp<int64_t>(left + width, coverLeft, boxRight);
    const int64_t coverBottom = std::clamp<int64_t>(top + height, coverTop, boxBottom);

    LetterboxBars bars;
    const auto add = [&bars](int64_t x, int64_t y, int64_t w, int64_t h) {
        if (w > 0 && h > 0) {
            bars.rects[bars.count++] = SDL_Rect{clampToInt(x), clampToInt(y), clampToInt(w), clampToInt(h)};
        }
    };
    add(box.x, box.y, box.w, coverTop - box.y);
    add(box.x, coverBottom, box.w, boxBottom - coverBottom);
    add(box.x, coverTop, coverLeft - box.x, coverBottom - coverTop);
    add(coverRight, coverTop, boxRight - coverRight, coverBottom - coverTop);
    return bars;
}

}  // namespace lumetta
