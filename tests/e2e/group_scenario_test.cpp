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

using Changes = std::vector<std::pair<Shown, std::int64_t>>;

// The slide a record shows at `at` (ns).
Shown shownAt(const Changes& changes, std::int64_t at) {
    Shown shown = Shown::Other;
    for (const auto& [kind, when] : changes) {
        if (when > at) break;
        shown = kind;
    }
    return shown;
}

// The share of the time from `from` to `to` (ns) in which both records show the same slide.
double agreement(const Changes& one, const Changes& other, std::int64_t from, std::int64_t to) {
    std::vector<std::int64_t> cuts{from, to};
    for (const Changes* changes : {&one, &other}) {
        for (const auto& [kind, when] : *changes) {
            if (when > from && when < to) cuts.push_back(when);
        }
    }
    std::sort(cuts.begin(), cuts.end());
    double same = 0.0;
    for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
        if (shownAt(one, cuts[i]) == shownAt(other, cuts[i])) same += static_cast<double>(cuts[i + 1] - cuts[i]);
    }
    return same / static_cast<double>(to - from);
}

std::string describe(const Changes& changes, std::int64_t base) {
    std::string text;
    for (const auto& [kind, when] : changes) {
        text += std::string(" ") + testing::nameOf(kind) + "@" + std::to_string((when - base) / 1000000);
    }
    return text;
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
    // Three rounds of the four slides after the first two, in which the second player finds the
    // group's schedule (the first round may still wait for its splash).
    constexpr std::size_t settle = 8;
    constexpr std::size_t measured = 12;
    ASSERT_TRUE(testing::eventually([&] { return following.changes().size() >= settle + measured; },
                                    std::chrono::milliseconds(testing::firstPlaylistBoundMs(settle + measured))))
        << follower->err();
    // Each player's frames are read back at their own pace: the first player's record must reach
    // past the last measured change of the second before they are compared.
    const std::int64_t lastMeasured = following.changes()[settle + measured - 1].second;
    ASSERT_TRUE(testing::eventually(
        [&] {
            const auto changes = leading.changes();
            return !changes.empty() && changes.back().second > lastMeasured;
        },
        4 * testing::kSlide + testing::kMargin))
        << leader->err();
    // In step, the two show the same slide nearly all the time. A slow player (a loaded machine,
    // a sanitizer build) presents a change a few hundred milliseconds late, a video slide up to a
    // second late or early (each clip starts when its first picture is decoded), and a follower
    // shows a slide briefly when an announcement reaches it late; players out of step, with
    // slides of two seconds, agree half of the time or less (the benchmark measures the skew).
    const Changes leaderChanges = leading.changes();
    const Changes followerChanges = following.changes();
    const std::int64_t from = followerChanges[settle].second;
    const double shared = agreement(leaderChanges, followerChanges, from, lastMeasured);
    EXPECT_GT(shared, 0.7) << "first:" << describe(leaderChanges, from) << "\nsecond:" << describe(followerChanges, from);
}

}  // namespace
}  // namespace lumetta
