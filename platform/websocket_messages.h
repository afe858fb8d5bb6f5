#pragma once
// Joins the pieces of incoming WebSocket messages into whole messages, with a size bound.
//
// The library hands a message over in pieces: one or more per frame, a message being one or
// more frames. Each piece says whether it starts or ends its message and how many bytes of its
// frame are still to come, so a message that cannot fit is known as soon as its frame header
// has been read: it is refused without keeping its bytes, and the rest of it is skipped.
// A message in one piece is handed back in place, without a copy.

#include <cstddef>
#include <string>
#include <string_view>

namespace lumetta {

struct MessagePiece {
    const char* data = nullptr;
    std::size_t length = 0;
    bool first = false;                // the first piece of a message
    bool last = false;                 // the last piece of a message
    bool binary = false;               // the message's kind (read from its first piece)
    std::size_t frameRemaining = 0;    // bytes of this piece's frame still to come
};

class MessageAssembler {
public:
    enum class Step {
        Partial,   // kept; the message goes on
        Message,   // `message()` and `kind()` hold a whole message
        TooLarge,  // this message is over the limit: what was kept is gone, the rest is skipped
        Skipped,   // a piece of a refused message, or one that belongs to no message
    };

    explicit MessageAssembler(std::size_t limit) : limit_(limit) {}

    Step add(const MessagePiece& piece);

    // The whole message after `Step::Message`, valid until the next `add`.
    std::string_view message() const { return ready_; }
    // 1 for text, 2 for binary.
    int kind() const { return binary_ ? 2 : 1; }
    // Bytes held for a message still in progress.
    std::size_t buffered() const { return state_ == State::Collecting ? buffer_.size() : 0; }

private:
    enum class State { Idle, Collecting, Skipping };

    bool exceeds(std::size_t kept, const MessagePiece& piece) const;
    Step refuse(bool last);

    std::size_t limit_;
    State state_ = State::Idle;
    bool binary_ = false;
    std::string buffer_;
    std::string_view ready_;
};

}  // namespace lumetta
