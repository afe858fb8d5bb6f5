#include "platform/websocket.h"

#include <ev.h>
#include <libwebsockets.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iostream>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "core/log.h"
#include "platform/host_resolution.h"
#include "platform/websocket_messages.h"
#include "platform/websocket_url.h"

namespace lumetta {
namespace websocket_detail {
namespace {

constexpr std::string_view kTag = "[WEBSOCKET]";
// Our own time-out comes this long after the caller's, so the caller's fires first.
constexpr int kDeadlineMarginSeconds = 5;
// The library's time-outs are a backstop behind ours.
constexpr int kLibraryMarginSeconds = 10;
constexpr int kLongestTimeoutSeconds = 3600;
// A name with several addresses: each gets an equal share of the time-out to make its TCP
// connection, but never less than this, before the next one is tried. An address that drops
// the connection request silently (a black-holed IPv6 route, a dead record) costs its share,
// not the whole attempt.
constexpr int kShortestShareSeconds = 3;
// The library reads a message in pieces of at most this size.
constexpr std::size_t kReadPieceBytes = 64 * 1024;
// One write hands the socket as much of a frame as it takes; the library keeps the rest.
constexpr std::size_t kWritePacketBytes = kWebSocketMessageLimit + LWS_PRE + 16;

void logError(std::string_view message) {
    std::string text;
    text.reserve(message.size() + 1);
    text.append(" ").append(message);
    logLine(std::cerr, ansi::BOLD_RED, kTag, text);
}

// ---- The library's log -------------------------------------------------------------------
//
// libwebsockets reports only "Unable to connect" when a connection attempt fails; the reason
// (refused, unreachable) appears in one of its debug lines. While some connection is making
// its TCP connection, debug lines are switched on and that one is picked out; the others are
// dropped. Errors and warnings always become "[WEBSOCKET] " lines.

std::atomic<int> connectingCount{0};
thread_local int capturedConnectErrno = 0;

int parseNumberAfter(std::string_view text, std::string_view marker) {
    const std::size_t at = text.find(marker);
    if (at == std::string_view::npos) return 0;
    int value = 0;
    bool digits = false;
    for (std::size_t i = at + marker.size(); i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        digits = true;
        if (value > 100000) break;
    }
    return digits ? value : 0;
}

void emitLibraryLine(int level, const char* line) noexcept {
    try {
        if (line == nullptr) return;
        std::string_view text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
            text.remove_suffix(1);
        }
        if ((level & (LLL_ERR | LLL_WARN)) == 0) {
            // "getsockopt fd 6 says err 111" after a failed asynchronous connect, "connect says
            // errno: 101" after one that failed at once.
            int error = parseNumberAfter(text, "says err ");
            if (error == 0) error = parseNumberAfter(text, "connect says errno: ");
            if (error != 0 && error != EINPROGRESS && error != EALREADY && error != EWOULDBLOCK && error != EINTR) {
                capturedConnectErrno = error;
            }
            return;
        }
        if (!text.empty()) logError(text);
    } catch (...) {
        // Nothing may leave a C callback.
    }
}

void applyLogLevel() {
    lws_set_log_level(LLL_ERR | LLL_WARN | (connectingCount.load() > 0 ? LLL_DEBUG : 0), emitLibraryLine);
}

std::once_flag logSetUp;

std::string addressWithPort(const std::string& address, std::uint16_t port) {
    const bool v6 = address.find(':') != std::string::npos;
    return (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

std::string errnoText(int error) { return std::system_category().message(error); }

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool mentionsTls(std::string_view text) {
    return text.find("SSL") != std::string_view::npos || text.find("TLS") != std::string_view::npos ||
           text.find("tls") != std::string_view::npos;
}

// Whether the peer has gone: the stream ended or was reset. A socket that is merely idle (or
// still has bytes) is healthy.
bool socketLost(lws* wsi) {
    const int fd = static_cast<int>(lws_get_socket_fd(wsi));
    if (fd < 0) return true;
    char byte = 0;
    const ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) return false;
    return !(n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR));
}

bool socketConnected(lws* wsi) {
    if (wsi == nullptr) return false;
    const int fd = static_cast<int>(lws_get_socket_fd(wsi));
    if (fd < 0) return false;
    sockaddr_storage peer{};
    socklen_t size = sizeof peer;
    return ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) == 0;
}

int libraryCallback(lws* wsi, lws_callback_reasons reason, void* user, void* in, std::size_t length);

const lws_protocols kProtocols[] = {
    {"lumetta-websocket", libraryCallback, 0, kReadPieceBytes, 0, nullptr, kWritePacketBytes},
    {nullptr, nullptr, 0, 0, 0, nullptr, 0},
};

}  // namespace

