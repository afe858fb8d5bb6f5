// One frame of each slide transition and of the image motion on a full HD software target, as
// the player loop draws it between two slide pictures, against one full-screen copy of the
// incoming picture; and the heap allocations of a particle frame.
//
// Each draw is followed by SDL_FlushRenderer, so the figures include the rasterising that SDL
// otherwise defers to the present.

#include <benchmark/benchmark.h>

#include <SDL3/SDL.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <initializer_list>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "allocation_count.h"
#include "player/image_motion.h"
#include "player/transitions.h"

// ---------------------------------------------------------------- allocation counting
// Every operator new of the process (allocation_count.h) and every allocation SDL makes are
// counted while `countingAllocations` is set.

namespace {
using lumetta::bench::countingAllocations;
using lumetta::bench::ownAllocations;
std::atomic<long> sdlAllocations{0};

SDL_malloc_func originalMalloc = nullptr;
SDL_calloc_func originalCalloc = nullptr;
SDL_realloc_func originalRealloc = nullptr;
SDL_free_func originalFree = nullptr;

void countSdl() {
    if (countingAllocations.load(std::memory_order_relaxed)) sdlAllocations.fetch_add(1, std::memory_order_relaxed);
}
void* SDLCALL countingMalloc(size_t size) {
    countSdl();
    return originalMalloc(size);
}
void* SDLCALL countingCalloc(size_t count, size_t size) {
    countSdl();
    return originalCalloc(count, size);
}
void* SDLCALL countingRealloc(void* memory, size_t size) {
    countSdl();
    return originalRealloc(memory, size);
}
void SDLCALL passFree(void* memory) { originalFree(memory); }

// Installed before main, so before SDL allocates anything; the hooks hand every call on to
// SDL's own functions, so memory from either side is freed by the same allocator.
const bool sdlHooksInstalled = [] {
    SDL_GetOriginalMemoryFunctions(&originalMalloc, &originalCalloc, &originalRealloc, &originalFree);
    return SDL_SetMemoryFunctions(countingMalloc, countingCalloc, countingRealloc, passFree);
}();
}  // namespace

namespace {

using namespace lumetta;
using SteadyClock = std::chrono::steady_clock;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

// A headless full HD window with SDL's software renderer and the two slide pictures, made once.
struct Stage {
    SDL_Window* window = nullptr;
    SDL_Renderer* renderer = nullptr;
    SDL_Texture* outgoing = nullptr;
    SDL_Texture* incoming = nullptr;

    Stage() {
        setenv("SDL_VIDEO_DRIVER", "offscreen", 1);
        setenv("SDL_RENDER_DRIVER", "software", 1);
        setenv("SDL_FRAMEBUFFER_ACCELERATION", "0", 1);
        if (!SDL_InitSubSystem(SDL_INIT_VIDEO)) throw std::runtime_error(SDL_GetError());
        window = SDL_CreateWindow("transitions bench", kWidth, kHeight, 0);
        if (window == nullptr) throw std::runtime_error(SDL_GetError());
        renderer = SDL_CreateRenderer(window, "software");
        if (renderer == nullptr) throw std::runtime_error(SDL_GetError());
        outgoing = picture(SDL_Color{200, 40, 40, 255}, SDL_Color{40, 200, 40, 255});
        incoming = picture(SDL_Color{40, 40, 200, 255}, SDL_Color{220, 200, 40, 255});
        for (int i = 0; i < 10; ++i) copy();  // warm-up
    }

    SDL_Texture* picture(SDL_Color left, SDL_Color right) const {
        SDL_Texture* texture =
            SDL_CreateTexture(renderer, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_TARGET, kWidth, kHeight);
        if (texture == nullptr) throw std::runtime_error(SDL_GetError());
        SDL_SetRenderTarget(renderer, texture);
        const SDL_FRect halves[2] = {{0, 0, kWidth / 2.0f, kHeight}, {kWidth / 2.0f, 0, kWidth / 2.0f, kHeight}};
        for (int i = 0; i < 2; ++i) {
            const SDL_Color c = i == 0 ? left : right;
            SDL_SetRenderDrawColor(renderer, c.r, c.g, c.b, c.a);
            SDL_RenderFillRect(renderer, &halves[i]);
        }
        SDL_SetRenderTarget(renderer, nullptr);
        return texture;
    }

