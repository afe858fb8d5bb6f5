#pragma once
// The one URL shape the WebSocket layer connects to: "wss://host[:port]/path".
//
// The host is a DNS name, an IPv4 address or an IPv6 address in brackets; the port defaults
// to 443; the path starts at the first "/" and keeps its query. The text goes onto the wire as
// given (the request line and the Host header), so anything that could break out of them is
// refused: control bytes, spaces, non-ASCII bytes, user information and fragments.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lumetta {

struct WebSocketUrl {
    std::string host;       // name or address, without brackets: what is resolved and verified
    std::string authority;  // "host[:port]" as written, brackets kept: the Host header
    std::uint16_t port = 443;
    std::string path;       // "/..." with its query
    bool ipAddress = false;  // the host is an address literal (no resolution)
    bool ipv6 = false;
};

// Longest URL accepted; the request head must fit the library's header buffer.
inline constexpr std::size_t kWebSocketUrlLimit = 2048;

// The parts of `url`, or nullopt with the reason in `error` (when given).
std::optional<WebSocketUrl> parseWebSocketUrl(std::string_view url, std::string* error = nullptr);

}  // namespace lumetta
