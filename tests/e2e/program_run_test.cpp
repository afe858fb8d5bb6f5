// The whole program in its box: what every scenario relies on.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "player_process.h"
#include "scenario.h"
#include "service_stand_in.h"
#include "support/lan.h"
#include "support/program_box.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace lumetta {
namespace {

namespace fs = std::filesystem;

// Whether the process has a handler for SIGTERM (the player turns it into its orderly stop).
bool catchesTerm(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("SigCgt:", 0) == 0) return (std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1) & 1) != 0;
    }
    return false;
}

// A run sees the scenario's directory as /home and nothing of the machine's: its data directory
// appears there and nowhere else, and an operator's stop (SIGTERM) ends it without a kill.
TEST(ProgramRun, ABoxedRunKeepsToItsOwnHomeAndStopsOnRequest) {
    LUMETTA_REQUIRE_PRIVATE_NETWORK();
    ASSERT_TRUE(testing::enterFreshNetworkNamespace());
    testing::ServiceStandIn service;
    testing::TempDir home;
    {
        testing::PlayerProcess player(home.path(), service.playerOptions());
        // It runs until told to stop: once it made its data directory and catches SIGTERM.
        const bool ready = testing::eventually(
            [&] { return player.exitStatus() || (fs::is_directory(home / "lumetta") && catchesTerm(player.pid())); },
            std::chrono::seconds(60));
        const int status = player.stop();
        ASSERT_NE(status, 99) << "no private mount namespace: " << player.err();
        EXPECT_TRUE(ready) << player.err();
        EXPECT_NE(status, 128 + 9) << "needed a kill: " << player.err();
        EXPECT_EQ(status, 0) << player.err();
    }
    std::vector<std::string> entries;
    for (const auto& entry : fs::directory_iterator(home.path())) entries.push_back(entry.path().filename().string());
    EXPECT_EQ(entries, std::vector<std::string>{"lumetta"});
}

// The shares of the splash logo's orange and of black among the pixels of an XWD screen dump
// (a header of 25 big-endian words, then the colour map, then the pixels); none while the dump is
// not a whole 1280x720 screen of 32-bit pixels.
struct ScreenShares {
    double orange = 0.0;
    double black = 0.0;
};

std::optional<ScreenShares> splashShares(const std::string& image) {
    if (image.size() < 100) return std::nullopt;
    const auto word = [&](int index) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(image.data()) + index * 4;
        return static_cast<std::uint32_t>(bytes[0]) << 24 | bytes[1] << 16 | bytes[2] << 8 | bytes[3];
    };
    const std::uint32_t width = word(4), height = word(5), bitsPerPixel = word(11), lineBytes = word(12);
    const std::size_t pixels = word(0) + static_cast<std::size_t>(word(19)) * 12;
    if (width != 1280 || height != 720 || bitsPerPixel != 32) return std::nullopt;
    if (image.size() < pixels + static_cast<std::size_t>(lineBytes) * height) return std::nullopt;
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
    return ScreenShares{orange / samples, black / samples};
}

std::string readWhole(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

// The player in a real window: an X server (Xvfb) in the run's own mount namespace. The server
// keeps its socket and lock under /tmp, so there /tmp is a directory of the test, into which the
// program and its assets are bound first: the run finds them wherever the checkout lies (also
// under /tmp or /home). The server's screen is a file the test reads while the player runs. With
// no service the window shows the start-up splash: the orange logo on black, in full colour once
// its 5 s intro has faded it in, and for as long as there is nothing to play. The test judges the
// screen while the player is known to run, then stops it.
TEST(ProgramRun, ShowsItsWindowOnAnXServer) {
    LUMETTA_REQUIRE_PRIVATE_NETWORK();
    ASSERT_TRUE(testing::enterFreshNetworkNamespace());
    if (::access("/usr/bin/Xvfb", X_OK) != 0) GTEST_SKIP() << "no Xvfb here";
    testing::TempDir scratch;
    const std::string script =
        testing::keepReachableFunction() +
        "keep_reachable \"$3\" \"$1/lumetta\" && keep_reachable \"$2/assets\" \"$1/assets\" || exit 99\n"
        "mount -t tmpfs lumetta-e2e-home /home && mount -t tmpfs lumetta-e2e-run /run || exit 99\n" +
        testing::coverCecDevices() +
        "mount --rbind \"$1\" /tmp || exit 99\n"
        "mkdir /tmp/fb\n"
        "Xvfb :5 -screen 0 1280x720x24 -fbdir /tmp/fb -nolisten tcp 2>/tmp/server.log & server=$!\n"
        "i=0; until [ -e /tmp/.X11-unix/X5 ]; do\n"
        "  kill -0 $server 2>/dev/null && [ $i -lt 600 ] || exit 97\n"
        "  sleep 0.1; i=$((i+1))\n"
        "done\n"
        "cd /tmp\n"
        "DISPLAY=:5 SDL_VIDEO_DRIVER=x11 SDL_RENDER_DRIVER=software NO_COLOR=1 "
        "LUMETTA_SERVICE_HOST=127.0.0.1:9 /tmp/lumetta 1280 720 > /tmp/player.log 2>&1 & player=$!\n"
        // Until the test has judged the screen, or the player ended on its own.
        "until [ -e /tmp/judged ]; do\n"
        "  if ! kill -0 $player 2>/dev/null || grep -q '^State:[[:space:]]*Z' /proc/$player/status; then\n"
        "    wait $player; echo \"the player ended by itself with status $?\" >> /tmp/player.log\n"
        "    kill $server; wait $server; exit 98\n"
        "  fi\n"
        "  sleep 0.1\n"
        "done\n"
        "kill -TERM $player; wait $player; status=$?\n"
        "kill $server; wait $server\n"
        "exit $status\n";
    std::atomic<bool> finished{false};
    testing::ProcessResult run;
    std::thread runner([&] {
        run = testing::runProcess({"unshare", "--mount", "--propagation", "private", "--", "sh", "-c", script, "sh",
                                   scratch.str(), LUMETTA_SOURCE_DIR, LUMETTA_PROGRAM});
        finished = true;
    });
    // The logo is whole 5 s after the window opens; the wait allows for the start-up of a
    // sanitizer build on a loaded machine.
    std::optional<ScreenShares> judged;
    std::optional<ScreenShares> last;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!finished && std::chrono::steady_clock::now() < deadline) {
        last = splashShares(readWhole(scratch / "fb/Xvfb_screen0"));
        if (last && last->orange > 0.02 && last->black > 0.5) {
            judged = last;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    testing::writeTestFile(scratch / "judged", "");
    runner.join();
    const std::string output = readWhole(scratch / "player.log");
    ASSERT_NE(run.exitStatus, 99) << "no private mount namespace: " << run.err;
    ASSERT_NE(run.exitStatus, 97) << "the X server did not start: " << readWhole(scratch / "server.log");
    ASSERT_NE(run.exitStatus, 98) << "the player did not run:\n" << output;
    EXPECT_EQ(run.exitStatus, 0) << output;
    EXPECT_TRUE(judged) << "no splash logo on the screen"
                        << (last ? " (orange " + std::to_string(last->orange) + ", black " + std::to_string(last->black) + ")"
                                 : std::string(" (no screen)"))
                        << "\n" << output;
}

}  // namespace
}  // namespace lumetta
