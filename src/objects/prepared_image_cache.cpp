#include "objects/prepared_image_cache.h"

#include <SDL3_image/SDL_image.h>

#include <algorithm>
#include <cctype>
#include <iostream>
#include <opencv2/imgcodecs.hpp>

#include "core/log.h"
#include "core/palette.h"
#include "objects/picture_orientation.h"
#include "objects/surface_cache.h"

namespace lumetta {

void PreparedImageCache::prepare(const std::string& path, std::uint64_t preparedImageId) {
    // Decoding is slow on the boards: it runs before the lock, so the render thread's
    // take() never waits for it.
    SurfaceHandle surface = uprightSurface(SurfaceHandle(IMG_Load(path.c_str())), exifOrientationOfFile(path));
    if (!surface) {
        logText(std::cerr, "Failed to prepare image: " + path + ": " + SDL_GetError());
        return;
    }
    if (!SDL_SetSurfaceBlendMode(surface.get(), SDL_BLENDMODE_BLEND)) return;
    store(path, std::move(surface), preparedImageId);
}

void PreparedImageCache::store(const std::string& path, SurfaceHandle owned, std::uint64_t preparedImageId) {
    // `owned` and the two below outlive the lock, so refused, replaced and evicted pictures are
    // freed after it.
    if (!owned) return;
    const std::size_t byteSize = surfaceByteSize(owned.get());
    PreparedImage replaced;
    BoundedCache<PreparedImage>::Released evicted;

    std::lock_guard lock(mutex_);
    if (preparedImageId != 0 && releasedPreparedImageIds_.contains(preparedImageId)) return;
    replaced = entries_.take(path);
    evicted = entries_.store(path, PreparedImage{std::move(owned), preparedImageId}, byteSize);
}

SDL_Surface* PreparedImageCache::take(const std::string& path) {
    return entries_.take(path).surface.release();
}

void PreparedImageCache::releasePreparedImageId(std::uint64_t preparedImageId,
                                                const std::function<bool()>& workStillPending) {
    if (preparedImageId == 0) return;
    BoundedCache<PreparedImage>::Released dropped;
    std::lock_guard lock(mutex_);
    releasedPreparedImageIds_.insert(preparedImageId);
    dropped = entries_.eraseIf([&](const PreparedImage& image) { return image.preparedImageId == preparedImageId; });
    if (workStillPending && workStillPending()) return;
    releasedPreparedImageIds_.erase(preparedImageId);
}

void PreparedImageCache::forgetReleasedId(std::uint64_t preparedImageId) {
    std::lock_guard lock(mutex_);
    releasedPreparedImageIds_.erase(preparedImageId);
}

bool PreparedImageCache::isReleased(std::uint64_t preparedImageId) const {
    std::lock_guard lock(mutex_);
    return releasedPreparedImageIds_.contains(preparedImageId);
}

std::size_t PreparedImageCache::byteTotal() const { return entries_.byteCount(); }

std::size_t PreparedImageCache::entryCount() const { return entries_.entryCount(); }

bool PreparedImageCache::contains(const std::string& path) const { return entries_.contains(path); }

PreparedImageCache& preparedImageCache() {
    static PreparedImageCache cache;
    return cache;
}

void prepareImage(const std::string& path, std::uint64_t preparedImageId) {
    preparedImageCache().prepare(path, preparedImageId);
}

void prepareImage(const std::string& path) { preparedImageCache().prepare(path, 0); }

SDL_Surface* takePreparedImage(const std::string& path) { return preparedImageCache().take(path); }

bool isResizableImage(const std::string& fileName) {
    std::string lower = fileName;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower.ends_with(".png") || lower.ends_with(".jpg") || lower.ends_with(".jpeg");
}

bool imageExceedsSize(const std::string& path, int maxWidth, int maxHeight) {
    const cv::Mat picture = cv::imread(path, cv::IMREAD_UNCHANGED);
    if (picture.empty()) {
        logText(std::cerr, "Failed to read image: " + colored(ansi::BOLD_RED, path));
        return false;
    }
    // Measured upright, as it is drawn.
    const bool turned = pictureTurn(exifOrientationOfFile(path)).swapsSides;
    return (turned ? picture.rows : picture.cols) > maxWidth || (turned ? picture.cols : picture.rows) > maxHeight;
}

}  // namespace lumetta
