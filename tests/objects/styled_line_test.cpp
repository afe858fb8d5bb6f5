#include "objects/styled_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "display/sdl_handles.h"
#include "text_test_support.h"

namespace lumetta {
namespace {

// ---------------------------------------------------------------------------------------------
// Mask filter

std::vector<std::uint8_t> bruteForce(const std::vector<std::uint8_t>& mask, int w, int h, int r, bool maximum) {
    auto pass = [&](const std::vector<std::uint8_t>& in, bool horizontal) {
        std::vector<std::uint8_t> out(in.size());
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                int best = 0, sum = 0;
                for (int d = -r; d <= r; ++d) {
                    const int sx = horizontal ? x + d : x;
                    const int sy = horizontal ? y : y + d;
                    if (sx < 0 || sx >= w || sy < 0 || sy >= h) continue;
                    best = std::max<int>(best, in[sy * w + sx]);
                    sum += in[sy * w + sx];
                }
                out[y * w + x] = static_cast<std::uint8_t>(maximum ? best : sum / (2 * r + 1));
            }
        }
        return out;
    };
    if (r == 0) return mask;
    return pass(pass(mask, true), false);
}

TEST(TransformMask, SmallShapes) {
    // A single full cell in a 5 x 5 mask.
    std::vector<std::uint8_t> dot(25, 0);
    dot[12] = 255;
    EXPECT_EQ(transformMask(dot, 5, 5, 0, true), dot);
    EXPECT_EQ(transformMask(dot, 5, 5, 0, false), dot);

    const auto grown = transformMask(dot, 5, 5, 1, true);
    for (int y = 0; y < 5; ++y) {
        for (int x = 0; x < 5; ++x) {
            const bool inside = x >= 1 && x <= 3 && y >= 1 && y <= 3;
            EXPECT_EQ(grown[y * 5 + x], inside ? 255 : 0) << x << "," << y;
        }
    }
    // Box average: 255 / 3 = 85 across, then 85 / 3 = 28 down.
    const auto blurred = transformMask(dot, 5, 5, 1, false);
    EXPECT_EQ(blurred[12], 28);
    EXPECT_EQ(blurred[6], 28);
    EXPECT_EQ(blurred[0], 0);

    // A full mask fades at its borders as if zeros lay outside: corner (255+255)/3 = 170, then
    // (170+170)/3 = 113; the middle keeps 255.
    const std::vector<std::uint8_t> full(9, 255);
    const auto faded = transformMask(full, 3, 3, 1, false);
    EXPECT_EQ(faded[0], 113);
    EXPECT_EQ(faded[1], 170);
    EXPECT_EQ(faded[4], 255);
    EXPECT_EQ(transformMask(full, 3, 3, 5, true), full);
}

