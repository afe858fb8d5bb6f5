// The set-up screen's background scan: a real scan thread running the fake wpa_cli, taken by
// polling as the screen does.
#include "wifi/background_scan.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "support/fake_wpa.h"
#include "support/manual_clock.h"
#include "support/process_hygiene.h"

namespace lumetta {
namespace {

using testing::FakeWpa;
using Commands = std::vector<std::string>;

constexpr auto ceiling = std::chrono::seconds(60);

const std::string table = "bssid / frequency / signal level / flags / ssid\n"
                          "02:00:00:00:01:00\t2412\t-45\t[WPA2-PSK-CCMP][ESS]\tHome\n";

// A clock whose sleeps fail, as a scan thread's unexpected failure.
class BrokenClock final : public Clock {
public:
    std::int64_t systemMs() const override { return systemClock().systemMs(); }
    std::int64_t steadyMs() const override { return systemClock().steadyMs(); }
    bool sleepUntil(std::int64_t, std::stop_token) override { throw std::runtime_error("the clock broke"); }
    bool waitUntil(std::condition_variable_any&, std::unique_lock<std::mutex>&, std::int64_t, std::stop_token,
                   const std::function<bool()>&) override {
        throw std::runtime_error("the clock broke");
    }
};

class BackgroundNetworkScan : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(testing::resolvesToFake("wpa_cli"))
            << "refusing to run: wpa_cli on PATH is " << testing::findOnPath("wpa_cli") << ", not the fake tool";
        clock.setAutoAdvance(true);
        system = wpa.system;
        system.clock = &clock;
        wpa.answer("ping", {.out = "PONG\n"});
        wpa.answer("scan", {.out = "OK\n"});
        wpa.answer("scan_results", {.out = table});
        wpa.answer("status", {.out = testing::statusAnswer("Home")});
    }
    void TearDown() override { EXPECT_EQ(hygiene.leftovers(), "") << "left behind by the test"; }

    // Polls as the screen does, once a millisecond, until the result comes (or the scan throws).
    static ScanResult take(BackgroundScan& scan) {
        const auto end = std::chrono::steady_clock::now() + ceiling;
        while (std::chrono::steady_clock::now() < end) {
            if (std::optional<ScanResult> result = scan.poll()) return std::move(*result);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ADD_FAILURE() << "the scan did not end";
        return {};
    }
    int scans() const { return wpa.fakes.calls("wpa_cli", wpa.key("scan")); }

    testing::ProcessHygiene hygiene;
    FakeWpa wpa;
    testing::ManualClock clock;
    WpaSystem system;
};

TEST_F(BackgroundNetworkScan, ScansOnlyWhenTheDaemonAnswers) {
    const ScanResult found = scanNetworks(system);
    EXPECT_TRUE(found.first);
    ASSERT_EQ(found.second.size(), 1u);
    EXPECT_EQ(found.second[0].ssid, "Home");
    EXPECT_TRUE(found.second[0].connected);

    wpa.answer("scan_results", {.out = "bssid / frequency / signal level / flags / ssid\n"});
    EXPECT_EQ(scanNetworks(system), ScanResult(true, {}));  // found nothing, but answered

    const testing::FakeAnswer silent[] = {{.out = "FAIL\n"}, {.out = "PONG\n", .status = 1}, {}};
    for (const testing::FakeAnswer& ping : silent) {
        FakeWpa fresh;
        fresh.answer("ping", ping);
        fresh.answer("@any", {.out = "OK\n"});
        EXPECT_EQ(scanNetworks(fresh.system), ScanResult(false, {})) << ping.out;
        EXPECT_EQ(fresh.commands(), Commands{"ping"}) << ping.out;  // no scan asked for
    }
}

TEST_F(BackgroundNetworkScan, TheScanRunsAtOnceOnItsOwnThread) {
    std::future<ScanResult> scan = startScan(system);
    ASSERT_NE(scan.wait_for(std::chrono::seconds(0)), std::future_status::deferred);
    ASSERT_EQ(scan.wait_for(ceiling), std::future_status::ready);
    const ScanResult result = scan.get();
    EXPECT_TRUE(result.first);
    EXPECT_EQ(result.second.size(), 1u);
}

TEST_F(BackgroundNetworkScan, ARescanWhileOneIsPendingStartsNothing) {
    clock.setAutoAdvance(false);  // the scan waits in its first pass until the test moves time on
    BackgroundScan scan(system);
    EXPECT_FALSE(scan.pending());
    EXPECT_FALSE(scan.poll().has_value());  // nothing started, nothing to take
    ASSERT_TRUE(scan.start());
    ASSERT_TRUE(clock.waitForWaiters(1));
    EXPECT_TRUE(scan.pending());
    EXPECT_FALSE(scan.poll().has_value());  // still running
    EXPECT_FALSE(scan.start());
    EXPECT_FALSE(scan.start());

    clock.setAutoAdvance(true);
    clock.advance(250);
    const ScanResult result = take(scan);
    EXPECT_TRUE(result.first);
    EXPECT_EQ(result.second.size(), 1u);
    EXPECT_EQ(scans(), 1);
    EXPECT_FALSE(scan.pending());
    EXPECT_FALSE(scan.poll().has_value());  // taken once

    ASSERT_TRUE(scan.start());  // once taken, a rescan starts the next
    EXPECT_TRUE(take(scan).first);
    EXPECT_EQ(scans(), 2);
}

TEST_F(BackgroundNetworkScan, ClosingWhileAScanRunsWaitsForIt) {
    // The scan request takes a while, so the scan is surely still running when the holder goes.
    wpa.answer("scan", {.out = "OK\n", .delaySeconds = "0.3"});
    {
        BackgroundScan scan(system);
        ASSERT_TRUE(scan.start());
    }
    // The holder is gone only once the whole scan ran, its last question included.
    const Commands commands = wpa.commands();
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands.back(), "status");
}

TEST_F(BackgroundNetworkScan, AFailureOfTheScanReachesWhoeverTakesTheResult) {
    BrokenClock broken;
    system.clock = &broken;
    BackgroundScan scan(system);
    ASSERT_TRUE(scan.start());
    EXPECT_THROW(take(scan), std::runtime_error);
    EXPECT_FALSE(scan.pending());
    EXPECT_FALSE(scan.poll().has_value());

    std::future<ScanResult> direct = startScan(system);
    EXPECT_THROW(direct.get(), std::runtime_error);
}

}  // namespace
}  // namespace lumetta
