#include <gtest/gtest.h>
#include <json/json.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <filesystem>
#include <future>
#include <sstream>
#include <string>
#include <thread>

#include "content/playlist.h"
#include "core/config_store.h"
#include "core/file_utils.h"
#include "support/https_server.h"
#include "support/manual_clock.h"
#include "support/temp_dir.h"

namespace lumetta {
namespace {

namespace fs = std::filesystem;
using testing::ManualClock;
using testing::ScopedEnvironmentVariable;
using testing::ScriptedResponse;
using testing::TempDir;
using testing::TestHttpsServer;
using testing::writeTestFile;

const std::string digestA(40, 'a');
const std::string digestB(64, 'b');

Json::Value imageLayer(const std::string& kind, const std::string& file, const std::string& digest, int width,
                       int height) {
    Json::Value layer;
    layer["x"] = 0;
    layer["y"] = 0;
    layer["width"] = width;
    layer["height"] = height;
    layer[kind]["file"] = file;
    layer[kind][digest.size() == 64 ? "sha256" : "sha1"] = digest;
    return layer;
}

// A complete playlist: one slide with an image of 640 x 360 and a video, and two ticker messages.
Json::Value sampleDocument(const std::string& name = "Lobby", const std::string& imageFile = "a b#1?.png") {
    Json::Value document;
    document["account"] = "acme";
    document["branch"] = "main";
    document["playlist"] = name;
    Json::Value slide;
    slide["id"] = "s1";
    slide["width"] = 1920;
    slide["height"] = 1080;
    slide["duration"] = 10;
    slide["layers"].append(imageLayer("image", imageFile, digestA, 640, 360));
    slide["layers"].append(imageLayer("video", "clip.mp4", digestB, 1920, 1080));
    document["slides"].append(slide);
    document["ticker"][0]["message"] = "hello";
    document["ticker"][1]["message"] = "world";
    return document;
}

std::string text(const Json::Value& value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

Json::Value parse(const std::string& text) {
    Json::Value value;
    std::istringstream in(text);
    in >> value;
    return value;
}

std::vector<DownloadTask> drain(ThreadSafeQueue& queue) {
    std::vector<DownloadTask> tasks;
    while (queue.queuedTaskCount() > 0) {
        DownloadTask task;
        queue.pop(task);
        tasks.push_back(task);
    }
    return tasks;
}

class PlaylistLoading : public ::testing::Test {
public:
    PlaylistLoading() : trust("SSL_CERT_FILE", server.caFile().string()) {
        options.queue = &queue;
        options.serviceHost = server.hostPort();
        options.internetAccess = [this] { return online.load(); };
        options.clock = &clock;
        options.running = &running;
    }

    std::string base() const { return (config / "lumetta").string(); }
    std::string directory(const std::string& name = "Lobby") const { return base() + "/acme/main/" + name; }
    fs::path playing() const { return fs::path(base()) / "playing.json"; }
    const std::string devicePath = "/devices/DEVICE1/playlist/json";

    // The active playlist as an earlier run left it.
    void storeActive(const std::string& document, const std::string& name = "Lobby") {
        writeTestFile(fs::path(directory(name)) / "playlist.json", document);
        fs::create_symlink(directory(name) + "/playlist.json", playing());
    }

    // Completes every task as it arrives, successfully unless its file is named in `failing`.
    std::jthread worker(std::set<std::string> failing = {}) {
        return std::jthread([this, failing](std::stop_token stop) {
            while (!stop.stop_requested()) {
                if (queue.queuedTaskCount() == 0) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                    continue;
                }
                DownloadTask task;
                if (!queue.pop(task)) return;
                tasks.push_back(task);
                const std::string file = fs::path(task.targetPath).filename().string();
                if (!failing.count(file)) writeTestFile(task.targetPath, "medium");
                queue.completeTask(task.groupId, failing.count(file) == 0);
            }
        });
    }

    TestHttpsServer server;
    ScopedEnvironmentVariable trust;
    TempDir config;
    PreparedImageCache cache;
    ThreadSafeQueue queue{cache};
    ManualClock clock;
    std::atomic<bool> online{true};
    std::atomic<bool> running{true};
    PlaylistLoadOptions options;
    std::vector<DownloadTask> tasks;  // what the worker took
};

TEST_F(PlaylistLoading, FetchesStoresAndQueuesAPlaylist) {
    const Json::Value document = sampleDocument();
    server.respond("/devices/MY%20DEVICE%0D/playlist/json", {.body = text(document)});

    ::testing::internal::CaptureStdout();
    Playlist playlist(config.str(), "MY DEVICE\r", false, "week 7/&?", options);
    const std::string out = ::testing::internal::GetCapturedStdout();

    ASSERT_EQ(server.requestCount(), 1u);
    const testing::RecordedRequest request = server.requests()[0];
    EXPECT_EQ(request.target, "/devices/MY%20DEVICE%0D/playlist/json?playlistId=week%207%2F%26%3F");
    EXPECT_EQ(request.header("User-Agent"), "QUORVELA");
    EXPECT_EQ(out, "Download: " + server.url(request.target) + "\n");

    EXPECT_EQ(playlist.baseDirectory, base());
    EXPECT_EQ(playlist.directory(), directory());
    EXPECT_EQ(parse(readFile(directory() + "/playlist.json")), document);
    EXPECT_EQ(configString(config.str(), "account"), "acme");
    EXPECT_EQ(configString(config.str(), "branch"), "main");
    EXPECT_EQ(playlist.name(), "Lobby");
    ASSERT_EQ(playlist.slideCount(), 1u);
    EXPECT_EQ(playlist.slideAt(0).layers.size(), 2u);
    ASSERT_EQ(playlist.tickerMessageCount(), 2u);
    EXPECT_EQ(playlist.tickerMessageAt(1), "world");
    EXPECT_FALSE(fs::exists(fs::symlink_status(playing())));  // only start-up loads activate

    EXPECT_NE(playlist.downloadGroupId, 0u);
    EXPECT_EQ(playlist.preparedImageId, playlist.downloadGroupId);
    ASSERT_TRUE(queue.group(playlist.downloadGroupId));
    EXPECT_EQ(queue.group(playlist.downloadGroupId)->pending, 2u);
    const std::vector<DownloadTask> queued = drain(queue);
    ASSERT_EQ(queued.size(), 2u);
    EXPECT_EQ(queued[0].url, server.url("/images/a%20b%231%3F.png"));
    EXPECT_EQ(queued[0].targetPath, directory() + "/a b#1?.png");
    EXPECT_EQ(queued[0].targetWidth, 640);
    EXPECT_EQ(queued[0].targetHeight, 360);
    EXPECT_EQ(queued[0].sha1, digestA);
    EXPECT_EQ(queued[1].url, server.url("/videos/clip.mp4"));
    EXPECT_EQ(queued[1].targetPath, directory() + "/clip.mp4");
    EXPECT_EQ(queued[1].sha1, digestB);
    for (const DownloadTask& task : queued) EXPECT_EQ(task.groupId, playlist.downloadGroupId);
}

// The account and branch go into the configuration; when that cannot be saved the load says so
// and goes on.
TEST_F(PlaylistLoading, AConfigurationThatCannotBeSavedIsReportedAndTheLoadGoesOn) {
    const fs::path configFile = fs::path(base()) / "config.json";
    const std::function<void()> spoilers[] = {
        [&] { writeTestFile(configFile, "{ not json"); },
        [&] { fs::create_directories(configFile / "in the way"); },
    };
    server.respond(devicePath, {.body = text(sampleDocument())});
    for (const auto& spoil : spoilers) {
        fs::remove_all(base());
        spoil();
        ::testing::internal::CaptureStderr();
        std::string name;
        try {
            Playlist playlist(config.str(), "DEVICE1", false, "", options);
            name = playlist.name();
        } catch (const std::exception& error) {
            ADD_FAILURE() << error.what();
        }
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("[CONFIG] Unable to save account and branch\n"), std::string::npos) << err;
        EXPECT_EQ(name, "Lobby");
        EXPECT_TRUE(fs::exists(directory() + "/playlist.json"));
    }
}

TEST_F(PlaylistLoading, AnEmptyPlaylistIdSendsNoQueryAndLoadsGetIncreasingGroups) {
    server.respond(devicePath, {.body = text(sampleDocument())});
    std::uint64_t previous = 0;
    for (int i = 0; i < 3; ++i) {
        Playlist playlist(config.str(), "DEVICE1", false, "", options);
        EXPECT_GT(playlist.downloadGroupId, previous);
        EXPECT_EQ(playlist.preparedImageId, playlist.downloadGroupId);
        previous = playlist.downloadGroupId;
    }
    for (const testing::RecordedRequest& request : server.requests()) EXPECT_EQ(request.target, devicePath);

    // The service may send the device elsewhere for its document.
    server.respond(devicePath, {.status = 302, .headers = {{"Location", "/moved/playlist.json"}}});
    server.respond("/moved/playlist.json", {.body = text(sampleDocument("Moved"))});
    Playlist moved(config.str(), "DEVICE1", false, "", options);
    EXPECT_EQ(moved.name(), "Moved");
    EXPECT_EQ(server.requests().back().target, "/moved/playlist.json");
}

// Every way a load can fail before it stores anything: the message, and nothing left behind.
TEST_F(PlaylistLoading, RefusedDocumentsLeaveNothingBehind) {
    Json::Value noAccount = sampleDocument();
    noAccount["account"] = "";
    Json::Value badMedia = sampleDocument();
    badMedia["slides"][0]["layers"][0]["image"]["sha1"] = std::string(39, 'a');
    Json::Value noSlides = sampleDocument();
    noSlides["slides"] = Json::arrayValue;
    Json::Value emptyPlaylist = noSlides;
    emptyPlaylist["playlist"] = "0 Empty Playlist";
    Json::Value textOpacity = sampleDocument();
    textOpacity["slides"][0]["layers"][1]["video"]["opacity"] = "0.5";
    Json::Value badSlideshow = sampleDocument();
    badSlideshow["slides"][0]["slideshow"]["images"] = Json::arrayValue;

    struct Case {
        std::string what;
        ScriptedResponse response;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"404", {.status = 404, .body = "missing"}, "Playlist JSON download failed: HTTP response code said error"},
        {"500", {.status = 500}, "Playlist JSON download failed: HTTP response code said error"},
        {"304", {.status = 304}, "Playlist JSON HTTP response: 304"},
        {"cut short", {.body = text(sampleDocument()), .closeAfter = 20},
         "Playlist JSON download failed: Transferred a partial file"},
        {"no response", {.closeWithoutResponse = true}, "Playlist JSON download failed: Server returned nothing (no headers, no data)"},
        {"not JSON", {.body = "nonsense"},
         "Invalid playlist JSON: * Line 1, Column 1\n  Syntax error: value, object or array expected.\n"},
        {"an array", {.body = "[1, 2]"}, "Invalid playlist JSON"},
        {"deep nesting", {.body = std::string(100000, '[') + std::string(100000, ']')},
         "Invalid playlist JSON: Exceeded stackLimit in readValue()."},
        {"no account", {.body = text(noAccount)}, "Playlist is empty or incomplete"},
        {"no slides", {.body = text(noSlides)}, "Playlist is empty or incomplete"},
        {"the empty playlist", {.body = text(emptyPlaylist)}, "Playlist is empty or incomplete"},
        {"bad media", {.body = text(badMedia)},
         "Invalid playlist content: slide 0, layer 0 has invalid media metadata"},
        {"opacity as text", {.body = text(textOpacity)},
         "Invalid playlist content: slide 0, layer 1 has invalid opacity"},
        {"slideshow", {.body = text(badSlideshow)}, ""},  // refused by the slide reader or the check
    };
    fs::create_directories(base());
    fs::create_symlink("elsewhere/playlist.json", playing());
    for (const Case& c : cases) {
        server.respond(devicePath, c.response);
        try {
            Playlist playlist(config.str(), "DEVICE1", false, "", options);
            ADD_FAILURE() << c.what << ": loaded";
        } catch (const std::exception& error) {
            if (!c.message.empty()) {
                EXPECT_EQ(error.what(), c.message) << c.what;
            }
        }
        EXPECT_FALSE(fs::exists(base() + "/acme")) << c.what;
        EXPECT_EQ(fs::read_symlink(playing()).string(), "elsewhere/playlist.json") << c.what;
        EXPECT_EQ(queue.queuedTaskCount(), 0u) << c.what;
    }
    for (std::uint64_t id = 1; id < 20; ++id) EXPECT_FALSE(queue.group(id)) << id;
}

