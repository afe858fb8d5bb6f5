#include "objects/video/runtime/demultiplex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>

#include "media_clips.h"
#include "support/temp_dir.h"

namespace lumetta {
namespace {

using testing::TempDir;

std::string failureOf(const std::string& path, const std::atomic<bool>* stopFlag = nullptr) {
    try {
        Demultiplexer demultiplexer(path, stopFlag);
    } catch (const ffmpeg::Error& error) {
        return error.what();
    }
    return "(opened)";
}

bool startsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

TEST(FfmpegError, MessagesNameTheCodeTheCallAndTheSite) {
    struct Case {
        int code;
        const char* expression;
        const char* file;
        int line;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {AVERROR_EOF, nullptr, nullptr, 0, "FFmpeg: End of file"},
        {AVERROR_EOF, "", "", 7, "FFmpeg: End of file"},
        {AVERROR(ENOENT), "openResult", "src/x.cpp", 42,
         "FFmpeg: No such file or directory [expr: openResult] @ src/x.cpp:42"},
        {AVERROR(ENOENT), nullptr, "src/x.cpp", 0, "FFmpeg: No such file or directory @ src/x.cpp"},
        {AVERROR(ENOENT), nullptr, "src/x.cpp", -3, "FFmpeg: No such file or directory @ src/x.cpp"},
        {AVERROR_EXIT, "result", nullptr, 12, "FFmpeg: Immediate exit requested [expr: result]"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ffmpeg::formatError(c.code, c.expression, c.file, c.line), c.expected);
        EXPECT_STREQ(ffmpeg::Error(c.code, c.expression, c.file, c.line).what(), c.expected.c_str());
    }
    EXPECT_STREQ(ffmpeg::Error("Empty media filename").what(), "FFmpeg: Empty media filename");

    EXPECT_NO_THROW(ffmpeg::throwIfFailed(0));
    EXPECT_NO_THROW(ffmpeg::throwIfFailed(17));
    try {
        ffmpeg::throwIfFailed(AVERROR_INVALIDDATA);
        FAIL() << "a negative code did not throw";
    } catch (const std::exception& error) {  // callers catch it as a standard exception
        EXPECT_STREQ(error.what(), "FFmpeg: Invalid data found when processing input");
    }

    EXPECT_EQ(ffmpegErrorText(AVERROR_EOF), "End of file");
    EXPECT_EQ(ffmpegErrorText(-987654), "FFmpeg error -987654");
}

TEST(Demultiplexer, RefusesFilesItCannotPlayWithExactMessages) {
    TempDir dir;
    const auto audioOnly = testing::makeAudioOnlyClip(dir / "sound.m4a");
    const auto notMedia = testing::writeTestFile(dir / "notes.mp4", "this is not a media file\n");

    EXPECT_EQ(failureOf(""), "FFmpeg: Empty media filename");
    EXPECT_EQ(failureOf(audioOnly.string()), "FFmpeg: No playable video stream found");

    const std::string missing = failureOf((dir / "missing.mp4").string());
    EXPECT_TRUE(startsWith(missing, "FFmpeg: No such file or directory [expr: openResult] @ ")) << missing;
    EXPECT_NE(missing.find("src/objects/video/runtime/demultiplex.cpp:"), std::string::npos) << missing;

    const std::string garbage = failureOf(notMedia.string());
    EXPECT_TRUE(startsWith(garbage, "FFmpeg: Invalid data found when processing input [expr: openResult] @ "))
        << garbage;
}

TEST(Demultiplexer, VideoWithoutSoundHasNoAudioStream) {
    TempDir dir;
    const auto clip = testing::makeVideoClip(dir / "silent.mp4", 64, 48, 10);
    Demultiplexer demultiplexer(clip.string(), nullptr);

    EXPECT_EQ(demultiplexer.videoStreamIndex(), 0);
    EXPECT_EQ(demultiplexer.audioStreamIndex(), -1);
    EXPECT_EQ(demultiplexer.audioCodecParameters(), nullptr);
    const AVCodecParameters* video = demultiplexer.videoCodecParameters();
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->codec_id, AV_CODEC_ID_H264);
    EXPECT_EQ(video->width, 64);
    EXPECT_EQ(video->height, 48);
    EXPECT_GT(demultiplexer.videoTimeBase().num, 0);
    EXPECT_GT(demultiplexer.videoTimeBase().den, 0);

