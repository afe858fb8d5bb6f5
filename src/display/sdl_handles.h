#pragma once
// Owning handles for SDL, SDL_image and SDL_ttf objects, so every way out of a function releases
// them. Nothing else in the player calls an SDL destroy function.

#include <SDL3/SDL.h>
#include <SDL3_image/SDL_image.h>
#include <SDL3_ttf/SDL_ttf.h>

#include <memory>

namespace lumetta {

struct SurfaceDeleter {
    void operator()(SDL_Surface* surface) const { SDL_DestroySurface(surface); }
};
using SurfaceHandle = std::unique_ptr<SDL_Surface, SurfaceDeleter>;

struct TextureDeleter {
    void operator()(SDL_Texture* texture) const { SDL_DestroyTexture(texture); }
};
using TextureHandle = std::unique_ptr<SDL_Texture, TextureDeleter>;

// A renderer handle must go before the handle of its window.
struct RendererDeleter {
    void operator()(SDL_Renderer* renderer) const { SDL_DestroyRenderer(renderer); }
};
using RendererHandle = std::unique_ptr<SDL_Renderer, RendererDeleter>;

struct WindowDeleter {
    void operator()(SDL_Window* window) const { SDL_DestroyWindow(window); }
};
using WindowHandle = std::unique_ptr<SDL_Window, WindowDeleter>;

struct FontDeleter {
    void operator()(TTF_Font* font) const { TTF_CloseFont(font); }
};
using FontHandle = std::unique_ptr<TTF_Font, FontDeleter>;

struct AnimationDeleter {
    void operator()(IMG_Animation* animation) const { IMG_FreeAnimation(animation); }
};
using AnimationHandle = std::unique_ptr<IMG_Animation, AnimationDeleter>;

struct StreamDeleter {
    void operator()(SDL_IOStream* stream) const { SDL_CloseIO(stream); }
};
using StreamHandle = std::unique_ptr<SDL_IOStream, StreamDeleter>;

// A property set made for one call and destroyed with the scope; 0 when SDL could not make one.
class ScopedProperties {
public:
    ScopedProperties() : id_(SDL_CreateProperties()) {}
    ~ScopedProperties() {
        if (id_ != 0) SDL_DestroyProperties(id_);
    }
    ScopedProperties(const ScopedProperties&) = delete;
    ScopedProperties& operator=(const ScopedProperties&) = delete;

    SDL_PropertiesID id() const { return id_; }

private:
    SDL_PropertiesID id_;
};

}  // namespace lumetta
