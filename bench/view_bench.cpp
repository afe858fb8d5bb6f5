// The player loop on SDL's offscreen software renderer, on the real clocks and the real event
// wait: what a still slide costs per second once it is drawn, how soon an event pushed by
// another thread turns into a presented frame, and a 1080p30 video slide on a 1280x720 screen
// with the loop held to two cores (cycle times and late pictures).
//
// The offscreen renderer has no vertical sync of a television; the video benchmark paces the
// presents at 60 Hz in the frame observer instead.
#include <benchmark/benchmark.h>
#include <sched.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_cpus.h"
#include "bench_stats.h"
#include "content/media_request.h"
#include "content/played_playlists.h"
#include "display/display.h"
#include "link/player_events.h"
#include "player/view.h"
#include "support/download_worker_stand_in.h"
#include "support/temp_dir.h"

namespace {

using namespace lumetta;
using SteadyClock = std::chrono::steady_clock;

double threadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::int64_t steadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now().time_since_epoch()).count();
}

using lumetta::bench::percentile;

// A base directory with one stored playlist of one slide, and the loop's seams for it.
struct Stage {
    testing::TempDir base;
    ThreadSafeQueue queue;
    ServerLinkState link;
    std::atomic<bool> running{true};
    std::unique_ptr<PlayedPlaylistsRecord> record;
    std::unique_ptr<Display> display;
    player::ViewSeams seams;
    // The stored playlist's media are on disk already: the workers only verify them.
    std::unique_ptr<testing::StandInDownloadWorkers> workers;

    // `layers` gives the slide's layers once the playlist's directory exists.
    Stage(int width, int height, const std::function<std::string(const std::filesystem::path&)>& layers) {
        setenv("SDL_VIDEO_DRIVER", "offscreen", 1);
        setenv("SDL_RENDER_DRIVER", "software", 1);
        setenv("SDL_FRAMEBUFFER_ACCELERATION", "0", 1);
        setenv("SDL_AUDIO_DRIVER", "dummy", 1);
        const auto directory = base / "lumetta" / "acme" / "main" / "Bench";
        std::filesystem::create_directories(directory);
        const std::string layer = layers(directory);
        std::ofstream(directory / "playlist.json")
            << R"({"account": "acme", "branch": "main", "playlist": "Bench", "slides": [{"id": "a", "width": )"
            << width << R"(, "height": )" << height << R"(, "duration": 600, "layers": [)" << layer << "]}]}";
        std::filesystem::create_symlink(directory / "playlist.json", base / "lumetta" / "playing.json");
        record = std::make_unique<PlayedPlaylistsRecord>(base / "run");
        workers = std::make_unique<testing::StandInDownloadWorkers>(queue, 1);
        display = std::make_unique<Display>("", "view bench", -1, -1, width, height, false, std::nullopt);
        SDL_SetRenderVSync(display->renderer(), 0);
        seams.splash = player::waitWithoutSplash;
        seams.cecListener = {};
        seams.link = &link;
        seams.queue = &queue;
        seams.running = &running;
        seams.load.internetAccess = [] { return false; };
        seams.recordPlayed = [this](const std::string& a, const std::string& b, const std::string& n) {
            return record->record(a, b, n);
        };
        seams.standbyFile = (base / "standby").string();
        seams.errors = &std::cerr;
    }

    ~Stage() { workers.reset(); }

    int run() { return player::view(base.str(), display.get(), "BENCH", false, nullptr, nullptr, seams); }
};

void pushQuit() {
    SDL_Event quit{};
    quit.type = SDL_EVENT_QUIT;
    SDL_PushEvent(&quit);
}

const std::string stillLayers =
    R"({"x": 0, "y": 0, "width": 1280, "height": 720, "rectangle": {"color": "#203040"}},)"
    R"({"x": 100, "y": 100, "width": 400, "height": 300, "ellipse": {"color": "#F07F14"}},)"
    R"({"x": 600, "y": 100, "width": 400, "height": 300, "star": {"color": "#FFFFFF"}})";

