#include "objects/text_style.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace lumetta {
namespace {

bool sameColor(SDL_Color a, SDL_Color b) { return a.r == b.r && a.g == b.g && a.b == b.b && a.a == b.a; }

std::string colorText(SDL_Color c) {
    return std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) + "," + std::to_string(c.a);
}

// ---------------------------------------------------------------------------------------------
// TextStyle

TEST(TextStyleValidate, DefaultsAreValidAndUnstyled) {
    TextStyle style;
    EXPECT_NO_THROW(style.validate());
    EXPECT_FALSE(style.usesStyling());
}

TEST(TextStyleValidate, ReportsTheFirstFailingRule) {
    struct Case {
        const char* name;
        std::function<void(TextStyle&)> change;
        const char* message;  // nullptr: valid
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        {"outline at top", [](TextStyle& s) { s.outlineWidth = 32; }, nullptr},
        {"outline above", [](TextStyle& s) { s.outlineWidth = 33; }, "Invalid text styling value"},
        {"negative outline", [](TextStyle& s) { s.outlineWidth = -1; }, "Invalid text styling value"},
        {"most negative padding", [](TextStyle& s) { s.padding = std::numeric_limits<std::int32_t>::min(); },
         "Invalid text styling value"},
        {"shadow opacity NaN", [&](TextStyle& s) { s.shadowOpacity = static_cast<float>(nan); },
         "Invalid text styling value"},
        {"shadow opacity above 1", [](TextStyle& s) { s.shadowOpacity = 1.01f; }, "Invalid text styling value"},
        {"shadow blur 65", [](TextStyle& s) { s.shadowBlur = 65; }, "Invalid text styling value"},
        {"shadow offset -256", [](TextStyle& s) { s.shadowOffsetX = -256; }, nullptr},
        {"shadow offset -257", [](TextStyle& s) { s.shadowOffsetY = -257; }, "Invalid text styling value"},
        {"gradient angle any finite", [](TextStyle& s) { s.gradientAngle = -12345.5; }, nullptr},
        {"gradient angle infinite", [&](TextStyle& s) { s.gradientAngle = inf; }, "Invalid text styling value"},
        {"line spacing 513", [](TextStyle& s) { s.lineSpacing = 513; }, "Invalid text styling value"},
        {"typewriter speed NaN", [&](TextStyle& s) { s.typewriterSpeed = nan; }, "Invalid text styling value"},
        {"typewriter delay one day", [](TextStyle& s) { s.typewriterDelay = 86400000.0; }, nullptr},
        {"typewriter delay beyond", [](TextStyle& s) { s.typewriterDelay = 86400000.5; }, "Invalid text styling value"},
        {"cursor blink 99", [](TextStyle& s) { s.cursorBlinkMs = 99; }, "Invalid text styling value"},
        {"cursor blink 10000", [](TextStyle& s) { s.cursorBlinkMs = 10000; }, nullptr},
        {"gradient word", [](TextStyle& s) { s.gradient = "Linear"; }, "Invalid text gradient"},
        {"alignment word", [](TextStyle& s) { s.verticalAlignment = "center"; }, "Invalid text vertical alignment"},
        {"overflow word", [](TextStyle& s) { s.overflow = ""; }, "Invalid text overflow"},
        {"65 highlights, one empty", [](TextStyle& s) { s.highlights.assign(65, TextHighlight{"x"}); s.highlights[3].text = ""; },
         "Too many text highlights"},
        {"64 highlights", [](TextStyle& s) { s.highlights.assign(64, TextHighlight{"x"}); }, nullptr},
        {"empty highlight", [](TextStyle& s) { s.highlights = {TextHighlight{"a"}, TextHighlight{""}}; },
         "Empty text highlight"},
        {"number before word", [](TextStyle& s) { s.gradient = "bad"; s.padding = -1; }, "Invalid text styling value"},
        {"gradient before overflow", [](TextStyle& s) { s.overflow = "bad"; s.gradient = "bad"; }, "Invalid text gradient"},
    };
    for (const auto& c : cases) {
        TextStyle style;
        c.change(style);
        if (c.message == nullptr) {
            EXPECT_NO_THROW(style.validate()) << c.name;
            continue;
        }
        try {
            style.validate();
            ADD_FAILURE() << c.name << ": no exception";
        } catch (const std::invalid_argument& error) {
            EXPECT_STREQ(error.what(), c.message) << c.name;
        }
    }
}

