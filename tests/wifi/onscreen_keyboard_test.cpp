// The on-screen keyboard: the key tables byte for byte, the Caps Lock rule, moving the selection
// to a typed label, where the keys go (the worked 1000 x 300 example, the height limits, odd and
// huge areas) and the drawing read back from a software canvas.
#include "wifi/onscreen_keyboard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "support/manual_clock.h"
#include "wifi/setup_drawing.h"
#include "wifi_test_support.h"

namespace lumetta::wifi {
namespace {

using testing::SoftwareCanvas;

std::vector<std::string> split(const std::string& text) {
    std::vector<std::string> labels;
    std::size_t start = 0;
    for (std::size_t space; (space = text.find(' ', start)) != std::string::npos; start = space + 1) {
        labels.push_back(text.substr(start, space - start));
    }
    labels.push_back(text.substr(start));
    return labels;
}

KeyRows rowsOf(const std::vector<std::string>& texts) {
    KeyRows rows;
    for (const auto& text : texts) rows.push_back(split(text));
    return rows;
}

KeyRows withoutSpaceRow(KeyRows rows) {
    rows.pop_back();
    return rows;
}

// The tables as the layouts print them, every byte above 0x7F written out.
struct ExpectedLayout {
    std::string code;
    std::vector<std::string> plain;
    std::vector<std::string> shifted;
};

const std::vector<ExpectedLayout>& expectedLayouts() {
    static const std::vector<ExpectedLayout> layouts = {
        {"gb",
         {"1 2 3 4 5 6 7 8 9 0 - = BACKSPACE", "q w e r t y u i o p [ ] ENTER", "CAPS a s d f g h j k l ; ' #",
          "SHIFT z x c v b n m , . / SHIFT"},
         {"! \" \xC2\xA3 $ % ^ & * ( ) _ + BACKSPACE", "Q W E R T Y U I O P { } ENTER",
          "CAPS A S D F G H J K L : @ ~", "SHIFT Z X C V B N M < > ? SHIFT"}},
        {"us",
         {"1 2 3 4 5 6 7 8 9 0 - = BACKSPACE", "q w e r t y u i o p [ ] ENTER", "CAPS a s d f g h j k l ; ' \x5C",
          "SHIFT z x c v b n m , . / SHIFT"},
         {"! @ # $ % ^ & * ( ) _ + BACKSPACE", "Q W E R T Y U I O P { } ENTER", "CAPS A S D F G H J K L : \" \x7C",
          "SHIFT Z X C V B N M < > ? SHIFT"}},
        {"de",
         {"1 2 3 4 5 6 7 8 9 0 \xC3\x9F \xC2\xB4 BACKSPACE", "q w e r t z u i o p \xC3\xBC + ENTER",
          "CAPS a s d f g h j k l \xC3\xB6 \xC3\xA4 #", "SHIFT y x c v b n m , . - SHIFT"},
         {"! \" \xC2\xA7 $ % & / ( ) = ? ` BACKSPACE", "Q W E R T Z U I O P \xC3\x9C * ENTER",
          "CAPS A S D F G H J K L \xC3\x96 \xC3\x84 '", "SHIFT Y X C V B N M ; : _ SHIFT"}},
        {"fr",
         {"& \xC3\xA9 \" ' ( - \xC3\xA8 _ \xC3\xA7 \xC3\xA0 ) = BACKSPACE", "a z e r t y u i o p ^ $ ENTER",
          "CAPS q s d f g h j k l m \xC3\xB9 *", "SHIFT w x c v b n , ; : ! SHIFT"},
         {"1 2 3 4 5 6 7 8 9 0 \xC2\xB0 + BACKSPACE", "A Z E R T Y U I O P \xC2\xA8 \xC2\xA3 ENTER",
          "CAPS Q S D F G H J K L M % \xC2\xB5", "SHIFT W X C V B N ? . / \xC2\xA7 SHIFT"}},
        {"es",
         {"1 2 3 4 5 6 7 8 9 0 ' \xC2\xA1 BACKSPACE", "q w e r t y u i o p ` + ENTER",
          "CAPS a s d f g h j k l \xC3\xB1 \xC2\xB4 \xC3\xA7", "SHIFT z x c v b n m , . - SHIFT"},
         {"! \" \xC2\xB7 $ % & / ( ) = ? \xC2\xBF BACKSPACE", "Q W E R T Y U I O P ^ * ENTER",
          "CAPS A S D F G H J K L \xC3\x91 \xC2\xA8 \xC3\x87", "SHIFT Z X C V B N M ; : _ SHIFT"}},
    };
    return layouts;
}

// ---------------------------------------------------------------------------------------------
// Key tables

TEST(KeyboardKeys, EveryTableMatchesItsLayoutByteForByteWithTheSpaceRowBelow) {
    for (const auto& layout : expectedLayouts()) {
        for (const bool shift : {false, true}) {
            SCOPED_TRACE(layout.code + (shift ? " with Shift" : " without Shift"));
            KeyRows expected = rowsOf(shift ? layout.shifted : layout.plain);
            expected.push_back({"SPACE"});
            const KeyRows keys = keyboardLayoutKeys(layout.code, shift, false);
            EXPECT_EQ(keys, expected);
            ASSERT_EQ(keys.size(), 5u);
            EXPECT_EQ(keys[0].size(), 13u);
            EXPECT_EQ(keys[1].size(), 13u);
            EXPECT_EQ(keys[2].size(), 13u);
            EXPECT_EQ(keys[3].size(), 12u);
        }
    }
}

TEST(KeyboardKeys, CodesOtherThanTheFourNamedOnesGiveTheUnitedKingdomKeys) {
    for (const bool shift : {false, true}) {
        const KeyRows uk = keyboardLayoutKeys("gb", shift, false);
        for (const std::string& code :
             std::vector<std::string>{"", "uk", "GB", "US", "it", "us ", "de-latin1", "gb,us", std::string(1 << 20, 'd')}) {
            SCOPED_TRACE(code.substr(0, 12));
            EXPECT_EQ(keyboardLayoutKeys(code, shift, false), uk);
        }
    }
    EXPECT_NE(keyboardLayoutKeys("us", true, false), keyboardLayoutKeys("gb", true, false));
}

TEST(KeyboardKeys, CapsLockRaisesSingleLettersBelowTheDigitRowOnly) {
    struct Case {
        std::string code;
        std::vector<std::string> rows;  // the four typing rows under Caps Lock without Shift
    };
    const Case cases[] = {
        // Punctuation keeps its unshifted label; only a to z change.
        {"gb",
         {"1 2 3 4 5 6 7 8 9 0 - = BACKSPACE", "Q W E R T Y U I O P [ ] ENTER", "CAPS A S D F G H J K L ; ' #",
          "SHIFT Z X C V B N M , . / SHIFT"}},
        // Two-byte letters keep their small form.
        {"de",
         {"1 2 3 4 5 6 7 8 9 0 \xC3\x9F \xC2\xB4 BACKSPACE", "Q W E R T Z U I O P \xC3\xBC + ENTER",
          "CAPS A S D F G H J K L \xC3\xB6 \xC3\xA4 #", "SHIFT Y X C V B N M , . - SHIFT"}},
        // The digit row never changes, so Caps Lock never gives digits on the French keys.
        {"fr",
         {"& \xC3\xA9 \" ' ( - \xC3\xA8 _ \xC3\xA7 \xC3\xA0 ) = BACKSPACE", "A Z E R T Y U I O P ^ $ ENTER",
          "CAPS Q S D F G H J K L M \xC3\xB9 *", "SHIFT W X C V B N , ; : ! SHIFT"}},
        {"es",
         {"1 2 3 4 5 6 7 8 9 0 ' \xC2\xA1 BACKSPACE", "Q W E R T Y U I O P ` + ENTER",
          "CAPS A S D F G H J K L \xC3\xB1 \xC2\xB4 \xC3\xA7", "SHIFT Z X C V B N M , . - SHIFT"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(withoutSpaceRow(keyboardLayoutKeys(c.code, false, true)), rowsOf(c.rows));
    }
    // With Shift, Caps Lock changes nothing: neither undoes the other.
    for (const auto& layout : expectedLayouts()) {
        SCOPED_TRACE(layout.code);
        EXPECT_EQ(keyboardLayoutKeys(layout.code, true, true), keyboardLayoutKeys(layout.code, true, false));
    }
}

TEST(KeyboardKeys, EachCallReturnsItsOwnCopyOfTablesBuiltOnceForAllThreads) {
    KeyRows first = keyboardLayoutKeys("de", false, false);
    first[0][0] = "changed";
    first.clear();
    EXPECT_EQ(keyboardLayoutKeys("de", false, false)[0][0], "1");

    // Concurrent first calls (the tables may already be built; then this checks plain copies).
    std::vector<std::thread> threads;
    std::vector<KeyRows> seen(8);
    for (std::size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&seen, i] { seen[i] = keyboardLayoutKeys("fr", i % 2 == 0, true); });
    }
    for (auto& thread : threads) thread.join();
    for (std::size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], keyboardLayoutKeys("fr", i % 2 == 0, true));
}

TEST(KeyboardKeys, UsingAKeyTypesItsLabelASpaceOrNothing) {
    const std::pair<std::string, std::string> cases[] = {
        {"SPACE", " "}, {"BACKSPACE", ""}, {"ENTER", ""},         {"CAPS", ""},       {"SHIFT", ""},
        {"a", "a"},     {"\xC3\x9F", "\xC3\x9F"}, {"\\", "\\"}, {"space", "space"},
    };
    for (const auto& [label, text] : cases) EXPECT_EQ(keyText(label), text) << label;
}

// ---------------------------------------------------------------------------------------------
// Highlight by label

TEST(KeyHighlighting, MovesTheSelectionToTheFirstKeyWithTheLabelInEitherShiftState) {
    testing::ManualClock clock;
    clock.advance(5000);
    const std::uint64_t now = clock.ticksMs();
    struct Case {
        int layout;
        bool shift;
        bool caps;
        std::string label;
        unsigned row;
        unsigned column;
    };
    const Case cases[] = {
        {0, false, false, "@", 2, 11},         // found with Shift only; Shift stays off
        {0, false, false, "SHIFT", 3, 0},      // the left one of the two
        {0, true, false, "SHIFT", 3, 0},
        {0, false, false, "ENTER", 1, 12},
        {0, false, false, "SPACE", 4, 0},
        {0, true, false, "k", 2, 8},           // found without Shift while Shift is on
        {0, false, false, "\xC2\xA3", 0, 2},   // two bytes
        {2, false, false, "\xC3\x9F", 0, 10},  // German
        {2, false, false, "y", 3, 1},
        {3, false, false, "1", 0, 0},          // French digits are the shifted ones
        {4, true, false, "\xC3\xB1", 2, 10},   // Spanish
        {0, false, true, "A", 2, 1},           // Caps Lock shows capitals in the first pass
        {7, false, false, "#", 2, 12},         // a layout number outside the table: United Kingdom
        {-1, false, false, "#", 2, 12},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.layout) + " '" + c.label + "'");
        KeyboardState state;
        state.clock = &clock;
        state.layout = c.layout;
        state.shift = c.shift;
        state.caps = c.caps;
        state.keyRow = 1;
        state.keyColumn = 3;
        highlightKey(state, c.label);
        EXPECT_EQ(state.keyRow, c.row);
        EXPECT_EQ(state.keyColumn, c.column);
        EXPECT_EQ(state.highlight.row, c.row);
        EXPECT_EQ(state.highlight.column, c.column);
        EXPECT_TRUE(state.highlight.active);
        EXPECT_EQ(state.highlight.endMs, now + 120);
        EXPECT_TRUE(state.dirty);
        EXPECT_EQ(state.shift, c.shift);
        EXPECT_EQ(state.caps, c.caps);
        EXPECT_EQ(state.layout, c.layout);
    }
}

