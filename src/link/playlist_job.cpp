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
enum class ScheduledWait { due, request, stopped };

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
            if (scheduled_) {
                switch (waitForScheduled()) {
                case ScheduledWait::stopped:
                    return;
                case ScheduledWait::due:
                    activateScheduled();
                    continue;
                case ScheduledWait::request:
                    // A newer playlist request drops the waiting one at once; an override is
                    // prepared while it waits on.
                    if (mailbox_.waiting(false)) scheduled_.reset();
                    break;
                }
            }
            PlaylistJobRequest request;
            if (!mailbox_.take(request, stop_)) return;
            if (pass(request) == PassEnd::stop) return;
        }
    }

private:
    // A normal playlist, downloaded and verified, waiting for its activation time.
    struct Scheduled {
        PlaylistJobRequest request;
        std::unique_ptr<Playlist> playlist;
    };

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

    // From a built playlist to the hand-over, or to the wait for its activation time. The
    // playlist is destroyed by the caller on every way out but those two.
    PassEnd prepare(const PlaylistJobRequest& request, std::unique_ptr<Playlist>& playlist) {
        // A newer request does not interrupt the downloads; it is looked at after them. A
        // playlist waiting aside is still activated at its time.
        for (;;) {
            if (stop_.stop_requested()) return PassEnd::stop;
            if (scheduled_ && clock_.systemMs() >= scheduled_->request.activateAt) activateScheduled();
            if (playlist->waitForDownloads(downloadSliceMs)) break;
        }
        if (stop_.stop_requested()) return PassEnd::stop;

        if (!playlist->downloadsSucceeded()) {
            logText(errors_, "[WEBSOCKET] Playlist assets failed validation; keeping current playlist");
            clearAfterFailure(state_, request);
            return PassEnd::next;
        }
        playlist->releaseDownloads();

        if (request.emergency) {
            if (clock_.systemMs() >= request.expiresAt) {
                // The override ended before it was ready.
                const auto lock = lockWebSocketState();
                if (state_.requestedPlaylistName == request.name) state_.requestedPlaylistName.clear();
                return PassEnd::next;
            }
            handOverOverride(request, playlist);
            return PassEnd::next;
        }

        if (request.activateAt >= 1 && clock_.systemMs() < request.activateAt) {
            scheduled_ = Scheduled{request, std::move(playlist)};
            return PassEnd::next;
        }
        activateAndHandOver(request, playlist);
        return PassEnd::next;
    }

    // Until the waiting playlist's activation time, a queued request or the stop. The time is
    // compared in Unix milliseconds as given, never turned into a deadline of the clock's own
    // unit: a time beyond the clock's range is never reached, and the playlist waits for a newer
    // request or a stop. The wall clock is read again every second, so a change of the system
    // time counts within a second.
    ScheduledWait waitForScheduled() {
        for (;;) {
            if (stop_.stop_requested()) return ScheduledWait::stopped;
            if (mailbox_.waiting()) return ScheduledWait::request;
            if (clock_.systemMs() >= scheduled_->request.activateAt) return ScheduledWait::due;
            mailbox_.waitForRequest(clock_, clock_.steadyMs() + activationSliceMs, stop_);
        }
    }

    void activateScheduled() {
        Scheduled scheduled = std::move(*scheduled_);
        scheduled_.reset();
        try {
            activateAndHandOver(scheduled.request, scheduled.playlist);
        } catch (const std::exception& error) {
            logText(errors_, std::string("[WEBSOCKET] Playlist download failed: ") + error.what());
            clearAfterFailure(state_, scheduled.request);
        } catch (...) {
            logText(errors_, "[WEBSOCKET] Playlist download failed");
            clearAfterFailure(state_, scheduled.request);
        }
    }

    // A normal playlist, due: made the active one on disk and handed over, unless a newer
    // "playlist" message took its place.
    void activateAndHandOver(const PlaylistJobRequest& request, std::unique_ptr<Playlist>& playlist) {
        std::optional<PlaylistUpdate> replaced;
        {
            auto lock = lockWebSocketState();
            PendingPlaylistRequest& pending = state_.pendingPlaylistRequest;
            // A newer "playlist" message took its place: dropped without a word.
            if (pending.name != request.name || pending.sha1 != request.sha1 ||
                pending.activateAt != request.activateAt) {
                return;
            }
            if (!playlist->activate()) {
                pending.name.clear();
                pending.sha1.clear();
                state_.requestedPlaylistName.clear();
                lock.unlock();
                logText(errors_, "[WEBSOCKET] Playlist activation failed; keeping current playlist");
                return;
            }
            replaced = std::exchange(state_.waitingNormalUpdate,
                                     PlaylistUpdate{std::move(playlist), PlaylistUpdateKind::normal, request.expiresAt});
            state_.requestedPlaylistName.clear();
        }
        finishHandOver(replaced);
    }

    // An override, ready: handed over unless a clear or a newer override voided it meanwhile. The
    // test and the placing are one step under webSocketStateMutex, and whoever voids an override
    // does so before it places its own update, so a voided override never replaces that update.
    void handOverOverride(const PlaylistJobRequest& request, std::unique_ptr<Playlist>& playlist) {
        std::optional<PlaylistUpdate> replaced;
        {
            const auto lock = lockWebSocketState();
            if (mailbox_.voided(request)) {
                if (state_.requestedPlaylistName == request.name) state_.requestedPlaylistName.clear();
                return;
            }
            replaced = std::exchange(state_.waitingEmergencyUpdate,
                                     PlaylistUpdate{std::move(playlist), PlaylistUpdateKind::emergency, request.expiresAt});
            state_.requestedPlaylistName.clear();
        }
        finishHandOver(replaced);
    }

    void finishHandOver(std::optional<PlaylistUpdate>& replaced) {
        replaced.reset();  // an update nobody took, destroyed outside the lock
        wakePlayerLoop(errors_);
        state_.playlistUpdateReady.notify_all();
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
    std::optional<Scheduled> scheduled_;
};

}  // namespace

