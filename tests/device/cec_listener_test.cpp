#include "device/cec_listener.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/fake_cec_adapter.h"
#include "support/manual_clock.h"

namespace lumetta {
namespace {

using testing::FakeCecDevice;
using testing::FakeCecIo;
using testing::ManualClock;
using testing::PollResult;
using testing::PollStep;
using testing::TransmitOutcome;
using Bytes = std::vector<std::vector<std::uint8_t>>;

// The Playback address the fake adapter hands out to a claim.
constexpr std::uint8_t claimed = 4;

FakeCecDevice adapter() {
    FakeCecDevice d;
    d.name = "cec0";
    d.addressOnClaim = claimed;
    return d;
}

cec_msg message(std::vector<std::uint8_t> bytes, std::uint32_t len) {
    cec_msg msg{};
    if (!bytes.empty()) std::memcpy(msg.msg, bytes.data(), std::min<std::size_t>(bytes.size(), CEC_MAX_MSG_SIZE));
    msg.len = len;
    return msg;
}
cec_msg message(std::vector<std::uint8_t> bytes) {
    const auto len = static_cast<std::uint32_t>(bytes.size());
    return message(std::move(bytes), len);
}

// A listener over the scripted adapter and a manual clock, recording its calls as text.
struct Listening {
    FakeCecIo io;
    ManualClock clock;
    std::stop_source stop;
    std::vector<std::string> calls;
    CecKeyHandler key = [this](std::uint8_t code, bool pressed) {
        char text[16];
        std::snprintf(text, sizeof text, "key %02x %s", code, pressed ? "down" : "up");
        calls.emplace_back(text);
    };
    CecPowerHandler power = [this](bool on) { calls.emplace_back(on ? "power on" : "power off"); };

