#include "objects/video/runtime/demultiplex.h"

namespace lumetta {

Demultiplexer::Demultiplexer(const std::string& path, const std::atomic<bool>* stopFlag) {
    if (path.empty()) {
        throw ffmpeg::Error("Empty media filename");
    }

    DictionaryOptions options;
    LUMETTA_FFMPEG_CHECK(av_dict_set(
        options.address(), "scan_all_pmts", "1", 0));
    LUMETTA_FFMPEG_CHECK(av_dict_set(
        options.address(), "ignore_unknown", "1", 0));

    AVFormatContext* opened = avformat_alloc_context();
    if (opened == nullptr) {
        throw ffmpeg::Error("Unable to allocate the demultiplexer context");
    }
    // Installed before the open, so a stop request also aborts a slow open.
    opened->interrupt_callback.callback = &Demultiplexer::interruptCallback;
    opened->interrupt_callback.opaque = const_cast<std::atomic<bool>*>(stopFlag);

    // On failure avformat_open_input frees the context itself and nulls the pointer.
    const int openResult = avformat_open_input(&opened, path.c_str(), nullptr, options.address());
    LUMETTA_FFMPEG_CHECK(openResult);
    if (opened == nullptr) {
        throw ffmpeg::Error("FFmpeg opened the media without returning a format context");
    }
    context.reset(opened);

    LUMETTA_FFMPEG_CHECK(avformat_find_stream_info(
        context.get(), nullptr));

    const int video = av_find_best_stream(context.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (video < 0) {
        throw ffmpeg::Error("No playable video stream found");
    }
    if (context->streams[video] == nullptr) {
        throw ffmpeg::Error("Selected video stream is unavailable");
    }
    videoIndex = video;
    timeBase = context->streams[video]->time_base;

    const int audio = av_find_best_stream(context.get(), AVMEDIA_TYPE_AUDIO, -1, video, nullptr, 0);
    if (audio >= 0 && context->streams[audio] != nullptr) {
        audioIndex = audio;
    }
}

Demultiplexer::~Demultiplexer() = default;

bool Demultiplexer::readPacket(AVPacket* packet) {
    if (!context) {
        throw ffmpeg::Error("Demultiplexer is not open");
    }
    av_packet_unref(packet);
    const int result = av_read_frame(context.get(), packet);
    if (result == AVERROR_EOF) {
        return false;
    }
    LUMETTA_FFMPEG_CHECK(result);
    return true;
}

const AVCodecParameters* Demultiplexer::streamParameters(int index) const {
    if (!context || index < 0 || static_cast<unsigned>(index) >= context->nb_streams ||
        context->streams[index] == nullptr) {
        return nullptr;
    }
    return context->streams[index]->codecpar;
}

const AVCodecParameters* Demultiplexer::videoCodecParameters() const { return streamParameters(videoIndex); }

const AVCodecParameters* Demultiplexer::audioCodecParameters() const { return streamParameters(audioIndex); }

int Demultiplexer::interruptCallback(void* opaque) {
    if (opaque == nullptr) {
        return 0;
    }
    return static_cast<const std::atomic<bool>*>(opaque)->load() ? 1 : 0;
}

}  // namespace lumetta
