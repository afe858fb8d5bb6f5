#include "player/remote_control.h"

#include <exception>
#include <fstream>
#include <system_error>
#include <utility>

#include "core/log.h"
#include "core/palette.h"
#include "link/player_events.h"
#include "player/input_routing.h"

namespace lumetta::player {

std::atomic<bool> displayStandby{false};

const EventPusher& sdlEventPusher() {
    static const EventPusher push = [](SDL_Event& event) { return SDL_PushEvent(&event); };
    return push;
}

void DisplayStandbyFile::create() const {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    if (out) out << "standby\n";
}

void DisplayStandbyFile::remove() const {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
}

bool onCecKey(std::uint8_t code, bool pressed, const EventPusher& push, std::ostream& errors) {
    const auto key = cecKeycode(code);
    if (!key) return false;
    SDL_Event event;
    SDL_zero(event);
    event.type = pressed ? SDL_EVENT_KEY_DOWN : SDL_EVENT_KEY_UP;
    event.key.type = static_cast<SDL_EventType>(event.type);
    event.key.key = *key;
    event.key.down = pressed;
    if (push(event)) return true;
    logText(errors, std::string(ansi::BOLD_RED) + "[CEC]" + std::string(ansi::RESET) + " SDL_PushEvent (" +
                        (pressed ? "keydown" : "keyup") + ") failed: " + SDL_GetError());
    return false;
}

bool onCecPower(bool on, std::atomic<bool>& standby, const DisplayStandbyFile& file, const EventPusher& push) {
    const bool sleeping = !on;
    // The exchange makes a repeated report of the same state a no-op.
    if (standby.exchange(sleeping) == sleeping) return false;
    if (sleeping) {
        file.create();
    } else {
        file.remove();
    }
    SDL_Event event;
    SDL_zero(event);
    event.type = standbyChangedEvent;
    push(event);
    return true;
}

CecListener deviceCecListener(CecIo& io, Clock& clock) {
    return [&io, &clock](std::stop_token stop, const CecKeyHandler& keys, const CecPowerHandler& power) {
        cecListen(io, clock, std::move(stop), keys, power);
    };
}

void runCecThread(std::stop_token stop, const CecListener& listener, const CecKeyHandler& keys,
                  const CecPowerHandler& power, std::ostream& errors) {
    try {
        if (listener) listener(std::move(stop), keys, power);
    } catch (const std::exception& error) {
        logText(errors, std::string(ansi::BOLD_RED) + "[CEC]" + std::string(ansi::RESET) + " " + error.what());
    }
}

std::jthread startCecThread(CecListener listener, std::atomic<bool>& standby, DisplayStandbyFile file,
                            std::ostream& errors) {
    return std::jthread([listener = std::move(listener), &standby, file = std::move(file),
                         &errors](std::stop_token stop) {
        const CecKeyHandler keys = [&errors](std::uint8_t code, bool pressed) {
            onCecKey(code, pressed, sdlEventPusher(), errors);
        };
        const CecPowerHandler power = [&standby, &file](bool on) { onCecPower(on, standby, file); };
        runCecThread(std::move(stop), listener, keys, power, errors);
    });
}

bool queueTouchNavigation(SDL_Keycode key, const EventPusher& push, std::ostream& errors) {
    SDL_Event event;
    SDL_zero(event);
    event.type = SDL_EVENT_KEY_DOWN;
    event.key.type = SDL_EVENT_KEY_DOWN;
    event.key.key = key;
    if (push(event)) return true;
    logText(errors, std::string("[TOUCH] Could not queue navigation event: ") + SDL_GetError());
    return false;
}

std::string displayAddedLine(SDL_DisplayID display) {
    return "Display Connected " + colored(ansi::BOLD_GREEN, std::to_string(display));
}

bool waitOutStandby(std::atomic<bool>& standby, screens::EventPump& events) {
    while (standby.load() && events.running()) {
        // Keys and touches meant for a dark screen, and wake-ups whose state (a waiting
        // playlist) the next slide pass reads anyway, are dropped.
        events.wait(250);
    }
    return events.running();
}

}  // namespace lumetta::player
