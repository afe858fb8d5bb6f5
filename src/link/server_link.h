#pragma once
// The WebSocket thread: the player's one connection to the management service.
//
// It starts the playlist job and the status heartbeat, then connects through the WebSocket
// layer (platform/websocket.h) on a libev loop of its own, one loop per attempt, and reconnects
// after the back-off of link/reconnect_backoff.h for as long as the player runs: an attempt that
// cannot even be made (no event loop for a moment) or that throws is one more failed attempt,
// never the end of the thread. While the
// connection is open it sends the latest transition report and the queued frames
// (link/outgoing_messages.h), at most one of each per turn of its loop, and the layer hands every
// incoming message to link/server_messages.h on this thread. Clearing the running flag ends it
// within a second in every state (resolving, connecting, open, backing off, a playlist being
// built), a connectivity probe already running in the job excepted.
//
// Locks: connectionMutex is held around every call into the layer (creating, sending,
// closing); no other lock of the link is held with it. Frames are copied out of the queue and
// the transition register under their own locks and sent outside them.

#include <atomic>
#include <cstdint>
#include <functional>
#include <iostream>
#include <string>
#include <string_view>

#include "content/playlist_loading.h"
#include "core/clock.h"
#include "core/process_state.h"
#include "core/shared_defaults.h"
#include "link/outgoing_messages.h"
#include "link/player_events.h"
#include "link/playlist_job.h"
#include "link/server_link_state.h"
#include "platform/websocket.h"

namespace lumetta {

class Command;

// How the thread waits between turns of its loop.
enum class LinkPolling {
    // A turn of the loop that does not wait, then a 10 ms sleep.
    sleep,
    // One turn of the loop that waits for the connection's sockets at most 10 ms: data that
    // arrives is read at once instead of after the sleep.
    boundedWait,
};

// The longest a turn of the loop waits (or the sleep after it lasts).
inline constexpr int linkTurnMs = 10;

// The boundaries of the thread; the defaults are the running player's.
// A new libev loop with the default backend; null when none can be had.
struct ev_loop* newEventLoop();

struct ServerLinkOptions {
    ServerLinkState* state = &serverLinkState;
    // The thread runs while this is set; "factoryReset" clears it.
    std::atomic<bool>* running = &playerRunning;
    std::atomic<bool>* factoryResetRequested = &lumetta::factoryResetRequested;
    // Steady time for the 30 second rules, the back-off and the pause (its sleeps), wall-clock
    // time for the messages' times.
    Clock* clock = &systemClock();
    // "host" or "host:port" of the service.
    std::string serviceHost = sharedDefaults().serviceHost;
    std::string baseDirectory = configBaseDirectory;
    OutgoingMessageQueue* queue = &outgoingMessageQueue();
    PendingTransition* transition = &pendingTransition();
    PlaylistJobMailbox* mailbox = &playlistJobMailbox;
    // How the playlist job loads playlists, and the clock of the job and of the heartbeat.
    PlaylistLoadOptions playlistLoad;
    Clock* jobClock = &systemClock();
    std::function<bool(std::uint32_t type, std::int32_t code)> pushEvent = pushPlayerEvent;
    // Opens a connection through the layer (its arguments are those of `websocket`).
    std::function<WebSocketConnection*(struct ev_loop*, const char*, int, int)> connect = websocket;
    // Makes the event loop of an attempt (null when none can be had); the link destroys it.
    std::function<struct ev_loop*()> makeLoop = newEventLoop;
    LinkPolling polling = LinkPolling::boundedWait;
    std::ostream* errors = &std::cerr;
};

// "wss://" + host + "/ws?d=" + the device id, its spaces and control bytes percent-encoded.
std::string serviceUrl(const std::string& host, std::string_view deviceId);

// The thread's body. `deviceIdText` is the device identity as a NUL-terminated text. Returns 0
// after the stop, -1 at once for a null text or while another thread runs on the same state.
int webSocket(void* deviceIdText, const Command& command);
int webSocket(void* deviceIdText, const Command& command, const ServerLinkOptions& options);

}  // namespace lumetta
