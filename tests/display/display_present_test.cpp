#include "display/display.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "display_test_support.h"
#include "scripted_displays.h"
#include "support/temp_dir.h"

namespace lumetta {
namespace {

using testing::fillRect;
using testing::pixelAt;
using testing::sameColor;
using testing::ScriptedDisplays;

constexpr SDL_Color red{255, 0, 0, 255};
constexpr SDL_Color green{0, 255, 0, 255};
constexpr SDL_Color blue{0, 0, 255, 255};
constexpr SDL_Color white{255, 255, 255, 255};
constexpr SDL_Color black{0, 0, 0, 255};

std::vector<std::filesystem::path> filesIn(const std::filesystem::path& directory) {
    std::vector<std::filesystem::path> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(directory, error)) files.push_back(entry.path());
    return files;
}

// Four quadrants: red, green / blue, white.
void drawQuadrants(Display& display, int width, int height) {
    const float w = static_cast<float>(width) / 2;
    const float h = static_cast<float>(height) / 2;
    display.clear(black);
    fillRect(display.renderer(), 0, 0, w, h, red);
    fillRect(display.renderer(), w, 0, w, h, green);
    fillRect(display.renderer(), 0, h, w, h, blue);
    fillRect(display.renderer(), w, h, w, h, white);
}

// The quadrant colours as seen at the centre of each quadrant of an output of that size.
void expectQuadrants(SDL_Renderer* renderer, int width, int height) {
    EXPECT_TRUE(sameColor(pixelAt(renderer, width / 4, height / 4), red));
    EXPECT_TRUE(sameColor(pixelAt(renderer, 3 * width / 4, height / 4), green));
    EXPECT_TRUE(sameColor(pixelAt(renderer, width / 4, 3 * height / 4), blue));
    EXPECT_TRUE(sameColor(pixelAt(renderer, 3 * width / 4, 3 * height / 4), white));
}

TEST(Screenshot, HoldsTheFrameInTrueColoursInANewNestedDirectory) {
    testing::TempDir temp;
    const std::filesystem::path directory = temp / "shots/nested/deeper";
    Display display("", "test", -1, -1, 64, 48, false, std::nullopt);
    drawQuadrants(display, 64, 48);

    ::testing::internal::CaptureStdout();
    display.requestScreenshot(directory.string());
    display.present(true);
    const std::string out = ::testing::internal::GetCapturedStdout();

    const auto files = filesIn(directory);
    ASSERT_EQ(files.size(), 1u);
    const std::string name = files[0].filename().string();
    EXPECT_EQ(name.rfind("screenshot-", 0), 0u) << name;
    EXPECT_EQ(name.size(), std::string("screenshot-20261210-132507-042.png").size()) << name;
    EXPECT_EQ(out, "[SCREENSHOT] Saved uncompressed " + directory.string() + "/" + name + "\n");

    const cv::Mat image = cv::imread(files[0].string(), cv::IMREAD_UNCHANGED);
    ASSERT_FALSE(image.empty());
    EXPECT_EQ(image.cols, 64);
    EXPECT_EQ(image.rows, 48);
    ASSERT_EQ(image.channels(), 4);
    // OpenCV hands pixels back as blue, green, red, alpha.
    EXPECT_EQ(image.at<cv::Vec4b>(12, 16), cv::Vec4b(0, 0, 255, 255));    // red
    EXPECT_EQ(image.at<cv::Vec4b>(12, 48), cv::Vec4b(0, 255, 0, 255));    // green
    EXPECT_EQ(image.at<cv::Vec4b>(36, 16), cv::Vec4b(255, 0, 0, 255));    // blue
    EXPECT_EQ(image.at<cv::Vec4b>(36, 48), cv::Vec4b(255, 255, 255, 255));
    EXPECT_EQ(image.at<cv::Vec4b>(47, 63), cv::Vec4b(255, 255, 255, 255));  // last pixel of the last row

    // Taken and saved: the next frame writes nothing.
    display.present(true);
    EXPECT_EQ(filesIn(directory).size(), 1u);
}

TEST(Screenshot, ALaterRequestReplacesAPendingOne) {
    testing::TempDir temp;
    Display display("", "test", -1, -1, 32, 32, false, std::nullopt);
    display.clear(red);
    display.requestScreenshot((temp / "first").string());
    display.requestScreenshot((temp / "second").string());
    ::testing::internal::CaptureStdout();
    display.present(false);
    display.present(false);
    ::testing::internal::GetCapturedStdout();
    EXPECT_FALSE(std::filesystem::exists(temp / "first"));
    EXPECT_EQ(filesIn(temp / "second").size(), 1u);
}

TEST(Screenshot, FailedRequestIsRetriedUntilANewOneReplacesIt) {
    testing::TempDir temp;
    const std::filesystem::path blocker = testing::writeTestFile(temp / "plain-file", "not a directory");
    const std::string impossible = (blocker / "shots").string();
    Display display("", "test", -1, -1, 32, 32, false, std::nullopt);
    display.clear(blue);

    display.requestScreenshot(impossible);
    for (int frame = 0; frame < 3; ++frame) {
        SCOPED_TRACE(frame);
        ::testing::internal::CaptureStderr();
        display.present(false);
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.rfind("[SCREENSHOT] Unable to create " + impossible + ": ", 0), 0u) << err;
        EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
    }

