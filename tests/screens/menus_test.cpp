#include "screens/menus.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "objects/font_path.h"
#include "objects/text_lines.h"
#include "screens/menu_list.h"
#include "support/manual_clock.h"
#include "support/overlay_screen.h"

namespace lumetta::screens {
namespace {

using lumetta::testing::kBackdrop;
using lumetta::testing::kBlack;
using lumetta::testing::kGrey;
using lumetta::testing::kOrange;
using lumetta::testing::ManualClock;
using lumetta::testing::OverlayScreen;

const std::string ellipsis = "\xE2\x80\xA6";

// ---------------------------------------------------------------------------------------------
// Arithmetic and labels

TEST(MenuList, RowsFitBelowTheTitleLines) {
    struct Case {
        int height, header, rowHeight, rows;
    } cases[] = {
        {1000, 2, 64, 13},  // playlist menu on a 1920 x 1080 slide
        {1000, 3, 48, 17},  // resolution menu on the same slide
        {128, 2, 64, 1},    // no room below the title: one row all the same
        {100, 2, 64, 1},
        {1000, 2, 0, 1},    // no row height
        {-5, 3, 48, 1},
        {2080, 3, 48, 40},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(menuRowCount(c.height, c.header, c.rowHeight), c.rows) << c.height << " " << c.rowHeight;
    }
}

TEST(MenuList, SelectionStaysInsideTheWindowOfRows) {
    struct Case {
        std::size_t count, rows, selected, first;
        std::size_t wantSelected, wantFirst;
    } cases[] = {
        {0, 13, 7, 3, 0, 0},      // empty list
        {5, 13, 9, 2, 4, 0},      // clamped; the whole list fits
        {30, 13, 29, 0, 29, 17},  // scrolled down to the end
        {30, 13, 3, 10, 3, 3},    // scrolled up to the highlight
        {30, 13, 12, 0, 12, 0},   // last row of the window
        {30, 13, 13, 0, 13, 1},   // one past it
        {30, 13, 20, 25, 20, 17}, // window past the end pulled back
    };
    for (const Case& c : cases) {
        std::size_t selected = c.selected, first = c.first;
        keepSelectionVisible(c.count, c.rows, selected, first);
        EXPECT_EQ(selected, c.wantSelected) << c.count << "/" << c.selected;
        EXPECT_EQ(first, c.wantFirst) << c.count << "/" << c.selected;
    }
}

TEST(MenuList, CountdownRunsFrom15To1) {
    const std::uint64_t key = 50000;
    struct Case {
        std::uint64_t after;
        int seconds;
    } cases[] = {{0, 15}, {999, 15}, {1000, 14}, {13999, 2}, {14000, 1}, {14999, 1}, {15000, 0}, {90000, 0}};
    for (const Case& c : cases) EXPECT_EQ(countdownSeconds(key, key + c.after), c.seconds) << c.after;
}

TEST(MenuList, BannerSitsAtTheBottomRight) {
    struct Case {
        int w, h;
        SDL_Rect box;
        int font, bar;
    } cases[] = {
        {1920, 1080, {1515, 1000, 375, 50}, 25, 6},
        {1280, 720, {990, 664, 270, 36}, 18, 6},
        {200, 300, {20, 244, 160, 36}, 18, 6},  // narrow: the box shrinks with the slide
        {3840, 2160, {3330, 2040, 450, 60}, 30, 12},
        {1080, 1920, {577, 1807, 450, 60}, 30, 10},
    };
    for (const Case& c : cases) {
        const CountdownBanner b = countdownBanner(c.w, c.h);
        EXPECT_EQ(b.box.x, c.box.x) << c.w << "x" << c.h;
        EXPECT_EQ(b.box.y, c.box.y) << c.w << "x" << c.h;
        EXPECT_EQ(b.box.w, c.box.w) << c.w << "x" << c.h;
        EXPECT_EQ(b.box.h, c.box.h) << c.w << "x" << c.h;
        EXPECT_EQ(b.fontSize, c.font) << c.w << "x" << c.h;
        EXPECT_EQ(b.barWidth, c.bar) << c.w << "x" << c.h;
    }
}

TEST(MenuList, PlaylistLabelsLoseControlBytes) {
    struct Case {
        std::string name, label;
    } cases[] = {
        {"Lobby\tnorth\r\nwall", "Lobby north  wall"},
        {std::string("a\x01\x1b[31mb\x7f", 9) + std::string(1, '\0') + "c", "a[31mbc"},
        {"Caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x93\xBA", "Caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x93\xBA"},
        {"", ""},
    };
    for (const Case& c : cases) {
        bool cut = true;
        EXPECT_EQ(playlistLabel(c.name, 4096, &cut), c.label);
        EXPECT_FALSE(cut);
    }

    // Long names are kept to about the limit without cutting a character in half; a cut that
    // leaves only dropped bytes behind is no cut.
    bool cut = false;
    const std::string wide = std::string(3, 'x') + "\xE6\x97\xA5\xE6\x9C\xAC";
    EXPECT_EQ(playlistLabel(wide, 4, &cut), "xxx\xE6\x97\xA5");
    EXPECT_TRUE(cut);
    EXPECT_EQ(playlistLabel("abcd\x01\x02\x03", 4, &cut), "abcd");
    EXPECT_FALSE(cut);
    EXPECT_EQ(playlistLabel(std::string(1'000'000, 'n'), 4096, &cut).size(), 4096u);
    EXPECT_TRUE(cut);
    EXPECT_EQ(playlistLabel(std::string(1'000'000, '\x89'), 4096, &cut).size(), 4099u) << "not UTF-8";
    EXPECT_TRUE(cut);
}

TEST(MenuList, ModeLabels) {
    const auto mode = [](int w, int h, float rate, bool current) {
        DisplayMode m;
        m.width = w, m.height = h, m.refreshRate = rate, m.current = current;
        return m;
    };
    struct Case {
        DisplayMode mode;
        std::string label;
    } cases[] = {
        {mode(1920, 1080, 59.94f, true), "1920x1080 @ 59.94 Hz  (current)"},
        {mode(1920, 1080, 60.0f, false), "1920x1080 @ 60 Hz"},
        {mode(1280, 720, 50.005f, false), "1280x720 @ 50 Hz"},
        {mode(3840, 2160, 29.97f, false), "3840x2160 @ 29.97 Hz"},
        {mode(720, 576, 0.0f, false), "720x576"},
        {mode(720, 576, -1.0f, true), "720x576  (current)"},
    };
    for (const Case& c : cases) EXPECT_EQ(modeLabel(c.mode), c.label);
}

// ---------------------------------------------------------------------------------------------
// The menus on a 1920 x 1080 slide

std::vector<PlaylistChoice> numbered(int count) {
    std::vector<PlaylistChoice> list;
    for (int i = 0; i < count; ++i) list.push_back({"Playlist " + std::to_string(i), "id-" + std::to_string(i)});
    return list;
}

DisplayMode mode(int w, int h, float rate, bool current = false) {
    DisplayMode m;
    m.width = w, m.height = h, m.refreshRate = rate, m.current = current;
    return m;
}

class MenuTest : public ::testing::Test {
protected:
    MenuTest() : screen_(640, 360) {}

