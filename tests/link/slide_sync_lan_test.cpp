// Players in network namespaces of their own on one bridge: what one broadcasts to
// 255.255.255.255 on port 9000 wakes the others' player loops, and only those of its group.
#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "link/slide_sync_packet.h"
#include "support/lan.h"

namespace lumetta {
namespace {

using testing::Lan;
using testing::LanHost;
using testing::Probe;

// One player process; its wake lines are kept apart from the answers to its commands.
class Player {
public:
    Player(LanHost& host, const std::string& group, const std::string& device)
        : probe_(host.start({SLIDE_SYNC_PROBE, group, device})) {
        EXPECT_EQ(probe_->readLine(), "listening") << probe_->errors();
    }

    // Sends a command and returns its answer.
    std::string ask(const std::string& command) {
        EXPECT_TRUE(probe_->send(command));
        for (;;) {
            const std::optional<std::string> line = probe_->readLine();
            if (!line) return "";
            if (line->rfind("wake ", 0) == 0) {
                wakes_.push_back(*line);
            } else {
                return *line;
            }
        }
    }
    // The next wake of its loop: position, pending, leader, answer requested. None within `waitMs`.
    std::optional<std::vector<long long>> wake(int waitMs = 5000) {
        if (wakes_.empty()) {
            const std::optional<std::string> line = probe_->readLine(waitMs);
            if (!line) return std::nullopt;
            EXPECT_EQ(line->rfind("wake ", 0), 0u) << *line;
            wakes_.push_back(*line);
        }
        std::istringstream in(wakes_.front().substr(5));
        wakes_.pop_front();
        long long takenAt = 0, pushedAt = 0;
        std::vector<long long> fields(4);
        in >> takenAt >> pushedAt >> fields[0] >> fields[1] >> fields[2] >> fields[3];
        return fields;
    }
    std::string errors() const { return probe_->errors(); }
    int finish() { return probe_->finish(); }

private:
    std::unique_ptr<Probe> probe_;
    std::deque<std::string> wakes_;
};

int countOf(const std::string& text, const std::string& line) {
    int n = 0;
    for (std::size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++n;
    return n;
}

TEST(SlideSyncLan, BroadcastReachesTheGroupOnOtherHosts) {
    LUMETTA_REQUIRE_PRIVATE_NETWORK();
    Lan lan;
    Player a(lan.addHost(), "lobby", "PLAYER-A");
    Player b(lan.addHost(), "lobby", "PLAYER-B");
    Player c(lan.addHost(), "lobby", "PLAYER-C");
    Player other(lan.addHost(), "hall", "PLAYER-D");

    // An announcement wakes both peers with the slide; the sender ignores its own.
    ASSERT_EQ(a.ask("announce 3 0 0").substr(0, 5), "sent ");
    for (Player* peer : {&b, &c}) {
        const auto wake = peer->wake();
        ASSERT_TRUE(wake);
        EXPECT_EQ((*wake)[0], 3);  // position
        EXPECT_EQ((*wake)[1], 0);  // started already, no change bit
        EXPECT_EQ((*wake)[3], 0);
    }
    // A repeated change announcement: the copies after the first change nothing.
    ASSERT_EQ(a.ask("announce 4 1 1").back(), '1');
    for (Player* peer : {&b, &c}) {
        const auto wake = peer->wake();
        ASSERT_TRUE(wake);
        EXPECT_EQ((*wake)[0], 4);
        EXPECT_EQ((*wake)[1], 1);  // the change bit
    }

    // A plain request wakes the leader alone, asking it for an answer. Each of the three copies
    // asks again; the loop answers what it finds when it looks.
    auto expectAskedToAnswer = [](Player& leader) {
        const auto first = leader.wake();
        ASSERT_TRUE(first);
        EXPECT_EQ((*first)[0], -1);  // no slide waiting
        EXPECT_EQ((*first)[2], 1);
        EXPECT_EQ((*first)[3], 1);
        for (int copy = 1; copy < 3; ++copy) {
            const auto again = leader.wake(300);
            if (!again) break;
            EXPECT_EQ((*again)[0], -1);
        }
    };
    EXPECT_EQ(b.ask("lead 1"), "ok");
    ASSERT_EQ(c.ask("request").back(), '1');
    expectAskedToAnswer(b);

    // An election request enters the followers' elections; the leader is asked to answer instead.
    ASSERT_EQ(c.ask("elect 1700000000000").back(), '1');
    EXPECT_EQ(a.ask("election"), "election 1700000000000 " + std::to_string(slideSyncHash("PLAYER-C")));
    expectAskedToAnswer(b);

    // Nothing else woke anybody: not the sender, not the other group, no copy twice.
    for (Player* player : {&a, &b, &c, &other}) EXPECT_FALSE(player->wake(300));
    // The other group's player heard every packet; a refusal is reported at most once per 10 s,
    // so the first sender's packet gave the one line and the rest were counted.
    EXPECT_EQ(countOf(other.errors(), "recvfrom returned unexpected size: 80\n"), 1) << other.errors();
    for (Player* player : {&a, &b, &c, &other}) EXPECT_EQ(player->finish(), 0) << player->errors();
    EXPECT_EQ(a.errors(), "");
}

}  // namespace
}  // namespace lumetta
