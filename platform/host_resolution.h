#pragma once
// Name resolution off the event loop's thread.
//
// The C library resolves with blocking calls that can take many seconds when the name server
// is silent, so each lookup runs on a detached worker thread. The loop learns of the answer
// through a file descriptor that becomes readable. The worker and the loop share the lookup
// (`HostLookup`) through shared ownership: whoever lets go last frees it, so a loop that
// gives up on a lookup (its connection was closed) leaves the worker nothing freed to touch
// when its late answer comes. The descriptor itself is the loop's: the loop closes it on its
// own thread, and the worker signals only while it is open. A worker stuck in the resolver cannot be stopped; it ends with
// the resolver's own time-out or with the process.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace lumetta {

// What a lookup found: numeric addresses ("192.0.2.1", "2001:db8::1") in the resolver's order
// of preference, or an error text (empty when it succeeded).
struct HostAddresses {
    std::vector<std::string> addresses;
    std::string error;
};

// The blocking resolver a lookup runs: the system's `getaddrinfo` by default.
using HostResolver = std::function<HostAddresses(const std::string& host, std::uint16_t port)>;
HostAddresses systemResolve(const std::string& host, std::uint16_t port);

class HostLookup {
public:
    // Starts resolving `host` on a worker thread. Throws std::system_error when no thread or
    // descriptor can be had.
    static std::shared_ptr<HostLookup> start(std::string host, std::uint16_t port,
                                             HostResolver resolver = systemResolve);
    ~HostLookup();
    HostLookup(const HostLookup&) = delete;
    HostLookup& operator=(const HostLookup&) = delete;

    // Readable (and stays so) once the answer is in; -1 once closed.
    int descriptor() const;
    bool finished() const;
    // The answer; empty addresses and error until `finished`.
    HostAddresses answer() const;

    // Closes the descriptor now, on the caller's thread; an answer that comes later is kept but
    // not signalled. The loop calls it once its watcher is stopped, before it lets go of the
    // lookup: left to the last owner, the close could happen on the worker's thread while the
    // loop's event backend still holds the descriptor (libev leaves a stopped descriptor in its
    // epoll set until it sees the descriptor closed).
    void closeDescriptor();

private:
    HostLookup(int descriptor) : descriptor_(descriptor) {}
    void finish(HostAddresses answer);

    mutable std::mutex mutex_;
    int descriptor_;  // guarded by mutex_
    bool finished_ = false;
    HostAddresses answer_;
};

}  // namespace lumetta
