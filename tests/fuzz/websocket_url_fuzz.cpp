// The service URL the WebSocket layer connects to. Whatever it accepts must be safe to put on
// the wire as it is (request line and Host header) and must split back into what was given.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/websocket_url.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view url(reinterpret_cast<const char*>(data), size);
    std::string error;
    const auto parsed = lumetta::parseWebSocketUrl(url, &error);
    if (!parsed) {
        if (error.empty()) std::abort();
        return 0;
    }
    for (const char c : url) {
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7f) std::abort();
    }
    if (parsed->host.empty() || parsed->port == 0) std::abort();
    if (parsed->path.empty() || parsed->path.front() != '/') std::abort();
    if (parsed->path.find('#') != std::string::npos) std::abort();
    // "wss://" + authority + path is the URL again (the scheme's letters in any case).
    if (url.size() != 6 + parsed->authority.size() + parsed->path.size()) std::abort();
    if (url.substr(6, parsed->authority.size()) != parsed->authority) std::abort();
    if (url.substr(6 + parsed->authority.size()) != parsed->path) std::abort();
    if (parsed->authority.find_first_of("@/?#") != std::string::npos) std::abort();
    if (parsed->authority.find(parsed->host) == std::string::npos) std::abort();
    return 0;
}
