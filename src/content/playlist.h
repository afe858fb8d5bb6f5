#pragma once
// The handle of one playlist: where its content lives, the download group its media count in,
// the tag of the pictures prepared for it, and its parsed content.
//
// The loader fills the fields once; afterwards the handle is only read, through the accessors
// below, and waited on. Destroying it gives up its download group and its prepared pictures.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "content/download_queue.h"
#include "content/playlist_loading.h"
#include "content/slide_model.h"

namespace lumetta {

class Playlist {
public:
    // An empty handle: no directories, no group, no prepared pictures, no content. Its group
    // (once it has one) lives in `queue`.
    explicit Playlist(ThreadSafeQueue& queue = downloadQueue) : queue_(&queue) {}
    // Loads a playlist from the service (or, at start-up, the active one that "playing.json"
    // names), stores its document as "playlist.json" in its own directory, builds its slides and
    // queues its media in a download group of its own. At start-up it also waits for the media
    // and activates itself. Throws std::runtime_error (std::invalid_argument for a bad slideshow)
    // and then leaves no group and no prepared pictures behind.
    Playlist(const std::string& configBaseDirectory, std::string deviceId, bool startup,
             const std::string& playlistId, const PlaylistLoadOptions& options = {});
    ~Playlist();
    Playlist(const Playlist&) = delete;
    Playlist& operator=(const Playlist&) = delete;

    // Read from the content; a handle without content reads as empty (no slides, no ticker
    // messages, empty names).
    const std::string& account() const;
    const std::string& branch() const;
    const std::string& name() const;
    // Media paths are this directory, "/" and the file name.
    const std::string& directory() const { return playlistDirectory; }
    std::size_t slideCount() const;
    // std::out_of_range for an index not below slideCount().
    const Slide& slideAt(std::size_t index) const;
    std::size_t tickerMessageCount() const;
    // std::out_of_range for an index not below tickerMessageCount().
    const std::string& tickerMessageAt(std::size_t index) const;

    // Waits at most `milliseconds` until the group has nothing pending (or is gone); true when
    // so. A handle without a group is done at once.
    bool waitForDownloads(std::uint64_t milliseconds);
    // True only when the group still exists, has nothing pending and nothing of it failed.
    bool downloadsSucceeded() const;
    // Gives the group up (it goes once its pending tasks are done) and forgets it.
    void releaseDownloads();

    ThreadSafeQueue& queue() const { return *queue_; }

    // Points "playing.json" in the base directory at this playlist's "playlist.json" (an atomic
    // rename of a new link), puts a new version of the document that waited beside the one on
    // screen in its place, removes the media its directory no longer needs and the directories
    // of earlier playlists (all but the two activated last before this one and those of handles
    // still alive). False, with the old link in force, when the document is missing, the
    // playlist is empty or the link cannot be replaced.
    bool activate();
    // Deletes every regular file below the playlist's directory that the playlist does not name
    // (image copies in "HD", "FHD" and "4K" count as named); directories stay. Skipped when
    // another load in this process rewrote the directory's "playlist.json" after this one: that
    // load's activation cleans up.
    void removeUnreferencedMedia();

    std::string baseDirectory;            // root of all playlist content
    std::string playlistDirectory;        // the playlist's own directory (read as directory())
    std::uint64_t downloadGroupId = 0;    // 0: no group
    std::uint64_t preparedImageId = 0;    // 0: no prepared pictures
    std::optional<PlaylistContent> content;

private:
    enum class Activation { Done, Refused, LeftToNewer };
    // The activation proper. A start-up load leaves the link alone (LeftToNewer) once another
    // playlist was activated after it began.
    Activation activateLink();
    void removeEarlierPlaylists();
    void releaseDirectory();
    const PlaylistContent& contentOrEmpty() const;
    void load(const std::string& configBaseDirectory, const std::string& deviceId, bool startup,
              const std::string& playlistId, const PlaylistLoadOptions& options);

    ThreadSafeQueue* queue_;
    std::uint64_t documentStamp_ = 0;  // this load's write of "playlist.json"; 0: none
    // The document waits beside the one "playing.json" names until this handle activates.
    bool documentWaiting_ = false;
    // The directory is counted in use while the handle lives, so no clean-up removes it.
    bool directoryHeld_ = false;
    // Start-up loads: the activations of the base directory seen when the load began.
    std::optional<std::uint64_t> activationsAtStart_;
};

}  // namespace lumetta