    std::unique_ptr<PlaylistMenu> playlistMenu(int slideWidth = 1920, int slideHeight = 1080) {
        return std::make_unique<PlaylistMenu>(screen_.display(), slideWidth, slideHeight, 40, 40, slideWidth - 80,
                                              slideHeight - 80, 64, "Lato", [this] { return offered_; }, clock_);
    }
    std::unique_ptr<ResolutionMenu> resolutionMenu() {
        return std::make_unique<ResolutionMenu>(screen_.display(), 1920, 1080, 40, 40, 1840, 1000, 48, "Lato",
                                                [this] { return modes_; }, clock_);
    }

    // The rows of the list text, title lines included.
    static std::vector<std::string> lines(const std::string& content) { return splitTextSegments(content, "\n"); }

    OverlayScreen screen_;
    ManualClock clock_;
    std::vector<PlaylistChoice> offered_ = numbered(30);
    std::vector<DisplayMode> modes_;
};

TEST_F(MenuTest, ClosedMenusTakeOnlyTheirOpeningKey) {
    struct Case {
        bool playlist;
        SDL_Keycode key;
        bool repeat;
        bool consumed, opens;
    } cases[] = {
        {true, SDLK_RETURN, false, true, true},
        {true, SDLK_KP_ENTER, false, true, true},
        {true, SDLK_RETURN, true, true, false},  // a held Enter is swallowed, never opens
        {true, SDLK_R, false, false, false},
        {true, SDLK_ESCAPE, false, false, false},
        {false, SDLK_R, false, true, true},
        {false, SDLK_R, true, false, false},  // a held "r" goes on to the other handlers
        {false, SDLK_RETURN, false, false, false},
        {false, SDLK_RIGHT, false, false, false},
    };
    for (const Case& c : cases) {
        modes_ = {mode(1920, 1080, 60, true)};
        std::unique_ptr<ListMenu<PlaylistChoice>> p;
        std::unique_ptr<ListMenu<DisplayMode>> r;
        bool consumed = false, open = false;
        if (c.playlist) {
            p = playlistMenu();
            consumed = p->handleKey(c.key, c.repeat);
            open = p->isOpen();
            EXPECT_FALSE(p->result());
        } else {
            r = resolutionMenu();
            consumed = r->handleKey(c.key, c.repeat);
            open = r->isOpen();
            EXPECT_FALSE(r->result());
        }
        EXPECT_EQ(consumed, c.consumed) << c.playlist << " key " << c.key << " repeat " << c.repeat;
        EXPECT_EQ(open, c.opens) << c.playlist << " key " << c.key << " repeat " << c.repeat;
    }
}

TEST_F(MenuTest, NavigationWrapsAndStopsAtTheEnds) {
    struct Case {
        std::vector<SDL_Keycode> keys;
        std::size_t selected, first;
    } cases[] = {
        {{SDLK_UP}, 29, 17},                       // up on the first row wraps to the last
        {{SDLK_END, SDLK_DOWN}, 0, 0},             // down on the last wraps to the first
        {{SDLK_PAGEDOWN}, 13, 1},
        {{SDLK_PAGEDOWN, SDLK_PAGEDOWN, SDLK_PAGEDOWN}, 29, 17},  // stops at the end
        {{SDLK_DOWN, SDLK_DOWN, SDLK_PAGEUP}, 0, 0},             // stops at the start
        {{SDLK_END, SDLK_PAGEUP}, 16, 16},
        {{SDLK_END, SDLK_HOME}, 0, 0},
        {{SDLK_DOWN, SDLK_DOWN, SDLK_UP}, 1, 0},
        {{SDLK_DOWN, SDLK_A, SDLK_LCTRL, SDLK_F5}, 1, 0},  // other keys change nothing
    };
    for (const Case& c : cases) {
        auto menu = playlistMenu();
        ASSERT_TRUE(menu->handleKey(SDLK_RETURN, false));
        ASSERT_EQ(menu->rows(), 13);
        for (SDL_Keycode key : c.keys) EXPECT_TRUE(menu->handleKey(key, false)) << "every key is consumed";
        EXPECT_EQ(menu->selected(), c.selected) << ::testing::PrintToString(c.keys);
        EXPECT_EQ(menu->firstVisible(), c.first) << ::testing::PrintToString(c.keys);
        EXPECT_TRUE(menu->isOpen());
    }
}

TEST_F(MenuTest, ConfirmingHandsOverTheChoiceOnce) {
    auto menu = playlistMenu();
    menu->handleKey(SDLK_RETURN, false);
    menu->handleKey(SDLK_DOWN, false);
    menu->handleKey(SDLK_DOWN, false);
    EXPECT_TRUE(menu->handleKey(SDLK_RETURN, true));  // held: nothing
    EXPECT_TRUE(menu->isOpen());
    EXPECT_FALSE(menu->result());
    EXPECT_TRUE(menu->handleKey(SDLK_KP_ENTER, false));
    EXPECT_FALSE(menu->isOpen());
    EXPECT_FALSE(menu->hasList());
    EXPECT_FALSE(menu->hasBanner());
    EXPECT_EQ(menu->result(), (PlaylistChoice{"Playlist 2", "id-2"}));
    EXPECT_FALSE(menu->result()) << "moved out";

    // Escape (with or without Ctrl before it), Backspace and the remote's Back close without a choice.
    for (SDL_Keycode closing : {SDLK_ESCAPE, SDLK_BACKSPACE, SDLK_AC_BACK}) {
        menu->handleKey(SDLK_RETURN, false);
        menu->handleKey(SDLK_LCTRL, false);
        menu->handleKey(SDLK_DOWN, false);
        EXPECT_TRUE(menu->handleKey(closing, false));
        EXPECT_FALSE(menu->isOpen()) << closing;
        EXPECT_FALSE(menu->result()) << closing;
    }
}

TEST_F(MenuTest, AnEmptyListOnlyClosesWithoutAChoice) {
    offered_.clear();
    auto menu = playlistMenu();
    menu->handleKey(SDLK_RETURN, false);
    EXPECT_EQ(lines(menu->listContent()).back(), "\xC2\xA0No playlists available");
    for (SDL_Keycode key : {SDLK_UP, SDLK_DOWN, SDLK_PAGEUP, SDLK_PAGEDOWN, SDLK_HOME, SDLK_END}) {
        EXPECT_TRUE(menu->handleKey(key, false));
        EXPECT_EQ(menu->selected(), 0u);
    }
    EXPECT_TRUE(menu->handleKey(SDLK_RETURN, false));
    EXPECT_FALSE(menu->isOpen());
    EXPECT_FALSE(menu->result());

    auto modes = resolutionMenu();
    modes->handleKey(SDLK_R, false);
    EXPECT_EQ(lines(modes->listContent()).back(), "\xC2\xA0No fullscreen modes available");
    modes->handleKey(SDLK_RETURN, false);
    EXPECT_FALSE(modes->result());
}

TEST_F(MenuTest, ListTextShowsTheWindowWithTheHighlight) {
    offered_ = numbered(30);
    offered_[16].name = "Lobby\tnorth\r\nwall\x07";
    auto menu = playlistMenu();
    menu->handleKey(SDLK_RETURN, false);
    for (int i = 0; i < 16; ++i) menu->handleKey(SDLK_DOWN, false);
    const auto rows = lines(menu->listContent());
    ASSERT_EQ(rows.size(), 2u + 13u);
    EXPECT_EQ(rows[0], "\033[38;2;255;128;0mSelect Playlist\033[0m");
    EXPECT_EQ(rows[1], "");
    EXPECT_EQ(rows[2], " Playlist 4");  // 16 is the last of 13 rows: 4..16
    EXPECT_EQ(rows[14], "\033[38;2;0;0;0m\033[48;2;255;128;0m Lobby north  wall\033[0m");

    modes_ = {mode(3840, 2160, 30), mode(1920, 1080, 59.94f, true), mode(1280, 720, 0)};
    auto modes = resolutionMenu();
    modes->handleKey(SDLK_R, false);
    EXPECT_EQ(modes->rows(), 17);
    EXPECT_EQ(modes->selected(), 1u) << "opens on the mode in use";
    const auto modeRows = lines(modes->listContent());
    ASSERT_EQ(modeRows.size(), 3u + 3u);
    EXPECT_EQ(modeRows[1], "Use arrows to scroll, Enter to apply");
    EXPECT_EQ(modeRows[3], " 3840x2160 @ 30 Hz");
    EXPECT_EQ(modeRows[4], "\033[38;2;0;0;0m\033[48;2;255;128;0m 1920x1080 @ 59.94 Hz  (current)\033[0m");
    EXPECT_EQ(modeRows[5], " 1280x720");
    modes->handleKey(SDLK_UP, false);
    modes->handleKey(SDLK_RETURN, false);
    const auto chosen = modes->result();
    ASSERT_TRUE(chosen);
    EXPECT_EQ(chosen->width, 3840);
    EXPECT_FALSE(chosen->current);
}

TEST_F(MenuTest, WideNamesAreCutToTheRowWithAnEllipsis) {
    const int limit = 1840 - 64;
    const std::string wide(400, 'W');
    offered_ = {{wide, "w"}, {std::string(1'000'000, 'm'), "m"}, {"Short", "s"}};
    auto menu = playlistMenu();
    menu->handleKey(SDLK_RETURN, false);
    const auto rows = lines(menu->listContent());
    ASSERT_EQ(rows.size(), 5u);
    const std::string prefix = "\033[38;2;0;0;0m\033[48;2;255;128;0m ";
    ASSERT_EQ(rows[2].rfind(prefix, 0), 0u);
    const std::string first = rows[2].substr(prefix.size(), rows[2].size() - prefix.size() - 4);
    const std::string second = rows[3].substr(1);
    const std::string font = fontPath("Lato", 0);
    for (const std::string& label : {first, second}) {
        ASSERT_GT(label.size(), ellipsis.size());
        EXPECT_EQ(label.substr(label.size() - ellipsis.size()), ellipsis);
        EXPECT_LE(testing::textSize(font, 64, label).x, limit);
        // One more letter would not have fitted.
        const std::string longer = label.substr(0, label.size() - ellipsis.size()) + label[0] + ellipsis;
        EXPECT_GT(testing::textSize(font, 64, longer).x, limit);
    }
    EXPECT_EQ(rows[4], " Short");
}

TEST_F(MenuTest, ReopeningKeepsTheHighlightOnTheSamePlaylist) {
    offered_ = {{"A", "a"}, {"B", "b"}, {"C", "c"}, {"D", "d"}};
    auto menu = playlistMenu();
    menu->handleKey(SDLK_RETURN, false);
    menu->handleKey(SDLK_DOWN, false);
    menu->handleKey(SDLK_ESCAPE, false);

    struct Case {
        std::vector<PlaylistChoice> offered;
        std::size_t selected;
    } cases[] = {
        {{{"X", "x"}, {"Y", "y"}, {"C", "c"}, {"B", "b"}}, 3},  // "b" moved: followed
        {{{"B again", "b"}, {"B", "b"}}, 0},                    // duplicate ids: the first
        {{{"P", "p"}, {"Q", "q"}}, 0},                          // gone: the old index, clamped
        {{{"1", "1"}, {"2", "2"}, {"3", "3"}}, 0},
    };
    for (const Case& c : cases) {
        offered_ = c.offered;
        menu->handleKey(SDLK_RETURN, false);
        EXPECT_EQ(menu->selected(), c.selected);
        menu->handleKey(SDLK_ESCAPE, false);
    }
    offered_ = {{"1", "1"}, {"2", "2"}, {"3", "3"}};
    menu->handleKey(SDLK_RETURN, false);
    menu->handleKey(SDLK_END, false);
    menu->handleKey(SDLK_ESCAPE, false);
    offered_ = {{"9", "9"}};
    menu->handleKey(SDLK_RETURN, false);
    EXPECT_EQ(menu->selected(), 0u) << "index 2 clamped to the one entry";
}

TEST_F(MenuTest, IdleMenuCountsDownAndClosesAfter15Seconds) {
    auto menu = playlistMenu();
    menu->handleKey(SDLK_RETURN, false);
    EXPECT_EQ(menu->shownSeconds(), 15);
    EXPECT_TRUE(menu->hasBanner());
    EXPECT_FALSE(menu->tickCountdown()) << "15 is already on show";

    struct Step {
        std::int64_t advance;
        bool changed;
        int seconds;
        bool open;
    } steps[] = {
        {999, false, 15, true},  {1, true, 14, true},    {500, false, 14, true},
        {12500, true, 1, true},  {999, false, 1, true},  {1, true, 0, false},
        {5000, false, 0, false},
    };
    for (const Step& s : steps) {
        clock_.advance(s.advance);
        EXPECT_EQ(menu->tickCountdown(), s.changed) << "after " << s.advance;
        EXPECT_EQ(menu->shownSeconds(), s.seconds);
        EXPECT_EQ(menu->isOpen(), s.open);
    }
    EXPECT_FALSE(menu->hasBanner());
    EXPECT_FALSE(menu->hasList());

    // Any key, even one that does nothing, starts the 15 seconds again.
    menu->handleKey(SDLK_RETURN, false);
    clock_.advance(10000);
    EXPECT_TRUE(menu->tickCountdown());
    EXPECT_EQ(menu->shownSeconds(), 5);
    EXPECT_TRUE(menu->handleKey(SDLK_F1, false));
    EXPECT_EQ(menu->shownSeconds(), 0);
    EXPECT_TRUE(menu->tickCountdown());
    EXPECT_EQ(menu->shownSeconds(), 15);
    clock_.advance(14999);
    menu->tickCountdown();
    EXPECT_TRUE(menu->isOpen());
    clock_.advance(1);
    EXPECT_TRUE(menu->tickCountdown());
    EXPECT_FALSE(menu->isOpen());
}

// The menu hides the slide: black over the whole output, the highlighted row on orange, the
// banner grey with its orange bar at the bottom right.
TEST(MenuPicture, CoverListAndBannerOnA1080Screen) {
    OverlayScreen screen(1920, 1080);
    ManualClock clock;
    PlaylistMenu menu(screen.display(), 1920, 1080, 40, 40, 1840, 1000, 64, "Lato",
                      [] { return numbered(3); }, clock);
    screen.clear();
    menu.drawOverlay();
    EXPECT_EQ(screen.capture().at(5, 5), kBackdrop) << "closed: nothing drawn";

    menu.handleKey(SDLK_RETURN, false);
    menu.handleKey(SDLK_DOWN, false);
    screen.clear();
    menu.drawOverlay();
    const testing::Frame f = screen.capture();
    EXPECT_EQ(testing::countIn(f, {0, 0, 1920, 1080}, kBackdrop), 0) << "the slide is hidden";
    EXPECT_EQ(f.at(1900, 5), kBlack);
    // Rows start 2 rows of 64 below y = 40; the second one (y 232..) is highlighted.
    EXPECT_GT(testing::countIn(f, {40, 240, 400, 40}, kOrange, 2), 2000);
    EXPECT_EQ(testing::countIn(f, {40, 180, 400, 40}, kOrange, 2), 0);
    EXPECT_GT(testing::countIn(f, {40, 180, 400, 40}, testing::kWhite, 2), 100);
    // Banner 375 x 50 at (1515, 1000): bar 6 wide, then grey.
    EXPECT_EQ(testing::countIn(f, {1515, 1000, 6, 50}, kOrange), 300);
    EXPECT_EQ(f.at(1521, 1002), kGrey);
    EXPECT_EQ(f.at(1888, 1048), kGrey);
    EXPECT_EQ(f.at(1514, 1025), kBlack);
    EXPECT_EQ(f.at(1890, 1025), kBlack);
    EXPECT_GT(testing::countIn(f, {1521, 1000, 369, 50}, testing::kWhite, 2), 50) << "the words";

    // The renderer's blend mode and colour are left as found.
    SDL_SetRenderDrawBlendMode(screen.renderer(), SDL_BLENDMODE_ADD);
    SDL_SetRenderDrawColor(screen.renderer(), 1, 2, 3, 4);
    menu.drawOverlay();
    SDL_BlendMode blend;
    Uint8 r, g, b, a;
    SDL_GetRenderDrawBlendMode(screen.renderer(), &blend);
    SDL_GetRenderDrawColor(screen.renderer(), &r, &g, &b, &a);
    EXPECT_EQ(blend, SDL_BLENDMODE_ADD);
    EXPECT_EQ((std::vector<int>{r, g, b, a}), (std::vector<int>{1, 2, 3, 4}));
}

TEST_F(MenuTest, AMenuThatCannotBeBuiltStaysOpenBehindItsCover) {
    ::testing::internal::CaptureStderr();
    auto menu = playlistMenu(60, 60);  // the menu rectangle has no area
    EXPECT_TRUE(menu->handleKey(SDLK_RETURN, false));
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("[PLAYLIST] Could not render menu: "), std::string::npos) << err;
    EXPECT_TRUE(menu->isOpen());
    EXPECT_FALSE(menu->hasList());
    EXPECT_TRUE(menu->handleKey(SDLK_DOWN, false));
    screen_.clear();
    menu->drawOverlay();
    EXPECT_EQ(testing::countIn(screen_.capture(), {0, 0, 640, 360}, kBlack), 640 * 360);
    EXPECT_TRUE(menu->handleKey(SDLK_ESCAPE, false));
    EXPECT_FALSE(menu->isOpen());
}

TEST_F(MenuTest, ABannerThatCannotBeBuiltLeavesTheMenuOpen) {
    // A slide 40 wide leaves the list room but the banner (width - 40) none.
    modes_ = {mode(1920, 1080, 60, true)};
    ResolutionMenu menu(screen_.display(), 40, 700, 0, 0, 40, 700, 10, "Lato", [this] { return modes_; }, clock_);
    ::testing::internal::CaptureStderr();
    menu.handleKey(SDLK_R, false);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("[RESOLUTION] Could not render menu: "), std::string::npos) << err;
    ::testing::internal::CaptureStderr();
    clock_.advance(1000);
    EXPECT_TRUE(menu.tickCountdown());
    err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("[RESOLUTION] Could not render countdown: "), std::string::npos) << err;
    EXPECT_TRUE(menu.isOpen());
    EXPECT_FALSE(menu.hasBanner());
}

