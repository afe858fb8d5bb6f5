// Players on one test LAN, each a probe process in a network namespace of its own, finding
// each other's content and agreeing who downloads it.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "core/config_store.h"
#include "support/lan.h"
#include "support/temp_dir.h"

namespace lumetta {
namespace {

namespace fs = std::filesystem;

const std::string sha1A(40, 'a');
const std::string sha1B(40, 'b');

// One player: its own data directory and its mesh probe inside a LAN host.
struct Player {
    Player(testing::LanHost& host, const std::string& id, const std::string& group) : host(host), id(id) {
        fs::create_directories(dir.path() / "lumetta");
        EXPECT_TRUE(setConfigString(dir.str(), "groupId", group));
        probe = host.start({MESH_PROBE});
        EXPECT_EQ(probe->ask("start " + dir.str() + " " + id), "started 1") << probe->errors();
    }
    // Stores a file and offers it to the group.
    void holds(const std::string& hash, const std::string& content = "media bytes") {
        const fs::path path = testing::writeTestFile(dir / "media" / hash, content);
        EXPECT_EQ(probe->ask("register " + hash + " " + path.string()), "ok");
    }
    std::string ask(const std::string& line) { return probe->ask(line).value_or("<no answer>"); }

    testing::LanHost& host;
    std::string id;
    testing::TempDir dir;
    std::unique_ptr<testing::Probe> probe;
};

class MeshLanTest : public ::testing::Test {
protected:
    void SetUp() override {
        LUMETTA_REQUIRE_PRIVATE_NETWORK();
        lan = std::make_unique<testing::Lan>();
    }
    std::unique_ptr<Player> player(const std::string& id, const std::string& group = "lobby") {
        return std::make_unique<Player>(lan->addHost(), id, group);
    }
    std::unique_ptr<testing::Lan> lan;
};

TEST_F(MeshLanTest, AFindReachesTheHolderOfItsGroupOnly) {
    auto a = player("A1");
    auto b = player("B7");
    auto other = player("D4", "another group");
    a->holds(sha1A);
    other->holds(sha1B);

    EXPECT_EQ(b->ask("find " + sha1A), "peer 10.77.0.1 45873 0 A1");
    // The other group's holder does not answer, and nobody else has it: nothing after 900 ms.
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(b->ask("find " + sha1B), "none");
    const auto took = std::chrono::steady_clock::now() - before;
    EXPECT_GE(took, std::chrono::milliseconds(850));
    EXPECT_LT(took, std::chrono::seconds(5));
    // A player does not find its own file on the LAN.
    EXPECT_EQ(a->ask("find " + sha1A), "none");

    // A stopped mesh no longer answers.
    EXPECT_EQ(a->ask("stop"), "stopped");
    EXPECT_EQ(b->ask("find " + sha1A), "none");
}

TEST_F(MeshLanTest, AFetchingPeerIsReportedUntilAHolderAnswers) {
    auto a = player("A1");
    auto b = player("B7");
    auto c = player("C3");
    // Alone with the hash, A1 downloads it itself and from then on says it is fetching it.
    EXPECT_EQ(a->ask("choose " + sha1A), "choose 1");
    EXPECT_EQ(b->ask("find " + sha1A), "peer - 0 1 A1");
    EXPECT_EQ(b->ask("intents " + sha1A), "intents A1");  // the FETCHING answer is news of A1
    // A holder beats the fetching peer.
    c->holds(sha1A);
    EXPECT_EQ(b->ask("find " + sha1A), "peer 10.77.0.3 45873 0 C3");
    // Released without the file, A1 no longer claims it.
    EXPECT_EQ(c->ask("stop"), "stopped");
    EXPECT_EQ(a->ask("forget " + sha1A), "ok");
    EXPECT_EQ(b->ask("find " + sha1A), "none");
}

TEST_F(MeshLanTest, EveryPlayerElectsTheSmallestDeviceId) {
    auto b = player("B7");
    auto a = player("A1");
    auto c = player("C3");
    for (Player* p : {b.get(), a.get(), c.get()}) ASSERT_TRUE(p->probe->send("choose " + sha1A));
    EXPECT_EQ(b->probe->readLine(), "choose 0");
    EXPECT_EQ(a->probe->readLine(), "choose 1");
    EXPECT_EQ(c->probe->readLine(), "choose 0");
    // The others withdrew their own intents; A1's stands everywhere.
    EXPECT_EQ(b->ask("intents " + sha1A).find("B7"), std::string::npos);
    EXPECT_NE(b->ask("intents " + sha1A).find("A1"), std::string::npos);
    EXPECT_EQ(c->ask("intents " + sha1A).find("C3"), std::string::npos);
    EXPECT_EQ(a->ask("fetching " + sha1A), "fetching 1");
    EXPECT_EQ(b->ask("fetching " + sha1A), "fetching 0");
    // ... and the waiting ones now hear that A1 is fetching.
    EXPECT_EQ(c->ask("find " + sha1A), "peer - 0 1 A1");
}

}  // namespace
}  // namespace lumetta