TEST_F(PlaylistLoading, UntrustedAndSlowServicesFail) {
    TempDir scratch;
    TestHttpsServer untrusted({.identity = testing::TestCertificateAuthority::selfSigned({"127.0.0.1"}, scratch.path())});
    untrusted.respond(devicePath, {.body = text(sampleDocument())});
    options.serviceHost = untrusted.hostPort();
    try {
        Playlist playlist(config.str(), "DEVICE1", false, "", options);
        ADD_FAILURE() << "loaded from an untrusted service";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()),
                  "Playlist JSON download failed: SSL peer certificate or SSH remote key was not OK");
    }
    EXPECT_EQ(untrusted.requestCount(), 0u);

    // A body that stalls past the transfer time-out (1 s here, 30 s in the player).
    options.serviceHost = server.hostPort();
    options.transferTimeoutSeconds = 1;
    server.respond(devicePath, {.body = text(sampleDocument()), .stallAfter = 10, .stallMs = 60'000});
    try {
        Playlist playlist(config.str(), "DEVICE1", false, "", options);
        ADD_FAILURE() << "loaded a stalled document";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), "Playlist JSON download failed: Timeout was reached");
    }
    EXPECT_FALSE(fs::exists(base() + "/acme"));
}

TEST_F(PlaylistLoading, AFailedWriteKeepsTheOldDocumentAndReleasesTheGroup) {
    // A directory where the document goes: the replacement cannot be renamed into place.
    writeTestFile(fs::path(directory()) / "playlist.json" / "keep", "old");
    server.respond(devicePath, {.body = text(sampleDocument())});
    try {
        Playlist playlist(config.str(), "DEVICE1", false, "", options);
        ADD_FAILURE() << "loaded";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), "Could not write playlist JSON file");
    }
    EXPECT_EQ(readFile(directory() + "/playlist.json/keep"), "old");
    EXPECT_EQ(std::distance(fs::directory_iterator(directory()), fs::directory_iterator()), 1);  // no temporaries
    EXPECT_FALSE(queue.group(1));
    EXPECT_EQ(queue.queuedTaskCount(), 0u);
}

