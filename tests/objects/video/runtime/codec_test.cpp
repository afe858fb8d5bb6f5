#include "objects/video/runtime/codec.h"

#include <gtest/gtest.h>

#include <map>

#include "core/process_state.h"
#include "media_clips.h"
#include "objects/video/runtime/demultiplex.h"
#include "support/temp_dir.h"

namespace lumetta {
namespace {

using testing::TempDir;

TEST(BoardFamily, EveryModelRowInOrderAndIgnoringCase) {
    const std::vector<std::pair<std::string, int>> cases = {
        {"Raspberry Pi 5 Model B Rev 1.0", 1},
        {"Raspberry Pi Compute Module 5 Rev 1.0", 1},
        {"raspberry pi 5 model b rev 1.0", 1},
        {"Raspberry Pi 4 Model B Rev 1.4", 2},
        {"Raspberry Pi Compute Module 4 Rev 1.0", 2},
        {"Raspberry Pi 3 Model B Plus Rev 1.3", 3},
        {"Raspberry Pi Compute Module 3 Plus Rev 1.0", 3},
        {"Raspberry Pi Zero 2 W Rev 1.0", 4},
        {"Khadas VIM1S", 6},
        {"Khadas VIM3L", 9},
        {"Khadas VIM1", 5},
        {"Khadas VIM2", 7},
        {"Khadas VIM3", 8},
        {"Khadas VIM4", 10},
        {"khadas vim", 11},
        {"Khadas Edge2", 0},
        {"ASUS Tinker Board 3N Plus", 22},
        {"Tinker Board 3N+", 22},
        {"Tinker Board 3N Lite", 21},
        {"Tinker Board 3N", 20},
        {"Tinker Board 3S", 19},
        {"Tinker Board 3", 18},
        {"Rockchip RK3288 Asus Tinker Board S R2.0", 15},
        {"Tinker Board S R2", 15},
        {"Tinker Board R2.0", 14},
        {"Tinker Board R2", 14},
        {"Tinker Board 2S", 17},
        {"Tinker Board 2", 16},
        {"Tinker Board S", 13},
        {"Rockchip RK3288 Asus Tinker Board", 12},
        {"ASUS Tinker Edge R", 23},
        {"Radxa ROCK 5 ITX Plus", 44},
        {"Radxa ROCK 5 ITX+", 44},
        {"Radxa ROCK 5 ITX", 43},
        {"Radxa ROCK 5B Plus", 40},
        {"Radxa ROCK 5B+", 40},
        {"Radxa ROCK 5B", 39},
        {"Radxa ROCK 5A", 38},
        {"Radxa ROCK 5C", 41},
        {"Radxa ROCK 5T", 42},
        {"Radxa ROCK 4A Plus", 31},
        {"Radxa ROCK 4A+", 31},
        {"Radxa ROCK 4B Plus", 33},
        {"Radxa ROCK 4B+", 33},
        {"Radxa ROCK 4C Plus", 35},
        {"Radxa ROCK 4C+", 35},
        {"Radxa ROCK 4SE", 36},
        {"Radxa ROCK 4 SE", 36},
        {"Radxa ROCK 4D", 37},
        {"Radxa ROCK 4C", 34},
        {"Radxa ROCK 4B", 32},
        {"Radxa ROCK 4A", 30},
        {"Radxa ROCK 3B Plus", 28},
        {"Radxa ROCK 3B+", 28},
        {"Radxa ROCK 3B", 27},
        {"Radxa ROCK 3A", 26},
        {"Radxa ROCK 3C", 29},
        {"Radxa ROCK 2A", 24},
        {"Radxa ROCK 2F", 25},
        {"Radxa ROCK Pi 4B", 45},
        {"ROCK Pi 4B", 0},
        {"Unknown", 0},
        {"", 0},
    };
    for (const auto& [model, family] : cases) {
        EXPECT_EQ(static_cast<int>(boardFamilyOfModel(model)), family) << model;
    }
}

TEST(BoardFamily, ContainsIgnoreCase) {
    EXPECT_TRUE(containsIgnoreCase("anything", ""));
    EXPECT_TRUE(containsIgnoreCase("", ""));
    EXPECT_TRUE(containsIgnoreCase("Radxa ROCK 5B", "rock 5b"));
    EXPECT_FALSE(containsIgnoreCase("ROCK", "ROCK 5"));
    EXPECT_FALSE(containsIgnoreCase("", "x"));
}

TEST(BoardFamily, ModelIsReadFromTheFirstUsableFile) {
    TempDir dir;
    using namespace std::string_literals;
    const auto write = [&](const std::string& name, const std::string& content) {
        return testing::writeTestFile(dir / name, content).string();
    };
    const std::string pi4 = write("pi4", "Raspberry Pi 4 Model B Rev 1.4\0"s);
    const std::string khadas = write("khadas", "Kha\0das VIM3L \t\r\n\0\0"s);
    const std::string blank = write("blank", "\0 \t\n\0\r\n"s);
    const std::string indented = write("indented", "  ROCK 5B\n"s);
    const std::string missing = (dir / "missing").string();

    EXPECT_EQ(readBoardModel({pi4, khadas}), "Raspberry Pi 4 Model B Rev 1.4");
    EXPECT_EQ(readBoardModel({khadas}), "Khadas VIM3L");
    EXPECT_EQ(readBoardModel({missing, khadas}), "Khadas VIM3L");
    EXPECT_EQ(readBoardModel({blank, pi4}), "Raspberry Pi 4 Model B Rev 1.4");
    EXPECT_EQ(readBoardModel({indented}), "  ROCK 5B");
    EXPECT_EQ(readBoardModel({missing, blank}), "Unknown");
    EXPECT_EQ(readBoardModel(std::vector<std::string>{}), "Unknown");
    EXPECT_EQ(detectBoardFamily({missing, khadas}), BoardFamily::KhadasVim3L);
    EXPECT_EQ(detectBoardFamily({missing, blank}), BoardFamily::Unknown);
}

// The decoder table, written out per family range and codec.
TEST(HardwareDecoders, CandidatesForEveryFamilyAndCodec) {
    using Names = std::vector<std::string>;
    const std::vector<AVCodecID> codecs = {AV_CODEC_ID_MPEG1VIDEO, AV_CODEC_ID_MPEG2VIDEO, AV_CODEC_ID_H263,
                                           AV_CODEC_ID_MPEG4,      AV_CODEC_ID_H264,       AV_CODEC_ID_VC1,
                                           AV_CODEC_ID_VP8,        AV_CODEC_ID_VP9,        AV_CODEC_ID_HEVC,
                                           AV_CODEC_ID_AV1,        AV_CODEC_ID_AAC};
    // Columns in the order of `codecs`.
    const std::vector<Names> pi5 = {{}, {}, {}, {}, {"h264_v4l2m2m"}, {}, {}, {}, {"hevc_v4l2request", "hevc_v4l2m2m"}, {}, {}};
    const std::vector<Names> pi4 = {{}, {}, {}, {}, {}, {}, {}, {}, {"hevc_v4l2request", "hevc_v4l2m2m"}, {}, {}};
    const std::vector<Names> pi3 = {{"mpeg1_v4l2m2m"}, {"mpeg2_v4l2m2m"}, {"h263_v4l2m2m"}, {"mpeg4_v4l2m2m"},
                                    {"h264_v4l2m2m"},  {"vc1_v4l2m2m"},   {}, {}, {}, {}, {}};
    const std::vector<Names> khadas = {{"mpeg1_v4l2request", "mpeg1_v4l2m2m"},
                                       {"mpeg2_v4l2request", "mpeg2_v4l2m2m"},
                                       {"h263_v4l2m2m"},
                                       {"mpeg4_v4l2m2m"},
                                       {"h264_v4l2request", "h264_v4l2m2m"},
                                       {},
                                       {"vp8_v4l2request", "vp8_v4l2m2m"},
                                       {"vp9_v4l2request", "vp9_v4l2m2m"},
                                       {"hevc_v4l2request", "hevc_v4l2m2m"},
                                       {},
                                       {}};
    const std::vector<Names> rockchip = {{}, {}, {}, {}, {"h264_rkmpp"}, {}, {"vp8_rkmpp"}, {"vp9_rkmpp"}, {"hevc_rkmpp"}, {}, {}};
    const std::vector<Names> unknown = {{},
                                        {},
                                        {},
                                        {},
                                        {"h264_v4l2request", "h264_v4l2m2m", "h264_rkmpp"},
                                        {},
                                        {"vp8_v4l2request", "vp8_v4l2m2m", "vp8_rkmpp"},
                                        {"vp9_v4l2request", "vp9_v4l2m2m", "vp9_rkmpp"},
                                        {"hevc_v4l2request", "hevc_v4l2m2m", "hevc_rkmpp"},
                                        {},
                                        {}};
    const auto expectedFor = [&](int family) -> const std::vector<Names>& {
        if (family == 1) return pi5;
        if (family == 2) return pi4;
        if (family == 3 || family == 4) return pi3;
        if (family >= 5 && family <= 11) return khadas;
        if (family >= 12 && family <= 45) return rockchip;
        return unknown;
    };
    for (int family = -1; family <= 47; ++family) {
        for (size_t column = 0; column < codecs.size(); ++column) {
            EXPECT_EQ(hardwareDecoderCandidates(static_cast<BoardFamily>(family), codecs[column]),
                      expectedFor(family)[column])
                << "family " << family << ", codec " << avcodec_get_name(codecs[column]);
        }
    }
}

TEST(HardwareDecoders, PixelFormatChoiceForTheDrmPrimePath) {
    const AVPixelFormat withPrime[] = {AV_PIX_FMT_NV12, AV_PIX_FMT_DRM_PRIME, AV_PIX_FMT_NONE};
    const AVPixelFormat withoutPrime[] = {AV_PIX_FMT_YUV420P, AV_PIX_FMT_NV12, AV_PIX_FMT_NONE};
    const AVPixelFormat empty[] = {AV_PIX_FMT_NONE};
    EXPECT_EQ(selectHardwarePixelFormat(nullptr, withPrime), AV_PIX_FMT_DRM_PRIME);
    EXPECT_EQ(selectHardwarePixelFormat(nullptr, withoutPrime), AV_PIX_FMT_YUV420P);
    EXPECT_EQ(selectHardwarePixelFormat(nullptr, empty), AV_PIX_FMT_NONE);
    EXPECT_EQ(selectHardwarePixelFormat(nullptr, nullptr), AV_PIX_FMT_NONE);
}

// A board of our choosing and decoders that record each trial. Lookups go to FFmpeg; opens of
// hardware-style contexts fail unless `hardwareOpens` says otherwise, and a success there is
// only pretended (the context stays unopened), since no such device exists here.
struct RecordingBoard final : DecoderEnvironment {
    explicit RecordingBoard(const std::string& model)
        : modelPath(testing::writeTestFile(dir / "model", model + std::string(1, '\0')).string()) {}

