// wpa_supplicant configuration files as found on the device (edited by hand, written by the
// daemon): the first line of the input is the SSID as wpa_cli prints it, the rest the file.
// A removal takes whole lines only, never a line of another network's block (the daemon names a
// block by its last "ssid=" line), takes blocks whole, and reports exactly whether it changed
// the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
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

    // Blocks went whole: as many "network={" lines as closing "}" lines, each with a line naming
    // the SSID.
    long openings = 0, closings = 0, matches = 0;
    const auto count = [&](const std::vector<std::string_view>& lines, long sign) {
        for (std::string_view line : lines) {
            const std::string_view value = trimmed(line);
            if (value == "network={") openings += sign;
            if (value == "}") closings += sign;
            if (value == quoted || value == hex) matches += sign;
        }
    };
    count(was, 1);
    count(is, -1);
    if (openings != closings || matches < openings || (removed && openings < 1)) std::abort();

    // Every block of another network (its last "ssid=" line names another SSID, or it has none)
    // is still there, as often as before.
    std::map<std::string, long> others;
    std::optional<std::size_t> start;
    std::string_view name;
    for (std::size_t i = 0; i < was.size(); ++i) {
        const std::string_view value = trimmed(was[i]);
        if (value == "network={") {
            start = i;
            name = {};
        } else if (start && value.starts_with("ssid=")) {
            name = value;
        } else if (start && value == "}") {
            if (name != quoted && name != hex) {
                std::string block;
                for (std::size_t j = *start; j <= i; ++j) block += was[j];
                ++others[block];
            }
            start.reset();
        }
    }
    for (const auto& [block, times] : others) {
        long found = 0;
        for (std::size_t at = after.find(block); at != std::string::npos; at = after.find(block, at + block.size())) ++found;
        if (found < times) std::abort();
    }
    return 0;
}
