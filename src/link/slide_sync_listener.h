#pragma once
// The group's slide-sync state, shared by the listener thread (the only receiver of the group's
// packets) and the player loop (which sends, leads and follows), and the listener itself.
//
// Locks: groupSyncMutex guards the waiting slide (position, pending and the start time's
// writes); groupElectionMutex guards the election pair. Nobody holds both at once. The other
// fields are sequentially consistent atomics read and written without a lock.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <iostream>
#include <mutex>

#include "core/clock.h"
#include "link/slide_sync_packet.h"

namespace lumetta {

extern std::mutex groupSyncMutex;
// Slide of the newest accepted announcement not yet taken by the player loop; -1: none waiting.
extern std::int32_t groupSlidePosition;              // guarded by groupSyncMutex
extern bool groupSlidePending;                       // guarded by groupSyncMutex
extern std::atomic<std::uint64_t> groupSlideStartTime; // Unix ms; written under groupSyncMutex

// Send time and sender of the newest announcement accepted or sent by this player.
extern std::atomic<std::uint64_t> lastAcceptedSendTime;
extern std::atomic<std::uint64_t> lastAcceptedSenderHash;
// Steady-clock ms at which the listener last accepted an announcement.
extern std::atomic<std::int64_t> lastAnnouncementTime;
extern std::atomic<bool> groupLeader;           // this player leads its group
extern std::atomic<bool> groupAnswerRequested;  // a peer asked the leader for the current slide

extern std::mutex groupElectionMutex;
// Smallest (join time, sender hash) pair seen in the group: time compared signed, then hash.
extern std::int64_t groupElectionTime;   // guarded by groupElectionMutex
extern std::uint64_t groupElectionHash;  // guarded by groupElectionMutex

// Back to the state of a player without a group (what a group change does; each mutex is taken
// alone). lastAnnouncementTime is left as it is.
void resetGroupSyncState();

// The boundaries of the listener; the defaults are the running player's.
struct SlideSyncListenerOptions {
    Clock* clock = &systemClock();
    std::chrono::milliseconds receiveTimeout{500};
    // The listener ends soon after this is cleared.
    const std::atomic<bool>* running = nullptr;  // null: playerRunning
    // Reads the identity at start and after every group change. Empty: from the configuration
    // under configBaseDirectory and the process's deviceId.
    std::function<GroupIdentity()> identity;
    // Wakes the player loop. Empty: pushes the group event (0x8002).
    std::function<void()> wake;
    // Called once the socket is bound, with its port.
    std::function<void(std::uint16_t)> listening;
    std::ostream* errors = &std::cerr;
};

// The listener thread's body: receives the group's packets on `port` until the player stops. A
// port it cannot bind and a receive that fails are reported, and after a pause (1 s, doubled
// after each failure in a row up to a minute) it opens its socket again. A refused datagram is
// reported at most once per 10 s on the clock, with the number of the others left out once
// that time is over; the wake-up is pushed only while none is queued.
void runSlideSyncListener(std::uint16_t port);
void runSlideSyncListener(std::uint16_t port, const SlideSyncListenerOptions& options);

}  // namespace lumetta
