#include "display/display.h"

#include <cmath>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "core/palette.h"
#include "core/process_state.h"

namespace lumetta {

namespace {

constexpr int preferredWidth = 1920;
constexpr int preferredHeight = 1080;
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

bool setWindowProperties(SDL_PropertiesID properties, const std::string& title, int x, int y, int width, int height,
                         SDL_WindowFlags flags) {
    return SDL_SetStringProperty(properties, SDL_PROP_WINDOW_CREATE_TITLE_STRING, title.c_str()) &&
           SDL_SetNumberProperty(properties, SDL_PROP_WINDOW_CREATE_X_NUMBER, x) &&
           SDL_SetNumberProperty(properties, SDL_PROP_WINDOW_CREATE_Y_NUMBER, y) &&
           SDL_SetNumberProperty(properties, SDL_PROP_WINDOW_CREATE_WIDTH_NUMBER, width) &&
           SDL_SetNumberProperty(properties, SDL_PROP_WINDOW_CREATE_HEIGHT_NUMBER, height) &&
           SDL_SetNumberProperty(properties, SDL_PROP_WINDOW_CREATE_FLAGS_NUMBER, static_cast<Sint64>(flags));
}

// Texture first, then renderer, then window.
void destroyMirror(MirrorOutput& output) {
    if (output.texture) SDL_DestroyTexture(output.texture);
    if (output.renderer) SDL_DestroyRenderer(output.renderer);
    if (output.window) SDL_DestroyWindow(output.window);
    output.texture = nullptr;
    output.renderer = nullptr;
    output.window = nullptr;
}

void printRefreshRate(std::ostream& out, double refreshRate) {
    if (refreshRate > 0) out << " @ " << refreshRate << "Hz";
}

}  // namespace

std::shared_ptr<DisplayQueries> sdlDisplayQueries() { return std::make_shared<SdlDisplayQueries>(); }

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
        std::cout << "[DISPLAY] Using persistent resolution override " << found->w << "x" << found->h;
        printRefreshRate(std::cout, found->refresh_rate);
        std::cout << std::endl;
        return *found;
    }
    std::cerr << "[DISPLAY] Persistent resolution override is not supported by the connected display; using its "
                 "configured mode"
              << std::endl;
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
        bool seen = false;
        for (const DisplayMode& kept : result) {
            if (sameMode(kept, mode)) {
                seen = true;
                break;
            }
        }
        if (seen) continue;
        mode.current = current && sameMode(*current, mode);
        result.push_back(mode);
    }
    return result;
}

