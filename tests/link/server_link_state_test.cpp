// The pairing values of the link state as the screens read them while the WebSocket thread
// stores new ones.
#include "link/server_link_state.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

namespace lumetta {
namespace {

TEST(ServerLinkStateTest, PairingValuesAreReplacedTogetherAndCompletionStays) {
    // A reader on another thread never sees the code of one message with the picture or link
    // of another: each message's three values carry the same number.
    std::atomic<bool> stop{false};
    std::atomic<int> mixed{0};
    std::atomic<int> reads{0};
    std::jthread reader([&] {
        while (!stop) {
            const auto lock = lockWebSocketState();
            // The state also owns playlists waiting for the player loop: copy the pairing fields.
            const struct {
                std::string bindCode, bindQrCode, bindUrl;
            } copy{serverLinkState.bindCode, serverLinkState.bindQrCode, serverLinkState.bindUrl};
            if (copy.bindQrCode != "qr-" + copy.bindCode && !(copy.bindCode.empty() && copy.bindQrCode.empty())) ++mixed;
            if (copy.bindUrl != "https://pair.test/" + copy.bindCode && !copy.bindCode.empty()) ++mixed;
            ++reads;
        }
    });
    for (int i = 0; i < 2000; ++i) {
        const std::string n = std::to_string(i);
        storeBindCode(n, "qr-" + n, "https://pair.test/" + n);
    }
    while (reads < 10) std::this_thread::yield();
    stop = true;
    reader.join();
    EXPECT_EQ(mixed, 0);
    EXPECT_EQ(bindCode(), "1999");
    EXPECT_EQ(bindQrCode(), "qr-1999");
    EXPECT_EQ(bindUrl(), "https://pair.test/1999");

    // A later message with empty members empties them; completion is never taken back by one.
    EXPECT_FALSE(isBindComplete());
    markBindComplete();
    storeBindCode("", "", "");
    EXPECT_EQ(bindCode(), "");
    EXPECT_EQ(bindQrCode(), "");
    EXPECT_EQ(bindUrl(), "");
    EXPECT_TRUE(isBindComplete());
}

}  // namespace
}  // namespace lumetta