void PlaylistJobMailbox::queue(PlaylistJobRequest queued) {
    {
        const std::lock_guard lock(mutex_);
        if (queued.emergency) overridesVoidedThrough_ = sequence_;
        queued.sequence = ++sequence_;
        (queued.emergency ? emergency_ : normal_) = std::move(queued);
    }
    wake_.notify_all();
}

std::optional<PlaylistJobRequest> PlaylistJobMailbox::voidOverrides() {
    const std::lock_guard lock(mutex_);
    overridesVoidedThrough_ = sequence_;
    return std::exchange(emergency_, std::nullopt);
}

bool PlaylistJobMailbox::take(PlaylistJobRequest& request, std::stop_token stop) {
    std::unique_lock lock(mutex_);
    wake_.wait(lock, stop, [&] { return emergency_.has_value() || normal_.has_value(); });
    if (stop.stop_requested()) return false;
    std::optional<PlaylistJobRequest>& place = emergency_ ? emergency_ : normal_;
    request = std::move(*place);
    place.reset();
    return true;
}

bool PlaylistJobMailbox::waitForRequest(Clock& clock, std::int64_t deadline, std::stop_token stop) {
    std::unique_lock lock(mutex_);
    const auto waiting = [&] { return emergency_.has_value() || normal_.has_value(); };
    clock.waitUntil(wake_, lock, deadline, std::move(stop), waiting);
    return waiting();
}

std::optional<PlaylistJobRequest> PlaylistJobMailbox::waiting() const {
    const std::lock_guard lock(mutex_);
    if (emergency_ && (!normal_ || emergency_->sequence > normal_->sequence)) return emergency_;
    return normal_;
}

std::optional<PlaylistJobRequest> PlaylistJobMailbox::waiting(bool emergency) const {
    const std::lock_guard lock(mutex_);
    return emergency ? emergency_ : normal_;
}

std::uint64_t PlaylistJobMailbox::sequence() const {
    const std::lock_guard lock(mutex_);
    return sequence_;
}

bool PlaylistJobMailbox::voided(const PlaylistJobRequest& request) const {
    const std::lock_guard lock(mutex_);
    return request.emergency && request.sequence <= overridesVoidedThrough_;
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
