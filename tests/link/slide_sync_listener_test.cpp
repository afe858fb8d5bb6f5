// The listener thread, fed with unicast datagrams to its port on loopback. Its state is
// process-wide, so each test starts from the reset state and runs one listener.
//
// An empty datagram is the probe that the listener has dealt with everything sent before it: it
// is reported with a line of its own (refusals are reported at most once per 10 s) and changes
// nothing.
#include <gtest/gtest.h>
#include <SDL3/SDL.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/config_store.h"
#include "link/player_events.h"
#include "link/slide_sync_listener.h"
#include "slide_sync_test_support.h"
#include "support/manual_clock.h"
#include "support/temp_dir.h"

namespace lumetta {
namespace {

using testing::forgePacket;
using testing::LineCapture;
using testing::ManualClock;
using testing::UdpSocket;

const std::string probeLine = "recvfrom returned empty datagram";
const std::string refusal80 = "recvfrom returned unexpected size: 80";
const std::string self = "SELF";
constexpr std::int64_t noElectionTime = std::numeric_limits<std::int64_t>::max();
constexpr std::uint64_t noElectionHash = std::numeric_limits<std::uint64_t>::max();

struct SharedState {
    std::int32_t position;
    bool pending;
    std::uint64_t startTime;
    std::uint64_t acceptedSendTime, acceptedSender;
    bool leader, answerRequested;
    std::int64_t electionTime;
    std::uint64_t electionHash;
};

SharedState readState() {
    SharedState state{};
    {
        std::lock_guard lock(groupSyncMutex);
        state.position = groupSlidePosition;
        state.pending = groupSlidePending;
        state.startTime = groupSlideStartTime;
    }
    state.acceptedSendTime = lastAcceptedSendTime;
    state.acceptedSender = lastAcceptedSenderHash;
    state.leader = groupLeader;
    state.answerRequested = groupAnswerRequested;
    std::lock_guard lock(groupElectionMutex);
    state.electionTime = groupElectionTime;
    state.electionHash = groupElectionHash;
    return state;
}

class Listener : public ::testing::Test {
protected:
    void SetUp() override {
        resetGroupSyncState();
        std::filesystem::create_directories(dir / "lumetta");
        ASSERT_TRUE(setConfigString(dir.str(), "groupId", "lobby"));
    }
    void TearDown() override { stop(); }

    // Starts the listener; `wakeOnSdl` leaves the default wake-up (the SDL event) in place.
    void start(bool wakeOnSdl = false, std::chrono::milliseconds receiveTimeout = std::chrono::milliseconds(50)) {
        SlideSyncListenerOptions options;
        options.clock = &clock;
        options.receiveTimeout = receiveTimeout;
        options.running = &running;
        options.identity = [this] { return GroupIdentity(dir.str(), self); };
        if (!wakeOnSdl) {
            options.wake = [this] {
                {
                    std::lock_guard lock(mutex);
                    ++wakes;
                }
                woken.notify_all();
            };
        }
        options.listening = [this](std::uint16_t bound) {
            {
                std::lock_guard lock(mutex);
                port = bound;
            }
            woken.notify_all();
        };
        options.errors = &errors;
        thread = std::thread([this, options] {
            runSlideSyncListener(0, options);
            finished = true;
        });
        std::unique_lock lock(mutex);
        ASSERT_TRUE(woken.wait_for(lock, std::chrono::seconds(5), [&] { return port != 0; }));
    }

    // Ends the listener; returns how long that took in real time.
    std::chrono::milliseconds stop() {
        const auto begin = std::chrono::steady_clock::now();
        running = false;
        if (thread.joinable()) {
            // A nap on the manual clock ends only when the clock moves.
            while (!finished) {
                clock.advance(100);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            thread.join();
        }
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin);
    }

