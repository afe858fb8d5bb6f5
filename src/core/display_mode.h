#pragma once
// One display mode as the player handles it. Kept in core, free of other headers, so the configuration
// store, the display and the player loop can all exchange it.

#include <cmath>
#include <cstdint>

namespace lumetta {

struct DisplayMode {
    int width = 0;
    int height = 0;
    float refreshRate = 0.0f;      // Hz; 0 means unspecified
    float pixelDensity = 1.0f;
    std::uint32_t displayId = 0;   // SDL_DisplayID; 0 is the window's own display
    bool current = false;
};

// Same width and height, refresh rates less than 0.01 Hz apart.
inline bool sameMode(const DisplayMode& a, const DisplayMode& b) {
    return a.width == b.width && a.height == b.height && std::fabs(a.refreshRate - b.refreshRate) < 0.01f;
}

}  // namespace lumetta
