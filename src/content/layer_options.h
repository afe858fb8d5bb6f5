#pragma once
// Options of a playlist's shape and text layers: the "rectangle"/"square" and
// "ellipse"/"circle" objects and a text layer's "textStyle", read into the slide elements' own
// records. Each reader checks every member's JSON kind and every value's range and throws
// std::invalid_argument with a fixed message at the first fault; no partial record escapes.
//
// Colour members of the shapes only have to be texts here: the loader converts them with
// hexToColor and sets the records' colours itself.

#include <SDL3/SDL_pixels.h>
#include <json/json.h>

#include <cstdint>
#include <string>

#include "objects/shape_style.h"
#include "objects/text_style.h"

namespace lumetta {

// The "feather" member fills RectangleStyle::blur; "cornerRadii" sets hasCornerRadii and the
// four radii in the given order.
RectangleStyle parseRectangle(const Json::Value& options);
EllipseStyle parseEllipse(const Json::Value& options);

// A null value gives the default style (unchecked); otherwise the object may hold only the
// style's own members, and the result has passed TextStyle::validate.
TextStyle parseTextStyle(const Json::Value& value);

// The typed readers of a text style's members. An absent member gives `fallback`; a member of
// another kind (a present null included) throws "Invalid text " + name.
namespace text_style_reader {
std::int32_t getInt(const Json::Value& object, const char* name, std::int32_t fallback);
double getDouble(const Json::Value& object, const char* name, double fallback);
std::string getString(const Json::Value& object, const char* name, const std::string& fallback);
bool getBool(const Json::Value& object, const char* name, bool fallback);
// Absent or null keeps `fallback`; a value that is no text throws "Text colour must be hex
// string"; a text other than an optional "#" and 6 or 8 hexadecimal digits throws "Invalid
// text colour".
SDL_Color getColour(const Json::Value& object, const char* name, SDL_Color fallback);
}  // namespace text_style_reader

}  // namespace lumetta
