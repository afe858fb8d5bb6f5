#pragma once
// One FFmpeg decoder for one stream: the board's hardware decoders first for video, the
// software decoder otherwise.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "objects/video/runtime/ffmpeg_handles.h"

namespace lumetta {

// Board families as classified from the device-tree model text; 0 matches no known board.
enum class BoardFamily : int32_t {
    Unknown = 0,
    RaspberryPi5 = 1,
    RaspberryPi4 = 2,
    RaspberryPi3 = 3,
    RaspberryPiOther = 4,
    KhadasVim1 = 5,
    KhadasVim1S = 6,
    KhadasVim2 = 7,
    KhadasVim3 = 8,
    KhadasVim3L = 9,
    KhadasVim4 = 10,
    KhadasOther = 11,
    TinkerBoard = 12,
    TinkerBoardS = 13,
    TinkerBoardR2 = 14,
    TinkerBoardSR2 = 15,
    TinkerBoard2 = 16,
    TinkerBoard2S = 17,
    TinkerBoard3 = 18,
    TinkerBoard3S = 19,
    TinkerBoard3N = 20,
    TinkerBoard3NLite = 21,
    TinkerBoard3NPlus = 22,
    TinkerOther = 23,
    Rock2A = 24,
    Rock2F = 25,
    Rock3A = 26,
    Rock3B = 27,
    Rock3BPlus = 28,
    Rock3C = 29,
    Rock4A = 30,
    Rock4APlus = 31,
    Rock4B = 32,
    Rock4BPlus = 33,
    Rock4C = 34,
    Rock4CPlus = 35,
    Rock4SE = 36,
    Rock4D = 37,
    Rock5A = 38,
    Rock5B = 39,
    Rock5BPlus = 40,
    Rock5C = 41,
    Rock5T = 42,
    Rock5Itx = 43,
    Rock5ItxPlus = 44,
    RadxaOther = 45,
};

// Where the board model is read from and how decoders are found and opened. The real one
// (`systemDecoderEnvironment()`) reads the device tree and asks FFmpeg; tests derive from it to
// fake a board or a decoder.
class DecoderEnvironment {
public:
    virtual ~DecoderEnvironment() = default;
    // Files holding the board model text, the first readable one counts.
    virtual std::vector<std::string> boardModelPaths();
    // Looks a decoder up by name (avcodec_find_decoder_by_name).
    virtual const AVCodec* findDecoderByName(const std::string& name);
    // Opens a prepared context (avcodec_open2 without options).
    virtual int openDecoder(AVCodecContext* context, const AVCodec* decoder);
};

DecoderEnvironment& systemDecoderEnvironment();

class Codec {
public:
    explicit Codec(const AVCodecParameters* parameters, DecoderEnvironment& environment = systemDecoderEnvironment());
    Codec(const Codec&) = delete;
    Codec& operator=(const Codec&) = delete;

    // True when the decoder took the packet (null asks it to drain); false when frames must
    // be received first.
    bool send(const AVPacket* packet);
    // True with a frame; false when none is ready now or the decoder is drained.
    bool receive(AVFrame* frame);

    int width() const;
    int height() const;
    AVPixelFormat pixelFormat() const;

    const AVCodecParameters* codecParameters() const { return parameters; }
    const AVCodecContext* codecContext() const { return context.get(); }
    bool isHardware() const { return hardware; }
    const std::string& decoderName() const { return name; }
    BoardFamily boardFamily() const { return family; }

private:
    bool openHardware(DecoderEnvironment& environment);
    void openSoftware(DecoderEnvironment& environment);
    CodecContextHandle createContext(const AVCodec* codec, bool hardwareStyle);
    // Keeps the candidate as the codec's context when it opens.
    bool openContext(CodecContextHandle candidate, const AVCodec* codec, DecoderEnvironment& environment);

    const AVCodecParameters* parameters = nullptr;
    const AVCodec* decoder = nullptr;
    CodecContextHandle context;
    bool hardware = false;
    std::string name;
    BoardFamily family = BoardFamily::Unknown;
};

// The board's model text from the device tree, or "Unknown".
std::string readBoardModel();
std::string readBoardModel(const std::vector<std::string>& paths);

BoardFamily detectBoardFamily();
BoardFamily detectBoardFamily(const std::vector<std::string>& modelPaths);
BoardFamily boardFamilyOfModel(const std::string& model);

// True when `part` is empty or occurs in `text`, ignoring case byte by byte.
bool containsIgnoreCase(const std::string& text, const std::string& part);

// Hardware decoder names to try, in order, for the codec's board family and stream.
std::vector<std::string> hardwareDecoderCandidates(const Codec& codec);
std::vector<std::string> hardwareDecoderCandidates(BoardFamily family, AVCodecID codecId);

// get_format callback of the DRM PRIME path: DRM PRIME when offered, else the first format.
AVPixelFormat selectHardwarePixelFormat(AVCodecContext* context, const AVPixelFormat* offered);

}  // namespace lumetta
