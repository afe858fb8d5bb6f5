#pragma once
// The arithmetic and texts of the on-screen choosers, free of SDL objects: how many list rows
// fit, which part of the list is on screen, the idle countdown's number, the banner's place and
// the labels of the two entry kinds.

#include <SDL3/SDL.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/display_mode.h"

namespace lumetta::screens {

// An open menu closes itself this long after its last key.
inline constexpr std::uint64_t menuIdleCloseMs = 15000;

// List rows below `headerRows` title rows in a menu `height` pixels high: at least 1.
int menuRowCount(int height, int headerRows, int rowHeight);

// Clamps the highlight into the list and scrolls the window of `rows` rows so that it shows.
void keepSelectionVisible(std::size_t count, std::size_t rows, std::size_t& selected, std::size_t& firstVisible);

// The number the countdown banner shows `now` for a menu whose last key came at `lastActivity`:
// 15 right after the key down to 1 in the last second; 0 once the idle time is over.
int countdownSeconds(std::uint64_t lastActivity, std::uint64_t now);

// The countdown banner on a slide of slideWidth x slideHeight: its box (bottom right), font size
// and accent bar width.
struct CountdownBanner {
    SDL_Rect box{0, 0, 0, 0};
    int fontSize = 0;
    int barWidth = 0;
};
CountdownBanner countdownBanner(int slideWidth, int slideHeight);

// A playlist name as one list row: tab, line feed and carriage return become spaces, every
// other control byte and DEL is dropped, everything else (UTF-8 included) passes. At most
// `maxBytes` + 3 bytes are kept (never cutting a character of valid UTF-8); `cut` tells whether
// anything was left.
std::string playlistLabel(std::string_view name, std::size_t maxBytes, bool* cut = nullptr);

// "1920x1080 @ 59.94 Hz  (current)": the rate without decimals when it is within 0.01 of a whole
// number, left out when it is not above 0; the mark only for the mode in use.
std::string modeLabel(const DisplayMode& mode);

}  // namespace lumetta::screens
