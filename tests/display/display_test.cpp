#include "display/display.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "support/temp_dir.h"

namespace lumetta {
namespace {

// Reads one pixel of the current render target as RGBA.
SDL_Color pixelAt(SDL_Renderer* renderer, int x, int y) {
    SDL_Rect area{x, y, 1, 1};
    SDL_Surface* surface = SDL_RenderReadPixels(renderer, &area);
    EXPECT_NE(surface, nullptr) << SDL_GetError();
    SDL_Color color{0, 0, 0, 0};
    if (surface) {
        SDL_ReadSurfacePixel(surface, 0, 0, &color.r, &color.g, &color.b, &color.a);
        SDL_DestroySurface(surface);
    }
    return color;
}

::testing::AssertionResult sameColor(SDL_Color actual, SDL_Color expected) {
    if (actual.r == expected.r && actual.g == expected.g && actual.b == expected.b) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "got (" << int(actual.r) << "," << int(actual.g) << "," << int(actual.b)
                                         << ") expected (" << int(expected.r) << "," << int(expected.g) << ","
                                         << int(expected.b) << ")";
}

// Puts one environment variable aside for a test and restores it afterwards.
class EnvironmentOverride {
public:
    explicit EnvironmentOverride(const char* name) : name_(name) {
        if (const char* value = std::getenv(name)) saved_ = value;
        unsetenv(name);
    }
    ~EnvironmentOverride() {
        if (saved_) setenv(name_, saved_->c_str(), 1);
    }

private:
    const char* name_;
    std::optional<std::string> saved_;
};

TEST(DisplayTest, WindowOpensAtTheRequestedSizeAndClearsAndPresents) {
    Display display("", "test", -1, -1, 320, 240, false, std::nullopt);
    ASSERT_NE(display.window(), nullptr);
    ASSERT_NE(display.renderer(), nullptr);
    EXPECT_EQ(display.width(), 320);
    EXPECT_EQ(display.height(), 240);
    EXPECT_EQ(display.bounds().w, 320);
    EXPECT_EQ(display.bounds().h, 240);

    display.clear(SDL_Color{255, 0, 0, 255});
    EXPECT_TRUE(sameColor(pixelAt(display.renderer(), 0, 0), {255, 0, 0, 255}));
    EXPECT_TRUE(sameColor(pixelAt(display.renderer(), 319, 239), {255, 0, 0, 255}));
    display.present(true);
}

TEST(DisplayTest, FailingDriverThrowsAndTheNextConstructionStartsClean) {
    EnvironmentOverride noDriverFromEnvironment("SDL_VIDEO_DRIVER");
    EXPECT_THROW(Display("kmsdrm", "test", 0, 0, 0, 0, false, std::nullopt), std::runtime_error);
    EXPECT_EQ(SDL_WasInit(SDL_INIT_VIDEO), 0u);
    EXPECT_EQ(SDL_WasInit(SDL_INIT_EVENTS), 0u);

    Display display("offscreen", "test", -1, -1, 64, 48, false, std::nullopt);
    EXPECT_EQ(display.width(), 64);
    EXPECT_EQ(display.height(), 48);
}

TEST(DisplayTest, ScreenshotHoldsTheFrameInTrueColours) {
    testing::TempDir temp;
    const std::filesystem::path directory = temp / "shots/nested/deeper";
    Display display("", "test", -1, -1, 64, 48, false, std::nullopt);
    display.clear(SDL_Color{0, 0, 0, 255});
    SDL_SetRenderDrawColor(display.renderer(), 255, 0, 0, 255);
    SDL_FRect left{0, 0, 32, 48};
    SDL_RenderFillRect(display.renderer(), &left);
    SDL_SetRenderDrawColor(display.renderer(), 0, 0, 255, 255);
    SDL_FRect right{32, 0, 32, 48};
    SDL_RenderFillRect(display.renderer(), &right);

    display.requestScreenshot(directory.string());
    display.present(true);

    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) files.push_back(entry.path());
    ASSERT_EQ(files.size(), 1u);
    const cv::Mat image = cv::imread(files[0].string(), cv::IMREAD_UNCHANGED);
    ASSERT_FALSE(image.empty());
    EXPECT_EQ(image.cols, 64);
    EXPECT_EQ(image.rows, 48);
    ASSERT_EQ(image.channels(), 4);
    // OpenCV hands pixels back as blue, green, red, alpha.
    EXPECT_EQ(image.at<cv::Vec4b>(10, 5), cv::Vec4b(0, 0, 255, 255));
    EXPECT_EQ(image.at<cv::Vec4b>(10, 50), cv::Vec4b(255, 0, 0, 255));
}

}  // namespace
}  // namespace lumetta