TEST(KeyHighlighting, ALabelNoKeyCarriesChangesNothing) {
    testing::ManualClock clock;
    struct Case {
        std::string label;
        bool caps;
    };
    const Case cases[] = {
        {"", false},
        {"\xE2\x82\xAC", false},  // a euro sign: on none of these keys
        {"\xC2", false},          // the first byte of the pound sign alone
        {"\xC3\x28", false},      // invalid UTF-8
        {"q ", false},            // more than a label
        {"Space", false},
        {std::string(1 << 20, 'a'), false},
        {"a", true},  // Caps Lock on: neither the Caps set nor the Shift set holds a small a
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label.substr(0, 8));
        KeyboardState state;
        state.clock = &clock;
        state.caps = c.caps;
        state.keyRow = 3;
        state.keyColumn = 4;
        state.highlight = {1, 1, false, 77};
        highlightKey(state, c.label);
        EXPECT_EQ(state.keyRow, 3u);
        EXPECT_EQ(state.keyColumn, 4u);
        EXPECT_EQ(state.highlight.row, 1u);
        EXPECT_FALSE(state.highlight.active);
        EXPECT_EQ(state.highlight.endMs, 77u);
        EXPECT_FALSE(state.dirty);
    }
}

// ---------------------------------------------------------------------------------------------
// Geometry

