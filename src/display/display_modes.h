#pragma once
// Which mode each connected screen runs in: the questions asked of SDL about the screens (a
// small interface the display is handed, so tests can script screens this machine does not
// have) and the rules that pick a mode from the answers.

#include <SDL3/SDL.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/display_mode.h"

namespace lumetta {

// The questions the display asks SDL about the connected screens. The real answers come from
// `sdlDisplayQueries()`; tests hand in scripted display lists instead.
class DisplayQueries {
public:
    virtual ~DisplayQueries() = default;
    // Connected displays in SDL's order (the first is the primary); empty when unavailable.
    virtual std::vector<SDL_DisplayID> displays() = 0;
    // SDL's closest full-screen mode, high-density modes included; none when SDL finds none.
    virtual std::optional<SDL_DisplayMode> closestFullscreenMode(SDL_DisplayID display, int width, int height,
                                                                 float refreshRate) = 0;
    virtual std::optional<SDL_DisplayMode> desktopMode(SDL_DisplayID display) = 0;
    // SDL's full-screen mode list in SDL's order (absent entries already skipped).
    virtual std::vector<SDL_DisplayMode> fullscreenModes(SDL_DisplayID display) = 0;
    virtual std::string currentVideoDriver() = 0;
    // 0 when the window's display cannot be determined.
    virtual SDL_DisplayID displayForWindow(SDL_Window* window) = 0;
    // The window's exclusive full-screen mode; none when it has none.
    virtual std::optional<SDL_DisplayMode> windowFullscreenMode(SDL_Window* window) = 0;
};

std::shared_ptr<DisplayQueries> sdlDisplayQueries();

// 1920 x 1080 when the display offers exactly that, else its desktop mode, else a plain
// 1920 x 1080 mode of density 1 on that display.
SDL_DisplayMode chooseDefaultMode(DisplayQueries& queries, SDL_DisplayID display);

// The mode the primary display runs in: the default mode, replaced by the persistent override
// when the display offers exactly the override's size. Prints which one was taken.
SDL_DisplayMode choosePrimaryMode(DisplayQueries& queries, SDL_DisplayID display,
                                  const std::optional<DisplayMode>& persistentOverride);

// SDL_WINDOW_VULKAN when the primary should be made for the Vulkan renderer: only on
// "kmsdrm" and only without mirrors (mirror windows need the default renderer).
SDL_WindowFlags vulkanWindowFlag(std::string_view currentVideoDriver, bool mirror);

// "/FHD", "/4K" or empty for an output size; portrait sizes use the swapped limits.
std::string resolutionClassFor(int width, int height);

// The full-screen modes of a display as the player offers them: unusable sizes dropped,
// modes within 0.01 Hz of an earlier one dropped, SDL's order kept.
std::vector<DisplayMode> distinctModes(const std::vector<SDL_DisplayMode>& modes, SDL_DisplayID display,
                                       const std::optional<SDL_DisplayMode>& currentMode);

// Puts a full-screen window into `mode`. A display that lists no full-screen modes at all
// cannot switch to an exclusive mode; its desktop mode is the only picture it shows, so the
// window then covers it as a desktop-sized full-screen window instead of leaving it dark.
bool setFullscreenMode(SDL_Window* window, const SDL_DisplayMode& mode, DisplayQueries& queries);

// " @ <rate>Hz" for a known refresh rate, else nothing.
std::string refreshRateText(double refreshRate);

}  // namespace lumetta
