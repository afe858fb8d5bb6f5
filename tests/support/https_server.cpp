#include "support/https_server.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace lumetta::testing {
namespace {

constexpr std::size_t maximumHeadBytes = 64 * 1024;
constexpr int idleLimitMs = 30'000;  // a client that sends nothing for this long is dropped

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string reasonPhrase(int status) {
    switch (status) {
        case 200: return "OK";
        case 204: return "No Content";
        case 206: return "Partial Content";
        case 301: return "Moved Permanently";
        case 302: return "Found";
        case 304: return "Not Modified";
        case 307: return "Temporary Redirect";
        case 400: return "Bad Request";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 416: return "Range Not Satisfiable";
        case 500: return "Internal Server Error";
        case 503: return "Service Unavailable";
        default: return "Status";
    }
}

// One accepted socket, with or without TLS. Every wait also watches the server's stop event.
class Channel {
public:
    Channel(int fd, int stopFd, SSL* ssl) : fd_(fd), stopFd_(stopFd), ssl_(ssl) {}
    ~Channel() {
        if (ssl_ != nullptr) SSL_free(ssl_);
        ::close(fd_);
    }
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    bool handshake() {
        if (ssl_ == nullptr) return true;
        return retry([&] { return SSL_accept(ssl_); });
    }

    // Bytes read (> 0), 0 at the end of the stream, -1 on an error or a stop.
    long readSome(char* buffer, std::size_t size) {
        if (ssl_ == nullptr) {
            for (;;) {
                const ssize_t n = ::recv(fd_, buffer, size, 0);
                if (n >= 0) return static_cast<long>(n);
                if (errno == EINTR) continue;
                if ((errno != EAGAIN && errno != EWOULDBLOCK) || !waitFor(POLLIN, idleLimitMs)) return -1;
            }
        }
        for (;;) {
            const int n = SSL_read(ssl_, buffer, static_cast<int>(std::min<std::size_t>(size, 1 << 20)));
            if (n > 0) return n;
            const int error = SSL_get_error(ssl_, n);
            if (error == SSL_ERROR_ZERO_RETURN) return 0;
            if (error == SSL_ERROR_WANT_READ) {
                if (!waitFor(POLLIN, idleLimitMs)) return -1;
            } else if (error == SSL_ERROR_WANT_WRITE) {
                if (!waitFor(POLLOUT, idleLimitMs)) return -1;
            } else {
                ERR_clear_error();
                return -1;
            }
        }
    }

    bool writeAll(const char* data, std::size_t size) {
        while (size > 0) {
            const std::size_t chunk = std::min<std::size_t>(size, 1 << 20);
            long written;
            if (ssl_ == nullptr) {
                const ssize_t n = ::send(fd_, data, chunk, MSG_NOSIGNAL);
                if (n < 0) {
                    if (errno == EINTR) continue;
                    if ((errno != EAGAIN && errno != EWOULDBLOCK) || !waitFor(POLLOUT, idleLimitMs)) return false;
                    continue;
                }
                written = n;
            } else {
                int n = 0;
                if (!retry([&] { return n = SSL_write(ssl_, data, static_cast<int>(chunk)); })) return false;
                written = n;
            }
            data += written;
            size -= static_cast<std::size_t>(written);
        }
        return true;
    }

    // A clean end: TLS close-notify, then the write side of the socket.
    void finish() {
        if (ssl_ != nullptr) (void)SSL_shutdown(ssl_);
        ::shutdown(fd_, SHUT_WR);
        // Let the client read the last bytes and close first, so it sees an orderly end.
        char scratch[256];
        for (int i = 0; i < 64; ++i) {
            if (!waitFor(POLLIN, 1000)) break;
            const ssize_t n = ::recv(fd_, scratch, sizeof scratch, 0);
            if (n <= 0 && !(n < 0 && (errno == EINTR || errno == EAGAIN))) break;
        }
    }

    // Sleeps up to `ms`; false when the server stops first.
    bool pause(int ms) {
        pollfd stop{stopFd_, POLLIN, 0};
        int ready;
        do {
            ready = ::poll(&stop, 1, ms);
        } while (ready < 0 && errno == EINTR);
        return ready == 0;
    }

private:
    // Runs a TLS call until it succeeds, waiting for the socket as OpenSSL asks.
    template <typename Call>
    bool retry(Call call) {
        for (;;) {
            const int result = call();
            if (result > 0) return true;
            const int error = SSL_get_error(ssl_, result);
            if (error == SSL_ERROR_WANT_READ) {
                if (!waitFor(POLLIN, idleLimitMs)) return false;
            } else if (error == SSL_ERROR_WANT_WRITE) {
                if (!waitFor(POLLOUT, idleLimitMs)) return false;
            } else {
                ERR_clear_error();
                return false;
            }
        }
    }

    bool waitFor(short events, int timeoutMs) {
        pollfd fds[2] = {{fd_, events, 0}, {stopFd_, POLLIN, 0}};
        int ready;
        do {
            ready = ::poll(fds, 2, timeoutMs);
        } while (ready < 0 && errno == EINTR);
        return ready > 0 && fds[1].revents == 0;
    }

    int fd_;
    int stopFd_;
    SSL* ssl_;
};

std::optional<RecordedRequest> parseHead(const std::string& head) {
    RecordedRequest request;
    std::size_t lineEnd = head.find("\r\n");
    const std::string requestLine = head.substr(0, lineEnd);
    const std::size_t firstSpace = requestLine.find(' ');
    const std::size_t secondSpace = requestLine.find(' ', firstSpace + 1);
    if (firstSpace == std::string::npos || secondSpace == std::string::npos) return std::nullopt;
    request.method = requestLine.substr(0, firstSpace);
    request.target = requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    request.version = requestLine.substr(secondSpace + 1);
    const std::size_t question = request.target.find('?');
    request.path = request.target.substr(0, question);
    if (question != std::string::npos) request.query = request.target.substr(question + 1);
    std::size_t position = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
    while (position < head.size()) {
        const std::size_t end = head.find("\r\n", position);
        const std::string line = head.substr(position, end - position);
        position = end == std::string::npos ? head.size() : end + 2;
        if (line.empty()) break;
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        request.headers.emplace_back(line.substr(0, colon), value);
    }
    return request;
}

}  // namespace

std::string RecordedRequest::header(const std::string& name) const {
    for (const auto& [key, value] : headers) {
        if (equalsIgnoringCase(key, name)) return value;
    }
    return {};
}

bool RecordedRequest::hasHeader(const std::string& name) const {
    return std::any_of(headers.begin(), headers.end(), [&](const auto& h) { return equalsIgnoringCase(h.first, name); });
}

struct TestHttpsServer::State {
    struct Script {
        std::vector<ScriptedResponse> responses;
        std::size_t next = 0;
        Handler handler;
    };

    int listenFd = -1;
    int stopFd = -1;
    SSL_CTX* context = nullptr;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::map<std::string, Script> scripts;
    std::vector<RecordedRequest> log;
    std::size_t connections = 0;
    std::size_t open = 0;
    std::vector<std::thread> workers;
    std::thread acceptor;

    ~State() {
        if (context != nullptr) SSL_CTX_free(context);
        if (listenFd >= 0) ::close(listenFd);
        if (stopFd >= 0) ::close(stopFd);
    }

    ScriptedResponse responseFor(const RecordedRequest& request) {
        Handler handler;
        {
            std::lock_guard lock(mutex);
            auto found = scripts.find(request.target);
            if (found == scripts.end()) found = scripts.find(request.path);
            if (found == scripts.end()) return ScriptedResponse{.status = 404};
            Script& script = found->second;
            if (!script.handler) {
                if (script.responses.empty()) return ScriptedResponse{.status = 404};
                const std::size_t index = std::min(script.next, script.responses.size() - 1);
                ++script.next;
                return script.responses[index];
            }
            handler = script.handler;
        }
        return handler(request);
    }

