#include "objects/ticker_strip.h"

#include "display/sdl_handles.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace lumetta {
namespace {

using Surface = SurfaceHandle;

bool sameColor(SDL_Color a, SDL_Color b) { return a.r == b.r && a.g == b.g && a.b == b.b && a.a == b.a; }

std::string describe(SDL_Color c) {
    return std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) + "," + std::to_string(c.a);
}

SDL_Color pixelAt(SDL_Surface* s, int x, int y) {
    SDL_Color c{};
    SDL_ReadSurfacePixel(s, x, y, &c.r, &c.g, &c.b, &c.a);
    return c;
}

Surface filled(int w, int h, SDL_Color c) {
    Surface s(SDL_CreateSurface(w, h, SDL_PIXELFORMAT_ABGR8888));
    SDL_FillSurfaceRect(s.get(), nullptr, SDL_MapSurfaceRGBA(s.get(), c.r, c.g, c.b, c.a));
    return s;
}

std::vector<std::uint8_t> bytesOf(SDL_Surface* s) {
    std::vector<std::uint8_t> out;
    for (int y = 0; y < s->h; ++y) {
        const auto* row = static_cast<const std::uint8_t*>(s->pixels) + static_cast<std::ptrdiff_t>(y) * s->pitch;
        out.insert(out.end(), row, row + s->w * 4);
    }
    return out;
}

// ---------------------------------------------------------------- hash and segments

// The published verification of 32-bit MurmurHash2: keys {}, {0}, {0,1}, ... {0..254} hashed
// with seed 256 - length, their hashes hashed again with seed 0.
TEST(TickerItemHash, MatchesMurmurHash2Verification) {
    std::uint8_t key[256];
    std::uint8_t hashes[256 * 4];
    for (int i = 0; i < 256; ++i) {
        key[i] = static_cast<std::uint8_t>(i);
        const std::uint32_t h = murmurHash2(key, static_cast<std::size_t>(i), static_cast<std::uint32_t>(256 - i));
        for (int b = 0; b < 4; ++b) hashes[i * 4 + b] = static_cast<std::uint8_t>(h >> (8 * b));
    }
    EXPECT_EQ(murmurHash2(hashes, sizeof hashes, 0), 0x27864C1Eu);
}

TEST(TickerItemHash, KnownValuesWithTheTickerSeed) {
    struct Case {
        std::string text;
        std::uint32_t hash;
    };
    const Case cases[] = {
        {"", 0xedd39288u},        {"a", 0x8129eeeeu},           {"ab", 0xa73301b9u},
        {"abc", 0xc7bbdbb5u},     {"abcd", 0x2ff70f61u},        {" Two", 0x886e5cbcu},
        {" world", 0xf8ad2126u},  {"Hello, World!", 0x0b7f7871u},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(murmurHash2(c.text.data(), c.text.size(), tickerItemHashSeed), c.hash) << '"' << c.text << '"';
    }
}

TEST(TickerSegments, CutsAtBulletsAndColoursItems) {
    const SDL_Color own{10, 20, 30, 255};
    const SDL_Color grey = tickerBulletColor;
    const std::string b(tickerBullet);
    auto palette = [](int i) { return tickerItemPalette[static_cast<std::size_t>(i)]; };
    struct Case {
        const char* name;
        std::string text;
        std::vector<TickerSegment> want;
    };
    const std::vector<Case> cases = {
        {"no bullet", "Hello world", {{"Hello world", own}}},
        {"empty text", "", {{"", own}}},
        {"two words", "One " + b + " Two", {{"One ", own}, {b, grey}, {" Two", palette(4)}}},
        {"leading bullet", b + " Two", {{b, grey}, {" Two", palette(4)}}},
        // Both items hash to 3: the second takes the next colour; the third may take 3 again.
        {"neighbours never share a colour",
         b + " item 0 " + b + " item 1 " + b + " item 3 ",
         {{b, grey}, {" item 0 ", palette(3)}, {b, grey}, {" item 1 ", palette(4)}, {b, grey}, {" item 3 ", palette(3)}}},
        {"seven wraps to zero", b + " item 4 " + b + " item 12 ",
         {{b, grey}, {" item 4 ", palette(7)}, {b, grey}, {" item 12 ", palette(0)}}},
        {"two bullets in a row", "A" + b + b + "B", {{"A", own}, {b, grey}, {"", palette(0)}, {b, grey}, {"B", palette(1)}}},
        {"trailing bullet", "News " + b, {{"News ", own}, {b, grey}, {"", palette(0)}}},
        {"other multibyte text stays whole", "caf\xC3\xA9 \xE2\x80\x93 x", {{"caf\xC3\xA9 \xE2\x80\x93 x", own}}},
    };
    for (const Case& c : cases) {
        const std::vector<TickerSegment> got = tickerSegments(c.text, own);
        ASSERT_EQ(got.size(), c.want.size()) << c.name;
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].text, c.want[i].text) << c.name << " piece " << i;
            EXPECT_TRUE(sameColor(got[i].color, c.want[i].color))
                << c.name << " piece " << i << ": " << describe(got[i].color) << " want " << describe(c.want[i].color);
        }
    }
}

