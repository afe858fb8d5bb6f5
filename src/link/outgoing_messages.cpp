#include "link/outgoing_messages.h"

#include <sstream>
#include <utility>

#include <json/json.h>

#include "core/log.h"

namespace lumetta {

void OutgoingMessageQueue::append(const PlayerMessage& frame) {
    if (!running_.load()) return;
    // size - 1 as an unsigned number: an empty frame wraps round and goes with the oversize ones.
    if (frame.size() - 1 >= maxPlayerMessageBytes) return;
    PlayerMessage copy = frame;  // copied before the lock: a frame may be 16 MiB
    std::deque<PlayerMessage> dropped;
    {
        const std::lock_guard lock(mutex_);
        while (!frames_.empty() &&
               (frames_.size() >= maxQueuedPlayerMessages || maxPlayerMessageBytes - copy.size() < total_)) {
            total_ -= static_cast<std::uint32_t>(frames_.front().size());
            dropped.push_back(std::move(frames_.front()));
            frames_.pop_front();
        }
        total_ += static_cast<std::uint32_t>(copy.size());
        frames_.push_back(std::move(copy));
    }
    // `dropped` is freed here, outside the lock.
}

std::optional<PlayerMessage> OutgoingMessageQueue::copyOldest() const {
    const std::lock_guard lock(mutex_);
    if (frames_.empty()) return std::nullopt;
    return frames_.front();
}

void OutgoingMessageQueue::removeSent(const PlayerMessage& sent) {
    PlayerMessage removed;
    {
        const std::lock_guard lock(mutex_);
        if (frames_.empty() || frames_.front() != sent) return;
        total_ -= static_cast<std::uint32_t>(frames_.front().size());
        removed = std::move(frames_.front());
        frames_.pop_front();
    }
}

std::size_t OutgoingMessageQueue::size() const {
    const std::lock_guard lock(mutex_);
    return frames_.size();
}

std::uint32_t OutgoingMessageQueue::totalBytes() const {
    const std::lock_guard lock(mutex_);
    return total_;
}

bool PendingTransition::store(const std::string& statusJson) {
    if (!running_.load() || statusJson.empty()) return false;

    Json::Value root;
    std::string parseErrors;
    bool parsed = false;
    try {
        Json::CharReaderBuilder builder;
        std::istringstream in(statusJson);
        parsed = Json::parseFromStream(builder, in, &root, &parseErrors);
    } catch (const Json::Exception& error) {
        // The reader throws rather than reports, for one, at its nesting limit.
        parseErrors = error.what();
    }
    if (!parsed) {
        // The reader ends its text with a line break of its own; the log line brings one.
        while (!parseErrors.empty() && (parseErrors.back() == '\n' || parseErrors.back() == '\r')) parseErrors.pop_back();
        logText(errors_, "[WEBSOCKET] Invalid transition JSON: " + parseErrors);
        return false;
    }
    if (!root.isObject()) {
        logText(errors_, "[WEBSOCKET] Transition status must be a JSON object");
        return false;
    }
    const Json::Value& type = std::as_const(root)["type"];
    if (!type.isString()) {
        logText(errors_, "[WEBSOCKET] Transition status has no valid type field");
        return false;
    }
    if (type.asString() != "transition") {
        logText(errors_, "[WEBSOCKET] Reliable transition status must use type \"transition\"");
        return false;
    }

    std::uint64_t sequence = 0;
    {
        const std::lock_guard lock(mutex_);
        sequence = nextSequence_;
        nextSequence_ = nextSequence_ == UINT64_MAX ? 1 : nextSequence_ + 1;
    }
    root["sequence"] = Json::Value(static_cast<Json::UInt64>(sequence));
    PlayerMessage text = toCompactJson(root);
    if (text.size() > maxPlayerMessageBytes) {
        logText(errors_, "[WEBSOCKET] Transition status exceeds message limit");
        return false;
    }

    PlayerMessage replaced;
    {
        const std::lock_guard lock(mutex_);
        replaced = std::exchange(text_, std::move(text));
        sequence_ = sequence;
        pending_ = true;
        sent_ = false;
    }
    return true;
}

std::optional<TransitionReport> PendingTransition::unsent() const {
    const std::lock_guard lock(mutex_);
    if (!pending_ || text_.empty() || sent_) return std::nullopt;
    return TransitionReport{text_, sequence_};
}

void PendingTransition::markSent(std::uint64_t sequence) {
    const std::lock_guard lock(mutex_);
    if (pending_ && sequence_ == sequence) sent_ = true;
}

void PendingTransition::connectionOpened() {
    const std::lock_guard lock(mutex_);
    if (pending_) sent_ = false;
}

OutgoingMessageQueue& outgoingMessageQueue() {
    static OutgoingMessageQueue queue;
    return queue;
}

PendingTransition& pendingTransition() {
    static PendingTransition transition;
    return transition;
}

void queueOutgoingMessage(const PlayerMessage& frame) { outgoingMessageQueue().append(frame); }

std::string toCompactJson(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    // The reader keeps a text's comments with its values; without line breaks a "//" comment
    // written into the frame would swallow the rest of it.
    builder["commentStyle"] = "None";
    return Json::writeString(builder, value);
}

bool sendTransitionStatus(const std::string& statusJson) { return pendingTransition().store(statusJson); }

bool sendPlaylistUpdate(const std::string& id) { return sendPlaylistUpdate(id, outgoingMessageQueue()); }

bool sendPlaylistUpdate(const std::string& id, OutgoingMessageQueue& queue) {
    if (!queue.accepting()) return false;
    if (id.empty()) {
        logText(std::cerr, "[WEBSOCKET] Cannot send an empty playlist ID");
        return false;
    }
    const std::string encoded = toCompactJson(Json::Value(id));
    if (encoded.empty()) {
        logText(std::cerr, "[WEBSOCKET] Failed to encode playlist ID");
        return false;
    }
    // Literal text, not a written object: "type" stays in front of "data".
    static constexpr std::string_view prefix = R"({"type":"updatePlaylist","data":{"id":)";
    static constexpr std::string_view suffix = "}}";
    static_assert(prefix.size() == 38 && suffix.size() == 2);
    if (encoded.size() > maxPlayerMessageBytes - prefix.size() - suffix.size()) {
        logText(std::cerr, "[WEBSOCKET] Playlist update exceeds message limit");
        return false;
    }
    PlayerMessage frame;
    frame.reserve(prefix.size() + encoded.size() + suffix.size());
    frame.append(prefix).append(encoded).append(suffix);
    queue.append(frame);
    return true;
}

}  // namespace lumetta
