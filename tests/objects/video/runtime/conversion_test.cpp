#include "objects/video/runtime/conversion.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>

extern "C" {
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include "media_clips.h"
#include "objects/video/runtime/codec.h"
#include "objects/video/runtime/demultiplex.h"
#include "support/temp_dir.h"

namespace lumetta {
namespace {

using testing::FramePtr;
using testing::failureOf;

FramePtr makeFrame(int width, int height, AVPixelFormat format) {
    FramePtr frame(av_frame_alloc());
    frame->width = width;
    frame->height = height;
    frame->format = format;
    EXPECT_EQ(av_frame_get_buffer(frame.get(), 0), 0);
    return frame;
}

// YUV420P with a luma ramp and flat chroma.
FramePtr makeRampFrame(int width, int height, uint8_t u, uint8_t v) {
    FramePtr frame = makeFrame(width, height, AV_PIX_FMT_YUV420P);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            frame->data[0][y * frame->linesize[0] + x] = static_cast<uint8_t>((x * 7 + y * 3) % 220 + 16);
        }
    }
    for (int y = 0; y < (height + 1) / 2; ++y) {
        for (int x = 0; x < (width + 1) / 2; ++x) {
            frame->data[1][y * frame->linesize[1] + x] = u;
            frame->data[2][y * frame->linesize[2] + x] = v;
        }
    }
    return frame;
}


TEST(Conversion, ConstructionRefusesImpossibleOutputs) {
    EXPECT_EQ(failureOf([] { Conversion(1920, 0, AV_PIX_FMT_NV12, SWS_FAST_BILINEAR); }),
              "Conversion: output dimensions exceed FFmpeg limits");
    EXPECT_EQ(failureOf([] { Conversion(-4, 10, AV_PIX_FMT_NV12, SWS_FAST_BILINEAR); }),
              "Conversion: output dimensions exceed FFmpeg limits");
    EXPECT_EQ(failureOf([] { Conversion(16, 16, AV_PIX_FMT_NONE, SWS_FAST_BILINEAR); }),
              "Conversion: invalid output pixel format");
    EXPECT_EQ(failureOf([] { Conversion(16, 16, static_cast<AVPixelFormat>(100000), SWS_FAST_BILINEAR); }),
              "Conversion: invalid output pixel format");
}

// Same size: every luma sample comes through unchanged and chroma is interleaved U, V.
TEST(Conversion, Yuv420pToNv12ReusesTheScalerAndKeepsEverySample) {
    for (const auto& [width, height] : std::vector<std::pair<int, int>>{{1920, 1080}, {321, 241}}) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        Conversion conversion(width, height, AV_PIX_FMT_NV12, SWS_FAST_BILINEAR);
        EXPECT_EQ(conversion.scalerContext(), nullptr);
        FramePtr source = makeRampFrame(width, height, 90, 200);
        FramePtr destination = makeFrame(width, height, AV_PIX_FMT_NV12);

        conversion.convert(source.get(), destination.get());
        const SwsContext* first = conversion.scalerContext();
        ASSERT_NE(first, nullptr);
        conversion.convert(source.get(), destination.get());
        EXPECT_EQ(conversion.scalerContext(), first) << "the second frame built a new scaler";

        int lumaMismatches = 0;
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                lumaMismatches += destination->data[0][y * destination->linesize[0] + x] !=
                                  source->data[0][y * source->linesize[0] + x];
            }
        }
        EXPECT_EQ(lumaMismatches, 0);
        int chromaMismatches = 0;
        for (int y = 0; y < (height + 1) / 2; ++y) {
            const uint8_t* row = destination->data[1] + y * destination->linesize[1];
            for (int x = 0; x < (width + 1) / 2; ++x) {
                chromaMismatches += row[2 * x] != 90 || row[2 * x + 1] != 200;
            }
        }
        EXPECT_EQ(chromaMismatches, 0);
    }
}

