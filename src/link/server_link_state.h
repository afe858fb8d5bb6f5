#pragma once
// The process-wide state of the server link and the hand-over of ready playlists to the player
// loop.
//
// The WebSocket thread, its playlist job and its message handlers write this state through the
// setters below; the player loop and its screens read it through the getters, which copy or move
// out under webSocketStateMutex and never call into the link's threads.
//
// Hand-over: one normal update (a playlist activated on disk) and one emergency update (an
// override or its end) may wait at the same time; within each, a newer update replaces one that
// nobody took, and the replaced playlist is destroyed. Takers get the normal one first, so a
// loop that takes until nothing is left applies both in one pass. One queued 0x8001 event
// (link/player_events.h) may stand for both.
//
// Locks: webSocketStateMutex is a leaf lock: nothing else is taken while it is held, except
// what Playlist::activate takes (the playlist files lock) while the job activates a playlist.
// Condition variables are notified after it is released; replaced playlists are destroyed
// after it is released.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "content/playlist.h"
#include "core/clock.h"
#include "core/process_state.h"

namespace lumetta {

enum class PlaylistUpdateKind : std::int32_t {
    normal = 0,            // a playlist was activated on disk and replaces the current one
    emergency = 1,         // an emergency override playlist, shown until expiresAt
    emergencyCleared = 2,  // the override ended; no playlist
};

// One hand-over from the link to the player loop. The all-zero value (no playlist, kind normal,
// expiresAt 0) means that nothing was waiting: a normal update always carries a playlist.
struct PlaylistUpdate {
    std::unique_ptr<Playlist> playlist;
    PlaylistUpdateKind kind = PlaylistUpdateKind::normal;
    std::int64_t expiresAt = 0;  // Unix ms, end of the override; 0 for the other kinds
};

// The last playlist request the "playlist" handler accepted; afterwards, as long as nothing
// failed, it describes the playlist now playing. An empty name and sha1 let the same playlist
// be accepted again.
struct PendingPlaylistRequest {
    std::string name;
    std::string sha1;
    std::int64_t activateAt = 0;  // Unix ms; below 1: at once
};

struct WebSocketConnection;

// One playlist the service offers for the playlist menu; both texts are non-empty.
struct AvailablePlaylist {
    std::string name;
    std::string id;

    bool operator==(const AvailablePlaylist&) const = default;
};

// The display mode the service asked for, pending until the player loop takes it.
struct DisplayModeRequest {
    int width = 0;
    int height = 0;
    float refreshRate = 0.0f;
    bool pending = false;
};

struct ServerLinkState {
    // Guarded by webSocketStateMutex; each empty or false until the service sends its message.
    std::string bindCode;    // the pairing code shown while the device is not linked
    std::string bindQrCode;  // that code as a Base64 PNG picture of its QR code
    std::string bindUrl;     // where the code is entered
    bool bindComplete = false;  // the device is linked; nothing clears it
    // Replaced whole by each valid list; emptied when the WebSocket thread ends.
    std::vector<AvailablePlaylist> availablePlaylists;

    // Guarded by webSocketStateMutex.
    std::optional<PlaylistUpdate> waitingNormalUpdate;
    std::optional<PlaylistUpdate> waitingEmergencyUpdate;
    PendingPlaylistRequest pendingPlaylistRequest;
    std::string requestedPlaylistName;  // the playlist being prepared; empty: none

    // Notified (outside the lock) after every hand-over and when the WebSocket thread ends.
    std::condition_variable_any playlistUpdateReady;

    // Guarded by displayModeMutex alone.
    std::mutex displayModeMutex;
    DisplayModeRequest displayModeRequest;

    // The connection, read by other threads without a lock.
    // A connection to the service is open now (set and cleared by the WebSocket thread).
    std::atomic<bool> linkOpen{false};
    // A WebSocket thread runs on this state; a second one refuses to start.
    std::atomic<bool> threadRunning{false};
    // The current attempt reached the open state, and when (steady ms; 0: it did not).
    std::atomic<bool> connectedThisAttempt{false};
    std::atomic<std::int64_t> openedAtMs{0};
    // A connection opened at least once since the thread started; one opened again after that.
    std::atomic<bool> everConnected{false};
    std::atomic<bool> reconnected{false};
    // The current attempt must end; incoming messages are ignored meanwhile.
    std::atomic<bool> breakRequested{false};

    // The layer's connection of the current attempt, and every call into it, under connectionMutex.
    std::mutex connectionMutex;
    WebSocketConnection* connection = nullptr;
};

// Guards the fields of every ServerLinkState marked so above.
extern std::mutex webSocketStateMutex;

// The one instance of the running player.
extern ServerLinkState serverLinkState;

// Locks webSocketStateMutex; a failure to lock is thrown as std::system_error.
std::unique_lock<std::mutex> lockWebSocketState();

// Copies taken under the lock; safe from any thread.
std::string bindCode();
std::string bindQrCode();
std::string bindUrl();
bool isBindComplete();

// What a "bindCode" message stores: the three values replace the previous ones together, so a
// reader never sees a code with another code's picture.
void storeBindCode(std::string code, std::string qrCode, std::string url);
// What a "bindComplete" message does.
void markBindComplete();

// The name of the playlist being prepared, copied under the lock.
std::string requestedPlaylistName(ServerLinkState& state = serverLinkState);

// The playlists the service offers, copied under the lock.
std::vector<AvailablePlaylist> availablePlaylists(ServerLinkState& state = serverLinkState);

// The display rotation in degrees, as the service or the configuration last set it.
int screenOrientation();

// Whether a connection opened again after an earlier one since the last call (read and cleared).
bool takeReconnected(ServerLinkState& state = serverLinkState);

// The display mode the service asked for; `pending` is set only the first time it is taken.
DisplayModeRequest takePendingDisplayMode(ServerLinkState& state = serverLinkState);

// Places an update in the slot of its kind (normal, or emergency for kinds 1 and 2), destroying
// an update of that slot that nobody took, and wakes waitForPlaylistUpdate. Pushes no event.
void placePlaylistUpdate(PlaylistUpdate update, ServerLinkState& state = serverLinkState);

// Moves the waiting normal update out, else the waiting emergency update, else returns the
// all-zero update.
PlaylistUpdate takePlaylistUpdate(ServerLinkState& state = serverLinkState);

// Blocks until an update waits or `running` is clear, re-checking `running` at least every
// 100 ms on `clock`, so a stop that nobody announces is still seen. With `running` clear it
// returns the all-zero update and leaves a waiting update where it is.
PlaylistUpdate waitForPlaylistUpdate(ServerLinkState& state = serverLinkState,
                                     const std::atomic<bool>& running = playerRunning, Clock& clock = systemClock());

// Wakes every thread in waitForPlaylistUpdate (the WebSocket thread does so when it ends).
void wakePlaylistUpdateWaiters(ServerLinkState& state = serverLinkState);

// What the WebSocket thread does with the hand-over when it ends: destroys waiting updates and
// empties the pending name and sha1 (the pending activation time stays) and the requested name.
void clearPlaylistHandOver(ServerLinkState& state = serverLinkState);

}  // namespace lumetta