TEST(TransformMask, MatchesAWindowScanOnRandomMasks) {
    std::mt19937 random(7);
    struct Size {
        int w, h;
    };
    for (const Size size : {Size{1, 1}, Size{1, 9}, Size{9, 1}, Size{13, 7}, Size{32, 20}}) {
        std::vector<std::uint8_t> mask(static_cast<std::size_t>(size.w * size.h));
        for (auto& cell : mask) cell = static_cast<std::uint8_t>(random() % 4 == 0 ? random() % 256 : 0);
        for (int radius : {1, 2, 3, 8, 40}) {
            for (bool maximum : {true, false}) {
                EXPECT_EQ(transformMask(mask, size.w, size.h, radius, maximum),
                          bruteForce(mask, size.w, size.h, radius, maximum))
                    << size.w << "x" << size.h << " r" << radius << (maximum ? " max" : " avg");
            }
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Canvas and margin

TEST(StyledLineCanvas, MarginLeavesRoomForOutlineAndShadow) {
    struct Case {
        const char* name;
        int outline;
        bool shadow;
        int blur, offsetX, offsetY;
        int margin;
    };
    const Case cases[] = {
        {"no effects", 0, false, 4, 3, 3, 0},
        {"shadow off ignores its fields", 2, false, 64, 256, 256, 2},
        {"outline wins", 30, true, 4, 3, -3, 30},
        {"shadow wins", 3, true, 4, -6, 2, 10},
        {"offset y counts", 0, true, 0, 1, -20, 20},
    };
    for (const auto& c : cases) {
        TextStyle style;
        style.outlineWidth = c.outline;
        style.shadow = c.shadow;
        style.shadowBlur = c.blur;
        style.shadowOffsetX = c.offsetX;
        style.shadowOffsetY = c.offsetY;
        const auto canvas = styledLineCanvas(100, 40, style);
        EXPECT_EQ(canvas.margin, c.margin) << c.name;
        EXPECT_EQ(canvas.width, 100 + 2 * c.margin) << c.name;
        EXPECT_EQ(canvas.height, 40 + 2 * c.margin) << c.name;
    }
}

TEST(StyledLineCanvas, AcceptsAtMostSixteenMillionCells) {
    TextStyle plain;
    EXPECT_NO_THROW(styledLineCanvas(4000, 4000, plain));
    TextStyle outlined;
    outlined.outlineWidth = 10;
    EXPECT_NO_THROW(styledLineCanvas(3980, 3980, outlined));
    for (const auto& [w, h, outline] : {std::tuple{4001, 4000, 0}, std::tuple{3981, 3980, 10},
                                        std::tuple{2000000000, 2000000000, 0}}) {
        TextStyle style;
        style.outlineWidth = outline;
        try {
            styledLineCanvas(w, h, style);
            ADD_FAILURE() << w << "x" << h;
        } catch (const std::invalid_argument& error) {
            EXPECT_STREQ(error.what(), "Styled text line is too large");
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Composition with a real font

const SDL_Color white{255, 255, 255, 255};

class StyledLineTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(engine_.started()) << SDL_GetError();
        font_.reset(TTF_OpenFont(fontPath("Lato", 0).c_str(), 40.0f));
        ASSERT_TRUE(font_) << SDL_GetError();
    }

    StyledLinePixels compose(const TextStyle& style, const std::string& text, SDL_Color color = white,
                             bool track = false) {
        return composeStyledLine(font_.get(), style, color, parseAnsiStyledRuns(text, color, 0), track);
    }

    SDL_Point measure(const std::string& text) {
        TTF_SetFontStyle(font_.get(), 0);
        SDL_Point size{0, 0};
        TTF_GetStringSize(font_.get(), text.data(), text.size(), &size.x, &size.y);
        return size;
    }

    testing::FontEngine engine_;
    FontHandle font_;
};

const SDL_Color& at(const StyledLinePixels& line, int x, int y) {
    return line.pixels[static_cast<std::size_t>(y) * line.canvas.width + x];
}

// Bounding box of the cells that satisfy a predicate; {x0, y0, x1, y1}, or x0 = -1 for none.
template <typename Predicate>
SDL_Rect boundingBox(const StyledLinePixels& line, Predicate predicate) {
    SDL_Rect box{-1, -1, -1, -1};
    for (int y = 0; y < line.canvas.height; ++y) {
        for (int x = 0; x < line.canvas.width; ++x) {
            if (!predicate(at(line, x, y))) continue;
            if (box.x < 0) box = {x, y, x, y};
            box.x = std::min(box.x, x);
            box.y = std::min(box.y, y);
            box.w = std::max(box.w, x);
            box.h = std::max(box.h, y);
        }
    }
    return box;
}

bool visible(const SDL_Color& c) { return c.a > 0; }

TEST_F(StyledLineTest, WithoutEffectsTheCanvasIsTheTextAndHoldsItsGlyphs) {
    const auto line = compose(TextStyle{}, "Plain");
    const SDL_Point size = measure("Plain");
    EXPECT_EQ(line.canvas.margin, 0);
    EXPECT_EQ(line.canvas.width, size.x);
    EXPECT_EQ(line.canvas.height, size.y);
    int opaqueWhite = 0;
    for (const auto& c : line.pixels) opaqueWhite += (c.a == 255 && c.r == 255 && c.g == 255 && c.b == 255);
    EXPECT_GT(opaqueWhite, 100);
}

TEST_F(StyledLineTest, EmptyLineHasNoExtent) {
    TextStyle style;
    style.outlineWidth = 4;
    const auto line = compose(style, "");
    EXPECT_TRUE(line.pixels.empty());
    EXPECT_EQ(line.canvas.width, 0);
}

TEST_F(StyledLineTest, OutlineGrowsTheGlyphsByItsWidth) {
    const auto plain = compose(TextStyle{}, "Wide");
    TextStyle style;
    style.outlineWidth = 3;
    style.outlineColor = {255, 0, 0, 255};
    const auto outlined = compose(style, "Wide");
    ASSERT_EQ(outlined.canvas.margin, 3);
    const SDL_Rect glyphs = boundingBox(plain, visible);
    const SDL_Rect grown = boundingBox(outlined, visible);
    ASSERT_GE(glyphs.x, 0);
    // Canvas coordinates move by the margin; the shape grows by 3 on every side.
    EXPECT_EQ(grown.x, glyphs.x + 3 - 3);
    EXPECT_EQ(grown.y, glyphs.y + 3 - 3);
    EXPECT_EQ(grown.w, glyphs.w + 3 + 3);
    EXPECT_EQ(grown.h, glyphs.h + 3 + 3);
    // Where the plain glyph is fully opaque the glyph colour stays on top; around it is red.
    int red = 0;
    for (int y = 0; y < plain.canvas.height; ++y) {
        for (int x = 0; x < plain.canvas.width; ++x) {
            const SDL_Color& p = at(plain, x, y);
            const SDL_Color& o = at(outlined, x + 3, y + 3);
            if (p.a == 255) {
                EXPECT_TRUE(o.r == 255 && o.g == 255 && o.b == 255 && o.a == 255) << x << "," << y;
            }
            if (p.a == 0 && o.a == 255 && o.r == 255 && o.g == 0 && o.b == 0) ++red;
        }
    }
    EXPECT_GT(red, 100);
}

TEST_F(StyledLineTest, ShadowLiesAtItsOffsetAndIncludesTheOutline) {
    const auto plain = compose(TextStyle{}, "Hi");
    TextStyle style;
    style.shadow = true;
    style.shadowBlur = 0;
    style.shadowOffsetX = 6;
    style.shadowOffsetY = -4;
    style.shadowOpacity = 1.0f;
    style.shadowColor = {0, 0, 255, 255};
    const auto shadowed = compose(style, "Hi");
    ASSERT_EQ(shadowed.canvas.margin, 6);
    const int m = 6;
    int checked = 0;
    for (int y = 0; y < plain.canvas.height; ++y) {
        for (int x = 0; x < plain.canvas.width; ++x) {
            const int sx = x + m + 6, sy = y + m - 4;  // where the shadow of (x, y) falls
            const SDL_Color& cast = at(shadowed, sx, sy);
            const int gx = sx - m, gy = sy - m;  // plain glyph under that cell
            const bool glyphThere = gx >= 0 && gx < plain.canvas.width && gy >= 0 && gy < plain.canvas.height &&
                                    at(plain, gx, gy).a > 0;
            if (at(plain, x, y).a == 255 && !glyphThere) {
                EXPECT_TRUE(cast.r == 0 && cast.g == 0 && cast.b == 255 && cast.a == 255) << x << "," << y;
                ++checked;
            }
        }
    }
    EXPECT_GT(checked, 50);

    // With an outline the shadow is cast by the grown shape: its extent is the outlined one.
    style.outlineWidth = 2;
    style.outlineColor = {255, 0, 0, 255};
    style.shadowOffsetX = 60;  // far enough to the right that shadow and text do not meet at the left
    style.shadowOffsetY = 0;
    const auto both = compose(style, "I");
    const SDL_Rect shadowBox = boundingBox(both, [](const SDL_Color& c) { return c.b == 255 && c.r == 0 && c.a > 0; });
    ASSERT_GE(shadowBox.x, 0);
    const SDL_Rect outlinedBox = boundingBox(both, [](const SDL_Color& c) { return c.r == 255 && c.a > 0; });
    EXPECT_EQ(shadowBox.x - outlinedBox.x, 60);
    EXPECT_EQ(shadowBox.h - shadowBox.y, outlinedBox.h - outlinedBox.y);
}

TEST_F(StyledLineTest, ShadowBlurSpreadsAndFades) {
    TextStyle style;
    style.shadow = true;
    style.shadowBlur = 4;
    style.shadowOffsetX = 0;
    style.shadowOffsetY = 0;
    style.shadowOpacity = 0.5f;
    style.shadowColor = {0, 0, 0, 255};
    const auto line = compose(style, "O");
    ASSERT_EQ(line.canvas.margin, 4);
    const auto plain = compose(TextStyle{}, "O");
    const SDL_Rect glyph = boundingBox(plain, visible);
    const SDL_Rect spread = boundingBox(line, visible);
    // The shadow reaches at most the blur radius beyond the glyph, and does reach beyond it.
    EXPECT_LE(glyph.x + 4 - spread.x, 4);
    EXPECT_GE(glyph.x + 4 - spread.x, 1);
    EXPECT_LE(spread.w - (glyph.w + 4), 4);
    EXPECT_GE(spread.w - (glyph.w + 4), 1);
    // A shadow at half opacity never exceeds half the colour's alpha.
    std::uint8_t strongestShadow = 0;
    for (int y = 0; y < plain.canvas.height; ++y) {
        for (int x = 0; x < plain.canvas.width; ++x) {
            if (at(plain, x, y).a == 0) strongestShadow = std::max(strongestShadow, at(line, x + 4, y + 4).a);
        }
    }
    EXPECT_GT(strongestShadow, 0);
    EXPECT_LE(strongestShadow, 128);
}

double expectedT(const std::string& kind, double angle, double gx, double gy, double w, double h) {
    if (kind == "radial") return std::min(1.0, std::hypot(gx / (w / 2), gy / (h / 2)));
    const double theta = std::fmod(angle, 360.0) * M_PI / 180.0;
    const double s = std::sin(theta), c = std::cos(theta);
    return std::clamp((s * gy + c * gx) / (std::abs(s) * h + std::abs(c) * w) + 0.5, 0.0, 1.0);
}

TEST_F(StyledLineTest, GradientsRunFromTheBaseToTheGradientColour) {
    const SDL_Color base{255, 0, 0, 255};
    const SDL_Color target{0, 0, 255, 255};
    struct Case {
        const char* kind;
        double angle;
    };
    for (const Case c : {Case{"linear", 0.0}, Case{"linear", 90.0}, Case{"linear", 450.0}, Case{"linear", 30.0},
                         Case{"radial", 0.0}}) {
        SCOPED_TRACE(std::string(c.kind) + " " + std::to_string(c.angle));
        TextStyle style;
        style.gradient = c.kind;
        style.gradientAngle = c.angle;
        style.gradientColor = target;
        // The run's own colour is replaced: the gradient starts at the element's base colour.
        const auto line = composeStyledLine(font_.get(), style, base,
                                            {StyledRun{"MWMWM", {0, 255, 0, 255}, false, {}, 0}}, false);
        const double w = line.canvas.width, h = line.canvas.height;
        int checked = 0;
        for (int y = 0; y < line.canvas.height; ++y) {
            for (int x = 0; x < line.canvas.width; ++x) {
                const SDL_Color& p = at(line, x, y);
                if (p.a != 255) continue;  // fully covered glyph cells carry the exact gradient colour
                const double t = expectedT(c.kind, c.angle, x - w / 2, y - h / 2, w, h);
                EXPECT_EQ(p.r, std::lround(255 + (0 - 255) * t)) << x << "," << y;
                EXPECT_EQ(p.g, 0);
                EXPECT_EQ(p.b, std::lround(0 + (255 - 0) * t)) << x << "," << y;
                ++checked;
            }
        }
        EXPECT_GT(checked, 200);
    }
}

TEST_F(StyledLineTest, GradientAlphaFollowsTheGradientColour) {
    TextStyle style;
    style.gradient = "linear";
    style.gradientColor = {255, 255, 255, 0};  // fades out towards the right
    const auto line = compose(style, "MMMMMM");
    const int w = line.canvas.width;
    int leftOpaque = 0, rightOpaque = 0;
    for (int y = 0; y < line.canvas.height; ++y) {
        for (int x = 0; x < w; ++x) {
            if (at(line, x, y).a < 200) continue;
            if (x < w / 4) ++leftOpaque;
            if (x >= 3 * w / 4) ++rightOpaque;
        }
    }
    EXPECT_GT(leftOpaque, 50);
    EXPECT_EQ(rightOpaque, 0);
}

TEST_F(StyledLineTest, HighlightsKeepTheirColoursAndBackgroundsCoverOnlyTheirBox) {
    TextStyle style;
    style.gradient = "linear";
    style.gradientColor = {0, 0, 255, 255};
    style.highlights = {TextHighlight{"cd", {255, 255, 0, 255}, {0, 0, 0, 255}}};
    const auto line = compose(style, "ab cd", {255, 0, 0, 255});
    const int left = measure("ab ").x;
    const int width = measure("cd").x;
    const int height = line.canvas.height;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < line.canvas.width; ++x) {
            const SDL_Color& p = at(line, x, y);
            const bool inBox = x >= left && x < left + width;
            if (inBox) {
                // Yellow background, or black glyphs over it: never a gradient colour.
                EXPECT_EQ(p.a, 255) << x << "," << y;
                EXPECT_EQ(p.b, 0) << x << "," << y;
                EXPECT_EQ(p.r, p.g) << x << "," << y;
            } else {
                EXPECT_FALSE(p.r == 255 && p.g == 255 && p.b == 0) << x << "," << y;
            }
        }
    }
    // Black glyph pixels exist inside the highlight.
    int black = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = left; x < left + width; ++x) black += at(line, x, y).r == 0 ? 1 : 0;
    }
    EXPECT_GT(black, 30);
}

