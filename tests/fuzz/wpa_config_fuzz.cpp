// wpa_supplicant configuration files as found on the device (edited by hand, written by the
// daemon): the first line of the input is the SSID as wpa_cli prints it, the rest the file.
// A removal takes whole lines only, never an "ssid=" line of another network, takes blocks
// whole (as many "network={" lines as closing "}" lines, each with a line naming the SSID), and
// reports exactly whether it changed the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "wifi/wpa_config.h"

namespace {

std::vector<std::string_view> linesOf(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::size_t length = end == std::string_view::npos ? text.size() : end + 1;
        lines.push_back(text.substr(0, length));
        text.remove_prefix(length);
    }
    return lines;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t' || text.front() == '\r' || text.front() == '\n'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n'))
        text.remove_suffix(1);
    return text;
}

std::string hexOf(std::string_view bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    for (char c : bytes) {
        hex += digits[static_cast<unsigned char>(c) >> 4];
        hex += digits[static_cast<unsigned char>(c) & 0x0F];
    }
    return hex;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find('\n');
    const std::string ssid(input.substr(0, split));
    const std::string before(split == std::string_view::npos ? std::string_view() : input.substr(split + 1));

    std::string after = before;
    const bool removed = lumetta::removeNetworkFromConfig(after, ssid);
    if (removed != (after != before)) std::abort();

    const std::string real = lumetta::ssidBytes(ssid);
    const std::string quoted = "ssid=" + lumetta::wpaQuote(real);
    const std::string hex = "ssid=" + hexOf(real);
    const std::vector<std::string_view> was = linesOf(before);
    const std::vector<std::string_view> is = linesOf(after);

    // The lines left are the lines before, in order, less some.
    std::size_t kept = 0;
    for (std::string_view line : was) {
        if (kept < is.size() && is[kept] == line) ++kept;
    }
    if (kept != is.size()) std::abort();

    // What kinds of line went: other networks' names never, blocks only whole.
    std::map<std::string_view, long> others;
    long openings = 0, closings = 0, matches = 0;
    const auto count = [&](const std::vector<std::string_view>& lines, long sign) {
        for (std::string_view line : lines) {
            const std::string_view value = trimmed(line);
            if (value == "network={") openings += sign;
            if (value == "}") closings += sign;
            if (!value.starts_with("ssid=")) continue;
            if (value == quoted || value == hex) {
                matches += sign;
            } else {
                others[value] += sign;
            }
        }
    };
    count(was, 1);
    count(is, -1);
    for (const auto& [value, taken] : others) {
        if (taken != 0) std::abort();
    }
    if (openings != closings || matches < openings || (removed && openings < 1)) std::abort();
    return 0;
}