// CPU time of the loop's thread per second of a still slide, after its first frames (the fade
// from black) are drawn.
void BM_ViewStillSlideCpu(benchmark::State& state) {
    for (auto _ : state) {
        Stage stage(1280, 720, [](const std::filesystem::path&) { return stillLayers; });
        std::atomic<int> frames{0};
        double lastFrameCpu = 0.0;
        std::int64_t lastFrameNs = 0;
        stage.seams.beforePresent = [&](Display&) {
            ++frames;
            lastFrameCpu = threadCpuSeconds();
            lastFrameNs = steadyNs();
        };
        int waits = 0;
        stage.seams.waitEvent = [&](SDL_Event& event, int timeoutMs) {
            ++waits;
            return SDL_WaitEventTimeout(&event, timeoutMs);
        };
        std::jthread stopper([&] {
            std::this_thread::sleep_for(std::chrono::seconds(1 + static_cast<int>(state.range(0))));
            pushQuit();
        });
        stage.run();
        const double cpu = threadCpuSeconds() - lastFrameCpu;
        const double wall = static_cast<double>(steadyNs() - lastFrameNs) / 1e9;
        state.counters["frames"] = frames.load();
        state.counters["still_seconds"] = wall;
        state.counters["cpu_percent_of_a_core"] = 100.0 * cpu / wall;
        state.counters["waits_per_second"] = waits / wall;
    }
}
BENCHMARK(BM_ViewStillSlideCpu)->Arg(5)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// For comparison: SDL's own event wait of 50 ms in a loop on the same display, nothing else.
// On drivers without a blocking wait SDL polls its queue meanwhile; this is the floor of the
// still slide's figure.
void BM_SdlEventWaitAlone(benchmark::State& state) {
    for (auto _ : state) {
        Stage stage(1280, 720, [](const std::filesystem::path&) { return stillLayers; });
        const double cpuBefore = threadCpuSeconds();
        const std::int64_t start = steadyNs();
        int waits = 0;
        while (steadyNs() - start < 5'000'000'000) {
            SDL_Event event;
            SDL_WaitEventTimeout(&event, 50);
            ++waits;
        }
        const double wall = static_cast<double>(steadyNs() - start) / 1e9;
        state.counters["cpu_percent_of_a_core"] = 100.0 * (threadCpuSeconds() - cpuBefore) / wall;
        state.counters["waits_per_second"] = waits / wall;
    }
}
BENCHMARK(BM_SdlEventWaitAlone)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// From an event pushed by another thread (as the link and the group sync push theirs) to the
// present of the frame it wakes, while a still slide sleeps in the event wait.
void BM_ViewPushedEventToFrame(benchmark::State& state) {
    for (auto _ : state) {
        Stage stage(1280, 720, [](const std::filesystem::path&) { return stillLayers; });
        std::mutex mutex;
        std::vector<std::int64_t> presents;
        stage.seams.beforePresent = [&](Display&) {
            std::lock_guard lock(mutex);
            presents.push_back(steadyNs());
        };
        std::vector<std::int64_t> pushes;
        std::jthread pusher([&] {
            // After the fade from black.
            std::this_thread::sleep_for(std::chrono::seconds(1));
            for (int i = 0; i < 50; ++i) {
                pushes.push_back(steadyNs());
                pushPlayerEvent(groupChangedEvent);
                std::this_thread::sleep_for(std::chrono::milliseconds(73));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            pushQuit();
        });
        stage.run();
        pusher.join();
        std::vector<double> latencies;
        int framesPerEvent = 0;
        for (std::size_t i = 0; i < pushes.size(); ++i) {
            const std::int64_t until = i + 1 < pushes.size() ? pushes[i + 1] : INT64_MAX;
            int count = 0;
            for (const std::int64_t present : presents) {
                if (present < pushes[i] || present >= until) continue;
                if (count++ == 0) latencies.push_back(static_cast<double>(present - pushes[i]) / 1e6);
            }
            framesPerEvent = std::max(framesPerEvent, count);
        }
        state.counters["events"] = static_cast<double>(pushes.size());
        state.counters["answered"] = static_cast<double>(latencies.size());
        state.counters["p50_ms"] = percentile(latencies, 0.5);
        state.counters["max_ms"] = percentile(latencies, 1.0);
        state.counters["most_frames_per_event"] = framesPerEvent;
    }
}
BENCHMARK(BM_ViewPushedEventToFrame)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// A 1080p30 clip (10 s, no sound) filling a 1280x720 screen, the whole process on two cores.
void BM_ViewVideoSlide1080p30On720p(benchmark::State& state) {
    const bench::TwoCpus cpus = bench::firstTwoAllowedCpus();
    const cpu_set_t& before = cpus.allowed;
    const cpu_set_t& two = cpus.two;
    for (auto _ : state) {
        state.PauseTiming();
        bool made = true;
        Stage stage(1280, 720, [&](const std::filesystem::path& directory) {
            const auto clip = directory / "clip.mp4";
            const std::string command =
                "ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i testsrc2=size=1920x1080:rate=30 -t 10 "
                "-c:v libx264 -preset veryfast -pix_fmt yuv420p '" + clip.string() + "'";
            made = std::system(command.c_str()) == 0;
            return R"({"x": 0, "y": 0, "width": 1280, "height": 720, "video": {"file": "clip.mp4", "size": "fit", )"
                   R"("sha1": ")" + (made ? fileSha1(clip.string()) : std::string()) + R"("}})";
        });
        if (!made) {
            state.SkipWithError("ffmpeg could not make the clip");
            return;
        }
        state.ResumeTiming();
        std::mutex mutex;
        std::vector<FrameHandOver> handOvers;
        stage.seams.video.onHandOver = [&](const FrameHandOver& frame) {
            std::lock_guard lock(mutex);
            handOvers.push_back(frame);
        };
        std::vector<double> cycles;
        std::int64_t cycleStart = 0;
        std::int64_t nextVsync = 0;
        int slides = 0;
        stage.seams.beforePresent = [&](Display&) {
            const std::int64_t now = steadyNs();
            if (cycleStart != 0) cycles.push_back(static_cast<double>(now - cycleStart) / 1e6);
            // Wait for the next 60 Hz "vertical sync" as a television's present does.
            if (nextVsync == 0) nextVsync = now;
            nextVsync += 16'666'667;
            if (nextVsync < now) nextVsync = now;
            std::this_thread::sleep_for(std::chrono::nanoseconds(nextVsync - now));
            cycleStart = steadyNs();
        };
        // One showing of the clip, then stop.
        std::jthread stopper([&] {
            std::this_thread::sleep_for(std::chrono::seconds(11));
            pushQuit();
        });
        sched_setaffinity(0, sizeof two, &two);
        stage.run();
        sched_setaffinity(0, sizeof before, &before);
        (void)slides;
        std::int64_t late = 0;
        double worstLateMs = 0.0;
        for (const FrameHandOver& frame : handOvers) {
            const std::int64_t lateNs = frame.handedAtNs - frame.dueNs;
            late += lateNs > 16'666'667 ? 1 : 0;
            worstLateMs = std::max(worstLateMs, static_cast<double>(lateNs) / 1e6);
        }
        state.counters["pictures"] = static_cast<double>(handOvers.size());
        state.counters["late"] = static_cast<double>(late);
        state.counters["worst_late_ms"] = worstLateMs;
        state.counters["cycle_p50_ms"] = percentile(cycles, 0.5);
        state.counters["cycle_p99_ms"] = percentile(cycles, 0.99);
        state.counters["presents"] = static_cast<double>(cycles.size());
    }
}
BENCHMARK(BM_ViewVideoSlide1080p30On720p)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
