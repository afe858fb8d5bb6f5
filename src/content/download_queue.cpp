#include "content/download_queue.h"

namespace lumetta {

ThreadSafeQueue downloadQueue;

ThreadSafeQueue::ThreadSafeQueue(PreparedImageCache& cache, Clock& clock) : cache_(cache), clock_(clock) {}

std::uint64_t ThreadSafeQueue::createGroup() {
    std::lock_guard lock(mutex_);
    const std::uint64_t id = nextGroupId_++;
    groups_.try_emplace(id);
    return id;
}

bool ThreadSafeQueue::push(const DownloadTask& task) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return false;
        tasks_.push_back(task);
        ++pendingTotal_;
        if (task.groupId != 0) ++groups_[task.groupId].pending;
    }
    workAvailable_.notify_one();
    return true;
}

bool ThreadSafeQueue::pop(DownloadTask& task) {
    std::unique_lock lock(mutex_);
    workAvailable_.wait(lock, [&] { return !tasks_.empty() || stopping_; });
    if (tasks_.empty()) return false;
    task = std::move(tasks_.front());
    tasks_.pop_front();
    return true;
}

void ThreadSafeQueue::completeTask(std::uint64_t groupId, bool succeeded) {
    {
        std::lock_guard lock(mutex_);
        if (pendingTotal_ > 0) --pendingTotal_;
        if (groupId != 0) {
            if (auto found = groups_.find(groupId); found != groups_.end()) {
                DownloadGroup& group = found->second;
                if (!succeeded) group.failed = true;
                if (group.pending > 0) --group.pending;
                if (group.pending == 0 && group.abandoned) groups_.erase(found);
            }
        }
    }
    groupChanged_.notify_all();
    if (groupId == 0) return;

    // Once the group has nothing pending no picture of its generation can still arrive, so
    // the cache need not refuse them any more. The two locks are never held together here.
    {
        std::lock_guard lock(mutex_);
        if (!groupIdleLocked(groupId)) return;
    }
    cache_.forgetReleasedId(groupId);
}

void ThreadSafeQueue::eraseGroup(std::uint64_t groupId) {
    std::lock_guard lock(mutex_);
    auto found = groups_.find(groupId);
    if (found == groups_.end()) return;
    if (found->second.pending > 0)
        found->second.abandoned = true;
    else
        groups_.erase(found);
}

void ThreadSafeQueue::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    workAvailable_.notify_all();
    groupChanged_.notify_all();
}

bool ThreadSafeQueue::waitForGroup(std::uint64_t groupId, std::uint64_t milliseconds) {
    if (groupId == 0) return true;
    std::unique_lock lock(mutex_);
    const std::int64_t now = clock_.steadyMs();
    const std::int64_t limit = INT64_MAX - now;
    const std::int64_t deadline =
        now + (milliseconds > static_cast<std::uint64_t>(limit) ? limit : static_cast<std::int64_t>(milliseconds));
    return clock_.waitUntil(groupChanged_, lock, deadline, {}, [&] { return groupIdleLocked(groupId); });
}

bool ThreadSafeQueue::groupSucceeded(std::uint64_t groupId) const {
    if (groupId == 0) return false;
    std::lock_guard lock(mutex_);
    auto found = groups_.find(groupId);
    return found != groups_.end() && found->second.pending == 0 && !found->second.failed;
}

bool ThreadSafeQueue::waitUntilNothingPending(std::int64_t milliseconds) {
    std::unique_lock lock(mutex_);
    return clock_.waitFor(groupChanged_, lock, milliseconds, {}, [&] { return pendingTotal_ == 0; });
}

void ThreadSafeQueue::evictPreparedImages(std::uint64_t generation) {
    // The cache takes its own lock first and asks, still holding it, whether the group may
    // yet produce pictures: cache lock, then queue lock.
    cache_.releasePreparedImageId(generation, [&] {
        std::lock_guard lock(mutex_);
        return !groupIdleLocked(generation);
    });
}

std::uint32_t ThreadSafeQueue::pendingTotal() const {
    std::lock_guard lock(mutex_);
    return pendingTotal_;
}

std::size_t ThreadSafeQueue::queuedTaskCount() const {
    std::lock_guard lock(mutex_);
    return tasks_.size();
}

std::optional<DownloadGroup> ThreadSafeQueue::group(std::uint64_t groupId) const {
    std::lock_guard lock(mutex_);
    auto found = groups_.find(groupId);
    if (found == groups_.end()) return std::nullopt;
    return found->second;
}

bool ThreadSafeQueue::groupIdleLocked(std::uint64_t groupId) const {
    auto found = groups_.find(groupId);
    return found == groups_.end() || found->second.pending == 0;
}

void evictPreparedImages(std::uint64_t generation) { downloadQueue.evictPreparedImages(generation); }

}  // namespace lumetta