    std::vector<std::string> boardModelPaths() override { return {modelPath}; }
    const AVCodec* findDecoderByName(const std::string& name) override {
        trials.push_back("find " + name);
        return avcodec_find_decoder_by_name(name.c_str());
    }
    int openDecoder(AVCodecContext* context, const AVCodec* decoder) override {
        const bool hardwareStyle = context->thread_count == 1 && context->codec_type == AVMEDIA_TYPE_VIDEO;
        std::string trial = std::string("open ") + decoder->name + (hardwareStyle ? " hw" : " sw");
        if (context->get_format == &selectHardwarePixelFormat) {
            trial += " drm";
        }
        trials.push_back(trial);
        const size_t opens = ++hardwareAttempts;
        if (!hardwareStyle) {
            return softwareOpens ? avcodec_open2(context, decoder, nullptr) : AVERROR(EINVAL);
        }
        return opens == hardwareOpensAt ? 0 : AVERROR(ENODEV);
    }

    TempDir dir;
    std::string modelPath;
    std::vector<std::string> trials;
    size_t hardwareAttempts = 0;
    size_t hardwareOpensAt = 0;  // 1-based attempt that succeeds; 0: none
    bool softwareOpens = true;
};

// A board whose model is read from the given files.
struct BoardAt final : DecoderEnvironment {
    explicit BoardAt(std::vector<std::string> paths) : paths(std::move(paths)) {}
    std::vector<std::string> boardModelPaths() override { return paths; }
    std::vector<std::string> paths;
};

struct ClipStreams {
    TempDir dir;
    std::unique_ptr<Demultiplexer> demultiplexer;
};

std::unique_ptr<ClipStreams> openClip(const std::string& name, const std::vector<std::string>& arguments) {
    auto clip = std::make_unique<ClipStreams>();
    const auto path = testing::makeClip(clip->dir / name, arguments);
    clip->demultiplexer = std::make_unique<Demultiplexer>(path.string(), nullptr);
    return clip;
}

std::vector<std::string> h264Clip() {
    return {"-f", "lavfi", "-i", "testsrc2=size=96x64:rate=25", "-frames:v", "8", "-c:v", "libx264", "-preset",
            "ultrafast", "-pix_fmt", "yuv420p"};
}

TEST(Codec, TrialOrderFollowsTheBoardAndFallsBackToSoftware) {
    auto h264 = openClip("h264.mp4", h264Clip());
    auto hevc = openClip("hevc.mkv", {"-f", "lavfi", "-i", "testsrc2=size=96x64:rate=25", "-frames:v", "4", "-c:v",
                                      "libx265", "-preset", "ultrafast", "-x265-params", "log-level=error"});
    struct Case {
        const char* model;
        const AVCodecParameters* parameters;
        size_t hardwareOpensAt;
        std::vector<std::string> trials;
        std::string name;
        bool hardware;
    };
    const AVCodecParameters* avc = h264->demultiplexer->videoCodecParameters();
    const AVCodecParameters* hvc = hevc->demultiplexer->videoCodecParameters();
    const std::vector<Case> cases = {
        {"Raspberry Pi 5 Model B Rev 1.0", avc, 0,
         {"open h264 hw drm", "find h264_v4l2m2m", "open h264_v4l2m2m hw", "open h264 sw"}, "h264", false},
        {"Raspberry Pi 5 Model B Rev 1.0", avc, 1, {"open h264 hw drm"}, "h264+v4l2request/drm_prime", true},
        {"Raspberry Pi 5 Model B Rev 1.0", avc, 2,
         {"open h264 hw drm", "find h264_v4l2m2m", "open h264_v4l2m2m hw"}, "h264_v4l2m2m", true},
        {"Raspberry Pi 5 Model B Rev 1.0", hvc, 0,
         {"open hevc hw drm", "find hevc_v4l2request", "find hevc_v4l2m2m", "open hevc_v4l2m2m hw", "open hevc sw"},
         "hevc", false},
        {"Raspberry Pi 4 Model B Rev 1.4", avc, 0, {"open h264 sw"}, "h264", false},
        {"Raspberry Pi 4 Model B Rev 1.4", hvc, 0,
         {"find hevc_v4l2request", "find hevc_v4l2m2m", "open hevc_v4l2m2m hw", "open hevc sw"}, "hevc", false},
        {"Radxa ROCK 5B", avc, 0, {"find h264_rkmpp", "open h264 sw"}, "h264", false},
        {"Unknown", avc, 0,
         {"find h264_v4l2request", "find h264_v4l2m2m", "open h264_v4l2m2m hw", "find h264_rkmpp", "open h264 sw"},
         "h264", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.model) + " / " + avcodec_get_name(c.parameters->codec_id) + " / opens at " +
                     std::to_string(c.hardwareOpensAt));
        RecordingBoard board(c.model);
        board.hardwareOpensAt = c.hardwareOpensAt;
        Codec codec(c.parameters, board);
        EXPECT_EQ(board.trials, c.trials);
        EXPECT_EQ(codec.decoderName(), c.name);
        EXPECT_EQ(codec.isHardware(), c.hardware);
    }
}

TEST(Codec, ReportLineOnlyWhenCodecInformationIsAsked) {
    auto clip = openClip("surround.mkv", {"-f", "lavfi", "-i", "testsrc2=size=96x64:rate=25", "-f", "lavfi", "-i",
                                          "sine=sample_rate=44100", "-t", "0.2", "-c:v", "libx264", "-preset",
                                          "ultrafast", "-pix_fmt", "yuv420p", "-c:a", "aac"});
    const AVCodecParameters* video = clip->demultiplexer->videoCodecParameters();
    const AVCodecParameters* audio = clip->demultiplexer->audioCodecParameters();
    ASSERT_NE(audio, nullptr);

    struct Case {
        bool show;
        const AVCodecParameters* parameters;
        size_t hardwareOpensAt;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {false, video, 1, ""},
        {true, video, 1, "[VIDEO] Decoder: h264+v4l2request/drm_prime (hardware)\n"},
        {true, video, 0, "[VIDEO] Decoder: h264 (software)\n"},
        {true, audio, 0, "[AUDIO] Decoder: aac (software)\n"},
    };
    for (const Case& c : cases) {
        RecordingBoard board("Raspberry Pi 5 Model B Rev 1.0");
        board.hardwareOpensAt = c.hardwareOpensAt;
        showCodecInformation = c.show;
        ::testing::internal::CaptureStdout();
        {
            Codec codec(c.parameters, board);
        }
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.expected);
        if (c.parameters == audio) {
            EXPECT_EQ(board.trials, std::vector<std::string>{"open aac sw"}) << "audio never tries hardware";
        }
    }
    showCodecInformation = false;
}

