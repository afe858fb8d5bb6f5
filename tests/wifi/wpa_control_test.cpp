// wpa_supplicant control through the real runner on the fake wpa_cli: the interface choice,
// what counts as an answer, the answer tests, and the exact commands of join, forget and the
// association questions.
#include "wifi/wpa_control.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <future>

#include "support/fake_wpa.h"
#include "support/pass_clock.h"
#include "support/process_hygiene.h"
#include "wifi/wpa_config.h"

namespace lumetta {
namespace {

using testing::FakeAnswer;
using testing::FakeWpa;
using testing::statusAnswer;
using Commands = std::vector<std::string>;

constexpr auto ceiling = std::chrono::seconds(60);

class WpaControl : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(testing::resolvesToFake("wpa_cli"))
            << "refusing to run: wpa_cli on PATH is " << testing::findOnPath("wpa_cli") << ", not the fake tool";
    }
    void TearDown() override { EXPECT_EQ(hygiene.leftovers(), "") << "left behind by the test"; }

    // A daemon that takes every network: "add_network" gives `id`, every other command is OK.
    void acceptEverything(const std::string& id = "0") {
        wpa.answer("add_network", {.out = id + "\n"});
        wpa.answer("@any", {.out = "OK\n"});
    }

    testing::ProcessHygiene hygiene;
    FakeWpa wpa;
};

TEST(WirelessInterface, TheFirstEntryHoldingWirelessElseWlan0) {
    struct Case {
        const char* name;
        std::vector<std::string> plain;     // entries without "wireless"
        std::string wireless;               // the one entry with it ("" none)
        enum { Directory, File, DanglingLink } kind = Directory;
        std::string expected;
    };
    const Case cases[] = {
        {"no entries", {}, "", Case::Directory, "wlan0"},
        {"wired only", {"lo", "eth0"}, "", Case::Directory, "wlan0"},
        {"a wireless directory", {"lo", "eth0"}, "wlp2s0", Case::Directory, "wlp2s0"},
        {"any file type counts", {"eth0"}, "wlx001122", Case::File, "wlx001122"},
        {"a dangling link does not exist", {"eth0"}, "wlan1", Case::DanglingLink, "wlan0"},
    };
    for (const Case& c : cases) {
        testing::TempDir net;
        for (const std::string& name : c.plain) std::filesystem::create_directories(net / name / "statistics");
        if (!c.wireless.empty()) {
            std::filesystem::create_directories(net / c.wireless);
            const auto marker = net / c.wireless / "wireless";
            if (c.kind == Case::Directory) std::filesystem::create_directories(marker);
            if (c.kind == Case::File) testing::writeTestFile(marker, "");
            if (c.kind == Case::DanglingLink) std::filesystem::create_symlink(net / "nowhere", marker);
        }
        WpaSystem system;
        system.netDirectory = net.path();
        EXPECT_EQ(wirelessInterface(system), c.expected) << c.name;
    }
    WpaSystem missing;
    missing.netDirectory = "/nonexistent/net";
    EXPECT_EQ(wirelessInterface(missing), "wlan0");
}

TEST(WirelessInterface, OnlyAPlainNameWithWirelessIsWireless) {
    testing::TempDir net;
    std::filesystem::create_directories(net / "wlan0" / "wireless");
    std::filesystem::create_directories(net / "eth0");
    std::filesystem::create_directories(net / "wireless");  // reachable through ".." tricks only
    WpaSystem system;
    system.netDirectory = net / "eth0";
    const std::pair<const char*, bool> cases[] = {{"", false}, {".", false}, {"..", false}, {"../wlan0", false},
                                                  {"wlan0/..", false}, {"missing", false}};
    for (const auto& [name, expected] : cases) EXPECT_EQ(interfaceIsWireless(name, system), expected) << name;
    system.netDirectory = net.path();
    EXPECT_TRUE(interfaceIsWireless("wlan0", system));
    EXPECT_FALSE(interfaceIsWireless("eth0", system));
}

