#include "player/emergency_override.h"

#include <exception>
#include <string>

#include "core/log.h"

namespace lumetta::player {

namespace {

// The hand-over holds one normal and one emergency update; more than that in one pass can only
// be a producer racing the loop, and those wait for the next pass.
constexpr int maxUpdatesPerPass = 4;

bool nothingWaiting(const PlaylistUpdate& update) {
    return !update.playlist && update.kind == PlaylistUpdateKind::normal;
}

}  // namespace

EmergencyOverride::EmergencyOverride(Clock& clock, std::ostream& out, std::ostream& errors)
    : clock_(clock), out_(out), errors_(errors) {}

void EmergencyOverride::end(std::unique_ptr<Playlist>& current, PlaylistUpdateOutcome& outcome) {
    if (saved_) {
        outcome.dropped.push_back(std::move(current));
        current = std::move(saved_);
    }
    outcome.restored = true;
    logText(out_, "[EMERGENCY] Override ended; restored normal playlist");
    until_ = 0;
    active_ = false;
}

void EmergencyOverride::apply(PlaylistUpdate update, std::unique_ptr<Playlist>& current,
                              const PreparePlaylist& prepare, PlaylistUpdateOutcome& outcome) {
    PlaylistUpdateKind kind = update.kind;
    if (kind == PlaylistUpdateKind::emergencyCleared) {
        if (active_) end(current, outcome);
        if (!update.playlist) return;
        // The link sends none with a clear; one that came anyway is a normal playlist.
        kind = PlaylistUpdateKind::normal;
    } else if (expired()) {
        end(current, outcome);
    }
    if (!update.playlist) return;

    if (kind == PlaylistUpdateKind::normal && active_) {
        // Does not interrupt the override: it is the playlist the override's end restores.
        if (saved_) outcome.dropped.push_back(std::move(saved_));
        saved_ = std::move(update.playlist);
        return;
    }

    try {
        if (prepare) prepare(*update.playlist);
    } catch (const std::exception& error) {
        logText(errors_, std::string("[PLAYLIST] Keeping current playlist; replacement preparation failed: ") +
                             error.what());
        outcome.dropped.push_back(std::move(update.playlist));
        return;
    } catch (...) {
        logText(errors_, "[PLAYLIST] Keeping current playlist; replacement preparation failed");
        outcome.dropped.push_back(std::move(update.playlist));
        return;
    }

    if (kind == PlaylistUpdateKind::emergency) {
        // A first override keeps the normal playlist aside; a second one replaces the first,
        // whose playlist is dropped below, and the kept one stays.
        if (!active_) saved_ = std::move(current);
        until_ = update.expiresAt;
        logText(out_, "[EMERGENCY] Override active until " + std::to_string(until_));
        active_ = true;
    }
    if (current) outcome.dropped.push_back(std::move(current));
    current = std::move(update.playlist);
    outcome.installed = true;
}

PlaylistUpdateOutcome applyWaitingUpdates(EmergencyOverride& override, std::unique_ptr<Playlist>& current,
                                          const PreparePlaylist& prepare,
                                          const std::function<PlaylistUpdate()>& take) {
    PlaylistUpdateOutcome outcome;
    for (int i = 0; i < maxUpdatesPerPass; ++i) {
        PlaylistUpdate update = take();
        // "Nothing waiting" is applied only when it is all there is: it tests the expiry once
        // per pass, and an override taken with its time already past still starts (and ends at
        // the next frame) instead of ending unseen within the same pass.
        if (nothingWaiting(update) && i > 0) break;
        const bool last = nothingWaiting(update);
        override.apply(std::move(update), current, prepare, outcome);
        if (last) break;
    }
    return outcome;
}

}  // namespace lumetta::player
