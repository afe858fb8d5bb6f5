#include "wifi/setup_drawing.h"

#include <cerrno>

#include "core/child_process.h"
#include "core/shared_defaults.h"

namespace lumetta::wifi {

namespace {

// Renders `text` and copies its left `maxWidth` pixels (all of it when negative) to (x, y).
void renderText(SDL_Renderer* renderer, TTF_Font* font, std::string_view text, int x, int y, int maxWidth,
                SDL_Color color) {
    if (renderer == nullptr || font == nullptr || text.empty()) return;
    TextureHandle texture;
    int width = 0;
    int height = 0;
    {
        SurfaceHandle surface(TTF_RenderText_Blended(font, text.data(), text.size(), color));
        if (!surface) return;
        texture.reset(SDL_CreateTextureFromSurface(renderer, surface.get()));
        width = surface->w;
        height = surface->h;
    }
    if (!texture) return;
    if (maxWidth >= 0 && maxWidth < width) width = maxWidth;
    const SDL_FRect source{0.0f, 0.0f, static_cast<float>(width), static_cast<float>(height)};
    const SDL_FRect target{static_cast<float>(x), static_cast<float>(y), static_cast<float>(width),
                           static_cast<float>(height)};
    SDL_RenderTexture(renderer, texture.get(), &source, &target);
}

}  // namespace

void drawTextAt(SDL_Renderer* renderer, TTF_Font* font, std::string_view text, int x, int y, SDL_Color color) {
    renderText(renderer, font, text, x, y, -1, color);
}

void drawAccentText(SDL_Renderer* renderer, TTF_Font* font, std::string_view text, int x, int y) {
    renderText(renderer, font, text, x, y, -1, kAccent);
}

void drawText(SDL_Renderer* renderer, TTF_Font* font, std::string_view text, int x, int y, int maxWidth,
              SDL_Color color) {
    if (maxWidth <= 0) return;
    renderText(renderer, font, text, x, y, maxWidth, color);
}

void fillRect(SDL_Renderer* renderer, const SDL_Rect* rect) {
    if (renderer == nullptr) return;
    if (rect == nullptr) {
        SDL_RenderFillRect(renderer, nullptr);
        return;
    }
    const SDL_FRect area{static_cast<float>(rect->x), static_cast<float>(rect->y), static_cast<float>(rect->w),
                         static_cast<float>(rect->h)};
    SDL_RenderFillRect(renderer, &area);
}

std::vector<std::filesystem::path> fontCandidates(const std::string& fontsDirectory) {
    return {std::filesystem::path(fontsDirectory + "/Lato-Regular.ttf"), "assets/fonts/Lato-Regular.ttf",
            "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"};
}

FontHandle openFont(int size, const std::vector<std::filesystem::path>& candidates) {
    for (const auto& path : candidates) {
        if (!std::filesystem::exists(path)) continue;
        FontHandle font(TTF_OpenFont(path.c_str(), static_cast<float>(size)));
        if (font) return font;
    }
    return nullptr;
}

FontHandle openFont(int size) {
    return openFont(size, fontCandidates(sharedDefaults().fontsDirectory));
}

void sleepMilliseconds(std::int64_t ms) {
    sleepMilliseconds(ms, [](const timespec* request, timespec* remaining) { return ::nanosleep(request, remaining); });
}

void sleepMilliseconds(std::int64_t ms, const Nanosleep& sleep) {
    if (ms < 1) return;
    timespec request{static_cast<time_t>(ms / 1000), static_cast<long>((ms % 1000) * 1000000)};
    for (;;) {
        timespec remaining{0, 0};
        if (sleep(&request, &remaining) == 0) return;
        if (errno != EINTR) return;
        request = remaining;
    }
}

int runCommand(const std::vector<std::string>& args) {
    if (args.empty()) return -1;
    ChildOptions options;
    options.out = ChildStream::Discard;
    options.err = ChildStream::Discard;
    // No time limit: the default limit never ends the child.
    return runChild(args, options).exitStatus;
}

}  // namespace lumetta::wifi
