// The slide-sync datagram as bytes: its exact layout and signature, and every way a received
// datagram is refused.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <cstring>
#include <string>
#include <vector>

#include "core/config_store.h"
#include "link/slide_sync_packet.h"
#include "slide_sync_test_support.h"
#include "support/manual_clock.h"
#include "support/temp_dir.h"

namespace lumetta {
namespace {

using testing::forgePacket;
using testing::ManualClock;

std::vector<std::uint8_t> fromHex(const std::string& hex) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

GroupIdentity identityOf(std::string group, std::string device) {
    GroupIdentity identity;
    identity.groupId = std::move(group);
    identity.deviceId = std::move(device);
    return identity;
}

// Computed apart from this code (SHA-256 and HMAC-SHA256 of a scripting language's library).
TEST(SlideSyncPacket, GoldenBytesOfAnAnnouncement) {
    SlideSyncPacket packet{};
    ASSERT_TRUE(encodeSlidePacket({slideAnnouncementMagic, 1750000000123, 1750000000873, 7, slideChangeFlag},
                                  "lobby", "DEVICE-0001", packet));
    const std::vector<std::uint8_t> expected = fromHex(
        "51564c320002005022c1b9e776c05d4b9a499cbaaf3e4361000001977420dc7b000001977420df69000000070000000174ce6dc1"
        "32139801ebbb5e6a52c0d2bf65f2d82c175bbb81a13dcc906e15576f");
    EXPECT_EQ(std::vector<std::uint8_t>(packet.begin(), packet.end()), expected);

    // The hashes: SHA-256 of "lobby" begins 4b 5d c0 76 e7 b9 c1 22; the wire holds those eight
    // bytes reversed, and the number is their little-endian reading.
    EXPECT_EQ(std::vector<std::uint8_t>(packet.begin() + 8, packet.begin() + 16),
              fromHex("22c1b9e776c05d4b"));
    EXPECT_EQ(slideSyncHash("lobby"), 0x22c1b9e776c05d4bULL);
    EXPECT_EQ(identityOf("lobby", "DEVICE-0001").deviceHash(), 0x9a499cbaaf3e4361ULL);
}

TEST(SlideSyncPacket, IdentityReadsTheConfiguredGroup) {
    testing::TempDir dir;
    EXPECT_FALSE(GroupIdentity(dir.str(), "DEV").isComplete());  // no configuration file
    std::filesystem::create_directories(dir / "lumetta");
    ASSERT_TRUE(setConfigString(dir.str(), "groupId", "lobby"));
    const GroupIdentity identity(dir.str(), "DEV");
    EXPECT_EQ(identity.groupId, "lobby");
    EXPECT_EQ(identity.deviceId, "DEV");
    EXPECT_TRUE(identity.isComplete());
    EXPECT_FALSE(GroupIdentity(dir.str(), "").isComplete());
    ASSERT_TRUE(setConfigInt(dir.str(), "groupId", 5));  // not a text: no group
    EXPECT_FALSE(GroupIdentity(dir.str(), "DEV").isComplete());
}

TEST(SlideSyncPacket, GenerationCountsEveryBump) {
    const std::uint64_t before = groupConfigGeneration();
    bumpGroupConfigGeneration();
    bumpGroupConfigGeneration();
    EXPECT_EQ(groupConfigGeneration(), before + 2);
}

class Verify : public ::testing::Test {
protected:
    ManualClock clock{1'750'000'000'000};
    const GroupIdentity self = identityOf("lobby", "SELF");
    std::uint64_t now() const { return static_cast<std::uint64_t>(clock.systemMs()); }

