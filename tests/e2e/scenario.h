#pragma once
// The common ground of the whole-program scenarios: a network namespace of the scenario's own,
// the stand-in service, the media and the playlist of four slides (image, text, shape, video
// with sound), and the checks on what the player shows and stores.

#include <gtest/gtest.h>
#include <json/json.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "player_process.h"
#include "scenario_content.h"
#include "service_stand_in.h"
#include "support/temp_dir.h"

namespace lumetta::testing {

// The bounds of the scenarios' waits come from what the player does meanwhile, plus one margin.
// The start-up splash holds the first slide of a run back: its 5 s intro, then the identity view
// until its first re-check 5 s later; the first slide then fades it out over 2 s.
inline constexpr std::chrono::seconds kSplash{10};
inline constexpr std::chrono::seconds kSplashFade{2};
// Every slide of the scenarios' playlists lasts this long.
inline constexpr std::chrono::seconds kSlide{2};
// What a loaded machine with two cores adds, in a sanitizer build: start-up, downloads, decoding.
inline constexpr std::chrono::seconds kMargin{20};
// A wait for a slide of the first playlist of a run, `slidesBefore` slides into it (the
// playlist requested just before, or the stored one at start-up).
inline constexpr int firstPlaylistBoundMs(int slidesBefore = 0) {
    return static_cast<int>(std::chrono::milliseconds(kSplash + kSplashFade + slidesBefore * kSlide + kMargin).count());
}

// Which of the four slides a frame shows (most of the screen in its colour), if any.
enum class Shown { Image, Text, Shape, Video, Emergency, Other };
Shown shownOn(const Frame& frame);
const char* nameOf(Shown shown);
inline constexpr Frame::Color kEmergencyColor{153, 0, 0};

// Waits (real time) until `condition` holds; false after `bound`.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds bound);

// The JSON of a text, or null when it is not JSON.
Json::Value parseJson(const std::string& text);

// Text messages of the player of one type ("device", "transition", ...), parsed.
std::vector<Json::Value> messagesOfType(const ServiceStandIn& service, const std::string& type);

// A scenario that outlives `limit` (a hang somewhere in the program, the stand-in or a test
// step) prints every thread's stack of the test process and aborts, instead of waiting for
// ctest's time-out (300 s) without a word.
class HangReport {
public:
    explicit HangReport(std::chrono::seconds limit);
    ~HangReport();

private:
    std::jthread watcher_;
};

class Scenario : public ::testing::Test {
protected:
    // First: it is destroyed last, so a hang in any member's destructor is reported too.
    HangReport hangReport{std::chrono::seconds(240)};

    void SetUp() override;

    // A player of this scenario's service; `home` defaults to the scenario's.
    std::unique_ptr<PlayerProcess> startPlayer(PlayerOptions options);
    std::unique_ptr<PlayerProcess> startPlayer() { return startPlayer(service->playerOptions()); }

    // Publishes the four-slide playlist under `playlistId` for `deviceId` and its media.
    void publishLobby(const std::string& deviceId, const std::string& playlistId = "lobby");
    // Tells the newest connection to play it.
    void requestLobby(const std::string& playlistId = "lobby", const std::string& sha1 = "5eed");

    // Waits until the player shows `shown`; the frame.
    std::optional<Frame> waitForShown(PlayerProcess& player, Shown shown, int timeoutMs = 20000);
    // Waits until every one of the four slides was seen; each seen frame differs from the others.
    // By default the playlist is the run's first: the splash, then a round of its slides.
    void expectEverySlideSeen(PlayerProcess& player, int timeoutMs = firstPlaylistBoundMs(4));

    std::filesystem::path dataDirectory() const { return home.path() / "lumetta"; }
    std::filesystem::path lobbyDirectory() const { return dataDirectory() / "acme/main/Lobby"; }
    // "playing.json" resolves to the lobby's stored document, and that document, the
    // configuration and every medium are whole.
    void expectLobbyStoredWhole();

    TempDir files;
    TempDir home;
    std::unique_ptr<ServiceStandIn> service;
    std::filesystem::path photo;
    std::filesystem::path clip;
    std::filesystem::path alsaConfig;
    std::filesystem::path soundFile;
    std::string lobbyDocument;
};

}  // namespace lumetta::testing
