// The network scan: the "scan_results" table read into one record per SSID, and the polling of
// the table on the fake wpa_cli with a clock that jumps through each 250 ms sleep, so the passes
// and deadlines are exact and no test waits seconds.
#include "wifi/wifi_scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "support/fake_wpa.h"
#include "support/manual_clock.h"
#include "support/process_hygiene.h"

namespace lumetta {

void PrintTo(const WiFiNetwork& n, std::ostream* out) {
    *out << "{\"" << n.ssid << "\" " << n.signal << (n.needsPassword ? " password" : "") << (n.owe ? " owe" : "")
         << (n.connected ? " connected" : "") << (n.available ? " available" : "") << (n.saved ? " saved" : "")
         << "}";
}

namespace {

using testing::FakeAnswer;
using testing::FakeWpa;
using Networks = std::vector<WiFiNetwork>;
using namespace std::string_literals;

const std::string heading = "bssid / frequency / signal level / flags / ssid\n";

std::string row(const std::string& level, const std::string& flags, const std::string& ssid,
                const std::string& bssid = "02:00:00:00:01:00") {
    return bssid + "\t2412\t" + level + "\t" + flags + "\t" + ssid + "\n";
}

// A scanned network as the scan makes it.
WiFiNetwork seen(const std::string& ssid, int signal, bool needsPassword = true, bool owe = false,
                 bool connected = false) {
    return {ssid, signal, needsPassword, owe, connected, true, false};
}

std::vector<std::string> ssids(const Networks& networks) {
    std::vector<std::string> names;
    for (const WiFiNetwork& n : networks) names.push_back(n.ssid);
    return names;
}

TEST(ScanResults, OneRecordPerSsidFromItsStrongestRow) {
    const std::string answer = heading +                                      //
                               row("-70", "[WPA2-PSK-CCMP][ESS]", "Home") +   // weaker first
                               row("-40", "[ESS]", "Home") +                  // stronger: its flags win
                               row("-60", "[OWE]", "Home") +                  // weaker again: dropped
                               row("-55", "[WPA2-PSK-CCMP][ESS]", "Cafe") +   // first of two equal rows
                               row("-55", "[ESS]", "Cafe") +                  //
                               row("-80", "[ESS]", "home");                   // another SSID (case counts)
    EXPECT_EQ(parseScanResults(answer, ""),
              (Networks{seen("Home", 100, false), seen("Cafe", 90, true), seen("home", 40, false)}));
}

TEST(ScanResults, SecurityComesFromTheFlags) {
    struct Case {
        const char* flags;
        bool needsPassword;
        bool owe;
    };
    const Case cases[] = {
        {"[WPA2-PSK-CCMP][ESS]", true, false},  // "WPA" inside "WPA2"
        {"[WPA-PSK-TKIP][ESS]", true, false},
        {"[WEP][ESS]", true, false},
        {"[SAE-CCMP][ESS]", true, false},
        {"[ESS]", false, false},
        {"", false, false},
        {"[wpa2-psk]", false, false},  // the words are capitals
        {"[OWE-TRANS][ESS]", false, true},
        {"[WPA2-PSK-CCMP][OWE]", false, true},  // OWE rules over WPA
        {"[WPA2-SAE-CCMP][OWE][WEP]", false, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parseScanResults(heading + row("-60", c.flags, "Net"), ""),
                  (Networks{seen("Net", 80, c.needsPassword, c.owe)}))
            << c.flags;
    }
}

TEST(ScanResults, SignalFromTheLevelInDbm) {
    const std::pair<const char*, int> cases[] = {
        {"-100", 0},        {"-75", 50},          {"-50", 100},        {"-49", 100},          {"-101", 0},
        {"-99", 2},         {"0", 100},           {"-75dBm", 50},      {"-75.9", 50},         {" \v-60", 80},
        {"+5", 100},        {"", 0},              {"-", 0},            {"abc", 0},            {"- 60", 0},
        {"-2147483648", 0}, {"-2147483649", 0},   {"2147483647", 100}, {"99999999999", 0},    {"-99999999999", 0},
        {"00000000000000000000000000000000000000000000000000-70", 100},  // zeros only, then a word
        {"-0000000000000000000000000000000000000000000000000070", 60},
    };
    for (const auto& [level, signal] : cases) {
        EXPECT_EQ(scanSignal(level), signal) << '"' << level << '"';
        const Networks parsed = parseScanResults(heading + row(level, "[ESS]", "Net"), "");
        ASSERT_EQ(parsed.size(), 1u) << level;  // an unreadable level keeps the row
        EXPECT_EQ(parsed[0].signal, signal) << level;
    }
}

TEST(ScanResults, RowsThatNameNoVisibleNetworkAreSkipped) {
    struct Case {
        const char* name;
        std::string line;  // without its line feed
        std::string ssid;  // "" skipped
    };
    const Case cases[] = {
        {"four fields only", "02:00:00:00:01:00\t2412\t-60\t[ESS]", ""},
        {"three tabs and a name", "02:00:00:00:01:00\t2412\t-60 [ESS] Net", ""},
        {"no tabs", "Net", ""},
        {"empty name", "02:00:00:00:01:00\t2412\t-60\t[ESS]\t", ""},
        {"spaces", "02:00:00:00:01:00\t2412\t-60\t[ESS]\t   ", ""},
        {"tabs", "02:00:00:00:01:00\t2412\t-60\t[ESS]\t\t\t", ""},
        {"NUL bytes", "02:00:00:00:01:00\t2412\t-60\t[ESS]\t\0\0\0"s, ""},
        {"one escaped zero", "02:00:00:00:01:00\t2412\t-60\t[ESS]\t\\x00", ""},
        {"escaped zeros", "02:00:00:00:01:00\t2412\t-60\t[ESS]\t\\x00\\x00\\x00\\x00", ""},
        {"escaped zeros among blanks", "02:00:00:00:01:00\t2412\t-60\t[ESS]\t \\x00\t\\x\0" "00 "s, ""},
        {"a carriage return alone", "02:00:00:00:01:00\t2412\t-60\t[ESS]\t\r", ""},
        // Kept, in the printed form:
        {"a name", "02:00:00:00:01:00\t2412\t-60\t[ESS]\tNet", "Net"},
        {"blanks kept in the name", "02:00:00:00:01:00\t2412\t-60\t[ESS]\t My Net ", " My Net "},
        {"tabs inside the name", "02:00:00:00:01:00\t2412\t-60\t[ESS]\tA\tB\t", "A\tB\t"},
        {"carriage returns dropped", "02:00:00:00:01:00\t2412\t-60\t[ESS]\tNet\r\r", "Net"},
        {"empty other fields", "\t\t\t\tNet", "Net"},
        {"zeros and a letter", "02:00:00:00:01:00\t2412\t-60\t[ESS]\t\\x00\\x00a", "\\x00\\x00a"},
        {"a letter and zeros", "02:00:00:00:01:00\t2412\t-60\t[ESS]\ta\\x00", "a\\x00"},
        {"a cut escape", "02:00:00:00:01:00\t2412\t-60\t[ESS]\t\\x00\\x0", "\\x00\\x0"},
        {"an escaped zero byte's neighbour", "02:00:00:00:01:00\t2412\t-60\t[ESS]\t\\x000", "\\x000"},
        {"a printed backslash", "02:00:00:00:01:00\t2412\t-60\t[ESS]\t\\\\x00", "\\\\x00"},
        {"escaped other byte", "02:00:00:00:01:00\t2412\t-60\t[ESS]\t\\x01", "\\x01"},
        {"a NUL byte inside a name", "02:00:00:00:01:00\t2412\t-60\t[ESS]\ta\0b"s, "a\0b"s},
    };
    for (const Case& c : cases) {
        const Networks parsed = parseScanResults(heading + c.line + "\n", "");
        if (c.ssid.empty()) {
            EXPECT_EQ(parsed, Networks{}) << c.name;
        } else {
            EXPECT_EQ(ssids(parsed), std::vector<std::string>{c.ssid}) << c.name;
        }
    }
}

TEST(ScanResults, TheFirstLineIsTheHeadingWhateverItSays) {
    const std::string data = row("-60", "[ESS]", "Net");
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"", {}},
        {heading, {}},
        {"bssid / frequency / signal level / flags / ssid", {}},  // no line feed
        {data, {}},                                               // a data row in the heading's place
        {data + data, {"Net"}},
        {heading + data.substr(0, data.size() - 1), {"Net"}},  // no final line feed
        {"\r\n" + data, {"Net"}},
        {heading + "\n\r\n" + data + "\n", {"Net"}},  // empty lines between rows
    };
    for (const auto& [answer, expected] : cases) EXPECT_EQ(ssids(parseScanResults(answer, "")), expected) << answer;
}