    explicit Listening(std::vector<FakeCecDevice> devices = {adapter()}) : io(std::move(devices)) {
        io.attachClock(clock);
    }
    FakeCecDevice& device() { return io.device("cec0"); }
    // Stops once every queued message has been taken.
    void stopWhenDrained() {
        device().whilePolling = [this] {
            if (io.waitingCount("cec0") == 0) stop.request_stop();
        };
    }
    void run() { cecListen(io, clock, stop.get_token(), key, power); }
    // The failure's text; empty when the listener returned.
    std::string failure() {
        try {
            run();
        } catch (const std::exception& error) {
            return error.what();
        }
        return {};
    }
};

TEST(CecListener, QueriesTheTelevisionAtOnceAndThenEveryFiveSecondsWhateverTheAnswer) {
    Listening l;
    const std::int64_t start = l.clock.steadyMs();
    // Three queries go unanswered in each way a transmit fails; the rhythm stays.
    l.device().outcomes = {TransmitOutcome{EIO}, TransmitOutcome{0, CEC_TX_STATUS_NACK, 0},
                           TransmitOutcome{0, 0, 0}, TransmitOutcome{0, CEC_TX_STATUS_OK, CEC_RX_STATUS_FEATURE_ABORT}};
    std::size_t sentAtFirstPoll = 0;
    bool firstPoll = true;
    l.device().whilePolling = [&] {
        if (firstPoll) sentAtFirstPoll = l.io.sentCount("cec0");
        firstPoll = false;
        if (l.clock.steadyMs() >= start + 60'000) l.stop.request_stop();
    };
    l.run();

    const FakeCecDevice& d = l.device();
    EXPECT_EQ(sentAtFirstPoll, 1u) << "the first query goes out before the first wait";
    ASSERT_EQ(d.claims.size(), 1u);
    EXPECT_EQ(d.modes, std::vector<std::uint32_t>{0x11});
    std::vector<std::int64_t> every5s;
    for (std::int64_t t = start; t <= start + 60'000; t += 5000) every5s.push_back(t);
    EXPECT_EQ(d.sentAtMs, every5s);
    EXPECT_EQ(l.io.sentBytes("cec0"), Bytes(every5s.size(), {claimed << 4, 0x8F}));
    EXPECT_EQ(d.pollTimeouts, std::vector<int>(60'000 / 250 + 1, 250));
    EXPECT_EQ(d.receives, 0);
    EXPECT_TRUE(l.calls.empty());
    EXPECT_EQ(l.io.openDescriptors(), 0);
}

TEST(CecListener, TurnsButtonsAndPowerReportsIntoCallsInOrder) {
    struct Case {
        const char* what;
        std::vector<cec_msg> received;
        std::vector<std::string> calls;
    };
    const std::vector<Case> cases = {
        {"a second press replaces the first; the release is the last one's",
         {message({0x04, 0x44, 0x01}), message({0x04, 0x44, 0x02}), message({0x04, 0x45})},
         {"key 01 down", "key 02 down", "key 02 up"}},
        {"a release without a press, and a second release",
         {message({0x04, 0x45}), message({0x04, 0x44, 0x0D}), message({0x04, 0x45}), message({0x04, 0x45})},
         {"key 0d down", "key 0d up"}},
        {"who sent it and to whom does not matter",
         {message({0xF4, 0x44, 0x00}), message({0x0F, 0x45})}, {"key 00 down", "key 00 up"}},
        {"power states 0 and 2 are on, 1 and 3 standby, others nothing",
         {message({0x04, 0x90, 0}), message({0x04, 0x90, 1}), message({0x04, 0x90, 2}), message({0x04, 0x90, 3}),
          message({0x04, 0x90, 4}), message({0x04, 0x90, 0xFF})},
         {"power on", "power off", "power on", "power off"}},
        {"too short for the opcode or its operand",
         {message({0x04, 0x44, 0x05}), message({}, 0), message({0x04}, 1), message({0x04, 0x44}),
          message({0x04, 0x90}), message({0x04, 0x45}, 1), message({0x04, 0x90, 1}, 1), message({0x04, 0x44, 0x01}, 2),
          message({0x04, 0x45}, 2)},
         {"key 05 down", "key 05 up"}},
        {"the longest message: only the operand is read",
         {message({0x04, 0x44, 0x03, 0x77}, 16), message({0x04, 0x45, 0x09}, 16), message({0x04, 0x90, 2, 1}, 16)},
         {"key 03 down", "key 03 up", "power on"}},
        {"other opcodes are ignored, and a release still needs a press",
         {message({0x04, 0x36}), message({0x04, 0x46, 0x01}), message({0x04, 0x8F}), message({0x04, 0x45})}, {}},
    };
    for (const Case& c : cases) {
        Listening l;
        l.device().received.assign(c.received.begin(), c.received.end());
        l.stopWhenDrained();
        l.run();
        EXPECT_EQ(l.calls, c.calls) << c.what;
        EXPECT_EQ(l.device().receives, static_cast<int>(c.received.size())) << c.what;
        EXPECT_EQ(l.io.openDescriptors(), 0) << c.what;
    }
}

TEST(CecListener, EveryButtonCodeIsHandedOnAsIs) {
    Listening l;
    for (int code = 0; code <= 0xFF; ++code) {
        l.device().received.push_back(message({0x04, 0x44, static_cast<std::uint8_t>(code)}));
        l.device().received.push_back(message({0x04, 0x45}));
    }
    l.stopWhenDrained();
    l.run();
    ASSERT_EQ(l.calls.size(), 512u);
    for (int code = 0; code <= 0xFF; ++code) {
        char down[16];
        char up[16];
        std::snprintf(down, sizeof down, "key %02x down", code);
        std::snprintf(up, sizeof up, "key %02x up", code);
        EXPECT_EQ(l.calls[2 * code], down);
        EXPECT_EQ(l.calls[2 * code + 1], up);
    }
}

TEST(CecListener, PassesOverInterruptedAndEmptyWakeUpsWithoutLosingMessages) {
    Listening l;
    FakeCecDevice& d = l.device();
    d.received = {message({0x04, 0x44, 0x01}), message({0x04, 0x45})};
    d.polls = {{PollResult::Interrupted, {}}, {PollResult::WokenWithoutInput, {}}, {PollResult::TimeOut, {}},
               {PollResult::Ready, {}}, {PollResult::Ready, {}}, {PollResult::Ready, {}}};
    // Two reads say "try again" and are retried on the next passes.
    d.receiveErrors = {EAGAIN, EINTR};
    l.stopWhenDrained();
    l.run();
    EXPECT_EQ(l.calls, (std::vector<std::string>{"key 01 down", "key 01 up"}));
    EXPECT_EQ(d.receives, 4);
    EXPECT_EQ(d.pollTimeouts.size(), 8u) << "the last pass sees the stop after the drained poll";
    // Only the scripted time-out and the last one took time; the query was not due again.
    EXPECT_EQ(l.io.sentBytes("cec0").size(), 1u);
    EXPECT_EQ(l.io.openDescriptors(), 0);
}

TEST(CecListener, FailuresLeaveWithTheirTextAndTheAdapterClosed) {
    const std::string ioError = std::strerror(EIO);
    struct Case {
        const char* what;
        std::function<void(FakeCecDevice&)> arrange;
        std::string failure;
        bool noDevice = false;
    };
    const std::vector<Case> cases = {
        {"no adapter", {}, "No usable /dev/cec adapter found", true},
        {"reading the addresses", [](FakeCecDevice& d) { d.failingRequests[CEC_ADAP_G_LOG_ADDRS] = EIO; },
         "Reading CEC logical addresses failed: " + ioError},
        {"claiming an address", [](FakeCecDevice& d) { d.failingRequests[CEC_ADAP_S_LOG_ADDRS] = EIO; },
         "Claiming a CEC playback address failed: " + ioError},
        {"the mode", [](FakeCecDevice& d) { d.failingRequests[CEC_S_MODE] = EINVAL; },
         "Enabling CEC follower mode failed: " + std::string(std::strerror(EINVAL))},
        {"the poll",
         [](FakeCecDevice& d) { d.polls = {{PollResult::Interrupted, {}}, {PollResult::Failed, {}}}; },
         "Polling CEC adapter failed: " + ioError},
        {"the read",
         [](FakeCecDevice& d) {
             d.received = {message({0x04, 0x44, 0x01})};
             d.receiveErrors = {EAGAIN, EIO};
         },
         "Receiving CEC message failed: " + ioError},
    };
    for (const Case& c : cases) {
        Listening l(c.noDevice ? std::vector<FakeCecDevice>{} : std::vector<FakeCecDevice>{adapter()});
        if (c.arrange) c.arrange(l.device());
        EXPECT_EQ(l.failure(), c.failure) << c.what;
        EXPECT_TRUE(l.calls.empty()) << c.what;
        EXPECT_EQ(l.io.openDescriptors(), 0) << c.what;
    }
}

TEST(CecListener, ACallbackThatThrowsOrIsMissingEndsTheListener) {
    {
        Listening l;
        l.device().received = {message({0x04, 0x44, 0x01}), message({0x04, 0x45})};
        l.key = [](std::uint8_t, bool) { throw std::runtime_error("queue gone"); };
        EXPECT_EQ(l.failure(), "queue gone");
        EXPECT_EQ(l.io.waitingCount("cec0"), 1u);
        EXPECT_EQ(l.io.openDescriptors(), 0);
    }
    {
        Listening l;
        l.device().received = {message({0x04, 0x45}), message({0x04, 0x90, 0})};
        l.power = nullptr;
        EXPECT_THROW(l.run(), std::bad_function_call);
        EXPECT_EQ(l.io.openDescriptors(), 0);
    }
}

TEST(CecListener, AStopDuringTheWaitIsHonouredWhenTheWaitEnds) {
    Listening l;
    FakeCecDevice& d = l.device();
    d.received = {message({0x04, 0x44, 0x01})};
    d.polls = {{PollResult::TimeOut, [&] { l.stop.request_stop(); }}};
    l.run();
    EXPECT_EQ(d.pollTimeouts.size(), 1u);
    EXPECT_EQ(d.receives, 0);
    EXPECT_TRUE(l.calls.empty());
    EXPECT_EQ(l.io.openDescriptors(), 0);
}

TEST(CecListener, TakesOneMessagePerPassAndSeesAStopAtTheNext) {
    Listening l;
    constexpr int queued = 10'000;
    constexpr int stopAfter = 6'000;
    for (int i = 0; i < queued / 2; ++i) {
        l.device().received.push_back(message({0x04, 0x44, static_cast<std::uint8_t>(i % 6)}));
        l.device().received.push_back(message({0x04, 0x45}));
    }
    int calls = 0;
    bool ordered = true;
    l.key = [&](std::uint8_t code, bool pressed) {
        ordered = ordered && pressed == (calls % 2 == 0) && code == (calls / 2) % 6;
        if (++calls == stopAfter) l.stop.request_stop();
    };
    l.run();
    EXPECT_EQ(calls, stopAfter);
    EXPECT_TRUE(ordered);
    EXPECT_EQ(l.device().receives, stopAfter);
    EXPECT_EQ(l.device().pollTimeouts.size(), static_cast<std::size_t>(stopAfter));
    EXPECT_EQ(l.io.waitingCount("cec0"), static_cast<std::size_t>(queued - stopAfter));
    EXPECT_EQ(l.io.openDescriptors(), 0);
}

TEST(CecListener, ThePowerCommandSendsFromTheListenersAddressWithoutAClaim) {
    Listening l;
    l.device().received = {message({0x04, 0x44, 0x00})};
    std::string result = "not run";
    l.key = [&](std::uint8_t, bool) {
        result = cecSetPower(l.io, true);
        l.stop.request_stop();
    };
    l.run();
    EXPECT_EQ(result, "");
    const FakeCecDevice& d = l.device();
    EXPECT_EQ(d.claims.size(), 1u) << "only the listener's";
    EXPECT_EQ(d.modes, (std::vector<std::uint32_t>{0x11, 0x01}));
    const Bytes expected = {{claimed << 4, 0x8F}, {claimed << 4, 0x04}, {(claimed << 4) | 0x0F, 0x82, 0x10, 0x00}};
    EXPECT_EQ(l.io.sentBytes("cec0"), expected);
    EXPECT_EQ(l.io.openDescriptors(), 0);
}

TEST(CecListener, AnAdapterWithAnAddressIsUsedAsItIs) {
    FakeCecDevice d = adapter();
    d.logicalAddresses.num_log_addrs = 1;
    d.logicalAddresses.log_addr[0] = 8;
    Listening l({d});
    l.stopWhenDrained();
    l.run();
    EXPECT_TRUE(l.device().claims.empty());
    EXPECT_EQ(l.io.sentBytes("cec0"), (Bytes{{0x80, 0x8F}}));
}

}  // namespace
}  // namespace lumetta
