// The WebSocket thread against the tests' scripted echo server on loopback (TLS, throw-away CA).
//
// Round trips: a frame is queued, the thread sends it, the server echoes it, and the thread's
// message handler takes it (an emergency "clear", whose handler wakes the player loop through an
// event the benchmark catches). Three ways to turn the loop:
//   - Polled: a turn that does not wait, then a 10 ms sleep;
//   - BoundedWait: one turn that waits for the sockets at most 10 ms (the thread's default);
//   - LayerAlone: the layer's loop turned without pauses on the benchmark's thread, the handler
//     called from its message callback: the cost of the connection and the handler themselves.
// Counters: median_us and p90_us of the single round trips.
//
// Service restart: the connection of a long-lived link drops and the service refuses upgrades
// for 1 s, 20 s or 70 s; the thread runs on a manual clock that the benchmark moves on whenever
// the thread sleeps, so the time from the drop to the link open again (open_after_s) is the
// back-off schedule's own figure, beside the value computed from the schedule (schedule_s).
//
// Stop: the wall time from clearing the running flag to the end of the thread, in each state.

#include <benchmark/benchmark.h>
#include <ev.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "device/command.h"
#include "link/reconnect_backoff.h"
#include "link/server_link.h"
#include "link/server_messages.h"
#include "platform/websocket.h"
#include "support/https_server.h"
#include "support/manual_clock.h"
#include "support/temp_dir.h"
#include "support/test_tls.h"
#include "support/websocket_server.h"

namespace {

using namespace lumetta;
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

constexpr std::int64_t kMiB = 1024 * 1024;

// A frame of `size` bytes whose handler wakes the loop: {"type":"emergency","data":{"clear":true,"pad":"..."}}.
std::string echoFrame(std::size_t size) {
    const std::string head = R"({"type":"emergency","data":{"clear":true,"pad":")";
    const std::string tail = R"("}})";
    if (size < head.size() + tail.size()) throw std::invalid_argument("frame too small");
    return head + std::string(size - head.size() - tail.size(), 'x') + tail;
}