class Session {
public:
    Session(struct ev_loop* loop, WebSocketUrl url, int timeoutSeconds)
        : loop_(loop), url_(std::move(url)), timeoutSeconds_(timeoutSeconds) {
        ev_io_init(&lookupWatcher_, &Session::onLookupReady, -1, EV_READ);
        lookupWatcher_.data = this;
        ev_timer_init(&startTimer_, &Session::onStartTimer, 0., 0.);
        startTimer_.data = this;
        ev_timer_init(&shareTimer_, &Session::onShareTimer, 0., 0.);
        shareTimer_.data = this;
        ev_timer_init(&deadline_, &Session::onDeadline, timeoutSeconds + kDeadlineMarginSeconds, 0.);
        deadline_.data = this;
        ev_check_init(&reaper_, &Session::onReaper);
        reaper_.data = this;
    }

    ~Session() { teardown(); }

    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Makes the library context and starts resolving; false when there is no context.
    bool begin(WebSocketConnection* record) {
        std::call_once(logSetUp, applyLogLevel);
        record_ = record;

        lws_context_creation_info info{};
        info.port = CONTEXT_PORT_NO_LISTEN;
        info.protocols = kProtocols;
        info.options = LWS_SERVER_OPTION_LIBEV | LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT;
        foreignLoops_[0] = loop_;
        info.foreign_loops = foreignLoops_;
        info.user = this;
        info.gid = -1;
        info.uid = -1;
        info.timeout_secs = static_cast<unsigned>(timeoutSeconds_ + kLibraryMarginSeconds);
        info.connect_timeout_secs = static_cast<unsigned>(timeoutSeconds_ + kLibraryMarginSeconds);
        tls_ = makeTlsContext();
        if (tls_ == nullptr) return false;
        info.provided_client_ssl_ctx = tls_;
        ++depth_;
        context_ = lws_create_context(&info);
        --depth_;
        if (context_ == nullptr) {
            logError("Could not create a connection context");
            return false;
        }

        if (url_.ipAddress) {
            addresses_.push_back(url_.host);
            ev_timer_start(loop_, &startTimer_);
        } else {
            lookup_ = HostLookup::start(url_.host, url_.port);
            ev_io_set(&lookupWatcher_, lookup_->descriptor(), EV_READ);
            ev_io_start(loop_, &lookupWatcher_);
        }
        // The loop's idea of the time is as old as its last turn, and the caller's loop may have
        // been idle for long: the deadline counts from now.
        ev_now_update(loop_);
        ev_timer_start(loop_, &deadline_);
        return true;
    }

    // ---- Calls from the record ----

    static int send(WebSocketConnection* record, const char* bytes, std::uint32_t length, int kind) {
        Session* self = record != nullptr ? record->session : nullptr;
        if (self == nullptr) return -1;
        return self->queue(bytes, length, kind);
    }

    static void close(WebSocketConnection* record) {
        Session* self = record != nullptr ? record->session : nullptr;
        if (self == nullptr) return;
        record->session = nullptr;
        self->record_ = nullptr;
        self->detached_ = true;
        self->stage_ = Stage::Ended;
        self->teardownPending_ = true;
        if (self->depth_ == 0) {
            self->settle();  // deletes the session
        } else {
            // Inside a callback: the library is on the stack. The context goes as soon as control
            // is back at the loop, before the loop's current run returns.
            ev_feed_event(self->loop_, &self->reaper_, EV_CUSTOM);
        }
    }

    // ---- The library's callback ----

