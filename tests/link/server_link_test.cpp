// The WebSocket thread against the scripted TLS WebSocket server on loopback: what it sends and
// in which order, what it does with the service's messages, its reconnection schedule (on the
// manual clock), the service's failures and bad input, the refusals of its start, what it clears
// when it ends, and its stop in every state.
#include <SDL3/SDL.h>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/percent_encoding.h"
#include "device/command.h"
#include "link/captured_log.h"
#include "link/reconnect_backoff.h"
#include "link/server_link.h"
#include "support/download_worker_stand_in.h"
#include "support/https_server.h"
#include "support/manual_clock.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"
#include "support/test_tls.h"
#include "support/websocket_server.h"

namespace lumetta {
namespace {

using namespace std::chrono_literals;
using testing::CapturedLog;
using testing::ManualClock;
using testing::ScopedEnvironmentVariable;
using testing::TempDir;
using testing::TestCertificateAuthority;
using testing::WebSocketTestServer;

// ---- The schedule on its own ----

TEST(ReconnectBackoff, DelaysDoubleToFiveMinutesAndAGoodConnectionStartsThemAgain) {
    struct Step {
        std::optional<std::int64_t> openForMs;  // none: never opened
        std::int64_t delayMs;
        const char* message;
    };
    const std::vector<Step> steps = {
        {std::nullopt, 5'000, " Connection attempt failed; retry 1 in 5 seconds"},
        {std::nullopt, 10'000, " Connection attempt failed; retry 2 in 10 seconds"},
        {std::nullopt, 20'000, " Connection attempt failed; retry 3 in 20 seconds"},
        {10'999, 40'000, " Connection attempt failed after 10 seconds; retry 4 in 40 seconds"},
        {std::nullopt, 80'000, " Connection attempt failed; retry 5 in 80 seconds"},
        {29'999, 160'000, " Connection attempt failed after 29 seconds; retry 6 in 160 seconds"},
        {std::nullopt, 300'000, " Connection attempt failed; retry 7 in 300 seconds"},
        {std::nullopt, 300'000, " Connection attempt failed; retry 8 in 300 seconds"},
        {30'000, 5'000, ""},  // good: a pause without a line, then the schedule from the start
        {-20, 5'000, " Connection attempt failed after 0 seconds; retry 1 in 5 seconds"},
        {31'000, 5'000, ""},
        {std::nullopt, 5'000, " Connection attempt failed; retry 1 in 5 seconds"},
    };
    ReconnectBackoff backoff;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE(i);
        const ReconnectBackoff::Wait wait = backoff.attemptEnded(steps[i].openForMs);
        EXPECT_EQ(wait.delayMs, steps[i].delayMs);
        EXPECT_EQ(wait.message, steps[i].message);
    }
    ReconnectBackoff notStarted;
    EXPECT_EQ(notStarted.connectionNotStarted().message, " Connection failed; retry 1 in 5 seconds");
    EXPECT_EQ(notStarted.connectionNotStarted().message, " Connection failed; retry 2 in 10 seconds");
}

TEST(ServiceUrl, TheDeviceIdIsEncodedOnlyWhereAUrlCannotCarryIt) {
    EXPECT_EQ(serviceUrl("service.test", "ABC123"), "wss://service.test/ws?d=ABC123");
    EXPECT_EQ(serviceUrl("127.0.0.1:8443", "1A2B 3C\r"), "wss://127.0.0.1:8443/ws?d=1A2B%203C%0D");
}

// ---- The thread against the scripted server ----

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

std::uint16_t closedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

std::string sha1Of(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha1(), nullptr);
    static constexpr char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < size; ++i) {
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 15];
    }
    return text;
}

// The text the test server reports for a text message it received (the message itself last).
std::string receivedText(const std::optional<std::string>& event) {
    if (!event) return "<nothing>";
    std::size_t at = 0;
    for (int field = 0; field < 4 && at != std::string::npos; ++field) at = event->find(' ', at + 1);
    return at == std::string::npos ? "" : event->substr(at + 1);
}

// The layer's send, refusing while `failing` is set: a connection that fails under the sender.
struct FlakySend {
    static inline std::atomic<bool> failing{false};
    static inline int (*real)(WebSocketConnection*, const char*, std::uint32_t, int) = nullptr;
    static int send(WebSocketConnection* connection, const char* bytes, std::uint32_t length, int kind) {
        if (failing) return -1;
        return real(connection, bytes, length, kind);
    }
};

WebSocketTestServer::Options serverOptions(TestCertificateAuthority& authority) {
    WebSocketTestServer::Options options;
    options.authority = &authority;
    return options;
}

class ServerLinkTest : public ::testing::Test {
protected:
    ServerLinkTest() {
        std::filesystem::create_directories(base / "lumetta");
        options.state = &state;
        options.running = &running;
        options.factoryResetRequested = &factoryReset;
        options.clock = &clock;
        options.serviceHost = server.hostPort();
        options.baseDirectory = base.str();
        options.queue = &queue;
        options.transition = &transition;
        options.mailbox = &mailbox;
        options.playlistLoad.queue = &downloads;
        options.playlistLoad.serviceHost = "127.0.0.1:" + std::to_string(closedPort());
        options.playlistLoad.internetAccess = [] { return true; };
        options.pushEvent = [this](std::uint32_t type, std::int32_t code) {
            const std::lock_guard lock(eventsMutex);
            events.emplace_back(type, code);
            return true;
        };
        options.connect = [](struct ev_loop* loop, const char* url, int timeout, int flags) {
            WebSocketConnection* connection = websocket(loop, url, timeout, flags);
            if (connection != nullptr) {
                FlakySend::real = connection->send;
                connection->send = &FlakySend::send;
            }
            return connection;
        };
        options.errors = &log;
        FlakySend::failing = false;
    }

    ~ServerLinkTest() override { stop(); }

    static CommandSeams deviceSeams() {
        CommandSeams seams;
        seams.model = "";
        seams.rebootAction = [] { return std::string(); };
        return seams;
    }

    void start(const std::string& id = "DEVICE1") {
        deviceId = id;
        ended = false;
        thread = std::thread([this] {
            result = webSocket(deviceId.data(), command, options);
            ended = true;
        });
    }

    // Clears the running flag and waits for the thread; the time it took (a 5 s ceiling: after
    // it, the thread is joined anyway and the time says so).
    std::chrono::milliseconds stop() {
        if (!thread.joinable()) return 0ms;
        const auto begin = std::chrono::steady_clock::now();
        running = false;
        // On the manual clock the thread may sleep in its back-off: the next 100 ms step of the
        // clock ends it.
        const bool manual = options.clock == &clock;
        if (manual) clock.advance(100);
        eventually([&] { return ended.load(); }, 5s);
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin);
        while (!ended) {
            clock.advance(100);
            std::this_thread::sleep_for(1ms);
        }
        thread.join();
        return took;
    }

    // Waits for the log line, then for the thread to sleep on the manual clock, then moves the
    // clock over the whole delay.
    void backOff(const std::string& line, std::int64_t delayMs) {
        ASSERT_TRUE(log.waitFor(line + "\n")) << log.text();
        ASSERT_TRUE(clock.waitForWaiters(1));
        clock.advance(delayMs);
    }

    int count(const std::string& needle) const {
        const std::string text = log.text();
        int n = 0;
        for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
        return n;
    }

    TestCertificateAuthority authority;
    WebSocketTestServer server{serverOptions(authority)};
    ScopedEnvironmentVariable trust{"SSL_CERT_FILE", authority.caFile().string()};
    TempDir base;
    ServerLinkState state;
    std::atomic<bool> running{true};
    std::atomic<bool> factoryReset{false};
    ManualClock clock;
    CapturedLog log;
    OutgoingMessageQueue queue{running};
    PendingTransition transition{running, log};
    PlaylistJobMailbox mailbox;
    ThreadSafeQueue downloads;
    Command command{deviceSeams()};
    std::mutex eventsMutex;
    std::vector<std::pair<std::uint32_t, std::int32_t>> events;
    ServerLinkOptions options;

    std::string deviceId;
    std::thread thread;
    std::atomic<bool> ended{false};
    std::atomic<int> result{-2};
};

constexpr const char* transitionReport = R"({"type":"transition","data":{"slide":"3","uptime":"12"}})";

TEST_F(ServerLinkTest, SendsWhatWaitedInOrderAndHandsTheServicesMessagesOn) {
    server.command("mode hold");
    queue.append(R"({"data":{"a":1},"type":"device"})");
    queue.append(R"({"data":{"b":2},"type":"status"})");
    ASSERT_TRUE(transition.store(transitionReport));
    start("dev 1\r");

    // The id reaches the request line percent-encoded; a plain id stays as it is.
    ASSERT_TRUE(server.waitFor("request GET /ws?d=dev%201%0D"));
    ASSERT_TRUE(server.waitFor("open"));
    EXPECT_EQ(receivedText(server.waitFor("message text")),
              R"({"data":{"slide":"3","uptime":"12"},"sequence":1,"type":"transition"})");
    EXPECT_EQ(receivedText(server.waitFor("message text")), R"({"data":{"a":1},"type":"device"})");
    EXPECT_EQ(receivedText(server.waitFor("message text")), R"({"data":{"b":2},"type":"status"})");
    EXPECT_TRUE(eventually([&] { return queue.size() == 0; }));
    EXPECT_TRUE(state.linkOpen);
    EXPECT_TRUE(state.everConnected);
    EXPECT_FALSE(takeReconnected(state)) << "the first connection is no reconnection";

    server.command(R"(text {"type":"bindCode","data":{"code":"K9","qrCode":"cXI=","url":"https://pair.test"}})");
    server.command(R"(text {"type":"groupUpdate","data":{"groupId":"lobby"}})");
    EXPECT_TRUE(eventually([&] {
        const std::lock_guard lock(eventsMutex);
        return !events.empty();
    }));
    {
        const auto lock = lockWebSocketState();
        EXPECT_EQ(state.bindCode, "K9");
        EXPECT_EQ(state.bindUrl, "https://pair.test");
    }
    EXPECT_EQ(events.front().first, groupChangedEvent);

    // A frame queued while the link is up goes out within a turn or two.
    queue.append(R"({"data":{"id":"x"},"type":"updatePlaylist"})");
    EXPECT_EQ(receivedText(server.waitFor("message text")), R"({"data":{"id":"x"},"type":"updatePlaylist"})");
    EXPECT_LT(stop(), 5s);
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(state.threadRunning);
    EXPECT_FALSE(state.linkOpen);
}

TEST_F(ServerLinkTest, ReconnectsOnTheScheduleAndSendsTheLatestTransitionOnEveryConnection) {
    server.command("mode hold");
    ASSERT_TRUE(transition.store(transitionReport));
    start();
    ASSERT_TRUE(server.waitFor("open"));
    const std::string sent = receivedText(server.waitFor("message text"));
    EXPECT_NE(sent.find(R"("sequence":1)"), std::string::npos) << sent;

    // Dropped after 10 s: a failure, with its duration.
    clock.advance(10'000);
    server.command("drop");
    backOff("[WEBSOCKET] Connection attempt failed after 10 seconds; retry 1 in 5 seconds", 5'000);
    ASSERT_TRUE(server.waitFor("open"));
    EXPECT_EQ(receivedText(server.waitFor("message text")), sent) << "the same report, again";
    EXPECT_TRUE(takeReconnected(state));
    EXPECT_FALSE(takeReconnected(state));

    // Closed after 31 s: a good connection, a 5 s pause without a line, the schedule reset.
    clock.advance(31'000);
    server.command("close 1000 bye");
    ASSERT_TRUE(log.waitFor("[WEBSOCKET] Close: 1000 bye\n")) << log.text();
    ASSERT_TRUE(clock.waitForWaiters(1));
    clock.advance(4'900);
    ASSERT_TRUE(clock.waitForWaiters(1)) << "still pausing after 4.9 s";
    clock.advance(100);
    ASSERT_TRUE(server.waitFor("open"));
    EXPECT_EQ(count("retry"), 1);

    // The next failures count from 1 and 5 s again; a refused upgrade is one of them.
    server.command("mode refuse 403");
    server.command("drop");
    backOff("[WEBSOCKET] Connection attempt failed after 0 seconds; retry 1 in 5 seconds", 5'000);
    ASSERT_TRUE(log.waitFor("[WEBSOCKET] Error: 1002 the server refused the upgrade with HTTP status 403\n"))
        << log.text();
    server.command("mode hold");
    backOff("[WEBSOCKET] Connection attempt failed; retry 2 in 10 seconds", 10'000);
    ASSERT_TRUE(server.waitFor("open"));
    EXPECT_EQ(receivedText(server.waitFor("message text")), sent);
    EXPECT_TRUE(eventually([&] { return state.linkOpen.load(); }));
}

TEST_F(ServerLinkTest, AnUnreachableServiceIsRetriedForeverAndTheStopCutsTheLongestWaitShort) {
    options.serviceHost = "127.0.0.1:" + std::to_string(closedPort());
    start();
    const int delays[] = {5, 10, 20, 40, 80, 160, 300, 300};
    for (int i = 0; i < 8; ++i) {
        backOff("[WEBSOCKET] Connection attempt failed; retry " + std::to_string(i + 1) + " in " +
                    std::to_string(delays[i]) + " seconds",
                i < 7 ? delays[i] * 1000 : 0);
        if (HasFatalFailure()) return;
    }
    // In the second 300 s wait: the stop is seen at the next 100 ms step of the clock.
    running = false;
    clock.advance(100);
    EXPECT_TRUE(eventually([&] { return ended.load(); }, 5s));
    EXPECT_EQ(count("[WEBSOCKET] Error: 1006 "), 8);
    EXPECT_EQ(result, 0);
}

TEST_F(ServerLinkTest, AUrlTheLayerRefusesIsRetriedLikeAnyFailure) {
    options.serviceHost = "bad host";
    start();
    backOff("[WEBSOCKET] Connection failed; retry 1 in 5 seconds", 5'000);
    backOff("[WEBSOCKET] Connection failed; retry 2 in 10 seconds", 0);
}

TEST_F(ServerLinkTest, NoEventLoopOrAThrowingConnectIsAFailedAttemptAndTheLinkTriesAgain) {
    server.command("mode hold");
    // The first loop cannot be made (descriptors used up for a moment), the first connect of a
    // made loop throws; each is a failed attempt on the usual schedule, then the link opens.
    std::atomic<int> loopsAsked{0};
    options.makeLoop = [&loopsAsked]() -> struct ev_loop* {
        if (loopsAsked++ == 0) return nullptr;
        return newEventLoop();
    };
    auto connect = options.connect;
    std::atomic<int> connectsAsked{0};
    options.connect = [connect, &connectsAsked](struct ev_loop* loop, const char* url, int timeout, int flags) {
        if (connectsAsked++ == 0) throw std::runtime_error("no memory for the session");
        return connect(loop, url, timeout, flags);
    };
    start();
    ASSERT_TRUE(log.waitFor("[WEBSOCKET] Failed to create event loop\n")) << log.text();
    backOff("[WEBSOCKET] Connection attempt failed; retry 1 in 5 seconds", 4'900);
    EXPECT_EQ(loopsAsked, 1) << "no new attempt before the back-off is over";
    clock.advance(100);
    ASSERT_TRUE(
        log.waitFor("[WEBSOCKET] Connection attempt stopped by an unexpected failure: no memory for the session\n"))
        << log.text();
    backOff("[WEBSOCKET] Connection attempt failed; retry 2 in 10 seconds", 10'000);
    ASSERT_TRUE(server.waitFor("open"));
    EXPECT_TRUE(eventually([&] { return state.linkOpen.load(); }));
    EXPECT_FALSE(ended);
    EXPECT_LT(stop(), 5s);
    EXPECT_EQ(result, 0);
}

TEST_F(ServerLinkTest, AnUpgradeNeverAnsweredIsGivenUpAfterThirtySeconds) {
    server.command("mode silent-upgrade");
    queue.append(R"({"data":{},"type":"device"})");
    start();
    ASSERT_TRUE(server.waitFor("request GET"));
    clock.advance(29'999);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(count("timed out"), 0);
    clock.advance(1);
    backOff("[WEBSOCKET] Connection attempt failed; retry 1 in 5 seconds", 0);
    EXPECT_EQ(count("[WEBSOCKET] Connection attempt timed out after 30 seconds; reconnecting\n"), 1);
    server.command("mode hold");
    clock.advance(5'000);
    ASSERT_TRUE(server.waitFor("open"));
    EXPECT_EQ(receivedText(server.waitFor("message text")), R"({"data":{},"type":"device"})");
}

TEST_F(ServerLinkTest, TheCertificateIsChecked) {
    TestCertificateAuthority other;
    ::setenv("SSL_CERT_FILE", other.caFile().c_str(), 1);
    ASSERT_TRUE(transition.store(transitionReport));
    queue.append(R"({"data":{},"type":"device"})");
    start();
    backOff("[WEBSOCKET] Connection attempt failed; retry 1 in 5 seconds", 0);
    EXPECT_EQ(count("[WEBSOCKET] Error: 1015 the TLS certificate of 127.0.0.1 was not accepted: "), 1) << log.text();
    EXPECT_EQ(queue.size(), 1u);

    // Trusted again: the link comes back with what waited.
    ::setenv("SSL_CERT_FILE", authority.caFile().c_str(), 1);
    server.command("mode hold");
    clock.advance(5'000);
    ASSERT_TRUE(server.waitFor("open"));
    EXPECT_NE(receivedText(server.waitFor("message text")).find("transition"), std::string::npos);
    EXPECT_EQ(receivedText(server.waitFor("message text")), R"({"data":{},"type":"device"})");
    EXPECT_LT(stop(), 5s);

    // A certificate for another name.
    options.serviceHost = "localhost:" + std::to_string(server.port());
    running = true;
    start();
    backOff("[WEBSOCKET] Connection attempt failed; retry 1 in 5 seconds", 0);
    EXPECT_EQ(count("was not accepted: "), 2) << log.text();
}

TEST_F(ServerLinkTest, BadInputFromTheServiceGetsOneLineEachAndTheLinkStays) {
    server.command("mode hold");
    start();
    ASSERT_TRUE(server.waitFor("open"));
    const std::vector<std::string> script = {
        "text not json",
        "text [1]",
        "text {}",
        R"(text {"type":"Name","data":"x"})",
        R"(text {"type":"orientation","data":"90"})",
        R"(text {"type":"bindCode","data":{"code":{"a":1}}})",
        "text " + std::string(2000, '[') + std::string(2000, ']'),
        "binary 7b2274797065223a22626f6f74227d",
        "pattern text 16777217",
        R"(fragments text {"type":"bindCode" ping ,"data":{"code":"F1"}})",
    };
    for (const std::string& line : script) server.command(line);
    std::string burst;
    for (int i = 0; i < 10'000; ++i) {
        burst += R"(text {"type":"bindCode","data":{"code":")" + std::to_string(i) + "\"}}\n";
    }
    burst += "mark sent";
    server.command(burst);
    ASSERT_TRUE(server.waitFor("mark sent", 60'000));
    ASSERT_TRUE(eventually(
        [&] {
            const auto lock = lockWebSocketState();
            return state.bindCode == "9999";
        },
        30s));
    const std::vector<std::string> expected = {
        "[WEBSOCKET] Invalid JSON structure: * Line 1, Column 1",
        "  Syntax error: value, object or array expected.",
        "[WEBSOCKET] JSON root is not an object",
        "[WEBSOCKET] Missing or invalid type field",
        "[WEBSOCKET] Ignoring unknown message type: Name",
        "[WEBSOCKET] orientation has no valid integer data",
        "[WEBSOCKET] Ignoring bindCode message: \"code\" is an object",
        "[WEBSOCKET] Invalid JSON structure: Exceeded stackLimit in readValue().",
    };
    std::vector<std::string> lines;
    std::istringstream in(log.text());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    EXPECT_EQ(lines, expected);
    EXPECT_FALSE(server.saw("closed"));
    const std::vector<std::string> serverEvents = server.events();
    EXPECT_EQ(std::count(serverEvents.begin(), serverEvents.end(), "open"), 1) << "no reconnection";
    EXPECT_TRUE(state.linkOpen);
    queue.append(R"({"data":{},"type":"device"})");
    EXPECT_EQ(receivedText(server.waitFor("message text")), R"({"data":{},"type":"device"})");
}

TEST_F(ServerLinkTest, AFailedSendKeepsTheReportAndTheFrameForTheNextConnection) {
    server.command("mode hold");
    start();
    ASSERT_TRUE(server.waitFor("open"));

    FlakySend::failing = true;
    ASSERT_TRUE(transition.store(transitionReport));
    backOff("[WEBSOCKET] Connection attempt failed after 0 seconds; retry 1 in 5 seconds", 0);
    EXPECT_EQ(count("[WEBSOCKET] Failed to send transition; reconnecting\n"), 1);
    ASSERT_TRUE(transition.unsent().has_value());
    FlakySend::failing = false;
    clock.advance(5'000);
    ASSERT_TRUE(server.waitFor("open"));
    EXPECT_NE(receivedText(server.waitFor("message text")).find("transition"), std::string::npos);
    EXPECT_TRUE(eventually([&] { return !transition.unsent().has_value(); }));

    FlakySend::failing = true;
    queue.append(R"({"data":{"n":1},"type":"device"})");
    queue.append(R"({"data":{"n":2},"type":"device"})");
    backOff("[WEBSOCKET] Connection attempt failed after 0 seconds; retry 2 in 10 seconds", 0);
    EXPECT_EQ(count("[WEBSOCKET] Failed to send queued message; reconnecting\n"), 1);
    EXPECT_EQ(queue.copyOldest(), R"({"data":{"n":1},"type":"device"})");
    EXPECT_EQ(queue.size(), 2u);
    FlakySend::failing = false;
    clock.advance(10'000);
    ASSERT_TRUE(server.waitFor("open"));
    EXPECT_NE(receivedText(server.waitFor("message text")).find("transition"), std::string::npos);
    EXPECT_EQ(receivedText(server.waitFor("message text")), R"({"data":{"n":1},"type":"device"})");
    EXPECT_EQ(receivedText(server.waitFor("message text")), R"({"data":{"n":2},"type":"device"})");
}

TEST_F(ServerLinkTest, ASecondStartIsRefusedAndLeavesTheRunningThreadAlone) {
    server.command("mode hold");
    start();
    ASSERT_TRUE(server.waitFor("open"));
    ASSERT_TRUE(eventually([&] { return state.linkOpen.load(); }));
    EXPECT_EQ(webSocket(nullptr, command, options), -1);
    EXPECT_TRUE(log.waitFor("[WEBSOCKET] Invalid data pointer\n"));
    std::string other = "OTHER";
    EXPECT_EQ(webSocket(other.data(), command, options), -1);
    EXPECT_TRUE(log.waitFor("[WEBSOCKET] WebSocket thread is already running\n"));
    EXPECT_TRUE(state.threadRunning);
    EXPECT_TRUE(state.linkOpen);
    queue.append(R"({"data":{},"type":"device"})");
    EXPECT_EQ(receivedText(server.waitFor("message text")), R"({"data":{},"type":"device"})");
    EXPECT_FALSE(server.saw("disconnected"));
    EXPECT_LT(stop(), 5s);
    EXPECT_FALSE(state.threadRunning);

    // Once it ended, the link may start again; its first connection is no reconnection.
    running = true;
    start();
    ASSERT_TRUE(server.waitFor("open"));
    EXPECT_TRUE(eventually([&] { return state.everConnected.load(); }));
    EXPECT_FALSE(takeReconnected(state));
}

TEST_F(ServerLinkTest, TheEndOfTheThreadClearsWhatOthersWouldWaitFor) {
    server.command("mode hold");
    start();
    ASSERT_TRUE(server.waitFor("open"));
    const std::int64_t later = clock.systemMs() + 60'000;
    server.command(R"(text {"type":"availablePlaylists","data":{"playlists":[{"name":"A","id":"1"}]}})");
    server.command(R"(text {"type":"emergency","data":{"expiresAt":)" + std::to_string(later) +
                   R"(,"message":"Leave the building"}})");
    ASSERT_TRUE(eventually([&] {
        const auto lock = lockWebSocketState();
        return state.waitingEmergencyUpdate.has_value() && !state.availablePlaylists.empty();
    }));
    {
        const auto lock = lockWebSocketState();
        state.pendingPlaylistRequest = {"M", "aa", 7};
        state.requestedPlaylistName = "M";
    }
    EXPECT_LT(stop(), 5s);
    const auto lock = lockWebSocketState();
    EXPECT_FALSE(state.waitingEmergencyUpdate.has_value());
    EXPECT_TRUE(state.availablePlaylists.empty());
    EXPECT_EQ(state.pendingPlaylistRequest.name, "");
    EXPECT_EQ(state.pendingPlaylistRequest.sha1, "");
    EXPECT_EQ(state.pendingPlaylistRequest.activateAt, 7);
    EXPECT_EQ(state.requestedPlaylistName, "");
}

TEST_F(ServerLinkTest, AFactoryResetEndsTheThreadByItself) {
    server.command("mode hold");
    start();
    ASSERT_TRUE(server.waitFor("open"));
    server.command(R"(text {"type":"factoryReset"})");
    ASSERT_TRUE(eventually([&] { return ended.load(); }, 5s));
    EXPECT_TRUE(factoryReset);
    EXPECT_FALSE(running);
    EXPECT_EQ(events, (std::vector<std::pair<std::uint32_t, std::int32_t>>{{SDL_EVENT_QUIT, 0}}));
    EXPECT_TRUE(server.waitFor("disconnected"));
}

TEST_F(ServerLinkTest, APlaylistRequestTravelsFromTheServiceToTheHandOver) {
    testing::TestHttpsServer service({.authority = &authority});
    options.playlistLoad.serviceHost = service.hostPort();
    const std::string media = "bytes of the morning video";
    Json::Value document;
    document["account"] = "acme";
    document["branch"] = "main";
    document["playlist"] = "Morning";
    Json::Value layer;
    layer["x"] = 0;
    layer["y"] = 0;
    layer["width"] = 1920;
    layer["height"] = 1080;
    layer["video"]["file"] = "morning.mp4";
    layer["video"]["sha1"] = sha1Of(media);
    Json::Value slide;
    slide["id"] = "s1";
    slide["width"] = 1920;
    slide["height"] = 1080;
    slide["duration"] = 10;
    slide["layers"].append(layer);
    document["slides"].append(slide);
    std::ostringstream text;
    text << document;
    service.respond("/devices/DEVICE1/playlist/json?playlistId=p1", {.body = text.str()});
    service.respond("/videos/morning.mp4", {.body = media});
    testing::StandInDownloadWorkers workers(downloads);

    server.command("mode hold");
    start();
    ASSERT_TRUE(server.waitFor("open"));
    server.command(R"(text {"type":"playlist","data":{"name":"Morning","sha1":"abc","id":"p1"}})");
    PlaylistUpdate update;
    ASSERT_TRUE(eventually(
        [&] {
            update = takePlaylistUpdate(state);
            return update.playlist != nullptr;
        },
        20s))
        << log.text();
    EXPECT_EQ(update.kind, PlaylistUpdateKind::normal);
    EXPECT_EQ(update.playlist->name(), "Morning");
    EXPECT_TRUE(std::filesystem::exists(base / "lumetta" / "playing.json"));
    EXPECT_EQ(requestedPlaylistName(state), "");
}

// ---- A stop in every state ends the thread within a second (5 s ceiling; figures in bench/) ----

TEST_F(ServerLinkTest, TheStopEndsTheThreadSoonInEveryState) {
    options.clock = &systemClock();
    struct State {
        const char* name;
        std::function<void()> prepare;
        std::function<bool()> reached;
    };
    testing::TestHttpsServer service({.authority = &authority});
    service.respond("/devices/DEVICE1/playlist/json?playlistId=slow", {.body = "{}", .delayMs = 60'000});
    const std::vector<State> states = {
        {"connecting", [&] { server.command("mode silent-tcp"); }, [&] { return server.waitFor("connection").has_value(); }},
        {"waiting for the upgrade", [&] { server.command("mode silent-upgrade"); },
         [&] { return server.waitFor("request GET").has_value(); }},
        {"open", [&] { server.command("mode hold"); }, [&] { return server.waitFor("open").has_value(); }},
        {"backing off",
         [&] { options.serviceHost = "127.0.0.1:" + std::to_string(closedPort()); },
         [&] { return log.waitFor("retry 1 in 5 seconds"); }},
        {"building a playlist",
         [&] {
             options.serviceHost = server.hostPort();
             options.playlistLoad.serviceHost = service.hostPort();
             server.command("mode hold");
         },
         [&] {
             if (!server.waitFor("open")) return false;
             server.command(R"(text {"type":"playlist","data":{"name":"Slow","sha1":"abc","id":"slow"}})");
             return service.waitForRequests(1);
         }},
    };
    for (const State& s : states) {
        SCOPED_TRACE(s.name);
        running = true;
        s.prepare();
        start();
        ASSERT_TRUE(s.reached()) << log.text();
        const auto took = stop();
        EXPECT_LT(took, 5s);
        EXPECT_EQ(result, 0);
        server.skip();
    }
}

// Name resolution goes to a name server that never answers: /etc/resolv.conf is the system's, so
// this part runs in a child with private mount and network namespaces.
class SilentNameServer {
public:
    SilentNameServer() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(53);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            throw std::runtime_error("cannot bind 127.0.0.1:53");
        }
    }
    ~SilentNameServer() { ::close(fd_); }

private:
    int fd_;
};

TEST_F(ServerLinkTest, DISABLED_TheStopEndsTheThreadWhileItResolves) {
    if (std::getenv("LUMETTA_LINK_RESOLVING") == nullptr) GTEST_SKIP() << "runs inside the namespaces test";
    SilentNameServer silent;
    options.clock = &systemClock();
    options.serviceHost = "silent.test:" + std::to_string(server.port());
    start();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(count("[WEBSOCKET]"), 0) << log.text();
    EXPECT_LT(stop(), 5s);
    EXPECT_EQ(result, 0);
}

TEST(ServerLinkResolving, TheStopEndsTheThreadWhileItResolves) {
    if (::geteuid() != 0) GTEST_SKIP() << "private mount namespaces need root";
    TempDir directory;
    const auto hosts = testing::writeTestFile(directory / "hosts", "127.0.0.1 localhost\n");
    const auto resolver =
        testing::writeTestFile(directory / "resolv.conf", "nameserver 127.0.0.1\noptions timeout:5 attempts:1\n");
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    const std::string script =
        "ip link set lo up && mount --bind \"$1\" /etc/hosts && mount --bind \"$2\" /etc/resolv.conf && "
        "exec \"$3\" --gtest_also_run_disabled_tests --gtest_filter=ServerLinkTest.DISABLED_TheStopEndsTheThreadWhileItResolves";
    testing::ProcessOptions options;
    options.environment["LUMETTA_LINK_RESOLVING"] = "1";
    const testing::ProcessResult result = testing::runProcess(
        {"unshare", "--mount", "--net", "--", "sh", "-c", script, "sh", hosts.string(), resolver.string(), self}, options);
    EXPECT_EQ(result.exitStatus, 0) << result.out << result.err;
    EXPECT_NE(result.out.find("[  PASSED  ] 1 test."), std::string::npos) << result.out << result.err;
}

}  // namespace
}  // namespace lumetta
