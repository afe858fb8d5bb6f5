#include "objects/text_lines.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <stdexcept>

#include "core/int_range.h"
#include "objects/font_path.h"
#include "objects/text_preparation.h"

namespace lumetta {

namespace {

[[noreturn]] void throwSdlError() { throw std::runtime_error(SDL_GetError()); }

bool isContinuationByte(unsigned char byte) { return byte >= 0x80 && byte <= 0xBF; }

}  // namespace

std::string trimmedText(const std::string& text) {
    std::size_t begin = 0, end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin])) != 0) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1])) != 0) --end;
    return text.substr(begin, end - begin);
}

void removeLineBreaks(std::string& line) {
    std::erase_if(line, [](char c) { return c == '\r' || c == '\n'; });
}

// Cuts the last UTF-8 character (back to its lead byte) from a text.
void dropLastCharacter(std::string& text) {
    std::size_t end = text.size();
    while (end > 0) {
        --end;
        if (!isContinuationByte(static_cast<unsigned char>(text[end]))) break;
    }
    text.resize(end);
}

// The ends of the characters of a plain line, for the typewriter reveal.
std::vector<int> plainCharacterOffsets(TTF_Font* font, const std::vector<StyledRun>& runs) {
    std::vector<int> offsets;
    int before = 0;
    for (const auto& run : runs) {
        TTF_SetFontStyle(font, run.style & fontEngineStyleMask);
        for (std::size_t end = 1; end <= run.text.size(); ++end) {
            if (end < run.text.size() && isContinuationByte(static_cast<unsigned char>(run.text[end]))) continue;
            int w = 0, h = 0;
            if (!TTF_GetStringSize(font, run.text.data(), end, &w, &h)) throwSdlError();
            offsets.push_back(before + w);
        }
        int w = 0, h = 0;
        if (!TTF_GetStringSize(font, run.text.data(), run.text.size(), &w, &h)) throwSdlError();
        before += w;
    }
    return offsets;
}

int measureLineWidth(const TextStyle& style, TTF_Font* font, const std::vector<StyledRun>& runs) {
    const auto pieces = splitStyledPieces(toStyledPieces(runs), style);
    if (pieces.empty()) return 0;
    std::int64_t total = 0;
    for (const auto& piece : pieces) {
        TTF_SetFontStyle(font, piece.style & fontEngineStyleMask);
        int w = 0, h = 0;
        if (!TTF_GetStringSize(font, piece.text.data(), piece.text.size(), &w, &h)) throwSdlError();
        total += w;
    }
    total += static_cast<std::int64_t>(style.characterSpacing) * static_cast<std::int64_t>(pieces.size() - 1);
    return clampToInt(total);
}

int textLineWidthLimit(SDL_Renderer* renderer) {
    const Sint64 limit = renderer == nullptr ? 0
                                             : SDL_GetNumberProperty(SDL_GetRendererProperties(renderer),
                                                                     SDL_PROP_RENDERER_MAX_TEXTURE_SIZE_NUMBER, 0);
    return limit > 0 && limit < std::numeric_limits<int>::max() ? static_cast<int>(limit) : maxTextLineWidth;
}

