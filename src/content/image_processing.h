#pragma once
// The image-processing worker: every downloaded picture passes through it before its download
// task counts as done. It writes a reduced copy into a resolution directory beside the file
// when the picture is larger than its layer ("HD", "FHD" or "4K"), decodes the file into the
// prepared-image cache under its playlist's group id, and then completes the task.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "content/download_queue.h"

namespace lumetta {

// Pictures handed on by the download workers, waiting for the one image thread.
class ImageJobQueue {
public:
    // Queues a copy of the task; the image worker completes it from then on. False once the
    // queue is stopping: the task was not taken, and the caller completes it itself.
    bool hand(const DownloadTask& task);
    // Waits for a job and moves the oldest into `task`. False only when stopping and empty:
    // jobs queued before the stop are still handed out.
    bool take(DownloadTask& task);
    // Refuses further jobs and wakes the worker; there is no way back.
    void stop();
    std::size_t size() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable condition_;
    std::deque<DownloadTask> jobs_;
    bool stopping_ = false;
};

// The one image job queue of the process.
ImageJobQueue& imageJobQueue();

// Thread body: works off the process's image jobs, completing each in `queue`, until image
// processing is stopped and no job is left.
void imageProcessingWorker(ThreadSafeQueue& queue);
void imageProcessingWorker(ThreadSafeQueue& queue, ImageJobQueue& jobs);

// Stops the process's image job queue (called once, after the download workers have ended).
void stopImageProcessing();

// Measures, reduces when needed and prepares one picture into `cache` under the task's group
// id. True when the job succeeded; every failure is logged here.
bool processImageJob(const DownloadTask& job, PreparedImageCache& cache);

// The resolution directory for a reduced copy of the given target size: the first of "HD"
// (1280 × 720), "FHD" (1920 × 1080) and "4K" (3840 × 2160) that holds it, with the boxes
// turned upright for a portrait target. None when no box holds it.
std::optional<std::string_view> resolutionLabel(int targetWidth, int targetHeight);

// The size of a reduced copy of a picture for a target box: the picture's own aspect, scaled by
// the larger of the two factors so that it covers the box, and never enlarged (the picture's
// own size when it is no larger than the box in one direction).
struct PictureSize {
    int width = 0;
    int height = 0;
    bool operator==(const PictureSize&) const = default;
};
PictureSize reducedCopySize(int pictureWidth, int pictureHeight, int targetWidth, int targetHeight);

// Writes a reduced copy of the picture at `path` (reducedCopySize) as <directory of path>/<label>/
// <file name>, replacing an older copy atomically (a failed write keeps it). True when the copy
// was written or none is needed (a target larger than every box, which the original serves, or a
// picture that the box does not reduce); false when the picture cannot be read or the copy cannot
// be written. A target without area, directory and decoder errors are thrown.
bool resizeImageIntoPlaylist(const std::string& path, int width, int height);

}  // namespace lumetta
