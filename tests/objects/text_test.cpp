#include "objects/text.h"

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "core/process_state.h"
#include "display/display.h"
#include "display/draw_context.h"
#include "objects/font_path.h"
#include "objects/text_preparation.h"
#include "display/sdl_handles.h"
#include "support/manual_clock.h"
#include "text_test_support.h"

namespace lumetta {
namespace {

constexpr int screenWidth = 320;
constexpr int screenHeight = 180;
const SDL_Color white{255, 255, 255, 255};
const SDL_Color clear{0, 0, 0, 0};

// A slide of the screen's own size, so slide and screen pixels coincide at rotation 0.
class TextTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(engine_.started()) << SDL_GetError();
        displayRotation = 0;
        display_ = std::make_unique<Display>("offscreen", "text", -1, -1, screenWidth, screenHeight, false, std::nullopt);
        renderer_ = display_->renderer();
        ASSERT_NE(renderer_, nullptr);
    }
    void TearDown() override { displayRotation = 0; }

    testing::ManualClock clock_;  // the cursor's clock

    std::unique_ptr<Text> make(SDL_Rect box, const std::string& text, int size, const TextStyle& style = {},
                               int alignment = 0, bool typewriter = false, const std::string& family = "Lato",
                               SDL_Color background = clear) {
        return std::make_unique<Text>(display_.get(), screenWidth, screenHeight, box, text, size, "1", family, 0, white,
                                      background, alignment, typewriter, style, clock_);
    }

    // Builds an element while catching what it logs.
    std::unique_ptr<Text> makeLogged(std::string& log, SDL_Rect box, const std::string& text, int size,
                                     const TextStyle& style = {}, const std::string& family = "Lato") {
        ::testing::internal::CaptureStderr();
        auto element = make(box, text, size, style, 0, false, family);
        log = ::testing::internal::GetCapturedStderr();
        return element;
    }

    SDL_Point measure(const std::string& text, int size) {
        FontHandle font(TTF_OpenFont(fontPath("Lato", 0).c_str(), static_cast<float>(size)));
        SDL_Point result{0, 0};
        if (font) TTF_GetStringSize(font.get(), text.data(), text.size(), &result.x, &result.y);
        return result;
    }

    int fontHeight(int size) {
        FontHandle font(TTF_OpenFont(fontPath("Lato", 0).c_str(), static_cast<float>(size)));
        return font ? TTF_GetFontHeight(font.get()) : 0;
    }

    void clearScreen() {
        SDL_SetRenderDrawColor(renderer_, 0, 0, 0, 255);
        SDL_RenderClear(renderer_);
    }

    SurfaceHandle screen() { return SurfaceHandle(SDL_RenderReadPixels(renderer_, nullptr)); }

    // Bright pixels (text drawn in white) inside a screen rectangle.
    static int brightIn(SDL_Surface* surface, SDL_Rect area, Uint8 r = 255, Uint8 g = 255, Uint8 b = 255) {
        int count = 0;
        for (int y = std::max(0, area.y); y < std::min(surface->h, area.y + area.h); ++y) {
            for (int x = std::max(0, area.x); x < std::min(surface->w, area.x + area.w); ++x) {
                Uint8 pr, pg, pb, pa;
                SDL_ReadSurfacePixel(surface, x, y, &pr, &pg, &pb, &pa);
                if (std::abs(pr - r) < 60 && std::abs(pg - g) < 60 && std::abs(pb - b) < 60 && (pr + pg + pb) > 120) {
                    ++count;
                }
            }
        }
        return count;
    }

