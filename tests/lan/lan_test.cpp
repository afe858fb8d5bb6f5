// The test LAN itself: hosts reach each other by broadcast and unicast, and nothing of it shows
// in the namespace the test runs in.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <set>
#include <thread>
#include <string>

#include "support/lan.h"

namespace lumetta::testing {
namespace {

sockaddr_in endpoint(const std::string& address, int port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, address.c_str(), &to.sin_addr);
    return to;
}

int boundUdp(LanHost& host, int port) {
    const int s = host.openSocket(AF_INET, SOCK_DGRAM);
    EXPECT_GE(s, 0);
    const int one = 1;
    ::setsockopt(s, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    sockaddr_in any = endpoint("0.0.0.0", port);
    EXPECT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    return s;
}

// The text of one datagram and its sender's address, or empty after `timeoutMs`.
std::pair<std::string, std::string> receive(int s, int timeoutMs = 3000) {
    pollfd wait{s, POLLIN, 0};
    if (::poll(&wait, 1, timeoutMs) != 1) return {};
    char buffer[256];
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t n = ::recvfrom(s, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (n < 0) return {};
    char address[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &from.sin_addr, address, sizeof address);
    return {std::string(buffer, static_cast<std::size_t>(n)), address};
}

std::set<std::string> interfacesHere() {
    std::set<std::string> names;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return names;
    for (ifaddrs* i = list; i; i = i->ifa_next) names.insert(i->ifa_name);
    ::freeifaddrs(list);
    return names;
}

TEST(Lan, HostsMeetByBroadcastAndUnicastAndTheTestNamespaceStaysBare) {
    LUMETTA_REQUIRE_PRIVATE_NETWORK();
    const std::set<std::string> before = interfacesHere();
    Lan lan;
    LanHost& a = lan.addHost();
    LanHost& b = lan.addHost();
    LanHost& c = lan.addHost();
    EXPECT_EQ(a.address(), "10.77.0.1");
    EXPECT_EQ(c.address(), "10.77.0.3");
    EXPECT_EQ(interfacesHere(), before);

    const int sa = boundUdp(a, 40000);
    const int sb = boundUdp(b, 40000);
    const int sc = boundUdp(c, 40000);
    sockaddr_in everyone = endpoint("255.255.255.255", 40000);
    ASSERT_EQ(::sendto(sa, "hello", 5, 0, reinterpret_cast<sockaddr*>(&everyone), sizeof everyone), 5);
    for (int s : {sb, sc}) {
        const auto [text, from] = receive(s);
        EXPECT_EQ(text, "hello");
        EXPECT_EQ(from, "10.77.0.1");
    }
    sockaddr_in toA = endpoint(a.address(), 40000);
    ASSERT_EQ(::sendto(sb, "back", 4, 0, reinterpret_cast<sockaddr*>(&toA), sizeof toA), 4);
    std::pair<std::string, std::string> got;
    do {
        got = receive(sa);  // a also hears its own broadcast first
    } while (got.first == "hello");
    EXPECT_EQ(got.first, "back");
    EXPECT_EQ(got.second, "10.77.0.2");
    EXPECT_EQ(receive(sc, 200).first, "");  // unicast stays between a and b

    // A host whose link is down hears nothing.
    c.setLinkUp(false);
    ASSERT_EQ(::sendto(sa, "again", 5, 0, reinterpret_cast<sockaddr*>(&everyone), sizeof everyone), 5);
    EXPECT_EQ(receive(sb).first, "again");
    EXPECT_EQ(receive(sc, 300).first, "");
    for (int s : {sa, sb, sc}) ::close(s);
}

TEST(Lan, ProbesTalkOverPipesFromInsideTheirHost) {
    LUMETTA_REQUIRE_PRIVATE_NETWORK();
    Lan lan;
    LanHost& a = lan.addHost();
    // The probe sees the host's address, reads its input and writes to standard error.
    std::unique_ptr<Probe> probe =
        a.start({"sh", "-c", "ip -4 -o addr show dev eth0 | grep -o '10[.0-9]*/24'; echo \"$GREETING\" >&2; "
                             "while read line; do echo \"got $line\"; done; exit 7"},
                {{"GREETING", "hi there"}});
    EXPECT_EQ(probe->readLine(), "10.77.0.1/24");
    EXPECT_EQ(probe->ask("one"), "got one");
    EXPECT_EQ(probe->ask("two"), "got two");
    EXPECT_EQ(probe->finish(), 7);
    EXPECT_EQ(probe->errors(), "hi there\n");
    EXPECT_EQ(probe->readLine(100), std::nullopt);

    // A probe that never reads its input is ended by force.
    std::unique_ptr<Probe> stuck = a.start({"sleep", "60"});
    EXPECT_EQ(stuck->finish(200), 128 + SIGKILL);
}

TEST(Lan, AFreshNamespaceHasOnlyLoopback) {
    LUMETTA_REQUIRE_PRIVATE_NETWORK();
    int result = -1;
    std::set<std::string> names;
    std::thread([&] {
        result = enterFreshNetworkNamespace() ? 1 : 0;
        names = interfacesHere();
        EXPECT_TRUE(inPrivateNetworkNamespace());
    }).join();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(names, std::set<std::string>{"lo"});
}

}  // namespace
}  // namespace lumetta::testing