    static int fromLibrary(lws* wsi, lws_callback_reasons reason, void* user, void* in, std::size_t length) noexcept {
        if (wsi == nullptr) return 0;
        lws_context* context = lws_get_context(wsi);
        Session* self = context != nullptr ? static_cast<Session*>(lws_context_user(context)) : nullptr;
        if (self == nullptr || self->destroying_) return 0;  // nothing reaches the caller during teardown
        ++self->depth_;
        int result = 0;
        try {
            result = self->onLibrary(wsi, reason, user, in, length);
        } catch (const std::exception& error) {
            result = self->internalFailure(error.what());
        } catch (...) {
            result = self->internalFailure("unknown exception");
        }
        --self->depth_;
        if (self->depth_ == 0 && (self->teardownPending_ || self->detached_)) {
            ev_feed_event(self->loop_, &self->reaper_, EV_CUSTOM);
        }
        return result;
    }

private:
    enum class Stage { Resolving, Connecting, Handshake, Upgrade, Open, Ended };

    struct OutgoingFrame {
        std::unique_ptr<unsigned char[]> bytes;  // LWS_PRE bytes for the library, then the payload
        std::size_t length = 0;
        int kind = kWebSocketText;
    };

    // ---- Loop watchers: entered from libev, never with the library on the stack ----

    template <typename Body>
    static void fromLoop(Session* self, Body&& body) noexcept {
        ++self->depth_;
        try {
            body();
        } catch (const std::exception& error) {
            self->internalFailure(error.what());
        } catch (...) {
            self->internalFailure("unknown exception");
        }
        --self->depth_;
        if (self->depth_ == 0) self->settle();  // may delete the session
    }

    static void onLookupReady(struct ev_loop*, ev_io* watcher, int) {
        auto* self = static_cast<Session*>(watcher->data);
        fromLoop(self, [self] { self->lookupFinished(); });
    }

    static void onStartTimer(struct ev_loop*, ev_timer* watcher, int) {
        auto* self = static_cast<Session*>(watcher->data);
        fromLoop(self, [self] { self->connectNext(); });
    }

    static void onShareTimer(struct ev_loop*, ev_timer* watcher, int) {
        auto* self = static_cast<Session*>(watcher->data);
        fromLoop(self, [self] { self->shareOver(); });
    }

    static void onDeadline(struct ev_loop*, ev_timer* watcher, int) {
        auto* self = static_cast<Session*>(watcher->data);
        fromLoop(self, [self] {
            if (self->stage_ != Stage::Open && self->stage_ != Stage::Ended) {
                self->fail(kWebSocketFailed, self->timeoutText());
            }
        });
    }

    static void onReaper(struct ev_loop*, ev_check* watcher, int) {
        auto* self = static_cast<Session*>(watcher->data);
        fromLoop(self, [] {});
    }

    // Destroys the context once it is no longer wanted, and the session once its record let
    // go; only with nothing of ours or the library's on the stack.
    void settle() {
        if (!teardownPending_ && !detached_) return;
        teardown();
        if (detached_) delete this;
    }

    // The client TLS context, made here rather than by the library: the library's own client
    // contexts are shared between its contexts and one of them is never freed once two
    // connections overlap. Peers are always verified: the system's authorities and, when
    // SSL_CERT_FILE names a bundle, that bundle.
    SSL_CTX* makeTlsContext() {
        SSL_CTX* tls = SSL_CTX_new(TLS_client_method());
        if (tls == nullptr) {
            logError("Could not create a TLS context");
            return nullptr;
        }
        SSL_CTX_set_min_proto_version(tls, TLS1_2_VERSION);
        SSL_CTX_set_verify(tls, SSL_VERIFY_PEER, nullptr);
        SSL_CTX_set_default_verify_paths(tls);
        ERR_clear_error();  // a system path that is missing is no failure
        const char* bundle = std::getenv("SSL_CERT_FILE");
        if (bundle != nullptr && *bundle != '\0' && SSL_CTX_load_verify_locations(tls, bundle, nullptr) != 1) {
            char reason[256] = "";
            ERR_error_string_n(ERR_get_error(), reason, sizeof reason);
            ERR_clear_error();
            logError(std::string("Could not load the CA bundle \"") + bundle + "\" named by SSL_CERT_FILE: " + reason);
            SSL_CTX_free(tls);
            return nullptr;
        }
        return tls;
    }