TEST(Conversion, Nv12OfTheOutputSizeIsCopiedWithoutAScaler) {
    Conversion conversion(64, 36, AV_PIX_FMT_NV12, SWS_FAST_BILINEAR);
    FramePtr source = makeFrame(64, 36, AV_PIX_FMT_NV12);
    for (int i = 0; i < 36 * source->linesize[0]; ++i) source->data[0][i] = static_cast<uint8_t>(i * 13);
    for (int i = 0; i < 18 * source->linesize[1]; ++i) source->data[1][i] = static_cast<uint8_t>(i * 5 + 1);
    FramePtr destination = makeFrame(64, 36, AV_PIX_FMT_NV12);

    conversion.convert(source.get(), destination.get());
    EXPECT_EQ(conversion.scalerContext(), nullptr);
    for (int y = 0; y < 36; ++y) {
        ASSERT_EQ(std::memcmp(destination->data[0] + y * destination->linesize[0],
                              source->data[0] + y * source->linesize[0], 64), 0);
    }
    for (int y = 0; y < 18; ++y) {
        ASSERT_EQ(std::memcmp(destination->data[1] + y * destination->linesize[1],
                              source->data[1] + y * source->linesize[1], 64), 0);
    }
}

// As wide as the output but half as tall: scaled, never copied row for row (a copy would put
// the lower half's rows in the upper half and read past the source for the rest).
TEST(Conversion, Nv12OfTheOutputWidthButAnotherHeightIsScaled) {
    Conversion conversion(16, 16, AV_PIX_FMT_NV12, SWS_FAST_BILINEAR);
    FramePtr source = makeFrame(16, 8, AV_PIX_FMT_NV12);
    for (int y = 0; y < 8; ++y) std::memset(source->data[0] + y * source->linesize[0], y < 4 ? 50 : 200, 16);
    for (int y = 0; y < 4; ++y) std::memset(source->data[1] + y * source->linesize[1], 128, 16);
    FramePtr destination = makeFrame(16, 16, AV_PIX_FMT_NV12);

    conversion.convert(source.get(), destination.get());
    for (const auto& [row, luma] : std::vector<std::pair<int, int>>{{0, 50}, {5, 50}, {10, 200}, {15, 200}}) {
        EXPECT_NEAR(destination->data[0][row * destination->linesize[0] + 8], luma, 12) << "row " << row;
    }
}

// A stream that changes resolution is scaled to the fixed output size.
TEST(Conversion, OtherSourceSizesAreScaledToTheOutput) {
    Conversion conversion(1920, 1080, AV_PIX_FMT_NV12, SWS_FAST_BILINEAR);
    FramePtr source = makeFrame(1280, 720, AV_PIX_FMT_YUV420P);
    std::memset(source->data[0], 150, static_cast<size_t>(source->linesize[0]) * 720);
    std::memset(source->data[1], 60, static_cast<size_t>(source->linesize[1]) * 360);
    std::memset(source->data[2], 190, static_cast<size_t>(source->linesize[2]) * 360);
    FramePtr destination = makeFrame(1920, 1080, AV_PIX_FMT_NV12);

    conversion.convert(source.get(), destination.get());
    for (const auto& [x, y] : std::vector<std::pair<int, int>>{{0, 0}, {1919, 1079}, {960, 540}, {5, 1070}}) {
        EXPECT_NEAR(destination->data[0][y * destination->linesize[0] + x], 150, 2) << x << "," << y;
        const uint8_t* uv = destination->data[1] + (y / 2) * destination->linesize[1] + (x / 2) * 2;
        EXPECT_NEAR(uv[0], 60, 2);
        EXPECT_NEAR(uv[1], 190, 2);
    }

    // Back at the output size the scaler follows the new geometry: samples come through exactly.
    FramePtr full = makeRampFrame(1920, 1080, 128, 128);
    conversion.convert(full.get(), destination.get());
    for (const auto& [x, y] : std::vector<std::pair<int, int>>{{0, 0}, {1919, 1079}, {1001, 333}}) {
        EXPECT_EQ(destination->data[0][y * destination->linesize[0] + x], full->data[0][y * full->linesize[0] + x]);
    }
}