    testing::FontEngine engine_;
    std::unique_ptr<Display> display_;
    SDL_Renderer* renderer_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Layout

TEST_F(TextTest, ABoxMustHoldEightyPercentOfTheFontSize) {
    std::string log;
    EXPECT_FALSE(makeLogged(log, {10, 10, 200, 32}, "Hello", 40)->isPrepared());
    EXPECT_EQ(log, "");
    auto one = makeLogged(log, {10, 10, 200, 33}, "Hello", 40);
    EXPECT_TRUE(one->isPrepared());
    EXPECT_EQ(one->lineRectangles().size(), 1u);
    EXPECT_EQ(log, "");

    // A later line needs the same room below its own top: the second line at size 40 starts 40
    // down, so it needs a box more than 40 + 32 high.
    const struct {
        int boxHeight;
        std::size_t lines;
    } cases[] = {{72, 1}, {73, 2}, {112, 2}, {113, 3}};
    for (const auto& c : cases) {
        auto element = make({10, 10, 200, c.boxHeight}, "One\nTwo\nThree", 40);
        EXPECT_EQ(element->lineRectangles().size(), c.lines) << "box " << c.boxHeight << " high";
    }
}

TEST_F(TextTest, LinesBelowTheBoxAreDroppedAndEmptyLinesKeepTheirSlot) {
    auto two = make({0, 0, 300, 100}, "One\nTwo\nThree", 40);
    ASSERT_EQ(two->lineRectangles().size(), 2u);
    EXPECT_EQ(two->lineRectangles()[0].y, 0);
    EXPECT_EQ(two->lineRectangles()[1].y, 40);
    EXPECT_EQ(two->lineRectangles()[1].w, measure("Two", 40).x);

    auto gap = make({5, 7, 300, 170}, "Top\n\nBottom", 40);
    ASSERT_EQ(gap->lineRectangles().size(), 2u);
    EXPECT_EQ(gap->lineRectangles()[1].y, 7 + 80);
    EXPECT_EQ(gap->contentHeight(), 80 + gap->lineRectangles()[1].h);
    EXPECT_EQ(gap->contentWidth(), std::max(measure("Top", 40).x, measure("Bottom", 40).x));

    // Carriage returns of "\r\n" line ends are not drawn.
    auto crlf = make({0, 0, 300, 100}, "Top\r\nNext", 40);
    ASSERT_EQ(crlf->lineRectangles().size(), 2u);
    EXPECT_EQ(crlf->lineRectangles()[0].w, measure("Top", 40).x);
}

TEST_F(TextTest, ALineOfOnlyColourCodesKeepsItsSlotLikeABlankLine) {
    // A reset code alone on the last line is common in coloured playlist text.
    const std::string text = "Top\n\x1b[1m\nBottom\n\x1b[0m";
    for (int spacing : {0, 1}) {  // plain and styled lines
        TextStyle style;
        style.lineSpacing = spacing;
        std::string log;
        auto element = makeLogged(log, {0, 0, 300, 170}, text, 40, style);
        EXPECT_EQ(log, "") << spacing;
        ASSERT_EQ(element->lineRectangles().size(), 2u) << spacing;
        EXPECT_TRUE(element->isPrepared()) << spacing;
        EXPECT_EQ(element->lineRectangles()[1].y, 2 * (40 + spacing)) << spacing;
    }
}

TEST_F(TextTest, EllipsisMarksTheLastLineThatFitsAndLinesTooWide) {
    const std::string ellipsis = "\xE2\x80\xA6";
    TextStyle style;
    style.overflow = "ellipsis";
    auto element = make({0, 0, 300, 100}, "One\nTwo\nThree", 40, style);
    ASSERT_EQ(element->lineRectangles().size(), 2u);
    EXPECT_EQ(element->lineRectangles()[0].w, measure("One", 40).x);
    // The ellipsis is a run of its own after the text.
    EXPECT_EQ(element->lineRectangles()[1].w, measure("Two", 40).x + measure(ellipsis, 40).x);

    // A line wider than the box is cut back to the longest prefix that fits with the ellipsis.
    const std::string longLine = "The quick brown fox jumps over the lazy dog";
    auto cut = make({0, 0, 200, 60}, longLine, 30, style);
    ASSERT_EQ(cut->lineRectangles().size(), 1u);
    std::size_t keep = longLine.size();
    while (keep > 0 && measure(longLine.substr(0, keep), 30).x + measure(ellipsis, 30).x > 200) --keep;
    ASSERT_GT(keep, 3u);
    EXPECT_EQ(cut->lineRectangles()[0].w, measure(longLine.substr(0, keep), 30).x + measure(ellipsis, 30).x);

    // Even when nothing fits, the ellipsis stays.
    auto narrow = make({0, 0, 5, 60}, "Wide", 30, style);
    ASSERT_EQ(narrow->lineRectangles().size(), 1u);
    EXPECT_EQ(narrow->lineRectangles()[0].w, measure(ellipsis, 30).x);
}

TEST_F(TextTest, ShrinkChoosesTheLargestSizeThatFits) {
    TextStyle style;
    style.overflow = "shrink";
    auto fits = make({0, 0, 300, 100}, "Hi", 40, style);
    EXPECT_EQ(fits->laidOutFontSize(), 40);

    auto tiny = make({0, 0, 20, 100}, "A text far too wide for twenty pixels", 40, style);
    EXPECT_EQ(tiny->laidOutFontSize(), 1);

    const std::string line = "Shrink me to fit";
    auto shrunk = make({0, 0, 150, 100}, line, 60, style);
    const int size = shrunk->laidOutFontSize();
    EXPECT_LT(size, 60);
    EXPECT_LE(measure(line, size).x, 150);
    EXPECT_GT(measure(line, size + 1).x, 150);

    // Height counts too: three lines at size s need 3 s + 2 x spacing.
    style.lineSpacing = 5;
    auto stacked = make({0, 0, 300, 100}, "a\nb\nc", 60, style);
    EXPECT_EQ(stacked->laidOutFontSize(), 30);  // 3 * 30 + 10 = 100
}

TEST_F(TextTest, HorizontalAlignmentPlacesTheTextureInTheContentArea) {
    const SDL_Rect box{20, 10, 280, 60};
    const int width = measure("Align", 30).x;
    struct Case {
        int alignment;
        int x;
    };
    for (const Case c : {Case{0, 20}, Case{1, 20 + 280 - width}, Case{2, 20 + (280 - width) / 2}, Case{7, 20}}) {
        auto element = make(box, "Align", 30, {}, c.alignment);
        ASSERT_EQ(element->lineRectangles().size(), 1u) << c.alignment;
        EXPECT_EQ(element->lineRectangles()[0].x, c.x) << c.alignment;
    }

    // With styling the padding insets the content area and the effect margin widens the texture.
    TextStyle style;
    style.padding = 10;
    style.outlineWidth = 3;
    auto left = make(box, "Align", 30, style, 0);
    EXPECT_EQ(left->lineRectangles()[0].x, 20 + 10 - 3);
    EXPECT_EQ(left->lineRectangles()[0].y, 10 + 10 - 3);
    EXPECT_EQ(left->lineRectangles()[0].w, width + 6);
    auto right = make(box, "Align", 30, style, 1);
    EXPECT_EQ(right->lineRectangles()[0].x + right->lineRectangles()[0].w, 20 + 280 - 10);
}

TEST_F(TextTest, VerticalAlignmentCompensatesTheDrawShift) {
    const SDL_Rect box{0, 20, 300, 150};
    const int size = 30;
    const int d = 150 - fontHeight(size);
    struct Case {
        const char* word;
        int y;
    };
    for (const Case c : {Case{"top", 20}, Case{"middle", 20 + size * 15 / 100 + d / 2},
                         Case{"bottom", 20 + size * 15 / 100 + d}}) {
        TextStyle style;
        style.verticalAlignment = c.word;
        auto element = make(box, "Vertical", size, style);
        ASSERT_EQ(element->lineRectangles().size(), 1u) << c.word;
        EXPECT_EQ(element->lineRectangles()[0].y, c.y) << c.word;
    }
}

TEST_F(TextTest, TypewriterTracksTheEndOfEveryCharacter) {
    auto element = make({0, 0, 300, 100}, "ab\n\xC3\xA9", 30, {}, 0, true);
    ASSERT_EQ(element->characterOffsets().size(), 2u);
    EXPECT_EQ(element->characterOffsets()[0], (std::vector<int>{measure("a", 30).x, measure("ab", 30).x}));
    EXPECT_EQ(element->characterOffsets()[1], (std::vector<int>{measure("\xC3\xA9", 30).x}));
    EXPECT_EQ(element->characterCount(), 3);
    EXPECT_TRUE(make({0, 0, 300, 100}, "ab", 30)->characterOffsets().empty());
}

TEST_F(TextTest, PlacementSumsDoNotOverflow) {
    const SDL_Rect box{INT_MAX - 400, INT_MAX - 200, 400, 200};
    TextStyle style;
    style.padding = 20;
    style.overflow = "clip";
    for (int alignment : {0, 1, 2}) {
        auto element = make(box, "Far away", 30, style, alignment);
        ASSERT_EQ(element->lineRectangles().size(), 1u);
        const SDL_Rect line = element->lineRectangles()[0];
        EXPECT_GE(line.x, INT_MAX - 400);
        clearScreen();
        element->draw(INT_MAX, INT_MAX, SDL_FLIP_NONE, 255, 1.0f);
        element->draw(INT_MIN, INT_MIN, SDL_FLIP_NONE, 255, 1.0f);
    }
}

TEST_F(TextTest, FailuresLeaveAnEmptyElementWithOneLogLine) {
    struct Case {
        const char* name;
        int size;
        std::string family;
        int padding;
        std::string message;
    };
    const Case cases[] = {
        {"size 0", 0, "Lato", 0, "Text Exception: Font size must be greater than zero"},
        {"negative size", -5, "Lato", 0, "Text Exception: Font size must be greater than zero"},
        {"missing family", 20, "No Such Family", 0, "Text Exception: TTF_OpenFont: "},
        {"family leaving the fonts directory", 20, "../fonts/Lato", 0, "Text Exception: TTF_OpenFont: "},
        {"padding eats the box", 20, "Lato", 60, "Text Exception: Text padding leaves no content area"},
    };
    for (const auto& c : cases) {
        TextStyle style;
        style.padding = c.padding;
        std::string log;
        auto element = makeLogged(log, {0, 0, 200, 100}, "Hello", c.size, style, c.family);
        EXPECT_FALSE(element->isPrepared()) << c.name;
        EXPECT_EQ(element->contentWidth(), 0) << c.name;
        EXPECT_NE(log.find(c.message), std::string::npos) << c.name << ": " << log;
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << c.name << ": " << log;
    }
    std::string log;
    EXPECT_FALSE(makeLogged(log, {0, 0, 200, 100}, "  \n\t ", 20)->isPrepared());
    EXPECT_EQ(log, "");
}

TEST_F(TextTest, ALineNoTextureCanHoldIsRefusedBeforeItIsRendered) {
    // About 36,000 pixels at size 20: wider than any texture the software renderer is given
    // (16384), so the element fails like a renderer would, without making the line first.
    TextStyle styled;
    styled.shadow = true;
    for (const TextStyle& style : {TextStyle{}, styled}) {
        std::string log;
        auto element = makeLogged(log, {0, 0, 200, 100}, std::string(2000, 'W') + "\nshort", 20, style);
        EXPECT_FALSE(element->isPrepared()) << style.shadow;
        EXPECT_NE(log.find("Text Exception: Text line is "), std::string::npos) << log;
        EXPECT_NE(log.find(" pixels wide; at most 16384 can be shown"), std::string::npos) << log;
    }
    // Just below the limit still lays out.
    const int wide = measure("W", 20).x;
    ASSERT_GT(wide, 0);
    auto fits = make({0, 0, 200, 100}, std::string(static_cast<std::size_t>(16000 / wide), 'W'), 20);
    EXPECT_TRUE(fits->isPrepared());
    EXPECT_LE(textLineWidthLimit(renderer_), maxTextLineWidth);
}

TEST_F(TextTest, InvalidOpacityStyleOrDisplayThrow) {
    EXPECT_THROW(Text(display_.get(), screenWidth, screenHeight, {0, 0, 100, 50}, "x", 20, "half", "Lato", 0, white,
                      clear, 0, false, {}),
                 std::invalid_argument);
    try {
        Text(display_.get(), screenWidth, screenHeight, {0, 0, 100, 50}, "x", 20, "0.5x", "Lato", 0, white, clear, 0,
             false, {});
        ADD_FAILURE();
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "Invalid text opacity: 0.5x");
    }
    TextStyle bad;
    bad.overflow = "scroll";
    try {
        Text(display_.get(), screenWidth, screenHeight, {0, 0, 100, 50}, "x", 20, "1", "Lato", 0, white, clear, 0,
             false, bad);
        ADD_FAILURE();
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "Invalid text overflow");
    }
    EXPECT_THROW(Text(nullptr, screenWidth, screenHeight, {0, 0, 100, 50}, "x", 20, "1", "Lato", 0, white, clear, 0,
                      false, {}),
                 std::runtime_error);
}

