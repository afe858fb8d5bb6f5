// The slide image preloader and the render thread's part of a slide change.
//
// BM_PlainDecode decodes full HD pictures on the calling thread, as the image layer does when
// nothing was prepared; BM_PreloaderDecode has the preloader's worker decode the same files into
// the prepared-image cache (each benchmark takes the pictures out again). The preloader is worth
// having when its rate stays close to plain decoding: it adds a queue and a thread hand-over.
//
// BM_SlideSetUp times the render thread building the layers of the next slide (a full HD picture
// and a text), with the picture decoded ahead by the preloader or not, and the texts prepared or
// not; the counters give p50 and p99 in milliseconds (one frame is 16.7 ms).

#include <benchmark/benchmark.h>

#include <SDL3/SDL.h>
#include <SDL3_image/SDL_image.h>
#include <SDL3_ttf/SDL_ttf.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

#include "content/slide_model.h"
#include "display/display.h"
#include "display/sdl_handles.h"
#include "objects/prepared_image_cache.h"
#include "objects/text_preparation.h"
#include "player/live_layer.h"
#include "player/slide_image_preloader.h"
#include "support/temp_dir.h"

namespace {

using namespace lumetta;
using namespace lumetta::player;

const bool inSourceTree = [] { return chdir(LUMETTA_SOURCE_DIR) == 0; }();

constexpr int pictureCount = 8;

// Full HD pictures with some detail, so decoding costs what a photo costs.
class Pictures {
public:
    static Pictures& get() {
        static Pictures instance;
        return instance;
    }
    const std::vector<std::string>& paths() const { return paths_; }
    const std::string& directory() const { return directory_.str(); }

private:
    Pictures() {
        for (int i = 0; i < pictureCount; ++i) {
            SurfaceHandle surface(SDL_CreateSurface(1920, 1080, SDL_PIXELFORMAT_RGBA32));
            auto* pixels = static_cast<Uint8*>(surface->pixels);
            for (int y = 0; y < 1080; ++y) {
                for (int x = 0; x < 1920; ++x) {
                    Uint8* p = pixels + y * surface->pitch + x * 4;
                    p[0] = static_cast<Uint8>(x * 7 + y * 3 + i * 40);
                    p[1] = static_cast<Uint8>((x ^ y) + i);
                    p[2] = static_cast<Uint8>(y * 5 - x);
                    p[3] = 255;
                }
            }
            const std::string path = directory_.str() + "/picture" + std::to_string(i) + ".jpg";
            IMG_SaveJPG(surface.get(), path.c_str(), 85);
            paths_.push_back(path);
        }
    }
    testing::TempDir directory_;
    std::vector<std::string> paths_;
};

void takeAll(const std::vector<std::string>& paths) {
    for (const std::string& path : paths) SurfaceHandle(takePreparedImage(path));
}

void BM_PlainDecode(benchmark::State& state) {
    const auto& paths = Pictures::get().paths();
    for (auto _ : state) {
        for (const std::string& path : paths) {
            SurfaceHandle surface(IMG_Load(path.c_str()));
            benchmark::DoNotOptimize(surface.get());
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<long>(paths.size()));
}
BENCHMARK(BM_PlainDecode)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PreloaderDecode(benchmark::State& state) {
    const auto& paths = Pictures::get().paths();
    std::mutex mutex;
    std::condition_variable done;
    std::size_t decoded = 0;
    SlideImagePreloader preloader([&](const std::string& path) {
        prepareImage(path);
        std::lock_guard lock(mutex);
        ++decoded;
        done.notify_all();
    });
    for (auto _ : state) {
        {
            std::lock_guard lock(mutex);
            decoded = 0;
        }
        preloader.enqueue(paths);
        std::unique_lock lock(mutex);
        done.wait(lock, [&] { return decoded == paths.size(); });
        lock.unlock();
        state.PauseTiming();
        takeAll(paths);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<long>(paths.size()));
}
BENCHMARK(BM_PreloaderDecode)->Unit(benchmark::kMillisecond)->UseRealTime();

class Stage {
public:
    static Stage& get() {
        static Stage instance;
        return instance;
    }
    Display* display() { return display_.get(); }

private:
    Stage() {
        setenv("SDL_VIDEO_DRIVER", "offscreen", 1);
        setenv("SDL_RENDER_DRIVER", "software", 1);
        setenv("SDL_FRAMEBUFFER_ACCELERATION", "0", 1);
        display_ = std::make_unique<Display>("", "sequence bench", -1, -1, 1920, 1080, false, std::nullopt);
        if (TTF_WasInit() == 0) TTF_Init();  // the text preparation relies on it
    }
    std::unique_ptr<Display> display_;
};

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

Slide nextSlide(const std::string& file, const std::string& text) {
    Slide slide;
    slide.id = "bench";
    slide.width = 1920;
    slide.height = 1080;
    SlideLayer picture;
    picture.width = 1920;
    picture.height = 1080;
    ImageLayer image;
    image.file = file;
    image.size = "fit";
    picture.content = image;
    slide.layers.push_back(picture);
    SlideLayer caption;
    caption.x = 100;
    caption.y = 800;
    caption.width = 1700;
    caption.height = 200;
    TextLayer words;
    words.content = text;
    words.fontFamily = "DejaVu Sans";
    words.fontSize = 64;
    words.color = {255, 255, 255, 255};
    caption.content = words;
    slide.layers.push_back(caption);
    return slide;
}

// Arguments: picture decoded ahead (0/1), text prepared ahead (0/1).
void BM_SlideSetUp(benchmark::State& state) {
    const bool preloaded = state.range(0) != 0;
    const bool textPrepared = state.range(1) != 0;
    Display* display = Stage::get().display();
    const auto& paths = Pictures::get().paths();
    LayerBuildContext context;
    context.display = display;
    context.slideWidth = 1920;
    context.slideHeight = 1080;
    context.playlistDirectory = Pictures::get().directory();
    std::vector<double> ms;
    int round = 0;
    for (auto _ : state) {
        const std::string& path = paths[static_cast<std::size_t>(round) % paths.size()];
        const std::string file = path.substr(path.rfind('/') + 1);
        // A text not seen before in each round, so only the prepared case finds its runs ready.
        const Slide slide = nextSlide(file, "Opening hours, round " + std::to_string(round));
        ++round;
        if (preloaded) prepareImage(path);
        if (textPrepared) {
            const auto& words = std::get<TextLayer>(slide.layers[1].content);
            TextJob job{words.content, words.fontSize, words.fontFamily, textStyleBits(words), words.color, ""};
            renderTextLines(job);
        }
        std::vector<LiveLayer> layers;
        const auto start = std::chrono::steady_clock::now();
        buildLiveLayers(slide, context, layers);
        const auto end = std::chrono::steady_clock::now();
        const double elapsed = std::chrono::duration<double>(end - start).count();
        state.SetIterationTime(elapsed);
        ms.push_back(elapsed * 1000.0);
        destroyLayers(layers);
    }
    state.counters["p50_ms"] = percentile(ms, 0.50);
    state.counters["p99_ms"] = percentile(ms, 0.99);
}
BENCHMARK(BM_SlideSetUp)
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 1})
    ->Args({1, 1})
    ->ArgNames({"preloaded", "text_prepared"})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(200);

}  // namespace
