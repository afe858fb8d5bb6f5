#include "device/bluetooth_tools.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <future>
#include <limits>
#include <optional>

#include "device/bluetooth_pairing.h"
#include "support/fake_tools.h"
#include "support/pass_clock.h"
#include "support/process_hygiene.h"
#include "support/temp_dir.h"

namespace lumetta {
namespace {

using testing::FakeAnswer;
using testing::FakeTools;
using testing::PassClock;
using Devices = std::vector<std::pair<std::string, std::string>>;

constexpr auto ceiling = std::chrono::seconds(60);

// Every test here starts the real runner on the fakes, never on the machine's tools.
class BluetoothTools : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"bluetoothctl", "systemctl"}) {
            ASSERT_TRUE(testing::resolvesToFake(tool)) << "refusing to run: '" << tool << "' on PATH is "
                                                       << testing::findOnPath(tool) << ", not the fake tool";
        }
    }
    void TearDown() override { EXPECT_EQ(hygiene.leftovers(), "") << "left behind by the test"; }

    testing::ProcessHygiene hygiene;
    FakeTools fakes;
};

TEST(BluetoothCommandSucceeded, OnlyACleanWholeAnswerWithStatusZeroSucceeds) {
    struct Case {
        ProcessResult result;
        bool succeeded;
    };
    const Case cases[] = {
        {{0, "Changing power on succeeded\n", false}, true},
        {{0, "", false}, true},
        {{0, "failed in lower case is not the marker\n", false}, true},
        {{0, "Failed to pair: org.bluez.Error.AuthenticationFailed\n", false}, false},
        {{0, "first line\nsecond line\nAFailedB", false}, false},
        {{0, "Controller not available", false}, false},
        {{1, "", false}, false},
        {{127, "", false}, false},
        {{-1, "Changing power on succeeded\n", false}, false},  // ended through a signal, or never waited for
        {{0, "Changing power on succeeded\n", true}, false},    // more was written than was kept
    };
    for (const Case& c : cases) {
        EXPECT_EQ(BluetoothPairing::commandSucceeded(c.result), c.succeeded)
            << c.result.exitStatus << " " << c.result.output << (c.result.outputCut ? " (cut)" : "");
    }
}

TEST_F(BluetoothTools, RunsBluetoothctlWithTheArgumentsAndBothStreamsInOneText) {
    struct Case {
        std::vector<std::string> arguments;
        FakeAnswer answer;
        ProcessResult expected;
        bool succeeded;
    };
    const std::vector<Case> cases = {
        {{"--timeout", "5", "power", "on"}, {.out = "Changing power on succeeded\n"},
         {0, "Changing power on succeeded\n", false}, true},
        {{"--agent", "NoInputNoOutput", "--timeout", "20", "pair", "AA:BB:CC:DD:EE:FF"},
         {.out = "Attempting to pair with AA:BB:CC:DD:EE:FF\n", .err = "Failed to pair: org.bluez.Error\n"},
         {0, "Attempting to pair with AA:BB:CC:DD:EE:FF\nFailed to pair: org.bluez.Error\n", false}, false},
        {{"trust", "AA:BB:CC:DD:EE:FF"}, {.status = 1}, {1, "", false}, false},
        {{"--timeout", "3", "devices"}, {.out = "Device AA:BB:CC:DD:EE:FF Pad"}, {0, "Device AA:BB:CC:DD:EE:FF Pad", false},
         true},
    };
    for (const Case& c : cases) {
        std::string key;
        for (const auto& a : c.arguments) key += (key.empty() ? "" : " ") + a;
        fakes.answer("bluetoothctl", key, c.answer);
        const ProcessResult result = runProcess(c.arguments, {}, 35);
        EXPECT_EQ(result.exitStatus, c.expected.exitStatus) << key;
        EXPECT_EQ(result.output, c.expected.output) << key;
        EXPECT_EQ(result.outputCut, c.expected.outputCut) << key;
        EXPECT_EQ(BluetoothPairing::commandSucceeded(result), c.succeeded) << key;
        EXPECT_EQ(fakes.log().back(), "bluetoothctl " + key);
    }
}

TEST_F(BluetoothTools, AMissingBluetoothctlExitsWith127) {
    testing::TempDir empty;
    const std::string path = std::getenv("PATH");
    ::setenv("PATH", empty.str().c_str(), 1);
    const ProcessResult result = runProcess({"show"}, {}, 6);
    ::setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(result.exitStatus, 127);
    EXPECT_EQ(result.output, "");
    EXPECT_FALSE(BluetoothPairing::commandSucceeded(result));
}

