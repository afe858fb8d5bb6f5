#include "device/command.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <functional>
#include <thread>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "device/device_facts.h"
#include "support/manual_clock.h"
#include "support/temp_dir.h"

namespace lumetta {
namespace {

// Lets a test hold the telemetry thread at the start of a chosen cycle. The first read of every
// cycle (the temperature) passes through `enter`; while the thread waits there for cycle k,
// cycles 1 .. k-1 have stored all they were going to store.
class CycleGate {
public:
    // Returns the number of the cycle that starts; a getter on the test's own thread passes.
    int enter() {
        if (std::this_thread::get_id() == testThread) return 0;
        std::unique_lock lock(mutex);
        int cycle = ++started;
        changed.notify_all();
        changed.wait(lock, [&] { return released || cycle <= allowed; });
        return cycle;
    }

    // Lets cycles 1 .. k-1 run and returns once the thread waits at the start of cycle k.
    void holdAtCycle(int k) {
        std::unique_lock lock(mutex);
        allowed = k - 1;
        changed.notify_all();
        changed.wait(lock, [&] { return started >= k; });
    }

    void release() {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    }

private:
    const std::thread::id testThread = std::this_thread::get_id();
    std::mutex mutex;
    std::condition_variable changed;
    int started = 0;
    int allowed = 0;
    bool released = false;
};

// Counts the reads of each fact; the texts carry the number of the read so a test can tell
// which cycle a cached text comes from.
struct CountingSources : TelemetrySources {
    std::mutex mutex;
    std::map<std::string, int> reads;
    std::string route = "eth0";
    const std::thread::id testThread = std::this_thread::get_id();
    CycleGate* gate = nullptr;
    std::atomic<int> cycle{0};                                     // as the gate counts them
    std::function<void(const std::string& fact, int cycle)> fault;  // may throw
    testing::ManualClock clock;

    CountingSources() { clock.setAutoAdvance(true); }

    int count(const std::string& fact) {
        std::lock_guard lock(mutex);
        return reads[fact];
    }

    std::string read(const std::string& fact, const std::string& detail = "") {
        int n;
        {
            std::lock_guard lock(mutex);
            n = ++reads[fact];
        }
        if (fault && std::this_thread::get_id() != testThread) fault(fact, cycle);
        return fact + detail + "#" + std::to_string(n);
    }