std::string screenshotFileName(std::chrono::system_clock::time_point time) {
    const auto sinceEpoch = time.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch);
    auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch - seconds).count();
    std::time_t whole = static_cast<std::time_t>(seconds.count());
    if (millis < 0) {  // before 1970: keep the second and the part of it consistent
        millis += 1000;
        whole -= 1;
    }
    std::tm local{};
    localtime_r(&whole, &local);
    std::ostringstream name;
    name << "screenshot-" << std::put_time(&local, "%Y%m%d-%H%M%S") << "-" << std::setw(3) << std::setfill('0')
         << millis << ".png";
    return name.str();
}

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
    try {
        SDL_SetHintWithPriority(kmsdrmAtomicHint, "0", SDL_HINT_OVERRIDE);
        if (!SDL_Init(SDL_INIT_EVENTS)) {
            std::cerr << ansi::RED << "SDL_Init" << ansi::RESET << std::endl;
            fail(sdlError());
        }
        if (!videoDriver_.empty()) SDL_SetHint(SDL_HINT_VIDEO_DRIVER, videoDriver_.c_str());
        if (!SDL_InitSubSystem(SDL_INIT_VIDEO)) fail(sdlError());
        SDL_HideCursor();

        const std::vector<SDL_DisplayID> displays = queries_->displays();
        if (displays.empty()) {
            const std::string error = sdlError();
            std::cerr << ansi::RED << "SDL_GetDisplays: " << error << ansi::RESET << std::endl;
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
            std::cerr << "[DISPLAY] Vulkan window unavailable: " << sdlError()
                      << "; falling back to the default KMSDRM renderer" << std::endl;
            flags &= ~SDL_WINDOW_VULKAN;
            vulkanFlag = 0;
            window_ = createWindow(flags);
        }
        if (!window_) fail(sdlError());

        // Sets the chosen mode on a fresh full-screen window and reads the size it ended up with.
        auto placeWindow = [&]() {
            if (fullscreen && !setFullscreenMode(window_, mode)) fail(sdlError());
            if (!SDL_GetWindowSize(window_, &width_, &height_)) fail(sdlError());
        };
        placeWindow();

        renderer_ = SDL_CreateRenderer(window_, vulkanFlag ? "vulkan" : nullptr);
        if (!renderer_ && vulkanFlag) {
            std::cerr << "[DISPLAY] Vulkan renderer unavailable: " << sdlError()
                      << "; falling back to the default KMSDRM renderer" << std::endl;
            SDL_DestroyWindow(window_);
            window_ = nullptr;
            flags &= ~SDL_WINDOW_VULKAN;
            vulkanFlag = 0;
            window_ = createWindow(flags);
            if (!window_) fail(sdlError());
            placeWindow();
            renderer_ = SDL_CreateRenderer(window_, nullptr);
        }
        if (!renderer_) {
            const std::string error = sdlError();
            SDL_DestroyWindow(window_);
            window_ = nullptr;
            std::cerr << ansi::RED << "SDL_CreateRenderer: " << error << ansi::RESET << std::endl;
            fail(error);
        }

        if (!SDL_SetRenderVSync(renderer_, 1)) std::cerr << "SDL_SetRenderVSync: " << sdlError() << std::endl;

        if (!SDL_GetCurrentRenderOutputSize(renderer_, &width_, &height_) || width_ <= 0 || height_ <= 0) {
            fail(sdlError());
        }

        const char* rendererName = SDL_GetRendererName(renderer_);
        if (showCodecInformation && rendererName) {
            int vsync = 0;
            SDL_GetRenderVSync(renderer_, &vsync);
            std::cout << "[GRAPHICS] SDL video driver: " << queries_->currentVideoDriver() << std::endl;
            std::cout << "[GRAPHICS] SDL renderer: " << rendererName << std::endl;
            std::cout << "[GRAPHICS] Hardware accelerated: "
                      << (std::strcmp(rendererName, "software") == 0 ? "no" : "yes") << std::endl;
            std::cout << "[GRAPHICS] VSync: " << (vsync == 0 ? "no" : "yes") << std::endl;
            std::cout << "[GRAPHICS] Connected displays: " << displays.size() << std::endl;
        }

        SDL_SetRenderDrawColor(renderer_, 0, 0, 0, 255);

        if (mirror && displays.size() >= 2) {
            for (std::size_t i = 1; i < displays.size(); ++i) setUpMirror(static_cast<int>(i), displays[i], vulkanFlag);
        }
    } catch (...) {
        teardown();
        throw;
    }
}

Display::~Display() {
    releaseOutputs();
    SDL_ShowCursor();
    SDL_QuitSubSystem(SDL_INIT_VIDEO | SDL_INIT_EVENTS);
}

// After a failed construction: like the destructor, except that the cursor stays hidden.
void Display::teardown() {
    releaseOutputs();
    SDL_QuitSubSystem(SDL_INIT_VIDEO | SDL_INIT_EVENTS);
}

void Display::releaseOutputs() {
    for (MirrorOutput& output : mirrors_) destroyMirror(output);
    mirrors_.clear();
    readback_.clear();
    if (renderer_) SDL_DestroyRenderer(renderer_);
    renderer_ = nullptr;
    if (window_) SDL_DestroyWindow(window_);
    window_ = nullptr;
}

