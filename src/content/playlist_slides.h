#pragma once
// Reading a validated playlist's slides into the slide model, queueing every medium they name.

#include <cstdint>
#include <string>
#include <vector>

#include <json/value.h>

#include "content/download_queue.h"
#include "content/slide_model.h"

namespace lumetta {

// Where the media of one playlist are fetched from and stored.
struct MediaDestination {
    ThreadSafeQueue* queue = nullptr;
    std::string serviceOrigin;  // "https://host[:port]"; media come from /images/ and /videos/
    std::string directory;      // the playlist's own directory
    std::uint64_t groupId = 0;  // the playlist's download group
};

// Media used at their own size (sprites, scene resources) get this box: never reduced.
inline constexpr std::int32_t unreducedMediaSide = 100000;

// The slides of an expanded "slides" array that validatePlaylistContent accepted, in order. For
// every medium a slide names, one DownloadTask goes into `destination`'s queue and group, in the
// order the slide is read: scene resources, scene sprite items, image stencils, then the layers'
// sprite, image and video files. Names that are not bare file names are not queued. Throws
// std::runtime_error "Download queue is stopping" when the queue refuses a task.
std::vector<Slide> readSlides(const Json::Value& slides, const MediaDestination& destination);

}  // namespace lumetta
