#include "screens/menus.h"

#include <algorithm>
#include <exception>
#include <iostream>
#include <utility>

#include "core/config_store.h"
#include "core/log.h"
#include "display/display.h"
#include "objects/font_path.h"
#include "objects/text_lines.h"
#include "screens/menu_list.h"
#include "screens/overlay_box.h"

namespace lumetta::screens {

namespace {

constexpr SDL_Color white{255, 255, 255, 255};
constexpr SDL_Color transparent{0, 0, 0, 0};
constexpr SDL_Color boxGrey{34, 34, 34, 255};
constexpr SDL_Color accent{255, 128, 0, 255};

// No row can show more than this many bytes of a label (far wider than any screen in any font),
// so a name of a megabyte costs no more to measure than one of a few kilobytes.
constexpr std::size_t labelByteLimit = 4096;

constexpr const char* highlightStart = "\033[38;2;0;0;0m\033[48;2;255;128;0m ";
constexpr const char* styleReset = "\033[0m";

}  // namespace

template <typename Entry>
ListMenu<Entry>::ListMenu(Display* display, int slideWidth, int slideHeight, int x, int y, int width, int height,
                          int rowHeight, std::string fontFamily, MenuTraits traits, const Clock& clock)
    : display_(display),
      slideWidth_(slideWidth),
      slideHeight_(slideHeight),
      x_(x),
      y_(y),
      width_(width),
      height_(height),
      rowHeight_(rowHeight),
      fontFamily_(std::move(fontFamily)),
      traits_(std::move(traits)),
      clock_(&clock),
      rows_(menuRowCount(height, traits_.headerRows, rowHeight)) {}

template <typename Entry>
bool ListMenu<Entry>::handleKey(SDL_Keycode key, bool repeat) {
    if (!open_) {
        switch (closedKey(key, repeat)) {
            case ClosedKey::ignore: return false;
            case ClosedKey::swallow: return true;
            case ClosedKey::open: break;
        }
        open_ = true;
        lastActivity_ = now();
        shownSeconds_ = 0;
        refresh();
        return true;
    }

    // Every key counts as activity and is consumed, whether it does anything or not.
    lastActivity_ = now();
    shownSeconds_ = 0;
    const std::size_t count = entries_.size();
    const std::size_t rows = static_cast<std::size_t>(rows_);
    bool moved = false;
    switch (key) {
        case SDLK_UP:
            if (count > 0) selected_ = selected_ == 0 ? count - 1 : selected_ - 1, moved = true;
            break;
        case SDLK_DOWN:
            if (count > 0) selected_ = (selected_ + 1) % count, moved = true;
            break;
        case SDLK_PAGEUP:
            if (count > 0) selected_ = selected_ > rows ? selected_ - rows : 0, moved = true;
            break;
        case SDLK_PAGEDOWN:
            if (count > 0) selected_ = std::min(count - 1, selected_ + rows), moved = true;
            break;
        case SDLK_HOME:
            if (count > 0) selected_ = firstVisible_ = 0, moved = true;
            break;
        case SDLK_END:
            if (count > 0) selected_ = count - 1, moved = true;
            break;
        case SDLK_RETURN:
        case SDLK_KP_ENTER:
            if (repeat) break;  // a held Enter never confirms
            if (count > 0 && selected_ < count) result_ = entries_[selected_];
            close();
            break;
        case SDLK_ESCAPE:
        case SDLK_BACKSPACE:
        case SDLK_AC_BACK:
            close();
            break;
        default:
            break;
    }
    if (moved) {
        keepSelectionVisible(count, rows, selected_, firstVisible_);
        render();
    }
    return true;
}

template <typename Entry>
ScreenAnswer ListMenu<Entry>::takeEvent(const SDL_Event& event) {
    if (event.type != SDL_EVENT_KEY_DOWN) return ScreenAnswer::ignored;
    return handleKey(event.key.key, event.key.repeat) ? ScreenAnswer::taken : ScreenAnswer::ignored;
}

template <typename Entry>
bool ListMenu<Entry>::tickCountdown() {
    if (!open_) return false;
    const std::uint64_t current = now();
    if (current - lastActivity_ >= menuIdleCloseMs) {
        close();
        return true;
    }
    const int seconds = countdownSeconds(lastActivity_, current);
    if (seconds == shownSeconds_) return false;
    shownSeconds_ = seconds;
    try {
        drawCountdown();
    } catch (const std::exception& error) {
        countdownText_.reset();
        countdownBar_.reset();
        logText(std::cerr, traits_.tag + " Could not render countdown: " + error.what());
    }
    return true;
}

template <typename Entry>
void ListMenu<Entry>::drawOverlay() {
    if (!open_ || display_ == nullptr) return;
    SDL_Renderer* renderer = display_->renderer();
    if (renderer == nullptr) return;
    SDL_BlendMode blend = SDL_BLENDMODE_NONE;
    Uint8 r = 0, g = 0, b = 0, a = 0;
    if (!SDL_GetRenderDrawBlendMode(renderer, &blend) || !SDL_GetRenderDrawColor(renderer, &r, &g, &b, &a)) return;
    const auto restore = [&] {
        SDL_SetRenderDrawBlendMode(renderer, blend);
        SDL_SetRenderDrawColor(renderer, r, g, b, a);
    };
    if (!SDL_SetRenderDrawBlendMode(renderer, SDL_BLENDMODE_NONE) ||
        !SDL_SetRenderDrawColor(renderer, 0, 0, 0, 255)) {
        restore();
        return;
    }
    // The menu hides the slide completely.
    bool covered = false;
    if (traits_.coverOutputSize) {
        int w = 0, h = 0;
        if (!SDL_GetCurrentRenderOutputSize(renderer, &w, &h)) w = slideWidth_, h = slideHeight_;
        const SDL_FRect whole{0, 0, static_cast<float>(w), static_cast<float>(h)};
        covered = SDL_RenderFillRect(renderer, &whole);
    } else {
        covered = SDL_RenderFillRect(renderer, nullptr);
    }
    if (!covered) {
        restore();
        return;
    }
    if (listText_) listText_->draw(0, 0, SDL_FLIP_NONE, 255, 1.0f);
    if (countdownText_) {
        countdownText_->draw(0, 0, SDL_FLIP_NONE, 255, 1.0f);
        if (countdownBar_) countdownBar_->draw(0, 0);
    }
    restore();
}

template <typename Entry>
void ListMenu<Entry>::refresh() {
    fetch();
    keepSelectionVisible(entries_.size(), static_cast<std::size_t>(rows_), selected_, firstVisible_);
    render();
}

template <typename Entry>
void ListMenu<Entry>::render() {
    const auto failed = [this](const std::string& line) {
        releaseElements();
        logText(std::cerr, line);
    };
    try {
        draw();
        shownSeconds_ = countdownSeconds(lastActivity_, now());
        drawCountdown();
    } catch (const std::exception& error) {
        failed(traits_.tag + " Could not render menu: " + error.what());
    } catch (...) {
        if (!traits_.absorbAnyFailure) throw;
        failed(traits_.tag + " Could not render menu");
    }
}

template <typename Entry>
void ListMenu<Entry>::draw() {
    if (!open_ || display_ == nullptr) {
        listText_.reset();
        listContent_.clear();
        return;
    }
    keepSelectionVisible(entries_.size(), static_cast<std::size_t>(rows_), selected_, firstVisible_);
    std::string text = traits_.title;
    if (entries_.empty()) {
        text += "\xC2\xA0";
        text += fitLabel(traits_.emptyText);
    } else {
        const std::size_t end = std::min(entries_.size(), firstVisible_ + static_cast<std::size_t>(rows_));
        for (std::size_t i = firstVisible_; i < end; ++i) {
            if (i != firstVisible_) text += "\n";
            const std::string row = label(entries_[i]);
            if (i == selected_) {
                text += highlightStart;
                text += row;
                text += styleReset;
            } else {
                text += " ";
                text += row;
            }
        }
    }
    TextStyle style;
    auto element = std::make_unique<Text>(display_, slideWidth_, slideHeight_, SDL_Rect{x_, y_, width_, height_},
                                          text, rowHeight_, "255", fontFamily_, 0, white, transparent, 0, false, style,
                                          *clock_);
    listText_ = std::move(element);
    listContent_ = std::move(text);
}

template <typename Entry>
std::string ListMenu<Entry>::fitLabel(const std::string& label, bool cutAlready) {
    const long long room = static_cast<long long>(width_) - rowHeight_;
    const int limit = room <= 0 ? 0 : room > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(room);
    if (!labelFont_ && rowHeight_ > 0 && fontEngineReady()) {
        const std::string path = fontPath(fontFamily_, 0);
        if (!path.empty()) labelFont_.reset(TTF_OpenFont(path.c_str(), static_cast<float>(rowHeight_)));
    }
    std::string fitted = measureText(labelFont_.get(), label, limit);
    // Only a text of zero-width characters fits after being cut by bytes: it keeps the mark.
    if (cutAlready && fitted == label && !fitted.empty()) fitted += ellipsisText;
    return fitted;
}

template <typename Entry>
void ListMenu<Entry>::drawCountdown() {
    if (!open_ || display_ == nullptr || shownSeconds_ <= 0) {
        countdownText_.reset();
        countdownBar_.reset();
        return;
    }
    const CountdownBanner banner = countdownBanner(slideWidth_, slideHeight_);
    TextStyle style;
    style.verticalAlignment = "middle";
    countdownText_ = std::make_unique<Text>(display_, slideWidth_, slideHeight_, banner.box,
                                            "Closing in " + std::to_string(shownSeconds_) + " seconds",
                                            banner.fontSize, "255", "Lato-Regular", 0, white, boxGrey, 2, false,
                                            style, *clock_);
    const SDL_Rect bar{banner.box.x, banner.box.y, banner.barWidth, banner.box.h};
    countdownBar_ = std::make_unique<Rectangle>(display_, slideWidth_, slideHeight_, bar, accent, RectangleStyle{},
                                                1.0f);
}

template <typename Entry>
void ListMenu<Entry>::close() {
    open_ = false;
    releaseElements();
    shownSeconds_ = 0;
}

template <typename Entry>
void ListMenu<Entry>::releaseElements() {
    listText_.reset();
    countdownText_.reset();
    countdownBar_.reset();
    listContent_.clear();
}

template class ListMenu<PlaylistChoice>;
template class ListMenu<DisplayMode>;

PlaylistMenu::PlaylistMenu(Display* display, int slideWidth, int slideHeight, int x, int y, int width, int height,
                           int rowHeight, std::string fontFamily, PlaylistSource playlists, const Clock& clock)
    : ListMenu(display, slideWidth, slideHeight, x, y, width, height, rowHeight, std::move(fontFamily),
               MenuTraits{2, "\033[38;2;255;128;0mSelect Playlist\033[0m\n\n", "No playlists available",
                          "[PLAYLIST]", true, true},
               clock),
      playlists_(std::move(playlists)) {}

PlaylistMenu::ClosedKey PlaylistMenu::closedKey(SDL_Keycode key, bool repeat) const {
    if (key != SDLK_RETURN && key != SDLK_KP_ENTER) return ClosedKey::ignore;
    return repeat ? ClosedKey::swallow : ClosedKey::open;
}

void PlaylistMenu::fetch() {
    // The highlight stays on the same playlist when the service still offers it.
    std::optional<std::string> keptId;
    if (!entries_.empty() && selected_ < entries_.size()) keptId = entries_[selected_].id;
    entries_ = playlists_ ? playlists_() : std::vector<PlaylistChoice>{};
    if (keptId) {
        const auto found = std::find_if(entries_.begin(), entries_.end(),
                                        [&](const PlaylistChoice& entry) { return entry.id == *keptId; });
        if (found != entries_.end()) selected_ = static_cast<std::size_t>(found - entries_.begin());
    }
    if (entries_.empty()) {
        selected_ = firstVisible_ = 0;
    } else {
        selected_ = std::min(selected_, entries_.size() - 1);
    }
}

std::string PlaylistMenu::label(const PlaylistChoice& entry) {
    bool cut = false;
    const std::string label = playlistLabel(entry.name, labelByteLimit, &cut);
    return fitLabel(label, cut);
}

ResolutionMenu::ResolutionMenu(Display* display, int slideWidth, int slideHeight, int x, int y, int width,
                               int height, int rowHeight, std::string fontFamily, ModeSource modes,
                               const Clock& clock)
    : ListMenu(display, slideWidth, slideHeight, x, y, width, height, rowHeight, std::move(fontFamily),
               MenuTraits{3, "\033[38;2;255;128;0mSelect Resolution\033[0m\nUse arrows to scroll, Enter to apply\n\n",
                          "No fullscreen modes available", "[RESOLUTION]", false, false},
               clock),
      modes_(std::move(modes)) {
    if (!modes_ && display != nullptr) modes_ = [display] { return display->availableModes(); };
}

ResolutionMenu::ClosedKey ResolutionMenu::closedKey(SDL_Keycode key, bool repeat) const {
    return key == SDLK_R && !repeat ? ClosedKey::open : ClosedKey::ignore;
}

void ResolutionMenu::fetch() {
    entries_ = modes_ ? modes_() : std::vector<DisplayMode>{};
    const auto current = std::find_if(entries_.begin(), entries_.end(), [](const DisplayMode& m) { return m.current; });
    selected_ = current != entries_.end() ? static_cast<std::size_t>(current - entries_.begin()) : 0;
}

std::string ResolutionMenu::label(const DisplayMode& entry) {
    return fitLabel(modeLabel(entry));
}

ModeChoiceActions modeChoiceActions(Display& display, std::string configBase, std::function<void()> reboot) {
    ModeChoiceActions actions;
    actions.apply = [&display](const DisplayMode& mode) { return display.applyResolution(mode); };
    actions.store = [base = std::move(configBase)](const DisplayMode& mode) {
        return setConfigDisplayMode(base, mode);
    };
    actions.reboot = std::move(reboot);
    return actions;
}

ModeChoiceOutcome applyChosenMode(const std::optional<DisplayMode>& choice, const ModeChoiceActions& actions) {
    if (!choice || choice->current) return ModeChoiceOutcome::nothing;
    if (!actions.apply || !actions.apply(*choice)) return ModeChoiceOutcome::notApplied;
    if (!actions.store || !actions.store(*choice)) {
        logText(std::cerr, "[RESOLUTION] Could not save persistent override");
        return ModeChoiceOutcome::notStored;
    }
    logText(std::cout, "[RESOLUTION] Override saved; rebooting");
    if (actions.reboot) actions.reboot();
    return ModeChoiceOutcome::rebooting;
}

}  // namespace lumetta::screens