    void teardown() {
        teardownPending_ = false;
        ev_io_stop(loop_, &lookupWatcher_);
        ev_timer_stop(loop_, &startTimer_);
        ev_timer_stop(loop_, &shareTimer_);
        ev_timer_stop(loop_, &deadline_);
        ev_clear_pending(loop_, &reaper_);
        releaseLookup();  // a worker still resolving keeps the lookup alive by itself
        stopCapture();
        if (context_ != nullptr) {
            destroying_ = true;
            lws_context_destroy(context_);
            destroying_ = false;
            context_ = nullptr;
        }
        if (tls_ != nullptr) {
            SSL_CTX_free(tls_);
            tls_ = nullptr;
        }
        wsi_ = nullptr;
        outgoing_.clear();
        outgoingBytes_ = 0;
        incoming_ = MessageAssembler(kWebSocketMessageLimit);
    }

    // ---- Resolving and connecting ----

    // The watcher is stopped first, then the descriptor closed here on the loop's thread, and
    // only then is the lookup let go (the worker may hold the last reference).
    void releaseLookup() {
        ev_io_stop(loop_, &lookupWatcher_);
        if (lookup_) lookup_->closeDescriptor();
        lookup_.reset();
    }

    void lookupFinished() {
        ev_io_stop(loop_, &lookupWatcher_);
        if (!lookup_ || !lookup_->finished() || stage_ != Stage::Resolving) return;
        const HostAddresses answer = lookup_->answer();
        releaseLookup();
        if (!answer.error.empty()) {
            fail(kWebSocketFailed, "could not resolve " + url_.host + ": " + answer.error);
            return;
        }
        addresses_ = answer.addresses;
        connectNext();
    }

    void connectNext() {
        retryPending_ = false;
        ev_timer_stop(loop_, &shareTimer_);
        if (stage_ == Stage::Ended || context_ == nullptr) return;
        if (nextAddress_ >= addresses_.size()) {
            fail(kWebSocketFailed, connectFailureText());
            return;
        }
        currentAddress_ = addresses_[nextAddress_++];
        stage_ = Stage::Connecting;
        verifyError_.clear();
        startCapture();

        lws_client_connect_info connect{};
        connect.context = context_;
        connect.address = currentAddress_.c_str();
        connect.port = url_.port;
        connect.ssl_connection = LCCSCF_USE_SSL;
        connect.path = url_.path.c_str();
        connect.host = url_.authority.c_str();
        connect.origin = nullptr;
        connect.protocol = nullptr;
        connect.ietf_version_or_minus_one = -1;
        connect.local_protocol_name = kProtocols[0].name;
        connect.alpn = "http/1.1";
        connect.pwsi = &wsi_;
        attemptEnded_ = false;
        lws* created = lws_client_connect_via_info(&connect);
        if (created == nullptr && !attemptEnded_ && stage_ == Stage::Connecting) {
            connectFailed("the library could not start the connection");
            return;
        }
        if (!attemptEnded_ && stage_ == Stage::Connecting && nextAddress_ < addresses_.size()) {
            ev_timer_set(&shareTimer_, shareSeconds(), 0.);
            ev_timer_start(loop_, &shareTimer_);
        }
    }

    int shareSeconds() const {
        const int count = static_cast<int>(std::max<std::size_t>(1, addresses_.size()));
        return std::max(kShortestShareSeconds, timeoutSeconds_ / count);
    }

    // The address had its share without making its TCP connection: it is given up (closed
    // here, its callbacks ignored) and the next one is tried.
    void shareOver() {
        if (stage_ != Stage::Connecting || wsi_ == nullptr || socketConnected(wsi_)) return;
        lws* given_up = wsi_;
        abandoned_ = given_up;
        lws_set_timeout(given_up, PENDING_TIMEOUT_AWAITING_CONNECT_RESPONSE, LWS_TO_KILL_SYNC);
        abandoned_ = nullptr;
        if (wsi_ == given_up) wsi_ = nullptr;
        if (stage_ != Stage::Connecting) return;
        connectFailed("no answer within " + std::to_string(shareSeconds()) + " seconds");
    }

