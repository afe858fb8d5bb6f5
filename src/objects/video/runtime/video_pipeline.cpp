// The four worker threads of a Video: demultiplex, decode, audio and present.

#include <optional>
#include <stdexcept>
#include <utility>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/mathematics.h>
}

#include "objects/video/runtime/video_playback.h"

namespace lumetta {

namespace {

void freeAvBuffer(void*, uint8_t* data) { av_free(data); }

// Media time in microseconds: the first present of the best-effort timestamp, the pts and the
// packet dts, rescaled from the stream's time base; AV_NOPTS_VALUE when the frame has none.
int64_t frameTimestampUs(const AVFrame* frame, AVRational timeBase) {
    int64_t timestamp = frame->best_effort_timestamp;
    if (timestamp == AV_NOPTS_VALUE) timestamp = frame->pts;
    if (timestamp == AV_NOPTS_VALUE) timestamp = frame->pkt_dts;
    if (timestamp == AV_NOPTS_VALUE) return AV_NOPTS_VALUE;
    return av_rescale_q(timestamp, timeBase, AVRational{1, 1000000});
}

}  // namespace

// Every loop keeps its first failure for the Video and stops the others.
template <typename Body>
void VideoPlayback::guarded(Body&& body) {
    try {
        body();
    } catch (...) {
        recordFailure(std::current_exception());
        requestStop();
    }
}

void VideoPlayback::initFramePool() {
    const int width = videoCodec->width();
    const int height = videoCodec->height();
    for (uint32_t i = 0; i < Video::kFramePoolSize; ++i) {
        FrameHandle frame(av_frame_alloc());
        if (!frame) {
            throw std::runtime_error("Failed to allocate pooled AVFrame");
        }
        frame->format = AV_PIX_FMT_NV12;
        frame->width = width;
        frame->height = height;
        const int size = av_image_alloc(frame->data, frame->linesize, width, height, AV_PIX_FMT_NV12, 32);
        if (size < 0) {
            throw std::runtime_error("Failed to allocate pooled video buffer");
        }
        frame->buf[0] = av_buffer_create(frame->data[0], static_cast<size_t>(size), &freeAvBuffer, nullptr, 0);
        if (frame->buf[0] == nullptr) {
            av_freep(&frame->data[0]);
            throw std::runtime_error("Failed to reference pooled video buffer");
        }
        if (!returnedFrames->push(frame)) {
            throw std::runtime_error("Failed to initialise converted frame pool");
        }
    }
}

void VideoPlayback::demuxLoop() {
    guarded([this] {
        const int videoIndex = demultiplexer->videoStreamIndex();
        const int audioIndex = audioCodec ? demultiplexer->audioStreamIndex() : -1;
        while (!stopRequested) {
            PacketHandle packet(av_packet_alloc());
            if (!packet) {
                throw std::runtime_error("Failed to allocate AVPacket");
            }
            if (!demultiplexer->readPacket(packet.get())) {
                videoPackets->close();
                if (audioPackets) audioPackets->close();
                return;
            }
            PacketQueue* target = nullptr;
            if (packet->stream_index == videoIndex) {
                target = videoPackets.get();
            } else if (packet->stream_index == audioIndex && audioPackets) {
                target = audioPackets.get();
            }
            if (target == nullptr) {
                continue;  // another stream: freed with the packet
            }
            if (!target->push(packet)) {
                return;
            }
        }
    });
}

bool VideoPlayback::handleDecodedFrame(AVFrame* frame, AVRational timeBase, bool& poolReady) {
    if (seams.adaptDecodedFrame) {
        seams.adaptDecodedFrame(frame);
    }
    const int64_t timestamp = frameTimestampUs(frame, timeBase);

    if (frame->format == AV_PIX_FMT_DRM_PRIME) {
        // Hardware pictures travel by reference, never copied.
        FrameHandle reference(av_frame_clone(frame));
        if (!reference) {
            throw std::runtime_error("Failed to reference DRM PRIME frame");
        }
        reference->pts = timestamp;
        av_frame_unref(frame);
        return decodedFrames->push(reference);  // refused: the video is stopping
    }

    if (!poolReady) {
        initFramePool();
        poolReady = true;
    }
    FrameHandle pooled;
    if (!returnedFrames->pop(pooled)) {
        av_frame_unref(frame);
        return false;
    }
    if (!pooled) {
        throw std::runtime_error("Converted frame pool returned an empty frame");
    }
    if (pooled->width < 1 || pooled->height < 1) {
        throw std::runtime_error("Converted frame has invalid dimensions");
    }
    if (frame->width < 1 || frame->height < 1) {
        throw std::runtime_error("Decoded frame has invalid dimensions");
    }
    pooled->format = AV_PIX_FMT_NV12;
    pooled->pts = timestamp;
    if (frame->format == AV_PIX_FMT_NV12 && frame->width == pooled->width && frame->height == pooled->height) {
        if (frame->data[0] == nullptr || frame->data[1] == nullptr) {
            throw std::runtime_error("Decoded NV12 frame has missing image planes");
        }
        if (frame->linesize[0] < 1 || frame->linesize[1] < 1) {
            throw std::runtime_error("Decoded NV12 frame has an invalid line size");
        }
        av_image_copy(pooled->data, pooled->linesize, const_cast<const uint8_t**>(frame->data), frame->linesize,
                      AV_PIX_FMT_NV12, pooled->width, pooled->height);
    } else {
        conversion->convert(frame, pooled.get());
    }
    av_frame_unref(frame);
    return decodedFrames->push(pooled);
}

template <typename Handle>
bool VideoPlayback::decodePackets(Codec& codec, PacketQueue& packets, AVFrame* work, Handle&& handle) {
    // False when a frame's hand-over was refused: the video is stopping.
    const auto receiveAll = [&] {
        while (!stopRequested && codec.receive(work)) {
            if (!handle(work)) {
                return false;
            }
        }
        return true;
    };
    while (!stopRequested) {
        PacketHandle packet;
        if (!packets.pop(packet)) {
            break;
        }
        while (!stopRequested) {
            const bool accepted = codec.send(packet.get());
            if (!receiveAll()) return false;
            if (accepted) break;
        }
    }
    // At the end of the input the decoder gives out what it still holds.
    while (!stopRequested) {
        const bool accepted = codec.send(nullptr);
        if (!receiveAll()) return false;
        if (accepted) break;
    }
    return !stopRequested && receiveAll() && !stopRequested;
}

void VideoPlayback::decodeLoop() {
    guarded([this] {
        const AVRational timeBase = demultiplexer->videoTimeBase();
        FrameHandle work(av_frame_alloc());
        if (!work) {
            throw std::runtime_error("Failed to allocate decoded AVFrame");
        }
        bool poolReady = false;
        const bool ended = decodePackets(*videoCodec, *videoPackets, work.get(), [&](AVFrame* frame) {
            return handleDecodedFrame(frame, timeBase, poolReady);
        });
        if (ended) {
            decodedFrames->close();
        }
    });
}

void VideoPlayback::audioLoop() {
    guarded([this] {
        FrameHandle work(av_frame_alloc());
        if (!work) {
            throw std::runtime_error("Failed to allocate audio AVFrame");
        }
        decodePackets(*audioCodec, *audioPackets, work.get(), [this](AVFrame* frame) {
            if (waitWhilePaused()) {
                soundSink->play(frame);
            }
            av_frame_unref(frame);
            return true;
        });
    });
    audioEnded = true;
}

void VideoPlayback::presentLoop() {
    guarded([this] {
        PresentationTimeline timeline;
        while (true) {
            if (stopRequested || !waitWhilePaused()) {
                return;
            }
            FrameHandle frame;
            if (!decodedFrames->pop(frame)) {
                if (!stopRequested) {
                    presentationEnded = true;
                }
                return;
            }
            if (!frame) {
                continue;
            }
            const std::optional<int64_t> timestamp =
                frame->pts == AV_NOPTS_VALUE ? std::nullopt : std::optional<int64_t>(frame->pts);
            const int64_t due = timeline.dueTime(timestamp, mediaClock());
            if (!waitUntilDue(due)) {
                return;
            }

            FrameHandle replaced;
            {
                std::lock_guard lock(frameMutex);
                if (stopRequested) {
                    return;
                }
                replaced = std::exchange(pendingFrame, std::move(frame));
                hasNewFrame = true;
            }
            if (seams.onHandOver) {
                seams.onHandOver(FrameHandOver{timeline.lastTimestampUs(), due, sinceOrigin()});
            }
            // A frame that render never took is dropped: drawing is slower than the video.
            if (replaced && replaced->format != AV_PIX_FMT_DRM_PRIME && !returnedFrames->push(replaced)) {
                return;
            }
        }
    });
}

}  // namespace lumetta
