#pragma once
// The scripted WebSocket server of websocket_test_server.py, run as a child process with a
// certificate from a throw-away CA:
//
//     WebSocketTestServer server;                    // 127.0.0.1, a free port, its own CA
//     ScopedEnvironmentVariable trust("SSL_CERT_FILE", server.caFile().string());
//     ... client connects to server.url("/ws?d=X") ...
//     server.waitFor("open");
//     server.command("text hello");                  // one line of the script
//     auto line = server.waitFor("message text");   // "message text 5 <sha256> hello"
//
// The script's commands and the event lines are documented at the top of the Python file.
// Events are kept in order; `waitFor` returns the first event after the last one it returned
// that starts with the prefix, so a test walks through them in order without missing any.
// The child is killed when the object goes (and when the test process dies).

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/test_tls.h"

namespace lumetta::testing {

class WebSocketTestServer {
public:
    struct Options {
        std::string address = "127.0.0.1";  // IPv4 or IPv6 literal to listen on
        // The CA that signs the certificate; none: the server makes its own.
        TestCertificateAuthority* authority = nullptr;
        // The names the certificate is issued for; empty: `address`.
        std::vector<std::string> names;
        CertificateValidity validity;
        // A certificate to serve as it is (another CA's, self-signed, ...).
        std::optional<TlsIdentity> identity;
        // Serve from the network namespace of this process (a LanHost's holder) instead of the
        // caller's.
        pid_t networkNamespaceOf = 0;
    };

    WebSocketTestServer();
    explicit WebSocketTestServer(Options options);
    ~WebSocketTestServer();
    WebSocketTestServer(const WebSocketTestServer&) = delete;
    WebSocketTestServer& operator=(const WebSocketTestServer&) = delete;

    std::uint16_t port() const { return port_; }
    // "127.0.0.1:40123" or "[::1]:40123".
    std::string hostPort() const;
    // "wss://" + hostPort() + path.
    std::string url(const std::string& path = "/") const;
    // The CA a client must trust.
    std::filesystem::path caFile() const;

    // Writes one script line.
    void command(const std::string& line);
    // The next event starting with `prefix` (see above), or nullopt after `timeoutMs`.
    std::optional<std::string> waitFor(const std::string& prefix, int timeoutMs = 5000);
    // Takes every event so far: later `waitFor` calls look only at what comes next.
    void skip();
    // Every event so far.
    std::vector<std::string> events() const;
    // Whether an event starting with `prefix` came at all (taken or not).
    bool saw(const std::string& prefix) const;

private:
    void readEvents(int fd);

    Options options_;
    std::unique_ptr<TestCertificateAuthority> ownAuthority_;
    TlsIdentity identity_;
    pid_t pid_ = -1;
    int input_ = -1;
    std::uint16_t port_ = 0;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> events_;
    std::size_t cursor_ = 0;
    bool ended_ = false;
};

}  // namespace lumetta::testing
