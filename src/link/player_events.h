#pragma once
// The SDL user events that other threads push to wake the player loop. They carry no data: the
// loop reads the shared state that each one names.

#include <cstdint>

namespace lumetta {

// A playlist update waits in the hand-over slot (from the playlist job and the emergency handler).
inline constexpr std::uint32_t playlistReadyEvent = 0x8001;
// The group configuration changed, or the slide-sync listener accepted something the loop must
// act on. The loop has no case for it: it only ends the loop's wait for events.
inline constexpr std::uint32_t groupChangedEvent = 0x8002;
// The television's standby state changed (from the CEC power callback).
inline constexpr std::uint32_t standbyChangedEvent = 0x8003;

// Pushes a zero-filled event of `type` with `code` as its user code. True when SDL queued it;
// the pushers of these events do not act on a failure (no event queue yet, or a full one).
bool pushPlayerEvent(std::uint32_t type, std::int32_t code = 0);

// Pushes the event unless one of `type` is queued already (one stands for any number of
// changes). True when one is queued afterwards.
bool pushPlayerEventOnce(std::uint32_t type, std::int32_t code = 0);

}  // namespace lumetta
