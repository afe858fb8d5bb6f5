#pragma once
// The player loop's sender of group slide-sync packets: slide announcements and requests for the
// group's current slide, broadcast over UDP. Failures never throw: a send returns false, logs a
// "[BROADCAST]" line where told, and the next send opens a fresh socket.

#include <netinet/in.h>

#include <cstdint>
#include <iostream>
#include <mutex>
#include <string>

#include "core/clock.h"
#include "link/slide_sync_packet.h"

namespace lumetta {

class BroadcastSender {
public:
    // Opens no socket yet. `clock` gives "now" for requests and takes the pauses between the
    // transmissions of a series; `log` receives the "[BROADCAST]" lines.
    BroadcastSender(std::uint16_t port, GroupIdentity identity, std::string targetAddress,
                    Clock& clock = systemClock(), std::ostream& log = std::cerr);
    ~BroadcastSender();
    BroadcastSender(const BroadcastSender&) = delete;
    BroadcastSender& operator=(const BroadcastSender&) = delete;

    // Closes the socket once; every later send returns false.
    void close();

    // A plain request for the group's current slide, sent three times 35 ms apart. True when all
    // three went out.
    bool sendRequest();
    // An election request carrying the caller's join time, sent three times 35 ms apart.
    bool sendRequestWithTime(std::uint64_t joinTime);
    // One slide announcement (twice more, 35 ms apart, with `repeat`). A first send that falls
    // short is retried once on a reopened socket. True when the announcement went out.
    bool sendSlide(std::int32_t position, std::uint64_t sendTime, std::uint64_t startTime, bool repeat,
                   std::uint8_t flags);

    // The pause between the transmissions of one series.
    static constexpr std::int64_t pauseMs = 35;

private:
    bool openSocket();  // with mutex_ held
    void closeSocket(); // with mutex_ held
    bool usable() const { return !closed_ && !groupId_.empty() && !deviceId_.empty(); }
    bool transmit(const SlideSyncPacket& packet);
    bool sendRequestSeries(std::uint64_t startTime, std::uint8_t flags);
    void logFailure(const std::string& message, int error);

    std::mutex mutex_;
    int socket_ = -1;
    std::string target_;
    std::uint16_t port_;
    bool closed_ = false;
    sockaddr_in address_{};
    std::string groupId_;
    std::string deviceId_;
    Clock& clock_;
    std::ostream& log_;
};

}  // namespace lumetta
