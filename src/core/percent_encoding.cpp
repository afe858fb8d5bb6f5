#include "core/percent_encoding.h"

namespace lumetta {
namespace {

void appendEncoded(std::string& out, unsigned char byte) {
    static constexpr char digits[] = "0123456789ABCDEF";
    out += '%';
    out += digits[byte >> 4];
    out += digits[byte & 0x0F];
}

bool isPathSegmentCharacter(unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
    switch (c) {
        case '-': case '.': case '_': case '~':                                  // unreserved
        case '!': case '$': case '&': case '\'': case '(': case ')':             // sub-delims
        case '*': case '+': case ',': case ';': case '=':
        case ':': case '@':
            return true;
        default:
            return false;
    }
}

}  // namespace

std::string encodeDeviceIdForUrl(std::string_view deviceId) {
    std::string out;
    out.reserve(deviceId.size());
    for (const char character : deviceId) {
        const auto byte = static_cast<unsigned char>(character);
        if (byte == ' ' || byte < 0x20 || byte == 0x7F) appendEncoded(out, byte);
        else out += character;
    }
    return out;
}

std::string encodePathSegment(std::string_view segment) {
    std::string out;
    out.reserve(segment.size());
    for (const char character : segment) {
        const auto byte = static_cast<unsigned char>(character);
        if (isPathSegmentCharacter(byte)) out += character;
        else appendEncoded(out, byte);
    }
    return out;
}

}  // namespace lumetta
