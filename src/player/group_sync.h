#pragma once
// Group slide sync in the player loop: all players with the same group id show the same slide
// at the same moment. At start a player asks the group for the current slide and follows the
// answer, or elects itself leader when nobody answers; afterwards it keeps following (every
// accepted announcement moves its slide or its slide's clock), leads (a heartbeat every 2 s and
// an answer to every request), takes over when the leader falls silent for 5 to 7 s, gives up
// leading when its network goes, and starts over when the service changes the group.
//
// A state machine on the loop's thread; the listener thread (link/slide_sync_listener.h) is the
// only other writer of the shared group state it reads. It does not touch the slide itself: each
// step returns what the loop must do (move the slide's clock, change slides, report the slide),
// so the loop stays the one owner of the slide on screen. Time comes from the injected clock:
// steady milliseconds for the waits, Unix milliseconds for the slide times on the wire.
//
// Locks: groupSyncMutex only to read or take the waiting slide, groupElectionMutex only during
// the join; never both.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>

#include "core/clock.h"
#include "link/broadcast_sender.h"
#include "link/slide_sync_packet.h"
#include "player/slide_sequence.h"

namespace lumetta::player {

// The boundaries of group sync; the defaults are the running player's.
struct GroupSyncOptions {
    Clock* clock = &systemClock();
    // The group identity, read at start and at every restart. Empty: the configured "groupId"
    // under configBaseDirectory and the process's deviceId.
    std::function<GroupIdentity()> identity;
    // Builds the sender for an identity. Empty: UDP port 9000 to the shared broadcast address.
    std::function<std::unique_ptr<BroadcastSender>(const GroupIdentity&)> makeSender;
    // Whether the device has a usable network address. Empty: hasUsableNetworkAddress.
    std::function<bool()> networkUsable;
    // The group-configuration generation. Empty: groupConfigGeneration.
    std::function<std::uint64_t()> generation;
    // The join ends once this is clear. Null: playerRunning.
    const std::atomic<bool>* running = nullptr;
    std::ostream* errors = &std::cerr;
};

// The slide on screen as group sync sees it.
struct SyncSlide {
    int index = 0;                // currentSlideIndex
    std::size_t slideCount = 0;   // of the current playlist
    std::int64_t durationMs = 0;  // 0: the slide has no duration
    bool hasVideo = false;
    std::int64_t startTime = 0;   // Unix ms
    // The slide has reached its end in this cycle (by its duration or its videos): it is being
    // left, and is not announced any more.
    bool ended = false;
};

// What one cycle asks of the loop. At most one of `reanchor` and `change` is set.
struct GroupSyncActions {
    // Let the slide-change report run (not forced).
    bool report = false;
    // The slide on screen stays; its start and end (Unix ms) move to these. Group times that do
    // not fit are clamped (start) and saturate (end).
    std::optional<SlideTimes> reanchor;
    // End the slide on screen now and change to `index`, which starts at `start` (used as it is,
    // also when it lies in the past, so it ends when it ends on the announcing player).
    struct Change {
        int index = 0;
        int previousIndex = 0;
        std::int64_t start = 0;
    };
    std::optional<Change> change;
};

// Where the first slide starts after the join.
struct GroupJoinResult {
    int index = 0;
    // Unix ms, used as it is; none: the slide starts now.
    std::optional<std::int64_t> start;
    bool leads = false;
};

class GroupSlideSync {
public:
    explicit GroupSlideSync(GroupSyncOptions options = {});
    ~GroupSlideSync();
    GroupSlideSync(const GroupSlideSync&) = delete;
    GroupSlideSync& operator=(const GroupSlideSync&) = delete;

    // Once when the loop starts: reads the identity; with a complete one builds the sender and
    // asks the group for its slide.
    void start();

    // Once before the first slide, blocking at most 3 s: asks the group with this player's join
    // time, follows a peer's announcement, or leads when its join time (then device hash) is
    // the smallest heard after 500 ms. Does nothing (slide 0 now) unless sync is on with a usable
    // network.
    GroupJoinResult join(std::size_t slideCount);

