// Incoming WebSocket message pieces, as the library hands them over, joined by the layer's
// assembler. The input is a list of pieces, each: one flag byte (bit 0 first, bit 1 last,
// bit 2 binary), one byte for the bytes still to come in its frame (255: a length near the
// top of size_t), one length byte and that many data bytes.
//
// Checked against a plain model: a whole message is exactly the bytes of its pieces since
// its first piece, never longer than the limit; a message is refused only when its pieces
// (with the rest of the frame announced) pass the limit, and nothing is kept for it after.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "platform/websocket_messages.h"

namespace {

constexpr std::size_t kLimit = 48;

[[noreturn]] void fail() { std::abort(); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    lumetta::MessageAssembler assembler(kLimit);
    // The bytes of the message in progress as the model sees them; nullopt outside a message
    // or while a refused one is skipped.
    std::optional<std::string> current;
    bool currentBinary = false;
    std::size_t at = 0;
    while (at + 3 <= size) {
        const std::uint8_t flags = data[at];
        const std::uint8_t remainingByte = data[at + 1];
        std::size_t length = data[at + 2];
        at += 3;
        if (length > size - at) length = size - at;
        lumetta::MessagePiece piece;
        piece.data = reinterpret_cast<const char*>(data + at);
        piece.length = length;
        piece.first = (flags & 1) != 0;
        piece.last = (flags & 2) != 0;
        piece.binary = (flags & 4) != 0;
        piece.frameRemaining = remainingByte == 255 ? SIZE_MAX - remainingByte : remainingByte;
        at += length;

        if (piece.first) {
            current = std::string();
            currentBinary = piece.binary;
        }
        std::optional<std::string> expected;
        bool over = false;
        if (current) {
            current->append(piece.data, piece.length);
            over = current->size() > kLimit || piece.frameRemaining > kLimit - current->size();
        }

        const lumetta::MessageAssembler::Step step = assembler.add(piece);
        switch (step) {
        case lumetta::MessageAssembler::Step::Message:
            if (!current || over || !piece.last) fail();
            if (assembler.message() != *current) fail();
            if (assembler.kind() != (currentBinary ? 2 : 1)) fail();
            current.reset();
            break;
        case lumetta::MessageAssembler::Step::TooLarge:
            if (!current || !over) fail();
            current.reset();
            break;
        case lumetta::MessageAssembler::Step::Partial:
            if (!current || over || piece.last) fail();
            break;
        case lumetta::MessageAssembler::Step::Skipped:
            if (current) fail();
            break;
        }
        if (assembler.buffered() > kLimit) fail();
        if (assembler.buffered() != (current ? current->size() : 0)) fail();
    }
    return 0;
}
