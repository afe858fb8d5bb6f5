#include "player/slide_image_preloader.h"

#include <SDL3/SDL.h>

#include <algorithm>
#include <cctype>
#include <utility>
#include <variant>

#include "content/slide_model.h"
#include "objects/prepared_image_cache.h"
#include "player/live_layer.h"

namespace lumetta::player {

namespace {

bool isGif(const std::string& file) {
    if (file.size() < 4) return false;
    std::string extension = file.substr(file.size() - 4);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension == ".gif";
}

}  // namespace

SlideImagePreloader::SlideImagePreloader(Decode decode)
    : decode_(decode ? std::move(decode) : Decode([](const std::string& path) { prepareImage(path); })),
      worker_([this](std::stop_token stop) { run(std::move(stop)); }) {}

SlideImagePreloader::~SlideImagePreloader() { stop(); }

void SlideImagePreloader::requestStop() {
    worker_.request_stop();
    wakeup_.notify_all();
}

void SlideImagePreloader::stop() {
    requestStop();
    if (worker_.joinable()) worker_.join();
}

void SlideImagePreloader::enqueue(const std::vector<std::string>& paths) {
    {
        std::lock_guard lock(mutex_);
        for (const std::string& path : paths) {
            if (pending_.insert(path).second) queue_.push_back(path);
        }
    }
    wakeup_.notify_one();
}

std::size_t SlideImagePreloader::pendingCount() const {
    std::lock_guard lock(mutex_);
    return pending_.size();
}

void SlideImagePreloader::run(std::stop_token stop) {
    // A failed decode leaves SDL's error text in this thread's SDL storage, which only SDL's own
    // threads free by themselves.
    struct ReleaseSdlThreadStorage {
        ~ReleaseSdlThreadStorage() { SDL_CleanupTLS(); }
    } release;
    while (true) {
        std::string path;
        {
            std::unique_lock lock(mutex_);
            // The stop token wakes this wait by itself; stop() notifies as well for clarity.
            wakeup_.wait(lock, stop, [this] { return !queue_.empty(); });
            if (stop.stop_requested()) return;
            path = std::move(queue_.front());
            queue_.pop_front();
        }
        // Outside the lock: a decode can take longer than several frames, and the loop's
        // enqueue must never wait for it.
        try {
            decode_(path);
        } catch (...) {
            // The cache reports its own failures; anything else thrown must not end the worker.
        }
        {
            std::lock_guard lock(mutex_);
            pending_.erase(path);
        }
        if (stop.stop_requested()) return;
    }
}

std::vector<std::string> nextSlideImagePaths(const std::vector<Slide>& slides, std::size_t currentIndex,
                                             const std::string& playlistDirectory,
                                             const std::string& resolutionClass) {
    std::vector<std::string> paths;
    if (slides.size() < 2) return paths;
    const Slide& next = slides[(currentIndex + 1) % slides.size()];
    for (const SlideLayer& layer : next.layers) {
        const auto pictureFile = liveLayerKindRow(layerKind(layer.content)).pictureFile;
        if (pictureFile == nullptr) continue;
        std::string path = pictureFile(layer.content, playlistDirectory, resolutionClass);
        if (!isGif(path)) paths.push_back(std::move(path));
    }
    return paths;
}

}  // namespace lumetta::player
