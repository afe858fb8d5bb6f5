// The network scan (run with the fake device tools first on PATH):
//   PATH=$PWD/tests/fakes/bin:$PATH build-bench/bench/lumetta_bench --benchmark_filter=WifiScan
//   - reading one "scan_results" answer of 500 rows into records, per answer, with the heap
//     allocations it makes (goal under 1 ms). wpa_supplicant answers at most about 4 KB (some 50
//     rows), so 500 rows bound the parser rather than model a real answer. Two tables: 100
//     SSIDs with five access points each, and 500 SSIDs of one access point each (the longest
//     search for an SSID's record);
//   - one whole scan on the fake wpa_cli in real time: the 3 s until a settled table is trusted,
//     plus the wpa_cli children of its passes.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "allocation_count.h"
#include "support/fake_wpa.h"
#include "wifi/wifi_scan.h"

namespace {

using namespace lumetta;

// `rows` rows: `perSsid` access points for each of rows / perSsid SSIDs, the rows of one SSID apart.
std::string scanTable(int rows, int perSsid) {
    std::string answer = "bssid / frequency / signal level / flags / ssid\n";
    const int names = rows / perSsid;
    for (int i = 0; i < rows; ++i) {
        char bssid[18];
        std::snprintf(bssid, sizeof bssid, "02:00:00:00:%02x:%02x", (i >> 8) & 0xff, i & 0xff);
        answer += std::string(bssid) + "\t" + (i % 2 == 0 ? "2412" : "5180") + "\t" + std::to_string(-30 - (i * 7) % 60) +
                  "\t" + (i % 3 == 0 ? "[WPA2-PSK-CCMP][ESS]" : i % 3 == 1 ? "[WPA2-SAE-CCMP][ESS]" : "[OWE][ESS]") +
                  "\tOffice network " + std::to_string(i % names) + "\n";
    }
    return answer;
}

void BM_WifiScanParse500Rows(benchmark::State& state) {
    const std::string answer = scanTable(500, static_cast<int>(state.range(0)));
    std::size_t records = 0;
    bench::ownAllocations = 0;
    for (auto _ : state) {
        bench::countingAllocations = true;
        const auto networks = parseScanResults(answer, "Office network 3");
        bench::countingAllocations = false;
        records = networks.size();
        benchmark::DoNotOptimize(networks.data());
    }
    state.counters["records"] = static_cast<double>(records);
    state.counters["allocs/answer"] =
        static_cast<double>(bench::ownAllocations.load()) / static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(answer.size()));
}
BENCHMARK(BM_WifiScanParse500Rows)->Arg(5)->Arg(1)->ArgName("rows_per_ssid")->Unit(benchmark::kMicrosecond);

void BM_WifiScanOnTheFake(benchmark::State& state) {
    if (!testing::resolvesToFake("wpa_cli")) {
        state.SkipWithError("wpa_cli is not the fake tool: put tests/fakes/bin first on PATH");
        return;
    }
    testing::FakeWpa wpa;
    wpa.answer("scan", {.out = "OK\n"});
    wpa.answer("scan_results", {.out = scanTable(50, 5)});
    wpa.answer("status", {.out = testing::statusAnswer("Office network 3")});
    for (auto _ : state) {
        if (scanWiFiNetworks(wpa.system).empty()) state.SkipWithError("the scan found nothing");
    }
}
BENCHMARK(BM_WifiScanOnTheFake)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

}  // namespace
