#pragma once
// A bounded cache of finished surfaces by key: surfaces go in and come out as private copies, so
// an entry may be replaced or evicted at any moment without touching what a user holds. Copies
// are made and old surfaces freed outside the cache's lock.

#include <SDL3/SDL.h>

#include <cstddef>
#include <memory>
#include <string>

#include "core/bounded_cache.h"

namespace lumetta {

// The pixel bytes a surface holds (height × pitch).
std::size_t surfaceByteSize(const SDL_Surface* surface);

class SurfaceCache {
public:
    SurfaceCache(std::size_t maxEntries, std::size_t maxBytes) : cache_(maxEntries, maxBytes) {}

    // Files a copy of `surface` (the caller keeps its own); a null surface or a failed copy
    // stores nothing.
    void store(const std::string& key, SDL_Surface* surface);
    // A new copy owned by the caller, or null when the key is absent or copying fails.
    SDL_Surface* copy(const std::string& key) const;

    bool contains(const std::string& key) const { return cache_.contains(key); }
    std::size_t entryCount() const { return cache_.entryCount(); }
    std::size_t byteCount() const { return cache_.byteCount(); }

private:
    BoundedCache<std::shared_ptr<SDL_Surface>> cache_;
};

}  // namespace lumetta