TEST_F(PlaylistLoading, StartUpPlaysTheStoredPlaylistWithoutAsking) {
    online = false;
    const Json::Value document = sampleDocument();
    storeActive("  " + text(document));  // rewritten on load
    writeTestFile(directory() + "/unreferenced.png", "x");
    auto completing = worker();

    Playlist playlist(config.str(), "DEVICE1", true, "", options);

    EXPECT_EQ(server.requestCount(), 0u);
    EXPECT_EQ(readFile(directory() + "/playlist.json"), text(document));
    ASSERT_EQ(tasks.size(), 2u);
    EXPECT_EQ(tasks[0].targetPath, directory() + "/a b#1?.png");
    EXPECT_EQ(tasks[1].targetPath, directory() + "/clip.mp4");
    EXPECT_EQ(playlist.downloadGroupId, 0u);
    EXPECT_FALSE(queue.group(tasks[0].groupId));
    EXPECT_EQ(fs::read_symlink(playing()).string(), directory() + "/playlist.json");
    EXPECT_FALSE(fs::exists(directory() + "/unreferenced.png"));
    EXPECT_TRUE(fs::exists(directory() + "/clip.mp4"));
}

TEST_F(PlaylistLoading, StartUpWithAFailedMediumKeepsTheOldLink) {
    storeActive(text(sampleDocument()));
    auto completing = worker({"clip.mp4"});
    try {
        Playlist playlist(config.str(), "DEVICE1", true, "", options);
        ADD_FAILURE() << "loaded";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), "Playlist assets failed validation");
    }
    EXPECT_FALSE(queue.group(1));
    EXPECT_TRUE(fs::is_symlink(playing()));
}

