// The built program, run as a separate process.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>

#include "core/palette.h"
#include "core/program_entry.h"
#include "support/program_box.h"
#include "support/program_stop.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace lumetta {
namespace {

std::string withoutEscapes(std::string text) {
    text = std::regex_replace(text, std::regex("\x1b\\[[0-9;]*m"), "");
    return std::regex_replace(text, std::regex("\r"), "");
}

std::string plainUsage() {
    std::ostringstream usage;
    printUsage(usage);
    return usage.str() + "\n";
}

TEST(Program, HelpPrintsTheUsageAndEndsWith255) {
    testing::ProcessOptions plain;
    plain.environment["NO_COLOR"] = "1";
    const testing::ProcessResult result = testing::runProcess({LUMETTA_PROGRAM, "--help"}, plain);
    EXPECT_EQ(result.exitStatus, 255);
    EXPECT_EQ(result.out, plainUsage());
    EXPECT_EQ(result.err, "");

    // On a terminal the same text comes coloured.
    testing::ProcessOptions terminal;
    terminal.environment["NO_COLOR"] = std::nullopt;
    terminal.environment["TERM"] = "xterm-256color";
    terminal.stdoutTerminal = true;
    terminal.stderrTerminal = true;
    const testing::ProcessResult coloured = testing::runProcess({LUMETTA_PROGRAM, "--help"}, terminal);
    EXPECT_EQ(coloured.exitStatus, 255);
    EXPECT_NE(coloured.out.find("\x1b["), std::string::npos);
    EXPECT_EQ(withoutEscapes(coloured.out), plainUsage());
}

TEST(Program, ShowGitHashPrintsTheCommitAndEndsWith255) {
    testing::ProcessOptions plain;
    plain.environment["NO_COLOR"] = "1";
    const testing::ProcessResult result = testing::runProcess({LUMETTA_PROGRAM, "--show-git-hash"}, plain);
    EXPECT_EQ(result.exitStatus, 255);
    EXPECT_TRUE(std::regex_match(result.out, std::regex("Show Hash: [0-9a-f]{40}\n\n"))) << result.out;
}

TEST(Program, PackageRunIsHandedOffWhateverFollows) {
    testing::ProcessOptions plain;
    plain.environment["NO_COLOR"] = "1";
    for (const char* second : {"--check", "--capture", "--help"}) {
        const testing::ProcessResult result =
            testing::runProcess({LUMETTA_PROGRAM, "missing/show.zip", second}, plain);
        EXPECT_EQ(result.exitStatus, 1) << second;
        EXPECT_EQ(result.out, "") << second;
        EXPECT_EQ(result.err, "[PACKAGE] Local playlist packages are not available yet\n") << second;
    }
}

// Runs `script` with the program as $1 in a private mount namespace whose /home and /run are
// empty temporary file systems, so a managed run never touches the machine's own. The script may
// call `run_until_term PID [FILE]`: once the program has its termination handler (and FILE, when
// given, exists) it gets SIGTERM, and the function's status is the program's.
testing::ProcessResult runWithPrivateHome(const std::string& script, const testing::ProcessOptions& options) {
    const testing::TempDir place;
    return testing::runProcess(
        {"unshare", "--mount", "--propagation", "private", "--", "sh", "-c",
         testing::keepProgramReachable() +
             "mount -t tmpfs lumetta-test-home /home || exit 99\n"
             "mount -t tmpfs lumetta-test-run /run || exit 99\n" +
             testing::coverCecDevices() + testing::runUntilTermFunction() + script,
         "sh", place.str(), LUMETTA_PROGRAM},
        options);
}

bool privateHomeAvailable() {
    return runWithPrivateHome("exit 0", {}).exitStatus == 0;
}

TEST(Program, ManagedRunPreparesTheDataDirectoryAndSettings) {
    if (!privateHomeAvailable()) GTEST_SKIP() << "no private mount namespace here";
    testing::ProcessOptions plain;
    plain.environment["NO_COLOR"] = "1";

    // A fresh device: the data directory is made so that settings can be saved.
    const testing::ProcessResult fresh = runWithPrivateHome(
        "\"$1\" & run_until_term $!; status=$?\n"
        "test -d /home/lumetta && echo 'data directory present'\n"
        "exit $status",
        plain);
    // Nothing to play and no service: the player waits until it is told to stop, and then ends
    // in order. Nothing waited for a video device.
    EXPECT_EQ(fresh.exitStatus, 0) << fresh.err;
    EXPECT_NE(fresh.out.find("data directory present"), std::string::npos) << fresh.out;
    EXPECT_EQ(fresh.err.find("[DISPLAY]"), std::string::npos) << fresh.err;
    EXPECT_EQ(fresh.err.find("[PLAYER]"), std::string::npos) << fresh.err;

    // An older installation: its one-value files are folded into the configuration file.
    const testing::ProcessResult migrated = runWithPrivateHome(
        "mkdir -p /home/lumetta\n"
        "printf 'Hall 2\\n' > /home/lumetta/name\n"
        "printf -- '-90\\n' > /home/lumetta/orientation\n"
        "printf 'lobby\\r\\n' > /home/lumetta/peer-group\n"
        "\"$1\" --mirror & run_until_term $!; status=$?\n"
        "cat /home/lumetta/config.json; ls /home/lumetta\n"
        "exit $status",
        plain);
    EXPECT_EQ(migrated.exitStatus, 0) << migrated.err;
    EXPECT_EQ(migrated.err.find("[CONFIG]"), std::string::npos) << migrated.err;
    EXPECT_NE(migrated.out.find("\"name\" : \"Hall 2\\n\""), std::string::npos) << migrated.out;
    // The start-up splash stores the orientation back as it shows it: -90 is 270.
    EXPECT_NE(migrated.out.find("\"orientation\" : 270"), std::string::npos) << migrated.out;
    EXPECT_NE(migrated.out.find("\"groupId\" : \"lobby\""), std::string::npos) << migrated.out;
    EXPECT_EQ(migrated.out.find("peer-group"), std::string::npos) << migrated.out;
}

// Once the display is up the image worker runs; when the run ends it is stopped and joined,
// so the program ends by itself instead of waiting on its worker. A few runs in a row stop it
// at different points of its start.
TEST(Program, ManagedRunStartsAndStopsItsImageWorker) {
    if (!privateHomeAvailable()) GTEST_SKIP() << "no private mount namespace here";
    testing::ProcessOptions plain;
    plain.environment["NO_COLOR"] = "1";
    const testing::ProcessResult result = runWithPrivateHome(
        "for run in 1 2 3; do\n"
        "  \"$1\" & run_until_term $!; status=$?\n"
        "  echo \"status $status\"\n"
        "done",
        plain);
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.out, "status 0\nstatus 0\nstatus 0\n") << result.err;
    EXPECT_EQ(result.err.find("[PLAYER]"), std::string::npos) << result.err;
}