    const std::filesystem::path good = temp / "good";
    display.requestScreenshot(good.string());
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    display.present(false);
    display.present(false);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");  // the failed request is gone
    EXPECT_EQ(filesIn(good).size(), 1u);
}

// While a screenshot is being written (its request already taken) a newer request may come in;
// when the write then fails, the newer request is kept, not the failed one.
TEST(Screenshot, AFailedWriteGivesWayToARequestThatCameMeanwhile) {
    ScreenshotRequests requests;
    EXPECT_EQ(requests.take(), "");
    requests.request("/shots/old");
    const std::string writing = requests.take();
    EXPECT_EQ(writing, "/shots/old");
    EXPECT_EQ(requests.take(), "") << "a taken request is no longer pending";

    requests.request("/shots/newer");
    requests.retry(writing);
    EXPECT_EQ(requests.take(), "/shots/newer");

    // With nothing newer the failed request is tried again with the next frame.
    requests.retry(writing);
    EXPECT_EQ(requests.take(), "/shots/old");
}

TEST(Screenshot, RequestsFromAnotherThreadReachThePresentingThread) {
    testing::TempDir temp;
    Display display("", "test", -1, -1, 16, 16, false, std::nullopt);
    display.clear(green);
    ::testing::internal::CaptureStdout();
    {
        std::jthread requester([&] {
            for (int i = 0; i < 50; ++i) display.requestScreenshot((temp / ("dir" + std::to_string(i % 3))).string());
        });
        for (int frame = 0; frame < 50; ++frame) display.present(false);
    }
    display.present(false);  // takes whatever the requester left
    ::testing::internal::GetCapturedStdout();
    std::size_t saved = 0;
    for (int i = 0; i < 3; ++i) saved += filesIn(temp / ("dir" + std::to_string(i))).size();
    EXPECT_GE(saved, 1u);
}

// Two displays as far as the player can tell: the real one listed twice, so the mirror
// window is a real SDL window with its own renderer.
std::shared_ptr<ScriptedDisplays> twoDisplays() {
    auto queries = std::make_shared<ScriptedDisplays>();
    const SDL_DisplayID primary = SDL_GetPrimaryDisplay();
    queries->displayList = std::vector<SDL_DisplayID>{primary, primary};
    return queries;
}