// An empty, dangling or missing "playing.json" at start-up means asking the service.
TEST_F(PlaylistLoading, StartUpDownloadsWhenThereIsNothingToRead) {
    server.respond(devicePath, {.body = text(sampleDocument("Fresh"))});
    const std::function<void(PlaylistLoading&)> setups[] = {
        [](PlaylistLoading& t) { t.storeActive(""); },
        [](PlaylistLoading& t) {
            fs::create_directories(t.base());
            fs::create_symlink(t.base() + "/gone.json", t.playing());
        },
        [](PlaylistLoading&) {},
    };
    auto completing = worker();
    std::size_t expectedRequests = 0;
    for (const auto& setup : setups) {
        fs::remove_all(base());
        setup(*this);
        Playlist playlist(config.str(), "DEVICE1", true, "", options);
        EXPECT_EQ(server.requestCount(), ++expectedRequests);
        EXPECT_EQ(playlist.name(), "Fresh");
        EXPECT_EQ(fs::read_symlink(playing()).string(), directory("Fresh") + "/playlist.json");
    }

    // A plain file is read like the link's target; the activation then puts a link in its place.
    fs::remove_all(base());
    writeTestFile(playing(), text(sampleDocument("Plain")));
    Playlist plain(config.str(), "DEVICE1", true, "", options);
    EXPECT_EQ(plain.name(), "Plain");
    EXPECT_EQ(server.requestCount(), expectedRequests);
    EXPECT_EQ(fs::read_symlink(playing()).string(), directory("Plain") + "/playlist.json");

    // A directory is no document, and no link can replace it.
    fs::remove_all(base());
    fs::create_directories(playing() / "inside");
    try {
        Playlist blocked(config.str(), "DEVICE1", true, "", options);
        ADD_FAILURE() << "activated";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), "Failed to activate startup playlist");
    }
    EXPECT_TRUE(fs::is_directory(playing() / "inside"));
}

