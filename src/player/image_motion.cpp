#include "player/image_motion.h"

#include <algorithm>
#include <cmath>

#include "player/transitions.h"

namespace lumetta::player {

double motionProgress(std::int64_t nowMs, std::int64_t slideStartMs, double durationSeconds) {
    const double span = durationSeconds > 0.0 ? durationSeconds * 1000.0 : 30000.0;
    return clampProgress((static_cast<double>(nowMs) - static_cast<double>(slideStartMs)) / span);
}

SDL_Rect motionWindow(int width, int height, std::string_view name, double progress) {
    const double p = clampProgress(progress);
    double zoom = 0.08;
    if (name == "zoom-out-slow") {
        zoom = 0.08 * (1.0 - p);
    } else if (name == "zoom-in-slow" || name.starts_with("ken-burns-")) {
        zoom = 0.08 * p;
    }
    const long marginX = std::max(0L, std::lround(width * zoom * 0.5));
    const long marginY = std::max(0L, std::lround(height * zoom * 0.5));
    const long windowWidth = std::max(1L, width - 2 * marginX);
    const long windowHeight = std::max(1L, height - 2 * marginY);

    const auto has = [&](std::string_view word) { return name.find(word) != std::string_view::npos; };
    const int directionX = has("left") ? -1 : has("right") ? 1 : 0;
    const int directionY = has("up") ? -1 : has("down") ? 1 : 0;
    const double s = 2.0 * p - 1.0;  // -1 at the start, +1 at the end
    const long offsetX = std::lround(s * directionX * static_cast<double>(marginX));
    const long offsetY = std::lround(s * directionY * static_cast<double>(marginY));
    const long x = std::min(std::max(0L, marginX + offsetX), width - windowWidth);
    const long y = std::min(std::max(0L, marginY + offsetY), height - windowHeight);
    return {static_cast<int>(x), static_cast<int>(y), static_cast<int>(windowWidth), static_cast<int>(windowHeight)};
}

void applyImageMotion(SDL_Renderer* renderer, SDL_Texture* texture, int width, int height, std::string_view name,
                      double progress, DrawSubmitter& submitter) {
    if (renderer == nullptr || texture == nullptr) return;
    if (name == "none" || width <= 0 || height <= 0) {
        drawTransitionTexture(renderer, texture, nullptr, nullptr, submitter);
        return;
    }
    const SDL_Rect window = motionWindow(width, height, name, progress);
    drawTransitionTexture(renderer, texture, &window, nullptr, submitter);
}

void applyImageMotion(SDL_Renderer* renderer, SDL_Texture* texture, int width, int height, MotionEffect effect,
                      double progress, DrawSubmitter& submitter) {
    applyImageMotion(renderer, texture, width, height, motionEffectName(effect), progress, submitter);
}

}  // namespace lumetta::player
