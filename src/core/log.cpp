#include "core/log.h"

#include <string>

namespace lumetta {

void logText(std::ostream& out, std::string_view text) {
    std::string line;
    line.reserve(text.size() + 1);
    line.append(text);
    line.push_back('\n');
    out.write(line.data(), static_cast<std::streamsize>(line.size()));
    out.flush();
}

void logLine(std::ostream& out, std::string_view color, std::string_view tag, std::string_view message) {
    std::string line;
    line.reserve(color.size() + tag.size() + ansi::RESET.size() + message.size() + 1);
    line.append(color).append(tag).append(ansi::RESET).append(message);
    line.push_back('\n');
    out.write(line.data(), static_cast<std::streamsize>(line.size()));
    out.flush();
}

std::string colored(std::string_view color, std::string_view text) {
    std::string result;
    result.reserve(color.size() + text.size() + ansi::RESET.size());
    result.append(color).append(text).append(ansi::RESET);
    return result;
}

}  // namespace lumetta
