#pragma once
// A scripted HTTP(S) server for tests: it listens on a loopback (or veth) address, answers each
// request from a per-path script, and keeps a log of every request it read.
//
//     TestHttpsServer server;                       // 127.0.0.1, a free port, TLS, its own CA
//     ScopedEnvironmentVariable trust("SSL_CERT_FILE", server.caFile().string());
//     server.respond("/devices/X/playlist/json", {.status = 200, .body = "{}"});
//     server.script("/images/a.png", {{.status = 500}, {.body = "png"}});   // 500 first, then 200
//     ... client fetches server.url("/images/a.png") ...
//     server.requests()   // method, target, path, query, headers, body of each request
//
// Every response carries "Connection: close" and the connection ends after it. A path without a
// script gets 404 with an empty body. A script's responses are played in order; its last one is
// repeated for every later request. A target is matched whole first (path and query), then by
// its path alone. Delays and stalls end early when the server is destroyed, so a test never waits
// for its own server to finish a scripted pause. Every member of the records below has a default,
// so designated initialisers name only what a test changes.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/test_tls.h"

namespace lumetta::testing {

struct ScriptedResponse {
    int status = 200;
    std::string body{};
    // Extra header lines, sent as given after the status line ("Location", "Content-Type", ...).
    std::vector<std::pair<std::string, std::string>> headers{};
    // When set, the body is streamed from this file instead of `body` (large bodies).
    std::filesystem::path bodyFile{};
    // Send "Content-Length" for the whole body (otherwise the end of the connection ends the body).
    bool contentLength = true;
    // Pause before the response head is sent.
    int delayMs = 0;
    // After this many body bytes, pause for `stallMs` before the rest.
    std::optional<std::size_t> stallAfter{};
    int stallMs = 0;
    // After this many body bytes the connection is cut (the head still announced the whole body).
    std::optional<std::size_t> closeAfter{};
    // Cut the connection as soon as the request has been read, without any response.
    bool closeWithoutResponse = false;
};

struct RecordedRequest {
    std::string method;
    std::string target;  // as sent: path and query
    std::string path;    // target up to "?"
    std::string query;   // after "?", empty without one
    std::string version;
    std::vector<std::pair<std::string, std::string>> headers;  // in order, names as sent
    std::string body;

    // The first header of that name (compared without letter case), or empty.
    std::string header(const std::string& name) const;
    bool hasHeader(const std::string& name) const;
};

class TestHttpsServer {
public:
    struct Options {
        std::string address = "127.0.0.1";  // IPv4 or IPv6 literal to bind
        std::uint16_t port = 0;              // 0: a free port
        bool tls = true;                     // false: plain HTTP
        // The CA that signs the server's certificate; none: the server makes its own.
        TestCertificateAuthority* authority = nullptr;
        // A certificate to serve instead of one signed for `address` (an untrusted server, say).
        std::optional<TlsIdentity> identity{};
    };

    using Handler = std::function<ScriptedResponse(const RecordedRequest&)>;

    TestHttpsServer();
    explicit TestHttpsServer(Options options);
    ~TestHttpsServer();
    TestHttpsServer(const TestHttpsServer&) = delete;
    TestHttpsServer& operator=(const TestHttpsServer&) = delete;

    // Replaces the script of `target` (a path, or a path with its query).
    void script(const std::string& target, std::vector<ScriptedResponse> responses);
    void respond(const std::string& target, ScriptedResponse response) { script(target, {std::move(response)}); }
    // Answers `target` by calling `handler` (on the connection's thread) for each request.
    void handle(const std::string& target, Handler handler);

    // "127.0.0.1:40123" ("[::1]:40123" for IPv6): what a client puts after "https://".
    std::string hostPort() const;
    std::uint16_t port() const { return port_; }
    // "https://" (or "http://") + hostPort() + target.
    std::string url(const std::string& target) const;
    // The CA a client must trust (empty for a plain server).
    std::filesystem::path caFile() const;

    // Every request read so far, in the order they were read.
    std::vector<RecordedRequest> requests() const;
    std::size_t requestCount() const;
    // Waits (real time) until at least `count` requests were read.
    bool waitForRequests(std::size_t count, int timeoutMs = 5000) const;
    // Connections accepted so far (a refused TLS handshake counts, without a request).
    std::size_t connectionCount() const;
    // Connections still open (served or not); waits until it is 0, e.g. after a client gave up.
    bool waitForIdle(int timeoutMs = 5000) const;

private:
    struct State;
    std::uint16_t port_ = 0;
    Options options_;
    std::unique_ptr<TestCertificateAuthority> ownAuthority_;
    std::shared_ptr<State> state_;
};

}  // namespace lumetta::testing
