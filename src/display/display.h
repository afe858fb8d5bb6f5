#pragma once
// The player's one output: an SDL window with its renderer on the first connected display,
// optional mirror windows on the further displays, and the per-frame readback that feeds
// the mirrors and screenshots.

#include <SDL3/SDL.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/display_mode.h"
#include "display/draw.h"

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

// The display-mode rules, usable with any DisplayQueries.

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

// The name of a screenshot taken at `time`: "screenshot-YYYYmmdd-HHMMSS-mmm.png" (local time).
std::string screenshotFileName(std::chrono::system_clock::time_point time);

// One mirror of the primary output on a further display.
struct MirrorOutput {
    SDL_Window* window = nullptr;
    SDL_Renderer* renderer = nullptr;
    SDL_Texture* texture = nullptr;  // streaming, readback format
    int x = 0;
    int y = 0;
    int width = 0;   // mirror window size after it went full-screen
    int height = 0;
};

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

    SDL_Window* window() const { return window_; }
    SDL_Renderer* renderer() const { return renderer_; }
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
    SDL_Window* createWindow(SDL_WindowFlags flags);
    bool setFullscreenMode(SDL_Window* window, const SDL_DisplayMode& mode);
    void setUpMirror(int index, SDL_DisplayID display, SDL_WindowFlags vulkanFlag);
    bool readFrame();
    void refreshMirrors();
    bool writeScreenshot(const std::string& directory);
    void teardown();
    void releaseOutputs();

    std::shared_ptr<DisplayQueries> queries_;
    DrawSubmitter& drawSubmitter_;
    std::string videoDriver_;
    SDL_Window* window_ = nullptr;
    SDL_Renderer* renderer_ = nullptr;
    std::vector<MirrorOutput> mirrors_;
    std::vector<std::uint8_t> readback_;
    int readbackWidth_ = 0;   // size of the frame now in `readback_`
    int readbackHeight_ = 0;
    SDL_PixelFormat readbackFormat_ = SDL_PIXELFORMAT_ARGB8888;
    mutable std::mutex mutex_;
    std::string pendingScreenshotDirectory_;
    std::string title_;
    int x_ = 0;
    int y_ = 0;
    int width_ = 0;
    int height_ = 0;
};

}  // namespace lumetta
