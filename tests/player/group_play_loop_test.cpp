// The player loop with the service's overrides, reports and requests and with its group: an
// emergency message through the real handler takes the screen within two frames and gives it
// back at its time; the device report goes out once at start with a link; a display mode asked
// for during the waiting screen is answered only once a slide shows; a lone player of a group
// leads and its first slide waits 750 ms for the others, a late one follows the leader's slide.
// Each run plays on the loop tests' 320x180 offscreen display and manual clock.
#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <json/json.h>

#include "core/config_store.h"
#include "core/palette.h"
#include "device/command.h"
#include "link/outgoing_messages.h"
#include "link/server_messages.h"
#include "link/slide_sync_listener.h"
#include "link/slide_sync_test_support.h"
#include "platform/websocket.h"
#include "player/player_loop.h"
#include "support/lan.h"
#include "support/line_capture.h"
#include "view_test_support.h"

namespace lumetta::player {
namespace {

using namespace lumetta::testing;

constexpr Colour kEmergencyRed{153, 0, 0};

struct IndexedFrame {
    std::int64_t systemMs;
    int index;
    Colour centre;
};

// Every frame the process-wide outgoing queue holds, taken out.
std::vector<std::string> drainOutgoing() {
    std::vector<std::string> frames;
    while (const std::optional<PlayerMessage> frame = outgoingMessageQueue().copyOldest()) {
        frames.push_back(*frame);
        outgoingMessageQueue().removeSent(*frame);
    }
    return frames;
}

std::vector<std::string> framesOfType(const std::vector<std::string>& frames, const std::string& type) {
    std::vector<std::string> matching;
    for (const auto& frame : frames) {
        if (frame.find("\"type\":\"" + type + "\"") != std::string::npos) matching.push_back(frame);
    }
    return matching;
}

class GroupPlayLoop : public ::testing::Test {
protected:
    GroupPlayLoop() {
        h.seams.out = &out;
        h.seams.errors = &errors;
        h.onFrame = [this](Display&) {
            indexed.push_back({h.frames.back().systemMs, currentSlideIndex.load(), h.frames.back().centre});
            if (onFrame) onFrame();
        };
        drainOutgoing();
        resetGroupSyncState();
        lastAnnouncementTime = 0;
    }
    ~GroupPlayLoop() override {
        drainOutgoing();
        resetGroupSyncState();
    }

    // The service's message through the link's real handler, waking the loop as it does.
    void fromService(const std::string& text) {
        ServerMessageContext context;
        context.state = &h.link;
        context.baseDirectory = h.base.str();
        context.command = &command;
        context.clock = &h.clock;
        context.errors = &linkErrors;
        handleServerMessage(text.data(), static_cast<std::uint32_t>(text.size()), kWebSocketText, context);
    }

    int runWithLink() {
        // The loop only tests the link thread's handle for null.
        auto* link = reinterpret_cast<SDL_Thread*>(&linkStandIn);
        return player::view(h.base.str(), h.display.get(), "DEVICE1", false, link, &command, h.seams);
    }