TEST_F(WpaControl, CommandsGoToTheWirelessInterfaceAsSeparateArguments) {
    FakeWpa other("wlp3s0");
    other.answer("@any", {.echoArgs = true});
    const std::string answer = runWpaCli({"set_network", "0", "ssid", "\"my net\""}, other.system);
    using namespace std::string_literals;
    EXPECT_EQ(answer, "-i\0wlp3s0\0set_network\0" "0\0ssid\0\"my net\"\0"s);
}

TEST_F(WpaControl, TheAnswerIsStandardOutputOfACleanExitOnly) {
    struct Case {
        const char* name;
        FakeAnswer answer;
        std::string expected;
    };
    const std::string big(300 * 1024, 'x');
    const Case cases[] = {
        {"plain", {.out = "PONG\n"}, "PONG\n"},
        {"carriage returns kept", {.out = "OK\r\n"}, "OK\r\n"},
        {"standard error dropped", {.out = "OK\n", .err = "Could not connect to wpa_supplicant: noise\n"}, "OK\n"},
        {"answer longer than one read", {.out = big}, big},
        {"status 1 after text", {.out = "OK\n", .status = 1}, ""},
        {"status 255", {.out = "Failed to connect\n", .status = 255}, ""},
        {"nothing", {}, ""},
        {"more than 1 MiB is no whole answer", {.out = std::string(64 * 1024, 'y'), .repeat = "17"}, ""},
    };
    for (const Case& c : cases) {
        wpa.answer("status", c.answer);
        EXPECT_EQ(runWpaCli({"status"}, wpa.system), c.expected) << c.name;
    }
}

TEST_F(WpaControl, AMissingClientAnswersNothingAndEveryTestFails) {
    testing::TempDir empty;
    const std::string path = std::getenv("PATH");
    ::setenv("PATH", empty.str().c_str(), 1);
    const std::string answer = runWpaCli({"ping"}, wpa.system);
    const bool running = wpaSupplicantRunning(wpa.system);
    const bool ok = wpaCliOk({"disconnect"}, wpa.system);
    const std::string ssid = wpaStatusSsid(wpa.system);
    ::setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(answer, "");
    EXPECT_FALSE(running);
    EXPECT_FALSE(ok);
    EXPECT_EQ(ssid, "");
}

