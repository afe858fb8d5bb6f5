#pragma once
// The player's one output: SDL brought up, a window with its renderer on the first connected
// display, optional mirror windows on the further displays, and, once per frame, the readback
// that feeds the mirrors and screenshots. Mode rules: display_modes.h; mirrors and readback:
// mirrors.h; screenshot files and requests: screenshot.h.

#include <SDL3/SDL.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/display_mode.h"
#include "display/display_modes.h"
#include "display/draw.h"
#include "display/mirrors.h"
#include "display/screenshot.h"
#include "display/sdl_handles.h"

namespace lumetta {

class Display {
public:
    // x, y, width, height: 0 means not given (all four 0: full-screen in the chosen mode);
    // -1 for x or y centres the window on the first display. Throws std::runtime_error when the
    // display cannot be brought up; SDL is then shut down again, so the caller may simply retry.
    // `queries` (null: SDL's) and `drawSubmitter` are the boundaries tests replace.
    Display(std::string videoDriver, std::string title, int x, int y, int width, int height, bool mirror,
            std::optional<DisplayMode> persistentOverride, std::shared_ptr<DisplayQueries> queries = nullptr,
            DrawSubmitter& drawSubmitter = sdlDrawSubmitter());
    ~Display();
    Display(const Display&) = delete;
    Display& operator=(const Display&) = delete;

    SDL_Window* window() const { return window_.get(); }
    SDL_Renderer* renderer() const { return renderer_.get(); }
    // What everything drawn on this display is handed to SDL through.
    DrawSubmitter& drawSubmitter() const { return drawSubmitter_; }
    SDL_Rect bounds() const { return SDL_Rect{x_, y_, width_, height_}; }
    int width() const { return width_; }
    int height() const { return height_; }
    std::string resolutionClass() const { return resolutionClassFor(width_, height_); }
    const std::vector<MirrorOutput>& mirrors() const { return mirrors_; }

    std::vector<DisplayMode> availableModes() const;
    bool applyResolution(const DisplayMode& mode);
    void clear(SDL_Color color);

    // Any thread: the next presented frame is saved as a PNG into `directory`.
    void requestScreenshot(const std::string& directory);
    // Main thread, once per frame after drawing: feeds mirrors and screenshots, then shows the frame.
    void present(bool updateMirrors);

private:
    // SDL's event and video subsystems, started for the display and quit after everything the
    // display made is gone.
    class SdlVideo {
    public:
        explicit SdlVideo(const std::string& videoDriver);
        ~SdlVideo();
        SdlVideo(const SdlVideo&) = delete;
        SdlVideo& operator=(const SdlVideo&) = delete;
    };

    WindowHandle createWindow(SDL_WindowFlags flags);

    std::shared_ptr<DisplayQueries> queries_;
    DrawSubmitter& drawSubmitter_;
    std::string videoDriver_;
    std::string title_;
    int x_ = 0;
    int y_ = 0;
    int width_ = 0;
    int height_ = 0;
    // Declared in the order they are made, so they go in the reverse order.
    std::optional<SdlVideo> video_;
    WindowHandle window_;
    RendererHandle renderer_;
    std::vector<MirrorOutput> mirrors_;
    FrameReadback readback_;
    ScreenshotRequests screenshots_;
};

}  // namespace lumetta
