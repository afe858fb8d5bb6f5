// Emergency overrides as the player loop applies them at the start of its passes: overrides come
// through the server link's real "emergency" handler into the hand-over, normal playlists are
// handed over as the playlist job does, and time runs on a manual clock.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "device/command.h"
#include "link/server_link_state.h"
#include "link/server_messages.h"
#include "platform/websocket.h"
#include "player/emergency_override.h"
#include "support/manual_clock.h"
#include "support/temp_dir.h"

namespace lumetta::player {
namespace {

using testing::ManualClock;
using testing::TempDir;

class Emergency : public ::testing::Test {
protected:
    Emergency() {
        context.state = &state;
        context.running = &running;
        context.factoryResetRequested = &factoryReset;
        context.baseDirectory = base.str();
        context.command = &command;
        context.mailbox = &mailbox;
        context.clock = &clock;
        context.pushEvent = [this](std::uint32_t, std::int32_t) {
            ++events;
            return true;
        };
        context.errors = &linkLog;
        current = normal("N1", 3);
    }

    // A normal playlist as the playlist job hands it over; its download group tells whether it
    // is still alive.
    std::unique_ptr<Playlist> normal(const std::string& name, int slides) {
        auto playlist = std::make_unique<Playlist>(queue);
        playlist->downloadGroupId = queue.createGroup();
        groups[name] = playlist->downloadGroupId;
        PlaylistContent content;
        content.name = name;
        content.slides.resize(static_cast<std::size_t>(slides));
        playlist->content = std::move(content);
        return playlist;
    }
    bool alive(const std::string& name) const { return queue.group(groups.at(name)).has_value(); }

    void handOver(std::unique_ptr<Playlist> playlist) {
        placePlaylistUpdate({std::move(playlist), PlaylistUpdateKind::normal, 0}, state);
    }
    void emergencyMessage(const std::string& text, std::int64_t expiresAt) {
        send(R"({"type":"emergency","data":{"expiresAt":)" + std::to_string(expiresAt) + R"(,"message":")" + text +
             R"("}})");
    }
    void clearEmergency() { send(R"({"type":"emergency","data":{"clear":true}})"); }
    void send(const std::string& text) {
        handleServerMessage(text.data(), static_cast<std::uint32_t>(text.size()), kWebSocketText, context);
    }

    // One pass start: every waiting update applied.
    PlaylistUpdateOutcome pass() {
        return applyWaitingUpdates(override, current, prepare, [this] { return takePlaylistUpdate(state); });
    }

    static std::string label(const Playlist* playlist) {
        if (playlist == nullptr) return "-";
        if (playlist->name() != "Emergency Alert") return playlist->name();
        return "E:" + std::get<TextLayer>(playlist->slideAt(0).layers.at(1).content).content;
    }
    std::string now() const { return std::to_string(clock.systemMs()); }

    ManualClock clock{1'750'000'000'000};
    TempDir base;
    ThreadSafeQueue queue;
    std::map<std::string, std::uint64_t> groups;
    ServerLinkState state;
    std::atomic<bool> running{true};
    std::atomic<bool> factoryReset{false};
    Command command{CommandSeams{std::string("Test board"), [] { return std::string(); }, nullptr, nullptr, nullptr}};
    PlaylistJobMailbox mailbox;
    ServerMessageContext context;
    int events = 0;
    std::ostringstream linkLog;

    std::ostringstream out;
    std::ostringstream errors;
    EmergencyOverride override{clock, out, errors};
    std::unique_ptr<Playlist> current;
    std::vector<std::string> prepared;
    PreparePlaylist prepare = [this](Playlist& playlist) {
        prepared.push_back(label(&playlist));
        if (playlist.name() == "bad") throw std::runtime_error("font missing");
        if (playlist.name() == "worse") throw 42;
    };
};

