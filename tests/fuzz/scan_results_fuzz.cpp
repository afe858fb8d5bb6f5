// "scan_results" tables of wpa_cli: every SSID and flag in them is whatever nearby access points
// announce. The associated SSID is taken from the answer itself (its first data row's last field),
// so the marking is exercised too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

#include "wifi/wifi_scan.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string answer(reinterpret_cast<const char*>(data), size);

    std::string associated;
    const std::size_t second = answer.find('\n');
    if (second != std::string::npos) {
        const std::size_t end = answer.find('\n', second + 1);
        const std::string line = answer.substr(second + 1, end == std::string::npos ? std::string::npos : end - second - 1);
        const std::size_t tab = line.rfind('\t');
        if (tab != std::string::npos) associated = line.substr(tab + 1);
    }

    const auto networks = lumetta::parseScanResults(answer, associated);
    std::size_t lines = 0;
    for (char c : answer) lines += c == '\n' ? 1 : 0;
    if (networks.size() > lines) std::abort();  // at most one record per line after the heading
    if (!networks.empty() && !lumetta::scanAnswerHasData(answer)) std::abort();

    std::set<std::string> names;
    int connected = 0;
    for (std::size_t i = 0; i < networks.size(); ++i) {
        const lumetta::WiFiNetwork& n = networks[i];
        if (n.ssid.empty() || lumetta::isHiddenSsid(n.ssid)) std::abort();
        if (n.ssid.find('\n') != std::string::npos || n.ssid.ends_with('\r')) std::abort();
        if (answer.find("\t" + n.ssid) == std::string::npos) std::abort();
        if (!names.insert(n.ssid).second) std::abort();  // one record per SSID
        if (n.signal < 0 || n.signal > 100 || n.signal % 2 != 0) std::abort();
        if (i > 0 && networks[i - 1].signal < n.signal) std::abort();  // strongest first
        if (n.owe && n.needsPassword) std::abort();
        if (!n.available || n.saved) std::abort();
        if (n.connected != (n.ssid == associated)) std::abort();
        connected += n.connected ? 1 : 0;
    }
    if (connected > 1) std::abort();
    return 0;
}