    void serve(int fd) {
        SSL* ssl = nullptr;
        if (context != nullptr) {
            ssl = SSL_new(context);
            if (ssl != nullptr) SSL_set_fd(ssl, fd);
        }
        {
            Channel channel(fd, stopFd, ssl);
            if ((context == nullptr || ssl != nullptr) && channel.handshake()) converse(channel);
        }
        std::lock_guard lock(mutex);
        --open;
        changed.notify_all();
    }

    void converse(Channel& channel) {
        std::string received;
        char buffer[16 * 1024];
        std::size_t headEnd;
        while ((headEnd = received.find("\r\n\r\n")) == std::string::npos) {
            if (received.size() > maximumHeadBytes) return;
            const long n = channel.readSome(buffer, sizeof buffer);
            if (n <= 0) return;
            received.append(buffer, static_cast<std::size_t>(n));
        }
        std::optional<RecordedRequest> request = parseHead(received.substr(0, headEnd + 2));
        if (!request) return;
        std::string body = received.substr(headEnd + 4);
        const std::string lengthText = request->header("Content-Length");
        const std::size_t length = lengthText.empty() ? 0 : std::stoul(lengthText);
        while (body.size() < length) {
            const long n = channel.readSome(buffer, sizeof buffer);
            if (n <= 0) return;
            body.append(buffer, static_cast<std::size_t>(n));
        }
        request->body = body.substr(0, length);
        {
            std::lock_guard lock(mutex);
            log.push_back(*request);
            changed.notify_all();
        }

        const ScriptedResponse response = responseFor(*request);
        if (response.closeWithoutResponse) return;
        if (response.delayMs > 0 && !channel.pause(response.delayMs)) return;

        std::ifstream file;
        std::size_t bodySize = response.body.size();
        if (!response.bodyFile.empty()) {
            file.open(response.bodyFile, std::ios::binary);
            if (!file) return;
            bodySize = static_cast<std::size_t>(std::filesystem::file_size(response.bodyFile));
        }
        std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " + reasonPhrase(response.status) + "\r\n";
        if (response.contentLength) head += "Content-Length: " + std::to_string(bodySize) + "\r\n";
        for (const auto& [name, value] : response.headers) head += name + ": " + value + "\r\n";
        head += "Connection: close\r\n\r\n";
        if (!channel.writeAll(head.data(), head.size())) return;
        if (request->method == "HEAD") {
            channel.finish();
            return;
        }

        // The body goes out in pieces up to the next scripted event: a stall, a cut or the end.
        const bool cut = response.closeAfter && *response.closeAfter < bodySize;
        const std::size_t end = cut ? *response.closeAfter : bodySize;
        // No stall (or one already made): the largest offset, never reached.
        std::size_t stallAt = response.stallAfter.value_or(std::numeric_limits<std::size_t>::max());
        std::size_t sent = 0;
        std::vector<char> chunk(64 * 1024);
        for (;;) {
            if (sent >= stallAt) {
                stallAt = std::numeric_limits<std::size_t>::max();
                if (!channel.pause(response.stallMs)) return;
            }
            if (sent >= end) break;
            std::size_t limit = end;
            limit = std::min(limit, stallAt);
            const std::size_t count = std::min(chunk.size(), limit - sent);
            if (file.is_open()) {
                file.read(chunk.data(), static_cast<std::streamsize>(count));
                if (static_cast<std::size_t>(file.gcount()) != count) return;
                if (!channel.writeAll(chunk.data(), count)) return;
            } else if (!channel.writeAll(response.body.data() + sent, count)) {
                return;
            }
            sent += count;
        }
        if (cut) return;  // the socket closes without a TLS close-notify
        channel.finish();
    }

    void acceptLoop() {
        for (;;) {
            pollfd fds[2] = {{listenFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents != 0) return;
            const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) continue;
            std::lock_guard lock(mutex);
            ++connections;
            ++open;
            workers.emplace_back([this, fd] { serve(fd); });
            changed.notify_all();
        }
    }
};

TestHttpsServer::TestHttpsServer() : TestHttpsServer(Options{}) {}