TEST(TickerStripKey, JoinsFontSizeStyleColourAndText) {
    EXPECT_EQ(stripKey("assets/fonts/Lato-Bold.ttf", 80, 1, {255, 255, 255, 255}, "A \xE2\x80\xA2 B"),
              "assets/fonts/Lato-Bold.ttf|80|1|kerning=0|255,255,255,255|A \xE2\x80\xA2 B");
    EXPECT_EQ(stripKey("f.ttf", 7, 13, {1, 2, 3, 0}, ""), "f.ttf|7|13|kerning=0|1,2,3,0|");
}

TEST(TickerStripSize, LimitsWidthAndBytes) {
    struct Case {
        std::int64_t width, height;
        const char* error;  // null: accepted
    };
    const Case cases[] = {
        {4096, 4096, nullptr},  // exactly 64 MiB
        {4097, 4096, "Rendered ticker exceeds the 64 MiB surface limit"},
        {4096, 4097, "Rendered ticker exceeds the 64 MiB surface limit"},
        {16777216, 1, nullptr},
        {(std::int64_t{1} << 31) - 1, 1, "Rendered ticker exceeds the 64 MiB surface limit"},
        {std::int64_t{1} << 31, 1, "Rendered ticker width exceeds SDL limits"},
        {0, 10, "Rendered ticker dimensions are invalid"},
        {10, 0, "Rendered ticker dimensions are invalid"},
        {1, std::int64_t{1} << 40, "Rendered ticker exceeds the 64 MiB surface limit"},
        // Sides whose byte count does not fit in 64 bits must not wrap round to a small size.
        {(std::int64_t{1} << 31) - 1, (std::int64_t{1} << 31) - 1, "Rendered ticker exceeds the 64 MiB surface limit"},
        {(std::int64_t{1} << 31) - 1, std::int64_t{1} << 31, "Rendered ticker exceeds the 64 MiB surface limit"},
        {1, 16777216, nullptr},
        {1, 16777217, "Rendered ticker exceeds the 64 MiB surface limit"},
    };
    for (const Case& c : cases) {
        if (c.error == nullptr) {
            EXPECT_NO_THROW(checkTickerStripSize(c.width, c.height)) << c.width << "x" << c.height;
            continue;
        }
        try {
            checkTickerStripSize(c.width, c.height);
            ADD_FAILURE() << c.width << "x" << c.height << " accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), c.error) << c.width << "x" << c.height;
        }
    }
}

// ---------------------------------------------------------------- rendering with a real font

class TickerStripRender : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(TTF_WasInit() > 0 || TTF_Init()) << SDL_GetError(); }

    void SetUp() override {
        font_ = TTF_OpenFont("assets/fonts/Lato-Bold.ttf", 32.0f);
        ASSERT_NE(font_, nullptr) << SDL_GetError();
        TTF_SetFontKerning(font_, false);
    }
    void TearDown() override {
        if (font_) TTF_CloseFont(font_);
    }

    // Width of one piece as the strip renders it: the outlined text.
    int pieceWidth(const std::string& text) {
        TTF_SetFontOutline(font_, tickerOutlineWidth);
        Surface s(TTF_RenderText_Blended(font_, text.data(), text.size(), {0, 0, 0, 255}));
        TTF_SetFontOutline(font_, 0);
        return s ? s->w : -1;
    }

    std::string failure(const std::string& text) {
        try {
            Surface s(renderTickerStrip(font_, text, {255, 255, 255, 255}));
            return "";
        } catch (const std::runtime_error& e) {
            return e.what();
        }
    }

    TTF_Font* font_ = nullptr;
};

