#include "link/slide_sync_packet.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <atomic>
#include <cstring>

#include "core/config_store.h"

namespace lumetta {

namespace {

constexpr std::size_t signedSize = 48;
constexpr std::size_t tagOffset = 48;
constexpr std::size_t tagSize = 32;

std::atomic<std::uint64_t> generation{0};

void putBig(std::uint8_t* at, std::uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        at[i] = static_cast<std::uint8_t>(value & 0xFF);
        value >>= 8;
    }
}

std::uint64_t getBig(const std::uint8_t* at, int bytes) {
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value = (value << 8) | at[i];
    return value;
}

// HMAC-SHA256 of bytes 0..47 keyed with the group id; false when it fails or comes out short.
bool signature(const std::uint8_t* bytes, std::string_view groupId, std::uint8_t (&tag)[EVP_MAX_MD_SIZE]) {
    unsigned int length = 0;
    static const char noKey[1] = {0};
    const void* key = groupId.empty() ? noKey : groupId.data();
    const unsigned char* result = HMAC(EVP_sha256(), key, static_cast<int>(groupId.size()), bytes,
                                       signedSize, tag, &length);
    return result != nullptr && length >= tagSize;
}

bool headerValid(const std::uint8_t* data) {
    const bool magicValid = std::memcmp(data, slideAnnouncementMagic.data(), 4) == 0 ||
                            std::memcmp(data, slideRequestMagic.data(), 4) == 0;
    return magicValid && getBig(data + 4, 2) == slideSyncVersion && getBig(data + 6, 2) == slideSyncPacketSize;
}

}  // namespace

std::uint64_t slideSyncHash(std::string_view text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr) != 1 || length < 8) return 0;
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | digest[i];
    return value;
}

GroupIdentity::GroupIdentity(const std::string& baseDirectory, const std::string& deviceIdText)
    : groupId(configString(baseDirectory, "groupId")), deviceId(deviceIdText) {}

std::uint64_t groupConfigGeneration() {
    const std::uint64_t value = generation.load(std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    return value;
}

void bumpGroupConfigGeneration() {
    std::atomic_thread_fence(std::memory_order_seq_cst);
    generation.fetch_add(1);
}

bool encodeSlidePacket(const SlideSyncFields& fields, std::string_view groupId, std::string_view deviceId,
                       SlideSyncPacket& out) {
    if (fields.magic.size() != 4) return false;
    out.fill(0);
    std::uint8_t* p = out.data();
    std::memcpy(p, fields.magic.data(), 4);
    putBig(p + 4, slideSyncVersion, 2);
    putBig(p + 6, slideSyncPacketSize, 2);
    putBig(p + 8, slideSyncHash(groupId), 8);
    putBig(p + 16, slideSyncHash(deviceId), 8);
    putBig(p + 24, fields.sendTime, 8);
    putBig(p + 32, fields.startTime, 8);
    putBig(p + 40, static_cast<std::uint32_t>(fields.slidePosition), 4);
    p[47] = fields.flags;
    std::uint8_t tag[EVP_MAX_MD_SIZE];
    if (!signature(p, groupId, tag)) return false;
    std::memcpy(p + tagOffset, tag, tagSize);
    return true;
}

SlidePacketVerdict checkSlidePacket(const std::uint8_t* data, std::size_t length, const GroupIdentity& identity,
                                    SlideSyncInfo& info, const Clock& clock) {
    if (data == nullptr || length != slideSyncPacketSize) return SlidePacketVerdict::wrongSize;
    if (!identity.isComplete()) return SlidePacketVerdict::incompleteIdentity;
    if (!headerValid(data)) return SlidePacketVerdict::badHeader;
    if (getBig(data + 8, 8) != slideSyncHash(identity.groupId)) return SlidePacketVerdict::otherGroup;

    // The tag is computed over a copy whose tag bytes are zero, as the sender saw it.
    SlideSyncPacket copy;
    std::memcpy(copy.data(), data, slideSyncPacketSize);
    std::memset(copy.data() + tagOffset, 0, tagSize);
    std::uint8_t expected[EVP_MAX_MD_SIZE];
    if (!signature(copy.data(), identity.groupId, expected)) return SlidePacketVerdict::badTag;
    if (CRYPTO_memcmp(expected, data + tagOffset, tagSize) != 0) return SlidePacketVerdict::badTag;

    const auto position = static_cast<std::int32_t>(static_cast<std::uint32_t>(getBig(data + 40, 4)));
    if (position < 0) return SlidePacketVerdict::negativePosition;

    const std::int64_t nowSigned = clock.systemMs();
    const auto now = static_cast<std::uint64_t>(nowSigned);
    const std::uint64_t sendTime = getBig(data + 24, 8);
    if (sendTime > now + slideSyncFutureLimitMs) return SlidePacketVerdict::outOfWindow;
    if (now > slideSyncPastLimitMs && sendTime < now - slideSyncPastLimitMs) return SlidePacketVerdict::outOfWindow;

    const std::uint64_t startTime = getBig(data + 32, 8);
    const std::uint8_t flags = data[47];
    info.isRequest = std::memcmp(data, slideRequestMagic.data(), 4) == 0;
    info.electionRequest = info.isRequest && (flags & slideElectionFlag) != 0;
    info.pending = nowSigned < static_cast<std::int64_t>(startTime) || (flags & slideChangeFlag) != 0;
    info.slidePosition = position;
    info.sendTime = sendTime;
    info.startTime = startTime;
    info.senderHash = getBig(data + 16, 8);
    return SlidePacketVerdict::accepted;
}

bool verifySlidePacket(const std::uint8_t* data, std::size_t length, const GroupIdentity& identity,
                       SlideSyncInfo& info, const Clock& clock) {
    return checkSlidePacket(data, length, identity, info, clock) == SlidePacketVerdict::accepted;
}

SlidePacketOrigin slidePacketOrigin(const std::uint8_t* data, std::size_t length) {
    if (data == nullptr || length != slideSyncPacketSize || !headerValid(data)) return {};
    return {getBig(data + 8, 8), getBig(data + 16, 8)};
}

}  // namespace lumetta
