// A 1080p30 H.264 clip with sound through the Video element on SDL's offscreen software
// renderer: unpaced throughput, real-time pacing (late and dropped frames), CPU time per frame,
// and FFmpeg's own decode rate of the same clip as the limit.
//
// Each is measured twice. Drawn in full, a present of the 1080p picture costs tens of
// milliseconds of CPU on the software renderer (the NV12 texture is kept as XRGB8888, whose
// blended copy takes SDL's generic per-pixel path, and the layer box is fill-blended), so
// those figures mostly measure SDL's rasteriser. The "Pipeline" variants clip the rasteriser's
// output to one pixel and leave out the loop's own full-screen clear, and the unpaced one
// draws once per handed-over frame instead of spinning: decoding, conversion, hand-over,
// texture upload and the draw calls still run for every frame, as they do on a board whose
// GPU does the blending.
//
// Run it pinned to two cores to see the small-board case: taskset -c 0,1 ./lumetta_bench
// --benchmark_filter=Video

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
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

// A clock that jumps to every deadline the video waits for, so the video runs unpaced.
class JumpingClock final : public lumetta::Clock {
public:
    std::int64_t systemMs() const override { return now_.load(); }
    std::int64_t steadyMs() const override { return now_.load(); }
    bool sleepUntil(std::int64_t deadline, std::stop_token) override {
        jumpTo(deadline);
        return true;
    }
    bool waitUntil(std::condition_variable_any&, std::unique_lock<std::mutex>&, std::int64_t deadline,
                   std::stop_token, const std::function<bool()>& ready) override {
        if (!ready()) jumpTo(deadline);
        return ready();
    }

private:
    void jumpTo(std::int64_t deadline) {
        std::int64_t now = now_.load();
        while (now < deadline && !now_.compare_exchange_weak(now, deadline)) {
        }
    }
    std::atomic<std::int64_t> now_{0};
};

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
    std::condition_variable handedOver;
    std::vector<HandOverRecord> records;
    std::atomic<int64_t> renders{0};
    double renderSeconds = 0;
    double presentSeconds = 0;
    std::function<void(const FrameHandOver&)> hook() {
        return [this](const FrameHandOver& frame) {
            {
                std::lock_guard lock(mutex);
                records.push_back({frame, renders.load()});
            }
            handedOver.notify_one();
        };
    }
    // Waits until more than `seen` frames have been handed over, or for `limit` (the end of the
    // video hands nothing over); returns the number handed over so far.
    size_t waitForHandOver(size_t seen, std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex);
        handedOver.wait_for(lock, limit, [&] { return records.size() > seen; });
        return records.size();
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

// How the loop below draws.
struct Drawing {
    std::chrono::nanoseconds period{0};  // wait between draws; 0 draws as fast as it can
    bool onHandOver = false;             // draw once per handed-over frame instead
    // Clips the software rasteriser's output to one pixel: every frame is still taken,
    // uploaded and drawn through SDL, but the blending of two million pixels per present,
    // which the board's GPU does for the player, no longer takes a core from decoding.
    bool clipped = false;
};

void drawOnce(Video& video, Recorder& recorder, bool clear) {
    SDL_Renderer* renderer = stage().display->renderer();
    if (clear) {
        SDL_SetRenderDrawColor(renderer, 0, 0, 0, 255);
        SDL_RenderClear(renderer);
    }
    const auto a = Clock::now();
    video.render();
    const auto b = Clock::now();
    ++recorder.renders;
    SDL_RenderPresent(renderer);
    const auto c = Clock::now();
    recorder.renderSeconds += std::chrono::duration<double>(b - a).count();
    recorder.presentSeconds += std::chrono::duration<double>(c - b).count();
}

void playThrough(Video& video, Recorder& recorder, const Drawing& drawing) {
    SDL_Renderer* renderer = stage().display->renderer();
    const SDL_Rect onePixel{0, 0, 1, 1};
    SDL_SetRenderClipRect(renderer, drawing.clipped ? &onePixel : nullptr);
    auto next = Clock::now();
    size_t drawn = 0;
    while (!video.isFinished()) {
        if (drawing.onHandOver) {
            drawn = recorder.waitForHandOver(drawn, std::chrono::milliseconds(2));
        }
        // A clear ignores the clip rectangle: clipped, the loop leaves it out.
        drawOnce(video, recorder, !drawing.clipped);
        if (drawing.period.count() > 0) {
            next += drawing.period;
            std::this_thread::sleep_until(next);
        }
    }
    SDL_SetRenderClipRect(renderer, nullptr);
}

