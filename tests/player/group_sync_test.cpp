// Group slide sync as the player loop drives it, on a manual clock: the join (lead, tie rules,
// follow), following and leading in the cycle, takeover after silence, group changes and network
// loss. The sender is real and aimed at a loopback socket the test reads; the shared group state
// is written here as the listener would write it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "core/palette.h"
#include "link/slide_sync_listener.h"
#include "link/slide_sync_test_support.h"
#include "player/group_sync.h"
#include "support/lan.h"
#include "support/manual_clock.h"

namespace lumetta::player {
namespace {

using testing::ManualClock;
using testing::UdpSocket;

constexpr std::int64_t maxTime = std::numeric_limits<std::int64_t>::max();

GroupIdentity identityOf(std::string group, std::string device) {
    GroupIdentity identity;
    identity.groupId = std::move(group);
    identity.deviceId = std::move(device);
    return identity;
}

std::string broadcastLine(std::string_view colour, const std::string& text) {
    return std::string(colour) + "[BROADCAST]" + std::string(ansi::RESET) + text + "\n";
}

const std::string disabledLine =
    broadcastLine(ansi::BOLD_RED, " Group synchronization disabled: groupId or machine identity is missing");

class GroupSync : public ::testing::Test {
protected:
    void SetUp() override {
        LUMETTA_REQUIRE_PRIVATE_NETWORK();
        clock.setAutoAdvance(true);  // the sender's pauses and the join's naps pass at once
        resetGroupSyncState();
        lastAnnouncementTime = 0;
    }
    void TearDown() override { resetGroupSyncState(); }

    GroupSyncOptions options() {
        GroupSyncOptions o;
        o.clock = &clock;
        o.identity = [this] {
            ++identityReads;
            return identity;
        };
        o.makeSender = [this](const GroupIdentity& id) {
            auto sender = std::make_unique<BroadcastSender>(receiver.port(), id, "127.0.0.1", clock, senderLog);
            if (brokenSender) sender->close();
            return sender;
        };
        o.networkUsable = [this] {
            ++networkChecks;
            return network;
        };
        o.generation = [this] { return generation; };
        o.running = &running;
        o.errors = &log;
        return o;
    }

    std::unique_ptr<GroupSlideSync> started() {
        auto sync = std::make_unique<GroupSlideSync>(options());
        sync->start();
        return sync;
    }

    // What arrived on the socket, each checked as a packet of `group` and decoded.
    std::vector<SlideSyncInfo> received(const std::string& group = "lobby") {
        std::vector<SlideSyncInfo> infos;
        for (const auto& datagram : receiver.receiveAll(20)) {
            SlideSyncInfo info;
            EXPECT_TRUE(verifySlidePacket(datagram.data(), datagram.size(), identityOf(group, "PEER"), info, clock))
                << "not a packet of " << group;
            infos.push_back(info);
        }
        return infos;
    }

    // An announcement accepted by the listener: the newest one, waiting for the loop.
    void announceFromPeer(std::int32_t position, std::uint64_t startTime, bool pending, std::uint64_t sender = 7) {
        lastAcceptedSenderHash = sender;
        lastAcceptedSendTime = static_cast<std::uint64_t>(clock.systemMs());
        lastAnnouncementTime = clock.steadyMs();
        std::lock_guard lock(groupSyncMutex);
        groupSlideStartTime = startTime;
        groupSlidePending = pending;
        groupSlidePosition = position;
    }

    // Cycles every `stepMs` until `done` or `limitMs` passed; the time it took.
    template <typename Done>
    std::int64_t cycleUntil(GroupSlideSync& sync, const SyncSlide& slide, std::int64_t limitMs, Done done,
                            std::int64_t stepMs = 10) {
        const std::int64_t start = clock.steadyMs();
        while (clock.steadyMs() - start < limitMs) {
            sync.cycle(slide, false);
            if (done()) break;
            clock.advance(stepMs);
        }
        return clock.steadyMs() - start;
    }

