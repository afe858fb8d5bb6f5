#include "core/percent_encoding.h"

#include <gtest/gtest.h>

#include <string>

namespace lumetta {
namespace {

struct EncodingCase {
    std::string input;
    std::string deviceId;     // as encodeDeviceIdForUrl gives it
    std::string pathSegment;  // as encodePathSegment gives it
};

TEST(PercentEncoding, PlainTextsStayAndUnsafeBytesAreEncoded) {
    const EncodingCase cases[] = {
        {"ABC123DEF", "ABC123DEF", "ABC123DEF"},
        {"a-b.c_d~e", "a-b.c_d~e", "a-b.c_d~e"},
        {"clip(1)+x,y;z=!$&'*:@", "clip(1)+x,y;z=!$&'*:@", "clip(1)+x,y;z=!$&'*:@"},
        {"MY DEVICE", "MY%20DEVICE", "MY%20DEVICE"},
        {"ABC\r", "ABC%0D", "ABC%0D"},
        {std::string("A\0B", 3), "A%00B", "A%00B"},
        {"tab\there\x7f", "tab%09here%7F", "tab%09here%7F"},
        {"a#b?c", "a#b?c", "a%23b%3Fc"},
        {"a/b\\c", "a/b\\c", "a%2Fb%5Cc"},
        {"100%", "100%", "100%25"},
        {"\"<>[]{}|^`", "\"<>[]{}|^`", "%22%3C%3E%5B%5D%7B%7D%7C%5E%60"},
        {"caf\xc3\xa9", "caf\xc3\xa9", "caf%C3%A9"},
        {"", "", ""},
    };
    for (const EncodingCase& c : cases) {
        EXPECT_EQ(encodeDeviceIdForUrl(c.input), c.deviceId) << c.input;
        EXPECT_EQ(encodePathSegment(c.input), c.pathSegment) << c.input;
    }
}

}  // namespace
}  // namespace lumetta
