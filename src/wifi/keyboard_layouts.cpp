#include "wifi/keyboard_layouts.h"

#include <fstream>

#include "wifi/setup_drawing.h"

namespace lumetta::wifi {

const KeyboardLayout& keyboardLayoutAt(int index) {
    if (index < 0 || index >= static_cast<int>(keyboardLayouts.size())) return keyboardLayouts[0];
    return keyboardLayouts[static_cast<std::size_t>(index)];
}

const std::vector<LayoutSource>& defaultLayoutSources() {
    static const std::vector<LayoutSource> sources = {{"/etc/default/keyboard", "XKBLAYOUT="},
                                                      {"/etc/vconsole.conf", "KEYMAP="}};
    return sources;
}

std::optional<int> layoutOfValue(std::string_view value) {
    if (value.size() >= 2 && ((value.front() == '"' && value.back() == '"') ||
                              (value.front() == '\'' && value.back() == '\''))) {
        value = value.substr(1, value.size() - 2);
    }
    if (const auto comma = value.find(','); comma != std::string_view::npos) value = value.substr(0, comma);
    if (value == "uk") value = "gb";
    for (std::size_t i = 0; i < keyboardLayouts.size(); ++i) {
        const std::string_view xkb = keyboardLayouts[i].xkbLayout;
        const std::string_view keymap = keyboardLayouts[i].consoleKeymap;
        if (value == xkb || value == keymap ||
            (value.size() > keymap.size() && value.starts_with(keymap) && value[keymap.size()] == '-')) {
            return static_cast<int>(i);
        }
    }
    return std::nullopt;
}

std::optional<int> layoutNamedIn(std::istream& in, std::string_view prefix) {
    for (std::string line; std::getline(in, line);) {
        if (!line.starts_with(prefix)) continue;
        if (const auto index = layoutOfValue(std::string_view(line).substr(prefix.size()))) return index;
    }
    return std::nullopt;
}

std::optional<int> detectKeyboardLayout(const std::vector<LayoutSource>& sources) {
    for (const auto& source : sources) {
        std::ifstream in(source.file);
        if (const auto index = layoutNamedIn(in, source.prefix)) return index;
    }
    return std::nullopt;
}

std::optional<int> detectKeyboardLayout() {
    return detectKeyboardLayout(defaultLayoutSources());
}

void applyKeyboardLayout(int index) {
    if (index < 0 || index >= static_cast<int>(keyboardLayouts.size())) return;
    const KeyboardLayout& layout = keyboardLayouts[static_cast<std::size_t>(index)];
    runCommand({"setxkbmap", layout.xkbLayout});
    runCommand({"loadkeys", layout.consoleKeymap});
}

}  // namespace lumetta::wifi
