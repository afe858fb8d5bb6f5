#include "support/websocket_server.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace lumetta::testing {
namespace {

// The system's Python, whatever comes first on PATH: it is the one with python3-websockets.
constexpr const char* kPython = "/usr/bin/python3";

std::string scriptPath() { return std::string(LUMETTA_SOURCE_DIR) + "/tests/support/websocket_test_server.py"; }

}  // namespace

WebSocketTestServer::WebSocketTestServer() : WebSocketTestServer(Options{}) {}

WebSocketTestServer::WebSocketTestServer(Options options) : options_(std::move(options)) {
    if (options_.identity) {
        identity_ = *options_.identity;
    } else {
        TestCertificateAuthority* authority = options_.authority;
        if (authority == nullptr) {
            ownAuthority_ = std::make_unique<TestCertificateAuthority>("lumetta websocket test CA");
            authority = ownAuthority_.get();
        }
        const std::vector<std::string> names = options_.names.empty() ? std::vector<std::string>{options_.address}
                                                                      : options_.names;
        identity_ = authority->issue(names, options_.validity);
    }

    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    const std::string script = scriptPath();
    const std::string cert = identity_.certificateFile.string();
    const std::string key = identity_.privateKeyFile.string();
    int networkNamespace = -1;
    if (options_.networkNamespaceOf > 0) {
        const std::string path = "/proc/" + std::to_string(options_.networkNamespaceOf) + "/ns/net";
        networkNamespace = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (networkNamespace < 0) throw std::runtime_error("cannot open " + path);
    }
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(126);
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        if (networkNamespace >= 0 && ::setns(networkNamespace, CLONE_NEWNET) != 0) ::_exit(126);
        // Sockets of the test process must not live on in the server (a connection the client
        // closed would stay open there).
        ::close_range(3, ~0U, 0);
        const char* argv[] = {kPython, script.c_str(), "--cert", cert.c_str(), "--key", key.c_str(),
                              "--address", options_.address.c_str(), nullptr};
        ::execv(kPython, const_cast<char* const*>(argv));
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    if (networkNamespace >= 0) ::close(networkNamespace);
    input_ = in[1];
    reader_ = std::thread([this, fd = out[0]] { readEvents(fd); });

    const std::optional<std::string> listening = waitFor("listening ", 15000);
    if (!listening) {
        throw std::runtime_error("the WebSocket test server did not start (" + script + ")");
    }
    port_ = static_cast<std::uint16_t>(std::stoi(listening->substr(10)));
}

WebSocketTestServer::~WebSocketTestServer() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    if (input_ >= 0) ::close(input_);
    if (reader_.joinable()) reader_.join();
}

void WebSocketTestServer::readEvents(int fd) {
    std::string pending;
    char buffer[65536];
    while (true) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        pending.append(buffer, static_cast<std::size_t>(n));
        std::size_t start = 0;
        std::size_t end;
        std::vector<std::string> lines;
        while ((end = pending.find('\n', start)) != std::string::npos) {
            lines.push_back(pending.substr(start, end - start));
            start = end + 1;
        }
        pending.erase(0, start);
        if (!lines.empty()) {
            {
                std::lock_guard lock(mutex_);
                for (std::string& line : lines) events_.push_back(std::move(line));
            }
            changed_.notify_all();
        }
    }
    ::close(fd);
    {
        std::lock_guard lock(mutex_);
        ended_ = true;
    }
    changed_.notify_all();
}

std::string WebSocketTestServer::hostPort() const {
    const bool v6 = options_.address.find(':') != std::string::npos;
    return (v6 ? "[" + options_.address + "]" : options_.address) + ":" + std::to_string(port_);
}

std::string WebSocketTestServer::url(const std::string& path) const { return "wss://" + hostPort() + path; }

std::filesystem::path WebSocketTestServer::caFile() const {
    if (ownAuthority_) return ownAuthority_->caFile();
    if (options_.authority != nullptr) return options_.authority->caFile();
    return {};
}

void WebSocketTestServer::command(const std::string& line) {
    const std::string text = line + "\n";
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(input_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error("the WebSocket test server is gone");
        done += static_cast<std::size_t>(n);
    }
}

std::optional<std::string> WebSocketTestServer::waitFor(const std::string& prefix, int timeoutMs) {
    std::unique_lock lock(mutex_);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::size_t scanned = cursor_;
    while (true) {
        for (; scanned < events_.size(); ++scanned) {
            if (events_[scanned].compare(0, prefix.size(), prefix) == 0) {
                cursor_ = scanned + 1;
                return events_[scanned];
            }
        }
        if (ended_) return std::nullopt;
        if (changed_.wait_until(lock, deadline) == std::cv_status::timeout && scanned == events_.size()) {
            return std::nullopt;
        }
    }
}

void WebSocketTestServer::skip() {
    std::lock_guard lock(mutex_);
    cursor_ = events_.size();
}

std::vector<std::string> WebSocketTestServer::events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

bool WebSocketTestServer::saw(const std::string& prefix) const {
    std::lock_guard lock(mutex_);
    for (const std::string& line : events_) {
        if (line.compare(0, prefix.size(), prefix) == 0) return true;
    }
    return false;
}

}  // namespace lumetta::testing
