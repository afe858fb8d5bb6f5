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
//
// BM_ViewSlideChanges runs the whole player loop over a playlist of an image, a text, a video and
// a second text slide under a ticker, on a manual clock stepped 100 ms a frame (1 s of slide time
// per 10 frames; the videos keep real time), for a number of slide changes with the transition
// "none", "cross-fade" or "push-left": wholly black frames between the slides, the gap from the
// last frame of a slide to the first of the next, how many frames before its slide the image was
// decoded ahead, frames until the video's first picture, and the process's RSS, heap in use,
// threads and open descriptors after 100 changes and at the end.
//
// BM_ViewTickerVideoTextTwoCores plays one slide of a 1080p30 clip under a text and the ticker on
// the real clocks, the whole process held to two cores and the presents paced at 60 Hz as a
// television's: cycle p50/p95/p99, presents per second and late video pictures (handed over more
// than a frame after they fell due), on a 1280x720 and a 1920x1080 screen.

#include <benchmark/benchmark.h>

#include <SDL3/SDL.h>
#include <SDL3_image/SDL_image.h>
#include <SDL3_ttf/SDL_ttf.h>

#include <malloc.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_cpus.h"
#include "bench_stats.h"
#include "content/media_request.h"
#include "content/played_playlists.h"
#include "content/slide_model.h"
#include "display/display.h"
#include "display/sdl_handles.h"
#include "link/server_link_state.h"
#include "objects/prepared_image_cache.h"
#include "objects/text_preparation.h"
#include "objects/video/runtime/video.h"
#include "player/live_layer.h"
#include "player/player_loop.h"
#include "player/slide_image_preloader.h"
#include "player/view.h"
#include "support/download_worker_stand_in.h"
#include "support/manual_clock.h"
#include "support/temp_dir.h"

namespace {

using namespace lumetta;
using namespace lumetta::player;

const bool inSourceTree = [] { return chdir(LUMETTA_SOURCE_DIR) == 0; }();
// Every display of these benchmarks is an offscreen one with the software renderer.
const bool offscreen = [] {
    setenv("SDL_VIDEO_DRIVER", "offscreen", 1);
    setenv("SDL_RENDER_DRIVER", "software", 1);
    setenv("SDL_FRAMEBUFFER_ACCELERATION", "0", 1);
    setenv("SDL_AUDIO_DRIVER", "dummy", 1);
    return true;
}();

constexpr int pictureCount = 8;

// Full HD pictures with some detail, so decoding costs what a photo costs.
class Pictures {
public:
    static Pictures& get() {
        static Pictures instance;
        return instance;
    }
    const std::vector<std::string>& paths() const { return paths_; }
    std::string directory() const { return directory_.str(); }

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

// The preloader's own work (decode and store in the cache) on the calling thread.
void BM_PlainPrepare(benchmark::State& state) {
    const auto& paths = Pictures::get().paths();
    for (auto _ : state) {
        for (const std::string& path : paths) prepareImage(path);
        state.PauseTiming();
        takeAll(paths);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<long>(paths.size()));
}
BENCHMARK(BM_PlainPrepare)->Unit(benchmark::kMillisecond)->UseRealTime();

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

using lumetta::bench::percentile;

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
    image.fit = ImageFit::Fit;
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

// Resident set (kB) and threads from /proc/self/status, open descriptors from /proc/self/fd, and
// the heap in use (kB the allocator handed out and has not got back, over all its arenas). The
// resident set also holds what the allocator keeps of freed memory: the decoding threads of each
// video allocate in arenas of their own, and the set steps up while those arenas warm up over the
// first few hundred changes, then stays. Growth of the heap in use is what a leak would show.
struct ProcessFigures {
    double rssKb = 0;
    double threads = 0;
    double fds = 0;
    double heapKb = 0;
};

ProcessFigures processFigures() {
    ProcessFigures figures;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        std::istringstream in(line);
        std::string key;
        double value = 0;
        in >> key >> value;
        if (key == "VmRSS:") figures.rssKb = value;
        if (key == "Threads:") figures.threads = value;
    }
    const struct mallinfo2 heap = mallinfo2();
    figures.heapKb = static_cast<double>(heap.uordblks + heap.hblkhd) / 1024.0;
    std::error_code ignored;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ignored);
         it != std::filesystem::directory_iterator(); it.increment(ignored)) {
        ++figures.fds;
    }
    return figures;
}

