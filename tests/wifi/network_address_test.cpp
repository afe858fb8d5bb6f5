// The usable-address test over scripted interface lists (one table: which addresses count on
// which interfaces), the reader's failure, and the machine's own list in a namespace of the
// test's making.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <deque>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/lan.h"
#include "wifi/network_address.h"

namespace lumetta {
namespace {

// One entry of a scripted list: an address text ("" for an entry without address) on an
// interface with these flags.
struct Entry {
    std::string address;
    unsigned flags = IFF_UP;
};

constexpr unsigned up = IFF_UP;
constexpr unsigned down = 0;
constexpr unsigned upLoopback = IFF_UP | IFF_LOOPBACK;

// Owns the nodes and addresses of a linked ifaddrs list built from entries.
class ScriptedList {
public:
    explicit ScriptedList(const std::vector<Entry>& entries) {
        nodes_.resize(entries.size());
        for (std::size_t i = 0; i < entries.size(); ++i) {
            ifaddrs& node = nodes_[i];
            node.ifa_name = const_cast<char*>("eth0");
            node.ifa_flags = entries[i].flags;
            node.ifa_next = i + 1 < entries.size() ? &nodes_[i + 1] : nullptr;
            const std::string& text = entries[i].address;
            if (text.empty()) continue;
            sockaddr_storage& storage = storage_.emplace_back();
            if (text.find(':') != std::string::npos) {
                auto* six = reinterpret_cast<sockaddr_in6*>(&storage);
                six->sin6_family = AF_INET6;
                EXPECT_EQ(::inet_pton(AF_INET6, text.c_str(), &six->sin6_addr), 1) << text;
            } else if (text == "packet") {
                storage.ss_family = AF_PACKET;
            } else {
                auto* four = reinterpret_cast<sockaddr_in*>(&storage);
                four->sin_family = AF_INET;
                EXPECT_EQ(::inet_pton(AF_INET, text.c_str(), &four->sin_addr), 1) << text;
            }
            node.ifa_addr = reinterpret_cast<sockaddr*>(&storage);
        }
    }
    ifaddrs* head() { return nodes_.empty() ? nullptr : &nodes_.front(); }

private:
    std::vector<ifaddrs> nodes_;
    std::deque<sockaddr_storage> storage_;  // stable addresses while nodes point at them
};

TEST(UsableNetworkAddress, CountsOnlyRoutableAddressesOnUpInterfaces) {
    struct Case {
        const char* name;
        std::vector<Entry> entries;
        bool usable;
    };
    const std::vector<Case> cases = {
        {"no interfaces", {}, false},
        {"only loopback", {{"127.0.0.1", upLoopback}, {"::1", upLoopback}}, false},
        {"a loopback-range address on a plain interface", {{"127.8.9.10", up}}, false},
        {"global address on a loopback interface", {{"10.0.0.5", upLoopback}}, false},
        {"self-assigned and link-local only", {{"169.254.3.4", up}, {"fe80::1", up}}, false},
        {"unspecified addresses", {{"0.0.0.0", up}, {"::", up}}, false},
        {"IPv6 loopback on a plain interface", {{"::1", up}}, false},
        {"link-local upper edge febf::", {{"febf::1", up}}, false},
        {"multicast", {{"ff02::1", up}, {"ff0e::2", up}}, false},
        {"global address on an interface that is down", {{"192.168.1.20", down}, {"2001:db8::1", down}}, false},
        {"entries without an address or of another family", {{"", up}, {"packet", up}}, false},
        {"private 10/8", {{"10.1.2.3", up}}, true},
        {"private 192.168/16", {{"192.168.0.7", up}}, true},
        {"next to the self-assigned range", {{"169.253.255.255", up}}, true},
        {"next to loopback", {{"128.0.0.1", up}}, true},
        {"global IPv6 without IPv4", {{"fe80::2", up}, {"2001:db8::42", up}}, true},
        {"unique-local IPv6", {{"fd00::1", up}}, true},
        {"just past link-local fec0::", {{"fec0::1", up}}, true},
        {"IPv4-mapped IPv6", {{"::ffff:10.0.0.1", up}}, true},
        {"usable entry after unusable ones", {{"127.0.0.1", upLoopback}, {"", up}, {"10.0.0.9", down},
                                              {"172.16.4.4", up}}, true},
        {"running flag not needed", {{"10.9.9.9", IFF_UP}}, true},
    };
    for (const Case& c : cases) {
        ScriptedList list(c.entries);
        EXPECT_EQ(listHasUsableAddress(list.head()), c.usable) << c.name;
        // Through the reader seam as well: the list is released exactly once.
        int released = 0;
        const InterfaceListSource source{[&](ifaddrs** out) {
                                             *out = list.head();
                                             return 0;
                                         },
                                         [&](ifaddrs*) { ++released; }};
        EXPECT_EQ(hasUsableNetworkAddress(source), c.usable) << c.name;
        EXPECT_EQ(released, c.entries.empty() ? 0 : 1) << c.name;
    }
}

TEST(UsableNetworkAddress, AnUnreadableListCountsAsNoAddress) {
    ScriptedList list({{"10.1.2.3", up}});
    int released = 0;
    const InterfaceListSource failing{[](ifaddrs**) { return -1; }, [&](ifaddrs*) { ++released; }};
    EXPECT_FALSE(hasUsableNetworkAddress(failing));
    const InterfaceListSource throwing{[&](ifaddrs** out) -> int {
                                           *out = list.head();
                                           throw std::runtime_error("interface list exploded");
                                       },
                                       [&](ifaddrs*) { ++released; }};
    EXPECT_FALSE(hasUsableNetworkAddress(throwing));
    EXPECT_EQ(released, 1);
    EXPECT_FALSE(hasUsableNetworkAddress(InterfaceListSource{}));
}

// The machine's own list, in a namespace of this test: loopback alone gives false; a veth end
// with a private address counts once it is up, not before.
TEST(UsableNetworkAddress, ReadsTheKernelsInterfaceList) {
    LUMETTA_REQUIRE_PRIVATE_NETWORK();
    ASSERT_TRUE(testing::enterFreshNetworkNamespace());
    EXPECT_FALSE(hasUsableNetworkAddress());
    ASSERT_EQ(std::system("ip link add ua0 type veth peer name ua1 && ip addr add 10.77.9.1/24 dev ua0"), 0);
    EXPECT_FALSE(hasUsableNetworkAddress());
    ASSERT_EQ(std::system("ip link set ua0 up"), 0);
    EXPECT_TRUE(hasUsableNetworkAddress());
    ASSERT_EQ(std::system("ip addr flush dev ua0 && ip addr add 169.254.7.7/16 dev ua0"), 0);
    EXPECT_FALSE(hasUsableNetworkAddress());
}

}  // namespace
}  // namespace lumetta