std::vector<std::int64_t> widths(const std::vector<KeyBox>& row) {
    std::vector<std::int64_t> w;
    for (const auto& box : row) w.push_back(box.w);
    return w;
}

TEST(KeyboardGeometry, TheFourTypingRowsOfTheUnitedKingdomInAThousandByThreeHundred) {
    const KeyRows rows = withoutSpaceRow(keyboardLayoutKeys("gb", false, false));
    const auto g = keyboardGeometry(rows, SDL_Rect{0, 0, 1000, 300});
    ASSERT_TRUE(g.has_value());
    EXPECT_EQ(g->kbWidth, 850);
    EXPECT_EQ(g->left, 75);
    EXPECT_EQ(g->right, 925);
    EXPECT_EQ(g->keyHeight, 51);
    EXPECT_EQ(g->top, 39);
    EXPECT_EQ(g->enterLeft, 888);
    ASSERT_EQ(g->keys.size(), 4u);
    const std::int64_t tops[] = {39, 96, 153, 210};
    for (std::size_t r = 0; r < 4; ++r) {
        ASSERT_EQ(g->keys[r].size(), rows[r].size());
        for (const auto& box : g->keys[r]) {
            EXPECT_EQ(box.y, tops[r]);
            EXPECT_EQ(box.h, 51);
        }
    }
    EXPECT_EQ(widths(g->keys[0]),
              (std::vector<std::int64_t>{54, 54, 54, 55, 55, 55, 55, 55, 55, 55, 55, 55, 121}));
    EXPECT_EQ(g->keys[0].back(), (KeyBox{804, 39, 121, 51}));
    EXPECT_EQ(g->keys[1].back(), (KeyBox{828, 96, 97, 51}));
    EXPECT_EQ(g->enterLower(g->keys[1].back()), (KeyBox{888, 147, 37, 57}));
    EXPECT_EQ(g->keys[2].front(), (KeyBox{75, 153, 91, 51}));
    EXPECT_EQ(g->keys[2].back(), (KeyBox{828, 153, 54, 51}));
    EXPECT_EQ(g->keys[3].front().w, 99);
    EXPECT_EQ(g->keys[3].back(), (KeyBox{824, 210, 101, 51}));
    // Keys 6 pixels apart; every row but the third ends at the keyboard's right edge, the third
    // 6 pixels before ENTER's lower part.
    for (std::size_t r = 0; r < 4; ++r) {
        for (std::size_t k = 1; k < g->keys[r].size(); ++k) {
            EXPECT_EQ(g->keys[r][k].x, g->keys[r][k - 1].x + g->keys[r][k - 1].w + 6) << r << "," << k;
        }
        const KeyBox& last = g->keys[r].back();
        EXPECT_EQ(last.x + last.w, r == 2 ? g->enterLeft - 6 : g->right) << "row " << r;
    }
}

