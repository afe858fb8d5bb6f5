#pragma once
// Percent-encoding of texts that go into URLs. Both keep plain names byte for byte, so a
// URL built from an ordinary id or file name looks exactly as before; only bytes that a URL
// cannot carry (or that would change its meaning) become "%XX" with upper-case hexadecimal.

#include <string>
#include <string_view>

namespace lumetta {

// A device id as a URL component: every space and every control byte (0x00 to 0x1F and 0x7F,
// such as the carriage return a machine id file may end with) is encoded; nothing else changes.
std::string encodeDeviceIdForUrl(std::string_view deviceId);

// One path segment (a media file name): every byte other than the unreserved characters
// (letters, digits, "-", ".", "_", "~"), the sub-delimiters ("!$&'()*+,;=") and ":" and "@" is
// encoded, so "/", "?", "#", "%", spaces, controls and non-ASCII bytes cannot change the request.
std::string encodePathSegment(std::string_view segment);

}  // namespace lumetta
