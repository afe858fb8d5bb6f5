// The fact readers end to end: the probe program runs in private mount and network
// namespaces where fixture files cover the board's sources and a veth pair gives it a LAN.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "device/device_facts.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace lumetta {
namespace {

namespace fs = std::filesystem;
using testing::writeTestFile;

const fs::path fakeTools = fs::path(LUMETTA_SOURCE_DIR) / "tests/fakes/bin";

// A device-tree string as the kernel stores it: NUL-terminated.
std::string deviceTreeString(const std::string& text) { return text + std::string(1, '\0'); }

struct Board {
    std::string model;  // empty: no device tree
    std::map<int, std::string> zones;
    std::map<int, std::string> coreKiloHertz;
    bool withCpu = true;
};

// Writes the fixture tree for one board.
void writeBoard(const fs::path& root, const Board& board) {
    if (!board.model.empty()) {
        writeTestFile(root / "firmware/devicetree/base/model", deviceTreeString(board.model));
        writeTestFile(root / "firmware/devicetree/base/serial-number", deviceTreeString("10000000a1b2c3d4"));
    }
    for (const auto& [zone, text] : board.zones) {
        writeTestFile(root / ("thermal/thermal_zone" + std::to_string(zone)) / "temp", text);
    }
    if (board.withCpu) {
        writeTestFile(root / "cpu/online", "0-3\n");
        for (const auto& [core, text] : board.coreKiloHertz) {
            writeTestFile(root / ("cpu/cpu" + std::to_string(core)) / "cpufreq/scaling_cur_freq", text);
        }
        writeTestFile(root / "cpu/cpufreq/policy0/scaling_governor", "ondemand\n");
        writeTestFile(root / "cpu/cpufreq/policy0/scaling_min_freq", "600000\n");
        writeTestFile(root / "cpu/cpufreq/policy0/scaling_max_freq", "1500000\n");
        writeTestFile(root / "block/mmcblk0/size", "0\n");
        writeTestFile(root / "block/mmcblk1/size", "30318592\n");
        writeTestFile(root / "uptime", "93784.56 350000.12\n");
        writeTestFile(root / "os-release",
                      "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nVERSION_ID=\"12\"\n"
                      "VERSION=\"12 (bookworm)\"\nID=debian\n");
    } else {
        fs::create_directories(root);
    }
}

struct Probe {
    std::map<std::string, std::string> facts;
    std::string toolLog;
};

Probe runProbe(const Board& board, const std::string& network, const std::vector<std::string>& probeArgs = {}) {
    testing::TempDir dir;
    writeBoard(dir / "fixtures", board);
    const std::string log = (dir / "tools.log").string();

    std::vector<std::string> argv = {"unshare", "-m", "-n", "--", "bash",
                                     LUMETTA_SOURCE_DIR "/tests/device/probe/with_device_fixtures.sh",
                                     (dir / "fixtures").string(), network, DEVICE_FACTS_PROBE};
    argv.insert(argv.end(), probeArgs.begin(), probeArgs.end());
    testing::ProcessOptions options;
    const char* path = std::getenv("PATH");
    options.environment["PATH"] = fakeTools.string() + ":" + (path != nullptr ? path : "/usr/bin:/bin");
    options.environment["LUMETTA_FAKE_LOG"] = log;
    options.environment["LUMETTA_FAKE_OUTPUT_REVISION"] = "Memory: 4096MB";
    testing::ProcessResult result = testing::runProcess(argv, options);
    EXPECT_EQ(result.exitStatus, 0) << result.err;

    Probe probe;
    std::istringstream lines(result.out);
    for (std::string line; std::getline(lines, line);) {
        std::size_t equals = line.find('=');
        if (equals != std::string::npos) probe.facts[line.substr(0, equals)] = line.substr(equals + 1);
    }
    probe.toolLog = facts::readFileText(log);
    return probe;
}

void expectFacts(const Probe& probe, const std::map<std::string, std::string>& expected) {
    for (const auto& [name, text] : expected) {
        auto found = probe.facts.find(name);
        if (found == probe.facts.end()) {
            ADD_FAILURE() << "no fact " << name;
        } else {
            EXPECT_EQ(found->second, text) << "fact " << name;
        }
    }
}

TEST(DeviceFactReaders, RaspberryPiWithEveryFactInPlace) {
    Board pi;
    pi.model = "Raspberry Pi 4 Model B Rev 1.4";
    pi.zones = {{0, "48312\n"}, {1, "99000\n"}};
    pi.coreKiloHertz = {{0, "1500000\n"}, {1, "600000\n"}, {2, "1200000\n"}};  // core 3 has no file
    Probe probe = runProbe(pi, "ipv4");
    expectFacts(probe, {
                           {"model", "Raspberry Pi 4 Model B Rev 1.4"},
                           {"serial", "10000000a1b2c3d4"},
                           {"memory", "Memory: 4096MB"},
                           {"os", "\"12 (bookworm)\""},
                           {"sdcard", "16GB"},
                           {"cpus", "4"},
                           {"core0", "1500MHz"},
                           {"core1", "600MHz"},
                           {"core2", "1200MHz"},
                           {"core3", "0MHz"},
                           {"policy", "ondemand (600MHz - 1500MHz)"},
                           {"uptime", "Uptime: 1 Day(s), 2 Hour(s), 3 Minute(s), 4 Second(s)"},
                           {"temperature", "48.3 'C"},
                           {"route", "veth0"},
                           {"mac", "DC:A6:32:01:02:03"},
                           {"ipv4", "192.168.50.10"},
                           {"ipv6", "2001:DB8::5"},
                       });
    EXPECT_EQ(probe.toolLog, "revision --memory");
}

TEST(DeviceFactReaders, TinkerBoardHasNoSerialAndReadsZonesOneAndTwo) {
    Board tinker;
    tinker.model = "ASUS Tinker Board S";
    tinker.zones = {{0, "99000\n"}, {1, "45000\n"}, {2, "47200\n"}};
    Probe probe = runProbe(tinker, "ipv6");
    expectFacts(probe, {
                           {"model", "ASUS Tinker Board S"},
                           {"serial", ""},
                           {"memory", ""},
                           {"temperature", "45.0 'C, 47.2 'C"},
                           // Only an IPv6 default route: the interface is found in that table.
                           {"route", "veth0"},
                           {"mac", "DC:A6:32:01:02:03"},
                           {"ipv4", "192.168.50.10"},
                           {"ipv6", "2001:DB8::5"},
                       });
    EXPECT_EQ(probe.toolLog, "") << "the revision tool runs only on a Raspberry Pi";
}

TEST(DeviceFactReaders, RockBoardDropsAnUnreadableZoneAndHasNoDefaultRoute) {
    Board rock;
    rock.model = "Radxa ROCK 5B with Tinker Board parts";
    rock.zones = {{0, "51234\n"}, {1, "hot\n"}, {2, "47200\n"}};
    Probe probe = runProbe(rock, "none", {"--interface", "veth0", "--interface", "nosuch0"});
    expectFacts(probe, {
                           {"temperature", "51.2 'C"},
                           {"serial", ""},
                           {"route", ""},
                           {"mac", "00:00:00:00:00:00"},
                           {"ipv4", ""},
                           {"ipv6", ""},
                           // An interface with only link-local IPv6 and no IPv4 address.
                           {"veth0.mac", "DC:A6:32:01:02:03"},
                           {"veth0.ipv4", ""},
                           {"veth0.ipv6", ""},
                           // An interface that does not exist has no address file.
                           {"nosuch0.mac", ""},
                           {"nosuch0.ipv4", ""},
                           {"nosuch0.ipv6", ""},
                       });
}

TEST(DeviceFactReaders, EverySourceMissingGivesTheFallbacks) {
    Board none;
    none.withCpu = false;
    Probe probe = runProbe(none, "none");
    expectFacts(probe, {
                           {"model", ""},
                           {"serial", ""},
                           {"memory", ""},
                           {"os", ""},
                           {"sdcard", ""},
                           {"core0", "0MHz"},
                           {"policy", " (0MHz - 0MHz)"},
                           {"uptime", "Uptime: 0 Day(s), 0 Hour(s), 0 Minute(s), 0 Second(s)"},
                           {"temperature", ""},
                           {"route", ""},
                           {"mac", "00:00:00:00:00:00"},
                           {"ipv4", ""},
                           {"ipv6", ""},
                       });
    ASSERT_TRUE(probe.facts.count("cpus"));
    EXPECT_GE(std::stoi(probe.facts["cpus"]), 1);
}

}  // namespace
}  // namespace lumetta