TEST_F(BluetoothTools, TheLimitInSecondsSaturates) {
    fakes.answer("bluetoothctl", "quick", {.out = "done\n"});
    fakes.answer("bluetoothctl", "lingers", {.waitForSignal = true});
    constexpr auto max = std::numeric_limits<std::int64_t>::max();
    constexpr auto min = std::numeric_limits<std::int64_t>::min();
    struct Case {
        std::int64_t seconds;
        const char* call;
        int exitStatus;
    };
    const Case cases[] = {{max, "quick", 0}, {max / 1000 + 1, "quick", 0}, {0, "lingers", -1},
                          {-1, "lingers", -1}, {min, "lingers", -1}};
    for (const Case& c : cases) {
        const ProcessResult result = runProcess({c.call}, {}, c.seconds);
        EXPECT_EQ(result.exitStatus, c.exitStatus) << c.seconds;
    }
}

TEST_F(BluetoothTools, AChildIgnoringSigtermIsKilledOnTheFirstPassTwoSecondsLater) {
    fakes.answer("bluetoothctl", "--timeout 3 devices", {.out = "Device AA:BB:CC:DD:EE:FF Pad\n", .waitForSignal = true,
                                                         .onSigterm = "ignore"});
    PassClock clock;
    auto run = std::async(std::launch::async, [&] { return runProcess({"--timeout", "3", "devices"}, {}, 6, clock); });
    ASSERT_TRUE(fakes.waitUntilWaiting("bluetoothctl", "--timeout 3 devices"));
    clock.advance(6000);
    ASSERT_TRUE(fakes.waitForSigterm("bluetoothctl", "--timeout 3 devices"));
    clock.advance(1999);
    ASSERT_TRUE(clock.waitForPasses(2));
    EXPECT_NE(run.wait_for(std::chrono::milliseconds(0)), std::future_status::ready) << "killed too early";
    clock.advance(1);
    ASSERT_EQ(run.wait_for(ceiling), std::future_status::ready);
    const ProcessResult result = run.get();
    EXPECT_EQ(result.exitStatus, -1);
    EXPECT_EQ(result.output, "Device AA:BB:CC:DD:EE:FF Pad\n") << "the output read before the kill is kept";
    EXPECT_FALSE(BluetoothPairing::commandSucceeded(result));
}

TEST_F(BluetoothTools, AStopEndsTheChildBeforeItsLimitAndAHandlersExitCodeIsReported) {
    fakes.answer("bluetoothctl", "scan on", {.out = "Discovery started\n", .waitForSignal = true, .onSigterm = "3"});
    PassClock clock;  // never moved: only the stop can end the child
    std::stop_source stop;
    auto run = std::async(std::launch::async, [&] { return runProcess({"scan", "on"}, stop.get_token(), 35, clock); });
    ASSERT_TRUE(fakes.waitUntilWaiting("bluetoothctl", "scan on"));
    stop.request_stop();
    ASSERT_EQ(run.wait_for(ceiling), std::future_status::ready);
    const ProcessResult result = run.get();
    EXPECT_EQ(result.exitStatus, 3);
    EXPECT_EQ(result.output, "Discovery started\n");
}

