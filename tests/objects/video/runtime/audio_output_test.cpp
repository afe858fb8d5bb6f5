#include "objects/video/runtime/audio_output.h"

#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <fstream>
#include <functional>
#include <iterator>

#include "media_clips.h"
#include "objects/video/runtime/codec.h"
#include "objects/video/runtime/demultiplex.h"
#include "support/temp_dir.h"

namespace lumetta {
namespace {

using testing::TempDir;

using testing::FramePtr;
using testing::failureOf;

FramePtr silentFrame(AVSampleFormat format, int samples, int channels = 2, int rate = 48000) {
    FramePtr frame(av_frame_alloc());
    frame->format = format;
    frame->nb_samples = samples;
    frame->sample_rate = rate;
    av_channel_layout_default(&frame->ch_layout, channels);
    EXPECT_EQ(av_frame_get_buffer(frame.get(), 0), 0);
    av_samples_set_silence(frame->extended_data, 0, samples, channels, format);
    return frame;
}


// The PCM as a test board would have it: "default" writes raw S16 stereo into a file.
class AudioOutputTest : public ::testing::Test {
protected:
    TempDir dir;
    std::filesystem::path raw = dir / "pcm.raw";
    testing::TestPcmConfig pcm{dir.path(), raw};

    std::string rawBytes() const {
        std::ifstream file(raw, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), {});
    }
};

TEST_F(AudioOutputTest, SurroundAt44100PlaysAsTheSameAmountOfStereoS16) {
    const auto clip = testing::makeSurroundClip(dir / "surround.mp4");
    Demultiplexer demultiplexer(clip.string(), nullptr);
    const AVCodecParameters* parameters = demultiplexer.audioCodecParameters();
    ASSERT_NE(parameters, nullptr);
    ASSERT_EQ(parameters->ch_layout.nb_channels, 6);
    ASSERT_EQ(parameters->sample_rate, 44100);
    ASSERT_TRUE(AudioOutput::isAvailable());

    Codec codec(parameters);
    std::atomic<bool> stop{false};
    int64_t decodedSamples = 0;
    {
        AudioOutput output(parameters, &stop);
        EXPECT_EQ(output.outputSampleRate(), 44100);
        AVPacket* packet = av_packet_alloc();
        FramePtr frame(av_frame_alloc());
        const auto playAll = [&] {
            while (codec.receive(frame.get())) {
                decodedSamples += frame->nb_samples;
                output.play(frame.get());
                av_frame_unref(frame.get());
            }
        };
        while (demultiplexer.readPacket(packet)) {
            if (packet->stream_index != demultiplexer.audioStreamIndex()) continue;
            while (!codec.send(packet)) playAll();
            playAll();
        }
        while (!codec.send(nullptr)) playAll();
        playAll();
        av_packet_free(&packet);
        EXPECT_EQ(output.resamplerBuilds(), 1);
    }

    const std::string bytes = rawBytes();
    // Same rate, so the resampler holds nothing back: four bytes for every decoded sample.
    EXPECT_EQ(static_cast<int64_t>(bytes.size()), decodedSamples * 4);
    EXPECT_NEAR(static_cast<double>(decodedSamples), 44100.0, 2048.0);

    // The tone was only in front-left: it lands in the left channel, the right stays quiet.
    double left = 0;
    double right = 0;
    const auto* samples = reinterpret_cast<const int16_t*>(bytes.data());
    for (size_t i = 0; i + 1 < bytes.size() / 2; i += 2) {
        left += std::abs(static_cast<double>(samples[i]));
        right += std::abs(static_cast<double>(samples[i + 1]));
    }
    EXPECT_GT(left, 1000.0 * (right + 1.0));
}

TEST_F(AudioOutputTest, RateComesFromTheStreamOr48000) {
    std::atomic<bool> stop{false};
    AVCodecParameters* parameters = avcodec_parameters_alloc();
    parameters->sample_rate = 22050;
    EXPECT_EQ(AudioOutput(parameters, &stop).outputSampleRate(), 22050);
    parameters->sample_rate = 0;
    EXPECT_EQ(AudioOutput(parameters, &stop).outputSampleRate(), 48000);
    EXPECT_EQ(AudioOutput(nullptr, &stop).outputSampleRate(), 48000);
    avcodec_parameters_free(&parameters);
}

TEST_F(AudioOutputTest, EmptyFramesWriteNothing) {
    std::atomic<bool> stop{false};
    {
        AudioOutput output(nullptr, &stop);
        output.play(nullptr);
        FramePtr noSamples = silentFrame(AV_SAMPLE_FMT_S16, 256);
        noSamples->nb_samples = 0;
        output.play(noSamples.get());
        FramePtr noData = silentFrame(AV_SAMPLE_FMT_S16, 256);
        noData->extended_data = nullptr;
        output.play(noData.get());
        noData->extended_data = noData->data;
        EXPECT_EQ(output.resamplerBuilds(), 0);
    }
    EXPECT_EQ(rawBytes().size(), 0u);
}

TEST_F(AudioOutputTest, ResamplerIsRebuiltOnlyWhenTheInputChanges) {
    std::atomic<bool> stop{false};
    AudioOutput output(nullptr, &stop);
    FramePtr s16 = silentFrame(AV_SAMPLE_FMT_S16, 480);
    FramePtr flt = silentFrame(AV_SAMPLE_FMT_FLTP, 480);
    FramePtr mono = silentFrame(AV_SAMPLE_FMT_FLTP, 480, 1);
    FramePtr slower = silentFrame(AV_SAMPLE_FMT_FLTP, 480, 1, 24000);

    output.play(s16.get());
    output.play(s16.get());
    EXPECT_EQ(output.resamplerBuilds(), 1);
    output.play(flt.get());
    output.play(flt.get());
    EXPECT_EQ(output.resamplerBuilds(), 2) << "a change of sample format rebuilds once";
    output.play(mono.get());
    EXPECT_EQ(output.resamplerBuilds(), 3);
    output.play(slower.get());
    output.play(slower.get());
    EXPECT_EQ(output.resamplerBuilds(), 4);
}

TEST_F(AudioOutputTest, BrokenFramesAreRefused) {
    std::atomic<bool> stop{false};
    AudioOutput output(nullptr, &stop);
    FramePtr missingPlane = silentFrame(AV_SAMPLE_FMT_FLTP, 64);
    missingPlane->extended_data[1] = nullptr;
    EXPECT_EQ(failureOf([&] { output.play(missingPlane.get()); }), "AudioOutput: missing input audio data");
    missingPlane->extended_data[1] = missingPlane->data[1];

    FramePtr noRate = silentFrame(AV_SAMPLE_FMT_S16, 64);
    noRate->sample_rate = 0;
    EXPECT_EQ(failureOf([&] { output.play(noRate.get()); }), "AudioOutput: invalid decoded audio format");
}

TEST(AudioOutputDevice, WithoutASoundDeviceNothingIsBuilt) {
    TempDir dir;
    testing::TestPcmConfig noDevice(dir.path(), std::nullopt);
    EXPECT_FALSE(AudioOutput::isAvailable());
    std::atomic<bool> stop{false};
    const std::string failure = failureOf([&] { AudioOutput output(nullptr, &stop); });
    EXPECT_EQ(failure.rfind("AudioOutput: snd_pcm_open failed: ", 0), 0u) << failure;
}

// Writes, waits and recoveries follow a script; everything after the script is accepted whole.
class ScriptedPcm : public PcmIo {
public:
    static constexpr snd_pcm_sframes_t kAll = 1 << 30;