    std::string temperature(const std::string&) override {
        if (gate != nullptr && std::this_thread::get_id() != testThread) cycle = gate->enter();
        return read("temperature");
    }
    std::string uptime() override { return read("uptime"); }
    std::string cpuCount() override {
        read("cpuCount");
        return "3";
    }
    std::string cpuFrequencyPolicy() override { return read("policy"); }
    std::string coreFrequency(std::int32_t core) override { return read("core", std::to_string(core)); }
    std::string defaultRoute() override {
        read("route");
        return route;
    }
    std::string macAddress(const std::string& name) override { return read("mac", "@" + name); }
    std::string ipv4Address(const std::string& name) override { return read("ipv4", "@" + name); }
    std::string ipv6Address(const std::string& name) override { return read("ipv6", "@" + name); }
};

// The object's telemetry on the sources' own clock, on which the waits between cycles pass at
// once, unless another clock is given.
CommandSeams seamsWith(CountingSources& counting, Clock* clock = nullptr) {
    CommandSeams seams;
    seams.model = "Raspberry Pi 4 Model B Rev 1.4";
    seams.clock = clock != nullptr ? clock : &counting.clock;
    seams.sources = &counting;
    return seams;
}

TEST(CommandGetters, ReadTheSystemOnEveryCallUntilTelemetryHasRun) {
    CountingSources counting;
    Command command(seamsWith(counting));

    EXPECT_EQ(command.temperatureText(), "temperature#1");
    EXPECT_EQ(command.temperatureText(), "temperature#2");
    EXPECT_EQ(command.uptimeText(), "uptime#1");
    EXPECT_EQ(command.cpuCount(), "3");
    EXPECT_EQ(command.cpuFrequencyPolicyText(), "policy#1");
    // Uncached, any index is read, even one beyond the processors.
    EXPECT_EQ(command.coreFrequencyText(7), "core7#1");
    EXPECT_EQ(command.coreFrequencyText(-1), "core-1#2");
    EXPECT_EQ(command.defaultRouteText(), "eth0");
    // The address getters look the interface up themselves.
    EXPECT_EQ(command.macAddressText(), "mac@#1");
    EXPECT_EQ(command.ipv4AddressText(), "ipv4@#1");
    EXPECT_EQ(command.ipv6AddressText(), "ipv6@#1");
    EXPECT_EQ(command.model(), "Raspberry Pi 4 Model B Rev 1.4");
}

TEST(CommandTelemetry, ReadsProcessorFactsOnceAndTheNetworkEveryTwentyCycles) {
    CycleGate gate;
    CountingSources counting;
    counting.gate = &gate;
    auto command = std::make_unique<Command>(seamsWith(counting));
    command->startTelemetry();
    command->startTelemetry();  // never a second thread

    gate.holdAtCycle(2);
    EXPECT_EQ(command->temperatureText(), "temperature#1");
    EXPECT_EQ(command->uptimeText(), "uptime#1");
    EXPECT_EQ(command->cpuCount(), "3");
    EXPECT_EQ(command->cpuFrequencyPolicyText(), "policy#1");
    EXPECT_EQ(command->coreFrequencyText(0), "core0#1");
    EXPECT_EQ(command->coreFrequencyText(2), "core2#3");
    EXPECT_EQ(command->defaultRouteText(), "eth0");
    EXPECT_EQ(command->macAddressText(), "mac@eth0#1");
    EXPECT_EQ(command->ipv4AddressText(), "ipv4@eth0#1");
    EXPECT_EQ(command->ipv6AddressText(), "ipv6@eth0#1");

    // Outside the cached cores nothing is read.
    EXPECT_EQ(command->coreFrequencyText(-1), "");
    EXPECT_EQ(command->coreFrequencyText(3), "");
    EXPECT_EQ(counting.count("core"), 3);

    // Cycles 2 to 20 refresh temperature and uptime only.
    gate.holdAtCycle(21);
    EXPECT_EQ(command->temperatureText(), "temperature#20");
    EXPECT_EQ(command->uptimeText(), "uptime#20");
    EXPECT_EQ(counting.count("route"), 1);
    EXPECT_EQ(command->macAddressText(), "mac@eth0#1");

    // After 300 counted seconds cycle 21 reads the network again; processor facts never.
    counting.route = "wlan0";
    gate.holdAtCycle(22);
    EXPECT_EQ(counting.count("route"), 2);
    EXPECT_EQ(command->defaultRouteText(), "wlan0");
    EXPECT_EQ(command->macAddressText(), "mac@wlan0#2");
    EXPECT_EQ(command->ipv6AddressText(), "ipv6@wlan0#2");
    EXPECT_EQ(counting.count("cpuCount"), 1);
    EXPECT_EQ(counting.count("policy"), 1);
    EXPECT_EQ(counting.count("core"), 3);
    EXPECT_EQ(command->coreFrequencyText(1), "core1#2");

    gate.release();
    command.reset();
}

TEST(CommandTelemetry, FailedCycleKeepsTheCacheAndReadsWhatWasDueAgain) {
    CycleGate gate;
    CountingSources counting;
    counting.gate = &gate;
    // The processor read of cycle 1 fails, and so does the uptime of cycle 3.
    counting.fault = [](const std::string& fact, int cycle) {
        if ((fact == "cpuCount" && cycle == 1) || (fact == "uptime" && cycle == 3)) {
            throw std::runtime_error("cannot read " + fact);
        }
    };
    auto command = std::make_unique<Command>(seamsWith(counting));
    ::testing::internal::CaptureStderr();
    command->startTelemetry();

    // Nothing of the failed first cycle was stored: the getters still read for themselves.
    gate.holdAtCycle(2);
    EXPECT_EQ(command->uptimeText(), "uptime#2");
    EXPECT_EQ(counting.count("route"), 0);

    // Cycle 2 reads the processor and the network facts that cycle 1 did not deliver.
    gate.holdAtCycle(3);
    EXPECT_EQ(counting.count("cpuCount"), 2);
    EXPECT_EQ(counting.count("route"), 1);
    EXPECT_EQ(command->temperatureText(), "temperature#2");
    EXPECT_EQ(command->uptimeText(), "uptime#3");

    // Cycle 3 fails: the cache stays as cycle 2 left it.
    gate.holdAtCycle(4);
    EXPECT_EQ(command->temperatureText(), "temperature#2");
    EXPECT_EQ(command->uptimeText(), "uptime#3");
    EXPECT_EQ(command->macAddressText(), "mac@eth0#1");

    gate.release();
    command.reset();
    std::string errors = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(errors, "[TELEMETRY] cannot read cpuCount\n[TELEMETRY] cannot read uptime\n");
}

// Every cycle, failed or not, is followed by 15 s on the clock and counts them towards the
// network refresh: with a failure in cycle 5 the network is still read again in cycle 21.
TEST(CommandTelemetry, AFailedCycleStillCountsItsFifteenSecondsTowardsTheNetworkRefresh) {
    CycleGate gate;
    CountingSources counting;
    counting.gate = &gate;
    counting.fault = [](const std::string& fact, int cycle) {
        if (fact == "uptime" && cycle == 5) throw std::runtime_error("cannot read uptime");
    };
    const std::int64_t start = counting.clock.steadyMs();
    auto command = std::make_unique<Command>(seamsWith(counting));
    ::testing::internal::CaptureStderr();
    command->startTelemetry();

    gate.holdAtCycle(21);
    EXPECT_EQ(counting.count("route"), 1);
    EXPECT_EQ(counting.clock.steadyMs() - start, 20 * 15000) << "15 s after each of cycles 1 to 20";
    gate.holdAtCycle(22);
    EXPECT_EQ(counting.count("route"), 2) << "cycle 21 reads the network";

    gate.release();
    command.reset();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "[TELEMETRY] cannot read uptime\n");
}

TEST(CommandTelemetry, WithoutDefaultRouteCachesTheZeroMacAndNoAddresses) {
    CycleGate gate;
    CountingSources counting;
    counting.gate = &gate;
    counting.route = "";
    auto command = std::make_unique<Command>(seamsWith(counting));
    command->startTelemetry();
    gate.holdAtCycle(2);

    EXPECT_EQ(command->defaultRouteText(), "");
    EXPECT_EQ(command->macAddressText(), "00:00:00:00:00:00");
    EXPECT_EQ(command->ipv4AddressText(), "");
    EXPECT_EQ(command->ipv6AddressText(), "");
    EXPECT_EQ(counting.count("mac") + counting.count("ipv4") + counting.count("ipv6"), 0);

    gate.release();
    command.reset();
}

TEST(CommandTelemetry, DestroyingTheObjectStopsTheWaitBetweenCycles) {
    struct SignallingSources : CountingSources {
        std::promise<void> cycleRead;
        bool signalled = false;
        std::string ipv6Address(const std::string&) override {
            if (!signalled) {
                signalled = true;
                cycleRead.set_value();
            }
            return "::";
        }
    } counting;
    // A clock that never moves: only the stop request can end the wait between cycles.
    testing::ManualClock stillClock;
    CommandSeams seams = seamsWith(counting, &stillClock);
    auto command = std::make_unique<Command>(std::move(seams));
    command->startTelemetry();
    counting.cycleRead.get_future().wait();

    auto destroyed = std::async(std::launch::async, [&] { command.reset(); });
    ASSERT_EQ(destroyed.wait_for(std::chrono::seconds(30)), std::future_status::ready)
        << "the telemetry thread did not stop";
    EXPECT_EQ(counting.count("temperature"), 1);
}

TEST(CommandReboot, CallersGetTheInjectedActionsOutput) {
    int calls = 0;
    CommandSeams seams;
    seams.model = "";
    seams.rebootAction = [&] {
        ++calls;
        return std::string("rebooting\n");
    };
    Command command(std::move(seams));
    EXPECT_EQ(command.reboot(), "rebooting\n");
    EXPECT_EQ(calls, 1);
}

// The one test of the real call: it runs only when "reboot" is the test suite's fake tool.
TEST(CommandReboot, RunsTheRebootShellLine) {
    std::string resolved = facts::runShellCommand("command -v reboot");
    if (!resolved.empty() && resolved.back() == '\n') resolved.pop_back();
    const std::filesystem::path fake = std::filesystem::path(LUMETTA_SOURCE_DIR) / "tests/fakes/bin/reboot";
    std::error_code error;
    ASSERT_FALSE(resolved.empty()) << "no reboot on PATH";
    ASSERT_TRUE(std::filesystem::equivalent(resolved, fake, error))
        << "refusing to run: reboot resolves to " << resolved << ", not the fake tool";

    testing::TempDir dir;
    const std::string log = (dir / "fake.log").string();
    setenv("LUMETTA_FAKE_LOG", log.c_str(), 1);
    setenv("LUMETTA_FAKE_OUTPUT_REBOOT", "The system is going down", 1);
    CommandSeams seams;
    seams.model = "";
    Command command(std::move(seams));
    EXPECT_EQ(command.reboot(), "The system is going down\n");
    EXPECT_EQ(facts::readFileText(log), "reboot");
}

}  // namespace
}  // namespace lumetta
