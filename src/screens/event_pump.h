#pragma once
// The one way the player takes events off SDL's queue. The loop and every screen, modal or
// not, take their events through an `EventPump`, and each event taken goes through `pass`
// before anyone else sees it:
//   - a quit (`SDL_EVENT_QUIT`) stops the player;
//   - a display removal writes "Display disconnected <id>; exiting for restart" on the pump's
//     output and stops the player;
//   - a Ctrl key-up (left or right) ends a held Ctrl, whoever took it.
// "Stops the player" clears the running flag handed to the pump, and only that one.
//
// A held Ctrl starts where the loop accepts a Ctrl key-down as its own (`holdCtrl`; a key an
// open menu took is not). A modal screen takes every key, so when one ends the held keys are
// forgotten: a Ctrl let go meanwhile must not make a later Escape alone quit, and one still
// held announces itself again by its repeats (see `runModalScreen`, screens/screen.h).

#include <SDL3/SDL.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace lumetta::screens {

// Takes one event, waiting at most the time-out (ms); false when none came.
using EventWaiter = std::function<bool(SDL_Event& event, int timeoutMs)>;
// Takes one event already waiting; false when none was.
using EventPoller = std::function<bool(SDL_Event& event)>;
// SDL_WaitEventTimeout.
const EventWaiter& sdlEventWaiter();
// SDL_PollEvent.
const EventPoller& sdlEventPoller();

// Left or right Ctrl (the two differ only in bit 2).
bool isCtrlKey(SDL_Keycode key);
// A key-down of Escape while the event's own modifiers hold a Ctrl key.
bool isCtrlEscape(const SDL_Event& event);

// Mouse, finger and pen motion: no screen and not the loop reads it. The pump takes it off the
// queue with the event after it, so it costs no turn of whoever waits.
bool isUnusedMotion(const SDL_Event& event);

// "Display disconnected <id>; exiting for restart" (the id in bold red).
std::string displayRemovedLine(SDL_DisplayID display);

// An event as the pump passed it on.
struct PumpedEvent {
    SDL_Event event{};
    // A quit or a display removal: the player is stopping (the pump cleared its flag).
    bool stopsPlayer = false;
};

class EventPump {
public:
    // `running` is the flag a quit clears; `out` takes the display-removal line. Empty sources
    // are SDL's own. `wakeUps` are the event types another thread sends to wake the loop: a
    // modal screen that takes one queues it again, once, when it ends.
    explicit EventPump(std::atomic<bool>& running, std::ostream& out, EventWaiter wait = {}, EventPoller poll = {},
                       std::vector<std::uint32_t> wakeUps = {});

    // Takes one event, waiting at most `timeoutMs`, and passes it. Unused motion is dropped on
    // the way (with every unused motion waiting behind it); a wait that brought only that ends
    // with nothing.
    std::optional<PumpedEvent> wait(int timeoutMs);
    // Takes one event already waiting, and passes it; unused motion before it is dropped.
    std::optional<PumpedEvent> poll();
    // The handling every event gets first (see above). For an event taken through this pump
    // it has run already; it is public for events made by hand.
    PumpedEvent pass(const SDL_Event& event);

    bool running() const { return running_.load(); }
    // Clears the running flag: the player stops.
    void stopPlayer() { running_.store(false); }

    bool ctrlHeld() const { return ctrlHeld_; }
    // A Ctrl key-down the loop took as its own.
    void holdCtrl() { ctrlHeld_ = true; }
    void forgetHeldKeys() { ctrlHeld_ = false; }

    bool isWakeUp(std::uint32_t type) const;
    // Puts a zero-filled event of `type` on SDL's queue (a wake-up taken by a modal screen).
    static bool queueAgain(std::uint32_t type);
    // Whether a quit waits on SDL's queue (it stays there for whoever takes it).
    static bool quitWaiting();
    // Drops every event of `type` waiting on SDL's queue.
    static void dropWaiting(std::uint32_t type);

private:
    std::atomic<bool>& running_;
    std::ostream& out_;
    EventWaiter wait_;
    EventPoller poll_;
    std::vector<std::uint32_t> wakeUps_;
    bool ctrlHeld_ = false;
};

}  // namespace lumetta::screens
