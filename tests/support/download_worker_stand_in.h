#pragma once
// A stand-in for the player's download workers, for tests and benchmarks that need a playlist's
// media really fetched and checked: without the content mesh, local copies or the image worker.
//
// Each task: a target that already holds the expected digest counts at once (no request);
// otherwise the medium is fetched into its partial file, its digest checked, and the file moved
// into place; anything else fails the task. Every task is completed exactly once.

#include <thread>
#include <vector>

#include "content/download_queue.h"

namespace lumetta::testing {

class StandInDownloadWorkers {
public:
    explicit StandInDownloadWorkers(ThreadSafeQueue& queue, int threads = 2);
    // Stops `queue` (for good), lets the workers drain it and joins them.
    ~StandInDownloadWorkers();
    StandInDownloadWorkers(const StandInDownloadWorkers&) = delete;
    StandInDownloadWorkers& operator=(const StandInDownloadWorkers&) = delete;

private:
    ThreadSafeQueue& queue_;
    std::vector<std::jthread> threads_;
};

// One task as the stand-in does it; true when the target holds the digest afterwards.
bool completeDownloadTask(ThreadSafeQueue& queue, const DownloadTask& task);

}  // namespace lumetta::testing
