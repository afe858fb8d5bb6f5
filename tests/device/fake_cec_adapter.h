#pragma once
// A scripted CEC adapter set for tests: devices with their capabilities, logical addresses,
// physical address, transmit outcomes (status bytes, Feature Abort, failing calls) and
// received messages. It records what was claimed and sent and which descriptors are open.

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "device/cec.h"

namespace lumetta::testing {

// What one CEC_TRANSMIT reports.
struct TransmitOutcome {
    int error = 0;  // errno of a failing call; 0: the call succeeds
    std::uint8_t txStatus = CEC_TX_STATUS_OK;
    std::uint8_t rxStatus = 0;
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

    // errno for a failing request (CEC_ADAP_G_LOG_ADDRS, CEC_S_MODE, ...); absent: succeeds.
    std::map<unsigned long, int> failingRequests;

    // Records.
    std::vector<cec_log_addrs> claims;
    std::vector<std::uint32_t> modes;
    std::vector<cec_msg> sent;  // as the transmit call received them
};

class FakeCecIo final : public CecIo {
public:
    explicit FakeCecIo(std::vector<FakeCecDevice> devices, std::vector<std::string> otherEntries = {});

    std::vector<std::filesystem::path> listDirectory(const std::filesystem::path& directory) override;
    int open(const std::string& path, int flags) override;
    int ioctl(int fd, unsigned long request, void* argument) override;
    int poll(pollfd* descriptors, nfds_t count, int timeoutMs) override;
    int close(int fd) override;

    FakeCecDevice& device(const std::string& name);
    std::vector<std::string> openedNames() const;  // every successful open, in order
    int openDescriptors() const;
    std::vector<int> openFlags() const;

    // The bytes of each message sent on one device.
    std::vector<std::vector<std::uint8_t>> sentBytes(const std::string& name);

private:
    mutable std::mutex mutex;
    std::vector<FakeCecDevice> devices_;
    std::vector<std::string> otherEntries_;
    std::map<int, std::size_t> open_;  // descriptor -> device index
    std::vector<std::string> opened_;
    std::vector<int> flags_;
    int nextFd_ = 100;
};

}  // namespace lumetta::testing
