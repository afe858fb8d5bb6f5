#include "content/layer_options.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <initializer_list>
#include <limits>
#include <stdexcept>
#include <string_view>

#include "content/slide_document.h"

namespace lumetta {

namespace {

// A double beyond float range becomes an infinity of its sign (a plain conversion of such a
// value is undefined), so that the finiteness checks refuse it.
float toFloat(double value) {
    constexpr double largest = std::numeric_limits<float>::max();
    if (value > largest) return std::numeric_limits<float>::infinity();
    if (value < -largest) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(value);
}

bool finiteNonNegative(double value) { return std::isfinite(value) && value >= 0; }

// Member kinds are checked before any value is read; a present null counts as present.
void requireKinds(const Json::Value& options, const char* shape, std::initializer_list<const char*> strings,
                  std::initializer_list<const char*> numbers) {
    for (const char* name : strings) {
        if (options.isMember(name) && !options[name].isString()) {
            throw std::invalid_argument(std::string(shape) + " " + name + " must be a string");
        }
    }
    for (const char* name : numbers) {
        if (options.isMember(name) && !options[name].isNumeric()) {
            throw std::invalid_argument(std::string(shape) + " " + name + " must be numeric");
        }
    }
}

double number(const Json::Value& options, const char* name, double fallback) {
    return options.isMember(name) ? options[name].asDouble() : fallback;
}

float floatNumber(const Json::Value& options, const char* name, float fallback) {
    return options.isMember(name) ? toFloat(options[name].asDouble()) : fallback;
}

std::string text(const Json::Value& options, const char* name, const char* fallback) {
    return options.isMember(name) ? options[name].asString() : std::string(fallback);
}

bool oneOf(const std::string& word, std::initializer_list<std::string_view> words) {
    return std::find(words.begin(), words.end(), word) != words.end();
}

// The members a "textStyle" object may hold, in the order of the record's fields.
constexpr std::array<std::string_view, 25> textStyleMembers = {
    "outlineWidth", "outlineColor", "shadow", "shadowColor", "shadowOpacity", "shadowBlur",
    "shadowOffsetX", "shadowOffsetY", "gradient", "gradientColor", "gradientAngle",
    "characterSpacing", "lineSpacing", "padding", "verticalAlignment", "overflow",
    "backgroundRadius", "backgroundBorderWidth", "backgroundBorderColor", "highlights",
    "typewriterSpeed", "typewriterDelay", "typewriterCursor", "cursorColor", "cursorBlinkMs",
};

[[noreturn]] void invalidTextMember(const char* name) {
    throw std::invalid_argument(std::string("Invalid text ") + name);
}

}  // namespace

RectangleStyle parseRectangle(const Json::Value& options) {
    requireKinds(options, "Rectangle", {"gradient", "borderColor", "gradientColor", "shadowColor"},
                 {"borderWidth", "cornerRadius", "gradientAngle", "rotation", "feather", "shadowOpacity",
                  "shadowBlur", "shadowOffsetX", "shadowOffsetY"});
    if (options.isMember("shadow") && !options["shadow"].isBool()) {
        throw std::invalid_argument("Rectangle shadow must be boolean");
    }

    RectangleStyle style;
    style.borderWidth = floatNumber(options, "borderWidth", style.borderWidth);
    style.cornerRadius = floatNumber(options, "cornerRadius", style.cornerRadius);
    style.gradient = text(options, "gradient", "none");
    style.gradientAngle = number(options, "gradientAngle", style.gradientAngle);
    style.rotation = number(options, "rotation", style.rotation);
    style.blur = floatNumber(options, "feather", style.blur);
    style.shadow = options.isMember("shadow") ? options["shadow"].asBool() : style.shadow;
    style.shadowOpacity = floatNumber(options, "shadowOpacity", style.shadowOpacity);
    style.shadowBlur = floatNumber(options, "shadowBlur", style.shadowBlur);
    style.shadowOffsetX = floatNumber(options, "shadowOffsetX", style.shadowOffsetX);
    style.shadowOffsetY = floatNumber(options, "shadowOffsetY", style.shadowOffsetY);

    if (options.isMember("cornerRadii")) {
        const Json::Value& radii = options["cornerRadii"];
        if (!radii.isArray() || radii.size() != 4) {
            throw std::invalid_argument("Rectangle cornerRadii must contain four radii");
        }
        for (Json::ArrayIndex i = 0; i < 4; ++i) {
            if (!radii[i].isNumeric()) throw std::invalid_argument("Rectangle corner radius must be numeric");
            style.cornerRadii[i] = toFloat(radii[i].asDouble());
        }
        style.hasCornerRadii = true;
    }

    if (!oneOf(style.gradient, {"none", "linear", "radial"})) throw std::invalid_argument("Invalid rectangle gradient");
    if (!finiteNonNegative(style.borderWidth) || !finiteNonNegative(style.cornerRadius) ||
        !finiteNonNegative(style.blur) || !finiteNonNegative(style.shadowBlur)) {
        throw std::invalid_argument("Rectangle widths, radii and blur must be finite and nonnegative");
    }
    if (style.hasCornerRadii && !std::all_of(std::begin(style.cornerRadii), std::end(style.cornerRadii),
                                             [](float radius) { return finiteNonNegative(radius); })) {
        throw std::invalid_argument("Invalid rectangle corner radii");
    }
    if (!std::isfinite(style.rotation) || !std::isfinite(style.gradientAngle) ||
        !std::isfinite(style.shadowOffsetX) || !std::isfinite(style.shadowOffsetY) ||
        !std::isfinite(style.shadowOpacity) || style.shadowOpacity < 0 || style.shadowOpacity > 1) {
        throw std::invalid_argument("Invalid rectangle angle, shadow offset or opacity");
    }
    return style;
}

EllipseStyle parseEllipse(const Json::Value& options) {
    requireKinds(options, "Ellipse", {"mode", "gradient", "borderColor", "gradientColor"},
                 {"borderWidth", "ringWidth", "startAngle", "endAngle", "gradientAngle", "feather"});

    EllipseStyle style;
    style.mode = text(options, "mode", "fill");
    style.borderWidth = floatNumber(options, "borderWidth", style.borderWidth);
    style.ringWidth = floatNumber(options, "ringWidth", style.ringWidth);
    style.startAngle = number(options, "startAngle", style.startAngle);
    style.endAngle = number(options, "endAngle", style.endAngle);
    style.gradient = text(options, "gradient", "none");
    style.gradientAngle = number(options, "gradientAngle", style.gradientAngle);
    style.feather = floatNumber(options, "feather", style.feather);

    if (!oneOf(style.mode, {"fill", "ring", "arc", "pie"})) throw std::invalid_argument("Invalid ellipse mode");
    if (!oneOf(style.gradient, {"none", "radial", "linear"})) throw std::invalid_argument("Invalid ellipse gradient");
    const bool valid = finiteNonNegative(style.borderWidth) && std::isfinite(style.ringWidth) && style.ringWidth > 0 &&
                       std::isfinite(style.startAngle) && std::isfinite(style.endAngle) &&
                       std::isfinite(style.endAngle - style.startAngle) && std::isfinite(style.gradientAngle) &&
                       finiteNonNegative(style.feather);
    if (!valid) throw std::invalid_argument("Invalid ellipse thickness, angle or feather");
    return style;
}

namespace text_style_reader {

std::int32_t getInt(const Json::Value& object, const char* name, std::int32_t fallback) {
    const Json::Value value = object.get(name, fallback);
    if (!value.isInt()) invalidTextMember(name);
    return value.asInt();
}

double getDouble(const Json::Value& object, const char* name, double fallback) {
    const Json::Value value = object.get(name, fallback);
    if (!value.isNumeric()) invalidTextMember(name);
    return value.asDouble();
}

std::string getString(const Json::Value& object, const char* name, const std::string& fallback) {
    const Json::Value value = object.get(name, fallback);
    if (!value.isString()) invalidTextMember(name);
    return value.asString();
}

bool getBool(const Json::Value& object, const char* name, bool fallback) {
    const Json::Value value = object.get(name, fallback);
    if (!value.isBool()) invalidTextMember(name);
    return value.asBool();
}

SDL_Color getColour(const Json::Value& object, const char* name, SDL_Color fallback) {
    const Json::Value& value = object[name];
    if (value.isNull()) return fallback;
    if (!value.isString()) throw std::invalid_argument("Text colour must be hex string");
    const auto colour = readHexColor(value.asString());
    if (!colour) throw std::invalid_argument("Invalid text colour");
    return *colour;
}

}  // namespace text_style_reader

TextStyle parseTextStyle(const Json::Value& value) {
    using namespace text_style_reader;
    TextStyle style;
    if (value.isNull()) return style;
    if (!value.isObject()) throw std::invalid_argument("textStyle must be an object");
    for (const std::string& name : value.getMemberNames()) {
        if (std::find(textStyleMembers.begin(), textStyleMembers.end(), name) == textStyleMembers.end()) {
            throw std::invalid_argument("Unknown textStyle option: " + name);
        }
    }

    style.outlineWidth = getInt(value, "outlineWidth", style.outlineWidth);
    style.shadowBlur = getInt(value, "shadowBlur", style.shadowBlur);
    style.shadowOffsetX = getInt(value, "shadowOffsetX", style.shadowOffsetX);
    style.shadowOffsetY = getInt(value, "shadowOffsetY", style.shadowOffsetY);
    style.characterSpacing = getInt(value, "characterSpacing", style.characterSpacing);
    style.lineSpacing = getInt(value, "lineSpacing", style.lineSpacing);
    style.padding = getInt(value, "padding", style.padding);
    style.backgroundRadius = getInt(value, "backgroundRadius", style.backgroundRadius);
    style.backgroundBorderWidth = getInt(value, "backgroundBorderWidth", style.backgroundBorderWidth);
    style.cursorBlinkMs = getInt(value, "cursorBlinkMs", style.cursorBlinkMs);

    style.shadowOpacity = toFloat(getDouble(value, "shadowOpacity", style.shadowOpacity));
    style.gradientAngle = getDouble(value, "gradientAngle", style.gradientAngle);
    style.typewriterSpeed = getDouble(value, "typewriterSpeed", style.typewriterSpeed);
    style.typewriterDelay = getDouble(value, "typewriterDelay", style.typewriterDelay);

    style.gradient = getString(value, "gradient", style.gradient);
    style.verticalAlignment = getString(value, "verticalAlignment", style.verticalAlignment);
    style.overflow = getString(value, "overflow", style.overflow);

    style.shadow = getBool(value, "shadow", style.shadow);
    style.typewriterCursor = getBool(value, "typewriterCursor", style.typewriterCursor);

    style.outlineColor = getColour(value, "outlineColor", style.outlineColor);
    style.shadowColor = getColour(value, "shadowColor", style.shadowColor);
    style.gradientColor = getColour(value, "gradientColor", style.gradientColor);
    style.backgroundBorderColor = getColour(value, "backgroundBorderColor", style.backgroundBorderColor);
    style.cursorColor = getColour(value, "cursorColor", style.cursorColor);

    if (value.isMember("highlights")) {
        const Json::Value& highlights = value["highlights"];
        if (!highlights.isArray() || highlights.size() > 64) throw std::invalid_argument("Invalid text highlights");
        for (const Json::Value& entry : highlights) {
            if (!entry.isObject() || !entry["text"].isString()) {
                throw std::invalid_argument("Highlight requires text");
            }
            TextHighlight highlight;
            highlight.text = entry["text"].asString();
            highlight.color = getColour(entry, "color", highlight.color);
            highlight.textColor = getColour(entry, "textColor", highlight.textColor);
            style.highlights.push_back(std::move(highlight));
        }
    }

    style.validate();
    return style;
}

}  // namespace lumetta