SDL_Window* Display::createWindow(SDL_WindowFlags flags) {
    SDL_PropertiesID properties = SDL_CreateProperties();
    if (properties == 0) fail(sdlError());
    if (!setWindowProperties(properties, title_, x_, y_, width_, height_, flags)) {
        const std::string error = sdlError();
        SDL_DestroyProperties(properties);
        fail(error);
    }
    SDL_Window* window = SDL_CreateWindowWithProperties(properties);
    SDL_DestroyProperties(properties);
    return window;
}

bool Display::setFullscreenMode(SDL_Window* window, const SDL_DisplayMode& mode) {
    if (SDL_SetWindowFullscreenMode(window, &mode)) return true;
    // A display that lists no full-screen modes at all cannot switch to an exclusive mode; its
    // desktop mode is the only picture it shows, so the window covers it as a desktop-sized
    // full-screen window instead of leaving the screen dark.
    if (!queries_->fullscreenModes(mode.displayID).empty()) return false;
    return SDL_SetWindowFullscreenMode(window, nullptr);
}

void Display::setUpMirror(int index, SDL_DisplayID display, SDL_WindowFlags vulkanFlag) {
    const SDL_DisplayMode mode = chooseDefaultMode(*queries_, display);
    if (mode.w <= 0 || mode.h <= 0) {
        std::cerr << ansi::RED << "[MIRROR] No suitable mode for display " << index << ansi::RESET << std::endl;
        return;
    }
    MirrorOutput output;
    output.x = output.y = static_cast<int>(SDL_WINDOWPOS_CENTERED_DISPLAY(display));
    const std::string mirrorTitle = title_ + " - Mirror " + std::to_string(index);

    SDL_PropertiesID properties = SDL_CreateProperties();
    if (properties == 0) {
        std::cerr << "[MIRROR] SDL_CreateProperties: " << sdlError() << std::endl;
        return;
    }
    if (!setWindowProperties(properties, mirrorTitle, output.x, output.y, mode.w, mode.h,
                             SDL_WINDOW_FULLSCREEN | vulkanFlag)) {
        std::cerr << "[MIRROR] Window properties: " << sdlError() << std::endl;
        SDL_DestroyProperties(properties);
        return;
    }
    output.window = SDL_CreateWindowWithProperties(properties);
    SDL_DestroyProperties(properties);
    if (!output.window) {
        std::cerr << ansi::RED << "[MIRROR] SDL_CreateWindow display " << index << ": " << sdlError() << ansi::RESET
                  << std::endl;
        return;
    }
    if (!setFullscreenMode(output.window, mode)) {
        std::cerr << "[MIRROR] SDL_SetWindowFullscreenMode display " << index << ": " << sdlError() << std::endl;
        destroyMirror(output);
        return;
    }
    if (!SDL_GetWindowSize(output.window, &output.width, &output.height)) {
        std::cerr << "[MIRROR] SDL_GetWindowSize: " << sdlError() << std::endl;
        destroyMirror(output);
        return;
    }
    output.renderer = SDL_CreateRenderer(output.window, vulkanFlag ? "vulkan" : nullptr);
    if (!output.renderer) {
        std::cerr << ansi::RED << "[MIRROR] SDL_CreateRenderer display " << index << ": " << sdlError()
                  << ansi::RESET << std::endl;
        destroyMirror(output);
        return;
    }
    if (!SDL_SetRenderVSync(output.renderer, 1)) {
        std::cerr << "[MIRROR] SDL_SetRenderVSync: " << sdlError() << std::endl;
    }
    SDL_SetRenderDrawColor(output.renderer, 0, 0, 0, 255);
    output.texture = SDL_CreateTexture(output.renderer, readbackFormat_, SDL_TEXTUREACCESS_STREAMING, width_, height_);
    if (!output.texture) {
        std::cerr << ansi::RED << "[MIRROR] SDL_CreateTexture display " << index << ": " << sdlError()
                  << ansi::RESET << std::endl;
        destroyMirror(output);
        return;
    }
    if (!SDL_SetTextureBlendMode(output.texture, SDL_BLENDMODE_NONE)) {
        std::cerr << "[MIRROR] SDL_SetTextureBlendMode: " << sdlError() << std::endl;
        destroyMirror(output);
        return;
    }
    mirrors_.push_back(output);
}

