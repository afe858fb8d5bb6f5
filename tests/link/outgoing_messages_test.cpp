#include <gtest/gtest.h>
#include <json/json.h>

#include <atomic>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "link/outgoing_messages.h"
#include "link/captured_log.h"

namespace lumetta {
namespace {

using testing::CapturedLog;

constexpr std::size_t MiB = 1024 * 1024;

std::vector<std::size_t> frameSizes(OutgoingMessageQueue& queue) {
    // Drains a copy of the order through the sender's own calls.
    std::vector<std::size_t> sizes;
    while (const auto oldest = queue.copyOldest()) {
        sizes.push_back(oldest->size());
        queue.removeSent(*oldest);
    }
    return sizes;
}

TEST(OutgoingMessageQueue, KeepsFramesUpToTheBoundsAndDropsTheOldestToMakeRoom) {
    struct Case {
        const char* name;
        std::vector<std::size_t> queued;  // sizes appended first
        std::size_t appended;              // then this one
        std::vector<std::size_t> left;     // what the queue holds afterwards, oldest first
    };
    const std::vector<Case> cases = {
        {"a frame of exactly 16 MiB is kept", {}, 16 * MiB, {16 * MiB}},
        {"a frame of 16 MiB + 1 is dropped", {10}, 16 * MiB + 1, {10}},
        {"an empty frame is dropped", {10}, 0, {10}},
        {"room for one byte: only the oldest goes", {4 * MiB, 4 * MiB, 4 * MiB, 4 * MiB}, 1, {4 * MiB, 4 * MiB, 4 * MiB, 1}},
        {"two of the oldest go to fit", {6 * MiB, 6 * MiB, 4 * MiB}, 7 * MiB, {4 * MiB, 7 * MiB}},
        {"a full-size frame drops every other", {1, 2, 3}, 16 * MiB, {16 * MiB}},
        {"a total of exactly 16 MiB drops nothing", {8 * MiB}, 8 * MiB, {8 * MiB, 8 * MiB}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::atomic<bool> running{true};
        OutgoingMessageQueue queue(running);
        for (const std::size_t size : c.queued) queue.append(std::string(size, 'q'));
        queue.append(std::string(c.appended, 'n'));
        std::uint32_t total = 0;
        for (const std::size_t size : c.left) total += static_cast<std::uint32_t>(size);
        EXPECT_EQ(queue.totalBytes(), total);
        EXPECT_EQ(frameSizes(queue), c.left);
        EXPECT_EQ(queue.totalBytes(), 0u);
    }
}

TEST(OutgoingMessageQueue, TheHundredAndTwentyNinthFrameDropsTheOldestAndOrderIsKept) {
    std::atomic<bool> running{true};
    OutgoingMessageQueue queue(running);
    for (int i = 0; i < 129; ++i) queue.append("frame " + std::to_string(i));
    ASSERT_EQ(queue.size(), 128u);
    for (int i = 1; i < 129; ++i) {
        const auto oldest = queue.copyOldest();
        ASSERT_TRUE(oldest);
        EXPECT_EQ(*oldest, "frame " + std::to_string(i));
        queue.removeSent(*oldest);
    }
    EXPECT_FALSE(queue.copyOldest());
}

TEST(OutgoingMessageQueue, ASentCopyOnlyRemovesTheFrameItWasTakenFrom) {
    std::atomic<bool> running{true};
    OutgoingMessageQueue queue(running);
    queue.append("first");
    const auto copy = queue.copyOldest();
    ASSERT_TRUE(copy);
    // While it is being sent, producers push it out of the queue.
    for (int i = 0; i < 128; ++i) queue.append("later " + std::to_string(i));
    queue.removeSent(*copy);
    EXPECT_EQ(queue.size(), 128u);
    EXPECT_EQ(queue.copyOldest(), "later 0");
}

TEST(OutgoingMessageQueue, TakesNothingOnceThePlayerStopped) {
    std::atomic<bool> running{true};
    OutgoingMessageQueue queue(running);
    queue.append("kept");
    running = false;
    queue.append("late");
    EXPECT_EQ(queue.size(), 1u);
    EXPECT_EQ(queue.copyOldest(), "kept");
}

TEST(CompactJson, WritesNoWhitespaceAndMembersInNameOrder) {
    Json::Value value;
    value["type"] = "x";
    value["data"]["b"] = 1;
    value["data"]["a"] = Json::Value(Json::arrayValue);
    value["data"]["a"].append("é\n\"");
    EXPECT_EQ(toCompactJson(value), "{\"data\":{\"a\":[\"\\u00e9\\n\\\"\"],\"b\":1},\"type\":\"x\"}");
}

// The reader keeps comments and attaches them to the values; a compact frame has no line breaks,
// so a comment written into it would turn the rest of the frame into comment text.
TEST(CompactJson, LeavesOutTheCommentsOfTheTextItWasReadFrom) {
    const std::string texts[] = {
        "//\n{\"type\":\"x\"}",
        "/* before */ {\"type\": // after the name\n \"x\", \"n\": [1, /* inside */ 2]} // trailing",
    };
    for (const std::string& text : texts) {
        SCOPED_TRACE(text);
        Json::Value value;
        std::string errors;
        std::istringstream in(text);
        ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &value, &errors)) << errors;
        const std::string compact = toCompactJson(value);
        EXPECT_EQ(compact.find_first_of("/\n"), std::string::npos) << compact;
        Json::Value again;
        std::istringstream back(compact);
        EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), back, &again, &errors)) << compact << ": " << errors;
        EXPECT_EQ(again, value);
    }
}

