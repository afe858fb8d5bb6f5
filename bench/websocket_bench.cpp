// WebSocket round trips and echoes through the layer, beside a bare libwebsockets client on the
// same loopback echo server (the tests' scripted server, over TLS with a throw-away CA), in the
// same run. Both drive their libev loop without pauses (EVRUN_NOWAIT in a tight loop), so the
// figures are the connection's own cost, not a polling period.
//
// Counters: median_us and p90_us of the single round trips; bytes_per_second counts both
// directions. The server is Python: the large echoes measure it as much as the client, which is
// why the bare client runs beside the layer.

#include <benchmark/benchmark.h>
#include <ev.h>
#include <libwebsockets.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/websocket.h"
#include "support/test_tls.h"
#include "support/websocket_server.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Server {
    lumetta::testing::WebSocketTestServer server;
    lumetta::testing::ScopedEnvironmentVariable trust{"SSL_CERT_FILE", server.caFile().string()};
};

Server& echoServer() {
    static Server server;
    return server;
}

std::string payload(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + i % 26);
    return bytes;
}

void reportLatencies(benchmark::State& state, std::vector<double>& micros) {
    if (micros.empty()) return;
    std::sort(micros.begin(), micros.end());
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["p90_us"] = micros[micros.size() * 9 / 10];
}

// ---- Through the layer ----

struct LayerClient {
    struct ev_loop* loop = ev_loop_new(0);
    lumetta::WebSocketConnection* connection = nullptr;
    bool open = false;
    bool ended = false;
    std::size_t received = 0;  // bytes of the last whole message
    std::size_t messages = 0;

    static LayerClient*& current() {
        static LayerClient* client = nullptr;
        return client;
    }

    explicit LayerClient(const std::string& url) {
        current() = this;
        connection = lumetta::websocket(loop, url.c_str(), 30, 0);
        if (connection == nullptr) throw std::runtime_error("no connection");
        connection->onOpen = [](lumetta::WebSocketConnection*) { current()->open = true; };
        connection->onError = [](lumetta::WebSocketConnection*, int, const char*) { current()->ended = true; };
        connection->onClose = [](lumetta::WebSocketConnection*, int, const char*) { current()->ended = true; };
        connection->onMessage = [](lumetta::WebSocketConnection*, const char*, std::uint32_t length, int) {
            current()->received = length;
            ++current()->messages;
        };
        const auto limit = Clock::now() + std::chrono::seconds(10);
        while (!open && !ended && Clock::now() < limit) ev_run(loop, EVRUN_NOWAIT);
        if (!open) throw std::runtime_error("the connection did not open");
    }

    ~LayerClient() {
        connection->close(connection);
        lumetta::releaseWebSocket(connection);
        ev_loop_destroy(loop);
        current() = nullptr;
    }

    // Sends one message and drives the loop until its echo is back.
    void echo(const std::string& message) {
        const std::size_t before = messages;
        if (connection->send(connection, message.data(), static_cast<std::uint32_t>(message.size()), 1) != 0) {
            throw std::runtime_error("send refused");
        }
        while (messages == before && !ended) ev_run(loop, EVRUN_NOWAIT);
        if (ended || received != message.size()) throw std::runtime_error("no echo");
    }
};

void runEchoes(benchmark::State& state, const std::function<void(const std::string&)>& echo) {
    const std::string message = payload(static_cast<std::size_t>(state.range(0)));
    std::vector<double> micros;
    for (auto _ : state) {
        const auto start = Clock::now();
        echo(message);
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 2 * state.range(0));
    reportLatencies(state, micros);
}

void BM_WebSocketLayerEcho(benchmark::State& state) {
    try {
        LayerClient client(echoServer().server.url("/bench"));
        runEchoes(state, [&](const std::string& message) { client.echo(message); });
    } catch (const std::exception& error) {
        state.SkipWithError(error.what());
    }
}

// ---- A bare libwebsockets client: the same context settings, no layer ----

struct BareClient {
    struct ev_loop* loop = ev_loop_new(0);
    lws_context* context = nullptr;
    lws* wsi = nullptr;
    bool open = false;
    bool ended = false;
    std::vector<unsigned char> outgoing;  // LWS_PRE + message
    std::string incoming;
    std::size_t messages = 0;
    std::size_t received = 0;