    AVPacket* packet = av_packet_alloc();
    int packets = 0;
    while (demultiplexer.readPacket(packet)) {
        EXPECT_EQ(packet->stream_index, 0);
        ++packets;
    }
    EXPECT_EQ(packets, 10);
    EXPECT_FALSE(demultiplexer.readPacket(packet)) << "the end of the file must stay the end";
    av_packet_free(&packet);
}

TEST(Demultiplexer, ChoosesTheAudioStreamThatFfmpegRelatesToTheVideo) {
    TempDir dir;
    const auto clip = testing::makeTwoAudioClip(dir / "two.mkv");
    Demultiplexer demultiplexer(clip.string(), nullptr);

    // The second audio stream carries the default disposition, so FFmpeg prefers it.
    EXPECT_EQ(demultiplexer.videoStreamIndex(), 0);
    EXPECT_EQ(demultiplexer.audioStreamIndex(), 2);
    const AVCodecParameters* audio = demultiplexer.audioCodecParameters();
    ASSERT_NE(audio, nullptr);
    EXPECT_EQ(audio->codec_type, AVMEDIA_TYPE_AUDIO);
    EXPECT_EQ(audio->sample_rate, 44100);

    // Packets of every stream come out; choosing among them is the caller's work.
    std::map<int, int> perStream;
    AVPacket* packet = av_packet_alloc();
    while (demultiplexer.readPacket(packet)) {
        ++perStream[packet->stream_index];
    }
    av_packet_free(&packet);
    EXPECT_EQ(perStream.size(), 3u);
    EXPECT_EQ(perStream[0], 25);
}

TEST(Demultiplexer, ReadsAStreamWithoutTimestamps) {
    TempDir dir;
    const auto clip = testing::makeRawH264Clip(dir / "raw.h264", 12);
    Demultiplexer demultiplexer(clip.string(), nullptr);
    EXPECT_EQ(demultiplexer.audioStreamIndex(), -1);

    AVPacket* packet = av_packet_alloc();
    int packets = 0;
    int withoutTimestamp = 0;
    while (demultiplexer.readPacket(packet)) {
        ++packets;
        withoutTimestamp += packet->pts == AV_NOPTS_VALUE ? 1 : 0;
    }
    av_packet_free(&packet);
    EXPECT_EQ(packets, 12);
    EXPECT_EQ(withoutTimestamp, 12);
}

TEST(Demultiplexer, StopFlagAbortsTheOpenAndTheReads) {
    EXPECT_EQ(Demultiplexer::interruptCallback(nullptr), 0);
    std::atomic<bool> flag{false};
    EXPECT_EQ(Demultiplexer::interruptCallback(&flag), 0);
    flag = true;
    EXPECT_EQ(Demultiplexer::interruptCallback(&flag), 1);

    TempDir dir;
    // Large enough that reading it needs more than FFmpeg's first buffer fills.
    const auto clip = testing::makeClip(
        dir / "noisy.mkv", {"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25", "-frames:v", "50", "-vf",
                            "noise=alls=100:allf=t", "-c:v", "mpeg4", "-q:v", "1"});

    std::atomic<bool> stopped{true};
    const std::string failure = failureOf(clip.string(), &stopped);
    EXPECT_TRUE(startsWith(failure, "FFmpeg: Immediate exit requested [expr: ")) << failure;

    std::atomic<bool> stopRequested{false};
    Demultiplexer demultiplexer(clip.string(), &stopRequested);
    AVPacket* packet = av_packet_alloc();
    ASSERT_TRUE(demultiplexer.readPacket(packet));
    stopRequested = true;
    std::string readFailure;
    try {
        while (demultiplexer.readPacket(packet)) {
        }
    } catch (const ffmpeg::Error& error) {
        readFailure = error.what();
    }
    av_packet_free(&packet);
    EXPECT_TRUE(startsWith(readFailure, "FFmpeg: Immediate exit requested [expr: result] @ ")) << readFailure;
}

}  // namespace
}  // namespace lumetta
