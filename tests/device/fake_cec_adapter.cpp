#include "fake_cec_adapter.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace lumetta::testing {

FakeCecIo::FakeCecIo(std::vector<FakeCecDevice> devices, std::vector<std::string> otherEntries)
    : devices_(std::move(devices)), otherEntries_(std::move(otherEntries)) {}

std::vector<std::filesystem::path> FakeCecIo::listDirectory(const std::filesystem::path& directory) {
    std::lock_guard lock(mutex);
    std::vector<std::filesystem::path> paths;
    if (directory != "/dev") return paths;
    for (const FakeCecDevice& device : devices_) paths.push_back(directory / device.name);
    for (const std::string& name : otherEntries_) paths.push_back(directory / name);
    return paths;
}

int FakeCecIo::open(const std::string& path, int flags) {
    std::lock_guard lock(mutex);
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        if ("/dev/" + devices_[i].name != path) continue;
        if (!devices_[i].opens) {
            errno = EACCES;
            return -1;
        }
        int fd = nextFd_++;
        open_[fd] = i;
        opened_.push_back(devices_[i].name);
        flags_.push_back(flags);
        return fd;
    }
    errno = ENOENT;
    return -1;
}

int FakeCecIo::ioctl(int fd, unsigned long request, void* argument) {
    std::lock_guard lock(mutex);
    auto it = open_.find(fd);
    if (it == open_.end()) {
        errno = EBADF;
        return -1;
    }
    FakeCecDevice& device = devices_[it->second];
    if (auto failing = device.failingRequests.find(request); failing != device.failingRequests.end()) {
        errno = failing->second;
        return -1;
    }
    switch (request) {
    case CEC_ADAP_G_CAPS: {
        auto* caps = static_cast<cec_caps*>(argument);
        *caps = cec_caps{};
        std::strncpy(caps->driver, "fake", sizeof caps->driver - 1);
        caps->capabilities = device.capabilities;
        caps->available_log_addrs = 4;
        return 0;
    }
    case CEC_ADAP_G_LOG_ADDRS:
        *static_cast<cec_log_addrs*>(argument) = device.logicalAddresses;
        return 0;
    case CEC_ADAP_S_LOG_ADDRS: {
        auto* addresses = static_cast<cec_log_addrs*>(argument);
        device.claims.push_back(*addresses);
        if (device.logicalAddresses.num_log_addrs != 0) {
            errno = EBUSY;
            return -1;
        }
        addresses->log_addr[0] = device.addressOnClaim;
        addresses->log_addr_mask = static_cast<std::uint16_t>(1u << device.addressOnClaim);
        device.logicalAddresses = *addresses;
        return 0;
    }
    case CEC_ADAP_G_PHYS_ADDR:
        *static_cast<std::uint16_t*>(argument) = device.physicalAddress;
        return 0;
    case CEC_S_MODE:
        device.modes.push_back(*static_cast<std::uint32_t*>(argument));
        return 0;
    case CEC_TRANSMIT: {
        auto* msg = static_cast<cec_msg*>(argument);
        device.sent.push_back(*msg);
        TransmitOutcome outcome;
        if (!device.outcomes.empty()) {
            outcome = device.outcomes.front();
            device.outcomes.pop_front();
        }
        if (outcome.error != 0) {
            errno = outcome.error;
            return -1;
        }
        msg->tx_status = outcome.txStatus;
        msg->rx_status = outcome.rxStatus;
        return 0;
    }
    case CEC_RECEIVE: {
        if (device.received.empty()) {
            errno = EAGAIN;
            return -1;
        }
        *static_cast<cec_msg*>(argument) = device.received.front();
        device.received.pop_front();
        return 0;
    }
    default:
        errno = ENOTTY;
        return -1;
    }
}

int FakeCecIo::poll(pollfd* descriptors, nfds_t count, int /*timeoutMs*/) {
    std::lock_guard lock(mutex);
    int ready = 0;
    for (nfds_t i = 0; i < count; ++i) {
        descriptors[i].revents = 0;
        auto it = open_.find(descriptors[i].fd);
        if (it == open_.end()) {
            descriptors[i].revents = POLLNVAL;
        } else if ((descriptors[i].events & POLLIN) != 0 && !devices_[it->second].received.empty()) {
            descriptors[i].revents = POLLIN;
        }
        if (descriptors[i].revents != 0) ++ready;
    }
    return ready;
}

int FakeCecIo::close(int fd) {
    std::lock_guard lock(mutex);
    if (open_.erase(fd) == 0) {
        errno = EBADF;
        return -1;
    }
    return 0;
}

FakeCecDevice& FakeCecIo::device(const std::string& name) {
    std::lock_guard lock(mutex);
    for (FakeCecDevice& device : devices_) {
        if (device.name == name) return device;
    }
    throw std::out_of_range("no fake CEC device " + name);
}

std::vector<std::string> FakeCecIo::openedNames() const {
    std::lock_guard lock(mutex);
    return opened_;
}

int FakeCecIo::openDescriptors() const {
    std::lock_guard lock(mutex);
    return static_cast<int>(open_.size());
}

std::vector<int> FakeCecIo::openFlags() const {
    std::lock_guard lock(mutex);
    return flags_;
}

std::vector<std::vector<std::uint8_t>> FakeCecIo::sentBytes(const std::string& name) {
    std::vector<std::vector<std::uint8_t>> messages;
    for (const cec_msg& msg : device(name).sent) {
        messages.emplace_back(msg.msg, msg.msg + std::min<std::uint32_t>(msg.len, CEC_MAX_MSG_SIZE));
    }
    return messages;
}

}  // namespace lumetta::testing