TEST_F(StyledLineTest, CharacterSpacingLeavesGapsWithoutBackground) {
    TextStyle style;
    style.characterSpacing = 12;
    const std::string esc = "\x1b";
    const auto line = compose(style, esc + "[48;2;0;128;0mxy", white, true);
    const int wx = measure("x").x;
    const int wy = measure("y").x;
    ASSERT_EQ(line.canvas.width, wx + 12 + wy);
    for (int y = 0; y < line.canvas.height; ++y) {
        EXPECT_EQ(at(line, wx + 6, y).a, 0) << y;  // the gap
        EXPECT_EQ(at(line, 0, y).a, 255) << y;     // the run's own background under "x"
        EXPECT_EQ(at(line, wx + 12, y).a, 255) << y;
    }
    EXPECT_EQ(line.charOffsets, (std::vector<int>{wx, wx + 12 + wy}));
}

TEST_F(StyledLineTest, CharacterOffsetsAreMeasuredFromTheCanvasEdge) {
    TextStyle style;
    style.outlineWidth = 5;
    const auto line = compose(style, "a\xc3\xa9" "b", white, true);
    const int m = 5;
    EXPECT_EQ(line.charOffsets, (std::vector<int>{m + measure("a").x, m + measure("a\xc3\xa9").x,
                                                  m + measure("a\xc3\xa9" "b").x}));
    EXPECT_TRUE(compose(style, "ab", white, false).charOffsets.empty());
}

