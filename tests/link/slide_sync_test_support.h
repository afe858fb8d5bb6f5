#pragma once
// Helpers of the group-sync tests: forged packets of any group, sender and time, a plain UDP
// socket on loopback, and an error stream that a test can wait on line by line.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

#include "link/slide_sync_packet.h"
#include "support/line_capture.h"

namespace lumetta::testing {

// A signed packet with every field chosen by the test.
inline SlideSyncPacket forgePacket(std::string_view magic, const std::string& group, const std::string& sender,
                                   std::uint64_t sendTime, std::uint64_t startTime, std::int32_t position,
                                   std::uint8_t flags) {
    SlideSyncPacket packet{};
    EXPECT_TRUE(encodeSlidePacket({magic, sendTime, startTime, position, flags}, group, sender, packet));
    return packet;
}

// A device id whose hash lies below (or above) `reference`'s: the order decides ties and leads.
inline std::string deviceIdWithHash(bool below, const std::string& reference, const std::string& prefix) {
    const std::uint64_t limit = slideSyncHash(reference);
    for (int i = 0;; ++i) {
        std::string candidate = prefix + std::to_string(i);
        if ((slideSyncHash(candidate) < limit) == below && slideSyncHash(candidate) != limit) return candidate;
    }
}

// A UDP socket bound to an ephemeral loopback port.
class UdpSocket {
public:
    UdpSocket() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        socklen_t size = sizeof address;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
    }
    ~UdpSocket() { ::close(fd_); }
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    std::uint16_t port() const { return port_; }
    int fd() const { return fd_; }

    void sendTo(std::uint16_t port, const void* data, std::size_t size) const {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::sendto(fd_, data, size, 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
                  static_cast<ssize_t>(size));
    }
    void sendTo(std::uint16_t port, const SlideSyncPacket& packet) const {
        sendTo(port, packet.data(), packet.size());
    }

    // The datagrams that arrive within `waitMs` of each other (the first wait included).
    std::vector<std::vector<std::uint8_t>> receiveAll(int waitMs = 300) const {
        std::vector<std::vector<std::uint8_t>> datagrams;
        while (true) {
            timeval timeout{0, waitMs * 1000};
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
            std::vector<std::uint8_t> buffer(512);
            const ssize_t got = ::recv(fd_, buffer.data(), buffer.size(), 0);
            if (got < 0) return datagrams;
            buffer.resize(static_cast<std::size_t>(got));
            datagrams.push_back(std::move(buffer));
        }
    }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

}  // namespace lumetta::testing