class MirrorTest : public ::testing::Test {
protected:
    void SetUp() override {
        // SDL must be up to name its display; the display under test initialises it again.
        ASSERT_TRUE(SDL_InitSubSystem(SDL_INIT_VIDEO)) << SDL_GetError();
        queries = twoDisplays();
        ::testing::internal::CaptureStderr();
        display = std::make_unique<Display>("", "test", -1, -1, 64, 48, true, std::nullopt, queries);
        setupErrors = ::testing::internal::GetCapturedStderr();
        SDL_QuitSubSystem(SDL_INIT_VIDEO);
    }
    void TearDown() override { display.reset(); }

    SDL_Renderer* mirrorRenderer() const { return display->mirrors().at(0).renderer.get(); }

    std::shared_ptr<ScriptedDisplays> queries;
    std::unique_ptr<Display> display;
    std::string setupErrors;
};

TEST_F(MirrorTest, MirrorShowsTheSameFrameStretchedOverItsDisplay) {
    ASSERT_EQ(display->mirrors().size(), 1u) << setupErrors;
    const MirrorOutput& mirror = display->mirrors()[0];
    EXPECT_STREQ(SDL_GetWindowTitle(mirror.window.get()), "test - Mirror 1");
    EXPECT_TRUE(SDL_GetWindowFlags(mirror.window.get()) & SDL_WINDOW_FULLSCREEN);
    EXPECT_GT(mirror.width, 64);
    EXPECT_EQ(mirror.x, static_cast<int>(SDL_WINDOWPOS_CENTERED_DISPLAY(SDL_GetPrimaryDisplay())));

    drawQuadrants(*display, 64, 48);
    display->present(true);
    expectQuadrants(mirrorRenderer(), mirror.width, mirror.height);
    expectQuadrants(display->renderer(), 64, 48);
}

TEST_F(MirrorTest, MirrorsAreLeftAloneWhenNotAskedToUpdate) {
    ASSERT_EQ(display->mirrors().size(), 1u) << setupErrors;
    const MirrorOutput& mirror = display->mirrors()[0];
    display->clear(red);
    display->present(true);
    display->clear(blue);
    display->present(false);
    EXPECT_TRUE(sameColor(pixelAt(mirrorRenderer(), mirror.width / 2, mirror.height / 2), red));
    display->present(true);
    EXPECT_TRUE(sameColor(pixelAt(mirrorRenderer(), mirror.width / 2, mirror.height / 2), blue));
}

TEST_F(MirrorTest, MirrorFollowsAChangedOutputSize) {
    ASSERT_EQ(display->mirrors().size(), 1u) << setupErrors;
    const MirrorOutput& mirror = display->mirrors()[0];
    display->present(true);
    // Larger and then smaller than the frame the mirror texture was made for.
    for (const auto& [width, height] : {std::pair{96, 80}, std::pair{40, 30}, std::pair{64, 48}}) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        ASSERT_TRUE(SDL_SetWindowSize(display->window(), width, height)) << SDL_GetError();
        SDL_PumpEvents();
        int outputWidth = 0;
        int outputHeight = 0;
        ASSERT_TRUE(SDL_GetCurrentRenderOutputSize(display->renderer(), &outputWidth, &outputHeight));
        ASSERT_EQ(outputWidth, width);
        drawQuadrants(*display, width, height);
        expectQuadrants(display->renderer(), width, height);
        display->present(true);
        expectQuadrants(mirrorRenderer(), mirror.width, mirror.height);
    }
}

TEST(Mirror, NoMirrorWithoutTheOptionOrWithOneDisplay) {
    ASSERT_TRUE(SDL_InitSubSystem(SDL_INIT_VIDEO)) << SDL_GetError();
    auto queries = twoDisplays();
    SDL_QuitSubSystem(SDL_INIT_VIDEO);
    ::testing::internal::CaptureStderr();
    {
        Display display("", "test", -1, -1, 32, 32, false, std::nullopt, queries);
        EXPECT_TRUE(display.mirrors().empty());
    }
    {
        Display display("", "test", -1, -1, 32, 32, true, std::nullopt);
        EXPECT_TRUE(display.mirrors().empty());
        display.present(true);
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

}  // namespace
}  // namespace lumetta
