#pragma once
// Owning handles for the FFmpeg objects of a video, so every way out of a function frees them.
// Nothing else in the player calls an FFmpeg free function.

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace lumetta {

struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
using PacketHandle = std::unique_ptr<AVPacket, PacketDeleter>;

struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
using FrameHandle = std::unique_ptr<AVFrame, FrameDeleter>;

struct CodecContextDeleter {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
using CodecContextHandle = std::unique_ptr<AVCodecContext, CodecContextDeleter>;

struct FormatContextDeleter {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
using FormatContextHandle = std::unique_ptr<AVFormatContext, FormatContextDeleter>;

struct ScalerDeleter {
    void operator()(SwsContext* scaler) const { sws_freeContext(scaler); }
};
using ScalerHandle = std::unique_ptr<SwsContext, ScalerDeleter>;

struct ResamplerDeleter {
    void operator()(SwrContext* resampler) const { swr_free(&resampler); }
};
using ResamplerHandle = std::unique_ptr<SwrContext, ResamplerDeleter>;

// An options dictionary, freed with the scope.
class DictionaryOptions {
public:
    DictionaryOptions() = default;
    ~DictionaryOptions() { av_dict_free(&dictionary_); }
    DictionaryOptions(const DictionaryOptions&) = delete;
    DictionaryOptions& operator=(const DictionaryOptions&) = delete;
    AVDictionary** address() { return &dictionary_; }

private:
    AVDictionary* dictionary_ = nullptr;
};

}  // namespace lumetta