TEST(Conversion, RefusesFramesItCannotFillBeforeWritingAnything) {
    Conversion conversion(32, 32, AV_PIX_FMT_NV12, SWS_FAST_BILINEAR);
    FramePtr good = makeRampFrame(32, 32, 128, 128);
    FramePtr destination = makeFrame(32, 32, AV_PIX_FMT_NV12);
    FramePtr wrongSize = makeFrame(32, 30, AV_PIX_FMT_NV12);
    FramePtr wrongFormat = makeFrame(32, 32, AV_PIX_FMT_YUV420P);
    FramePtr noSize = makeRampFrame(32, 32, 128, 128);
    noSize->width = 0;
    FramePtr badFormat = makeRampFrame(32, 32, 128, 128);
    badFormat->format = AV_PIX_FMT_NONE;
    FramePtr noBuffer(av_frame_alloc());
    noBuffer->width = 32;
    noBuffer->height = 32;
    noBuffer->format = AV_PIX_FMT_YUV420P;

    std::memset(wrongSize->data[0], 7, static_cast<size_t>(wrongSize->linesize[0]) * 30);
    struct Case {
        const AVFrame* source;
        AVFrame* destination;
        std::string message;
    };
    const std::vector<Case> cases = {
        {nullptr, destination.get(), "Conversion: null frame"},
        {good.get(), nullptr, "Conversion: null frame"},
        {noSize.get(), destination.get(), "Conversion: invalid source dimensions"},
        {badFormat.get(), destination.get(), "Conversion: unsupported source pixel format"},
        {noBuffer.get(), destination.get(), "Conversion: frame has no image buffer"},
        {good.get(), noBuffer.get(), "Conversion: frame has no image buffer"},
        {good.get(), wrongSize.get(), "Conversion: destination dimensions do not match output"},
        {good.get(), wrongFormat.get(), "Conversion: destination pixel format does not match output"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(failureOf([&] { conversion.convert(c.source, c.destination); }), c.message);
    }
    EXPECT_EQ(wrongSize->data[0][0], 7) << "a refused destination was written";
    EXPECT_EQ(conversion.scalerContext(), nullptr);
}

// A decoded clip of an odd size goes through the codec and the conversion end to end.
TEST(Conversion, OddSizedDecodedFramesConvert) {
    testing::TempDir dir;
    const auto clip = testing::makeOddSizeClip(dir / "odd.mkv", 175, 99, 3);
    Demultiplexer demultiplexer(clip.string(), nullptr);
    Codec codec(demultiplexer.videoCodecParameters());
    ASSERT_EQ(codec.width(), 175);
    ASSERT_EQ(codec.height(), 99);
    Conversion conversion(codec.width(), codec.height(), AV_PIX_FMT_NV12, SWS_FAST_BILINEAR);
    FramePtr destination = makeFrame(175, 99, AV_PIX_FMT_NV12);

    AVPacket* packet = av_packet_alloc();
    FramePtr decoded(av_frame_alloc());
    int converted = 0;
    const auto receiveAll = [&] {
        while (codec.receive(decoded.get())) {
            conversion.convert(decoded.get(), destination.get());
            // The luma of the bottom-right pixel survives the conversion.
            EXPECT_EQ(destination->data[0][98 * destination->linesize[0] + 174],
                      decoded->data[0][98 * decoded->linesize[0] + 174]);
            ++converted;
            av_frame_unref(decoded.get());
        }
    };
    while (demultiplexer.readPacket(packet)) {
        while (!codec.send(packet)) receiveAll();
        receiveAll();
    }
    while (!codec.send(nullptr)) receiveAll();
    receiveAll();
    av_packet_free(&packet);
    EXPECT_EQ(converted, 3);
}

}  // namespace
}  // namespace lumetta
