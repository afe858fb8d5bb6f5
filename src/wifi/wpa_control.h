#pragma once
// The device's Wi-Fi through the system's wpa_supplicant daemon. Every command goes through its
// client `wpa_cli`, one short-lived child per command on the wireless interface, and the answer
// is judged by plain text tests ("PONG", "OK", "FAIL", the "status" lines, the "list_networks"
// table, the id answered to "add_network"); anything else the client prints is not interpreted.
//
// Every call blocks until its children have ended (each at most about 10 s). Nothing throws for
// failures of the outside world (no daemon, odd answers, unreadable files): the result is false
// or an empty text. No state is kept: the interface is looked up and a child started and reaped
// for every command, so calls may run on several threads at once.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/file_utils.h"

namespace lumetta {

// Where the Wi-Fi layer meets the machine; the defaults are the real ones.
struct WpaSystem {
    // The network interfaces: an entry holding "wireless" is a wireless one.
    std::filesystem::path netDirectory = "/sys/class/net";
    // Where the daemon's per-interface configuration file lies.
    std::filesystem::path configDirectory = "/etc/wpa_supplicant";
    // Times each wpa_cli child's 10 s; systemClock() when null.
    Clock* clock = nullptr;
    // The flushes of a configuration file replacement; diskSyncSteps() when null.
    SyncSteps* sync = nullptr;
};

// The first entry of the net directory (in directory order) holding "wireless" (any file type),
// else "wlan0". Looked up again at every call.
std::string wirelessInterface(const WpaSystem& system = {});

// Whether the interface `name` is a wireless one: "<net directory>/<name>/wireless" exists. A
// name that is empty, ".", ".." or holds a "/" never is.
bool interfaceIsWireless(const std::string& name, const WpaSystem& system = {});

// Runs "wpa_cli -i <wirelessInterface()> <arguments...>" (found through PATH, no shell): its
// standard output is the answer, standard error goes to /dev/null, standard input is inherited.
// The answer is returned only when the child exited by itself with status 0 within 10 s (after
// that it gets SIGKILL) and wrote at most 1 MiB; otherwise the result is empty. An empty answer
// and a failed command are not told apart.
std::string runWpaCli(const std::vector<std::string>& arguments, const WpaSystem& system = {});

// "ping" answered with "PONG" anywhere.
bool wpaSupplicantRunning(const WpaSystem& system = {});

// The command's answer holds "OK" anywhere ("FAIL" does not).
bool wpaCliOk(const std::vector<std::string>& arguments, const WpaSystem& system = {});

// Hands a network to wpa_supplicant and returns the id it gave the new entry: "add_network",
// then "set_network" of "ssid" (the quoted real bytes of the printed `ssid`), of "psk" (the
// quoted password) or "key_mgmt" ("OWE" or "NONE" for an open network), "enable_network" and
// "select_network". "add_network" must answer a decimal number (trailing line feeds and
// carriage returns aside); a failed step after it removes the half-made entry again. Refused
// without any command: see `wpaNetworkAcceptable`. No value when refused or not taken.
//
// "select_network" disables every other network of the daemon, so a join is not final: once
// `isConnectedTo(ssid)` says the device associated, `keepJoinedWiFiNetwork` has the daemon save
// its configuration; otherwise `undoWiFiJoin` takes the entry out again and brings the others
// back.
std::optional<std::string> joinWiFiNetwork(const std::string& ssid, const std::string& password, bool owe,
                                           const WpaSystem& system = {});

// After a join that associated: "save_config" answered OK.
bool keepJoinedWiFiNetwork(const WpaSystem& system = {});

// After a join that did not associate: "remove_network" with its id, then "reconfigure" (the
// daemon reads its configuration file again, which nothing of the join has changed, so the
// networks "select_network" disabled come back). True when "reconfigure" was answered OK.
bool undoWiFiJoin(const std::string& id, const WpaSystem& system = {});

// Removes every entry of wpa_supplicant's "list_networks" whose SSID is `ssid` (compared in the
// printed form, byte for byte), then takes the SSID's blocks out of the configuration file.
// True when the file was rewritten successfully, or, when it held no such block, when the
// daemon reported a removal. False whenever the file cannot
// be read. No "save_config" is sent: the file is rewritten directly.
bool forgetWiFiNetwork(const std::string& ssid, const WpaSystem& system = {});

// "disconnect" answered OK.
bool disconnectWiFi(const WpaSystem& system = {});

// The SSID of the completed association ("wpa_state=COMPLETED"), as "status" prints it (its
// last "ssid=" line, escapes kept); empty when not associated or when the daemon does not answer.
std::string wpaStatusSsid(const WpaSystem& system = {});
std::string connectedSsid(const WpaSystem& system = {});

// Associated at all (empty `ssid`) or with exactly this SSID.
bool isConnectedTo(const std::string& ssid, const WpaSystem& system = {});

// The answer tests, on texts already read.
// The SSID of a "status" answer (lines split at line feeds, one carriage return dropped from each).
std::string statusAnswerSsid(const std::string& answer);
// The ids of the "list_networks" rows (heading skipped) whose second field is `ssid`; a first
// field that is no decimal number is no id.
std::vector<std::string> listedNetworkIds(const std::string& answer, const std::string& ssid);

}  // namespace lumetta