void reportDrawing(benchmark::State& state, const Recorder& recorder) {
    const double renders = static_cast<double>(std::max<int64_t>(1, recorder.renders.load()));
    state.counters["renders"] = static_cast<double>(recorder.renders.load());
    state.counters["render_ms"] = 1000.0 * recorder.renderSeconds / renders;
    state.counters["sdl_present_ms"] = 1000.0 * recorder.presentSeconds / renders;
}

// No pacing: the media clock jumps forward whenever the video would wait.
void unpaced(benchmark::State& state, const Drawing& drawing) {
    Stage& s = stage();
    int64_t frames = 0;
    int64_t renders = 0;
    double cpu = 0;
    double seconds = 0;
    double renderSeconds = 0;
    double presentSeconds = 0;
    for (auto _ : state) {
        Recorder recorder;
        JumpingClock jumping;
        VideoSeams hooks;
        hooks.clock = &jumping;
        hooks.onHandOver = recorder.hook();
        const double cpuBefore = cpuSeconds();
        const auto start = Clock::now();
        {
            Video video(s.display.get(), 1920, 1080, 0, 0, 1920, 1080, s.clip.string(), "1", 0, 0, 0, 255,
                        std::move(hooks));
            playThrough(video, recorder, drawing);
        }
        seconds += std::chrono::duration<double>(Clock::now() - start).count();
        cpu += cpuSeconds() - cpuBefore;
        frames += static_cast<int64_t>(recorder.records.size());
        renders += recorder.renders.load();
        renderSeconds += recorder.renderSeconds;
        presentSeconds += recorder.presentSeconds;
    }
    state.counters["frames_per_s"] = static_cast<double>(frames) / seconds;
    state.counters["cpu_ms_per_frame"] = 1000.0 * cpu / static_cast<double>(frames);
    state.counters["renders_per_frame"] = static_cast<double>(renders) / static_cast<double>(frames);
    state.counters["render_ms"] = 1000.0 * renderSeconds / static_cast<double>(std::max<int64_t>(1, renders));
    state.counters["sdl_present_ms"] = 1000.0 * presentSeconds / static_cast<double>(std::max<int64_t>(1, renders));
}

// The main loop redraws the whole 1080p picture on the software renderer as fast as it can:
// every present blends the full screen on the CPU, so this loop takes a core from decoding.
void BM_VideoUnpaced1080p30(benchmark::State& state) { unpaced(state, Drawing{}); }
BENCHMARK(BM_VideoUnpaced1080p30)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

// The pipeline's own rate: one draw per handed-over frame, the software rasteriser clipped.
void BM_VideoUnpacedPipeline1080p30(benchmark::State& state) {
    unpaced(state, Drawing{.onHandOver = true, .clipped = true});
}
BENCHMARK(BM_VideoUnpacedPipeline1080p30)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

// Real time, drawn at 60 Hz like the player loop: late (more than half a frame after due)
// and dropped frames.
void pacedRealTime(benchmark::State& state, const Drawing& drawing) {
    Stage& s = stage();
    for (auto _ : state) {
        Recorder recorder;
        VideoSeams hooks;
        hooks.onHandOver = recorder.hook();
        const double cpuBefore = cpuSeconds();
        {
            Video video(s.display.get(), 1920, 1080, 0, 0, 1920, 1080, s.clip.string(), "1", 0, 0, 0, 255,
                        std::move(hooks));
            playThrough(video, recorder, drawing);
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
        reportDrawing(state, recorder);
        state.counters["late"] = static_cast<double>(late);
        state.counters["dropped"] = static_cast<double>(recorder.dropped());
        state.counters["worst_late_ms"] = worstLateUs / 1000.0;
        state.counters["cpu_ms_per_frame"] = 1000.0 * cpu / std::max<double>(1, recorder.records.size());
    }
}

void BM_VideoPacedRealTime1080p30(benchmark::State& state) {
    pacedRealTime(state, Drawing{.period = std::chrono::nanoseconds(16666667)});
}
BENCHMARK(BM_VideoPacedRealTime1080p30)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

// The same with the software rasteriser clipped as above: the pipeline's real-time behaviour.
void BM_VideoPacedRealTimePipeline1080p30(benchmark::State& state) {
    pacedRealTime(state, Drawing{.period = std::chrono::nanoseconds(16666667), .clipped = true});
}
BENCHMARK(BM_VideoPacedRealTimePipeline1080p30)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

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