TEST(ScanResults, StrongestFirstAndEqualSignalsInTheOrderOfTheTable) {
    const std::string answer = heading + row("-80", "[ESS]", "C") + row("-60", "[ESS]", "B1") +
                               row("-90", "[ESS]", "D") + row("-60", "[ESS]", "B2") + row("-30", "[ESS]", "A") +
                               row("-60", "[ESS]", "B3") + row("-95", "[ESS]", "C") +  // weaker C dropped
                               row("-50", "[ESS]", "B0");                              // 100, as A
    EXPECT_EQ(ssids(parseScanResults(answer, "")), (std::vector<std::string>{"A", "B0", "B1", "B2", "B3", "C", "D"}));
    // A record moved up by a stronger row keeps the place of its first row among its equals.
    const std::string raised =
        heading + row("-60", "[ESS]", "X") + row("-60", "[ESS]", "Y") + row("-90", "[ESS]", "Z") +
        row("-60", "[ESS]", "Z");
    EXPECT_EQ(ssids(parseScanResults(raised, "")), (std::vector<std::string>{"X", "Y", "Z"}));
}

TEST(ScanResults, OnlyTheAssociatedNetworkIsConnected) {
    const std::string answer = heading + row("-40", "[ESS]", "Home") + row("-50", "[ESS]", "Home 2") +
                               row("-60", "[ESS]", "caf\\xc3\\xa9") + row("-70", "[ESS]", " Home");
    const std::pair<std::string, std::vector<bool>> cases[] = {
        {"Home", {true, false, false, false}},
        {"caf\\xc3\\xa9", {false, false, true, false}},  // both sides in the printed form
        {"caf\xc3\xa9", {false, false, false, false}},
        {"", {false, false, false, false}},
        {"home", {false, false, false, false}},
        {"Elsewhere", {false, false, false, false}},
    };
    for (const auto& [associated, expected] : cases) {
        const Networks parsed = parseScanResults(answer, associated);
        std::vector<bool> connected;
        for (const WiFiNetwork& n : parsed) connected.push_back(n.connected);
        EXPECT_EQ(connected, expected) << associated;
        for (const WiFiNetwork& n : parsed) EXPECT_TRUE(n.available && !n.saved) << n.ssid;
    }
}