TEST_F(TextTest, AnAllZeroBoxLaysOutNoLine) {
    std::string log;
    EXPECT_FALSE(makeLogged(log, {0, 0, 0, 0}, "Hello", 20)->isPrepared());
    EXPECT_EQ(log, "");
    TextStyle styled;
    styled.lineSpacing = 1;
    EXPECT_FALSE(makeLogged(log, {0, 0, 0, 0}, "Hello", 20, styled)->isPrepared());
    EXPECT_NE(log.find("Text Exception: Text padding leaves no content area"), std::string::npos) << log;
}

// ---------------------------------------------------------------------------------------------
// Free functions

TEST(FitRotatedRect, MapsSlideRectanglesOntoTheOutput) {
    struct Case {
        const char* name;
        SDL_Rect rect;
        int slideW, slideH;
        SDL_Rect viewport;
        int rotation;
        SDL_Rect expected;
    };
    const Case cases[] = {
        {"identity", {10, 20, 30, 40}, 320, 180, {0, 0, 320, 180}, 0, {10, 20, 30, 40}},
        {"half size", {10, 20, 30, 40}, 640, 360, {0, 0, 320, 180}, 0, {5, 10, 15, 20}},
        {"letterboxed", {0, 0, 100, 100}, 100, 100, {0, 0, 300, 100}, 0, {100, 0, 100, 100}},
        {"viewport offset", {0, 0, 10, 10}, 100, 100, {50, 60, 100, 100}, 0, {50, 60, 10, 10}},
        // A landscape slide on a portrait output at -90: sides swapped for the scale, the box's
        // centre turned a quarter clockwise; the rectangle keeps its own proportions.
        {"turned -90", {0, 0, 40, 20}, 320, 180, {0, 0, 180, 320}, -90, {150, 10, 40, 20}},
        {"turned 270 same as -90", {0, 0, 40, 20}, 320, 180, {0, 0, 180, 320}, 270, {150, 10, 40, 20}},
        {"turned 180", {0, 0, 40, 20}, 320, 180, {0, 0, 320, 180}, -180, {280, 160, 40, 20}},
        {"tiny stays one pixel", {0, 0, 1, 1}, 1000, 1000, {0, 0, 10, 10}, 0, {0, 0, 1, 1}},
        {"no slide", {0, 0, 10, 10}, 0, 180, {0, 0, 320, 180}, 0, {0, 0, 0, 0}},
        {"no viewport", {0, 0, 10, 10}, 320, 180, {0, 0, 0, 180}, 0, {0, 0, 0, 0}},
        {"no rect", {0, 0, 0, 10}, 320, 180, {0, 0, 320, 180}, 0, {0, 0, 0, 0}},
        {"far away clamps", {INT_MAX - 10, INT_MAX - 10, 10, 10}, 1, 1, {0, 0, 1000, 1000}, 0,
         {INT_MAX, INT_MAX, 10000, 10000}},
    };
    for (const auto& c : cases) {
        const SDL_Rect r = fitRotatedRect(c.rect, c.slideW, c.slideH, c.viewport, c.rotation);
        EXPECT_EQ(r.x, c.expected.x) << c.name;
        EXPECT_EQ(r.y, c.expected.y) << c.name;
        EXPECT_EQ(r.w, c.expected.w) << c.name;
        EXPECT_EQ(r.h, c.expected.h) << c.name;
    }
}

class MeasureTextTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(engine_.started()); }
    int width(const std::string& text, int size = 20) {
        FontHandle font(TTF_OpenFont(fontPath("Lato", 0).c_str(), static_cast<float>(size)));
        int w = 0, h = 0;
        TTF_GetStringSize(font.get(), text.data(), text.size(), &w, &h);
        return w;
    }
    testing::FontEngine engine_;
};

TEST_F(MeasureTextTest, ShortensLabelsWithAnEllipsis) {
    const std::string ellipsis = "\xE2\x80\xA6";
    const std::string label = "Living room screen";
    EXPECT_EQ(measureText(label, width(label), 20, "Lato", 0), label);
    const std::string cut = measureText(label, 80, 20, "Lato", 0);
    ASSERT_GT(cut.size(), ellipsis.size());
    EXPECT_EQ(cut.substr(cut.size() - ellipsis.size()), ellipsis);
    const std::string prefix = cut.substr(0, cut.size() - ellipsis.size());
    EXPECT_EQ(label.rfind(prefix, 0), 0u);
    EXPECT_LE(width(cut), 80);
    EXPECT_GT(width(label.substr(0, prefix.size() + 1) + ellipsis), 80);  // one more character does not fit

    // Multi-byte characters are cut whole.
    const std::string accented = "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9";
    const std::string cutAccented = measureText(accented, width("\xC3\xA9\xC3\xA9" + ellipsis), 20, "Lato", 0);
    EXPECT_EQ(cutAccented, "\xC3\xA9\xC3\xA9" + ellipsis);

    EXPECT_EQ(measureText("WWW", width(ellipsis), 20, "Lato", 0), ellipsis);
    EXPECT_EQ(measureText(label, width(ellipsis) - 1, 20, "Lato", 0), "");
    EXPECT_EQ(measureText("", 100, 20, "Lato", 0), "");
    EXPECT_EQ(measureText(label, 0, 20, "Lato", 0), "");
    EXPECT_EQ(measureText(label, 100, 0, "Lato", 0), "");
    EXPECT_EQ(measureText(label, 10, 20, "No Such Family", 0), label);
}