TEST_F(WpaControl, AHangingClientIsKilledAfterTenSecondsAndAnswersNothing) {
    struct Case {
        const char* name;
        FakeAnswer answer;
    };
    const Case cases[] = {
        {"keeps its output open", {.out = "OK\n", .waitForSignal = true, .onSigterm = "ignore"}},
        {"closed its output and lingers", {.out = "OK\n", .closeStdout = true, .waitForSignal = true}},
    };
    for (const Case& c : cases) {
        wpa.answer("disconnect", c.answer);
        testing::PassClock clock;
        WpaSystem system = wpa.system;
        system.clock = &clock;
        auto run = std::async(std::launch::async, [&] { return runWpaCli({"disconnect"}, system); });
        ASSERT_TRUE(wpa.fakes.waitUntilWaiting("wpa_cli", wpa.key("disconnect"))) << c.name;
        clock.advance(9'999);
        ASSERT_TRUE(clock.waitForPasses(2));
        EXPECT_NE(run.wait_for(std::chrono::milliseconds(0)), std::future_status::ready) << c.name << ": ended early";
        clock.advance(1);
        ASSERT_EQ(run.wait_for(ceiling), std::future_status::ready) << c.name << ": not killed at 10 s";
        EXPECT_EQ(run.get(), "") << c.name;
    }
}

TEST_F(WpaControl, PingAndOkAreSubstringTests) {
    struct Case {
        std::string answer;
        bool running;
        bool ok;
    };
    const Case cases[] = {
        {"PONG\n", true, false}, {"pong\n", false, false}, {"OK\n", false, true},
        {"FAIL\n", false, false}, {"", false, false},        {"xPONGxOKx", true, true},
    };
    for (const Case& c : cases) {
        wpa.answer("ping", {.out = c.answer});
        wpa.answer("disconnect", {.out = c.answer});
        EXPECT_EQ(wpaSupplicantRunning(wpa.system), c.running) << c.answer;
        EXPECT_EQ(disconnectWiFi(wpa.system), c.ok) << c.answer;
        EXPECT_EQ(wpaCliOk({"disconnect"}, wpa.system), c.ok) << c.answer;
    }
}

TEST(StatusAnswer, TheSsidOfACompletedAssociationOnly) {
    struct Case {
        const char* name;
        std::string answer;
        std::string ssid;
    };
    const Case cases[] = {
        {"completed", statusAnswer("Home"), "Home"},
        {"not completed", statusAnswer("Home", "ASSOCIATING"), ""},
        {"carriage returns", "bssid=02:00:00:00:01:00\r\nssid=Home\r\nwpa_state=COMPLETED\r\n", "Home"},
        {"completion line must be whole", "ssid=Home\nwpa_state=COMPLETED \n", ""},
        {"the later ssid line wins", "ssid=First\nwpa_state=COMPLETED\nssid=Second\n", "Second"},
        {"bssid is no ssid line", "bssid=aa:bb\nwpa_state=COMPLETED\n", ""},
        {"printed form kept", "ssid=caf\\xc3\\xa9 \\\"x\\\"\nwpa_state=COMPLETED\n", "caf\\xc3\\xa9 \\\"x\\\""},
        {"no final line feed", "wpa_state=COMPLETED\nssid=Home", "Home"},
        {"nothing", "", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(statusAnswerSsid(c.answer), c.ssid) << c.name;
}

TEST_F(WpaControl, AssociationFollowsTheStatusAnswers) {
    wpa.sequence("status", {{.out = statusAnswer("Home", "SCANNING")},
                            {.out = "ssid=Home\r\nwpa_state=COMPLETED\r\n"},
                            {.out = statusAnswer("Home"), .status = 1}});
    EXPECT_FALSE(isConnectedTo("", wpa.system));  // an ssid line without completion
    EXPECT_EQ(connectedSsid(wpa.system), "Home");
    EXPECT_FALSE(isConnectedTo("Home", wpa.system));  // the failed client: not associated
    wpa.answer("status", {.out = statusAnswer("Home")});
    EXPECT_TRUE(isConnectedTo("", wpa.system));
    EXPECT_TRUE(isConnectedTo("Home", wpa.system));
    EXPECT_FALSE(isConnectedTo("home", wpa.system));
    EXPECT_EQ(wpaStatusSsid(wpa.system), "Home");
}

TEST_F(WpaControl, AJoinHandsTheNetworkOverWithTheseCommands) {
    struct Case {
        const char* name;
        std::string ssid;  // as wpa_cli prints it
        std::string password;
        bool owe;
        std::string ssidCommand;
        std::string keyCommand;
    };
    const Case cases[] = {
        {"password", "Cafe Wi-Fi", "correct horse", false, "set_network 7 ssid \"Cafe Wi-Fi\"",
         "set_network 7 psk \"correct horse\""},
        {"open", "Cafe Wi-Fi", "", false, "set_network 7 ssid \"Cafe Wi-Fi\"", "set_network 7 key_mgmt NONE"},
        {"open with OWE", "Cafe Wi-Fi", "", true, "set_network 7 ssid \"Cafe Wi-Fi\"", "set_network 7 key_mgmt OWE"},
        {"high bytes are printable", "Cafe Wi-Fi", "p\xc3\xa4ss", false, "set_network 7 ssid \"Cafe Wi-Fi\"",
         "set_network 7 psk \"p\xc3\xa4ss\""},
        // The daemon reads a quoted value verbatim up to its last double quote: the real bytes
        // go between the quotes, and a password is never escaped.
        {"UTF-8 name", "caf\\xc3\\xa9", "password", false, "set_network 7 ssid \"caf\xc3\xa9\"",
         "set_network 7 psk \"password\""},
        {"quote in the name", "a\\\"b", "", false, "set_network 7 ssid \"a\"b\"", "set_network 7 key_mgmt NONE"},
        {"backslash in the name", "a\\\\b", "", false, "set_network 7 ssid \"a\\b\"", "set_network 7 key_mgmt NONE"},
        {"quote and backslash in the password", "Home", "pa\"ss\\", false, "set_network 7 ssid \"Home\"",
         "set_network 7 psk \"pa\"ss\\\""},
    };
    acceptEverything("7");
    for (const Case& c : cases) {
        const std::size_t before = wpa.commands().size();
        EXPECT_EQ(joinWiFiNetwork(c.ssid, c.password, c.owe, wpa.system), "7") << c.name;
        const Commands commands = wpa.commands();
        const Commands made(commands.begin() + static_cast<long>(before), commands.end());
        EXPECT_EQ(made, (Commands{"add_network", c.ssidCommand, c.keyCommand, "enable_network 7", "select_network 7"}))
            << c.name;
    }
}

TEST_F(WpaControl, AJoinRefusedBeforeAnyCommand) {
    acceptEverything();
    struct Case {
        std::string ssid;
        std::string password;
        bool owe;
    };
    const Case cases[] = {
        {"", "", false},
        {"tab\there", "", false},
        {"line\nfeed", "secret12", false},
        {"del\x7f", "", false},
        {std::string("nul\0x", 5), "", false},
        {"Home", "tab\tinside", false},
        {"Home", "cr\r", false},
        {"Home", "secret12", true},
        // The printed form's escapes are decoded first: these real names hold control bytes.
        {"tab\\there", "", false},
        {"line\\nfeed", "", false},
        {"esc\\e", "", false},
        {"nul\\x00", "", false},
        {"del\\x7f", "", false},
    };
    for (const Case& c : cases) EXPECT_FALSE(joinWiFiNetwork(c.ssid, c.password, c.owe, wpa.system)) << c.ssid;
    EXPECT_EQ(wpa.commands(), Commands{});
}

TEST_F(WpaControl, AFailedStepRemovesTheHalfMadeEntry) {
    struct Case {
        const char* name;
        const char* failing;  // the command answered FAIL
        Commands expected;
    };
    const Case cases[] = {
        {"ssid", "set_network 4 ssid \"Home\"", {"add_network", "set_network 4 ssid \"Home\"", "remove_network 4"}},
        {"psk",
         "set_network 4 psk \"short\"",
         {"add_network", "set_network 4 ssid \"Home\"", "set_network 4 psk \"short\"", "remove_network 4"}},
        {"select",
         "select_network 4",
         {"add_network", "set_network 4 ssid \"Home\"", "set_network 4 psk \"short\"", "enable_network 4",
          "select_network 4", "remove_network 4"}},
    };
    for (const Case& c : cases) {
        FakeWpa fresh;
        fresh.answer("add_network", {.out = "4\n"});
        fresh.answer("@any", {.out = "OK\n"});
        fresh.answer(c.failing, {.out = "FAIL\n"});
        EXPECT_FALSE(joinWiFiNetwork("Home", "short", false, fresh.system)) << c.name;
        EXPECT_EQ(fresh.commands(), c.expected) << c.name;
    }
}

TEST_F(WpaControl, AnAddNetworkAnswerThatIsNoIdEndsTheJoin) {
    // A word is no id: the daemon would read it as network 0, "all" as every network.
    const FakeAnswer answers[] = {{.out = "FAIL"},    {.out = "FAIL\n"},    {.out = "\r\n"},  {},
                                  {.out = "3\n", .status = 1}, {.out = "all\n"}, {.out = "UNKNOWN COMMAND\n"},
                                  {.out = "3\n4\n"}, {.out = "-1\n"}};
    for (const FakeAnswer& answer : answers) {
        FakeWpa fresh;
        fresh.answer("add_network", answer);
        fresh.answer("@any", {.out = "OK\n"});
        EXPECT_EQ(joinWiFiNetwork("Home", "secret12", false, fresh.system), std::nullopt) << answer.out;
        EXPECT_EQ(fresh.commands(), Commands{"add_network"}) << answer.out;
    }
}

TEST(ListNetworks, RowsOfTheSsidByTheirSecondField) {
    const std::string answer =
        "network id / ssid / bssid / flags\n"
        "0\tHome\tany\t[CURRENT]\n"
        "1\tOffice\tany\t\n"
        "2\tHome\tany\t[DISABLED]\r\n"
        "3\n"
        "4\tHome\n"
        "5\tHome \tany\n"
        "6\tHome\n"
        "all\tHome\tany\n"
        "\tHome\tany\n"
        "7\tHome";
    EXPECT_EQ(listedNetworkIds(answer, "Home"), (std::vector<std::string>{"0", "2", "4", "6", "7"}));
    EXPECT_EQ(listedNetworkIds(answer, "Office"), std::vector<std::string>{"1"});
    EXPECT_EQ(listedNetworkIds("0\tHome\tany\n", "Home"), std::vector<std::string>{});  // the heading is skipped
}

TEST_F(WpaControl, ForgetRemovesEveryListedEntryAndTheSavedBlocks) {
    const std::string other = "ctrl_interface=DIR=/run/wpa_supplicant\nupdate_config=1\n\nnetwork={\n\tssid=\"Office\"\n\tkey_mgmt=NONE\n}\n";
    const std::string home = "\nnetwork={\n\tssid=\"Home\"\n\tpsk=00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff\n}\n";
    wpa.answer("list_networks", {.out = "network id / ssid / bssid / flags\n0\tHome\tany\t[CURRENT]\n1\tOffice\tany\t\n2\tHome\tany\t\n"});
    wpa.answer("@any", {.out = "OK\n"});
    wpa.writeConfig(other + home);
    EXPECT_TRUE(forgetWiFiNetwork("Home", wpa.system));
    EXPECT_EQ(wpa.commands(), (Commands{"list_networks", "remove_network 0", "remove_network 2"}));
    EXPECT_EQ(wpa.config(), other);
}

TEST_F(WpaControl, ForgetsResultFollowsTheFileWhenItHeldABlock) {
    struct Case {
        const char* name;
        std::string removeAnswer;  // of "remove_network 0"
        std::optional<std::string> file;
        bool makeUnreadable;
        bool expected;
    };
    const std::string block = "network={\n\tssid=\"Home\"\n\tkey_mgmt=NONE\n}\n";
    const Case cases[] = {
        {"removed, no file", "OK\n", std::nullopt, false, true},
        {"removed, file without the block", "OK\n", "update_config=1\n", false, true},
        {"not removed, nothing in the file", "FAIL\n", "update_config=1\n", false, false},
        {"not removed, block in the file", "FAIL\n", block, false, true},
        {"removed, file unreadable", "OK\n", std::nullopt, true, false},
    };
    for (const Case& c : cases) {
        FakeWpa fresh;
        fresh.answer("list_networks", {.out = "network id / ssid / bssid / flags\n0\tHome\tany\t\n"});
        fresh.answer("remove_network 0", {.out = c.removeAnswer});
        if (c.file) fresh.writeConfig(*c.file);
        if (c.makeUnreadable) std::filesystem::create_directories(fresh.configPath());
        EXPECT_EQ(forgetWiFiNetwork("Home", fresh.system), c.expected) << c.name;
        EXPECT_EQ(fresh.commands(), (Commands{"list_networks", "remove_network 0"})) << c.name;
    }
}

// What the set-up screen does with a join: wait for the association, then keep it (the daemon
// saves its configuration, then the block is written) or undo it (the daemon re-reads the
// unchanged file, which brings back the networks "select_network" disabled).
TEST_F(WpaControl, AJoinIsKeptOnlyOnceAssociated) {
    const std::string before = "update_config=1\n\nnetwork={\n\tssid=\"Office\"\n\tkey_mgmt=NONE\n}\n";
    struct Case {
        const char* name;
        std::string state;  // "wpa_state" of every "status" answer
        Commands tail;      // the commands after "status"
        std::string after;  // the file afterwards
    };
    const Case cases[] = {
        {"wrong password", "4WAY_HANDSHAKE", {"remove_network 5", "reconfigure"}, before},
        {"associated", "COMPLETED", {"save_config"},
         before + "\nnetwork={\n\tssid=\"IEEE\"\n\tpsk=f42c6fc52df0ebef9ebb4b90b38a5f902e83fe1b135a70e23aed762e9710a12e\n}\n"},
    };
    for (const Case& c : cases) {
        FakeWpa fresh;
        fresh.answer("add_network", {.out = "5\n"});
        fresh.answer("@any", {.out = "OK\n"});
        fresh.answer("status", {.out = statusAnswer("IEEE", c.state)});
        fresh.writeConfig(before);

        const std::optional<std::string> id = joinWiFiNetwork("IEEE", "password", false, fresh.system);
        ASSERT_EQ(id, "5") << c.name;
        if (isConnectedTo("IEEE", fresh.system)) {
            EXPECT_TRUE(keepJoinedWiFiNetwork(fresh.system)) << c.name;
            EXPECT_TRUE(saveWiFiNetwork("IEEE", "password", false, fresh.system)) << c.name;
        } else {
            EXPECT_TRUE(undoWiFiJoin(*id, fresh.system)) << c.name;
        }
        Commands expected{"add_network", "set_network 5 ssid \"IEEE\"", "set_network 5 psk \"password\"",
                          "enable_network 5", "select_network 5", "status"};
        expected.insert(expected.end(), c.tail.begin(), c.tail.end());
        EXPECT_EQ(fresh.commands(), expected) << c.name;
        EXPECT_EQ(fresh.config(), c.after) << c.name;
    }
    wpa.answer("@any", {.out = "FAIL\n"});
    EXPECT_FALSE(keepJoinedWiFiNetwork(wpa.system));
    EXPECT_FALSE(undoWiFiJoin("5", wpa.system));
    EXPECT_EQ(wpa.commands(), (Commands{"save_config", "remove_network 5", "reconfigure"}));
}

// Names with bytes wpa_cli prints escaped: the printed form is what the list, the status and the
// comparisons use; the real bytes go to the daemon, the file and the key.
TEST_F(WpaControl, EscapedNamesJoinSaveAndForget) {
    const std::string names[] = {"caf\xc3\xa9", "a\"b", "a\\b", "\xff\x80 \"x\\"};
    for (const std::string& real : names) {
        const std::string printed = testing::printedSsid(real);
        FakeWpa fresh;
        fresh.answer("add_network", {.out = "2\n"});
        fresh.answer("@any", {.out = "OK\n"});
        fresh.answer("status", {.out = statusAnswer(printed)});
        fresh.answer("list_networks", {.out = "network id / ssid / bssid / flags\n1\tOther\tany\t\n2\t" + printed +
                                              "\tany\t[CURRENT]\n"});
        fresh.writeConfig("update_config=1\n");

        ASSERT_EQ(joinWiFiNetwork(printed, "password", false, fresh.system), "2") << printed;
        EXPECT_EQ(fresh.commands().at(1), "set_network 2 ssid \"" + real + "\"") << printed;
        EXPECT_EQ(connectedSsid(fresh.system), printed);
        EXPECT_TRUE(isConnectedTo(printed, fresh.system)) << printed;
        ASSERT_TRUE(saveWiFiNetwork(printed, "password", false, fresh.system)) << printed;
        EXPECT_EQ(fresh.config(), "update_config=1\n\nnetwork={\n\tssid=\"" + real + "\"\n\tpsk=" +
                                      wpaPreSharedKey("password", real) + "\n}\n")
            << printed;
        EXPECT_TRUE(isWiFiNetworkSaved(printed, fresh.system)) << printed;
        EXPECT_TRUE(forgetWiFiNetwork(printed, fresh.system)) << printed;
        EXPECT_EQ(fresh.commands().back(), "remove_network 2") << printed;
        EXPECT_EQ(fresh.config(), "update_config=1\n") << printed;
    }
}

TEST_F(WpaControl, ArgumentsTooLongForTheClientFailTheJoinAndUndoIt) {
    acceptEverything("9");
    const std::string huge(1024 * 1024, 'x');
    EXPECT_EQ(joinWiFiNetwork(huge, "password", false, wpa.system), std::nullopt);
    EXPECT_EQ(joinWiFiNetwork("Home", huge, false, wpa.system), std::nullopt);
    const Commands commands = wpa.commands();
    // The client cannot be started with a 1 MiB argument; the entry is removed again.
    EXPECT_EQ(commands, (Commands{"add_network", "remove_network 9", "add_network", "set_network 9 ssid \"Home\"",
                                  "remove_network 9"}));
}

}  // namespace
}  // namespace lumetta
