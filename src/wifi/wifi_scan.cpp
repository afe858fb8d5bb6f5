#include "wifi/wifi_scan.h"

#include <algorithm>
#include <limits>

namespace lumetta {

namespace {

constexpr std::string_view hiddenZero = "\\x00";

// The lines after the first, each without its line feed; `visit` gets every one in order.
template <typename Visit>
void forEachDataLine(std::string_view answer, Visit visit) {
    std::size_t start = answer.find('\n');
    if (start == std::string_view::npos) return;
    ++start;
    while (start < answer.size()) {
        const std::size_t end = answer.find('\n', start);
        if (end == std::string_view::npos) {
            visit(answer.substr(start));
            return;
        }
        visit(answer.substr(start, end - start));
        start = end + 1;
    }
}

// The text up to the next tab, and what follows that tab; false when there is no tab.
bool takeField(std::string_view& rest, std::string_view& field) {
    const std::size_t tab = rest.find('\t');
    if (tab == std::string_view::npos) return false;
    field = rest.substr(0, tab);
    rest.remove_prefix(tab + 1);
    return true;
}

bool contains(std::string_view text, std::string_view word) { return text.find(word) != std::string_view::npos; }

}  // namespace

bool scanAnswerHasData(std::string_view answer) {
    bool found = false;
    forEachDataLine(answer, [&](std::string_view line) {
        if (line.find_first_not_of('\r') != std::string_view::npos) found = true;
    });
    return found;
}

bool isHiddenSsid(std::string_view printed) {
    // Without spaces, tabs and NUL bytes, the SSID must be nothing but whole "\x00" runs.
    std::size_t kept = 0;
    for (char c : printed) {
        if (c == ' ' || c == '\t' || c == '\0') continue;
        if (c != hiddenZero[kept % hiddenZero.size()]) return false;
        ++kept;
    }
    return kept % hiddenZero.size() == 0;
}

std::int32_t scanSignal(std::string_view levelField) {
    std::size_t i = 0;
    while (i < levelField.size() && (levelField[i] == ' ' || (levelField[i] >= '\t' && levelField[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < levelField.size() && (levelField[i] == '+' || levelField[i] == '-')) negative = levelField[i++] == '-';
    // The magnitude is kept just past the 32-bit range, so it cannot overflow however many digits come.
    constexpr std::int64_t cap = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 2;
    std::int64_t magnitude = 0;
    bool digits = false;
    for (; i < levelField.size() && levelField[i] >= '0' && levelField[i] <= '9'; ++i) {
        digits = true;
        magnitude = std::min(cap, magnitude * 10 + (levelField[i] - '0'));
    }
    std::int64_t level = negative ? -magnitude : magnitude;
    if (!digits || level < std::numeric_limits<std::int32_t>::min() || level > std::numeric_limits<std::int32_t>::max()) {
        level = -100;
    }
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(2 * (level + 100), 0, 100));
}

std::vector<WiFiNetwork> parseScanResults(std::string_view answer, std::string_view connectedSsid) {
    std::vector<WiFiNetwork> networks;
    forEachDataLine(answer, [&](std::string_view line) {
        while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        std::string_view bssid, frequency, level, flags;
        if (!takeField(line, bssid) || !takeField(line, frequency) || !takeField(line, level) ||
            !takeField(line, flags)) {
            return;
        }
        const std::string_view ssid = line;
        if (ssid.empty() || isHiddenSsid(ssid)) return;

        WiFiNetwork row;
        row.signal = scanSignal(level);
        row.owe = contains(flags, "OWE");
        row.needsPassword = !row.owe && (contains(flags, "WPA") || contains(flags, "WEP") || contains(flags, "SAE"));
        row.available = true;

        const auto known = std::find_if(networks.begin(), networks.end(),
                                        [&](const WiFiNetwork& network) { return network.ssid == ssid; });
        if (known == networks.end()) {
            row.ssid = ssid;
            networks.push_back(std::move(row));
        } else if (known->signal < row.signal) {
            row.ssid = std::move(known->ssid);
            *known = std::move(row);
        }
    });
    // Stable, so networks of one signal keep the order in which the table first named them.
    std::stable_sort(networks.begin(), networks.end(),
                     [](const WiFiNetwork& a, const WiFiNetwork& b) { return a.signal > b.signal; });
    for (WiFiNetwork& network : networks) network.connected = network.ssid == connectedSsid;
    return networks;
}

std::vector<WiFiNetwork> scanWiFiNetworks(const WpaSystem& system) {
    if (!wpaCliOk({"scan"}, system)) return {};
    Clock& clock = system.clock != nullptr ? *system.clock : systemClock();

    const std::int64_t start = clock.steadyMs();
    const std::int64_t settleDeadline = start + kScanSettleMs;
    const std::int64_t finalDeadline = start + kScanFinalMs;
    std::string latest;
    std::string previous;
    int repeats = 0;
    while (clock.steadyMs() < finalDeadline) {
        clock.sleepFor(kScanPassMs);
        latest = runWpaCli({"scan_results"}, system);
        if (!scanAnswerHasData(latest)) {
            repeats = 0;
            continue;
        }
        repeats = latest == previous ? repeats + 1 : 0;
        previous = latest;
        if (repeats >= 2 && clock.steadyMs() >= settleDeadline) break;
    }
    return parseScanResults(latest, wpaStatusSsid(system));
}

}  // namespace lumetta
