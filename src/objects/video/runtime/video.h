#pragma once
// One media file playing inside one rectangle of a slide. Construction opens the media; the
// first render starts the demultiplex, decode, audio and present threads; the video plays
// once and then keeps showing its last picture. The machinery lives in video_playback.h, so
// this header needs no FFmpeg, ALSA or Vulkan header.

#include <SDL3/SDL.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "core/clock.h"
#include "display/element_opacity.h"
#include "objects/video/runtime/frame_importer.h"
#include "objects/video/runtime/sound_sink.h"

struct AVCodecParameters;
struct AVFrame;

namespace lumetta {

class Display;
class VideoPlayback;

// One frame released by the present thread. Times are nanoseconds since the video was made.
struct FrameHandOver {
    int64_t timestampUs = 0;  // the frame's place on the media timeline
    int64_t dueNs = 0;        // when it fell due, on the media clock (pauses left out)
    int64_t handedAtNs = 0;   // the clock's reading at the hand-over
};

// What a video takes from its surroundings besides the display. The defaults are the real
// ones; tests hand in their own.
struct VideoSeams {
    // Paces the pictures (steady time); must outlive the video.
    Clock* clock = &systemClock();
    // Builds the importer of hardware frames for a renderer (default: VulkanFrameImporter).
    std::function<std::unique_ptr<FrameImporter>(SDL_Renderer*)> makeFrameImporter;
    // Builds the sink of the sound stream, whose play must return soon after `stop` is set
    // (default: an AudioOutput when ALSA's "default" PCM opens). Null: the video plays silent.
    std::function<std::unique_ptr<SoundSink>(const AVCodecParameters*, const std::atomic<bool>* stop)> makeSoundSink;
    // Sees (and may replace) every decoded video frame before the pipeline handles it.
    std::function<void(AVFrame*)> adaptDecodedFrame;
    // Told of every frame the present thread hands over.
    std::function<void(const FrameHandOver&)> onHandOver;
    // Draws a picture at full opacity as a translucent one is drawn (the whole box filled, the
    // picture blended over it) instead of copying it over the bars' fill; tests compare the two.
    bool blendOpaquePictures = false;
};

class Video {
public:
    static constexpr uint32_t kFramePoolSize = 8;

    Video(Display* display, int slideWidth, int slideHeight, int x, int y, int width, int height,
          const std::string& path, ElementOpacity opacity, uint8_t red, uint8_t green, uint8_t blue,
          uint8_t alpha, VideoSeams seams = {});
    ~Video();
    Video(const Video&) = delete;
    Video& operator=(const Video&) = delete;

    // Main thread, once per drawn frame.
    void render();
    void setPaused(bool paused);
    bool isFinished() const;
    bool hasDrawnFrame() const;

    // Any thread: asks every worker to end and wakes them.
    void requestStop();
    // Any thread: keeps the first failure; the next render reports it and ends the video.
    void recordFailure(std::exception_ptr error);

private:
    std::unique_ptr<VideoPlayback> playback_;
};

// An opacity text as a byte: fractions up to 1.0 are scaled by 255, larger values are bytes.
uint8_t parseOpacity(const std::string& text);
// The same rule for an opacity given as a number or as a text; a number that is not finite
// throws std::invalid_argument "Invalid video opacity: " and the number ("nan", "inf", "-inf").
uint8_t videoOpacityByte(const ElementOpacity& opacity);

}  // namespace lumetta
