#include "screens/screen.h"

#include <algorithm>
#include <vector>

#include "core/process_state.h"
#include "display/display.h"

namespace lumetta::screens {

ModalEnd runModalScreen(Screen& screen, EventPump& events, Display& display, const ModalPace& pace) {
    bool quit = false;
    // Wake-ups for the loop (a playlist waiting in its slot, a television gone to sleep) are
    // told only by these events; the loop goes on after the screen, so they are queued again
    // instead of being lost with the rest.
    std::vector<std::uint32_t> wakeUps;
    do {
        const ScreenOutput output{display.renderer(), display.width(), display.height(), displayRotation.load(),
                                  &display.drawSubmitter()};
        screen.draw(output);
        if (pace.beforePresent) pace.beforePresent();
        display.present(true);

        while (const std::optional<PumpedEvent> pumped = events.poll()) {
            const SDL_Event& event = pumped->event;
            if (events.isWakeUp(event.type) &&
                std::find(wakeUps.begin(), wakeUps.end(), event.type) == wakeUps.end()) {
                wakeUps.push_back(event.type);
            }
            if (pumped->stopsPlayer) {
                quit = true;
                continue;
            }
            if (isCtrlEscape(event) || screen.takeEvent(event) == ScreenAnswer::stopPlayer) {
                events.stopPlayer();
                quit = true;
            }
        }
        if (pace.frameGapMs > 0 && pace.clock != nullptr) pace.clock->sleepFor(pace.frameGapMs);
    } while (events.running() && !screen.finished());
    // In the order of their numbers: each names a state the loop reads afresh, whichever comes first.
    std::sort(wakeUps.begin(), wakeUps.end());
    for (const std::uint32_t type : wakeUps) EventPump::queueAgain(type);
    // The screen took every key, a Ctrl release among them.
    events.forgetHeldKeys();
    if (quit) return ModalEnd::quit;
    return events.running() ? ModalEnd::finished : ModalEnd::stopped;
}

}  // namespace lumetta::screens
