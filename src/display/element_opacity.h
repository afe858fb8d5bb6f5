#pragma once
// The opacity a slide element is built with: a number (what the slide model holds), or a text
// that the element reads by its own rule and names in full in its messages (the forms that take
// their opacity as a text). Each element turns it into an alpha by its own scale.

#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace lumetta {

class ElementOpacity {
public:
    ElementOpacity(float value) : value_(value) {}
    ElementOpacity(std::string text) : value_(std::move(text)) {}
    ElementOpacity(const char* text) : value_(std::string(text)) {}

    // The text, when the opacity was given as one; null for a number.
    const std::string* text() const { return std::get_if<std::string>(&value_); }

    // The number of an opacity given as one, when it is finite. A NaN or an infinity throws
    // std::invalid_argument with `message` followed by opacityNumberText of it ("nan", "inf",
    // "-inf"); so does an opacity given as a text, followed by the text (the element reads a
    // text by its own rule before it asks for a number).
    float finiteNumber(std::string_view message) const;

private:
    std::variant<float, std::string> value_;
};

// An opacity number as text: the classic locale and enough digits to read back as the same
// float ("0.25", "1", "nan", "-inf").
std::string opacityNumberText(float value);

}  // namespace lumetta
