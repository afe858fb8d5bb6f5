#pragma once
// One log line: coloured tag, reset, message in the terminal's own colour, line end, flush.

#include <ostream>
#include <string_view>

#include "core/palette.h"

namespace lumetta {

// `tag` is written as given, brackets included ("[FILE]").
inline void logLine(std::ostream& out, std::string_view color, std::string_view tag, std::string_view message) {
    out << color << tag << ansi::RESET << message << std::endl;
}

}  // namespace lumetta
