#include "objects/video/runtime/media_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

namespace lumetta {
namespace {

using namespace std::chrono_literals;

// A packet that carries a payload, so a leak shows under the sanitizers, numbered by its pts.
PacketHandle numberedPacket(int64_t number) {
    PacketHandle packet(av_packet_alloc());
    EXPECT_EQ(av_new_packet(packet.get(), 64), 0);
    packet->pts = number;
    return packet;
}

FrameHandle pictureFrame(int64_t number) {
    FrameHandle frame(av_frame_alloc());
    frame->format = AV_PIX_FMT_NV12;
    frame->width = 16;
    frame->height = 16;
    EXPECT_EQ(av_frame_get_buffer(frame.get(), 0), 0);
    frame->pts = number;
    return frame;
}

// True once `count` calls wait inside the queue; false after a generous real-time bound, which
// only a queue that never blocks reaches.
template <typename Queue>
bool waitersReach(const Queue& queue, int count) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (queue.waiters() < count) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

template <typename T>
bool notReturned(std::future<T>& future) {
    return future.wait_for(0s) == std::future_status::timeout;
}

TEST(MediaQueue, ZeroCapacityIsRefusedAndOneIsASingleSlotHandOver) {
    try {
        PacketQueue refused(0);
        FAIL() << "capacity 0 was accepted";
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "Queue capacity must be greater than zero");
    }

    PacketQueue queue(1);
    PacketHandle first = numberedPacket(1);
    ASSERT_TRUE(queue.push(first));
    EXPECT_EQ(first, nullptr);

    PacketHandle second = numberedPacket(2);
    auto blockedPush = std::async(std::launch::async, [&] { return queue.push(second); });
    ASSERT_TRUE(waitersReach(queue, 1)) << "a push into a full queue did not wait";
    EXPECT_TRUE(notReturned(blockedPush));

    PacketHandle taken;
    ASSERT_TRUE(queue.pop(taken));
    EXPECT_EQ(taken->pts, 1);
    EXPECT_TRUE(blockedPush.get()) << "the pop did not let the waiting push through";
    ASSERT_TRUE(queue.pop(taken));  // frees packet 1 before taking packet 2
    EXPECT_EQ(taken->pts, 2);
}

TEST(MediaQueue, ClosedQueueRefusesInputAndDrainsInOrder) {
    PacketQueue queue(4);
    for (int64_t n = 1; n <= 3; ++n) {
        PacketHandle packet = numberedPacket(n);
        ASSERT_TRUE(queue.push(packet));
    }
    queue.close();

    PacketHandle late = numberedPacket(9);
    EXPECT_FALSE(queue.push(late));
    ASSERT_NE(late, nullptr) << "a refused push must leave the element with the caller";

    PacketHandle taken;
    for (int64_t n = 1; n <= 3; ++n) {
        ASSERT_TRUE(queue.pop(taken));
        EXPECT_EQ(taken->pts, n);
    }
    const AVPacket* before = taken.get();
    EXPECT_FALSE(queue.pop(taken));
    EXPECT_EQ(taken.get(), before) << "a failed pop must leave the handle as it was";
    EXPECT_FALSE(queue.pop(taken));
}

TEST(MediaQueue, StoppedQueueFreesWhatItHeldAndRefusesBothWays) {
    FrameQueue queue(8);
    for (int64_t n = 1; n <= 5; ++n) {
        FrameHandle frame = pictureFrame(n);
        ASSERT_TRUE(queue.push(frame));
    }
    queue.close();
    queue.stop();  // a closed queue that is stopped loses what it still held
    queue.stop();  // stopping again frees nothing more

    FrameHandle taken;
    EXPECT_FALSE(queue.pop(taken));
    EXPECT_EQ(taken, nullptr);
    FrameHandle refused = pictureFrame(6);
    EXPECT_FALSE(queue.push(refused));
    ASSERT_NE(refused, nullptr);
}

TEST(MediaQueue, DestroyingAQueueFreesWhatItHolds) {
    // The sanitizer build reports the packets and frames as leaks when this goes wrong.
    auto packets = std::make_unique<PacketQueue>(4);
    auto frames = std::make_unique<FrameQueue>(4);
    for (int64_t n = 0; n < 3; ++n) {
        PacketHandle packet = numberedPacket(n);
        FrameHandle frame = pictureFrame(n);
        ASSERT_TRUE(packets->push(packet));
        ASSERT_TRUE(frames->push(frame));
    }
    packets.reset();
    frames.reset();
}

// Both ways to end a queue must release a producer waiting on a full queue and a consumer
// waiting on an empty one, the producer keeping its element.
TEST(MediaQueue, CloseAndStopReleaseBlockedProducerAndConsumer) {
    for (const bool useStop : {false, true}) {
        SCOPED_TRACE(useStop ? "stop" : "close");
        PacketQueue full(1);
        PacketQueue empty(1);
        PacketHandle filler = numberedPacket(0);
        ASSERT_TRUE(full.push(filler));

        PacketHandle waiting = numberedPacket(1);
        PacketHandle taken;
        auto producer = std::async(std::launch::async, [&] { return full.push(waiting); });
        auto consumer = std::async(std::launch::async, [&] { return empty.pop(taken); });
        ASSERT_TRUE(waitersReach(full, 1)) << "a push into a full queue did not wait";
        ASSERT_TRUE(waitersReach(empty, 1)) << "a pop from an empty queue did not wait";
        EXPECT_TRUE(notReturned(producer));
        EXPECT_TRUE(notReturned(consumer));

        if (useStop) {
            full.stop();
            empty.stop();
        } else {
            full.close();
            empty.close();
        }
        EXPECT_FALSE(producer.get());
        EXPECT_FALSE(consumer.get());
        ASSERT_NE(waiting, nullptr);
        EXPECT_EQ(waiting->pts, 1);
        EXPECT_EQ(taken, nullptr);
    }
}

TEST(MediaQueue, ThreadsHandOverEveryElementInOrderThroughASmallQueue) {
    constexpr int64_t count = 3000;
    PacketQueue queue(4);
    std::thread producer([&] {
        for (int64_t n = 0; n < count; ++n) {
            PacketHandle packet = numberedPacket(n);
            ASSERT_TRUE(queue.push(packet));
        }
        queue.close();
    });
    std::vector<int64_t> received;
    PacketHandle taken;
    while (queue.pop(taken)) {
        received.push_back(taken->pts);
    }
    producer.join();

    ASSERT_EQ(received.size(), static_cast<size_t>(count));
    for (int64_t n = 0; n < count; ++n) {
        ASSERT_EQ(received[static_cast<size_t>(n)], n);
    }
}

TEST(MediaQueue, StopFromAThirdThreadEndsBusyProducerAndConsumer) {
    FrameQueue queue(2);
    std::atomic<int64_t> consumed{0};
    std::promise<void> consumerRunning;
    std::thread producer([&] {
        for (int64_t n = 0;; ++n) {
            FrameHandle frame = pictureFrame(n);
            if (!queue.push(frame)) {
                return;
            }
        }
    });
    std::thread consumer([&] {
        FrameHandle taken;
        bool announced = false;
        while (queue.pop(taken)) {
            ++consumed;
            if (!announced) {
                consumerRunning.set_value();
                announced = true;
            }
        }
    });
    consumerRunning.get_future().wait();
    std::thread stopper([&] { queue.stop(); });
    stopper.join();
    producer.join();
    consumer.join();
    EXPECT_GE(consumed.load(), 1);
}

}  // namespace
}  // namespace lumetta