    static int callback(lws* wsi, lws_callback_reasons reason, void*, void* in, std::size_t length) {
        auto* self = static_cast<BareClient*>(lws_context_user(lws_get_context(wsi)));
        if (self == nullptr) return 0;
        switch (reason) {
        case LWS_CALLBACK_CLIENT_ESTABLISHED:
            self->open = true;
            break;
        case LWS_CALLBACK_CLIENT_CONNECTION_ERROR:
        case LWS_CALLBACK_CLIENT_CLOSED:
            self->ended = true;
            break;
        case LWS_CALLBACK_CLIENT_RECEIVE:
            if (lws_is_first_fragment(wsi)) self->incoming.clear();
            self->incoming.append(static_cast<const char*>(in), length);
            if (lws_is_final_fragment(wsi) && lws_remaining_packet_payload(wsi) == 0) {
                self->received = self->incoming.size();
                ++self->messages;
            }
            break;
        case LWS_CALLBACK_CLIENT_WRITEABLE:
            if (self->outgoing.size() > LWS_PRE) {
                lws_write(wsi, self->outgoing.data() + LWS_PRE, self->outgoing.size() - LWS_PRE, LWS_WRITE_TEXT);
                self->outgoing.resize(LWS_PRE);
            }
            break;
        default:
            break;
        }
        return 0;
    }

    explicit BareClient(std::uint16_t port) {
        static const lws_protocols protocols[] = {
            {"bare", &BareClient::callback, 0, 64 * 1024, 0, nullptr, 16 * 1024 * 1024 + LWS_PRE + 16},
            {nullptr, nullptr, 0, 0, 0, nullptr, 0},
        };
        lws_context_creation_info info{};
        info.port = CONTEXT_PORT_NO_LISTEN;
        info.protocols = protocols;
        info.options = LWS_SERVER_OPTION_LIBEV | LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT;
        void* loops[] = {loop};
        info.foreign_loops = loops;
        info.user = this;
        info.gid = -1;
        info.uid = -1;
        const std::string ca = std::getenv("SSL_CERT_FILE");
        info.client_ssl_ca_filepath = ca.c_str();
        context = lws_create_context(&info);
        if (context == nullptr) throw std::runtime_error("no bare context");
        const std::string host = "127.0.0.1:" + std::to_string(port);
        lws_client_connect_info connect{};
        connect.context = context;
        connect.address = "127.0.0.1";
        connect.port = port;
        connect.ssl_connection = LCCSCF_USE_SSL;
        connect.path = "/bare";
        connect.host = host.c_str();
        connect.local_protocol_name = "bare";
        connect.pwsi = &wsi;
        lws_client_connect_via_info(&connect);
        outgoing.resize(LWS_PRE);
        const auto limit = Clock::now() + std::chrono::seconds(10);
        while (!open && !ended && Clock::now() < limit) ev_run(loop, EVRUN_NOWAIT);
        if (!open) throw std::runtime_error("the bare connection did not open");
    }

    ~BareClient() {
        lws_context_destroy(context);
        ev_loop_destroy(loop);
    }

    void echo(const std::string& message) {
        const std::size_t before = messages;
        outgoing.resize(LWS_PRE + message.size());
        std::memcpy(outgoing.data() + LWS_PRE, message.data(), message.size());
        lws_callback_on_writable(wsi);
        while (messages == before && !ended) ev_run(loop, EVRUN_NOWAIT);
        if (ended || received != message.size()) throw std::runtime_error("no echo");
    }
};

void BM_WebSocketBareEcho(benchmark::State& state) {
    try {
        BareClient client(echoServer().server.port());
        runEchoes(state, [&](const std::string& message) { client.echo(message); });
    } catch (const std::exception& error) {
        state.SkipWithError(error.what());
    }
}

constexpr std::int64_t kMiB = 1 << 20;

BENCHMARK(BM_WebSocketLayerEcho)->Arg(64)->Unit(benchmark::kMicrosecond)->MinTime(2.0);
BENCHMARK(BM_WebSocketBareEcho)->Arg(64)->Unit(benchmark::kMicrosecond)->MinTime(2.0);
BENCHMARK(BM_WebSocketLayerEcho)->Arg(kMiB)->Unit(benchmark::kMillisecond)->Iterations(40);
BENCHMARK(BM_WebSocketBareEcho)->Arg(kMiB)->Unit(benchmark::kMillisecond)->Iterations(40);
BENCHMARK(BM_WebSocketLayerEcho)->Arg(16 * kMiB)->Unit(benchmark::kMillisecond)->Iterations(8);
BENCHMARK(BM_WebSocketBareEcho)->Arg(16 * kMiB)->Unit(benchmark::kMillisecond)->Iterations(8);

}  // namespace
