#include "device/device_facts.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace lumetta::facts {
namespace {

struct TextCase {
    std::string input;
    std::string expected;
};

TEST(DeviceFactTexts, MilliCelsiusReadingsAndRejects) {
    const std::vector<TextCase> cases = {
        {"48312", "48.3 'C"},
        {"-5000", "-5.0 'C"},
        {"0", "0.0 'C"},
        {"45049", "45.0 'C"},
        {"45050", "45.0 'C"},  // 45.05 is not exact in binary; the stream rounds the stored value
        {"2147483647", "2147483.6 'C"},
        {"-2147483648", "-2147483.6 'C"},
        {"2147483648", ""},  // beyond 32 bits
        {"48312\n", ""},
        {" 48312", ""},
        {"+48312", ""},
        {"48.312", ""},
        {"abc", ""},
        {"-", ""},
        {"", ""},
    };
    for (const TextCase& c : cases) EXPECT_EQ(formatMilliCelsius(c.input), c.expected) << "input '" << c.input << "'";
}

TEST(DeviceFactTexts, JoinWithCommaDropsAnEmptySide) {
    EXPECT_EQ(joinWithComma("45.0 'C", "47.2 'C"), "45.0 'C, 47.2 'C");
    EXPECT_EQ(joinWithComma("", "47.2 'C"), "47.2 'C");
    EXPECT_EQ(joinWithComma("45.0 'C", ""), "45.0 'C");
    EXPECT_EQ(joinWithComma("", ""), "");
}

TEST(DeviceFactTexts, FrequenciesReadLikeStrtolAndShowWholeMegahertz) {
    const std::vector<TextCase> cases = {
        {"1500000", "1500MHz"},
        {"1499999", "1499MHz"},
        {"  600000 kHz", "600MHz"},
        {"999", "0MHz"},
        {"", "0MHz"},
        {"n/a", "0MHz"},
        {"-1500000", "-1500MHz"},
        {"99999999999", "2147483MHz"},  // saturates at the 32-bit limit
        {"-99999999999", "-2147483MHz"},
    };
    for (const TextCase& c : cases) EXPECT_EQ(formatCoreFrequency(c.input), c.expected) << "input '" << c.input << "'";

    EXPECT_EQ(formatCpuFrequencyPolicy("ondemand", "600000", "1500000"), "ondemand (600MHz - 1500MHz)");
    EXPECT_EQ(formatCpuFrequencyPolicy("", "", ""), " (0MHz - 0MHz)");
}

TEST(DeviceFactTexts, SdCardSizeRoundsUpToTheNominalSize) {
    struct Case {
        std::string line;
        std::string expected;  // empty: the device is skipped
    };
    const std::vector<Case> cases = {
        {"30318592", "16GB"},     // 15.5 GB
        {"62333952", "32GB"},     // 31.9 GB
        {"1953125", "1GB"},       // exactly 1 GB
        {"1953126", "2GB"},
        {"1", "1GB"},
        {"999999999", "512GB"},   // 511.99 GB
        {"1000000001", "1000GB"}, // 512.0000005 GB: 1000 follows 512
        {"1171875000", "1000GB"}, // 600 GB
        {"1953125000", "1000GB"}, // exactly 1000 GB
        {"2930078125", "1501GB"}, // 1500.2 GB
        {"3906250000", "2000GB"}, // exactly 2000 GB
        {"30318592 trailing", "16GB"},
        {"0", ""},
        {"", ""},
        {" 30318592", ""},
        {"size", ""},
        {"18446744073709551615", "9444732965740GB"},
        {"18446744073709551616", ""},  // does not fit 64 bits
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("line '" + c.line + "'");
        std::optional<std::uint64_t> sectors = parseSectorCount(c.line);
        if (c.expected.empty()) {
            EXPECT_FALSE(sectors.has_value());
        } else {
            ASSERT_TRUE(sectors.has_value());
            EXPECT_EQ(formatSdCardSize(*sectors), c.expected);
        }
    }
}

TEST(DeviceFactTexts, UptimeKeepsWholeSecondsOverYears) {
    struct Case {
        std::string procText;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"59.9 12.0\n", "Uptime: 0 Day(s), 0 Hour(s), 0 Minute(s), 59 Second(s)"},
        {"93784.56 1.00", "Uptime: 1 Day(s), 2 Hour(s), 3 Minute(s), 4 Second(s)"},
        {"3600", "Uptime: 0 Day(s), 1 Hour(s), 0 Minute(s), 0 Second(s)"},
        // 200 days and 7.5 seconds: a single-precision reading would show 8 seconds.
        {"17280007.50 100.0", "Uptime: 200 Day(s), 0 Hour(s), 0 Minute(s), 7 Second(s)"},
        // Three years, 4 hours, 5 minutes and 6 seconds.
        {"94709106.99", "Uptime: 1096 Day(s), 4 Hour(s), 5 Minute(s), 6 Second(s)"},
        {"", "Uptime: 0 Day(s), 0 Hour(s), 0 Minute(s), 0 Second(s)"},
        {"garbage", "Uptime: 0 Day(s), 0 Hour(s), 0 Minute(s), 0 Second(s)"},
        {"-5", "Uptime: 0 Day(s), 0 Hour(s), 0 Minute(s), 0 Second(s)"},
        {"nan", "Uptime: 0 Day(s), 0 Hour(s), 0 Minute(s), 0 Second(s)"},
        {"inf", "Uptime: 0 Day(s), 0 Hour(s), 0 Minute(s), 0 Second(s)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(formatUptimeText(parseUptimeSeconds(c.procText)), c.expected) << "input '" << c.procText << "'";
    }
    // A huge reading does not overflow the day count.
    EXPECT_EQ(formatUptimeText(1e300).substr(0, 20), "Uptime: 2147483647 D");
}

TEST(DeviceFactTexts, ThermalZonesFollowTheBoardModel) {
    struct Case {
        std::string model;
        int first;
        int second;
    };
    const std::vector<Case> cases = {
        {"", -1, -1},
        {"Raspberry Pi 4 Model B Rev 1.4", 0, -1},
        {"ASUS Tinker Board S", 1, 2},
        {"Radxa ROCK 5B", 0, 1},
        {"Radxa ROCK Pi with Tinker Board parts", 0, 1},  // "ROCK" is tested first
        {"Radxa Rock 3", 0, -1},                          // the test is case-sensitive
        {"Khadas VIM3L", 0, -1},
    };
    for (const Case& c : cases) {
        ThermalZones zones = thermalZonesForModel(c.model);
        EXPECT_EQ(zones.first, c.first) << c.model;
        EXPECT_EQ(zones.second, c.second) << c.model;
    }
}

TEST(DeviceFactTexts, Ipv4DefaultRouteNeedsTheUpFlag) {
    const std::string heading = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
    struct Case {
        const char* what;
        std::string table;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"default route", heading + "eth0\t00000000\t0100A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n", "eth0"},
        {"first up default wins",
         heading + "eth0\t0000A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n" +
             "wlan0\t00000000\t0100A8C0\t0002\t0\t0\t600\t00000000\t0\t0\t0\n" +
             "eth1\t00000000\t0101A8C0\t0003\t0\t0\t700\t00000000\t0\t0\t0\n" +
             "eth2\t00000000\t0102A8C0\t0003\t0\t0\t800\t00000000\t0\t0\t0\n",
         "eth1"},
        {"a default without the up flag", heading + "eth0\t00000000\t0100A8C0\t0002\t0\t0\t100\t00000000\t0\t0\t0\n", ""},
        {"the heading line is never a route", "eth9\t00000000\t0100A8C0\t0003\n", ""},
        {"destination must be exactly 8 zeros",
         heading + "eth0\t0000000\t0100A8C0\t0003\n" + "eth1\t000000000\t0100A8C0\t0003\n", ""},
        {"flags that are not hexadecimal", heading + "eth0\t00000000\t0100A8C0\tzz\n", ""},
        {"flags beyond 32 bits", heading + "eth0\t00000000\t0100A8C0\t100000001\n", ""},
        {"short line", heading + "eth0\t00000000\n", ""},
        {"empty table", "", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(findIpv4DefaultRoute(c.table), c.expected) << c.what;
}

TEST(DeviceFactTexts, Ipv6DefaultRouteNeedsAllTenFields) {
    const std::string zeros(32, '0');
    const std::string gateway = "fe800000000000000000000000000001";
    auto line = [&](const std::string& dest, const std::string& prefix, const std::string& flags,
                    const std::string& device) {
        return dest + " " + prefix + " " + zeros + " 00 " + gateway + " 00000400 00000001 00000000 " + flags +
               "    " + device + "\n";
    };
    struct Case {
        const char* what;
        std::string table;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"default route", line("fe800000000000000000000000000000", "40", "00000001", "eth0") +
                              line(zeros, "00", "00450003", "wlan0"),
         "wlan0"},
        {"not up", line(zeros, "00", "00450002", "wlan0"), ""},
        {"prefix must be 00", line(zeros, "0", "00450003", "wlan0"), ""},
        {"a /64 is not the default", line(zeros, "40", "00000001", "wlan0"), ""},
        {"flags without a hexadecimal digit", line(zeros, "00", "x1", "wlan0"), ""},
        {"flags beyond 32 bits", line(zeros, "00", "100000001", "wlan0"), ""},
        {"a missing device name", zeros + " 00 " + zeros + " 00 " + gateway + " 00000400 00000001 00000000 00450003\n",
         ""},
        {"first up default wins", line(zeros, "00", "00000001", "eth1") + line(zeros, "00", "00000001", "eth2"), "eth1"},
    };
    for (const Case& c : cases) EXPECT_EQ(findIpv6DefaultRoute(c.table), c.expected) << c.what;
}

TEST(DeviceFactHelpers, FirstLineOfAFileAndShellOutput) {
    testing::TempDir dir;
    EXPECT_EQ(readFileText(testing::writeTestFile(dir / "temp", "48312\nsecond\n").string()), "48312");
    EXPECT_EQ(readFileText(testing::writeTestFile(dir / "bare", "no newline").string()), "no newline");
    EXPECT_EQ(readFileText(testing::writeTestFile(dir / "empty", "").string()), "");
    EXPECT_EQ(readFileText((dir / "missing").string()), "");

    // A device-tree string ends in a NUL, which never reaches the text; no trimming otherwise.
    EXPECT_EQ(runShellCommand("printf 'Raspberry Pi 4\\0'"), "Raspberry Pi 4");
    EXPECT_EQ(runShellCommand("printf 'a\\nb\\n'"), "a\nb\n");
    EXPECT_EQ(runShellCommand("exit 3"), "");
    // Output longer than one read chunk arrives whole.
    EXPECT_EQ(runShellCommand("head -c 5000 /dev/zero | tr '\\0' x").size(), 5000u);
    EXPECT_EQ(upperCase("dc:a6:32:01:02:0f"), "DC:A6:32:01:02:0F");
}

}  // namespace
}  // namespace lumetta::facts