TEST(KeyboardGeometry, TheSpaceRowIsCentredBelowTheOthers) {
    const KeyRows rows = keyboardLayoutKeys("gb", false, false);
    const auto g = keyboardGeometry(rows, SDL_Rect{0, 0, 1000, 300});
    ASSERT_TRUE(g.has_value());
    EXPECT_EQ(g->keyHeight, 40);  // (225 + 6 - 30) / 5
    EXPECT_EQ(g->top, 38);        // (300 - 224) / 2
    ASSERT_EQ(g->keys.size(), 5u);
    // 85 * 1000 / 200 wide, centred under the 850 pixels from 75.
    EXPECT_EQ(g->keys[4], (std::vector<KeyBox>{{287, 222, 425, 40}}));
    EXPECT_EQ(g->keys[3].back().x + g->keys[3].back().w, g->right);

    // Beside another key the SPACE key is weighed like any other (600 against 100).
    const KeyRows shared = {{"1", "2", "3", "4"}, {"q", "ENTER"}, {"a"}, {"SPACE", "x"}};
    const auto s = keyboardGeometry(shared, SDL_Rect{0, 0, 1000, 300});
    ASSERT_TRUE(s.has_value());
    // 856 - 12 = 844 to share: 600 * 844 / 700 = 723, the rest 121.
    EXPECT_EQ(widths(s->keys[3]), (std::vector<std::int64_t>{723, 121}));

    // As the third row, SPACE alone reaches up to ENTER's lower part and is placed the same way.
    const KeyRows third = {{"1", "2"}, {"q", "ENTER"}, {"SPACE"}, {"z"}};
    const auto t = keyboardGeometry(third, SDL_Rect{0, 0, 1000, 300});
    ASSERT_TRUE(t.has_value());
    const std::int64_t width = t->enterLeft - t->left - 6;
    EXPECT_EQ(t->keys[2].front().w, width);
    EXPECT_EQ(t->keys[2].front().x, t->left + (t->kbWidth - width) / 2);
}

