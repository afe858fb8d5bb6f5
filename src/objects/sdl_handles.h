#pragma once
// Owning handles for SDL and SDL_ttf objects, so every way out of a function releases them.

#include <SDL3/SDL.h>
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

struct FontDeleter {
    void operator()(TTF_Font* font) const { TTF_CloseFont(font); }
};
using FontHandle = std::unique_ptr<TTF_Font, FontDeleter>;

}  // namespace lumetta
