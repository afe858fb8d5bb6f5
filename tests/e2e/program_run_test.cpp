// The whole program in its box: what every scenario relies on.
#include <gtest/gtest.h>

#include <filesystem>

#include "player_process.h"
#include "service_stand_in.h"
#include "support/lan.h"
#include "support/temp_dir.h"

namespace lumetta {
namespace {

namespace fs = std::filesystem;

// A run sees the scenario's directory as /home and nothing of the machine's: its data directory
// appears there and nowhere else, and an operator's stop (SIGTERM) ends it without a kill.
TEST(ProgramRun, ABoxedRunKeepsToItsOwnHomeAndStopsOnRequest) {
    LUMETTA_REQUIRE_PRIVATE_NETWORK();
    ASSERT_TRUE(testing::enterFreshNetworkNamespace());
    testing::ServiceStandIn service;
    testing::TempDir home;
    {
        testing::PlayerProcess player(home.path(), service.playerOptions());
        // Ends by itself, or runs until told to stop.
        player.waitForOutput("[PLAYER]", 5000);
        const int status = player.stop();
        EXPECT_NE(status, 99) << "no private mount namespace: " << player.err();
        EXPECT_NE(status, 128 + 9) << "needed a kill: " << player.err();
    }
    std::vector<std::string> entries;
    for (const auto& entry : fs::directory_iterator(home.path())) entries.push_back(entry.path().filename().string());
    EXPECT_EQ(entries, std::vector<std::string>{"lumetta"});
}

}  // namespace
}  // namespace lumetta
