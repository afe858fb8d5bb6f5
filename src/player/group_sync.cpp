#include "player/group_sync.h"

#include <algorithm>
#include <limits>
#include <mutex>

#include "core/log.h"
#include "core/palette.h"
#include "core/process_state.h"
#include "core/shared_defaults.h"
#include "link/slide_sync_listener.h"
#include "wifi/network_address.h"

namespace lumetta::player {

namespace {

constexpr std::int64_t maxTime = std::numeric_limits<std::int64_t>::max();

std::uint64_t wireTimeFromSlide(std::int64_t time) { return time < 0 ? 0 : static_cast<std::uint64_t>(time); }

bool waitingSlide() {
    std::lock_guard lock(groupSyncMutex);
    return groupSlidePosition >= 0;
}

void discardWaitingSlide() {
    std::lock_guard lock(groupSyncMutex);
    groupSlidePosition = -1;
    groupSlidePending = false;
}

}  // namespace

std::int64_t slideTimeFromWire(std::uint64_t wireTime) {
    return wireTime > static_cast<std::uint64_t>(maxTime) ? maxTime : static_cast<std::int64_t>(wireTime);
}

std::int64_t slideEndTime(std::int64_t start, std::int64_t durationMs) {
    if (durationMs <= 0) return start;
    return start > maxTime - durationMs ? maxTime : start + durationMs;
}

GroupSlideSync::GroupSlideSync(GroupSyncOptions options)
    : options_(std::move(options)), clock_(*options_.clock), errors_(*options_.errors) {}

GroupSlideSync::~GroupSlideSync() = default;

GroupIdentity GroupSlideSync::readIdentity() const {
    if (options_.identity) return options_.identity();
    return GroupIdentity(configBaseDirectory, deviceId);
}

std::unique_ptr<BroadcastSender> GroupSlideSync::makeSender(const GroupIdentity& identity) const {
    if (options_.makeSender) return options_.makeSender(identity);
    return std::make_unique<BroadcastSender>(slideSyncPort, identity, sharedDefaults().broadcastAddress, clock_,
                                             errors_);
}

bool GroupSlideSync::readNetwork() const {
    return options_.networkUsable ? options_.networkUsable() : hasUsableNetworkAddress();
}

std::uint64_t GroupSlideSync::readGeneration() const {
    return options_.generation ? options_.generation() : groupConfigGeneration();
}

std::uint64_t GroupSlideSync::unixNow() const { return wireTimeFromSlide(clock_.systemMs()); }

// The player's own announcements count as newer than everything it accepted.
std::uint64_t GroupSlideSync::nextSendTime() const {
    const std::uint64_t last = lastAcceptedSendTime.load();
    const std::uint64_t afterLast = last == std::numeric_limits<std::uint64_t>::max() ? last : last + 1;
    return std::max(afterLast, unixNow());
}

void GroupSlideSync::accepted(std::uint64_t sendTime) {
    lastAcceptedSenderHash = ownHash_;
    lastAcceptedSendTime = sendTime;
}

void GroupSlideSync::logDisabled() {
    logLine(errors_, ansi::BOLD_RED, "[BROADCAST]", " Group synchronization disabled: groupId or machine identity is missing");
}

GroupSlideSync::Snapshot GroupSlideSync::snapshotGroupState() {
    Snapshot snapshot;
    std::lock_guard lock(groupSyncMutex);
    snapshot.position = groupSlidePosition;
    snapshot.startTime = groupSlideStartTime.load();
    snapshot.pending = groupSlidePending;
    groupSlidePosition = -1;
    groupSlidePending = false;
    return snapshot;
}

void GroupSlideSync::start() {
    // The generation first: a group change racing with this start is seen at the first cycle.
    lastGeneration_ = readGeneration();
    const GroupIdentity identity = readIdentity();
    if (identity.isComplete()) {
        enabled_ = true;
        ownHash_ = identity.deviceHash();
        sender_ = makeSender(identity);
        if (!sender_ || !sender_->sendRequest())
            logLine(errors_, ansi::BOLD_MAGENTA, "[BROADCAST]", " Could not request the current group slide");
    } else if (!identity.groupId.empty()) {
        logDisabled();
    }
    syncStartTime_ = lastNetworkCheckTime_ = clock_.steadyMs();
    networkUsable_ = enabled_ ? readNetwork() : true;
    scheduleSettled_ = !enabled_;
    announceNextChange_ = false;
}

GroupJoinResult GroupSlideSync::join(std::size_t slideCount) {
    GroupJoinResult result;
    if (!enabled_ || !networkUsable_ || !sender_) return result;
    const std::atomic<bool>& running = options_.running != nullptr ? *options_.running : playerRunning;

    const std::int64_t joinStart = clock_.steadyMs();
    const std::int64_t deadline = joinStart + groupJoinLimitMs;
    const std::int64_t electionWait = joinStart + groupElectionWaitMs;
    const std::int64_t joinTime = clock_.systemMs();
    {
        std::lock_guard lock(groupElectionMutex);
        if (joinTime < groupElectionTime || (joinTime == groupElectionTime && ownHash_ < groupElectionHash)) {
            groupElectionTime = joinTime;
            groupElectionHash = ownHash_;
        }
    }
    sender_->sendRequestWithTime(wireTimeFromSlide(joinTime));
    std::int64_t nextElection = clock_.steadyMs() + groupElectionRepeatMs;
    std::int64_t nextRequest = clock_.steadyMs() + groupRequestRepeatMs;

    while (true) {
        if (!running.load()) break;
        if (waitingSlide()) break;
        if (clock_.steadyMs() >= deadline) break;
        if (clock_.steadyMs() >= nextElection) {
            const std::int64_t before = clock_.steadyMs();
            sender_->sendRequestWithTime(wireTimeFromSlide(joinTime));
            nextElection = before + groupElectionRepeatMs;
        }
        bool elected = false;
        {
            std::lock_guard lock(groupElectionMutex);
            elected = groupElectionTime == joinTime && groupElectionHash == ownHash_ &&
                      clock_.steadyMs() >= electionWait;
        }
        if (elected) {
            groupLeader = true;
            const std::int64_t start = slideEndTime(clock_.systemMs(), groupLeadStartDelayMs);
            const std::uint64_t sendTime = nextSendTime();
            if (sender_->sendSlide(0, sendTime, wireTimeFromSlide(start), true, 0)) {
                accepted(sendTime);
                scheduleSettled_ = true;
                snapshotGroupState();
                result.index = 0;
                result.start = start;
                result.leads = true;
                return result;
            }
        }
        if (clock_.steadyMs() >= nextRequest) {
            sender_->sendRequest();
            nextRequest = clock_.steadyMs() + groupRequestRepeatMs;
        }
        clock_.sleepFor(groupJoinNapMs);
    }

    const Snapshot snapshot = snapshotGroupState();
    if (snapshot.position >= 0 && static_cast<std::size_t>(snapshot.position) < slideCount) {
        scheduleSettled_ = true;
        result.index = snapshot.position;
        result.start = slideTimeFromWire(snapshot.startTime);
    }
    return result;
}

void GroupSlideSync::restartIfGroupChanged() {
    const std::uint64_t generation = readGeneration();
    if (generation == lastGeneration_) return;
    lastGeneration_ = generation;
    sender_.reset();
    enabled_ = false;
    scheduleSettled_ = true;
    ownHash_ = 0;
    announceNextChange_ = false;
    groupLeader = false;
    discardWaitingSlide();
    lastAcceptedSendTime = 0;
    lastAcceptedSenderHash = 0;
    groupAnswerRequested = false;
    leftSlide_.reset();

    const GroupIdentity identity = readIdentity();
    if (!identity.isComplete()) {
        networkUsable_ = true;
        logDisabled();
        return;
    }
    enabled_ = true;
    scheduleSettled_ = false;
    ownHash_ = identity.deviceHash();
    sender_ = makeSender(GroupIdentity(identity));
    networkUsable_ = readNetwork();
    syncStartTime_ = lastNetworkCheckTime_ = clock_.steadyMs();
    lastAnnouncementTime = syncStartTime_;
    // No second join: the player follows the first announcement it hears or takes over after
    // the silence limit.
    if (networkUsable_ && sender_) sender_->sendRequest();
}

void GroupSlideSync::watchNetwork() {
    const std::int64_t now = clock_.steadyMs();
    if (now - lastNetworkCheckTime_ < groupNetworkCheckMs) return;
    lastNetworkCheckTime_ = now;
    const bool usable = readNetwork();
    if (!usable) {
        groupLeader = false;
        scheduleSettled_ = false;
        announceNextChange_ = false;
        networkUsable_ = false;
    } else if (!networkUsable_) {
        // Back as a follower, counting the silence from now.
        groupLeader = false;
        announceNextChange_ = false;
        lastAcceptedSendTime = 0;
        lastAcceptedSenderHash = 0;
        lastAnnouncementTime = clock_.steadyMs();
        networkUsable_ = true;
    }
}

void GroupSlideSync::takeOver() {
    const std::int64_t since = std::max(lastAnnouncementTime.load(), syncStartTime_);
    const std::int64_t silence = clock_.steadyMs() - since;
    // The hash spreads the limits of one group's players over 2 s, so they do not all take
    // over at the same moment.
    const auto limit = groupTakeoverSilenceMs + static_cast<std::int64_t>(ownHash_ % groupTakeoverSpreadMs);
    if (silence >= limit) groupLeader = true;
}

void GroupSlideSync::follow(const SyncSlide& slide, GroupSyncActions& actions) {
    if (!waitingSlide()) return;
    const Snapshot snapshot = snapshotGroupState();
    if (snapshot.position < 0) return;
    const std::int64_t start = slideTimeFromWire(snapshot.startTime);
    // A late plain announcement of the slide just left on schedule would pull this player back
    // for a frame and change again; the change itself needs no following.
    if (!snapshot.pending && leftSlide_ && snapshot.position == leftSlide_->index && start == leftSlide_->startMs) {
        return;
    }
    scheduleSettled_ = true;
    actions.report = true;
    if (snapshot.position == slide.index) {
        actions.reanchor = SlideTimes{start, slideEndTime(start, slide.durationMs)};
        return;
    }
    // Players with other playlists may share the group: a slide this playlist lacks is ignored.
    if (static_cast<std::size_t>(snapshot.position) >= slide.slideCount) return;
    // Such a slide is only left for a change announcement or a slide that starts later.
    if (!snapshot.pending && slide.durationMs <= 0 && !slide.hasVideo) return;
    actions.change = GroupSyncActions::Change{snapshot.position, slide.index, start};
}

bool GroupSlideSync::announce(const SyncSlide& slide, GroupSyncActions& actions) {
    const std::uint64_t sendTime = nextSendTime();
    if (!sender_->sendSlide(slide.index, sendTime, wireTimeFromSlide(slide.startTime), false, 0)) return false;
    scheduleSettled_ = true;
    actions.report = true;
    accepted(sendTime);
    return true;
}

void GroupSlideSync::lead(const SyncSlide& slide, GroupSyncActions& actions) {
    // A slide at its end is being left: announcing it would send followers already on the next
    // one back. A due heartbeat stays due and a request stays asked for the next slide.
    if (slide.ended) return;
    if (slide.durationMs > 0) {
        const std::int64_t now = clock_.systemMs();
        // A wall clock set back counts as time passed: the group must not lose its heartbeat.
        const bool due = now < lastHeartbeatTime_ ||
                         static_cast<std::uint64_t>(now) - static_cast<std::uint64_t>(lastHeartbeatTime_) >=
                             static_cast<std::uint64_t>(groupHeartbeatMs);
        if (due) {
            announce(slide, actions);
            lastHeartbeatTime_ = now;
        }
    }
    if (groupAnswerRequested.exchange(false)) announce(slide, actions);
}

GroupSyncActions GroupSlideSync::cycle(const SyncSlide& slide, bool paused) {
    GroupSyncActions actions;
    if (enabled_) watchNetwork();
    if (enabled_ && networkUsable_ && !groupLeader.load()) takeOver();
    if (!paused) follow(slide, actions);
    if (enabled_ && networkUsable_ && sender_ && groupLeader.load()) {
        // The leader announces the slide as following left it: re-timed, it sends the new
        // start; when the slide is being left, it waits for the next slide's first cycle (a
        // due heartbeat stays due and a request stays asked), since an announcement of the
        // slide being left would send the group back to it.
        if (!actions.change) {
            SyncSlide led = slide;
            if (actions.reanchor) {
                led.startTime = actions.reanchor->startMs;
                // Re-timed, a slide with a duration ends at its new end.
                if (!slide.hasVideo) {
                    led.ended = slide.durationMs > 0 && !paused && clock_.systemMs() >= actions.reanchor->endMs;
                }
            }
            lead(led, actions);
        }
    }
    return actions;
}

std::optional<std::int64_t> GroupSlideSync::slideSetUp(int index) {
    if (!announceNextChange_) return std::nullopt;
    announceNextChange_ = false;
    if (!enabled_ || !sender_ || !networkUsable_ || index < 0) return std::nullopt;
    const std::int64_t now = clock_.systemMs();
    const std::uint64_t sendTime = nextSendTime();
    if (!sender_->sendSlide(index, sendTime, wireTimeFromSlide(now), true, slideChangeFlag)) return std::nullopt;
    accepted(sendTime);
    groupLeader = true;
    return now;
}

}  // namespace lumetta::player
