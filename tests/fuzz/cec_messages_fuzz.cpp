// Messages from the television as the remote-control listener receives them, with interrupted
// and empty wake-ups and "try again" reads between them. Each input is a run of records: a
// control byte (bits 0-1: a wake-up without a message first, bits 2-3: a failed read first), a length
// byte and up to 16 message bytes. Whatever arrives, the listener takes every message, calls
// back only for whole button and power messages, releases only the button last pressed, ends
// at the stop and leaves no descriptor open.
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stop_token>

#include "device/cec_listener.h"
#include "support/fake_cec_adapter.h"
#include "support/manual_clock.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumetta;
    using namespace lumetta::testing;

    FakeCecDevice adapter;
    adapter.name = "cec0";
    int presses = 0;
    int powerReports = 0;
    int powerOn = 0;
    int failedReads = 0;
    std::size_t messages = 0;
    while (size >= 2) {
        const std::uint8_t control = data[0];
        cec_msg msg{};
        msg.len = data[1];
        data += 2;
        size -= 2;
        const std::size_t bytes = std::min<std::size_t>({size, msg.len, CEC_MAX_MSG_SIZE});
        if (bytes > 0) std::memcpy(msg.msg, data, bytes);
        data += bytes;
        size -= bytes;

        static constexpr PollResult wakeUps[] = {PollResult::Interrupted, PollResult::WokenWithoutInput,
                                                 PollResult::TimeOut};
        if ((control & 3) != 3) adapter.polls.push_back({wakeUps[control & 3], {}});
        if ((control & 4) != 0) {
            // The read fails first, the next pass's read takes the message.
            adapter.polls.push_back({PollResult::Ready, {}});
            adapter.receiveErrors.push_back((control & 8) != 0 ? EINTR : EAGAIN);
            ++failedReads;
        }
        adapter.polls.push_back({PollResult::Ready, {}});
        adapter.receiveErrors.push_back(0);
        adapter.received.push_back(msg);
        ++messages;

        if (msg.len >= 3 && msg.msg[1] == 0x44) ++presses;
        if (msg.len >= 3 && msg.msg[1] == 0x90 && msg.msg[2] <= 3) {
            ++powerReports;
            if (msg.msg[2] % 2 == 0) ++powerOn;
        }
    }

    FakeCecIo io({adapter});
    ManualClock clock;
    io.attachClock(clock);
    std::stop_source stop;
    io.device("cec0").whilePolling = [&] {
        if (io.waitingCount("cec0") == 0) stop.request_stop();
    };

    int keyDowns = 0;
    int keyUps = 0;
    int ons = 0;
    int offs = 0;
    bool held = false;
    std::uint8_t lastPressed = 0;
    const CecKeyHandler key = [&](std::uint8_t code, bool pressed) {
        if (pressed) {
            ++keyDowns;
            held = true;
            lastPressed = code;
        } else {
            check(held && code == lastPressed);
            held = false;
            ++keyUps;
        }
    };
    const CecPowerHandler power = [&](bool on) { ++(on ? ons : offs); };
    try {
        cecListen(io, clock, stop.get_token(), key, power);
    } catch (const std::exception&) {
        check(false);
    }
    check(keyDowns == presses);
    check(keyUps <= keyDowns);
    check(ons + offs == powerReports && ons == powerOn);
    check(io.waitingCount("cec0") == 0);
    check(io.device("cec0").receives == static_cast<int>(messages) + failedReads);
    check(io.openDescriptors() == 0);
    return 0;
}
