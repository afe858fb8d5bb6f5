// Two players of one group on the test LAN, started together with the same playlist of still
// slides: how far apart their slide changes are (wall clock at the set-up of each slide, both
// players on the one machine clock), p50/p95/max over the changes after the join. Each player is
// the group-play probe: the loop's group steps around a slide schedule, without drawing.
//
// The players live in network namespaces of their own (the test LAN), made from a network
// namespace this benchmark creates first; it needs root. The figures cover the sync path
// (join, sender, bridge, listener, event wait, follow and re-anchor), not a real network.
#include <benchmark/benchmark.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
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
using lumetta::testing::Probe;

std::unique_ptr<Lan> groupLan(int hosts, std::string& why) {
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

using lumetta::bench::percentile;

// Arguments: slide length in ms, slide changes per player.
void BM_GroupSlideChangeSkew(benchmark::State& state) {
    const auto slideMs = static_cast<int>(state.range(0));
    const auto changes = static_cast<int>(state.range(1));
    std::vector<double> skews;
    for (auto _ : state) {
        std::string why;
        std::unique_ptr<Lan> lan = groupLan(2, why);
        if (!lan) {
            state.SkipWithError(why.c_str());
            return;
        }
        std::vector<std::unique_ptr<Probe>> players;
        for (int i = 0; i < 2; ++i) {
            players.push_back(lan->hosts()[i]->start({GROUP_PLAY_PLAYER, "lobby", "PLAYER-" + std::to_string(i), "10",
                                                     std::to_string(slideMs), std::to_string(changes)}));
            if (players.back()->readLine() != std::optional<std::string>("listening")) {
                state.SkipWithError("a player did not start");
                return;
            }
        }
        for (auto& player : players) player->send("go");
        // Each player's changes: (index, wall-clock ms) in order.
        std::vector<std::vector<std::pair<int, long long>>> shown(2);
        for (int i = 0; i < 2; ++i) {
            for (;;) {
                const std::optional<std::string> line = players[i]->readLine(slideMs * 4 + 10'000);
                if (!line || *line == "done") break;
                std::istringstream in(*line);
                std::string word;
                int index = 0;
                long long at = 0;
                in >> word >> index >> at;
                if (word == "slide") shown[i].emplace_back(index, at);
            }
        }
        // The first slide is the join's; every later change of one player is paired with the
        // other's change to the same slide nearest in time.
        for (std::size_t k = 1; k < shown[0].size(); ++k) {
            const auto [index, at] = shown[0][k];
            std::optional<double> best;
            for (std::size_t m = 1; m < shown[1].size(); ++m) {
                if (shown[1][m].first != index) continue;
                const double skew = std::fabs(static_cast<double>(shown[1][m].second - at));
                if (!best || skew < *best) best = skew;
            }
            if (best && *best < slideMs / 2.0) skews.push_back(*best);
        }
        state.counters["paired"] = static_cast<double>(skews.size());
    }
    state.counters["skew_p50_ms"] = percentile(skews, 0.50);
    state.counters["skew_p95_ms"] = percentile(skews, 0.95);
    state.counters["skew_max_ms"] = skews.empty() ? 0 : *std::max_element(skews.begin(), skews.end());
}

BENCHMARK(BM_GroupSlideChangeSkew)
    ->ArgNames({"slide_ms", "changes"})
    ->Args({1000, 100})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
