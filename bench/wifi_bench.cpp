// The Wi-Fi layer on the fake wpa_cli (run with the fake device tools first on PATH):
//   PATH=$PWD/tests/fakes/bin:$PATH build-bench/bench/lumetta_bench --benchmark_filter=Wifi
//   - one wpa_cli command through the runner, its child started and reaped (goal under 10 ms);
//   - saving a network into a 1 MB configuration file of 1,000 blocks: read, the old block
//     removed, the key derived, the file replaced and flushed.

#include <benchmark/benchmark.h>

#include <string>

#include "support/fake_wpa.h"
#include "wifi/wpa_config.h"
#include "wifi/wpa_control.h"

namespace {

using namespace lumetta;

void BM_WifiOneWpaCliCommand(benchmark::State& state) {
    if (!testing::resolvesToFake("wpa_cli")) {
        state.SkipWithError("wpa_cli is not the fake tool: put tests/fakes/bin first on PATH");
        return;
    }
    testing::FakeWpa wpa;
    wpa.answer("status", {.out = testing::statusAnswer("Home")});
    for (auto _ : state) {
        if (wpaStatusSsid(wpa.system) != "Home") state.SkipWithError("the fake did not answer");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WifiOneWpaCliCommand)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_WifiSaveIntoALargeFile(benchmark::State& state) {
    testing::FakeWpa wpa;
    std::string file = "ctrl_interface=DIR=/run/wpa_supplicant GROUP=netdev\nupdate_config=1\n";
    for (int i = 0; file.size() < 1024 * 1024 || i < 1000; ++i) {
        file += "\nnetwork={\n\tssid=\"Network " + std::to_string(i) + "\"\n\tpsk=" + std::string(64, 'a') +
                "\n\t# " + std::string(960, 'x') + "\n}\n";
    }
    wpa.writeConfig(file);
    for (auto _ : state) {
        if (!saveWiFiNetwork("Network 500", "correct horse", false, wpa.system)) state.SkipWithError("not saved");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(file.size()));
}
BENCHMARK(BM_WifiSaveIntoALargeFile)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
