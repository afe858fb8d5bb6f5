// Group slide sync between player processes on one bridge: from the call that sends an
// announcement on one player to the group event (0x8002) taken by the event wait of each other
// player (p50_us, p95_us, max_us), and to the moment its listener pushed that event
// (push_*_us), with two and three players, single and repeated announcements, and with a stream
// of 1,000 forged datagrams per second at every listener. The event wait is SDL's, which without
// a video driver that can be woken looks for events about once a millisecond.
//
// The players live in network namespaces of their own (the test LAN), made from a network
// namespace that this benchmark creates first, so nothing leaves the machine; it needs root.
// All namespaces share one clock: the figures cover the software path (sender, kernel, bridge,
// listener, event queue), not a real network.
#include <benchmark/benchmark.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_stats.h"
#include "support/lan.h"

namespace {

using lumetta::testing::Lan;
using lumetta::testing::LanHost;
using lumetta::testing::Probe;

// Builds the LAN from a thread that first moves into a network namespace of its own, so the
// benchmark thread and everything else in this process stay where they are.
std::unique_ptr<Lan> privateLan(int hosts, std::string& why) {
    std::unique_ptr<Lan> lan;
    std::thread maker([&] {
        if (::unshare(CLONE_NEWNET) != 0) {
            why = std::string("cannot make a network namespace (needs root): ") + std::strerror(errno);
            return;
        }
        if (!lumetta::testing::inPrivateNetworkNamespace()) {
            why = "refusing to run outside a private network namespace";
            return;
        }
        try {
            lan = std::make_unique<Lan>();
            for (int i = 0; i < hosts; ++i) lan->addHost();
        } catch (const std::exception& error) {
            why = error.what();
            lan.reset();
        }
    });
    maker.join();
    return lan;
}

struct Player {
    std::unique_ptr<Probe> probe;

    // The answer to a command; wake lines met on the way are dropped.
    std::string ask(const std::string& command) {
        probe->send(command);
        for (;;) {
            const std::optional<std::string> line = probe->readLine();
            if (!line) return "";
            if (line->rfind("wake ", 0) != 0) return *line;
        }
    }
    // Steady nanoseconds at which the next group event was pushed by the listener and taken by
    // the event wait; none when no event came.
    std::optional<std::pair<long long, long long>> nextWake() {
        const std::optional<std::string> line = probe->readLine(5000);
        if (!line || line->rfind("wake ", 0) != 0) return std::nullopt;
        std::istringstream in(line->substr(5));
        long long taken = 0, pushed = 0;
        in >> taken >> pushed;
        return std::make_pair(pushed, taken);
    }
};

long long sentAt(const std::string& answer) {
    // "sent <ns> <1|0>"
    std::istringstream in(answer);
    std::string word;
    long long at = -1;
    int ok = 0;
    in >> word >> at >> ok;
    return word == "sent" && ok == 1 ? at : -1;
}

using lumetta::bench::percentile;

// Arguments: players (2 or 3), repeat (0 or 1), load (0, or 1 for 1,000 forged datagrams/s).
void BM_SlideSyncWake(benchmark::State& state) {
    const int players = static_cast<int>(state.range(0));
    const bool repeat = state.range(1) != 0;
    const bool load = state.range(2) != 0;
    std::string why;
    std::unique_ptr<Lan> lan = privateLan(players + (load ? 1 : 0), why);
    if (!lan) {
        state.SkipWithError(why.c_str());
        return;
    }
    std::vector<Player> group;
    for (int i = 0; i < players; ++i) {
        group.push_back({lan->hosts()[i]->start({SLIDE_SYNC_PROBE, "lobby", "BENCH-" + std::to_string(i)})});
        if (group.back().probe->readLine() != std::optional<std::string>("listening")) {
            state.SkipWithError("a player did not start");
            return;
        }
    }
    std::optional<Player> flooder;
    if (load) {
        flooder = Player{lan->hosts()[players]->start({SLIDE_SYNC_PROBE, "lobby", "FLOODER"})};
        flooder->probe->readLine();
        flooder->ask("flood 1000");
    }

    // Microseconds from the send, one per receiver and announcement: to the listener's push of
    // the event, and to the event wait taking it.
    std::vector<double> pushed;
    std::vector<double> latencies;
    int position = 0;
    for (auto _ : state) {
        const long long sent = sentAt(group[0].ask("announce " + std::to_string(position++ % 50) +
                                                   (repeat ? " 1 0" : " 0 0")));
        if (sent < 0) {
            state.SkipWithError("the announcement did not go out");
            break;
        }
        double slowest = 0;
        for (int i = 1; i < players; ++i) {
            const auto woke = group[i].nextWake();
            if (!woke) {
                state.SkipWithError("a player was not woken");
                return;
            }
            pushed.push_back(static_cast<double>(woke->first - sent) / 1000.0);
            const double micros = static_cast<double>(woke->second - sent) / 1000.0;
            latencies.push_back(micros);
            slowest = std::max(slowest, micros);
        }
        state.SetIterationTime(slowest / 1e6);
    }
    if (flooder) flooder->ask("flood 0");
    state.counters["p50_us"] = percentile(latencies, 0.50);
    state.counters["p95_us"] = percentile(latencies, 0.95);
    state.counters["max_us"] = latencies.empty() ? 0 : *std::max_element(latencies.begin(), latencies.end());
    state.counters["push_p50_us"] = percentile(pushed, 0.50);
    state.counters["push_p95_us"] = percentile(pushed, 0.95);
    state.counters["push_max_us"] = pushed.empty() ? 0 : *std::max_element(pushed.begin(), pushed.end());
}

BENCHMARK(BM_SlideSyncWake)
    ->ArgNames({"players", "repeat", "load"})
    ->Args({2, 0, 0})
    ->Args({3, 0, 0})
    ->Args({2, 0, 1})
    ->Args({3, 0, 1})
    ->Iterations(500)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// A repeated announcement holds its sender for two 35 ms pauses; the peers wake at the first copy.
BENCHMARK(BM_SlideSyncWake)
    ->ArgNames({"players", "repeat", "load"})
    ->Args({2, 1, 0})
    ->Args({3, 1, 0})
    ->Args({3, 1, 1})
    ->Iterations(100)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace
