#include "wifi/wpa_control.h"

#include <string_view>
#include <system_error>

#include "core/child_process.h"
#include "wifi/wpa_config.h"

namespace lumetta {

namespace {

constexpr std::int64_t wpaCliLimitMs = 10'000;
constexpr const char* fallbackInterface = "wlan0";

// The text's lines, split at line feeds (a final line feed ends the last line).
std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string_view withoutCarriageReturn(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

// A decimal number. The daemon reads a word as network 0 (and "all" as every network), so only
// numbers are passed on as ids.
bool isNetworkId(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

}  // namespace

std::string wirelessInterface(const WpaSystem& system) {
    std::error_code error;
    std::filesystem::directory_iterator entry(system.netDirectory, error);
    for (; !error && entry != std::filesystem::directory_iterator(); entry.increment(error)) {
        std::error_code statusError;
        if (std::filesystem::exists(entry->path() / "wireless", statusError)) return entry->path().filename().string();
    }
    return fallbackInterface;
}

bool interfaceIsWireless(const std::string& name, const WpaSystem& system) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) return false;
    std::error_code error;
    return std::filesystem::exists(system.netDirectory / name / "wireless", error);
}

std::string runWpaCli(const std::vector<std::string>& arguments, const WpaSystem& system) {
    std::vector<std::string> argv{"wpa_cli", "-i", wirelessInterface(system)};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    ChildOptions options;
    options.out = ChildStream::Capture;
    options.err = ChildStream::Discard;
    options.limitMs = wpaCliLimitMs;
    options.termination = ChildTermination::KillOnly;
    options.clock = system.clock;
    ChildResult child = runChild(argv, options);
    // A killed child, or one that wrote more than is kept, has no whole answer.
    if (!child.reaped || child.killSent || child.exitStatus != 0 || child.outCut) return {};
    return std::move(child.out);
}

bool wpaSupplicantRunning(const WpaSystem& system) {
    return runWpaCli({"ping"}, system).find("PONG") != std::string::npos;
}

bool wpaCliOk(const std::vector<std::string>& arguments, const WpaSystem& system) {
    return runWpaCli(arguments, system).find("OK") != std::string::npos;
}

std::optional<std::string> joinWiFiNetwork(const std::string& ssid, const std::string& password, bool owe,
                                           const WpaSystem& system) {
    if (!wpaNetworkAcceptable(ssid, password, owe)) return std::nullopt;

    std::string id = runWpaCli({"add_network"}, system);
    while (!id.empty() && (id.back() == '\n' || id.back() == '\r')) id.pop_back();
    if (!isNetworkId(id)) return std::nullopt;

    const bool handed = wpaCliOk({"set_network", id, "ssid", wpaQuote(ssidBytes(ssid))}, system) &&
                        (password.empty() ? wpaCliOk({"set_network", id, "key_mgmt", owe ? "OWE" : "NONE"}, system)
                                          : wpaCliOk({"set_network", id, "psk", wpaQuote(password)}, system)) &&
                        wpaCliOk({"enable_network", id}, system) && wpaCliOk({"select_network", id}, system);
    if (!handed) {
        wpaCliOk({"remove_network", id}, system);
        return std::nullopt;
    }
    return id;
}

bool keepJoinedWiFiNetwork(const WpaSystem& system) { return wpaCliOk({"save_config"}, system); }

bool undoWiFiJoin(const std::string& id, const WpaSystem& system) {
    wpaCliOk({"remove_network", id}, system);
    return wpaCliOk({"reconfigure"}, system);
}

std::vector<std::string> listedNetworkIds(const std::string& answer, const std::string& ssid) {
    std::vector<std::string> ids;
    const std::vector<std::string_view> lines = splitLines(answer);
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string_view line = withoutCarriageReturn(lines[i]);
        const std::size_t firstTab = line.find('\t');
        if (firstTab == std::string_view::npos) continue;  // no second field
        const std::size_t secondTab = line.find('\t', firstTab + 1);
        const std::string_view name = line.substr(
            firstTab + 1, secondTab == std::string_view::npos ? std::string_view::npos : secondTab - firstTab - 1);
        const std::string_view id = line.substr(0, firstTab);
        if (name == ssid && isNetworkId(id)) ids.emplace_back(id);
    }
    return ids;
}

bool forgetWiFiNetwork(const std::string& ssid, const WpaSystem& system) {
    bool removed = false;
    for (const std::string& id : listedNetworkIds(runWpaCli({"list_networks"}, system), ssid)) {
        if (wpaCliOk({"remove_network", id}, system)) removed = true;
    }
    std::optional<std::string> text = readWpaConfig(system);
    if (!text) return false;
    if (removeNetworkFromConfig(*text, ssid)) return writeWpaConfig(*text, system);
    return removed;
}

bool disconnectWiFi(const WpaSystem& system) { return wpaCliOk({"disconnect"}, system); }

std::string statusAnswerSsid(const std::string& answer) {
    bool completed = false;
    std::string_view ssid;
    for (std::string_view line : splitLines(answer)) {
        line = withoutCarriageReturn(line);
        if (line == "wpa_state=COMPLETED") completed = true;
        if (line.starts_with("ssid=")) ssid = line.substr(5);
    }
    return completed ? std::string(ssid) : std::string();
}

std::string wpaStatusSsid(const WpaSystem& system) { return statusAnswerSsid(runWpaCli({"status"}, system)); }

std::string connectedSsid(const WpaSystem& system) { return wpaStatusSsid(system); }

bool isConnectedTo(const std::string& ssid, const WpaSystem& system) {
    const std::string current = wpaStatusSsid(system);
    if (current.empty()) return false;
    return ssid.empty() || ssid == current;
}

}  // namespace lumetta