TEST(ScanResults, LargeAnswersAreReadWhole) {
    // 10,000 rows of 2,500 SSIDs, each SSID's strongest row last.
    std::string answer = heading;
    for (int i = 0; i < 10'000; ++i) answer += row(std::to_string(-90 + i / 2500 * 10), "[ESS]", "N" + std::to_string(i % 2500));
    Networks parsed = parseScanResults(answer, "N7");
    ASSERT_EQ(parsed.size(), 2500u);
    EXPECT_TRUE(std::all_of(parsed.begin(), parsed.end(), [](const WiFiNetwork& n) { return n.signal == 80; }));
    EXPECT_EQ(parsed[7], seen("N7", 80, false, false, true));

    // A 1 MB row: a name of a million bytes, and a heading of as many.
    const std::string name(1 << 20, 'n');
    parsed = parseScanResults(std::string(1 << 20, 'h') + "\n" + row("-60", "[WPA2-PSK-CCMP]", name), name);
    EXPECT_EQ(parsed, (Networks{seen(name, 80, true, false, true)}));
}

TEST(ScanResults, ADataRowIsAnyLineAfterTheHeadingWithMoreThanLineEnds) {
    const std::pair<std::string, bool> cases[] = {
        {"", false},          {heading, false},          {"no line feed", false}, {heading + "\r\n\n\r", false},
        {heading + " ", true}, {heading + "\r\nx\r\n", true}, {"\n\t", true},      {heading + "\0"s, true},
    };
    for (const auto& [answer, hasData] : cases) EXPECT_EQ(scanAnswerHasData(answer), hasData) << answer;
}

// --------------------------------------------------------------------------------- polling

class NetworkScan : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(testing::resolvesToFake("wpa_cli"))
            << "refusing to run: wpa_cli on PATH is " << testing::findOnPath("wpa_cli") << ", not the fake tool";
        clock.setAutoAdvance(true);  // each sleep jumps the clock to its end
        system = wpa.system;
        system.clock = &clock;
        wpa.answer("scan", {.out = "OK\n"});
        wpa.answer("status", {.out = testing::statusAnswer("Home")});
    }
    void TearDown() override { EXPECT_EQ(hygiene.leftovers(), "") << "left behind by the test"; }

    std::int64_t elapsed() const { return clock.steadyMs() - start; }
    int resultCalls() const { return wpa.fakes.calls("wpa_cli", wpa.key("scan_results")); }

    testing::ProcessHygiene hygiene;
    FakeWpa wpa;
    testing::ManualClock clock;
    const std::int64_t start = clock.steadyMs();
    WpaSystem system;
};