TEST_F(PlaylistLoading, StartUpAcceptsTheEmptyPlaylistButNeverActivatesIt) {
    Json::Value empty;
    empty["account"] = "";
    empty["branch"] = "";
    empty["playlist"] = "0 Empty Playlist";
    empty["slides"] = Json::arrayValue;
    empty["ticker"][0]["message"] = "Welcome";
    storeActive(text(empty), "unused");

    Playlist playlist(config.str(), "DEVICE1", true, "", options);
    EXPECT_EQ(playlist.name(), "0 Empty Playlist");
    EXPECT_EQ(playlist.directory(), playlist.baseDirectory);
    EXPECT_EQ(playlist.slideCount(), 0u);
    ASSERT_EQ(playlist.tickerMessageCount(), 1u);
    EXPECT_EQ(playlist.tickerMessageAt(0), "Welcome");
    EXPECT_EQ(playlist.downloadGroupId, 0u);
    EXPECT_FALSE(fs::exists(playlist.baseDirectory + "/playlist.json"));
    EXPECT_EQ(fs::read_symlink(playing()).string(), directory("unused") + "/playlist.json");
    EXPECT_EQ(server.requestCount(), 0u);

    // The server's side never hands out the empty playlist.
    server.respond(devicePath, {.body = text(empty)});
    EXPECT_THROW(Playlist(config.str(), "DEVICE1", false, "", options), std::runtime_error);
}

TEST_F(PlaylistLoading, WaitsOfflineCheckingOnceASecond) {
    online = false;
    std::atomic<int> probes{0};
    options.internetAccess = [&] {
        ++probes;
        return online.load();
    };
    server.respond(devicePath, {.body = text(sampleDocument())});
    auto loading = std::async(std::launch::async, [&] { return Playlist(config.str(), "DEVICE1", false, "", options).name(); });

    ASSERT_TRUE(clock.waitForWaiters(1));
    EXPECT_EQ(probes, 1);
    for (int second = 1; second <= 3; ++second) {
        clock.advance(1000);
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (probes < second + 1 && std::chrono::steady_clock::now() < limit) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_TRUE(clock.waitForWaiters(1));  // asleep again, after exactly one more probe
        EXPECT_EQ(probes, second + 1);
    }
    EXPECT_EQ(server.requestCount(), 0u);
    online = true;
    clock.advance(1000);
    EXPECT_EQ(loading.get(), "Lobby");
    EXPECT_EQ(probes, 5);
}

TEST_F(PlaylistLoading, AnActivePlaylistEndsTheOfflineWait) {
    online = false;
    server.respond(devicePath, {.body = text(sampleDocument())});
    auto loading = std::async(std::launch::async, [&] { return Playlist(config.str(), "DEVICE1", false, "", options).name(); });
    ASSERT_TRUE(clock.waitForWaiters(1));
    storeActive("{}", "Older");
    clock.advance(1000);
    EXPECT_EQ(loading.get(), "Lobby");  // the service is still asked: it may be reachable after all
}

