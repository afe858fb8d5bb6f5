#include "content/download_worker.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <condition_variable>
#include <exception>
#include <functional>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <system_error>
#include <unordered_set>
#include <vector>

#include "core/file_utils.h"
#include "core/log.h"
#include "core/palette.h"
#include "core/process_state.h"
#include "core/shared_defaults.h"
#include "core/unique_fd.h"
#include "objects/prepared_image_cache.h"

namespace lumetta {
namespace {

namespace fs = std::filesystem;

// Targets that a task is working on. A task holds its target for the whole of its run, so that
// two tasks for one target never write the same ".part" or replace the same file at once, while
// tasks for other targets go on beside it however long it takes.
class TargetLocks {
public:
    class Hold {
    public:
        Hold(TargetLocks& locks, const std::string& target) : locks_(locks), target_(target) {
            std::unique_lock lock(locks_.mutex_);
            locks_.freed_.wait(lock, [&] { return locks_.busy_.count(target_) == 0; });
            locks_.busy_.insert(target_);
        }
        ~Hold() {
            {
                std::lock_guard lock(locks_.mutex_);
                locks_.busy_.erase(target_);
            }
            locks_.freed_.notify_all();
        }
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

    private:
        TargetLocks& locks_;
        const std::string target_;
    };

private:
    std::mutex mutex_;  // guards busy_ only; never held while a task runs
    std::condition_variable freed_;
    std::unordered_set<std::string> busy_;
};

TargetLocks& targetLocks() {
    static TargetLocks locks;
    return locks;
}

// The directories in which the image worker keeps reduced copies of a picture.
constexpr std::array<std::string_view, 3> reducedCopyDirectories{"HD", "FHD", "4K"};

void removeQuietly(const std::string& path) {
    std::error_code ignored;
    fs::remove(path, ignored);
}

bool somethingAt(const std::string& path) {
    std::error_code error;
    return fs::status(path, error).type() != fs::file_type::not_found;
}

std::error_code syncFile(const std::string& path, SyncSteps& sync) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return {errno, std::generic_category()};
    errno = 0;
    if (!sync.syncFile(fd.get())) return {errno != 0 ? errno : EIO, std::generic_category()};
    return {};
}

void syncDirectory(const fs::path& directory, SyncSteps& sync) {
    // The content is already safe; only the name could still be lost, and nothing better can
    // be done about a directory that refuses, so a failure is ignored.
    sync.syncDirectory(directory.empty() ? fs::path(".") : directory);
}

// The reduced copies belong to the picture they were made from: once the target holds other
// bytes, a player that prefers a copy would still draw the old picture. They go before the new
// file arrives, so a power cut never leaves the new target beside an old copy.
void removeReducedCopies(const fs::path& target, SyncSteps& sync) {
    for (std::string_view label : reducedCopyDirectories) {
        const fs::path directory = target.parent_path() / label;
        std::error_code error;
        if (fs::remove(directory / target.filename(), error)) syncDirectory(directory, sync);
    }
}

// Replaces `target` with the verified `part`: its bytes reach the disk before the rename, and
// the rename before this returns. A rename that is refused (say, by an empty directory at the
// target) is tried once more after the target was removed. `part` stays when both fail.
std::error_code moveIntoPlace(const std::string& part, const std::string& target, SyncSteps& sync) {
    removeReducedCopies(target, sync);
    if (std::error_code error = syncFile(part, sync)) return error;
    std::error_code error;
    fs::rename(part, target, error);
    if (error) {
        removeQuietly(target);
        error.clear();
        fs::rename(part, target, error);
    }
    if (!error) syncDirectory(fs::path(target).parent_path(), sync);
    return error;
}

// <content>/<account> for a target at <content>/<account>/<branch>/<playlist>/<file>; none for
// any other target, which has no account to search.
std::optional<fs::path> accountDirectory(const std::string& targetPath, const std::string& contentDirectory) {
    if (contentDirectory.empty()) return std::nullopt;
    fs::path base = fs::path(contentDirectory).lexically_normal();
    if (!base.has_filename()) base = base.parent_path();  // a trailing separator
    const fs::path relative = fs::path(targetPath).lexically_normal().lexically_relative(base);
    int components = 0;
    for (const fs::path& part : relative) {
        if (part.empty() || part == "." || part == "..") return std::nullopt;
        ++components;
    }
    if (components != 4) return std::nullopt;
    return base / *relative.begin();
}

struct DirectoryClose {
    void operator()(DIR* directory) const { ::closedir(directory); }
};
using DirectoryHandle = std::unique_ptr<DIR, DirectoryClose>;

// Depth first under `root`, in the order the directories list their entries: the first regular
// file (links followed) named `name` with `digest`, outside `targetDirectory`. Directories that
// may not be read are skipped, links to directories are not followed, and any other error ends
// the search. Each account is walked whole for every task that needs a medium, so the walk reads
// names as the directories list them and makes a path only for directories and candidates.
std::optional<fs::path> findSameNamedMedia(const fs::path& root, const fs::path& targetDirectory,
                                           const std::string& name, const std::string& digest) {
    struct Level {
        DirectoryHandle directory;
        fs::path path;
    };
    std::vector<Level> levels;
    DirectoryHandle top(::opendir(root.c_str()));
    if (!top) return std::nullopt;
    levels.push_back({std::move(top), root});
    while (!levels.empty()) {
        Level& level = levels.back();
        errno = 0;
        const dirent* entry = ::readdir(level.directory.get());
        if (entry == nullptr) {
            if (errno != 0) return std::nullopt;
            levels.pop_back();
            continue;
        }
        const std::string_view entryName(entry->d_name);
        if (entryName == "." || entryName == "..") continue;
        const int at = ::dirfd(level.directory.get());
        unsigned char type = entry->d_type;
        if (type == DT_UNKNOWN) {
            struct stat info {};
            if (::fstatat(at, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
            type = S_ISDIR(info.st_mode) ? DT_DIR : S_ISLNK(info.st_mode) ? DT_LNK : S_ISREG(info.st_mode) ? DT_REG : DT_UNKNOWN;
        }
        if (type == DT_DIR) {
            const int fd = ::openat(at, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd < 0) {
                if (errno == EACCES || errno == EPERM) continue;
                return std::nullopt;
            }
            DirectoryHandle below(::fdopendir(fd));
            if (!below) {
                ::close(fd);
                return std::nullopt;
            }
            fs::path path = level.path / entryName;  // `level` is not used after the push
            levels.push_back({std::move(below), std::move(path)});
            continue;
        }
        if (entryName != name || level.path == targetDirectory) continue;
        if (type != DT_REG) {
            struct stat info {};
            if (::fstatat(at, entry->d_name, &info, 0) != 0 || !S_ISREG(info.st_mode)) continue;
        }
        fs::path candidate = level.path / entryName;
        try {
            if (fileDigest(candidate.string(), digest) == digest) return candidate;
        } catch (const std::exception&) {
            // An unreadable candidate is no candidate.
        }
    }
    return std::nullopt;
}

std::string defaultContentDirectory() { return configBaseDirectory + "/" + sharedDefaults().programDirectoryName; }

// Everything one worker uses, resolved once.
struct Worker {
    Worker(ThreadSafeQueue& queue, const DownloadWorkerSettings& settings)
        : queue(queue),
          mesh(settings.mesh ? *settings.mesh : contentMesh()),
          jobs(settings.imageJobs ? *settings.imageJobs : imageJobQueue()),
          clock(settings.clock ? *settings.clock : systemClock()),
          out(settings.output ? *settings.output : std::cout),
          err(settings.errors ? *settings.errors : std::cerr),
          media(settings.media),
          meshFetch(settings.meshFetch),
          download(settings.download ? settings.download : MediaDownloader(&downloadFile)),
          sync(settings.sync ? *settings.sync : diskSyncSteps()),
          copySettings(settings) {
        if (copySettings.contentDirectory.empty()) copySettings.contentDirectory = defaultContentDirectory();
        copySettings.output = &out;
        copySettings.errors = &err;
        // A stopping queue ends every transfer: the player is going away, and a download of a
        // large video would otherwise hold its stop for up to two hours.
        ThreadSafeQueue* stopSource = &queue;
        media.shouldAbort = [stopSource, own = settings.media.shouldAbort] {
            return stopSource->stopping() || (own && own());
        };
        media.errors = &err;
        meshFetch.shouldAbort = [stopSource, own = settings.meshFetch.shouldAbort] {
            return stopSource->stopping() || (own && own());
        };
    }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    void process(const DownloadTask& task);
    bool attempts(const DownloadTask& task);
    void logMismatch(const std::string& digest, const std::string& expected, int attempt);

    ThreadSafeQueue& queue;
    ContentMesh& mesh;
    ImageJobQueue& jobs;
    Clock& clock;
    std::ostream& out;
    std::ostream& err;
    MediaRequestOptions media;
    MeshFetchOptions meshFetch;
    MediaDownloader download;
    SyncSteps& sync;
    DownloadWorkerSettings copySettings;
};

// Gives up this player's claim to fetch a hash from the origin, however the attempt that made
// the claim ends: a claim left behind makes the peers wait for this player for hours.
class OriginClaim {
public:
    OriginClaim(ContentMesh& mesh, const std::string& hash) : mesh_(mesh), hash_(hash) {}
    ~OriginClaim() {
        try {
            mesh_.forgetFile(hash_);
        } catch (...) {
            // Nothing of the task depends on it; the mesh drops stale claims when it stops.
        }
    }
    OriginClaim(const OriginClaim&) = delete;
    OriginClaim& operator=(const OriginClaim&) = delete;

private:
    ContentMesh& mesh_;
    const std::string& hash_;
};

void Worker::logMismatch(const std::string& digest, const std::string& expected, int attempt) {
    std::string line = "fileSHA1: ";
    line += colored(ansi::BOLD_RED, digest);
    line += colored(ansi::BOLD_WHITE, " MISSMATCH");
    line += " expectedHash: ";
    line += colored(ansi::BOLD_RED, expected);
    line += colored(ansi::BOLD_WHITE, " RETRY DOWNLOAD ... (");
    line += colored(ansi::BOLD_YELLOW, std::to_string(attempt));
    line += "/";
    line += colored(ansi::BOLD_RED, std::to_string(maxDownloadAttempts));
    line += ")";
    logText(err, line);
}

// True once the target holds the task's bytes.
bool Worker::attempts(const DownloadTask& task) {
    const std::string& target = task.targetPath;
    const std::string& sha1 = task.sha1;
    bool peerBytesFailed = false;
    for (int attempt = 0; attempt < maxDownloadAttempts;) {
        const std::string part = partialDownloadPath(target);

        // What is already on disk: the target itself, or a verified download that never made
        // it into place.
        try {
            if (somethingAt(target) && fileDigest(target, sha1) == sha1) {
                mesh.registerFile(sha1, target);
                return true;
            }
            if (somethingAt(part) && fileDigest(part, sha1) == sha1) {
                const std::error_code error = moveIntoPlace(part, target, sync);
                if (!error) {
                    mesh.registerFile(sha1, target);
                    return true;
                }
                logText(err, "Failed to move existing verified download into place: " + error.message());
            }
        } catch (const std::exception& error) {
            logText(err, std::string("Existing file content hash check failed: ") + error.what());
        }

        // The content into the ".part" file: another playlist's copy, a peer, or the origin.
        bool received = true;
        bool fromPeer = false;
        std::optional<OriginClaim> claim;
        if (!copyExistingMedia(task, part, copySettings)) {
            // Once a peer's bytes failed their check, the origin: asked again, the same holder
            // would answer first, and every attempt of the task would go the same way.
            const int meshResult = peerBytesFailed ? 0 : mesh.fetch(sha1, part, meshFetch);
            if (meshResult == 2) break;  // the mesh or the player is stopping: no more attempts
            fromPeer = meshResult == 1;
            if (meshResult == 1) {
                logLine(out, ansi::BOLD_GREEN, "[CONTENT MESH]", " Received " + sha1 + " from LAN peer");
            } else {
                claim.emplace(mesh, sha1);
                if (queue.stopping()) break;
                logLine(out, ansi::BOLD_GREEN, "[DOWNLOADING]", " " + task.url);
                if (!download(task.url, target, media)) {
                    logText(err, "Failed to download: " + colored(ansi::BOLD_RED, task.url));
                    if (queue.stopping()) break;
                    received = false;
                }
            }
        }

        // Checked, then into place.
        bool succeeded = false;
        if (received) {
            try {
                const std::string digest = fileDigest(part, sha1);
                if (digest == sha1) {
                    const std::error_code error = moveIntoPlace(part, target, sync);
                    if (error) {
                        logText(err, "Failed to move completed file into place: " + error.message());
                    } else {
                        mesh.registerFile(sha1, target);
                        succeeded = true;
                    }
                } else {
                    logMismatch(digest, sha1, attempt + 1);
                    removeQuietly(part);
                    peerBytesFailed = peerBytesFailed || fromPeer;
                }
            } catch (const std::exception& error) {
                logText(err, std::string("SHA1 check failed: ") + error.what());
                removeQuietly(part);
                peerBytesFailed = peerBytesFailed || fromPeer;
            }
        }
        claim.reset();  // after the registration: peers hear HAVE, not silence
        if (succeeded) return true;

        ++attempt;
        if (attempt < maxDownloadAttempts) clock.sleepFor(downloadRetryDelayMs);
    }
    return false;
}

void Worker::process(const DownloadTask& task) {
    bool succeeded = false;
    bool handedOver = false;
    try {
        const TargetLocks::Hold pathLock(targetLocks(), task.targetPath);
        try {
            succeeded = attempts(task);
            if (!succeeded) {
                logText(err, "Failed to process file with correct SHA1 after " +
                                 colored(ansi::BOLD_RED, std::to_string(maxDownloadAttempts)) + " attempts.");
            } else if (isResizableImage(task.targetPath)) {
                // From here on the image worker completes the task. A stopped image worker
                // takes nothing, and the task is completed here instead.
                handedOver = jobs.hand(task);
            }
        } catch (...) {
            succeeded = false;
            // Still under the path lock: the next task for this target may already be writing
            // its own ".part" once the lock is free.
            removeQuietly(partialDownloadPath(task.targetPath));
            throw;
        }
    } catch (const std::exception& error) {
        logLine(err, ansi::BOLD_RED, "[DOWNLOAD]",
                " Unexpected task failure for " + task.targetPath + ": " + error.what());
    } catch (...) {
        logLine(err, ansi::BOLD_RED, "[DOWNLOAD]", " Unknown task failure for " + task.targetPath);
    }
    // Outside the path lock: the queue's lock is never taken under it.
    if (!handedOver) queue.completeTask(task.groupId, succeeded);
}

}  // namespace

void downloadWorker(ThreadSafeQueue& queue) { downloadWorker(queue, DownloadWorkerSettings{}); }

void downloadWorker(ThreadSafeQueue& queue, const DownloadWorkerSettings& settings) {
    Worker worker(queue, settings);
    DownloadTask task;
    while (queue.pop(task)) worker.process(task);
}

bool copyExistingMedia(const DownloadTask& task, const std::string& partPath) {
    DownloadWorkerSettings settings;
    settings.contentDirectory = defaultContentDirectory();
    return copyExistingMedia(task, partPath, settings);
}

bool copyExistingMedia(const DownloadTask& task, const std::string& partPath, const DownloadWorkerSettings& settings) {
    std::ostream& out = settings.output ? *settings.output : std::cout;
    std::ostream& err = settings.errors ? *settings.errors : std::cerr;
    // Only the target's own account: another account's file is never used, whatever it holds.
    const std::optional<fs::path> root = accountDirectory(task.targetPath, settings.contentDirectory);
    if (!root) return false;
    std::error_code error;
    if (!fs::is_directory(*root, error)) return false;

    const fs::path target = fs::path(task.targetPath).lexically_normal();
    const std::optional<fs::path> source =
        findSameNamedMedia(*root, target.parent_path(), target.filename().string(), task.sha1);
    if (!source) return false;

    fs::copy_file(*source, partPath, fs::copy_options::overwrite_existing, error);
    if (error) {
        logText(err, "Failed to copy existing playlist media: " + error.message());
        removeQuietly(partPath);  // nothing half-copied stays behind
        return false;
    }
    std::string message = " ";
    message += quoted(*source).str();
    message += " -> ";
    message += task.targetPath;
    logLine(out, ansi::BOLD_GREEN, "[LOCAL COPY]", message);
    return true;
}

}  // namespace lumetta
