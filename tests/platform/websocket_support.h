#pragma once
// Helpers of the WebSocket connection tests: a libev loop to drive, and a client that writes
// down every callback of its connection.

#include <ev.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/websocket.h"

namespace lumetta::testing {

class EventLoop {
public:
    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    struct ev_loop* get() const { return loop_; }
    // Runs the loop until `done` holds; false when `limit` passed first.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(10));
    void runFor(std::chrono::milliseconds time);
    // One pass of the loop that does not wait.
    void turn() { ev_run(loop_, EVRUN_NOWAIT); }

private:
    struct ev_loop* loop_;
    ev_timer tick_;  // wakes the loop often, so a wait never outlasts its limit by much
};

// One connection and what it reported, in order: "open", "error <code> <text>",
// "close <code> <text>", "message <kind> <length>" (the bytes in `messages`).
class TestClient {
public:
    TestClient(EventLoop& loop, const std::string& url, int timeoutSeconds = 30);
    ~TestClient();
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    WebSocketConnection* connection = nullptr;
    std::vector<std::string> events;
    std::vector<std::string> messages;

    // Called at the end of the matching callback (a test may close or throw there).
    std::function<void(TestClient&)> onOpen;
    std::function<void(TestClient&)> onMessage;
    std::function<void(TestClient&)> onEnd;

    bool opened() const;
    bool ended() const;
    // The last error or close event, empty while there is none.
    std::string ending() const;
    int send(const std::string& bytes, int kind = kWebSocketText);
    // close() and releaseWebSocket(), as the server link does.
    void closeAndRelease();

private:
    static TestClient& of(WebSocketConnection* connection);
    static void opened(WebSocketConnection* connection);
    static void failed(WebSocketConnection* connection, int code, const char* text);
    static void closed(WebSocketConnection* connection, int code, const char* text);
    static void received(WebSocketConnection* connection, const char* bytes, std::uint32_t length, int kind);
};

// A message of `size` bytes where byte i is 'a' + i % 26 (the test server's "pattern").
std::string patternBytes(std::size_t size);
std::string sha256Hex(const std::string& bytes);

}  // namespace lumetta::testing
