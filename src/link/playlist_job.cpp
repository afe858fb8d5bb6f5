#include "link/playlist_job.h"

#include <SDL3/SDL_error.h>
#include <SDL3/SDL_events.h>

#include <exception>
#include <memory>
#include <utility>

#include "core/log.h"
#include "link/player_events.h"

namespace lumetta {

PlaylistJobMailbox playlistJobMailbox;

namespace {

// How long one wait for the downloads lasts before the job looks at its stop again.
constexpr std::uint64_t downloadSliceMs = 100;
// How long one sleep of the activation wait lasts before the wall clock is read again (so a
// change of the system time counts within a second).
constexpr std::int64_t activationSliceMs = 1000;

enum class PassEnd { next, stop };
enum class ActivationWait { due, superseded, stopped };

// The bookkeeping of a request that failed, unless it already belongs to a newer request: the
// service may then send the same playlist again and have it accepted.
void clearAfterFailure(ServerLinkState& state, const PlaylistJobRequest& request) {
    const auto lock = lockWebSocketState();
    if (request.emergency) {
        if (state.requestedPlaylistName == request.name) state.requestedPlaylistName.clear();
        return;
    }
    PendingPlaylistRequest& pending = state.pendingPlaylistRequest;
    if (pending.name == request.name && pending.sha1 == request.sha1) {
        pending.name.clear();
        pending.sha1.clear();
        state.requestedPlaylistName.clear();
    }
}

// Until the request's activation time, a newer request or the stop. The time is compared in
// Unix milliseconds as given, never turned into a deadline of the clock's own unit: a time
// beyond the clock's range is never reached, and the playlist waits for a newer request or a
// stop.
ActivationWait waitForActivationTime(const std::stop_token& stop, PlaylistJobMailbox& mailbox, Clock& clock,
                                     const PlaylistJobRequest& request) {
    std::unique_lock lock(mailbox.mutex);
    // A request queued after this one, whether it still waits or was replaced meanwhile.
    const auto superseded = [&] { return mailbox.sequence != request.sequence; };
    for (;;) {
        if (stop.stop_requested()) return ActivationWait::stopped;
        if (superseded()) return ActivationWait::superseded;
        if (clock.systemMs() >= request.activateAt) return ActivationWait::due;
        clock.waitUntil(mailbox.wake, lock, clock.steadyMs() + activationSliceMs, stop, superseded);
    }
}

void wakePlayerLoop(std::ostream& errors) {
    // One queued event stands for every update waiting: the loop takes them all.
    if (SDL_HasEvent(playlistReadyEvent)) return;
    if (!pushPlayerEvent(playlistReadyEvent, 1)) {
        logText(errors, std::string("[WEBSOCKET] Failed to push completed playlist event: ") + SDL_GetError());
    }
}

class PlaylistJob {
public:
    PlaylistJob(std::stop_token stop, const PlaylistJobOptions& options)
        : stop_(std::move(stop)),
          options_(options),
          state_(*options.state),
          mailbox_(*options.mailbox),
          clock_(*options.clock),
          errors_(*options.errors),
          load_(options.load),
          endLoad_(stop_, [this] { loading_ = false; }) {
        load_.running = &loading_;
    }

    void run() {
        for (;;) {
            if (stop_.stop_requested()) return;
            std::optional<PlaylistJobRequest> request = takeRequest();
            if (!request) return;
            if (pass(*request) == PassEnd::stop) return;
        }
    }

private:
    std::optional<PlaylistJobRequest> takeRequest() {
        std::unique_lock lock(mailbox_.mutex);
        // A request waiting when the stop comes is still taken; the pass then ends at its first
        // look at the stop.
        mailbox_.wake.wait(lock, stop_, [&] { return mailbox_.request.has_value(); });
        std::optional<PlaylistJobRequest> request = std::move(mailbox_.request);
        mailbox_.request.reset();
        return request;
    }

    PassEnd pass(const PlaylistJobRequest& request) {
        std::unique_ptr<Playlist> playlist;
        try {
            playlist = std::make_unique<Playlist>(options_.baseDirectory, options_.deviceId, false, request.id, load_);
            return prepare(request, playlist);
        } catch (const std::exception& error) {
            logText(errors_, std::string("[WEBSOCKET] Playlist download failed: ") + error.what());
        } catch (...) {
            logText(errors_, "[WEBSOCKET] Playlist download failed");
        }
        // Also after a failure once the playlist was built (its waits, its check, its release or
        // its activation threw): the playing playlist stays, the next request is taken.
        clearAfterFailure(state_, request);
        return PassEnd::next;
    }

