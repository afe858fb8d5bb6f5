#include "media_clips.h"


#include <cstdlib>
#include <stdexcept>

#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace lumetta::testing {

std::string failureOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "(no failure)";
}

std::filesystem::path makeClip(const std::filesystem::path& output, const std::vector<std::string>& arguments) {
    std::vector<std::string> argv{"ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-y"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    argv.push_back(output.string());
    const ProcessResult result = runProcess(argv);
    if (result.exitStatus != 0 || !std::filesystem::exists(output)) {
        throw std::runtime_error("ffmpeg could not make " + output.string() + ": " + result.err);
    }
    return output;
}

std::filesystem::path makeVideoClip(const std::filesystem::path& output, int width, int height, int frames,
                                    int rate) {
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    return makeClip(output, {"-f", "lavfi", "-i", "testsrc2=size=" + size + ":rate=" + std::to_string(rate),
                             "-frames:v", std::to_string(frames), "-c:v", "libx264", "-preset", "ultrafast",
                             "-pix_fmt", "yuv420p"});
}

std::filesystem::path makeAudioOnlyClip(const std::filesystem::path& output) {
    return makeClip(output, {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=1", "-c:a", "aac",
                             "-ac", "2"});
}

std::filesystem::path makeTwoAudioClip(const std::filesystem::path& output) {
    return makeClip(output, {"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25", "-f", "lavfi", "-i",
                             "sine=frequency=440:sample_rate=48000", "-f", "lavfi", "-i",
                             "sine=frequency=880:sample_rate=44100", "-map", "0:v", "-map", "1:a", "-map", "2:a",
                             "-t", "1", "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-c:a",
                             "aac", "-disposition:a:0", "0", "-disposition:a:1", "default"});
}

std::filesystem::path makeRawH264Clip(const std::filesystem::path& output, int frames) {
    return makeClip(output, {"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25", "-frames:v",
                             std::to_string(frames), "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt",
                             "yuv420p", "-f", "h264"});
}

std::filesystem::path makeSurroundClip(const std::filesystem::path& output) {
    return makeClip(output, {"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25", "-f", "lavfi", "-i",
                             "aevalsrc=exprs=0.5*sin(2*PI*440*t)|0|0|0|0|0:channel_layout=5.1:sample_rate=44100",
                             "-t", "1", "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-c:a",
                             "aac", "-b:a", "256k"});
}

std::filesystem::path makeOddSizeClip(const std::filesystem::path& output, int width, int height, int frames) {
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    return makeClip(output, {"-f", "lavfi", "-i", "testsrc=size=" + size + ":rate=25", "-frames:v",
                             std::to_string(frames), "-c:v", "ffv1", "-pix_fmt", "yuv420p"});
}

TestPcmConfig::TestPcmConfig(const std::filesystem::path& directory,
                             std::optional<std::filesystem::path> rawOutput) {
    if (const char* old = std::getenv("ALSA_CONFIG_PATH")) {
        previous = old;
    }
    std::string text;
    if (rawOutput) {
        text = "pcm.!default {\n"
               "    type file\n"
               "    slave.pcm \"lumettanull\"\n"
               "    file \"" + rawOutput->string() + "\"\n"
               "    format \"raw\"\n"
               "}\n"
               "pcm.lumettanull {\n"
               "    type null\n"
               "}\n";
    } else {
        text = "# no sound device\n";
    }
    const auto path = writeTestFile(directory / "asound-test.conf", text);
    setenv("ALSA_CONFIG_PATH", path.c_str(), 1);
}

TestPcmConfig::~TestPcmConfig() {
    if (previous) {
        setenv("ALSA_CONFIG_PATH", previous->c_str(), 1);
    } else {
        unsetenv("ALSA_CONFIG_PATH");
    }
}

}  // namespace lumetta::testing