int decodeAll(Codec& codec, Demultiplexer& demultiplexer, AVFrame* frame, std::vector<AVPixelFormat>* formats) {
    int frames = 0;
    const auto receiveAll = [&] {
        while (codec.receive(frame)) {
            ++frames;
            if (formats != nullptr) {
                formats->push_back(static_cast<AVPixelFormat>(frame->format));
            }
            av_frame_unref(frame);
        }
    };
    AVPacket* packet = av_packet_alloc();
    while (demultiplexer.readPacket(packet)) {
        if (packet->stream_index != demultiplexer.videoStreamIndex()) {
            continue;
        }
        while (!codec.send(packet)) {
            receiveAll();
        }
        receiveAll();
    }
    while (!codec.send(nullptr)) {
        receiveAll();
    }
    receiveAll();
    av_packet_free(&packet);
    return frames;
}

TEST(Codec, H264ClipDecodesInSoftwareOnARaspberryPi4) {
    TempDir dir;
    const auto clip = testing::makeVideoClip(dir / "pi4.mp4", 128, 72, 30);
    Demultiplexer demultiplexer(clip.string(), nullptr);
    BoardAt pi4({(dir / "absent").string(),
                 testing::writeTestFile(dir / "model", "Raspberry Pi 4 Model B Rev 1.4").string()});

    Codec codec(demultiplexer.videoCodecParameters(), pi4);
    EXPECT_EQ(codec.boardFamily(), BoardFamily::RaspberryPi4);
    EXPECT_FALSE(codec.isHardware());
    EXPECT_EQ(codec.decoderName(), "h264");
    EXPECT_EQ(codec.width(), 128);
    EXPECT_EQ(codec.height(), 72);
    EXPECT_EQ(codec.pixelFormat(), AV_PIX_FMT_YUV420P);
    EXPECT_EQ(codec.codecContext()->thread_type, FF_THREAD_FRAME | FF_THREAD_SLICE);

    AVFrame* frame = av_frame_alloc();
    std::vector<AVPixelFormat> formats;
    EXPECT_EQ(decodeAll(codec, demultiplexer, frame, &formats), 30);
    EXPECT_EQ(formats, std::vector<AVPixelFormat>(30, AV_PIX_FMT_YUV420P));
    EXPECT_FALSE(codec.receive(frame)) << "a drained decoder has nothing more";

    try {
        codec.send(nullptr);
        FAIL() << "draining twice was accepted";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Decoder h264 received a packet after end-of-stream");
    }
    EXPECT_THROW(codec.receive(nullptr), std::invalid_argument);
    av_frame_free(&frame);
}

