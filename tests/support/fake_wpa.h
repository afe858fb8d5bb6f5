#pragma once
// A wireless machine for tests of the Wi-Fi layer: a net directory whose one interface is
// wireless, an empty wpa_supplicant configuration directory, the fake wpa_cli scripted from a
// directory of the test's own, and the `WpaSystem` that points at all of them.
//
//   FakeWpa wpa;
//   wpa.answer("add_network", {.out = "3\n"});
//   wpa.answer("@any", {.out = "OK\n"});            // every command without an answer of its own
//   wpa.sequence("status", {{.out = statusAnswer("Home", "SCANNING")}, {.out = statusAnswer("Home")}});
//   joinWiFiNetwork("Home", "password", false, wpa.system);
//   EXPECT_EQ(wpa.commands(), (std::vector<std::string>{"add_network", "set_network 3 ssid \"Home\"", ...}));
//
// Tests that run it first check that wpa_cli on PATH is the fake (`resolvesToFake`).

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/fake_tools.h"
#include "support/temp_dir.h"
#include "wifi/wpa_control.h"

namespace lumetta::testing {

class FakeWpa {
public:
    explicit FakeWpa(std::string interface = "wlan0");

    // Answers "wpa_cli -i <interface> <command>"; "@any" answers every command without its own.
    // An answer replaces the command's earlier answers and starts its count of calls afresh.
    void answer(const std::string& command, const FakeAnswer& answer);
    void sequence(const std::string& command, const std::vector<FakeAnswer>& answers);
    // The wpa_cli calls so far, each without "wpa_cli -i <interface> ".
    std::vector<std::string> commands() const;
    // The fake's key of a command: "-i <interface> <command>".
    std::string key(const std::string& command) const;

    std::filesystem::path configPath() const;
    // The configuration file's bytes; no value while there is none.
    std::optional<std::string> config() const;
    void writeConfig(const std::string& text) const;

    const std::string interface;
    TempDir root;
    FakeTools fakes;
    WpaSystem system;
};

// SSID bytes as wpa_cli prints them: `\"`, `\\`, `\e`, `\n`, `\r`, `\t`, and `\xNN` (lower-case)
// for every other byte outside 0x20-0x7E.
std::string printedSsid(std::string_view bytes);

// A "status" answer in wpa_cli's form, with `printed` as the SSID and `state` as "wpa_state".
std::string statusAnswer(const std::string& printed, const std::string& state = "COMPLETED");

}  // namespace lumetta::testing