TEST(TextStyleUsesStyling, OnlyLayoutAndRenderingFieldsCount) {
    struct Case {
        const char* name;
        std::function<void(TextStyle&)> change;
        bool styled;
    };
    const Case cases[] = {
        {"outline", [](TextStyle& s) { s.outlineWidth = 1; }, true},
        {"shadow", [](TextStyle& s) { s.shadow = true; }, true},
        {"gradient", [](TextStyle& s) { s.gradient = "radial"; }, true},
        {"character spacing", [](TextStyle& s) { s.characterSpacing = 1; }, true},
        {"line spacing", [](TextStyle& s) { s.lineSpacing = 2; }, true},
        {"padding", [](TextStyle& s) { s.padding = 1; }, true},
        {"alignment", [](TextStyle& s) { s.verticalAlignment = "bottom"; }, true},
        {"overflow", [](TextStyle& s) { s.overflow = "clip"; }, true},
        {"highlight", [](TextStyle& s) { s.highlights = {TextHighlight{"a"}}; }, true},
        {"typewriter", [](TextStyle& s) { s.typewriterSpeed = 20; s.typewriterDelay = 5; s.typewriterCursor = true; }, false},
        {"panel", [](TextStyle& s) { s.backgroundRadius = 8; s.backgroundBorderWidth = 2; }, false},
        {"colours only", [](TextStyle& s) { s.outlineColor = {1, 2, 3, 4}; s.shadowColor = {1, 2, 3, 4}; }, false},
    };
    for (const auto& c : cases) {
        TextStyle style;
        c.change(style);
        EXPECT_EQ(style.usesStyling(), c.styled) << c.name;
    }
}

// ---------------------------------------------------------------------------------------------
// ANSI SGR runs

struct ExpectedRun {
    std::string text;
    SDL_Color color;
    std::uint8_t style;
    bool hasBackground = false;
    SDL_Color background{0, 0, 0, 0};
};

const SDL_Color base{10, 20, 30, 200};

void expectRuns(const std::string& input, const std::vector<ExpectedRun>& expected, std::uint8_t baseStyle = 0) {
    const auto runs = parseAnsiStyledRuns(input, base, baseStyle);
    ASSERT_EQ(runs.size(), expected.size()) << input;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        SCOPED_TRACE(input + " run " + std::to_string(i));
        EXPECT_EQ(runs[i].text, expected[i].text);
        EXPECT_TRUE(sameColor(runs[i].color, expected[i].color)) << colorText(runs[i].color);
        EXPECT_EQ(int(runs[i].style), int(expected[i].style));
        EXPECT_EQ(runs[i].hasBackground, expected[i].hasBackground);
        EXPECT_TRUE(sameColor(runs[i].background, expected[i].background)) << colorText(runs[i].background);
    }
}

TEST(AnsiStyledRuns, ParsesTheSequencesItKnows) {
    const std::string esc = "\x1b";
    const SDL_Color red{255, 0, 0, 255};
    struct Case {
        std::string input;
        std::vector<ExpectedRun> runs;
    };
    const Case cases[] = {
        {"", {}},
        {"plain text", {{"plain text", base, 0}}},
        {esc + "[1m" + esc + "[0m", {}},
        {esc + "[1mA " + esc + "[0mB", {{"A ", base, 1}, {"B", base, 0}}},
        {esc + "[1;3;4mA" + esc + "[22mB" + esc + "[23;24mC", {{"A", base, 7}, {"B", base, 6}, {"C", base, 0}}},
        {esc + "[38;2;300;-1;128mX", {{"X", {255, 1, 128, 255}, 0}}},
        {esc + "[38;2;10;20mX", {{"X", base, 0}}},
        {esc + "[31mX", {{"X", base, 0}}},
        {esc + "[38;5;196mX", {{"X", base, 0}}},
        // 38;5 is not the 24-bit form, so 5 and 1 are read as codes of their own: 1 is bold.
        {esc + "[38;5;1mX", {{"X", base, 1}}},
        {esc + "[38;2;255;0;0mR" + esc + "[39mB", {{"R", red, 0}, {"B", base, 0}}},
        {esc + "[48;2;0;0;255mX" + esc + "[49mY",
         {{"X", base, 0, true, {0, 0, 255, 255}}, {"Y", base, 0}}},
        {esc + "[1;48;2;1;2;3;38;2;4;5;6mX" + esc + "[mY",
         {{"X", {4, 5, 6, 255}, 1, true, {1, 2, 3, 255}}, {"Y", base, 0}}},
        // An empty parameter counts as 0; the trailing one is always added ('1;' is 1 then 0).
        {esc + "[1;mX", {{"X", base, 0}}},
        {esc + "[;1mX", {{"X", base, 1}}},
        // The sequence ends at the first 'm' whatever stands before it.
        {"a" + esc + "[2J junk; m tail", {{"a", base, 0}, {" tail", base, 0}}},
        // An ESC that starts no sequence stays in the text.
        {"end" + esc, {{"end" + esc, base, 0}}},
        {"end" + esc + "[", {{"end" + esc + "[", base, 0}}},
        {esc + "[1 open", {{esc + "[1 open", base, 0}}},
        // UTF-8 bytes pass through untouched.
        {"\xc3\xa9" + esc + "[1m\xe2\x80\xa6", {{"\xc3\xa9", base, 0}, {"\xe2\x80\xa6", base, 1}}},
    };
    for (const auto& c : cases) expectRuns(c.input, c.runs);
}