    // A failure before the TCP connection stood: the next address is tried, if any.
    void connectFailed(const std::string& cause) {
        attemptEnded_ = true;
        stopCapture();
        ev_timer_stop(loop_, &shareTimer_);
        connectFailures_.push_back(addressWithPort(currentAddress_, url_.port) + ": " + cause);
        if (nextAddress_ < addresses_.size()) {
            retryPending_ = true;
            ev_timer_set(&startTimer_, 0., 0.);
            ev_timer_start(loop_, &startTimer_);
            return;
        }
        fail(kWebSocketFailed, connectFailureText());
    }

    std::string connectFailureText() const {
        std::string text = "could not connect to ";
        if (!url_.ipAddress) text += url_.host + " at ";
        for (std::size_t i = 0; i < connectFailures_.size(); ++i) {
            if (i > 0) text += "; ";
            text += connectFailures_[i];
        }
        if (connectFailures_.empty()) text += addressWithPort(url_.host, url_.port);
        return text;
    }

    std::string timeoutText() const {
        std::string text = "timed out after " + std::to_string(timeoutSeconds_ + kDeadlineMarginSeconds) + " seconds ";
        switch (stage_) {
        case Stage::Resolving:
            return text + "while resolving " + url_.host;
        case Stage::Connecting:
            if (!socketConnected(wsi_)) return text + "while connecting to " + addressWithPort(currentAddress_, url_.port);
            [[fallthrough]];
        case Stage::Handshake:
            return text + "in the TLS handshake with " + url_.authority;
        default:
            return text + "waiting for the answer to the upgrade request from " + url_.authority;
        }
    }

    void startCapture() {
        capturedConnectErrno = 0;
        if (capturing_) return;
        capturing_ = true;
        ++connectingCount;
        applyLogLevel();
    }

    void stopCapture() {
        if (!capturing_) return;
        capturing_ = false;
        --connectingCount;
        applyLogLevel();
    }

    // ---- Callbacks into the record ----

    // Calls one of the record's callbacks; false when it threw (already logged).
    template <typename Call>
    bool deliver(Call&& call, std::string* what) {
        if (record_ == nullptr) return true;
        WebSocketConnection* record = record_;
        ++depth_;
        bool threw = false;
        try {
            call(record);
        } catch (const std::exception& error) {
            threw = true;
            *what = error.what();
        } catch (...) {
            threw = true;
            *what = "unknown exception";
        }
        --depth_;
        if (threw) logError("A connection callback threw (" + *what + "); ending the connection");
        return !threw;
    }

    // Ends the connection with `onError` (error) or `onClose`.
    void end(bool error, int code, const std::string& text) {
        if (stage_ == Stage::Ended) return;
        stage_ = Stage::Ended;
        ev_timer_stop(loop_, &deadline_);
        ev_timer_stop(loop_, &startTimer_);
        ev_timer_stop(loop_, &shareTimer_);
        stopCapture();
        outgoing_.clear();
        outgoingBytes_ = 0;
        teardownPending_ = true;
        std::string what;
        deliver(
            [&](WebSocketConnection* record) {
                const WebSocketEndCallback callback = error ? record->onError : record->onClose;
                if (callback != nullptr) callback(record, code, text.c_str());
            },
            &what);
    }

    void fail(int code, const std::string& text) { end(true, code, text); }

    int internalFailure(const std::string& what) {
        logError("Stopped an exception at the connection's callback: " + what);
        fail(kWebSocketInternalError, "internal error: " + what);
        return -1;
    }

    void opened() {
        std::string what;
        const bool ok = deliver(
            [](WebSocketConnection* record) {
                if (record->onOpen != nullptr) record->onOpen(record);
            },
            &what);
        if (!ok) fail(kWebSocketInternalError, "the open callback threw: " + what);
    }

