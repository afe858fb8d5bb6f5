#include "wifi/onscreen_keyboard.h"

#include <algorithm>
#include <array>
#include <limits>

#include "wifi/keyboard_layouts.h"
#include "wifi/setup_drawing.h"

namespace lumetta::wifi {

namespace {

// The four typing rows of one Shift state, labels separated by single spaces.
using RowTexts = std::array<const char*, 4>;

struct LayoutKeyTexts {
    RowTexts plain;
    RowTexts shifted;
};

// In the order of keyboardLayouts.
constexpr std::array<LayoutKeyTexts, 5> keyTexts{{
    // United Kingdom
    {{"1 2 3 4 5 6 7 8 9 0 - = BACKSPACE", "q w e r t y u i o p [ ] ENTER", "CAPS a s d f g h j k l ; ' #",
      "SHIFT z x c v b n m , . / SHIFT"},
     {"! \" £ $ % ^ & * ( ) _ + BACKSPACE", "Q W E R T Y U I O P { } ENTER", "CAPS A S D F G H J K L : @ ~",
      "SHIFT Z X C V B N M < > ? SHIFT"}},
    // United States
    {{"1 2 3 4 5 6 7 8 9 0 - = BACKSPACE", "q w e r t y u i o p [ ] ENTER", "CAPS a s d f g h j k l ; ' \\",
      "SHIFT z x c v b n m , . / SHIFT"},
     {"! @ # $ % ^ & * ( ) _ + BACKSPACE", "Q W E R T Y U I O P { } ENTER", "CAPS A S D F G H J K L : \" |",
      "SHIFT Z X C V B N M < > ? SHIFT"}},
    // German
    {{"1 2 3 4 5 6 7 8 9 0 ß ´ BACKSPACE", "q w e r t z u i o p ü + ENTER", "CAPS a s d f g h j k l ö ä #",
      "SHIFT y x c v b n m , . - SHIFT"},
     {"! \" § $ % & / ( ) = ? ` BACKSPACE", "Q W E R T Z U I O P Ü * ENTER", "CAPS A S D F G H J K L Ö Ä '",
      "SHIFT Y X C V B N M ; : _ SHIFT"}},
    // French
    {{"& é \" ' ( - è _ ç à ) = BACKSPACE", "a z e r t y u i o p ^ $ ENTER", "CAPS q s d f g h j k l m ù *",
      "SHIFT w x c v b n , ; : ! SHIFT"},
     {"1 2 3 4 5 6 7 8 9 0 ° + BACKSPACE", "A Z E R T Y U I O P ¨ £ ENTER", "CAPS Q S D F G H J K L M % µ",
      "SHIFT W X C V B N ? . / § SHIFT"}},
    // Spanish
    {{"1 2 3 4 5 6 7 8 9 0 ' ¡ BACKSPACE", "q w e r t y u i o p ` + ENTER", "CAPS a s d f g h j k l ñ ´ ç",
      "SHIFT z x c v b n m , . - SHIFT"},
     {"! \" · $ % & / ( ) = ? ¿ BACKSPACE", "Q W E R T Y U I O P ^ * ENTER", "CAPS A S D F G H J K L Ñ ¨ Ç",
      "SHIFT Z X C V B N M ; : _ SHIFT"}},
}};

std::vector<std::string> splitRow(std::string_view text) {
    std::vector<std::string> labels;
    while (!text.empty()) {
        const auto space = text.find(' ');
        labels.emplace_back(text.substr(0, space));
        if (space == std::string_view::npos) break;
        text.remove_prefix(space + 1);
    }
    return labels;
}

KeyRows buildRows(const RowTexts& texts) {
    KeyRows rows;
    for (const char* text : texts) rows.push_back(splitRow(text));
    rows.push_back({std::string(kSpaceKey)});
    return rows;
}

struct KeySets {
    KeyRows plain;
    KeyRows shifted;
    KeyRows caps;  // the plain set under the Caps Lock rule
};

KeySets buildSets(const LayoutKeyTexts& texts) {
    KeySets sets{buildRows(texts.plain), buildRows(texts.shifted), {}};
    sets.caps = sets.plain;
    for (std::size_t row = 1; row < sets.caps.size(); ++row) {
        for (std::size_t column = 0; column < sets.caps[row].size(); ++column) {
            const std::string& label = sets.caps[row][column];
            if (label.size() == 1 && label[0] >= 'a' && label[0] <= 'z') {
                sets.caps[row][column] = sets.shifted[row][column];
            }
        }
    }
    return sets;
}

const std::array<KeySets, 5>& allKeySets() {
    static const std::array<KeySets, 5> sets = [] {
        std::array<KeySets, 5> built;
        for (std::size_t i = 0; i < built.size(); ++i) built[i] = buildSets(keyTexts[i]);
        return built;
    }();
    return sets;
}

std::size_t layoutOfCode(std::string_view code) {
    for (std::size_t i = 1; i < keyboardLayouts.size(); ++i) {
        if (code == keyboardLayouts[i].xkbLayout) return i;
    }
    return 0;
}

std::int64_t keyWeight(std::string_view label) {
    if (label == kBackspaceKey) return 220;
    if (label == kShiftKey || label == kEnterKey || label == kCapsKey) return 170;
    if (label == kSpaceKey) return 600;
    return 100;
}

// Lays out one row from `left` in `available` pixels (its keys and the 6-pixel gap after each).
std::vector<KeyBox> layRow(const std::vector<std::string>& labels, std::int64_t left, std::int64_t available,
                           std::int64_t rowTop, std::int64_t keyHeight) {
    std::vector<KeyBox> boxes;
    boxes.reserve(labels.size());
    std::int64_t widthLeft = std::max<std::int64_t>(available - 6 * static_cast<std::int64_t>(labels.size()), 1);
    std::int64_t weightLeft = 0;
    for (const auto& label : labels) weightLeft += keyWeight(label);
    std::int64_t x = left;
    for (std::size_t i = 0; i < labels.size(); ++i) {
        const std::int64_t weight = keyWeight(labels[i]);
        const std::int64_t width = i + 1 == labels.size() ? widthLeft : weight * widthLeft / weightLeft;
        boxes.push_back({x, rowTop, width, keyHeight});
        weightLeft -= weight;
        widthLeft -= width;
        x += width + 6;
    }
    return boxes;
}

float toFloat(std::int64_t value) {
    return static_cast<float>(value);
}

int toInt(std::int64_t value) {
    return static_cast<int>(std::clamp<std::int64_t>(value, std::numeric_limits<int>::min(),
                                                     std::numeric_limits<int>::max()));
}

SDL_FRect toRect(const KeyBox& box) {
    return {toFloat(box.x), toFloat(box.y), toFloat(box.w), toFloat(box.h)};
}

constexpr SDL_Color kToggledFill{104, 104, 104, 255};
constexpr SDL_Color kPlainFill{42, 42, 42, 255};
constexpr SDL_Color kOutline{80, 80, 80, 255};
constexpr SDL_Color kBlack{0, 0, 0, 255};
constexpr SDL_Color kWhite{255, 255, 255, 255};

void setColor(SDL_Renderer* renderer, SDL_Color color) {
    SDL_SetRenderDrawColor(renderer, color.r, color.g, color.b, color.a);
}

}  // namespace

KeyRows keyboardLayoutKeys(std::string_view layoutCode, bool shift, bool caps) {
    const KeySets& sets = allKeySets()[layoutOfCode(layoutCode)];
    if (shift) return sets.shifted;
    return caps ? sets.caps : sets.plain;
}

std::string keyText(std::string_view label) {
    if (label == kSpaceKey) return " ";
    if (label == kBackspaceKey || label == kEnterKey || label == kCapsKey || label == kShiftKey) return "";
    return std::string(label);
}

void highlightKey(KeyboardState& state, std::string_view label) {
    const char* code = keyboardLayoutAt(state.layout).xkbLayout;
    for (const bool shift : {state.shift, !state.shift}) {
        const KeyRows rows = keyboardLayoutKeys(code, shift, state.caps);
        for (std::size_t row = 0; row < rows.size(); ++row) {
            for (std::size_t column = 0; column < rows[row].size(); ++column) {
                if (rows[row][column] != label) continue;
                state.keyRow = static_cast<unsigned>(row);
                state.keyColumn = static_cast<unsigned>(column);
                const Clock& clock = state.clock != nullptr ? *state.clock : systemClock();
                state.highlight = {state.keyRow, state.keyColumn, true, clock.ticksMs() + kKeyHighlightMs};
                state.dirty = true;
                return;
            }
        }
    }
}

std::optional<KeyboardGeometry> keyboardGeometry(const KeyRows& rows, const SDL_Rect& area) {
    if (rows.empty() || area.w <= 0 || area.h <= 0) return std::nullopt;
    const auto n = static_cast<std::int64_t>(rows.size());
    const std::int64_t x = area.x;
    const std::int64_t y = area.y;
    const std::int64_t w = area.w;
    const std::int64_t h = area.h;

    KeyboardGeometry g;
    g.kbWidth = 85 * w / 100;
    g.left = x + (w - g.kbWidth) / 2;
    g.right = g.left + g.kbWidth;
    g.keyHeight = std::clamp<std::int64_t>(((3 * h) / 4 + 6 - 6 * n) / n, 38, 64);
    const std::int64_t totalHeight = n * g.keyHeight + 6 * (n - 1);
    g.top = h - totalHeight > 1 ? y + (h - totalHeight) / 2 : y;
    const auto rowTop = [&](std::size_t row) { return g.top + static_cast<std::int64_t>(row) * (g.keyHeight + 6); };

    g.enterLeft = g.right;
    if (rows.size() >= 3 && !rows[1].empty() && rows[1].back() == kEnterKey) {
        const std::int64_t enterX = layRow(rows[1], g.left, g.kbWidth + 6, rowTop(1), g.keyHeight).back().x;
        g.enterLeft = std::min(enterX + 85 * w / 1400, g.right);
    }

    for (std::size_t row = 0; row < rows.size(); ++row) {
        const std::vector<std::string>& labels = rows[row];
        if (labels.size() == 1 && labels[0] == kSpaceKey) {
            const std::int64_t width = row == 2 ? g.enterLeft - g.left - 6 : 85 * w / 200;
            g.keys.push_back({{g.left + (g.kbWidth - width) / 2, rowTop(row), width, g.keyHeight}});
            continue;
        }
        const std::int64_t available = row == 2 ? g.enterLeft - g.left : g.kbWidth + 6;
        g.keys.push_back(layRow(labels, g.left, available, rowTop(row), g.keyHeight));
    }
    return g;
}

void drawKeyboard(SDL_Renderer* renderer, TTF_Font* font, const SDL_Rect& area, unsigned keyRow, unsigned keyColumn,
                  unsigned highlightRow, unsigned highlightColumn, bool highlightActive, std::string_view layoutCode,
                  bool shift, bool caps) {
    if (renderer == nullptr || font == nullptr) return;
    const KeyRows rows = keyboardLayoutKeys(layoutCode, shift, caps);
    const std::optional<KeyboardGeometry> geometry = keyboardGeometry(rows, area);
    if (!geometry) return;
    const KeyboardGeometry& g = *geometry;
    const std::int64_t fontHeight = TTF_GetFontHeight(font);

    for (std::size_t row = 0; row < rows.size(); ++row) {
        for (std::size_t column = 0; column < rows[row].size(); ++column) {
            const std::string& label = rows[row][column];
            const KeyBox& box = g.keys[row][column];
            const bool highlighted = (row == keyRow && column == keyColumn) ||
                                     (highlightActive && row == highlightRow && column == highlightColumn);
            const bool toggled = !highlighted && ((label == kShiftKey && shift) || (label == kCapsKey && caps));
            const bool enter = label == kEnterKey;

            setColor(renderer, highlighted ? kAccent : toggled ? kToggledFill : kPlainFill);
            const SDL_FRect upper = toRect(box);
            SDL_RenderFillRect(renderer, &upper);
            if (enter) {
                const SDL_FRect lower = toRect(g.enterLower(box));
                SDL_RenderFillRect(renderer, &lower);
            }

            if (!highlighted && !toggled) {
                setColor(renderer, kOutline);
                if (enter) {
                    const float bottom = toFloat(box.y + 2 * g.keyHeight + 6);
                    const float middle = toFloat(box.y + g.keyHeight);
                    const SDL_FPoint outline[7] = {{toFloat(box.x), toFloat(box.y)},
                                                   {toFloat(g.right), toFloat(box.y)},
                                                   {toFloat(g.right), bottom},
                                                   {toFloat(g.enterLeft), bottom},
                                                   {toFloat(g.enterLeft), middle},
                                                   {toFloat(box.x), middle},
                                                   {toFloat(box.x), toFloat(box.y)}};
                    SDL_RenderLines(renderer, outline, 7);
                } else {
                    SDL_RenderRect(renderer, &upper);
                }
            }

            int textWidth = 0;
            int textHeight = 0;
            TTF_GetStringSize(font, label.data(), label.size(), &textWidth, &textHeight);
            drawTextAt(renderer, font, label, toInt(box.x + (box.w - textWidth) / 2),
                       toInt(box.y + (g.keyHeight - fontHeight) / 2), highlighted ? kBlack : kWhite);
        }
    }
}

void drawKeyboard(SDL_Renderer* renderer, TTF_Font* font, const SDL_Rect& area, const KeyboardState& state) {
    drawKeyboard(renderer, font, area, state.keyRow, state.keyColumn, state.highlight.row, state.highlight.column,
                 state.highlight.active, keyboardLayoutAt(state.layout).xkbLayout, state.shift, state.caps);
}

}  // namespace lumetta::wifi
