#pragma once
// The process-wide store of pictures decoded ahead of time.
//
// Background threads decode image files into SDL surfaces with prepareImage; the Image
// element takes the surface for its path out with takePreparedImage instead of decoding
// on the render thread. At most PREPARED_IMAGE_LIMIT bytes of pixels are kept; the
// entries stored first leave first.

#include <SDL3/SDL.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <mutex>
#include <string>
#include <unordered_set>

#include "core/bounded_cache.h"
#include "display/sdl_handles.h"

namespace lumetta {

inline constexpr std::size_t PREPARED_IMAGE_LIMIT = 134217728;  // 128 MiB of surface bytes

struct PreparedImage {
    SurfaceHandle surface;
    std::uint64_t preparedImageId = 0;    // the playlist it was prepared for; 0 for none
};

class PreparedImageCache {
public:
    PreparedImageCache() : entries_(std::numeric_limits<std::size_t>::max(), PREPARED_IMAGE_LIMIT) {}
    PreparedImageCache(const PreparedImageCache&) = delete;
    PreparedImageCache& operator=(const PreparedImageCache&) = delete;

    // Decodes the file (without holding the lock) and stores it. A file that cannot be
    // decoded is reported on standard error and leaves the cache unchanged.
    void prepare(const std::string& path, std::uint64_t preparedImageId);

    // Stores an already decoded surface, taking ownership, and evicts the oldest entries
    // while the byte total is above the limit. A surface for a released id is destroyed.
    void store(const std::string& path, SurfaceHandle surface, std::uint64_t preparedImageId);
    void store(const std::string& path, SDL_Surface* surface, std::uint64_t preparedImageId) {
        store(path, SurfaceHandle(surface), preparedImageId);
    }

    // The surface stored for the path, removed from the cache and owned by the caller;
    // null when the path has no entry.
    SDL_Surface* take(const std::string& path);

    // Releases a playlist's pictures: marks the id as released (so late work for it is
    // refused), drops every entry stored under it, and then asks `workStillPending`
    // whether the playlist's downloads may still produce pictures. That question is asked
    // with the cache lock held, so it may take the download queue's lock (never the other
    // way round). When nothing is pending the id is unmarked at once; otherwise it stays
    // released until forgetReleasedId. An id of 0 does nothing.
    void releasePreparedImageId(std::uint64_t preparedImageId, const std::function<bool()>& workStillPending);

    // Unmarks a released id once its playlist's last pending download is done.
    void forgetReleasedId(std::uint64_t preparedImageId);

    bool isReleased(std::uint64_t preparedImageId) const;
    std::size_t byteTotal() const;
    std::size_t entryCount() const;
    bool contains(const std::string& path) const;

private:
    // Lock order: mutex_ (the released ids) before the entries' own lock.
    mutable std::mutex mutex_;
    std::unordered_set<std::uint64_t> releasedPreparedImageIds_;
    BoundedCache<PreparedImage> entries_;  // replacing a path stores it anew, last in the order
};

// The one cache of the process.
PreparedImageCache& preparedImageCache();

// Image-processing worker: prepare for a playlist's prepared-image id.
void prepareImage(const std::string& path, std::uint64_t preparedImageId);
// Slide image preloader: prepare for no playlist (id 0, never refused).
void prepareImage(const std::string& path);
SDL_Surface* takePreparedImage(const std::string& path);

// True when the name, in any case, ends in ".png", ".jpg" or ".jpeg".
bool isResizableImage(const std::string& fileName);

// True when the picture in the file, turned upright as its Exif orientation says, is wider than
// maxWidth or taller than maxHeight.
// An unreadable file is reported and counts as not too large.
bool imageExceedsSize(const std::string& path, int maxWidth, int maxHeight);

}  // namespace lumetta
