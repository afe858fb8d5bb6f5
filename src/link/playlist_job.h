#pragma once
// The playlist job: turns the service's newest playlist request into a playlist the player loop
// can play.
//
// The "playlist" and "emergency" handlers put requests into the mailbox, which has one place for
// each kind: a newer request replaces a waiting one of its own kind only, so an override never
// costs a playlist and a playlist never costs an override. The job thread takes a waiting
// override first, builds the Playlist (document, storage, media queued), waits until every
// medium is downloaded and verified, makes a normal playlist the active one on disk and hands
// the result over (link/server_link_state.h), waking the player loop with the 0x8001 event.
//
// A playlist with an activation time waits for it after its downloads, aside: an override that
// comes meanwhile is prepared and handed over at once, and the playlist is still activated at
// its time; a newer playlist request drops it. An override that is cleared, or replaced by a
// newer override, while it waits or is being prepared is dropped before its hand-over.
//
// A failure keeps the playlist that is playing: nothing is handed over, and the bookkeeping of
// the request is cleared so the service may send it again.
//
// Locks: the mailbox's mutex is a leaf: the job looks at the mailbox while it holds
// webSocketStateMutex (to hand an override over only if it is still wanted), never the other
// way round. Callers of queuePlaylistRequest release webSocketStateMutex first.

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

// The job's mailbox: one place for a normal request and one for an override, each keeping the
// newest request of its kind not yet taken.
class PlaylistJobMailbox {
public:
    // Stores the request with the next sequence in the place of its kind, replacing one of that
    // kind nobody took (silently), and wakes the job. An override also voids every earlier
    // override, taken or not.
    void queue(PlaylistJobRequest request);
    // Drops a waiting override (returned) and voids every override queued so far (an override
    // was cleared, or one given as a text replaced it).
    std::optional<PlaylistJobRequest> voidOverrides();
    // Waits for a request and moves it into `request`: a waiting override before a waiting
    // playlist. False, with nothing taken, once `stop` is requested.
    bool take(PlaylistJobRequest& request, std::stop_token stop);
    // Waits on `clock` until a request is queued, the steady `deadline` passes or `stop` is
    // requested. True when a request waits.
    bool waitForRequest(Clock& clock, std::int64_t deadline, std::stop_token stop);

    // A copy of the newest request waiting to be taken (of either kind), if any.
    std::optional<PlaylistJobRequest> waiting() const;
    // A copy of the request of that kind waiting to be taken, if any.
    std::optional<PlaylistJobRequest> waiting(bool emergency) const;
    // The last sequence given (0 before the first request).
    std::uint64_t sequence() const;
    // Whether the override with this sequence was voided by a later override or a clear.
    bool voided(const PlaylistJobRequest& request) const;

private:
    mutable std::mutex mutex_;
    std::condition_variable_any wake_;  // a queued request; a stop token wakes its waiter too
    std::optional<PlaylistJobRequest> normal_;
    std::optional<PlaylistJobRequest> emergency_;
    std::uint64_t sequence_ = 0;
    std::uint64_t overridesVoidedThrough_ = 0;  // every override with a sequence up to this one
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
