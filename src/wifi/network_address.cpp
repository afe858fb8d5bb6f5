#include "wifi/network_address.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>

namespace lumetta {

namespace {

bool usableIpv4(const sockaddr_in& address) {
    const std::uint32_t value = ntohl(address.sin_addr.s_addr);
    if (value == 0) return false;                      // 0.0.0.0
    if ((value >> 24) == 127) return false;            // 127.0.0.0/8
    if ((value >> 16) == ((169u << 8) | 254u)) return false;  // 169.254.0.0/16
    return true;
}

bool usableIpv6(const sockaddr_in6& address) {
    const std::uint8_t* bytes = address.sin6_addr.s6_addr;
    if (IN6_IS_ADDR_UNSPECIFIED(&address.sin6_addr)) return false;  // ::
    if (IN6_IS_ADDR_LOOPBACK(&address.sin6_addr)) return false;     // ::1
    if (bytes[0] == 0xfe && (bytes[1] & 0xc0) == 0x80) return false;  // fe80::/10
    if (bytes[0] == 0xff) return false;                                // ff00::/8
    return true;
}

}  // namespace

bool listHasUsableAddress(const ifaddrs* list) {
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr) continue;
        if ((entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_LOOPBACK) != 0) continue;
        const sa_family_t family = entry->ifa_addr->sa_family;
        if (family == AF_INET) {
            if (usableIpv4(*reinterpret_cast<const sockaddr_in*>(entry->ifa_addr))) return true;
        } else if (family == AF_INET6) {
            if (usableIpv6(*reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr))) return true;
        }
    }
    return false;
}

bool hasUsableNetworkAddress(const InterfaceListSource& source) {
    if (!source.read) return false;
    ifaddrs* list = nullptr;
    try {
        if (source.read(&list) != 0) return false;
        const bool usable = listHasUsableAddress(list);
        if (list != nullptr && source.release) source.release(list);
        return usable;
    } catch (...) {
        // A reader that throws counts as an unreadable list: the answer is "no address".
        if (list != nullptr && source.release) source.release(list);
        return false;
    }
}

bool hasUsableNetworkAddress() {
    return hasUsableNetworkAddress(InterfaceListSource{::getifaddrs, ::freeifaddrs});
}

}  // namespace lumetta