// Five points of the presented frame, to tell a wholly black frame and a held picture.
struct Samples {
    std::array<std::array<Uint8, 3>, 5> points{};
    bool black() const {
        for (const auto& p : points) {
            if (p[0] > 8 || p[1] > 8 || p[2] > 8) return false;
        }
        return true;
    }
    bool operator==(const Samples&) const = default;
};

Samples samplesOf(SDL_Renderer* renderer, int width, int height) {
    Samples samples;
    const std::array<SDL_Point, 5> at{{{width / 2, height / 3},
                                       {width / 4, height / 4},
                                       {3 * width / 4, height / 4},
                                       {width / 4, 3 * height / 5},
                                       {3 * width / 4, 3 * height / 5}}};
    for (std::size_t i = 0; i < at.size(); ++i) {
        const SDL_Rect area{at[i].x, at[i].y, 1, 1};
        SurfaceHandle surface(SDL_RenderReadPixels(renderer, &area));
        Uint8 a = 0;
        if (surface) SDL_ReadSurfacePixel(surface.get(), 0, 0, &samples.points[i][0], &samples.points[i][1], &samples.points[i][2], &a);
    }
    return samples;
}

// Arguments: transition (0 none, 1 cross-fade, 2 push-left), slide changes.
void BM_ViewSlideChanges(benchmark::State& state) {
    static constexpr std::array<const char*, 3> transitions{"none", "cross-fade", "push-left"};
    const std::string transition = transitions[static_cast<std::size_t>(state.range(0))];
    const int changes = static_cast<int>(state.range(1));
    constexpr int width = 1280, height = 720;
    for (auto _ : state) {
        state.PauseTiming();
        setenv("SDL_VIDEO_DRIVER", "offscreen", 1);
        setenv("SDL_RENDER_DRIVER", "software", 1);
        setenv("SDL_FRAMEBUFFER_ACCELERATION", "0", 1);
        setenv("SDL_AUDIO_DRIVER", "dummy", 1);
        testing::TempDir base;
        ThreadSafeQueue queue;
        ServerLinkState link;
        std::atomic<bool> running{true};
        testing::ManualClock clock;
        const auto directory = base / "lumetta" / "acme" / "main" / "Bench";
        std::filesystem::create_directories(directory);
        const std::string picture = Pictures::get().paths().front();
        std::filesystem::copy_file(picture, directory / "photo.jpg");
        const auto clip = directory / "clip.mp4";
        const std::string command =
            "ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i testsrc2=size=1280x720:rate=30 -frames:v 15 "
            "-c:v libx264 -preset veryfast -pix_fmt yuv420p '" + clip.string() + "'";
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError("ffmpeg could not make the clip");
            return;
        }
        const std::string slideHead = R"({"width": 1280, "height": 720, "duration": 1, "transitionIn": ")" + transition + R"(", )";
        const std::string background = R"({"x": 0, "y": 0, "width": 1280, "height": 720, "rectangle": {"color": "#304050"}})";
        const auto text = [&](const std::string& words) {
            return R"({"x": 80, "y": 200, "width": 1100, "height": 300, "text": {"content": ")" + words +
                   R"(", "font": "DejaVu Sans", "font-size": 64, "color": "#FFFFFF", "background-color": "#204060"}})";
        };
        std::ofstream(directory / "playlist.json")
            << R"({"account": "acme", "branch": "main", "playlist": "Bench", "ticker": [{"message": "Opening hours 9 to 5"}, {"message": "Welcome to the store"}], "slides": [)"
            << slideHead << R"("id": "image", "layers": [{"x": 0, "y": 0, "width": 1280, "height": 720, "image": {"file": "photo.jpg", "size": "fit", "sha1": ")"
            << fileSha1((directory / "photo.jpg").string()) << R"("}}]},)"
            << slideHead << R"("id": "text", "layers": [)" << background << "," << text("Fresh bread every morning") << "]},"
            << slideHead << R"("id": "video", "layers": [{"x": 0, "y": 0, "width": 1280, "height": 720, "video": {"file": "clip.mp4", "size": "fit", "sha1": ")"
            << fileSha1(clip.string()) << R"("}}]},)"
            << slideHead << R"("id": "ticker", "layers": [)" << background << "," << text("Ask us about delivery") << "]}]}";
        std::filesystem::create_symlink(directory / "playlist.json", base / "lumetta" / "playing.json");
        PlayedPlaylistsRecord record(base / "run");
        testing::StandInDownloadWorkers workers(queue, 1);
        Display display("", "sequence bench", -1, -1, width, height, false, std::nullopt);
        SDL_SetRenderVSync(display.renderer(), 0);

        player::ViewSeams seams;
        seams.clock = &clock;
        seams.splash = player::waitWithoutSplash;
        seams.cecListener = {};
        seams.link = &link;
        seams.queue = &queue;
        seams.running = &running;
        seams.load.internetAccess = [] { return false; };
        seams.load.clock = &clock;
        seams.recordPlayed = [&](const std::string& a, const std::string& b, const std::string& n) {
            return record.record(a, b, n);
        };
        seams.standbyFile = (base / "standby").string();
        seams.waitEvent = [&](SDL_Event& event, int timeoutMs) {
            if (SDL_PollEvent(&event)) return true;
            clock.advance(timeoutMs);
            return false;
        };
        seams.pollEvent = [](SDL_Event& event) { return SDL_PollEvent(&event); };
        seams.delay = [&](int milliseconds) { clock.advance(milliseconds); };
        const std::string photoPath = (directory / "photo.jpg").string();

        int seen = 0;
        int lastIndex = -1;
        bool started = false;
        Samples previousFrame;
        Samples lastOfSlide;
        std::int64_t lastPresentNs = 0;
        double blackFrames = 0;
        std::vector<double> gapsMs;
        std::vector<double> imageLeadFrames;
        std::vector<double> videoFirstPictureFrames;
        std::optional<int> imageReadyFrame;
        int frameInSlide = 0;
        bool videoWaiting = false;
        int videoFrames = 0;
        ProcessFigures after100;
        ProcessFigures atEnd;
        seams.beforePresent = [&](Display& shown) {
            const std::int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                         std::chrono::steady_clock::now().time_since_epoch())
                                         .count();
            const int index = player::currentSlideIndex.load();
            const Samples frame = samplesOf(shown.renderer(), width, height);
            if (index != lastIndex) {
                if (lastIndex >= 0) {
                    ++seen;
                    gapsMs.push_back(static_cast<double>(now - lastPresentNs) / 1e6);
                    if (index == 0 && imageReadyFrame) imageLeadFrames.push_back(frameInSlide - *imageReadyFrame);
                    if (index == 0 && !imageReadyFrame) imageLeadFrames.push_back(-1);
                    if (seen == 100) after100 = processFigures();
                    if (seen == changes) {
                        atEnd = processFigures();
                        SDL_Event quit{};
                        quit.type = SDL_EVENT_QUIT;
                        SDL_PushEvent(&quit);
                    }
                }
                lastOfSlide = previousFrame;
                lastIndex = index;
                frameInSlide = 0;
                imageReadyFrame.reset();
                videoWaiting = index == 2;
                videoFrames = 0;
            }
            // Black between two slides: after the start-up fade, any wholly black frame.
            if (started && frame.black()) ++blackFrames;
            if (!started && seen > 0) started = true;
            if (videoWaiting) {
                ++videoFrames;
                if (!(frame == lastOfSlide)) {
                    videoFirstPictureFrames.push_back(videoFrames - 1);
                    videoWaiting = false;
                }
            }
            // The slide before the image slide: when is the picture in the cache?
            if (index == 3 && !imageReadyFrame && preparedImageCache().contains(photoPath)) imageReadyFrame = frameInSlide;
            ++frameInSlide;
            previousFrame = frame;
            lastPresentNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                std::chrono::steady_clock::now().time_since_epoch())
                                .count();
            clock.advance(100);
        };
        const ProcessFigures before = processFigures();
        state.ResumeTiming();
        player::view(base.str(), &display, "BENCH", false, nullptr, nullptr, seams);
        state.PauseTiming();
        const ProcessFigures& end = atEnd;
        state.counters["changes"] = seen;
        state.counters["black_frames"] = blackFrames;
        state.counters["gap_p50_ms"] = percentile(gapsMs, 0.5);
        state.counters["gap_p99_ms"] = percentile(gapsMs, 0.99);
        state.counters["image_ready_frames_ahead_p50"] = percentile(imageLeadFrames, 0.5);
        state.counters["image_ready_frames_ahead_min"] = percentile(imageLeadFrames, 0.0);
        state.counters["video_first_picture_frames_p50"] = percentile(videoFirstPictureFrames, 0.5);
        state.counters["video_first_picture_frames_max"] = percentile(videoFirstPictureFrames, 1.0);
        state.counters["rss_kb_100"] = after100.rssKb;
        state.counters["rss_kb_end"] = end.rssKb;
        state.counters["heap_kb_100"] = after100.heapKb;
        state.counters["heap_kb_end"] = end.heapKb;
        state.counters["threads_100"] = after100.threads;
        state.counters["threads_end"] = end.threads;
        state.counters["fds_100"] = after100.fds;
        state.counters["fds_end"] = end.fds;
        state.counters["rss_kb_start"] = before.rssKb;
        state.ResumeTiming();
    }
}
BENCHMARK(BM_ViewSlideChanges)
    ->Args({0, 1000})
    ->Args({1, 200})
    ->Args({2, 200})
    ->ArgNames({"transition", "changes"})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Arguments: screen height (720 or 1080).