class TransitionReports : public ::testing::Test {
protected:
    std::atomic<bool> running{true};
    CapturedLog log;
    PendingTransition reports{running, log};

    std::uint64_t storeAndSequence(const std::string& json) {
        EXPECT_TRUE(reports.store(json)) << log.text();
        const auto report = reports.unsent();
        return report ? report->sequence : 0;
    }
};

TEST_F(TransitionReports, AreWrittenCompactWithTheirSequenceOverwritingTheCallers) {
    ASSERT_TRUE(reports.store(R"( { "type" : "transition", "sequence": 77,
                                    "data" : { "uptime" : "12", "slide" : "3" } } )"));
    const auto report = reports.unsent();
    ASSERT_TRUE(report);
    EXPECT_EQ(report->text, R"({"data":{"slide":"3","uptime":"12"},"sequence":1,"type":"transition"})");
    EXPECT_EQ(report->sequence, 1u);
    EXPECT_EQ(storeAndSequence(R"({"type":"transition","data":{}})"), 2u);
    // A comment in the text does not reach the frame (it would make the frame unreadable).
    EXPECT_EQ(storeAndSequence("//\n{\"type\":\"transition\"}"), 3u);
    EXPECT_EQ(reports.unsent()->text, R"({"sequence":3,"type":"transition"})");
    EXPECT_EQ(log.text(), "");
}

TEST_F(TransitionReports, RefusalsAreLoggedAndOnlyAnOversizeReportUsesUpItsSequence) {
    const std::string deep = std::string(2000, '[') + std::string(2000, ']');
    const std::string head = R"({"type":"transition","data":")";
    const std::string oversize = head + std::string(16 * MiB + 1 - head.size() - 2, 'x') + "\"}";
    ASSERT_EQ(oversize.size(), 16 * MiB + 1);
    struct Case {
        std::string json;
        std::string line;  // logged; empty: none
        bool usesSequence;
    };
    const std::vector<Case> cases = {
        {"", "", false},
        {"not json", "[WEBSOCKET] Invalid transition JSON: ", false},
        {deep, "[WEBSOCKET] Invalid transition JSON: ", false},
        {R"({"type":"transition")", "[WEBSOCKET] Invalid transition JSON: ", false},
        {R"([{"type":"transition"}])", "[WEBSOCKET] Transition status must be a JSON object\n", false},
        {R"("transition")", "[WEBSOCKET] Transition status must be a JSON object\n", false},
        {R"({"data":{}})", "[WEBSOCKET] Transition status has no valid type field\n", false},
        {R"({"type":7})", "[WEBSOCKET] Transition status has no valid type field\n", false},
        {R"({"type":"status","data":{}})", "[WEBSOCKET] Reliable transition status must use type \"transition\"\n",
         false},
        {R"({"type":"Transition"})", "[WEBSOCKET] Reliable transition status must use type \"transition\"\n", false},
        {oversize, "[WEBSOCKET] Transition status exceeds message limit\n", true},
    };
    std::uint64_t last = storeAndSequence(R"({"type":"transition"})");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json.substr(0, 40));
        const std::size_t before = log.text().size();
        EXPECT_FALSE(reports.store(c.json));
        const std::string line = log.text().substr(before);
        if (c.line.empty()) {
            EXPECT_EQ(line, "");
        } else {
            EXPECT_EQ(line.rfind(c.line, 0), 0u) << line;
            EXPECT_EQ(line.back(), '\n');
            EXPECT_EQ(line.find("\n\n"), std::string::npos) << "one entry, no empty line";
        }
        EXPECT_EQ(reports.unsent()->sequence, last) << "the earlier report stays";
        const std::uint64_t next = last + (c.usesSequence ? 2 : 1);
        last = storeAndSequence(R"({"type":"transition"})");
        EXPECT_EQ(last, next);
    }
    // Whitespace the compact form drops does not count towards the limit.
    const std::string padded = R"({"type":"transition","data":")" + std::string(1000, 'y') + "\"}" +
                               std::string(16 * MiB + 1, ' ');
    EXPECT_EQ(storeAndSequence(padded), last + 1);
}