    // From a built playlist to the hand-over. The playlist is destroyed by the caller on every
    // way out but the hand-over.
    PassEnd prepare(const PlaylistJobRequest& request, std::unique_ptr<Playlist>& playlist) {
        // A newer request does not interrupt the downloads; it is looked at after them.
        for (;;) {
            if (stop_.stop_requested()) return PassEnd::stop;
            if (playlist->waitForDownloads(downloadSliceMs)) break;
        }
        if (stop_.stop_requested()) return PassEnd::stop;

        if (!playlist->downloadsSucceeded()) {
            logText(errors_, "[WEBSOCKET] Playlist assets failed validation; keeping current playlist");
            clearAfterFailure(state_, request);
            return PassEnd::next;
        }
        playlist->releaseDownloads();

        if (request.emergency && clock_.systemMs() >= request.expiresAt) {
            // The override ended before it was ready.
            const auto lock = lockWebSocketState();
            if (state_.requestedPlaylistName == request.name) state_.requestedPlaylistName.clear();
            return PassEnd::next;
        }

        if (request.activateAt >= 1) {
            switch (waitForActivationTime(stop_, mailbox_, clock_, request)) {
            case ActivationWait::stopped:
                return PassEnd::stop;
            case ActivationWait::superseded:
                return PassEnd::next;
            case ActivationWait::due:
                break;
            }
        }

        std::optional<PlaylistUpdate> replaced;
        bool activationFailed = false;
        {
            const auto lock = lockWebSocketState();
            if (!request.emergency) {
                PendingPlaylistRequest& pending = state_.pendingPlaylistRequest;
                // A newer "playlist" message took its place: dropped without a word.
                if (pending.name != request.name || pending.sha1 != request.sha1 ||
                    pending.activateAt != request.activateAt) {
                    return PassEnd::next;
                }
                if (!playlist->activate()) {
                    pending.name.clear();
                    pending.sha1.clear();
                    state_.requestedPlaylistName.clear();
                    activationFailed = true;
                }
            }
            if (!activationFailed) {
                std::optional<PlaylistUpdate>& slot =
                    request.emergency ? state_.waitingEmergencyUpdate : state_.waitingNormalUpdate;
                replaced = std::exchange(
                    slot, PlaylistUpdate{std::move(playlist),
                                         request.emergency ? PlaylistUpdateKind::emergency : PlaylistUpdateKind::normal,
                                         request.expiresAt});
                state_.requestedPlaylistName.clear();
            }
        }
        if (activationFailed) {
            logText(errors_, "[WEBSOCKET] Playlist activation failed; keeping current playlist");
            return PassEnd::next;
        }
        replaced.reset();  // an update nobody took, destroyed outside the lock
        wakePlayerLoop(errors_);
        state_.playlistUpdateReady.notify_all();
        return PassEnd::next;
    }

    std::stop_token stop_;
    const PlaylistJobOptions& options_;
    ServerLinkState& state_;
    PlaylistJobMailbox& mailbox_;
    Clock& clock_;
    std::ostream& errors_;
    // A load in progress ends soon after the job's stop: its running flag follows the token.
    std::atomic<bool> loading_{true};
    PlaylistLoadOptions load_;
    std::stop_callback<std::function<void()>> endLoad_;
};

}  // namespace

void PlaylistJobMailbox::queue(PlaylistJobRequest queued) {
    {
        const std::lock_guard lock(mutex);
        queued.sequence = ++sequence;
        request = std::move(queued);
    }
    wake.notify_all();
}

void queuePlaylistRequest(const std::string& name, const std::string& sha1, const std::string& id,
                          std::int64_t activateAt, bool emergency, std::int64_t expiresAt) {
    // Copied before any lock is taken.
    PlaylistJobRequest request{name, sha1, id, activateAt, emergency, expiresAt, 0};
    playlistJobMailbox.queue(std::move(request));
}

void playlistDownloadJob(std::stop_token stop) { playlistDownloadJob(std::move(stop), PlaylistJobOptions{}); }

void playlistDownloadJob(std::stop_token stop, const PlaylistJobOptions& options) {
    PlaylistJob job(std::move(stop), options);
    job.run();
}

}  // namespace lumetta
