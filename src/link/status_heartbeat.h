#pragma once
// The status heartbeat: while a connection to the service is open, the device temperature goes
// out every 30 seconds, the first one 30 seconds after the connection opened. Nothing is queued
// while the link is down, and every new connection starts the 30 seconds again.

#include <atomic>
#include <cstdint>
#include <stop_token>

#include "core/clock.h"
#include "device/command.h"
#include "link/outgoing_messages.h"
#include "link/server_link_state.h"

namespace lumetta {

// The heartbeat's decisions, one pass at a time.
class StatusHeartbeat {
public:
    StatusHeartbeat(const Command& command, OutgoingMessageQueue& queue) : command_(command), queue_(queue) {}

    // One pass at steady time `nowMs` with the link open or not: queues
    // {"data":{"temperature":T},"type":"status"} when a status is due.
    void pass(bool linkOpen, std::int64_t nowMs);

private:
    const Command& command_;
    OutgoingMessageQueue& queue_;
    bool wasOpen_ = false;
    std::int64_t dueMs_ = 0;
};

// The boundaries of the heartbeat thread; the defaults are the running player's.
struct StatusHeartbeatOptions {
    Clock* clock = &systemClock();
    const std::atomic<bool>* linkOpen = &serverLinkState.linkOpen;
    OutgoingMessageQueue* queue = &outgoingMessageQueue();
};

// The heartbeat thread's body: a pass every 100 ms until a stop is requested, which ends the
// sleep between passes at once.
void webSocketHeartbeat(std::stop_token stop, const Command& command);
void webSocketHeartbeat(std::stop_token stop, const Command& command, const StatusHeartbeatOptions& options);

}  // namespace lumetta
