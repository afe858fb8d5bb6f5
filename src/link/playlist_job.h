#pragma once
// The playlist job: turns the service's newest playlist request into a playlist the player loop
// can play.
//
// The "playlist" and "emergency" handlers put requests into a one-place mailbox; the job thread
// takes the newest, builds the Playlist (document, storage, media queued), waits until every
// medium is downloaded and verified, waits for the activation time, makes a normal playlist the
// active one on disk and hands the result over (link/server_link_state.h), waking the player
// loop with the 0x8001 event. A failure keeps the playlist that is playing: nothing is handed
// over, and the bookkeeping of the request is cleared so the service may send it again.
//
// Locks: the mailbox mutex and webSocketStateMutex are never held together; callers of
// queuePlaylistRequest release webSocketStateMutex first.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <iostream>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>

#include "content/playlist_loading.h"
#include "core/clock.h"
#include "core/process_state.h"
#include "link/server_link_state.h"

namespace lumetta {

struct PlaylistJobRequest {
    std::string name;   // compared with the pending request and the requested-playlist name
    std::string sha1;   // compared with the pending request only
    std::string id;     // what the loader asks the service for; empty: the device's own playlist
    std::int64_t activateAt = 0;  // Unix ms; below 1: at once
    bool emergency = false;       // an override playlist, never made the active one on disk
    std::int64_t expiresAt = 0;   // Unix ms, end of the override; 0 for a normal request
    std::uint64_t sequence = 0;   // given when queued; the first request gets 1
};

struct PlaylistJobMailbox {
    std::mutex mutex;
    std::condition_variable_any wake;  // a queued request; a stop token wakes its waiter too
    std::optional<PlaylistJobRequest> request;  // guarded by mutex: the newest request not yet taken
    std::uint64_t sequence = 0;                 // guarded by mutex: the last sequence given

    // Stores the request with the next sequence, replacing one nobody took (silently), and wakes
    // the job.
    void queue(PlaylistJobRequest request);
};

// The mailbox of the running player's job.
extern PlaylistJobMailbox playlistJobMailbox;

// What the handlers call, with webSocketStateMutex released.
void queuePlaylistRequest(const std::string& name, const std::string& sha1, const std::string& id,
                          std::int64_t activateAt, bool emergency, std::int64_t expiresAt);

// The boundaries of the job; the defaults are the running player's.
struct PlaylistJobOptions {
    ServerLinkState* state = &serverLinkState;
    PlaylistJobMailbox* mailbox = &playlistJobMailbox;
    // Wall-clock time for the activation time and the override's end; steady time for the
    // one-second slices of the activation wait.
    Clock* clock = &systemClock();
    std::string baseDirectory = configBaseDirectory;
    std::string deviceId = lumetta::deviceId;
    // How playlists are loaded. Its `running` is not used: the job's stop ends a load instead.
    PlaylistLoadOptions load;
    std::ostream* errors = &std::cerr;
};

// The job thread's body: one request per pass until a stop is requested. A stop ends it within
// about a second in every step but a running connectivity probe of the loader.
void playlistDownloadJob(std::stop_token stop);
void playlistDownloadJob(std::stop_token stop, const PlaylistJobOptions& options);

}  // namespace lumetta
