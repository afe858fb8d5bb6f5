#include "objects/image_layout.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <stdexcept>

namespace lumetta {

namespace {

constexpr const char* invalidOpacity = "Invalid image opacity: ";

std::uint8_t alphaOfFinite(float value) {
    if (value < 0.0f) return 0;
    if (value > 1.0f) return 255;
    return static_cast<std::uint8_t>(std::lround(static_cast<double>(value) * 255.0));
}

}  // namespace

std::uint8_t parseImageOpacity(const std::string& text) {
    std::size_t consumed = 0;
    const float value = std::stof(text, &consumed);
    const bool onlySpaceFollows = std::all_of(text.begin() + static_cast<std::ptrdiff_t>(consumed), text.end(),
                                              [](char c) { return std::isspace(static_cast<unsigned char>(c)); });
    if (!std::isfinite(value) || !onlySpaceFollows) throw std::invalid_argument(invalidOpacity + text);
    return alphaOfFinite(value);
}

std::uint8_t imageOpacityAlpha(const ElementOpacity& opacity) {
    if (const std::string* text = opacity.text()) return parseImageOpacity(*text);
    return alphaOfFinite(opacity.finiteNumber(invalidOpacity));
}

std::optional<ImagePlacement> placeImage(const ImagePlacementInput& in) {
    const SDL_Rect& element = in.element;
    const SlideMapping mapping(in.viewport, in.rotation, in.slideWidth, in.slideHeight);
    if (!mapping.usable() || in.pictureWidth <= 0 || in.pictureHeight <= 0 || element.w <= 0 || element.h <= 0)
        return std::nullopt;
    const OutputBox mapped = mapping.box(element.x, element.y, element.w, element.h);
    double scaledW = mapped.width;
    double scaledH = mapped.height;

    ImagePlacement out;
    out.angle = mapping.angle();
    out.box = roundedRect(mapped);

    const double pictureAspect = static_cast<double>(in.pictureWidth) / in.pictureHeight;
    const double boxAspect = scaledW / scaledH;
    out.source = {0, 0, in.pictureWidth, in.pictureHeight};
    if (in.fit == ImageFit::Fit) {
        if (pictureAspect > boxAspect)
            scaledH = scaledW / pictureAspect;
        else
            scaledW = scaledH * pictureAspect;
    } else if (in.fit == ImageFit::Crop) {
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

    out.destination = roundedRect({mapped.centreX, mapped.centreY, scaledW, scaledH});
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
