#pragma once
// The download workers: each task of the download queue becomes a verified file at its target.
//
// A worker tries, in this order, until the target holds bytes with the task's digest: the file
// already in place (or a verified ".part" left beside it), a same-named file with that digest in
// another playlist of the same account ("[LOCAL COPY]"), a player of the group on the LAN
// ("[CONTENT MESH]"), and last the task's URL ("[DOWNLOADING]"). Fetched content always lands
// in the ".part" file first and replaces the target only once its digest matches; a task gets
// five attempts, half a second apart. A verified file is offered to the LAN; a verified picture
// goes on to the image worker, which completes its task, and every other task is completed here.
//
// Two tasks for one target never run at once: a worker holds the target's path lock for the
// whole task. Tasks for other targets never wait for it. Lock order: a path lock, then the image job queue's lock or the mesh's locks; the
// download queue's lock is never taken while a path lock is held.
//
// Once the queue is stopping no transfer starts or goes on (a running one is aborted): tasks
// still queued are drained, those whose file is at hand succeed and the others fail at once.

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

#include "content/content_mesh.h"
#include "content/download_queue.h"
#include "content/image_processing.h"
#include "content/media_request.h"
#include "core/clock.h"
#include "core/file_utils.h"

namespace lumetta {

// Attempts per task; also printed in the retry and failure lines.
inline constexpr int maxDownloadAttempts = 5;
// The pause after a failed attempt when another one follows.
inline constexpr std::int64_t downloadRetryDelayMs = 500;

// Fetches `url` into partialDownloadPath(targetPath); downloadFile's contract.
using MediaDownloader =
    std::function<bool(const std::string& url, const std::string& targetPath, const MediaRequestOptions& options)>;

// What a worker reaches beyond its queue. Every null or empty member means the process's own.
struct DownloadWorkerSettings {
    ContentMesh* mesh = nullptr;            // contentMesh()
    ImageJobQueue* imageJobs = nullptr;     // imageJobQueue()
    Clock* clock = nullptr;                 // systemClock(): the pause between attempts
    // Root of all playlist content (<root>/<account>/<branch>/<playlist>/<file>); a local copy
    // is looked for only under the target's own account. configBaseDirectory + "/" + the
    // program directory name when empty.
    std::string contentDirectory;
    MediaRequestOptions media;              // time-outs of an origin download (shouldAbort is set by the worker)
    MeshFetchOptions meshFetch;             // waits of a copy from a peer (shouldAbort is set by the worker)
    MediaDownloader download;               // downloadFile
    std::ostream* output = nullptr;         // progress lines; std::cout
    std::ostream* errors = nullptr;         // failure lines; std::cerr
    // The flushes around a move into place: the verified file before its rename, the directory
    // after it. diskSyncSteps() when null.
    SyncSteps* sync = nullptr;
};

// Thread body: processes tasks of `queue` until it is stopping and empty.
void downloadWorker(ThreadSafeQueue& queue);
void downloadWorker(ThreadSafeQueue& queue, const DownloadWorkerSettings& settings);

// Copies a file with the task's name and digest from another directory under the target's
// account into `partPath`. True when it did ("[LOCAL COPY]" line); false when no such file
// exists or the copy failed (logged, nothing left at `partPath`).
bool copyExistingMedia(const DownloadTask& task, const std::string& partPath);
bool copyExistingMedia(const DownloadTask& task, const std::string& partPath, const DownloadWorkerSettings& settings);

}  // namespace lumetta