TEST_F(TickerStripRender, PiecesLieSideBySideWithOutlineAndColours) {
    const std::string b(tickerBullet);
    const SDL_Color own{200, 0, 0, 255};
    Surface strip(renderTickerStrip(font_, "One " + b + " Two", own));
    ASSERT_NE(strip, nullptr);
    EXPECT_EQ(strip->format, SDL_PIXELFORMAT_ABGR8888);
    SDL_BlendMode mode = SDL_BLENDMODE_NONE;
    SDL_GetSurfaceBlendMode(strip.get(), &mode);
    EXPECT_EQ(mode, SDL_BLENDMODE_BLEND);
    const int first = pieceWidth("One ");
    const int second = pieceWidth(b);
    const int third = pieceWidth(" Two");
    EXPECT_EQ(strip->w, first + second + third);
    EXPECT_EQ(TTF_GetFontOutline(font_), 0);

    // Count the exact text colours inside each piece's columns: the caller's colour only in the
    // first, grey only in the bullet, the item's palette colour only in the last.
    auto count = [&](int from, int to, SDL_Color c) {
        int n = 0;
        for (int y = 0; y < strip->h; ++y) {
            for (int x = from; x < to; ++x) n += sameColor(pixelAt(strip.get(), x, y), c);
        }
        return n;
    };
    const SDL_Color item = tickerItemPalette[4];
    EXPECT_GT(count(0, first, own), 20);
    EXPECT_EQ(count(first, strip->w, own), 0);
    EXPECT_GT(count(first, first + second, tickerBulletColor), 5);
    EXPECT_GT(count(first + second, strip->w, item), 20);
    EXPECT_EQ(count(0, first + second, item), 0);
    EXPECT_GT(count(0, strip->w, tickerOutlineColor), 20);
    // Uncovered corners stay transparent.
    EXPECT_EQ(pixelAt(strip.get(), 0, 0).a, 0);
    EXPECT_EQ(pixelAt(strip.get(), strip->w - 1, strip->h - 1).a, 0);
}

// A bullet at the end of a news line (or two in a row) used to fail the whole strip.
TEST_F(TickerStripRender, EmptyItemsAreLeftOutInsteadOfFailingTheStrip) {
    const std::string b(tickerBullet);
    struct Case {
        std::string text;
        std::vector<std::string> pieces;
    };
    const std::vector<Case> cases = {
        {"News " + b, {"News ", b}},
        {"A" + b + b + "B", {"A", b, b, "B"}},
        {b, {b}},
    };
    for (const Case& c : cases) {
        Surface strip;
        ASSERT_NO_THROW(strip.reset(renderTickerStrip(font_, c.text, {255, 255, 255, 255}))) << c.text;
        int width = 0;
        for (const std::string& piece : c.pieces) width += pieceWidth(piece);
        EXPECT_EQ(strip->w, width) << c.text;
    }
    // The item after an empty one keeps the colour the sequence gives it.
    Surface strip(renderTickerStrip(font_, "A" + b + b + "B", {255, 255, 255, 255}));
    bool found = false;
    for (int y = 0; y < strip->h && !found; ++y) {
        for (int x = strip->w - pieceWidth("B"); x < strip->w && !found; ++x) {
            found = sameColor(pixelAt(strip.get(), x, y), tickerItemPalette[1]);
        }
    }
    EXPECT_TRUE(found);
}

TEST_F(TickerStripRender, FailuresAreReportedAndLeaveTheOutlineAtZero) {
    EXPECT_EQ(failure(""), "Rendered ticker dimensions are invalid");
    EXPECT_EQ(TTF_GetFontOutline(font_), 0);
    try {
        renderTickerStrip(nullptr, "x", {255, 255, 255, 255});
        ADD_FAILURE() << "null font accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Ticker font is null");
    }
}

