#pragma once
// What loading a playlist reaches outside its own handle: the management service, the
// connectivity probe, the download queue, the clock of its waits and the player's running flag.
// Production uses the defaults; tests hand in a loopback service, a scripted probe, a queue of
// their own and a manual clock.

#include <curl/curl.h>

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "content/download_queue.h"
#include "core/clock.h"
#include "core/connectivity.h"
#include "core/process_state.h"
#include "core/shared_defaults.h"

namespace lumetta {

struct PlaylistLoadOptions {
    ThreadSafeQueue* queue = &downloadQueue;             // where the media are queued
    std::string serviceHost = sharedDefaults().serviceHost;  // after "https://": host or host:port
    std::function<bool()> internetAccess = hasInternetAccess;  // asked once a second while offline
    long transferTimeoutSeconds = 30;                     // the whole playlist document transfer
    Clock* clock = &systemClock();                        // the 1 s rounds of the connectivity wait
    // Loading ends with "Playlist loading stopped" soon after this is cleared or the queue stops.
    const std::atomic<bool>* running = &playerRunning;
};

// Held while a loader writes a playlist's "playlist.json" (with the account and branch it saves
// and the directory it makes) and while an activation cleans a playlist directory up, so that two
// loads of one directory at start-up never delete each other's media.
extern std::mutex playlistFilesMutex;

// With playlistFilesMutex held: notes that "playlist.json" of `directory` was just written by a
// load and returns the stamp of that write (never 0).
std::uint64_t notePlaylistDocumentWritten(const std::string& directory);
// With playlistFilesMutex held: the stamp of the last write noted for `directory`, 0 for none.
std::uint64_t lastPlaylistDocumentStamp(const std::string& directory);
// With playlistFilesMutex held: how many activations of playlists under `baseDirectory` this
// process has made.
std::uint64_t playlistActivationCount(const std::string& baseDirectory);
// With playlistFilesMutex held: counts a playlist directory in use by one more (or one fewer)
// handle; a directory in use is never removed as an earlier playlist's.
void holdPlaylistDirectory(const std::string& directory);
void releasePlaylistDirectory(const std::string& directory);

// Where a new version of a playlist's document waits while the old one is on screen: beside
// "playlist.json", under a name no medium may take.
std::string waitingDocumentPath(const std::string& playlistDirectory);

// curl_easy_setopt with a pointer or an integer; a refusal throws
// "Could not configure playlist download: " + libcurl's text.
void setCurlOption(CURL* handle, CURLoption option, const void* value);
void setCurlLongOption(CURL* handle, CURLoption option, long value);

// libcurl write callback that appends to `target`. Returns 0 (failing the transfer) for a null
// pointer, a block larger than 4 GiB or a string that cannot grow; never throws.
std::size_t appendResponse(char* data, std::size_t size, std::size_t count, std::string* target);

// Creates the directory with its parents. Throws "Could not create playlist directory '<path>': "
// + the reason, or "Playlist directory path is not a directory: '<path>'".
void ensurePlaylistDirectory(const std::filesystem::path& path);

}  // namespace lumetta