TextureHandle buildTextTexture(SDL_Renderer* renderer, TTF_Font* font, const std::string& keyPrefix,
                               const std::vector<StyledRun>& runs, int* width, int* height) {
    std::vector<SDL_Point> sizes;
    std::int64_t totalWidth = 0;
    int lineHeight = 0;
    for (const auto& run : runs) {
        TTF_SetFontStyle(font, run.style & fontEngineStyleMask);
        SDL_Point size{0, 0};
        if (!TTF_GetStringSize(font, run.text.data(), run.text.size(), &size.x, &size.y)) size = {0, 0};
        sizes.push_back(size);
        totalWidth += size.x;
        lineHeight = std::max(lineHeight, size.y);
    }
    if (totalWidth < 1 || lineHeight < 1 || totalWidth > std::numeric_limits<int>::max()) return nullptr;
    const int lineWidth = static_cast<int>(totalWidth);

    TextureHandle texture(
        SDL_CreateTexture(renderer, SDL_PIXELFORMAT_RGBA8888, SDL_TEXTUREACCESS_TARGET, lineWidth, lineHeight));
    if (!texture || !SDL_SetTextureBlendMode(texture.get(), SDL_BLENDMODE_BLEND)) return nullptr;

    SDL_Texture* previousTarget = SDL_GetRenderTarget(renderer);
    SDL_BlendMode previousBlend = SDL_BLENDMODE_NONE;
    SDL_GetRenderDrawBlendMode(renderer, &previousBlend);
    Uint8 pr = 0, pg = 0, pb = 0, pa = 0;
    SDL_GetRenderDrawColor(renderer, &pr, &pg, &pb, &pa);
    if (!SDL_SetRenderTarget(renderer, texture.get())) return nullptr;

    bool ok = SDL_SetRenderDrawBlendMode(renderer, SDL_BLENDMODE_BLEND) &&
              SDL_SetRenderDrawColor(renderer, 0, 0, 0, 0) && SDL_RenderClear(renderer);
    float x = 0;
    for (std::size_t i = 0; ok && i < runs.size(); ++i) {
        const auto& run = runs[i];
        const int w = sizes[i].x;
        const int h = sizes[i].y;
        if (w < 1 || h < 1) continue;
        const float y = static_cast<float>((lineHeight - h) / 2);
        const SDL_FRect place{x, y, static_cast<float>(w), static_cast<float>(h)};
        if (run.hasBackground) {
            ok = SDL_SetRenderDrawColor(renderer, run.background.r, run.background.g, run.background.b,
                                        run.background.a) &&
                 SDL_RenderFillRect(renderer, &place);
            if (!ok) break;
        }
        const std::string key = textRunKey(keyPrefix, run);
        SurfaceHandle surface(copyPreparedSurface(key));
        if (!surface) {
            TTF_SetFontStyle(font, run.style & fontEngineStyleMask);
            surface.reset(TTF_RenderText_Blended(font, run.text.data(), run.text.size(), run.color));
            if (surface) storePreparedSurface(key, surface.get());
        }
        if (!surface) {
            ok = false;
            break;
        }
        TextureHandle glyphs(SDL_CreateTextureFromSurface(renderer, surface.get()));
        surface.reset();
        ok = glyphs && SDL_RenderTexture(renderer, glyphs.get(), nullptr, &place);
        x += static_cast<float>(w);
    }
    const bool restored = SDL_SetRenderTarget(renderer, previousTarget);
    SDL_SetRenderDrawBlendMode(renderer, previousBlend);
    SDL_SetRenderDrawColor(renderer, pr, pg, pb, pa);
    if (!ok || !restored) return nullptr;
    if (width != nullptr) *width = lineWidth;
    if (height != nullptr) *height = lineHeight;
    return texture;
}

SDL_Rect mapSlideRect(const SlideMapping& mapping, const SDL_Rect& rect) {
    if (!mapping.usable() || rect.w < 1 || rect.h < 1) return SDL_Rect{0, 0, 0, 0};
    return roundedRect(mapping.box(rect.x, rect.y, rect.w, rect.h));
}

SDL_Rect fitRotatedRect(SDL_Rect rect, int slideWidth, int slideHeight, SDL_Rect viewport, int rotation) {
    return mapSlideRect(SlideMapping(viewport, rotation, slideWidth, slideHeight), rect);
}

std::string measureText(const std::string& text, int maxWidth, int fontSize, const std::string& fontFamily,
                        std::uint8_t fontStyle) {
    if (text.empty() || maxWidth <= 0 || fontSize <= 0) return "";
    if (TTF_WasInit() == 0 && !TTF_Init()) return text;
    const std::string path = fontPath(fontFamily, fontStyle);
    FontHandle font(path.empty() ? nullptr : TTF_OpenFont(path.c_str(), static_cast<float>(fontSize)));
    if (!font) return text;
    TTF_SetFontStyle(font.get(), fontStyle & fontEngineStyleMask);
    if ((fontStyle & fontStyleOutline) != 0) TTF_SetFontOutline(font.get(), 2);
    return measureText(font.get(), text, maxWidth);
}

std::string measureText(TTF_Font* font, const std::string& text, int maxWidth) {
    if (text.empty() || maxWidth <= 0) return "";
    if (font == nullptr) return text;
    auto fits = [&](const std::string& candidate) {
        int w = 0, h = 0;
        return TTF_GetStringSize(font, candidate.data(), candidate.size(), &w, &h) && w <= maxWidth;
    };
    // The part that fits alone, found by measuring ever longer heads of the text (the engine
    // lays out all it is given, so a megabyte measured whole would cost that much). No longer
    // prefix can fit with the ellipsis after it, so the search below starts there, with the
    // character just past it, instead of at the end: a few measurements, not one per character.
    bool measured = false;
    std::size_t fitting = 0;
    for (std::size_t span = 256;; span *= 2) {
        std::size_t end = std::min(span, text.size());
        while (end < text.size() && isContinuationByte(static_cast<unsigned char>(text[end]))) ++end;
        int measuredWidth = 0;
        measured = TTF_MeasureString(font, text.data(), end, maxWidth, &measuredWidth, &fitting);
        if (!measured || fitting < end || end == text.size()) break;
    }
    if ((!measured || fitting >= text.size()) && fits(text)) return text;
    std::string prefix = text;
    if (measured && fitting < text.size()) {
        std::size_t end = fitting + 1;
        while (end < text.size() && isContinuationByte(static_cast<unsigned char>(text[end]))) ++end;
        prefix.resize(end);
    }
    while (!prefix.empty()) {
        dropLastCharacter(prefix);
        const std::string candidate = prefix + ellipsisText;
        if (fits(candidate)) return candidate;
    }
    return "";
}

}  // namespace lumetta