    void copy() const {
        SDL_RenderTexture(renderer, incoming, nullptr, nullptr);
        SDL_FlushRenderer(renderer);
    }
};

Stage& stage() {
    static Stage instance;
    return instance;
}

// Time of one full-screen copy, taken right after the benchmark's own loop so that both see
// the same load on a shared machine.
double copySecondsNow() {
    const Stage& s = stage();
    constexpr int copies = 30;
    const auto start = SteadyClock::now();
    for (int i = 0; i < copies; ++i) s.copy();
    return std::chrono::duration<double>(SteadyClock::now() - start).count() / copies;
}

// Frame time and its ratio to the full-screen copy, from the loop's own timing.
void report(benchmark::State& state, SteadyClock::duration elapsed) {
    const double perFrame = std::chrono::duration<double>(elapsed).count() / static_cast<double>(state.iterations());
    state.counters["ms/frame"] = perFrame * 1e3;
    state.counters["x_copy"] = perFrame / copySecondsNow();
}

void BM_FullScreenCopy(benchmark::State& state) {
    const Stage& s = stage();
    const auto start = SteadyClock::now();
    for (auto _ : state) s.copy();
    report(state, SteadyClock::now() - start);
}
BENCHMARK(BM_FullScreenCopy)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Transition(benchmark::State& state) {
    const Stage& s = stage();
    const int kind = static_cast<int>(state.range(0));
    const double progress = static_cast<double>(state.range(1)) / 100.0;
    state.SetLabel(std::string(player::transitionKindNames[static_cast<std::size_t>(kind)]));
    const auto start = SteadyClock::now();
    for (auto _ : state) {
        player::renderTransition(s.renderer, s.outgoing, s.incoming, kWidth, kHeight, kind, progress);
        SDL_FlushRenderer(s.renderer);
    }
    report(state, SteadyClock::now() - start);
}
BENCHMARK(BM_Transition)
    ->ArgsProduct({benchmark::CreateDenseRange(0, player::transitionKindCount - 1, 1), {25, 50, 75}})
    ->ArgNames({"kind", "pct"})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.1)
    ->UseRealTime();

// The slide pictures' scale mode for one benchmark (the player loop makes the pictures and
// chooses it; SDL's default for a new texture is linear). Put back to linear afterwards.
class ScaleMode {
public:
    explicit ScaleMode(bool nearest) {
        for (SDL_Texture* t : {stage().outgoing, stage().incoming}) {
            SDL_SetTextureScaleMode(t, nearest ? SDL_SCALEMODE_NEAREST : SDL_SCALEMODE_LINEAR);
        }
    }
    ~ScaleMode() {
        for (SDL_Texture* t : {stage().outgoing, stage().incoming}) SDL_SetTextureScaleMode(t, SDL_SCALEMODE_LINEAR);
    }
};

void BM_ImageMotion(benchmark::State& state) {
    const Stage& s = stage();
    const char* name = state.range(0) == 0 ? "pan-left" : "ken-burns-up-right";
    const double progress = static_cast<double>(state.range(1)) / 100.0;
    const ScaleMode mode(state.range(2) != 0);
    state.SetLabel(name);
    const auto start = SteadyClock::now();
    for (auto _ : state) {
        player::applyImageMotion(s.renderer, s.incoming, kWidth, kHeight, name, progress);
        SDL_FlushRenderer(s.renderer);
    }
    report(state, SteadyClock::now() - start);
}
BENCHMARK(BM_ImageMotion)
    ->ArgsProduct({{0, 1}, {25, 50, 75}, {0, 1}})
    ->ArgNames({"ken_burns", "pct", "nearest"})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.1)
    ->UseRealTime();

// Heap allocations while particle frames are drawn and rasterised, after a few frames of warm-up:
// ours (operator new) and SDL's (its memory functions), per frame.
void BM_ParticleFrameAllocations(benchmark::State& state) {
    const Stage& s = stage();
    const int kind = static_cast<int>(state.range(0));
    const ScaleMode mode(state.range(1) != 0);
    state.SetLabel(std::string(player::transitionKindNames[static_cast<std::size_t>(kind)]));
    const auto frame = [&](double progress) {
        player::renderTransition(s.renderer, s.outgoing, s.incoming, kWidth, kHeight, kind, progress);
        SDL_FlushRenderer(s.renderer);
    };
    for (int i = 0; i < 5; ++i) frame(0.5);
    ownAllocations = 0;
    sdlAllocations = 0;
    long frames = 0;
    const auto start = SteadyClock::now();
    for (auto _ : state) {
        countingAllocations = true;
        frame(0.25 + 0.5 * static_cast<double>(frames % 3) / 2.0);
        countingAllocations = false;
        ++frames;
    }
    report(state, SteadyClock::now() - start);
    state.counters["own_allocs/frame"] = static_cast<double>(ownAllocations.load()) / static_cast<double>(frames);
    state.counters["sdl_allocs/frame"] = static_cast<double>(sdlAllocations.load()) / static_cast<double>(frames);
    state.counters["sdl_hooks"] = sdlHooksInstalled ? 1 : 0;
}
BENCHMARK(BM_ParticleFrameAllocations)
    ->ArgsProduct({{player::transition::particleDissolve, player::transition::particleBurstIn,
                    player::transition::particleBurstOut, player::transition::shatter},
                   {0, 1}})
    ->ArgNames({"kind", "nearest"})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.1)
    ->UseRealTime();

}  // namespace