TEST_F(MenuTest, TenThousandOfferedPlaylistsWithHostileNames) {
    offered_.clear();
    for (int i = 0; i < 10000; ++i) {
        std::string name = "P" + std::to_string(i) + std::string("\x01\x02\x1b[2J\t", 8);
        if (i % 1000 == 0) name += std::string(1'000'000, static_cast<char>('a' + i / 1000));
        offered_.push_back({name, i % 2 == 0 ? "even" : "odd"});  // duplicate ids
    }
    auto menu = playlistMenu();
    menu->handleKey(SDLK_RETURN, false);
    EXPECT_EQ(menu->entries().size(), 10000u);
    menu->handleKey(SDLK_END, false);
    EXPECT_EQ(menu->firstVisible(), 10000u - 13u);
    menu->handleKey(SDLK_HOME, false);
    const auto rows = lines(menu->listContent());
    ASSERT_EQ(rows.size(), 15u);
    for (const std::string& row : rows) {
        EXPECT_EQ(row.find('\x01'), std::string::npos);
        EXPECT_EQ(row.find("\x1b[2J"), std::string::npos);
    }
    menu->handleKey(SDLK_ESCAPE, false);
    menu->handleKey(SDLK_RETURN, false);
    EXPECT_EQ(menu->selected(), 0u);
    menu->handleKey(SDLK_DOWN, false);
    menu->handleKey(SDLK_ESCAPE, false);
    menu->handleKey(SDLK_RETURN, false);
    EXPECT_EQ(menu->selected(), 1u) << "the first entry with id \"odd\"";
    menu->handleKey(SDLK_PAGEDOWN, false);
    menu->handleKey(SDLK_RETURN, false);
    const auto chosen = menu->result();
    ASSERT_TRUE(chosen);
    EXPECT_EQ(chosen->name, offered_[14].name);
}

