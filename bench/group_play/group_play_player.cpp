// One player's slide schedule under group sync, run inside a host of the test LAN:
//   group_play_player <groupId> <deviceId> <slides> <slideMs> <changes>
// It runs the slide-sync listener on port 9000 and, on its main thread, the player loop's group
// steps around a playlist of still slides that each last <slideMs>: the join, then per cycle the
// restart check and the group cycle, moving its slide or the slide's clock as told, and ending a
// slide at its end time. Between cycles it waits for an event as the loop does: at most 50 ms,
// and no longer than until the slide's end. Every slide it sets up is printed as
//   slide <index> <wall-clock ms>
// After "listening" it waits for a line "go" on standard input; it stops after <changes> slides
// (printing "done") or at the end of its input. Outside a private network namespace: "refused".
#include <SDL3/SDL.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include "core/clock.h"
#include "link/player_events.h"
#include "link/slide_sync_listener.h"
#include "player/group_sync.h"
#include "support/lan.h"

int main(int argc, char** argv) {
    using namespace lumetta;
    if (argc != 6) {
        std::cerr << "usage: group_play_player GROUP DEVICE SLIDES SLIDE_MS CHANGES" << std::endl;
        return 2;
    }
    if (!lumetta::testing::inPrivateNetworkNamespace()) {
        std::cout << "refused" << std::endl;
        return 3;
    }
    GroupIdentity identity;
    identity.groupId = argv[1];
    identity.deviceId = argv[2];
    const int slides = std::max(1, std::atoi(argv[3]));
    const std::int64_t slideMs = std::max(1, std::atoi(argv[4]));
    const int changes = std::max(1, std::atoi(argv[5]));
    if (!SDL_Init(SDL_INIT_EVENTS)) {
        std::cerr << "SDL_Init: " << SDL_GetError() << std::endl;
        return 2;
    }

    std::atomic<bool> running{true};
    std::atomic<bool> listening{false};
    SlideSyncListenerOptions listenerOptions;
    listenerOptions.running = &running;
    listenerOptions.identity = [identity] { return identity; };
    listenerOptions.listening = [&](std::uint16_t) { listening = true; };
    std::thread listener([&] { runSlideSyncListener(slideSyncPort, listenerOptions); });
    while (!listening) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::cout << "listening" << std::endl;

    std::string line;
    if (!std::getline(std::cin, line) || line != "go") {
        running = false;
        listener.join();
        return 1;
    }
    std::thread stdinWatch([&] {
        while (std::getline(std::cin, line)) {
        }
        running = false;
    });
    stdinWatch.detach();

    Clock& clock = systemClock();
    player::GroupSyncOptions options;
    options.identity = [identity] { return identity; };
    options.generation = [] { return std::uint64_t{1}; };
    options.running = &running;
    player::GroupSlideSync sync(options);
    sync.start();
    const player::GroupJoinResult joined = sync.join(static_cast<std::size_t>(slides));

    player::SyncSlide slide;
    slide.slideCount = static_cast<std::size_t>(slides);
    slide.durationMs = slideMs;
    slide.index = joined.index;
    slide.startTime = joined.start.value_or(clock.systemMs());
    std::int64_t end = player::slideEndTime(slide.startTime, slideMs);
    int shown = 0;
    const auto setUp = [&] {
        std::cout << "slide " << slide.index << " " << clock.systemMs() << std::endl;
        ++shown;
    };
    setUp();
    while (running && shown < changes) {
        const std::int64_t now = clock.systemMs();
        const auto wait = static_cast<std::int32_t>(std::clamp<std::int64_t>(end - now, 0, 50));
        SDL_Event event;
        if (wait > 0) SDL_WaitEventTimeout(&event, wait);
        sync.restartIfGroupChanged();
        const player::GroupSyncActions actions = sync.cycle(slide, false);
        if (actions.reanchor) {
            slide.startTime = actions.reanchor->startMs;
            end = actions.reanchor->endMs;
        }
        if (actions.change) {
            slide.index = actions.change->index;
            slide.startTime = actions.change->start;
            end = player::slideEndTime(slide.startTime, slideMs);
            setUp();
            continue;
        }
        if (clock.systemMs() >= end) {
            slide.index = (slide.index + 1) % slides;
            // The next slide starts where the last one ended; after a stall, from now.
            slide.startTime = end < clock.systemMs() - 1000 ? clock.systemMs() : end;
            end = player::slideEndTime(slide.startTime, slideMs);
            setUp();
        }
    }
    std::cout << "done" << std::endl;
    running = false;
    listener.join();
    SDL_Quit();
    return 0;
}
