#include "scenario.h"

#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <map>
#include <sstream>
#include <thread>

#include "support/lan.h"

namespace lumetta::testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

Shown shownOn(const Frame& frame) {
    const std::pair<Shown, Frame::Color> kinds[] = {{Shown::Image, kImageColor},
                                                    {Shown::Text, kTextBackground},
                                                    {Shown::Shape, kShapeColor},
                                                    {Shown::Video, kVideoColor},
                                                    {Shown::Emergency, kEmergencyColor}};
    for (const auto& [kind, color] : kinds) {
        if (frame.share(color, 36) > 0.6) return kind;
    }
    return Shown::Other;
}

const char* nameOf(Shown shown) {
    switch (shown) {
        case Shown::Image: return "image";
        case Shown::Text: return "text";
        case Shown::Shape: return "shape";
        case Shown::Video: return "video";
        case Shown::Emergency: return "emergency";
        default: return "other";
    }
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

Json::Value parseJson(const std::string& text) {
    Json::Value value;
    Json::CharReaderBuilder builder;
    std::string errors;
    std::istringstream in(text);
    if (!Json::parseFromStream(builder, in, &value, &errors)) return Json::Value();
    return value;
}

std::vector<Json::Value> messagesOfType(const ServiceStandIn& service, const std::string& type) {
    std::vector<Json::Value> found;
    for (const std::string& text : service.messagesFromPlayer()) {
        Json::Value message = parseJson(text);
        if (message.isObject() && message["type"].isString() && message["type"].asString() == type) {
            found.push_back(message);
        }
    }
    return found;
}

HangReport::HangReport(std::chrono::seconds limit)
    : watcher_([limit](std::stop_token stop) {
          std::mutex mutex;
          std::condition_variable_any woken;
          std::unique_lock lock(mutex);
          if (woken.wait_for(lock, stop, limit, [] { return false; }) || stop.stop_requested()) return;
          std::fprintf(stderr, "[E2E] the scenario hangs; the stacks of its threads:\n");
          const std::string command = "gdb -p " + std::to_string(::getpid()) +
                                      " -batch -ex 'thread apply all bt' 1>&2 2>/dev/null";
          std::system(command.c_str());
          std::abort();
      }) {}

HangReport::~HangReport() { watcher_.request_stop(); }

void Scenario::SetUp() {
    LUMETTA_REQUIRE_PRIVATE_NETWORK();
    ASSERT_TRUE(enterFreshNetworkNamespace());
    service = std::make_unique<ServiceStandIn>();
    photo = makeImage(files / "photo.png");
    clip = makeClip(files / "clip.mp4", 2.0);
    soundFile = files / "sound.raw";
    // The board's "default" sound device writes raw samples to a file.
    alsaConfig = writeTestFile(files / "asound.conf", "pcm.!default {\n    type file\n    slave.pcm \"e2enull\"\n"
                                                      "    file \"" + soundFile.string() +
                                                          "\"\n    format \"raw\"\n}\npcm.e2enull {\n    type null\n}\n");
    lobbyDocument = playlistDocument("Lobby", {imageSlide("image", "photo.png", sha1OfFile(photo), 2),
                                               textSlide("text", "Welcome", 2), shapeSlide("shape", kShapeColor, 2),
                                               videoSlide("video", "clip.mp4", sha1OfFile(clip), 2)});
}

std::unique_ptr<PlayerProcess> Scenario::startPlayer(PlayerOptions options) {
    options.environment.emplace("ALSA_CONFIG_PATH", alsaConfig.string());
    return std::make_unique<PlayerProcess>(home.path(), std::move(options));
}

void Scenario::publishLobby(const std::string& deviceId, const std::string& playlistId) {
    service->publishPlaylist(deviceId, playlistId, lobbyDocument);
    service->publishMedia("images", "photo.png", photo);
    service->publishMedia("videos", "clip.mp4", clip);
}

void Scenario::requestLobby(const std::string& playlistId, const std::string& sha1) {
    service->send(R"({"type": "playlist", "data": {"name": "Lobby", "sha1": ")" + sha1 + R"(", "id": ")" + playlistId +
                  R"("}})");
}

std::optional<Frame> Scenario::waitForShown(PlayerProcess& player, Shown shown, int timeoutMs) {
    return player.waitForFrame([shown](const Frame& frame) { return shownOn(frame) == shown; }, timeoutMs);
}

void Scenario::expectEverySlideSeen(PlayerProcess& player, int timeoutMs) {
    std::map<Shown, Frame> seen;
    player.waitForFrame(
        [&](const Frame& frame) {
            const Shown shown = shownOn(frame);
            if (shown != Shown::Other && shown != Shown::Emergency && !seen.count(shown)) seen.emplace(shown, frame);
            return seen.size() == 4;
        },
        timeoutMs);
    for (const Shown kind : {Shown::Image, Shown::Text, Shown::Shape, Shown::Video}) {
        EXPECT_TRUE(seen.count(kind)) << "never saw the " << nameOf(kind) << " slide\n" << player.err();
    }
    // Not black, and no two alike.
    for (const auto& [kind, frame] : seen) {
        EXPECT_LT(frame.blackShare(), 0.5) << nameOf(kind);
        for (const auto& [other, otherFrame] : seen) {
            if (other != kind) {
                EXPECT_GT(frame.differenceFrom(otherFrame), 0.5) << nameOf(kind) << " " << nameOf(other);
            }
        }
    }
}

void Scenario::expectLobbyStoredWhole() {
    const fs::path playing = dataDirectory() / "playing.json";
    ASSERT_TRUE(fs::is_symlink(playing));
    EXPECT_EQ(fs::read_symlink(playing), fs::path("/home/lumetta/acme/main/Lobby/playlist.json"));
    std::ifstream document(lobbyDirectory() / "playlist.json");
    std::stringstream text;
    text << document.rdbuf();
    const Json::Value stored = parseJson(text.str());
    EXPECT_EQ(stored, parseJson(lobbyDocument));
    if (fs::exists(dataDirectory() / "config.json")) {
        std::ifstream config(dataDirectory() / "config.json");
        std::stringstream configText;
        configText << config.rdbuf();
        EXPECT_TRUE(parseJson(configText.str()).isObject()) << configText.str();
    }
    // A picture may be stored reduced for the screen; a video is stored as it came.
    EXPECT_TRUE(fs::exists(lobbyDirectory() / "photo.png"));
    EXPECT_EQ(sha1OfFile(lobbyDirectory() / "clip.mp4"), sha1OfFile(clip));
}

}  // namespace lumetta::testing