const std::string homeTable = heading + row("-45", "[WPA2-PSK-CCMP][ESS]", "Home") + row("-70", "[ESS]", "Cafe");

TEST_F(NetworkScan, ARefusedScanRequestEndsAtOnce) {
    const FakeAnswer refusals[] = {{.out = "FAIL-BUSY\n"}, {.out = "FAIL\n"}, {.out = ""}, {.out = "OK\n", .status = 1}};
    wpa.answer("scan_results", {.out = homeTable});
    for (const FakeAnswer& refusal : refusals) {
        wpa.answer("scan", refusal);
        EXPECT_EQ(scanWiFiNetworks(system), Networks{}) << refusal.out;
    }
    EXPECT_EQ(wpa.commands(), (std::vector<std::string>(4, "scan")));
    EXPECT_EQ(elapsed(), 0);
}

TEST_F(NetworkScan, ASettledTableEndsThePollingAfterThreeSeconds) {
    wpa.answer("scan_results", {.out = homeTable});
    EXPECT_EQ(scanWiFiNetworks(system), (Networks{seen("Home", 100, true, false, true), seen("Cafe", 60, false)}));
    // Equal from the first pass on, but the table is trusted only from 3 s on: the 12th pass.
    EXPECT_EQ(elapsed(), 3000);
    EXPECT_EQ(resultCalls(), 12);
    const std::vector<std::string> commands = wpa.commands();
    EXPECT_EQ(commands.front(), "scan");
    EXPECT_EQ(commands.back(), "status");
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "status"), 1);
}

TEST_F(NetworkScan, AnAnswerWithoutRowsRestartsTheCountButKeepsTheAnswerItIsComparedWith) {
    std::vector<FakeAnswer> answers;
    for (int i = 1; i <= 11; ++i) answers.push_back({.out = heading + row("-60", "[ESS]", "Early " + std::to_string(i))});
    const FakeAnswer settled{.out = homeTable};
    answers.insert(answers.end(), {settled, settled, {.out = heading + "\r\n"}, settled, settled});
    wpa.sequence("scan_results", answers);
    // Passes 12 and 13 agree (count 1), 14 has no rows (count 0), 15 agrees with 13 (count 1),
    // 16 with 15 (count 2, past 3 s): the end.
    EXPECT_EQ(ssids(scanWiFiNetworks(system)), (std::vector<std::string>{"Home", "Cafe"}));
    EXPECT_EQ(resultCalls(), 16);
    EXPECT_EQ(elapsed(), 4000);
}

TEST_F(NetworkScan, ATableThatNeverSettlesIsTakenAsItIsAtEightSeconds) {
    struct Case {
        const char* name;
        std::vector<FakeAnswer> answers;  // the last repeats
        std::vector<std::string> expected;
    };
    std::vector<FakeAnswer> changing;
    std::vector<FakeAnswer> endsEmpty;
    for (int i = 1; i <= 40; ++i) {
        changing.push_back({.out = heading + row("-60", "[ESS]", "Net " + std::to_string(i))});
        endsEmpty.push_back({.out = i % 2 == 1 ? changing.back().out : heading});
    }
    const Case cases[] = {
        {"every answer new", changing, {"Net 32"}},
        {"the last pass has no rows", endsEmpty, {}},
        {"every answer failed", {{.out = homeTable, .status = 1}}, {}},
        {"only headings", {{.out = heading}}, {}},
    };
    for (const Case& c : cases) {
        FakeWpa fresh;
        fresh.answer("scan", {.out = "OK\n"});
        fresh.sequence("scan_results", c.answers);
        WpaSystem freshSystem = fresh.system;
        freshSystem.clock = &clock;
        const std::int64_t before = clock.steadyMs();
        EXPECT_EQ(ssids(scanWiFiNetworks(freshSystem)), c.expected) << c.name;
        EXPECT_EQ(clock.steadyMs() - before, 8000) << c.name;
        EXPECT_EQ(fresh.fakes.calls("wpa_cli", fresh.key("scan_results")), 32) << c.name;
    }
}

TEST_F(NetworkScan, NoAssociationMarksNoNetwork) {
    wpa.answer("scan_results", {.out = homeTable});
    const FakeAnswer statuses[] = {{.out = testing::statusAnswer("Home", "ASSOCIATING")}, {.status = 1}};
    for (const FakeAnswer& status : statuses) {
        wpa.answer("status", status);
        const Networks networks = scanWiFiNetworks(system);
        ASSERT_EQ(networks.size(), 2u);
        EXPECT_FALSE(networks[0].connected || networks[1].connected) << status.out;
    }
}

}  // namespace
}  // namespace lumetta
