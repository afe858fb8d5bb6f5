#include "objects/ticker.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/palette.h"
#include "core/process_state.h"
#include "display/display.h"
#include "objects/font_path.h"
#include "objects/ticker_strip.h"
#include "core/shared_defaults.h"

namespace lumetta {
namespace {

const std::string kBullet = "\xE2\x80\xA2";
constexpr SDL_Color kWhite{255, 255, 255, 255};

struct Frame {
    int w = 0;
    int h = 0;
    std::vector<SDL_Color> pixels;
    SDL_Color at(int x, int y) const { return pixels[static_cast<std::size_t>(y * w + x)]; }
};

class TickerTest : public ::testing::Test {
protected:
    void TearDown() override {
        displayRotation = 0;
        ticker_.reset();
        display_.reset();
    }

    Display& display(int w, int h) {
        ticker_.reset();
        display_ = std::make_unique<Display>("", "ticker", -1, -1, w, h, false, std::nullopt);
        return *display_;
    }

    void clear(SDL_Color c = {0, 0, 0, 255}) {
        SDL_SetRenderDrawColor(display_->renderer(), c.r, c.g, c.b, c.a);
        SDL_RenderClear(display_->renderer());
    }

    Frame read() {
        Frame f;
        SDL_Surface* s = SDL_RenderReadPixels(display_->renderer(), nullptr);
        EXPECT_NE(s, nullptr) << SDL_GetError();
        if (!s) return f;
        f.w = s->w;
        f.h = s->h;
        for (int y = 0; y < s->h; ++y) {
            for (int x = 0; x < s->w; ++x) {
                SDL_Color c{};
                SDL_ReadSurfacePixel(s, x, y, &c.r, &c.g, &c.b, &c.a);
                f.pixels.push_back(c);
            }
        }
        SDL_DestroySurface(s);
        return f;
    }

    std::vector<SDL_Color> drawn(Ticker& ticker, int offset) {
        clear();
        EXPECT_TRUE(ticker.draw(offset, SDL_FLIP_NONE));
        return read().pixels;
    }

    std::unique_ptr<Display> display_;
    std::unique_ptr<Ticker> ticker_;
};

bool samePixels(const std::vector<SDL_Color>& a, const std::vector<SDL_Color>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].r != b[i].r || a[i].g != b[i].g || a[i].b != b[i].b || a[i].a != b[i].a) return false;
    }
    return true;
}

TEST_F(TickerTest, BadArgumentsAndFailedResourcesLeaveItNotReadyWithOneLine) {
    Display& d = display(160, 90);
    struct Case {
        const char* name;
        Display* display;
        int screenWidth, screenHeight;
        SDL_Rect box;
        std::string text, family;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"no display", nullptr, 160, 90, {0, 70, 160, 20}, "x", "Lato", "Display is null"},
        {"no screen width", &d, 0, 90, {0, 70, 160, 20}, "x", "Lato",
         "Ticker logical screen dimensions must be greater than zero"},
        {"negative screen height", &d, 160, -1, {0, 70, 160, 20}, "x", "Lato",
         "Ticker logical screen dimensions must be greater than zero"},
        {"zero width", &d, 160, 90, {0, 0, 0, 50}, "x", "Lato", "Ticker width must be greater than zero"},
        {"zero height", &d, 160, 90, {5, 5, 10, 0}, "x", "Lato", "Ticker height must be greater than zero"},
        {"missing font", &d, 160, 90, {0, 70, 160, 20}, "x", "No Such Family", "TTF_OpenFont failed: "},
        {"empty text", &d, 160, 90, {0, 70, 160, 20}, "", "Lato", "Rendered ticker dimensions are invalid"},
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStderr();
        Ticker ticker(c.display, c.screenWidth, c.screenHeight, c.box, c.text, c.family);
        const std::string constructed = testing::internal::GetCapturedStderr();
        EXPECT_FALSE(ticker.isReady()) << c.name;
        EXPECT_EQ(ticker.stripWidth(), 0) << c.name;
        const std::string line = std::string(ansi::BOLD_RED) + "Ticker Exception: " + c.message;
        EXPECT_EQ(constructed.rfind(line, 0), 0u) << c.name << ": " << constructed;
        EXPECT_EQ(constructed.back(), '\n') << c.name;
        EXPECT_EQ(constructed.find('\n'), constructed.size() - 1) << c.name;

        testing::internal::CaptureStderr();
        EXPECT_FALSE(ticker.draw(0, SDL_FLIP_NONE)) << c.name;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << c.name;
    }
}

