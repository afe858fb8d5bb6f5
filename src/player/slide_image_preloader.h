#pragma once
// Decodes the pictures of the coming slide into the prepared-image cache while the slide on
// screen is still showing, so the next slide's image layers find them ready instead of decoding
// on the render thread.
//
// One worker thread, one decode at a time. It only warms the cache: nothing waits for it, it
// never draws and it writes no lines of its own (a file that fails to decode is reported by the
// decoder). A path is queued at most once while it waits or is being decoded; afterwards it can
// be queued again and the cache decides whether decoding again is worth it.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

namespace lumetta {
struct Slide;
}

namespace lumetta::player {

class SlideImagePreloader {
public:
    // Decodes one file into the cache; by default prepareImage(path), the playlist-less id 0.
    using Decode = std::function<void(const std::string& path)>;

    // Starts the worker.
    explicit SlideImagePreloader(Decode decode = {});
    // Stops and joins: the decode in progress finishes, queued paths are dropped.
    ~SlideImagePreloader();
    SlideImagePreloader(const SlideImagePreloader&) = delete;
    SlideImagePreloader& operator=(const SlideImagePreloader&) = delete;

    // Queues, in list order, every path that is neither queued nor being decoded, and wakes the
    // worker.
    void enqueue(const std::vector<std::string>& paths);

    // Asks the worker to leave after the decode in progress, without waiting for it.
    void requestStop();
    // requestStop, then waits for the worker. Idempotent.
    void stop();

    // Paths queued or being decoded.
    std::size_t pendingCount() const;

private:
    void run(std::stop_token stop);

    mutable std::mutex mutex_;
    std::condition_variable_any wakeup_;
    std::deque<std::string> queue_;
    std::unordered_set<std::string> pending_;  // queued or being decoded
    Decode decode_;
    std::jthread worker_;  // last: starts once everything above exists
};

// The files to preload for the slide after `currentIndex`: that slide's image layers in order,
// each the copy for the display's resolution class when there is one (the same choice the image
// layer makes), animated ".gif" files (any case) left out since the layer loads those itself.
// Empty for a playlist of fewer than two slides.
std::vector<std::string> nextSlideImagePaths(const std::vector<Slide>& slides, std::size_t currentIndex,
                                             const std::string& playlistDirectory,
                                             const std::string& resolutionClass);

}  // namespace lumetta::player
