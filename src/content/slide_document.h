#pragma once
// The playlist document: the small readers that the document check and the playlist loader
// share, and the check of a whole parsed document before anything is built from it.
//
// Everything here is pure (apart from hexToColor's one error line) and safe from any thread.

#include <SDL3/SDL_pixels.h>
#include <json/json.h>

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "content/slide_effects.h"
#include "scene/animation_spec.h"

namespace lumetta {

// A bare name for a file or directory directly inside another: not empty, not "." or "..",
// no "/" or "\", no NUL or other control byte, no root and no parent part.
bool isSafeFileName(const std::string& name);

// Names a playlist may not use for its media files: the playlist's own stored document, the
// reduced-copy directories beside the media and the download temporaries (".part").
bool isReservedMediaName(const std::string& name);
// Names an account may not use: its directory would take the place of one of the player's
// own files in the content directory.
bool isReservedAccountName(const std::string& name);

// The media digest in lower case, empty when there is none: "sha256" when the object has that
// member (even when it is not valid), otherwise "sha1"; the chosen member must be a string of
// exactly 40 or 64 hexadecimal digits.
std::string readSha1(const Json::Value& media);

// A 32-bit integer that is at least 0: a JSON number with an integral value in the signed
// 32-bit range, or a text of decimal digits (a leading "-" passes only with zeros, giving 0).
// Empty for negatives, other kinds, empty or trailing text and values out of range.
std::optional<std::int32_t> readOptionalInt(const Json::Value& value);
// The same with a lower bound of 1.
std::optional<std::int32_t> readPositiveInt(const Json::Value& value);

// "RRGGBB" (alpha 255) or "RRGGBBAA" in either case, after at most one "#"; empty for any
// other text.
std::optional<SDL_Color> readHexColor(std::string_view text);

// The same form as readHexColor. Any other length (empty
// included) gives opaque black; the right length with a non-hexadecimal digit also gives
// opaque black and writes "hexToColor() Exception: Invalid hex value" to `errors`.
SDL_Color hexToColor(const std::string& text, std::ostream& errors);
SDL_Color hexToColor(const std::string& text);  // errors go to standard error

// A transition or motion effect given as an object ("slug", else "id"), an index number, a
// name from its table (transitionNames(), motionEffectNames()) or an index as decimal digits;
// empty when it names none.
std::optional<Transition> parseTransition(const Json::Value& value);
std::optional<MotionEffect> parseMotionEffect(const Json::Value& value);

// The family of a text layer's "font": one of the fonts the player ships, else
// "Liberation Sans" (also for another letter case, an empty text or a value that is no text).
std::string textFontFamily(const Json::Value& font);

// Checks a whole parsed playlist document before anything is built from it. True when it
// passes (message untouched); otherwise false with `message` set to the first fault met, for
// example "slide 0, layer 2 has invalid media metadata". An exception of the JSON library
// while reading a top-level member of the wrong kind (an object as "account", a non-object
// document) is not caught here: the caller reports it.
bool validatePlaylistContent(const Json::Value& document, std::string& message);

// The checks of one layer's animation against the layer and its slide, in this order: a
// typewriter needs a text layer; a text layer's style must read and leave room inside the
// layer; typing controls need the typewriter (or no) animation; an animation anchored to the
// slide's end needs a timed slide without video and must fit inside it. Throws
// std::invalid_argument (or the JSON library's error when a size or duration is a digit text).
void checkLayerAnimation(const Json::Value& slide, const Json::Value& layer, const AnimationSpec& animation);

// Animation presets that end a layer's time on screen; an "auto"-anchored animation with one
// of them is anchored to the slide's end.
bool isExitPreset(std::string_view preset);

}  // namespace lumetta