TEST_F(TickerStripRender, AStripOver64MiBIsRefused) {
    TTF_Font* big = TTF_OpenFont("assets/fonts/Lato-Bold.ttf", 400.0f);
    ASSERT_NE(big, nullptr);
    // About 500 rows high: some 34000 columns reach the limit.
    const std::string b(tickerBullet);
    std::string text;
    for (int i = 0; i < 40; ++i) text += "WWWW" + b;
    try {
        Surface s(renderTickerStrip(big, text, {255, 255, 255, 255}));
        ADD_FAILURE() << "accepted " << s->w << "x" << s->h;
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Rendered ticker exceeds the 64 MiB surface limit");
    }
    EXPECT_EQ(TTF_GetFontOutline(big), 0);
    TTF_CloseFont(big);
}

// ---------------------------------------------------------------- window composition

// A strip 10 columns wide and `rows` high whose column i has red i + 1 and row j green j + 1.
Surface testStrip(int rows) {
    Surface s(SDL_CreateSurface(10, rows, SDL_PIXELFORMAT_ABGR8888));
    for (int y = 0; y < rows; ++y) {
        for (int x = 0; x < 10; ++x) {
            SDL_WriteSurfacePixel(s.get(), x, y, static_cast<Uint8>(x + 1), static_cast<Uint8>(y + 1), 0, 255);
        }
    }
    SDL_SetSurfaceBlendMode(s.get(), SDL_BLENDMODE_BLEND);
    return s;
}

constexpr SDL_Color kBackground{0, 0, 200, 128};

void compose(SDL_Surface* strip, SDL_Surface* window, int offset, int gap) {
    SDL_FillSurfaceRect(window, nullptr,
                        SDL_MapSurfaceRGBA(window, kBackground.r, kBackground.g, kBackground.b, kBackground.a));
    composeTickerWindow(strip, window, offset, gap);
}

TEST(TickerWindow, ShowsAnEndlessTapeOfStripAndGap) {
    Surface strip = testStrip(4);
    Surface window(SDL_CreateSurface(25, 6, SDL_PIXELFORMAT_ABGR8888));
    const int gap = 6;
    const int period = 16;
    for (int offset : {0, 3, 9, 10, 15, 16, 17, -1, -17, 1000003, INT_MAX, INT_MIN, INT_MIN + 1}) {
        compose(strip.get(), window.get(), offset, gap);
        for (int x = 0; x < 25; ++x) {
            const long long position = ((static_cast<long long>(offset) + x) % period + period) % period;
            for (int y = 0; y < 6; ++y) {
                const SDL_Color got = pixelAt(window.get(), x, y);
                // Four strip rows centred in six: rows 1 to 4.
                const bool onStrip = position < 10 && y >= 1 && y <= 4;
                const SDL_Color want = onStrip ? SDL_Color{static_cast<Uint8>(position + 1), static_cast<Uint8>(y), 0, 255}
                                               : kBackground;
                ASSERT_TRUE(sameColor(got, want)) << "offset " << offset << " x " << x << " y " << y << ": "
                                                  << describe(got) << " want " << describe(want);
            }
        }
    }
}

TEST(TickerWindow, OffsetsOnePeriodApartGiveTheSameBytes) {
    Surface strip = testStrip(4);
    Surface window(SDL_CreateSurface(37, 5, SDL_PIXELFORMAT_ABGR8888));
    const int gap = 5;
    const int period = 10 + gap;
    for (int offset : {0, 7, -4, 123}) {
        compose(strip.get(), window.get(), offset, gap);
        const auto reference = bytesOf(window.get());
        for (int k : {-3, -1, 1, 2, 50}) {
            compose(strip.get(), window.get(), offset + k * period, gap);
            EXPECT_EQ(bytesOf(window.get()), reference) << "offset " << offset << " k " << k;
        }
    }
}

