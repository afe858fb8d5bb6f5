#include "link/slide_sync_listener.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <string>

#include "core/log.h"
#include "core/process_state.h"
#include "link/player_events.h"

namespace lumetta {

std::mutex groupSyncMutex;
std::int32_t groupSlidePosition = -1;
bool groupSlidePending = false;
std::atomic<std::uint64_t> groupSlideStartTime{0};
std::atomic<std::uint64_t> lastAcceptedSendTime{0};
std::atomic<std::uint64_t> lastAcceptedSenderHash{0};
std::atomic<std::int64_t> lastAnnouncementTime{0};
std::atomic<bool> groupLeader{false};
std::atomic<bool> groupAnswerRequested{false};
std::mutex groupElectionMutex;
std::int64_t groupElectionTime = std::numeric_limits<std::int64_t>::max();
std::uint64_t groupElectionHash = std::numeric_limits<std::uint64_t>::max();

void resetGroupSyncState() {
    {
        std::lock_guard lock(groupSyncMutex);
        groupSlidePosition = -1;
        groupSlidePending = false;
    }
    lastAcceptedSendTime = 0;
    lastAcceptedSenderHash = 0;
    groupLeader = false;
    groupAnswerRequested = false;
    std::lock_guard lock(groupElectionMutex);
    groupElectionTime = std::numeric_limits<std::int64_t>::max();
    groupElectionHash = std::numeric_limits<std::uint64_t>::max();
}

namespace {

constexpr std::size_t receiveBufferSize = 256;
constexpr std::int64_t idleNapMs = 100;
// A refused datagram is reported at most once per this long; the others are counted.
constexpr std::int64_t refusalReportMs = 10'000;
// After a socket that could not be opened or bound, or a receive that failed: the first pause
// before the next try, doubled after each failure up to the longest.
constexpr std::int64_t firstRetryPauseMs = 1'000;
constexpr std::int64_t longestRetryPauseMs = 60'000;

// The refusal line, at most once per report period: a neighbour that floods the port with
// forged or broken datagrams costs a line per period and one line with the number left out,
// never a line per datagram.
class RefusalReport {
public:
    RefusalReport(Clock& clock, std::ostream& errors) : clock_(clock), errors_(errors) {}

    void refused(std::size_t size) {
        const std::int64_t now = clock_.steadyMs();
        if (reported_ && now - lastLineMs_ < refusalReportMs) {
            ++leftOut_;
            return;
        }
        reportLeftOut();
        logText(errors_, "recvfrom returned unexpected size: " + std::to_string(size));
        reported_ = true;
        lastLineMs_ = now;
    }

    // Writes the number left out once the period of the last line is over.
    void tick() {
        if (leftOut_ > 0 && clock_.steadyMs() - lastLineMs_ >= refusalReportMs) reportLeftOut();
    }

private:
    void reportLeftOut() {
        if (leftOut_ == 0) return;
        logText(errors_, "recvfrom rejected " + std::to_string(leftOut_) + " more datagrams not shown");
        leftOut_ = 0;
    }