// A news line ending in a bullet used to blank the whole ticker.
TEST_F(TickerTest, TrailingOrDoubledBulletsStillShowTheBand) {
    Display& d = display(160, 90);
    for (const std::string& text : {"Trailing " + kBullet, "Doubled " + kBullet + kBullet + " twice"}) {
        Ticker ticker(&d, 160, 90, {0, 70, 160, 20}, text);
        EXPECT_TRUE(ticker.isReady()) << text;
        EXPECT_GT(ticker.stripWidth(), 0) << text;
        clear();
        EXPECT_TRUE(ticker.draw(0, SDL_FLIP_NONE)) << text;
    }
}

TEST_F(TickerTest, FontSizeStyleAndFamilyMakeTheStripKey) {
    Display& d = display(160, 90);
    struct Case {
        std::string family;
        std::uint8_t style;
        int bandHeight, fontSize;
        std::string file;
    };
    const Case cases[] = {
        {"Lato", 1, 108, 87, "Lato-Bold.ttf"},
        {"Lato", 1, 100, 80, "Lato-Bold.ttf"},
        {"Lato", 4, 9, 8, "Lato-Regular.ttf"},  // underline changes the style number, not the file
        {"Liberation Sans", 3, 20, 16, "LiberationSans-BoldItalic.ttf"},
        {"Imprima", 1, 20, 16, "Imprima.ttf"},  // no bold face: the family's plain file
    };
    for (const Case& c : cases) {
        const std::string text = "key test " + c.family + " " + std::to_string(c.bandHeight) + " " +
                                 std::to_string(c.style);
        Ticker ticker(&d, 160, 90, {0, 0, 160, c.bandHeight}, text, c.family, c.style);
        ASSERT_TRUE(ticker.isReady()) << c.file;
        const std::string path = sharedDefaults().fontsDirectory + "/" + c.file;
        SDL_Surface* cached = copyTickerSurface(stripKey(path, c.fontSize, c.style, kWhite, text));
        EXPECT_NE(cached, nullptr) << c.file << " " << c.fontSize;
        if (cached) {
            EXPECT_EQ(cached->w, ticker.stripWidth());
            SDL_DestroySurface(cached);
        }
    }
}

TEST_F(TickerTest, ACachedStripIsTakenInsteadOfRendering) {
    Display& d = display(160, 90);
    const std::string text = "cache test";
    const std::string key = stripKey(fontPath("Lato", 1), 16, 1, kWhite, text);
    SDL_Surface* sentinel = SDL_CreateSurface(7, 5, SDL_PIXELFORMAT_ABGR8888);
    storeTickerSurface(key, sentinel);
    SDL_DestroySurface(sentinel);
    {
        Ticker ticker(&d, 160, 90, {0, 70, 160, 20}, text);
        EXPECT_TRUE(ticker.isReady());
        EXPECT_EQ(ticker.stripWidth(), 7);
    }

    // A strip from the cache draws exactly like the one that was rendered.
    const std::string other = "shared " + kBullet + " strip";
    Ticker first(&d, 160, 90, {0, 70, 160, 20}, other);
    Ticker second(&d, 160, 90, {0, 70, 160, 20}, other);
    ASSERT_TRUE(first.isReady());
    ASSERT_TRUE(second.isReady());
    for (int offset : {0, 37}) {
        EXPECT_TRUE(samePixels(drawn(first, offset), drawn(second, offset))) << offset;
    }
}

TEST_F(TickerTest, OffsetsOnePeriodApartDrawTheSameBand) {
    Display& d = display(160, 90);
    Ticker ticker(&d, 160, 90, {0, 70, 160, 20}, "Periodic " + kBullet + " band");
    ASSERT_TRUE(ticker.isReady());
    const int period = ticker.stripWidth() + 20;
    for (int offset : {0, 45, -13}) {
        const auto reference = drawn(ticker, offset);
        for (int k : {-2, 1, 3}) {
            EXPECT_TRUE(samePixels(drawn(ticker, offset + k * period), reference)) << offset << " " << k;
        }
    }
}

