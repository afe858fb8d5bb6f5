#include "platform/websocket_url.h"

#include <arpa/inet.h>

#include <cctype>

namespace lumetta {
namespace {

std::optional<WebSocketUrl> refuse(std::string* error, const char* why) {
    if (error != nullptr) *error = why;
    return std::nullopt;
}

bool isHostNameCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '.' || c == '_';
}

}  // namespace

std::optional<WebSocketUrl> parseWebSocketUrl(std::string_view url, std::string* error) {
    if (url.size() > kWebSocketUrlLimit) return refuse(error, "the URL is longer than 2048 bytes");
    for (const char c : url) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7f) return refuse(error, "the URL holds a space, a control byte or a non-ASCII byte");
    }
    constexpr std::string_view scheme = "wss://";
    if (url.size() < scheme.size()) return refuse(error, "the URL does not start with \"wss://\"");
    for (std::size_t i = 0; i < scheme.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(url[i])) != scheme[i]) {
            return refuse(error, "the URL does not start with \"wss://\"");
        }
    }
    const std::string_view rest = url.substr(scheme.size());
    const std::size_t slash = rest.find('/');
    if (slash == std::string_view::npos) return refuse(error, "the URL has no path");
    const std::string_view authority = rest.substr(0, slash);
    const std::string_view path = rest.substr(slash);
    if (authority.empty()) return refuse(error, "the URL has no host");
    if (authority.find_first_of("@?#") != std::string_view::npos) {
        return refuse(error, "the URL's host part holds \"@\", \"?\" or \"#\"");
    }
    if (path.find('#') != std::string_view::npos) return refuse(error, "the URL has a fragment");

    WebSocketUrl result;
    result.authority = std::string(authority);
    result.path = std::string(path);

    std::string_view portText;
    if (authority.front() == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos) return refuse(error, "the URL's IPv6 address has no closing bracket");
        result.host = std::string(authority.substr(1, close - 1));
        const std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') return refuse(error, "the URL has text after the IPv6 address");
            portText = after.substr(1);
            if (portText.empty()) return refuse(error, "the URL's port is empty");
        }
        in6_addr address{};
        if (::inet_pton(AF_INET6, result.host.c_str(), &address) != 1) {
            return refuse(error, "the URL's bracketed host is not an IPv6 address");
        }
        result.ipAddress = true;
        result.ipv6 = true;
    } else {
        const std::size_t colon = authority.find(':');
        result.host = std::string(authority.substr(0, colon));
        if (colon != std::string_view::npos) {
            portText = authority.substr(colon + 1);
            if (portText.empty()) return refuse(error, "the URL's port is empty");
        }
        if (result.host.empty()) return refuse(error, "the URL has no host");
        if (result.host.size() > 253) return refuse(error, "the URL's host name is longer than 253 bytes");
        for (const char c : result.host) {
            if (!isHostNameCharacter(c)) return refuse(error, "the URL's host name holds a character a name cannot have");
        }
        in_addr address{};
        result.ipAddress = ::inet_pton(AF_INET, result.host.c_str(), &address) == 1;
    }

    if (!portText.empty()) {
        if (portText.size() > 5) return refuse(error, "the URL's port is not a number from 1 to 65535");
        unsigned value = 0;
        for (const char c : portText) {
            if (c < '0' || c > '9') return refuse(error, "the URL's port is not a number from 1 to 65535");
            value = value * 10 + static_cast<unsigned>(c - '0');
        }
        if (value == 0 || value > 65535) return refuse(error, "the URL's port is not a number from 1 to 65535");
        result.port = static_cast<std::uint16_t>(value);
    }
    return result;
}

}  // namespace lumetta
