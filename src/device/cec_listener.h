#pragma once
// The television's side of HDMI-CEC: remote-control buttons and power reports.
//
// `cecListen` holds an adapter in initiator and follower mode for as long as it runs, asks the
// television for its power state every 5 seconds and hands each remote-control button and
// power report to its callbacks, one message per pass.

#include <cstdint>
#include <functional>
#include <stop_token>

#include "core/clock.h"
#include "device/cec.h"

namespace lumetta {

// A remote-control button: its CEC user-control code, pressed (true) or released (false).
using CecKeyHandler = std::function<void(std::uint8_t code, bool pressed)>;
// The television's power state: true when on or waking, false when in or going to standby.
using CecPowerHandler = std::function<void(bool on)>;

// Runs on the calling thread until `stop` is requested (then returns, the adapter closed).
// Any failure leaves as an exception: the adapter's own errors (no adapter, the address),
// "Enabling CEC follower mode failed", "Polling CEC adapter failed" or "Receiving CEC message
// failed" with the system's reason, or whatever a callback throws. A power query that goes
// unanswered or unsent is tried again 5 s later. Both callbacks run on this thread, in the
// order the messages arrive; an empty one throws std::bad_function_call when first needed.
void cecListen(CecIo& io, Clock& clock, std::stop_token stop, const CecKeyHandler& key,
               const CecPowerHandler& power);
void cecListen(std::stop_token stop, const CecKeyHandler& key, const CecPowerHandler& power);

}  // namespace lumetta
