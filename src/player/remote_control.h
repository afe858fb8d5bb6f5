#pragma once
// The television's remote control and its standby state, as the player loop sees them.
//
// A listener thread (the CEC thread) turns remote-control buttons into key events on the loop's
// event queue (`onCecKey`) and follows the television's power state (`onCecPower`): while the
// television reports standby, `displayStandby` is set, the marker file "standby\n" exists for
// other programs of the device, and the loop stops drawing until the television wakes
// (`waitOutStandby`). Both callbacks only flip the flag, touch the file and push events; the
// loop does everything else on the main thread.

#include <SDL3/SDL.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <iostream>
#include <stop_token>
#include <string>
#include <thread>

#include "core/clock.h"
#include "device/cec.h"
#include "device/cec_listener.h"
#include "screens/event_pump.h"

namespace lumetta::player {

// True while the television reports standby. Written only by `onCecPower` (and cleared by the
// loop when it starts); read by the loop without a lock.
extern std::atomic<bool> displayStandby;

// Puts an event on the loop's queue; false when it could not (SDL's error says why).
using EventPusher = std::function<bool(SDL_Event&)>;
// SDL_PushEvent.
const EventPusher& sdlEventPusher();

// The marker that exists, holding "standby\n", exactly while the player believes the
// television is in standby. The player never reads it; failures to write or remove it are
// ignored (it is a hint for others, never a reason to stop).
class DisplayStandbyFile {
public:
    static constexpr const char* defaultPath = "/run/lumetta-display-standby";

    explicit DisplayStandbyFile(std::filesystem::path path = defaultPath) : path_(std::move(path)) {}
    void create() const;
    void remove() const;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// A remote-control button pressed (`pressed`) or released, as the key it stands for: a key-down
// or key-up on the queue. Other buttons are ignored. A failed push is logged ("[CEC]
// SDL_PushEvent (keydown) failed: " ...) and the press is lost. True when an event was queued.
bool onCecKey(std::uint8_t code, bool pressed, const EventPusher& push = sdlEventPusher(),
              std::ostream& errors = std::cerr);

// The television's power state as reported (`on` false: standby). Only a change does anything:
// the flag flips, the marker file is written or removed and one standby event (0x8003) is
// pushed. True when the state changed.
bool onCecPower(bool on, std::atomic<bool>& standby = displayStandby,
                const DisplayStandbyFile& file = DisplayStandbyFile(), const EventPusher& push = sdlEventPusher());

// The remote-control listener: runs on the calling thread until the stop is requested, calling
// the key handler (`CecKeyHandler`) for each button pressed and released and the power handler
// (`CecPowerHandler`) with the television's power state; throws when the remote control cannot
// be used.
using CecListener = std::function<void(std::stop_token, const CecKeyHandler&, const CecPowerHandler&)>;

// The device's own listener (`cecListen`) over the adapters `io` reaches, timed by `clock`.
CecListener deviceCecListener(CecIo& io = systemCecIo(), Clock& clock = systemClock());

// The CEC thread's body: runs `listener`; when it throws, logs "[CEC] " and the reason on
// `errors` and ends, and the player goes on without the remote control.
void runCecThread(std::stop_token stop, const CecListener& listener, const CecKeyHandler& keys,
                  const CecPowerHandler& power, std::ostream& errors);

// Starts the CEC thread with the loop's own handlers (`onCecKey`, `onCecPower` on `standby`
// and `file`). The returned thread is stopped and joined when it goes.
std::jthread startCecThread(CecListener listener, std::atomic<bool>& standby, DisplayStandbyFile file,
                            std::ostream& errors);

// Queues a key-down standing for a swipe, routed like any key. On failure logs "[TOUCH] Could
// not queue navigation event: " and SDL's error.
bool queueTouchNavigation(SDL_Keycode key, const EventPusher& push = sdlEventPusher(),
                          std::ostream& errors = std::cerr);

// "Display Connected <id>" (the id in bold green).
std::string displayAddedLine(SDL_DisplayID display);

// The loop's wait while the television sleeps: takes events through `events` in slices of
// 250 ms until `standby` is cleared or the player stops. The pump's own handling stops the
// player on a display removal (with its line) and on a quit (a stop signal must not wait for
// the television to wake); every other event is dropped. Nothing is drawn. True when the
// television woke with the player still running.
bool waitOutStandby(std::atomic<bool>& standby, screens::EventPump& events);

}  // namespace lumetta::player