    ManualClock clock{1'750'000'000'000};
    UdpSocket receiver;
    GroupIdentity identity = identityOf("lobby", "SELF");
    bool network = true;
    bool brokenSender = false;
    std::uint64_t generation = 1;
    int identityReads = 0;
    int networkChecks = 0;
    std::atomic<bool> running{true};
    std::ostringstream log;
    std::ostringstream senderLog;
    const SyncSlide tenSecondSlide{2, 10, 10'000, false, 1'750'000'000'000};
};

TEST_F(GroupSync, ALonePlayerLeadsAfterHalfASecondWithSlideZeroDue750msLater) {
    auto sync = started();
    EXPECT_TRUE(sync->enabled());
    EXPECT_FALSE(sync->scheduleSettled()) << "nothing reported before the group agrees";
    std::vector<SlideSyncInfo> requests = received();
    ASSERT_EQ(requests.size(), 3u);
    for (const auto& info : requests) EXPECT_TRUE(info.isRequest && !info.electionRequest);

    const std::int64_t joinTime = clock.systemMs();
    const std::int64_t joinSteady = clock.steadyMs();
    const GroupJoinResult result = sync->join(10);
    const std::int64_t ledAfter = clock.steadyMs() - joinSteady;
    EXPECT_TRUE(result.leads);
    EXPECT_EQ(result.index, 0);
    ASSERT_TRUE(result.start);
    EXPECT_GE(ledAfter, 500 + 70) << "led at 500 ms, plus the announcement's own 70 ms";
    EXPECT_LT(ledAfter, 500 + 70 + 80);
    EXPECT_EQ(*result.start, clock.systemMs() - 70 + 750) << "slide 0 starts 750 ms after the lead";
    EXPECT_TRUE(groupLeader.load());
    EXPECT_TRUE(sync->scheduleSettled());

    const std::vector<SlideSyncInfo> sent = received();
    ASSERT_GE(sent.size(), 6u);
    int elections = 0;
    for (const auto& info : sent) {
        if (info.electionRequest) {
            ++elections;
            EXPECT_EQ(info.startTime, static_cast<std::uint64_t>(joinTime));
        }
    }
    EXPECT_GE(elections, 9) << "the first request and repeats every 150 ms";
    const std::vector<SlideSyncInfo> lead(sent.end() - 3, sent.end());
    for (const auto& info : lead) {
        EXPECT_FALSE(info.isRequest);
        EXPECT_EQ(info.slidePosition, 0);
        EXPECT_EQ(info.startTime, static_cast<std::uint64_t>(*result.start));
        EXPECT_EQ(info.sendTime, lastAcceptedSendTime.load());
    }
    EXPECT_EQ(lastAcceptedSenderHash.load(), slideSyncHash("SELF"));
}

// The election pair the listener holds when the join starts decides who leads: the smaller join
// time, then the smaller device hash. A player that does not lead waits the full 3 s for an
// announcement and then starts slide 0 on its own, neither leader nor settled.
TEST_F(GroupSync, TheSmallerJoinTimeThenTheSmallerHashLeads) {
    struct Case {
        const char* name;
        std::int64_t peerTimeOffset;  // from this player's join time
        bool peerHashBelow;
        bool leads;
    };
    const std::vector<Case> cases = {
        {"peer joined earlier", -1, false, false},
        {"same time, peer hash smaller", 0, true, false},
        {"same time, peer hash larger", 0, false, true},
        {"peer joined later", 1, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        resetGroupSyncState();
        auto sync = started();
        received();
        const std::int64_t joinTime = clock.systemMs();
        const std::string peer = testing::deviceIdWithHash(c.peerHashBelow, "SELF", "peer-");
        {
            std::lock_guard lock(groupElectionMutex);
            groupElectionTime = joinTime + c.peerTimeOffset;
            groupElectionHash = slideSyncHash(peer);
        }
        const std::int64_t before = clock.steadyMs();
        const GroupJoinResult result = sync->join(10);
        EXPECT_EQ(result.leads, c.leads);
        EXPECT_EQ(groupLeader.load(), c.leads);
        EXPECT_EQ(sync->scheduleSettled(), c.leads);
        EXPECT_EQ(result.index, 0);
        EXPECT_EQ(result.start.has_value(), c.leads);
        if (!c.leads) {
            EXPECT_GE(clock.steadyMs() - before, 3000);
            EXPECT_LT(clock.steadyMs() - before, 3100);
        }
        received();
    }
}

TEST_F(GroupSync, AJoinFollowsTheLeadersSlideAndStartTime) {
    struct Case {
        std::int32_t position;
        std::uint64_t start;
        bool follows;
        std::int64_t expectedStart;
    };
    const auto now = static_cast<std::uint64_t>(clock.systemMs());
    const std::vector<Case> cases = {
        {3, now - 4'000, true, clock.systemMs() - 4'000},  // in the past: used as it is
        {9, now + 500, true, clock.systemMs() + 500},
        {12, now, false, 0},                                // not in this playlist
        {10, now, false, 0},
        {0, std::numeric_limits<std::uint64_t>::max(), true, maxTime},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.position);
        resetGroupSyncState();
        auto sync = started();
        announceFromPeer(c.position, c.start, false);
        const std::int64_t before = clock.steadyMs();
        const GroupJoinResult result = sync->join(10);
        EXPECT_LT(clock.steadyMs() - before, 200) << "an announcement ends the join at once";
        EXPECT_FALSE(result.leads);
        EXPECT_EQ(sync->scheduleSettled(), c.follows);
        if (c.follows) {
            EXPECT_EQ(result.index, c.position);
            EXPECT_EQ(result.start, c.expectedStart);
        } else {
            EXPECT_EQ(result.index, 0);
            EXPECT_FALSE(result.start);
        }
        EXPECT_EQ(GroupSlideSync::snapshotGroupState().position, -1) << "taken";
        received();
    }
}

TEST_F(GroupSync, NoJoinWithoutGroupNetworkOrWhenThePlayerStops) {
    identity = identityOf("", "SELF");
    auto sync = started();
    EXPECT_FALSE(sync->enabled());
    EXPECT_TRUE(sync->scheduleSettled());
    EXPECT_EQ(log.str(), "") << "no group id: nothing said";
    const std::int64_t before = clock.steadyMs();
    EXPECT_FALSE(sync->join(10).start);
    EXPECT_EQ(clock.steadyMs(), before);
    EXPECT_EQ(networkChecks, 0);
    EXPECT_TRUE(received().empty());

    identity = identityOf("lobby", "");
    sync = started();
    EXPECT_FALSE(sync->enabled());
    EXPECT_EQ(log.str(), disabledLine);

    identity = identityOf("lobby", "SELF");
    network = false;
    sync = started();
    received();
    EXPECT_FALSE(sync->networkUsable());
    EXPECT_FALSE(sync->join(10).leads);
    EXPECT_TRUE(received().empty());

    network = true;
    running = false;
    sync = started();
    received();
    const std::int64_t joinStart = clock.steadyMs();
    EXPECT_FALSE(sync->join(10).leads);
    EXPECT_LT(clock.steadyMs() - joinStart, 200) << "the join ends with the player";
}

TEST_F(GroupSync, AFailedFirstRequestIsSaid) {
    brokenSender = true;
    auto sync = started();
    EXPECT_TRUE(sync->enabled());
    EXPECT_EQ(log.str(), broadcastLine(ansi::BOLD_MAGENTA, " Could not request the current group slide"));
}

// What an accepted announcement does to the slide on screen (slide 2 of 10 unless said).
TEST_F(GroupSync, FollowingMovesTheSlideOrItsClock) {
    using Change = GroupSyncActions::Change;
    struct Case {
        const char* name;
        std::int32_t position;
        std::uint64_t start;
        bool pending;
        std::int64_t durationMs;
        bool hasVideo;
        std::optional<SlideTimes> reanchor;
        std::optional<Change> change;
    };
    const std::uint64_t t = 1'750'000'123'000;
    const auto s = static_cast<std::int64_t>(t);
    const std::vector<Case> cases = {
        {"heartbeat of the slide on screen", 2, t, false, 10'000, false, SlideTimes{s, s + 10'000}, {}},
        {"same slide without duration", 2, t, false, 0, false, SlideTimes{s, s}, {}},
        {"another slide", 5, t, false, 10'000, false, {}, Change{5, 2, s}},
        {"another slide that started long ago", 5, t - 3'600'000, false, 10'000, false, {}, Change{5, 2, s - 3'600'000}},
        {"slide 12 of 10", 12, t, true, 10'000, false, {}, {}},
        {"slide 10 of 10", 10, t, true, 10'000, false, {}, {}},
        {"still slide, plain heartbeat", 5, t, false, 0, false, {}, {}},
        {"still slide, change announced", 5, t, true, 0, false, {}, Change{5, 2, s}},
        {"video slide without duration", 5, t, false, 0, true, {}, Change{5, 2, s}},
        {"start 0", 2, 0, false, 10'000, false, SlideTimes{0, 10'000}, {}},
        {"start 2^63 - 1", 2, static_cast<std::uint64_t>(maxTime), false, 10'000, false, SlideTimes{maxTime, maxTime}, {}},
        {"start 2^63", 2, std::uint64_t{1} << 63, false, 10'000, false, SlideTimes{maxTime, maxTime}, {}},
        {"start 2^64 - 1", 7, std::numeric_limits<std::uint64_t>::max(), false, 10'000, false, {}, Change{7, 2, maxTime}},
        {"end just below the limit", 2, static_cast<std::uint64_t>(maxTime - 10'000), false, 10'000, false,
         SlideTimes{maxTime - 10'000, maxTime}, {}},
    };
    identity = identityOf("", "");  // following works on whatever the listener accepted
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto sync = started();
        const SyncSlide slide{2, 10, c.durationMs, c.hasVideo, s - 1'000};
        EXPECT_FALSE(sync->cycle(slide, false).report) << "nothing waiting";
        announceFromPeer(c.position, c.start, c.pending);
        const GroupSyncActions actions = sync->cycle(slide, false);
        EXPECT_TRUE(actions.report);
        EXPECT_TRUE(sync->scheduleSettled());
        ASSERT_EQ(actions.reanchor.has_value(), c.reanchor.has_value());
        if (c.reanchor) {
            EXPECT_EQ(actions.reanchor->startMs, c.reanchor->startMs);
            EXPECT_EQ(actions.reanchor->endMs, c.reanchor->endMs);
        }
        ASSERT_EQ(actions.change.has_value(), c.change.has_value());
        if (c.change) {
            EXPECT_EQ(actions.change->index, c.change->index);
            EXPECT_EQ(actions.change->previousIndex, c.change->previousIndex);
            EXPECT_EQ(actions.change->start, c.change->start);
        }
        const GroupSyncActions again = sync->cycle(slide, false);
        EXPECT_FALSE(again.report || again.reanchor || again.change) << "each announcement acts once";
    }
}

TEST_F(GroupSync, NothingIsTakenWhilePaused) {
    auto sync = started();
    received();
    announceFromPeer(5, 1'750'000'000'000, true);
    EXPECT_FALSE(sync->cycle(tenSecondSlide, true).change);
    EXPECT_TRUE(sync->cycle(tenSecondSlide, false).change) << "the announcement waited";
}

TEST_F(GroupSync, AFollowerTakesOverAfterFiveToSevenSecondsOfSilenceOnly) {
    auto sync = started();
    received();
    // Announcements every second for 20 s keep it a follower.
    for (int i = 0; i < 20; ++i) {
        announceFromPeer(2, static_cast<std::uint64_t>(clock.systemMs()), false);
        cycleUntil(*sync, tenSecondSlide, 1000, [] { return false; }, 100);
        EXPECT_FALSE(groupLeader.load()) << "second " << i;
    }
    EXPECT_TRUE(received().empty()) << "a follower does not announce";

    const std::int64_t silentFrom = lastAnnouncementTime.load();
    cycleUntil(*sync, tenSecondSlide, 10'000, [] { return groupLeader.load(); });
    ASSERT_TRUE(groupLeader.load());
    const std::int64_t silence = clock.steadyMs() - silentFrom;
    const auto limit = 5000 + static_cast<std::int64_t>(slideSyncHash("SELF") % 2000);
    EXPECT_GE(silence, limit);
    EXPECT_LT(silence, limit + 10) << "the first 10 ms cycle past the limit";
    // The leader's first heartbeat went out in that same cycle.
    const std::vector<SlideSyncInfo> sent = received();
    ASSERT_EQ(sent.size(), 1u) << "a heartbeat is sent once";
    EXPECT_EQ(sent[0].slidePosition, 2);
    EXPECT_EQ(sent[0].startTime, static_cast<std::uint64_t>(tenSecondSlide.startTime));
}

TEST_F(GroupSync, TheLeaderBeatsEveryTwoSecondsAndAnswersRequests) {
    auto sync = started();
    received();
    ASSERT_TRUE(sync->join(10).leads);
    received();

    std::vector<std::int64_t> beats;
    const std::int64_t start = clock.systemMs();
    for (int i = 0; i < 50; ++i) {  // 5 s in 100 ms cycles
        const GroupSyncActions actions = sync->cycle(tenSecondSlide, false);
        if (actions.report) beats.push_back(clock.systemMs() - start);
        clock.advance(100);
    }
    EXPECT_EQ(beats, (std::vector<std::int64_t>{0, 2000, 4000}));
    EXPECT_EQ(received().size(), 3u);

    // A request is answered in the next cycle, heartbeat or not; the newest send time counts.
    lastAcceptedSendTime = static_cast<std::uint64_t>(clock.systemMs()) + 5'000;
    groupAnswerRequested = true;
    EXPECT_TRUE(sync->cycle(tenSecondSlide, false).report);
    EXPECT_FALSE(groupAnswerRequested.load());
    std::vector<SlideSyncInfo> sent = received();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].sendTime, static_cast<std::uint64_t>(clock.systemMs()) + 5'001);

    // A slide without duration sends no heartbeat but still answers.
    const SyncSlide still{2, 10, 0, false, clock.systemMs()};
    clock.advance(10'000);
    EXPECT_FALSE(sync->cycle(still, false).report);
    groupAnswerRequested = true;
    EXPECT_TRUE(sync->cycle(still, false).report);
    EXPECT_EQ(received().size(), 1u);

    // The wall clock set back an hour does not silence the leader.
    clock.setSystemMs(clock.systemMs() - 3'600'000);
    EXPECT_TRUE(sync->cycle(tenSecondSlide, false).report);
}

// A leader that follows a peer's announcement (one with a larger hash keeps it leading) and is
// due to announce in the same cycle must announce the slide as followed: a heartbeat with the
// old start or the old slide would send the group straight back.
TEST_F(GroupSync, ALeaderAnnouncesTheSlideAsItFollowedItInTheSameCycle) {
    auto sync = started();
    received();
    ASSERT_TRUE(sync->join(10).leads);
    received();

    // Re-timed: the first heartbeat is due in this cycle and carries the peer's start.
    const std::uint64_t peerStart = static_cast<std::uint64_t>(tenSecondSlide.startTime) + 400;
    announceFromPeer(2, peerStart, false);
    GroupSyncActions actions = sync->cycle(tenSecondSlide, false);
    ASSERT_TRUE(actions.reanchor);
    std::vector<SlideSyncInfo> sent = received();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].slidePosition, 2);
    EXPECT_EQ(sent[0].startTime, peerStart);

    // Moved to another slide while a heartbeat is due and a peer asks: nothing goes out for the
    // slide being left; the next cycle, on the new slide, announces it and answers the request.
    clock.advance(2000);
    const std::uint64_t changeStart = static_cast<std::uint64_t>(clock.systemMs());
    announceFromPeer(5, changeStart, true);
    groupAnswerRequested = true;
    actions = sync->cycle(tenSecondSlide, false);
    ASSERT_TRUE(actions.change);
    EXPECT_EQ(actions.change->index, 5);
    EXPECT_TRUE(received().empty()) << "the slide being left was announced";
    EXPECT_TRUE(groupAnswerRequested.load()) << "the request waits for the new slide";

    const SyncSlide changed{5, 10, 10'000, false, actions.change->start};
    EXPECT_TRUE(sync->cycle(changed, false).report);
    sent = received();
    ASSERT_EQ(sent.size(), 2u) << "the heartbeat and the answer";
    for (const auto& info : sent) {
        EXPECT_EQ(info.slidePosition, 5);
        EXPECT_EQ(info.startTime, changeStart);
    }
    EXPECT_FALSE(groupAnswerRequested.load());
}

// A slide at its end is being left in that cycle: the leader announces nothing for it, not even
// a due heartbeat or an answer, which both go out for the next slide. A follower that left a
// slide on schedule is not pulled back by a late plain announcement of it; a change
// announcement of it, another start, or a player that never showed it still follow.
TEST_F(GroupSync, ASlideThatEndsIsNotAnnouncedAndALateHeartbeatOfItIsNotFollowed) {
    auto sync = started();
    received();
    ASSERT_TRUE(sync->join(10).leads);
    received();
    clock.advance(2'000);
    SyncSlide ending = tenSecondSlide;
    ending.ended = true;
    groupAnswerRequested = true;
    EXPECT_FALSE(sync->cycle(ending, false).report);
    EXPECT_TRUE(received().empty()) << "the slide being left was announced";
    const SyncSlide next{3, 10, 10'000, false, tenSecondSlide.startTime + 10'000};
    EXPECT_TRUE(sync->cycle(next, false).report);
    std::vector<SlideSyncInfo> sent = received();
    ASSERT_EQ(sent.size(), 2u) << "the heartbeat and the answer";
    for (const auto& info : sent) EXPECT_EQ(info.slidePosition, 3);

    struct Case {
        const char* name;
        bool left;
        std::uint64_t start;
        bool pending;
        bool follows;
    };
    const auto leftStart = static_cast<std::uint64_t>(tenSecondSlide.startTime);
    for (const Case& c : {Case{"late heartbeat of the slide left", true, leftStart, false, false},
                          Case{"change announcement of it", true, leftStart, true, true},
                          Case{"another start of it", true, leftStart + 20'000, false, true},
                          Case{"a player that never showed it", false, leftStart, false, true}}) {
        SCOPED_TRACE(c.name);
        resetGroupSyncState();
        identity = identityOf("", "");
        auto follower = started();
        if (c.left) follower->slideLeft(2, tenSecondSlide.startTime);
        announceFromPeer(2, c.start, c.pending);
        const GroupSyncActions actions = follower->cycle(next, false);
        EXPECT_EQ(actions.change.has_value(), c.follows);
        EXPECT_EQ(actions.report, c.follows) << "the slide on screen is reported once";
    }
}

TEST_F(GroupSync, ANavigationIsAnnouncedAsAChangeAndMakesThePlayerLead) {
    auto sync = started();
    received();
    EXPECT_FALSE(sync->slideSetUp(4)) << "no navigation asked for";
    EXPECT_TRUE(received().empty());

    sync->announceNextChange();
    const std::optional<std::int64_t> start = sync->slideSetUp(4);
    ASSERT_TRUE(start);
    EXPECT_EQ(*start, clock.systemMs() - 70);
    EXPECT_TRUE(groupLeader.load());
    const std::vector<SlideSyncInfo> sent = received();
    ASSERT_EQ(sent.size(), 3u);
    for (const auto& info : sent) {
        EXPECT_EQ(info.slidePosition, 4);
        EXPECT_TRUE(info.pending) << "the change bit";
        EXPECT_EQ(info.startTime, static_cast<std::uint64_t>(*start));
    }
    EXPECT_FALSE(sync->slideSetUp(5)) << "one announcement per navigation";

    // Without a network the flag is dropped, nothing is sent, and no leadership is taken.
    groupLeader = false;
    network = false;
    clock.advance(1000);
    sync->cycle(tenSecondSlide, false);
    sync->announceNextChange();
    EXPECT_FALSE(sync->slideSetUp(6));
    network = true;
    clock.advance(1000);
    sync->cycle(tenSecondSlide, false);
    EXPECT_FALSE(sync->slideSetUp(6));
    EXPECT_FALSE(groupLeader.load());
    EXPECT_TRUE(received().empty());
}

TEST_F(GroupSync, AGroupChangeStartsOverOnceForTheNewGroup) {
    auto sync = started();
    received();
    ASSERT_TRUE(sync->join(10).leads);
    received();
    const int readsBefore = identityReads;

    // Many changes in one cycle make one restart.
    identity = identityOf("hall", "SELF");
    generation += 5;
    announceFromPeer(6, 1, true);  // of the old group, not yet taken
    groupAnswerRequested = true;
    const std::int64_t restartedAt = clock.steadyMs();
    sync->restartIfGroupChanged();
    sync->restartIfGroupChanged();
    EXPECT_EQ(identityReads, readsBefore + 1);
    EXPECT_TRUE(sync->enabled());
    EXPECT_FALSE(sync->scheduleSettled());
    EXPECT_FALSE(groupLeader.load());
    EXPECT_FALSE(groupAnswerRequested.load());
    EXPECT_EQ(lastAcceptedSendTime.load(), 0u);
    EXPECT_EQ(lastAnnouncementTime.load(), restartedAt) << "the silence counts from the restart";
    const std::vector<SlideSyncInfo> sent = received("hall");
    ASSERT_EQ(sent.size(), 3u) << "one request for the new group";
    for (const auto& info : sent) EXPECT_TRUE(info.isRequest && !info.electionRequest);

    const GroupSyncActions actions = sync->cycle(tenSecondSlide, false);
    EXPECT_FALSE(actions.change || actions.reanchor) << "the old group's announcement is gone";
    EXPECT_EQ(log.str(), "");

    // The group id removed: said, sync off, reports go out again.
    identity = identityOf("", "SELF");
    ++generation;
    sync->restartIfGroupChanged();
    EXPECT_EQ(log.str(), disabledLine);
    EXPECT_FALSE(sync->enabled());
    EXPECT_FALSE(sync->hasSender());
    EXPECT_TRUE(sync->scheduleSettled());
    EXPECT_TRUE(sync->networkUsable());
    EXPECT_EQ(sync->ownHash(), 0u);
    clock.advance(20'000);
    sync->cycle(tenSecondSlide, false);
    EXPECT_FALSE(groupLeader.load()) << "no takeover without a group";
    EXPECT_TRUE(received("hall").empty());
}

TEST_F(GroupSync, LosingTheNetworkGivesUpLeadingUntilFiveToSevenSecondsAfterItReturns) {
    auto sync = started();
    received();
    ASSERT_TRUE(sync->join(10).leads);
    received();
    const int checksBefore = networkChecks;

    network = false;
    clock.advance(1000);
    sync->cycle(tenSecondSlide, false);
    EXPECT_FALSE(groupLeader.load());
    EXPECT_FALSE(sync->scheduleSettled());
    EXPECT_FALSE(sync->networkUsable());
    received();  // whatever went out before the check

    // On hold: no takeover, nothing sent, announcements still followed; one check a second.
    cycleUntil(*sync, tenSecondSlide, 10'000, [] { return false; }, 50);
    EXPECT_FALSE(groupLeader.load());
    EXPECT_TRUE(received().empty());
    EXPECT_EQ(networkChecks, checksBefore + 10);
    announceFromPeer(4, static_cast<std::uint64_t>(clock.systemMs()), false);
    EXPECT_TRUE(sync->cycle(tenSecondSlide, false).change);

    network = true;
    cycleUntil(*sync, tenSecondSlide, 2000, [&] { return sync->networkUsable(); });
    ASSERT_TRUE(sync->networkUsable());
    const std::int64_t back = clock.steadyMs();
    EXPECT_EQ(lastAnnouncementTime.load(), back);
    EXPECT_EQ(lastAcceptedSendTime.load(), 0u);
    cycleUntil(*sync, tenSecondSlide, 10'000, [] { return groupLeader.load(); });
    ASSERT_TRUE(groupLeader.load());
    EXPECT_GE(clock.steadyMs() - back, 5000);
    EXPECT_LT(clock.steadyMs() - back, 7000);
}

// Without a group the network watch does not run: a player without a group keeps reporting
// after its network drops.
TEST_F(GroupSync, WithoutAGroupANetworkDropChangesNothing) {
    identity = identityOf("", "");
    network = false;
    auto sync = started();
    clock.advance(5000);
    sync->cycle(tenSecondSlide, false);
    EXPECT_TRUE(sync->scheduleSettled());
    EXPECT_TRUE(sync->networkUsable());
    EXPECT_EQ(networkChecks, 0);
}

// With the real listener thread on port 9000 (in a namespace of this test) filling the shared
// state while the loop's steps run: a peer's announcements are followed, and its request is
// answered once this player leads.
TEST(GroupSyncWithListener, FollowsAPeerAndAnswersItsRequestWhenLeading) {
    LUMETTA_REQUIRE_PRIVATE_NETWORK();
    ASSERT_TRUE(testing::enterFreshNetworkNamespace());
    resetGroupSyncState();
    std::atomic<bool> running{true};
    std::atomic<bool> listening{false};
    SlideSyncListenerOptions listenerOptions;
    listenerOptions.running = &running;
    listenerOptions.receiveTimeout = std::chrono::milliseconds(20);
    listenerOptions.identity = [] { return identityOf("lobby", "SELF"); };
    listenerOptions.wake = [] {};
    listenerOptions.listening = [&](std::uint16_t) { listening = true; };
    std::ostringstream listenerLog;
    listenerOptions.errors = &listenerLog;
    std::thread listener([&] { runSlideSyncListener(slideSyncPort, listenerOptions); });
    while (!listening) std::this_thread::sleep_for(std::chrono::milliseconds(1));

    UdpSocket peerSocket;  // the peer's requests are answered to port 9000, where it listens too
    BroadcastSender peer(slideSyncPort, identityOf("lobby", "PEER"), "127.0.0.1");
    GroupSyncOptions options;
    options.identity = [] { return identityOf("lobby", "SELF"); };
    options.makeSender = [](const GroupIdentity& id) {
        return std::make_unique<BroadcastSender>(slideSyncPort, id, "127.0.0.1");
    };
    options.networkUsable = [] { return true; };
    options.generation = [] { return std::uint64_t{1}; };
    options.running = &running;
    std::ostringstream log;
    options.errors = &log;
    GroupSlideSync sync(options);
    sync.start();

    const auto cycleUntil = [&](auto done, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            SyncSlide slide{0, 10, 10'000, false, systemClock().systemMs()};
            if (done(sync.cycle(slide, false))) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    };
    const auto now = static_cast<std::uint64_t>(systemClock().systemMs());
    ASSERT_TRUE(peer.sendSlide(4, now, now, false, slideChangeFlag));
    EXPECT_TRUE(cycleUntil([](const GroupSyncActions& actions) { return actions.change && actions.change->index == 4; }));
    EXPECT_TRUE(sync.scheduleSettled());

    // Leading now: after its first heartbeat, a request of the peer is answered well before the
    // next heartbeat is due (2 s).
    groupLeader = true;
    EXPECT_TRUE(sync.cycle(SyncSlide{0, 10, 10'000, false, systemClock().systemMs()}, false).report);
    ASSERT_TRUE(peer.sendRequest());
    EXPECT_TRUE(cycleUntil([](const GroupSyncActions& actions) { return actions.report; },
                           std::chrono::milliseconds(1500)));
    running = false;
    listener.join();
    resetGroupSyncState();
}

TEST(GroupSlideTimes, SaturateInsteadOfOverflowing) {
    EXPECT_EQ(slideTimeFromWire(0), 0);
    EXPECT_EQ(slideTimeFromWire(1'750'000'000'000), 1'750'000'000'000);
    EXPECT_EQ(slideTimeFromWire(std::numeric_limits<std::uint64_t>::max()), maxTime);
    EXPECT_EQ(slideEndTime(maxTime, 1), maxTime);
    EXPECT_EQ(slideEndTime(maxTime - 5, 10), maxTime);
    EXPECT_EQ(slideEndTime(100, 0), 100);
    EXPECT_EQ(slideEndTime(100, -5), 100);
    EXPECT_EQ(slideEndTime(-100, 50), -50);
}

}  // namespace
}  // namespace lumetta::player