    Clock& clock_;
    std::ostream& errors_;
    bool reported_ = false;
    std::int64_t lastLineMs_ = 0;
    std::uint64_t leftOut_ = 0;
};

// The players of other groups on the same LAN: each (sender, group) pair is reported once per
// group configuration of ours, not at every heartbeat. A fixed ring: with more such pairs than
// it holds, the oldest are forgotten and reported again later.
class ForeignSenders {
public:
    // True the first time the pair is seen.
    bool firstSighting(const SlidePacketOrigin& origin) {
        for (std::size_t i = 0; i < used_; ++i) {
            if (seen_[i].groupHash == origin.groupHash && seen_[i].senderHash == origin.senderHash) return false;
        }
        seen_[next_] = origin;
        next_ = (next_ + 1) % seen_.size();
        if (used_ < seen_.size()) ++used_;
        return true;
    }
    void clear() { used_ = next_ = 0; }

private:
    std::array<SlidePacketOrigin, 64> seen_{};
    std::size_t used_ = 0;
    std::size_t next_ = 0;
};

class Listener {
public:
    Listener(std::uint16_t port, const SlideSyncListenerOptions& options)
        : port_(port),
          clock_(*options.clock),
          receiveTimeout_(options.receiveTimeout),
          running_(options.running != nullptr ? *options.running : playerRunning),
          readIdentity_(options.identity),
          wake_(options.wake),
          listening_(options.listening),
          errors_(*options.errors) {
        if (!readIdentity_) readIdentity_ = [] { return GroupIdentity(configBaseDirectory, deviceId); };
        // One queued wake-up stands for every change: the loop reads the whole state when it
        // takes it, so a flood of requests never fills the loop's event queue.
        if (!wake_) wake_ = [] { pushPlayerEventOnce(groupChangedEvent); };
    }

    // Until the player stops: a socket that cannot be opened or bound, or a receive that fails,
    // is reported, and after a pause (longer after each failure in a row) the socket is opened
    // again; the group is heard again as soon as the port can be had.
    void run() {
        // The generation first: a group change racing with this start is then seen at the first pass.
        generation_ = groupConfigGeneration();
        loadIdentity();
        std::int64_t retryPauseMs = firstRetryPauseMs;
        while (running_.load()) {
            if (openSocket()) {
                if (listening_) listening_(boundPort());
                const bool failed = loop();
                ::close(socket_);
                socket_ = -1;
                if (!failed) return;
                retryPauseMs = firstRetryPauseMs;  // it listened: the next failure starts afresh
            }
            pause(retryPauseMs);
            retryPauseMs = std::min(retryPauseMs * 2, longestRetryPauseMs);
        }
    }

private:
    void loadIdentity() {
        identity_ = readIdentity_();
        ownHash_ = identity_.isComplete() ? identity_.deviceHash() : 0;
        foreign_.clear();
    }

    void systemError(const char* what) {
        const int error = errno;
        logText(errors_, std::string(what) + ": " + std::strerror(error));
    }

