#include "display/display.h"

#include <cstring>
#include <iostream>
#include <stdexcept>

#include "core/clock.h"
#include "core/log.h"
#include "core/palette.h"
#include "core/process_state.h"

namespace lumetta {

namespace {

// SDL 3.2 has no macro for this hint; the name is what its KMS/DRM back end reads.
constexpr const char* kmsdrmAtomicHint = "SDL_KMSDRM_ATOMIC";

std::string sdlError() {
    const char* text = SDL_GetError();
    return text ? std::string(text) : std::string();
}

// A failure whose text may be empty: never hand the caller an empty message.
[[noreturn]] void fail(std::string text) {
    if (text.empty()) text = "Unknown SDL display error";
    throw std::runtime_error(text);
}

// A whole line in one colour.
void logColored(std::ostream& out, std::string_view color, const std::string& text) {
    logLine(out, color, text, "");
}

}  // namespace

Display::SdlVideo::SdlVideo(const std::string& videoDriver) {
    SDL_SetHintWithPriority(kmsdrmAtomicHint, "0", SDL_HINT_OVERRIDE);
    if (!SDL_Init(SDL_INIT_EVENTS)) {
        const std::string error = sdlError();
        logColored(std::cerr, ansi::RED, "SDL_Init");
        SDL_QuitSubSystem(SDL_INIT_EVENTS);
        fail(error);
    }
    if (!videoDriver.empty()) SDL_SetHint(SDL_HINT_VIDEO_DRIVER, videoDriver.c_str());
    if (!SDL_InitSubSystem(SDL_INIT_VIDEO)) {
        const std::string error = sdlError();
        SDL_QuitSubSystem(SDL_INIT_VIDEO | SDL_INIT_EVENTS);
        fail(error);
    }
    SDL_HideCursor();
}

Display::SdlVideo::~SdlVideo() { SDL_QuitSubSystem(SDL_INIT_VIDEO | SDL_INIT_EVENTS); }

// On a failure the members made so far are destroyed in the reverse order and SDL is quit again;
// the cursor then stays hidden.
Display::Display(std::string videoDriver, std::string title, int x, int y, int width, int height, bool mirror,
                 std::optional<DisplayMode> persistentOverride, std::shared_ptr<DisplayQueries> queries,
                 DrawSubmitter& drawSubmitter)
    : queries_(queries ? std::move(queries) : sdlDisplayQueries()),
      drawSubmitter_(drawSubmitter),
      videoDriver_(std::move(videoDriver)),
      title_(std::move(title)),
      x_(x),
      y_(y),
      width_(width),
      height_(height) {
    video_.emplace(videoDriver_);

    const std::vector<SDL_DisplayID> displays = queries_->displays();
    if (displays.empty()) {
        const std::string error = sdlError();
        logColored(std::cerr, ansi::RED, "SDL_GetDisplays: " + error);
        fail(error);
    }
    const SDL_DisplayID primary = displays.front();

    const SDL_DisplayMode mode = choosePrimaryMode(*queries_, primary, persistentOverride);
    if (mode.w <= 0 || mode.h <= 0) fail("No suitable display modes found.");

    SDL_WindowFlags vulkanFlag = vulkanWindowFlag(queries_->currentVideoDriver(), mirror);
    const bool fullscreen = x == 0 && y == 0 && width == 0 && height == 0;
    SDL_WindowFlags flags = vulkanFlag;
    if (fullscreen) {
        x_ = y_ = static_cast<int>(SDL_WINDOWPOS_CENTERED_DISPLAY(primary));
        width_ = mode.w;
        height_ = mode.h;
        flags |= SDL_WINDOW_FULLSCREEN;
    } else {
        if (x_ == -1) x_ = static_cast<int>(SDL_WINDOWPOS_CENTERED_DISPLAY(primary));
        if (y_ == -1) y_ = static_cast<int>(SDL_WINDOWPOS_CENTERED_DISPLAY(primary));
    }

    window_ = createWindow(flags);
    if (!window_ && vulkanFlag) {
        logText(std::cerr, "[DISPLAY] Vulkan window unavailable: " + sdlError() +
                               "; falling back to the default KMSDRM renderer");
        flags &= ~SDL_WINDOW_VULKAN;
        vulkanFlag = 0;
        window_ = createWindow(flags);
    }
    if (!window_) fail(sdlError());

    // Sets the chosen mode on a fresh full-screen window and reads the size it ended up with.
    auto placeWindow = [&]() {
        if (fullscreen && !setFullscreenMode(window_.get(), mode, *queries_)) fail(sdlError());
        if (!SDL_GetWindowSize(window_.get(), &width_, &height_)) fail(sdlError());
    };
    placeWindow();

    renderer_.reset(SDL_CreateRenderer(window_.get(), vulkanFlag ? "vulkan" : nullptr));
    if (!renderer_ && vulkanFlag) {
        logText(std::cerr, "[DISPLAY] Vulkan renderer unavailable: " + sdlError() +
                               "; falling back to the default KMSDRM renderer");
        window_.reset();
        flags &= ~SDL_WINDOW_VULKAN;
        vulkanFlag = 0;
        window_ = createWindow(flags);
        if (!window_) fail(sdlError());
        placeWindow();
        renderer_.reset(SDL_CreateRenderer(window_.get(), nullptr));
    }
    if (!renderer_) {
        const std::string error = sdlError();
        window_.reset();
        logColored(std::cerr, ansi::RED, "SDL_CreateRenderer: " + error);
        fail(error);
    }

    if (!SDL_SetRenderVSync(renderer_.get(), 1)) logText(std::cerr, "SDL_SetRenderVSync: " + sdlError());

    if (!SDL_GetCurrentRenderOutputSize(renderer_.get(), &width_, &height_) || width_ <= 0 || height_ <= 0) {
        fail(sdlError());
    }

    const char* rendererName = SDL_GetRendererName(renderer_.get());
    if (showCodecInformation && rendererName) {
        int vsync = 0;
        SDL_GetRenderVSync(renderer_.get(), &vsync);
        logText(std::cout, "[GRAPHICS] SDL video driver: " + queries_->currentVideoDriver());
        logText(std::cout, std::string("[GRAPHICS] SDL renderer: ") + rendererName);
        logText(std::cout, std::string("[GRAPHICS] Hardware accelerated: ") +
                               (std::strcmp(rendererName, "software") == 0 ? "no" : "yes"));
        logText(std::cout, std::string("[GRAPHICS] VSync: ") + (vsync == 0 ? "no" : "yes"));
        logText(std::cout, "[GRAPHICS] Connected displays: " + std::to_string(displays.size()));
    }

    SDL_SetRenderDrawColor(renderer_.get(), 0, 0, 0, 255);

    if (mirror && displays.size() >= 2) {
        for (std::size_t i = 1; i < displays.size(); ++i) {
            std::optional<MirrorOutput> output = openMirror(static_cast<int>(i), displays[i], title_, vulkanFlag,
                                                            width_, height_, *queries_);
            if (output) mirrors_.push_back(std::move(*output));
        }
    }
}

Display::~Display() { SDL_ShowCursor(); }

WindowHandle Display::createWindow(SDL_WindowFlags flags) {
    const ScopedProperties properties;
    if (properties.id() == 0) fail(sdlError());
    if (!setWindowProperties(properties.id(), title_, x_, y_, width_, height_, flags)) fail(sdlError());
    return WindowHandle(SDL_CreateWindowWithProperties(properties.id()));
}

std::vector<DisplayMode> Display::availableModes() const {
    if (!window_) return {};
    const SDL_DisplayID display = queries_->displayForWindow(window_.get());
    if (display == 0) return {};
    const std::vector<SDL_DisplayMode> modes = queries_->fullscreenModes(display);
    if (modes.empty()) return {};
    return distinctModes(modes, display, queries_->windowFullscreenMode(window_.get()));
}

bool Display::applyResolution(const DisplayMode& mode) {
    if (!window_ || mode.width <= 0 || mode.height <= 0) return false;
    const SDL_DisplayID display = mode.displayId != 0 ? mode.displayId : queries_->displayForWindow(window_.get());
    std::optional<SDL_DisplayMode> found;
    if (display != 0) found = queries_->closestFullscreenMode(display, mode.width, mode.height, mode.refreshRate);
    const std::string size = std::to_string(mode.width) + "x" + std::to_string(mode.height);
    if (!found || found->w != mode.width || found->h != mode.height) {
        logText(std::cerr, "[DISPLAY] Selected resolution is no longer available: " + size);
        return false;
    }
    if (!SDL_SetWindowFullscreenMode(window_.get(), &*found) || !SDL_SetWindowFullscreen(window_.get(), true) ||
        !SDL_SyncWindow(window_.get())) {
        logText(std::cerr, "[DISPLAY] Could not apply " + size + ": " + sdlError());
        return false;
    }
    int outputWidth = 0;
    int outputHeight = 0;
    if (!SDL_GetCurrentRenderOutputSize(renderer_.get(), &outputWidth, &outputHeight)) {
        logText(std::cerr, "[DISPLAY] Could not read applied resolution: " + sdlError());
        return false;
    }
    width_ = outputWidth;
    height_ = outputHeight;
    logText(std::cout, "[DISPLAY] Resolution changed to " + std::to_string(width_) + "x" + std::to_string(height_) +
                           refreshRateText(mode.refreshRate));
    return true;
}

void Display::clear(SDL_Color color) {
    if (!renderer_) return;
    if (!SDL_SetRenderDrawColor(renderer_.get(), color.r, color.g, color.b, color.a) ||
        !SDL_RenderClear(renderer_.get())) {
        logText(std::cerr, "[DISPLAY] Clear failed: " + sdlError());
    }
}

void Display::requestScreenshot(const std::string& directory) { screenshots_.request(directory); }

void Display::present(bool updateMirrorOutputs) {
    if (!renderer_) return;
    std::string request = screenshots_.take();
    const bool mirrorWork = updateMirrorOutputs && !mirrors_.empty();
    if (mirrorWork || !request.empty()) {
        bool saved = false;
        if (readFrame(renderer_.get(), readback_)) {
            if (mirrorWork) {
                for (MirrorOutput& output : mirrors_) showOnMirror(output, readback_);
            }
            if (!request.empty()) {
                const std::chrono::system_clock::time_point now{std::chrono::milliseconds(systemClock().systemMs())};
                saved = writeScreenshot(readback_, request, now);
            }
        }
        if (!request.empty() && !saved) screenshots_.retry(std::move(request));
    }
    SDL_RenderPresent(renderer_.get());
}

}  // namespace lumetta
