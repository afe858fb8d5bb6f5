// The sender, aimed at a socket on loopback (a broadcast target only where it must fail): what
// each kind of send puts on the wire, how often and with which pauses, and what it refuses.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "core/palette.h"
#include "link/broadcast_sender.h"
#include "slide_sync_test_support.h"
#include "support/lan.h"
#include "support/manual_clock.h"

namespace lumetta {
namespace {

using testing::ManualClock;
using testing::UdpSocket;

GroupIdentity identityOf(std::string group, std::string device) {
    GroupIdentity identity;
    identity.groupId = std::move(group);
    identity.deviceId = std::move(device);
    return identity;
}

std::string tag() { return std::string(ansi::BOLD_MAGENTA) + "[BROADCAST]" + std::string(ansi::RESET); }

class Sender : public ::testing::Test {
protected:
    void SetUp() override {
        LUMETTA_REQUIRE_PRIVATE_NETWORK();
        clock.setAutoAdvance(true);  // the 35 ms pauses pass at once and are counted on the clock
    }

    std::unique_ptr<BroadcastSender> makeSender(GroupIdentity identity = identityOf("lobby", "SELF"),
                                                std::string target = "127.0.0.1") {
        return std::make_unique<BroadcastSender>(receiver.port(), std::move(identity), std::move(target), clock, log);
    }
    // Every datagram received, each checked as a packet of our group from "SELF".
    std::vector<SlideSyncInfo> received() {
        std::vector<SlideSyncInfo> infos;
        for (const auto& datagram : receiver.receiveAll(200)) {
            SlideSyncInfo info;
            EXPECT_TRUE(verifySlidePacket(datagram.data(), datagram.size(), listenerSide, info, clock));
            EXPECT_EQ(info.senderHash, slideSyncHash("SELF"));
            infos.push_back(info);
        }
        return infos;
    }

