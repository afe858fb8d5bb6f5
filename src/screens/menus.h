#pragma once
// The two on-screen choosers a person at the screen opens with the keyboard or the remote
// control: the playlist menu (the playlists the service offers this display; the loop asks the
// service for the one chosen) and the resolution menu (the display's full-screen modes; the loop
// switches, stores the choice and reboots). Both are one design: closed until their key, a
// scrolling list with one highlighted row drawn as one text element over a black cover, an
// idle close 15 s after the last key with a "Closing in N seconds" banner, and a confirmed
// choice the loop takes after each key.
//
// Each menu is a screen: it takes key-downs (`takeEvent`, or `handleKey` for a key alone), draws
// its overlay, and is finished while closed. The player loop owns one of each (rebuilt whenever
// it makes a playlist current), and on the main thread:
//   - offers every key-down to them (routing: see the loop) and, when one consumed it, takes
//     its `result()`;
//   - calls `tickCountdown()` once per cycle and redraws when it returns true or `isOpen()`
//     changed;
//   - draws them on every presented frame after the slide, playlist menu first.

#include <SDL3/SDL.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/display_mode.h"
#include "display/sdl_handles.h"
#include "objects/rectangle.h"
#include "objects/text.h"
#include "screens/screen.h"

namespace lumetta {
class Display;
}

namespace lumetta::screens {

// One playlist the service offers this display: the name is shown, the id identifies it.
struct PlaylistChoice {
    std::string name;
    std::string id;
    bool operator==(const PlaylistChoice&) const = default;
};

// Where the playlist menu gets its list each time it opens (the server link's offered playlists).
using PlaylistSource = std::function<std::vector<PlaylistChoice>()>;
// Where the resolution menu gets the modes each time it opens (the display's full-screen modes).
using ModeSource = std::function<std::vector<DisplayMode>()>;

// What tells the two menus apart; the rest is shared.
struct MenuTraits {
    int headerRows = 0;        // title lines above the list
    std::string title;         // with its own line ends
    std::string emptyText;     // shown when there is nothing to choose
    std::string tag;           // of the menu's log lines
    bool coverOutputSize = false;  // cover the output size (else the whole target)
    bool absorbAnyFailure = false; // a failure that is no std::exception is logged, not passed on
};

template <typename Entry>
class ListMenu : public Screen {
public:
    virtual ~ListMenu() = default;
    ListMenu(const ListMenu&) = delete;
    ListMenu& operator=(const ListMenu&) = delete;

    // A key-down (SDL keycode and its repeat flag). True when the menu consumed it: a closed
    // menu consumes only its opening key, an open one every key.
    bool handleKey(SDL_Keycode key, bool repeat);
    // Once per loop cycle: true when something on show changed (the banner's number, or the
    // menu closed after 15 s without a key).
    bool tickCountdown();
    // Over the frame: the black cover, the list and the banner; nothing while closed.
    void drawOverlay();
    bool isOpen() const { return open_; }

    // A key-down goes to `handleKey` (taken when consumed); every other event is ignored.
    ScreenAnswer takeEvent(const SDL_Event& event) override;
    // The overlay on the display's renderer and its current target (`output` is not needed).
    void draw(const ScreenOutput&) override { drawOverlay(); }
    bool finished() const override { return !open_; }
    // The confirmed choice, moved out (empty until the user confirms one, and afterwards).
    std::optional<Entry> result() {
        std::optional<Entry> taken = std::move(result_);
        result_.reset();
        return taken;
    }

    // The state on show, for the loop's checks and tests.
    const std::vector<Entry>& entries() const { return entries_; }
    std::size_t selected() const { return selected_; }
    std::size_t firstVisible() const { return firstVisible_; }
    int rows() const { return rows_; }
    int shownSeconds() const { return shownSeconds_; }
    // The text of the list element last built (colour sequences included); empty when none.
    const std::string& listContent() const { return listContent_; }
    bool hasList() const { return listText_ != nullptr; }
    bool hasBanner() const { return countdownText_ != nullptr && countdownBar_ != nullptr; }

protected:
    ListMenu(Display* display, int slideWidth, int slideHeight, int x, int y, int width, int height, int rowHeight,
             std::string fontFamily, MenuTraits traits, const Clock& clock);

