// The built player against the stand-in service, as a board runs it: each scenario starts the
// real program, drives it through the service and looks at what it shows, sends and stores.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "core/program_entry.h"
#include "scenario.h"

namespace lumetta {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::Frame;
using testing::Scenario;
using testing::Shown;

std::int64_t unixMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::vector<std::string> entriesOf(const fs::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The device report, sent once a run with the first slide of its first playlist (requested just
// before): it carries the screen the command line asked for, `orientation`, no group, and every
// other member in its JSON type (their values come from the machine).
void expectOneDeviceReport(const testing::ServiceStandIn& service, int orientation) {
    const auto isDevice = [](const std::string& text) { return testing::parseJson(text)["type"] == "device"; };
    std::vector<std::string> sent;
    ASSERT_TRUE(testing::eventually(
        [&] {
            sent = service.messagesFromPlayer();
            return std::any_of(sent.begin(), sent.end(), isDevice);
        },
        std::chrono::milliseconds(testing::firstPlaylistBoundMs())))
        << "no device report";
    ASSERT_EQ(std::count_if(sent.begin(), sent.end(), isDevice), 1);
    const auto device = std::find_if(sent.begin(), sent.end(), isDevice);

    const Json::Value message = testing::parseJson(*device);
    ASSERT_EQ(message.getMemberNames(), (std::vector<std::string>{"data", "type"})) << *device;
    const Json::Value& data = message["data"];
    ASSERT_TRUE(data.isObject()) << *device;
    EXPECT_EQ(data.getMemberNames(), (std::vector<std::string>{"device", "groupId", "memory", "network", "orientation",
                                                               "os", "processor", "screen", "sdcard", "version"}))
        << *device;
    for (const char* text : {"device", "memory", "sdcard", "os"}) EXPECT_TRUE(data[text].isString()) << text;
    EXPECT_EQ(data["version"], programVersion);
    EXPECT_TRUE(data["orientation"].isInt() && data["orientation"].asInt() == orientation) << *device;
    EXPECT_TRUE(data["groupId"].isNull()) << *device;

    const Json::Value& processor = data["processor"];
    EXPECT_TRUE(processor["scaling"].isString()) << *device;
    ASSERT_TRUE(processor["cores"].isArray()) << *device;
    for (const Json::Value& core : processor["cores"]) {
        EXPECT_EQ(core.getMemberNames(), std::vector<std::string>{"speed"}) << *device;
        EXPECT_TRUE(core["speed"].isString()) << *device;
    }

    // The scenario's namespace has no default route: no active interface, so no Wi-Fi name.
    const Json::Value& network = data["network"];
    EXPECT_EQ(network.getMemberNames(), (std::vector<std::string>{"active", "network"})) << *device;
    EXPECT_EQ(network["active"], "") << *device;
    EXPECT_EQ(network["network"].getMemberNames(), (std::vector<std::string>{"IPv4", "IPv6", "MACAddress"}))
        << *device;
    for (const char* address : {"IPv4", "IPv6", "MACAddress"}) EXPECT_TRUE(network["network"][address].isString());

    // The window is the size the command line gave. A mode flagged current is reported on its
    // own and not repeated among the others.
    const Json::Value& screen = data["screen"];
    EXPECT_EQ(screen["width"], 320) << *device;
    EXPECT_EQ(screen["height"], 180) << *device;
    ASSERT_TRUE(screen["availableDisplayModes"].isArray()) << *device;
    for (const Json::Value& mode : screen["availableDisplayModes"]) {
        EXPECT_TRUE(mode.isString()) << *device;
        EXPECT_NE(mode, screen["currentDisplayMode"]) << *device;
    }
    if (screen.isMember("currentDisplayMode")) {
        EXPECT_TRUE(screen["currentDisplayMode"].isString()) << *device;
    }
}

// A device's first start: it takes the playlist it is sent, stores it, and shows each of its
// slides; the video's sound reaches the sound device; each slide change is reported.
TEST_F(Scenario, FirstStartPlaysEverySlideOfItsPlaylist) {
    auto player = startPlayer();
    publishLobby(player->deviceId());
    ASSERT_TRUE(service->waitFor("request GET /ws?d=" + player->deviceId())) << player->err();
    ASSERT_TRUE(service->waitForOpen());

    requestLobby();
    expectEverySlideSeen(*player);
    expectLobbyStoredWhole();
    EXPECT_EQ(service->downloads("/images/photo.png"), 1);
    EXPECT_EQ(service->downloads("/videos/clip.mp4"), 1);

    // Every slide change went to the service, named by the slide's id.
    std::set<std::string> reported;
    ASSERT_TRUE(testing::eventually(
        [&] {
            for (const Json::Value& report : testing::messagesOfType(*service, "transition")) {
                reported.insert(report["data"]["slide"].asString());
            }
            return reported.size() >= 4;
        },
        20s));
    EXPECT_EQ(reported, (std::set<std::string>{"image", "text", "shape", "video"}));
    expectOneDeviceReport(*service, 0);
    // The clip's sound was played (48 kHz, so even part of a second is many bytes).
    EXPECT_TRUE(testing::eventually([&] { return fs::exists(soundFile) && fs::file_size(soundFile) > 4096; }, 10s));
    EXPECT_EQ(player->stop(), 0) << player->err();
}

// The screen is turned by the service before the first playlist arrives: the device report,
// made once that playlist is taken, already names the new orientation.
TEST_F(Scenario, TheDeviceReportNamesTheOrientationSetBeforeTheFirstPlaylist) {
    auto player = startPlayer();
    publishLobby(player->deviceId());
    ASSERT_TRUE(service->waitForOpen());
    service->send(R"({"type": "orientation", "data": -90})");
    requestLobby();
    expectOneDeviceReport(*service, -90);
    EXPECT_EQ(player->stop(), 0) << player->err();
}

// An emergency alert covers the playlist until it is cleared; then the playlist goes on.
TEST_F(Scenario, AnEmergencyAlertIsShownAndEnded) {
    auto player = startPlayer();
    publishLobby(player->deviceId());
    ASSERT_TRUE(service->waitForOpen());
    requestLobby();
    ASSERT_TRUE(waitForShown(*player, Shown::Image, testing::firstPlaylistBoundMs())) << player->err();

    service->send(R"({"type": "emergency", "data": {"message": "Please leave the building", "expiresAt": )" +
                  std::to_string(unixMs() + 120000) + "}}");
    ASSERT_TRUE(waitForShown(*player, Shown::Emergency)) << player->err();
    // It stays while it lasts: the slides' durations pass without a change.
    std::this_thread::sleep_for(5s);
    EXPECT_EQ(testing::shownOn(player->latestFrame().value()), Shown::Emergency);

    service->send(R"({"type": "emergency", "data": {"clear": true}})");
    const std::optional<Frame> back = player->waitForFrame(
        [](const Frame& frame) {
            const Shown shown = testing::shownOn(frame);
            return shown != Shown::Emergency && shown != Shown::Other;
        },
        20000);
    ASSERT_TRUE(back) << player->err();
    EXPECT_EQ(player->stop(), 0) << player->err();
}

// The service goes away for 20 seconds: the player plays on, and once the service is back it
// reconnects by itself within its back-off (5 s, then 10 s, then 20 s between attempts).
TEST_F(Scenario, ThePlayerPlaysThroughAServiceOutageAndReconnects) {
    auto player = startPlayer();
    publishLobby(player->deviceId());
    ASSERT_TRUE(service->waitForOpen());
    requestLobby();
    ASSERT_TRUE(waitForShown(*player, Shown::Image, testing::firstPlaylistBoundMs())) << player->err();

    service->command("stop");
    ASSERT_TRUE(service->waitFor("stopped"));
    const auto outage = std::chrono::steady_clock::now();
    // Slides keep changing meanwhile.
    std::set<Shown> seen;
    player->waitForFrame(
        [&](const Frame& frame) {
            seen.insert(testing::shownOn(frame));
            return std::chrono::steady_clock::now() - outage > 20s;
        },
        30000);
    seen.erase(Shown::Other);
    EXPECT_GE(seen.size(), 3u) << "the slides did not go on while the service was away";

    // The service listens again some 20 s after the drop, while the player waits out a step of
    // at most 20 s of its back-off (5, 10, 20 s after failed attempts, with a 5 s pause before
    // them when the dropped connection had lasted 30 s): it tries again within one such step.
    constexpr auto step = 20s;
    service->skip();
    service->command("start");
    ASSERT_TRUE(service->waitFor("listening"));
    const auto restarted = std::chrono::steady_clock::now();
    ASSERT_TRUE(service->waitFor("open", static_cast<int>(std::chrono::milliseconds(step + testing::kMargin).count())))
        << player->err();
    // A generous ceiling for the attempt itself; a longer step (40 s) would pass it.
    EXPECT_LT(std::chrono::steady_clock::now() - restarted, step + 8s);
    EXPECT_TRUE(player->exitStatus() == std::nullopt);
    EXPECT_EQ(player->stop(), 0) << player->err();
}

// A power cut while a new playlist downloads, and again just as the next one becomes active:
// each time the next start plays what is stored, with the configuration, the documents and the
// "playing.json" link intact, without the service.
TEST_F(Scenario, AKillDuringADownloadOrAnActivationLeavesAPlayableStore) {
    {
        auto player = startPlayer();
        publishLobby(player->deviceId());
        ASSERT_TRUE(service->waitForOpen());
        requestLobby();
        ASSERT_TRUE(waitForShown(*player, Shown::Video, testing::firstPlaylistBoundMs(3))) << player->err();

        // A second playlist whose video arrives in part and then stalls.
        const fs::path big = testing::makeClip(files / "big.mp4", 6.0, {250, 250, 0});
        service->publishPlaylist(player->deviceId(), "hall",
                                 testing::playlistDocument("Hall", {testing::videoSlide("v", "big.mp4",
                                                                                        testing::sha1OfFile(big))}));
        service->command("stall /videos/big.mp4 " + big.string() + " 20000");
        service->send(R"({"type": "playlist", "data": {"name": "Hall", "sha1": "beef", "id": "hall"}})");
        ASSERT_TRUE(service->waitFor("http GET /videos/big.mp4 held"));
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(player->kill(), 128 + 9);
    }
    expectLobbyStoredWhole();

    {
        // The next start has no service at all.
        testing::PlayerOptions offline = service->playerOptions();
        offline.serviceHost = "127.0.0.1:9";
        auto player = startPlayer(offline);
        expectEverySlideSeen(*player);
        player->kill();
    }

    // Now the second playlist arrives whole, and the power goes just as its last byte does.
    {
        auto player = startPlayer();
        ASSERT_TRUE(service->waitForOpen(2));
        const fs::path small = testing::makeClip(files / "small.mp4", 1.0, testing::kShapeColor);
        service->publishPlaylist(player->deviceId(), "hall2",
                                 testing::playlistDocument("Hall", {testing::videoSlide("v", "small.mp4",
                                                                                        testing::sha1OfFile(small))}));
        service->publishMedia("videos", "small.mp4", small);
        service->send(R"({"type": "playlist", "data": {"name": "Hall", "sha1": "cafe", "id": "hall2"}})");
        ASSERT_TRUE(service->waitFor("http GET /videos/small.mp4 200"));
        player->kill();
    }
    // Whichever playlist the link names, it is whole.
    const fs::path playing = dataDirectory() / "playing.json";
    ASSERT_TRUE(fs::is_symlink(playing)) << "the link is gone";
    const fs::path target = home.path() / fs::read_symlink(playing).lexically_relative("/home");
    std::ifstream document(target);
    std::stringstream text;
    text << document.rdbuf();
    EXPECT_TRUE(testing::parseJson(text.str()).isObject()) << target;

    testing::PlayerOptions offline = service->playerOptions();
    offline.serviceHost = "127.0.0.1:9";
    auto player = startPlayer(offline);
    EXPECT_TRUE(player->waitForFrame(
        [](const Frame& frame) {
            const Shown shown = testing::shownOn(frame);
            return shown == Shown::Image || shown == Shown::Shape;
        },
        testing::firstPlaylistBoundMs()))
        << player->err();
}

// Hostile input from the service: malformed and oversized messages, a document that reaches
// outside its directory, a medium that fails its digest. The playlist that plays keeps playing,
// and nothing is written outside the data directory.
TEST_F(Scenario, HostileMessagesAndDocumentsLeaveThePlayingPlaylistAlone) {
    auto player = startPlayer();
    publishLobby(player->deviceId());
    ASSERT_TRUE(service->waitForOpen());
    requestLobby();
    ASSERT_TRUE(waitForShown(*player, Shown::Image, testing::firstPlaylistBoundMs())) << player->err();

    for (const std::string& message :
         {std::string("not json at all"), std::string("[1, 2, 3]"), std::string(R"({"type": 7})"),
          std::string(R"({"type": "playlist"})"), std::string(R"({"type": "playlist", "data": {"id": [], "sha1": {}}})"),
          std::string(R"({"type": "orientation", "data": "sideways"})"),
          std::string(R"({"type": "emergency", "data": {"message": ")") + std::string(5000, 'x') +
              R"(", "expiresAt": )" + std::to_string(unixMs() + 60000) + "}}",
          std::string(R"({"type": "displayMode", "data": {"displayMode": "99999x99999@1e309"}})"),
          std::string(R"({"type": "groupUpdate", "data": {"groupId": {"nested": [[[[[]]]]]}}})"),
          std::string(R"({"type": "name", "data": ")") + std::string(100000, 'n') + "\"}"}) {
        service->send(message);
    }
    service->command("binary 00ff00ff");
    service->command("raw 8100");  // an empty text frame

