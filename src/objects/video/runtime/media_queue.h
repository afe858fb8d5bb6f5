#pragma once
// Bounded blocking FIFO of FFmpeg packets or frames between the threads of one video.
// The queue owns what it holds (owning handles). close() ends the input (consumers drain what
// is left); stop() aborts (everything held is freed and every waiter returns at once).

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "objects/video/runtime/ffmpeg_handles.h"

namespace lumetta {

template <typename Element>
class MediaQueue {
public:
    explicit MediaQueue(uint32_t capacity) : capacity(capacity) {
        if (capacity == 0) {
            throw std::invalid_argument("Queue capacity must be greater than zero");
        }
    }

    MediaQueue(const MediaQueue&) = delete;
    MediaQueue& operator=(const MediaQueue&) = delete;

    // True: the queue took the element and `element` is now null. False: the queue is
    // stopped or closed and the caller still owns the element.
    bool push(Element& element) {
        {
            std::unique_lock lock(mutex);
            ++waiting;
            notFull.wait(lock, [this] { return stopped || closed || items.size() < capacity; });
            --waiting;
            if (stopped || closed) {
                return false;
            }
            items.push_back(std::move(element));
        }
        notEmpty.notify_one();
        return true;
    }

    // True: `element` owns the oldest element (whatever it held before was freed first).
    // False: stopped, or closed and drained; `element` is left as it was.
    bool pop(Element& element) {
        {
            std::unique_lock lock(mutex);
            ++waiting;
            notEmpty.wait(lock, [this] { return stopped || closed || !items.empty(); });
            --waiting;
            if (stopped || items.empty()) {
                return false;
            }
            element = std::move(items.front());
            items.pop_front();
        }
        notFull.notify_one();
        return true;
    }

    // Calls blocked in push or pop right now: lets a test know that a call really waits.
    int waiters() const {
        std::lock_guard lock(mutex);
        return waiting;
    }

    void close() {
        {
            std::lock_guard lock(mutex);
            closed = true;
        }
        notEmpty.notify_all();
        notFull.notify_all();
    }

    void stop() {
        std::deque<Element> taken;
        {
            std::lock_guard lock(mutex);
            stopped = true;
            taken.swap(items);
        }
        notEmpty.notify_all();
        notFull.notify_all();
        // Freed outside the lock (when `taken` goes): releasing hardware frames must not hold
        // up other threads.
    }

private:
    std::deque<Element> items;
    const uint32_t capacity;
    int waiting = 0;
    mutable std::mutex mutex;
    std::condition_variable notFull;
    std::condition_variable notEmpty;
    std::atomic<bool> stopped{false};
    std::atomic<bool> closed{false};
};

using PacketQueue = MediaQueue<PacketHandle>;
using FrameQueue = MediaQueue<FrameHandle>;

}  // namespace lumetta