TestHttpsServer::TestHttpsServer(Options options) : options_(std::move(options)), state_(std::make_shared<State>()) {
    State& state = *state_;
    // A client that hangs up while a response is written must not end the test program.
    std::signal(SIGPIPE, SIG_IGN);
    if (options_.tls) {
        TlsIdentity identity;
        if (options_.identity) {
            identity = *options_.identity;
        } else {
            TestCertificateAuthority* authority = options_.authority;
            if (authority == nullptr) {
                ownAuthority_ = std::make_unique<TestCertificateAuthority>();
                authority = ownAuthority_.get();
            }
            identity = authority->issue({options_.address});
        }
        state.context = SSL_CTX_new(TLS_server_method());
        if (state.context == nullptr ||
            SSL_CTX_use_certificate_chain_file(state.context, identity.certificateFile.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(state.context, identity.privateKeyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
            throw std::runtime_error("test HTTPS server: cannot load its certificate");
        }
        SSL_CTX_set_mode(state.context, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    }

    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* address = nullptr;
    if (::getaddrinfo(options_.address.c_str(), std::to_string(options_.port).c_str(), &hints, &address) != 0) {
        throw std::runtime_error("test HTTPS server: not an address: " + options_.address);
    }
    state.listenFd = ::socket(address->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    ::setsockopt(state.listenFd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    const bool bound = state.listenFd >= 0 && ::bind(state.listenFd, address->ai_addr, address->ai_addrlen) == 0 &&
                       ::listen(state.listenFd, 64) == 0;
    ::freeaddrinfo(address);
    if (!bound) throw std::runtime_error(std::string("test HTTPS server: cannot listen: ") + std::strerror(errno));
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    ::getsockname(state.listenFd, reinterpret_cast<sockaddr*>(&local), &length);
    port_ = ntohs(local.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&local)->sin6_port
                                              : reinterpret_cast<sockaddr_in*>(&local)->sin_port);

    state.stopFd = ::eventfd(0, EFD_CLOEXEC);
    if (state.stopFd < 0) throw std::runtime_error("test HTTPS server: eventfd failed");
    state.acceptor = std::thread([&state] { state.acceptLoop(); });
}

TestHttpsServer::~TestHttpsServer() {
    const std::uint64_t one = 1;
    (void)::write(state_->stopFd, &one, sizeof one);
    state_->acceptor.join();
    std::vector<std::thread> workers;
    {
        std::lock_guard lock(state_->mutex);
        workers.swap(state_->workers);
    }
    for (std::thread& worker : workers) worker.join();
}

void TestHttpsServer::script(const std::string& target, std::vector<ScriptedResponse> responses) {
    std::lock_guard lock(state_->mutex);
    state_->scripts[target] = State::Script{std::move(responses), 0, nullptr};
}

void TestHttpsServer::handle(const std::string& target, Handler handler) {
    std::lock_guard lock(state_->mutex);
    state_->scripts[target] = State::Script{{}, 0, std::move(handler)};
}

std::string TestHttpsServer::hostPort() const {
    const bool v6 = options_.address.find(':') != std::string::npos;
    return (v6 ? "[" + options_.address + "]" : options_.address) + ":" + std::to_string(port_);
}

std::string TestHttpsServer::url(const std::string& target) const {
    return std::string(options_.tls ? "https://" : "http://") + hostPort() + target;
}

std::filesystem::path TestHttpsServer::caFile() const {
    if (!options_.tls) return {};
    if (options_.authority != nullptr) return options_.authority->caFile();
    if (ownAuthority_) return ownAuthority_->caFile();
    return {};
}

std::vector<RecordedRequest> TestHttpsServer::requests() const {
    std::lock_guard lock(state_->mutex);
    return state_->log;
}

std::size_t TestHttpsServer::requestCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->log.size();
}

bool TestHttpsServer::waitForRequests(std::size_t count, int timeoutMs) const {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                    [&] { return state_->log.size() >= count; });
}

std::size_t TestHttpsServer::connectionCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->connections;
}

bool TestHttpsServer::waitForIdle(int timeoutMs) const {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return state_->open == 0; });
}

}  // namespace lumetta::testing
