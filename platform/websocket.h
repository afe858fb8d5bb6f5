#pragma once
// WebSocket client connections over TLS, driven by the caller's libev loop.
//
//     WebSocketConnection* c = websocket(loop, "wss://service.example/ws?d=ID", 30, 0);
//     c->onOpen = ...; c->onError = ...; c->onClose = ...; c->onMessage = ...;
//     ... ev_run(loop, EVRUN_NOWAIT) again and again: the callbacks run inside it ...
//     c->send(c, text, length, 1);
//     c->close(c);
//     releaseWebSocket(c);
//
// A connection never blocks its thread: the host name is resolved on a worker thread, and
// everything else (connecting, TLS, the upgrade, reading and writing) happens on the loop, in
// a libwebsockets context of its own that uses the caller's loop (no listening socket, no
// signal watchers). Every call, and every callback, is on the loop's thread.
//
// The server's certificate is always verified, against the bundle named by SSL_CERT_FILE
// when that is set as well as the system's own authorities; a name is checked against the
// certificate's DNS names, an address literal against its IP addresses. No Origin, no
// subprotocol and no extension is offered.
//
// Creating a connection makes the whole process ignore SIGPIPE (libwebsockets does so when
// it creates its context); a write to a closed socket then fails instead of ending the
// process.
//
// Log lines, on standard error, begin with "[WEBSOCKET] ": the library's own errors and
// warnings, an incoming message dropped for its size, and an exception stopped at a callback.

#include <cstddef>
#include <cstdint>

struct ev_loop;

namespace lumetta {

namespace websocket_detail {
class Session;
}

struct WebSocketConnection;

// `onOpen`: the upgrade succeeded; `send` works from now on.
using WebSocketOpenCallback = void (*)(WebSocketConnection* connection);
// `onError` and `onClose` end the connection; `text` (never null) is valid during the call.
using WebSocketEndCallback = void (*)(WebSocketConnection* connection, int code, const char* text);
// A whole message (its frames joined); `bytes` is valid during the call and not
// NUL-terminated; `kind` is 1 for text, 2 for binary.
using WebSocketMessageCallback = void (*)(WebSocketConnection* connection, const char* bytes,
                                          std::uint32_t length, int kind);

inline constexpr int kWebSocketText = 1;
inline constexpr int kWebSocketBinary = 2;
// Largest message sent or received; a larger incoming message is dropped (one log line) and
// the connection stays.
inline constexpr std::uint32_t kWebSocketMessageLimit = 16u * 1024 * 1024;
// Bytes `send` may hold before the connection has written them.
inline constexpr std::size_t kWebSocketSendBufferLimit = 2 * std::size_t{kWebSocketMessageLimit};

// Codes of `onError` (`onClose` carries the server's own code, 1005 for a close frame without
// one, 1006 when the connection was lost without a close frame):
inline constexpr int kWebSocketFailed = 1006;           // no connection: resolution, refused, lost, timed out
inline constexpr int kWebSocketProtocolError = 1002;    // upgrade refused or malformed, forbidden frames
inline constexpr int kWebSocketInternalError = 1011;    // a callback threw, memory ran out
inline constexpr int kWebSocketTlsFailed = 1015;        // certificate refused, TLS handshake failed

// The connection record. The caller sets the four callbacks (any may stay null) and calls the
// two functions; `loop` and `session` belong to the layer.
struct WebSocketConnection {
    struct ev_loop* loop = nullptr;  // the loop given to `websocket`
    WebSocketOpenCallback onOpen = nullptr;
    // Failure before the connection opened, or a protocol failure after it; the text names the
    // cause (resolution, refused, the certificate check's reason, the HTTP status of a refused
    // upgrade, a time-out).
    WebSocketEndCallback onError = nullptr;
    // The server closed (its code and reason) or the connection dropped (1006).
    WebSocketEndCallback onClose = nullptr;
    WebSocketMessageCallback onMessage = nullptr;
    // Queues one message (copied) and returns 0; it is written when the socket takes it.
    // Negative when the connection is not open, for a null or empty message, one over
    // `kWebSocketMessageLimit`, a kind other than 1 or 2, or when the queue would pass
    // `kWebSocketSendBufferLimit`.
    int (*send)(WebSocketConnection* connection, const char* bytes, std::uint32_t length, int kind) = nullptr;
    // Ends the connection at once, at any time, even inside a callback: its context is
    // destroyed (after the callback returns, when called inside one) and no callback follows.
    void (*close)(WebSocketConnection* connection) = nullptr;
    websocket_detail::Session* session = nullptr;
};

// Starts a connection to `url` ("wss://host[:port]/path") on `loop`. The connection must open
// within `timeoutSeconds` (1 to 3600) plus a margin of five seconds, after which `onError`
// reports the time-out: a caller with its own time-out of `timeoutSeconds` sees its own first.
// A name with several addresses gives each, in the resolver's order, an equal share of
// `timeoutSeconds` (at least three seconds) to make its TCP connection before the next is tried.
// `options` must be 0. Returns null (with a log line) for a bad URL or argument, or when no
// context could be made. Callbacks come only from later runs of the loop.
WebSocketConnection* websocket(struct ev_loop* loop, const char* url, int timeoutSeconds, int options);

// Closes the connection when it is still open and frees the record. Null is ignored.
void releaseWebSocket(WebSocketConnection* connection);

}  // namespace lumetta