void BM_ViewTickerVideoTextTwoCores(benchmark::State& state) {
    const int height = static_cast<int>(state.range(0));
    const int width = height * 16 / 9;
    const bench::TwoCpus cpus = bench::firstTwoAllowedCpus();
    const cpu_set_t& before = cpus.allowed;
    const cpu_set_t& two = cpus.two;
    for (auto _ : state) {
        state.PauseTiming();
        setenv("SDL_VIDEO_DRIVER", "offscreen", 1);
        setenv("SDL_RENDER_DRIVER", "software", 1);
        setenv("SDL_FRAMEBUFFER_ACCELERATION", "0", 1);
        setenv("SDL_AUDIO_DRIVER", "dummy", 1);
        testing::TempDir base;
        ThreadSafeQueue queue;
        ServerLinkState link;
        std::atomic<bool> running{true};
        const auto directory = base / "lumetta" / "acme" / "main" / "Bench";
        std::filesystem::create_directories(directory);
        const auto clip = directory / "clip.mp4";
        const std::string command =
            "ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i testsrc2=size=1920x1080:rate=30 -t 10 "
            "-c:v libx264 -preset veryfast -pix_fmt yuv420p '" + clip.string() + "'";
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError("ffmpeg could not make the clip");
            return;
        }
        std::ofstream(directory / "playlist.json")
            << R"({"account": "acme", "branch": "main", "playlist": "Bench", "ticker": [{"message": "Opening hours 9 to 5"}, {"message": "Welcome to the store"}], "slides": [{"id": "v", "width": 1920, "height": 1080, "duration": 0, "layers": [)"
            << R"({"x": 0, "y": 0, "width": 1920, "height": 1080, "video": {"file": "clip.mp4", "size": "fit", "sha1": ")"
            << fileSha1(clip.string()) << R"("}},)"
            << R"({"x": 100, "y": 100, "width": 1200, "height": 200, "text": {"content": "Today only: two for one", "font": "DejaVu Sans", "font-size": 96, "color": "#FFFFFF", "background-color": "#00000080"}}]}]})";
        std::filesystem::create_symlink(directory / "playlist.json", base / "lumetta" / "playing.json");
        PlayedPlaylistsRecord record(base / "run");
        testing::StandInDownloadWorkers workers(queue, 1);
        Display display("", "sequence bench", -1, -1, width, height, false, std::nullopt);
        SDL_SetRenderVSync(display.renderer(), 0);
        player::ViewSeams seams;
        seams.splash = player::waitWithoutSplash;
        seams.cecListener = {};
        seams.link = &link;
        seams.queue = &queue;
        seams.running = &running;
        seams.load.internetAccess = [] { return false; };
        seams.recordPlayed = [&](const std::string& a, const std::string& b, const std::string& n) {
            return record.record(a, b, n);
        };
        seams.standbyFile = (base / "standby").string();
        std::mutex mutex;
        std::vector<FrameHandOver> handOvers;
        seams.video.onHandOver = [&](const FrameHandOver& frame) {
            std::lock_guard lock(mutex);
            handOvers.push_back(frame);
        };
        const auto nowNs = [] {
            return std::chrono::duration_cast<std::chrono::nanoseconds>(
                       std::chrono::steady_clock::now().time_since_epoch())
                .count();
        };
        std::vector<double> cycles;
        std::int64_t cycleStart = 0;
        std::int64_t nextVsync = 0;
        std::int64_t firstPresent = 0;
        std::int64_t lastPresent = 0;
        seams.beforePresent = [&](Display&) {
            const std::int64_t now = nowNs();
            if (firstPresent == 0) firstPresent = now;
            lastPresent = now;
            if (cycleStart != 0) cycles.push_back(static_cast<double>(now - cycleStart) / 1e6);
            if (nextVsync == 0) nextVsync = now;
            nextVsync += 16'666'667;
            if (nextVsync < now) nextVsync = now;
            std::this_thread::sleep_for(std::chrono::nanoseconds(nextVsync - now));
            cycleStart = nowNs();
        };
        std::jthread stopper([] {
            std::this_thread::sleep_for(std::chrono::seconds(11));
            SDL_Event quit{};
            quit.type = SDL_EVENT_QUIT;
            SDL_PushEvent(&quit);
        });
        state.ResumeTiming();
        sched_setaffinity(0, sizeof two, &two);
        player::view(base.str(), &display, "BENCH", false, nullptr, nullptr, seams);
        sched_setaffinity(0, sizeof before, &before);
        state.PauseTiming();
        std::int64_t late = 0;
        for (const FrameHandOver& frame : handOvers) late += frame.handedAtNs - frame.dueNs > 16'666'667 ? 1 : 0;
        state.counters["pictures"] = static_cast<double>(handOvers.size());
        state.counters["late"] = static_cast<double>(late);
        state.counters["cycle_p50_ms"] = percentile(cycles, 0.5);
        state.counters["cycle_p95_ms"] = percentile(cycles, 0.95);
        state.counters["cycle_p99_ms"] = percentile(cycles, 0.99);
        state.counters["presents_per_s"] =
            lastPresent > firstPresent ? static_cast<double>(cycles.size()) / (static_cast<double>(lastPresent - firstPresent) / 1e9) : 0;
        state.ResumeTiming();
    }
}
BENCHMARK(BM_ViewTickerVideoTextTwoCores)->Arg(720)->Arg(1080)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
