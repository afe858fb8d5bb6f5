#include "screens/overlay_box.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace lumetta::screens {

namespace {

constexpr SDL_Color white{255, 255, 255, 255};

}  // namespace

OverlayBoxLayout overlayBoxLayout(int textWidth, int textHeight, int width, int height) {
    const int margin = height < 756 ? 20 : height / 36;
    const int half = height < 900 ? 14 : height / 60;
    const int padding = 2 * half;
    OverlayBoxLayout layout;
    layout.box = SDL_Rect{width - textWidth - padding - margin, height - textHeight - padding - margin,
                          textWidth + padding, textHeight + padding};
    layout.text = SDL_Rect{layout.box.x + half, layout.box.y + half, textWidth, textHeight};
    layout.bar = SDL_Rect{layout.box.x, layout.box.y, height < 1440 ? 6 : 2 * (height / 360), layout.box.h};
    return layout;
}

int overlayBoxFontSize(int height) { return height < 756 ? 18 : std::min(30, height / 42); }

std::vector<std::string> overlayBoxFonts(const std::string& fontsDirectory) {
    return {fontsDirectory + "/" + "Lato-Regular" + ".ttf", std::string("assets/fonts/") + "Lato-Regular" + ".ttf",
            "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"};
}

bool fontEngineReady() { return TTF_WasInit() > 0 || TTF_Init(); }

FontHandle openFirstFont(const std::vector<std::string>& paths, int size) {
    if (size <= 0 || !fontEngineReady()) return nullptr;
    for (const std::string& path : paths) {
        std::error_code error;
        if (path.empty() || !std::filesystem::is_regular_file(path, error)) continue;
        FontHandle font(TTF_OpenFont(path.c_str(), static_cast<float>(size)));
        if (font) return font;
    }
    return nullptr;
}

int maxTextureSide(SDL_Renderer* renderer) {
    const Sint64 side =
        SDL_GetNumberProperty(SDL_GetRendererProperties(renderer), SDL_PROP_RENDERER_MAX_TEXTURE_SIZE_NUMBER, 0);
    // The software renderer names no limit; a line of text wider than this is no use on a screen.
    constexpr Sint64 fallback = 16384;
    return static_cast<int>(side > 0 ? std::min(side, fallback) : fallback);
}

bool textFitsWidth(TTF_Font* font, std::string_view text, int limit) {
    if (font == nullptr || limit <= 0) return false;
    for (std::size_t span = 256;; span *= 2) {
        std::size_t end = std::min(span, text.size());
        while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) ++end;
        int width = 0;
        std::size_t fitting = 0;
        if (!TTF_MeasureString(font, text.data(), end, limit, &width, &fitting) || fitting < end) return false;
        if (end == text.size()) return true;
    }
}

SDL_Texture* OverlayBoxText::prepare(SDL_Renderer* renderer, const std::string& text, int outputHeight) {
    if (renderer == nullptr) return nullptr;
    if (!font_) {
        font_ = openFirstFont(fonts_, overlayBoxFontSize(outputHeight));
        if (!font_) return nullptr;
    }
    if (renderer == renderer_ && text == text_) return failed_ ? nullptr : texture_.get();
    texture_.reset();
    renderer_ = renderer;
    text_ = text;
    width_ = height_ = 0;
    failed_ = true;
    if (text.empty() || !textFitsWidth(font_.get(), text, maxTextureSide(renderer))) return nullptr;
    SurfaceHandle surface(TTF_RenderText_Blended(font_.get(), text.data(), text.size(), white));
    if (!surface) return nullptr;
    texture_.reset(SDL_CreateTextureFromSurface(renderer, surface.get()));
    if (!texture_) return nullptr;
    width_ = surface->w;
    height_ = surface->h;
    failed_ = false;
    return texture_.get();
}

void OverlayBoxText::release() {
    texture_.reset();
    font_.reset();
    renderer_ = nullptr;
    text_.clear();
    failed_ = false;
    width_ = height_ = 0;
}

void drawOverlayBox(SDL_Renderer* renderer, SDL_Texture* text, int textWidth, int textHeight, int width,
                    int height) {
    if (renderer == nullptr || text == nullptr) return;
    const OverlayBoxLayout layout = overlayBoxLayout(textWidth, textHeight, width, height);
    SDL_FRect box, bar, place;
    SDL_RectToFRect(&layout.box, &box);
    SDL_RectToFRect(&layout.bar, &bar);
    SDL_RectToFRect(&layout.text, &place);
    SDL_SetRenderDrawBlendMode(renderer, SDL_BLENDMODE_BLEND);
    SDL_SetRenderDrawColor(renderer, 34, 34, 34, 255);
    SDL_RenderFillRect(renderer, &box);
    SDL_SetRenderDrawColor(renderer, 255, 128, 0, 255);
    SDL_RenderFillRect(renderer, &bar);
    SDL_RenderTexture(renderer, text, nullptr, &place);
    SDL_SetRenderDrawBlendMode(renderer, SDL_BLENDMODE_NONE);
}

}  // namespace lumetta::screens