    ViewHarness h;
    LineCapture out;
    LineCapture errors;
    std::ostringstream linkErrors;
    std::vector<IndexedFrame> indexed;
    std::function<void()> onFrame;
    int reboots = 0;
    Command command{CommandSeams{std::string("Test board"),
                                 [this] {
                                     ++reboots;
                                     return std::string();
                                 },
                                 nullptr, nullptr, nullptr}};
    int linkStandIn = 0;
};

TEST_F(GroupPlayLoop, AnEmergencyTakesTheScreenWithinTwoFramesAndGivesItBackAtItsTime) {
    h.storePlaylist(playlistDocument("Shapes", {shapeSlide("a", "rectangle", "#0000FF", 10),
                                                shapeSlide("b", "rectangle", "#00FF00", 10)}));
    std::optional<std::size_t> sentAt;
    std::int64_t until = 0;
    onFrame = [&] {
        const std::int64_t now = h.clock.systemMs();
        // Past the fade from black, on the second slide: the alert arrives.
        if (!sentAt && indexed.back().index == 1 && now - indexed.front().systemMs > 10'500) {
            until = now + 3'000;
            fromService(R"({"type":"emergency","data":{"expiresAt":)" + std::to_string(until) +
                        R"(,"message":" "}})");
            sentAt = indexed.size();
        }
        if (sentAt && now > until + 2'000) ViewHarness::pushQuit();
    };
    EXPECT_EQ(h.run(), 0);
    ASSERT_TRUE(sentAt);

    std::optional<std::size_t> shownAt;
    for (std::size_t i = *sentAt; i < indexed.size(); ++i) {
        if (near(indexed[i].centre, kEmergencyRed)) {
            shownAt = i;
            break;
        }
    }
    ASSERT_TRUE(shownAt) << "the alert never showed";
    EXPECT_LE(*shownAt - *sentAt, 2u) << "frames from the handled message to the alert";
    // Given back at its time, from the first slide of the normal playlist.
    std::optional<std::size_t> backAt;
    for (std::size_t i = *shownAt; i < indexed.size(); ++i) {
        if (!near(indexed[i].centre, kEmergencyRed)) {
            backAt = i;
            break;
        }
    }
    ASSERT_TRUE(backAt);
    EXPECT_GE(indexed[*backAt].systemMs, until);
    EXPECT_LE(indexed[*backAt].systemMs, until + 50);
    EXPECT_EQ(indexed[*backAt].index, 0);
    EXPECT_EQ(indexed[*backAt].centre, kBlue);
    EXPECT_EQ(out.count("[EMERGENCY] Override active until " + std::to_string(until)), 1);
    EXPECT_EQ(out.count("[EMERGENCY] Override ended; restored normal playlist"), 1);
}

TEST_F(GroupPlayLoop, TheDeviceReportGoesOutOnceAtStartOnlyWithALink) {
    h.storePlaylist(playlistDocument("Shapes", {shapeSlide("a", "rectangle", "#0000FF", 1)}));
    onFrame = [&] {
        if (h.clock.systemMs() - indexed.front().systemMs > 3'000) ViewHarness::pushQuit();
    };
    EXPECT_EQ(h.run(), 0);
    EXPECT_TRUE(framesOfType(drainOutgoing(), "device").empty()) << "no link: no report";

    indexed.clear();
    h.running = true;
    EXPECT_EQ(runWithLink(), 0);
    const std::vector<std::string> reports = framesOfType(drainOutgoing(), "device");
    ASSERT_EQ(reports.size(), 1u);
    Json::Value report;
    std::istringstream in(reports[0]);
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &report, nullptr));
    EXPECT_EQ(report["data"]["device"].asString(), "Test board");
    EXPECT_EQ(report["data"]["screen"]["width"].asInt(), 320);
    EXPECT_EQ(report["data"]["screen"]["height"].asInt(), 180);
    EXPECT_TRUE(report["data"]["groupId"].isNull());
    EXPECT_EQ(out.count("[PLAYER] Wi-Fi status is not available yet; the device report carries no SSID"), 0);
}

// An override without slides shows the waiting screen; a display mode asked for meanwhile waits
// until a slide is on screen again, and is answered then, once.
TEST_F(GroupPlayLoop, ADisplayModeAskedForDuringTheWaitingScreenIsAnsweredOnceASlideShows) {
    h.storePlaylist(playlistDocument("Shapes", {shapeSlide("a", "rectangle", "#0000FF", 10)}));
    bool placed = false;
    std::int64_t until = 0;
    std::optional<std::int64_t> answeredAt;
    std::vector<std::string> answers;
    onFrame = [&] {
        const std::int64_t now = h.clock.systemMs();
        if (!placed && now - indexed.front().systemMs > 500) {
            until = now + 2'000;
            placePlaylistUpdate({playlistOf(h.queue, "Nothing to show", {}), PlaylistUpdateKind::emergency, until},
                                h.link);
            pushPlayerEvent(playlistReadyEvent);
            placed = true;
        } else if (placed && now < until - 1'000) {
            std::lock_guard lock(h.link.displayModeMutex);
            h.link.displayModeRequest = DisplayModeRequest{100000, 100000, 60.0f, true};
        }
        for (const auto& answer : framesOfType(drainOutgoing(), "resolutionResult")) {
            answers.push_back(answer);
            if (!answeredAt) answeredAt = now;
        }
        if (placed && now > until + 1'000) ViewHarness::pushQuit();
    };
    EXPECT_EQ(runWithLink(), 0);
    ASSERT_TRUE(answeredAt) << "never answered";
    EXPECT_GE(*answeredAt, until) << "answered while the waiting screen showed";
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0], R"({"data":{"applied":false,"error":"Mode is not supported by the connected display",)"
                          R"("height":100000,"refreshRate":60.0,"width":100000},"type":"resolutionResult"})");
    EXPECT_EQ(reboots, 0);
}

// A group announcement may time the slide on screen at the very end of the clock's range: the
// slide then never ends by its duration, and a tap that pauses it must not wrap its end around
// (which would end it as soon as the pause is over, and is undefined behaviour).
TEST_F(GroupPlayLoop, ASlideTimedAtTheEndOfTimeStaysThroughATapPause) {
    h.storePlaylist(playlistDocument("Shapes", {shapeSlide("a", "rectangle", "#0000FF", 10),
                                                shapeSlide("b", "rectangle", "#00FF00", 10)}));
    int phase = 0;
    std::int64_t phaseStart = 0;
    const auto finger = [](SDL_EventType type) {
        SDL_Event event{};
        event.type = type;
        event.tfinger.fingerID = 3;
        event.tfinger.x = 0.5f;
        event.tfinger.y = 0.5f;
        SDL_PushEvent(&event);
    };
    const auto step = [&] {
        if (indexed.empty()) return;
        const std::int64_t now = h.clock.systemMs();
        if (phase == 0) {
            // A heartbeat for the slide on screen, as the listener accepts it.
            std::lock_guard lock(groupSyncMutex);
            groupSlideStartTime = std::numeric_limits<std::uint64_t>::max();
            groupSlidePending = false;
            groupSlidePosition = 0;
            phase = 1;
            phaseStart = now;
        } else if (phase == 1 && now - phaseStart > 200) {
            finger(SDL_EVENT_FINGER_DOWN);
            finger(SDL_EVENT_FINGER_UP);
            phase = 2;
            phaseStart = now;
        } else if (phase == 2 && now - phaseStart > 70'000) {
            ViewHarness::pushQuit();
            phase = 3;
        }
    };
    onFrame = step;
    const auto wait = h.seams.waitEvent;
    h.seams.waitEvent = [&step, wait](SDL_Event& event, int timeoutMs) {
        step();
        return wait(event, timeoutMs);
    };
    EXPECT_EQ(h.run(), 0);
    ASSERT_EQ(phase, 3);
    for (const IndexedFrame& frame : indexed) EXPECT_EQ(frame.index, 0) << "at " << frame.systemMs;
    EXPECT_EQ(errors.count("Loop Exception: "), 0);
}

// The group orders a change from a still slide (red on the left) to one of another layout that
// pans (green on the right): every frame shows the old slide or the new one, never the old
// slide's layers in the new slide's boxes and motion.
TEST_F(GroupPlayLoop, AChangeOrderedByTheGroupDrawsNoMixedFrame) {
    Json::Value still = shapeSlide("a", "rectangle", "#FF0000", 10, 0, 0, 160, 180);
    Json::Value panned = shapeSlide("b", "rectangle", "#00FF00", 10, 160, 0, 160, 180);
    panned["motionEffect"] = "pan-left";
    h.storePlaylist(playlistDocument("Layouts", {still, panned}));
    struct Halves {
        Colour left;
        Colour right;
    };
    std::vector<Halves> seen;
    bool ordered = false;
    std::optional<std::int64_t> orderedAt;
    const auto order = [&] {
        if (ordered || indexed.empty() || h.clock.systemMs() - indexed.front().systemMs < 1'000) return;
        // A change announcement of slide 1, as the listener accepts it.
        std::lock_guard lock(groupSyncMutex);
        groupSlideStartTime = static_cast<std::uint64_t>(h.clock.systemMs());
        groupSlidePending = true;
        groupSlidePosition = 1;
        ordered = true;
        orderedAt = h.clock.systemMs();
    };
    h.onFrame = [&](Display& shown) {
        indexed.push_back({h.frames.back().systemMs, currentSlideIndex.load(), h.frames.back().centre});
        if (ordered) seen.push_back({pixelAt(shown.renderer(), 80, 90), pixelAt(shown.renderer(), 240, 90)});
        order();
        if (orderedAt && h.clock.systemMs() - *orderedAt > 500) ViewHarness::pushQuit();
    };
    const auto wait = h.seams.waitEvent;
    h.seams.waitEvent = [&](SDL_Event& event, int timeoutMs) {
        order();
        return wait(event, timeoutMs);
    };
    EXPECT_EQ(h.run(), 0);
    ASSERT_TRUE(ordered);
    ASSERT_FALSE(seen.empty());
    bool newSlideShown = false;
    for (std::size_t i = 0; i < seen.size(); ++i) {
        const bool old = seen[i].left == kRed && seen[i].right == kBlack;
        const bool next = seen[i].left == kBlack && near(seen[i].right, kGreen, 8);
        EXPECT_TRUE(old || next) << "frame " << i << " after the order: " << seen[i].left << " " << seen[i].right;
        newSlideShown = newSlideShown || next;
    }
    EXPECT_TRUE(newSlideShown);
}

class GroupPlayLoopOnLan : public GroupPlayLoop {
protected:
    void SetUp() override {
        LUMETTA_REQUIRE_PRIVATE_NETWORK();
        std::filesystem::create_directories(h.base / "lumetta");
        ASSERT_TRUE(setConfigString(h.base.str(), "groupId", "lobby"));
        h.clock.setAutoAdvance(true);  // the join's naps and the sender's pauses
        h.seams.groupSync.makeSender = [this](const GroupIdentity& identity) {
            return std::make_unique<BroadcastSender>(receiver.port(), identity, "127.0.0.1", h.clock, senderLog);
        };
        h.seams.groupSync.networkUsable = [] { return true; };
    }

    std::vector<SlideSyncInfo> received() {
        std::vector<SlideSyncInfo> infos;
        for (const auto& datagram : receiver.receiveAll(20)) {
            SlideSyncInfo info;
            GroupIdentity peer;
            peer.groupId = "lobby";
            peer.deviceId = "PEER";
            EXPECT_TRUE(verifySlidePacket(datagram.data(), datagram.size(), peer, info, h.clock));
            infos.push_back(info);
        }
        return infos;
    }

    UdpSocket receiver;
    std::ostringstream senderLog;
};

TEST_F(GroupPlayLoopOnLan, ALonePlayerLeadsAndItsFirstSlideWaitsForTheGroup) {
    h.storePlaylist(playlistDocument("Shapes", {shapeSlide("a", "rectangle", "#0000FF", 1),
                                                shapeSlide("b", "rectangle", "#00FF00", 1)}));
    const std::int64_t started = h.clock.systemMs();
    onFrame = [&] {
        if (indexed.back().index == 1) ViewHarness::pushQuit();
    };
    EXPECT_EQ(h.run(), 0);
    EXPECT_TRUE(groupLeader.load());
    std::optional<std::uint64_t> leadStart;
    for (const auto& info : received()) {
        if (!info.isRequest) {
            leadStart = info.startTime;
            break;
        }
    }
    ASSERT_TRUE(leadStart) << "no announcement";
    EXPECT_GE(static_cast<std::int64_t>(*leadStart), started + 500 + 750);
    // Slide 0 from the join until a second after the announced start.
    EXPECT_EQ(indexed.front().index, 0);
    EXPECT_GE(indexed.back().systemMs, static_cast<std::int64_t>(*leadStart) + 1000);
    EXPECT_LE(indexed.back().systemMs, static_cast<std::int64_t>(*leadStart) + 1000 + 16);
    EXPECT_TRUE(errors.lines().empty()) << errors.lines().front();
}

TEST_F(GroupPlayLoopOnLan, APlayerJoiningALeaderShowsTheLeadersSlideOnItsClock) {
    h.storePlaylist(playlistDocument("Shapes", {shapeSlide("a", "rectangle", "#0000FF", 2),
                                                shapeSlide("b", "rectangle", "#00FF00", 2),
                                                shapeSlide("c", "rectangle", "#FF0000", 2)}));
    // The leader's announcement, accepted by the listener before the join: slide 1 started
    // 1.5 s ago.
    const std::int64_t slideStart = h.clock.systemMs() - 1'500;
    {
        std::lock_guard lock(groupSyncMutex);
        groupSlideStartTime = static_cast<std::uint64_t>(slideStart);
        groupSlidePending = false;
        groupSlidePosition = 1;
    }
    lastAnnouncementTime = h.clock.steadyMs();
    onFrame = [&] {
        if (indexed.back().index == 2) ViewHarness::pushQuit();
    };
    EXPECT_EQ(h.run(), 0);
    EXPECT_FALSE(groupLeader.load());
    EXPECT_EQ(indexed.front().index, 1);
    EXPECT_EQ(indexed.back().index, 2);
    EXPECT_GE(indexed.back().systemMs, slideStart + 2'000) << "slide 1 ends when it ends on the leader";
    // Within the frames the fade from black still draws (16 ms each).
    EXPECT_LE(indexed.back().systemMs, slideStart + 2'000 + 3 * 16);
}

// A player that lost the election and has heard no leader yet does not report its slides, and a
// reconnection repeats nothing; once it follows the group its slide is reported, and a
// reconnection then repeats the report of the slide on screen.
TEST_F(GroupPlayLoopOnLan, SlidesAreReportedOnlyOnceTheGroupAgreesAndAgainAfterAReconnection) {
    h.storePlaylist(playlistDocument("Shapes", {shapeSlide("a", "rectangle", "#0000FF", 10),
                                                shapeSlide("b", "rectangle", "#00FF00", 10)}));
    {
        std::lock_guard lock(groupElectionMutex);
        groupElectionTime = h.clock.systemMs() - 1;  // a peer joined earlier
        groupElectionHash = 1;
    }
    const auto report = [] { return pendingTransition().unsent(); };
    ASSERT_FALSE(report()) << "a report from before the run";
    int phase = 0;
    std::int64_t phaseStart = 0;
    std::vector<std::pair<std::string, std::uint64_t>> seen;  // slide id and sequence per phase
    const auto seenNow = [&] {
        const std::optional<TransitionReport> r = report();
        seen.emplace_back(r ? r->text : "-", r ? r->sequence : 0);
    };
    // Stepped at every frame and every wait of the loop: a still slide draws no frames.
    const auto step = [&] {
        if (indexed.empty()) return;
        const std::int64_t now = h.clock.systemMs();
        if (phase == 0) {
            h.link.reconnected = true;  // before any report
            phase = 1;
            phaseStart = now;
        } else if (phase == 1 && now - phaseStart > 500) {
            seenNow();
            // The leader's change announcement, as the listener accepts it.
            lastAcceptedSendTime = static_cast<std::uint64_t>(now);
            lastAnnouncementTime = h.clock.steadyMs();
            std::lock_guard lock(groupSyncMutex);
            groupSlideStartTime = static_cast<std::uint64_t>(now);
            groupSlidePending = true;
            groupSlidePosition = 1;
            phase = 2;
            phaseStart = now;
        } else if (phase == 2 && now - phaseStart > 500) {
            seenNow();
            h.link.reconnected = true;
            phase = 3;
            phaseStart = now;
        } else if (phase == 3 && now - phaseStart > 100) {
            seenNow();
            ViewHarness::pushQuit();
            phase = 4;
        }
    };
    onFrame = step;
    const auto wait = h.seams.waitEvent;
    h.seams.waitEvent = [&step, wait](SDL_Event& event, int timeoutMs) {
        step();
        return wait(event, timeoutMs);
    };
    EXPECT_EQ(runWithLink(), 0);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].first, "-") << "nothing reported while the group has not agreed";
    EXPECT_NE(seen[1].first.find(R"("slide":"b")"), std::string::npos) << seen[1].first;
    EXPECT_NE(seen[2].first.find(R"("slide":"b")"), std::string::npos) << seen[2].first;
    EXPECT_EQ(seen[2].second, seen[1].second + 1) << "the reconnection repeated the report once";
    EXPECT_FALSE(groupLeader.load()) << "all within the silence before a takeover";
}

// The service moves the player to another group and then out of every group, through the
// link's real handler: the loop starts over with a request of the new group, reports nothing
// while that group has not agreed on a slide, and once out of the group says so and reports its
// slide changes again.
TEST_F(GroupPlayLoopOnLan, AGroupChangeAsksTheNewGroupAndLeavingTheGroupReportsSlidesAgain) {
    h.storePlaylist(playlistDocument("Shapes", {shapeSlide("a", "rectangle", "#0000FF", 1),
                                                shapeSlide("b", "rectangle", "#00FF00", 1),
                                                shapeSlide("c", "rectangle", "#FF0000", 1)}));
    {
        std::lock_guard lock(groupElectionMutex);
        groupElectionTime = h.clock.systemMs() - 1;  // a peer joined earlier: no lead at start
        groupElectionHash = 1;
    }
    const auto report = [] {
        const std::optional<TransitionReport> r = pendingTransition().unsent();
        return r ? r->text : std::string("-");
    };
    ASSERT_EQ(report(), "-") << "a report from before the run";
    int phase = 0;
    std::int64_t phaseStart = 0;
    std::vector<std::string> seen;
    std::vector<std::string> hallRequests;
    const auto step = [&] {
        if (indexed.empty()) return;
        const std::int64_t now = h.clock.systemMs();
        if (phase == 0) {
            receiver.receiveAll(20);  // the start's and the join's packets
            fromService(R"({"type":"groupUpdate","data":{"groupId":"hall"}})");
            phase = 1;
            phaseStart = now;
        } else if (phase == 1 && now - phaseStart > 300) {
            for (const auto& datagram : receiver.receiveAll(20)) {
                SlideSyncInfo info;
                GroupIdentity peer;
                peer.groupId = "hall";
                peer.deviceId = "PEER";
                hallRequests.push_back(
                    verifySlidePacket(datagram.data(), datagram.size(), peer, info, h.clock) && info.isRequest &&
                            !info.electionRequest
                        ? "request"
                        : "other");
            }
            seen.push_back(report());
            fromService(R"({"type":"groupUpdate","data":{"groupId":null}})");
            phase = 2;
            phaseStart = now;
        } else if (phase == 2 && now - phaseStart > 1'500) {
            seen.push_back(report());
            ViewHarness::pushQuit();
            phase = 3;
        }
    };
    onFrame = step;
    const auto wait = h.seams.waitEvent;
    h.seams.waitEvent = [&step, wait](SDL_Event& event, int timeoutMs) {
        step();
        return wait(event, timeoutMs);
    };
    EXPECT_EQ(runWithLink(), 0);
    ASSERT_EQ(phase, 3);
    EXPECT_EQ(hallRequests, (std::vector<std::string>{"request", "request", "request"}))
        << "one request series, signed for the new group";
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], "-") << "nothing reported while the new group has not agreed";
    EXPECT_NE(seen[1], "-") << "slide changes are reported again once out of the group";
    EXPECT_EQ(errors.count(std::string(ansi::BOLD_RED) + "[BROADCAST]" + std::string(ansi::RESET) +
                           " Group synchronization disabled: groupId or machine identity is missing"),
              1);
    EXPECT_FALSE(groupLeader.load());
    EXPECT_TRUE(linkErrors.str().empty()) << linkErrors.str();
}

}  // namespace
}  // namespace lumetta::player