void reportLatencies(benchmark::State& state, std::vector<double>& micros) {
    if (micros.empty()) return;
    std::sort(micros.begin(), micros.end());
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["p90_us"] = micros[micros.size() * 9 / 10];
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = SteadyClock::now() + limit;
    while (!done()) {
        if (SteadyClock::now() >= deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

CommandSeams quietDevice() {
    CommandSeams seams;
    seams.model = "";
    seams.rebootAction = [] { return std::string(); };
    return seams;
}

// Counts the wake-ups the handler sends; a waiter blocks until the next one.
class Wakeups {
public:
    bool push() {
        {
            const std::lock_guard lock(mutex_);
            ++count_;
        }
        changed_.notify_all();
        return true;
    }
    std::uint64_t count() {
        const std::lock_guard lock(mutex_);
        return count_;
    }
    bool waitBeyond(std::uint64_t seen, std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return count_ > seen; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t count_ = 0;
};

// One link thread with state of its own.
struct Link {
    explicit Link(const std::string& serviceHost, Clock& clock = systemClock()) {
        std::filesystem::create_directories(base / "lumetta");
        options.state = &state;
        options.running = &running;
        options.factoryResetRequested = &reset;
        options.clock = &clock;
        options.serviceHost = serviceHost;
        options.baseDirectory = base.str();
        options.queue = &queue;
        options.transition = &transition;
        options.mailbox = &mailbox;
        options.playlistLoad.queue = &downloads;
        options.playlistLoad.internetAccess = [] { return true; };
        options.pushEvent = [this](std::uint32_t, std::int32_t) { return wakeups.push(); };
        options.errors = &log;
    }
    ~Link() { stop(); }

    void start() {
        thread = std::thread([this] {
            webSocket(deviceId.data(), command, options);
            ended = true;
        });
    }
    // Wall time from the stop to the end of the thread.
    double stop(const std::function<void()>& whileWaiting = {}) {
        if (!thread.joinable()) return 0;
        const auto begin = SteadyClock::now();
        running = false;
        while (!ended) {
            if (whileWaiting) whileWaiting();
            std::this_thread::sleep_for(100us);
        }
        const double ms = std::chrono::duration<double, std::milli>(SteadyClock::now() - begin).count();
        thread.join();
        return ms;
    }

    testing::TempDir base;
    ServerLinkState state;
    std::atomic<bool> running{true};
    std::atomic<bool> reset{false};
    std::atomic<bool> ended{false};
    OutgoingMessageQueue queue{running};
    std::ostringstream transitionLog;
    PendingTransition transition{running, transitionLog};
    PlaylistJobMailbox mailbox;
    ThreadSafeQueue downloads;
    Command command{quietDevice()};
    Wakeups wakeups;
    std::ostringstream log;
    ServerLinkOptions options;
    std::string deviceId = "BENCH";
    std::thread thread;
};

struct Service {
    testing::TestCertificateAuthority authority;
    testing::WebSocketTestServer server{[this] {
        testing::WebSocketTestServer::Options options;
        options.authority = &authority;
        return options;
    }()};
    testing::ScopedEnvironmentVariable trust{"SSL_CERT_FILE", authority.caFile().string()};
};

Service& echoService() {
    static Service service;
    return service;
}

// ---- Round trips ----

void roundTrips(benchmark::State& state, LinkPolling polling) {
    try {
        Service& service = echoService();
        service.server.command("mode echo");
        Link link(service.server.hostPort());
        link.options.polling = polling;
        link.start();
        if (!waitUntil([&] { return link.state.linkOpen.load(); }, 10s)) throw std::runtime_error("no connection");
        const std::string frame = echoFrame(static_cast<std::size_t>(state.range(0)));
        std::vector<double> micros;
        for (auto _ : state) {
            const std::uint64_t seen = link.wakeups.count();
            const auto start = SteadyClock::now();
            link.queue.append(frame);
            if (!link.wakeups.waitBeyond(seen, 60s)) throw std::runtime_error("no echo");
            micros.push_back(std::chrono::duration<double, std::micro>(SteadyClock::now() - start).count());
        }
        state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 2 * state.range(0));
        reportLatencies(state, micros);
    } catch (const std::exception& error) {
        state.SkipWithError(error.what());
    }
}

void BM_ServerLinkEchoPolled(benchmark::State& state) { roundTrips(state, LinkPolling::sleep); }
void BM_ServerLinkEchoBoundedWait(benchmark::State& state) { roundTrips(state, LinkPolling::boundedWait); }

// The layer on this thread, its loop turned without pauses, the handler in its message callback.
void BM_ServerLinkEchoLayerAlone(benchmark::State& state) {
    try {
        Service& service = echoService();
        service.server.command("mode echo");
        Link link(service.server.hostPort());  // not started: its state and fakes serve the handler
        ServerMessageContext context;
        context.state = &link.state;
        context.running = &link.running;
        context.factoryResetRequested = &link.reset;
        context.baseDirectory = link.base.str();
        context.command = &link.command;
        context.mailbox = &link.mailbox;
        context.pushEvent = [&](std::uint32_t, std::int32_t) { return link.wakeups.push(); };
        context.errors = &link.log;
        ScopedServerMessageContext scope(context);

        struct ev_loop* loop = ev_loop_new(0);
        const std::string url = serviceUrl(service.server.hostPort(), "BENCH");
        WebSocketConnection* connection = websocket(loop, url.c_str(), 30, 0);
        if (connection == nullptr) throw std::runtime_error("no connection");
        static std::atomic<bool> open;
        open = false;
        connection->onOpen = [](WebSocketConnection*) { open = true; };
        connection->onMessage = &handleServerMessage;
        const auto limit = SteadyClock::now() + 10s;
        while (!open && SteadyClock::now() < limit) ev_run(loop, EVRUN_NOWAIT);
        if (!open) throw std::runtime_error("the connection did not open");

        const std::string frame = echoFrame(static_cast<std::size_t>(state.range(0)));
        std::vector<double> micros;
        for (auto _ : state) {
            const std::uint64_t seen = link.wakeups.count();
            const auto start = SteadyClock::now();
            if (connection->send(connection, frame.data(), static_cast<std::uint32_t>(frame.size()), 1) != 0) {
                throw std::runtime_error("send refused");
            }
            while (link.wakeups.count() == seen) ev_run(loop, EVRUN_NOWAIT);
            micros.push_back(std::chrono::duration<double, std::micro>(SteadyClock::now() - start).count());
        }
        connection->close(connection);
        releaseWebSocket(connection);
        ev_loop_destroy(loop);
        state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 2 * state.range(0));
        reportLatencies(state, micros);
    } catch (const std::exception& error) {
        state.SkipWithError(error.what());
    }
}

BENCHMARK(BM_ServerLinkEchoPolled)->Arg(64)->Unit(benchmark::kMillisecond)->Iterations(100);
BENCHMARK(BM_ServerLinkEchoBoundedWait)->Arg(64)->Unit(benchmark::kMicrosecond)->MinTime(2.0);
BENCHMARK(BM_ServerLinkEchoLayerAlone)->Arg(64)->Unit(benchmark::kMicrosecond)->MinTime(2.0);
BENCHMARK(BM_ServerLinkEchoPolled)->Arg(kMiB)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_ServerLinkEchoBoundedWait)->Arg(kMiB)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_ServerLinkEchoLayerAlone)->Arg(kMiB)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_ServerLinkEchoPolled)->Arg(16 * kMiB)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_ServerLinkEchoBoundedWait)->Arg(16 * kMiB)->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK(BM_ServerLinkEchoLayerAlone)->Arg(16 * kMiB)->Unit(benchmark::kMillisecond)->Iterations(4);