// The cut of a long text agrees, width for width, with the plain search from the end, and a
// text of a megabyte is cut like its first kilobyte.
TEST_F(MeasureTextTest, LongTextsCutLikeThePlainSearch) {
    const std::string ellipsis = "\xE2\x80\xA6";
    const std::string label = "Wide Lounge \xC3\xA9\xC3\xA9 AVWA Ta To fi ffi \xE6\x97\xA5\xE6\x9C\xAC screen 12345";
    FontHandle font(TTF_OpenFont(fontPath("Lato", 0).c_str(), 20.0f));
    ASSERT_NE(font, nullptr);
    const auto plain = [&](int maxWidth) {
        std::string prefix = label;
        while (!prefix.empty()) {
            dropLastCharacter(prefix);
            const std::string candidate = prefix + ellipsis;
            int w = 0, h = 0;
            TTF_GetStringSize(font.get(), candidate.data(), candidate.size(), &w, &h);
            if (w <= maxWidth) return candidate;
        }
        return std::string();
    };
    for (int maxWidth = width(ellipsis); maxWidth < width(label); maxWidth += 3) {
        EXPECT_EQ(measureText(label, maxWidth, 20, "Lato", 0), plain(maxWidth)) << "width " << maxWidth;
    }
    std::string huge;
    while (huge.size() < 1'000'000) huge += label;
    EXPECT_EQ(measureText(huge, 300, 20, "Lato", 0), measureText(huge.substr(0, 1000), 300, 20, "Lato", 0));
}