    std::deque<snd_pcm_sframes_t> writes;  // results to give, kAll: accept everything offered
    int waitResult = 1;
    int recoverResult = 0;
    std::function<void(int)> onWrite;  // called with the 1-based write number
    std::vector<std::string> calls;
    std::vector<const void*> writePointers;
    std::vector<snd_pcm_uframes_t> writeSizes;

    snd_pcm_sframes_t writei(snd_pcm_t*, const void* data, snd_pcm_uframes_t frames) override {
        writePointers.push_back(data);
        writeSizes.push_back(frames);
        if (onWrite) onWrite(static_cast<int>(writeSizes.size()));
        snd_pcm_sframes_t result = kAll;
        if (!writes.empty()) {
            result = writes.front();
            writes.pop_front();
        }
        if (result == kAll) result = static_cast<snd_pcm_sframes_t>(frames);
        calls.push_back("write " + std::to_string(result));
        return result;
    }
    int wait(snd_pcm_t*, int timeoutMs) override {
        calls.push_back("wait " + std::to_string(timeoutMs));
        return waitResult;
    }
    int recover(snd_pcm_t*, int error, int silent) override {
        calls.push_back("recover " + std::to_string(error) + " " + std::to_string(silent));
        return recoverResult;
    }

    void script(int count, snd_pcm_sframes_t result) { writes.insert(writes.end(), count, result); }
    int count(const std::string& prefix) const {
        return static_cast<int>(std::count_if(calls.begin(), calls.end(), [&](const std::string& call) {
            return call.rfind(prefix, 0) == 0;
        }));
    }
};

class ScriptedAudioOutputTest : public AudioOutputTest {
protected:
    std::shared_ptr<ScriptedPcm> script = std::make_shared<ScriptedPcm>();
    std::atomic<bool> stop{false};
    FramePtr frame = silentFrame(AV_SAMPLE_FMT_S16, 1000);

    std::string playOnce() {
        AudioOutput output(nullptr, &stop, script);
        return failureOf([&] { output.play(frame.get()); });
    }
};

TEST_F(ScriptedAudioOutputTest, HundredAttemptsWithoutProgressAreToleratedAndTheNextFails) {
    struct Case {
        snd_pcm_sframes_t result;
        const char* message;
    };
    const std::vector<Case> cases = {
        {-EAGAIN, "AudioOutput: ALSA made no write progress"},
        {-EPIPE, "AudioOutput: repeated ALSA recovery without progress"},
        {0, "AudioOutput: ALSA returned repeated empty writes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        script = std::make_shared<ScriptedPcm>();
        script->script(100, c.result);
        EXPECT_EQ(playOnce(), "(no failure)");
        EXPECT_EQ(script->count("write"), 101);

        script = std::make_shared<ScriptedPcm>();
        script->script(101, c.result);
        EXPECT_EQ(playOnce(), c.message);
        EXPECT_EQ(script->count("write"), 101);
        // The failing attempt neither waits nor recovers.
        EXPECT_EQ(script->count("wait") + script->count("recover"), 100);
    }
}

TEST_F(ScriptedAudioOutputTest, TheKindsShareOneCountThatProgressResets) {
    script->script(40, -EAGAIN);
    script->script(40, 0);
    script->script(21, -EPIPE);
    EXPECT_EQ(playOnce(), "AudioOutput: repeated ALSA recovery without progress");

    script = std::make_shared<ScriptedPcm>();
    script->script(100, -EAGAIN);
    script->script(1, 250);  // a partial write is progress
    script->script(100, 0);
    EXPECT_EQ(playOnce(), "(no failure)");
    ASSERT_EQ(script->writeSizes.size(), 202u);
    EXPECT_EQ(script->writeSizes[100], 1000u);
    EXPECT_EQ(script->writeSizes[101], 750u);
    EXPECT_EQ(static_cast<const uint8_t*>(script->writePointers[101]) -
                  static_cast<const uint8_t*>(script->writePointers[100]),
              250 * 4);
}

TEST_F(ScriptedAudioOutputTest, UnderrunIsRecoveredSilentlyAndTheSameFramesWrittenAtOnce) {
    script->script(1, -EPIPE);
    EXPECT_EQ(playOnce(), "(no failure)");
    EXPECT_EQ(script->calls,
              (std::vector<std::string>{"write -32", "recover -32 1", "write 1000"}));
    EXPECT_EQ(script->writePointers[0], script->writePointers[1]);
    EXPECT_EQ(script->writeSizes[0], script->writeSizes[1]);

    // A full device is waited on in 100 ms steps.
    script = std::make_shared<ScriptedPcm>();
    script->script(2, -EAGAIN);
    EXPECT_EQ(playOnce(), "(no failure)");
    EXPECT_EQ(script->calls,
              (std::vector<std::string>{"write -11", "wait 100", "write -11", "wait 100", "write 1000"}));
}

TEST_F(ScriptedAudioOutputTest, FailedRecoveriesNameTheStepAndAlsasReason) {
    struct Case {
        snd_pcm_sframes_t write;
        int waitResult;
        std::string message;
        std::vector<std::string> calls;
    };
    const std::vector<Case> cases = {
        {-EPIPE, 1, "AudioOutput: snd_pcm_writei failed: Input/output error", {"write -32", "recover -32 1"}},
        {-EAGAIN, -ESTRPIPE, "AudioOutput: snd_pcm_wait failed: Input/output error",
         {"write -11", "wait 100", "recover -86 1"}},
        {0, -EPIPE, "AudioOutput: zero-length write recovery failed: Input/output error",
         {"write 0", "wait 100", "recover -32 1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        script = std::make_shared<ScriptedPcm>();
        script->script(1, c.write);
        script->waitResult = c.waitResult;
        script->recoverResult = -EIO;
        EXPECT_EQ(playOnce(), c.message);
        EXPECT_EQ(script->calls, c.calls);
    }

    // A wait that fails but recovers lets writing go on.
    script = std::make_shared<ScriptedPcm>();
    script->script(1, -EAGAIN);
    script->waitResult = -EPIPE;
    EXPECT_EQ(playOnce(), "(no failure)");
    EXPECT_EQ(script->calls, (std::vector<std::string>{"write -11", "wait 100", "recover -32 1", "write 1000"}));
}

TEST_F(ScriptedAudioOutputTest, StopFlagEndsAWaitingWriteWithoutAFailure) {
    script->script(1000, -EAGAIN);
    script->onWrite = [this](int number) {
        if (number == 3) stop = true;
    };
    EXPECT_EQ(playOnce(), "(no failure)");
    EXPECT_EQ(script->count("write"), 3);

    script = std::make_shared<ScriptedPcm>();
    EXPECT_EQ(playOnce(), "(no failure)");
    EXPECT_EQ(script->count("write"), 0) << "a stopped output writes nothing";
}

}  // namespace
}  // namespace lumetta
