// The built program starts the LAN content mesh after the display, then the two download workers
// and the image worker, and stops them all on the way out: mesh, queue and download workers,
// image worker.
// The run happens in a network namespace of this test's own (the child inherits it), with /home
// an empty private file system.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <string>

#include "content/content_mesh.h"
#include "core/unique_fd.h"
#include "support/lan.h"
#include "support/program_box.h"
#include "support/program_stop.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace lumetta {
namespace {

// A managed run with the given configuration file text (none when empty) and a fixed machine id;
// `run` is the shell line that starts the program "$1".
testing::ProcessResult managedRun(const std::string& config,
                                  const std::string& run = "\"$1\" & run_until_term $!") {
    testing::ProcessOptions plain;
    plain.environment["NO_COLOR"] = "1";
    const testing::TempDir place;
    std::string script =
        testing::keepProgramReachable() +
        "mount -t tmpfs lumetta-test-home /home || exit 99\n"
        "mount -t tmpfs lumetta-test-run /run || exit 99\n" +
        testing::coverCecDevices() +
        "if [ -d /var/lib/dbus ]; then mount -t tmpfs lumetta-test-dbus /var/lib/dbus && "
        "printf '0a1b2c3d\\n' > /var/lib/dbus/machine-id; fi\n"
        "mkdir -p /home/lumetta\n" +
        testing::runUntilTermFunction();
    if (!config.empty()) script += "printf '%s' '" + config + "' > /home/lumetta/config.json\n";
    script += run;
    return testing::runProcess(
        {"unshare", "--mount", "--propagation", "private", "--", "sh", "-c", script, "sh", place.str(), LUMETTA_PROGRAM},
        plain);
}

// The standard error of a run without the server link's lines: the link runs from the display on
// and may or may not have tried the (unreachable) service before the stop.
std::string withoutLinkLines(const std::string& text) {
    std::string kept;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        if (text.compare(start, 11, "[WEBSOCKET]") != 0) kept += text.substr(start, end - start);
        start = end;
    }
    return kept;
}

TEST(ProgramMesh, AManagedRunWithAGroupIdStartsAndStopsTheMesh) {
    LUMETTA_REQUIRE_PRIVATE_NETWORK();
    ASSERT_TRUE(testing::enterFreshNetworkNamespace());
    if (managedRun("").exitStatus == 99) GTEST_SKIP() << "no private mount namespace here";

    // With the ports free the mesh comes up and goes down again without a word; a service or
    // worker thread left unjoined would end the process abnormally instead of with the player's
    // status, and one joined before the queue stopped would never let it end.
    const testing::ProcessResult plain = managedRun(R"({"groupId": "lobby"})");
    EXPECT_EQ(plain.exitStatus, 0) << plain.err;
    EXPECT_EQ(withoutLinkLines(plain.err), "");

    // With the content port taken, the attempt shows, and the run goes on.
    UniqueFd held(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(meshContentPort);
    ASSERT_EQ(::bind(held.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(held.get(), 1), 0);
    const testing::ProcessResult blocked = managedRun(R"({"groupId": "lobby"})");
    EXPECT_EQ(blocked.exitStatus, 0);
    EXPECT_EQ(withoutLinkLines(blocked.err), "[CONTENT MESH] Could not bind service sockets: Address already in use\n");

    // Without a group id the mesh stays off and does not even try.
    const testing::ProcessResult off = managedRun(R"({"name": "Hall"})");
    EXPECT_EQ(off.exitStatus, 0);
    EXPECT_EQ(withoutLinkLines(off.err), "");
}

// The two download workers start after the mesh and stop after it: the queue stops, both are
// joined, then the image worker. A few runs in a row stop them at different points of their start;
// a worker left waiting on the queue would hold the run until the kill.
TEST(ProgramMesh, AManagedRunStartsAndStopsBothDownloadWorkersWithTheMesh) {
    LUMETTA_REQUIRE_PRIVATE_NETWORK();
    ASSERT_TRUE(testing::enterFreshNetworkNamespace());
    const testing::ProcessResult runs = managedRun(R"({"groupId": "lobby"})",
                                                   "for run in 1 2 3; do\n"
                                                   "  \"$1\" & run_until_term $!; echo \"status $?\"\n"
                                                   "done");
    if (runs.exitStatus == 99) GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(runs.exitStatus, 0) << runs.err;
    EXPECT_EQ(runs.out, "status 0\nstatus 0\nstatus 0\n") << runs.err;
    EXPECT_EQ(withoutLinkLines(runs.err), "");
}

}  // namespace
}  // namespace lumetta
