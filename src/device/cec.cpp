#include "device/cec.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/palette.h"
#include "core/shared_defaults.h"

namespace lumetta {

// The kernel interface as the boards' 32-bit ARM build sees it; the same numbers on every
// architecture that uses the generic ioctl encoding.
static_assert(sizeof(cec_caps) == 76);
static_assert(sizeof(cec_log_addrs) == 92);
static_assert(sizeof(cec_msg) == 56);
static_assert(CEC_ADAP_G_CAPS == 0xC04C6100u);
static_assert(CEC_ADAP_G_PHYS_ADDR == 0x80026101u);
static_assert(CEC_ADAP_G_LOG_ADDRS == 0x805C6103u);
static_assert(CEC_ADAP_S_LOG_ADDRS == 0xC05C6104u);
static_assert(CEC_TRANSMIT == 0xC0386105u);
static_assert(CEC_RECEIVE == 0xC0386106u);
static_assert(CEC_S_MODE == 0x40046109u);

namespace {

constexpr std::uint8_t tvAddress = 0;
constexpr std::uint8_t broadcastAddress = 15;
constexpr std::uint8_t opImageViewOn = 0x04;
constexpr std::uint8_t opActiveSource = 0x82;
constexpr std::uint8_t opStandby = 0x36;

class SystemCecIo final : public CecIo {
public:
    std::vector<std::filesystem::path> listDirectory(const std::filesystem::path& directory) override {
        std::vector<std::filesystem::path> paths;
        std::error_code error;
        for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
            paths.push_back(it->path());
        }
        return paths;
    }
    int open(const std::string& path, int flags) override { return ::open(path.c_str(), flags); }
    int ioctl(int fd, unsigned long request, void* argument) override { return ::ioctl(fd, request, argument); }
    int poll(pollfd* descriptors, nfds_t count, int timeoutMs) override { return ::poll(descriptors, count, timeoutMs); }
    int close(int fd) override { return ::close(fd); }
};

// "cec" followed by one or more decimal digits.
bool isCecDeviceName(const std::string& name) {
    if (name.size() <= 3 || name.compare(0, 3, "cec") != 0) return false;
    return std::all_of(name.begin() + 3, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

CecIo& systemCecIo() {
    static SystemCecIo io;
    return io;
}

CecAdapter& CecAdapter::operator=(CecAdapter&& other) noexcept {
    if (this != &other) {
        if (fd >= 0 && io != nullptr) io->close(fd);
        fd = other.fd;
        io = other.io;
        other.fd = -1;
    }
    return *this;
}

CecAdapter::~CecAdapter() {
    if (fd >= 0 && io != nullptr) io->close(fd);
}

std::runtime_error errnoMessage(const std::string& message) {
    return std::runtime_error(message + ": " + std::strerror(errno));
}

CecAdapter findCecAdapter(CecIo& io) {
    std::vector<std::filesystem::path> candidates;
    for (const std::filesystem::path& path : io.listDirectory("/dev")) {
        if (isCecDeviceName(path.filename().string())) candidates.push_back(path);
    }
    std::sort(candidates.begin(), candidates.end());
    for (const std::filesystem::path& path : candidates) {
        int fd = io.open(path.string(), O_RDWR | O_CLOEXEC);
        if (fd < 0) continue;
        CecAdapter adapter(fd, io);
        cec_caps caps{};
        if (io.ioctl(fd, CEC_ADAP_G_CAPS, &caps) < 0 || (caps.capabilities & CEC_CAP_TRANSMIT) == 0) continue;
        return adapter;
    }
    throw std::runtime_error("No usable /dev/cec adapter found");
}

CecAdapter findCecAdapter() { return findCecAdapter(systemCecIo()); }

void cecTransmit(CecIo& io, int fd, cec_msg& msg) {
    msg.timeout = 1000;
    if (io.ioctl(fd, CEC_TRANSMIT, &msg) < 0) throw errnoMessage("CEC transmit failed");
    if (!cec_msg_status_is_ok(&msg)) throw std::runtime_error("CEC transmit was not acknowledged");
}

void cecTransmit(int fd, cec_msg& msg) { cecTransmit(systemCecIo(), fd, msg); }

cec_log_addrs playbackClaim(std::string_view osdName) {
    cec_log_addrs addresses{};
    addresses.cec_version = CEC_OP_CEC_VERSION_2_0;
    addresses.num_log_addrs = 1;
    addresses.vendor_id = CEC_VENDOR_ID_NONE;
    addresses.flags = CEC_LOG_ADDRS_FL_ALLOW_UNREG_FALLBACK;
    // At most 14 characters; the last byte stays 0.
    std::memcpy(addresses.osd_name, osdName.data(), std::min(osdName.size(), sizeof addresses.osd_name - 1));
    addresses.primary_device_type[0] = CEC_OP_PRIM_DEVTYPE_PLAYBACK;
    addresses.log_addr_type[0] = CEC_LOG_ADDR_TYPE_PLAYBACK;
    addresses.all_device_types[0] = CEC_OP_ALL_DEVTYPE_PLAYBACK;
    return addresses;
}

cec_log_addrs claimCecPlaybackAddress(CecIo& io, int fd) {
    cec_log_addrs addresses{};
    if (io.ioctl(fd, CEC_ADAP_G_LOG_ADDRS, &addresses) < 0) throw errnoMessage("Reading CEC logical addresses failed");
    // Whoever configured the adapter (the remote-control listener, say), its addresses are used.
    if (addresses.num_log_addrs != 0) return addresses;

    addresses = playbackClaim(sharedDefaults().productLabel);
    if (io.ioctl(fd, CEC_ADAP_S_LOG_ADDRS, &addresses) < 0) {
        throw errnoMessage("Claiming a CEC playback address failed");
    }
    return addresses;
}

cec_log_addrs claimCecPlaybackAddress(int fd) { return claimCecPlaybackAddress(systemCecIo(), fd); }

std::string cecSetPower(CecIo& io, bool on) {
    try {
        CecAdapter adapter = findCecAdapter(io);
        cec_log_addrs addresses = claimCecPlaybackAddress(io, adapter.fd);
        std::uint32_t mode = CEC_MODE_INITIATOR;
        if (io.ioctl(adapter.fd, CEC_S_MODE, &mode) < 0) throw errnoMessage("Enabling CEC initiator mode failed");

        const std::uint8_t la = addresses.log_addr[0];
        cec_msg msg{};
        msg.msg[0] = static_cast<std::uint8_t>(la << 4);
        if (on) {
            msg.len = 2;
            msg.msg[0] = static_cast<std::uint8_t>((la << 4) | tvAddress);
            msg.msg[1] = opImageViewOn;
            cecTransmit(io, adapter.fd, msg);

            std::uint16_t phys = 0xFFFF;
            if (io.ioctl(adapter.fd, CEC_ADAP_G_PHYS_ADDR, &phys) < 0) {
                throw errnoMessage("Reading CEC physical address failed");
            }
            msg = cec_msg{};
            msg.len = 4;
            msg.msg[0] = static_cast<std::uint8_t>((la << 4) | broadcastAddress);
            msg.msg[1] = opActiveSource;
            msg.msg[2] = static_cast<std::uint8_t>(phys >> 8);
            msg.msg[3] = static_cast<std::uint8_t>(phys & 0xFF);
            cecTransmit(io, adapter.fd, msg);
        } else {
            msg.len = 2;
            msg.msg[0] = static_cast<std::uint8_t>((la << 4) | tvAddress);
            msg.msg[1] = opStandby;
            cecTransmit(io, adapter.fd, msg);
        }
        return {};
    } catch (const std::exception& error) {
        return error.what();
    }
}

std::string cecSetPower(bool on) { return cecSetPower(systemCecIo(), on); }

}  // namespace lumetta
