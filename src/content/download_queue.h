#pragma once
// The hand-over point between the code that reads a playlist and the threads that fetch its
// media.
//
// Loaders push one DownloadTask per medium, counted in the DownloadGroup of their playlist;
// the download workers pop tasks and complete them (or hand images on to the image worker,
// which completes them once the picture is prepared); a playlist waits until its group has
// nothing pending and asks whether any task failed. `stop` refuses further pushes, but the
// workers still drain every task queued before it.
//
// Lock order: the prepared-image cache's lock may be held while the queue's is taken
// (evictPreparedImages), never the other way round.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "core/clock.h"
#include "objects/prepared_image_cache.h"

namespace lumetta {

struct DownloadTask {
    std::string url;              // where the medium comes from
    std::string targetPath;       // the file it is stored as
    std::int32_t targetWidth = 0;   // an image larger than this box gets a reduced copy
    std::int32_t targetHeight = 0;
    std::string sha1;             // expected digest, hexadecimal
    std::uint64_t groupId = 0;    // the DownloadGroup it counts in; 0 for none
};

struct DownloadGroup {
    std::uint32_t pending = 0;  // tasks pushed and not yet completed
    bool failed = false;        // some task failed; never cleared
    bool abandoned = false;     // its playlist let go while tasks were pending
};

class ThreadSafeQueue {
public:
    // The queue's group ids are the generations of the pictures prepared for its playlists in
    // `cache`; timed waits run on `clock`.
    explicit ThreadSafeQueue(PreparedImageCache& cache = preparedImageCache(), Clock& clock = systemClock());
    ThreadSafeQueue(const ThreadSafeQueue&) = delete;
    ThreadSafeQueue& operator=(const ThreadSafeQueue&) = delete;

    // A new, empty group. Ids start at 1 and are never reused.
    std::uint64_t createGroup();

    // Queues a copy of the task and counts it (in its group too, creating the group when the
    // id has none). False, with nothing changed, once the queue is stopping.
    bool push(const DownloadTask& task);

    // Waits for a task and moves the oldest into `task`. False only when the queue is stopping
    // and empty: tasks queued before the stop are still handed out.
    bool pop(DownloadTask& task);

    // Counts off one popped task. Called exactly once per task, by whoever finished it. When
    // its group then has nothing pending, the group's pictures are no longer refused.
    void completeTask(std::uint64_t groupId, bool succeeded);

    // Drops an idle group; a group with tasks pending is marked abandoned and dropped by the
    // completion of its last task. Unknown ids change nothing.
    void eraseGroup(std::uint64_t groupId);

    // Refuses further pushes and wakes every waiter. There is no way back.
    void stop();

    // Waits at most `milliseconds` until the group is gone or has nothing pending; true when it
    // is (id 0 names no group: true at once).
    bool waitForGroup(std::uint64_t groupId, std::uint64_t milliseconds);
    // True only when the group exists, has nothing pending and no task of it failed.
    bool groupSucceeded(std::uint64_t groupId) const;
    // Waits at most `milliseconds` until no task at all is pending; true when none is.
    bool waitUntilNothingPending(std::int64_t milliseconds);

    // Releases the pictures prepared under `generation` (a playlist's group id): they leave
    // the cache, and pictures of it that are still being prepared are refused until the group
    // has nothing pending. 0 does nothing.
    void evictPreparedImages(std::uint64_t generation);

    std::uint32_t pendingTotal() const;
    std::size_t queuedTaskCount() const;
    std::optional<DownloadGroup> group(std::uint64_t groupId) const;
    // Takes no lock: a download worker asks it while it holds a path lock, under which the
    // queue's lock is never taken.
    bool stopping() const { return stopping_.load(); }
    PreparedImageCache& imageCache() const { return cache_; }

private:
    bool groupIdleLocked(std::uint64_t groupId) const;

    PreparedImageCache& cache_;
    Clock& clock_;

    mutable std::mutex mutex_;
    std::condition_variable_any workAvailable_;
    std::condition_variable_any groupChanged_;
    std::deque<DownloadTask> tasks_;
    std::uint32_t pendingTotal_ = 0;
    std::atomic<bool> stopping_{false};  // written under mutex_, read anywhere
    std::uint64_t nextGroupId_ = 1;
    std::unordered_map<std::uint64_t, DownloadGroup> groups_;
};

// The one queue of the process, fed by the playlist loaders and drained by the download and
// image-processing workers.
extern ThreadSafeQueue downloadQueue;

// downloadQueue.evictPreparedImages(generation): what a playlist does when it goes away.
void evictPreparedImages(std::uint64_t generation);

}  // namespace lumetta
