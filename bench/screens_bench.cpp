// The on-screen menus and overlays on a full HD software display: opening the playlist menu
// over a list of 1,000 offered playlists, and one frame of the download banner, the pause box
// and the pairing status box once their pictures are made.
//
// Each draw is followed by SDL_FlushRenderer, so the figures include the rasterising that SDL
// otherwise defers to the present.

#include <benchmark/benchmark.h>

#include <SDL3/SDL.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "display/display.h"
#include "screens/download_screen.h"
#include "screens/menus.h"
#include "screens/pairing_screen.h"
#include "screens/pause_overlay.h"

namespace {

using namespace lumetta;

// The fonts are looked up in the source tree's assets, as in the tests.
const bool inSourceTree = [] { return chdir(LUMETTA_SOURCE_DIR) == 0; }();
const std::string fonts = std::string(LUMETTA_SOURCE_DIR) + "/assets/fonts";

class Stage {
public:
    static Stage& get() {
        static Stage instance;
        return instance;
    }
    Display& display() { return *display_; }
    SDL_Renderer* renderer() { return display_->renderer(); }

private:
    Stage() {
        setenv("SDL_VIDEO_DRIVER", "offscreen", 1);
        setenv("SDL_RENDER_DRIVER", "software", 1);
        setenv("SDL_FRAMEBUFFER_ACCELERATION", "0", 1);
        display_ = std::make_unique<Display>("", "screens bench", -1, -1, 1920, 1080, false, std::nullopt);
    }
    std::unique_ptr<Display> display_;
};

std::vector<screens::PlaylistChoice> offered(int count) {
    std::vector<screens::PlaylistChoice> list;
    for (int i = 0; i < count; ++i) {
        list.push_back({"Store front playlist number " + std::to_string(i) + " with a longer name than most",
                        "id-" + std::to_string(i)});
    }
    return list;
}

// Return opens the menu (the list fetched, the first rows cut to width, the list and banner
// built); Escape closes it again.
void BM_OpenPlaylistMenu(benchmark::State& state) {
    if (!inSourceTree) state.SkipWithError("the source tree is out of reach");
    Stage& stage = Stage::get();
    const auto list = offered(static_cast<int>(state.range(0)));
    screens::PlaylistMenu menu(&stage.display(), 1920, 1080, 40, 40, 1840, 1000, 64, "Lato", [&] { return list; });
    for (auto _ : state) {
        menu.handleKey(SDLK_RETURN, false);
        state.PauseTiming();
        menu.handleKey(SDLK_ESCAPE, false);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_OpenPlaylistMenu)->Arg(1000)->Unit(benchmark::kMillisecond);

// One frame of the open menu: the cover, the list and the banner.
void BM_OpenPlaylistMenuFrame(benchmark::State& state) {
    Stage& stage = Stage::get();
    const auto list = offered(1000);
    screens::PlaylistMenu menu(&stage.display(), 1920, 1080, 40, 40, 1840, 1000, 64, "Lato", [&] { return list; });
    menu.handleKey(SDLK_RETURN, false);
    for (auto _ : state) {
        menu.drawOverlay();
        SDL_FlushRenderer(stage.renderer());
    }
}
BENCHMARK(BM_OpenPlaylistMenuFrame)->Unit(benchmark::kMillisecond);

void BM_DownloadBannerFrame(benchmark::State& state) {
    Stage& stage = Stage::get();
    screens::DownloadScreenState banner(systemClock(), fonts);
    // Fully shown: the reveal is run to its end once.
    banner.reveal.update("");
    banner.reveal.update("Spring collection");
    SDL_Delay(1200);
    banner.reveal.update("Spring collection");
    SDL_Delay(450);
    banner.reveal.update("Spring collection");
    screens::drawDownloadScreen(banner, stage.renderer(), "Spring collection", 0);
    if (!banner.outlineTexture) state.SkipWithError("banner not built");
    for (auto _ : state) {
        screens::drawDownloadScreen(banner, stage.renderer(), "Spring collection", 0);
        SDL_FlushRenderer(stage.renderer());
    }
}
BENCHMARK(BM_DownloadBannerFrame)->Unit(benchmark::kMicrosecond);

void BM_PauseBoxFrame(benchmark::State& state) {
    Stage& stage = Stage::get();
    screens::PauseOverlayState pause(fonts);
    pause.pauseEnd = 60000;
    screens::drawPauseOverlay(pause, stage.renderer(), 1920, 1080, 1000);
    if (!pause.text.hasFont()) state.SkipWithError("no box font");
    for (auto _ : state) {
        screens::drawPauseOverlay(pause, stage.renderer(), 1920, 1080, 1000);
        SDL_FlushRenderer(stage.renderer());
    }
}
BENCHMARK(BM_PauseBoxFrame)->Unit(benchmark::kMicrosecond);

void BM_PairingStatusBoxFrame(benchmark::State& state) {
    Stage& stage = Stage::get();
    screens::PairingScreenState pairing(fonts);
    screens::updatePairingStatus(pairing, {"Bluetooth: searching for hand controller...", 1, true}, false, 0);
    screens::drawPairingScreen(pairing, stage.renderer(), 1920, 1080, 0);
    if (!pairing.status.hasFont()) state.SkipWithError("no box font");
    for (auto _ : state) {
        screens::drawPairingScreen(pairing, stage.renderer(), 1920, 1080, 0);
        SDL_FlushRenderer(stage.renderer());
    }
}
BENCHMARK(BM_PairingStatusBoxFrame)->Unit(benchmark::kMicrosecond);

}  // namespace
