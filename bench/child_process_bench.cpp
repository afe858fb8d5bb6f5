// Child processes on the fake device tools (run with them first on PATH):
//   PATH=$PWD/tests/fakes/bin:$PATH build-bench/bench/lumetta_bench --benchmark_filter=ChildProcess
//   - runProcess of bluetoothctl with a short answer: calls per second;
//   - from a stop request to the call's return, for a child that exits on SIGTERM (goal at most
//     150 ms) and for one that ignores it and needs the SIGKILL 2 s later (goal at most 2.2 s);
//   - a child writing 100 MB: the caller's peak memory above what it held before, against the
//     1 MiB it keeps (goal: less than 2 MiB over that).

#include <benchmark/benchmark.h>

#include <chrono>
#include <fstream>
#include <future>
#include <string>

#include "core/child_process.h"
#include "device/bluetooth_tools.h"
#include "support/fake_tools.h"

namespace {

using namespace lumetta;
using Steady = std::chrono::steady_clock;

// Never a real device tool: the benchmarks start bluetoothctl.
bool onFakes(benchmark::State& state) {
    if (testing::resolvesToFake("bluetoothctl")) return true;
    state.SkipWithError("bluetoothctl is not the fake tool: put tests/fakes/bin first on PATH");
    return false;
}

long long statusKiB(const char* field) {
    std::ifstream in("/proc/self/status");
    for (std::string word; in >> word;) {
        long long value = 0;
        if (word == field && in >> value) return value;
    }
    return -1;
}

void BM_ChildProcessShortAnswer(benchmark::State& state) {
    if (!onFakes(state)) return;
    testing::FakeTools fakes;
    fakes.answer("bluetoothctl", "--timeout 5 power on", {.out = "Changing power on succeeded\n"});
    for (auto _ : state) {
        const ProcessResult result = runProcess({"--timeout", "5", "power", "on"}, {}, 35);
        if (result.exitStatus != 0) state.SkipWithError("the fake did not answer");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ChildProcessShortAnswer)->Unit(benchmark::kMillisecond)->UseRealTime();

// arg 0: the child exits on SIGTERM; arg 1: it ignores SIGTERM.
void BM_ChildProcessStopToReturn(benchmark::State& state) {
    if (!onFakes(state)) return;
    const bool ignores = state.range(0) == 1;
    testing::FakeTools fakes;
    fakes.answer("bluetoothctl", "scan on", {.waitForSignal = true, .onSigterm = ignores ? "ignore" : ""});
    int call = 0;
    for (auto _ : state) {
        std::stop_source stop;
        auto run = std::async(std::launch::async, [&] { return runProcess({"scan", "on"}, stop.get_token(), 35); });
        if (!fakes.waitUntilWaiting("bluetoothctl", "scan on", ++call)) state.SkipWithError("the fake did not start");
        const auto start = Steady::now();
        stop.request_stop();
        run.get();
        state.SetIterationTime(std::chrono::duration<double>(Steady::now() - start).count());
    }
}
BENCHMARK(BM_ChildProcessStopToReturn)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_ChildProcessHundredMegabyteWriter(benchmark::State& state) {
    if (!onFakes(state)) return;
    testing::FakeTools fakes;
    fakes.answer("bluetoothctl", "info", {.out = std::string(64 * 1024, 'x'), .repeat = "1600"});
    double overCapMiB = 0;
    for (auto _ : state) {
        // The peak is measured from here: reset the high-water mark to what is held now.
        { std::ofstream("/proc/self/clear_refs") << "5"; }
        const long long before = statusKiB("VmRSS:");
        const ProcessResult result = runProcess({"info"}, {}, 35);
        const long long peak = statusKiB("VmHWM:");
        if (result.output.size() != (1u << 20) || !result.outputCut) state.SkipWithError("the output was not cut");
        overCapMiB = std::max(overCapMiB, static_cast<double>(peak - before) / 1024.0 - 1.0);
    }
    state.counters["peak_over_cap_MiB"] = overCapMiB;
    state.SetBytesProcessed(state.iterations() * 1600LL * 64 * 1024);
}
BENCHMARK(BM_ChildProcessHundredMegabyteWriter)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace
