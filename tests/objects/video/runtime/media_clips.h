#pragma once
// Small media files made at test time with the ffmpeg tool, and an ALSA configuration of our
// own whose "default" PCM writes raw samples to a file.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
}

namespace lumetta::testing {

struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

// The message of the standard exception that `action` throws, or "(no failure)".
std::string failureOf(const std::function<void()>& action);

// Runs the ffmpeg tool with `arguments` writing `output`; fails the calling test (fatally,
// through an exception) when it does not produce the file.
std::filesystem::path makeClip(const std::filesystem::path& output, const std::vector<std::string>& arguments);

// H.264 video without sound: testsrc2 at the given size, rate and frame count.
std::filesystem::path makeVideoClip(const std::filesystem::path& output, int width, int height, int frames,
                                    int rate = 25);
// Sound only (AAC stereo, one second).
std::filesystem::path makeAudioOnlyClip(const std::filesystem::path& output);
// Video with two audio streams; the second audio stream is marked as the default one.
std::filesystem::path makeTwoAudioClip(const std::filesystem::path& output);
// A raw H.264 elementary stream: packets carry no timestamps.
std::filesystem::path makeRawH264Clip(const std::filesystem::path& output, int frames);
// Video with one second of 5.1 AAC at 44100 Hz; only the front-left channel carries a tone.
std::filesystem::path makeSurroundClip(const std::filesystem::path& output);
// Lossless video of an odd size (testsrc, which keeps odd sizes; FFV1 in Matroska, YUV420P).
std::filesystem::path makeOddSizeClip(const std::filesystem::path& output, int width, int height, int frames);

// Points ALSA_CONFIG_PATH at a configuration of our own for the life of the object.
class TestPcmConfig {
public:
    // `rawOutput` set: "default" is a file PCM writing raw samples there (over a null PCM).
    // Not set: the configuration defines no "default" PCM at all, as on a board without sound.
    TestPcmConfig(const std::filesystem::path& directory, std::optional<std::filesystem::path> rawOutput);
    ~TestPcmConfig();
    TestPcmConfig(const TestPcmConfig&) = delete;
    TestPcmConfig& operator=(const TestPcmConfig&) = delete;

private:
    std::optional<std::string> previous;
};

}  // namespace lumetta::testing