// What an idle open link costs: the process's CPU time over two seconds of a quiet connection.
void BM_ServerLinkIdleOpen(benchmark::State& state) {
    try {
        Service& service = echoService();
        service.server.command("mode echo");
        Link link(service.server.hostPort());
        link.options.polling = state.range(0) == 0 ? LinkPolling::sleep : LinkPolling::boundedWait;
        state.SetLabel(state.range(0) == 0 ? "polled" : "bounded wait");
        link.start();
        if (!waitUntil([&] { return link.state.linkOpen.load(); }, 10s)) throw std::runtime_error("no connection");
        for (auto _ : state) {
            rusage before{};
            rusage after{};
            getrusage(RUSAGE_SELF, &before);
            std::this_thread::sleep_for(2s);
            getrusage(RUSAGE_SELF, &after);
            const auto micros = [](const timeval& t) { return t.tv_sec * 1e6 + t.tv_usec; };
            const double used = micros(after.ru_utime) + micros(after.ru_stime) - micros(before.ru_utime) -
                                micros(before.ru_stime);
            state.counters["cpu_percent"] = used / 2e6 * 100.0;
        }
    } catch (const std::exception& error) {
        state.SkipWithError(error.what());
    }
}

BENCHMARK(BM_ServerLinkIdleOpen)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(1);

// ---- Service restart against the back-off schedule ----

// The first attempt the schedule makes at or after `downMs` from the drop of a good connection.
double scheduledReopen(std::int64_t downMs) {
    ReconnectBackoff backoff;
    std::int64_t at = backoff.attemptEnded(goodConnectionMs).delayMs;
    while (at < downMs) at += backoff.attemptEnded(std::nullopt).delayMs;
    return static_cast<double>(at) / 1000.0;
}

// The manual clock, counting the sleeps begun on it: the driver below moves time on only once the
// thread has reacted to the last move and sleeps again.
class CountingClock final : public Clock {
public:
    explicit CountingClock(testing::ManualClock& clock) : clock_(clock) {}
    std::int64_t systemMs() const override { return clock_.systemMs(); }
    std::int64_t steadyMs() const override { return clock_.steadyMs(); }
    bool sleepUntil(std::int64_t deadline, std::stop_token stop) override {
        ++sleeps_;
        return clock_.sleepUntil(deadline, std::move(stop));
    }
    bool waitUntil(std::condition_variable_any& cv, std::unique_lock<std::mutex>& lock, std::int64_t deadline,
                   std::stop_token stop, const std::function<bool()>& ready) override {
        return clock_.waitUntil(cv, lock, deadline, std::move(stop), ready);
    }
    std::uint64_t sleeps() const { return sleeps_.load(); }

private:
    testing::ManualClock& clock_;
    std::atomic<std::uint64_t> sleeps_{0};
};