    void send(const SlideSyncPacket& packet) { peer.sendTo(port, packet); }
    // Waits until the listener has handled everything sent so far.
    void settle() {
        const std::uint8_t probe = 0;
        peer.sendTo(port, &probe, 0);
        ASSERT_TRUE(errors.waitFor(probeLine, ++probes)) << "the listener did not take the probe";
    }
    int wakeCount() {
        std::lock_guard lock(mutex);
        return wakes;
    }

    std::uint64_t now() const { return static_cast<std::uint64_t>(clock.systemMs()); }
    SlideSyncPacket announce(const std::string& sender, std::uint64_t sendTime, std::int32_t position,
                             std::int64_t startOffset = -100, std::uint8_t flags = 0) const {
        return forgePacket(slideAnnouncementMagic, "lobby", sender, sendTime, now() + startOffset, position, flags);
    }
    SlideSyncPacket request(const std::string& sender) const {
        return forgePacket(slideRequestMagic, "lobby", sender, now(), now(), 0, 0);
    }
    SlideSyncPacket election(const std::string& sender, std::uint64_t joinTime) const {
        return forgePacket(slideRequestMagic, "lobby", sender, now(), joinTime, 0, slideElectionFlag);
    }

    testing::TempDir dir;
    ManualClock clock{1'750'000'000'000};
    std::atomic<bool> running{true};
    LineCapture errors;
    UdpSocket peer;
    std::thread thread;
    std::atomic<bool> finished{false};
    std::mutex mutex;
    std::condition_variable woken;
    int wakes = 0;
    std::uint16_t port = 0;
    int probes = 0;
};

// Peers on either side of this player's own hash: ties, leads and elections depend on the order.
const std::string low = testing::deviceIdWithHash(true, self, "LOW-");
const std::string lower = testing::deviceIdWithHash(true, low, "LOWER-");
const std::string high = testing::deviceIdWithHash(false, self, "HIGH-");

TEST_F(Listener, AnnouncementRules) {
    struct Sent {
        std::string sender;
        std::int64_t sendOffset;  // from now
        std::int32_t position;
    };
    struct Case {
        const char* name;
        bool leading;
        std::vector<Sent> sent;
        int wakes;
        std::int32_t position;  // -1: nothing waiting
        std::string acceptedFrom;
        bool leaderAfter;
    };
    const std::vector<Case> cases = {
        {"equal send times: the greater hash arriving first wins", false, {{high, 0, 2}, {low, 0, 1}}, 1, 2, high, false},
        {"equal send times: the greater hash arriving last wins", false, {{low, 0, 1}, {high, 0, 2}}, 2, 2, high, false},
        {"an older announcement changes nothing", false, {{high, 0, 3}, {low, -10, 4}}, 1, 3, high, false},
        {"a repeated copy is ignored", false, {{low, 0, 3}, {low, 0, 3}}, 1, 3, low, false},
        {"a newer one replaces the waiting slide", false, {{low, 0, 3}, {low, 5, 4}}, 2, 4, low, false},
        {"own announcements are ignored", false, {{self, 0, 5}}, 0, -1, "", false},
        {"a newer one from a smaller hash ends our lead", true, {{low, 0, 1}}, 1, 1, low, false},
        {"one from a greater hash does not", true, {{high, 0, 1}}, 1, 1, high, true},
    };
    start();
    for (const Case& c : cases) {
        resetGroupSyncState();
        groupLeader = c.leading;
        const int wakesBefore = wakeCount();
        for (const Sent& s : c.sent) send(announce(s.sender, now() + s.sendOffset, s.position));
        settle();
        const SharedState state = readState();
        EXPECT_EQ(wakeCount() - wakesBefore, c.wakes) << c.name;
        EXPECT_EQ(state.position, c.position) << c.name;
        EXPECT_EQ(state.acceptedSender, c.acceptedFrom.empty() ? 0 : slideSyncHash(c.acceptedFrom)) << c.name;
        EXPECT_EQ(state.leader, c.leaderAfter) << c.name;
        EXPECT_FALSE(state.answerRequested) << c.name;
    }
}

TEST_F(Listener, AcceptedAnnouncementIsStoredWhole) {
    start();
    clock.advance(1234);
    const std::int64_t steadyNow = clock.steadyMs();
    send(announce(low, now() - 40, 7, 900, 0));
    settle();
    SharedState state = readState();
    EXPECT_EQ(state.position, 7);
    EXPECT_TRUE(state.pending);  // starts in 900 ms
    EXPECT_EQ(state.startTime, now() + 900);
    EXPECT_EQ(state.acceptedSendTime, now() - 40);
    EXPECT_EQ(lastAnnouncementTime.load(), steadyNow);

    // The player loop takes the slide; a change announcement of a started slide is pending too.
    {
        std::lock_guard lock(groupSyncMutex);
        groupSlidePosition = -1;
        groupSlidePending = false;
    }
    send(announce(low, now(), 8, -5000, slideChangeFlag));
    send(announce(low, now() + 1, 9, -5000, 0));
    settle();
    state = readState();
    EXPECT_EQ(state.position, 9);
    EXPECT_FALSE(state.pending);
    EXPECT_EQ(wakeCount(), 3);
}

TEST_F(Listener, RequestsAndElections) {
    struct Case {
        const char* name;
        bool leading;
        std::vector<SlideSyncPacket> sent;
        int wakes;
        bool answerRequested;
        std::int64_t electionTime;
        std::string electionWinner;  // empty: no entry
    };
    const std::uint64_t t = now() - 500;
    start();
    const std::vector<Case> cases = {
        {"a plain request to a follower", false, {request(low)}, 0, false, noElectionTime, ""},
        {"a plain request to the leader", true, {request(low)}, 1, true, noElectionTime, ""},
        {"own plain request, even when leading", true, {request(self)}, 0, false, noElectionTime, ""},
        {"an election request to the leader asks for an answer", true, {election(low, t)}, 1, true,
         noElectionTime, ""},
        {"the earliest join time wins", false, {election(low, t), election(high, t - 1), election(lower, t + 1)}, 0,
         false, static_cast<std::int64_t>(t - 1), high},
        {"on equal times the smaller hash wins", false, {election(low, t), election(lower, t), election(high, t)},
         0, false, static_cast<std::int64_t>(t), lower},
        {"own election requests enter the election", false, {election(self, t)}, 0, false,
         static_cast<std::int64_t>(t), self},
    };
    for (const Case& c : cases) {
        resetGroupSyncState();
        groupLeader = c.leading;
        const int wakesBefore = wakeCount();
        for (const auto& packet : c.sent) send(packet);
        settle();
        const SharedState state = readState();
        EXPECT_EQ(wakeCount() - wakesBefore, c.wakes) << c.name;
        EXPECT_EQ(state.answerRequested, c.answerRequested) << c.name;
        EXPECT_EQ(state.leader, c.leading) << c.name;
        EXPECT_EQ(state.electionTime, c.electionTime) << c.name;
        EXPECT_EQ(state.electionHash, c.electionWinner.empty() ? noElectionHash : slideSyncHash(c.electionWinner))
            << c.name;
        EXPECT_EQ(state.position, -1) << c.name;
    }
}

TEST_F(Listener, BadInputChangesNothingAndValidPacketsStillCount) {
    start();
    auto withByte = [](SlideSyncPacket packet, std::size_t at, std::uint8_t value) {
        packet[at] = value;
        return packet;
    };
    const SlideSyncPacket good = announce(high, now(), 3);
    std::vector<std::vector<std::uint8_t>> bad = {
        std::vector<std::uint8_t>(79, 0),
        std::vector<std::uint8_t>(81, 0),
        std::vector<std::uint8_t>(300, 0),
    };
    auto add = [&](const SlideSyncPacket& packet) { bad.emplace_back(packet.begin(), packet.end()); };
    add(withByte(good, 3, 'r'));                                           // magic
    add(withByte(good, 5, 1));                                             // version
    add(withByte(good, 7, 81));                                            // length
    add(forgePacket(slideAnnouncementMagic, "hall", high, now(), now(), 3, 0));  // another group
    add(announce(high, now() + 60'001, 3));
    add(announce(high, now() - 300'001, 3));
    add(announce(high, now(), -1));
    for (std::size_t bit = 0; bit < 80 * 8; bit += 13) {
        add(withByte(good, bit / 8, static_cast<std::uint8_t>(good[bit / 8] ^ (1u << (bit % 8)))));
    }

    std::int32_t expectedPosition = -1;
    int accepted = 0;
    for (std::size_t i = 0; i < bad.size(); ++i) {
        peer.sendTo(port, bad[i].data(), bad[i].size());
        settle();
        EXPECT_EQ(readState().position, expectedPosition) << "datagram " << i;
        EXPECT_EQ(wakeCount(), accepted) << "datagram " << i;
        if (i % 4 == 3) {  // a valid announcement between the bad ones is still taken
            expectedPosition = static_cast<std::int32_t>(i);
            send(announce(low, now() + i, expectedPosition));
            ++accepted;
        }
    }
    settle();
    EXPECT_EQ(readState().position, expectedPosition);
    EXPECT_EQ(wakeCount(), accepted);

    // The first refusal said so with the size as received; the others within 10 s were counted
    // and reported in one line once the 10 s were over.
    EXPECT_EQ(errors.count("recvfrom returned unexpected size: 79"), 1);
    EXPECT_EQ(errors.count(refusal80), 0);
    clock.advance(10'000);
    const std::string leftOut = "recvfrom rejected " + std::to_string(bad.size() - 1) + " more datagrams not shown";
    EXPECT_TRUE(errors.waitFor(leftOut, 1));
    // The next refusal is reported again, with its size (the receive buffer holds 256 bytes).
    peer.sendTo(port, bad[2].data(), bad[2].size());
    settle();
    EXPECT_EQ(errors.count("recvfrom returned unexpected size: 256"), 1);
}

TEST_F(Listener, ForgedBurstCostsAFewLinesAndDoesNotStopTheListener) {
    start(false, std::chrono::milliseconds(500));
    const SlideSyncPacket good = announce(high, now(), 3);
    for (int i = 0; i < 10'000; ++i) {
        SlideSyncPacket forged = good;
        forged[40 + (i % 40)] ^= static_cast<std::uint8_t>(1 + i % 255);  // position, flags or tag
        peer.sendTo(port, forged);
        // Keep the burst within the socket's buffer so that nothing is dropped on the way.
        if (i % 100 == 99) settle();
        if (i % 1000 == 999) send(announce(low, now() + i, i / 1000));
        // 25 s pass during the burst: a refusal line at most every 10 s.
        if (i % 4000 == 3999) clock.advance(10'000);
    }
    settle();
    // The number left out since the last line is written once its 10 s are over.
    clock.advance(10'000);
    EXPECT_TRUE(errors.waitFor("recvfrom rejected 1999 more datagrams not shown", 1));
    EXPECT_EQ(errors.count(refusal80), 3);  // at 0 s, 10 s and 20 s
    EXPECT_EQ(errors.count("recvfrom rejected 3999 more datagrams not shown"), 2);
    EXPECT_EQ(wakeCount(), 10);
    EXPECT_EQ(readState().position, 9);
    EXPECT_LT(stop(), std::chrono::milliseconds(5000));
}

TEST_F(Listener, OtherGroupsAreReportedOncePerSenderAndGroupChange) {
    start();
    const std::string line = "recvfrom returned unexpected size: 80";
    const auto hallA = forgePacket(slideAnnouncementMagic, "hall", "A", now(), now(), 1, 0);
    const auto hallB = forgePacket(slideAnnouncementMagic, "hall", "B", now(), now(), 1, 0);
    const auto stageA = forgePacket(slideAnnouncementMagic, "stage", "A", now(), now(), 1, 0);
    // Each pass 10 s apart, so the period of the refusal line lets every refusal through.
    const auto sendApart = [&](const SlideSyncPacket& packet) {
        clock.advance(10'000);
        send(packet);
        settle();
    };
    for (int i = 0; i < 5; ++i) {
        sendApart(hallA);
        sendApart(hallB);
        sendApart(stageA);
    }
    EXPECT_EQ(errors.count(line), 3);
    // Packets of our own group that fail their check are reported every time.
    auto forged = announce(low, now(), 1);
    forged[79] ^= 1;
    sendApart(forged);
    sendApart(forged);
    EXPECT_EQ(errors.count(line), 5);

    // After a group change (even to the same group) each of them is reported once more.
    bumpGroupConfigGeneration();
    settle();  // the pass after this probe's sees the change
    sendApart(hallA);
    sendApart(hallA);
    EXPECT_EQ(errors.count(line), 6);
    EXPECT_EQ(wakeCount(), 0);
}

TEST_F(Listener, GroupChangeResetsEverySharedField) {
    start();
    send(announce(low, now(), 4));
    send(election(lower, now() - 100));
    settle();
    groupLeader = true;
    groupAnswerRequested = true;
    ASSERT_EQ(readState().position, 4);

    ASSERT_TRUE(setConfigString(dir.str(), "groupId", "stage"));
    bumpGroupConfigGeneration();
    // The pass that is waiting in its receive takes the first probe; the next one sees the change.
    settle();
    settle();
    SharedState state = readState();
    EXPECT_EQ(state.position, -1);
    EXPECT_FALSE(state.pending);
    EXPECT_EQ(state.acceptedSendTime, 0u);
    EXPECT_EQ(state.acceptedSender, 0u);
    EXPECT_FALSE(state.leader);
    EXPECT_FALSE(state.answerRequested);
    EXPECT_EQ(state.electionTime, noElectionTime);
    EXPECT_EQ(state.electionHash, noElectionHash);

    // The old group is foreign now; the new one is heard.
    send(announce(low, now() + 1, 5));
    settle();
    EXPECT_EQ(readState().position, -1);
    send(forgePacket(slideAnnouncementMagic, "stage", low, now() + 2, now(), 6, 0));
    settle();
    EXPECT_EQ(readState().position, 6);
}

TEST_F(Listener, WithoutAGroupItNapsAndReceivesNothing) {
    ASSERT_TRUE(removeConfigKey(dir.str(), "groupId"));
    start();
    ASSERT_TRUE(clock.waitForWaiters(1));  // the first nap
    const std::uint8_t probe = 0;
    peer.sendTo(port, &probe, 0);
    send(forgePacket(slideAnnouncementMagic, "lobby", low, now(), now(), 2, 0));
    clock.advance(99);
    EXPECT_EQ(clock.waiters(), 1);  // a nap lasts 100 ms
    clock.advance(1);               // then it looks again, finds no group and naps on
    EXPECT_FALSE(errors.waitFor(probeLine, 1, std::chrono::milliseconds(300)));
    EXPECT_EQ(errors.lineCount(), 0u);
    EXPECT_EQ(readState().position, -1);

    // The group arrives: after the nap the waiting datagrams are taken.
    ASSERT_TRUE(setConfigString(dir.str(), "groupId", "lobby"));
    bumpGroupConfigGeneration();
    bool taken = false;
    for (int nap = 0; nap < 50 && !taken; ++nap) {
        clock.advance(100);
        taken = errors.waitFor(probeLine, 1, std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(taken);
    probes = 1;
    settle();
    EXPECT_EQ(readState().position, 2);
}

TEST_F(Listener, StopIsSeenWithinOneReceiveTimeout) {
    start(false, std::chrono::milliseconds(500));  // the production time-out
    send(announce(low, now(), 1));
    settle();
    EXPECT_LT(stop(), std::chrono::milliseconds(5000));
}

TEST_F(Listener, APortHeldAtStartIsTakenOnceItIsFree) {
    // A port held without address reuse cannot be shared.
    auto holder = std::make_unique<UdpSocket>();
    const std::uint16_t heldPort = holder->port();
    SlideSyncListenerOptions options;
    options.clock = &clock;
    options.receiveTimeout = std::chrono::milliseconds(50);
    options.running = &running;
    options.identity = [this] { return GroupIdentity(dir.str(), self); };
    options.wake = [this] {
        {
            std::lock_guard lock(mutex);
            ++wakes;
        }
        woken.notify_all();
    };
    options.errors = &errors;
    options.listening = [this](std::uint16_t bound) {
        {
            std::lock_guard lock(mutex);
            port = bound;
        }
        woken.notify_all();
    };
    thread = std::thread([heldPort, options, this] {
        runSlideSyncListener(heldPort, options);
        finished = true;
    });
    // It reports the failure, pauses and tries again, pausing longer each time.
    const std::string bindFailed = "Bind failed: Address already in use";
    ASSERT_TRUE(errors.waitFor(bindFailed, 1));
    ASSERT_TRUE(clock.waitForWaiters(1));
    clock.advance(1'000);
    ASSERT_TRUE(errors.waitFor(bindFailed, 2));
    EXPECT_FALSE(finished);

    holder.reset();
    {
        std::unique_lock lock(mutex);
        for (int nap = 0; nap < 100 && port == 0; ++nap) {
            lock.unlock();
            clock.advance(100);
            lock.lock();
            woken.wait_for(lock, std::chrono::milliseconds(20), [&] { return port != 0; });
        }
        ASSERT_EQ(port, heldPort);
    }
    send(announce(low, now(), 6));
    settle();
    EXPECT_EQ(readState().position, 6);
    EXPECT_EQ(wakeCount(), 1);
}

TEST_F(Listener, ReplayedRequestsQueueOneWakeUpAndTheLeaderStillAnswers) {
    ASSERT_TRUE(SDL_Init(SDL_INIT_EVENTS));
    SDL_FlushEvents(SDL_EVENT_FIRST, SDL_EVENT_LAST);
    start(true);
    groupLeader = true;
    const SlideSyncPacket replayed = request(low);
    const SlideSyncPacket replayedElection = election(high, now() - 1000);
    SDL_Event events[4];
    for (int i = 0; i < 10'000; ++i) {
        send(i % 2 == 0 ? replayed : replayedElection);
        if (i % 100 == 99) {
            settle();
            EXPECT_LE(SDL_PeepEvents(events, 4, SDL_PEEKEVENT, groupChangedEvent, groupChangedEvent), 1) << i;
        }
        // The player loop takes its event now and then and answers.
        if (i % 1000 == 999) {
            EXPECT_TRUE(groupAnswerRequested.exchange(false)) << i;
            SDL_FlushEvent(groupChangedEvent);
        }
    }
    send(replayed);
    settle();
    EXPECT_EQ(SDL_PeepEvents(events, 4, SDL_GETEVENT, groupChangedEvent, groupChangedEvent), 1);
    EXPECT_TRUE(groupAnswerRequested.load());
    stop();
    SDL_Quit();
}

TEST_F(Listener, WakesThePlayerLoopWithTheGroupEvent) {
    ASSERT_TRUE(SDL_Init(SDL_INIT_EVENTS));
    SDL_FlushEvents(SDL_EVENT_FIRST, SDL_EVENT_LAST);
    start(true);
    send(announce(low, now(), 1));
    settle();
    SDL_Event event;
    ASSERT_EQ(SDL_PeepEvents(&event, 1, SDL_GETEVENT, SDL_EVENT_USER, SDL_EVENT_LAST), 1);
    EXPECT_EQ(event.type, groupChangedEvent);
    EXPECT_EQ(event.user.code, 0);
    EXPECT_EQ(event.user.data1, nullptr);
    EXPECT_EQ(event.user.data2, nullptr);
    EXPECT_EQ(SDL_PeepEvents(&event, 1, SDL_GETEVENT, SDL_EVENT_USER, SDL_EVENT_LAST), 0);
    stop();
    SDL_Quit();
}

}  // namespace
}  // namespace lumetta
