#include <gtest/gtest.h>

#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "core/log.h"

namespace lumetta {
namespace {

// Records each hand-over from the stream: a line built in several pieces would show as several.
class CountingBuffer : public std::streambuf {
public:
    std::vector<std::string> writes;

protected:
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        writes.emplace_back(s, static_cast<std::size_t>(n));
        return n;
    }
    int_type overflow(int_type c) override {
        if (c != traits_type::eof()) writes.emplace_back(1, static_cast<char>(c));
        return c;
    }
};

TEST(Log, EachLineReachesTheStreamInOneWrite) {
    CountingBuffer buffer;
    std::ostream out(&buffer);
    logLine(out, ansi::BOLD_RED, "[FILE]", " Could not write: x");
    logText(out, "Failed to read image: /a b");
    ASSERT_EQ(buffer.writes.size(), 2u);
    EXPECT_EQ(buffer.writes[0], std::string(ansi::BOLD_RED) + "[FILE]" + std::string(ansi::RESET) + " Could not write: x\n");
    EXPECT_EQ(buffer.writes[1], "Failed to read image: /a b\n");
}

}  // namespace
}  // namespace lumetta
