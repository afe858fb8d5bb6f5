// The service's road to the screen up to the player loop, in one process: the player's own link
// thread, playlist job, download workers and image worker against the stand-in service. The
// stand-in's requests and formats are the ones the whole-program scenarios rely on.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "content/download_queue.h"
#include "content/download_worker.h"
#include "content/image_processing.h"
#include "core/process_state.h"
#include "device/command.h"
#include "link/server_link.h"
#include "scenario_content.h"
#include "service_stand_in.h"
#include "support/lan.h"
#include "support/temp_dir.h"
#include "support/test_tls.h"

namespace lumetta {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Waits (real time) until `condition` holds; false after `bound`.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds bound = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

// The threads main starts around the loop, pointed at the scenario's directory and service.
class LinkAndWorkers {
public:
    LinkAndWorkers(const std::string& base, const std::string& serviceHost, std::string deviceId)
        : deviceId_(std::move(deviceId)) {
        configBaseDirectory = base;
        playerRunning = true;
        ServerLinkOptions options;
        options.serviceHost = serviceHost;
        options.baseDirectory = base;
        options.playlistLoad.serviceHost = serviceHost;
        options.playlistLoad.internetAccess = [] { return true; };
        link_ = std::jthread([this, options] { webSocket(deviceId_.data(), command_, options); });
        for (auto& worker : downloads_) {
            worker = std::jthread([base] {
                DownloadWorkerSettings settings;
                settings.contentDirectory = base + "/lumetta";
                downloadWorker(downloadQueue, settings);
            });
        }
        images_ = std::jthread([] { imageProcessingWorker(downloadQueue); });
    }
    ~LinkAndWorkers() {
        downloadQueue.stop();
        for (auto& worker : downloads_) worker.join();
        stopImageProcessing();
        images_.join();
        playerRunning = false;
        link_.join();
    }

private:
    std::string deviceId_;
    Command command_;
    std::jthread link_;
    std::jthread downloads_[2];
    std::jthread images_;
};

TEST(ContentRoad, APlaylistMessageBecomesTheActivePlaylistAndAHostileOneChangesNothing) {
    LUMETTA_REQUIRE_PRIVATE_NETWORK();
    ASSERT_TRUE(testing::enterFreshNetworkNamespace());
    testing::TempDir files;
    testing::TempDir base;
    testing::ServiceStandIn service;
    testing::ScopedEnvironmentVariable trust("SSL_CERT_FILE", service.caFile().string());
    const std::string device = "E2E-CONTENT-1";

    const fs::path photo = testing::makeImage(files / "photo.png");
    const fs::path clip = testing::makeClip(files / "clip.mp4", 1.0);
    const std::string document = testing::playlistDocument(
        "Lobby", {testing::imageSlide("image", "photo.png", testing::sha1OfFile(photo)),
                  testing::textSlide("text", "Welcome"), testing::shapeSlide("shape"),
                  testing::videoSlide("video", "clip.mp4", testing::sha1OfFile(clip))});
    service.publishPlaylist(device, "p1", document);
    service.publishMedia("images", "photo.png", photo);
    service.publishMedia("videos", "clip.mp4", clip);

    LinkAndWorkers player(base.str(), service.hostPort(), device);
    ASSERT_TRUE(service.waitFor("request GET /ws?d=" + device));
    ASSERT_TRUE(service.waitForOpen());
    service.send(R"({"type": "playlist", "data": {"name": "Lobby", "sha1": "1111", "id": "p1"}})");

    const fs::path playing = base / "lumetta/playing.json";
    const fs::path lobby = base / "lumetta/acme/main/Lobby";
    ASSERT_TRUE(eventually([&] { return fs::exists(playing); })) << joined(service.events());
    EXPECT_EQ(fs::read_symlink(playing), lobby / "playlist.json");
    EXPECT_EQ(testing::sha1OfFile(lobby / "clip.mp4"), testing::sha1OfFile(clip));
    EXPECT_TRUE(fs::exists(lobby / "photo.png"));
    EXPECT_EQ(service.downloads(testing::ServiceStandIn::playlistTarget(device, "p1")), 1);
    EXPECT_EQ(service.downloads("/images/photo.png"), 1);
    EXPECT_EQ(service.downloads("/videos/clip.mp4"), 1);

    // A hostile document (a file name that climbs out of the playlist's directory) and a
    // document whose medium the service withholds: neither becomes active, nothing of them is
    // written outside the data directory.
    service.publishPlaylist(device, "p2",
                            testing::playlistDocument("Evil", {testing::imageSlide("x", "../../../../escape.png",
                                                                                   testing::sha1OfFile(photo))}));
    service.send(R"({"type": "playlist", "data": {"name": "Evil", "sha1": "2222", "id": "p2"}})");
    ASSERT_TRUE(service.waitFor("http GET " + testing::ServiceStandIn::playlistTarget(device, "p2") + " 200"));
    service.command("withhold /videos/late.mp4");
    service.publishPlaylist(device, "p3",
                            testing::playlistDocument("Late", {testing::videoSlide("v", "late.mp4", std::string(40, 'a'))}));
    service.send(R"({"type": "playlist", "data": {"name": "Late", "sha1": "3333", "id": "p3"}})");
    ASSERT_TRUE(service.waitFor("http GET /videos/late.mp4 held"));
    EXPECT_EQ(fs::read_symlink(playing), lobby / "playlist.json");
    EXPECT_FALSE(fs::exists(base / "escape.png"));
    EXPECT_FALSE(fs::exists(base / "lumetta/acme/main/Evil"));
    for (const auto& entry : fs::recursive_directory_iterator(base.path())) {
        EXPECT_EQ(entry.path().string().rfind((base / "lumetta").string(), 0), 0u) << entry.path();
    }
}

}  // namespace
}  // namespace lumetta
