#include "objects/image_layout.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <stdexcept>

namespace lumetta {

std::uint8_t parseImageOpacity(const std::string& text) {
    std::size_t consumed = 0;
    const float value = std::stof(text, &consumed);
    const bool onlySpaceFollows = std::all_of(text.begin() + static_cast<std::ptrdiff_t>(consumed), text.end(),
                                              [](char c) { return std::isspace(static_cast<unsigned char>(c)); });
    if (!std::isfinite(value) || !onlySpaceFollows) throw std::invalid_argument("Invalid image opacity: " + text);
    if (value < 0.0f) return 0;
    if (value > 1.0f) return 255;
    return static_cast<std::uint8_t>(std::lround(static_cast<double>(value) * 255.0));
}

std::optional<ImagePlacement> placeImage(const ImagePlacementInput& in) {
    const SDL_Rect& element = in.element;
    if (in.pictureWidth <= 0 || in.pictureHeight <= 0 || element.w <= 0 || element.h <= 0 || in.slideWidth <= 0 ||
        in.slideHeight <= 0 || in.viewport.w <= 0 || in.viewport.h <= 0)
        return std::nullopt;

    const int turn = normalizedRotation(in.rotation);
    const double viewportW = in.viewport.w, viewportH = in.viewport.h;
    const double scale = (turn == 90 || turn == 270)
                             ? std::min(viewportW / in.slideHeight, viewportH / in.slideWidth)
                             : std::min(viewportW / in.slideWidth, viewportH / in.slideHeight);
    double scaledW = element.w * scale;
    double scaledH = element.h * scale;
    if (!(scale > 0) || !(scaledW > 0) || !(scaledH > 0)) return std::nullopt;

    // The element's centre, relative to the slide's centre, turns with the display.
    const double offsetX = (element.x + element.w * 0.5 - in.slideWidth * 0.5) * scale;
    const double offsetY = (element.y + element.h * 0.5 - in.slideHeight * 0.5) * scale;
    const double theta = -(in.rotation * 3.141592653589793) / 180.0;
    const double centreX = in.viewport.x + viewportW * 0.5 + offsetX * std::cos(theta) - offsetY * std::sin(theta);
    const double centreY = in.viewport.y + viewportH * 0.5 + offsetX * std::sin(theta) + offsetY * std::cos(theta);

    ImagePlacement out;
    out.angle = -static_cast<double>(in.rotation);
    out.box.w = std::max(1L, std::lround(scaledW));
    out.box.h = std::max(1L, std::lround(scaledH));
    out.box.x = static_cast<int>(std::lround(centreX - out.box.w * 0.5));
    out.box.y = static_cast<int>(std::lround(centreY - out.box.h * 0.5));

    const double pictureAspect = static_cast<double>(in.pictureWidth) / in.pictureHeight;
    const double boxAspect = scaledW / scaledH;
    out.source = {0, 0, in.pictureWidth, in.pictureHeight};
    if (in.fitMode == "fit") {
        if (pictureAspect > boxAspect)
            scaledH = scaledW / pictureAspect;
        else
            scaledW = scaledH * pictureAspect;
    } else if (in.fitMode == "crop") {
        if (pictureAspect > boxAspect) {
            out.source.w = static_cast<int>(
                std::min<long>(std::max(1L, std::lround(in.pictureHeight * boxAspect)), in.pictureWidth));
            out.source.x = (in.pictureWidth - out.source.w) / 2;
        } else if (pictureAspect < boxAspect) {
            out.source.h = static_cast<int>(
                std::min<long>(std::max(1L, std::lround(in.pictureWidth / boxAspect)), in.pictureHeight));
            out.source.y = (in.pictureHeight - out.source.h) / 2;
        }
    }

    out.destination.w = std::max(1L, std::lround(scaledW));
    out.destination.h = std::max(1L, std::lround(scaledH));
    out.destination.x = static_cast<int>(std::lround(centreX - out.destination.w * 0.5));
    out.destination.y = static_cast<int>(std::lround(centreY - out.destination.h * 0.5));
    return out;
}

namespace {
std::uint64_t effectiveDelay(std::uint32_t delay) { return delay <= 9 ? 100 : delay; }
}  // namespace

std::uint32_t advanceAnimation(const std::vector<std::uint32_t>& delays, std::size_t frameCount,
                               std::uint32_t& currentFrame, std::uint64_t& nextFrameDue, std::uint64_t now) {
    if (frameCount <= 1) return 0;
    if (currentFrame >= frameCount) currentFrame = 0;
    if (delays.size() != frameCount) return currentFrame;

    if (nextFrameDue == 0) nextFrameDue = now + effectiveDelay(delays[currentFrame]);
    // Not drawn for over a minute (another slide was showing): start again where it stood
    // rather than racing through the missed frames.
    if (nextFrameDue + 60000 < now) nextFrameDue = now + effectiveDelay(delays[currentFrame]);
    while (now >= nextFrameDue) {
        currentFrame = static_cast<std::uint32_t>((currentFrame + 1) % frameCount);
        nextFrameDue += effectiveDelay(delays[currentFrame]);
    }
    return currentFrame;
}

}  // namespace lumetta
