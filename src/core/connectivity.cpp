#include "core/connectivity.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "core/palette.h"
#include "core/shared_defaults.h"

namespace lumetta {
namespace {

constexpr int connectTimeoutMs = 1000;

// Closes the descriptor on every path out of one attempt.
class SocketHolder {
public:
    explicit SocketHolder(int fd) : fd_(fd) {}
    ~SocketHolder() {
        if (fd_ >= 0) ::close(fd_);
    }
    SocketHolder(const SocketHolder&) = delete;
    SocketHolder& operator=(const SocketHolder&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

bool connectOne(const addrinfo& address) {
    SocketHolder socket(::socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC, address.ai_protocol));
    const int fd = socket.get();
    if (fd < 0) return false;
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return false;

    if (::connect(fd, address.ai_addr, address.ai_addrlen) == 0) return true;
    if (errno != EINPROGRESS) return false;

    pollfd waiting{fd, POLLOUT, 0};
    int ready;
    do {
        ready = ::poll(&waiting, 1, connectTimeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0) return false;
    int pending = 0;
    socklen_t length = sizeof(pending);
    return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length) == 0 && pending == 0;
}

}  // namespace

bool canConnectTcp(const char* host, const char* service) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* resolved = nullptr;
    if (::getaddrinfo(host, service, &hints, &resolved) != 0) return false;
    bool connected = false;
    for (const addrinfo* address = resolved; address != nullptr && !connected; address = address->ai_next) {
        connected = connectOne(*address);
    }
    ::freeaddrinfo(resolved);
    return connected;
}

ProbeTarget serviceProbeTarget(std::string_view serviceHost, std::string_view httpScheme) {
    ProbeTarget target{std::string(serviceHost), httpScheme == "https" ? "443" : "80"};
    const std::size_t first = serviceHost.find(':');
    if (first != std::string_view::npos && first == serviceHost.rfind(':')) {
        target.host = std::string(serviceHost.substr(0, first));
        target.port = std::string(serviceHost.substr(first + 1));
    }
    return target;
}

std::vector<ProbeTarget> publicProbeTargets() { return {{"1.1.1.1", "443"}, {"2606:4700:4700::1111", "443"}}; }

bool anyTargetReachable(const std::vector<ProbeTarget>& targets) {
    for (const ProbeTarget& target : targets) {
        if (canConnectTcp(target.host.c_str(), target.port.c_str())) return true;
    }
    return false;
}

bool hasInternetAccess() {
    std::vector<ProbeTarget> targets{serviceProbeTarget(sharedDefaults().serviceHost, sharedDefaults().httpScheme)};
    for (ProbeTarget& fallback : publicProbeTargets()) targets.push_back(std::move(fallback));
    return anyTargetReachable(targets);
}

}  // namespace lumetta
