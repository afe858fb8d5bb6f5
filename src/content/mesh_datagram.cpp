#include "content/mesh_datagram.h"

#include <limits>

namespace lumetta {
namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool allDigits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

}  // namespace

std::vector<std::string_view> meshTokens(std::string_view text) {
    std::vector<std::string_view> tokens;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && isSpace(text[i])) ++i;
        const std::size_t start = i;
        while (i < text.size() && !isSpace(text[i])) ++i;
        if (i > start) tokens.push_back(text.substr(start, i - start));
    }
    return tokens;
}

std::optional<std::int64_t> parseUnixSeconds(std::string_view token) {
    const bool negative = !token.empty() && token.front() == '-';
    const std::string_view digits = negative ? token.substr(1) : token;
    if (!allDigits(digits)) return std::nullopt;
    // Accumulate as a negative number: its range is one larger than the positive one.
    constexpr std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
    std::int64_t value = 0;
    for (char c : digits) {
        const int digit = c - '0';
        if (value < (lowest + digit) / 10) return std::nullopt;
        value = value * 10 - digit;
    }
    if (negative) return value;
    if (value == lowest) return std::nullopt;
    return -value;
}

bool withinWindow(std::int64_t now, std::int64_t sent, std::int64_t window) {
    const __int128 difference = static_cast<__int128>(now) - static_cast<__int128>(sent);
    return difference >= -static_cast<__int128>(window) && difference <= static_cast<__int128>(window);
}

std::optional<std::uint16_t> parsePort(std::string_view token) {
    if (!allDigits(token)) return std::nullopt;
    unsigned value = 0;
    for (char c : token) {
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > 65535) return std::nullopt;
    }
    if (value == 0) return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

}  // namespace lumetta
