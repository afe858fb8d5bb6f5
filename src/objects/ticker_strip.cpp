#include "objects/ticker_strip.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "display/sdl_handles.h"

namespace lumetta {

std::uint32_t murmurHash2(const void* bytes, std::size_t length, std::uint32_t seed) {
    constexpr std::uint32_t m = 0x5bd1e995u;
    constexpr int r = 24;
    const auto* data = static_cast<const unsigned char*>(bytes);
    std::uint32_t h = seed ^ static_cast<std::uint32_t>(length);
    while (length >= 4) {
        std::uint32_t k = static_cast<std::uint32_t>(data[0]) | static_cast<std::uint32_t>(data[1]) << 8 |
                          static_cast<std::uint32_t>(data[2]) << 16 | static_cast<std::uint32_t>(data[3]) << 24;
        k *= m;
        k ^= k >> r;
        k *= m;
        h *= m;
        h ^= k;
        data += 4;
        length -= 4;
    }
    switch (length) {
        case 3:
            h ^= static_cast<std::uint32_t>(data[2]) << 16;
            [[fallthrough]];
        case 2:
            h ^= static_cast<std::uint32_t>(data[1]) << 8;
            [[fallthrough]];
        case 1:
            h ^= data[0];
            h *= m;
    }
    h ^= h >> 13;
    h *= m;
    h ^= h >> 15;
    return h;
}

std::vector<TickerSegment> tickerSegments(const std::string& text, SDL_Color color) {
    std::vector<TickerSegment> segments;
    if (text.empty()) {
        segments.push_back({"", color});
        return segments;
    }
    std::size_t pos = 0;
    int previous = -1;
    while (pos < text.size()) {
        const std::size_t bullet = text.find(tickerBullet, pos);
        if (bullet == std::string::npos) {
            segments.push_back({text.substr(pos), color});
            break;
        }
        if (bullet > pos) segments.push_back({text.substr(pos, bullet - pos), color});
        const std::size_t itemStart = bullet + tickerBullet.size();
        std::size_t itemEnd = text.find(tickerBullet, itemStart);
        if (itemEnd == std::string::npos) itemEnd = text.size();
        std::string item = text.substr(itemStart, itemEnd - itemStart);
        int index = static_cast<int>(murmurHash2(item.data(), item.size(), tickerItemHashSeed) & 7u);
        if (index == previous) index = (index + 1) % 8;
        segments.push_back({std::string(tickerBullet), tickerBulletColor});
        segments.push_back({std::move(item), tickerItemPalette[static_cast<std::size_t>(index)]});
        previous = index;
        pos = itemEnd;
    }
    return segments;
}

std::string stripKey(const std::string& fontPath, int fontSize, std::uint8_t fontStyle, SDL_Color color,
                     const std::string& text) {
    return fontPath + "|" + std::to_string(fontSize) + "|" + std::to_string(fontStyle) + "|kerning=0|" +
           std::to_string(color.r) + "," + std::to_string(color.g) + "," + std::to_string(color.b) + "," +
           std::to_string(color.a) + "|" + text;
}

namespace {

constexpr std::int64_t kWidthLimit = std::int64_t{1} << 31;

[[noreturn]] void fail(const char* what) { throw std::runtime_error(std::string(what) + SDL_GetError()); }

// Puts the font's outline back to 0 on every way out.
class OutlineReset {
public:
    explicit OutlineReset(TTF_Font* font) : font_(font) {}
    ~OutlineReset() { TTF_SetFontOutline(font_, 0); }
    OutlineReset(const OutlineReset&) = delete;
    OutlineReset& operator=(const OutlineReset&) = delete;

private:
    TTF_Font* font_;
};

SurfaceHandle renderPiece(TTF_Font* font, const TickerSegment& segment) {
    TTF_SetFontOutline(font, tickerOutlineWidth);
    SurfaceHandle outline(TTF_RenderText_Blended(font, segment.text.data(), segment.text.size(), tickerOutlineColor));
    TTF_SetFontOutline(font, 0);
    if (!outline) fail("TTF outline rendering failed: ");
    SurfaceHandle colored(TTF_RenderText_Blended(font, segment.text.data(), segment.text.size(), segment.color));
    if (!colored) fail("TTF_RenderText_Blended failed: ");
    SDL_Rect at{tickerOutlineWidth, tickerOutlineWidth, colored->w, colored->h};
    if (!SDL_BlitSurface(colored.get(), nullptr, outline.get(), &at)) fail("Ticker outline composition failed: ");
    return outline;
}

}  // namespace

void checkTickerStripSize(std::int64_t width, std::int64_t height) {
    if (width >= kWidthLimit) throw std::runtime_error("Rendered ticker width exceeds SDL limits");
    if (width < 1 || height < 1) throw std::runtime_error("Rendered ticker dimensions are invalid");
    // Bounding the height first keeps the product well inside 64 bits for any accepted width.
    constexpr auto byteLimit = static_cast<std::int64_t>(tickerStripByteLimit);
    if (height > byteLimit / 4 || width * height * 4 > byteLimit) {
        throw std::runtime_error("Rendered ticker exceeds the 64 MiB surface limit");
    }
}

SDL_Surface* renderTickerStrip(TTF_Font* font, const std::string& text, SDL_Color color) {
    if (font == nullptr) throw std::runtime_error("Ticker font is null");
    OutlineReset outlineReset(font);

    std::vector<SurfaceHandle> pieces;
    std::int64_t width = 0;
    int height = 0;
    for (const TickerSegment& segment : tickerSegments(text, color)) {
        // Two bullets in a row or a bullet at the end leave an empty item: it has no width, and
        // the font library would refuse it and with it the whole strip.
        if (segment.text.empty()) continue;
        pieces.push_back(renderPiece(font, segment));
        width += pieces.back()->w;
        if (width >= kWidthLimit) throw std::runtime_error("Rendered ticker width exceeds SDL limits");
        height = std::max(height, pieces.back()->h);
    }
    checkTickerStripSize(width, height);

    SurfaceHandle strip(SDL_CreateSurface(static_cast<int>(width), height, SDL_PIXELFORMAT_ABGR8888));
    if (!strip) fail("SDL_CreateSurface failed: ");
    if (!SDL_FillSurfaceRect(strip.get(), nullptr, SDL_MapSurfaceRGBA(strip.get(), 0, 0, 0, 0))) {
        fail("SDL_FillSurfaceRect failed: ");
    }
    if (!SDL_SetSurfaceBlendMode(strip.get(), SDL_BLENDMODE_BLEND)) fail("SDL_SetSurfaceBlendMode failed: ");
    int x = 0;
    for (const SurfaceHandle& piece : pieces) {
        SDL_Rect at{x, (height - piece->h) / 2, piece->w, piece->h};
        if (!SDL_BlitSurface(piece.get(), nullptr, strip.get(), &at)) fail("SDL_BlitSurface failed: ");
        x += piece->w;
    }
    return strip.release();
}

void composeTickerWindow(SDL_Surface* strip, SDL_Surface* window, int offset, int gap) {
    if (strip->w <= 0 || strip->h <= 0 || window->w <= 0 || window->h <= 0) return;
    const std::int64_t stripWidth = strip->w;
    const std::int64_t period = stripWidth + std::max(gap, 1);
    std::int64_t s = offset % period;
    if (s < 0) s += period;
    const int rows = std::min(strip->h, window->h);
    const int y = strip->h > window->h ? 0 : (window->h - strip->h) / 2;
    std::int64_t x = 0;
    while (x < window->w) {
        const std::int64_t room = window->w - x;
        std::int64_t n;
        if (s < stripWidth) {
            n = std::min(stripWidth - s, room);
            SDL_Rect from{static_cast<int>(s), 0, static_cast<int>(n), rows};
            SDL_Rect to{static_cast<int>(x), y, static_cast<int>(n), rows};
            if (!SDL_BlitSurface(strip, &from, window, &to)) fail("SDL_BlitSurface failed: ");
        } else {
            n = std::min(period - s, room);
        }
        x += n;
        s += n;
        if (s >= period) s = 0;
    }
}

SDL_Surface* copyTickerSurface(const std::string& key) { return tickerSurfaceCache().copy(key); }

void storeTickerSurface(const std::string& key, SDL_Surface* surface) { tickerSurfaceCache().store(key, surface); }

TickerSurfaceCache& tickerSurfaceCache() {
    static TickerSurfaceCache cache;
    return cache;
}

}  // namespace lumetta