    void received(std::string_view message, int kind) {
        std::string what;
        const bool ok = deliver(
            [&](WebSocketConnection* record) {
                if (record->onMessage != nullptr) {
                    record->onMessage(record, message.data(), static_cast<std::uint32_t>(message.size()), kind);
                }
            },
            &what);
        if (!ok) fail(kWebSocketInternalError, "the message callback threw: " + what);
    }

    // ---- Sending ----

    int queue(const char* bytes, std::uint32_t length, int kind) {
        if (stage_ != Stage::Open || wsi_ == nullptr) return -1;
        if (bytes == nullptr || length == 0 || length > kWebSocketMessageLimit) return -1;
        if (kind != kWebSocketText && kind != kWebSocketBinary) return -1;
        if (outgoingBytes_ + length > kWebSocketSendBufferLimit) return -1;
        OutgoingFrame frame;
        frame.bytes.reset(new (std::nothrow) unsigned char[LWS_PRE + length]);
        if (!frame.bytes) return -1;
        std::memcpy(frame.bytes.get() + LWS_PRE, bytes, length);
        frame.length = length;
        frame.kind = kind;
        try {
            outgoing_.push_back(std::move(frame));
        } catch (const std::bad_alloc&) {
            return -1;
        }
        outgoingBytes_ += length;
        lws_callback_on_writable(wsi_);
        return 0;
    }

    int writable(lws* wsi) {
        if (outgoing_.empty()) return 0;
        OutgoingFrame& frame = outgoing_.front();
        const int written = lws_write(wsi, frame.bytes.get() + LWS_PRE, frame.length,
                                      frame.kind == kWebSocketBinary ? LWS_WRITE_BINARY : LWS_WRITE_TEXT);
        const std::size_t length = frame.length;
        outgoing_.pop_front();
        outgoingBytes_ -= length;
        if (written < 0 || static_cast<std::size_t>(written) < length) {
            end(false, kWebSocketFailed, "connection lost while writing");
            return -1;
        }
        if (!outgoing_.empty()) lws_callback_on_writable(wsi);
        return 0;
    }

    // ---- What the library reports ----

    int verifyCertificate(X509_STORE_CTX* store, bool preverified) {
        stage_ = Stage::Handshake;
        stopCapture();  // the TCP connection stands
        ev_timer_stop(loop_, &shareTimer_);
        if (preverified || store == nullptr) return 0;
        const int error = X509_STORE_CTX_get_error(store);
        // The library checks an IPv6 literal as a host name (it cuts the Host header at its
        // first colon); check it against the certificate's IP addresses instead.
        if (url_.ipv6 && error == X509_V_ERR_HOSTNAME_MISMATCH && X509_STORE_CTX_get_error_depth(store) == 0) {
            X509* certificate = X509_STORE_CTX_get_current_cert(store);
            if (certificate != nullptr && X509_check_ip_asc(certificate, url_.host.c_str(), 0) == 1) {
                X509_STORE_CTX_set_error(store, X509_V_OK);
                return 0;
            }
        }
        if (verifyError_.empty()) verifyError_ = X509_verify_cert_error_string(error);
        return 0;
    }

    void connectionError(lws* wsi, std::string_view text) {
        if (stage_ == Stage::Ended) return;
        attemptEnded_ = true;
        const int connectErrno = capturedConnectErrno;
        capturedConnectErrno = 0;
        if (!verifyError_.empty()) {
            fail(kWebSocketTlsFailed, "the TLS certificate of " + url_.host + " was not accepted: " + verifyError_);
        } else if (startsWith(text, "HS: ws upgrade response not 101")) {
            const unsigned status = wsi != nullptr ? lws_http_client_http_response(wsi) : 0;
            fail(kWebSocketProtocolError, "the server refused the upgrade with HTTP status " + std::to_string(status));
        } else if (startsWith(text, "HS: Accept hash wrong")) {
            fail(kWebSocketProtocolError, "the server's upgrade answer has a wrong Sec-WebSocket-Accept key");
        } else if (startsWith(text, "HS:")) {
            fail(kWebSocketProtocolError, "the server's upgrade answer was refused: " + std::string(text.substr(3)));
        } else if (connectErrno != 0) {
            connectFailed(errnoText(connectErrno));
        } else if (stage_ == Stage::Connecting && !mentionsTls(text)) {
            connectFailed(text.empty() ? "the connection failed" : std::string(text));
        } else if (stage_ == Stage::Connecting || stage_ == Stage::Handshake) {
            fail(kWebSocketTlsFailed, "the TLS handshake with " + url_.authority + " failed: " + std::string(text));
        } else {
            fail(kWebSocketFailed, "the connection to " + url_.authority + " failed: " + std::string(text));
        }
    }