TEST(Program, ManagedRunStartsAndJoinsTheSlideSyncListener) {
    if (!privateHomeAvailable()) GTEST_SKIP() << "no private mount namespace here";
    testing::ProcessOptions plain;
    plain.environment["NO_COLOR"] = "1";
    // In a network namespace of its own, so that the port is this run's alone.
    auto run = [&](const std::string& command) {
        const testing::TempDir place;
        return testing::runProcess({"unshare", "--mount", "--net", "--propagation", "private", "--", "sh", "-c",
                                    testing::keepProgramReachable() +
                                        "keep_reachable \"$2\" \"$place/hold\" || exit 99\n"
                                        "set -- \"$1\" \"$place/hold\"\n"
                                        "mount -t tmpfs lumetta-test-home /home || exit 99\n"
                                        "mount -t tmpfs lumetta-test-run /run || exit 99\n"
                                        "ip link set lo up\n" +
                                        testing::coverCecDevices() + testing::runUntilTermFunction() + command,
                                    "sh", place.str(), LUMETTA_PROGRAM, HOLD_UDP_PORT},
                                   plain);
    };
    // Port 9000 held by someone else: the listener's start reports it, and the run still ends in order.
    const testing::ProcessResult held = run("\"$2\" 9000 \"$1\" & run_until_term $!");
    EXPECT_EQ(held.exitStatus, 0) << held.err;
    EXPECT_NE(held.err.find("Bind failed: Address already in use\n"), std::string::npos) << held.err;

    // A free port: nothing to report, and the listener is stopped and joined before the program ends.
    const testing::ProcessResult free = run("\"$1\" & run_until_term $!");
    EXPECT_EQ(free.exitStatus, 0) << free.err;
    EXPECT_EQ(free.err.find("Bind failed"), std::string::npos) << free.err;
    EXPECT_EQ(free.err.find("recvfrom"), std::string::npos) << free.err;
}