TEST(TickerWindow, AtTheStripWidthTheGapComesFirst) {
    Surface strip = testStrip(4);
    Surface window(SDL_CreateSurface(20, 4, SDL_PIXELFORMAT_ABGR8888));
    compose(strip.get(), window.get(), 10, 4);
    for (int x = 0; x < 4; ++x) EXPECT_TRUE(sameColor(pixelAt(window.get(), x, 0), kBackground)) << x;
    EXPECT_EQ(pixelAt(window.get(), 4, 0).r, 1);
    EXPECT_EQ(pixelAt(window.get(), 13, 0).r, 10);
    EXPECT_TRUE(sameColor(pixelAt(window.get(), 14, 0), kBackground));
}

TEST(TickerWindow, TallStripShowsItsTopRowsAndShortOneLeavesTheOddRowBelow) {
    Surface window(SDL_CreateSurface(10, 6, SDL_PIXELFORMAT_ABGR8888));
    Surface tall = testStrip(9);
    compose(tall.get(), window.get(), 0, 6);
    for (int y = 0; y < 6; ++y) EXPECT_EQ(pixelAt(window.get(), 0, y).g, y + 1) << y;

    Surface shortStrip = testStrip(3);  // 6 - 3 = 3 spare rows: one above, two below
    compose(shortStrip.get(), window.get(), 0, 6);
    EXPECT_TRUE(sameColor(pixelAt(window.get(), 0, 0), kBackground));
    EXPECT_EQ(pixelAt(window.get(), 0, 1).g, 1);
    EXPECT_EQ(pixelAt(window.get(), 0, 3).g, 3);
    EXPECT_TRUE(sameColor(pixelAt(window.get(), 0, 4), kBackground));
    EXPECT_TRUE(sameColor(pixelAt(window.get(), 0, 5), kBackground));
}

TEST(TickerWindow, TransparentStripPixelsKeepTheBackground) {
    Surface strip = testStrip(4);
    SDL_WriteSurfacePixel(strip.get(), 2, 0, 255, 255, 255, 0);
    Surface window(SDL_CreateSurface(10, 4, SDL_PIXELFORMAT_ABGR8888));
    compose(strip.get(), window.get(), 0, 4);
    EXPECT_TRUE(sameColor(pixelAt(window.get(), 2, 0), kBackground));
    EXPECT_EQ(pixelAt(window.get(), 3, 0).r, 4);
}

// Counts SDL's allocations while installed; frees and reallocations go to SDL's own functions.
struct SdlAllocationCounter {
    static inline SDL_malloc_func malloc_ = nullptr;
    static inline SDL_calloc_func calloc_ = nullptr;
    static inline SDL_realloc_func realloc_ = nullptr;
    static inline SDL_free_func free_ = nullptr;
    static inline int count = 0;

    SdlAllocationCounter() {
        count = 0;
        SDL_GetMemoryFunctions(&malloc_, &calloc_, &realloc_, &free_);
        SDL_SetMemoryFunctions([](size_t n) { ++count; return malloc_(n); },
                               [](size_t n, size_t size) { ++count; return calloc_(n, size); },
                               [](void* p, size_t n) { ++count; return realloc_(p, n); }, free_);
    }
    ~SdlAllocationCounter() { SDL_SetMemoryFunctions(malloc_, calloc_, realloc_, free_); }
};

// The band scrolls every frame: composing a window must not allocate.
TEST(TickerWindow, ComposingAFrameAllocatesNothing) {
    Surface strip = testStrip(4);
    Surface window(SDL_CreateSurface(300, 6, SDL_PIXELFORMAT_ABGR8888));
    compose(strip.get(), window.get(), 0, 6);  // the first blit sets up SDL's blit mapping
    SdlAllocationCounter counter;
    for (int offset = 1; offset < 200; offset += 7) compose(strip.get(), window.get(), offset, 6);
    EXPECT_EQ(SdlAllocationCounter::count, 0);
    Surface probe(SDL_CreateSurface(2, 2, SDL_PIXELFORMAT_ABGR8888));  // the counter does see allocations
    EXPECT_GT(SdlAllocationCounter::count, 0);
}

// ---------------------------------------------------------------- strip cache

