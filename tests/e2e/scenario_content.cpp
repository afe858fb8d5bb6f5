#include "scenario_content.h"

#include <cstdio>
#include <stdexcept>

#include "support/subprocess.h"

namespace lumetta::testing {
namespace {

std::string ffmpegColor(Frame::Color color) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%02X%02X%02X", color.r, color.g, color.b);
    return text;
}

void runFfmpeg(const std::vector<std::string>& arguments, const std::filesystem::path& output) {
    std::vector<std::string> argv = {"ffmpeg", "-nostdin", "-loglevel", "error", "-y"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    argv.push_back(output.string());
    const ProcessResult result = runProcess(argv);
    if (result.exitStatus != 0 || !std::filesystem::exists(output)) {
        throw std::runtime_error("ffmpeg could not make " + output.string() + ": " + result.err);
    }
}

std::string fullSlideLayer(const std::string& payload) {
    return R"({"x": 0, "y": 0, "width": 1920, "height": 1080, )" + payload + "}";
}

}  // namespace

std::string hexColor(Frame::Color color) {
    char text[16];
    std::snprintf(text, sizeof text, "#%02X%02X%02X", color.r, color.g, color.b);
    return text;
}

std::filesystem::path makeImage(const std::filesystem::path& file, Frame::Color color) {
    runFfmpeg({"-f", "lavfi", "-i", "color=c=" + ffmpegColor(color) + ":size=640x360", "-frames:v", "1"}, file);
    return file;
}

std::filesystem::path makeClip(const std::filesystem::path& file, double seconds, Frame::Color color) {
    const std::string length = std::to_string(seconds);
    runFfmpeg({"-f", "lavfi", "-i", "color=c=" + ffmpegColor(color) + ":size=320x180:rate=25", "-f", "lavfi", "-i",
               "sine=frequency=440:sample_rate=48000", "-t", length, "-c:v", "libx264", "-preset", "ultrafast",
               "-pix_fmt", "yuv420p", "-c:a", "aac", "-shortest"},
              file);
    return file;
}

SlideSpec imageSlide(const std::string& id, const std::string& file, const std::string& sha1, int duration) {
    return {id, fullSlideLayer(R"("image": {"file": ")" + file + R"(", "sha1": ")" + sha1 + R"("})"), duration};
}

SlideSpec textSlide(const std::string& id, const std::string& content, int duration) {
    return {id,
            fullSlideLayer(R"("text": {"content": ")" + content +
                           R"(", "font": "Lato", "font-size": 96, "color": "#FFFFFF", "background-color": ")" +
                           hexColor(kTextBackground) + R"(", "alignment": "Centre"})"),
            duration};
}

SlideSpec shapeSlide(const std::string& id, Frame::Color color, int duration) {
    return {id, fullSlideLayer(R"("rectangle": {"color": ")" + hexColor(color) + R"("})"), duration};
}

SlideSpec videoSlide(const std::string& id, const std::string& file, const std::string& sha1, int duration) {
    return {id, fullSlideLayer(R"("video": {"file": ")" + file + R"(", "sha1": ")" + sha1 + R"("})"), duration};
}

std::string playlistDocument(const std::string& name, const std::vector<SlideSpec>& slides) {
    std::string text = R"({"account": "acme", "branch": "main", "playlist": ")" + name + R"(", "slides": [)";
    for (std::size_t i = 0; i < slides.size(); ++i) {
        if (i > 0) text += ", ";
        text += R"({"id": ")" + slides[i].id + R"(", "width": 1920, "height": 1080, "duration": )" +
                std::to_string(slides[i].duration) + R"(, "transitionIn": "none", "layers": [)" + slides[i].layer + "]}";
    }
    return text + "]}";
}

}  // namespace lumetta::testing