TEST(AnsiStyledRuns, OutlineBitComesOnlyFromTheBaseStyle) {
    const std::string esc = "\x1b";
    expectRuns(esc + "[1mA" + esc + "[0mB" + esc + "[22mC", {{"A", base, 9}, {"B", base, 8}, {"C", base, 8}}, 8);
    expectRuns(esc + "[22mA", {{"A", base, 0}}, 1);
}

TEST(AnsiStyledRuns, LongDigitRunsSaturateInsteadOfOverflowing) {
    const std::string esc = "\x1b";
    const std::string huge(5000, '9');
    // A component far beyond range still clamps to 255; a huge code is ignored like any other.
    expectRuns(esc + "[38;2;" + huge + ";0;" + huge + "mX", {{"X", {255, 0, 255, 255}, 0}});
    expectRuns(esc + "[" + huge + ";1mX", {{"X", base, 1}});
    // A long run of zeros before a digit keeps the digit's meaning.
    expectRuns(esc + "[" + std::string(100, '0') + "1mX", {{"X", base, 1}});
    // 4294967297 would wrap a 32-bit accumulator to 1 (bold); saturated it is just ignored.
    expectRuns(esc + "[4294967297mX", {{"X", base, 0}});
    // 2**32 + 38 would wrap to 38 and take the following values as a colour; saturated, they
    // are codes of their own (1 bold, 3 italic) and the colour stays.
    expectRuns(esc + "[4294967334;2;1;2;3mX", {{"X", base, 3}});
}

// ---------------------------------------------------------------------------------------------
// Pieces

StyledPiece piece(const std::string& text, SDL_Color color = {1, 1, 1, 255}, std::uint8_t style = 0) {
    StyledPiece p;
    p.text = text;
    p.color = color;
    p.style = style;
    return p;
}