std::vector<DisplayMode> Display::availableModes() const {
    if (!window_) return {};
    const SDL_DisplayID display = queries_->displayForWindow(window_);
    if (display == 0) return {};
    const std::vector<SDL_DisplayMode> modes = queries_->fullscreenModes(display);
    if (modes.empty()) return {};
    return distinctModes(modes, display, queries_->windowFullscreenMode(window_));
}

bool Display::applyResolution(const DisplayMode& mode) {
    if (!window_ || mode.width <= 0 || mode.height <= 0) return false;
    const SDL_DisplayID display = mode.displayId != 0 ? mode.displayId : queries_->displayForWindow(window_);
    std::optional<SDL_DisplayMode> found;
    if (display != 0) found = queries_->closestFullscreenMode(display, mode.width, mode.height, mode.refreshRate);
    if (!found || found->w != mode.width || found->h != mode.height) {
        std::cerr << "[DISPLAY] Selected resolution is no longer available: " << mode.width << "x" << mode.height
                  << std::endl;
        return false;
    }
    if (!SDL_SetWindowFullscreenMode(window_, &*found) || !SDL_SetWindowFullscreen(window_, true) ||
        !SDL_SyncWindow(window_)) {
        std::cerr << "[DISPLAY] Could not apply " << mode.width << "x" << mode.height << ": " << sdlError()
                  << std::endl;
        return false;
    }
    int outputWidth = 0;
    int outputHeight = 0;
    if (!SDL_GetCurrentRenderOutputSize(renderer_, &outputWidth, &outputHeight)) {
        std::cerr << "[DISPLAY] Could not read applied resolution: " << sdlError() << std::endl;
        return false;
    }
    width_ = outputWidth;
    height_ = outputHeight;
    std::cout << "[DISPLAY] Resolution changed to " << width_ << "x" << height_;
    printRefreshRate(std::cout, mode.refreshRate);
    std::cout << std::endl;
    return true;
}

void Display::clear(SDL_Color color) {
    if (!renderer_) return;
    if (!SDL_SetRenderDrawColor(renderer_, color.r, color.g, color.b, color.a) || !SDL_RenderClear(renderer_)) {
        std::cerr << "[DISPLAY] Clear failed: " << sdlError() << std::endl;
    }
}

void Display::requestScreenshot(const std::string& directory) {
    std::lock_guard lock(mutex_);
    pendingScreenshotDirectory_ = directory;
}

bool Display::readFrame() {
    SDL_Surface* surface = SDL_RenderReadPixels(renderer_, nullptr);
    if (!surface) {
        std::cerr << "[DISPLAY] SDL_RenderReadPixels: " << sdlError() << std::endl;
        return false;
    }
    SDL_Surface* converted = nullptr;
    bool ok = false;
    do {
        SDL_Surface* frame = surface;
        if (surface->format != readbackFormat_) {
            converted = SDL_ConvertSurface(surface, readbackFormat_);
            if (!converted) {
                std::cerr << "[DISPLAY] SDL_RenderReadPixels: " << sdlError() << std::endl;
                break;
            }
            frame = converted;
        }
        const SDL_PixelFormatDetails* details = SDL_GetPixelFormatDetails(readbackFormat_);
        const long long rowLength = details ? static_cast<long long>(frame->w) * details->bytes_per_pixel : 0;
        if (!details || frame->w <= 0 || rowLength <= 0 || frame->h <= 0 || rowLength * frame->h == 0 ||
            rowLength > frame->pitch) {
            std::cerr << "[DISPLAY] Invalid renderer readback dimensions" << std::endl;
            break;
        }
        readback_.resize(static_cast<std::size_t>(rowLength) * static_cast<std::size_t>(frame->h));
        const auto* source = static_cast<const std::uint8_t*>(frame->pixels);
        for (int row = 0; row < frame->h; ++row) {
            std::memcpy(readback_.data() + static_cast<std::size_t>(row) * static_cast<std::size_t>(rowLength),
                        source + static_cast<std::size_t>(row) * static_cast<std::size_t>(frame->pitch),
                        static_cast<std::size_t>(rowLength));
        }
        readbackWidth_ = frame->w;
        readbackHeight_ = frame->h;
        ok = true;
    } while (false);
    if (converted) SDL_DestroySurface(converted);
    SDL_DestroySurface(surface);
    return ok;
}