    void closedAfterOpen(lws* wsi) {
        if (stage_ != Stage::Open) return;
        if (peerClosed_) {
            end(false, peerCode_, peerReason_);
        } else if (socketLost(wsi)) {
            end(false, kWebSocketFailed, "connection lost");
        } else {
            // The library ended a healthy connection by itself: the server broke the protocol.
            fail(kWebSocketProtocolError, "the server sent a frame the WebSocket protocol forbids");
        }
    }

    int onLibrary(lws* wsi, lws_callback_reasons reason, void* user, void* in, std::size_t length) {
        if (reason == LWS_CALLBACK_OPENSSL_PERFORM_SERVER_CERT_VERIFICATION) {
            return verifyCertificate(static_cast<X509_STORE_CTX*>(user), length != 0);
        }
        if (wsi != nullptr && wsi == abandoned_) return 0;  // being closed after its share
        if (wsi != wsi_) return 0;  // the context's own helpers
        const int ended = stage_ == Stage::Ended ? -1 : 0;
        switch (reason) {
        case LWS_CALLBACK_CLIENT_CONNECTION_ERROR:
            connectionError(wsi, in != nullptr ? std::string_view(static_cast<const char*>(in), length)
                                               : std::string_view());
            return 0;
        case LWS_CALLBACK_CLIENT_APPEND_HANDSHAKE_HEADER:
            if (stage_ != Stage::Ended) stage_ = Stage::Upgrade;
            return ended;
        case LWS_CALLBACK_CLIENT_ESTABLISHED:
            if (stage_ == Stage::Ended) return -1;
            stage_ = Stage::Open;
            ev_timer_stop(loop_, &deadline_);
            opened();
            if (stage_ == Stage::Ended) return -1;
            if (!outgoing_.empty()) lws_callback_on_writable(wsi);
            return 0;
        case LWS_CALLBACK_CLIENT_RECEIVE: {
            if (stage_ != Stage::Open) return ended;
            MessagePiece piece;
            piece.data = static_cast<const char*>(in);
            piece.length = length;
            piece.first = lws_is_first_fragment(wsi) != 0;
            piece.frameRemaining = lws_remaining_packet_payload(wsi);
            piece.last = lws_is_final_fragment(wsi) != 0 && piece.frameRemaining == 0;
            piece.binary = lws_frame_is_binary(wsi) != 0;
            switch (incoming_.add(piece)) {
            case MessageAssembler::Step::Message:
                received(incoming_.message(), incoming_.kind());
                break;
            case MessageAssembler::Step::TooLarge:
                logError(std::string("Dropped an incoming ") + (piece.binary ? "binary" : "text") +
                         " message of more than " + std::to_string(kWebSocketMessageLimit) + " bytes");
                break;
            default:
                break;
            }
            return stage_ == Stage::Ended ? -1 : 0;
        }
        case LWS_CALLBACK_CLIENT_WRITEABLE:
            if (stage_ != Stage::Open) return ended;
            return writable(wsi);
        case LWS_CALLBACK_WS_PEER_INITIATED_CLOSE: {
            peerClosed_ = true;
            const auto* payload = static_cast<const unsigned char*>(in);
            if (payload != nullptr && length >= 2) {
                peerCode_ = (payload[0] << 8) | payload[1];
                peerReason_.assign(reinterpret_cast<const char*>(payload) + 2, length - 2);
            }
            return 0;  // the library answers with the same close frame
        }
        case LWS_CALLBACK_CLIENT_CLOSED:
            closedAfterOpen(wsi);
            return 0;
        case LWS_CALLBACK_CLOSED_CLIENT_HTTP:
            if (stage_ == Stage::Upgrade) {
                fail(kWebSocketFailed, "the server closed the connection without answering the upgrade request");
            }
            return 0;
        case LWS_CALLBACK_WSI_DESTROY:
            wsi_ = nullptr;
            stopCapture();
            // Whatever ended the connection without a report above ends it now.
            if (stage_ == Stage::Open) {
                end(false, kWebSocketFailed, "connection lost");
            } else if (stage_ != Stage::Ended && !retryPending_) {
                fail(kWebSocketFailed, "the connection to " + url_.authority + " ended before it opened");
            }
            return 0;
        default:
            return 0;
        }
    }

