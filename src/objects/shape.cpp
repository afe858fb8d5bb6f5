#include "objects/shape.h"

#include <iostream>
#include <stdexcept>
#include <string>

#include "core/log.h"
#include "core/palette.h"
#include "display/display.h"
#include "display/draw.h"
#include "display/slide_mapping.h"

namespace lumetta {

namespace {

std::runtime_error sdlFailure(const char* call) {
    return std::runtime_error(std::string(call) + " failed: " + SDL_GetError());
}

}  // namespace

SDL_Renderer* shapeRenderer(Display* display, int slideWidth, int slideHeight, std::string_view word) {
    const std::string name(word);
    if (display == nullptr) {
        throw std::runtime_error(name + " display is null");
    }
    if (slideWidth <= 0 || slideHeight <= 0) {
        throw std::runtime_error(name + " logical dimensions must be greater than zero");
    }
    SDL_Renderer* renderer = display->renderer();
    if (renderer == nullptr) {
        throw std::runtime_error(name + " renderer is null");
    }
    return renderer;
}

SDL_Rect shapeBox(const SDL_Rect& rect, int slideWidth, int slideHeight, std::string_view word) {
    SDL_Rect box = rect;
    if (rect.x == 0 && rect.y == 0 && rect.w == 0 && rect.h == 0) {
        box = {0, 0, slideWidth, slideHeight};
    }
    if (box.w <= 0 || box.h <= 0) {
        throw std::runtime_error(std::string(word) + " dimensions must be greater than zero");
    }
    return box;
}

TextureHandle makeShapeTexture(SDL_Renderer* renderer, int width, int height,
                              const std::function<void(const PixelRows&)>& paint) {
    // A picture the renderer cannot take as a texture is refused before its surface is
    // allocated and painted: hostile sizes would otherwise cost gigabytes and minutes on the
    // render thread only to fail in SDL_CreateTextureFromSurface with this same complaint.
    const Sint64 limit = SDL_GetNumberProperty(SDL_GetRendererProperties(renderer),
                                               SDL_PROP_RENDERER_MAX_TEXTURE_SIZE_NUMBER, 0);
    if (limit > 0 && (width > limit || height > limit)) {
        throw std::runtime_error("SDL_CreateTextureFromSurface failed: Texture dimensions are limited to " +
                                 std::to_string(limit) + "x" + std::to_string(limit));
    }
    SurfaceHandle surface(SDL_CreateSurface(width, height, SDL_PIXELFORMAT_ABGR8888));
    if (!surface) {
        throw sdlFailure("SDL_CreateSurface");
    }
    const bool mustLock = SDL_MUSTLOCK(surface.get());
    if (mustLock && !SDL_LockSurface(surface.get())) {
        const std::string error = SDL_GetError();
        surface.reset();
        throw std::runtime_error("SDL_LockSurface failed: " + error);
    }
    paint(PixelRows{surface->pixels, surface->w, surface->h, surface->pitch});
    if (mustLock) {
        SDL_UnlockSurface(surface.get());
    }
    TextureHandle texture(SDL_CreateTextureFromSurface(renderer, surface.get()));
    surface.reset();
    if (!texture) {
        throw sdlFailure("SDL_CreateTextureFromSurface");
    }
    if (!SDL_SetTextureBlendMode(texture.get(), SDL_BLENDMODE_BLEND)) {
        const std::string error = SDL_GetError();
        texture.reset();
        throw std::runtime_error("SDL_SetTextureBlendMode failed: " + error);
    }
    return texture;
}

bool ShapeElement::drawShape(std::string_view word, int margin, double angle, int offsetX, int offsetY,
                               SDL_FlipMode flip) const {
    if (!texture || display == nullptr || slideWidth <= 0 || slideHeight <= 0 || rect.w <= 0 || rect.h <= 0) {
        return false;
    }
    try {
        SDL_Renderer* renderer = display->renderer();
        if (renderer == nullptr) {
            throw std::runtime_error(std::string(word) + " renderer is null");
        }
        ShapePlacementInput input;
        if (!SDL_GetCurrentRenderOutputSize(renderer, &input.outputWidth, &input.outputHeight)) {
            throw sdlFailure("SDL_GetCurrentRenderOutputSize");
        }
        if (input.outputWidth <= 0 || input.outputHeight <= 0) {
            return false;
        }
        const SlideMapping mapping = SlideMapping::forRenderer(renderer, slideWidth, slideHeight);
        input.viewport = mapping.viewport();
        input.rotation = mapping.rotation();
        input.slideWidth = slideWidth;
        input.slideHeight = slideHeight;
        input.box = rect;
        input.offsetX = offsetX;
        input.offsetY = offsetY;
        input.margin = margin;
        input.angle = angle;
        const std::optional<ShapePlacement> placement = placeShape(input);
        if (!placement) {
            return false;
        }
        if (!drawTexture(renderer, texture.get(), nullptr, &placement->destination, placement->angle,
                         &placement->centre, flip, display->drawSubmitter())) {
            throw sdlFailure("SDL_RenderTextureRotated");
        }
        return true;
    } catch (const std::exception& error) {
        logText(std::cerr, std::string(word) + " Draw Exception: " + colored(ansi::BOLD_RED, error.what()));
        return false;
    }
}

}  // namespace lumetta
