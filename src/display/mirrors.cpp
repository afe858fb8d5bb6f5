#include "display/mirrors.h"

#include <cstring>
#include <iostream>

#include "core/log.h"
#include "core/palette.h"

namespace lumetta {

namespace {

std::string sdlError() {
    const char* text = SDL_GetError();
    return text ? std::string(text) : std::string();
}

void logMirror(std::string_view color, const std::string& text) { logLine(std::cerr, color, text, ""); }

}  // namespace

bool setWindowProperties(SDL_PropertiesID properties, const std::string& title, int x, int y, int width, int height,
                         SDL_WindowFlags flags) {
    return SDL_SetStringProperty(properties, SDL_PROP_WINDOW_CREATE_TITLE_STRING, title.c_str()) &&
           SDL_SetNumberProperty(properties, SDL_PROP_WINDOW_CREATE_X_NUMBER, x) &&
           SDL_SetNumberProperty(properties, SDL_PROP_WINDOW_CREATE_Y_NUMBER, y) &&
           SDL_SetNumberProperty(properties, SDL_PROP_WINDOW_CREATE_WIDTH_NUMBER, width) &&
           SDL_SetNumberProperty(properties, SDL_PROP_WINDOW_CREATE_HEIGHT_NUMBER, height) &&
           SDL_SetNumberProperty(properties, SDL_PROP_WINDOW_CREATE_FLAGS_NUMBER, static_cast<Sint64>(flags));
}

bool readFrame(SDL_Renderer* renderer, FrameReadback& frame) {
    SurfaceHandle surface(SDL_RenderReadPixels(renderer, nullptr));
    if (!surface) {
        logText(std::cerr, "[DISPLAY] SDL_RenderReadPixels: " + sdlError());
        return false;
    }
    SurfaceHandle converted;
    const SDL_Surface* source = surface.get();
    if (surface->format != FrameReadback::format) {
        converted.reset(SDL_ConvertSurface(surface.get(), FrameReadback::format));
        if (!converted) {
            logText(std::cerr, "[DISPLAY] SDL_RenderReadPixels: " + sdlError());
            return false;
        }
        source = converted.get();
    }
    const SDL_PixelFormatDetails* details = SDL_GetPixelFormatDetails(FrameReadback::format);
    const long long rowLength = details ? static_cast<long long>(source->w) * details->bytes_per_pixel : 0;
    if (!details || source->w <= 0 || rowLength <= 0 || source->h <= 0 || rowLength * source->h == 0 ||
        rowLength > source->pitch) {
        logText(std::cerr, "[DISPLAY] Invalid renderer readback dimensions");
        return false;
    }
    frame.pixels.resize(static_cast<std::size_t>(rowLength) * static_cast<std::size_t>(source->h));
    const auto* rows = static_cast<const std::uint8_t*>(source->pixels);
    for (int row = 0; row < source->h; ++row) {
        std::memcpy(frame.pixels.data() + static_cast<std::size_t>(row) * static_cast<std::size_t>(rowLength),
                    rows + static_cast<std::size_t>(row) * static_cast<std::size_t>(source->pitch),
                    static_cast<std::size_t>(rowLength));
    }
    frame.width = source->w;
    frame.height = source->h;
    return true;
}

std::optional<MirrorOutput> openMirror(int index, SDL_DisplayID display, const std::string& title,
                                       SDL_WindowFlags vulkanFlag, int frameWidth, int frameHeight,
                                       DisplayQueries& queries) {
    const std::string number = std::to_string(index);
    const SDL_DisplayMode mode = chooseDefaultMode(queries, display);
    if (mode.w <= 0 || mode.h <= 0) {
        logMirror(ansi::RED, "[MIRROR] No suitable mode for display " + number);
        return std::nullopt;
    }
    MirrorOutput output;
    output.x = output.y = static_cast<int>(SDL_WINDOWPOS_CENTERED_DISPLAY(display));
    {
        const ScopedProperties properties;
        if (properties.id() == 0) {
            logText(std::cerr, "[MIRROR] SDL_CreateProperties: " + sdlError());
            return std::nullopt;
        }
        if (!setWindowProperties(properties.id(), title + " - Mirror " + number, output.x, output.y, mode.w, mode.h,
                                 SDL_WINDOW_FULLSCREEN | vulkanFlag)) {
            logText(std::cerr, "[MIRROR] Window properties: " + sdlError());
            return std::nullopt;
        }
        output.window.reset(SDL_CreateWindowWithProperties(properties.id()));
    }
    if (!output.window) {
        logMirror(ansi::RED, "[MIRROR] SDL_CreateWindow display " + number + ": " + sdlError());
        return std::nullopt;
    }
    if (!setFullscreenMode(output.window.get(), mode, queries)) {
        logText(std::cerr, "[MIRROR] SDL_SetWindowFullscreenMode display " + number + ": " + sdlError());
        return std::nullopt;
    }
    if (!SDL_GetWindowSize(output.window.get(), &output.width, &output.height)) {
        logText(std::cerr, "[MIRROR] SDL_GetWindowSize: " + sdlError());
        return std::nullopt;
    }
    output.renderer.reset(SDL_CreateRenderer(output.window.get(), vulkanFlag ? "vulkan" : nullptr));
    if (!output.renderer) {
        logMirror(ansi::RED, "[MIRROR] SDL_CreateRenderer display " + number + ": " + sdlError());
        return std::nullopt;
    }
    if (!SDL_SetRenderVSync(output.renderer.get(), 1)) logText(std::cerr, "[MIRROR] SDL_SetRenderVSync: " + sdlError());
    SDL_SetRenderDrawColor(output.renderer.get(), 0, 0, 0, 255);
    output.texture.reset(SDL_CreateTexture(output.renderer.get(), FrameReadback::format, SDL_TEXTUREACCESS_STREAMING,
                                           frameWidth, frameHeight));
    if (!output.texture) {
        logMirror(ansi::RED, "[MIRROR] SDL_CreateTexture display " + number + ": " + sdlError());
        return std::nullopt;
    }
    if (!SDL_SetTextureBlendMode(output.texture.get(), SDL_BLENDMODE_NONE)) {
        logText(std::cerr, "[MIRROR] SDL_SetTextureBlendMode: " + sdlError());
        return std::nullopt;
    }
    return output;
}

void showOnMirror(MirrorOutput& output, const FrameReadback& frame) {
    if (!output.renderer || !output.texture) return;
    // The frame size follows the output; a mirror texture made for another size is remade so
    // the update never reads past the frame nor leaves part of the texture stale.
    float textureWidth = 0;
    float textureHeight = 0;
    SDL_GetTextureSize(output.texture.get(), &textureWidth, &textureHeight);
    if (static_cast<int>(textureWidth) != frame.width || static_cast<int>(textureHeight) != frame.height) {
        TextureHandle resized(SDL_CreateTexture(output.renderer.get(), FrameReadback::format,
                                                SDL_TEXTUREACCESS_STREAMING, frame.width, frame.height));
        if (!resized) {
            logText(std::cerr, "[MIRROR] SDL_CreateTexture: " + sdlError());
            return;
        }
        SDL_SetTextureBlendMode(resized.get(), SDL_BLENDMODE_NONE);
        output.texture = std::move(resized);
    }
    if (!SDL_UpdateTexture(output.texture.get(), nullptr, frame.pixels.data(), frame.width * 4)) {
        logText(std::cerr, "[MIRROR] SDL_UpdateTexture: " + sdlError());
        return;
    }
    SDL_SetRenderDrawColor(output.renderer.get(), 0, 0, 0, 255);
    SDL_RenderClear(output.renderer.get());
    if (!SDL_RenderTexture(output.renderer.get(), output.texture.get(), nullptr, nullptr)) {
        logText(std::cerr, "[MIRROR] SDL_RenderTexture: " + sdlError());
        return;
    }
    SDL_RenderPresent(output.renderer.get());
}

}  // namespace lumetta
