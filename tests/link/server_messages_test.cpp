// The service's messages as the handler takes them: every check with its line, every effect on
// the link state, the configuration under a temporary base directory, the playlist job's mailbox,
// the device and the player loop's events.
#include <SDL3/SDL_error.h>
#include <SDL3/SDL_events.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <json/json.h>

#include "core/config_store.h"
#include "device/cec.h"
#include "device/command.h"
#include "link/server_messages.h"
#include "link/slide_sync_packet.h"
#include "platform/websocket.h"
#include "support/manual_clock.h"
#include "support/temp_dir.h"

namespace lumetta {
namespace {

using testing::ManualClock;
using testing::TempDir;

// Counts the times the device went looking for a CEC adapter (the television was asked to change).
class CountingCecIo : public CecIo {
public:
    int lookups = 0;
    std::vector<std::filesystem::path> listDirectory(const std::filesystem::path&) override {
        ++lookups;
        return {};
    }
    int open(const std::string&, int) override { return -1; }
    int ioctl(int, unsigned long, void*) override { return -1; }
    int poll(pollfd*, nfds_t, int) override { return -1; }
    int close(int) override { return 0; }
};

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The handler with everything it reaches replaced by something the test can read.
class Harness {
public:
    Harness() : command(seams()) {
        std::filesystem::create_directories(base / "lumetta");
        context.state = &state;
        context.running = &running;
        context.factoryResetRequested = &factoryReset;
        context.baseDirectory = base.str();
        context.command = &command;
        context.mailbox = &mailbox;
        context.clock = &clock;
        context.pushEvent = [this](std::uint32_t type, std::int32_t code) {
            events.emplace_back(type, code);
            return pushSucceeds;
        };
        context.errors = &log;
        savedRotation = displayRotation.load();
        savedName = currentDeviceName();
    }

    ~Harness() {
        displayRotation = savedRotation;
        setDeviceName(savedName);
    }

    void send(const std::string& text, int kind = kWebSocketText) {
        handleServerMessage(text.data(), static_cast<std::uint32_t>(text.size()), kind, context);
    }

    std::vector<std::string> lines() const {
        std::vector<std::string> result;
        std::istringstream in(log.str());
        for (std::string line; std::getline(in, line);) result.push_back(line);
        return result;
    }

    Json::Value config() const {
        Json::Value document;
        loadConfigDocument(configPath(base.str()), document);
        return document;
    }

    std::string queued() const {
        const std::optional<PlaylistJobRequest> waiting = mailbox.waiting();
        if (!waiting) return "-";
        const PlaylistJobRequest& r = *waiting;
        return r.name + "|" + r.sha1 + "|" + r.id + "|" + std::to_string(r.activateAt) + "|" +
               (r.emergency ? "emergency" : "normal") + "|" + std::to_string(r.expiresAt);
    }

    TempDir base;
    ServerLinkState state;
    std::atomic<bool> running{true};
    std::atomic<bool> factoryReset{false};
    ManualClock clock{1'750'000'000'000};
    PlaylistJobMailbox mailbox;
    std::vector<std::pair<std::uint32_t, std::int32_t>> events;
    bool pushSucceeds = true;
    std::ostringstream log;
    CountingCecIo cec;
    int reboots = 0;
    Command command;
    ServerMessageContext context;

private:
    CommandSeams seams() {
        CommandSeams s;
        s.model = "Test Board";
        s.cecIo = &cec;
        s.rebootAction = [this] {
            ++reboots;
            return std::string();
        };
        return s;
    }

