#include <gtest/gtest.h>
#include <json/json.h>
#include <openssl/evp.h>

#include <SDL3/SDL.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <limits>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "core/percent_encoding.h"
#include "link/captured_log.h"
#include "link/player_events.h"
#include "link/playlist_job.h"
#include "link/server_messages.h"
#include "support/download_worker_stand_in.h"
#include "support/https_server.h"
#include "support/manual_clock.h"
#include "support/temp_dir.h"

namespace lumetta {
namespace {

namespace fs = std::filesystem;
using testing::CapturedLog;
using testing::ManualClock;
using testing::RecordedRequest;
using testing::ScopedEnvironmentVariable;
using testing::ScriptedResponse;
using testing::StandInDownloadWorkers;
using testing::TempDir;
using testing::TestHttpsServer;

std::string sha1Of(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha1(), nullptr);
    static const char* hex = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text.push_back(hex[digest[i] >> 4]);
        text.push_back(hex[digest[i] & 15]);
    }
    return text;
}

// Holds back a response until the test lets it go (opened at the latest when it goes).
class Gate {
public:
    ~Gate() { open(); }
    void open() {
        {
            const std::lock_guard lock(mutex_);
            open_ = true;
        }
        changed_.notify_all();
    }
    void wait() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
};

struct Medium {
    std::string file;
    std::string bytes;
    bool wrongDigest = false;  // the document names another digest than the bytes have
    Gate* gate = nullptr;      // the medium's response waits for it
};

class PlaylistJobTest : public ::testing::Test {
protected:
    PlaylistJobTest() {
        options.state = &state;
        options.mailbox = &mailbox;
        options.clock = &clock;
        options.baseDirectory = config.str();
        options.deviceId = "DEVICE1";
        options.load.queue = &queue;
        options.load.serviceHost = server.hostPort();
        options.load.internetAccess = [] { return true; };
        options.errors = &log;
    }

    void SetUp() override { ASSERT_TRUE(SDL_Init(SDL_INIT_EVENTS)) << SDL_GetError(); }
    void TearDown() override {
        stopJob();
        SDL_Quit();
    }

    // The service's document for playlist `id`, named `name`, one slide showing every medium.
    void serve(const std::string& id, const std::string& name, const std::vector<Medium>& media) {
        Json::Value document;
        document["account"] = "acme";
        document["branch"] = "main";
        document["playlist"] = name;
        Json::Value slide;
        slide["id"] = "s1";
        slide["width"] = 1920;
        slide["height"] = 1080;
        slide["duration"] = 10;
        for (const Medium& medium : media) {
            Json::Value layer;
            layer["x"] = 0;
            layer["y"] = 0;
            layer["width"] = 1920;
            layer["height"] = 1080;
            layer["video"]["file"] = medium.file;
            layer["video"]["sha1"] = medium.wrongDigest ? sha1Of(medium.bytes + "?") : sha1Of(medium.bytes);
            slide["layers"].append(layer);
            Gate* gate = medium.gate;
            const std::string bytes = medium.bytes;
            server.handle("/videos/" + encodePathSegment(medium.file), [gate, bytes](const RecordedRequest&) {
                if (gate != nullptr) gate->wait();
                return ScriptedResponse{.body = bytes};
            });
        }
        document["slides"].append(slide);
        std::ostringstream text;
        text << document;
        server.respond(documentTarget(id), {.body = text.str()});
    }
    void serveSimple(const std::string& id, const std::string& name) {
        serve(id, name, {{name + ".mp4", "bytes of " + name}});
    }
    static std::string documentTarget(const std::string& id) { return "/devices/DEVICE1/playlist/json?playlistId=" + id; }

    // What the "playlist" handler does with a request it accepts.
    void acceptPlaylist(const std::string& name, const std::string& id, std::int64_t activateAt = 0,
                        const std::string& sha1 = "") {
        const std::string digest = sha1.empty() ? sha1Of(name) : sha1;
        {
            const auto lock = lockWebSocketState();
            state.pendingPlaylistRequest = {name, digest, activateAt};
            state.requestedPlaylistName = name;
        }
        mailbox.queue({name, digest, id, activateAt, false, 0, 0});
    }
    // What the "emergency" handler does with an override given as a playlist id.
    void acceptEmergency(const std::string& name, const std::string& id, std::int64_t expiresAt) {
        {
            const auto lock = lockWebSocketState();
            state.requestedPlaylistName = name;
        }
        mailbox.queue({name, sha1Of(name), id, 0, true, expiresAt, 0});
    }

