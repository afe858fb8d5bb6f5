#pragma once
// Emergency overrides in the player loop: the service can replace what the screen shows with an
// override playlist until a given time, and lift it early. While an override plays, the normal
// playlist is kept aside; a normal playlist that arrives meanwhile replaces the one kept aside
// instead of interrupting the override; when the override expires or is cleared, the newest
// normal playlist plays again from its first slide.
//
// Everything here runs on the loop's thread. At the start of every pass the loop hands in what
// takePlaylistUpdate gives until it gives nothing (applyWaitingUpdates does that), and in every
// frame it asks expired() to end the slide on screen once the override's time is up.

#include <cstdint>
#include <functional>
#include <iostream>
#include <memory>
#include <vector>

#include "content/playlist.h"
#include "core/clock.h"
#include "link/server_link_state.h"

namespace lumetta::player {

// Prepares a playlist before it becomes current (the text of its first slides); throws when it
// cannot, and the playlist is then not installed.
using PreparePlaylist = std::function<void(Playlist&)>;

// What the updates of one pass did; the loop acts on it before it sets up the next slide.
struct PlaylistUpdateOutcome {
    // A new playlist is now current and starts at slide 0; its preparation (the last one that
    // ran in this pass) holds. Rebuild the menus; the pass is the first of a playlist.
    bool installed = false;
    // The override ended and the kept normal playlist is current again, from slide 0, with its
    // texts to be prepared afresh. Rebuild the menus. (A playlist installed later in the same
    // pass replaces it; `installed` is then set too.)
    bool restored = false;
    // Playlists the pass let go: destroyed when the outcome goes, at the end of the pass.
    std::vector<std::unique_ptr<Playlist>> dropped;
};

class EmergencyOverride {
public:
    // `clock` gives "now" for the expiry (its wall clock, Unix ms); the "[EMERGENCY]" lines go to
    // `out`, the refused preparation to `errors`.
    explicit EmergencyOverride(Clock& clock = systemClock(), std::ostream& out = std::cout,
                               std::ostream& errors = std::cerr);

    // One update taken from the hand-over (the all-zero update, "nothing waiting", too: it still
    // ends an expired override). `current` is the playlist now playing, and is changed in place.
    void apply(PlaylistUpdate update, std::unique_ptr<Playlist>& current, const PreparePlaylist& prepare,
               PlaylistUpdateOutcome& outcome);

    // An override plays and its time is up: the loop ends the slide on screen, and the next
    // pass restores the normal playlist.
    bool expired() const { return active_ && clock_.systemMs() >= until_; }

    bool active() const { return active_; }
    std::int64_t until() const { return until_; }
    const Playlist* savedPlaylist() const { return saved_.get(); }

private:
    void end(std::unique_ptr<Playlist>& current, PlaylistUpdateOutcome& outcome);

    Clock& clock_;
    std::ostream& out_;
    std::ostream& errors_;
    bool active_ = false;
    std::int64_t until_ = 0;            // Unix ms, as the service sent it; 0 when none
    std::unique_ptr<Playlist> saved_;   // the normal playlist to return to; only while active
};

// Takes from the hand-over until it gives the all-zero update (the normal update comes before
// the emergency one) and applies each in turn; at least one call, so an expired override ends at
// every pass (the closing "nothing waiting" is applied only when nothing else was). Stops
// after a few updates, leaving anything newer for the next pass.
PlaylistUpdateOutcome applyWaitingUpdates(EmergencyOverride& override, std::unique_ptr<Playlist>& current,
                                          const PreparePlaylist& prepare,
                                          const std::function<PlaylistUpdate()>& take = [] { return takePlaylistUpdate(); });

}  // namespace lumetta::player
