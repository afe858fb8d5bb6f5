#include "platform/websocket_messages.h"

namespace lumetta {
namespace {

// A buffer that grew for a large message is given back when the next message starts.
constexpr std::size_t kKeptCapacity = 1 << 20;

}  // namespace

bool MessageAssembler::exceeds(std::size_t kept, const MessagePiece& piece) const {
    // kept + length + frameRemaining > limit, without overflow for any frame length.
    if (piece.length > limit_ || piece.frameRemaining > limit_) return true;
    if (kept > limit_ - piece.length) return true;
    return kept + piece.length > limit_ - piece.frameRemaining;
}

MessageAssembler::Step MessageAssembler::refuse(bool last) {
    std::string().swap(buffer_);
    ready_ = {};
    state_ = last ? State::Idle : State::Skipping;
    return Step::TooLarge;
}

MessageAssembler::Step MessageAssembler::add(const MessagePiece& piece) {
    ready_ = {};
    if (piece.first) {
        // A new message; one left unfinished is abandoned.
        if (buffer_.capacity() > kKeptCapacity) std::string().swap(buffer_);
        buffer_.clear();
        binary_ = piece.binary;
        if (exceeds(0, piece)) return refuse(piece.last);
        if (piece.last) {
            state_ = State::Idle;
            ready_ = std::string_view(piece.data, piece.length);
            return Step::Message;
        }
        state_ = State::Collecting;
        buffer_.reserve(piece.length + piece.frameRemaining);
        buffer_.append(piece.data, piece.length);
        return Step::Partial;
    }
    switch (state_) {
    case State::Idle:
        return Step::Skipped;
    case State::Skipping:
        if (piece.last) state_ = State::Idle;
        return Step::Skipped;
    case State::Collecting:
        break;
    }
    if (exceeds(buffer_.size(), piece)) return refuse(piece.last);
    buffer_.append(piece.data, piece.length);
    if (!piece.last) return Step::Partial;
    state_ = State::Idle;
    ready_ = buffer_;
    return Step::Message;
}

}  // namespace lumetta
