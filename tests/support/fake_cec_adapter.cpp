#include "support/fake_cec_adapter.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>

namespace lumetta::testing {

FakeCecIo::FakeCecIo(std::vector<FakeCecDevice> devices, std::vector<std::string> otherEntries)
    : devices_(std::move(devices)), otherEntries_(std::move(otherEntries)) {
    arrived_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (arrived_ < 0) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
}

FakeCecIo::~FakeCecIo() { ::close(arrived_); }

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
        device.sentAtMs.push_back(clock_ != nullptr ? clock_->steadyMs() : 0);
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
        ++device.receives;
        if (!device.receiveErrors.empty()) {
            const int error = device.receiveErrors.front();
            device.receiveErrors.pop_front();
            if (error != 0) {
                errno = error;
                return -1;
            }
        }
        if (device.received.empty()) {
            errno = EAGAIN;
            return -1;
        }
        *static_cast<cec_msg*>(argument) = device.received.front();
        device.received.pop_front();
        if (device.received.empty()) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t drained = ::read(arrived_, &count, sizeof count);
        }
        return 0;
    }
    default:
        errno = ENOTTY;
        return -1;
    }
}

int FakeCecIo::poll(pollfd* descriptors, nfds_t count, int timeoutMs) {
    std::unique_lock lock(mutex);
    // The first open descriptor's device is the one whose script and records apply.
    FakeCecDevice* polled = nullptr;
    nfds_t polledIndex = 0;
    for (nfds_t i = 0; i < count; ++i) {
        descriptors[i].revents = 0;
        if (auto it = open_.find(descriptors[i].fd); it != open_.end() && polled == nullptr) {
            polled = &devices_[it->second];
            polledIndex = i;
        }
    }
    if (polled != nullptr) {
        polled->pollTimeouts.push_back(timeoutMs);
        const std::function<void()> hook = polled->whilePolling;
        std::optional<PollStep> step;
        if (!polled->polls.empty()) {
            step = std::move(polled->polls.front());
            polled->polls.pop_front();
        }
        lock.unlock();
        if (hook) hook();
        if (step && step->meanwhile) step->meanwhile();
        lock.lock();
        if (step) {
            switch (step->result) {
            case PollResult::Ready:
                descriptors[polledIndex].revents = POLLIN;
                return 1;
            case PollResult::TimeOut:
                if (clock_ != nullptr) clock_->advance(timeoutMs);
                return 0;
            case PollResult::WokenWithoutInput:
                descriptors[polledIndex].revents = POLLPRI;
                return 1;
            case PollResult::Interrupted:
                errno = EINTR;
                return -1;
            case PollResult::Failed:
                errno = EIO;
                return -1;
            }
        }
    }

    const auto readiness = [&] {
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
    };
    int ready = readiness();
    if (ready != 0 || polled == nullptr) return ready;
    if (clock_ != nullptr) {
        clock_->advance(timeoutMs);
        return 0;
    }
    // A message queued from here on makes the descriptor readable, so none is missed.
    lock.unlock();
    pollfd arrival{arrived_, POLLIN, 0};
    if (::poll(&arrival, 1, timeoutMs) < 0) return -1;
    lock.lock();
    return readiness();
}

int FakeCecIo::close(int fd) {
    std::lock_guard lock(mutex);
    if (open_.erase(fd) == 0) {
        errno = EBADF;
        return -1;
    }
    return 0;
}

void FakeCecIo::attachClock(ManualClock& clock) {
    std::lock_guard lock(mutex);
    clock_ = &clock;
}

void FakeCecIo::queueReceived(const std::string& name, const cec_msg& msg) {
    std::lock_guard lock(mutex);
    deviceLocked(name).received.push_back(msg);
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t signalled = ::write(arrived_, &one, sizeof one);
}

std::vector<std::uint32_t> FakeCecIo::modes(const std::string& name) {
    std::lock_guard lock(mutex);
    return deviceLocked(name).modes;
}

std::size_t FakeCecIo::sentCount(const std::string& name) {
    std::lock_guard lock(mutex);
    return deviceLocked(name).sent.size();
}

std::size_t FakeCecIo::waitingCount(const std::string& name) {
    std::lock_guard lock(mutex);
    return deviceLocked(name).received.size();
}

FakeCecDevice& FakeCecIo::deviceLocked(const std::string& name) {
    for (FakeCecDevice& device : devices_) {
        if (device.name == name) return device;
    }
    throw std::out_of_range("no fake CEC device " + name);
}

FakeCecDevice& FakeCecIo::device(const std::string& name) {
    std::lock_guard lock(mutex);
    return deviceLocked(name);
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
