#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "link/server_link_state.h"
#include "support/manual_clock.h"

namespace lumetta {
namespace {

using testing::ManualClock;

// Playlists told apart by their download group, which a destroyed playlist gives up.
class Playlists {
public:
    std::unique_ptr<Playlist> make(const std::string& label) {
        auto playlist = std::make_unique<Playlist>(queue);
        playlist->downloadGroupId = queue.createGroup();
        groups[label] = playlist->downloadGroupId;
        return playlist;
    }
    std::string labelOf(const Playlist* playlist) const {
        if (playlist == nullptr) return "-";
        for (const auto& [label, group] : groups) {
            if (group == playlist->downloadGroupId) return label;
        }
        return "?";
    }
    bool alive(const std::string& label) const { return queue.group(groups.at(label)).has_value(); }

    ThreadSafeQueue queue;
    std::map<std::string, std::uint64_t> groups;
};

std::string describe(const PlaylistUpdate& update, const Playlists& playlists) {
    return std::to_string(static_cast<int>(update.kind)) + ":" + playlists.labelOf(update.playlist.get());
}

TEST(PlaylistHandOver, KeepsOneNormalAndOneEmergencyUpdateAndHandsTheNormalOneFirst) {
    struct Place {
        std::string label;  // "" for an update without a playlist
        PlaylistUpdateKind kind;
    };
    struct Case {
        const char* name;
        std::vector<Place> placed;
        std::vector<std::string> taken;      // kind:label, until nothing is left
        std::vector<std::string> destroyed;  // replaced before anyone took them
    };
    using K = PlaylistUpdateKind;
    const std::vector<Case> cases = {
        {"a newer normal update replaces one nobody took", {{"A", K::normal}, {"B", K::normal}}, {"0:B"}, {"A"}},
        {"an override leaves the waiting normal playlist alone",
         {{"A", K::normal}, {"E", K::emergency}}, {"0:A", "1:E"}, {}},
        {"the normal one comes first whatever the order", {{"E", K::emergency}, {"A", K::normal}}, {"0:A", "1:E"}, {}},
        {"a normal hand-over leaves a waiting override alone",
         {{"E", K::emergency}, {"A", K::normal}, {"B", K::normal}}, {"0:B", "1:E"}, {"A"}},
        {"the end of an override replaces the override", {{"E", K::emergency}, {"", K::emergencyCleared}}, {"2:-"}, {"E"}},
        {"a new override after the end replaces the end", {{"", K::emergencyCleared}, {"F", K::emergency}}, {"1:F"}, {}},
        {"the end of an override leaves a normal playlist alone",
         {{"A", K::normal}, {"", K::emergencyCleared}}, {"0:A", "2:-"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Playlists playlists;
        ServerLinkState state;
        for (const Place& place : c.placed) {
            PlaylistUpdate update;
            if (!place.label.empty()) update.playlist = playlists.make(place.label);
            update.kind = place.kind;
            update.expiresAt = place.kind == K::emergency ? 1234 : 0;
            placePlaylistUpdate(std::move(update), state);
        }
        std::vector<std::string> taken;
        for (;;) {
            PlaylistUpdate update = takePlaylistUpdate(state);
            if (!update.playlist && update.kind == K::normal) {
                EXPECT_EQ(update.expiresAt, 0);
                break;
            }
            if (update.kind == K::emergency) {
                EXPECT_EQ(update.expiresAt, 1234);
            }
            taken.push_back(describe(update, playlists));
        }
        EXPECT_EQ(taken, c.taken);
        for (const std::string& label : c.destroyed) EXPECT_FALSE(playlists.alive(label)) << label;
    }
}

TEST(PlaylistHandOver, WaitingReturnsTheUpdateOnceItIsPlaced) {
    Playlists playlists;
    ServerLinkState state;
    std::atomic<bool> running{true};
    auto waiter = std::async(std::launch::async, [&] { return waitForPlaylistUpdate(state, running); });
    EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    placePlaylistUpdate({playlists.make("A"), PlaylistUpdateKind::normal, 0}, state);
    ASSERT_EQ(waiter.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(describe(waiter.get(), playlists), "0:A");
}

TEST(PlaylistHandOver, AStoppedPlayerGetsNothingAndTheUpdateStaysForLater) {
    Playlists playlists;
    ServerLinkState state;
    std::atomic<bool> running{false};
    placePlaylistUpdate({playlists.make("A"), PlaylistUpdateKind::normal, 0}, state);
    const PlaylistUpdate update = waitForPlaylistUpdate(state, running);
    EXPECT_FALSE(update.playlist);
    EXPECT_EQ(update.kind, PlaylistUpdateKind::normal);
    EXPECT_EQ(describe(takePlaylistUpdate(state), playlists), "0:A");
}

// The thread that would announce the stop may never do so (it ended before, or its wake-up
// fell between the waiter's test and its wait): the waiter still sees the stop.
TEST(PlaylistHandOver, WaitingEndsWhenThePlayerStopsWithoutAnyWakeUp) {
    for (const bool manual : {false, true}) {
        SCOPED_TRACE(manual ? "manual clock" : "system clock");
        ManualClock manualClock;
        Clock& clock = manual ? static_cast<Clock&>(manualClock) : systemClock();
        ServerLinkState state;
        std::atomic<bool> running{true};
        auto waiter = std::async(std::launch::async, [&] { return waitForPlaylistUpdate(state, running, clock); });
        EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(150)), std::future_status::timeout);
        running = false;  // nobody notifies
        const bool ended = waiter.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
        EXPECT_TRUE(ended);
        if (!ended) wakePlaylistUpdateWaiters(state);  // lets a faulty wait end before the test does
        EXPECT_FALSE(waiter.get().playlist);
    }
}

TEST(PlaylistHandOver, ClearingAtTheLinksEndDestroysWaitingUpdatesAndForgetsTheRequest) {
    Playlists playlists;
    ServerLinkState state;
    placePlaylistUpdate({playlists.make("A"), PlaylistUpdateKind::normal, 0}, state);
    placePlaylistUpdate({playlists.make("E"), PlaylistUpdateKind::emergency, 99}, state);
    state.pendingPlaylistRequest = {"Lobby", "abc", 1'700'000'000'000};
    state.requestedPlaylistName = "Lobby";

    clearPlaylistHandOver(state);
    EXPECT_FALSE(playlists.alive("A"));
    EXPECT_FALSE(playlists.alive("E"));
    EXPECT_FALSE(takePlaylistUpdate(state).playlist);
    EXPECT_EQ(state.pendingPlaylistRequest.name, "");
    EXPECT_EQ(state.pendingPlaylistRequest.sha1, "");
    EXPECT_EQ(state.pendingPlaylistRequest.activateAt, 1'700'000'000'000);
    EXPECT_EQ(requestedPlaylistName(state), "");
}

}  // namespace
}  // namespace lumetta
