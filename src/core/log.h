#pragma once
// Log lines. Every line the player writes goes through these two functions: the line is
// built whole and handed to the stream in one call, so the lines of concurrent threads never
// interleave, and it is flushed at once.

#include <ostream>
#include <string>
#include <string_view>

#include "core/palette.h"

namespace lumetta {

// Writes `text` and a line end in one call, then flushes.
void logText(std::ostream& out, std::string_view text);

// Coloured tag, reset, then the message in the terminal's own colour.
// `tag` is written as given, brackets included ("[FILE]").
void logLine(std::ostream& out, std::string_view color, std::string_view tag, std::string_view message);

// `text` in `color`, then the reset: a coloured stretch inside a line given to logText.
std::string colored(std::string_view color, std::string_view text);

}  // namespace lumetta
