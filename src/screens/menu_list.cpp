#include "screens/menu_list.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace lumetta::screens {

int menuRowCount(int height, int headerRows, int rowHeight) {
    if (rowHeight <= 0) return 1;
    const std::int64_t header = static_cast<std::int64_t>(headerRows) * rowHeight;
    if (height <= header) return 1;
    return static_cast<int>(std::max<std::int64_t>(1, (height - header) / rowHeight));
}

void keepSelectionVisible(std::size_t count, std::size_t rows, std::size_t& selected, std::size_t& firstVisible) {
    if (count == 0) {
        selected = firstVisible = 0;
        return;
    }
    rows = std::max<std::size_t>(rows, 1);
    selected = std::min(selected, count - 1);
    if (count <= rows) {
        firstVisible = 0;
        return;
    }
    if (selected < firstVisible) firstVisible = selected;
    if (selected >= firstVisible + rows) firstVisible = selected + 1 - rows;
    firstVisible = std::min(firstVisible, count - rows);
}

int countdownSeconds(std::uint64_t lastActivity, std::uint64_t now) {
    const std::uint64_t elapsed = now - lastActivity;
    if (elapsed >= menuIdleCloseMs) return 0;
    return static_cast<int>((lastActivity + menuIdleCloseMs + 999 - now) / 1000);
}

CountdownBanner countdownBanner(int slideWidth, int slideHeight) {
    CountdownBanner banner;
    int margin = 0, boxWidth = 0, boxHeight = 0;
    if (slideHeight < 756) {
        banner.fontSize = 18;
        boxHeight = 36;
        margin = 20;
        boxWidth = std::min(slideWidth - 40, 270);
    } else {
        margin = slideHeight / 36;
        banner.fontSize = std::min(30, slideHeight / 42);
        boxHeight = 2 * banner.fontSize;
        boxWidth = std::min(slideWidth - 2 * margin, 15 * banner.fontSize);
    }
    banner.box = SDL_Rect{slideWidth - boxWidth - margin, slideHeight - boxHeight - margin, boxWidth, boxHeight};
    banner.barWidth = slideHeight < 1440 ? 6 : 2 * (slideHeight / 360);
    return banner;
}

std::string playlistLabel(std::string_view name, std::size_t maxBytes, bool* cut) {
    std::string label;
    label.reserve(std::min(name.size(), maxBytes + 4));
    std::size_t i = 0;
    for (; i < name.size(); ++i) {
        const auto byte = static_cast<unsigned char>(name[i]);
        // Stop before the first byte of a character, so that none is cut in half; a run of
        // continuation bytes longer than any character (not UTF-8) is cut all the same.
        if (label.size() >= maxBytes && (byte < 0x80 || byte >= 0xC0 || label.size() >= maxBytes + 3)) break;
        if (byte == '\t' || byte == '\n' || byte == '\r') {
            label.push_back(' ');
        } else if (byte >= 32 && byte != 127) {
            label.push_back(static_cast<char>(byte));
        }
    }
    if (cut != nullptr) {
        // What is left may be nothing but bytes that would have been dropped.
        bool more = false;
        for (std::size_t j = i; j < name.size() && !more; ++j) {
            const auto byte = static_cast<unsigned char>(name[j]);
            more = byte == '\t' || byte == '\n' || byte == '\r' || (byte >= 32 && byte != 127);
        }
        *cut = more;
    }
    return label;
}

std::string modeLabel(const DisplayMode& mode) {
    std::string label = std::to_string(mode.width) + "x" + std::to_string(mode.height);
    if (mode.refreshRate > 0) {
        const double rate = mode.refreshRate;
        char text[64];
        const bool whole = std::fabs(rate - std::round(rate)) < 0.01;
        std::snprintf(text, sizeof text, whole ? "%.0f" : "%.2f", rate);
        label += " @ ";
        label += text;
        label += " Hz";
    }
    if (mode.current) label += "  (current)";
    return label;
}

}  // namespace lumetta::screens