// ---------------------------------------------------------------------------------------------
// Drawing on the software renderer

TEST_F(TextTest, DrawsItsLinesWhereTheyWereLaidOut) {
    auto element = make({20, 30, 280, 100}, "Drawn", 40);
    ASSERT_TRUE(element->isPrepared());
    clearScreen();
    element->draw(0, 0, SDL_FLIP_NONE, 255, 1.0f);
    auto pixels = screen();
    SDL_Rect line = element->lineRectangles()[0];
    line.y -= 40 * 15 / 100;  // drawn 15 % of the size higher
    EXPECT_GT(brightIn(pixels.get(), line), 100);
    EXPECT_EQ(brightIn(pixels.get(), {0, 0, screenWidth, line.y}), 0);
    EXPECT_EQ(brightIn(pixels.get(), {line.x + line.w, 0, screenWidth, screenHeight}), 0);

    // Offsets move the drawing; alpha factor 0 hides it.
    clearScreen();
    element->draw(-20, 50, SDL_FLIP_NONE, 255, 1.0f);
    pixels = screen();
    EXPECT_GT(brightIn(pixels.get(), {line.x - 20, line.y + 50, line.w, line.h}), 100);
    clearScreen();
    element->draw(0, 0, SDL_FLIP_NONE, 0, 1.0f);
    EXPECT_EQ(brightIn(screen().get(), {0, 0, screenWidth, screenHeight}), 0);
}

TEST_F(TextTest, RevealShowsTheLeftPartOfEveryLine) {
    auto element = make({0, 10, 320, 160}, "MMMMMMMM\nWWWWWWWW", 40);
    ASSERT_EQ(element->lineRectangles().size(), 2u);
    const int lift = 40 * 15 / 100;
    for (std::size_t i = 0; i < 2; ++i) {
        SDL_Rect line = element->lineRectangles()[i];
        line.y -= lift;
        const SDL_Rect leftHalf{line.x, line.y, line.w / 2, line.h};
        const SDL_Rect rightHalf{line.x + line.w / 2 + 1, line.y, line.w - line.w / 2 - 1, line.h};
        clearScreen();
        element->draw(0, 0, SDL_FLIP_NONE, 255, 1.0f);
        auto full = screen();
        clearScreen();
        element->draw(0, 0, SDL_FLIP_NONE, 255, 0.5f);
        auto half = screen();
        EXPECT_GT(brightIn(full.get(), rightHalf), 100) << i;
        EXPECT_EQ(brightIn(half.get(), rightHalf), 0) << i;
        EXPECT_NEAR(brightIn(half.get(), leftHalf), brightIn(full.get(), leftHalf), brightIn(full.get(), leftHalf) / 20)
            << i;
    }
}

