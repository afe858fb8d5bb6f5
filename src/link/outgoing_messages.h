#pragma once
// Everything the player sends to the management service: the outgoing queue of ready frames
// (status, device report, display-mode result, playlist choice) and the register that holds the
// latest slide-transition report until it was sent on the current connection.
//
// Producers on any thread hand frames in here; the WebSocket thread copies them out, sends the
// copies and then removes what it sent. Each structure has its own mutex; none is held while
// JSON is parsed or written, or while a frame is sent, and no function holds two.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>

#include <json/value.h>

#include "core/process_state.h"

namespace lumetta {

// One outgoing text frame: a JSON object with "type" and "data" (a transition report also has
// "sequence").
using PlayerMessage = std::string;

// The largest frame the player sends, inclusive.
inline constexpr std::size_t maxPlayerMessageBytes = 16'777'216;
// The most frames the queue keeps.
inline constexpr std::size_t maxQueuedPlayerMessages = 128;

// A first-in-first-out store of frames, bounded by dropping the oldest frames when a new one is
// appended (never by blocking the producer): at most 128 frames of at most 16 MiB in all. Frames
// stay across reconnections. Nothing is taken once `running` is clear.
class OutgoingMessageQueue {
public:
    explicit OutgoingMessageQueue(const std::atomic<bool>& running = playerRunning) : running_(running) {}
    OutgoingMessageQueue(const OutgoingMessageQueue&) = delete;
    OutgoingMessageQueue& operator=(const OutgoingMessageQueue&) = delete;

    // Drops, silently, an empty frame, one over 16 MiB, and every frame once the player stopped.
    void append(const PlayerMessage& frame);

    // For the sender: a copy of the oldest frame, if any.
    std::optional<PlayerMessage> copyOldest() const;
    // For the sender, after `sent` went out: removes the oldest frame if it is still `sent`
    // (a producer may have dropped it meanwhile).
    void removeSent(const PlayerMessage& sent);

    std::size_t size() const;
    std::uint32_t totalBytes() const;
    // The player still runs: appends are taken.
    bool accepting() const { return running_.load(); }

private:
    const std::atomic<bool>& running_;
    mutable std::mutex mutex_;  // the outgoing mutex
    std::deque<PlayerMessage> frames_;
    std::uint32_t total_ = 0;  // bytes of all frames
};

// A copy of the transition report for the sender.
struct TransitionReport {
    PlayerMessage text;
    std::uint64_t sequence = 0;
};

// The latest transition report, delivered once on every connection until a newer one replaces
// it. Each accepted report carries the next value of a sequence counter (1, 2, ...; never 0).
class PendingTransition {
public:
    explicit PendingTransition(const std::atomic<bool>& running = playerRunning, std::ostream& errors = std::cerr)
        : running_(running), errors_(errors) {}
    PendingTransition(const PendingTransition&) = delete;
    PendingTransition& operator=(const PendingTransition&) = delete;

    // Checks the report (a JSON object whose "type" is "transition"), sets its "sequence" and
    // keeps its compact form in place of an earlier report. False (with a line on the error
    // stream, except for an empty text or a stopped player) when refused; a report refused for
    // its size has used up its sequence.
    bool store(const std::string& statusJson);

    // For the sender: the report when one is present and not yet sent on this connection.
    std::optional<TransitionReport> unsent() const;
    // For the sender, after the report of `sequence` went out: marks it sent unless a newer one
    // replaced it meanwhile.
    void markSent(std::uint64_t sequence);
    // A new connection: the present report goes out again.
    void connectionOpened();

private:
    const std::atomic<bool>& running_;
    std::ostream& errors_;
    mutable std::mutex mutex_;  // the transition mutex
    PlayerMessage text_;
    std::uint64_t sequence_ = 0;
    bool pending_ = false;
    bool sent_ = false;
    std::uint64_t nextSequence_ = 1;  // transitionSequence
};

// The running player's queue and register.
OutgoingMessageQueue& outgoingMessageQueue();
PendingTransition& pendingTransition();

// outgoingMessageQueue().append(frame).
void queueOutgoingMessage(const PlayerMessage& frame);

// The value without whitespace between tokens or comments, object members in ascending order of
// their names.
std::string toCompactJson(const Json::Value& value);

// pendingTransition().store(statusJson). On false the caller logs that it could not queue it.
bool sendTransitionStatus(const std::string& statusJson);

// Queues {"type":"updatePlaylist","data":{"id":ID}} for the playlist the user chose, the id
// JSON-escaped. False, with a line on standard error for an empty id or an oversize frame, and
// without one once the player stopped.
bool sendPlaylistUpdate(const std::string& id);
bool sendPlaylistUpdate(const std::string& id, OutgoingMessageQueue& queue);

}  // namespace lumetta
