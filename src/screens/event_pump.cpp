#include "screens/event_pump.h"

#include <algorithm>
#include <utility>

#include "core/log.h"
#include "core/palette.h"

namespace lumetta::screens {

const EventWaiter& sdlEventWaiter() {
    static const EventWaiter wait = [](SDL_Event& event, int timeoutMs) {
        return SDL_WaitEventTimeout(&event, timeoutMs);
    };
    return wait;
}

const EventPoller& sdlEventPoller() {
    static const EventPoller poll = [](SDL_Event& event) { return SDL_PollEvent(&event); };
    return poll;
}

bool isCtrlKey(SDL_Keycode key) { return (key & ~SDL_Keycode{4}) == SDLK_LCTRL; }

bool isCtrlEscape(const SDL_Event& event) {
    return event.type == SDL_EVENT_KEY_DOWN && event.key.key == SDLK_ESCAPE && (event.key.mod & SDL_KMOD_CTRL) != 0;
}

std::string displayRemovedLine(SDL_DisplayID display) {
    return "Display disconnected " + colored(ansi::BOLD_RED, std::to_string(display)) + "; exiting for restart";
}

EventPump::EventPump(std::atomic<bool>& running, std::ostream& out, EventWaiter wait, EventPoller poll,
                     std::vector<std::uint32_t> wakeUps)
    : running_(running),
      out_(out),
      wait_(wait ? std::move(wait) : sdlEventWaiter()),
      poll_(poll ? std::move(poll) : sdlEventPoller()),
      wakeUps_(std::move(wakeUps)) {}

bool isUnusedMotion(const SDL_Event& event) {
    return event.type == SDL_EVENT_MOUSE_MOTION || event.type == SDL_EVENT_FINGER_MOTION ||
           event.type == SDL_EVENT_PEN_MOTION;
}

std::optional<PumpedEvent> EventPump::wait(int timeoutMs) {
    SDL_Event event;
    SDL_zero(event);
    if (!wait_(event, timeoutMs)) return std::nullopt;
    // Motion nobody reads is dropped here, all of it at once: a moving mouse or a swipe must not
    // stand between the next key and its turn. When only motion came the wait ends empty.
    while (isUnusedMotion(event)) {
        if (!poll_(event)) return std::nullopt;
    }
    return pass(event);
}

std::optional<PumpedEvent> EventPump::poll() {
    SDL_Event event;
    SDL_zero(event);
    // SDL closes each round of polling with a marker of its own and answers "none" when it
    // reaches it: an event queued after the marker (the key a swipe queues) would wait a whole
    // frame. An empty answer is therefore asked once more.
    bool askedAgain = false;
    for (;;) {
        if (!poll_(event)) {
            if (askedAgain) return std::nullopt;
            askedAgain = true;
            continue;
        }
        if (!isUnusedMotion(event)) return pass(event);
    }
}

PumpedEvent EventPump::pass(const SDL_Event& event) {
    PumpedEvent pumped{event, false};
    switch (event.type) {
        case SDL_EVENT_QUIT:
            // A termination signal arrives as this quit: it ends the player wherever it is
            // taken, so that the orderly stop (watchdog off) still runs.
            pumped.stopsPlayer = true;
            break;
        case SDL_EVENT_DISPLAY_REMOVED:
            logText(out_, displayRemovedLine(event.display.displayID));
            pumped.stopsPlayer = true;
            break;
        case SDL_EVENT_KEY_UP:
            if (isCtrlKey(event.key.key)) ctrlHeld_ = false;
            break;
        default:
            break;
    }
    if (pumped.stopsPlayer) stopPlayer();
    return pumped;
}

bool EventPump::isWakeUp(std::uint32_t type) const {
    return std::find(wakeUps_.begin(), wakeUps_.end(), type) != wakeUps_.end();
}

bool EventPump::queueAgain(std::uint32_t type) {
    SDL_Event event;
    SDL_zero(event);
    event.type = type;
    return SDL_PushEvent(&event);
}

bool EventPump::quitWaiting() {
    SDL_PumpEvents();
    SDL_Event event;
    return SDL_PeepEvents(&event, 1, SDL_PEEKEVENT, SDL_EVENT_QUIT, SDL_EVENT_QUIT) > 0;
}

void EventPump::dropWaiting(std::uint32_t type) {
    SDL_Event events[16];
    while (SDL_PeepEvents(events, 16, SDL_GETEVENT, type, type) > 0) {
    }
}

}  // namespace lumetta::screens