    SlideSyncPacket announcement(std::uint64_t sendTime, std::int32_t position = 4) const {
        return forgePacket(slideAnnouncementMagic, "lobby", "PEER", sendTime, now() - 1000, position, 0);
    }
    SlidePacketVerdict check(const std::uint8_t* data, std::size_t size, SlideSyncInfo& info,
                             const GroupIdentity& identity) const {
        return checkSlidePacket(data, size, identity, info, clock);
    }
    SlidePacketVerdict check(const std::vector<std::uint8_t>& bytes, const GroupIdentity& identity) const {
        SlideSyncInfo info;
        return check(bytes.data(), bytes.size(), info, identity);
    }
    static std::vector<std::uint8_t> bytesOf(const SlideSyncPacket& packet) { return {packet.begin(), packet.end()}; }
};

TEST_F(Verify, RefusedDatagrams) {
    const auto valid = bytesOf(announcement(now()));
    auto resized = [&](std::size_t size) {
        auto bytes = valid;
        bytes.resize(size, 0);
        return bytes;
    };
    auto patched = [&](std::size_t at, std::vector<std::uint8_t> with) {
        auto bytes = valid;
        std::copy(with.begin(), with.end(), bytes.begin() + at);
        return bytes;
    };
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
        GroupIdentity identity;
        SlidePacketVerdict verdict;
    };
    const Case cases[] = {
        {"79 bytes", resized(79), self, SlidePacketVerdict::wrongSize},
        {"81 bytes", resized(81), self, SlidePacketVerdict::wrongSize},
        {"300 bytes", resized(300), self, SlidePacketVerdict::wrongSize},
        {"no group here", valid, identityOf("", "SELF"), SlidePacketVerdict::incompleteIdentity},
        {"no device id here", valid, identityOf("lobby", ""), SlidePacketVerdict::incompleteIdentity},
        {"magic QVLr", patched(3, {'r'}), self, SlidePacketVerdict::badHeader},
        {"magic QVL1", patched(3, {'1'}), self, SlidePacketVerdict::badHeader},
        {"version 1", patched(4, {0, 1}), self, SlidePacketVerdict::badHeader},
        {"version 3", patched(4, {0, 3}), self, SlidePacketVerdict::badHeader},
        {"length 81", patched(6, {0, 81}), self, SlidePacketVerdict::badHeader},
        {"length 0", patched(6, {0, 0}), self, SlidePacketVerdict::badHeader},
        {"another group's valid packet",
         bytesOf(forgePacket(slideAnnouncementMagic, "hall", "PEER", now(), now(), 1, 0)), self,
         SlidePacketVerdict::otherGroup},
        {"position -1", bytesOf(announcement(now(), -1)), self, SlidePacketVerdict::negativePosition},
        {"position INT32_MIN", bytesOf(announcement(now(), INT32_MIN)), self, SlidePacketVerdict::negativePosition},
        {"sent now + 60,000 ms", bytesOf(announcement(now() + 60'000)), self, SlidePacketVerdict::accepted},
        {"sent now + 60,001 ms", bytesOf(announcement(now() + 60'001)), self, SlidePacketVerdict::outOfWindow},
        {"sent now - 300,000 ms", bytesOf(announcement(now() - 300'000)), self, SlidePacketVerdict::accepted},
        {"sent now - 300,001 ms", bytesOf(announcement(now() - 300'001)), self, SlidePacketVerdict::outOfWindow},
        {"sent at time 0", bytesOf(announcement(0)), self, SlidePacketVerdict::outOfWindow},
        {"sent at the largest time", bytesOf(announcement(UINT64_MAX)), self, SlidePacketVerdict::outOfWindow},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(check(c.bytes, c.identity), c.verdict) << c.name;
        SlideSyncInfo info;
        EXPECT_EQ(verifySlidePacket(c.bytes.data(), c.bytes.size(), c.identity, info, clock),
                  c.verdict == SlidePacketVerdict::accepted)
            << c.name;
    }
    SlideSyncInfo info;
    EXPECT_EQ(checkSlidePacket(nullptr, 80, self, info, clock), SlidePacketVerdict::wrongSize);
}

TEST_F(Verify, AForgedTagForOurGroupIsRefused) {
    // Right group hash, but signed with a key that is not the group id.
    auto packet = forgePacket(slideAnnouncementMagic, "lobby-guess", "PEER", now(), now(), 1, 0);
    const auto ours = announcement(now());
    std::memcpy(packet.data() + 8, ours.data() + 8, 8);
    EXPECT_EQ(check(bytesOf(packet), self), SlidePacketVerdict::badTag);
    // A zeroed tag is no way round it either.
    auto zeroed = bytesOf(ours);
    std::fill(zeroed.begin() + 48, zeroed.end(), 0);
    EXPECT_EQ(check(zeroed, self), SlidePacketVerdict::badTag);
}

TEST_F(Verify, EveryFlippedBitIsRefused) {
    for (const auto& packet : {announcement(now()), forgePacket(slideRequestMagic, "lobby", "PEER", now(), now(), 0, 2)}) {
        ASSERT_EQ(check(bytesOf(packet), self), SlidePacketVerdict::accepted);
        for (std::size_t bit = 0; bit < slideSyncPacketSize * 8; ++bit) {
            auto bytes = bytesOf(packet);
            bytes[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
            const SlidePacketVerdict verdict = check(bytes, self);
            EXPECT_NE(verdict, SlidePacketVerdict::accepted) << "bit " << bit;
            // Outside the header and the group hash only the signature can catch it.
            if (bit >= 16 * 8) {
                EXPECT_EQ(verdict, SlidePacketVerdict::badTag) << "bit " << bit;
            }
        }
    }
}

TEST_F(Verify, WhatAnAcceptedPacketSays) {
    struct Case {
        const char* name;
        std::string_view magic;
        std::int64_t startOffset;  // from now
        std::int32_t position;
        std::uint8_t flags;
        bool isRequest, election, pending;
    };
    const Case cases[] = {
        {"announcement of a slide that started", slideAnnouncementMagic, -5000, 3, 0, false, false, false},
        {"the same with the change bit", slideAnnouncementMagic, -5000, 3, slideChangeFlag, false, false, true},
        {"announcement of a slide about to start", slideAnnouncementMagic, 750, 0, 0, false, false, true},
        {"announcement starting right now", slideAnnouncementMagic, 0, 2, 0, false, false, false},
        {"plain request", slideRequestMagic, 0, 0, 0, true, false, false},
        {"election request", slideRequestMagic, -200, 0, slideElectionFlag, true, true, false},
        {"election bit on an announcement means nothing", slideAnnouncementMagic, -10, 1, slideElectionFlag, false,
         false, false},
    };
    for (const Case& c : cases) {
        const std::uint64_t start = now() + c.startOffset;
        const auto packet = forgePacket(c.magic, "lobby", "PEER", now() - 20, start, c.position, c.flags);
        SlideSyncInfo info;
        ASSERT_EQ(check(packet.data(), packet.size(), info, self), SlidePacketVerdict::accepted) << c.name;
        EXPECT_EQ(info.isRequest, c.isRequest) << c.name;
        EXPECT_EQ(info.electionRequest, c.election) << c.name;
        EXPECT_EQ(info.pending, c.pending) << c.name;
        EXPECT_EQ(info.slidePosition, c.position) << c.name;
        EXPECT_EQ(info.sendTime, now() - 20) << c.name;
        EXPECT_EQ(info.startTime, start) << c.name;
        EXPECT_EQ(info.senderHash, slideSyncHash("PEER")) << c.name;
    }
}

TEST_F(Verify, EarlyClockHasNoPastLimit) {
    // A board whose clock is not set yet reads a time near the epoch: old send times still count.
    ManualClock early{200'000};
    const auto packet = forgePacket(slideAnnouncementMagic, "lobby", "PEER", 0, 0, 1, 0);
    SlideSyncInfo info;
    EXPECT_TRUE(verifySlidePacket(packet.data(), packet.size(), self, info, early));
    EXPECT_FALSE(info.pending);
}

}  // namespace
}  // namespace lumetta