    void startJob() {
        job = std::jthread([this](std::stop_token stop) {
            playlistDownloadJob(stop, options);
            jobEnded = true;
        });
    }
    // Requests the stop and waits for the job; false when it took more than five seconds.
    bool stopJob() {
        if (!job.joinable()) return true;
        job.request_stop();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!jobEnded && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        const bool ended = jobEnded;
        job.join();
        return ended;
    }

    // The next update handed over, waiting at most ten seconds for it.
    PlaylistUpdate awaitUpdate() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (;;) {
            PlaylistUpdate update = takePlaylistUpdate(state);
            if (update.playlist || update.kind != PlaylistUpdateKind::normal) return update;
            if (std::chrono::steady_clock::now() >= deadline) return update;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    // User codes of the 0x8001 events queued so far, taken off the queue. The job pushes its
    // event just after the hand-over: with `atLeast`, waits (at most ten seconds) for that many.
    std::vector<int> readyEvents(std::size_t atLeast = 0) {
        std::vector<int> codes;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (;;) {
            SDL_Event events[16];
            const int count = SDL_PeepEvents(events, 16, SDL_GETEVENT, playlistReadyEvent, playlistReadyEvent);
            for (int i = 0; i < count; ++i) codes.push_back(events[i].user.code);
            if (codes.size() >= atLeast || std::chrono::steady_clock::now() >= deadline) return codes;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    // Lets the job finish the pass it is in: a request that fails at once comes next, and its
    // log line marks the end of everything before it. Only while no request waits.
    void settle() {
        const auto failures = [&] {
            const std::string text = log.text();
            std::size_t count = 0;
            for (std::size_t at = text.find("Playlist download failed"); at != std::string::npos;
                 at = text.find("Playlist download failed", at + 1)) {
                ++count;
            }
            return count;
        };
        const std::size_t before = failures();
        mailbox.queue({"settle", "-", "MISSING", 0, true, std::numeric_limits<std::int64_t>::max(), 0});
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (failures() == before && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    std::size_t requestsTo(const std::string& target) const {
        std::size_t count = 0;
        for (const RecordedRequest& request : server.requests()) count += request.target == target ? 1 : 0;
        return count;
    }
    bool requested(const std::string& target) const { return requestsTo(target) > 0; }
    // Waits until `target` was asked for `count` times in all.
    bool awaitRequest(const std::string& target, std::size_t count = 1) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (requestsTo(target) < count) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    std::string directory(const std::string& name) const { return config.str() + "/lumetta/acme/main/" + name; }
    fs::path playing() const { return config / "lumetta/playing.json"; }
    // The playlist "playing.json" points at, by name; empty without the link.
    std::string active() const {
        std::error_code error;
        const fs::path target = fs::read_symlink(playing(), error);
        return error ? "" : target.parent_path().filename().string();
    }
    // Waits (at most ten seconds) until the job has cleared the pending name after a failure.
    bool awaitPendingCleared() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!pending().name.empty()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }
    PendingPlaylistRequest pending() {
        const auto lock = lockWebSocketState();
        return state.pendingPlaylistRequest;
    }

    TestHttpsServer server;
    ScopedEnvironmentVariable trust{"SSL_CERT_FILE", server.caFile().string()};
    TempDir config;
    ThreadSafeQueue queue;
    ManualClock clock;
    ServerLinkState state;
    PlaylistJobMailbox mailbox;
    CapturedLog log;
    Gate gate;  // for media held back
    StandInDownloadWorkers workers{queue};
    PlaylistJobOptions options;
    std::atomic<bool> jobEnded{false};
    std::jthread job;
};

TEST_F(PlaylistJobTest, ActivatesAVerifiedPlaylistAndHandsItOverWithOneEvent) {
    serve("P1", "Lobby", {{"a.mp4", "first medium"}, {"b b#.mp4", "second medium"}});
    acceptPlaylist("Lobby", "P1");
    startJob();

    const PlaylistUpdate update = awaitUpdate();
    ASSERT_TRUE(update.playlist) << log.text();
    EXPECT_EQ(update.kind, PlaylistUpdateKind::normal);
    EXPECT_EQ(update.expiresAt, 0);
    EXPECT_EQ(update.playlist->name(), "Lobby");
    EXPECT_EQ(update.playlist->downloadGroupId, 0u) << "its group was released";
    EXPECT_EQ(active(), "Lobby");
    EXPECT_EQ(fs::read_symlink(playing()), fs::path(directory("Lobby")) / "playlist.json");
    EXPECT_EQ(fs::file_size(directory("Lobby") + "/b b#.mp4"), std::string("second medium").size());
    EXPECT_EQ(requestedPlaylistName(state), "");
    EXPECT_EQ(pending().name, "Lobby") << "the pending request now describes the playlist playing";
    EXPECT_EQ(readyEvents(1), std::vector<int>{1});
    EXPECT_EQ(log.text(), "");
}

TEST_F(PlaylistJobTest, AMediumWithTheWrongDigestKeepsTheCurrentPlaylistAndTheJobGoesOn) {
    serveSimple("P1", "Lobby");
    serve("P2", "Foyer", {{"good.mp4", "good"}, {"bad.mp4", "bad", true}});
    serveSimple("P3", "Hall");
    acceptPlaylist("Lobby", "P1");
    startJob();
    ASSERT_TRUE(awaitUpdate().playlist);
    EXPECT_EQ(readyEvents(1), std::vector<int>{1});

    acceptPlaylist("Foyer", "P2", 1'600'000'000'000);
    ASSERT_TRUE(log.waitFor("[WEBSOCKET] Playlist assets failed validation; keeping current playlist\n"));
    ASSERT_TRUE(awaitPendingCleared());
    // Cleared, so the service may send it again; the activation time stays.
    EXPECT_EQ(pending().name, "");
    EXPECT_EQ(pending().sha1, "");
    EXPECT_EQ(pending().activateAt, 1'600'000'000'000);
    EXPECT_EQ(requestedPlaylistName(state), "");
    EXPECT_EQ(active(), "Lobby");

    acceptPlaylist("Hall", "P3");
    const PlaylistUpdate update = awaitUpdate();
    ASSERT_TRUE(update.playlist) << log.text();
    EXPECT_EQ(update.playlist->name(), "Hall");
    EXPECT_EQ(active(), "Hall");
    EXPECT_EQ(readyEvents(1), std::vector<int>{1}) << "none for the failed one";
}

TEST_F(PlaylistJobTest, ABuildFailureIsLoggedAndClearsOnlyItsOwnRequest) {
    // The document is never answered (the loader gives up after a second), or refused.
    server.respond(documentTarget("SLOW"), {.delayMs = 60'000});
    options.load.transferTimeoutSeconds = 1;
    serveSimple("P2", "Foyer");
    startJob();

    struct Case {
        const char* name;
        std::string id;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"never answered", "SLOW", "[WEBSOCKET] Playlist download failed: Playlist JSON download failed: Timeout"},
        {"refused", "MISSING", "[WEBSOCKET] Playlist download failed: Playlist JSON download failed: HTTP"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        acceptPlaylist("Lobby", c.id, 5);
        ASSERT_TRUE(log.waitFor(c.line)) << log.text();
        EXPECT_TRUE(awaitPendingCleared());
        EXPECT_EQ(pending().activateAt, 5);
        EXPECT_EQ(requestedPlaylistName(state), "");
    }

    // A failure of a request a newer one has already replaced leaves the newer one's entries.
    acceptPlaylist("Lobby", "SLOW");
    ASSERT_TRUE(awaitRequest(documentTarget("SLOW"), 2));
    acceptPlaylist("Foyer", "P2");
    const PlaylistUpdate update = awaitUpdate();
    ASSERT_TRUE(update.playlist) << log.text();
    EXPECT_EQ(update.playlist->name(), "Foyer");
    EXPECT_EQ(pending().name, "Foyer");
    EXPECT_FALSE(takePlaylistUpdate(state).playlist);
}

TEST_F(PlaylistJobTest, OfTwoRequestsQueuedBeforeTheJobWakesOnlyTheSecondIsBuilt) {
    serveSimple("P1", "Lobby");
    serveSimple("P2", "Foyer");
    acceptPlaylist("Lobby", "P1");
    acceptPlaylist("Foyer", "P2");
    startJob();
    const PlaylistUpdate update = awaitUpdate();
    ASSERT_TRUE(update.playlist) << log.text();
    EXPECT_EQ(update.playlist->name(), "Foyer");
    EXPECT_FALSE(requested(documentTarget("P1")));
    EXPECT_FALSE(fs::exists(directory("Lobby")));
}

TEST_F(PlaylistJobTest, APlaylistSupersededWhileItDownloadsIsDroppedSilentlyAfterItsDownloads) {
    serve("P1", "Lobby", {{"slow.mp4", "slow medium", false, &gate}});
    serveSimple("P2", "Foyer");
    acceptPlaylist("Lobby", "P1");
    startJob();
    ASSERT_TRUE(awaitRequest("/videos/slow.mp4"));
    acceptPlaylist("Foyer", "P2");
    std::this_thread::sleep_for(std::chrono::milliseconds(150));  // several download slices
    EXPECT_FALSE(requested(documentTarget("P2"))) << "a newer request does not interrupt the downloads";
    gate.open();

    const PlaylistUpdate update = awaitUpdate();
    ASSERT_TRUE(update.playlist) << log.text();
    EXPECT_EQ(update.playlist->name(), "Foyer");
    EXPECT_EQ(active(), "Foyer");
    // Never activated nor held any more, Lobby's directory leaves the disk with Foyer's activation.
    EXPECT_FALSE(fs::exists(directory("Lobby")));
    EXPECT_FALSE(takePlaylistUpdate(state).playlist) << "Lobby was never handed over";
    EXPECT_EQ(readyEvents(1), std::vector<int>{1});
    EXPECT_EQ(log.text(), "");
}

// The medium the first layer of a playlist's first slide shows.
std::string firstMedium(const Playlist& playlist) {
    return std::get<VideoLayer>(playlist.slideAt(0).layers.at(0).content).file;
}

// Two versions of one playlist (one name, two sha1s): the service asks for version B while
// version A still downloads. Whether A's downloads then succeed or fail, A is never handed over,
// B's request stays pending, and B is built and handed over.
TEST_F(PlaylistJobTest, ANewerVersionOfThePlaylistStillDownloadingIsTheOneThatPlays) {
    startJob();
    for (const bool aFails : {false, true}) {
        SCOPED_TRACE(aFails ? "version A fails" : "version A succeeds");
        const std::string round = aFails ? "2" : "1";
        const std::string fileA = "a" + round + ".mp4";
        const std::string fileB = "b" + round + ".mp4";
        const std::string versionA = sha1Of("version A" + round);
        const std::string versionB = sha1Of("version B" + round);
        Gate heldA;
        Gate heldB;
        serve("P1", "Lobby", {{fileA, "medium A" + round, aFails, &heldA}});
        acceptPlaylist("Lobby", "P1", 0, versionA);
        ASSERT_TRUE(awaitRequest("/videos/" + fileA));
        serve("P1", "Lobby", {{fileB, "medium B" + round, false, &heldB}});
        acceptPlaylist("Lobby", "P1", 0, versionB);
        heldA.open();

        // B's medium is asked for once the pass of A is over.
        ASSERT_TRUE(awaitRequest("/videos/" + fileB)) << log.text();
        EXPECT_FALSE(takePlaylistUpdate(state).playlist) << "version A was handed over";
        EXPECT_EQ(pending().name, "Lobby");
        EXPECT_EQ(pending().sha1, versionB);
        EXPECT_EQ(requestedPlaylistName(state), "Lobby");

        heldB.open();
        const PlaylistUpdate update = awaitUpdate();
        ASSERT_TRUE(update.playlist) << log.text();
        EXPECT_EQ(firstMedium(*update.playlist), fileB);
        EXPECT_EQ(active(), "Lobby");
        EXPECT_TRUE(fs::exists(directory("Lobby") + "/" + fileB));
    }
    EXPECT_EQ(log.text(), "[WEBSOCKET] Playlist assets failed validation; keeping current playlist\n");
}

TEST_F(PlaylistJobTest, WaitsForTheActivationTimeOnTheWallClock) {
    serveSimple("P1", "Lobby");
    startJob();
    struct Case {
        const char* name;
        std::int64_t activateAt;
        std::int64_t waitMs;  // how far the clock must move first
    };
    const std::int64_t now = clock.systemMs();
    const std::vector<Case> cases = {
        {"zero: at once", 0, 0},
        {"negative: at once", -5, 0},
        {"past: at once", now - 60'000, 0},
        {"ten seconds ahead", now + 10'000, 10'000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::int64_t start = clock.steadyMs();
        acceptPlaylist("Lobby", "P1", c.activateAt);
        if (c.waitMs > 0) {
            // One-second slices: the playlist is not handed over before its time.
            while (clock.steadyMs() - start < c.waitMs) {
                ASSERT_TRUE(clock.waitForWaiters(1));
                EXPECT_FALSE(takePlaylistUpdate(state).playlist) << "early, at " << clock.steadyMs() - start;
                clock.advance(1000);
            }
        }
        const PlaylistUpdate update = awaitUpdate();
        ASSERT_TRUE(update.playlist) << log.text();
        EXPECT_EQ(clock.steadyMs() - start, c.waitMs);
    }
}

TEST_F(PlaylistJobTest, AnActivationTimeBeyondTheClocksRangeWaitsForANewerRequest) {
    serveSimple("P1", "Lobby");
    serveSimple("P2", "Foyer");
    startJob();
    for (const std::int64_t activateAt :
         {std::int64_t{9'300'000'000'000}, std::numeric_limits<std::int64_t>::max()}) {
        SCOPED_TRACE(activateAt);
        acceptPlaylist("Lobby", "P1", activateAt);
        ASSERT_TRUE(clock.waitForWaiters(1));
        clock.advance(3'600'000);  // an hour later: still waiting
        ASSERT_TRUE(clock.waitForWaiters(1));
        EXPECT_FALSE(takePlaylistUpdate(state).playlist);

        // A newer request ends the wait at once, without the clock moving.
        acceptPlaylist("Foyer", "P2");
        const PlaylistUpdate update = awaitUpdate();
        ASSERT_TRUE(update.playlist) << log.text();
        EXPECT_EQ(update.playlist->name(), "Foyer");
        EXPECT_FALSE(takePlaylistUpdate(state).playlist);
        EXPECT_EQ(active(), "Foyer");
        fs::remove(playing());
    }
    EXPECT_EQ(log.text(), "");
}

TEST_F(PlaylistJobTest, AnOverrideThatEndedBeforeItWasReadyIsDroppedSilently) {
    serveSimple("E1", "Alert");
    serveSimple("P1", "Lobby");
    startJob();
    for (const std::int64_t offset : {0, -1, -86'400'000}) {
        SCOPED_TRACE(offset);
        acceptEmergency("Alert", "E1", clock.systemMs() + offset);
        ASSERT_TRUE(awaitRequest(documentTarget("E1")));
        // Done once the requested name is cleared.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (requestedPlaylistName(state) != "" && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        EXPECT_EQ(requestedPlaylistName(state), "");
    }
    // The job is free for the next one, and nothing of the override was handed over.
    acceptPlaylist("Lobby", "P1");
    const PlaylistUpdate update = awaitUpdate();
    ASSERT_TRUE(update.playlist);
    EXPECT_EQ(update.kind, PlaylistUpdateKind::normal);
    EXPECT_FALSE(takePlaylistUpdate(state).playlist);
    EXPECT_EQ(readyEvents(1), std::vector<int>{1});
    EXPECT_EQ(log.text(), "");
}

TEST_F(PlaylistJobTest, AnOverrideQueuedWhileANormalPlaylistBuildsFollowsItAndBothWait) {
    serve("P1", "Lobby", {{"slow.mp4", "slow medium", false, &gate}});
    serveSimple("E1", "Alert");
    acceptPlaylist("Lobby", "P1");
    startJob();
    ASSERT_TRUE(awaitRequest("/videos/slow.mp4"));
    const std::int64_t expiresAt = clock.systemMs() + 3'600'000;
    acceptEmergency("Alert", "E1", expiresAt);
    gate.open();

    // Nobody takes anything until both were handed over.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        {
            const auto lock = lockWebSocketState();
            if (state.waitingNormalUpdate && state.waitingEmergencyUpdate) break;
        }
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << log.text();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    settle();
    EXPECT_EQ(readyEvents(1), std::vector<int>{1}) << "one event stands for both";
    const PlaylistUpdate normal = takePlaylistUpdate(state);
    const PlaylistUpdate emergency = takePlaylistUpdate(state);
    ASSERT_TRUE(normal.playlist && emergency.playlist);
    EXPECT_EQ(normal.kind, PlaylistUpdateKind::normal);
    EXPECT_EQ(normal.playlist->name(), "Lobby");
    EXPECT_EQ(emergency.kind, PlaylistUpdateKind::emergency);
    EXPECT_EQ(emergency.playlist->name(), "Alert");
    EXPECT_EQ(emergency.expiresAt, expiresAt);
    EXPECT_EQ(active(), "Lobby") << "an override never becomes the active playlist";
    EXPECT_EQ(pending().name, "Lobby");
}

// While the job is busy with a slow playlist, the service sends an override and another
// playlist, in either order: each waits in its own place, the override is taken first, and
// both are handed over.
TEST_F(PlaylistJobTest, AnOverrideAndAPlaylistQueuedWhileTheJobIsBusyAreBothHandedOverTheOverrideFirst) {
    startJob();
    for (const bool overrideFirst : {true, false}) {
        SCOPED_TRACE(overrideFirst ? "the playlist came after the override" : "the override came after the playlist");
        const std::string n = overrideFirst ? "1" : "2";
        Gate slow;
        serve("B" + n, "Busy" + n, {{"slow" + n + ".mp4", "slow medium " + n, false, &slow}});
        serveSimple("E" + n, "Alert" + n);
        serveSimple("P" + n, "Next" + n);
        acceptPlaylist("Busy" + n, "B" + n);
        ASSERT_TRUE(awaitRequest("/videos/slow" + n + ".mp4"));
        const std::int64_t expiresAt = clock.systemMs() + 3'600'000;
        if (overrideFirst) {
            acceptEmergency("Alert" + n, "E" + n, expiresAt);
            acceptPlaylist("Next" + n, "P" + n);
        } else {
            acceptPlaylist("Next" + n, "P" + n);
            acceptEmergency("Alert" + n, "E" + n, expiresAt);
        }
        slow.open();

        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (;;) {
            {
                const auto lock = lockWebSocketState();
                if (state.waitingNormalUpdate && state.waitingNormalUpdate->playlist->name() == "Next" + n &&
                    state.waitingEmergencyUpdate) {
                    break;
                }
            }
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << log.text();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        std::vector<std::string> documents;
        for (const RecordedRequest& request : server.requests()) {
            if (request.target == documentTarget("E" + n) || request.target == documentTarget("P" + n)) {
                documents.push_back(request.target);
            }
        }
        EXPECT_EQ(documents, (std::vector<std::string>{documentTarget("E" + n), documentTarget("P" + n)}))
            << "the override is taken before the playlist";
        const PlaylistUpdate normal = takePlaylistUpdate(state);
        const PlaylistUpdate emergency = takePlaylistUpdate(state);
        ASSERT_TRUE(normal.playlist && emergency.playlist);
        EXPECT_EQ(normal.playlist->name(), "Next" + n);
        EXPECT_EQ(emergency.kind, PlaylistUpdateKind::emergency);
        EXPECT_EQ(emergency.playlist->name(), "Alert" + n);
        EXPECT_EQ(active(), "Next" + n);
        EXPECT_EQ(pending().name, "Next" + n);
        EXPECT_EQ(requestedPlaylistName(state), "");
        readyEvents();
    }
    EXPECT_EQ(log.text(), "");
}

TEST_F(PlaylistJobTest, AnOverrideDuringTheActivationWaitIsHandedOverAtOnceAndThePlaylistStillActivatesOnTime) {
    serveSimple("P1", "Lobby");
    serveSimple("E1", "Alert");
    startJob();
    const std::int64_t start = clock.steadyMs();
    acceptPlaylist("Lobby", "P1", clock.systemMs() + 10'000);
    ASSERT_TRUE(clock.waitForWaiters(1)) << "waiting for its time";
    acceptEmergency("Alert", "E1", clock.systemMs() + 3'600'000);
    const PlaylistUpdate alert = awaitUpdate();
    ASSERT_TRUE(alert.playlist) << log.text();
    EXPECT_EQ(alert.kind, PlaylistUpdateKind::emergency);
    EXPECT_EQ(clock.steadyMs(), start) << "handed over without the clock moving";
    EXPECT_EQ(active(), "");

    while (clock.steadyMs() - start < 10'000) {
        ASSERT_TRUE(clock.waitForWaiters(1));
        EXPECT_FALSE(takePlaylistUpdate(state).playlist) << "early, at " << clock.steadyMs() - start;
        clock.advance(1000);
    }
    const PlaylistUpdate update = awaitUpdate();
    ASSERT_TRUE(update.playlist) << log.text();
    EXPECT_EQ(update.kind, PlaylistUpdateKind::normal);
    EXPECT_EQ(update.playlist->name(), "Lobby");
    EXPECT_EQ(active(), "Lobby");
    EXPECT_EQ(log.text(), "");
}

// An override by id is still downloading when the service clears it, or replaces it with an
// override given as a text or by another id: the slow one is never handed over after that.
TEST_F(PlaylistJobTest, AClearOrANewerOverrideVoidsAnOverrideStillBeingPrepared) {
    serveSimple("P1", "Lobby");
    serveSimple("N3", "Newer3");
    acceptPlaylist("Lobby", "P1");
    startJob();
    ASSERT_TRUE(awaitUpdate().playlist) << log.text();
    readyEvents();

    std::atomic<bool> running{true};
    ServerMessageContext handler;
    handler.state = &state;
    handler.running = &running;
    handler.baseDirectory = config.str();
    handler.mailbox = &mailbox;
    handler.clock = &clock;
    handler.pushEvent = [](std::uint32_t, std::int32_t) { return true; };
    handler.errors = &log;

    struct Case {
        const char* name;
        std::string message;
        PlaylistUpdateKind kind;  // of the one update handed over
    };
    const std::int64_t expiresAt = clock.systemMs() + 3'600'000;
    const std::vector<Case> cases = {
        {"clear", R"({"type":"emergency","data":{"clear":true}})", PlaylistUpdateKind::emergencyCleared},
        {"a text override", R"({"type":"emergency","data":{"message":"Evacuate","expiresAt":)" +
                                std::to_string(expiresAt) + "}}",
         PlaylistUpdateKind::emergency},
        {"an override by another id", R"({"type":"emergency","data":{"name":"Newer3","id":"N3","sha1":"n3","expiresAt":)" +
                                          std::to_string(expiresAt) + "}}",
         PlaylistUpdateKind::emergency},
    };
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string n = std::to_string(++round);
        Gate slow;
        serve("E" + n, "Alert" + n, {{"alert" + n + ".mp4", "slow alert " + n, false, &slow}});
        acceptEmergency("Alert" + n, "E" + n, expiresAt);
        ASSERT_TRUE(awaitRequest("/videos/alert" + n + ".mp4"));
        handleServerMessage(c.message.data(), static_cast<std::uint32_t>(c.message.size()), 1, handler);
        slow.open();
        // The job is done with the slow override once the requested name is cleared.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (requestedPlaylistName(state) != "" && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        const PlaylistUpdate update = takePlaylistUpdate(state);
        EXPECT_EQ(update.kind, c.kind);
        if (c.kind == PlaylistUpdateKind::emergency) {
            ASSERT_TRUE(update.playlist) << log.text();
            EXPECT_NE(update.playlist->name(), "Alert" + n);
        }
        EXPECT_FALSE(takePlaylistUpdate(state).playlist) << "the slow override was not handed over";
        EXPECT_EQ(requestedPlaylistName(state), "");
        EXPECT_EQ(active(), "Lobby");
    }
}

TEST_F(PlaylistJobTest, AnUpdateNobodyTookIsReplacedAndStillOnlyOneEventWaits) {
    serveSimple("P1", "Lobby");
    serveSimple("P2", "Foyer");
    startJob();
    acceptPlaylist("Lobby", "P1");
    auto waitHandedOver = [&](const std::string& name) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (;;) {
            {
                const auto lock = lockWebSocketState();
                if (state.waitingNormalUpdate && state.waitingNormalUpdate->playlist->name() == name) return true;
            }
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    };
    ASSERT_TRUE(waitHandedOver("Lobby")) << log.text();
    acceptPlaylist("Foyer", "P2");
    ASSERT_TRUE(waitHandedOver("Foyer")) << log.text();
    settle();
    EXPECT_EQ(readyEvents(1), std::vector<int>{1});
    const PlaylistUpdate update = takePlaylistUpdate(state);
    ASSERT_TRUE(update.playlist);
    EXPECT_EQ(update.playlist->name(), "Foyer");
    EXPECT_FALSE(takePlaylistUpdate(state).playlist);
}

TEST_F(PlaylistJobTest, AFailedActivationKeepsTheCurrentPlaylistAndTheSamePlaylistIsAcceptedAgain) {
    serveSimple("P1", "Lobby");
    // "playing.json" cannot be replaced: a directory with something in it stands there.
    fs::create_directories(playing() / "in the way");
    acceptPlaylist("Lobby", "P1", 7);
    startJob();
    ASSERT_TRUE(log.waitFor("[WEBSOCKET] Playlist activation failed; keeping current playlist\n"));
    EXPECT_EQ(pending().name, "");
    EXPECT_EQ(pending().sha1, "");
    EXPECT_EQ(pending().activateAt, 7);
    EXPECT_EQ(requestedPlaylistName(state), "");
    EXPECT_FALSE(takePlaylistUpdate(state).playlist);
    EXPECT_EQ(readyEvents(), std::vector<int>{});

    fs::remove_all(playing());
    acceptPlaylist("Lobby", "P1", 7);
    const PlaylistUpdate update = awaitUpdate();
    ASSERT_TRUE(update.playlist) << log.text();
    EXPECT_EQ(active(), "Lobby");
}

TEST_F(PlaylistJobTest, AnExceptionAfterTheBuildIsLoggedAndTheJobGoesOn) {
    serveSimple("P1", "Lobby");
    serveSimple("P2", "Foyer");
    startJob();
    acceptPlaylist("Lobby", "P1", clock.systemMs() + 5'000);
    ASSERT_TRUE(clock.waitForWaiters(1));
    // While it waits for its time, its document turns into a link to itself: activating it
    // throws instead of answering.
    const fs::path document = fs::path(directory("Lobby")) / "playlist.json";
    fs::remove(document);
    fs::create_symlink(document, document);
    clock.advance(5'000);
    ASSERT_TRUE(log.waitFor("[WEBSOCKET] Playlist download failed: ")) << log.text();
    EXPECT_TRUE(awaitPendingCleared());
    EXPECT_EQ(requestedPlaylistName(state), "");
    EXPECT_EQ(active(), "");

    acceptPlaylist("Foyer", "P2");
    const PlaylistUpdate update = awaitUpdate();
    ASSERT_TRUE(update.playlist) << log.text();
    EXPECT_EQ(update.playlist->name(), "Foyer");
}

TEST_F(PlaylistJobTest, AFailedWakeUpIsLoggedAndTheUpdateStays) {
    SDL_QuitSubSystem(SDL_INIT_EVENTS);
    serveSimple("P1", "Lobby");
    acceptPlaylist("Lobby", "P1");
    startJob();
    ASSERT_TRUE(log.waitFor("[WEBSOCKET] Failed to push completed playlist event: "));
    EXPECT_TRUE(awaitUpdate().playlist);
}

// In every step the job ends within a second of its stop (five allowed here), hands nothing
// over and leaves nothing in the download queue.
TEST_F(PlaylistJobTest, AStopEndsTheJobPromptlyInEveryStep) {
    enum class Step { idle, document, downloads, activationTime };
    for (const Step step : {Step::idle, Step::document, Step::downloads, Step::activationTime}) {
        SCOPED_TRACE(static_cast<int>(step));
        jobEnded = false;
        Gate held;
        server.respond(documentTarget("SLOW"), {.delayMs = 60'000});
        serve("HELD", "Held", {{"held.mp4", "held", false, &held}});
        serveSimple("P1", "Lobby");
        startJob();
        switch (step) {
        case Step::idle:
            break;
        case Step::document:
            acceptPlaylist("Lobby", "SLOW");
            ASSERT_TRUE(awaitRequest(documentTarget("SLOW")));
            break;
        case Step::downloads:
            acceptPlaylist("Held", "HELD");
            ASSERT_TRUE(awaitRequest("/videos/held.mp4"));
            break;
        case Step::activationTime:
            acceptPlaylist("Lobby", "P1", clock.systemMs() + 60'000);
            ASSERT_TRUE(clock.waitForWaiters(1));
            break;
        }
        EXPECT_TRUE(stopJob());
        EXPECT_FALSE(takePlaylistUpdate(state).playlist);
        EXPECT_EQ(readyEvents(), std::vector<int>{});
        held.open();
        EXPECT_TRUE(queue.waitUntilNothingPending(5000));
        EXPECT_EQ(active(), "");
    }
}

}  // namespace
}  // namespace lumetta
