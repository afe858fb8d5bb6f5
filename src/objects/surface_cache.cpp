#include "objects/surface_cache.h"

#include <algorithm>
#include <cstring>

#include "display/sdl_handles.h"

namespace lumetta {

namespace {

// A copy of a cached surface that only reads it. Several threads may copy one entry at once, and
// SDL's conversions write into their source (the blit map they keep on it): a copy by bytes, with
// the drawing settings and palette taken over, never touches the original.
SDL_Surface* copyByBytes(SDL_Surface* source) {
    if (SDL_MUSTLOCK(source)) return nullptr;  // cached surfaces are never run-length encoded
    SurfaceHandle copy(SDL_CreateSurface(source->w, source->h, source->format));
    if (!copy) return nullptr;
    if (SDL_ISPIXELFORMAT_INDEXED(source->format)) {
        const SDL_Palette* palette = SDL_GetSurfacePalette(source);
        SDL_Palette* own = SDL_CreateSurfacePalette(copy.get());
        if (palette == nullptr || own == nullptr || !SDL_SetPaletteColors(own, palette->colors, 0, palette->ncolors)) {
            return nullptr;
        }
    }
    const auto row = static_cast<std::size_t>(std::min(source->pitch, copy->pitch));
    for (int y = 0; y < source->h; ++y) {
        std::memcpy(static_cast<Uint8*>(copy->pixels) + static_cast<std::ptrdiff_t>(y) * copy->pitch,
                    static_cast<const Uint8*>(source->pixels) + static_cast<std::ptrdiff_t>(y) * source->pitch, row);
    }
    SDL_BlendMode blend = SDL_BLENDMODE_NONE;
    Uint8 alpha = 255, r = 255, g = 255, b = 255;
    Uint32 key = 0;
    if (SDL_GetSurfaceBlendMode(source, &blend)) SDL_SetSurfaceBlendMode(copy.get(), blend);
    if (SDL_GetSurfaceAlphaMod(source, &alpha)) SDL_SetSurfaceAlphaMod(copy.get(), alpha);
    if (SDL_GetSurfaceColorMod(source, &r, &g, &b)) SDL_SetSurfaceColorMod(copy.get(), r, g, b);
    if (SDL_SurfaceHasColorKey(source) && SDL_GetSurfaceColorKey(source, &key)) {
        SDL_SetSurfaceColorKey(copy.get(), true, key);
    }
    return copy.release();
}

}  // namespace

std::size_t surfaceByteSize(const SDL_Surface* surface) {
    return static_cast<std::size_t>(std::max(surface->h, 0)) * static_cast<std::size_t>(std::max(surface->pitch, 0));
}

void SurfaceCache::store(const std::string& key, SDL_Surface* surface) {
    if (surface == nullptr) return;
    std::shared_ptr<SDL_Surface> copied(SDL_ConvertSurface(surface, surface->format), SurfaceDeleter{});
    if (!copied) return;
    const std::size_t bytes = surfaceByteSize(copied.get());
    cache_.store(key, std::move(copied), bytes);
}

SDL_Surface* SurfaceCache::copy(const std::string& key) const {
    const std::shared_ptr<SDL_Surface> cached = cache_.find(key);
    return cached ? copyByBytes(cached.get()) : nullptr;
}

}  // namespace lumetta
