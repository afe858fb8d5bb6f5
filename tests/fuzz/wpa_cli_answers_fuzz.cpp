// Answers of wpa_cli: "status" and "list_networks" carry the names that nearby access points
// announce, and the SSID as printed is decoded to the bytes handed to the daemon.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "wifi/wpa_config.h"
#include "wifi/wpa_control.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string answer(reinterpret_cast<const char*>(data), size);

    const std::string ssid = lumetta::statusAnswerSsid(answer);
    if (ssid.find('\n') != std::string::npos) std::abort();
    if (!ssid.empty() && (answer.find("ssid=" + ssid) == std::string::npos ||
                          answer.find("wpa_state=COMPLETED") == std::string::npos)) {
        std::abort();
    }

    // The name asked for: the answer's first field of its second line, if any.
    const std::size_t lineStart = answer.find('\n');
    const std::string wanted =
        lineStart == std::string::npos ? answer : answer.substr(lineStart + 1, answer.find('\t', lineStart + 1) - lineStart - 1);
    std::size_t lines = 1;
    for (char c : answer) lines += c == '\n' ? 1 : 0;
    const auto ids = lumetta::listedNetworkIds(answer, wanted);
    if (ids.size() > lines) std::abort();
    for (const std::string& id : ids) {
        if (id.empty() || id.find_first_not_of("0123456789") != std::string::npos) std::abort();
        if (answer.find(id + "\t" + wanted) == std::string::npos) std::abort();
    }

    const std::string bytes = lumetta::ssidBytes(answer);
    if (bytes.size() > answer.size()) std::abort();
    if (answer.find('\\') == std::string::npos && bytes != answer) std::abort();
    return 0;
}
