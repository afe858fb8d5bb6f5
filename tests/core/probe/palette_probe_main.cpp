// Prints what the palette and the defaults were fixed to, one value a line, escape bytes as "ESC".
#include <iostream>
#include <string>

#include "core/palette.h"
#include "core/shared_defaults.h"

namespace {
std::string visible(std::string_view text) {
    std::string out;
    for (char c : text) out += (c == '\x1b') ? std::string("ESC") : std::string(1, c);
    return out;
}
}  // namespace

int main() {
    using namespace lumetta;
    std::cerr << "probe\n";
    std::cout << "color=" << (colorEnabled() ? 1 : 0) << "\n"
              << "bold_red=" << visible(ansi::BOLD_RED) << "\n"
              << "reset=" << visible(ansi::RESET) << "\n"
              << "fonts=" << sharedDefaults().fontsDirectory << "\n"
              << "host=" << sharedDefaults().serviceHost << "\n";
    return 0;
}
