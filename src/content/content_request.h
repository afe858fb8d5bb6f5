#pragma once
// The head of a request to the content server, read without trusting a byte of it.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lumetta {

struct ContentRequest {
    enum class Range {
        None,  // no Range header: the whole file
        From,  // "Range: bytes=<offset>-"
        Bad,   // any other range (suffix, end offset, lists, stray characters, overflow): 416
    };
    std::string hash;       // lower-cased, 40 or 64 hex digits
    std::string signature;  // the value of "X-Quorvela-Auth: ", unchecked
    Range range = Range::None;
    std::uint64_t offset = 0;
};

// Reads a whole head (up to and including its empty line). None when the request must end in
// silence: a request line that is not "GET /content/<hash> HTTP/1.x" with a 40 or 64 digit hex
// hash (any letter case), or no "X-Quorvela-Auth: " header (exact name, one space) ending in
// CR LF.
std::optional<ContentRequest> parseContentRequest(std::string_view head);

}  // namespace lumetta
