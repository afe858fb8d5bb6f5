#include "objects/video/runtime/codec.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>

#include "core/log.h"
#include "core/process_state.h"
#include "objects/video/runtime/ffmpeg_error.h"

namespace lumetta {

namespace {

// Decoder name suffix of the Raspberry Pi 5 path: the stock decoder with DRM PRIME output.
constexpr const char* kDrmPrimeSuffix = "+v4l2request/drm_prime";

struct ModelRow {
    std::vector<const char*> any;  // the row holds when the model contains one of these...
    const char* also = nullptr;    // ...and, when set, this one too
    BoardFamily family;
};

// Tried strictly in order: a longer model text must come before the shorter ones it contains.
const std::vector<ModelRow>& modelRows() {
    using F = BoardFamily;
    static const std::vector<ModelRow> rows = {
        {{"Raspberry Pi Compute Module 5", "Raspberry Pi 5"}, nullptr, F::RaspberryPi5},
        {{"Raspberry Pi Compute Module 4", "Raspberry Pi 4"}, nullptr, F::RaspberryPi4},
        {{"Raspberry Pi Compute Module 3", "Raspberry Pi 3"}, nullptr, F::RaspberryPi3},
        {{"Raspberry Pi"}, nullptr, F::RaspberryPiOther},
        {{"VIM1S"}, nullptr, F::KhadasVim1S},
        {{"VIM3L"}, nullptr, F::KhadasVim3L},
        {{"VIM1"}, nullptr, F::KhadasVim1},
        {{"VIM2"}, nullptr, F::KhadasVim2},
        {{"VIM3"}, nullptr, F::KhadasVim3},
        {{"VIM4"}, nullptr, F::KhadasVim4},
        {{"Khadas"}, "VIM", F::KhadasOther},
        {{"Tinker Board 3N Plus", "Tinker Board 3N+"}, nullptr, F::TinkerBoard3NPlus},
        {{"Tinker Board 3N Lite"}, nullptr, F::TinkerBoard3NLite},
        {{"Tinker Board 3N"}, nullptr, F::TinkerBoard3N},
        {{"Tinker Board 3S"}, nullptr, F::TinkerBoard3S},
        {{"Tinker Board 3"}, nullptr, F::TinkerBoard3},
        {{"Tinker Board S R2.0", "Tinker Board S R2"}, nullptr, F::TinkerBoardSR2},
        {{"Tinker Board R2.0", "Tinker Board R2"}, nullptr, F::TinkerBoardR2},
        {{"Tinker Board 2S"}, nullptr, F::TinkerBoard2S},
        {{"Tinker Board 2"}, nullptr, F::TinkerBoard2},
        {{"Tinker Board S"}, nullptr, F::TinkerBoardS},
        {{"Tinker Board"}, nullptr, F::TinkerBoard},
        {{"ASUS"}, "Tinker", F::TinkerOther},
        {{"ROCK 5 ITX Plus", "ROCK 5 ITX+"}, nullptr, F::Rock5ItxPlus},
        {{"ROCK 5 ITX"}, nullptr, F::Rock5Itx},
        {{"ROCK 5B Plus", "ROCK 5B+"}, nullptr, F::Rock5BPlus},
        {{"ROCK 5B"}, nullptr, F::Rock5B},
        {{"ROCK 5A"}, nullptr, F::Rock5A},
        {{"ROCK 5C"}, nullptr, F::Rock5C},
        {{"ROCK 5T"}, nullptr, F::Rock5T},
        {{"ROCK 4A Plus", "ROCK 4A+"}, nullptr, F::Rock4APlus},
        {{"ROCK 4B Plus", "ROCK 4B+"}, nullptr, F::Rock4BPlus},
        {{"ROCK 4C Plus", "ROCK 4C+"}, nullptr, F::Rock4CPlus},
        {{"ROCK 4SE", "ROCK 4 SE"}, nullptr, F::Rock4SE},
        {{"ROCK 4D"}, nullptr, F::Rock4D},
        {{"ROCK 4C"}, nullptr, F::Rock4C},
        {{"ROCK 4B"}, nullptr, F::Rock4B},
        {{"ROCK 4A"}, nullptr, F::Rock4A},
        {{"ROCK 3B Plus", "ROCK 3B+"}, nullptr, F::Rock3BPlus},
        {{"ROCK 3B"}, nullptr, F::Rock3B},
        {{"ROCK 3A"}, nullptr, F::Rock3A},
        {{"ROCK 3C"}, nullptr, F::Rock3C},
        {{"ROCK 2A"}, nullptr, F::Rock2A},
        {{"ROCK 2F"}, nullptr, F::Rock2F},
        {{"Radxa"}, "ROCK", F::RadxaOther},
    };
    return rows;
}

std::string stripModel(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
    while (!text.empty() &&
           (text.back() == ' ' || text.back() == '\t' || text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

}  // namespace

std::vector<std::string> DecoderEnvironment::boardModelPaths() {
    return {"/sys/firmware/devicetree/base/model", "/proc/device-tree/model"};
}

const AVCodec* DecoderEnvironment::findDecoderByName(const std::string& name) {
    return avcodec_find_decoder_by_name(name.c_str());
}

int DecoderEnvironment::openDecoder(AVCodecContext* context, const AVCodec* decoder) {
    return avcodec_open2(context, decoder, nullptr);
}

DecoderEnvironment& systemDecoderEnvironment() {
    static DecoderEnvironment environment;
    return environment;
}

bool containsIgnoreCase(const std::string& text, const std::string& part) {
    if (part.empty()) {
        return true;
    }
    auto lower = [](std::string value) {
        for (char& c : value) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        return value;
    };
    return lower(text).find(lower(part)) != std::string::npos;
}

std::string readBoardModel(const std::vector<std::string>& paths) {
    for (const std::string& path : paths) {
        std::ifstream file(path, std::ios::binary);
        if (!file.is_open()) {
            continue;
        }
        std::string model = stripModel(std::string(std::istreambuf_iterator<char>(file), {}));
        if (!model.empty()) {
            return model;
        }
    }
    return "Unknown";
}

std::string readBoardModel() { return readBoardModel(systemDecoderEnvironment().boardModelPaths()); }

BoardFamily boardFamilyOfModel(const std::string& model) {
    for (const ModelRow& row : modelRows()) {
        const bool anyMatches = std::any_of(row.any.begin(), row.any.end(),
                                            [&](const char* text) { return containsIgnoreCase(model, text); });
        if (anyMatches && (row.also == nullptr || containsIgnoreCase(model, row.also))) {
            return row.family;
        }
    }
    return BoardFamily::Unknown;
}

BoardFamily detectBoardFamily(const std::vector<std::string>& modelPaths) {
    return boardFamilyOfModel(readBoardModel(modelPaths));
}

BoardFamily detectBoardFamily() { return detectBoardFamily(systemDecoderEnvironment().boardModelPaths()); }

std::vector<std::string> hardwareDecoderCandidates(BoardFamily family, AVCodecID codecId) {
    const int value = static_cast<int>(family);
    if (value == 1) {
        switch (codecId) {
            case AV_CODEC_ID_H264: return {"h264_v4l2m2m"};
            case AV_CODEC_ID_HEVC: return {"hevc_v4l2request", "hevc_v4l2m2m"};
            default: return {};
        }
    }
    if (value == 2) {
        if (codecId == AV_CODEC_ID_HEVC) {
            return {"hevc_v4l2request", "hevc_v4l2m2m"};
        }
        return {};
    }
    if (value == 3 || value == 4) {
        switch (codecId) {
            case AV_CODEC_ID_MPEG1VIDEO: return {"mpeg1_v4l2m2m"};
            case AV_CODEC_ID_MPEG2VIDEO: return {"mpeg2_v4l2m2m"};
            case AV_CODEC_ID_H263: return {"h263_v4l2m2m"};
            case AV_CODEC_ID_MPEG4: return {"mpeg4_v4l2m2m"};
            case AV_CODEC_ID_H264: return {"h264_v4l2m2m"};
            case AV_CODEC_ID_VC1: return {"vc1_v4l2m2m"};
            default: return {};
        }
    }
    if (value >= 5 && value <= 11) {
        switch (codecId) {
            case AV_CODEC_ID_MPEG1VIDEO: return {"mpeg1_v4l2request", "mpeg1_v4l2m2m"};
            case AV_CODEC_ID_MPEG2VIDEO: return {"mpeg2_v4l2request", "mpeg2_v4l2m2m"};
            case AV_CODEC_ID_H263: return {"h263_v4l2m2m"};
            case AV_CODEC_ID_MPEG4: return {"mpeg4_v4l2m2m"};
            case AV_CODEC_ID_H264: return {"h264_v4l2request", "h264_v4l2m2m"};
            case AV_CODEC_ID_VP8: return {"vp8_v4l2request", "vp8_v4l2m2m"};
            case AV_CODEC_ID_VP9: return {"vp9_v4l2request", "vp9_v4l2m2m"};
            case AV_CODEC_ID_HEVC: return {"hevc_v4l2request", "hevc_v4l2m2m"};
            default: return {};
        }
    }
    if (value >= 12 && value <= 45) {
        switch (codecId) {
            case AV_CODEC_ID_H264: return {"h264_rkmpp"};
            case AV_CODEC_ID_VP8: return {"vp8_rkmpp"};
            case AV_CODEC_ID_VP9: return {"vp9_rkmpp"};
            case AV_CODEC_ID_HEVC: return {"hevc_rkmpp"};
            default: return {};
        }
    }
    switch (codecId) {
        case AV_CODEC_ID_H264: return {"h264_v4l2request", "h264_v4l2m2m", "h264_rkmpp"};
        case AV_CODEC_ID_VP8: return {"vp8_v4l2request", "vp8_v4l2m2m", "vp8_rkmpp"};
        case AV_CODEC_ID_VP9: return {"vp9_v4l2request", "vp9_v4l2m2m", "vp9_rkmpp"};
        case AV_CODEC_ID_HEVC: return {"hevc_v4l2request", "hevc_v4l2m2m", "hevc_rkmpp"};
        default: return {};
    }
}

std::vector<std::string> hardwareDecoderCandidates(const Codec& codec) {
    const AVCodecParameters* parameters = codec.codecParameters();
    if (parameters == nullptr || parameters->codec_type != AVMEDIA_TYPE_VIDEO) {
        return {};
    }
    return hardwareDecoderCandidates(codec.boardFamily(), parameters->codec_id);
}

AVPixelFormat selectHardwarePixelFormat(AVCodecContext*, const AVPixelFormat* offered) {
    if (offered == nullptr || offered[0] == AV_PIX_FMT_NONE) {
        return AV_PIX_FMT_NONE;
    }
    for (const AVPixelFormat* format = offered; *format != AV_PIX_FMT_NONE; ++format) {
        if (*format == AV_PIX_FMT_DRM_PRIME) {
            return AV_PIX_FMT_DRM_PRIME;
        }
    }
    return offered[0];
}

Codec::Codec(const AVCodecParameters* codecParameters, DecoderEnvironment& environment) {
    if (codecParameters == nullptr) {
        throw std::invalid_argument("Codec requires valid codec parameters");
    }
    parameters = codecParameters;
    family = detectBoardFamily(environment.boardModelPaths());

    if (parameters->codec_type != AVMEDIA_TYPE_VIDEO) {
        openSoftware(environment);
        if (showCodecInformation && parameters->codec_type == AVMEDIA_TYPE_AUDIO) {
            logText(std::cout, "[AUDIO] Decoder: " + name + " (software)");
        }
        return;
    }
    if (!openHardware(environment)) {
        openSoftware(environment);
    }
    if (showCodecInformation) {
        logText(std::cout, "[VIDEO] Decoder: " + name + (hardware ? " (hardware)" : " (software)"));
    }
}

CodecContextHandle Codec::createContext(const AVCodec* codec, bool hardwareStyle) {
    CodecContextHandle created(avcodec_alloc_context3(codec));
    if (!created) {
        throw std::runtime_error("Failed to allocate FFmpeg codec context");
    }
    const int copied = avcodec_parameters_to_context(created.get(), parameters);
    if (copied < 0) {
        throw std::runtime_error("Failed to copy codec parameters: " + ffmpegErrorText(copied));
    }
    if (hardwareStyle || parameters->codec_type != AVMEDIA_TYPE_VIDEO) {
        created->thread_count = 1;
        created->thread_type = 0;
    } else {
        created->thread_count = 0;
        created->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    }
    return created;
}

bool Codec::openContext(CodecContextHandle candidate, const AVCodec* codec, DecoderEnvironment& environment) {
    if (environment.openDecoder(candidate.get(), codec) < 0) {
        return false;
    }
    context = std::move(candidate);
    decoder = context->codec != nullptr ? context->codec : codec;
    return true;
}

bool Codec::openHardware(DecoderEnvironment& environment) {
    const AVCodecID codecId = parameters->codec_id;
    if (family == BoardFamily::RaspberryPi5 && (codecId == AV_CODEC_ID_H264 || codecId == AV_CODEC_ID_HEVC)) {
        const AVCodec* stock = avcodec_find_decoder(codecId);
        if (stock != nullptr) {
            CodecContextHandle candidate = createContext(stock, true);
            candidate->get_format = &selectHardwarePixelFormat;
            if (openContext(std::move(candidate), stock, environment)) {
                hardware = true;
                name = std::string(decoder->name != nullptr ? decoder->name : "unknown") + kDrmPrimeSuffix;
                return true;
            }
        }
    }
    for (const std::string& candidateName : hardwareDecoderCandidates(family, codecId)) {
        const AVCodec* found = environment.findDecoderByName(candidateName);
        if (found == nullptr) {
            continue;
        }
        if (openContext(createContext(found, true), found, environment)) {
            hardware = true;
            name = decoder->name != nullptr ? decoder->name : "unknown";
            return true;
        }
    }
    return false;
}

void Codec::openSoftware(DecoderEnvironment& environment) {
    const AVCodec* software = avcodec_find_decoder(parameters->codec_id);
    if (software == nullptr) {
        throw std::runtime_error("No decoder is available for codec ID " +
                                 std::to_string(static_cast<int>(parameters->codec_id)));
    }
    if (!openContext(createContext(software, false), software, environment)) {
        throw std::runtime_error(std::string("Failed to open software decoder ") +
                                 (software->name != nullptr ? software->name : "unknown"));
    }
    hardware = false;
    name = decoder->name != nullptr ? decoder->name : "unknown";
}

bool Codec::send(const AVPacket* packet) {
    if (!context) {
        throw std::runtime_error("Cannot send a packet without an open decoder");
    }
    const int result = avcodec_send_packet(context.get(), packet);
    if (result == 0) {
        return true;
    }
    if (result == AVERROR(EAGAIN)) {
        return false;
    }
    if (result == AVERROR_EOF) {
        throw std::runtime_error("Decoder " + name + " received a packet after end-of-stream");
    }
    throw std::runtime_error("Decoder " + name + " rejected a packet: " + ffmpegErrorText(result));
}

bool Codec::receive(AVFrame* frame) {
    if (!context) {
        throw std::runtime_error("Cannot receive a frame without an open decoder");
    }
    if (frame == nullptr) {
        throw std::invalid_argument("Codec::receive requires a valid AVFrame");
    }
    const int result = avcodec_receive_frame(context.get(), frame);
    if (result == 0) {
        return true;
    }
    if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) {
        return false;
    }
    throw std::runtime_error("Decoder " + name + " failed while receiving a frame: " + ffmpegErrorText(result));
}

int Codec::width() const {
    if (context && context->width > 0) {
        return context->width;
    }
    return parameters != nullptr ? parameters->width : 0;
}

int Codec::height() const {
    if (context && context->height > 0) {
        return context->height;
    }
    return parameters != nullptr ? parameters->height : 0;
}

AVPixelFormat Codec::pixelFormat() const {
    if (!context) {
        return AV_PIX_FMT_NONE;
    }
    if (context->pix_fmt != AV_PIX_FMT_NONE) {
        return context->pix_fmt;
    }
    if (context->sw_pix_fmt != AV_PIX_FMT_NONE) {
        return context->sw_pix_fmt;
    }
    return std::max(AV_PIX_FMT_NONE, static_cast<AVPixelFormat>(parameters->format));
}

}  // namespace lumetta
