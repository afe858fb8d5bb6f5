#include "platform/host_resolution.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <thread>

namespace lumetta {

HostAddresses systemResolve(const std::string& host, std::uint16_t port) {
    HostAddresses result;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    // Only families this machine has an address of: a board without IPv6 gets no AAAA answers
    // to fail on first.
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    const int status = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    if (status != 0) {
        result.error = status == EAI_SYSTEM ? std::system_category().message(errno) : ::gai_strerror(status);
        return result;
    }
    for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
        char text[INET6_ADDRSTRLEN] = "";
        const void* address = nullptr;
        if (entry->ai_family == AF_INET) {
            address = &reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr;
        } else if (entry->ai_family == AF_INET6) {
            address = &reinterpret_cast<const sockaddr_in6*>(entry->ai_addr)->sin6_addr;
        } else {
            continue;
        }
        if (::inet_ntop(entry->ai_family, address, text, sizeof text) == nullptr) continue;
        bool seen = false;
        for (const std::string& known : result.addresses) seen = seen || known == text;
        if (!seen) result.addresses.emplace_back(text);
    }
    ::freeaddrinfo(list);
    if (result.addresses.empty()) result.error = "no usable address";
    return result;
}

std::shared_ptr<HostLookup> HostLookup::start(std::string host, std::uint16_t port, HostResolver resolver) {
    const int descriptor = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (descriptor < 0) throw std::system_error(errno, std::system_category(), "eventfd");
    std::shared_ptr<HostLookup> lookup(new HostLookup(descriptor));
    // The worker holds its own reference: the lookup outlives it whatever the loop does.
    std::thread([lookup, host = std::move(host), port, resolver = std::move(resolver)] {
        HostAddresses answer;
        try {
            answer = resolver(host, port);
        } catch (const std::exception& error) {
            answer = HostAddresses{{}, error.what()};
        } catch (...) {
            answer = HostAddresses{{}, "the resolver failed"};
        }
        lookup->finish(std::move(answer));
    }).detach();
    return lookup;
}

HostLookup::~HostLookup() {
    if (descriptor_ >= 0) ::close(descriptor_);
}

void HostLookup::finish(HostAddresses answer) {
    std::lock_guard lock(mutex_);
    answer_ = std::move(answer);
    finished_ = true;
    // Under the lock: once the loop has closed the descriptor its number may belong to another
    // file, which must not receive this wake-up.
    if (descriptor_ < 0) return;
    const std::uint64_t one = 1;
    const ssize_t written = ::write(descriptor_, &one, sizeof one);
    (void)written;  // an eventfd counter cannot overflow from one write
}

int HostLookup::descriptor() const {
    std::lock_guard lock(mutex_);
    return descriptor_;
}

void HostLookup::closeDescriptor() {
    std::lock_guard lock(mutex_);
    if (descriptor_ < 0) return;
    ::close(descriptor_);
    descriptor_ = -1;
}

bool HostLookup::finished() const {
    std::lock_guard lock(mutex_);
    return finished_;
}

HostAddresses HostLookup::answer() const {
    std::lock_guard lock(mutex_);
    return answer_;
}

}  // namespace lumetta