TEST_F(Emergency, ANormalPlaylistArrivingDuringTheOverrideIsTheOneRestored) {
    const std::int64_t until = clock.systemMs() + 60'000;
    emergencyMessage("Evacuate", until);
    EXPECT_EQ(events, 1);
    PlaylistUpdateOutcome outcome = pass();
    EXPECT_TRUE(outcome.installed);
    EXPECT_EQ(label(current.get()), "E:Evacuate");
    EXPECT_EQ(label(override.savedPlaylist()), "N1");
    EXPECT_TRUE(override.active());
    EXPECT_EQ(out.str(), "[EMERGENCY] Override active until " + std::to_string(until) + "\n");

    handOver(normal("N2", 2));
    outcome = pass();
    EXPECT_FALSE(outcome.installed);
    EXPECT_FALSE(outcome.restored);
    EXPECT_EQ(label(current.get()), "E:Evacuate") << "the override goes on";
    EXPECT_EQ(label(override.savedPlaylist()), "N2");
    outcome = {};
    EXPECT_FALSE(alive("N1")) << "the interrupted playlist is dropped at the end of that pass";
    EXPECT_EQ(prepared, (std::vector<std::string>{"E:Evacuate"})) << "a kept-aside playlist is not prepared";

    clock.advance(59'999);
    EXPECT_FALSE(override.expired());
    clock.advance(1);
    EXPECT_TRUE(override.expired());
    outcome = pass();
    EXPECT_TRUE(outcome.restored);
    EXPECT_FALSE(outcome.installed);
    EXPECT_EQ(label(current.get()), "N2");
    EXPECT_FALSE(override.active());
    EXPECT_EQ(override.until(), 0);
    EXPECT_EQ(override.savedPlaylist(), nullptr);
    EXPECT_EQ(out.str(), "[EMERGENCY] Override active until " + std::to_string(until) +
                             "\n[EMERGENCY] Override ended; restored normal playlist\n");
    EXPECT_TRUE(errors.str().empty());
}

TEST_F(Emergency, ASecondOverrideReplacesTheFirstAndTheClearRestoresTheOriginal) {
    const std::int64_t first = clock.systemMs() + 10'000;
    const std::int64_t second = clock.systemMs() + 20'000;
    emergencyMessage("One", first);
    pass();
    emergencyMessage("Two", second);
    PlaylistUpdateOutcome outcome = pass();
    EXPECT_TRUE(outcome.installed);
    EXPECT_EQ(label(current.get()), "E:Two");
    EXPECT_EQ(override.until(), second);
    EXPECT_EQ(label(override.savedPlaylist()), "N1");
    ASSERT_EQ(outcome.dropped.size(), 1u);
    EXPECT_EQ(label(outcome.dropped[0].get()), "E:One");

    clock.advance(15'000);  // past the first expiry: the second one counts
    EXPECT_FALSE(override.expired());
    clearEmergency();
    outcome = pass();
    EXPECT_TRUE(outcome.restored);
    EXPECT_EQ(label(current.get()), "N1");
    EXPECT_EQ(out.str(), "[EMERGENCY] Override active until " + std::to_string(first) +
                             "\n[EMERGENCY] Override active until " + std::to_string(second) +
                             "\n[EMERGENCY] Override ended; restored normal playlist\n");
}

TEST_F(Emergency, AClearWithoutOverrideAndAClearBeforeTheOverrideWasTakenChangeNothing) {
    clearEmergency();
    PlaylistUpdateOutcome outcome = pass();
    EXPECT_FALSE(outcome.installed);
    EXPECT_FALSE(outcome.restored);
    EXPECT_TRUE(outcome.dropped.empty());

    // The hand-over keeps only the newest emergency update: the override never starts.
    emergencyMessage("Never", clock.systemMs() + 60'000);
    clearEmergency();
    outcome = pass();
    EXPECT_FALSE(outcome.installed);
    EXPECT_FALSE(outcome.restored);
    EXPECT_EQ(label(current.get()), "N1");
    EXPECT_FALSE(override.active());
    EXPECT_EQ(out.str(), "");
    EXPECT_TRUE(prepared.empty());
}

// Expiry times as the service may send them, against the loop's wall clock: already past when
// the loop takes it (the link's clock was behind), negative, and the largest value.
TEST_F(Emergency, ExpiryTimesAtTheEdges) {
    struct Case {
        const char* name;
        std::int64_t linkClock;  // the wall clock when the handler took the message
        std::int64_t expiresAt;
        std::int64_t loopAdvance;  // then the loop's clock moves by this before the pass
        bool expiredAtOnce;
    };
    const std::int64_t start = clock.systemMs();
    const std::vector<Case> cases = {
        {"past by the time the loop takes it", start, start + 5, 10, true},
        {"negative", -20'000, -10'000, 0, true},
        {"the largest time", start, std::numeric_limits<std::int64_t>::max(), 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        out.str("");
        clock.setSystemMs(c.linkClock);
        emergencyMessage("Alert", c.expiresAt);
        clock.setSystemMs(start);
        clock.advance(c.loopAdvance);
        PlaylistUpdateOutcome outcome = pass();
        ASSERT_TRUE(outcome.installed);
        EXPECT_EQ(out.str(), "[EMERGENCY] Override active until " + std::to_string(c.expiresAt) + "\n");
        EXPECT_EQ(override.expired(), c.expiredAtOnce);
        if (!c.expiredAtOnce) {
            clock.advance(365LL * 24 * 3600 * 1000);
            EXPECT_FALSE(override.expired());
            clearEmergency();
        }
        // The next pass (in the loop: right after the frame that saw the expiry) restores.
        outcome = pass();
        EXPECT_TRUE(outcome.restored);
        EXPECT_EQ(label(current.get()), "N1");
        EXPECT_EQ(out.str(), "[EMERGENCY] Override active until " + std::to_string(c.expiresAt) +
                                 "\n[EMERGENCY] Override ended; restored normal playlist\n");
    }
}

TEST_F(Emergency, TheWallClockDecidesTheEnd) {
    emergencyMessage("Storm", clock.systemMs() + 60'000);
    pass();
    clock.setSystemMs(clock.systemMs() - 3'600'000);  // set back an hour: lasts an hour longer
    clock.advance(60'000);
    EXPECT_FALSE(override.expired());
    clock.setSystemMs(clock.systemMs() + 7'200'000);  // set forward: ends at once
    EXPECT_TRUE(override.expired());
}

// Start-up: the stored playlist is the empty one and the first thing the link hands over is an
// override. It plays as an override and the empty playlist comes back (the waiting screen).
TEST_F(Emergency, AnOverrideAtStartUpKeepsTheStartUpPlaylistToRestore) {
    current = normal("0 Empty Playlist", 0);
    const std::int64_t until = clock.systemMs() + 30'000;
    emergencyMessage("First", until);
    PlaylistUpdateOutcome outcome = pass();
    EXPECT_TRUE(outcome.installed);
    EXPECT_EQ(label(current.get()), "E:First");
    EXPECT_EQ(label(override.savedPlaylist()), "0 Empty Playlist");
    clock.advance(30'000);
    outcome = pass();
    EXPECT_TRUE(outcome.restored);
    EXPECT_EQ(label(current.get()), "0 Empty Playlist");
}

TEST_F(Emergency, AnOverrideWithoutSlidesLastsUntilItsTime) {
    const std::int64_t until = clock.systemMs() + 1'000;
    placePlaylistUpdate({normal("Empty override", 0), PlaylistUpdateKind::emergency, until}, state);
    pass();
    EXPECT_EQ(current->slideCount(), 0u);
    EXPECT_TRUE(override.active());
    clock.advance(999);
    pass();  // a waiting-screen pass: nothing changes yet
    EXPECT_EQ(label(current.get()), "Empty override");
    clock.advance(1);
    const PlaylistUpdateOutcome outcome = pass();
    EXPECT_TRUE(outcome.restored);
    EXPECT_EQ(label(current.get()), "N1");
}

TEST_F(Emergency, AFailedPreparationKeepsEverythingAsItWas) {
    struct Case {
        std::string name;
        PlaylistUpdateKind kind;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"bad", PlaylistUpdateKind::emergency,
         "[PLAYLIST] Keeping current playlist; replacement preparation failed: font missing\n"},
        {"worse", PlaylistUpdateKind::emergency, "[PLAYLIST] Keeping current playlist; replacement preparation failed\n"},
        {"bad", PlaylistUpdateKind::normal,
         "[PLAYLIST] Keeping current playlist; replacement preparation failed: font missing\n"},
    };
    for (const Case& c : cases) {
        errors.str("");
        placePlaylistUpdate({normal(c.name, 1), c.kind, clock.systemMs() + 1'000}, state);
        PlaylistUpdateOutcome outcome = pass();
        EXPECT_FALSE(outcome.installed) << c.name;
        EXPECT_EQ(label(current.get()), "N1");
        EXPECT_FALSE(override.active());
        EXPECT_EQ(errors.str(), c.line);
        ASSERT_EQ(outcome.dropped.size(), 1u);
        outcome = {};
        EXPECT_FALSE(alive(c.name)) << "destroyed at the end of the pass";
    }
    EXPECT_EQ(out.str(), "") << "an override that failed this way never starts";

    // During an override, a failed second override leaves the first one and its expiry.
    const std::int64_t until = clock.systemMs() + 5'000;
    emergencyMessage("Running", until);
    pass();
    placePlaylistUpdate({normal("bad", 1), PlaylistUpdateKind::emergency, until + 99'000}, state);
    pass();
    EXPECT_EQ(label(current.get()), "E:Running");
    EXPECT_EQ(override.until(), until);
    EXPECT_EQ(label(override.savedPlaylist()), "N1");
}

// Both slots full when a pass starts: the normal playlist is installed first, then the override
// sets it aside, so the override's end restores the newest normal playlist.
TEST_F(Emergency, ANormalAndAnEmergencyUpdateInOnePass) {
    handOver(normal("N2", 4));
    emergencyMessage("Both", clock.systemMs() + 1'000);
    PlaylistUpdateOutcome outcome = pass();
    EXPECT_TRUE(outcome.installed);
    EXPECT_EQ(label(current.get()), "E:Both");
    EXPECT_EQ(label(override.savedPlaylist()), "N2");
    EXPECT_EQ(prepared, (std::vector<std::string>{"N2", "E:Both"}));
    outcome = {};
    EXPECT_FALSE(alive("N1"));

    // An expired override and a normal playlist in one pass: restored, then replaced.
    clock.advance(1'000);
    handOver(normal("N3", 1));
    outcome = pass();
    EXPECT_TRUE(outcome.restored);
    EXPECT_TRUE(outcome.installed);
    EXPECT_EQ(label(current.get()), "N3");
    EXPECT_FALSE(override.active());
}

}  // namespace
}  // namespace lumetta::player