TEST(TickerStripCache, HandsOutIndependentCopies) {
    TickerSurfaceCache cache;
    Surface original = filled(8, 2, {1, 2, 3, 255});
    cache.store("k", original.get());
    SDL_FillSurfaceRect(original.get(), nullptr, 0);  // the cache kept its own copy

    Surface a(cache.copy("k"));
    Surface b(cache.copy("k"));
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a.get(), b.get());
    EXPECT_EQ(a->format, SDL_PIXELFORMAT_ABGR8888);
    EXPECT_TRUE(sameColor(pixelAt(a.get(), 7, 1), {1, 2, 3, 255}));
    SDL_FillSurfaceRect(a.get(), nullptr, 0);
    EXPECT_TRUE(sameColor(pixelAt(b.get(), 7, 1), {1, 2, 3, 255}));
    Surface c(cache.copy("k"));
    EXPECT_TRUE(sameColor(pixelAt(c.get(), 0, 0), {1, 2, 3, 255}));

    EXPECT_EQ(cache.copy("missing"), nullptr);
    cache.store("null", nullptr);
    EXPECT_EQ(cache.entryCount(), 1u);
    EXPECT_EQ(cache.byteCount(), 8u * 4u * 2u);
}

TEST(TickerStripCache, EvictsByFirstInsertionNotByUse) {
    TickerSurfaceCache cache;
    Surface small = filled(4, 4, {9, 9, 9, 255});
    for (int i = 0; i < 32; ++i) cache.store("k" + std::to_string(i), small.get());
    EXPECT_EQ(cache.entryCount(), 32u);
    // Neither a lookup nor a replacement renews k0.
    Surface looked(cache.copy("k0"));
    Surface replacement = filled(4, 8, {7, 7, 7, 255});
    cache.store("k0", replacement.get());
    EXPECT_EQ(cache.entryCount(), 32u);
    EXPECT_EQ(cache.byteCount(), 31u * 64u + 128u);
    Surface replaced(cache.copy("k0"));
    EXPECT_TRUE(sameColor(pixelAt(replaced.get(), 0, 7), {7, 7, 7, 255}));

    cache.store("k32", small.get());
    EXPECT_EQ(cache.entryCount(), 32u);
    EXPECT_EQ(cache.copy("k0"), nullptr);
    Surface k1(cache.copy("k1"));
    EXPECT_NE(k1, nullptr);
    EXPECT_EQ(cache.byteCount(), 32u * 64u);
}

TEST(TickerStripCache, DropsTheOldestUntilTheBytesFit) {
    TickerSurfaceCache cache;
    Surface big = filled(2048, 3072, {1, 1, 1, 255});  // 24 MiB
    cache.store("a", big.get());
    cache.store("b", big.get());
    EXPECT_EQ(cache.entryCount(), 2u);
    cache.store("c", big.get());  // 72 MiB: "a" goes
    EXPECT_EQ(cache.entryCount(), 2u);
    EXPECT_EQ(cache.byteCount(), 2u * 24u * 1024u * 1024u);
    EXPECT_EQ(cache.copy("a"), nullptr);
    Surface c(cache.copy("c"));
    EXPECT_NE(c, nullptr);
}

// A lookup copying a strip while another thread replaces and evicts it keeps its surface alive.
TEST(TickerStripCache, LookupsAndStoresFromSeveralThreads) {
    TickerSurfaceCache cache;
    Surface one = filled(64, 16, {1, 1, 1, 255});
    Surface two = filled(64, 16, {2, 2, 2, 255});
    std::thread writer([&] {
        for (int i = 0; i < 400; ++i) {
            cache.store("shared", (i % 2 ? one : two).get());
            cache.store("other" + std::to_string(i), one.get());
        }
    });
    for (int i = 0; i < 400; ++i) {
        Surface s(cache.copy("shared"));
        if (s) {
            const Uint8 r = pixelAt(s.get(), 63, 15).r;
            EXPECT_TRUE(r == 1 || r == 2);
        }
    }
    writer.join();
    EXPECT_LE(cache.entryCount(), TickerSurfaceCache::maxEntries);
}

}  // namespace
}  // namespace lumetta
