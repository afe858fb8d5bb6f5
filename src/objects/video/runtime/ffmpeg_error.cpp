#include "objects/video/runtime/ffmpeg_error.h"

#include <sstream>

extern "C" {
#include <libavutil/error.h>
}

namespace lumetta {
namespace ffmpeg {

Error::Error(const std::string& message) : std::runtime_error("FFmpeg: " + message) {}

Error::Error(int code, const char* expression, const char* file, int line)
    : std::runtime_error(formatError(code, expression, file, line)) {}

Error::~Error() = default;

std::string formatError(int code, const char* expression, const char* file, int line) {
    char text[64] = {};
    av_strerror(code, text, sizeof text);
    std::ostringstream message;
    message << "FFmpeg: " << text;
    if (expression != nullptr && *expression != '\0') {
        message << " [expr: " << expression << "]";
    }
    if (file != nullptr && *file != '\0') {
        message << " @ " << file;
        if (line > 0) {
            message << ":" << line;
        }
    }
    return message.str();
}

void throwIfFailed(int code) {
    if (code >= 0) {
        return;
    }
    throw Error(code, nullptr, nullptr, 0);
}

}  // namespace ffmpeg

std::string ffmpegErrorText(int code) {
    char text[64] = {};
    if (av_strerror(code, text, sizeof text) < 0) {
        return "FFmpeg error " + std::to_string(code);
    }
    return text;
}

}  // namespace lumetta
