#include "display/display_modes.h"

#include <algorithm>
#include <iostream>
#include <sstream>

#include "core/log.h"

namespace lumetta {

namespace {

constexpr int preferredWidth = 1920;
constexpr int preferredHeight = 1080;

class SdlDisplayQueries final : public DisplayQueries {
public:
    std::vector<SDL_DisplayID> displays() override {
        int count = 0;
        SDL_DisplayID* ids = SDL_GetDisplays(&count);
        std::vector<SDL_DisplayID> result;
        if (ids) {
            result.assign(ids, ids + std::max(count, 0));
            SDL_free(ids);
        }
        return result;
    }

    std::optional<SDL_DisplayMode> closestFullscreenMode(SDL_DisplayID display, int width, int height,
                                                         float refreshRate) override {
        SDL_DisplayMode mode{};
        if (!SDL_GetClosestFullscreenDisplayMode(display, width, height, refreshRate, true, &mode)) return std::nullopt;
        return mode;
    }

    std::optional<SDL_DisplayMode> desktopMode(SDL_DisplayID display) override {
        const SDL_DisplayMode* mode = SDL_GetDesktopDisplayMode(display);
        if (!mode) return std::nullopt;
        return *mode;
    }

    std::vector<SDL_DisplayMode> fullscreenModes(SDL_DisplayID display) override {
        int count = 0;
        SDL_DisplayMode** modes = SDL_GetFullscreenDisplayModes(display, &count);
        std::vector<SDL_DisplayMode> result;
        if (modes) {
            for (int i = 0; i < count; ++i) {
                if (modes[i]) result.push_back(*modes[i]);
            }
            SDL_free(modes);
        }
        return result;
    }

    std::string currentVideoDriver() override {
        const char* name = SDL_GetCurrentVideoDriver();
        return name ? std::string(name) : std::string();
    }

    SDL_DisplayID displayForWindow(SDL_Window* window) override { return SDL_GetDisplayForWindow(window); }

    std::optional<SDL_DisplayMode> windowFullscreenMode(SDL_Window* window) override {
        const SDL_DisplayMode* mode = SDL_GetWindowFullscreenMode(window);
        if (!mode) return std::nullopt;
        return *mode;
    }
};

DisplayMode toDisplayMode(const SDL_DisplayMode& mode, SDL_DisplayID display, bool current) {
    return DisplayMode{mode.w, mode.h, mode.refresh_rate, mode.pixel_density, display, current};
}

}  // namespace

std::shared_ptr<DisplayQueries> sdlDisplayQueries() { return std::make_shared<SdlDisplayQueries>(); }

std::string refreshRateText(double refreshRate) {
    if (!(refreshRate > 0)) return {};
    std::ostringstream text;
    text << " @ " << refreshRate << "Hz";
    return text.str();
}

SDL_DisplayMode chooseDefaultMode(DisplayQueries& queries, SDL_DisplayID display) {
    if (auto closest = queries.closestFullscreenMode(display, preferredWidth, preferredHeight, 0.0f)) {
        if (closest->w == preferredWidth && closest->h == preferredHeight) return *closest;
    }
    if (auto desktop = queries.desktopMode(display)) {
        if (desktop->w > 0 && desktop->h > 0) return *desktop;
    }
    SDL_DisplayMode fallback{};
    fallback.displayID = display;
    fallback.w = preferredWidth;
    fallback.h = preferredHeight;
    fallback.pixel_density = 1.0f;
    return fallback;
}

SDL_DisplayMode choosePrimaryMode(DisplayQueries& queries, SDL_DisplayID display,
                                  const std::optional<DisplayMode>& persistentOverride) {
    SDL_DisplayMode chosen = chooseDefaultMode(queries, display);
    if (!persistentOverride) return chosen;
    auto found = queries.closestFullscreenMode(display, persistentOverride->width, persistentOverride->height,
                                               persistentOverride->refreshRate);
    if (found && found->w == persistentOverride->width && found->h == persistentOverride->height) {
        logText(std::cout, "[DISPLAY] Using persistent resolution override " + std::to_string(found->w) + "x" +
                               std::to_string(found->h) + refreshRateText(found->refresh_rate));
        return *found;
    }
    logText(std::cerr,
            "[DISPLAY] Persistent resolution override is not supported by the connected display; using its "
            "configured mode");
    return chosen;
}

SDL_WindowFlags vulkanWindowFlag(std::string_view currentVideoDriver, bool mirror) {
    return (!mirror && currentVideoDriver == "kmsdrm") ? SDL_WINDOW_VULKAN : SDL_WindowFlags{0};
}

std::string resolutionClassFor(int width, int height) {
    const bool portrait = width < height;
    auto within = [&](int longSide, int shortSide) {
        return portrait ? (width <= shortSide && height <= longSide) : (width <= longSide && height <= shortSide);
    };
    if (within(1920, 1080)) return "/FHD";
    if (within(3840, 2160)) return "/4K";
    return "";
}

std::vector<DisplayMode> distinctModes(const std::vector<SDL_DisplayMode>& modes, SDL_DisplayID display,
                                       const std::optional<SDL_DisplayMode>& currentMode) {
    std::optional<DisplayMode> current;
    if (currentMode) current = toDisplayMode(*currentMode, display, false);
    std::vector<DisplayMode> result;
    for (const SDL_DisplayMode& sdlMode : modes) {
        if (sdlMode.w <= 0 || sdlMode.h <= 0) continue;
        DisplayMode mode = toDisplayMode(sdlMode, display, false);
        const bool seen =
            std::any_of(result.begin(), result.end(), [&](const DisplayMode& kept) { return sameMode(kept, mode); });
        if (seen) continue;
        mode.current = current && sameMode(*current, mode);
        result.push_back(mode);
    }
    return result;
}

bool setFullscreenMode(SDL_Window* window, const SDL_DisplayMode& mode, DisplayQueries& queries) {
    if (SDL_SetWindowFullscreenMode(window, &mode)) return true;
    if (!queries.fullscreenModes(mode.displayID).empty()) return false;
    return SDL_SetWindowFullscreenMode(window, nullptr);
}

}  // namespace lumetta
