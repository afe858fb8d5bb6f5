// Group slide-sync datagrams as the listener receives them. Raw bytes rarely get past the
// signature, so half the inputs are turned into properly signed packets of the listener's group
// first (fields taken from the input) and then damaged at the spots the input names.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "link/slide_sync_packet.h"

namespace {

class FixedClock final : public lumetta::Clock {
public:
    explicit FixedClock(std::int64_t now) : now_(now) {}
    std::int64_t systemMs() const override { return now_; }
    std::int64_t steadyMs() const override { return now_; }
    bool sleepUntil(std::int64_t, std::stop_token) override { return true; }
    bool waitUntil(std::condition_variable_any&, std::unique_lock<std::mutex>&, std::int64_t, std::stop_token,
                   const std::function<bool()>& ready) override {
        return ready();
    }

private:
    std::int64_t now_;
};

std::uint64_t take64(const std::uint8_t*& data, std::size_t& size) {
    std::uint64_t value = 0;
    for (int i = 0; i < 8 && size > 0; ++i, ++data, --size) value = (value << 8) | *data;
    return value;
}

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumetta;
    static const FixedClock clock(1'750'000'000'000);
    GroupIdentity identity;
    identity.groupId = "lobby";
    identity.deviceId = "SELF";
    if (size == 0) return 0;

    const bool build = (data[0] & 1) != 0;
    ++data;
    --size;
    SlideSyncInfo info;
    if (!build) {
        const bool accepted = verifySlidePacket(data, size, identity, info, clock);
        slidePacketOrigin(data, size);
        // Forging a tag by chance would be a finding in itself.
        check(!accepted);
        return 0;
    }

    // A signed packet from the input's fields, near the receiver's clock or anywhere.
    const std::uint64_t sendRaw = take64(data, size);
    const std::uint64_t startTime = take64(data, size);
    const std::uint64_t rest = take64(data, size);
    const std::uint64_t now = static_cast<std::uint64_t>(clock.systemMs());
    const std::uint64_t sendTime = (rest & 0x100) != 0 ? sendRaw : now - 400'000 + sendRaw % 500'000;
    const auto position = static_cast<std::int32_t>(rest >> 32);
    const auto flags = static_cast<std::uint8_t>(rest);
    const bool request = (rest & 0x200) != 0;
    const SlideSyncFields fields{request ? slideRequestMagic : slideAnnouncementMagic, sendTime, startTime,
                                 position, flags};
    const char* sender = (rest & 0x400) != 0 ? "PEER" : "SELF";
    SlideSyncPacket packet{};
    check(encodeSlidePacket(fields, identity.groupId, sender, packet));

    // The remaining input: (offset, xor) pairs applied to the packet.
    for (; size >= 2; data += 2, size -= 2) packet[data[0] % packet.size()] ^= data[1];
    SlideSyncPacket original{};
    check(encodeSlidePacket(fields, identity.groupId, sender, original));
    const bool changed = std::memcmp(original.data(), packet.data(), packet.size()) != 0;

    const bool accepted = verifySlidePacket(packet.data(), packet.size(), identity, info, clock);
    if (changed) {
        check(!accepted);
        return 0;
    }
    const bool inWindow = sendTime <= now + slideSyncFutureLimitMs && sendTime >= now - slideSyncPastLimitMs;
    check(accepted == (position >= 0 && inWindow));
    if (accepted) {
        check(info.slidePosition == position && info.sendTime == sendTime && info.startTime == startTime);
        check(info.isRequest == request);
        check(info.electionRequest == (request && (flags & slideElectionFlag) != 0));
        const bool pending = static_cast<std::int64_t>(now) < static_cast<std::int64_t>(startTime) ||
                             (flags & slideChangeFlag) != 0;
        check(info.pending == pending);
    }
    return 0;
}
