#pragma once
// The frame read back from the primary renderer after drawing, and the mirror windows on the
// further displays that show it.

#include <SDL3/SDL.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "display/display_modes.h"
#include "display/sdl_handles.h"

namespace lumetta {

// One frame as rows of tightly packed pixels in `format` (BGRA in memory).
struct FrameReadback {
    static constexpr SDL_PixelFormat format = SDL_PIXELFORMAT_ARGB8888;
    std::vector<std::uint8_t> pixels;
    int width = 0;  // of the frame now in `pixels`
    int height = 0;
};

// Reads the renderer's current frame into `frame`; false (logged) when it cannot.
bool readFrame(SDL_Renderer* renderer, FrameReadback& frame);

// One mirror of the primary output on a further display.
struct MirrorOutput {
    WindowHandle window;
    RendererHandle renderer;  // declared after the window, so destroyed before it
    TextureHandle texture;    // streaming, readback format
    int x = 0;
    int y = 0;
    int width = 0;   // mirror window size after it went full-screen
    int height = 0;
};

// Opens mirror number `index` full-screen on `display`, with a texture for frames of the given
// size. Nothing (the reason logged) when any step fails.
std::optional<MirrorOutput> openMirror(int index, SDL_DisplayID display, const std::string& title,
                                       SDL_WindowFlags vulkanFlag, int frameWidth, int frameHeight,
                                       DisplayQueries& queries);

// Shows `frame` on the mirror, remaking its texture when the frame size changed.
void showOnMirror(MirrorOutput& output, const FrameReadback& frame);

// The window properties the display and its mirrors are created with.
bool setWindowProperties(SDL_PropertiesID properties, const std::string& title, int x, int y, int width, int height,
                         SDL_WindowFlags flags);

}  // namespace lumetta