    ManualClock clock{1'750'000'000'000};
    UdpSocket receiver;
    std::ostringstream log;
    const GroupIdentity listenerSide = identityOf("lobby", "OTHER");
};

TEST_F(Sender, RequestsGoOutThreeTimes35msApart) {
    auto sender = makeSender();
    const std::int64_t steadyBefore = clock.steadyMs();
    const auto sentAt = static_cast<std::uint64_t>(clock.systemMs());
    ASSERT_TRUE(sender->sendRequest());
    EXPECT_EQ(clock.steadyMs() - steadyBefore, 70);
    auto infos = received();
    ASSERT_EQ(infos.size(), 3u);
    for (const auto& info : infos) {
        EXPECT_TRUE(info.isRequest);
        EXPECT_FALSE(info.electionRequest);
        EXPECT_EQ(info.sendTime, sentAt);
        EXPECT_EQ(info.startTime, sentAt);
        EXPECT_EQ(info.slidePosition, 0);
    }

    const std::uint64_t joinTime = sentAt - 400;
    ASSERT_TRUE(sender->sendRequestWithTime(joinTime));
    EXPECT_EQ(clock.steadyMs() - steadyBefore, 140);
    infos = received();
    ASSERT_EQ(infos.size(), 3u);
    for (const auto& info : infos) {
        EXPECT_TRUE(info.isRequest);
        EXPECT_TRUE(info.electionRequest);
        EXPECT_EQ(info.sendTime, sentAt + 70);  // now, after the first series
        EXPECT_EQ(info.startTime, joinTime);
    }
    EXPECT_EQ(log.str(), "");
}

TEST_F(Sender, AnnouncementsCarryTheCallersValues) {
    auto sender = makeSender();
    const auto now = static_cast<std::uint64_t>(clock.systemMs());
    const std::int64_t steadyBefore = clock.steadyMs();

    ASSERT_TRUE(sender->sendSlide(6, now + 1, now - 3000, false, 0));
    EXPECT_EQ(clock.steadyMs(), steadyBefore);  // one send, no pause
    auto infos = received();
    ASSERT_EQ(infos.size(), 1u);
    EXPECT_FALSE(infos[0].isRequest);
    EXPECT_FALSE(infos[0].pending);
    EXPECT_EQ(infos[0].slidePosition, 6);
    EXPECT_EQ(infos[0].sendTime, now + 1);
    EXPECT_EQ(infos[0].startTime, now - 3000);

    ASSERT_TRUE(sender->sendSlide(2, now + 2, now, true, slideChangeFlag));
    EXPECT_EQ(clock.steadyMs() - steadyBefore, 70);
    infos = received();
    ASSERT_EQ(infos.size(), 3u);
    for (const auto& info : infos) {
        EXPECT_TRUE(info.pending);  // the change bit
        EXPECT_EQ(info.slidePosition, 2);
        EXPECT_EQ(info.sendTime, now + 2);
    }
}

TEST_F(Sender, RefusesWithoutSendingAnything) {
    struct Case {
        const char* name;
        GroupIdentity identity;
        bool closeFirst;
        std::int32_t position;
    };
    const Case cases[] = {
        {"negative position", identityOf("lobby", "SELF"), false, -1},
        {"no group id", identityOf("", "SELF"), false, 0},
        {"no device id", identityOf("lobby", ""), false, 0},
        {"closed sender", identityOf("lobby", "SELF"), true, 0},
    };
    for (const Case& c : cases) {
        auto sender = makeSender(c.identity);
        if (c.closeFirst) sender->close();
        EXPECT_FALSE(sender->sendSlide(c.position, 1, 1, true, 0)) << c.name;
        if (c.position >= 0) {
            EXPECT_FALSE(sender->sendRequest()) << c.name;
            EXPECT_FALSE(sender->sendRequestWithTime(5)) << c.name;
        }
        EXPECT_TRUE(receiver.receiveAll(50).empty()) << c.name;
    }
    EXPECT_EQ(log.str(), "");
}

TEST_F(Sender, ClosingTwiceClosesTheSocketOnce) {
    auto sender = makeSender();
    const auto now = static_cast<std::uint64_t>(clock.systemMs());
    ASSERT_TRUE(sender->sendSlide(0, now, now, false, 0));  // the socket is open now
    sender->close();
    // The descriptor number just freed goes to the next open file; a second close must leave it.
    const int reused = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(reused, 0);
    sender->close();
    sender.reset();  // the destructor closes too
    EXPECT_EQ(::fcntl(reused, F_GETFD), FD_CLOEXEC);
    ::close(reused);
    EXPECT_EQ(received().size(), 1u);
}

TEST_F(Sender, FailuresReturnFalseAndTheSenderStaysUsable) {
    // A target that is no IPv4 address: logged at every attempt, since each send tries afresh.
    auto invalid = makeSender(identityOf("lobby", "SELF"), "lobby.local");
    EXPECT_FALSE(invalid->sendSlide(1, 1, 1, false, 0));
    EXPECT_FALSE(invalid->sendRequest());
    EXPECT_EQ(log.str(), tag() + " Invalid IP: lobby.local\n" + tag() + " Invalid IP: lobby.local\n");
    log.str("");

    // The limited broadcast with no network but loopback: the send fails, is retried once on a
    // new socket, and both failures are logged; requests fail quietly.
    auto unroutable = makeSender(identityOf("lobby", "SELF"), "255.255.255.255");
    EXPECT_FALSE(unroutable->sendSlide(1, 1, 1, true, 0));
    EXPECT_EQ(log.str(), tag() + " sendto() failed: Network is unreachable\n" + tag() +
                             " Retry send failed: Network is unreachable\n");
    log.str("");
    EXPECT_FALSE(unroutable->sendRequest());
    EXPECT_FALSE(unroutable->sendRequestWithTime(1));
    EXPECT_EQ(log.str(), "");
}

}  // namespace
}  // namespace lumetta