TEST(Codec, ConstructionFailuresHaveClearMessages) {
    try {
        Codec codec(nullptr);
        FAIL();
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "Codec requires valid codec parameters");
    }

    RecordingBoard board("Raspberry Pi 4 Model B Rev 1.4");
    AVCodecParameters* parameters = avcodec_parameters_alloc();
    parameters->codec_type = AVMEDIA_TYPE_VIDEO;
    parameters->codec_id = AV_CODEC_ID_NONE;
    try {
        Codec codec(parameters, board);
        FAIL();
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "No decoder is available for codec ID 0");
    }

    parameters->codec_id = AV_CODEC_ID_H264;
    board.softwareOpens = false;
    try {
        Codec codec(parameters, board);
        FAIL();
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Failed to open software decoder h264");
    }
    avcodec_parameters_free(&parameters);
}

TEST(Codec, DecoderFailuresNameTheDecoderAndFfmpegsReason) {
    TempDir dir;
    const auto clip = testing::makeVideoClip(dir / "a.mp4", 64, 48, 2);
    Demultiplexer demultiplexer(clip.string(), nullptr);
    // The second hardware trial "opens" without FFmpeg opening anything, so FFmpeg refuses
    // every packet and frame of it with EINVAL.
    RecordingBoard board("Raspberry Pi 5 Model B Rev 1.0");
    board.hardwareOpensAt = 2;
    Codec codec(demultiplexer.videoCodecParameters(), board);
    ASSERT_EQ(codec.decoderName(), "h264_v4l2m2m");

    AVPacket* packet = av_packet_alloc();
    ASSERT_TRUE(demultiplexer.readPacket(packet));
    AVFrame* frame = av_frame_alloc();
    try {
        codec.send(packet);
        FAIL() << "the packet was accepted";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Decoder h264_v4l2m2m rejected a packet: Invalid argument");
    }
    try {
        codec.receive(frame);
        FAIL() << "a frame came out";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Decoder h264_v4l2m2m failed while receiving a frame: Invalid argument");
    }
    av_packet_free(&packet);
    av_frame_free(&frame);
}

}  // namespace
}  // namespace lumetta
