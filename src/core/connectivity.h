#pragma once
// Can this device open a TCP connection to the outside world right now? No data is sent: a
// connection that opens is closed at once. Blocking; run it on a worker thread, never the render loop.

#include <string>
#include <string_view>
#include <vector>

namespace lumetta {

// True when a TCP connection to any address `host` resolves to opened within 1000 ms per address.
// `host` and `service` are as getaddrinfo takes them (name or numeric address; port or service name).
bool canConnectTcp(const char* host, const char* service);

struct ProbeTarget {
    std::string host;
    std::string port;
};

// The service endpoint: port 443 for "https" (exactly), 80 otherwise, unless the host text carries
// its own port after a single colon. A text with several colons (an IPv6 literal) is used whole.
ProbeTarget serviceProbeTarget(std::string_view serviceHost, std::string_view httpScheme);

// The public resolvers tried after the service: "1.1.1.1" and "2606:4700:4700::1111" on 443.
std::vector<ProbeTarget> publicProbeTargets();

// True as soon as one target, tried in order, accepts a connection.
bool anyTargetReachable(const std::vector<ProbeTarget>& targets);

// The service endpoint of the shared defaults first, then the public resolvers.
bool hasInternetAccess();

}  // namespace lumetta
