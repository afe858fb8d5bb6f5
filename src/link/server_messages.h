#pragma once
// The service's messages: each incoming text frame is one JSON object with a "type" and, for
// most types, a "data" member. The handler checks it whole, converting every member it needs
// before it changes anything, and then carries it out: values for the screens in the link state,
// configuration writes, playlist requests for the playlist job, emergency overrides in the
// hand-over slot, commands to the device, and SDL events that wake the player loop.
//
// A message that fails a check is dropped with one line on the error stream and changes
// nothing; no answer goes to the service. Nothing thrown inside ever leaves the handler: it is
// called from the WebSocket layer's C callback.
//
// Locks: webSocketStateMutex and the display-mode mutex are taken for short copies only, never
// together, never around a configuration write, a queued request or an event.

#include <atomic>
#include <cstdint>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include "core/clock.h"
#include "core/process_state.h"
#include "link/player_events.h"
#include "link/playlist_job.h"
#include "link/server_link_state.h"

namespace lumetta {

class Command;
struct WebSocketConnection;

// The longest emergency text shown, in bytes.
inline constexpr std::size_t maxEmergencyMessageBytes = 4096;

// Where the handler's effects go; the defaults are the running player's. `command` must be set.
struct ServerMessageContext {
    ServerLinkState* state = &serverLinkState;
    // Cleared by "factoryReset"; no message is handled once it is clear.
    std::atomic<bool>* running = &playerRunning;
    std::atomic<bool>* factoryResetRequested = &lumetta::factoryResetRequested;
    // Where "config.json" (under "lumetta") and the orientation file live.
    std::string baseDirectory = configBaseDirectory;
    // "reboot" and "tv" go to it.
    const Command* command = nullptr;
    PlaylistJobMailbox* mailbox = &playlistJobMailbox;
    // Wall-clock time for the emergency's end and the playlist's activation time.
    Clock* clock = &systemClock();
    // Pushes a zero-filled SDL event of a type with a user code; true when it was queued.
    std::function<bool(std::uint32_t type, std::int32_t code)> pushEvent = pushPlayerEvent;
    std::ostream* errors = &std::cerr;
};

// One frame as the layer delivers it: only text frames of two bytes or more are read, and none
// while the player stops or the current attempt is ending.
void handleServerMessage(const char* bytes, std::uint32_t length, int kind, const ServerMessageContext& context) noexcept;

// The layer's message callback: hands the frame to the handler of the link running on this
// thread (see ScopedServerMessageContext); without one the frame is ignored.
void handleServerMessage(WebSocketConnection* connection, const char* bytes, std::uint32_t length, int kind) noexcept;

// Makes `context` the one that the layer's callback uses on this thread while it lives.
class ScopedServerMessageContext {
public:
    explicit ScopedServerMessageContext(const ServerMessageContext& context);
    ~ScopedServerMessageContext();
    ScopedServerMessageContext(const ScopedServerMessageContext&) = delete;
    ScopedServerMessageContext& operator=(const ScopedServerMessageContext&) = delete;

private:
    const ServerMessageContext* previous_;
};

// A display-mode text: an integer width, one character, an integer height, one character and a
// refresh rate, white space allowed before each and after the last. `valid` when the whole text
// was read and the two characters are 'x' and '@'; a part that could not be read stays 0 (so
// "1920x1080@" is valid with rate 0, which the caller refuses as not positive).
struct DisplayModeText {
    bool valid = false;
    int width = 0;
    int height = 0;
    double refreshRate = 0.0;
};
DisplayModeText readDisplayModeText(std::string_view text);

}  // namespace lumetta