TEST_F(TextTest, RevealZeroDrawsOnlyTheBackground) {
    auto element = make({10, 10, 200, 80}, "Hidden", 40, {}, 0, false, "Lato", SDL_Color{0, 0, 255, 255});
    clearScreen();
    element->draw(0, 0, SDL_FLIP_NONE, 255, 0.0f);
    auto pixels = screen();
    EXPECT_EQ(brightIn(pixels.get(), {0, 0, screenWidth, screenHeight}), 0);
    EXPECT_GT(brightIn(pixels.get(), {10, 10, 200, 80}, 0, 0, 255), 200 * 80 * 9 / 10);
    clearScreen();
    element->draw(0, 0, SDL_FLIP_NONE, 255, std::numeric_limits<float>::quiet_NaN());
    EXPECT_EQ(brightIn(screen().get(), {0, 0, screenWidth, screenHeight}), 0);
}

TEST_F(TextTest, ClipCutsAtThePaddedBoxAndLegacyDoesNot) {
    const SDL_Rect box{60, 40, 120, 80};
    const std::string wide = "A line much wider than its box";
    for (const char* overflow : {"legacy", "clip"}) {
        TextStyle style;
        style.overflow = overflow;
        style.padding = 10;
        if (std::string(overflow) == "legacy") style.lineSpacing = 1;  // styled, so the padding applies
        auto element = make(box, wide, 30, style, 2);
        ASSERT_TRUE(element->isPrepared()) << overflow;
        clearScreen();
        element->draw(0, 0, SDL_FLIP_NONE, 255, 1.0f);
        auto pixels = screen();
        const int outside = brightIn(pixels.get(), {0, 0, box.x + 10, screenHeight}) +
                            brightIn(pixels.get(), {box.x + box.w - 10, 0, screenWidth, screenHeight});
        const int inside = brightIn(pixels.get(), {box.x + 10, box.y + 10, box.w - 20, box.h - 20});
        EXPECT_GT(inside, 50) << overflow;
        if (std::string(overflow) == "clip") {
            EXPECT_EQ(outside, 0);
        } else {
            EXPECT_GT(outside, 100);  // drawn in full, beyond the box on both sides
        }
    }
}

TEST_F(TextTest, TypewriterProgressComesFromTheLayerTransform) {
    auto element = make({0, 10, 320, 160}, "MMMM\nWWWW", 40, {}, 0, true);
    ASSERT_EQ(element->characterCount(), 8);
    const int lift = 40 * 15 / 100;
    SDL_Rect first = element->lineRectangles()[0];
    SDL_Rect second = element->lineRectangles()[1];
    first.y -= lift;
    second.y -= lift;
    const int twoChars = element->characterOffsets()[0][1];

    LayerTransform transform;
    transform.revealKind = reveal::typewriter;
    transform.reveal = 0.25;  // two of eight characters
    {
        ScopedDrawSlot<const LayerTransform*> slot(activeLayerTransform, &transform);
        clearScreen();
        element->draw(0, 0, SDL_FLIP_NONE, 255, 1.0f);
    }
    auto pixels = screen();
    EXPECT_GT(brightIn(pixels.get(), {first.x, first.y, twoChars, first.h}), 50);
    EXPECT_EQ(brightIn(pixels.get(), {first.x + twoChars + 1, first.y, first.w, first.h}), 0);
    EXPECT_EQ(brightIn(pixels.get(), second), 0);

    transform.reveal = 0.75;  // the first line and two characters of the second
    {
        ScopedDrawSlot<const LayerTransform*> slot(activeLayerTransform, &transform);
        clearScreen();
        element->draw(0, 0, SDL_FLIP_NONE, 255, 1.0f);
    }
    pixels = screen();
    EXPECT_GT(brightIn(pixels.get(), {first.x + twoChars + 1, first.y, first.w, first.h}), 50);
    const int secondTwo = element->characterOffsets()[1][1];
    EXPECT_GT(brightIn(pixels.get(), {second.x, second.y, secondTwo, second.h}), 50);
    EXPECT_EQ(brightIn(pixels.get(), {second.x + secondTwo + 1, second.y, second.w, second.h}), 0);

    // Another reveal kind leaves the text whole.
    transform.revealKind = reveal::none;
    transform.reveal = 0.0;
    {
        ScopedDrawSlot<const LayerTransform*> slot(activeLayerTransform, &transform);
        clearScreen();
        element->draw(0, 0, SDL_FLIP_NONE, 255, 1.0f);
    }
    EXPECT_GT(brightIn(screen().get(), second), 50);
}

