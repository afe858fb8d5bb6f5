#include "websocket_support.h"

#include <openssl/evp.h>

#include <map>
#include <stdexcept>

namespace lumetta::testing {
namespace {

std::map<WebSocketConnection*, TestClient*>& clients() {
    static std::map<WebSocketConnection*, TestClient*> map;
    return map;
}

}  // namespace

EventLoop::EventLoop() : loop_(ev_loop_new(0)) {
    ev_timer_init(&tick_, [](struct ev_loop*, ev_timer*, int) {}, 0.02, 0.02);
    ev_timer_start(loop_, &tick_);
}

EventLoop::~EventLoop() {
    ev_timer_stop(loop_, &tick_);
    ev_loop_destroy(loop_);
}

bool EventLoop::runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        ev_run(loop_, EVRUN_ONCE);
    }
    return true;
}

void EventLoop::runFor(std::chrono::milliseconds time) {
    const auto end = std::chrono::steady_clock::now() + time;
    while (std::chrono::steady_clock::now() < end) ev_run(loop_, EVRUN_ONCE);
}

TestClient::TestClient(EventLoop& loop, const std::string& url, int timeoutSeconds)
    : connection(websocket(loop.get(), url.c_str(), timeoutSeconds, 0)) {
    if (connection == nullptr) return;
    clients()[connection] = this;
    connection->onOpen = &TestClient::opened;
    connection->onError = &TestClient::failed;
    connection->onClose = &TestClient::closed;
    connection->onMessage = &TestClient::received;
}

TestClient::~TestClient() { closeAndRelease(); }

void TestClient::closeAndRelease() {
    if (connection == nullptr) return;
    WebSocketConnection* c = connection;
    clients().erase(c);
    connection = nullptr;
    c->close(c);
    releaseWebSocket(c);
}

TestClient& TestClient::of(WebSocketConnection* connection) {
    const auto found = clients().find(connection);
    if (found == clients().end()) throw std::logic_error("a callback for a connection the test let go");
    return *found->second;
}

void TestClient::opened(WebSocketConnection* connection) {
    TestClient& self = of(connection);
    self.events.push_back("open");
    if (self.onOpen) self.onOpen(self);
}

void TestClient::failed(WebSocketConnection* connection, int code, const char* text) {
    TestClient& self = of(connection);
    self.events.push_back("error " + std::to_string(code) + " " + text);
    if (self.onEnd) self.onEnd(self);
}

void TestClient::closed(WebSocketConnection* connection, int code, const char* text) {
    TestClient& self = of(connection);
    self.events.push_back("close " + std::to_string(code) + " " + text);
    if (self.onEnd) self.onEnd(self);
}

void TestClient::received(WebSocketConnection* connection, const char* bytes, std::uint32_t length, int kind) {
    TestClient& self = of(connection);
    self.events.push_back("message " + std::to_string(kind) + " " + std::to_string(length));
    self.messages.emplace_back(bytes, length);
    if (self.onMessage) self.onMessage(self);
}

bool TestClient::opened() const {
    for (const std::string& event : events) {
        if (event == "open") return true;
    }
    return false;
}

bool TestClient::ended() const { return !ending().empty(); }

std::string TestClient::ending() const {
    for (auto it = events.rbegin(); it != events.rend(); ++it) {
        if (it->rfind("error ", 0) == 0 || it->rfind("close ", 0) == 0) return *it;
    }
    return {};
}

int TestClient::send(const std::string& bytes, int kind) {
    if (connection == nullptr) return -100;
    return connection->send(connection, bytes.data(), static_cast<std::uint32_t>(bytes.size()), kind);
}

std::string patternBytes(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + i % 26);
    return bytes;
}

std::string sha256Hex(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    static const char* hex = "0123456789abcdef";
    std::string text;
    for (unsigned i = 0; i < length; ++i) {
        text.push_back(hex[digest[i] >> 4]);
        text.push_back(hex[digest[i] & 15]);
    }
    return text;
}

}  // namespace lumetta::testing