    // How a closed menu answers a key.
    enum class ClosedKey { ignore, swallow, open };
    virtual ClosedKey closedKey(SDL_Keycode key, bool repeat) const = 0;
    // Fills the entries (and the highlight) for an opening.
    virtual void fetch() = 0;
    virtual std::string label(const Entry& entry) = 0;

    // A label cut to the row (the menu width less one row height) in the list's font, ending in
    // "…" when cut; `cutAlready` marks a label that was shortened before.
    std::string fitLabel(const std::string& label, bool cutAlready = false);

    std::vector<Entry> entries_;
    std::size_t selected_ = 0;
    std::size_t firstVisible_ = 0;

private:
    void refresh();
    void render();
    void draw();
    void drawCountdown();
    void close();
    void releaseElements();
    std::uint64_t now() const { return clock_->ticksMs(); }

    Display* display_;
    int slideWidth_;
    int slideHeight_;
    int x_, y_, width_, height_;
    int rowHeight_;
    std::string fontFamily_;
    MenuTraits traits_;
    const Clock* clock_;
    int rows_;
    std::optional<Entry> result_;
    bool open_ = false;
    std::uint64_t lastActivity_ = 0;
    int shownSeconds_ = 0;
    std::string listContent_;
    FontHandle labelFont_;  // opened on first need, for cutting labels
    std::unique_ptr<Text> listText_;
    std::unique_ptr<Text> countdownText_;
    std::unique_ptr<Rectangle> countdownBar_;
};

extern template class ListMenu<PlaylistChoice>;
extern template class ListMenu<DisplayMode>;

class PlaylistMenu final : public ListMenu<PlaylistChoice> {
public:
    static constexpr int defaultRowHeight = 64;

    // The menu rectangle is x, y, width, height on a slide of slideWidth x slideHeight (the loop
    // uses 40, 40, slide - 80); rowHeight is also the list's font size. `playlists` is asked on
    // every opening; the highlight follows the playlist id across openings.
    PlaylistMenu(Display* display, int slideWidth, int slideHeight, int x, int y, int width, int height,
                 int rowHeight, std::string fontFamily, PlaylistSource playlists,
                 const Clock& clock = systemClock());

private:
    ClosedKey closedKey(SDL_Keycode key, bool repeat) const override;
    void fetch() override;
    std::string label(const PlaylistChoice& entry) override;

    PlaylistSource playlists_;
};

class ResolutionMenu final : public ListMenu<DisplayMode> {
public:
    static constexpr int defaultRowHeight = 48;

    // As the playlist menu; the modes come from `modes`, by default the display's full-screen
    // modes (none without a display). Each opening starts on the mode in use.
    ResolutionMenu(Display* display, int slideWidth, int slideHeight, int x, int y, int width, int height,
                   int rowHeight, std::string fontFamily, ModeSource modes = {},
                   const Clock& clock = systemClock());

private:
    ClosedKey closedKey(SDL_Keycode key, bool repeat) const override;
    void fetch() override;
    std::string label(const DisplayMode& entry) override;

    ModeSource modes_;
};

// What happens to a mode chosen in the resolution menu.
struct ModeChoiceActions {
    std::function<bool(const DisplayMode&)> apply;  // switch the display now (it logs its own failure)
    std::function<bool(const DisplayMode&)> store;  // keep it as the persistent override
    std::function<void()> reboot;                   // the device's reboot
};

// The real actions: the display's switch, the configuration store under `configBase`, `reboot`.
ModeChoiceActions modeChoiceActions(Display& display, std::string configBase, std::function<void()> reboot);

enum class ModeChoiceOutcome {
    nothing,     // no choice, or the mode already in use
    notApplied,  // the display could not switch; nothing stored
    notStored,   // switched, but the override could not be stored: runs on in the new mode
    rebooting,   // switched, stored, reboot called
};

// Switches to the chosen mode, stores it and reboots; logs "[RESOLUTION] Override saved;
// rebooting" (standard output) or "[RESOLUTION] Could not save persistent override" (standard
// error). Choosing the mode in use does nothing.
ModeChoiceOutcome applyChosenMode(const std::optional<DisplayMode>& choice, const ModeChoiceActions& actions);

}  // namespace lumetta::screens
