#include "objects/prepared_image_cache.h"

#include <SDL3_image/SDL_image.h>

#include <algorithm>
#include <cctype>
#include <iostream>
#include <opencv2/imgcodecs.hpp>

#include "core/palette.h"

namespace lumetta {

void PreparedImageCache::prepare(const std::string& path, std::uint64_t preparedImageId) {
    // Decoding is slow on the boards: it runs before the lock, so the render thread's
    // take() never waits for it.
    SDL_Surface* surface = IMG_Load(path.c_str());
    if (!surface) {
        std::cerr << "Failed to prepare image: " << path << ": " << SDL_GetError() << std::endl;
        return;
    }
    if (!SDL_SetSurfaceBlendMode(surface, SDL_BLENDMODE_BLEND)) {
        SDL_DestroySurface(surface);
        return;
    }
    store(path, surface, preparedImageId);
}

void PreparedImageCache::store(const std::string& path, SDL_Surface* surface, std::uint64_t preparedImageId) {
    SurfaceHandle owned(surface);
    if (!owned) return;
    const std::size_t byteSize =
        static_cast<std::size_t>(std::max(owned->h, 0)) * static_cast<std::size_t>(std::max(owned->pitch, 0));

    std::lock_guard lock(mutex_);
    if (preparedImageId != 0 && releasedPreparedImageIds_.contains(preparedImageId)) return;

    if (auto existing = entries_.find(path); existing != entries_.end()) {
        removeTicketLocked(path, existing->second.generation);
        eraseEntryLocked(existing);
    }

    byteTotal_ += byteSize;
    const std::uint64_t generation = preparedImageGeneration_++;
    entries_.emplace(path, PreparedImage{std::move(owned), byteSize, preparedImageId, generation});
    evictionQueue_.push_back(EvictionTicket{path, generation});

    while (byteTotal_ > PREPARED_IMAGE_LIMIT && !evictionQueue_.empty()) {
        EvictionTicket ticket = std::move(evictionQueue_.front());
        evictionQueue_.pop_front();
        auto entry = entries_.find(ticket.path);
        if (entry != entries_.end() && entry->second.generation == ticket.generation) eraseEntryLocked(entry);
    }
}

SDL_Surface* PreparedImageCache::take(const std::string& path) {
    std::lock_guard lock(mutex_);
    auto entry = entries_.find(path);
    if (entry == entries_.end()) return nullptr;
    removeTicketLocked(path, entry->second.generation);
    byteTotal_ -= entry->second.byteSize;
    SDL_Surface* surface = entry->second.surface.release();
    entries_.erase(entry);
    return surface;
}

void PreparedImageCache::releasePreparedImageId(std::uint64_t preparedImageId,
                                                const std::function<bool()>& workStillPending) {
    if (preparedImageId == 0) return;
    std::lock_guard lock(mutex_);
    releasedPreparedImageIds_.insert(preparedImageId);
    for (auto entry = entries_.begin(); entry != entries_.end();) {
        if (entry->second.preparedImageId != preparedImageId) {
            ++entry;
            continue;
        }
        removeTicketLocked(entry->first, entry->second.generation);
        byteTotal_ -= entry->second.byteSize;
        entry = entries_.erase(entry);
    }
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

std::size_t PreparedImageCache::byteTotal() const {
    std::lock_guard lock(mutex_);
    return byteTotal_;
}

std::size_t PreparedImageCache::entryCount() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

bool PreparedImageCache::contains(const std::string& path) const {
    std::lock_guard lock(mutex_);
    return entries_.contains(path);
}

void PreparedImageCache::removeTicketLocked(const std::string& path, std::uint64_t generation) {
    auto ticket = std::find_if(evictionQueue_.begin(), evictionQueue_.end(), [&](const EvictionTicket& t) {
        return t.generation == generation && t.path == path;
    });
    if (ticket != evictionQueue_.end()) evictionQueue_.erase(ticket);
}

void PreparedImageCache::eraseEntryLocked(std::unordered_map<std::string, PreparedImage>::iterator entry) {
    byteTotal_ -= entry->second.byteSize;
    entries_.erase(entry);
}

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
        std::cerr << "Failed to read image: " << ansi::BOLD_RED << path << ansi::RESET << std::endl;
        return false;
    }
    return picture.cols > maxWidth || picture.rows > maxHeight;
}

}  // namespace lumetta
