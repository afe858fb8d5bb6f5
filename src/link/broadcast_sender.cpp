#include "link/broadcast_sender.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/log.h"
#include "core/palette.h"

namespace lumetta {

BroadcastSender::BroadcastSender(std::uint16_t port, GroupIdentity identity, std::string targetAddress,
                                 Clock& clock, std::ostream& log)
    : target_(std::move(targetAddress)),
      port_(port),
      groupId_(std::move(identity.groupId)),
      deviceId_(std::move(identity.deviceId)),
      clock_(clock),
      log_(log) {}

BroadcastSender::~BroadcastSender() { close(); }

void BroadcastSender::close() {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    closeSocket();
    closed_ = true;
}

void BroadcastSender::closeSocket() {
    if (socket_ >= 0) ::close(socket_);
    socket_ = -1;
}

void BroadcastSender::logFailure(const std::string& message, int error) {
    std::string text = message;
    if (error != 0) text += std::strerror(error);
    logLine(log_, ansi::BOLD_MAGENTA, "[BROADCAST]", text);
}

bool BroadcastSender::openSocket() {
    closeSocket();
    socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (socket_ < 0) {
        logFailure(" socket() failed: ", errno);
        socket_ = -1;
        return false;
    }
    const int on = 1;
    bool ok = true;
    if (::setsockopt(socket_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        logFailure(" setsockopt(SO_REUSEADDR) failed: ", errno);
        ok = false;
    } else if (::setsockopt(socket_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
        logFailure(" setsockopt(SO_BROADCAST) failed: ", errno);
        ok = false;
    } else {
        address_ = {};
        address_.sin_family = AF_INET;
        address_.sin_port = htons(port_);
        if (::inet_pton(AF_INET, target_.c_str(), &address_.sin_addr) != 1) {
            logFailure(" Invalid IP: " + target_, 0);
            ok = false;
        }
    }
    if (!ok) closeSocket();
    return ok;
}

// One datagram to the stored address; true when all 80 bytes went. errno tells why not.
bool BroadcastSender::transmit(const SlideSyncPacket& packet) {
    errno = 0;
    const ssize_t sent = ::sendto(socket_, packet.data(), packet.size(), 0,
                                  reinterpret_cast<const sockaddr*>(&address_), sizeof address_);
    return sent == static_cast<ssize_t>(packet.size());
}

bool BroadcastSender::sendRequestSeries(std::uint64_t startTime, std::uint8_t flags) {
    std::lock_guard lock(mutex_);
    if (!usable()) return false;
    if (socket_ < 0 && !openSocket()) return false;
    const auto now = static_cast<std::uint64_t>(clock_.systemMs());
    SlideSyncPacket packet;
    const SlideSyncFields fields{slideRequestMagic, now, flags != 0 ? startTime : now, 0, flags};
    if (!encodeSlidePacket(fields, groupId_, deviceId_, packet)) return false;
    for (int i = 0; i < 3; ++i) {
        if (i > 0) clock_.sleepFor(pauseMs);
        if (!transmit(packet)) return false;
    }
    return true;
}

bool BroadcastSender::sendRequest() { return sendRequestSeries(0, 0); }

bool BroadcastSender::sendRequestWithTime(std::uint64_t joinTime) {
    return sendRequestSeries(joinTime, slideElectionFlag);
}

bool BroadcastSender::sendSlide(std::int32_t position, std::uint64_t sendTime, std::uint64_t startTime, bool repeat,
                                std::uint8_t flags) {
    std::lock_guard lock(mutex_);
    if (!usable() || position < 0) return false;
    if (socket_ < 0 && !openSocket()) return false;
    SlideSyncPacket packet;
    if (!encodeSlidePacket({slideAnnouncementMagic, sendTime, startTime, position, flags}, groupId_, deviceId_,
                           packet)) {
        logFailure(" Could not authenticate slide packet", 0);
        return false;
    }
    if (!transmit(packet)) {
        logFailure(" sendto() failed: ", errno);
        if (!openSocket()) return false;
        if (!transmit(packet)) {
            logFailure(" Retry send failed: ", errno);
            return false;
        }
    }
    if (repeat) {
        for (int i = 0; i < 2; ++i) {
            clock_.sleepFor(pauseMs);
            if (!transmit(packet)) break;
        }
    }
    return true;
}

}  // namespace lumetta
