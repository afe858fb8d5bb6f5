#pragma once
// Display answers for tests: scripted displays answer from their script, everything not
// scripted is asked of SDL, so a test can add screens this machine does not have.

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "display/display.h"

namespace lumetta::testing {

inline SDL_DisplayMode sdlMode(int width, int height, float refreshRate = 60.0f, float pixelDensity = 1.0f,
                               SDL_DisplayID display = 0) {
    SDL_DisplayMode mode{};
    mode.displayID = display;
    mode.w = width;
    mode.h = height;
    mode.refresh_rate = refreshRate;
    mode.pixel_density = pixelDensity;
    return mode;
}

struct DisplayScript {
    std::optional<SDL_DisplayMode> desktop;
    std::vector<SDL_DisplayMode> modes;  // SDL's order: largest first
};

class ScriptedDisplays : public DisplayQueries {
public:
    std::optional<std::vector<SDL_DisplayID>> displayList;
    std::map<SDL_DisplayID, DisplayScript> scripts;
    std::optional<std::string> driver;
    std::optional<SDL_DisplayID> windowDisplay;
    std::optional<SDL_DisplayMode> windowMode;
    std::vector<std::string> calls;  // "closest WxH@R" for each closest-mode question

    std::vector<SDL_DisplayID> displays() override { return displayList ? *displayList : real_->displays(); }

    // Like SDL: the smallest listed mode at least as large as asked, the nearest refresh rate
    // among equal sizes (rate 0: the first listed); none when no mode is large enough.
    std::optional<SDL_DisplayMode> closestFullscreenMode(SDL_DisplayID display, int width, int height,
                                                         float refreshRate) override {
        calls.push_back("closest " + std::to_string(width) + "x" + std::to_string(height) + "@" +
                        std::to_string(static_cast<int>(refreshRate)));
        auto script = scripts.find(display);
        if (script == scripts.end()) return real_->closestFullscreenMode(display, width, height, refreshRate);
        std::optional<SDL_DisplayMode> best;
        for (const SDL_DisplayMode& mode : script->second.modes) {
            if (mode.w < width || mode.h < height) continue;
            if (!best || mode.w * mode.h < best->w * best->h) {
                best = mode;
            } else if (mode.w == best->w && mode.h == best->h && refreshRate > 0 &&
                       std::abs(mode.refresh_rate - refreshRate) < std::abs(best->refresh_rate - refreshRate)) {
                best = mode;
            }
        }
        return best;
    }

    std::optional<SDL_DisplayMode> desktopMode(SDL_DisplayID display) override {
        auto script = scripts.find(display);
        return script == scripts.end() ? real_->desktopMode(display) : script->second.desktop;
    }

    std::vector<SDL_DisplayMode> fullscreenModes(SDL_DisplayID display) override {
        auto script = scripts.find(display);
        return script == scripts.end() ? real_->fullscreenModes(display) : script->second.modes;
    }

    std::string currentVideoDriver() override { return driver ? *driver : real_->currentVideoDriver(); }

    SDL_DisplayID displayForWindow(SDL_Window* window) override {
        return windowDisplay ? *windowDisplay : real_->displayForWindow(window);
    }

    std::optional<SDL_DisplayMode> windowFullscreenMode(SDL_Window* window) override {
        return windowDisplay ? windowMode : real_->windowFullscreenMode(window);
    }

private:
    std::shared_ptr<DisplayQueries> real_ = sdlDisplayQueries();
};

}  // namespace lumetta::testing