void BM_ServerLinkServiceRestart(benchmark::State& state) {
    const std::int64_t downMs = state.range(0) * 1000;
    try {
        for (auto _ : state) {
            Service service;
            service.server.command("mode hold");
            testing::ManualClock manual;
            CountingClock clock(manual);
            Link link(service.server.hostPort(), clock);
            link.start();
            if (!waitUntil([&] { return link.state.linkOpen.load(); }, 10s)) throw std::runtime_error("no connection");
            manual.advance(goodConnectionMs + 1000);  // a long-lived connection

            // The service goes away: the connection drops and upgrades are refused until it is back.
            service.server.command("mode refuse 503");
            service.server.command("drop");
            if (!waitUntil([&] { return !link.state.linkOpen.load(); }, 10s)) throw std::runtime_error("no drop");
            const std::int64_t droppedAt = manual.steadyMs();
            bool back = false;
            while (!link.state.linkOpen.load()) {
                // Time moves only while the thread sleeps on the clock: every attempt ends first.
                if (!manual.waitForWaiters(1, 20)) continue;
                const std::uint64_t sleeps = clock.sleeps();
                if (!back && manual.steadyMs() + 100 >= droppedAt + downMs) {
                    service.server.command("mode hold");
                    service.server.command("mark back");
                    if (!service.server.waitFor("mark back")) throw std::runtime_error("the service did not come back");
                    back = true;
                }
                manual.advance(100);  // never beyond the thread's next wake-up: it sleeps in 100 ms steps
                if (!waitUntil([&] { return clock.sleeps() > sleeps || link.state.linkOpen.load(); }, 10s)) {
                    throw std::runtime_error("the thread did not go on");
                }
            }
            state.counters["open_after_s"] = static_cast<double>(manual.steadyMs() - droppedAt) / 1000.0;
            state.counters["schedule_s"] = scheduledReopen(downMs);
            const std::string log = link.log.str();
            int failed = 0;
            for (std::size_t at = log.find("; retry "); at != std::string::npos; at = log.find("; retry ", at + 1)) ++failed;
            state.counters["failed_attempts"] = failed;
            link.stop([&] { manual.advance(100); });
        }
    } catch (const std::exception& error) {
        state.SkipWithError(error.what());
    }
}

BENCHMARK(BM_ServerLinkServiceRestart)->Arg(1)->Arg(20)->Arg(70)->Unit(benchmark::kMillisecond)->Iterations(1);

// ---- Stop in every state ----

void BM_ServerLinkStop(benchmark::State& state) {
    const int which = static_cast<int>(state.range(0));
    static const char* const names[] = {"connecting", "waiting for the upgrade", "open", "backing off",
                                        "building a playlist"};
    state.SetLabel(names[which]);
    try {
        Service& service = echoService();
        testing::TestHttpsServer playlists({.authority = &service.authority});
        playlists.respond("/devices/BENCH/playlist/json?playlistId=slow", {.body = "{}", .delayMs = 60'000});
        std::vector<double> millis;
        for (auto _ : state) {
            service.server.skip();
            Link link(service.server.hostPort());
            link.options.playlistLoad.serviceHost = playlists.hostPort();
            bool reached = false;
            switch (which) {
            case 0:
                service.server.command("mode silent-tcp");
                link.start();
                reached = service.server.waitFor("connection").has_value();
                break;
            case 1:
                service.server.command("mode silent-upgrade");
                link.start();
                reached = service.server.waitFor("request GET").has_value();
                break;
            case 2:
                service.server.command("mode hold");
                link.start();
                reached = waitUntil([&] { return link.state.linkOpen.load(); }, 10s);
                break;
            case 3:
                link.options.serviceHost = "127.0.0.1:9";
                link.start();
                reached = waitUntil([&] { return link.log.str().find("retry 1 in 5") != std::string::npos; }, 10s);
                break;
            default: {
                service.server.command("mode hold");
                link.start();
                reached = waitUntil([&] { return link.state.linkOpen.load(); }, 10s);
                const std::size_t before = playlists.requestCount();
                service.server.command(R"(text {"type":"playlist","data":{"name":"Slow","sha1":"abc","id":"slow"}})");
                reached = reached && playlists.waitForRequests(before + 1);
                break;
            }
            }
            if (!reached) throw std::runtime_error("the state was not reached");
            std::this_thread::sleep_for(20ms);
            millis.push_back(link.stop());
        }
        std::sort(millis.begin(), millis.end());
        state.counters["median_ms"] = millis[millis.size() / 2];
        state.counters["max_ms"] = millis.back();
        service.server.command("mode echo");
    } catch (const std::exception& error) {
        state.SkipWithError(error.what());
    }
}

BENCHMARK(BM_ServerLinkStop)->DenseRange(0, 4)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace
