#include "device/cec_listener.h"

#include <cerrno>
#include <exception>

namespace lumetta {

namespace {

constexpr std::uint8_t tvAddress = 0;
constexpr std::uint8_t opUserControlPressed = 0x44;
constexpr std::uint8_t opUserControlReleased = 0x45;
constexpr std::uint8_t opReportPowerStatus = 0x90;
constexpr std::uint8_t opGiveDevicePowerStatus = 0x8F;

constexpr std::int64_t powerQueryIntervalNs = 5'000'000'000;
constexpr int pollTimeoutMs = 250;

// The power states a television reports.
constexpr std::uint8_t powerOn = 0;
constexpr std::uint8_t powerStandby = 1;
constexpr std::uint8_t powerWaking = 2;
constexpr std::uint8_t powerGoingToStandby = 3;

struct HeldKey {
    bool held = false;
    std::uint8_t code = 0;
};

// One received message. The header (who sent it, to whom) does not matter here.
void act(const cec_msg& msg, HeldKey& key, const CecKeyHandler& onKey, const CecPowerHandler& onPower) {
    if (msg.len < 2) return;
    switch (msg.msg[1]) {
    case opUserControlPressed:
        if (msg.len < 3) return;
        // A second press without a release replaces the first; only the last one is released.
        key.code = msg.msg[2];
        onKey(key.code, true);
        key.held = true;
        return;
    case opUserControlReleased:
        if (!key.held) return;
        onKey(key.code, false);
        key.held = false;
        return;
    case opReportPowerStatus:
        if (msg.len < 3) return;
        if (msg.msg[2] == powerOn || msg.msg[2] == powerWaking) {
            onPower(true);
        } else if (msg.msg[2] == powerStandby || msg.msg[2] == powerGoingToStandby) {
            onPower(false);
        }
        return;
    default:
        return;
    }
}

}  // namespace

void cecListen(CecIo& io, Clock& clock, std::stop_token stop, const CecKeyHandler& key,
               const CecPowerHandler& power) {
    CecAdapter adapter = findCecAdapter(io);
    const cec_log_addrs addresses = claimCecPlaybackAddress(io, adapter.fd);
    const std::uint8_t la = addresses.log_addr[0];
    std::uint32_t mode = CEC_MODE_INITIATOR | CEC_MODE_FOLLOWER;
    if (io.ioctl(adapter.fd, CEC_S_MODE, &mode) < 0) throw errnoMessage("Enabling CEC follower mode failed");

    std::int64_t queryDueNs = 0;  // the first query goes out at once
    HeldKey held;
    for (;;) {
        if (stop.stop_requested()) return;

        if (clock.steadyNs() >= queryDueNs) {
            cec_msg query{};
            query.len = 2;
            query.msg[0] = static_cast<std::uint8_t>((la << 4) | tvAddress);
            query.msg[1] = opGiveDevicePowerStatus;
            try {
                cecTransmit(io, adapter.fd, query);
            } catch (const std::exception&) {
                // A television that is off or away does not answer; the next query will tell.
            }
            queryDueNs = clock.steadyNs() + powerQueryIntervalNs;
        }

        pollfd waiting{adapter.fd, POLLIN, 0};
        const int ready = io.poll(&waiting, 1, pollTimeoutMs);
        if (ready < 0) {
            if (errno == EINTR) continue;
            throw errnoMessage("Polling CEC adapter failed");
        }
        if (ready == 0 || (waiting.revents & POLLIN) == 0) continue;

        cec_msg msg{};
        if (io.ioctl(adapter.fd, CEC_RECEIVE, &msg) < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            throw errnoMessage("Receiving CEC message failed");
        }
        act(msg, held, key, power);
    }
}

void cecListen(std::stop_token stop, const CecKeyHandler& key, const CecPowerHandler& power) {
    cecListen(systemCecIo(), systemClock(), std::move(stop), key, power);
}

}  // namespace lumetta
