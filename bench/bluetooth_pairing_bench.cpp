// Bluetooth pairing on the fake device tools (run with them first on PATH):
//   PATH=$PWD/tests/fakes/bin:$PATH build-bench/bench/lumetta_bench --benchmark_filter=BluetoothPairing
//   - `status` as the loop reads it every frame (goal below 1 µs);
//   - one successful run from `start` to its final text: wall time, and the children it started;
//   - destroying the pairing while its child ignores SIGTERM, until the run is joined (goal at
//     most 2.5 s: the SIGKILL comes 2 s after the SIGTERM).

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <thread>

#include "device/bluetooth_pairing.h"
#include "support/fake_tools.h"
#include "support/temp_dir.h"

namespace {

using namespace lumetta;
using Steady = std::chrono::steady_clock;

const std::string address = "AA:BB:CC:DD:EE:01";

bool onFakes(benchmark::State& state) {
    if (testing::resolvesToFake("bluetoothctl") && testing::resolvesToFake("systemctl")) return true;
    state.SkipWithError("bluetoothctl is not the fake tool: put tests/fakes/bin first on PATH");
    return false;
}

bool waitUntilIdle(const BluetoothPairing& pairing) {
    const auto limit = Steady::now() + std::chrono::seconds(60);
    while (pairing.running()) {
        if (Steady::now() >= limit) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// A controller in range that pairs, connects and shows up as an input device.
void scriptController(testing::FakeTools& fakes) {
    fakes.answer("bluetoothctl", "--timeout 30 scan on", {.waitForSignal = true});
    fakes.answer("bluetoothctl", "--timeout 3 devices", {.out = "Device " + address + " Remote\n"});
    fakes.answer("bluetoothctl", "--timeout 3 info " + address,
                 {.out = "Device " + address + "\n\tName: Remote\n\tIcon: input-gaming\n\tPaired: no\n"});
    fakes.answer("bluetoothctl", "info " + address,
                 {.out = "Device " + address +
                         "\n\tName: Remote\n\tIcon: input-gaming\n\tPaired: yes\n\tBonded: yes\n\tTrusted: yes\n"
                         "\tConnected: yes\n"});
}

void BM_BluetoothPairingStatus(benchmark::State& state) {
    if (!onFakes(state)) return;
    testing::FakeTools fakes;
    fakes.answer("bluetoothctl", "--timeout 5 power on", {.status = 1});
    BluetoothPairing pairing;
    pairing.start();
    if (!waitUntilIdle(pairing)) state.SkipWithError("the run did not end");
    for (auto _ : state) {
        BluetoothPairingStatus status = pairing.status();
        benchmark::DoNotOptimize(status);
        benchmark::DoNotOptimize(pairing.running());
    }
}
BENCHMARK(BM_BluetoothPairingStatus);

void BM_BluetoothPairingSuccessfulRun(benchmark::State& state) {
    if (!onFakes(state)) return;
    testing::TempDir dir;
    BluetoothPairingSeams seams;
    seams.inputDevices = testing::writeTestFile(dir / "devices", "N: Name=\"Remote\"\n");
    double children = 0;
    for (auto _ : state) {
        testing::FakeTools fakes;
        scriptController(fakes);
        BluetoothPairing pairing(seams);
        pairing.start();
        if (!waitUntilIdle(pairing) || pairing.status().text != "Bluetooth controller connected") {
            state.SkipWithError("the run did not connect");
        }
        children = static_cast<double>(fakes.log().size());
    }
    state.counters["children"] = children;
}
BENCHMARK(BM_BluetoothPairingSuccessfulRun)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

void BM_BluetoothPairingDestructionDuringAStubbornChild(benchmark::State& state) {
    if (!onFakes(state)) return;
    for (auto _ : state) {
        testing::FakeTools fakes;
        scriptController(fakes);
        fakes.answer("bluetoothctl", "--agent NoInputNoOutput --timeout 20 pair " + address,
                     {.waitForSignal = true, .onSigterm = "ignore"});
        auto pairing = std::make_unique<BluetoothPairing>();
        pairing->start();
        if (!fakes.waitUntilWaiting("bluetoothctl", "--agent NoInputNoOutput --timeout 20 pair " + address)) {
            state.SkipWithError("the pair command did not start");
        }
        const auto start = Steady::now();
        pairing.reset();
        state.SetIterationTime(std::chrono::duration<double>(Steady::now() - start).count());
    }
}
BENCHMARK(BM_BluetoothPairingDestructionDuringAStubbornChild)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

}  // namespace
