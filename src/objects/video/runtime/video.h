#pragma once
// One media file playing inside one rectangle of a slide. Construction opens the media; the
// first render starts the demultiplex, decode, audio and present threads; the video plays
// once and then keeps showing its last picture.

#include <SDL3/SDL.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "objects/video/runtime/audio_output.h"
#include "objects/video/runtime/codec.h"
#include "objects/video/runtime/conversion.h"
#include "objects/video/runtime/demultiplex.h"
#include "objects/video/runtime/media_queue.h"
#include "objects/video/runtime/video_timing.h"
#include "objects/video/runtime/vulkan_frame_importer.h"

namespace lumetta {

class Display;

// One frame released by the present thread.
struct FrameHandOver {
    int64_t timestampUs = 0;  // the frame's place on the media timeline
    int64_t dueNs = 0;        // when it fell due, on the media clock
    int64_t handedAtNs = 0;   // the clock's reading at the hand-over
};

// What a video takes from its surroundings besides the display. The defaults are the real
// ones; tests replace them.
struct VideoHooks {
    VideoClock clock = VideoClock::steady();
    // Builds the importer of hardware frames for a renderer (default: VulkanFrameImporter).
    std::function<std::unique_ptr<FrameImporter>(SDL_Renderer*)> makeFrameImporter;
    // Sees (and may replace) every decoded video frame before the pipeline handles it.
    std::function<void(AVFrame*)> adaptDecodedFrame;
    // Told of every frame the present thread hands over.
    std::function<void(const FrameHandOver&)> onHandOver;
};

class Video {
public:
    static constexpr uint32_t kFramePoolSize = 8;

    Video(Display* display, int slideWidth, int slideHeight, int x, int y, int width, int height,
          const std::string& path, const std::string& opacity, uint8_t red, uint8_t green, uint8_t blue,
          uint8_t alpha, VideoHooks hooks = {});
    ~Video();
    Video(const Video&) = delete;
    Video& operator=(const Video&) = delete;

    // Main thread, once per drawn frame.
    void render();
    void setPaused(bool paused);
    bool isFinished() const { return finished.load(); }
    bool hasDrawnFrame() const { return frameDrawn.load(); }

    // Any thread: asks every worker to end and wakes them.
    void requestStop();
    // Any thread: keeps the first failure; the next render reports it and ends the video.
    void recordFailure(std::exception_ptr error);

private:
    void open();
    void start();
    void joinThreads();
    void close();
    void reportFailure();
    bool hasFailure();
    bool waitWhilePaused();
    int64_t mediaClock();
    void initFramePool();
    void ensureTexture(int width, int height);
    void uploadFrame(const AVFrame* frame);
    void drawLayer(SDL_Renderer* renderer, SDL_Texture* picture);

    void demuxLoop();
    void decodeLoop();
    void audioLoop();
    void presentLoop();
    bool handleDecodedFrame(AVFrame* frame, AVRational timeBase, bool& poolReady);
    template <typename Body>
    void guarded(Body&& body);
    // Feeds every packet to the codec and each decoded frame to `handle` (false: stop), then
    // drains the decoder; true when the input ended without a stop.
    template <typename Handle>
    bool decodePackets(Codec& codec, PacketQueue& packets, AVFrame* work, Handle&& handle);

    std::mutex pauseMutex;
    bool paused = false;
    int64_t pauseStartedAt = 0;
    int64_t pausedTotal = 0;
    Display* display = nullptr;
    int slideWidth = 0;
    int slideHeight = 0;
    SDL_Rect layerRect{};
    std::string path;
    uint8_t opacity = 255;
    SDL_Color background{};
    SDL_Texture* texture = nullptr;
    std::unique_ptr<FrameImporter> frameImporter;
    int textureWidth = 0;
    int textureHeight = 0;
    std::unique_ptr<Demultiplexer> demultiplexer;
    std::unique_ptr<Codec> videoCodec;
    std::unique_ptr<Conversion> conversion;
    std::unique_ptr<PacketQueue> videoPackets;
    std::unique_ptr<FrameQueue> decodedFrames;
    std::unique_ptr<FrameQueue> returnedFrames;
    std::unique_ptr<Codec> audioCodec;
    std::unique_ptr<PacketQueue> audioPackets;
    std::unique_ptr<AudioOutput> audioOutput;
    std::mutex frameMutex;
    AVFrame* pendingFrame = nullptr;
    bool hasNewFrame = false;
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> started{false};
    std::atomic<bool> presentationEnded{false};
    std::atomic<bool> audioEnded{true};
    std::atomic<bool> finished{false};
    std::atomic<bool> frameDrawn{false};
    std::atomic<bool> failureReported{false};
    std::vector<std::jthread> threads;
    std::mutex failureMutex;
    std::exception_ptr failure;
    VideoHooks hooks;
};

// An opacity text as a byte: fractions up to 1.0 are scaled by 255, larger values are bytes.
uint8_t parseOpacity(const std::string& text);

}  // namespace lumetta