TEST_F(TransitionReports, GoOutOncePerConnectionAndANewerOneReplacesAnyOlder) {
    ASSERT_TRUE(reports.store(R"({"type":"transition","data":{"slide":"1"}})"));
    auto first = reports.unsent();
    ASSERT_TRUE(first);
    reports.markSent(first->sequence);
    EXPECT_FALSE(reports.unsent()) << "sent on this connection";
    reports.connectionOpened();
    ASSERT_TRUE(reports.unsent()) << "a new connection sends it again";
    EXPECT_EQ(reports.unsent()->text, first->text);

    // A newer report arrives while the older one is being sent: the older one's success does
    // not mark the newer one.
    first = reports.unsent();
    ASSERT_TRUE(reports.store(R"({"type":"transition","data":{"slide":"2"}})"));
    reports.markSent(first->sequence);
    const auto second = reports.unsent();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->sequence, first->sequence + 1);
    EXPECT_NE(second->text.find("\"slide\":\"2\""), std::string::npos);
}

TEST_F(TransitionReports, AreRefusedSilentlyOnceThePlayerStopped) {
    running = false;
    EXPECT_FALSE(reports.store(R"({"type":"transition"})"));
    EXPECT_FALSE(reports.unsent());
    EXPECT_EQ(log.text(), "");
}

TEST(PlaylistChoice, IsQueuedAsLiteralTextWithTheIdEscaped) {
    struct Case {
        std::string id;
        std::string frame;
    };
    const std::vector<Case> cases = {
        {"42", R"({"type":"updatePlaylist","data":{"id":"42"}})"},
        {R"(a"b\c)", R"({"type":"updatePlaylist","data":{"id":"a\"b\\c"}})"},
        {std::string("\x01\n\t", 3) + std::string(1, '\0'), R"({"type":"updatePlaylist","data":{"id":"\u0001\n\t\u0000"}})"},
        {"</script>", R"({"type":"updatePlaylist","data":{"id":"</script>"}})"},
    };
    for (const Case& c : cases) {
        std::atomic<bool> running{true};
        OutgoingMessageQueue queue(running);
        EXPECT_TRUE(sendPlaylistUpdate(c.id, queue));
        EXPECT_EQ(queue.copyOldest(), c.frame);
    }
}

TEST(PlaylistChoice, RefusesAnEmptyIdAnOversizeFrameAndAStoppedPlayer) {
    std::atomic<bool> running{true};
    OutgoingMessageQueue queue(running);
    // 38 bytes before the id, its two quotes, 2 bytes after: the largest id that fits.
    const std::string largest(16 * MiB - 42, 'i');
    EXPECT_TRUE(sendPlaylistUpdate(largest, queue));
    EXPECT_EQ(queue.totalBytes(), 16 * MiB);

    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(sendPlaylistUpdate(largest + "i", queue));
    EXPECT_FALSE(sendPlaylistUpdate("", queue));
    running = false;
    EXPECT_FALSE(sendPlaylistUpdate("7", queue));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "[WEBSOCKET] Playlist update exceeds message limit\n"
              "[WEBSOCKET] Cannot send an empty playlist ID\n");
    EXPECT_EQ(queue.size(), 1u);
}

TEST(PlayerMessages, TheProcessWideFunctionsFeedTheRunningPlayersQueueAndRegister) {
    ASSERT_TRUE(playerRunning.load());
    const std::size_t before = outgoingMessageQueue().size();
    queueOutgoingMessage(R"({"data":{},"type":"device"})");
    EXPECT_TRUE(sendPlaylistUpdate("9"));
    EXPECT_EQ(outgoingMessageQueue().size(), before + 2);
    EXPECT_TRUE(sendTransitionStatus(R"({"type":"transition","data":{"slide":"0","uptime":"1"}})"));
    ASSERT_TRUE(pendingTransition().unsent());
    EXPECT_NE(pendingTransition().unsent()->text.find("\"slide\":\"0\""), std::string::npos);
}

}  // namespace
}  // namespace lumetta
