#include "objects/surface_cache.h"

#include <algorithm>

#include "display/sdl_handles.h"

namespace lumetta {

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
    return cached ? SDL_ConvertSurface(cached.get(), cached->format) : nullptr;
}

}  // namespace lumetta
