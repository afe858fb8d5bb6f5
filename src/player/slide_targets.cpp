#include "player/slide_targets.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "display/display.h"

namespace lumetta::player {

TextureHandle createSlideTarget(Display& display) {
    SDL_Renderer* renderer = display.renderer();
    TextureHandle target(renderer == nullptr
                             ? nullptr
                             : SDL_CreateTexture(renderer, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_TARGET,
                                                 std::max(1, display.width()), std::max(1, display.height())));
    if (!target) {
        if (renderer == nullptr) SDL_SetError("no renderer");
        throw std::runtime_error(std::string("Could not create slide render target: ") + SDL_GetError());
    }
    SDL_SetTextureBlendMode(target.get(), SDL_BLENDMODE_BLEND);
    return target;
}

void selectDownloadTarget(Display& display, TextureHandle& holder, bool enabled) {
    if (!enabled) return;
    if (!holder) holder = createSlideTarget(display);
    if (!SDL_SetRenderTarget(display.renderer(), holder.get())) {
        throw std::runtime_error(std::string("Could not select download slide target: ") + SDL_GetError());
    }
    SDL_SetRenderViewport(display.renderer(), nullptr);
    display.clear(SDL_Color{0, 0, 0, 255});
}

SDL_FRect revealedSlideRect(int width, int height, double progress) {
    const double w = width;
    const double h = height;
    double p = std::isnan(progress) ? 0.0 : std::clamp(progress, 0.0, 1.0);
    const double eased = (3 - 2 * p) * p * p;
    const double inset = eased * std::min((std::min(w, h) - 1) * 0.5, 160.0);
    const double scale = std::min((w - 2 * inset) / w, (h - 2 * inset) / h);
    if (!(scale > 0) || !(w > 0) || !(h > 0)) return SDL_FRect{0, 0, 0, 0};
    const double sw = w * scale;
    const double sh = h * scale;
    return SDL_FRect{static_cast<float>((w - sw) / 2), static_cast<float>((h - sh) / 2), static_cast<float>(sw),
                     static_cast<float>(sh)};
}

void presentSlideTarget(Display& display, double progress, SDL_Texture* target) {
    SDL_Renderer* renderer = display.renderer();
    if (renderer == nullptr) return;
    SDL_SetRenderTarget(renderer, nullptr);
    SDL_SetRenderViewport(renderer, nullptr);
    SDL_SetRenderDrawColor(renderer, 0, 0, 0, 255);
    SDL_RenderClear(renderer);
    if (target == nullptr) return;
    const SDL_FRect destination = revealedSlideRect(display.width(), display.height(), progress);
    if (destination.w <= 0 || destination.h <= 0) return;
    display.drawSubmitter().renderTextureRotated(renderer, target, nullptr, &destination, 0.0, nullptr,
                                                 SDL_FLIP_NONE);
}

}  // namespace lumetta::player