TEST_F(TickerTest, BackgroundWithAlphaZeroIsTransparentWhateverItsColour) {
    Display& d = display(160, 90);
    // A band narrower than it is high, drawn where the window shows only the gap.
    struct Case {
        SDL_Color background;
        SDL_Color want;
    };
    const Case cases[] = {
        {{255, 0, 0, 0}, {0, 0, 255, 255}},
        {{255, 0, 0, 255}, {255, 0, 0, 255}},
    };
    for (const Case& c : cases) {
        Ticker ticker(&d, 160, 90, {60, 30, 20, 30}, "gap", "Lato", 1, kWhite, c.background);
        ASSERT_TRUE(ticker.isReady());
        clear({0, 0, 255, 255});
        ASSERT_TRUE(ticker.draw(ticker.stripWidth(), SDL_FLIP_NONE));
        const Frame f = read();
        const SDL_Color got = f.at(70, 45);
        EXPECT_EQ(got.r, c.want.r);
        EXPECT_EQ(got.b, c.want.b);
        EXPECT_EQ(f.at(10, 10).b, 255);  // outside the band
    }
}

TEST_F(TickerTest, ABoxOfZerosCoversTheWholeScreen) {
    Display& d = display(160, 90);
    Ticker ticker(&d, 160, 90, {0, 0, 0, 0}, "whole", "Lato", 1, kWhite, {0, 255, 0, 255});
    ASSERT_TRUE(ticker.isReady());
    clear();
    ASSERT_TRUE(ticker.draw(ticker.stripWidth(), SDL_FLIP_NONE));  // the window starts with the gap
    const Frame f = read();
    for (auto [x, y] : {std::pair{0, 0}, {159, 0}, {0, 89}, {80, 45}}) {
        EXPECT_EQ(f.at(x, y).g, 255) << x << "," << y;
    }
}

// The logical screen is turned with the display: a band along the bottom of a landscape screen
// stands along one side of the portrait output.
TEST_F(TickerTest, TheBandTurnsWithTheDisplay) {
    struct Case {
        int rotation;
        int outputWidth, outputHeight;
        SDL_Rect band;  // where the band must land on the output
    };
    const Case cases[] = {
        {0, 160, 90, {0, 70, 160, 20}},
        {-90, 90, 160, {0, 0, 20, 160}},
        {270, 90, 160, {0, 0, 20, 160}},
        {90, 90, 160, {70, 0, 20, 160}},
        {-180, 160, 90, {0, 0, 160, 20}},
        // The screen scaled by 0.5 to fit a narrow output and centred in it.
        {0, 80, 90, {0, 58, 80, 10}},
    };
    for (const Case& c : cases) {
        displayRotation = c.rotation;
        Display& d = display(c.outputWidth, c.outputHeight);
        ticker_ = std::make_unique<Ticker>(&d, 160, 90, SDL_Rect{0, 70, 160, 20}, "turn", "Lato", 1, kWhite,
                                           SDL_Color{0, 255, 0, 255});
        ASSERT_TRUE(ticker_->isReady());
        clear({0, 0, 255, 255});  // a colour the band never shows
        ASSERT_TRUE(ticker_->draw(ticker_->stripWidth(), SDL_FLIP_NONE));
        const Frame f = read();
        ASSERT_EQ(f.w, c.outputWidth);
        int inside = 0, insideLit = 0, outsideLit = 0;
        for (int y = 0; y < f.h; ++y) {
            for (int x = 0; x < f.w; ++x) {
                const bool in = x >= c.band.x && x < c.band.x + c.band.w && y >= c.band.y && y < c.band.y + c.band.h;
                const SDL_Color p = f.at(x, y);
                const bool lit = !(p.r == 0 && p.g == 0 && p.b == 255);
                inside += in;
                insideLit += in && lit;
                outsideLit += !in && lit;
            }
        }
        EXPECT_EQ(insideLit, inside) << "rotation " << c.rotation;
        EXPECT_EQ(outsideLit, 0) << "rotation " << c.rotation;
    }
}

}  // namespace
}  // namespace lumetta
