// The download workers against the loopback HTTPS test server, with the content mesh off unless
// a test starts one: what is on disk first, a copy from another playlist of the account, the
// origin last; five attempts on the manual clock; the flushes around a move into place; the stop
// of the queue; files that are not files; failures thrown from inside a task.
#include "content/download_worker.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <memory>
#include <mutex>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/config_store.h"
#include "core/file_utils.h"
#include "core/log.h"
#include "core/palette.h"
#include "core/unique_fd.h"
#include "support/https_server.h"
#include "support/lan.h"
#include "support/line_capture.h"
#include "support/manual_clock.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace lumetta {
namespace {

namespace fs = std::filesystem;
using testing::LineCapture;
using testing::ScopedEnvironmentVariable;
using testing::ScriptedResponse;
using testing::TempDir;
using testing::TestHttpsServer;

std::string hexDigest(const std::string& bytes, const EVP_MD* algorithm) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, algorithm, nullptr);
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text.push_back(digits[digest[i] >> 4]);
        text.push_back(digits[digest[i] & 0x0f]);
    }
    return text;
}
std::string sha1Of(const std::string& bytes) { return hexDigest(bytes, EVP_sha1()); }

std::string readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A small picture the image worker can read, different for every shade.
std::string picture(int shade) {
    std::vector<unsigned char> bytes;
    cv::imencode(".png", cv::Mat(6, 8, CV_8UC3, cv::Scalar(shade, 255 - shade, 40)), bytes);
    return std::string(bytes.begin(), bytes.end());
}

bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::size_t countStartingWith(const std::vector<std::string>& lines, const std::string& prefix) {
    return static_cast<std::size_t>(
        std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.starts_with(prefix); }));
}

std::string failureLine() {
    return "Failed to process file with correct SHA1 after " + std::string(ansi::BOLD_RED) + "5" +
           std::string(ansi::RESET) + " attempts.";
}

// Two download workers and an image worker on a queue of their own, content under
// <temp>/lumetta/<account>/main/<playlist>/, media served by the loopback HTTPS server.
class DownloadWorkerTest : public ::testing::Test {
protected:
    DownloadWorkerTest() : trust("SSL_CERT_FILE", server.caFile().string()) {
        clock.setAutoAdvance(true);  // every pause passes at once, and adds to the clock
        settings.mesh = &mesh;
        settings.imageJobs = &jobs;
        settings.clock = &clock;
        settings.contentDirectory = content().string();
        settings.output = &out;
        settings.errors = &err;
    }
    ~DownloadWorkerTest() override { stopWorkers(); }

    fs::path content() const { return dir / "lumetta"; }
    fs::path target(const std::string& file, const std::string& account = "acme",
                    const std::string& playlist = "lobby") const {
        return content() / account / "main" / playlist / file;
    }
    // A task for `file` in the lobby playlist, served at /media/<file> with `body`.
    DownloadTask task(const std::string& file, const std::string& digest, std::uint64_t group = 0) {
        fs::create_directories(target(file).parent_path());
        return {server.url("/media/" + file), target(file).string(), 100000, 100000, digest, group};
    }
    DownloadTask served(const std::string& file, const std::string& body, std::uint64_t group = 0) {
        server.respond("/media/" + file, {.body = body});
        return task(file, sha1Of(body), group);
    }
    std::size_t requestsFor(const std::string& file) const {
        std::size_t n = 0;
        for (const auto& request : server.requests()) n += request.path == "/media/" + file ? 1 : 0;
        return n;
    }

