#pragma once
// A scripted CEC adapter set for tests: devices with their capabilities, logical addresses,
// physical address, transmit outcomes (status bytes, Feature Abort, failing calls), poll
// results and received messages. It records what was claimed and sent and which descriptors
// are open. Every descriptor opened on a device shares that device's state, as the kernel's do.
//
// A poll without a scripted result is ready when a message waits; otherwise it times out: at
// once, moving the attached manual clock on by the poll's time-out, or, with no clock
// attached, after waiting in real time for a message (`queueReceived`) at most that long: the
// wait is a real poll on a descriptor that a queued message makes readable, as a press would
// make an adapter readable.

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "device/cec.h"
#include "support/manual_clock.h"

namespace lumetta::testing {

// What one CEC_TRANSMIT reports.
struct TransmitOutcome {
    int error = 0;  // errno of a failing call; 0: the call succeeds
    std::uint8_t txStatus = CEC_TX_STATUS_OK;
    std::uint8_t rxStatus = 0;
};

// What one poll on a device's descriptor does.
enum class PollResult {
    Ready,              // POLLIN, whether or not a message waits
    TimeOut,            // 0 (the attached clock moves on by the time-out)
    WokenWithoutInput,  // 1 with POLLPRI only
    Interrupted,        // -1, EINTR
    Failed,             // -1, EIO
};

struct PollStep {
    PollResult result = PollResult::TimeOut;
    // Runs on the polling thread while it "waits", before the result is given.
    std::function<void()> meanwhile;
};

struct FakeCecDevice {
    std::string name;  // entry under /dev, e.g. "cec0"
    bool opens = true;
    std::uint32_t capabilities = CEC_CAP_TRANSMIT | CEC_CAP_LOG_ADDRS;
    cec_log_addrs logicalAddresses{};  // num_log_addrs 0: not configured yet
    std::uint8_t addressOnClaim = 4;   // what the kernel assigns to a Playback claim
    std::uint16_t physicalAddress = 0x1000;
    std::deque<TransmitOutcome> outcomes;  // one per transmit; afterwards every transmit succeeds
    std::deque<cec_msg> received;          // handed out by CEC_RECEIVE
    std::deque<PollStep> polls;            // one per poll; afterwards the behaviour above
    std::deque<int> receiveErrors;         // errno of each CEC_RECEIVE in turn (0: succeeds)
    std::function<void()> whilePolling;    // runs at every poll, before its scripted step

    // errno for a failing request (CEC_ADAP_G_LOG_ADDRS, CEC_S_MODE, ...); absent: succeeds.
    std::map<unsigned long, int> failingRequests;

    // Records.
    std::vector<cec_log_addrs> claims;
    std::vector<std::uint32_t> modes;
    std::vector<cec_msg> sent;  // as the transmit call received them
    std::vector<std::int64_t> sentAtMs;  // the attached clock's steady time of each transmit
    std::vector<int> pollTimeouts;       // of each poll
    int receives = 0;                    // CEC_RECEIVE calls
};

class FakeCecIo final : public CecIo {
public:
    explicit FakeCecIo(std::vector<FakeCecDevice> devices, std::vector<std::string> otherEntries = {});
    ~FakeCecIo() override;
    FakeCecIo(const FakeCecIo&) = delete;
    FakeCecIo& operator=(const FakeCecIo&) = delete;

    std::vector<std::filesystem::path> listDirectory(const std::filesystem::path& directory) override;
    int open(const std::string& path, int flags) override;
    int ioctl(int fd, unsigned long request, void* argument) override;
    int poll(pollfd* descriptors, nfds_t count, int timeoutMs) override;
    int close(int fd) override;

    // Polls that time out move this clock on instead of returning at once.
    void attachClock(ManualClock& clock);

    // Safe while another thread uses the adapter: a message for CEC_RECEIVE, waking a poll.
    void queueReceived(const std::string& name, const cec_msg& msg);
    // Copies, safe while another thread uses the adapter.
    std::vector<std::uint32_t> modes(const std::string& name);
    std::size_t sentCount(const std::string& name);
    std::size_t waitingCount(const std::string& name);

    // Not for use while another thread uses the adapter.
    FakeCecDevice& device(const std::string& name);
    std::vector<std::string> openedNames() const;  // every successful open, in order
    int openDescriptors() const;
    std::vector<int> openFlags() const;

    // The bytes of each message sent on one device.
    std::vector<std::vector<std::uint8_t>> sentBytes(const std::string& name);

private:
    FakeCecDevice& deviceLocked(const std::string& name);

    mutable std::mutex mutex;
    int arrived_ = -1;  // an eventfd, readable while a queued message waits
    ManualClock* clock_ = nullptr;
    std::vector<FakeCecDevice> devices_;
    std::vector<std::string> otherEntries_;
    std::map<int, std::size_t> open_;  // descriptor -> device index
    std::vector<std::string> opened_;
    std::vector<int> flags_;
    int nextFd_ = 100;
};

}  // namespace lumetta::testing
