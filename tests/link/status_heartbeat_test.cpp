#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "link/status_heartbeat.h"
#include "support/manual_clock.h"

namespace lumetta {
namespace {

using testing::ManualClock;

// A device whose temperature reads as the given text.
struct FakeSensor : TelemetrySources {
    explicit FakeSensor(std::string text) : text(std::move(text)) {}
    std::string temperature(const std::string&) override { return text; }
    std::string text;
};

struct FakeDevice {
    explicit FakeDevice(std::string temperature) : sensor(std::move(temperature)) {}
    FakeSensor sensor;
    Command command{seams(sensor)};
    static CommandSeams seams(TelemetrySources& sources) {
        CommandSeams result;
        result.model = "Test Board";
        result.sources = &sources;
        return result;
    }
};

std::vector<std::string> drain(OutgoingMessageQueue& queue) {
    std::vector<std::string> frames;
    while (const auto oldest = queue.copyOldest()) {
        frames.push_back(*oldest);
        queue.removeSent(*oldest);
    }
    return frames;
}

TEST(StatusHeartbeat, SendsThirtySecondsAfterOpeningThenEveryThirtyAndNothingWhileDown) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::int64_t, std::int64_t>> open;  // [from, to) ms in which the link is open
        std::int64_t runMs;
        std::vector<std::int64_t> statusAt;  // pass times at which a status is queued
    };
    const std::vector<Case> cases = {
        {"up for 65 s: two", {{0, 65'000}}, 70'000, {30'000, 60'000}},
        {"dropped within 30 s: none", {{0, 29'900}}, 70'000, {}},
        {"never up: none", {}, 120'000, {}},
        {"a new connection starts the 30 s again", {{0, 20'000}, {25'000, 90'000}}, 90'000, {55'000, 85'000}},
        {"open from the first pass, up to the due time", {{0, 30'000}}, 30'000, {}},
        {"opened late", {{12'300, 50'000}}, 50'000, {42'300}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::atomic<bool> running{true};
        OutgoingMessageQueue queue(running);
        const FakeDevice device("48.3");
        StatusHeartbeat heartbeat(device.command, queue);
        std::vector<std::int64_t> statusAt;
        // Passes every 100 ms, as the heartbeat thread makes them.
        for (std::int64_t now = 0; now < c.runMs; now += 100) {
            bool open = false;
            for (const auto& [from, to] : c.open) open = open || (now >= from && now < to);
            const std::size_t before = queue.size();
            heartbeat.pass(open, 5'000'000 + now);
            if (queue.size() > before) statusAt.push_back(now);
        }
        EXPECT_EQ(statusAt, c.statusAt);
        for (const std::string& frame : drain(queue)) {
            EXPECT_EQ(frame, R"({"data":{"temperature":"48.3"},"type":"status"})");
        }
    }
}

TEST(StatusHeartbeat, ThreadQueuesStatusesOnItsClockAndEndsAtOnceWhenStopped) {
    ManualClock clock;
    clock.setAutoAdvance(true);  // every 100 ms sleep passes at once
    std::atomic<bool> running{true};
    std::atomic<bool> linkOpen{true};
    OutgoingMessageQueue queue(running);
    const FakeDevice device("51.0");
    const std::int64_t start = clock.steadyMs();

    std::jthread thread([&](std::stop_token stop) {
        webSocketHeartbeat(stop, device.command, StatusHeartbeatOptions{&clock, &linkOpen, &queue});
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (queue.size() < 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    linkOpen = false;  // no more from here on
    ASSERT_GE(queue.size(), 2u);
    EXPECT_GE(clock.steadyMs() - start, 60'000);
    EXPECT_EQ(queue.copyOldest(), R"({"data":{"temperature":"51.0"},"type":"status"})");

    // Stopped while asleep on a clock that does not move: the stop ends the sleep.
    clock.setAutoAdvance(false);
    ASSERT_TRUE(clock.waitForWaiters(1));
    auto stopped = std::async(std::launch::async, [&] {
        thread.request_stop();
        thread.join();
    });
    EXPECT_EQ(stopped.wait_for(std::chrono::seconds(5)), std::future_status::ready);
}

}  // namespace
}  // namespace lumetta
