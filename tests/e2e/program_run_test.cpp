// The whole program in its box: what every scenario relies on.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>

#include "player_process.h"
#include "service_stand_in.h"
#include "support/lan.h"
#include "support/subprocess.h"
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

// The player in a real window: an X server (Xvfb) in the run's own mount namespace, whose /tmp
// is a directory of the test (for the server's socket and lock) and whose screen is a file the
// test reads. With no service the window shows the start-up splash: the orange logo on black.
TEST(ProgramRun, ShowsItsWindowOnAnXServer) {
    LUMETTA_REQUIRE_PRIVATE_NETWORK();
    ASSERT_TRUE(testing::enterFreshNetworkNamespace());
    if (::access("/usr/bin/Xvfb", X_OK) != 0) GTEST_SKIP() << "no Xvfb here";
    testing::TempDir scratch;
    const std::string script =
        "mount -t tmpfs lumetta-e2e-home /home && mount -t tmpfs lumetta-e2e-run /run || exit 99\n"
        "mount --bind \"$1\" /tmp || exit 99\n"
        "mkdir /tmp/fb\n"
        "Xvfb :5 -screen 0 1280x720x24 -fbdir /tmp/fb -nolisten tcp 2>/dev/null & server=$!\n"
        "for i in $(seq 50); do [ -e /tmp/.X11-unix/X5 ] && break; sleep 0.1; done\n"
        "cd \"$2\"\n"
        "DISPLAY=:5 SDL_VIDEO_DRIVER=x11 SDL_RENDER_DRIVER=software NO_COLOR=1 "
        "LUMETTA_SERVICE_HOST=127.0.0.1:9 \"$3\" 1280 720 > /tmp/player.log 2>&1 & player=$!\n"
        "sleep 8\n"
        "cp /tmp/fb/Xvfb_screen0 /tmp/screen.xwd\n"
        "kill -TERM $player; wait $player; status=$?\n"
        "kill $server; wait $server\n"
        "exit $status\n";
    const testing::ProcessResult run = testing::runProcess(
        {"unshare", "--mount", "--propagation", "private", "--", "sh", "-c", script, "sh", scratch.str(),
         LUMETTA_SOURCE_DIR, LUMETTA_PROGRAM});
    ASSERT_NE(run.exitStatus, 99) << "no private mount namespace: " << run.err;
    std::ifstream log(scratch / "player.log");
    const std::string output((std::istreambuf_iterator<char>(log)), {});
    EXPECT_EQ(run.exitStatus, 0) << output;

    // The screen file: an XWD image, its header 25 big-endian words, then the colour map.
    std::ifstream file(scratch / "screen.xwd", std::ios::binary);
    const std::string image((std::istreambuf_iterator<char>(file)), {});
    ASSERT_GT(image.size(), 100u);
    const auto word = [&](int index) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(image.data()) + index * 4;
        return static_cast<std::uint32_t>(bytes[0]) << 24 | bytes[1] << 16 | bytes[2] << 8 | bytes[3];
    };
    const std::uint32_t width = word(4), height = word(5), bitsPerPixel = word(11), lineBytes = word(12);
    const std::size_t pixels = word(0) + static_cast<std::size_t>(word(19)) * 12;
    ASSERT_EQ(width, 1280u);
    ASSERT_EQ(height, 720u);
    ASSERT_EQ(bitsPerPixel, 32u);
    ASSERT_GE(image.size(), pixels + static_cast<std::size_t>(lineBytes) * height);
    std::size_t orange = 0;
    std::size_t black = 0;
    for (std::uint32_t y = 0; y < height; y += 4) {
        for (std::uint32_t x = 0; x < width; x += 4) {
            const auto* p = reinterpret_cast<const unsigned char*>(image.data()) + pixels + y * lineBytes + x * 4;
            const int b = p[0], g = p[1], r = p[2];
            if (r > 200 && g > 90 && g < 170 && b < 80) ++orange;
            if (r < 16 && g < 16 && b < 16) ++black;
        }
    }
    const double samples = (width / 4.0) * (height / 4.0);
    EXPECT_GT(orange / samples, 0.02) << "no splash logo on the screen\n" << output;
    EXPECT_GT(black / samples, 0.5) << output;
}

}  // namespace
}  // namespace lumetta
