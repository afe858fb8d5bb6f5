#pragma once
// The exception through which FFmpeg failures travel, and the text of FFmpeg error codes.

#include <stdexcept>
#include <string>

namespace lumetta {
namespace ffmpeg {

class Error : public std::runtime_error {
public:
    // "FFmpeg: " + message.
    explicit Error(const std::string& message);
    // The message of formatError for a failed call.
    Error(int code, const char* expression, const char* file, int line);
    ~Error() override;
};

// "FFmpeg: " + the error text + optional " [expr: ...]" + optional " @ file[:line]".
std::string formatError(int code, const char* expression, const char* file, int line);

// Returns for zero or positive codes, throws Error(code, nullptr, nullptr, 0) otherwise.
void throwIfFailed(int code);

}  // namespace ffmpeg

// The av_strerror text of a code, or "FFmpeg error <code>" when FFmpeg has none.
std::string ffmpegErrorText(int code);

}  // namespace lumetta

// Throws ffmpeg::Error for a negative result, naming the call's source text and the check site.
#define LUMETTA_FFMPEG_CHECK(call)                                                   \
    do {                                                                             \
        const int lumettaCheckCode = (call);                                         \
        if (lumettaCheckCode < 0) {                                                  \
            throw ::lumetta::ffmpeg::Error(lumettaCheckCode, #call, __FILE__, __LINE__); \
        }                                                                            \
    } while (false)