TEST(BluetoothDeviceList, LinesGiveAddressAndName) {
    const std::string longName(1 << 20, 'n');
    std::string manyLines;
    for (int i = 0; i < 10'000; ++i) manyLines += "Device AA:BB:CC:DD:EE:" + std::to_string(10 + i % 90) + " Pad\n";
    struct Case {
        std::string name;
        std::string output;
        Devices expected;
    };
    const std::vector<Case> cases = {
        {"plain", "Device AA:BB:CC:DD:EE:FF Hand Remote\n", {{"AA:BB:CC:DD:EE:FF", "Hand Remote"}}},
        {"change marker before it", "[NEW] Device AA:BB:CC:DD:EE:FF Hand Remote\n",
         {{"AA:BB:CC:DD:EE:FF", "Hand Remote"}}},
        {"no line feed at the end", "Device 11:22:33:44:55:66 A\nDevice AA:BB:CC:DD:EE:FF B",
         {{"11:22:33:44:55:66", "A"}, {"AA:BB:CC:DD:EE:FF", "B"}}},
        {"ends right after the address", "Device AA:BB:CC:DD:EE:FF\nDevice AA:BB:CC:DD:EE:FF \n", {}},
        {"one name character", "Device AA:BB:CC:DD:EE:FF X\n", {{"AA:BB:CC:DD:EE:FF", "X"}}},
        {"the separator is any character", "Device AA:BB:CC:DD:EE:FF-Pad\n", {{"AA:BB:CC:DD:EE:FF", "Pad"}}},
        {"no device", "Waiting to connect to bluetoothd...\n\nDevices\n", {}},
        {"carriage returns stay", "Device AA:BB:CC:DD:EE:FF Pad\r\n", {{"AA:BB:CC:DD:EE:FF", "Pad\r"}}},
        {"NUL inside the name", std::string("Device AA:BB:CC:DD:EE:FF P\0d\n", 29),
         {{"AA:BB:CC:DD:EE:FF", std::string("P\0d", 3)}}},
        {"\"Device \" inside the name", "Device AA:BB:CC:DD:EE:FF Device 2\n", {{"AA:BB:CC:DD:EE:FF", "Device 2"}}},
        {"duplicates are kept", "Device AA:BB:CC:DD:EE:FF Pad\nDevice AA:BB:CC:DD:EE:FF Pad\n",
         {{"AA:BB:CC:DD:EE:FF", "Pad"}, {"AA:BB:CC:DD:EE:FF", "Pad"}}},
        {"the address is not checked", "Device not-an-address-at Pad\n", {{"not-an-address-at", "Pad"}}},
        {"a 1 MB line", "Device AA:BB:CC:DD:EE:FF " + longName, {{"AA:BB:CC:DD:EE:FF", longName}}},
        {"empty", "", {}},
    };
    for (const Case& c : cases) EXPECT_EQ(parseBluetoothDevices(c.output), c.expected) << c.name;

    const Devices many = parseBluetoothDevices(manyLines);
    ASSERT_EQ(many.size(), 10'000u);
    EXPECT_EQ(many[9'999], (std::pair<std::string, std::string>("AA:BB:CC:DD:EE:19", "Pad")));
}

TEST(BluetoothInputDevice, ExactNameLineOrLowerCasedAddress) {
    testing::TempDir dir;
    const std::string devices =
        "I: Bus=0005 Vendor=054c Product=0268 Version=0100\n"
        "N: Name=\"Hand Remote\"\n"
        "P: Phys=11:22:33:44:55:66\n"
        "U: Uniq=aa:bb:cc:dd:ee:ff\n\n";
    testing::writeTestFile(dir / "devices", devices);
    testing::writeTestFile(dir / "upper", "U: Uniq=AA:BB:CC:DD:EE:FF\n");
    testing::writeTestFile(dir / "spaced", "N: Name=\"Hand Remote\" \nN: Name=\"hand remote\"\n");
    std::string big(10 << 20, 'x');
    for (std::size_t i = 100; i < big.size(); i += 101) big[i] = '\n';
    testing::writeTestFile(dir / "big", big + "\nN: Name=\"Hand Remote\"\n");
    const auto unreadable = testing::writeTestFile(dir / "unreadable", "N: Name=\"Hand Remote\"\n");
    ::chmod(unreadable.c_str(), 0);
    const bool root = ::geteuid() == 0;  // root reads it anyway

    struct Case {
        std::string file;
        std::string name;
        std::string address;
        bool exists;
    };
    const Case cases[] = {
        {"devices", "Hand Remote", "00:00:00:00:00:01", true},   // the exact name line
        {"devices", "hand remote", "00:00:00:00:00:01", false},  // names are compared as they are
        {"devices", "Hand", "00:00:00:00:00:01", false},
        {"devices", "", "", false},
        {"devices", "Other", "AA:BB:CC:DD:EE:FF", true},  // the address, in lower case
        {"devices", "Other", "11:22:33:44:55:66", true},
        {"upper", "Other", "aa:bb:cc:dd:ee:ff", true},    // the line is lower-cased too
        {"spaced", "Hand Remote", "", false},             // a trailing space, another case
        {"big", "Hand Remote", "", true},
        {"big", "Other", "AA:BB:CC:DD:EE:FF", false},
        {"missing", "Hand Remote", "AA:BB:CC:DD:EE:FF", false},
        {"", "Hand Remote", "", false},  // a directory
        {"unreadable", "Hand Remote", "", root},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(inputDeviceExists(c.name, c.address, dir / c.file), c.exists)
            << c.file << " / " << c.name << " / " << c.address;
    }
}

TEST_F(BluetoothTools, ResetRestartsTheServiceOnlyWhenShowFailsAndRemovesOnlyAGivenAddress) {
    struct Case {
        std::string name;
        FakeAnswer show;
        std::string address;
        std::vector<std::string> log;
    };
    const std::string show = "bluetoothctl --timeout 3 show";
    const std::string restart = "systemctl restart bluetooth.service";
    const std::string power = "bluetoothctl --timeout 5 power on";
    const std::string pairableOff = "bluetoothctl --timeout 5 pairable off";
    const std::vector<Case> cases = {
        {"healthy, no address", {.out = "Controller 11:22:33:44:55:66\n\tPowered: yes\n"}, "", {show, power, pairableOff}},
        {"healthy, an address", {.out = "Controller 11:22:33:44:55:66\n"}, "AA:BB:CC:DD:EE:FF",
         {show, "bluetoothctl --timeout 5 remove AA:BB:CC:DD:EE:FF", power, pairableOff}},
        {"controller gone", {.out = "Controller 11:22:33:44:55:66 not available\n"}, "",
         {show, restart, power, pairableOff}},
        {"show fails", {.status = 1}, "AA:BB:CC:DD:EE:FF",
         {show, restart, "bluetoothctl --timeout 5 remove AA:BB:CC:DD:EE:FF", power, pairableOff}},
    };
    for (const Case& c : cases) {
        FakeTools own;  // a fresh log for each case
        own.answer("bluetoothctl", "--timeout 3 show", c.show);
        resetBluetooth(c.address, {});
        EXPECT_EQ(own.log(), c.log) << c.name;
    }
}

TEST_F(BluetoothTools, ResetWithStopAlreadyRequestedTouchesNothingBeyondShowAndTheRestart) {
    fakes.answer("systemctl", "@any", {.waitForSignal = true, .onSigterm = "ignore"});
    std::stop_source stop;
    stop.request_stop();
    auto reset = std::async(std::launch::async, [&] { resetBluetooth("AA:BB:CC:DD:EE:FF", stop.get_token()); });
    ASSERT_EQ(reset.wait_for(ceiling), std::future_status::ready) << "the restart was not killed";
    // Both children are ended at once, possibly before they could log their call; whatever ran
    // ran in this order, and nothing touched the adapter.
    const std::vector<std::string> allowed = {"bluetoothctl --timeout 3 show", "systemctl restart bluetooth.service"};
    std::size_t next = 0;
    for (const auto& line : fakes.log()) {
        while (next < allowed.size() && allowed[next] != line) ++next;
        EXPECT_LT(next, allowed.size()) << "unexpected call: " << line;
        ++next;
    }
}

TEST_F(BluetoothTools, ResetKillsARestartThatOutlastsTenSecondsOrAStop) {
    fakes.answer("bluetoothctl", "--timeout 3 show", {.status = 1});
    fakes.answer("systemctl", "restart bluetooth.service", {.waitForSignal = true, .onSigterm = "ignore"});
    const std::string restart = "systemctl restart bluetooth.service";

    // Ten seconds on the clock: the restart is killed (no SIGTERM) and the reset goes on.
    {
        PassClock clock;
        auto reset = std::async(std::launch::async, [&] { resetBluetooth("", {}, clock); });
        ASSERT_TRUE(fakes.waitUntilWaiting("systemctl", "restart bluetooth.service"));
        clock.advance(9999);
        ASSERT_TRUE(clock.waitForPasses(2));
        EXPECT_NE(reset.wait_for(std::chrono::milliseconds(0)), std::future_status::ready);
        clock.advance(1);
        ASSERT_EQ(reset.wait_for(ceiling), std::future_status::ready);
        EXPECT_FALSE(fakes.sawSigterm("systemctl", "restart bluetooth.service"));
        EXPECT_EQ(fakes.log(), (std::vector<std::string>{"bluetoothctl --timeout 3 show", restart,
                                                          "bluetoothctl --timeout 5 power on",
                                                          "bluetoothctl --timeout 5 pairable off"}));
    }
    // A stop during the restart: killed at once, and nothing after it runs.
    {
        FakeTools own;
        own.answer("bluetoothctl", "--timeout 3 show", {.status = 1});
        own.answer("systemctl", "restart bluetooth.service", {.waitForSignal = true, .onSigterm = "ignore"});
        PassClock clock;  // never moved
        std::stop_source stop;
        auto reset =
            std::async(std::launch::async, [&] { resetBluetooth("AA:BB:CC:DD:EE:FF", stop.get_token(), clock); });
        ASSERT_TRUE(own.waitUntilWaiting("systemctl", "restart bluetooth.service"));
        stop.request_stop();
        ASSERT_EQ(reset.wait_for(ceiling), std::future_status::ready);
        EXPECT_EQ(own.log(), (std::vector<std::string>{"bluetoothctl --timeout 3 show", restart}));
    }
}

}  // namespace
}  // namespace lumetta
