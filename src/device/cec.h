#pragma once
// HDMI-CEC over the kernel's CEC character devices: adapter discovery, the Playback address
// claim, acknowledged transmits and the television power command.
//
// Every operation opens the adapter for itself and closes it when it ends; nothing about the
// adapter is kept between operations. The device access goes through `CecIo`, so the same code
// runs over a scripted adapter in tests.

#include <linux/cec.h>
#include <sys/ioctl.h>
#include <poll.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace lumetta {

// The system calls that reach a CEC adapter. Failures return -1 with errno set.
class CecIo {
public:
    virtual ~CecIo() = default;
    // Paths of the entries of a directory; none when it cannot be read.
    virtual std::vector<std::filesystem::path> listDirectory(const std::filesystem::path& directory) = 0;
    virtual int open(const std::string& path, int flags) = 0;
    virtual int ioctl(int fd, unsigned long request, void* argument) = 0;
    virtual int poll(pollfd* descriptors, nfds_t count, int timeoutMs) = 0;
    virtual int close(int fd) = 0;
};

// The kernel's devices.
CecIo& systemCecIo();

// An open adapter descriptor, closed when the holder goes (fd -1: none).
struct CecAdapter {
    int fd = -1;
    CecIo* io = nullptr;

    CecAdapter() = default;
    CecAdapter(int descriptor, CecIo& owner) : fd(descriptor), io(&owner) {}
    CecAdapter(CecAdapter&& other) noexcept : fd(other.fd), io(other.io) { other.fd = -1; }
    CecAdapter& operator=(CecAdapter&& other) noexcept;
    CecAdapter(const CecAdapter&) = delete;
    CecAdapter& operator=(const CecAdapter&) = delete;
    ~CecAdapter();
};

// The runtime error of a failed system call: message + ": " + strerror(errno).
std::runtime_error errnoMessage(const std::string& message);

// The first "/dev/cec<digits>" (in path order) that opens and can transmit.
// Throws "No usable /dev/cec adapter found".
CecAdapter findCecAdapter(CecIo& io);
CecAdapter findCecAdapter();

// Sends one message (timeout set here) and returns once the adapter reports it acknowledged.
void cecTransmit(CecIo& io, int fd, cec_msg& msg);
void cecTransmit(int fd, cec_msg& msg);

// The Playback address request this device makes, its on-screen name cut to 14 characters.
cec_log_addrs playbackClaim(std::string_view osdName);

// The adapter's logical addresses; claims a Playback address first when it has none.
cec_log_addrs claimCecPlaybackAddress(CecIo& io, int fd);
cec_log_addrs claimCecPlaybackAddress(int fd);

// Television on (Image View On, then Active Source) or to standby. Returns the error text,
// empty on success; never lets an exception out.
std::string cecSetPower(CecIo& io, bool on);
std::string cecSetPower(bool on);

}  // namespace lumetta
