#pragma once
// Whether the device holds a network address through which it can reach other hosts, wired or
// wireless. Only the addresses configured on the interfaces are looked at; nothing is sent.
// Stateless: recomputed at every call, safe from any thread, never throws.

#include <ifaddrs.h>

#include <functional>

namespace lumetta {

// Where the interface list comes from: getifaddrs and freeifaddrs by default. A test hands in
// a list of its own (or a failure: `read` returning non-zero).
struct InterfaceListSource {
    std::function<int(ifaddrs**)> read;
    std::function<void(ifaddrs*)> release;
};

// True at the first entry of an interface that is up and not loopback with an IPv4 address
// outside 0.0.0.0, 127.0.0.0/8 and 169.254.0.0/16, or an IPv6 address that is not ::, ::1,
// link-local (fe80::/10) or multicast (ff00::/8). The running state (carrier) is not asked.
// False when none is found, and when the list cannot be read.
bool hasUsableNetworkAddress();
bool hasUsableNetworkAddress(const InterfaceListSource& source);

// The same walk over a list already read (null: no entries).
bool listHasUsableAddress(const ifaddrs* list);

}  // namespace lumetta
