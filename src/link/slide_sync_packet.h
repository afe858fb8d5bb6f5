#pragma once
// The group slide-sync datagram shared by the players of one group: its 80-byte layout, the
// identity it is built from, the process-wide group-configuration generation, and the check that
// every received datagram passes before it may change anything.
//
// Layout (every number big-endian):
//   0  magic "QVL2" (slide announcement) or "QVLR" (request)
//   4  version 2 (16 bit)            6  length 80 (16 bit)
//   8  group hash (64 bit)          16  sender hash (64 bit)
//  24  send time, Unix ms (64 bit)  32  start time, Unix ms (64 bit)
//  40  slide position (signed 32)   44  flags (32 bit; bit 0 change, bit 1 election)
//  48  HMAC-SHA256 over bytes 0..47, keyed with the group id text

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/clock.h"

namespace lumetta {

// The UDP port every player of a group sends to and listens on.
inline constexpr std::uint16_t slideSyncPort = 9000;
inline constexpr std::size_t slideSyncPacketSize = 80;
inline constexpr std::uint16_t slideSyncVersion = 2;
inline constexpr std::string_view slideAnnouncementMagic = "QVL2";
inline constexpr std::string_view slideRequestMagic = "QVLR";
inline constexpr std::uint8_t slideChangeFlag = 0x01;
inline constexpr std::uint8_t slideElectionFlag = 0x02;
// How far a send time may lie ahead of, or behind, the receiver's wall clock.
inline constexpr std::uint64_t slideSyncFutureLimitMs = 60'000;
inline constexpr std::uint64_t slideSyncPastLimitMs = 300'000;

// One datagram as it goes on the wire.
using SlideSyncPacket = std::array<std::uint8_t, slideSyncPacketSize>;

// The 64-bit hash of a group id or device id: the first eight SHA-256 digest bytes read as a
// little-endian number (0 when the digest cannot be computed). Written big-endian on the wire,
// so the packet carries those digest bytes in reverse order.
std::uint64_t slideSyncHash(std::string_view text);

// Who a player is in its group: the configured "groupId" and the device identity.
struct GroupIdentity {
    std::string groupId;
    std::string deviceId;

    GroupIdentity() = default;
    // groupId from the configuration key "groupId" under `baseDirectory` (empty when missing).
    GroupIdentity(const std::string& baseDirectory, const std::string& deviceIdText);

    // Group sync runs only with both texts present.
    bool isComplete() const { return !groupId.empty() && !deviceId.empty(); }
    std::uint64_t deviceHash() const { return slideSyncHash(deviceId); }
};

// The process-wide group-configuration generation: bumped after the group id is stored or
// removed; the player loop and the listener rebuild their group state when it changes.
std::uint64_t groupConfigGeneration();
void bumpGroupConfigGeneration();

// What the content of a packet asks for; the encoder does not judge it (the sender refuses
// negative positions before it gets here).
struct SlideSyncFields {
    std::string_view magic;  // slideAnnouncementMagic or slideRequestMagic
    std::uint64_t sendTime = 0;
    std::uint64_t startTime = 0;
    std::int32_t slidePosition = 0;
    std::uint8_t flags = 0;
};

// Writes the whole packet for `groupId` and `deviceId` into `out` and signs it. False when the
// magic is not four bytes or the signature cannot be computed (then `out` is of no use).
bool encodeSlidePacket(const SlideSyncFields& fields, std::string_view groupId, std::string_view deviceId,
                       SlideSyncPacket& out);

// What a verified packet says.
struct SlideSyncInfo {
    bool isRequest = false;
    bool electionRequest = false;
    bool pending = false;  // its slide starts later, or it announces a change
    std::int32_t slidePosition = 0;
    std::uint64_t sendTime = 0;
    std::uint64_t startTime = 0;
    std::uint64_t senderHash = 0;
};

// Why a datagram was refused, in the order the checks run.
enum class SlidePacketVerdict {
    accepted,
    wrongSize,          // not exactly 80 bytes (or no data)
    incompleteIdentity, // the receiver has no group
    badHeader,          // magic, version or length field
    otherGroup,         // a well-formed packet of another group
    badTag,             // signature does not match
    negativePosition,
    outOfWindow,        // send time too far ahead of or behind the receiver's clock
};

// Checks one received datagram against the receiving identity, the receiver's wall clock giving
// "now"; fills `info` only when it is accepted. Keeps no state.
SlidePacketVerdict checkSlidePacket(const std::uint8_t* data, std::size_t length, const GroupIdentity& identity,
                                    SlideSyncInfo& info, const Clock& clock = systemClock());

// True and `info` filled when the datagram is a valid packet of this group.
bool verifySlidePacket(const std::uint8_t* data, std::size_t length, const GroupIdentity& identity,
                       SlideSyncInfo& info, const Clock& clock = systemClock());

// The group and sender hashes of a datagram that has the packet's size and header (zero
// otherwise); for telling the senders of refused packets apart.
struct SlidePacketOrigin {
    std::uint64_t groupHash = 0;
    std::uint64_t senderHash = 0;
};
SlidePacketOrigin slidePacketOrigin(const std::uint8_t* data, std::size_t length);

}  // namespace lumetta