    void startDownloadWorkers() {
        for (int i = 0; i < 2; ++i) downloadWorkers.emplace_back([this] { downloadWorker(queue, settings); });
    }
    void startImageWorker() {
        imageWorker = std::thread([this] { imageProcessingWorker(queue, jobs); });
    }
    void stopDownloadWorkers() {
        queue.stop();
        for (auto& worker : downloadWorkers) worker.join();
        downloadWorkers.clear();
    }
    void stopWorkers() {
        stopDownloadWorkers();
        jobs.stop();
        if (imageWorker.joinable()) imageWorker.join();
    }
    // Runs the tasks to their end through both download workers and the image worker.
    void run(const std::vector<DownloadTask>& tasks) {
        startDownloadWorkers();
        startImageWorker();
        for (const DownloadTask& each : tasks) ASSERT_TRUE(queue.push(each));
        EXPECT_TRUE(queue.waitUntilNothingPending(60'000));
        stopWorkers();
    }
    bool succeeded(std::uint64_t group) const { return queue.groupSucceeded(group); }
    bool failed(std::uint64_t group) const {
        const auto state = queue.group(group);
        return state && state->pending == 0 && state->failed;
    }

    TempDir dir;
    TestHttpsServer server;
    ScopedEnvironmentVariable trust;
    testing::ManualClock clock;
    ContentMesh mesh;  // never started: the mesh is off
    PreparedImageCache cache;
    ThreadSafeQueue queue{cache};
    ImageJobQueue jobs;
    LineCapture out;
    LineCapture err;
    DownloadWorkerSettings settings;
    std::vector<std::thread> downloadWorkers;
    std::thread imageWorker;
};

TEST_F(DownloadWorkerTest, UsesWhatIsOnDiskAndReplacesATargetOnlyWithVerifiedBytes) {
    const std::string fresh = picture(10);
    const std::string stale = picture(200);
    const struct {
        const char* file;
        std::optional<std::string> target;  // on disk before the task
        std::optional<std::string> part;
        std::size_t requests;
        bool replaced;  // the reduced copies of the old picture go with it
    } cases[] = {
        {"verified.png", fresh, std::nullopt, 0, false},
        {"leftover.png", std::nullopt, fresh, 0, true},
        {"leftover-over-stale.png", stale, fresh, 0, true},
        {"stale-both.png", stale, picture(90), 1, true},
        {"stale.png", stale, std::nullopt, 1, true},
    };
    std::vector<DownloadTask> tasks;
    const std::uint64_t group = queue.createGroup();
    for (const auto& c : cases) {
        tasks.push_back(served(c.file, fresh, group));
        const fs::path path = target(c.file);
        if (c.target) testing::writeTestFile(path, *c.target);
        if (c.part) testing::writeTestFile(partialDownloadPath(path.string()), *c.part);
        for (const char* label : {"HD", "FHD", "4K"}) testing::writeTestFile(path.parent_path() / label / c.file, "copy");
    }
    run(tasks);

    EXPECT_TRUE(succeeded(group));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const fs::path path = target(c.file);
        EXPECT_EQ(requestsFor(c.file), c.requests);
        EXPECT_TRUE(readAll(path) == fresh);
        EXPECT_FALSE(fs::exists(partialDownloadPath(path.string())));
        for (const char* label : {"HD", "FHD", "4K"}) EXPECT_EQ(fs::exists(path.parent_path() / label / c.file), !c.replaced);
    }
    // Every picture was prepared for its playlist by the image worker.
    EXPECT_EQ(cache.entryCount(), std::size(cases));
}

// Flushes for real, and records each flush: the file flushed (by name) with the bytes it holds,
// or the directory, each with what the target held at that moment. The file flush can be made
// to fail.
struct RecordedSync final : SyncSteps {
    std::mutex mutex;
    std::string target;
    bool failFile = false;
    std::vector<std::string> steps;

