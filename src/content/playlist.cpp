#include "content/playlist.h"

#include <exception>
#include <iostream>

#include "core/log.h"

namespace lumetta {

Playlist::~Playlist() {
    try {
        releaseDownloads();
        queue_->evictPreparedImages(preparedImageId);
        preparedImageId = 0;
        releaseDirectory();
    } catch (const std::exception& error) {
        // Only a lock that cannot be taken gets here; the handle still goes.
        logLine(std::cerr, ansi::BOLD_RED, "[PLAYLIST]", std::string("Could not release playlist: ") + error.what());
    } catch (...) {
        logLine(std::cerr, ansi::BOLD_RED, "[PLAYLIST]", "Could not release playlist");
    }
}

const PlaylistContent& Playlist::contentOrEmpty() const {
    static const PlaylistContent empty;
    return content ? *content : empty;
}

const std::string& Playlist::account() const { return contentOrEmpty().account; }
const std::string& Playlist::branch() const { return contentOrEmpty().branch; }
const std::string& Playlist::name() const { return contentOrEmpty().name; }
std::size_t Playlist::slideCount() const { return contentOrEmpty().slides.size(); }
const Slide& Playlist::slideAt(std::size_t index) const { return contentOrEmpty().slides.at(index); }
std::size_t Playlist::tickerMessageCount() const { return contentOrEmpty().tickerMessages.size(); }
const std::string& Playlist::tickerMessageAt(std::size_t index) const {
    return contentOrEmpty().tickerMessages.at(index);
}

bool Playlist::waitForDownloads(std::uint64_t milliseconds) {
    return queue_->waitForGroup(downloadGroupId, milliseconds);
}

bool Playlist::downloadsSucceeded() const { return queue_->groupSucceeded(downloadGroupId); }

void Playlist::releaseDirectory() {
    if (!directoryHeld_) return;
    std::lock_guard lock(playlistFilesMutex);
    releasePlaylistDirectory(playlistDirectory);
    directoryHeld_ = false;
}

void Playlist::releaseDownloads() {
    if (downloadGroupId == 0) return;
    queue_->eraseGroup(downloadGroupId);
    downloadGroupId = 0;
}

}  // namespace lumetta