void Display::refreshMirrors() {
    const int rowLength = readbackWidth_ * 4;
    for (MirrorOutput& output : mirrors_) {
        if (!output.renderer || !output.texture) continue;
        // The frame size follows the output; a mirror texture made for another size is remade
        // so the update never reads past the frame nor leaves part of the texture stale.
        float textureWidth = 0;
        float textureHeight = 0;
        SDL_GetTextureSize(output.texture, &textureWidth, &textureHeight);
        if (static_cast<int>(textureWidth) != readbackWidth_ || static_cast<int>(textureHeight) != readbackHeight_) {
            SDL_Texture* resized = SDL_CreateTexture(output.renderer, readbackFormat_, SDL_TEXTUREACCESS_STREAMING,
                                                     readbackWidth_, readbackHeight_);
            if (!resized) {
                std::cerr << "[MIRROR] SDL_CreateTexture: " << sdlError() << std::endl;
                continue;
            }
            SDL_SetTextureBlendMode(resized, SDL_BLENDMODE_NONE);
            SDL_DestroyTexture(output.texture);
            output.texture = resized;
        }
        if (!SDL_UpdateTexture(output.texture, nullptr, readback_.data(), rowLength)) {
            std::cerr << "[MIRROR] SDL_UpdateTexture: " << sdlError() << std::endl;
            continue;
        }
        SDL_SetRenderDrawColor(output.renderer, 0, 0, 0, 255);
        SDL_RenderClear(output.renderer);
        if (!SDL_RenderTexture(output.renderer, output.texture, nullptr, nullptr)) {
            std::cerr << "[MIRROR] SDL_RenderTexture: " << sdlError() << std::endl;
            continue;
        }
        SDL_RenderPresent(output.renderer);
    }
}

bool Display::writeScreenshot(const std::string& directory) {
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    if (error) {
        std::cerr << "[SCREENSHOT] Unable to create " << directory << ": " << error.message() << std::endl;
        return false;
    }
    const std::string path = directory + "/" + screenshotFileName(std::chrono::system_clock::now());
    try {
        // The readback is BGRA in memory, which is OpenCV's own four-channel order.
        const cv::Mat frame(readbackHeight_, readbackWidth_, CV_8UC4, readback_.data(),
                            static_cast<std::size_t>(readbackWidth_) * 4);
        if (!cv::imwrite(path, frame, {cv::IMWRITE_PNG_COMPRESSION, 0})) {
            std::cerr << "[SCREENSHOT] Unable to save " << path << std::endl;
            return false;
        }
    } catch (const std::exception& exception) {
        std::cerr << "[SCREENSHOT] " << exception.what() << std::endl;
        return false;
    }
    std::cout << "[SCREENSHOT] Saved uncompressed " << path << std::endl;
    return true;
}

void Display::present(bool updateMirrorOutputs) {
    if (!renderer_) return;
    std::string request;
    {
        std::lock_guard lock(mutex_);
        request = std::move(pendingScreenshotDirectory_);
        pendingScreenshotDirectory_.clear();
    }
    const bool mirrorWork = updateMirrorOutputs && !mirrors_.empty();
    if (mirrorWork || !request.empty()) {
        bool saved = false;
        if (readFrame()) {
            if (mirrorWork) refreshMirrors();
            if (!request.empty()) saved = writeScreenshot(request);
        }
        if (!request.empty() && !saved) {
            std::lock_guard lock(mutex_);
            if (pendingScreenshotDirectory_.empty()) pendingScreenshotDirectory_ = std::move(request);
        }
    }
    SDL_RenderPresent(renderer_);
}

}  // namespace lumetta