TEST(KeyboardGeometry, KeysAreAtLeast38AndAtMost64PixelsHigh) {
    const KeyRows four = withoutSpaceRow(keyboardLayoutKeys("gb", false, false));
    struct Case {
        SDL_Rect area;
        std::int64_t keyHeight;
        std::int64_t top;
    };
    const Case cases[] = {
        {{0, 0, 1000, 100}, 38, 0},       // too short: starts at the top and runs past the bottom
        {{5, 50, 1000, 100}, 38, 50},
        {{0, 50, 1000, 171}, 38, 50},     // 1 pixel to spare is not centred ...
        {{0, 50, 1000, 172}, 38, 51},     // ... 2 are
        {{0, 0, 1000, 2000}, 64, 863},    // too tall: centred
        {{0, -40, 1000, 2000}, 64, 823},
        {{0, 0, 1000, 300}, 51, 39},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.area.y) + " " + std::to_string(c.area.h));
        const auto g = keyboardGeometry(four, c.area);
        ASSERT_TRUE(g.has_value());
        EXPECT_EQ(g->keyHeight, c.keyHeight);
        EXPECT_EQ(g->top, c.top);
        EXPECT_EQ(g->keys[3].front().y, c.top + 3 * (c.keyHeight + 6));
    }
}

TEST(KeyboardGeometry, OddAreasGiveNothingOrSaneBoxesWithoutOverflow) {
    const KeyRows rows = keyboardLayoutKeys("gb", false, false);
    for (const SDL_Rect area : {SDL_Rect{0, 0, 0, 300}, SDL_Rect{0, 0, 1000, 0}, SDL_Rect{0, 0, -1000, 300},
                                SDL_Rect{0, 0, 1000, -1}, SDL_Rect{0, 0, INT_MIN, INT_MIN}}) {
        EXPECT_FALSE(keyboardGeometry(rows, area).has_value()) << area.w << "x" << area.h;
    }
    EXPECT_FALSE(keyboardGeometry(KeyRows{}, SDL_Rect{0, 0, 1000, 300}).has_value());

    struct Case {
        SDL_Rect area;
        bool rowsFill;  // wide enough that every row ends where it should
    };
    const Case cases[] = {
        {{0, 0, 1, 1}, false},
        {{-20, -20, 1, 1}, false},
        {{0, 0, 100000, 100000}, true},
        {{INT_MAX, INT_MAX, INT_MAX, INT_MAX}, true},
        {{INT_MIN, INT_MIN, INT_MAX, INT_MAX}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.area.x) + " " + std::to_string(c.area.w));
        const auto g = keyboardGeometry(rows, c.area);
        ASSERT_TRUE(g.has_value());
        EXPECT_GE(g->keyHeight, 38);
        EXPECT_LE(g->keyHeight, 64);
        EXPECT_GE(g->enterLeft, g->left);
        EXPECT_LE(g->enterLeft, g->right);
        for (std::size_t r = 0; r < g->keys.size(); ++r) {
            for (const KeyBox& box : g->keys[r]) {
                EXPECT_GE(box.w, 0);
                EXPECT_GE(box.x, g->left);
            }
            if (!c.rowsFill || r == 4) continue;
            const KeyBox& last = g->keys[r].back();
            EXPECT_EQ(last.x + last.w, r == 2 ? g->enterLeft - 6 : g->right) << "row " << r;
        }
        if (c.rowsFill) {
            EXPECT_EQ(g->kbWidth, 85 * static_cast<std::int64_t>(c.area.w) / 100);
            EXPECT_EQ(g->keyHeight, 64);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Drawing

constexpr SDL_Color accent{255, 128, 0, 255};
constexpr SDL_Color toggled{104, 104, 104, 255};
constexpr SDL_Color plain{42, 42, 42, 255};
constexpr SDL_Color outline{80, 80, 80, 255};

class KeyboardDrawing : public ::testing::Test {
protected:
    KeyboardDrawing() : canvas(1000, 400), font(openFont(18)) {}
    void SetUp() override { ASSERT_NE(font, nullptr) << "no font for the key labels"; }

    // The fill seen just inside the key's top-left corner, and its corner pixel.
    testing::Pixel fillOf(const KeyBox& box) const { return canvas.at(box.x + 2, box.y + 2); }
    testing::Pixel cornerOf(const KeyBox& box) const { return canvas.at(box.x, box.y); }
    // Label pixels inside a key: light ones (a white label, antialiased on grey) and dark ones
    // (a black label: darker than any key fill).
    int lightIn(const KeyBox& box) const {
        return canvas.countWhere([](testing::Pixel p) { return std::min({p.r, p.g, p.b}) >= 150; }, box.x + 1,
                                 box.y + 1, box.x + box.w - 1, box.y + box.h - 1);
    }
    int darkIn(const KeyBox& box) const {
        return canvas.countWhere([](testing::Pixel p) { return p.r < 30; }, box.x + 1, box.y + 1,
                                 box.x + box.w - 1, box.y + box.h - 1);
    }

    SoftwareCanvas canvas;
    FontHandle font;
    const SDL_Rect area{0, 0, 1000, 400};
};

TEST_F(KeyboardDrawing, SelectedHighlightedToggledAndPlainKeysEachLookTheirOwnWay) {
    // "1" selected, "t" highlighted, Shift and Caps on (so the shifted set shows).
    drawKeyboard(canvas.renderer(), font.get(), area, 0, 0, 1, 4, true, "gb", true, true);
    const KeyRows rows = keyboardLayoutKeys("gb", true, true);
    const auto g = keyboardGeometry(rows, area);
    ASSERT_TRUE(g.has_value());

    for (std::size_t r = 0; r < rows.size(); ++r) {
        for (std::size_t k = 0; k < rows[r].size(); ++k) {
            const std::string& label = rows[r][k];
            SCOPED_TRACE(label);
            const KeyBox& box = g->keys[r][k];
            const bool highlighted = (r == 0 && k == 0) || (r == 1 && k == 4);
            const bool on = label == "SHIFT" || label == "CAPS";
            if (highlighted) {
                EXPECT_EQ(fillOf(box), accent);
                EXPECT_EQ(cornerOf(box), accent);  // no outline
                EXPECT_GT(darkIn(box), 0);  // black label
                EXPECT_EQ(lightIn(box), 0);
            } else if (on) {
                EXPECT_EQ(fillOf(box), toggled);
                EXPECT_EQ(cornerOf(box), toggled);
                EXPECT_GT(lightIn(box), 0);
            } else {
                EXPECT_EQ(fillOf(box), plain);
                EXPECT_EQ(cornerOf(box), outline);
                if (label != "ENTER") {
                    EXPECT_EQ(canvas.at(box.x + box.w - 1, box.y + box.h - 1), outline);
                }
                EXPECT_GT(lightIn(box), 0);
                EXPECT_EQ(darkIn(box), 0);
            }
            // Nothing is drawn in the gap after a key.
            if (k + 1 < rows[r].size()) {
                EXPECT_EQ(canvas.at(box.x + box.w + 2, box.y + 5), SoftwareCanvas::backdrop);
            }
        }
    }
    // Nothing outside the keyboard's width.
    EXPECT_EQ(canvas.drawn(0, 0, g->left, canvas.height()), 0);
    EXPECT_EQ(canvas.drawn(g->right + 1, 0, canvas.width(), canvas.height()), 0);
}

TEST_F(KeyboardDrawing, EnterReachesDownBesideTheThirdRowWithOneOutline) {
    drawKeyboard(canvas.renderer(), font.get(), area, 4, 0, 0, 0, false, "gb", false, false);
    const auto g = keyboardGeometry(keyboardLayoutKeys("gb", false, false), area);
    ASSERT_TRUE(g.has_value());
    const KeyBox upper = g->keys[1].back();
    const KeyBox lower = g->enterLower(upper);
    EXPECT_EQ(fillOf(upper), plain);
    EXPECT_EQ(fillOf(lower), plain);
    EXPECT_EQ(canvas.at(lower.x + 2, lower.y + lower.h - 3), plain);
    // The outline runs round both parts: along the right edge down to the lower part's bottom,
    // and up its left edge; no line between the two parts.
    EXPECT_EQ(canvas.at(g->right, upper.y + upper.h + 10), outline);
    EXPECT_EQ(canvas.at(g->enterLeft, upper.y + upper.h + 10), outline);
    EXPECT_EQ(canvas.at(g->enterLeft + 5, upper.y + 2 * g->keyHeight + 6), outline);
    EXPECT_EQ(canvas.at(g->enterLeft + 5, upper.y + upper.h), plain);
    // The label sits in the upper part only.
    EXPECT_GT(lightIn(upper), 0);
    EXPECT_EQ(lightIn(KeyBox{lower.x, lower.y + 8, lower.w, lower.h - 8}), 0);
    // The selected SPACE key.
    EXPECT_EQ(fillOf(g->keys[4][0]), accent);
    // Shift and Caps off: drawn plain.
    EXPECT_EQ(cornerOf(g->keys[3][0]), outline);
    EXPECT_EQ(cornerOf(g->keys[2][0]), outline);
}

TEST_F(KeyboardDrawing, TheSelectedAndTheHighlightedKeyCanBeOneKey) {
    drawKeyboard(canvas.renderer(), font.get(), area, 2, 5, 2, 5, true, "de", false, false);
    const auto g = keyboardGeometry(keyboardLayoutKeys("de", false, false), area);
    ASSERT_TRUE(g.has_value());
    EXPECT_EQ(fillOf(g->keys[2][5]), accent);
    // An inactive highlight draws nothing.
    canvas.clear();
    drawKeyboard(canvas.renderer(), font.get(), area, 0, 0, 2, 5, false, "de", false, false);
    EXPECT_EQ(fillOf(g->keys[2][5]), plain);
    EXPECT_EQ(fillOf(g->keys[0][0]), accent);
}

TEST_F(KeyboardDrawing, NothingIsDrawnWithoutARendererAFontOrAnArea) {
    drawKeyboard(canvas.renderer(), nullptr, area, 0, 0, 0, 0, false, "gb", false, false);
    for (const SDL_Rect bad : {SDL_Rect{0, 0, 0, 400}, SDL_Rect{0, 0, 1000, 0}, SDL_Rect{10, 10, -5, -5}}) {
        drawKeyboard(canvas.renderer(), font.get(), bad, 0, 0, 0, 0, false, "gb", false, false);
    }
    EXPECT_EQ(canvas.drawnAnywhere(), 0);
    drawKeyboard(nullptr, font.get(), area, 0, 0, 0, 0, false, "gb", false, false);

    // A tiny area and one far larger than the target still draw, clipped by the renderer.
    drawKeyboard(canvas.renderer(), font.get(), SDL_Rect{500, 200, 1, 1}, 0, 0, 0, 0, false, "gb", false, false);
    EXPECT_GT(canvas.drawnAnywhere(), 0);
    drawKeyboard(canvas.renderer(), font.get(), SDL_Rect{-50000, -50000, 100000, 100000}, 0, 0, 0, 0, false, "gb",
                 false, false);
    EXPECT_GT(canvas.drawnAnywhere(), 0);
}

TEST_F(KeyboardDrawing, TheStateRecordDrawsTheSameKeyboard) {
    testing::ManualClock clock;
    KeyboardState state;
    state.clock = &clock;
    state.layout = 3;
    state.caps = true;
    highlightKey(state, "M");  // French row 3 under Caps Lock
    state.keyRow = 0;
    state.keyColumn = 1;
    drawKeyboard(canvas.renderer(), font.get(), area, state);
    const auto g = keyboardGeometry(keyboardLayoutKeys("fr", false, true), area);
    ASSERT_TRUE(g.has_value());
    EXPECT_EQ(fillOf(g->keys[2][10]), accent);
    EXPECT_EQ(fillOf(g->keys[0][1]), accent);
    EXPECT_EQ(fillOf(g->keys[2][0]), toggled);
    EXPECT_EQ(fillOf(g->keys[3][0]), plain);
}

}  // namespace
}  // namespace lumetta::wifi