    bool openSocket() {
        socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (socket_ < 0) {
            systemError("Socket creation failed");
            return false;
        }
        const int on = 1;
        if (::setsockopt(socket_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0)
            systemError("setsockopt SO_BROADCAST failed");
        if (::setsockopt(socket_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
            systemError("setsockopt SO_REUSEADDR failed");
        if (::setsockopt(socket_, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0)
            systemError("setsockopt SO_REUSEPORT failed");
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port_);
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        if (::bind(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            systemError("Bind failed");
            ::close(socket_);
            return false;
        }
        // A zero time-out would block for good and the listener would never see the player stop.
        const auto micros =
            std::max<std::int64_t>(1000, std::chrono::duration_cast<std::chrono::microseconds>(receiveTimeout_).count());
        timeval timeout{};
        timeout.tv_sec = static_cast<time_t>(micros / 1'000'000);
        timeout.tv_usec = static_cast<suseconds_t>(micros % 1'000'000);
        if (::setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0)
            systemError("setsockopt SO_RCVTIMEO failed");
        return true;
    }

    std::uint16_t boundPort() const {
        sockaddr_in address{};
        socklen_t size = sizeof address;
        if (::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &size) != 0) return port_;
        return ntohs(address.sin_port);
    }

    // Sleeps on the clock in naps until `milliseconds` passed or the player stops.
    void pause(std::int64_t milliseconds) {
        const std::int64_t deadline = clock_.steadyMs() + milliseconds;
        while (running_.load()) {
            const std::int64_t now = clock_.steadyMs();
            if (now >= deadline) return;
            clock_.sleepUntil(std::min(deadline, now + idleNapMs));
        }
    }

    // Receives until the player stops (false) or a receive fails (true).
    bool loop() {
        std::array<std::uint8_t, receiveBufferSize> buffer;
        while (running_.load()) {
            refusals_.tick();
            const std::uint64_t generation = groupConfigGeneration();
            if (generation != generation_) {
                generation_ = generation;
                loadIdentity();
                resetGroupSyncState();
            }
            if (!identity_.isComplete()) {
                clock_.sleepFor(idleNapMs);
                continue;
            }
            buffer.fill(0);
            const ssize_t received = ::recv(socket_, buffer.data(), buffer.size(), 0);
            if (received > 0) {
                handleDatagram(buffer.data(), static_cast<std::size_t>(received));
            } else if (received == 0) {
                logText(errors_, "recvfrom returned empty datagram");
            } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
                const int error = errno;
                logText(errors_, "recvfrom error (" + std::to_string(error) + "): " + std::strerror(error));
                return true;
            }
        }
        return false;
    }

    void handleDatagram(const std::uint8_t* data, std::size_t size) {
        SlideSyncInfo info;
        const SlidePacketVerdict verdict = checkSlidePacket(data, size, identity_, info, clock_);
        if (verdict != SlidePacketVerdict::accepted) {
            // Another group's players share the LAN and announce every few seconds: say so once.
            if (verdict != SlidePacketVerdict::otherGroup || foreign_.firstSighting(slidePacketOrigin(data, size)))
                refusals_.refused(size);
            return;
        }
        if (info.electionRequest) {
            handleElection(info);
            return;
        }
        if (info.senderHash == ownHash_) return;
        if (info.isRequest) {
            if (groupLeader.load()) {
                groupAnswerRequested = true;
                wake_();
            }
            return;
        }
        handleAnnouncement(info);
    }

    void handleElection(const SlideSyncInfo& info) {
        if (groupLeader.load()) {
            groupAnswerRequested = true;
            wake_();
            return;
        }
        const auto time = static_cast<std::int64_t>(info.startTime);
        std::lock_guard lock(groupElectionMutex);
        const bool smaller =
            time < groupElectionTime || (time == groupElectionTime && info.senderHash < groupElectionHash);
        if (!smaller) return;
        groupElectionTime = time;
        groupElectionHash = info.senderHash;
        if (info.senderHash != ownHash_) groupLeader = false;
    }

    void handleAnnouncement(const SlideSyncInfo& info) {
        const std::uint64_t lastTime = lastAcceptedSendTime.load();
        const bool newer = info.sendTime > lastTime ||
                           (info.sendTime == lastTime && info.senderHash > lastAcceptedSenderHash.load());
        if (!newer) return;
        lastAcceptedSenderHash = info.senderHash;
        lastAcceptedSendTime = info.sendTime;
        lastAnnouncementTime = clock_.steadyMs();
        if (info.senderHash < ownHash_) groupLeader = false;
        {
            std::lock_guard lock(groupSyncMutex);
            groupSlideStartTime = info.startTime;
            groupSlidePending = info.pending;
            groupSlidePosition = info.slidePosition;
        }
        wake_();
    }

    std::uint16_t port_;
    Clock& clock_;
    std::chrono::milliseconds receiveTimeout_;
    const std::atomic<bool>& running_;
    std::function<GroupIdentity()> readIdentity_;
    std::function<void()> wake_;
    std::function<void(std::uint16_t)> listening_;
    std::ostream& errors_;

    int socket_ = -1;
    GroupIdentity identity_;
    std::uint64_t ownHash_ = 0;
    std::uint64_t generation_ = 0;
    ForeignSenders foreign_;
    RefusalReport refusals_{clock_, errors_};
};

}  // namespace

void runSlideSyncListener(std::uint16_t port, const SlideSyncListenerOptions& options) {
    Listener(port, options).run();
}

void runSlideSyncListener(std::uint16_t port) { runSlideSyncListener(port, SlideSyncListenerOptions{}); }

}  // namespace lumetta
