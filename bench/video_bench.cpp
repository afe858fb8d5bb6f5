// A 1080p30 H.264 clip with sound through the Video element on SDL's offscreen software
// renderer: unpaced throughput, real-time pacing (late and dropped frames), CPU time per frame,
// and FFmpeg's own decode rate of the same clip as the limit.
//
// Run it pinned to two cores to see the small-board case: taskset -c 0,1 ./lumetta_bench
// --benchmark_filter=Video

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "display/display.h"
#include "objects/video/runtime/codec.h"
#include "objects/video/runtime/demultiplex.h"
#include "objects/video/runtime/video.h"

namespace {

using namespace lumetta;
using Clock = std::chrono::steady_clock;

constexpr int kSeconds = 10;
constexpr int kFrames = kSeconds * 30;

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The clip, the headless display and a null sound device, made once per run.
struct Stage {
    std::filesystem::path directory;
    std::filesystem::path clip;
    std::unique_ptr<Display> display;

    Stage() {
        setenv("SDL_VIDEO_DRIVER", "offscreen", 1);
        setenv("SDL_RENDER_DRIVER", "software", 1);
        setenv("SDL_FRAMEBUFFER_ACCELERATION", "0", 1);
        std::string pattern = (std::filesystem::temp_directory_path() / "lumetta-video-bench.XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        directory = pattern;
        // Sound goes to ALSA's null device, so the audio thread does its full work.
        const auto config = directory / "asound.conf";
        std::ofstream(config) << "pcm.!default {\n    type null\n}\n";
        setenv("ALSA_CONFIG_PATH", config.c_str(), 1);

        clip = directory / "1080p30.mp4";
        const std::string command =
            "ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i testsrc2=size=1920x1080:rate=30 "
            "-f lavfi -i sine=frequency=440:sample_rate=48000 -t " + std::to_string(kSeconds) +
            " -c:v libx264 -preset veryfast -pix_fmt yuv420p -c:a aac -ac 2 '" + clip.string() + "'";
        if (std::system(command.c_str()) != 0) throw std::runtime_error("ffmpeg could not make the clip");
        display = std::make_unique<Display>("", "video bench", -1, -1, 1920, 1080, false, std::nullopt);
        // The offscreen driver's emulated vertical sync is far slower than a television's; the
        // loop below paces itself at 60 Hz instead.
        SDL_SetRenderVSync(display->renderer(), 0);
    }
    ~Stage() {
        display.reset();
        std::filesystem::remove_all(directory);
    }
};

Stage& stage() {
    static Stage instance;
    return instance;
}

struct HandOverRecord {
    FrameHandOver frame;
    int64_t rendersSoFar;
};

struct Recorder {
    std::mutex mutex;
    std::vector<HandOverRecord> records;
    std::atomic<int64_t> renders{0};
    double renderSeconds = 0;
    double presentSeconds = 0;
    std::function<void(const FrameHandOver&)> hook() {
        return [this](const FrameHandOver& frame) {
            std::lock_guard lock(mutex);
            records.push_back({frame, renders.load()});
        };
    }
    // A frame is dropped when the next one replaced it before any render could take it.
    int64_t dropped() {
        std::lock_guard lock(mutex);
        int64_t count = 0;
        for (size_t i = 0; i + 1 < records.size(); ++i) {
            count += records[i + 1].rendersSoFar == records[i].rendersSoFar ? 1 : 0;
        }
        return count;
    }
};

void playThrough(Video& video, Recorder& recorder, std::chrono::nanoseconds framePeriod) {
    SDL_Renderer* renderer = stage().display->renderer();
    auto next = Clock::now();
    while (!video.isFinished()) {
        SDL_SetRenderDrawColor(renderer, 0, 0, 0, 255);
        SDL_RenderClear(renderer);
        const auto a = Clock::now();
        video.render();
        const auto b = Clock::now();
        ++recorder.renders;
        SDL_RenderPresent(renderer);
        const auto c = Clock::now();
        recorder.renderSeconds += std::chrono::duration<double>(b - a).count();
        recorder.presentSeconds += std::chrono::duration<double>(c - b).count();
        if (framePeriod.count() > 0) {
            next += framePeriod;
            std::this_thread::sleep_until(next);
        }
    }
}

// No pacing: the media clock jumps forward whenever the video would wait.
void BM_VideoUnpaced1080p30(benchmark::State& state) {
    Stage& s = stage();
    int64_t frames = 0;
    double cpu = 0;
    double seconds = 0;
    for (auto _ : state) {
        Recorder recorder;
        auto virtualNow = std::make_shared<std::atomic<int64_t>>(0);
        VideoHooks hooks;
        hooks.clock.now = [virtualNow] { return virtualNow->load(); };
        hooks.clock.sleep = [virtualNow](std::chrono::nanoseconds span) { *virtualNow += span.count(); };
        hooks.onHandOver = recorder.hook();
        const double cpuBefore = cpuSeconds();
        const auto start = Clock::now();
        {
            Video video(s.display.get(), 1920, 1080, 0, 0, 1920, 1080, s.clip.string(), "1", 0, 0, 0, 255,
                        std::move(hooks));
            playThrough(video, recorder, std::chrono::nanoseconds(0));
        }
        seconds += std::chrono::duration<double>(Clock::now() - start).count();
        cpu += cpuSeconds() - cpuBefore;
        frames += static_cast<int64_t>(recorder.records.size());
    }
    state.counters["frames_per_s"] = static_cast<double>(frames) / seconds;
    state.counters["cpu_ms_per_frame"] = 1000.0 * cpu / static_cast<double>(frames);
}
BENCHMARK(BM_VideoUnpaced1080p30)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

// Real time, drawn at 60 Hz like the player loop: late (more than half a frame after due)
// and dropped frames.
void BM_VideoPacedRealTime1080p30(benchmark::State& state) {
    Stage& s = stage();
    for (auto _ : state) {
        Recorder recorder;
        VideoHooks hooks;
        hooks.onHandOver = recorder.hook();
        const double cpuBefore = cpuSeconds();
        {
            Video video(s.display.get(), 1920, 1080, 0, 0, 1920, 1080, s.clip.string(), "1", 0, 0, 0, 255,
                        std::move(hooks));
            playThrough(video, recorder, std::chrono::nanoseconds(16666667));
        }
        const double cpu = cpuSeconds() - cpuBefore;
        int64_t late = 0;
        int64_t worstLateUs = 0;
        for (const HandOverRecord& record : recorder.records) {
            // Without a pause the media clock is the steady clock.
            const int64_t lateNs = record.frame.handedAtNs - record.frame.dueNs;
            late += lateNs > 16666667 ? 1 : 0;
            worstLateUs = std::max<int64_t>(worstLateUs, lateNs / 1000);
        }
        state.counters["frames"] = static_cast<double>(recorder.records.size());
        state.counters["renders"] = static_cast<double>(recorder.renders.load());
        state.counters["render_ms"] = 1000.0 * recorder.renderSeconds / std::max<int64_t>(1, recorder.renders.load());
        state.counters["sdl_present_ms"] = 1000.0 * recorder.presentSeconds / std::max<int64_t>(1, recorder.renders.load());
        state.counters["late"] = static_cast<double>(late);
        state.counters["dropped"] = static_cast<double>(recorder.dropped());
        state.counters["worst_late_ms"] = worstLateUs / 1000.0;
        state.counters["cpu_ms_per_frame"] = 1000.0 * cpu / std::max<double>(1, recorder.records.size());
    }
}
BENCHMARK(BM_VideoPacedRealTime1080p30)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

// The limit: FFmpeg alone decoding the same clip's picture with the same decoder settings.
void BM_FfmpegDecodeOnly1080p30(benchmark::State& state) {
    Stage& s = stage();
    int64_t frames = 0;
    double cpu = 0;
    double seconds = 0;
    for (auto _ : state) {
        const double cpuBefore = cpuSeconds();
        const auto start = Clock::now();
        Demultiplexer demultiplexer(s.clip.string(), nullptr);
        Codec codec(demultiplexer.videoCodecParameters());
        AVPacket* packet = av_packet_alloc();
        AVFrame* frame = av_frame_alloc();
        const auto receiveAll = [&] {
            while (codec.receive(frame)) {
                ++frames;
                av_frame_unref(frame);
            }
        };
        while (demultiplexer.readPacket(packet)) {
            if (packet->stream_index != demultiplexer.videoStreamIndex()) continue;
            while (!codec.send(packet)) receiveAll();
            receiveAll();
        }
        while (!codec.send(nullptr)) receiveAll();
        receiveAll();
        av_packet_free(&packet);
        av_frame_free(&frame);
        seconds += std::chrono::duration<double>(Clock::now() - start).count();
        cpu += cpuSeconds() - cpuBefore;
    }
    state.counters["frames_per_s"] = static_cast<double>(frames) / seconds;
    state.counters["cpu_ms_per_frame"] = 1000.0 * cpu / static_cast<double>(frames);
}
BENCHMARK(BM_FfmpegDecodeOnly1080p30)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace
