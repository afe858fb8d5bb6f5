#pragma once
// The ticker's strip: the whole ticker text rendered once into one wide surface (bullets grey,
// each item in a colour picked from its own text, a black outline round every piece), and the
// process-wide cache that lets tickers with the same text, font and colour share a rendering.

#include <SDL3/SDL.h>
#include <SDL3_ttf/SDL_ttf.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "objects/surface_cache.h"

namespace lumetta {

// One piece of the strip before rendering.
struct TickerSegment {
    std::string text;
    SDL_Color color;
};

inline constexpr std::string_view tickerBullet = "\xE2\x80\xA2";  // U+2022
inline constexpr SDL_Color tickerBulletColor{128, 128, 128, 255};
inline constexpr SDL_Color tickerOutlineColor{0, 0, 0, 255};
inline constexpr int tickerOutlineWidth = 3;
inline constexpr std::uint32_t tickerItemHashSeed = 0xc70f6907u;
inline constexpr std::size_t tickerStripByteLimit = 64u * 1024u * 1024u;

inline constexpr std::array<SDL_Color, 8> tickerItemPalette{{
    {255, 128, 0, 255},
    {0, 216, 255, 255},
    {255, 224, 64, 255},
    {128, 255, 128, 255},
    {255, 128, 192, 255},
    {160, 160, 255, 255},
    {224, 128, 255, 255},
    {255, 255, 255, 255},
}};

// 32-bit MurmurHash2 of `bytes` (four-byte blocks read little-endian). With the seed above it
// is the string hash of the 32-bit boards, which fixed the colours viewers already know.
std::uint32_t murmurHash2(const void* bytes, std::size_t length, std::uint32_t seed);

// The text cut at bullets: text before the first bullet in `color`, then for every bullet a
// grey bullet piece and the item after it in its palette colour (never the colour of the item
// before it). Items keep their surrounding spaces; an item may be empty.
std::vector<TickerSegment> tickerSegments(const std::string& text, SDL_Color color);

// The strip cache key of a ticker.
std::string stripKey(const std::string& fontPath, int fontSize, std::uint8_t fontStyle, SDL_Color color,
                     const std::string& text);

// Throws the strip renderer's size errors: width below 2^31, both sides at least 1, and at
// most 64 MiB of pixels.
void checkTickerStripSize(std::int64_t width, std::int64_t height);

// Renders the strip (SDL_PIXELFORMAT_ABGR8888, blended, transparent between pieces); the caller
// owns it. Empty items have no width and are left out. Throws std::runtime_error; the font's
// outline is 0 again afterwards either way.
SDL_Surface* renderTickerStrip(TTF_Font* font, const std::string& text, SDL_Color color);

// Fills `window` with the part of an endless tape (the strip followed by `gap` columns of what
// the window already holds) that starts at tape position `offset`. Nothing is allocated.
// Throws std::runtime_error when a blit fails.
void composeTickerWindow(SDL_Surface* strip, SDL_Surface* window, int offset, int gap);

// Strips by key, at most 32 and 64 MiB, the oldest first insertion going first. Users only ever
// get copies, so their strips stay valid whatever the cache does.
class TickerSurfaceCache : public SurfaceCache {
public:
    static constexpr std::size_t maxEntries = 32;
    static constexpr std::size_t maxBytes = tickerStripByteLimit;

    TickerSurfaceCache() : SurfaceCache(maxEntries, maxBytes) {}
};

// The process-wide strip cache.
TickerSurfaceCache& tickerSurfaceCache();
SDL_Surface* copyTickerSurface(const std::string& key);
void storeTickerSurface(const std::string& key, SDL_Surface* surface);

}  // namespace lumetta
