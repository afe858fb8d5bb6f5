#include "objects/video/runtime/audio_output.h"

#include <cerrno>
#include <limits>
#include <string>

extern "C" {
#include <libavutil/mathematics.h>
#include <libswresample/swresample.h>
}

namespace lumetta {

namespace {

constexpr int kWaitTimeoutMs = 100;
constexpr unsigned kLatencyMicroseconds = 200000;
// 100 attempts without progress in a row are tolerated; the 101st fails.
constexpr int kAttemptsWithoutProgressLimit = 101;

class AlsaPcmIo final : public PcmIo {
public:
    snd_pcm_sframes_t writei(snd_pcm_t* pcm, const void* data, snd_pcm_uframes_t frames) override {
        return snd_pcm_writei(pcm, data, frames);
    }
    int wait(snd_pcm_t* pcm, int timeoutMs) override { return snd_pcm_wait(pcm, timeoutMs); }
    int recover(snd_pcm_t* pcm, int error, int silent) override { return snd_pcm_recover(pcm, error, silent); }
};

// The frame's layout, or the default stereo layout when it has no channels or cannot be copied.
void copyLayoutOrStereo(AVChannelLayout* target, const AVFrame* frame) {
    av_channel_layout_uninit(target);
    if (frame->ch_layout.nb_channels > 0 && av_channel_layout_copy(target, &frame->ch_layout) >= 0) {
        return;
    }
    av_channel_layout_uninit(target);
    av_channel_layout_default(target, 2);
}

}  // namespace

std::shared_ptr<PcmIo> PcmIo::alsa() {
    static const std::shared_ptr<PcmIo> instance = std::make_shared<AlsaPcmIo>();
    return instance;
}

std::runtime_error AudioOutput::error(const char* what, int code) {
    return std::runtime_error(std::string("AudioOutput: ") + what + ": " + snd_strerror(code));
}

AudioOutput::AudioOutput(const AVCodecParameters* parameters, const std::atomic<bool>* stop,
                         std::shared_ptr<PcmIo> pcmIo)
    : stopFlag(stop), io(pcmIo ? std::move(pcmIo) : PcmIo::alsa()) {
    av_channel_layout_default(&outputLayout, outputChannels);
    const int bytesPerSample = av_get_bytes_per_sample(outputFormat);
    bytesPerOutputFrame = bytesPerSample * outputChannels;
    if (bytesPerOutputFrame < 1) {
        av_channel_layout_uninit(&outputLayout);
        throw std::runtime_error("AudioOutput: invalid output sample format");
    }
    if (parameters != nullptr && parameters->sample_rate > 0) {
        outputRate = parameters->sample_rate;
    }
    try {
        openDevice();
    } catch (...) {
        av_channel_layout_uninit(&outputLayout);
        throw;
    }
}

// The PCM is dropped and closed, and the resampler freed, by their handles.
AudioOutput::~AudioOutput() {
    av_channel_layout_uninit(&inputLayout);
    av_channel_layout_uninit(&outputLayout);
}

void AudioOutput::openDevice() {
    snd_pcm_t* opened = nullptr;
    int result = snd_pcm_open(&opened, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    if (result < 0) {
        throw error("snd_pcm_open failed", result);
    }
    PcmHandle device(opened);
    result = snd_pcm_set_params(device.get(), SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED,
                                static_cast<unsigned>(outputChannels), static_cast<unsigned>(outputRate), 1,
                                kLatencyMicroseconds);
    if (result < 0) {
        throw error("snd_pcm_set_params failed", result);
    }
    pcm = std::move(device);
}

bool AudioOutput::isAvailable() {
    snd_pcm_t* probe = nullptr;
    if (snd_pcm_open(&probe, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) {
        return false;
    }
    PcmHandle closed(probe);
    return true;
}

bool AudioOutput::resamplerMatches(const AVFrame* frame) const {
    if (frame == nullptr || !resampler || frame->sample_rate < 1 || frame->format == AV_SAMPLE_FMT_NONE) {
        return false;
    }
    if (frame->sample_rate != inputRate || frame->format != inputFormat) {
        return false;
    }
    AVChannelLayout layout{};
    copyLayoutOrStereo(&layout, frame);
    const bool same = av_channel_layout_compare(&layout, &inputLayout) == 0;
    av_channel_layout_uninit(&layout);
    return same;
}

void AudioOutput::configureResampler(const AVFrame* frame) {
    if (frame == nullptr) {
        throw std::invalid_argument("AudioOutput: null audio frame");
    }
    if (frame->sample_rate < 1 || frame->format == AV_SAMPLE_FMT_NONE) {
        throw std::runtime_error("AudioOutput: invalid decoded audio format");
    }
    // Samples still buffered in the old resampler are dropped with it.
    resampler.reset();
    copyLayoutOrStereo(&inputLayout, frame);
    inputFormat = static_cast<AVSampleFormat>(frame->format);
    inputRate = frame->sample_rate;
    SwrContext* allocated = nullptr;
    const int result = swr_alloc_set_opts2(&allocated, &outputLayout, outputFormat, outputRate, &inputLayout,
                                           inputFormat, inputRate, 0, nullptr);
    ResamplerHandle created(allocated);
    if (result < 0 || !created) {
        throw std::runtime_error("AudioOutput: could not allocate resampler");
    }
    if (swr_init(created.get()) < 0) {
        throw std::runtime_error("AudioOutput: could not initialise resampler");
    }
    resampler = std::move(created);
    ++builds;
}

void AudioOutput::play(const AVFrame* frame) {
    if (frame == nullptr || !pcm || frame->extended_data == nullptr || frame->nb_samples < 1) {
        return;
    }
    if (!resamplerMatches(frame)) {
        configureResampler(frame);
    }

    const int64_t capacity = av_rescale_rnd(swr_get_delay(resampler.get(), inputRate) + frame->nb_samples, outputRate,
                                            inputRate, AV_ROUND_UP);
    if (capacity < 1) {
        return;
    }
    const uint64_t bytes = static_cast<uint64_t>(capacity) * static_cast<uint64_t>(bytesPerOutputFrame);
    if (bytes > std::numeric_limits<uint32_t>::max() || capacity > std::numeric_limits<int>::max()) {
        throw std::runtime_error("AudioOutput: converted audio buffer is too large");
    }
    buffer.resize(static_cast<size_t>(bytes));

    std::vector<const uint8_t*> planes;
    if (av_sample_fmt_is_planar(inputFormat)) {
        if (inputLayout.nb_channels < 1) {
            throw std::runtime_error("AudioOutput: invalid input plane count");
        }
        planes.resize(static_cast<size_t>(inputLayout.nb_channels));
    } else {
        planes.resize(1);
    }
    for (size_t plane = 0; plane < planes.size(); ++plane) {
        planes[plane] = frame->extended_data[plane];
        if (planes[plane] == nullptr) {
            throw std::runtime_error("AudioOutput: missing input audio data");
        }
    }

    uint8_t* output = buffer.data();
    const int converted =
        swr_convert(resampler.get(), &output, static_cast<int>(capacity), planes.data(), frame->nb_samples);
    if (converted < 0) {
        throw std::runtime_error("AudioOutput: audio conversion failed");
    }
    if (converted == 0) {
        return;
    }
    writeFrames(buffer.data(), converted);
}

void AudioOutput::writeFrames(const uint8_t* data, int frames) {
    if (!pcm || data == nullptr || frames <= 0) {
        return;
    }
    int withoutProgress = 0;
    auto countAttemptWithoutProgress = [&](const char* message) {
        if (++withoutProgress >= kAttemptsWithoutProgressLimit) {
            throw std::runtime_error(message);
        }
    };
    while (true) {
        if (stopFlag != nullptr && stopFlag->load()) {
            return;
        }
        const snd_pcm_sframes_t written = io->writei(pcm.get(), data, static_cast<snd_pcm_uframes_t>(frames));
        if (written == -EAGAIN) {
            countAttemptWithoutProgress("AudioOutput: ALSA made no write progress");
            const int waited = io->wait(pcm.get(), kWaitTimeoutMs);
            if (waited < 0) {
                const int recovered = io->recover(pcm.get(), waited, 1);
                if (recovered < 0) {
                    throw error("snd_pcm_wait failed", recovered);
                }
            }
            continue;
        }
        if (written < 0) {
            countAttemptWithoutProgress("AudioOutput: repeated ALSA recovery without progress");
            const int recovered = io->recover(pcm.get(), static_cast<int>(written), 1);
            if (recovered < 0) {
                throw error("snd_pcm_writei failed", recovered);
            }
            continue;
        }
        if (written == 0) {
            countAttemptWithoutProgress("AudioOutput: ALSA returned repeated empty writes");
            const int waited = io->wait(pcm.get(), kWaitTimeoutMs);
            if (waited < 0) {
                const int recovered = io->recover(pcm.get(), waited, 1);
                if (recovered < 0) {
                    throw error("zero-length write recovery failed", recovered);
                }
            }
            continue;
        }
        frames -= static_cast<int>(written);
        if (frames <= 0) {
            return;
        }
        data += written * bytesPerOutputFrame;
        withoutProgress = 0;
    }
}

}  // namespace lumetta
