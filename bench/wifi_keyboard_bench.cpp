// The on-screen keyboard of the Wi-Fi set-up screen, run from the source folder (for its fonts):
//   build-bench/bench/lumetta_bench --benchmark_filter=Keyboard
//   - one copy of a key set, as the screen takes one for every frame it draws (goal < 10 µs);
//   - drawing the keyboard, labels rendered anew, on the software renderer at 1920x1080 and at
//     3840x2160 with render scale 2 (goal < 2 ms each). The area and the key font are those of
//     the password view on a 1920x1080 canvas: x 34, y 456, 1852 x 559, keys labelled at 25 px.

#include <benchmark/benchmark.h>

#include "display/sdl_handles.h"
#include "wifi/onscreen_keyboard.h"
#include "wifi/setup_drawing.h"

namespace {

using namespace lumetta;

void BM_KeyboardKeySetCopy(benchmark::State& state) {
    wifi::keyboardLayoutKeys("de", false, true);  // the tables are built once, before timing
    for (auto _ : state) {
        wifi::KeyRows rows = wifi::keyboardLayoutKeys("de", false, true);
        benchmark::DoNotOptimize(rows.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_KeyboardKeySetCopy)->Unit(benchmark::kMicrosecond);

// arg 0: scale (1: 1920x1080; 2: 3840x2160 drawn at render scale 2).
void BM_KeyboardDraw(benchmark::State& state) {
    const int scale = static_cast<int>(state.range(0));
    if (TTF_WasInit() == 0 && !TTF_Init()) {
        state.SkipWithError("the font engine does not start");
        return;
    }
    SurfaceHandle surface(SDL_CreateSurface(1920 * scale, 1080 * scale, SDL_PIXELFORMAT_XRGB8888));
    RendererHandle renderer(surface ? SDL_CreateSoftwareRenderer(surface.get()) : nullptr);
    FontHandle font = wifi::openFont(25);
    if (!renderer || !font) {
        state.SkipWithError("no software renderer or no font (run from the source folder)");
        return;
    }
    SDL_SetRenderScale(renderer.get(), static_cast<float>(scale), static_cast<float>(scale));
    const SDL_Rect area{34, 456, 1852, 559};
    wifi::KeyboardState keys;
    keys.layout = 2;
    keys.caps = true;
    wifi::highlightKey(keys, "SPACE");  // shown pressed, and
    keys.keyRow = 1;                    // another key selected
    keys.keyColumn = 4;
    for (auto _ : state) {
        wifi::drawKeyboard(renderer.get(), font.get(), area, keys);
        SDL_FlushRenderer(renderer.get());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_KeyboardDraw)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

}  // namespace
