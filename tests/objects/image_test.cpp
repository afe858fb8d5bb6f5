#include <SDL3/SDL.h>
#include <SDL3_image/SDL_image.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/file_utils.h"
#include "core/process_state.h"
#include "display/display.h"
#include "display/screen_shift.h"
#include "objects/image.h"
#include "objects/no_slides_picture.h"
#include "objects/prepared_image_cache.h"
#include "support/manual_clock.h"
#include "support/temp_dir.h"

namespace lumetta {
namespace {

using Rgb = std::array<int, 3>;
constexpr SDL_Color RED{255, 0, 0, 255};
constexpr SDL_Color GREEN{0, 255, 0, 255};
constexpr SDL_Color BLUE{0, 0, 255, 255};
constexpr SDL_Color WHITE{255, 255, 255, 255};
constexpr SDL_Color YELLOW{255, 255, 0, 255};
constexpr SDL_Color NONE{0, 0, 0, 0};
constexpr Rgb BLACK_PX{0, 0, 0};
constexpr Rgb RED_PX{255, 0, 0};
constexpr Rgb GREEN_PX{0, 255, 0};
constexpr Rgb BLUE_PX{0, 0, 255};
constexpr Rgb YELLOW_PX{255, 255, 0};

// A picture of vertical colour bands, left to right, each `widths[i]` columns wide.
SDL_Surface* bands(const std::vector<std::pair<int, SDL_Color>>& widths, int height) {
    int width = 0;
    for (const auto& band : widths) width += band.first;
    SDL_Surface* surface = SDL_CreateSurface(width, height, SDL_PIXELFORMAT_ABGR8888);
    int x = 0;
    for (const auto& [w, c] : widths) {
        const SDL_Rect r{x, 0, w, height};
        SDL_FillSurfaceRect(surface, &r, SDL_MapSurfaceRGBA(surface, c.r, c.g, c.b, c.a));
        x += w;
    }
    return surface;
}

std::string savePng(SDL_Surface* surface, const std::string& path) {
    EXPECT_TRUE(IMG_SavePNG(surface, path.c_str())) << SDL_GetError();
    SDL_DestroySurface(surface);
    return path;
}

// 1000×500: red columns 0–249, green 250–749, blue 750–999.
std::string wideTestPicture(const testing::TempDir& dir, const std::string& name = "wide.png") {
    return savePng(bands({{250, RED}, {500, GREEN}, {250, BLUE}}, 500), (dir / name).string());
}

// A GIF whose frames are each one solid colour, with delays in hundredths of a second.
// The image data uses 8-bit LZW codes with a clear code every 100 pixels, so no code ever
// needs more than 8 bits and the stream can be written byte by byte.
std::string gifBytes(int width, int height, const std::vector<std::pair<SDL_Color, int>>& frames) {
    std::string out = "GIF89a";
    const auto u16 = [&out](int v) {
        out += static_cast<char>(v & 0xff);
        out += static_cast<char>((v >> 8) & 0xff);
    };
    u16(width);
    u16(height);
    out += static_cast<char>(0xF6);  // global colour table of 128 entries
    out += '\0';
    out += '\0';
    for (int i = 0; i < 128; ++i) {
        const SDL_Color c = i < static_cast<int>(frames.size()) ? frames[i].first : SDL_Color{0, 0, 0, 255};
        out += static_cast<char>(c.r);
        out += static_cast<char>(c.g);
        out += static_cast<char>(c.b);
    }
    for (std::size_t f = 0; f < frames.size(); ++f) {
        out += "\x21\xF9\x04";
        out += '\x04';  // keep the frame in place
        u16(frames[f].second);
        out += '\0';
        out += '\0';
        out += '\x2C';
        u16(0);
        u16(0);
        u16(width);
        u16(height);
        out += '\0';
        out += '\x07';  // LZW minimum code size
        std::string codes;
        for (int p = 0; p < width * height; ++p) {
            if (p % 100 == 0) codes += static_cast<char>(128);
            codes += static_cast<char>(f);
        }
        codes += static_cast<char>(129);
        for (std::size_t at = 0; at < codes.size(); at += 255) {
            const std::string block = codes.substr(at, 255);
            out += static_cast<char>(block.size());
            out += block;
        }
        out += '\0';
    }
    out += ';';
    return out;
}

std::string base64(const std::string& bytes) {
    static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                           (static_cast<unsigned char>(bytes[i + 1]) << 8) | static_cast<unsigned char>(bytes[i + 2]);
        for (int s = 18; s >= 0; s -= 6) out += alphabet[(v >> s) & 63];
    }
    if (i + 1 == bytes.size()) {
        const unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += "==";
    } else if (i + 2 == bytes.size()) {
        const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

class ImageTest : public ::testing::Test {
protected:
    void SetUp() override {
        display_ = std::make_unique<Display>("", "image test", -1, -1, 400, 400, false, std::nullopt);
        renderer_ = display_->renderer();
        ASSERT_NE(renderer_, nullptr);
        int w = 0, h = 0;
        ASSERT_TRUE(SDL_GetCurrentRenderOutputSize(renderer_, &w, &h));
        ASSERT_EQ(w, 400);
        ASSERT_EQ(h, 400);
        clear();
    }
    void TearDown() override {
        displayRotation = 0;
        setScreenShift(0, 0, 0, 0.0f);
        display_.reset();
    }

    void clear() {
        SDL_SetRenderDrawColor(renderer_, 0, 0, 0, 255);
        SDL_RenderClear(renderer_);
    }

    // Reads the frame back once; pixel() then looks into that copy.
    void capture() {
        frame_.reset(SDL_RenderReadPixels(renderer_, nullptr));
        ASSERT_NE(frame_, nullptr) << SDL_GetError();
    }
    Rgb pixel(int x, int y) const {
        Uint8 r = 0, g = 0, b = 0, a = 0;
        EXPECT_TRUE(SDL_ReadSurfacePixel(frame_.get(), x, y, &r, &g, &b, &a));
        return {r, g, b};
    }
    Rgb drawnAt(Image& image, int x, int y, bool decorate = true) {
        clear();
        image.draw(decorate);
        capture();
        return pixel(x, y);
    }

    std::unique_ptr<Display> display_;
    SDL_Renderer* renderer_ = nullptr;
    SurfaceHandle frame_;
    testing::TempDir dir_;
};

// Our one line, with the decoder library's own chatter ("libpng error: ...") left aside.
std::string expectOneLogLine(const std::string& err, const std::string& prefix) {
    std::vector<std::string> ours;
    std::size_t start = 0;
    while (start < err.size()) {
        const std::size_t end = err.find('\n', start);
        const std::string line = err.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!line.starts_with("libpng ")) ours.push_back(line);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    EXPECT_EQ(ours.size(), 1u) << err;
    if (ours.empty()) return {};
    EXPECT_TRUE(ours[0].starts_with(prefix)) << err;
    return ours[0];
}

TEST_F(ImageTest, FitCropAndStretchAWidePictureIntoASquare) {
    const std::string path = wideTestPicture(dir_);
    struct Probe {
        int x, y;
        Rgb expected;
    };
    const struct {
        const char* mode;
        std::vector<Probe> probes;
    } cases[] = {
        // Letterboxed 400×200 over the yellow background of the whole box.
        {"fit", {{20, 200, RED_PX}, {200, 200, GREEN_PX}, {380, 200, BLUE_PX}, {200, 50, YELLOW_PX},
                 {200, 350, YELLOW_PX}, {200, 105, GREEN_PX}, {200, 294, GREEN_PX}}},
        {"FIT", {{20, 200, RED_PX}, {200, 50, YELLOW_PX}}},
        // The middle 500×500 of the picture fills the box: all green.
        {"crop", {{3, 200, GREEN_PX}, {396, 200, GREEN_PX}, {200, 3, GREEN_PX}, {200, 396, GREEN_PX}}},
        // Stretched: the bands keep their share of the width.
        {"", {{20, 5, RED_PX}, {95, 200, RED_PX}, {105, 200, GREEN_PX}, {295, 200, GREEN_PX}, {305, 395, BLUE_PX}}},
        {"stretch", {{20, 5, RED_PX}, {200, 200, GREEN_PX}, {380, 395, BLUE_PX}}},
    };
    for (const auto& c : cases) {
        Image image(display_.get(), 400, 400, 0, 0, 400, 400, path, c.mode, "1", YELLOW);
        ASSERT_TRUE(image.isLoaded()) << c.mode;
        EXPECT_FALSE(image.isAnimated());
        clear();
        image.draw(true);
        capture();
        for (const auto& p : c.probes) EXPECT_EQ(pixel(p.x, p.y), p.expected) << c.mode << " at " << p.x << "," << p.y;
    }

    // Without decoration the background is left out.
    Image plain(display_.get(), 400, 400, 0, 0, 400, 400, path, "fit", "1", YELLOW);
    EXPECT_EQ(drawnAt(plain, 200, 50, false), BLACK_PX);
    EXPECT_EQ(pixel(200, 200), GREEN_PX);
    // A transparent background colour makes no fill.
    Image clearBackground(display_.get(), 400, 400, 0, 0, 400, 400, path, "fit", "1", NONE);
    EXPECT_EQ(drawnAt(clearBackground, 200, 50), BLACK_PX);
}

TEST_F(ImageTest, TurnsWithTheDisplayAndShiftsOnlyWhenUpright) {
    const std::string path = wideTestPicture(dir_);
    // The top half of a square slide; at -90 it lands on the right half of the output,
    // turned a quarter clockwise, so the picture's left (red) end is at the top.
    Image image(display_.get(), 400, 400, 0, 0, 400, 200, path, "fit", "1", YELLOW);
    displayRotation = -90;
    setScreenShift(10, 50, 0, 0.0f);
    clear();
    image.draw(true);
    capture();
    EXPECT_EQ(pixel(300, 20), RED_PX);
    EXPECT_EQ(pixel(300, 200), GREEN_PX);
    EXPECT_EQ(pixel(300, 380), BLUE_PX);
    EXPECT_EQ(pixel(205, 200), GREEN_PX);  // not moved by the shift
    EXPECT_EQ(pixel(395, 200), GREEN_PX);
    EXPECT_EQ(pixel(100, 200), BLACK_PX);

    // Upright, the same shift moves the picture 50 pixels right; the background box stays.
    displayRotation = 0;
    Image full(display_.get(), 400, 400, 0, 0, 400, 400, path, "fit", "1", YELLOW);
    EXPECT_EQ(drawnAt(full, 20, 200), YELLOW_PX);
    EXPECT_EQ(pixel(60, 200), RED_PX);
    EXPECT_EQ(pixel(200, 50), YELLOW_PX);
    // Undecorated: no shift.
    EXPECT_EQ(drawnAt(full, 20, 200, false), RED_PX);
}

TEST_F(ImageTest, AnimationFramesFollowTheInjectedClock) {
    const std::string path = (dir_ / "frames.GIF").string();  // capitals load as an animation too
    testing::writeTestFile(path, gifBytes(40, 20, {{RED, 10}, {GREEN, 5}, {BLUE, 20}}));
    testing::ManualClock clock;
    // Moves the clock's ticks to `ms`.
    const auto at = [&clock](std::uint64_t ms) { clock.advance(static_cast<std::int64_t>(ms - clock.ticksMs())); };
    at(1000);
    Image image(display_.get(), 400, 400, 0, 0, 400, 400, path, "stretch", "1", NONE, clock);
    ASSERT_TRUE(image.isLoaded());
    EXPECT_TRUE(image.isAnimated());

    const struct {
        std::uint64_t now;
        Rgb shown;
    } steps[] = {
        {1000, RED_PX}, {1099, RED_PX}, {1100, GREEN_PX}, {1149, GREEN_PX},
        {1150, BLUE_PX}, {1349, BLUE_PX}, {1350, RED_PX},
    };
    for (const auto& step : steps) {
        at(step.now);
        EXPECT_EQ(drawnAt(image, 200, 200), step.shown) << "at " << step.now;
    }
    // A late draw skips frames: 1450 green, 1500 blue, 1700 red, 1800 green.
    at(1800);
    EXPECT_EQ(drawnAt(image, 200, 200), GREEN_PX);
    // After more than a minute unseen the clock restarts on the frame that was showing.
    at(1800 + 70000);
    EXPECT_EQ(drawnAt(image, 200, 200), GREEN_PX);
    at(1800 + 70049);
    EXPECT_EQ(drawnAt(image, 200, 200), GREEN_PX);
    at(1800 + 70050);
    EXPECT_EQ(drawnAt(image, 200, 200), BLUE_PX);
}

TEST_F(ImageTest, StillPicturesByNameAndFromTheCache) {
    // One frame in a ".gif" is an animation without timing.
    const std::string single = (dir_ / "one.gif").string();
    testing::writeTestFile(single, gifBytes(10, 10, {{BLUE, 0}}));
    Image oneFrame(display_.get(), 400, 400, 0, 0, 400, 400, single, "", "1", NONE);
    EXPECT_TRUE(oneFrame.isAnimated());
    EXPECT_EQ(drawnAt(oneFrame, 200, 200), BLUE_PX);

    // A dot in the directory name is no extension: this GIF-named folder holds a still PNG.
    std::filesystem::create_directories(dir_ / "pics.gif.d");
    const std::string inDottedDir = wideTestPicture(dir_, "pics.gif.d/picture");
    Image still(display_.get(), 400, 400, 0, 0, 400, 400, inDottedDir, "crop", "1", NONE);
    ASSERT_TRUE(still.isLoaded());
    EXPECT_FALSE(still.isAnimated());

    // A prepared surface is taken from the cache instead of the file, and leaves the cache.
    const std::string prepared = savePng(bands({{10, YELLOW}}, 10), (dir_ / "prepared.png").string());
    prepareImage(prepared);
    std::filesystem::remove(prepared);
    Image fromCache(display_.get(), 400, 400, 0, 0, 400, 400, prepared, "", "1", NONE);
    ASSERT_TRUE(fromCache.isLoaded());
    EXPECT_FALSE(preparedImageCache().contains(prepared));
    EXPECT_EQ(drawnAt(fromCache, 200, 200), YELLOW_PX);
}

TEST_F(ImageTest, OpacityIsTheAlphaOfThePicture) {
    const std::string path = savePng(bands({{20, WHITE}}, 20), (dir_ / "white.png").string());
    const struct {
        const char* opacity;
        int level;
    } cases[] = {{"0.5", 128}, {"1", 255}, {"40", 255}, {"-3", 0}, {" 0.25 ", 64}};
    for (const auto& c : cases) {
        Image image(display_.get(), 400, 400, 0, 0, 400, 400, path, "", c.opacity, NONE);
        ASSERT_TRUE(image.isLoaded()) << c.opacity;
        EXPECT_NEAR(drawnAt(image, 200, 200)[0], c.level, 1) << '"' << c.opacity << '"';
    }
    // Animation frames carry the opacity too.
    const std::string gif = (dir_ / "white.gif").string();
    testing::writeTestFile(gif, gifBytes(10, 10, {{WHITE, 10}, {WHITE, 10}}));
    Image animated(display_.get(), 400, 400, 0, 0, 400, 400, gif, "", "0.5", NONE);
    EXPECT_NEAR(drawnAt(animated, 200, 200)[0], 128, 1);
}

TEST_F(ImageTest, BadInputGivesAnEmptyElementAndOneLogLine) {
    const std::string png = wideTestPicture(dir_);
    const std::string truncated = (dir_ / "truncated.png").string();
    testing::writeTestFile(truncated, readFile(png).substr(0, 80));
    const std::string text = testing::writeTestFile(dir_ / "notes.jpg", "not a picture").string();
    const std::string brokenGif = testing::writeTestFile(dir_ / "broken.gif", "GIF89a\x10").string();
    // The start of an AVIF file: this machine's SDL_image cannot decode AVIF.
    const std::string avif = testing::writeTestFile(
        dir_ / "photo.AVIF", std::string("\0\0\0\x1c" "ftypavif\0\0\0\0avifmif1miaf", 28)).string();

    const struct {
        const char* what;
        std::string path;
        std::string opacity;
        bool nullDisplay;
        std::string message;  // the start of the text after the prefix
    } cases[] = {
        {"missing file", (dir_ / "missing.png").string(), "1", false, "IMG_Load failed: "},
        {"truncated file", truncated, "1", false, "IMG_Load failed: "},
        {"not a picture", text, "1", false, "IMG_Load failed: "},
        {"broken gif is not retried as a still", brokenGif, "1", false, "IMG_LoadAnimation failed: "},
        {"avif", avif, "1", false, "IMG_LoadAnimation failed: "},
        {"letters after the opacity", png, "0.5x", false, "Invalid image opacity: 0.5x"},
        {"empty opacity", png, "", false, "stof"},
        {"opacity without a number", png, "opaque", false, "stof"},
        {"no display", png, "1", true, "Display is null"},
    };
    for (const auto& c : cases) {
        ::testing::internal::CaptureStderr();
        Image image(c.nullDisplay ? nullptr : display_.get(), 400, 400, 0, 0, 400, 400, c.path, "fit", c.opacity,
                    YELLOW);
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_FALSE(image.isLoaded()) << c.what;
        EXPECT_FALSE(image.isAnimated()) << c.what;
        const std::string line = expectOneLogLine(err, "IMAGE Exception: ");
        EXPECT_NE(line.find(c.message), std::string::npos) << c.what << ": " << line;
        // It draws nothing, quietly.
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(drawnAt(image, 200, 50), BLACK_PX) << c.what;
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << c.what;
    }
}

TEST_F(ImageTest, Base64Png) {
    const std::string png = wideTestPicture(dir_);
    Image image = Image::fromPngBase64(display_.get(), 400, 400, 0, 0, 400, 400, base64(readFile(png)));
    ASSERT_TRUE(image.isLoaded());
    // "fit" over opaque black.
    EXPECT_EQ(drawnAt(image, 20, 200), RED_PX);
    EXPECT_EQ(pixel(200, 200), GREEN_PX);
    EXPECT_EQ(pixel(200, 50), BLACK_PX);

    const struct {
        const char* what;
        std::string text;
        const char* message;
    } cases[] = {
        {"invalid Base64", "not*base64!", "Base64 decode produced no data"},
        {"empty text", "", "Base64 decode produced no data"},
        {"not a PNG", base64("GIF89a and then nothing"), "IMG_LoadPNG_IO failed: "},
        {"truncated PNG", base64(readFile(png).substr(0, 100)), "IMG_LoadPNG_IO failed: "},
    };
    for (const auto& c : cases) {
        ::testing::internal::CaptureStderr();
        Image bad = Image::fromPngBase64(display_.get(), 400, 400, 0, 0, 400, 400, c.text);
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_FALSE(bad.isLoaded()) << c.what;
        const std::string line = expectOneLogLine(err, "PNG Base64 IMAGE Exception: ");
        EXPECT_NE(line.find(c.message), std::string::npos) << c.what << ": " << line;
    }
}

TEST_F(ImageTest, XpmPictures) {
    static const char* const xpm[] = {
        "4 2 2 1",
        "r c #FF0000",
        "b c #0000FF",
        "rrbb",
        "rrbb",
    };
    Image image = Image::fromXpm(display_.get(), 400, 400, 0, 0, 400, 400, xpm, "Fit");
    ASSERT_TRUE(image.isLoaded());
    EXPECT_EQ(drawnAt(image, 100, 200), RED_PX);
    EXPECT_EQ(pixel(300, 200), BLUE_PX);
    EXPECT_EQ(pixel(200, 20), BLACK_PX);

    static const char* const broken[] = {"nonsense"};
    ::testing::internal::CaptureStderr();
    Image bad = Image::fromXpm(display_.get(), 400, 400, 0, 0, 400, 400, broken, "fit");
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(bad.isLoaded());
    EXPECT_NE(expectOneLogLine(err, "XPM IMAGE Exception: ").find("IMG_ReadXPMFromArray failed: "),
              std::string::npos);
}

TEST_F(ImageTest, BuiltInNoSlidesPicture) {
    // The embedded bytes are a 1672×941 RGB PNG.
    SDL_IOStream* io = SDL_IOFromConstMem(noSlidesPicture, noSlidesPictureSize);
    ASSERT_TRUE(IMG_isPNG(io));
    SurfaceHandle decoded(IMG_Load_IO(io, true));
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(decoded->w, 1672);
    EXPECT_EQ(decoded->h, 941);
    EXPECT_EQ(decoded->format, SDL_PIXELFORMAT_RGB24);

    Image image = Image::fromMemory(display_.get(), 1920, 1080, 0, 0, 1920, 1080, BuiltInPicture::NoSlides, "fit",
                                    "1", {0, 0, 0, 255});
    ASSERT_TRUE(image.isLoaded());
    clear();
    image.draw(true);
    capture();
    // White caption and icon on black: some white pixels, black corners.
    int white = 0;
    for (int y = 0; y < 400; y += 2)
        for (int x = 0; x < 400; x += 2) white += pixel(x, y) == Rgb{255, 255, 255};
    EXPECT_GT(white, 100);
    EXPECT_EQ(pixel(110, 120), BLACK_PX);
    EXPECT_EQ(pixel(390, 270), BLACK_PX);

    ::testing::internal::CaptureStderr();
    Image bad = Image::fromMemory(display_.get(), 1920, 1080, 0, 0, 1920, 1080, BuiltInPicture::NoSlides, "fit",
                                  "x", {0, 0, 0, 255});
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(bad.isLoaded());
    EXPECT_NE(expectOneLogLine(err, "IMAGE Exception: ").find("stof"), std::string::npos);
}

TEST_F(ImageTest, MovingAnImageMovesItsTextures) {
    const std::string path = wideTestPicture(dir_);
    Image first(display_.get(), 400, 400, 0, 0, 400, 400, path, "crop", "1", NONE);
    Image moved(std::move(first));
    EXPECT_FALSE(first.isLoaded());
    EXPECT_EQ(drawnAt(moved, 200, 200), GREEN_PX);
    Image other(display_.get(), 400, 400, 0, 0, 400, 400, path, "", "1", NONE);
    other = std::move(moved);
    EXPECT_EQ(drawnAt(other, 20, 200), GREEN_PX);  // the crop mode came along
}

}  // namespace
}  // namespace lumetta
