#include "player/slide_report.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <string>
#include <vector>

#include "link/outgoing_messages.h"

namespace lumetta::player {
namespace {

TEST(SlideReport, TransitionStatusIsCompactJson) {
    EXPECT_EQ(transitionStatusJson("3 days", "slide-7"),
              R"({"data":{"slide":"slide-7","uptime":"3 days"},"type":"transition"})");
    EXPECT_EQ(transitionStatusJson("", "a\"b"), R"({"data":{"slide":"a\"b","uptime":""},"type":"transition"})");
}

struct Sent {
    std::vector<std::string> reports;
    bool accept = true;
    SlideReporter::Send send() {
        return [this](const std::string& json) {
            reports.push_back(json);
            return accept;
        };
    }
};

TEST(SlideReport, ReportsEachNewSlideOnceUnlessForced) {
    Sent sent;
    int uptimeAsked = 0;
    SlideReporter reporter(true, [&] { return "up " + std::to_string(++uptimeAsked); }, sent.send());
    reporter.reportSlideChange("a", false);
    reporter.reportSlideChange("a", false);
    reporter.reportSlideChange("b", false);
    reporter.reportSlideChange("b", true);  // a video slide showing again
    EXPECT_EQ(sent.reports, (std::vector<std::string>{transitionStatusJson("up 1", "a"), transitionStatusJson("up 2", "b"),
                                                      transitionStatusJson("up 3", "b")}));
    EXPECT_EQ(reporter.lastReportedId(), "b");
}

TEST(SlideReport, NothingWithoutALinkOrWhileTheGroupScheduleIsUnsettled) {
    Sent sent;
    SlideReporter unlinked(false, [] { return "up"; }, sent.send());
    unlinked.reportSlideChange("a", true);
    EXPECT_TRUE(sent.reports.empty());

    SlideReporter reporter(true, [] { return "up"; }, sent.send());
    EXPECT_TRUE(reporter.groupScheduleSettled);
    reporter.groupScheduleSettled = false;
    reporter.reportSlideChange("a", true);
    EXPECT_TRUE(sent.reports.empty());
    EXPECT_EQ(reporter.lastReportedId(), "");
    // Once settled, the slide on screen is still new to the service.
    reporter.groupScheduleSettled = true;
    reporter.reportSlideChange("a", false);
    EXPECT_EQ(sent.reports.size(), 1u);
}

// Through the server link's transition register: the newest report waits there for the sender;
// once the player stopped the register refuses and the refusal is logged.
TEST(SlideReport, ReachesTheTransitionRegisterAndLogsARefusal) {
    std::atomic<bool> running{true};
    std::ostringstream registerErrors;
    PendingTransition pending(running, registerErrors);
    SlideReporter reporter(true, [] { return "12:00"; }, [&](const std::string& json) { return pending.store(json); });

    reporter.reportSlideChange("first", false);
    reporter.reportSlideChange("second", false);
    const auto report = pending.unsent();
    ASSERT_TRUE(report);
    EXPECT_NE(std::string(report->text).find(R"("slide":"second")"), std::string::npos) << std::string(report->text);
    EXPECT_NE(std::string(report->text).find(R"("uptime":"12:00")"), std::string::npos);

    running = false;
    ::testing::internal::CaptureStderr();
    reporter.reportSlideChange("third", false);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "[WEBSOCKET] Failed to queue transition status\n");
    EXPECT_EQ(reporter.lastReportedId(), "third");
}

}  // namespace
}  // namespace lumetta::player