TEST_F(TextTest, CursorBlinksByTheClockAtTheCaret) {
    TextStyle style;
    style.typewriterCursor = true;
    style.cursorColor = {0, 255, 0, 255};
    style.cursorBlinkMs = 400;
    auto element = make({0, 10, 320, 160}, "MMMM\nWWWW", 40, style);
    const int lift = 40 * 15 / 100;
    const SDL_Rect first = element->lineRectangles()[0];
    LayerTransform transform;
    transform.revealKind = reveal::typewriter;

    // Moves the clock on to `ticks` (the clock never goes back).
    auto drawAt = [&](double progress, std::uint64_t ticks) {
        clock_.advance(static_cast<std::int64_t>(ticks - clock_.ticksMs()));
        transform.reveal = progress;
        ScopedDrawSlot<const LayerTransform*> slot(activeLayerTransform, &transform);
        clearScreen();
        element->draw(0, 0, SDL_FLIP_NONE, 255, 1.0f);
        return screen();
    };
    const SDL_Rect atStart{first.x, first.y - lift, 2, 40};
    auto shown = drawAt(0.0, 0);
    EXPECT_EQ(brightIn(shown.get(), {0, 0, screenWidth, screenHeight}), 0);  // no text yet
    EXPECT_EQ(brightIn(shown.get(), atStart, 0, 255, 0), 2 * 40);
    EXPECT_EQ(brightIn(drawAt(0.0, 399).get(), atStart, 0, 255, 0), 2 * 40);
    EXPECT_EQ(brightIn(drawAt(0.0, 400).get(), {0, 0, screenWidth, screenHeight}, 0, 255, 0), 0);
    EXPECT_EQ(brightIn(drawAt(0.0, 800).get(), atStart, 0, 255, 0), 2 * 40);

    // Two characters in: the cursor stands at the end of the second.
    const int caretX = first.x + element->characterOffsets()[0][1];
    EXPECT_EQ(brightIn(drawAt(0.25, 1600).get(), {caretX, first.y - lift, 2, 40}, 0, 255, 0), 2 * 40);
    // Everything shown: no cursor.
    EXPECT_EQ(brightIn(drawAt(1.0, 1600).get(), {0, 0, screenWidth, screenHeight}, 0, 255, 0), 0);
}

TEST_F(TextTest, PlainLinesUseSurfacesPreparedInTheCache) {
    // A surface filed under the run key beforehand is what the element draws.
    const std::string key =
        textRunKey(textRunKeyPrefix(fontPath("Lato", 0), 30), StyledRun{"Cached", white, false, {}, 0});
    SurfaceHandle sentinel(SDL_CreateSurface(8, 8, SDL_PIXELFORMAT_ABGR8888));
    SDL_FillSurfaceRect(sentinel.get(), nullptr, SDL_MapSurfaceRGBA(sentinel.get(), 255, 0, 255, 255));
    storePreparedSurface(key, sentinel.get());

    auto element = make({0, 10, 320, 100}, "Cached", 30);
    ASSERT_TRUE(element->isPrepared());
    clearScreen();
    element->draw(0, 0, SDL_FLIP_NONE, 255, 1.0f);
    auto pixels = screen();
    EXPECT_GT(brightIn(pixels.get(), {0, 0, screenWidth, screenHeight}, 255, 0, 255), 20);
    EXPECT_EQ(brightIn(pixels.get(), {0, 0, screenWidth, screenHeight}), 0);

    // A run that was not prepared is rendered and filed for the next element.
    const std::string fresh =
        textRunKey(textRunKeyPrefix(fontPath("Lato", 0), 30), StyledRun{"Fresh", white, false, {}, 0});
    EXPECT_FALSE(textSurfaceCache().contains(fresh));
    make({0, 10, 320, 100}, "Fresh", 30);
    EXPECT_TRUE(textSurfaceCache().contains(fresh));
}

TEST_F(TextTest, FollowsTheDisplayRotation) {
    // A quarter turn: the slide is fitted turned (scale 180/320) and its top-left corner lands
    // at the output's top-right.
    auto element = make({0, 0, 160, 60}, "Turn", 40);
    displayRotation = -90;
    clearScreen();
    element->draw(0, 0, SDL_FLIP_NONE, 255, 1.0f);
    auto pixels = screen();
    EXPECT_GT(brightIn(pixels.get(), {150, 0, 170, 100}), 30);
    EXPECT_EQ(brightIn(pixels.get(), {0, 0, 150, screenHeight}), 0);
    EXPECT_EQ(brightIn(pixels.get(), {0, 100, screenWidth, 80}), 0);
}

}  // namespace
}  // namespace lumetta