TEST_F(StyledLineTest, ALineTooLargeFailsBeforeItIsPainted) {
    FontHandle huge(TTF_OpenFont(fontPath("Lato", 0).c_str(), 1500.0f));
    ASSERT_TRUE(huge);
    TextStyle style;
    style.outlineWidth = 1;
    try {
        composeStyledLine(huge.get(), style, white, {StyledRun{"WWWWWWWWWW", white, false, {}, 0}}, false);
        ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "Styled text line is too large");
    }
}

TEST_F(StyledLineTest, RendersTheCanvasIntoATexture) {
    SDL_Surface* target = SDL_CreateSurface(400, 200, SDL_PIXELFORMAT_ABGR8888);
    ASSERT_TRUE(target);
    SDL_Renderer* renderer = SDL_CreateSoftwareRenderer(target);
    ASSERT_TRUE(renderer) << SDL_GetError();
    TextStyle style;
    style.outlineWidth = 2;
    style.outlineColor = {255, 0, 0, 255};
    StyledLine line =
        renderStyledLine(renderer, font_.get(), style, {0, 255, 0, 255}, parseAnsiStyledRuns("Go", {0, 255, 0, 255}, 0), true);
    ASSERT_NE(line.texture, nullptr);
    EXPECT_EQ(line.margin, 2);
    float tw = 0, th = 0;
    SDL_GetTextureSize(line.texture.get(), &tw, &th);
    EXPECT_EQ(int(tw), line.width);
    EXPECT_EQ(int(th), line.height);
    EXPECT_EQ(line.width, measure("Go").x + 4);
    EXPECT_EQ(line.charOffsets.size(), 2u);

    SDL_SetRenderDrawColor(renderer, 0, 0, 0, 255);
    SDL_RenderClear(renderer);
    SDL_FRect destination{0, 0, tw, th};
    SDL_RenderTexture(renderer, line.texture.get(), nullptr, &destination);
    SDL_RenderPresent(renderer);
    EXPECT_GT(testing::countPixels(target, 0, 255, 0), 50);
    EXPECT_GT(testing::countPixels(target, 255, 0, 0), 50);

    StyledLine empty = renderStyledLine(renderer, font_.get(), style, white, {}, false);
    EXPECT_EQ(empty.texture, nullptr);

    SDL_DestroyRenderer(renderer);
    SDL_DestroySurface(target);
}

}  // namespace
}  // namespace lumetta