    int savedRotation = 0;
    std::string savedName;
};

using Events = std::vector<std::pair<std::uint32_t, std::int32_t>>;

struct Case {
    const char* name;
    std::vector<std::string> frames;
    std::vector<std::string> lines;                 // exactly these, in order
    std::function<void(Harness&)> check = nullptr;  // the effect (or its absence)
    std::function<void(Harness&)> before = nullptr;
};

void runCases(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        if (c.before) c.before(h);
        for (const std::string& frame : c.frames) h.send(frame);
        EXPECT_EQ(h.lines(), c.lines);
        if (c.check) c.check(h);
    }
}

void nothingChanged(Harness& h) {
    EXPECT_TRUE(h.state.bindCode.empty());
    EXPECT_TRUE(h.state.availablePlaylists.empty());
    EXPECT_FALSE(h.state.waitingEmergencyUpdate.has_value());
    EXPECT_TRUE(h.state.requestedPlaylistName.empty());
    EXPECT_FALSE(h.state.displayModeRequest.pending);
    EXPECT_EQ(h.queued(), "-");
    EXPECT_TRUE(h.events.empty());
    EXPECT_TRUE(h.running);
    EXPECT_EQ(h.reboots, 0);
}

std::string nested(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST(ServerMessages, FramesThatAreNotOneObjectWithATypeAreDroppedWithOneLine) {
    runCases({
        {"one byte: ignored silently", {"{"}, {}, nothingChanged},
        {"not JSON", {"hello"}, {"[WEBSOCKET] Invalid JSON structure: * Line 1, Column 1", "  Syntax error: value, object or array expected."},
         nothingChanged},
        {"nesting past the reader's limit is reported, not thrown",
         {R"({"type":"name","data":)" + nested(2000) + "}"},
         {"[WEBSOCKET] Invalid JSON structure: Exceeded stackLimit in readValue()."},
         nothingChanged},
        {"an array", {"[1]"}, {"[WEBSOCKET] JSON root is not an object"}, nothingChanged},
        {"no type", {"{}"}, {"[WEBSOCKET] Missing or invalid type field"}, nothingChanged},
        {"a type that is not a string", {R"({"type":["name"]})"}, {"[WEBSOCKET] Missing or invalid type field"}, nothingChanged},
        {"types match exactly", {R"({"type":"Name","data":"x"})"}, {"[WEBSOCKET] Ignoring unknown message type: Name"},
         nothingChanged},
    });
}

TEST(ServerMessages, NothingIsReadFromBinaryFramesWhileStoppingOrWhileTheAttemptEnds) {
    const std::string frame = R"({"type":"bindComplete"})";
    for (const char* what : {"binary", "stopped", "ending"}) {
        SCOPED_TRACE(what);
        Harness h;
        int kind = kWebSocketText;
        if (std::string(what) == "binary") kind = kWebSocketBinary;
        if (std::string(what) == "stopped") h.running = false;
        if (std::string(what) == "ending") h.state.breakRequested = true;
        h.send(frame, kind);
        EXPECT_FALSE(h.state.bindComplete);
        EXPECT_TRUE(h.lines().empty());
    }
    Harness h;
    h.send(frame);
    EXPECT_TRUE(h.state.bindComplete);
}

TEST(ServerMessages, NameAndPairingValues) {
    runCases({
        {"name",
         {R"({"type":"name","data":"Lobby screen"})"},
         {},
         [](Harness& h) {
             EXPECT_EQ(currentDeviceName(), "Lobby screen");
             EXPECT_EQ(h.config()["name"].asString(), "Lobby screen");
         }},
        {"name without text", {R"({"type":"name","data":7})", R"({"type":"name"})"},
         {"[WEBSOCKET] name has no valid string data", "[WEBSOCKET] name has no valid string data"}},
        {"a name that cannot be saved is still used",
         {R"({"type":"name","data":"Hall"})"},
         {"[WEBSOCKET] Error writing device name"},
         [](Harness&) { EXPECT_EQ(currentDeviceName(), "Hall"); },
         [](Harness& h) { testing::writeTestFile(configPath(h.base.str()), "[not an object]"); }},
        {"pairing code, picture and link together; numbers and booleans as their text",
         {R"({"type":"bindCode","data":{"code":"AB12","qrCode":"cXI=","url":"https://pair.test"}})",
          R"({"type":"bindCode","data":{"code":4711,"qrCode":true}})"},
         {},
         [](Harness& h) {
             EXPECT_EQ(h.state.bindCode, "4711");
             EXPECT_EQ(h.state.bindQrCode, "true");
             EXPECT_EQ(h.state.bindUrl, "");
         }},
        {"a member jsoncpp cannot turn into text refuses the whole message",
         {R"({"type":"bindCode","data":{"code":"AB12","qrCode":"q","url":"u"}})",
          R"({"type":"bindCode","data":{"code":"CD34","qrCode":["q"],"url":"v"}})"},
         {"[WEBSOCKET] Ignoring bindCode message: \"qrCode\" is an array"},
         [](Harness& h) {
             EXPECT_EQ(h.state.bindCode, "AB12");
             EXPECT_EQ(h.state.bindUrl, "u");
         }},
        {"pairing without an object", {R"({"type":"bindCode","data":"AB12"})"},
         {"[WEBSOCKET] bindCode has no valid data object"}, nothingChanged},
        {"completion reads no data", {R"({"type":"bindComplete","data":[]})"}, {},
         [](Harness& h) { EXPECT_TRUE(h.state.bindComplete); }},
    });
}

TEST(ServerMessages, DisplayModeTexts) {
    struct ModeCase {
        const char* text;
        const char* line;  // "" when accepted
        int width = 0;
        int height = 0;
        float rate = 0;
    };
    const std::vector<ModeCase> cases = {
        {"1920x1080@60", "", 1920, 1080, 60.0f},
        {"1920x1080@59.94", "", 1920, 1080, 59.94f},
        {" 1280 x 720 @ 50 ", "", 1280, 720, 50.0f},
        {"0x1080@60", "[WEBSOCKET] display mode values must be positive"},
        {"1920x1080@", "[WEBSOCKET] display mode values must be positive"},
        {"1920x1080@-60", "[WEBSOCKET] display mode values must be positive"},
        {"1920x1080@1e300", "[WEBSOCKET] display mode values must be positive"},
        {"1920x1080", "[WEBSOCKET] invalid display mode: 1920x1080"},
        {"1920 by 1080", "[WEBSOCKET] invalid display mode: 1920 by 1080"},
        {"1920x1080@60Hz", "[WEBSOCKET] invalid display mode: 1920x1080@60Hz"},
        {"1920*1080@60", "[WEBSOCKET] invalid display mode: 1920*1080@60"},
        {"99999999999x1080@60", "[WEBSOCKET] invalid display mode: 99999999999x1080@60"},
    };
    for (const ModeCase& c : cases) {
        SCOPED_TRACE(c.text);
        Harness h;
        Json::Value message;
        message["type"] = "displayMode";
        message["data"]["displayMode"] = c.text;
        h.send(Json::FastWriter().write(message));
        const DisplayModeRequest request = takePendingDisplayMode(h.state);
        if (std::string(c.line).empty()) {
            EXPECT_TRUE(h.lines().empty());
            EXPECT_TRUE(request.pending);
            EXPECT_EQ(request.width, c.width);
            EXPECT_EQ(request.height, c.height);
            EXPECT_FLOAT_EQ(request.refreshRate, c.rate);
            EXPECT_FALSE(takePendingDisplayMode(h.state).pending) << "taken once";
        } else {
            EXPECT_EQ(h.lines(), std::vector<std::string>{c.line});
            EXPECT_FALSE(request.pending);
        }
        EXPECT_TRUE(h.events.empty()) << "a display mode wakes nobody";
    }

    runCases({
        {"no mode text",
         {R"({"type":"displayMode","data":{"displayMode":1080}})", R"({"type":"displayMode","data":"1920x1080@60"})"},
         {"[WEBSOCKET] displayMode has no valid mode data", "[WEBSOCKET] displayMode has no valid mode data"},
         nothingChanged},
        {"a second mode before the loop takes one replaces it",
         {R"({"type":"displayMode","data":{"displayMode":"1920x1080@60"}})",
          R"({"type":"displayMode","data":{"displayMode":"3840x2160@30"}})"},
         {},
         [](Harness& h) {
             const DisplayModeRequest request = takePendingDisplayMode(h.state);
             EXPECT_EQ(request.width, 3840);
             EXPECT_EQ(request.height, 2160);
         }},
    });
}

TEST(ServerMessages, GroupUpdatesStoreTheGroupThenWakeTheLoop) {
    struct GroupCase {
        const char* name;
        std::string groupId;       // the JSON of data.groupId, "" for none
        const char* stored;        // the configuration's groupId afterwards, nullptr: no key
        const char* line = "";     // "" when accepted; then the generation moves and the loop wakes
        bool unwritable = false;   // the configuration file is damaged
    };
    const std::vector<GroupCase> cases = {
        {"a group", R"("lobby")", "lobby"},
        {"an empty group id is stored as it is", R"("")", ""},
        {"null leaves the group", "null", nullptr},
        {"a number", "5", "old", "[WEBSOCKET] groupUpdate has no valid groupId"},
        {"no group id", "", "old", "[WEBSOCKET] groupUpdate has no valid groupId"},
        {"the group cannot be stored", R"("lobby")", nullptr, "[WEBSOCKET] Error adding device to group", true},
        {"the group cannot be left", "null", nullptr, "[WEBSOCKET] Error removing device from group", true},
    };
    for (const GroupCase& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        if (c.unwritable) {
            testing::writeTestFile(configPath(h.base.str()), "{\"groupId\": broken");
        } else {
            setConfigString(h.base.str(), "groupId", "old");
        }
        const std::uint64_t generation = groupConfigGeneration();
        h.send(R"({"type":"groupUpdate","data":{)" + (c.groupId.empty() ? "" : R"("groupId":)" + c.groupId) + "}}");
        const bool accepted = std::string(c.line).empty();
        EXPECT_EQ(h.lines(), accepted ? std::vector<std::string>{} : std::vector<std::string>{c.line});
        EXPECT_EQ(groupConfigGeneration() != generation, accepted);
        EXPECT_EQ(h.events, accepted ? (Events{{groupChangedEvent, 0}}) : Events{});
        if (!c.unwritable) {
            const Json::Value config = h.config();
            EXPECT_EQ(config.isMember("groupId"), c.stored != nullptr);
            if (c.stored != nullptr) {
                EXPECT_EQ(config["groupId"].asString(), c.stored);
            }
        }
    }
}

TEST(ServerMessages, OrientationIsSetStoredAndWrittenUnchecked) {
    runCases({
        {"90",
         {R"({"type":"orientation","data":90})"},
         {},
         [](Harness& h) {
             EXPECT_EQ(displayRotation.load(), 90);
             EXPECT_EQ(screenOrientation(), 90);
             EXPECT_EQ(readFile(h.base / "lumetta" / "orientation"), "90\n");
             EXPECT_EQ(h.config()["orientation"].asInt(), 90);
         }},
        {"any integer", {R"({"type":"orientation","data":-45})"}, {},
         [](Harness& h) { EXPECT_EQ(readFile(h.base / "lumetta" / "orientation"), "-45\n"); }},
        {"not an integer",
         {R"({"type":"orientation","data":"90"})", R"({"type":"orientation","data":1.5})",
          R"({"type":"orientation","data":4294967296})"},
         {"[WEBSOCKET] orientation has no valid integer data", "[WEBSOCKET] orientation has no valid integer data",
          "[WEBSOCKET] orientation has no valid integer data"},
         [](Harness& h) { EXPECT_FALSE(std::filesystem::exists(h.base / "lumetta" / "orientation")); }},
        {"a file that cannot be written leaves the rotation set",
         {R"({"type":"orientation","data":180})"},
         {"[WEBSOCKET] Error writing orientation"},
         [](Harness& h) {
             EXPECT_EQ(displayRotation.load(), 180);
             EXPECT_FALSE(h.config().isMember("orientation"));
         },
         [](Harness& h) { std::filesystem::create_directories(h.base / "lumetta" / "orientation" / "busy"); }},
    });
}

TEST(ServerMessages, AvailablePlaylistsReplaceTheListWhole) {
    const auto listed = [](std::vector<AvailablePlaylist> expected) {
        return [expected](Harness& h) { EXPECT_EQ(availablePlaylists(h.state), expected); };
    };
    const std::string first = R"({"type":"availablePlaylists","data":{"playlists":[{"name":"Old","id":"o"}]}})";
    runCases({
        {"three entries, one with an empty name",
         {R"({"type":"availablePlaylists","data":{"playlists":[{"name":"A","id":"1"},{"name":"","id":"2"},{"name":"C","id":"3"}]}})"},
         {"[WEBSOCKET] Ignoring available playlist with an empty name or ID"},
         listed({{"A", "1"}, {"C", "3"}})},
        {"entries of other kinds",
         {R"({"type":"availablePlaylists","data":{"playlists":[7,{"name":"A","id":1},{"name":"B"},{"name":"C","id":"3"}]}})"},
         {"[WEBSOCKET] Ignoring non-object available playlist", "[WEBSOCKET] Ignoring invalid available playlist",
          "[WEBSOCKET] Ignoring invalid available playlist"},
         listed({{"C", "3"}})},
        {"no list leaves the old one",
         {first, R"({"type":"availablePlaylists","data":{"playlists":{}}})", R"({"type":"availablePlaylists"})"},
         {"[WEBSOCKET] availablePlaylists has no valid data.playlists array",
          "[WEBSOCKET] availablePlaylists has no valid data.playlists array"},
         listed({{"Old", "o"}})},
        {"an empty list empties it", {first, R"({"type":"availablePlaylists","data":{"playlists":[]}})"}, {}, listed({})},
    });
}

TEST(ServerMessages, EmergencyOverridesAndTheirEnd) {
    const std::int64_t now = 1'750'000'000'000;
    const std::string later = std::to_string(now + 60'000);
    const auto emergency = [](const std::string& data) { return R"({"type":"emergency","data":)" + data + "}"; };
    const Events woken = {{playlistReadyEvent, 0}};
    runCases({
        {"clear, even without an end time",
         {emergency(R"({"clear":true})")},
         {},
         [woken](Harness& h) {
             ASSERT_TRUE(h.state.waitingEmergencyUpdate.has_value());
             EXPECT_EQ(h.state.waitingEmergencyUpdate->kind, PlaylistUpdateKind::emergencyCleared);
             EXPECT_EQ(h.state.waitingEmergencyUpdate->playlist, nullptr);
             EXPECT_EQ(h.events, woken);
         }},
        {"a message of 4096 bytes",
         {emergency(R"({"expiresAt":)" + later + R"(,"message":")" + std::string(4096, 'A') + "\"}")},
         {},
         [woken, now](Harness& h) {
             ASSERT_TRUE(h.state.waitingEmergencyUpdate.has_value());
             const PlaylistUpdate& update = *h.state.waitingEmergencyUpdate;
             EXPECT_EQ(update.kind, PlaylistUpdateKind::emergency);
             EXPECT_EQ(update.expiresAt, now + 60'000);
             ASSERT_NE(update.playlist, nullptr);
             EXPECT_EQ(update.playlist->name(), "Emergency Alert");
             EXPECT_EQ(h.events, woken);
             EXPECT_EQ(h.queued(), "-");
         }},
        {"a message of 4097 bytes",
         {emergency(R"({"expiresAt":)" + later + R"(,"message":")" + std::string(4097, 'A') + "\"}")},
         {"[WEBSOCKET] Emergency message exceeds 4096 bytes"},
         nothingChanged},
        {"an override replaces a waiting one, and its end replaces that",
         {emergency(R"({"expiresAt":)" + later + R"(,"message":"one"})"),
          emergency(R"({"expiresAt":)" + later + R"(,"message":"two"})"), emergency(R"({"clear":1})")},
         {},
         [](Harness& h) {
             EXPECT_EQ(h.state.waitingEmergencyUpdate->kind, PlaylistUpdateKind::emergencyCleared);
             EXPECT_EQ(h.events.size(), 3u);
         }},
        {"the end time is required and must lie ahead",
         {emergency(R"({"message":"fire"})"), emergency(R"({"expiresAt":"tomorrow","message":"fire"})"),
          emergency(R"({"expiresAt":)" + std::to_string(now) + R"(,"message":"fire"})")},
         {"[WEBSOCKET] emergency requires expiresAt in Unix milliseconds",
          "[WEBSOCKET] emergency requires expiresAt in Unix milliseconds", "[WEBSOCKET] Ignoring expired emergency"},
         nothingChanged},
        {"a playlist by id and SHA-1, named by default",
         {emergency(R"({"expiresAt":)" + later + R"(,"id":"p7","sha1":"abc"})")},
         {},
         [later](Harness& h) {
             EXPECT_EQ(h.queued(), "Emergency Playlist|abc|p7|0|emergency|" + later);
             EXPECT_EQ(requestedPlaylistName(h.state), "Emergency Playlist");
             EXPECT_TRUE(h.events.empty()) << "the job wakes the loop once the playlist is ready";
             EXPECT_TRUE(h.state.pendingPlaylistRequest.name.empty()) << "overrides leave the pending request alone";
         }},
        {"neither a message nor a whole playlist",
         {emergency(R"({"expiresAt":)" + later + R"(,"id":"p7"})"),
          emergency(R"({"expiresAt":)" + later + R"(,"message":"","sha1":"abc"})")},
         {"[WEBSOCKET] Emergency requires a message or playlist id and SHA1",
          "[WEBSOCKET] Emergency requires a message or playlist id and SHA1"},
         nothingChanged},
        {"members jsoncpp cannot convert",
         {emergency(R"({"clear":"yes"})"), emergency(R"({"expiresAt":)" + later + R"(,"name":{},"id":"p","sha1":"s"})")},
         {"[WEBSOCKET] Ignoring emergency message: \"clear\" is a string",
          "[WEBSOCKET] Ignoring emergency message: \"name\" is an object"},
         nothingChanged},
        {"no object", {emergency("[]")}, {"[WEBSOCKET] emergency has no valid data object"}, nothingChanged},
    });
}

TEST(ServerMessages, PlaylistRequestsAreQueuedOnceEach) {
    const std::int64_t now = 1'750'000'000'000;
    const auto playlist = [](const std::string& data) { return R"({"type":"playlist","data":)" + data + "}"; };
    const auto sequence = [](std::uint64_t expected) {
        return [expected](Harness& h) { EXPECT_EQ(h.mailbox.sequence(), expected); };
    };
    runCases({
        {"a request",
         {playlist(R"({"name":"Morning","sha1":"aa","id":"7","activateAt":null})")},
         {},
         [](Harness& h) {
             EXPECT_EQ(h.queued(), "Morning|aa|7|0|normal|0");
             EXPECT_EQ(h.state.pendingPlaylistRequest.name, "Morning");
             EXPECT_EQ(h.state.pendingPlaylistRequest.sha1, "aa");
             EXPECT_EQ(requestedPlaylistName(h.state), "Morning");
         }},
        {"the same request again is a duplicate",
         {playlist(R"({"name":"M","sha1":"aa","id":"7","activateAt":5})"),
          playlist(R"({"name":"M","sha1":"aa","id":"other","activateAt":5})")},
         {},
         sequence(1)},
        {"without a time once the pending one is due, too",
         {playlist(R"({"name":"M","sha1":"aa","activateAt":)" + std::to_string(now) + "}"),
          playlist(R"({"name":"M","sha1":"aa"})")},
         {},
         sequence(1)},
        {"but not before it is due",
         {playlist(R"({"name":"M","sha1":"aa","activateAt":)" + std::to_string(now + 1) + "}"),
          playlist(R"({"name":"M","sha1":"aa"})")},
         {},
         sequence(2)},
        {"another SHA-1 or another time is a new request",
         {playlist(R"({"name":"M","sha1":"aa"})"), playlist(R"({"name":"M","sha1":"bb"})"),
          playlist(R"({"name":"M","sha1":"bb","activateAt":9})")},
         {},
         [](Harness& h) {
             EXPECT_EQ(h.mailbox.sequence(), 3u);
             EXPECT_EQ(h.queued(), "M|bb||9|normal|0");
         }},
        {"bad times",
         {playlist(R"({"name":"M","sha1":"aa","activateAt":-1})"), playlist(R"({"name":"M","sha1":"aa","activateAt":"noon"})"),
          playlist(R"({"name":"M","sha1":"aa","activateAt":1.5})")},
         {"[WEBSOCKET] Ignoring playlist with invalid activateAt", "[WEBSOCKET] Ignoring playlist with invalid activateAt",
          "[WEBSOCKET] Ignoring playlist with invalid activateAt"},
         nothingChanged},
        {"no SHA-1", {playlist(R"({"name":"M","id":"7"})")}, {"[WEBSOCKET] Ignoring playlist with no SHA1"}, nothingChanged},
        {"an id jsoncpp cannot convert", {playlist(R"({"name":"M","sha1":"aa","id":[7]})")},
         {"[WEBSOCKET] Ignoring playlist message: \"id\" is an array"}, nothingChanged},
        {"no object", {playlist(R"("M")")}, {"[WEBSOCKET] playlist has no valid data object"}, nothingChanged},
    });

    // The job clears the pending request after a failure: the same playlist is taken again.
    Harness h;
    h.send(playlist(R"({"name":"M","sha1":"aa"})"));
    {
        const auto lock = lockWebSocketState();
        h.state.pendingPlaylistRequest.name.clear();
        h.state.pendingPlaylistRequest.sha1.clear();
    }
    h.send(playlist(R"({"name":"M","sha1":"aa"})"));
    EXPECT_EQ(h.mailbox.sequence(), 2u);
}

TEST(ServerMessages, DeviceCommands) {
    runCases({
        {"reboot", {R"({"type":"reboot"})"}, {}, [](Harness& h) { EXPECT_EQ(h.reboots, 1); }},
        {"factory reset stops the player and wakes the loop",
         {R"({"type":"factoryReset"})"},
         {},
         [](Harness& h) {
             EXPECT_TRUE(h.factoryReset);
             EXPECT_FALSE(h.running);
             EXPECT_EQ(h.events, (Events{{SDL_EVENT_QUIT, 0}}));
             EXPECT_EQ(h.reboots, 0) << "the reset and its reboot are main's, after the loop";
         }},
        {"a reset whose event cannot be queued still stops the player",
         {R"({"type":"factoryReset"})"},
         {"[FACTORY RESET] Failed to wake display loop: event queue full"},
         [](Harness& h) {
             EXPECT_TRUE(h.factoryReset);
             EXPECT_FALSE(h.running);
         },
         [](Harness& h) {
             h.pushSucceeds = false;
             h.context.pushEvent = [&h](std::uint32_t, std::int32_t) {
                 SDL_SetError("event queue full");
                 return h.pushSucceeds;
             };
         }},
        {"television on and standby",
         {R"({"type":"tv","data":{"state":"on"}})", R"({"type":"tv","data":{"state":"standby"}})"},
         {},
         [](Harness& h) { EXPECT_EQ(h.cec.lookups, 2); }},
        {"other television states do nothing",
         {R"({"type":"tv","data":{"state":"blink"}})", R"({"type":"tv","data":{}})"},
         {},
         [](Harness& h) { EXPECT_EQ(h.cec.lookups, 0); }},
        {"television without an object, or with a state jsoncpp cannot convert",
         {R"({"type":"tv","data":"on"})", R"({"type":"tv","data":{"state":{"on":true}}})"},
         {"[WEBSOCKET] tv has no valid data object", "[WEBSOCKET] Ignoring tv message: \"state\" is an object"},
         [](Harness& h) { EXPECT_EQ(h.cec.lookups, 0); }},
    });
}

TEST(ServerMessages, TheLayersCallbackUsesTheContextOfItsThread) {
    Harness h;
    const std::string frame = R"({"type":"bindComplete"})";
    handleServerMessage(nullptr, frame.data(), static_cast<std::uint32_t>(frame.size()), kWebSocketText);
    EXPECT_FALSE(h.state.bindComplete) << "no link runs on this thread";
    {
        ScopedServerMessageContext scope(h.context);
        handleServerMessage(nullptr, frame.data(), static_cast<std::uint32_t>(frame.size()), kWebSocketText);
    }
    EXPECT_TRUE(h.state.bindComplete);
}

}  // namespace
}  // namespace lumetta
