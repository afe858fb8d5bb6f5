// The device's keyboard configuration files ("/etc/default/keyboard", "/etc/vconsole.conf") as
// the Wi-Fi set-up screen reads them, and a typed label shown on the on-screen keyboard. The
// first byte picks the file's line prefix; the rest is the file. The reader must agree with a
// plain split of the text at "\n", and a layout it names must be one the value really spells.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

#include "core/clock.h"
#include "wifi/keyboard_layouts.h"
#include "wifi/onscreen_keyboard.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

// The value as the table sees it: one pair of matching quotes off, cut at a comma, uk as gb.
std::string_view plainValue(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    value = value.substr(0, value.find(','));
    return value == "uk" ? std::string_view("gb") : value;
}

bool names(std::string_view value, const lumetta::wifi::KeyboardLayout& layout) {
    const std::string_view xkb = layout.xkbLayout;
    const std::string keymapDash = std::string(layout.consoleKeymap) + "-";
    return value == xkb || value == layout.consoleKeymap || value.starts_with(keymapDash);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumetta;
    if (size == 0) return 0;
    const std::string_view prefix = data[0] % 2 == 0 ? "XKBLAYOUT=" : "KEYMAP=";
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

    std::istringstream in(text);
    const std::optional<int> found = wifi::layoutNamedIn(in, prefix);

    std::optional<int> expected;
    for (std::size_t start = 0; start < text.size() && !expected;) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::string_view line = std::string_view(text).substr(start, end - start);
        if (line.starts_with(prefix)) expected = wifi::layoutOfValue(line.substr(prefix.size()));
        start = end + 1;
    }
    check(found == expected);
    if (found) {
        check(*found >= 0 && *found < static_cast<int>(wifi::keyboardLayouts.size()));
    }

    // The whole text as one value: it names the first row it spells, or none.
    const std::optional<int> index = wifi::layoutOfValue(text);
    const std::string_view value = plainValue(text);
    std::optional<int> spelled;
    for (std::size_t i = 0; i < wifi::keyboardLayouts.size() && !spelled; ++i) {
        if (names(value, wifi::keyboardLayouts[i])) spelled = static_cast<int>(i);
    }
    check(index == spelled);

    // The same text typed on a physical keyboard: a key is selected only when it carries it.
    const Clock& clock = systemClock();
    wifi::KeyboardState keys;
    keys.layout = data[0] % 5;
    keys.shift = (data[0] & 8) != 0;
    keys.caps = (data[0] & 16) != 0;
    const std::uint64_t before = clock.ticksMs();
    wifi::highlightKey(keys, text);
    const std::uint64_t after = clock.ticksMs();
    if (keys.dirty) {
        const char* code = wifi::keyboardLayouts[static_cast<std::size_t>(keys.layout)].xkbLayout;
        const wifi::KeyRows mine = wifi::keyboardLayoutKeys(code, keys.shift, keys.caps);
        const wifi::KeyRows other = wifi::keyboardLayoutKeys(code, !keys.shift, keys.caps);
        const auto carries = [&](const wifi::KeyRows& rows) {
            return keys.keyRow < rows.size() && keys.keyColumn < rows[keys.keyRow].size() &&
                   rows[keys.keyRow][keys.keyColumn] == text;
        };
        check(carries(mine) || carries(other));
        check(keys.highlight.active && keys.highlight.endMs >= before + wifi::kKeyHighlightMs &&
              keys.highlight.endMs <= after + wifi::kKeyHighlightMs);
    } else {
        check(!keys.highlight.active && keys.keyRow == 0 && keys.keyColumn == 0);
    }
    return 0;
}