    struct ev_loop* const loop_;
    WebSocketConnection* record_ = nullptr;
    const WebSocketUrl url_;
    const int timeoutSeconds_;
    void* foreignLoops_[1] = {nullptr};
    SSL_CTX* tls_ = nullptr;

    Stage stage_ = Stage::Resolving;
    lws_context* context_ = nullptr;
    lws* wsi_ = nullptr;

    std::shared_ptr<HostLookup> lookup_;
    ev_io lookupWatcher_;
    ev_timer startTimer_;
    ev_timer shareTimer_;  // the current address's share of the time-out
    ev_timer deadline_;
    ev_check reaper_;

    std::vector<std::string> addresses_;
    std::size_t nextAddress_ = 0;
    std::string currentAddress_;
    std::vector<std::string> connectFailures_;
    bool retryPending_ = false;
    lws* abandoned_ = nullptr;  // the connection being closed after its share
    bool attemptEnded_ = false;
    bool capturing_ = false;
    std::string verifyError_;

    int depth_ = 0;               // calls of ours, the library's or the caller's on the stack
    bool teardownPending_ = false;
    bool detached_ = false;        // the record let go: the session goes with its context
    bool destroying_ = false;

    bool peerClosed_ = false;
    int peerCode_ = 1005;
    std::string peerReason_;
    MessageAssembler incoming_{kWebSocketMessageLimit};
    std::deque<OutgoingFrame> outgoing_;
    std::size_t outgoingBytes_ = 0;
};

namespace {

int libraryCallback(lws* wsi, lws_callback_reasons reason, void* user, void* in, std::size_t length) {
    return Session::fromLibrary(wsi, reason, user, in, length);
}

}  // namespace
}  // namespace websocket_detail

WebSocketConnection* websocket(struct ev_loop* loop, const char* url, int timeoutSeconds, int options) {
    using websocket_detail::logError;
    try {
        if (loop == nullptr || url == nullptr) {
            logError("Refusing a connection without a loop or a URL");
            return nullptr;
        }
        std::string why;
        std::optional<WebSocketUrl> parsed = parseWebSocketUrl(url, &why);
        if (!parsed) {
            logError("Refusing the URL \"" + std::string(url).substr(0, 200) + "\": " + why);
            return nullptr;
        }
        if (timeoutSeconds < 1 || timeoutSeconds > websocket_detail::kLongestTimeoutSeconds) {
            logError("Refusing a connection time-out of " + std::to_string(timeoutSeconds) + " seconds");
            return nullptr;
        }
        if (options != 0) {
            logError("Refusing unknown connection options " + std::to_string(options));
            return nullptr;
        }
        auto record = std::make_unique<WebSocketConnection>();
        record->loop = loop;
        record->send = &websocket_detail::Session::send;
        record->close = &websocket_detail::Session::close;
        auto session = std::make_unique<websocket_detail::Session>(loop, std::move(*parsed), timeoutSeconds);
        if (!session->begin(record.get())) return nullptr;
        record->session = session.release();
        return record.release();
    } catch (const std::exception& error) {
        logError(std::string("Could not start a connection: ") + error.what());
        return nullptr;
    }
}

void releaseWebSocket(WebSocketConnection* connection) {
    if (connection == nullptr) return;
    if (connection->session != nullptr) websocket_detail::Session::close(connection);
    delete connection;
}

}  // namespace lumetta
