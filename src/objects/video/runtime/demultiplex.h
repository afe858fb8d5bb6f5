#pragma once
// Opens one local media file, chooses the video stream and the audio stream that belongs to
// it, and hands out compressed packets one at a time.

#include <atomic>
#include <memory>
#include <string>

extern "C" {
#include <libavformat/avformat.h>
}

#include "objects/video/runtime/ffmpeg_error.h"
#include "objects/video/runtime/ffmpeg_handles.h"

namespace lumetta {

class Demultiplexer {
public:
    // `stopFlag` (may be null) aborts a slow open or read when set; it must outlive the object.
    Demultiplexer(const std::string& path, const std::atomic<bool>* stopFlag);
    ~Demultiplexer();
    Demultiplexer(const Demultiplexer&) = delete;
    Demultiplexer& operator=(const Demultiplexer&) = delete;

    // Reads the next packet of any stream; false at the end of the file.
    bool readPacket(AVPacket* packet);

    int videoStreamIndex() const { return videoIndex; }
    int audioStreamIndex() const { return audioIndex; }
    const AVCodecParameters* videoCodecParameters() const;
    const AVCodecParameters* audioCodecParameters() const;
    AVRational videoTimeBase() const { return timeBase; }

    // AVIOInterruptCB callback; `opaque` is the stop flag.
    static int interruptCallback(void* opaque);

private:
    const AVCodecParameters* streamParameters(int index) const;

    FormatContextHandle context;
    int videoIndex = -1;
    int audioIndex = -1;
    AVRational timeBase{0, 1};
};

}  // namespace lumetta
