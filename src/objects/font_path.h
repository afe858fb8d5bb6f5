#pragma once
// The one rule that turns a font family and style bits into a font file path. Everything that
// opens a font (the text worker, the text element, the ticker) goes through it, so that cache
// keys built from the path agree byte for byte.

#include <cstdint>
#include <string>

namespace lumetta {

// Removes every space byte (0x20) in place; other white space stays. 'Open Sans' -> 'OpenSans'.
void removeSpaces(std::string& family);

// The font file of `family` with the style bits `style` (1 bold, 2 italic; other bits are
// ignored): "<directory>/<family without spaces><suffix>.ttf" with the suffix "-BoldItalic",
// "-Bold", "-Italic" or "-Regular". When that file does not exist, the same name without the
// suffix is returned, unchecked.
//
// A family holding "/" or a NUL byte would name a file outside the fonts directory: it is a
// font that cannot be opened, and the result is empty (opening an empty path fails).
std::string fontPath(const std::string& directory, const std::string& family, std::uint8_t style);

// The same in the fonts directory of the shared defaults.
std::string fontPath(const std::string& family, std::uint8_t style);

}  // namespace lumetta
