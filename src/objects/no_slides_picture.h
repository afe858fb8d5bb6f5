#pragma once
// The built-in picture shown for a playlist without slides: a PNG file linked into the program.

#include <cstddef>

namespace lumetta {

extern const unsigned char noSlidesPicture[];
extern const std::size_t noSlidesPictureSize;

}  // namespace lumetta
