#include "core/connectivity.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace lumetta {
namespace {

// A TCP socket bound to a free loopback port; listening (connections complete in the backlog and
// are never accepted, so nothing is ever sent) or not (connections are refused).
class LoopbackPort {
public:
    explicit LoopbackPort(bool listening) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            (listening && ::listen(fd_, 16) != 0) ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            ADD_FAILURE() << "cannot set up a loopback port";
        }
        port_ = std::to_string(ntohs(address.sin_port));
    }
    ~LoopbackPort() {
        if (fd_ >= 0) ::close(fd_);
    }
    LoopbackPort(const LoopbackPort&) = delete;
    LoopbackPort& operator=(const LoopbackPort&) = delete;
    const std::string& port() const { return port_; }

private:
    int fd_ = -1;
    std::string port_;
};

int openDescriptors() {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++count;
    }
    return count;
}

TEST(CanConnectTcp, AcceptingPortSucceedsAndEveryFailureIsFalse) {
    LoopbackPort accepting(true);
    LoopbackPort refusing(false);
    const int before = openDescriptors();

    EXPECT_TRUE(canConnectTcp("127.0.0.1", accepting.port().c_str()));
    // "localhost" may resolve to ::1 first, where nothing listens: the next address is tried.
    EXPECT_TRUE(canConnectTcp("localhost", accepting.port().c_str()));
    EXPECT_FALSE(canConnectTcp("127.0.0.1", refusing.port().c_str()));
    EXPECT_FALSE(canConnectTcp("no-such-host.invalid", "443"));
    EXPECT_FALSE(canConnectTcp("127.0.0.1", "no-such-service-name"));
    EXPECT_FALSE(canConnectTcp("", ""));

    // Whatever the outcome, no socket stays open.
    EXPECT_EQ(openDescriptors(), before);
}

TEST(ProbeTargets, ServiceHostTextGivesHostAndPort) {
    const struct {
        const char* serviceHost;
        const char* scheme;
        const char* host;
        const char* port;
    } cases[] = {
        {"service.example", "https", "service.example", "443"},
        {"service.example", "http", "service.example", "80"},
        {"service.example", "HTTPS", "service.example", "80"},
        {"service.example:8443", "https", "service.example", "8443"},
        {"service.example:8080", "http", "service.example", "8080"},
        {"127.0.0.1:9", "https", "127.0.0.1", "9"},
        {"2001:db8::1", "https", "2001:db8::1", "443"},
        {"2001:db8::1", "http", "2001:db8::1", "80"},
    };
    for (const auto& c : cases) {
        const ProbeTarget target = serviceProbeTarget(c.serviceHost, c.scheme);
        EXPECT_EQ(target.host, c.host) << c.serviceHost;
        EXPECT_EQ(target.port, c.port) << c.serviceHost;
    }
    for (const ProbeTarget& fallback : publicProbeTargets()) EXPECT_EQ(fallback.port, "443") << fallback.host;
}

TEST(ProbeTargets, FirstReachableTargetInOrderAnswers) {
    LoopbackPort accepting(true);
    LoopbackPort refusing(false);
    const ProbeTarget service = serviceProbeTarget("127.0.0.1:" + accepting.port(), "https");
    const ProbeTarget refused{"127.0.0.1", refusing.port()};
    const ProbeTarget reachable{"127.0.0.1", accepting.port()};
    const int before = openDescriptors();

    EXPECT_TRUE(anyTargetReachable({service, refused}));
    EXPECT_TRUE(anyTargetReachable({refused, {"no-such-host.invalid", "443"}, reachable}));
    EXPECT_FALSE(anyTargetReachable({refused, {"no-such-host.invalid", "443"}, refused}));
    EXPECT_FALSE(anyTargetReachable({}));

    EXPECT_EQ(openDescriptors(), before);
}

}  // namespace
}  // namespace lumetta
