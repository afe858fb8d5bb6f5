#pragma once
// The machinery behind a Video: the media opened, the four worker threads (demultiplex,
// decode, audio, present), the frame pool and the hand-over to the render thread. Used by
// video.cpp only.

#include <SDL3/SDL.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "display/sdl_handles.h"
#include "objects/video/runtime/codec.h"
#include "objects/video/runtime/conversion.h"
#include "objects/video/runtime/demultiplex.h"
#include "objects/video/runtime/ffmpeg_handles.h"
#include "objects/video/runtime/media_queue.h"
#include "objects/video/runtime/video.h"
#include "objects/video/runtime/video_timing.h"

namespace lumetta {

class VideoPlayback {
public:
    VideoPlayback(Display* display, int slideWidth, int slideHeight, SDL_Rect layer, const std::string& path,
                  const ElementOpacity& opacity, SDL_Color background, VideoSeams seams);
    ~VideoPlayback();
    VideoPlayback(const VideoPlayback&) = delete;
    VideoPlayback& operator=(const VideoPlayback&) = delete;

    void render();
    void setPaused(bool paused);
    bool isFinished() const { return finished.load(); }
    bool hasDrawnFrame() const { return frameDrawn.load(); }
    void requestStop();
    void recordFailure(std::exception_ptr error);

private:
    void open();
    void start();
    void joinThreads();
    void close();
    void reportFailure();
    bool hasFailure();
    // Blocks while paused; false once the video stops.
    bool waitWhilePaused();
    // Blocks until the media clock reaches `dueNs` (pauses hold it back); false once the video
    // stops.
    bool waitUntilDue(int64_t dueNs);
    // Nanoseconds of play since the video was made, pauses left out.
    int64_t mediaClock();
    int64_t sinceOrigin() const { return clock.steadyNs() - originNs; }
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

    VideoSeams seams;
    Clock& clock;
    const int64_t originNs;

    // Pause state; `pauseChanged` is notified on every change and on a stop.
    std::mutex pauseMutex;
    std::condition_variable_any pauseChanged;
    bool paused = false;
    uint64_t pauseGeneration = 0;
    int64_t pauseStartedAt = 0;
    int64_t pausedTotal = 0;

    Display* display = nullptr;
    int slideWidth = 0;
    int slideHeight = 0;
    SDL_Rect layerRect{};
    std::string path;
    uint8_t opacity = 255;
    SDL_Color background{};
    TextureHandle texture;
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
    std::unique_ptr<SoundSink> soundSink;
    std::mutex frameMutex;
    FrameHandle pendingFrame;
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
};

}  // namespace lumetta