    // Every loop cycle: starts over when the group configuration changed.
    void restartIfGroupChanged();

    // Every loop cycle after the restart check: network watch, takeover, following (unless
    // `paused`) and leading, in this order. Leading announces the slide as following left it,
    // and waits for the next slide when following changes slides.
    GroupSyncActions cycle(const SyncSlide& slide, bool paused);

    // The user moved to another slide: the next slide set up is announced as a change.
    void announceNextChange() { announceNextChange_ = true; }
    // The slide at `index` that started at `startMs` ended on schedule and was left: a plain
    // announcement of it that comes late (a heartbeat sent as it ended) is not followed back.
    void slideLeft(int index, std::int64_t startMs) { leftSlide_ = LeftSlide{index, startMs}; }
    // A new slide was set up: when a navigation asked for it, announces it as a change and, on
    // success, leads. Returns the start time the slide then takes (now), else none.
    std::optional<std::int64_t> slideSetUp(int index);

    // The waiting slide of the shared state, taken (each announcement is acted on at most once):
    // position -1 when nothing waits.
    struct Snapshot {
        std::int32_t position = -1;
        std::uint64_t startTime = 0;
        bool pending = false;
    };
    static Snapshot snapshotGroupState();

    // The slide schedule is agreed with the group: slide changes are reported to the service.
    bool scheduleSettled() const { return scheduleSettled_; }
    bool enabled() const { return enabled_; }
    bool networkUsable() const { return networkUsable_; }
    std::uint64_t ownHash() const { return ownHash_; }
    bool hasSender() const { return sender_ != nullptr; }

private:
    GroupIdentity readIdentity() const;
    std::unique_ptr<BroadcastSender> makeSender(const GroupIdentity& identity) const;
    bool readNetwork() const;
    std::uint64_t readGeneration() const;
    std::uint64_t unixNow() const;
    std::uint64_t nextSendTime() const;
    void accepted(std::uint64_t sendTime);
    bool announce(const SyncSlide& slide, GroupSyncActions& actions);
    void watchNetwork();
    void takeOver();
    void follow(const SyncSlide& slide, GroupSyncActions& actions);
    void lead(const SyncSlide& slide, GroupSyncActions& actions);
    void logDisabled();

    GroupSyncOptions options_;
    Clock& clock_;
    std::ostream& errors_;

    bool enabled_ = false;
    bool networkUsable_ = true;
    bool scheduleSettled_ = true;
    bool announceNextChange_ = false;
    std::uint64_t ownHash_ = 0;
    std::int64_t syncStartTime_ = 0;         // steady ms
    std::int64_t lastNetworkCheckTime_ = 0;  // steady ms
    std::int64_t lastHeartbeatTime_ = 0;     // Unix ms; 0 at start
    std::uint64_t lastGeneration_ = 0;
    std::unique_ptr<BroadcastSender> sender_;
    struct LeftSlide {
        int index = 0;
        std::int64_t startMs = 0;
    };
    std::optional<LeftSlide> leftSlide_;
};

// Slide-time arithmetic that never overflows: a wire time clamped into the loop's signed range,
// and start plus duration saturating at the largest time.
std::int64_t slideTimeFromWire(std::uint64_t wireTime);
std::int64_t slideEndTime(std::int64_t start, std::int64_t durationMs);

inline constexpr std::int64_t groupJoinLimitMs = 3000;
inline constexpr std::int64_t groupElectionWaitMs = 500;
inline constexpr std::int64_t groupElectionRepeatMs = 150;
inline constexpr std::int64_t groupRequestRepeatMs = 500;
inline constexpr std::int64_t groupLeadStartDelayMs = 750;
inline constexpr std::int64_t groupJoinNapMs = 10;
inline constexpr std::int64_t groupNetworkCheckMs = 1000;
inline constexpr std::int64_t groupTakeoverSilenceMs = 5000;
inline constexpr std::uint64_t groupTakeoverSpreadMs = 2000;
inline constexpr std::int64_t groupHeartbeatMs = 2000;

}  // namespace lumetta::player