TEST(SplitStyledPieces, CutsAtHighlightsAndCharacters) {
    const SDL_Color hlBack1{200, 0, 0, 255}, hlText1{0, 200, 0, 255};
    const SDL_Color hlBack2{0, 0, 200, 255}, hlText2{9, 9, 9, 255};
    const SDL_Color runColor{1, 1, 1, 255};
    struct Out {
        std::string text;
        bool highlighted;
        SDL_Color color;
    };
    struct Case {
        const char* name;
        std::vector<StyledPiece> input;
        std::vector<TextHighlight> highlights;
        int spacing;
        std::vector<Out> output;
    };
    const TextHighlight h1{"ab", hlBack1, hlText1};
    const TextHighlight abc{"abc", hlBack1, hlText1};
    const TextHighlight bc{"bc", hlBack2, hlText2};
    const Case cases[] = {
        {"no highlight", {piece("hello")}, {}, 0, {{"hello", false, runColor}}},
        {"every occurrence", {piece("abab")}, {h1}, 0, {{"abab", true, hlText1}}},
        {"occurrences do not overlap", {piece("xaaay")}, {TextHighlight{"aa", hlBack1, hlText1}}, 0,
         {{"x", false, runColor}, {"aa", true, hlText1}, {"ay", false, runColor}}},
        {"earlier highlight wins", {piece("abc")}, {abc, bc}, 0, {{"abc", true, hlText1}}},
        {"later fills the rest", {piece("abcd bcd")}, {TextHighlight{"ab", hlBack1, hlText1}, bc}, 0,
         {{"ab", true, hlText1}, {"c", true, hlText2}, {"d ", false, runColor}, {"bc", true, hlText2},
          {"d", false, runColor}}},
        {"highlight across pieces", {piece("xa"), piece("by")}, {h1}, 0,
         {{"x", false, runColor}, {"a", true, hlText1}, {"b", true, hlText1}, {"y", false, runColor}}},
        {"highlight longer than text", {piece("ab")}, {TextHighlight{"abc", hlBack1, hlText1}}, 0,
         {{"ab", false, runColor}}},
        {"empty pieces vanish", {piece(""), piece("a"), piece("")}, {}, 0, {{"a", false, runColor}}},
        {"spacing splits characters", {piece("\xc3\xa9!")}, {}, 3, {{"\xc3\xa9", false, runColor}, {"!", false, runColor}}},
        {"no spacing keeps one piece", {piece("\xc3\xa9!")}, {}, 0, {{"\xc3\xa9!", false, runColor}}},
        {"spacing with highlight", {piece("xab")}, {h1}, 1,
         {{"x", false, runColor}, {"a", true, hlText1}, {"b", true, hlText1}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TextStyle style;
        style.highlights = c.highlights;
        style.characterSpacing = c.spacing;
        const auto out = splitStyledPieces(c.input, style);
        ASSERT_EQ(out.size(), c.output.size());
        for (std::size_t i = 0; i < out.size(); ++i) {
            EXPECT_EQ(out[i].text, c.output[i].text) << i;
            EXPECT_EQ(out[i].highlighted, c.output[i].highlighted) << i;
            EXPECT_EQ(out[i].hasBackground, c.output[i].highlighted) << i;
            EXPECT_TRUE(sameColor(out[i].color, c.output[i].color)) << i << " " << colorText(out[i].color);
        }
    }
}

TEST(SplitStyledPieces, KeepsThePieceFieldsAndTakesTheHighlightBackground) {
    StyledPiece input = piece("say hi", {5, 6, 7, 255}, 5);
    input.hasBackground = true;
    input.background = {50, 60, 70, 255};
    TextStyle style;
    style.highlights = {TextHighlight{"hi", {100, 110, 120, 255}, {1, 2, 3, 255}}};
    const auto out = splitStyledPieces({input}, style);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].text, "say ");
    EXPECT_TRUE(sameColor(out[0].color, {5, 6, 7, 255}));
    EXPECT_TRUE(out[0].hasBackground);
    EXPECT_TRUE(sameColor(out[0].background, {50, 60, 70, 255}));
    EXPECT_EQ(out[0].style, 5);
    EXPECT_EQ(out[1].text, "hi");
    EXPECT_TRUE(sameColor(out[1].color, {1, 2, 3, 255}));
    EXPECT_TRUE(sameColor(out[1].background, {100, 110, 120, 255}));
    EXPECT_EQ(out[1].style, 5);
}

TEST(StyledPieces, RunsBecomeUnhighlightedPieces) {
    const StyledRun run{"x", {1, 2, 3, 4}, true, {5, 6, 7, 8}, 3};
    const auto pieces = toStyledPieces({run});
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_EQ(pieces[0].text, "x");
    EXPECT_TRUE(sameColor(pieces[0].color, run.color));
    EXPECT_TRUE(sameColor(pieces[0].background, run.background));
    EXPECT_TRUE(pieces[0].hasBackground);
    EXPECT_FALSE(pieces[0].highlighted);
    EXPECT_EQ(pieces[0].style, 3);
}

// ---------------------------------------------------------------------------------------------
// Helpers

TEST(SplitTextSegments, KeepsEmptySegments) {
    struct Case {
        std::string text, separator;
        std::vector<std::string> segments;
    };
    const Case cases[] = {
        {"a\nb", "", {"a\nb"}},
        {"", "\n", {""}},
        {"a\n", "\n", {"a", ""}},
        {"\n\n", "\n", {"", "", ""}},
        {"one\ntwo\nthree", "\n", {"one", "two", "three"}},
        {"aaaa", "aa", {"", "", ""}},
        {"a--b---c", "--", {"a", "b", "-c"}},
    };
    for (const auto& c : cases) EXPECT_EQ(splitTextSegments(c.text, c.separator), c.segments) << c.text;
}