    // A document whose media climb out of the playlist's directory, one with a medium that fails
    // its digest, and a document that is not JSON.
    service->publishPlaylist(player->deviceId(), "evil",
                             testing::playlistDocument("Evil", {testing::imageSlide("x", "../../../../../etc/evil.png",
                                                                                    testing::sha1OfFile(photo))}));
    service->send(R"({"type": "playlist", "data": {"name": "Evil", "sha1": "e1", "id": "evil"}})");
    ASSERT_TRUE(service->waitFor("http GET " + testing::ServiceStandIn::playlistTarget(player->deviceId(), "evil")));
    service->publishPlaylist(player->deviceId(), "liar",
                             testing::playlistDocument("Liar", {testing::imageSlide("x", "photo.png", std::string(40, '0'))}));
    service->send(R"({"type": "playlist", "data": {"name": "Liar", "sha1": "e2", "id": "liar"}})");
    ASSERT_TRUE(service->waitFor("http GET /images/photo.png 200"));
    service->publishPlaylist(player->deviceId(), "garbage", "{\"account\": \"acme\", \"slides\": [");
    service->send(R"({"type": "playlist", "data": {"name": "Garbage", "sha1": "e3", "id": "garbage"}})");
    ASSERT_TRUE(service->waitFor("http GET " + testing::ServiceStandIn::playlistTarget(player->deviceId(), "garbage")));

    // The lobby plays on.
    std::this_thread::sleep_for(3s);
    expectEverySlideSeen(*player, 30000);
    ASSERT_FALSE(player->exitStatus()) << player->err();
    EXPECT_EQ(player->stop(), 0) << player->err();
    expectLobbyStoredWhole();
    EXPECT_EQ(entriesOf(home.path()), std::vector<std::string>{"lumetta"});
    EXPECT_FALSE(fs::exists(dataDirectory() / "acme/main/Evil"));
    EXPECT_FALSE(fs::exists(dataDirectory() / "acme/main/Garbage"));
}

}  // namespace
}  // namespace lumetta
