// The television's remote control: from a button press on the adapter to the key-down on the
// player's event queue, through the real CEC thread (the listener and the loop's key handler).
// The listener waits in a real poll on a descriptor that the press makes readable, as an
// adapter's would; a press must wake that wait rather than wait out its 250 ms.
#include <benchmark/benchmark.h>

#include <SDL3/SDL.h>

#include <atomic>
#include <chrono>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "bench_stats.h"
#include "core/clock.h"
#include "player/remote_control.h"
#include "support/fake_cec_adapter.h"

namespace {

using namespace lumetta;
using lumetta::bench::percentile;

cec_msg remoteMessage(std::uint8_t opcode, std::uint32_t len, std::uint8_t code = 0) {
    cec_msg msg{};
    msg.len = len;
    msg.msg[0] = 0x04;  // from the television to a Playback device
    msg.msg[1] = opcode;
    msg.msg[2] = code;
    return msg;
}

// Takes events until one of `type` arrives; false after a second without it.
bool awaitEvent(Uint32 type) {
    SDL_Event event;
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (std::chrono::steady_clock::now() < limit) {
        if (SDL_WaitEventTimeout(&event, 100) && event.type == type) return true;
    }
    return false;
}

// Argument: presses per run. Counters: p50 and p99 in milliseconds from the press to the key-down.
void BM_RemotePressToKeyDown(benchmark::State& state) {
    if (!SDL_InitSubSystem(SDL_INIT_EVENTS)) {
        state.SkipWithError(SDL_GetError());
        return;
    }
    SDL_FlushEvents(SDL_EVENT_FIRST, SDL_EVENT_LAST);
    testing::FakeCecDevice adapter;
    adapter.name = "cec0";
    testing::FakeCecIo io({adapter});
    std::atomic<bool> standby{false};
    std::ostringstream errors;
    std::vector<double> ms;
    {
        std::jthread cec = player::startCecThread(player::deviceCecListener(io, systemClock()), standby,
                                                  player::DisplayStandbyFile("/nonexistent/standby"), errors);
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (io.modes("cec0").empty() && std::chrono::steady_clock::now() < limit) std::this_thread::yield();
        const auto presses = static_cast<int>(state.range(0));
        const char* failed = nullptr;
        for (auto _ : state) {
            for (int i = 0; i < presses && failed == nullptr; ++i) {
                const auto pressed = std::chrono::steady_clock::now();
                io.queueReceived("cec0", remoteMessage(0x44, 3, 0x01));  // Up
                if (!awaitEvent(SDL_EVENT_KEY_DOWN)) {
                    failed = "no key-down within a second";
                    break;
                }
                ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - pressed)
                                 .count());
                io.queueReceived("cec0", remoteMessage(0x45, 2));
                if (!awaitEvent(SDL_EVENT_KEY_UP)) failed = "no key-up within a second";
            }
            if (failed != nullptr) {
                state.SkipWithError(failed);
                break;
            }
        }
    }
    if (!errors.str().empty()) state.SkipWithError(errors.str().c_str());
    state.counters["p50_ms"] = percentile(ms, 0.50);
    state.counters["p99_ms"] = percentile(ms, 0.99);
    state.counters["presses"] = static_cast<double>(ms.size());
    SDL_FlushEvents(SDL_EVENT_FIRST, SDL_EVENT_LAST);
    SDL_QuitSubSystem(SDL_INIT_EVENTS);
}
BENCHMARK(BM_RemotePressToKeyDown)->Arg(1000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