// A device with a stored playlist plays it without the service: the played-playlists record
// names it, and SIGTERM ends the run in order with status 0.
TEST(Program, ManagedRunPlaysTheStoredPlaylistAndStopsOnTerm) {
    if (!privateHomeAvailable()) GTEST_SKIP() << "no private mount namespace here";
    testing::ProcessOptions plain;
    plain.environment["NO_COLOR"] = "1";
    const testing::ProcessResult result = runWithPrivateHome(
        "d=/home/lumetta/acme/main/Shapes\n"
        "mkdir -p \"$d\"\n"
        "cat > \"$d/playlist.json\" <<'EOF'\n"
        "{\"account\": \"acme\", \"branch\": \"main\", \"playlist\": \"Shapes\", \"slides\": [\n"
        " {\"id\": \"a\", \"width\": 320, \"height\": 180, \"duration\": 1, \"layers\": [\n"
        "  {\"x\": 0, \"y\": 0, \"width\": 320, \"height\": 180, \"rectangle\": {\"color\": \"#FF0000\"}}]},\n"
        " {\"id\": \"b\", \"width\": 320, \"height\": 180, \"duration\": 1, \"layers\": [\n"
        "  {\"x\": 40, \"y\": 20, \"width\": 240, \"height\": 140, \"ellipse\": {\"color\": \"#00FF00\"}}]}]}\n"
        "EOF\n"
        "ln -s \"$d/playlist.json\" /home/lumetta/playing.json\n"
        "\"$1\" 320 180 & run_until_term $! /run/lumetta/played-playlists.tsv; status=$?\n"
        "cut -f2- /run/lumetta/played-playlists.tsv\n"
        "exit $status",
        plain);
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_NE(result.out.find("acme\tmain\tShapes\n"), std::string::npos) << result.out << result.err;
    EXPECT_EQ(result.err.find("[PLAYER]"), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("Loop Exception"), std::string::npos) << result.err;
}

TEST(Program, WaitsForAVideoDeviceUntilOneAppears) {
    if (!privateHomeAvailable()) GTEST_SKIP() << "no private mount namespace here";
    testing::ProcessOptions noDevice;
    noDevice.environment["NO_COLOR"] = "1";
    noDevice.environment["SDL_VIDEO_DRIVER"] = "no-such-video-driver";
    // The wait has no limit: once the run says it waits (a start-up on a loaded machine may take
    // a while), two more of its one-second attempts pass without a word and without an end. Then
    // it is cut short from outside.
    const testing::ProcessResult result = runWithPrivateHome(
        "\"$1\" 2>/run/err & program=$!\n"
        "i=0; until grep -q 'retrying$' /run/err; do\n"
        "  kill -0 $program 2>/dev/null && [ $i -lt 600 ] || break\n"
        "  sleep 0.1; i=$((i+1))\n"
        "done\n"
        "sleep 2\n"
        "kill -0 $program 2>/dev/null && echo 'still waiting'\n"
        "kill -KILL $program; wait $program 2>/dev/null; status=$?\n"
        "cat /run/err >&2; exit $status",
        noDevice);
    EXPECT_EQ(result.exitStatus, 128 + 9) << result.err;
    EXPECT_EQ(result.out, "still waiting\n") << result.err;
    EXPECT_EQ(result.err.find("[DISPLAY] Waiting for a video device: "), 0u) << result.err;
    EXPECT_EQ(result.err.find("; retrying\n"), result.err.size() - std::string("; retrying\n").size()) << result.err;
    EXPECT_EQ(result.err.find("[PLAYER]"), std::string::npos);
}

}  // namespace
}  // namespace lumetta