// Once the player stops, every wait and the transfer end with "Playlist loading stopped".
TEST_F(PlaylistLoading, StoppingEndsEveryWait) {
    const auto expectStopped = [](std::future<void>& loading, const char* what) {
        ASSERT_EQ(loading.wait_for(std::chrono::seconds(5)), std::future_status::ready) << what;
        try {
            loading.get();
            ADD_FAILURE() << what << ": loaded";
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(std::string(error.what()), "Playlist loading stopped") << what;
        }
    };

    // Offline, with nothing to fall back on.
    online = false;
    std::future<void> offline = std::async(std::launch::async, [&] { Playlist(config.str(), "DEVICE1", false, "", options); });
    ASSERT_TRUE(clock.waitForWaiters(1));
    running = false;
    clock.advance(1000);
    expectStopped(offline, "offline wait");

    // A document that stalls mid-transfer.
    running = true;
    online = true;
    server.respond(devicePath, {.body = text(sampleDocument()), .stallAfter = 10, .stallMs = 60'000});
    std::future<void> transfer = std::async(std::launch::async, [&] { Playlist(config.str(), "DEVICE1", false, "", options); });
    ASSERT_TRUE(server.waitForRequests(1));
    running = false;
    expectStopped(transfer, "transfer");

    // Start-up media that never arrive: the queue stops.
    running = true;
    storeActive(text(sampleDocument()));
    std::future<void> media = std::async(std::launch::async, [&] { Playlist(config.str(), "DEVICE1", true, "", options); });
    while (queue.queuedTaskCount() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    queue.stop();
    expectStopped(media, "media wait");
    // The group, with both tasks still pending, is given up; its pictures are refused meanwhile.
    ASSERT_TRUE(queue.group(1));
    EXPECT_TRUE(queue.group(1)->abandoned);
    EXPECT_TRUE(cache.isReleased(1));
    DownloadTask task;
    while (queue.pop(task)) queue.completeTask(task.groupId, true);
    EXPECT_FALSE(queue.group(1));
    EXPECT_FALSE(cache.isReleased(1));
}

// Two loads of one playlist at start-up: the start-up load's activation must not delete what the
// newer load from the service stored, and the newer one cleans up after both.
TEST_F(PlaylistLoading, TheLaterOfTwoLoadsOfADirectoryCleansUp) {
    storeActive(text(sampleDocument("Lobby", "old.png")));
    server.respond(devicePath, {.body = text(sampleDocument("Lobby", "new.png"))});

    auto startup = std::async(std::launch::async,
                              [&] { return std::make_unique<Playlist>(config.str(), "DEVICE1", true, "", options); });
    while (queue.queuedTaskCount() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Playlist newer(config.str(), "DEVICE1", false, "", options);
    const std::vector<DownloadTask> queued = drain(queue);
    ASSERT_EQ(queued.size(), 4u);
    for (const DownloadTask& task : queued) writeTestFile(task.targetPath, "medium");
    for (const DownloadTask& task : queued) queue.completeTask(task.groupId, true);

    const std::unique_ptr<Playlist> active = startup.get();
    EXPECT_EQ(fs::read_symlink(playing()).string(), directory() + "/playlist.json");
    EXPECT_TRUE(fs::exists(directory() + "/new.png"));
    EXPECT_TRUE(fs::exists(directory() + "/old.png"));
    ASSERT_TRUE(newer.activate());
    EXPECT_TRUE(fs::exists(directory() + "/new.png"));
    EXPECT_FALSE(fs::exists(directory() + "/old.png"));
}

// An edit of the playlist on screen whose new medium fails must not cost the version that plays:
// the next start, offline, shows the old version. An edit whose media arrive becomes the stored
// version when it activates, and not before.
TEST_F(PlaylistLoading, AnEditOfThePlaylistOnScreenReplacesItsDocumentOnlyWhenActivated) {
    const Json::Value shown = sampleDocument("Lobby", "old.png");
    const Json::Value edit = sampleDocument("Lobby", "new.png");
    storeActive(text(shown));
    server.respond(devicePath, {.body = text(edit)});
    {
        auto completing = worker({"new.png"});
        Playlist failing(config.str(), "DEVICE1", false, "", options);
        ASSERT_TRUE(failing.waitForDownloads(10'000));
        EXPECT_FALSE(failing.downloadsSucceeded());
    }
    EXPECT_EQ(parse(readFile(playing())), shown);

    online = false;
    {
        auto completing = worker();
        Playlist restarted(config.str(), "DEVICE1", true, "", options);
        ASSERT_EQ(restarted.slideCount(), 1u);
        EXPECT_EQ(std::get<ImageLayer>(restarted.slideAt(0).layers.at(0).content).file, "old.png");
    }

    online = true;
    auto completing = worker();
    Playlist succeeding(config.str(), "DEVICE1", false, "", options);
    ASSERT_TRUE(succeeding.waitForDownloads(10'000));
    ASSERT_TRUE(succeeding.downloadsSucceeded());
    EXPECT_EQ(parse(readFile(playing())), shown);
    ASSERT_TRUE(succeeding.activate());
    EXPECT_EQ(fs::read_symlink(playing()).string(), directory() + "/playlist.json");
    EXPECT_EQ(parse(readFile(playing())), edit);
    for (const auto& entry : fs::directory_iterator(directory())) {
        EXPECT_EQ(entry.path().string().find(".part"), std::string::npos) << entry.path();
    }
}

// At start-up the stored playlist waits for its media while the service's newer one is loaded
// and activated: the start-up load still returns its playlist, but leaves the link on the newer.
TEST_F(PlaylistLoading, TheStartUpActivationNeverUndoesANewerOne) {
    storeActive(text(sampleDocument("Lobby")));
    server.respond(devicePath, {.body = text(sampleDocument("Newer"))});
    auto startup = std::async(std::launch::async,
                              [&] { return std::make_unique<Playlist>(config.str(), "DEVICE1", true, "", options); });
    while (queue.queuedTaskCount() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const std::vector<DownloadTask> held = drain(queue);

    Playlist newer(config.str(), "DEVICE1", false, "", options);
    for (const DownloadTask& task : drain(queue)) {
        writeTestFile(task.targetPath, "medium");
        queue.completeTask(task.groupId, true);
    }
    ASSERT_TRUE(newer.waitForDownloads(10'000));
    ASSERT_TRUE(newer.activate());

    for (const DownloadTask& task : held) {
        writeTestFile(task.targetPath, "medium");
        queue.completeTask(task.groupId, true);
    }
    const std::unique_ptr<Playlist> shown = startup.get();
    EXPECT_EQ(shown->name(), "Lobby");
    EXPECT_EQ(fs::read_symlink(playing()).string(), directory("Newer") + "/playlist.json");
}

// Playlists that go out of use leave the disk, all but the two activated last before the active
// one; the directory of a playlist still held (on screen, overriding, being loaded) and the
// base's own files stay whatever their age.
TEST_F(PlaylistLoading, EarlierPlaylistsLeaveTheDiskButTheLastTwoAndThoseInUseStay) {
    auto completing = worker();
    const auto load = [&](const std::string& name) {
        server.respond(devicePath, {.body = text(sampleDocument(name))});
        auto playlist = std::make_unique<Playlist>(config.str(), "DEVICE1", false, "", options);
        EXPECT_TRUE(playlist->waitForDownloads(10'000));
        return playlist;
    };
    writeTestFile(fs::path(base()) / "acme" / "notes.txt", "the base's own");
    writeTestFile(fs::path(base()) / "acme" / "main" / "notes.txt", "the base's own");
    auto held = load("Held");  // loaded, never activated, still alive
    for (const char* name : {"A", "B", "C"}) ASSERT_TRUE(load(name)->activate()) << name;
    EXPECT_TRUE(fs::exists(directory("A") + "/clip.mp4"));
    ASSERT_TRUE(load("D")->activate());

    EXPECT_FALSE(fs::exists(directory("A")));
    for (const char* name : {"B", "C", "D", "Held"}) {
        EXPECT_TRUE(fs::exists(directory(name) + "/clip.mp4")) << name;
    }
    EXPECT_TRUE(fs::exists(fs::path(base()) / "acme" / "notes.txt"));
    EXPECT_TRUE(fs::exists(fs::path(base()) / "acme" / "main" / "notes.txt"));
    EXPECT_EQ(fs::read_symlink(playing()).string(), directory("D") + "/playlist.json");

    // Once its handle is gone, the held playlist's directory goes with the next activation.
    held.reset();
    ASSERT_TRUE(load("E")->activate());
    EXPECT_FALSE(fs::exists(directory("Held")));
    EXPECT_FALSE(fs::exists(directory("B")));
    EXPECT_TRUE(fs::exists(directory("C")));
}

// The disk is full when the start-up load rewrites the active playlist's document, which
// "playing.json" names: the old document must survive whole, or an offline player has nothing to
// play. Runs in a child process with a small file system of its own over the playlist directory.
TEST(PlaylistLoadingOnAFullDisk, TheActiveDocumentSurvives) {
    TempDir config;
    const std::string directory = config.str() + "/lumetta/acme/main/Lobby";
    fs::create_directories(directory);
    const std::string original = "\n" + text(sampleDocument());
    int channel[2];
    ASSERT_EQ(::pipe(channel), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(channel[0]);
        const auto report = [&](const std::string& outcome) {
            (void)!::write(channel[1], outcome.data(), outcome.size());
            ::_exit(0);
        };
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", directory.c_str(), "tmpfs", 0, "size=16k") != 0) {
            report("skip");
        }
        writeTestFile(directory + "/playlist.json", original);
        fs::create_symlink(directory + "/playlist.json", config.str() + "/lumetta/playing.json");
        {
            std::ofstream filler(directory + "/filler", std::ios::binary);
            const std::string block(512, 'f');
            while (filler.write(block.data(), block.size()) && filler.flush()) {
            }
        }
        PreparedImageCache cache;
        ThreadSafeQueue queue(cache);
        std::atomic<bool> running{true};
        PlaylistLoadOptions options;
        options.queue = &queue;
        options.internetAccess = [] { return false; };
        options.running = &running;
        std::string outcome;
        try {
            Playlist playlist(config.str(), "DEVICE1", true, "", options);
            outcome = "loaded";
        } catch (const std::exception& error) {
            outcome = error.what();
        }
        outcome += readFile(directory + "/playlist.json") == original ? "|intact" : "|changed";
        outcome += "|" + std::to_string(std::distance(fs::directory_iterator(directory), fs::directory_iterator()));
        outcome += queue.group(1) ? "|group left" : "|no group";
        report(outcome);
    }
    ::close(channel[1]);
    std::string outcome;
    char buffer[256];
    for (ssize_t n; (n = ::read(channel[0], buffer, sizeof buffer)) > 0;) outcome.append(buffer, n);
    ::close(channel[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (outcome == "skip") GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(outcome, "Could not write playlist JSON file|intact|2|no group");
}

TEST(PlaylistLoadingHelpers, AppendResponseRefusesWhatItCannotHold) {
    std::string target = "ab";
    char data[] = "cdef";
    EXPECT_EQ(appendResponse(data, 1, 4, &target), 4u);
    EXPECT_EQ(target, "abcdef");
    EXPECT_EQ(appendResponse(data, 2, 2, &target), 4u);
    EXPECT_EQ(target, "abcdefcdef");
    EXPECT_EQ(appendResponse(data, 1, 0, &target), 0u);
    EXPECT_EQ(appendResponse(nullptr, 1, 4, &target), 0u);
    EXPECT_EQ(appendResponse(data, 1, 4, nullptr), 0u);
    EXPECT_EQ(appendResponse(data, 1u << 16, 1u << 16, &target), 0u);  // 4 GiB does not fit in 32 bits
    EXPECT_EQ(target, "abcdefcdef");
}

TEST(PlaylistLoadingHelpers, EnsurePlaylistDirectoryNamesTheFault) {
    TempDir temp;
    ensurePlaylistDirectory(temp / "a/b/c");
    EXPECT_TRUE(fs::is_directory(temp / "a/b/c"));
    ensurePlaylistDirectory(temp / "a/b/c");  // already there

    writeTestFile(temp / "file", "x");
    try {
        ensurePlaylistDirectory(temp / "file/below");
        ADD_FAILURE();
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()),
                  "Could not create playlist directory '" + (temp / "file/below").string() + "': Not a directory");
    }
    try {
        ensurePlaylistDirectory(temp / "file");
        ADD_FAILURE();
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()),
                  "Could not create playlist directory '" + (temp / "file").string() + "': Not a directory");
    }
}

}  // namespace
}  // namespace lumetta
