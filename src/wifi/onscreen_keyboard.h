#pragma once
// The on-screen keyboard of the Wi-Fi set-up screen's password step: the key labels of the five
// layouts in their two Shift states, the Caps Lock rule, where each key goes in a rectangle, the
// drawing, and moving the selection to the key that carries a label (so a key typed on a
// physical keyboard shows as pressed on screen).
//
// What a key does when it is used is the screen's business; `keyText` says what it types.
// Everything runs on the screen's thread; only the key tables are shared, and they are built
// once, safely, by whichever call comes first.

#include <SDL3/SDL.h>
#include <SDL3_ttf/SDL_ttf.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/clock.h"

namespace lumetta::wifi {

// Rows of key labels (UTF-8). Every label but the five below is the text the key types.
using KeyRows = std::vector<std::vector<std::string>>;

inline constexpr std::string_view kBackspaceKey = "BACKSPACE";
inline constexpr std::string_view kEnterKey = "ENTER";
inline constexpr std::string_view kCapsKey = "CAPS";
inline constexpr std::string_view kShiftKey = "SHIFT";
inline constexpr std::string_view kSpaceKey = "SPACE";

// The keys of a layout: "us", "de", "fr" and "es" select those layouts, every other code ("gb"
// included) the United Kingdom. Five rows of 13, 13, 13, 12 and 1 keys: row 0 ends with
// BACKSPACE, row 1 with ENTER, row 2 begins with CAPS, row 3 begins and ends with SHIFT, and
// row 4 holds the SPACE key alone. `shift` gives the shifted set. `caps` without `shift` takes,
// in rows 1 to 3, the shifted label of every key labelled with one letter "a" to "z"; the digit
// row and longer labels (ä, é, ß, ...) stay as they are. A fresh copy each call.
KeyRows keyboardLayoutKeys(std::string_view layoutCode, bool shift, bool caps);

// What using the key types: one space for SPACE, nothing for BACKSPACE, ENTER, CAPS and SHIFT,
// the label itself for every other key.
std::string keyText(std::string_view label);

// A key shown pressed until `endMs` (on the state's tick scale).
struct KeyHighlight {
    unsigned row = 0;
    unsigned column = 0;
    bool active = false;
    std::uint64_t endMs = 0;
};

// The keyboard's part of the set-up screen's state. The screen opens password entry with the
// selection at (0, 0) and shift and caps off, and ends the highlight once `endMs` has passed.
struct KeyboardState {
    unsigned keyRow = 0;  // the selected key
    unsigned keyColumn = 0;
    KeyHighlight highlight;
    bool shift = false;
    bool caps = false;
    int layout = 0;      // index into keyboardLayouts
    bool dirty = false;  // the screen must draw a new frame
    const Clock* clock = &systemClock();  // ticksMs() is the tick scale of `highlight`
};

// How long a key stays shown pressed.
inline constexpr std::uint64_t kKeyHighlightMs = 120;

// Selects the first key labelled exactly `label` (rows in order, keys in order) among the keys of
// the state's layout with its current shift, else with the other shift (caps as it is), and
// shows it pressed for 120 ms; sets dirty. Shift and caps never change. A label no key carries
// changes nothing.
void highlightKey(KeyboardState& state, std::string_view label);

// A key's rectangle in the renderer's logical pixels. 64-bit, so that no area an int can hold
// overflows on the way.
struct KeyBox {
    std::int64_t x = 0;
    std::int64_t y = 0;
    std::int64_t w = 0;
    std::int64_t h = 0;
    bool operator==(const KeyBox&) const = default;
};

// Where the keys of `rows` go in an area.
struct KeyboardGeometry {
    std::int64_t kbWidth = 0;  // 85 % of the area's width, centred
    std::int64_t left = 0;
    std::int64_t right = 0;
    std::int64_t keyHeight = 0;  // 38 to 64
    std::int64_t top = 0;        // of the first row
    std::int64_t enterLeft = 0;  // left edge of ENTER's lower part (`right` when it has none)
    std::vector<std::vector<KeyBox>> keys;  // one box per label; ENTER's is its upper part

    // ENTER's lower part, beside the end of the next row, for ENTER's upper box.
    KeyBox enterLower(const KeyBox& upper) const {
        return {enterLeft, upper.y + keyHeight, right - enterLeft, keyHeight + 6};
    }
};

// Rows 6 pixels apart, keys 6 pixels apart, widths by weight (BACKSPACE 220; SHIFT, ENTER and
// CAPS 170; SPACE 600; any other 100) with the last key of a row taking the rounding, every row
// but the third filling the keyboard's width. ENTER at the end of the second row reaches down
// beside the end of the third, which stops 6 pixels short of it. A row holding SPACE alone is
// 85 × w / 200 wide (as the third row: up to ENTER's lower part) and centred. Empty for no
// rows or an area without width or height. All divisions truncate toward zero.
std::optional<KeyboardGeometry> keyboardGeometry(const KeyRows& rows, const SDL_Rect& area);

// Draws the keys of keyboardLayoutKeys(layoutCode, shift, caps) into `area`: the selected key and
// the highlighted one (when active) in the accent colour with black labels, a SHIFT or CAPS that
// is on in mid grey, every other key dark grey with a lighter outline; labels white unless on
// the accent, centred (ENTER's in its upper part) and rendered anew each call. Nothing without
// a renderer or a font, or for an area without width or height.
void drawKeyboard(SDL_Renderer* renderer, TTF_Font* font, const SDL_Rect& area, unsigned keyRow, unsigned keyColumn,
                  unsigned highlightRow, unsigned highlightColumn, bool highlightActive, std::string_view layoutCode,
                  bool shift, bool caps);

// The same for the keyboard in `state`.
void drawKeyboard(SDL_Renderer* renderer, TTF_Font* font, const SDL_Rect& area, const KeyboardState& state);

}  // namespace lumetta::wifi
