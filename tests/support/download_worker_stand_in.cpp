#include "support/download_worker_stand_in.h"

#include <filesystem>
#include <sstream>
#include <system_error>

#include "content/media_request.h"

namespace lumetta::testing {

namespace fs = std::filesystem;

namespace {

bool holdsDigest(const std::string& path, const std::string& digest) {
    std::error_code error;
    if (!fs::is_regular_file(path, error)) return false;
    try {
        return fileDigest(path, digest) == digest;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

bool completeDownloadTask(ThreadSafeQueue& queue, const DownloadTask& task) {
    bool succeeded = holdsDigest(task.targetPath, task.sha1);
    if (!succeeded) {
        MediaRequestOptions options;
        options.shouldAbort = [&queue] { return queue.stopping(); };
        std::ostringstream quiet;  // failures show as a failed group
        options.errors = &quiet;
        const std::string partial = partialDownloadPath(task.targetPath);
        std::error_code error;
        if (downloadFile(task.url, task.targetPath, options) && holdsDigest(partial, task.sha1)) {
            fs::rename(partial, task.targetPath, error);
            succeeded = !error;
        }
        fs::remove(partial, error);
    }
    queue.completeTask(task.groupId, succeeded);
    return succeeded;
}

StandInDownloadWorkers::StandInDownloadWorkers(ThreadSafeQueue& queue, int threads) : queue_(queue) {
    for (int i = 0; i < threads; ++i) {
        threads_.emplace_back([this] {
            DownloadTask task;
            while (queue_.pop(task)) completeDownloadTask(queue_, task);
        });
    }
}

StandInDownloadWorkers::~StandInDownloadWorkers() {
    queue_.stop();
    for (std::jthread& thread : threads_) thread.join();
}

}  // namespace lumetta::testing