TEST(ParseTextOpacity, ScalesTheBaseAlpha) {
    struct Case {
        const char* text;
        std::uint8_t base;
        int expected;
    };
    const Case cases[] = {
        {"1", 255, 255},     {"0.5", 255, 128},  {"0.5 ", 255, 128}, {"  0.25", 200, 50}, {"128", 255, 128},
        {"300", 255, 255},   {"255", 100, 100},  {"-2", 255, 0},     {"0", 255, 0},       {"1.5", 255, 2},
        {"0.5", 3, 2},       {"1e0", 77, 77},    {"1\n", 10, 10},
    };
    for (const auto& c : cases) EXPECT_EQ(parseTextOpacity(c.text, c.base), c.expected) << c.text;
}

TEST(ParseTextOpacity, RefusesWhatIsNotAFiniteNumber) {
    for (const char* text : {"0.5x", "nan", "inf", "-inf", "1 2"}) {
        try {
            parseTextOpacity(text, 255);
            ADD_FAILURE() << text;
        } catch (const std::invalid_argument& error) {
            EXPECT_EQ(std::string(error.what()), std::string("Invalid text opacity: ") + text);
        }
    }
    for (const char* text : {"", "abc", "  "}) {
        try {
            parseTextOpacity(text, 255);
            ADD_FAILURE() << text;
        } catch (const std::invalid_argument& error) {
            EXPECT_STREQ(error.what(), "stof") << text;
        }
    }
    EXPECT_THROW(parseTextOpacity("1e999", 255), std::out_of_range);
}

// The slide model hands the opacity over as a number: it gives the alpha its text gave, and a
// number that is not finite is refused with the same message its text had.
TEST(TextOpacityAlpha, ANumberReadsAsItsTextAndATextAsBefore) {
    for (const float number : {1.0f, 0.5f, 0.25f, 0.1f, 0.0f, -2.0f, 1.5f, 128.0f, 255.0f, 300.0f, 3.0e38f}) {
        for (const std::uint8_t base : {255, 200, 3}) {
            const std::string text = opacityNumberText(number);
            EXPECT_EQ(textOpacityAlpha(number, base), parseTextOpacity(text, base)) << text << " on " << int(base);
            EXPECT_EQ(textOpacityAlpha(text, base), parseTextOpacity(text, base)) << text;
        }
    }
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (const auto& [number, message] : std::vector<std::pair<float, std::string>>{
             {nan, "Invalid text opacity: nan"}, {inf, "Invalid text opacity: inf"}, {-inf, "Invalid text opacity: -inf"}}) {
        try {
            textOpacityAlpha(number, 255);
            ADD_FAILURE() << message;
        } catch (const std::invalid_argument& error) {
            EXPECT_EQ(error.what(), message);
        }
    }
    EXPECT_THROW(textOpacityAlpha("0.5x", 255), std::invalid_argument);
}

TEST(BlendColorOver, CompositesSourceOverDestination) {
    struct Case {
        SDL_Color destination, source, expected;
    };
    const Case cases[] = {
        {{0, 0, 255, 255}, {255, 0, 0, 128}, {128, 0, 127, 255}},
        {{0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}},
        {{9, 9, 9, 0}, {10, 20, 30, 0}, {0, 0, 0, 0}},
        {{0, 0, 0, 0}, {10, 20, 30, 40}, {10, 20, 30, 40}},
        {{10, 20, 30, 40}, {0, 0, 0, 0}, {10, 20, 30, 40}},
        {{1, 2, 3, 255}, {200, 100, 50, 255}, {200, 100, 50, 255}},
        {{255, 255, 255, 128}, {0, 0, 0, 128}, {85, 85, 85, 192}},
    };
    for (const auto& c : cases) {
        SDL_Color destination = c.destination;
        blendColorOver(destination, c.source);
        EXPECT_TRUE(sameColor(destination, c.expected)) << colorText(destination) << " expected " << colorText(c.expected);
    }
}

}  // namespace
}  // namespace lumetta