    bool syncFile(int fd) override {
        const fs::path file = fs::read_symlink("/proc/self/fd/" + std::to_string(fd));
        const std::lock_guard lock(mutex);
        steps.push_back("file " + file.filename().string() + " '" + readAll(file) + "', target '" + readAll(target) + "'");
        if (failFile) {
            errno = EIO;
            return false;
        }
        return SyncSteps::syncFile(fd);
    }
    bool syncDirectory(const fs::path& directory) override {
        {
            const std::lock_guard lock(mutex);
            steps.push_back("directory " + directory.string() + ", target '" + readAll(target) + "'");
        }
        return SyncSteps::syncDirectory(directory);
    }
    void expect(const std::string& newTarget, bool fail) {
        const std::lock_guard lock(mutex);
        target = newTarget;
        failFile = fail;
        steps.clear();
    }
    std::vector<std::string> taken() {
        const std::lock_guard lock(mutex);
        return steps;
    }
};

// The verified ".part" reaches the disk before it is renamed over the target, and the directory
// after the rename: after a power cut the target holds its old bytes or the new ones, never a
// new name over bytes not yet written. A flush that fails is a failed move.
TEST_F(DownloadWorkerTest, FlushesAVerifiedFileBeforeItsRenameAndTheDirectoryAfterIt) {
    RecordedSync sync;
    settings.sync = &sync;
    startDownloadWorkers();

    const DownloadTask flushed = served("flushed.mp4", "new bytes", queue.createGroup());
    testing::writeTestFile(flushed.targetPath, "old bytes");
    sync.expect(flushed.targetPath, false);
    ASSERT_TRUE(queue.push(flushed));
    ASSERT_TRUE(queue.waitForGroup(flushed.groupId, 60'000));
    EXPECT_TRUE(succeeded(flushed.groupId));
    EXPECT_EQ(sync.taken(), (std::vector<std::string>{
                                "file flushed.mp4.part 'new bytes', target 'old bytes'",
                                "directory " + fs::path(flushed.targetPath).parent_path().string() + ", target 'new bytes'",
                            }));

    // Every attempt's flush fails: the target keeps its old bytes and the task fails.
    const DownloadTask refused = served("refused.mp4", "newer bytes", queue.createGroup());
    testing::writeTestFile(refused.targetPath, "old bytes");
    sync.expect(refused.targetPath, true);
    ASSERT_TRUE(queue.push(refused));
    ASSERT_TRUE(queue.waitForGroup(refused.groupId, 60'000));
    stopDownloadWorkers();
    EXPECT_TRUE(failed(refused.groupId));
    EXPECT_EQ(readAll(refused.targetPath), "old bytes");
    const std::vector<std::string> steps = sync.taken();
    EXPECT_EQ(std::set<std::string>(steps.begin(), steps.end()),
              std::set<std::string>{"file refused.mp4.part 'newer bytes', target 'old bytes'"})
        << "nothing renamed, so no directory flushed";
    EXPECT_EQ(countStartingWith(err.lines(), "Failed to move completed file into place: " + std::string(std::strerror(EIO))),
              5u);
}

TEST_F(DownloadWorkerTest, PicturesAreCompletedByTheImageWorkerAndEverythingElseHere) {
    const std::uint64_t pictures = queue.createGroup();
    const std::uint64_t others = queue.createGroup();
    const std::uint64_t broken = queue.createGroup();
    startDownloadWorkers();
    for (const char* file : {"a.PNG", "b.jpeg", "c.Jpg"}) ASSERT_TRUE(queue.push(served(file, picture(50), pictures)));
    ASSERT_TRUE(queue.push(served("clip.mp4", "video bytes", others)));
    ASSERT_TRUE(queue.push(served("clip.png.mp4", "more video bytes", others)));
    ASSERT_TRUE(queue.push(task("missing.png", sha1Of("never served"), broken)));  // 404 each time
    // The verified pictures reach the image job queue; taken here to look at, then put back.
    std::vector<DownloadTask> handed(3);
    for (DownloadTask& job : handed) ASSERT_TRUE(jobs.take(job));
    EXPECT_TRUE(queue.waitForGroup(others, 60'000));
    EXPECT_TRUE(queue.waitForGroup(broken, 60'000));
    stopDownloadWorkers();

    // The download workers are done: videos and the failed picture counted off, the verified
    // pictures still pending.
    EXPECT_TRUE(succeeded(others));
    EXPECT_TRUE(failed(broken));
    ASSERT_TRUE(queue.group(pictures).has_value());
    EXPECT_EQ(queue.group(pictures)->pending, 3u);
    EXPECT_EQ(jobs.size(), 0u);

    for (const DownloadTask& job : handed) ASSERT_TRUE(jobs.hand(job));
    startImageWorker();
    stopWorkers();
    EXPECT_TRUE(succeeded(pictures));
    EXPECT_EQ(queue.pendingTotal(), 0u);
}

// A picture in a layer larger than any display class (a wall canvas) needs no reduced copy: its
// group succeeds, so the playlist holding it can be activated.
TEST_F(DownloadWorkerTest, APictureForALayerLargerThan4KCountsAsDone) {
    std::vector<unsigned char> bytes;
    cv::imencode(".png", cv::Mat(2600, 3200, CV_8UC3, cv::Scalar(10, 20, 30)), bytes);
    const std::uint64_t group = queue.createGroup();
    DownloadTask wall = served("wall.png", std::string(bytes.begin(), bytes.end()), group);
    wall.targetWidth = 3000;
    wall.targetHeight = 2500;
    run({wall});
    EXPECT_TRUE(succeeded(group));
    EXPECT_TRUE(cache.contains(wall.targetPath));
    for (const char* label : {"HD", "FHD", "4K"}) EXPECT_FALSE(fs::exists(target(label))) << label;
}

TEST_F(DownloadWorkerTest, CopiesFromAnotherPlaylistOfTheSameAccountOnly) {
    const std::string body = "shared media";
    const struct {
        const char* file;  // the task's file in the lobby playlist of "acme"
        fs::path source;   // a file with the right digest (or a link to one)
        std::string sourceBody;
        bool copied;
        fs::path link{};   // when set: a link here to the source's directory (or to the source)
    } cases[] = {
        {"a.mp4", target("a.mp4", "acme", "hall"), body, true},
        {"b.mp4", content() / "acme" / "spring" / "hall" / "b.mp4", body, true},  // another branch
        {"c.mp4", target("FHD/c.mp4", "acme", "hall"), body, true},               // deeper down
        {"d.mp4", target("d.mp4", "rival", "lobby"), body, false},                // another account
        {"e.mp4", dir / "e.mp4", body, false},                                    // outside the content
        {"f.mp4", target("f.mp4", "acme", "hall"), "other media", false},         // other bytes
        {"g.mp4", target("g-copy.mp4", "acme", "hall"), body, false},             // another name
        // A linked directory is not entered; a linked file counts as the file.
        {"h.mp4", dir / "linked-directory" / "h.mp4", body, false, content() / "acme" / "main" / "linked"},
        {"i.mp4", dir / "elsewhere" / "i.mp4", body, true, target("i.mp4", "acme", "hall")},
    };
    std::vector<DownloadTask> tasks;
    for (const auto& c : cases) {
        testing::writeTestFile(c.source, c.sourceBody);
        if (!c.link.empty()) {
            fs::create_directories(c.link.parent_path());
            if (c.link.filename() == c.file) {
                fs::create_symlink(c.source, c.link);
            } else {
                fs::create_directory_symlink(c.source.parent_path(), c.link);
            }
        }
        tasks.push_back(served(c.file, body, queue.createGroup()));
    }
    run(tasks);

    const std::vector<std::string> lines = out.lines();
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.file);
        const DownloadTask& t = tasks[i];
        EXPECT_TRUE(succeeded(t.groupId));
        EXPECT_TRUE(readAll(t.targetPath) == body);
        EXPECT_EQ(requestsFor(c.file), c.copied ? 0u : 1u);
        const fs::path named = c.copied && !c.link.empty() ? c.link : c.source;  // the path as found
        const std::string copyLine = std::string(ansi::BOLD_GREEN) + "[LOCAL COPY]" + std::string(ansi::RESET) + " " +
                                     quoted(named).str() + " -> " + t.targetPath;
        EXPECT_EQ(contains(lines, copyLine), c.copied);
        EXPECT_TRUE(readAll(c.source) == c.sourceBody);  // the source is left as it was
    }
}

// A target that does not lie at <content>/<account>/<branch>/<playlist>/<file> has no account
// to search: nothing is copied, and no directory outside an account is even opened, though a
// same-named file with the right digest lies beside the content directory and in another account.
TEST_F(DownloadWorkerTest, ATargetWithoutAnAccountOfItsOwnIsCopiedFromNowhere) {
    const std::string body = "shared media";
    const fs::path beside = dir / "stash";
    const fs::path otherAccount = content() / "rival";
    testing::writeTestFile(beside / "x.mp4", body);
    testing::writeTestFile(otherAccount / "main" / "lobby" / "x.mp4", body);
    // Every open of those directories (or of anything in them) shows up here.
    const UniqueFd watch(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    ASSERT_TRUE(watch) << std::strerror(errno);
    for (const fs::path& watched : {beside, otherAccount}) {
        ASSERT_GE(::inotify_add_watch(watch.get(), watched.c_str(), IN_OPEN | IN_ACCESS), 0) << std::strerror(errno);
    }

    const struct {
        const char* name;
        std::string target;
    } cases[] = {
        {"account ..", content().string() + "/../main/lobby/x.mp4"},
        {"account .", content().string() + "/./main/lobby/x.mp4"},
        {"empty account", content().string() + "//main/lobby/x.mp4"},
        {"outside the content directory", (dir / "elsewhere" / "main" / "lobby" / "x.mp4").string()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const DownloadTask t{server.url("/media/x.mp4"), c.target, 0, 0, sha1Of(body), 0};
        const std::string part = (dir / "x.mp4.part").string();
        EXPECT_FALSE(copyExistingMedia(t, part, settings));
        EXPECT_FALSE(fs::exists(part));
        char events[4096];
        EXPECT_EQ(::read(watch.get(), events, sizeof events), -1) << "a directory outside the account was opened";
        EXPECT_EQ(errno, EAGAIN);
    }
    EXPECT_TRUE(out.lines().empty());
}

TEST_F(DownloadWorkerTest, AServerThatAlwaysSendsWrongBytesFailsAfterFiveNumberedAttempts) {
    const DownloadTask t = task("wrong.mp4", sha1Of("right"), queue.createGroup());
    server.respond("/media/wrong.mp4", {.body = "wrong"});
    testing::writeTestFile(t.targetPath, "old");
    const std::int64_t start = clock.steadyMs();
    run({t});

    EXPECT_TRUE(failed(t.groupId));
    EXPECT_EQ(requestsFor("wrong.mp4"), 5u);
    EXPECT_EQ(clock.steadyMs() - start, 4 * downloadRetryDelayMs);  // four pauses, none after the last
    std::vector<std::string> expected;
    for (int attempt = 1; attempt <= 5; ++attempt) {
        expected.push_back("fileSHA1: " + colored(ansi::BOLD_RED, sha1Of("wrong")) +
                           colored(ansi::BOLD_WHITE, " MISSMATCH") + " expectedHash: " +
                           colored(ansi::BOLD_RED, t.sha1) + colored(ansi::BOLD_WHITE, " RETRY DOWNLOAD ... (") +
                           colored(ansi::BOLD_YELLOW, std::to_string(attempt)) + "/" +
                           colored(ansi::BOLD_RED, "5") + ")");
    }
    expected.push_back(failureLine());
    EXPECT_EQ(err.lines(), expected);
    const std::string downloading = std::string(ansi::BOLD_GREEN) + "[DOWNLOADING]" + std::string(ansi::RESET) + " " + t.url;
    EXPECT_EQ(out.lines(), std::vector<std::string>(5, downloading));
    // A target with the wrong bytes is only ever replaced by verified ones.
    EXPECT_EQ(readAll(t.targetPath), "old");
    EXPECT_FALSE(fs::exists(partialDownloadPath(t.targetPath)));
}

TEST_F(DownloadWorkerTest, DigestsAreCheckedAsLowerCaseTextOfTheirOwnLength) {
    const std::string body = "checked bytes";
    const struct {
        const char* file;
        std::string digest;
        bool succeeds;
        std::size_t requests;
    } cases[] = {
        {"lower.mp4", sha1Of(body), true, 1},
        {"sha256.mp4", hexDigest(body, EVP_sha256()), true, 1},
        {"upper.mp4", [&] {
             std::string d = sha1Of(body);
             std::transform(d.begin(), d.end(), d.begin(), ::toupper);
             return d;
         }(), false, 5},
        {"sha1-as-sha256.mp4", sha1Of(body) + std::string(24, '0'), false, 5},
    };
    std::vector<DownloadTask> tasks;
    for (const auto& c : cases) {
        server.respond(std::string("/media/") + c.file, {.body = body});
        tasks.push_back(task(c.file, c.digest, queue.createGroup()));
    }
    run(tasks);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].file);
        EXPECT_EQ(succeeded(tasks[i].groupId), cases[i].succeeds);
        EXPECT_EQ(requestsFor(cases[i].file), cases[i].requests);
        EXPECT_EQ(fs::exists(tasks[i].targetPath), cases[i].succeeds);
    }
}

TEST_F(DownloadWorkerTest, AStoppedMeshEndsATaskThatNeedsATransferAtOnce) {
    mesh.stop();
    const DownloadTask missing = served("missing.mp4", "bytes", queue.createGroup());
    const DownloadTask present = served("present.mp4", "held", queue.createGroup());
    testing::writeTestFile(present.targetPath, "held");
    const std::int64_t start = clock.steadyMs();
    run({missing, present});

    EXPECT_TRUE(failed(missing.groupId));
    EXPECT_TRUE(succeeded(present.groupId));
    EXPECT_EQ(server.requestCount(), 0u);
    EXPECT_EQ(clock.steadyMs(), start);  // no pause
    EXPECT_EQ(err.lines(), std::vector<std::string>{failureLine()});
}

TEST_F(DownloadWorkerTest, TwoTasksForOneTargetRunOneAfterTheOther) {
    const std::string body = "one target";
    server.respond("/media/same.mp4", {.body = body, .delayMs = 300});
    const std::uint64_t group = queue.createGroup();
    const DownloadTask t = task("same.mp4", sha1Of(body), group);
    // Both workers are waiting, so each takes one of the two at once.
    startDownloadWorkers();
    ASSERT_TRUE(queue.push(t));
    ASSERT_TRUE(queue.push(t));
    EXPECT_TRUE(queue.waitUntilNothingPending(60'000));
    stopWorkers();

    EXPECT_TRUE(succeeded(group));
    EXPECT_EQ(requestsFor("same.mp4"), 1u);  // the second found the first one's file in place
    EXPECT_TRUE(readAll(t.targetPath) == body);
    EXPECT_TRUE(err.lines().empty());
}

// A transfer that stalls for hours holds up only tasks for its own target: the other worker
// goes on with the next medium, also one whose path hash falls into the same of sixteen slots.
TEST_F(DownloadWorkerTest, AStalledTransferHoldsUpOnlyItsOwnTarget) {
    const auto slot = [&](const std::string& file) { return std::hash<std::string>{}(target(file).string()) % 16; };
    std::string other = "alert1.mp4";
    for (int n = 2; slot(other) != slot("stalled.mp4"); ++n) other = "alert" + std::to_string(n) + ".mp4";
    const std::string big(200'000, 'v');
    server.respond("/media/stalled.mp4", {.body = big, .stallAfter = 1000, .stallMs = 600'000});
    const std::uint64_t stalled = queue.createGroup();
    const std::uint64_t urgent = queue.createGroup();
    startDownloadWorkers();
    ASSERT_TRUE(queue.push(task("stalled.mp4", sha1Of(big), stalled)));
    ASSERT_TRUE(server.waitForRequests(1));
    ASSERT_TRUE(queue.push(served(other, "alert clip", urgent)));

    EXPECT_TRUE(queue.waitForGroup(urgent, 20'000));
    EXPECT_TRUE(succeeded(urgent));
    EXPECT_TRUE(readAll(target(other)) == "alert clip");
    const auto still = queue.group(stalled);
    ASSERT_TRUE(still.has_value());
    EXPECT_EQ(still->pending, 1u);  // the stalled one is still on its way
    stopWorkers();
    EXPECT_TRUE(failed(stalled));
}

TEST_F(DownloadWorkerTest, AStopAbortsRunningDownloadsAndDrainsTheQueuedTasks) {
    // Two downloads that stall after a few bytes keep both workers busy.
    const std::string big(200'000, 'v');
    const std::string second = "slow2.mp4";
    const std::uint64_t slow = queue.createGroup();
    for (const std::string& file : {std::string("slow1.mp4"), second}) {
        server.respond("/media/" + file, {.body = big, .stallAfter = 1000, .stallMs = 600'000});
    }
    startDownloadWorkers();
    startImageWorker();
    ASSERT_TRUE(queue.push(task("slow1.mp4", sha1Of(big), slow)));
    ASSERT_TRUE(queue.push(task(second, sha1Of(big), slow)));
    ASSERT_TRUE(server.waitForRequests(2));

    // Queued behind them: files at hand, and one that needs the network.
    const std::uint64_t atHand = queue.createGroup();
    const std::uint64_t needsNetwork = queue.createGroup();
    const DownloadTask present = served("present.mp4", "held", atHand);
    testing::writeTestFile(present.targetPath, "held");
    const DownloadTask image = served("present.png", picture(3), atHand);
    testing::writeTestFile(image.targetPath, picture(3));
    ASSERT_TRUE(queue.push(present));
    ASSERT_TRUE(queue.push(image));
    ASSERT_TRUE(queue.push(served("missing.mp4", "bytes", needsNetwork)));
    const std::int64_t pausesBefore = clock.steadyMs();

    const auto stopStarted = std::chrono::steady_clock::now();
    stopDownloadWorkers();
    // A generous ceiling: libcurl asks about the stop once a second.
    EXPECT_LT(std::chrono::steady_clock::now() - stopStarted, std::chrono::seconds(5));
    stopWorkers();

    EXPECT_TRUE(failed(slow));
    EXPECT_TRUE(succeeded(atHand));
    EXPECT_TRUE(failed(needsNetwork));
    EXPECT_EQ(queue.pendingTotal(), 0u);
    EXPECT_EQ(server.requestCount(), 2u);  // nothing started after the stop, nothing retried
    EXPECT_EQ(clock.steadyMs(), pausesBefore);
    const std::vector<std::string> lines = err.lines();
    EXPECT_EQ(countStartingWith(lines, "Failed to download: "), 2u);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), failureLine()), 3);
    for (const std::string& file : {std::string("slow1.mp4"), second, std::string("missing.mp4")}) {
        EXPECT_FALSE(fs::exists(partialDownloadPath(target(file).string()))) << file;
        EXPECT_FALSE(fs::exists(target(file))) << file;
    }
}

TEST_F(DownloadWorkerTest, TargetsThatAreNotFilesAreReplacedOrFailWithoutHanging) {
    const std::string body = "media bytes";
    const struct {
        const char* file;
        void (*make)(const fs::path&);
        bool succeeds;
        std::size_t requests;
        const char* errorStart;  // a line of err that starts so
    } cases[] = {
        {"fifo.mp4", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, true, 1,
         "Existing file content hash check failed: Could not open file: "},
        {"empty-dir.mp4", [](const fs::path& p) { fs::create_directory(p); }, true, 1,
         "Existing file content hash check failed: Could not open file: "},
        {"full-dir.mp4", [](const fs::path& p) { testing::writeTestFile(p / "inside", "x"); }, false, 5,
         "Failed to move completed file into place: "},
    };
    std::vector<DownloadTask> tasks;
    for (const auto& c : cases) {
        tasks.push_back(served(c.file, body, queue.createGroup()));
        c.make(target(c.file));
    }
    run(tasks);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.file);
        EXPECT_EQ(succeeded(tasks[i].groupId), c.succeeds);
        EXPECT_EQ(requestsFor(c.file), c.requests);
        EXPECT_GT(countStartingWith(err.lines(), c.errorStart), 0u);
        if (c.succeeds) {
            EXPECT_TRUE(readAll(target(c.file)) == body);
            EXPECT_FALSE(fs::exists(partialDownloadPath(target(c.file).string())));
        } else {
            // The verified bytes that could not be moved stay for the next task of the target.
            EXPECT_TRUE(fs::exists(target(c.file) / "inside"));
            EXPECT_TRUE(readAll(partialDownloadPath(target(c.file).string())) == body);
        }
    }
}

TEST_F(DownloadWorkerTest, AFailureThrownInsideATaskFailsItOnceAndLeavesNoPartialFile) {
    settings.download = [](const std::string& url, const std::string& targetPath, const MediaRequestOptions&) -> bool {
        testing::writeTestFile(partialDownloadPath(targetPath), "half");
        if (url.ends_with("standard.mp4")) throw std::runtime_error("injected");
        throw 42;
    };
    // A verified picture of the same group stays pending with the image worker (never started
    // here): a second completion of a failed task would show as a group with nothing pending.
    const std::uint64_t group = queue.createGroup();
    const DownloadTask held = served("held.png", picture(7), group);
    testing::writeTestFile(held.targetPath, picture(7));
    const DownloadTask standard = served("standard.mp4", "x", group);
    const DownloadTask other = served("other.mp4", "y", group);
    startDownloadWorkers();
    for (const DownloadTask& t : {held, standard, other}) ASSERT_TRUE(queue.push(t));
    EXPECT_TRUE(err.waitForLineCount(2));  // one line for each failure
    stopDownloadWorkers();

    ASSERT_TRUE(queue.group(group).has_value());
    EXPECT_EQ(queue.group(group)->pending, 1u);
    EXPECT_TRUE(queue.group(group)->failed);
    EXPECT_EQ(jobs.size(), 1u);
    const std::vector<std::string> lines = err.lines();
    EXPECT_TRUE(contains(lines, std::string(ansi::BOLD_RED) + "[DOWNLOAD]" + std::string(ansi::RESET) +
                                    " Unexpected task failure for " + standard.targetPath + ": injected"));
    EXPECT_TRUE(contains(lines, std::string(ansi::BOLD_RED) + "[DOWNLOAD]" + std::string(ansi::RESET) +
                                    " Unknown task failure for " + other.targetPath));
    for (const DownloadTask& t : {standard, other}) EXPECT_FALSE(fs::exists(partialDownloadPath(t.targetPath)));
}

// With a mesh of its own running (alone on the network of this test), a player announces what
// it verified and gives up its claim on a file however the attempt ends.
TEST_F(DownloadWorkerTest, AnnouncesVerifiedFilesAndReleasesItsClaimOnEveryWayOut) {
    LUMETTA_REQUIRE_PRIVATE_NETWORK();
    ASSERT_TRUE(testing::enterFreshNetworkNamespace());
    // The loopback server was made in the former namespace: one for this one.
    TestHttpsServer local;
    ScopedEnvironmentVariable localTrust("SSL_CERT_FILE", local.caFile().string());
    fs::create_directories(content());
    ASSERT_TRUE(setConfigString(dir.str(), "groupId", "lobby"));
    ContentMesh lanMesh(ContentMeshSettings{.errors = &err});
    ASSERT_TRUE(lanMesh.start(dir.str(), "A1"));
    settings.mesh = &lanMesh;
    settings.download = [](const std::string& url, const std::string& targetPath, const MediaRequestOptions& options) {
        if (url.ends_with("thrown.mp4")) throw std::runtime_error("injected");
        return downloadFile(url, targetPath, options);
    };

    const std::uint64_t group = queue.createGroup();
    const std::string heldBody = "held", fetchedBody = "fetched";
    DownloadTask held = task("held.mp4", sha1Of(heldBody), group);
    testing::writeTestFile(held.targetPath, heldBody);
    DownloadTask fetched = task("fetched.mp4", sha1Of(fetchedBody), group);
    local.respond("/media/fetched.mp4", {.body = fetchedBody});
    fetched.url = local.url("/media/fetched.mp4");
    DownloadTask thrown = task("thrown.mp4", sha1Of("never"), group);
    thrown.url = local.url("/media/thrown.mp4");
    run({held, fetched, thrown});

    EXPECT_TRUE(failed(group));
    EXPECT_EQ(lanMesh.findLocalContent(held.sha1), fs::canonical(held.targetPath));
    EXPECT_EQ(lanMesh.findLocalContent(fetched.sha1), fs::canonical(fetched.targetPath));
    EXPECT_FALSE(lanMesh.findLocalContent(thrown.sha1).has_value());
    for (const DownloadTask& t : {held, fetched, thrown}) {
        EXPECT_FALSE(lanMesh.fetchingHere(t.sha1)) << t.targetPath;
        EXPECT_TRUE(lanMesh.intentDevices(t.sha1).empty()) << t.targetPath;
    }
    EXPECT_EQ(local.requestCount(), 1u);
    lanMesh.stop();
}

// Two players, each in a namespace of its own on the test LAN with the service on a third host:
// both want one file at once; one fetches it from the service, the other copies it from that player.
// A player of the group "lobby" on a host of the test LAN: its mesh and, when asked, its two
// download workers run inside the host's namespace (with every socket they open). Stopped and
// joined when it goes.
struct LanPlayer {
    LanPlayer() = default;
    LanPlayer(const LanPlayer&) = delete;
    LanPlayer& operator=(const LanPlayer&) = delete;
    ~LanPlayer() {
        mesh.stop();
        queue.stop();
        for (auto& worker : workers) worker.join();
    }
    std::string target() const { return (dir / "lumetta" / "acme" / "main" / "lobby" / "clip.mp4").string(); }
    void start(testing::LanHost& host, const std::string& id, bool withWorkers = true) {
        fs::create_directories(fs::path(target()).parent_path());
        ASSERT_TRUE(setConfigString(dir.str(), "groupId", "lobby"));
        settings.mesh = &mesh;
        settings.imageJobs = &jobs;
        settings.contentDirectory = (dir / "lumetta").string();
        settings.output = &out;
        settings.errors = &err;
        host.runInside([&] {
            ASSERT_TRUE(mesh.start(dir.str(), id));
            if (!withWorkers) return;
            for (int w = 0; w < 2; ++w) workers.emplace_back([this] { downloadWorker(queue, settings); });
        });
    }

    TempDir dir;
    ContentMesh mesh;
    PreparedImageCache cache;
    ThreadSafeQueue queue{cache};
    ImageJobQueue jobs;
    LineCapture out, err;
    DownloadWorkerSettings settings;
    std::vector<std::thread> workers;
};

// The service on a host of its own, its certificates trusted by `authority`.
std::unique_ptr<TestHttpsServer> serviceOn(testing::LanHost& host, testing::TestCertificateAuthority& authority) {
    std::unique_ptr<TestHttpsServer> service;
    host.runInside([&] {
        service = std::make_unique<TestHttpsServer>(
            TestHttpsServer::Options{.address = host.address(), .authority = &authority});
    });
    return service;
}

TEST(DownloadWorkerLan, APlayerCopiesFromThePeerThatFetchedTheFileFromTheService) {
    LUMETTA_REQUIRE_PRIVATE_NETWORK();
    testing::Lan lan;
    testing::LanHost& first = lan.addHost();
    testing::LanHost& second = lan.addHost();
    testing::LanHost& serviceHost = lan.addHost();
    testing::TestCertificateAuthority authority;
    const std::unique_ptr<TestHttpsServer> service = serviceOn(serviceHost, authority);
    ScopedEnvironmentVariable trust("SSL_CERT_FILE", authority.caFile().string());
    const std::string body(300'000, 'm');
    service->respond("/videos/clip.mp4", {.body = body});

    LanPlayer players[2];
    players[0].start(first, "A1");
    players[1].start(second, "B7");
    // Both players want the file at once.
    const std::string hash = sha1Of(body);
    std::uint64_t groups[2];
    for (int i = 0; i < 2; ++i) {
        groups[i] = players[i].queue.createGroup();
        ASSERT_TRUE(players[i].queue.push({service->url("/videos/clip.mp4"), players[i].target(), 0, 0, hash, groups[i]}));
    }
    for (int i = 0; i < 2; ++i) EXPECT_TRUE(players[i].queue.waitForGroup(groups[i], 60'000));

    // One of them (which one depends on who announced first) went to the service, the other
    // copied from it.
    EXPECT_EQ(service->requestCount(), 1u);
    const std::string downloading =
        std::string(ansi::BOLD_GREEN) + "[DOWNLOADING]" + std::string(ansi::RESET) + " " + service->url("/videos/clip.mp4");
    const std::string received =
        std::string(ansi::BOLD_GREEN) + "[CONTENT MESH]" + std::string(ansi::RESET) + " Received " + hash + " from LAN peer";
    const int origin = contains(players[0].out.lines(), downloading) ? 0 : 1;
    EXPECT_TRUE(contains(players[origin].out.lines(), downloading));
    EXPECT_EQ(players[1 - origin].out.lines(), std::vector<std::string>{received});
    for (LanPlayer& p : players) {
        EXPECT_TRUE(p.queue.groupSucceeded(groups[&p - players]));
        EXPECT_TRUE(readAll(p.target()) == body);
        EXPECT_EQ(p.mesh.findLocalContent(hash), fs::canonical(p.target()));
    }
}

// A full file system under the content: the copy from another playlist and the download both
// fail, each attempt logs why, and the task fails with nothing half-written left behind.
// A holder whose file changed on disk after it was indexed offers bytes that fail their check.
// The requester gets the file from the service within the same task instead of asking the same
// holder again, and the holder, having served the whole of it, stops offering it.
TEST(DownloadWorkerLan, BadBytesFromAPeerSendTheTaskToTheServiceAndTheHolderStopsOfferingThem) {
    LUMETTA_REQUIRE_PRIVATE_NETWORK();
    testing::Lan lan;
    testing::LanHost* hosts[3] = {&lan.addHost(), &lan.addHost(), &lan.addHost()};
    testing::LanHost& serviceHost = lan.addHost();
    testing::TestCertificateAuthority authority;
    const std::unique_ptr<TestHttpsServer> service = serviceOn(serviceHost, authority);
    ScopedEnvironmentVariable trust("SSL_CERT_FILE", authority.caFile().string());
    const std::string body(300'000, 'm');
    const std::string hash = sha1Of(body);
    service->respond("/videos/clip.mp4", {.body = body});

    LanPlayer players[3];  // the holder, then two requesters; only the first requester fetches
    players[0].start(*hosts[0], "H0", false);
    players[1].start(*hosts[1], "R1");
    players[2].start(*hosts[2], "R2", false);
    LanPlayer& holder = players[0];
    testing::writeTestFile(holder.target(), body);
    holder.mesh.registerFile(hash, holder.target());
    testing::writeTestFile(holder.target(), std::string(body.size(), 'x'));  // changed after indexing

    LanPlayer& requester = players[1];
    const std::uint64_t group = requester.queue.createGroup();
    ASSERT_TRUE(requester.queue.push({service->url("/videos/clip.mp4"), requester.target(), 0, 0, hash, group}));
    EXPECT_TRUE(requester.queue.waitForGroup(group, 60'000));
    EXPECT_TRUE(requester.queue.groupSucceeded(group));
    EXPECT_TRUE(readAll(requester.target()) == body);
    EXPECT_EQ(service->requestCount(), 1u);
    EXPECT_EQ(countStartingWith(requester.err.lines(), "fileSHA1: "), 1u);  // one mismatch, then the service

    EXPECT_FALSE(holder.mesh.findLocalContent(hash).has_value());
    // A second requester hears of the one good copy only.
    std::optional<MeshPeer> found;
    hosts[2]->runInside([&] { found = players[2].mesh.findOnPeers(hash); });
    ASSERT_TRUE(found.has_value());
    EXPECT_FALSE(found->fetching);
    EXPECT_EQ(found->address, hosts[1]->address());
}

TEST_F(DownloadWorkerTest, AFullDiskFailsTheTaskAndLeavesNoPartialFile) {
    const std::string body(40'000, 's');
    server.respond("/media/clip.mp4", {.body = body});
    // Staged outside the mount: another playlist of the account holds the file.
    testing::writeTestFile(dir / "staged" / "acme" / "main" / "hall" / "clip.mp4", body);
    fs::create_directories(dir / "staged" / "acme" / "main" / "lobby");
    fs::create_directories(content());
    const std::string script =
        "mount -t tmpfs -o size=128k lumetta-test-full \"$1\" || exit 99\n"
        "cp -r \"$2\"/. \"$1\"/ || exit 97\n"
        "dd if=/dev/zero of=\"$1/filler\" bs=4k 2>/dev/null || true\n"
        "\"$3\" \"$1\" \"$4\" \"$1/acme/main/lobby/clip.mp4\" \"$5\" || exit $?\n"
        "echo listing; ls -A \"$1/acme/main/lobby\"\n";
    testing::ProcessOptions options;
    options.environment["SSL_CERT_FILE"] = server.caFile().string();
    options.environment["NO_COLOR"] = "1";
    const testing::ProcessResult result = testing::runProcess(
        {"unshare", "--mount", "--propagation", "private", "--", "sh", "-c", script, "sh", content().string(),
         (dir / "staged").string(), DOWNLOAD_WORKER_PROBE, server.url("/media/clip.mp4"), sha1Of(body)},
        options);
    if (result.exitStatus == 99) GTEST_SKIP() << "no private mount namespace here";
    ASSERT_EQ(result.exitStatus, 0) << result.err;

    EXPECT_EQ(result.out.substr(result.out.find("failed")), "failed 1\npending 0\nlisting\n") << result.out;
    std::size_t copyFailures = 0;
    for (std::size_t at = 0; (at = result.err.find("Failed to copy existing playlist media: No space left on device\n", at)) !=
                             std::string::npos;
         ++at) {
        ++copyFailures;
    }
    EXPECT_EQ(copyFailures, 5u) << result.err;
    EXPECT_NE(result.err.find("Failed to process file with correct SHA1 after 5 attempts.\n"), std::string::npos);
    EXPECT_EQ(server.requestCount(), 5u);
}

}  // namespace
}  // namespace lumetta
