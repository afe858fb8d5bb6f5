#pragma once
// Plays the decoded sound of one video through ALSA's "default" PCM as interleaved S16 stereo.

#include <alsa/asoundlib.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

extern "C" {
#include <libavcodec/codec_par.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/samplefmt.h>
}

#include "objects/video/runtime/ffmpeg_handles.h"
#include "objects/video/runtime/sound_sink.h"

namespace lumetta {

// An open PCM: dropped and closed when the handle goes.
struct PcmDeleter {
    void operator()(snd_pcm_t* pcm) const {
        snd_pcm_drop(pcm);
        snd_pcm_close(pcm);
    }
};
using PcmHandle = std::unique_ptr<snd_pcm_t, PcmDeleter>;

// The three PCM calls of the write loop. The default goes straight to ALSA; tests script them.
class PcmIo {
public:
    virtual ~PcmIo() = default;
    virtual snd_pcm_sframes_t writei(snd_pcm_t* pcm, const void* data, snd_pcm_uframes_t frames) = 0;
    virtual int wait(snd_pcm_t* pcm, int timeoutMs) = 0;
    virtual int recover(snd_pcm_t* pcm, int error, int silent) = 0;

    static std::shared_ptr<PcmIo> alsa();
};

class AudioOutput final : public SoundSink {
public:
    // `parameters` may be null (48000 Hz is then used); `stopFlag` (may be null) makes a
    // blocked play() return. `io` null means ALSA itself.
    AudioOutput(const AVCodecParameters* parameters, const std::atomic<bool>* stopFlag,
                std::shared_ptr<PcmIo> io = nullptr);
    ~AudioOutput() override;
    AudioOutput(const AudioOutput&) = delete;
    AudioOutput& operator=(const AudioOutput&) = delete;

    // Converts and writes one decoded frame; blocks while the device is full.
    void play(const AVFrame* frame) override;

    // True when the "default" PCM can be opened for playback.
    static bool isAvailable();

    int outputSampleRate() const { return outputRate; }
    // How many times the resampler has been (re)built.
    int resamplerBuilds() const { return builds; }

private:
    void openDevice();
    bool resamplerMatches(const AVFrame* frame) const;
    void configureResampler(const AVFrame* frame);
    void writeFrames(const uint8_t* data, int frames);
    static std::runtime_error error(const char* what, int code);

    PcmHandle pcm;
    ResamplerHandle resampler;
    const std::atomic<bool>* stopFlag = nullptr;
    AVChannelLayout inputLayout{};
    AVChannelLayout outputLayout{};
    AVSampleFormat inputFormat = AV_SAMPLE_FMT_NONE;
    int inputRate = 0;
    AVSampleFormat outputFormat = AV_SAMPLE_FMT_S16;
    int outputRate = 48000;
    int outputChannels = 2;
    int bytesPerOutputFrame = 0;
    std::vector<uint8_t> buffer;
    std::shared_ptr<PcmIo> io;
    int builds = 0;
};

}  // namespace lumetta
