#pragma once
// The keyboard layouts the Wi-Fi set-up screen types passwords in: which one the device is
// configured for, and switching the device's keyboard (X keyboard map and console keymap) to
// another. The choice itself lives in the screen's state and in the running keyboard
// configuration; nothing here is stored, and neither configuration file is ever written.

#include <array>
#include <filesystem>
#include <istream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumetta::wifi {

struct KeyboardLayout {
    const char* xkbLayout;      // passed to "setxkbmap"; selects the on-screen keys
    const char* consoleKeymap;  // passed to "loadkeys"
    const char* displayName;    // shown in the layout menu and the key help
};

// The five layouts; the index is the layout number the screen keeps.
inline constexpr std::array<KeyboardLayout, 5> keyboardLayouts{{
    {"gb", "uk", "United Kingdom"},
    {"us", "us", "United States"},
    {"de", "de", "German"},
    {"fr", "fr", "French"},
    {"es", "es", "Spanish"},
}};

// The row of `index`; the United Kingdom for an index outside the table.
const KeyboardLayout& keyboardLayoutAt(int index);

// One file that may name the layout: the lines beginning with `prefix` carry the value.
struct LayoutSource {
    std::filesystem::path file;
    std::string prefix;
};

// "/etc/default/keyboard" (XKBLAYOUT=) and then "/etc/vconsole.conf" (KEYMAP=).
const std::vector<LayoutSource>& defaultLayoutSources();

// The layout a configuration value names, after taking off one pair of matching quotes, cutting
// at the first comma and reading "uk" as "gb": the first row whose X code or console keymap is
// the value, or whose console keymap followed by "-" begins it ("de-latin1"). Nothing else is
// trimmed, so a value with a carriage return or a blank names no layout.
std::optional<int> layoutOfValue(std::string_view value);

// The first line of `in` that begins with `prefix` (byte for byte, at the very start of the
// line) and whose value names a layout. Lines end at "\n"; empty when no line names one.
std::optional<int> layoutNamedIn(std::istream& in, std::string_view prefix);

// The first line of the sources, in order, that begins with its source's prefix (byte for byte,
// at the very start of the line) and whose value names a layout. Lines end at "\n". Files that
// cannot be read and values that name nothing are passed over; empty when nothing is found.
std::optional<int> detectKeyboardLayout(const std::vector<LayoutSource>& sources);
std::optional<int> detectKeyboardLayout();

// Switches the device to layout `index`: runs "setxkbmap <xkbLayout>", waits for it, then
// "loadkeys <consoleKeymap>" whatever became of the first; their output and exit statuses are
// ignored. An index outside the table runs nothing.
void applyKeyboardLayout(int index);

}  // namespace lumetta::wifi
