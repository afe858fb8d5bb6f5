#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "content/json_text.h"
#include "content/layer_options.h"

namespace lumetta {
namespace {

using testing::json;

std::string colorText(SDL_Color c) {
    return std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) + "," + std::to_string(c.a);
}

// The message of the std::invalid_argument that `parse` throws for `text`; "" when it passes.
template <typename Parse>
std::string refusal(Parse parse, const std::string& text) {
    try {
        parse(json(text));
    } catch (const std::invalid_argument& error) {
        return error.what();
    }
    return "";
}

TEST(RectangleOptions, EmptyObjectGivesTheDefaults) {
    const RectangleStyle style = parseRectangle(json("{}"));
    EXPECT_EQ(style.borderWidth, 0);
    EXPECT_EQ(style.cornerRadius, 0);
    EXPECT_FALSE(style.hasCornerRadii);
    EXPECT_EQ(style.gradient, "none");
    EXPECT_EQ(style.gradientAngle, 0);
    EXPECT_EQ(style.rotation, 0);
    EXPECT_EQ(style.blur, 0);
    EXPECT_FALSE(style.shadow);
    EXPECT_EQ(style.shadowOpacity, 0.5f);
    EXPECT_EQ(style.shadowBlur, 8);
    EXPECT_EQ(style.shadowOffsetX, 4);
    EXPECT_EQ(style.shadowOffsetY, 4);
    // Colours are the loader's: the reader leaves the record's own.
    EXPECT_EQ(colorText(style.borderColor), "0,0,0,255");
    EXPECT_EQ(colorText(style.gradientColor), "255,255,255,255");
    EXPECT_EQ(colorText(style.shadowColor), "0,0,0,255");
}

TEST(RectangleOptions, ReadsEveryMember) {
    const RectangleStyle style = parseRectangle(json(R"({
        "borderWidth": 2.5, "cornerRadius": 12, "cornerRadii": [1, 2, 3.5, 0],
        "gradient": "radial", "gradientAngle": -45.5, "rotation": 1e300, "feather": 3,
        "shadow": true, "shadowOpacity": 1, "shadowBlur": 0, "shadowOffsetX": -7, "shadowOffsetY": 9,
        "borderColor": "#123456", "gradientColor": "whatever", "shadowColor": "", "unknown": [1]})"));
    EXPECT_EQ(style.borderWidth, 2.5f);
    EXPECT_EQ(style.cornerRadius, 12);
    ASSERT_TRUE(style.hasCornerRadii);
    EXPECT_EQ(style.cornerRadii[0], 1);
    EXPECT_EQ(style.cornerRadii[1], 2);
    EXPECT_EQ(style.cornerRadii[2], 3.5f);
    EXPECT_EQ(style.cornerRadii[3], 0);
    EXPECT_EQ(style.gradient, "radial");
    EXPECT_EQ(style.gradientAngle, -45.5);
    EXPECT_EQ(style.rotation, 1e300);  // a double, so it stays finite
    EXPECT_EQ(style.blur, 3);          // "feather"
    EXPECT_TRUE(style.shadow);
    EXPECT_EQ(style.shadowOpacity, 1);
    EXPECT_EQ(style.shadowBlur, 0);
    EXPECT_EQ(style.shadowOffsetX, -7);
    EXPECT_EQ(style.shadowOffsetY, 9);
}

TEST(RectangleOptions, RefusalsInTheOrderTheyAreMet) {
    struct Case {
        const char* options;
        const char* message;
    };
    const Case cases[] = {
        {R"({"gradient": null})", "Rectangle gradient must be a string"},
        {R"({"gradient": 1})", "Rectangle gradient must be a string"},
        {R"({"borderColor": 0})", "Rectangle borderColor must be a string"},
        {R"({"gradientColor": false})", "Rectangle gradientColor must be a string"},
        {R"({"shadowColor": {}})", "Rectangle shadowColor must be a string"},
        {R"({"borderWidth": "1"})", "Rectangle borderWidth must be numeric"},
        {R"({"cornerRadius": true})", "Rectangle cornerRadius must be numeric"},
        {R"({"gradientAngle": []})", "Rectangle gradientAngle must be numeric"},
        {R"({"rotation": null})", "Rectangle rotation must be numeric"},
        {R"({"feather": "0"})", "Rectangle feather must be numeric"},
        {R"({"shadowOpacity": "1"})", "Rectangle shadowOpacity must be numeric"},
        {R"({"shadowBlur": null})", "Rectangle shadowBlur must be numeric"},
        {R"({"shadowOffsetX": false})", "Rectangle shadowOffsetX must be numeric"},
        {R"({"shadowOffsetY": "4"})", "Rectangle shadowOffsetY must be numeric"},
        {R"({"shadow": "true"})", "Rectangle shadow must be boolean"},
        {R"({"shadow": 1})", "Rectangle shadow must be boolean"},
        {R"({"cornerRadii": [4, 4, 4]})", "Rectangle cornerRadii must contain four radii"},
        {R"({"cornerRadii": [4, 4, 4, 4, 4]})", "Rectangle cornerRadii must contain four radii"},
        {R"({"cornerRadii": null})", "Rectangle cornerRadii must contain four radii"},
        {R"({"cornerRadii": {"a": 1, "b": 2, "c": 3, "d": 4}})", "Rectangle cornerRadii must contain four radii"},
        {R"({"cornerRadii": [4, "4", 4, 4]})", "Rectangle corner radius must be numeric"},
        {R"({"cornerRadii": [4, -1, 4, 4]})", "Invalid rectangle corner radii"},
        {R"({"cornerRadii": [4, 4, 4, 1e39]})", "Invalid rectangle corner radii"},
        {R"({"gradient": "Linear"})", "Invalid rectangle gradient"},
        {R"({"gradient": ""})", "Invalid rectangle gradient"},
        {R"({"borderWidth": -1})", "Rectangle widths, radii and blur must be finite and nonnegative"},
        {R"({"cornerRadius": 1e39})", "Rectangle widths, radii and blur must be finite and nonnegative"},
        {R"({"feather": -0.001})", "Rectangle widths, radii and blur must be finite and nonnegative"},
        {R"({"shadowBlur": -1})", "Rectangle widths, radii and blur must be finite and nonnegative"},
        {R"({"shadowOpacity": 1.5})", "Invalid rectangle angle, shadow offset or opacity"},
        {R"({"shadowOpacity": -0.1})", "Invalid rectangle angle, shadow offset or opacity"},
        {R"({"shadowOffsetX": 3.5e38})", "Invalid rectangle angle, shadow offset or opacity"},
        {R"({"shadowOffsetY": -1e308})", "Invalid rectangle angle, shadow offset or opacity"},
        // Two faults: the earlier step decides.
        {R"({"shadow": 1, "borderWidth": "x"})", "Rectangle borderWidth must be numeric"},
        {R"({"borderWidth": "x", "gradient": 2})", "Rectangle gradient must be a string"},
        {R"({"shadowOffsetX": 1e39, "borderWidth": -1})",
         "Rectangle widths, radii and blur must be finite and nonnegative"},
        {R"({"cornerRadii": [1], "gradient": "diagonal"})", "Rectangle cornerRadii must contain four radii"},
        {R"({"cornerRadii": [-1, 0, 0, 0], "gradient": "diagonal"})", "Invalid rectangle gradient"},
        {R"({"cornerRadii": [-1, 0, 0, 0], "borderWidth": -1})",
         "Rectangle widths, radii and blur must be finite and nonnegative"},
        // Edges that pass.
        {R"({"shadowOpacity": 0, "cornerRadii": [0, 0, 0, 0], "feather": 0})", ""},
        {R"({"borderWidth": 3.4e38, "shadowOffsetX": -3.4e38})", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(refusal(parseRectangle, c.options), c.message) << c.options;

    // The document reader never yields an infinity, but a value built in code can hold one.
    Json::Value infinite(Json::objectValue);
    infinite["rotation"] = std::numeric_limits<double>::infinity();
    EXPECT_THROW(parseRectangle(infinite), std::invalid_argument);
}

TEST(EllipseOptions, DefaultsAndEveryMember) {
    const EllipseStyle defaults = parseEllipse(json("{}"));
    EXPECT_EQ(defaults.mode, "fill");
    EXPECT_EQ(defaults.borderWidth, 0);
    EXPECT_EQ(defaults.ringWidth, 10);
    EXPECT_EQ(defaults.startAngle, 0);
    EXPECT_EQ(defaults.endAngle, 360);
    EXPECT_EQ(defaults.gradient, "none");
    EXPECT_EQ(defaults.gradientAngle, 0);
    EXPECT_EQ(defaults.feather, 0);

    const EllipseStyle style = parseEllipse(json(R"({"mode": "arc", "borderWidth": 1.5, "ringWidth": 0.25,
        "startAngle": -90, "endAngle": 1e300, "gradient": "linear", "gradientAngle": 30, "feather": 2,
        "borderColor": "not a colour"})"));
    EXPECT_EQ(style.mode, "arc");
    EXPECT_EQ(style.borderWidth, 1.5f);
    EXPECT_EQ(style.ringWidth, 0.25f);
    EXPECT_EQ(style.startAngle, -90);
    EXPECT_EQ(style.endAngle, 1e300);
    EXPECT_EQ(style.gradient, "linear");
    EXPECT_EQ(style.gradientAngle, 30);
    EXPECT_EQ(style.feather, 2);
}

TEST(EllipseOptions, RefusalsInTheOrderTheyAreMet) {
    struct Case {
        const char* options;
        const char* message;
    };
    const Case cases[] = {
        {R"({"mode": 1})", "Ellipse mode must be a string"},
        {R"({"mode": null})", "Ellipse mode must be a string"},
        {R"({"gradient": true})", "Ellipse gradient must be a string"},
        {R"({"borderColor": 0})", "Ellipse borderColor must be a string"},
        {R"({"gradientColor": []})", "Ellipse gradientColor must be a string"},
        {R"({"borderWidth": "2"})", "Ellipse borderWidth must be numeric"},
        {R"({"ringWidth": null})", "Ellipse ringWidth must be numeric"},
        {R"({"startAngle": "0"})", "Ellipse startAngle must be numeric"},
        {R"({"endAngle": false})", "Ellipse endAngle must be numeric"},
        {R"({"gradientAngle": {}})", "Ellipse gradientAngle must be numeric"},
        {R"({"feather": "1"})", "Ellipse feather must be numeric"},
        {R"({"mode": "donut"})", "Invalid ellipse mode"},
        {R"({"mode": "Ring"})", "Invalid ellipse mode"},
        {R"({"gradient": "conic"})", "Invalid ellipse gradient"},
        {R"({"ringWidth": 0})", "Invalid ellipse thickness, angle or feather"},
        {R"({"ringWidth": 1e39})", "Invalid ellipse thickness, angle or feather"},
        {R"({"borderWidth": -1})", "Invalid ellipse thickness, angle or feather"},
        {R"({"startAngle": 1e308, "endAngle": -1e308})", "Invalid ellipse thickness, angle or feather"},
        {R"({"feather": -1})", "Invalid ellipse thickness, angle or feather"},
        {R"({"mode": "donut", "gradient": "conic"})", "Invalid ellipse mode"},
        {R"({"feather": "x", "mode": 3})", "Ellipse mode must be a string"},
        {R"({"ringWidth": 0, "gradient": "conic"})", "Invalid ellipse gradient"},
        {R"({"mode": "pie", "ringWidth": 1e-300})", "Invalid ellipse thickness, angle or feather"},  // float 0
        {R"({"mode": "ring", "ringWidth": 0.001, "startAngle": 1e308, "endAngle": 1e308})", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(refusal(parseEllipse, c.options), c.message) << c.options;

    Json::Value infinite(Json::objectValue);
    infinite["gradientAngle"] = -std::numeric_limits<double>::infinity();
    EXPECT_THROW(parseEllipse(infinite), std::invalid_argument);
}

TEST(TextStyleOptions, NullOrNothingGivesTheDefaults) {
    for (const char* text : {"null", "{}"}) {
        const TextStyle style = parseTextStyle(json(text));
        const TextStyle defaults;
        EXPECT_EQ(style.outlineWidth, defaults.outlineWidth);
        EXPECT_EQ(style.shadowBlur, 4);
        EXPECT_EQ(style.cursorBlinkMs, 500);
        EXPECT_EQ(style.gradient, "none");
        EXPECT_EQ(style.verticalAlignment, "top");
        EXPECT_EQ(style.overflow, "legacy");
        EXPECT_EQ(colorText(style.backgroundBorderColor), "255,255,255,255");
        EXPECT_TRUE(style.highlights.empty());
    }
}

TEST(TextStyleOptions, ReadsAllMembers) {
    const TextStyle style = parseTextStyle(json(R"({
        "outlineWidth": 2, "outlineColor": "#00ff00", "shadow": true, "shadowColor": "00ff0080",
        "shadowOpacity": 0.25, "shadowBlur": 6, "shadowOffsetX": -3, "shadowOffsetY": 5.0,
        "gradient": "linear", "gradientColor": "#102030", "gradientAngle": 45.5,
        "characterSpacing": 2, "lineSpacing": 4, "padding": 8, "verticalAlignment": "middle",
        "overflow": "ellipsis", "backgroundRadius": 12, "backgroundBorderWidth": 1,
        "backgroundBorderColor": "#AABBCCDD",
        "highlights": [{"text": "sale"}, {"text": "now", "color": "#ff0000", "textColor": "#ffffff80"}],
        "typewriterSpeed": 12.5, "typewriterDelay": 250, "typewriterCursor": true,
        "cursorColor": null, "cursorBlinkMs": 800})"));
    EXPECT_EQ(style.outlineWidth, 2);
    EXPECT_EQ(colorText(style.outlineColor), "0,255,0,255");
    EXPECT_TRUE(style.shadow);
    EXPECT_EQ(colorText(style.shadowColor), "0,255,0,128");
    EXPECT_EQ(style.shadowOpacity, 0.25f);
    EXPECT_EQ(style.shadowBlur, 6);
    EXPECT_EQ(style.shadowOffsetX, -3);
    EXPECT_EQ(style.shadowOffsetY, 5);
    EXPECT_EQ(style.gradient, "linear");
    EXPECT_EQ(colorText(style.gradientColor), "16,32,48,255");
    EXPECT_EQ(style.gradientAngle, 45.5);
    EXPECT_EQ(style.characterSpacing, 2);
    EXPECT_EQ(style.lineSpacing, 4);
    EXPECT_EQ(style.padding, 8);
    EXPECT_EQ(style.verticalAlignment, "middle");
    EXPECT_EQ(style.overflow, "ellipsis");
    EXPECT_EQ(style.backgroundRadius, 12);
    EXPECT_EQ(style.backgroundBorderWidth, 1);
    EXPECT_EQ(colorText(style.backgroundBorderColor), "170,187,204,221");
    ASSERT_EQ(style.highlights.size(), 2u);
    EXPECT_EQ(style.highlights[0].text, "sale");
    EXPECT_EQ(colorText(style.highlights[0].color), "255,220,0,255");
    EXPECT_EQ(colorText(style.highlights[0].textColor), "0,0,0,255");
    EXPECT_EQ(style.highlights[1].text, "now");
    EXPECT_EQ(colorText(style.highlights[1].color), "255,0,0,255");
    EXPECT_EQ(colorText(style.highlights[1].textColor), "255,255,255,128");
    EXPECT_EQ(style.typewriterSpeed, 12.5);
    EXPECT_EQ(style.typewriterDelay, 250);
    EXPECT_TRUE(style.typewriterCursor);
    EXPECT_EQ(colorText(style.cursorColor), "255,255,255,255");  // null keeps the default
    EXPECT_EQ(style.cursorBlinkMs, 800);
}

TEST(TextStyleOptions, RefusalsInTheOrderTheyAreMet) {
    struct Case {
        std::string style;
        std::string message;
    };
    std::string highlights64 = "[";
    for (int i = 0; i < 64; ++i) highlights64 += std::string(i ? "," : "") + R"({"text": "x"})";
    const std::string highlights65 = highlights64 + R"(, {"text": "y"}])";
    highlights64 += "]";
    const Case cases[] = {
        {"[]", "textStyle must be an object"},
        {R"("bold")", "textStyle must be an object"},
        {"0", "textStyle must be an object"},
        {R"({"Padding": 4})", "Unknown textStyle option: Padding"},
        {R"({"padding": 4, "zoom": 1, "Zeta": 2})", "Unknown textStyle option: Zeta"},  // byte order
        {R"({"padding": "x", "weight": 1})", "Unknown textStyle option: weight"},
        {R"({"": 1})", "Unknown textStyle option: "},
        {R"({"padding": "4"})", "Invalid text padding"},
        {R"({"padding": null})", "Invalid text padding"},
        {R"({"padding": 1.5})", "Invalid text padding"},
        {R"({"padding": 3e9})", "Invalid text padding"},
        {R"({"outlineWidth": true})", "Invalid text outlineWidth"},
        {R"({"cursorBlinkMs": "500"})", "Invalid text cursorBlinkMs"},
        {R"({"shadowOpacity": "0.5"})", "Invalid text shadowOpacity"},
        {R"({"typewriterDelay": false})", "Invalid text typewriterDelay"},
        {R"({"gradient": 1})", "Invalid text gradient"},
        {R"({"overflow": null})", "Invalid text overflow"},
        {R"({"shadow": 1})", "Invalid text shadow"},
        {R"({"typewriterCursor": "true"})", "Invalid text typewriterCursor"},
        {R"({"outlineColor": 255})", "Text colour must be hex string"},
        {R"({"cursorColor": ["#fff"]})", "Text colour must be hex string"},
        {R"({"outlineColor": "fff"})", "Invalid text colour"},
        {R"({"outlineColor": ""})", "Invalid text colour"},
        {R"({"outlineColor": "#"})", "Invalid text colour"},
        {R"({"outlineColor": "##00ff00"})", "Invalid text colour"},
        {R"({"outlineColor": "#00ff0g"})", "Invalid text colour"},
        {R"({"highlights": null})", "Invalid text highlights"},
        {R"({"highlights": {"text": "x"}})", "Invalid text highlights"},
        {R"({"highlights": )" + highlights65 + "}", "Invalid text highlights"},
        {R"({"highlights": [{"color": "#ff0000"}]})", "Highlight requires text"},
        {R"({"highlights": [{"text": 5}]})", "Highlight requires text"},
        {R"({"highlights": ["sale"]})", "Highlight requires text"},
        {R"({"highlights": [{"text": "a", "color": 1}]})", "Text colour must be hex string"},
        {R"({"highlights": [{"text": "a", "textColor": "red"}]})", "Invalid text colour"},
        {R"({"highlights": [{"text": ""}]})", "Empty text highlight"},
        {R"({"cursorBlinkMs": 50})", "Invalid text styling value"},
        {R"({"padding": -1})", "Invalid text styling value"},
        {R"({"shadowOpacity": 1e39})", "Invalid text styling value"},
        {R"({"gradient": "Linear"})", "Invalid text gradient"},
        {R"({"verticalAlignment": "center"})", "Invalid text vertical alignment"},
        {R"({"overflow": "wrap"})", "Invalid text overflow"},
        // Several faults: integers, numbers, texts, flags, colours, highlights, then the ranges.
        {R"({"shadow": 1, "padding": "x"})", "Invalid text padding"},
        {R"({"cursorBlinkMs": "x", "outlineWidth": "x"})", "Invalid text outlineWidth"},
        {R"({"typewriterSpeed": "x", "lineSpacing": "x"})", "Invalid text lineSpacing"},
        {R"({"gradient": 1, "gradientAngle": "x"})", "Invalid text gradientAngle"},
        {R"({"shadow": 1, "overflow": 1})", "Invalid text overflow"},
        {R"({"outlineColor": 1, "typewriterCursor": 1})", "Invalid text typewriterCursor"},
        {R"({"highlights": 1, "cursorColor": 1})", "Text colour must be hex string"},
        {R"({"cursorBlinkMs": 50, "highlights": [{}]})", "Highlight requires text"},
        {R"({"cursorBlinkMs": 50, "gradient": "Linear"})", "Invalid text styling value"},
        // Edges that pass.
        {R"({"highlights": )" + highlights64 + "}", ""},
        {R"({"highlights": []})", ""},
        {R"({"padding": 4096, "cursorBlinkMs": 10000.0, "shadowOpacity": 1})", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(refusal(parseTextStyle, c.style), c.message) << c.style;
}

}  // namespace
}  // namespace lumetta