// ---------------------------------------------------------------------------------------------
// A chosen mode

TEST(ModeChoice, SwitchStoreAndReboot) {
    struct Case {
        std::optional<DisplayMode> choice;
        bool applies, stores;
        ModeChoiceOutcome outcome;
        int applyCalls, storeCalls, reboots;
        const char* out;
        const char* err;
    } cases[] = {
        {std::nullopt, true, true, ModeChoiceOutcome::nothing, 0, 0, 0, "", ""},
        {mode(1920, 1080, 60, true), true, true, ModeChoiceOutcome::nothing, 0, 0, 0, "", ""},
        {mode(1280, 720, 60), false, true, ModeChoiceOutcome::notApplied, 1, 0, 0, "", ""},
        {mode(1280, 720, 60), true, false, ModeChoiceOutcome::notStored, 1, 1, 0, "",
         "[RESOLUTION] Could not save persistent override\n"},
        {mode(1280, 720, 60), true, true, ModeChoiceOutcome::rebooting, 1, 1, 1,
         "[RESOLUTION] Override saved; rebooting\n", ""},
    };
    for (const Case& c : cases) {
        int applyCalls = 0, storeCalls = 0, reboots = 0;
        std::optional<DisplayMode> stored;
        ModeChoiceActions actions;
        actions.apply = [&](const DisplayMode&) { return ++applyCalls, c.applies; };
        actions.store = [&](const DisplayMode& m) {
            stored = m;
            return ++storeCalls, c.stores;
        };
        actions.reboot = [&] { ++reboots; };
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(applyChosenMode(c.choice, actions), c.outcome);
        const std::string out = ::testing::internal::GetCapturedStdout();
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(out, c.out);
        EXPECT_EQ(err, c.err);
        EXPECT_EQ(applyCalls, c.applyCalls);
        EXPECT_EQ(storeCalls, c.storeCalls);
        EXPECT_EQ(reboots, c.reboots);
        if (storeCalls > 0) {
            EXPECT_EQ(stored->width, 1280);
        }
    }
}

}  // namespace
}  // namespace lumetta::screens
