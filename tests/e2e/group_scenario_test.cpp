// Two players of one group on a LAN of their own (veth pairs on a bridge, each player in a
// network namespace of its own, the stand-in service on a third host): they change slides in
// step, and the second takes its media from the first over the content mesh instead of from the
// service.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>

#include "scenario.h"
#include "support/lan.h"

namespace lumetta {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::Frame;
using testing::Shown;

// When a player's screen turned to each slide, by the presentation times of the frames.
class ChangeLog {
public:
    void attach(testing::PlayerProcess& player) {
        player.onEveryFrame([this](const Frame& frame) {
            const Shown shown = testing::shownOn(frame);
            std::lock_guard lock(mutex_);
            if (shown == Shown::Other || shown == last_) return;
            last_ = shown;
            changes_.emplace_back(shown, frame.presentedNs);
        });
    }
    std::vector<std::pair<Shown, std::int64_t>> changes() const {
        std::lock_guard lock(mutex_);
        return changes_;
    }

private:
    mutable std::mutex mutex_;
    Shown last_ = Shown::Other;
    std::vector<std::pair<Shown, std::int64_t>> changes_;  // when each frame was presented, ns
};

// For each change of `follower` after the first `settle`, the distance to the nearest change of
// `leader` to the same slide, in milliseconds.
std::vector<double> skews(const ChangeLog& leader, const ChangeLog& follower, std::size_t settle) {
    std::vector<double> found;
    const auto leading = leader.changes();
    const auto following = follower.changes();
    for (std::size_t i = settle; i < following.size(); ++i) {
        double best = 1e9;
        for (const auto& [other, otherAt] : leading) {
            if (other != following[i].first) continue;
            best = std::min(best, std::abs(static_cast<double>(following[i].second - otherAt) / 1e6));
        }
        found.push_back(best);
    }
    return found;
}

class GroupScenario : public testing::Scenario {
protected:
    void SetUp() override {
        Scenario::SetUp();
        if (HasFatalFailure()) return;
        lan = std::make_unique<testing::Lan>();
        serviceHost = &lan->addHost();
        first = &lan->addHost();
        second = &lan->addHost();
        testing::ServiceStandIn::Options options;
        options.address = serviceHost->address();
        options.networkNamespaceOf = serviceHost->namespacePid();
        service = std::make_unique<testing::ServiceStandIn>(options);
    }

    std::unique_ptr<testing::PlayerProcess> startMember(testing::LanHost& host, const fs::path& memberHome,
                                                        const std::string& machineId) {
        testing::writeTestFile(memberHome / "lumetta/config.json", R"({"groupId": "lobby"})");
        testing::PlayerOptions options = service->playerOptions();
        options.machineId = machineId;
        options.networkNamespaceOf = host.namespacePid();
        options.environment.emplace("ALSA_CONFIG_PATH", alsaConfig.string());
        return std::make_unique<testing::PlayerProcess>(memberHome, options);
    }

    std::unique_ptr<testing::Lan> lan;
    testing::LanHost* serviceHost = nullptr;
    testing::LanHost* first = nullptr;
    testing::LanHost* second = nullptr;
    testing::TempDir secondHome;
};

TEST_F(GroupScenario, TwoPlayersOfOneGroupChangeSlidesInStepAndShareMediaOverTheMesh) {
    // Before the players: their watchers report to these until the players are gone.
    ChangeLog leading;
    ChangeLog following;
    auto leader = startMember(*first, home.path(), "e2e0000000000000000000000000000a");
    publishLobby(leader->deviceId());
    ASSERT_TRUE(service->waitForOpen(1)) << leader->err();
    requestLobby();
    ASSERT_TRUE(testing::eventually([&] { return fs::is_symlink(home.path() / "lumetta/playing.json"); }, 30s))
        << leader->err();

    auto follower = startMember(*second, secondHome.path(), "e2e0000000000000000000000000000b");
    publishLobby(follower->deviceId());
    ASSERT_TRUE(service->waitForOpen(2)) << follower->err();
    requestLobby();
    ASSERT_TRUE(testing::eventually([&] { return fs::is_symlink(secondHome.path() / "lumetta/playing.json"); }, 30s))
        << follower->err();

    // The service handed out each medium once: the second player had them from the first.
    EXPECT_EQ(service->downloads("/videos/clip.mp4"), 1) << follower->out();
    EXPECT_EQ(service->downloads("/images/photo.png"), 1) << follower->out();

    leading.attach(*leader);
    following.attach(*follower);
    // Two rounds of the four slides after the first round, which may still wait for the splash.
    ASSERT_TRUE(testing::eventually([&] { return following.changes().size() >= 12; },
                                    std::chrono::milliseconds(testing::firstPlaylistBoundMs(12))))
        << follower->err();
    const std::vector<double> found = skews(leading, following, 4);
    std::vector<double> sorted = found;
    std::sort(sorted.begin(), sorted.end());
    // Generous, for a loaded test machine (the benchmark measures the real skew): players out
    // of step, with slides of two seconds, would mostly be a second or more apart.
    ASSERT_FALSE(sorted.empty());
    EXPECT_LT(sorted[sorted.size() / 2], 500.0);
    EXPECT_LT(sorted[sorted.size() * 3 / 4], 800.0);
}

}  // namespace
}  // namespace lumetta
