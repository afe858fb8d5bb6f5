#pragma once
// Reading the tokens of a content mesh datagram: pure functions, no state.

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace lumetta {

// The tokens of `text`, split on any run of white space (space, tab, line feed, vertical tab,
// form feed, carriage return); empty tokens never appear.
std::vector<std::string_view> meshTokens(std::string_view text);

// A whole token of decimal digits with an optional leading "-" whose value fits 64 signed bits.
// No "+", no other character, no overflow.
std::optional<std::int64_t> parseUnixSeconds(std::string_view token);

// True when now - sent lies within [-window, +window], without overflowing for any inputs.
bool withinWindow(std::int64_t now, std::int64_t sent, std::int64_t window);

// A whole token of decimal digits naming a port from 1 to 65535.
std::optional<std::uint16_t> parsePort(std::string_view token);

}  // namespace lumetta
