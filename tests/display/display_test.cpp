#include "display/display.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "core/process_state.h"
#include "display_test_support.h"
#include "scripted_displays.h"

namespace lumetta {
namespace {

using testing::DisplayScript;
using testing::EnvironmentOverride;
using testing::pixelAt;
using testing::sameColor;
using testing::ScriptedDisplays;
using testing::sdlMode;

const std::string vulkanFallbackTail = "; falling back to the default KMSDRM renderer";

TEST(DisplayTest, WindowOpensAtTheRequestedSizeAndClearsAndPresents) {
    Display display("", "test", -1, -1, 320, 240, false, std::nullopt);
    ASSERT_NE(display.window(), nullptr);
    ASSERT_NE(display.renderer(), nullptr);
    EXPECT_EQ(display.width(), 320);
    EXPECT_EQ(display.height(), 240);
    EXPECT_EQ(display.bounds().w, 320);
    EXPECT_EQ(display.bounds().h, 240);
    EXPECT_EQ(display.resolutionClass(), "/FHD");
    EXPECT_FALSE(SDL_GetWindowFlags(display.window()) & SDL_WINDOW_FULLSCREEN);
    EXPECT_TRUE(display.mirrors().empty());
    // KMS/DRM must not use atomic mode setting; the hint is read by that name.
    const char* atomic = SDL_GetHint("SDL_KMSDRM_ATOMIC");
    ASSERT_NE(atomic, nullptr);
    EXPECT_STREQ(atomic, "0");

    display.clear(SDL_Color{255, 0, 0, 255});
    EXPECT_TRUE(sameColor(pixelAt(display.renderer(), 0, 0), {255, 0, 0, 255}));
    EXPECT_TRUE(sameColor(pixelAt(display.renderer(), 319, 239), {255, 0, 0, 255}));
    display.present(true);
    display.clear(SDL_Color{0, 0, 255, 255});
    EXPECT_TRUE(sameColor(pixelAt(display.renderer(), 160, 120), {0, 0, 255, 255}));
    display.present(false);
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

TEST(DisplayTest, NoConnectedDisplayFailsAndShutsSdlDown) {
    auto queries = std::make_shared<ScriptedDisplays>();
    queries->displayList = std::vector<SDL_DisplayID>{};
    ::testing::internal::CaptureStderr();
    EXPECT_THROW(Display("", "test", -1, -1, 64, 48, false, std::nullopt, queries), std::runtime_error);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("SDL_GetDisplays: "), std::string::npos);
    EXPECT_EQ(SDL_WasInit(SDL_INIT_VIDEO), 0u);

    Display display("", "test", -1, -1, 64, 48, false, std::nullopt);
    EXPECT_NE(display.renderer(), nullptr);
}

TEST(DisplayTest, FullScreenWithoutSizeCoversTheDisplay) {
    // The offscreen display lists no full-screen modes, only its desktop mode.
    Display display("", "test", 0, 0, 0, 0, false, std::nullopt);
    const SDL_DisplayMode* desktop = SDL_GetDesktopDisplayMode(SDL_GetPrimaryDisplay());
    ASSERT_NE(desktop, nullptr);
    EXPECT_TRUE(SDL_GetWindowFlags(display.window()) & SDL_WINDOW_FULLSCREEN);
    EXPECT_EQ(display.width(), desktop->w);
    EXPECT_EQ(display.height(), desktop->h);
    const SDL_Rect bounds = display.bounds();
    EXPECT_EQ(bounds.x, static_cast<int>(SDL_WINDOWPOS_CENTERED_DISPLAY(SDL_GetPrimaryDisplay())));
    EXPECT_EQ(bounds.y, bounds.x);
}

TEST(DisplayTest, KmsdrmWithoutVulkanFallsBackToTheDefaultRenderer) {
    auto queries = std::make_shared<ScriptedDisplays>();
    queries->driver = "kmsdrm";
    ::testing::internal::CaptureStderr();
    Display display("", "test", -1, -1, 64, 48, false, std::nullopt, queries);
    const std::string err = ::testing::internal::GetCapturedStderr();
    const bool windowFallback = err.find("[DISPLAY] Vulkan window unavailable: ") != std::string::npos;
    const bool rendererFallback = err.find("[DISPLAY] Vulkan renderer unavailable: ") != std::string::npos;
    EXPECT_TRUE(windowFallback != rendererFallback) << err;
    EXPECT_NE(err.find(vulkanFallbackTail), std::string::npos) << err;
    ASSERT_NE(display.renderer(), nullptr);
    EXPECT_STRNE(SDL_GetRendererName(display.renderer()), "vulkan");
    EXPECT_EQ(display.width(), 64);
    EXPECT_FALSE(SDL_GetWindowFlags(display.window()) & SDL_WINDOW_VULKAN);
}

TEST(DisplayTest, MirroringKeepsKmsdrmOnTheDefaultRenderer) {
    auto queries = std::make_shared<ScriptedDisplays>();
    queries->driver = "kmsdrm";
    ::testing::internal::CaptureStderr();
    Display display("", "test", -1, -1, 64, 48, true, std::nullopt, queries);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.find("Vulkan"), std::string::npos) << err;
    EXPECT_EQ(err.find("[MIRROR]"), std::string::npos) << err;  // one display: no mirror, no message
    EXPECT_TRUE(display.mirrors().empty());
}

TEST(DisplayTest, CodecInformationDescribesTheGraphicsStack) {
    showCodecInformation = true;
    ::testing::internal::CaptureStdout();
    {
        Display display("", "test", -1, -1, 64, 48, false, std::nullopt);
    }
    showCodecInformation = false;
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[GRAPHICS] SDL video driver: offscreen\n"), std::string::npos) << out;
    EXPECT_NE(out.find("[GRAPHICS] SDL renderer: software\n"), std::string::npos) << out;
    EXPECT_NE(out.find("[GRAPHICS] Hardware accelerated: no\n"), std::string::npos) << out;
    EXPECT_NE(out.find("[GRAPHICS] VSync: "), std::string::npos) << out;
    EXPECT_NE(out.find("[GRAPHICS] Connected displays: 1\n"), std::string::npos) << out;
}

class DisplayModesTest : public ::testing::Test {
protected:
    static constexpr SDL_DisplayID screen = 7;

    void SetUp() override {
        queries = std::make_shared<ScriptedDisplays>();
        display = std::make_unique<Display>("", "test", -1, -1, 64, 48, false, std::nullopt, queries);
        queries->windowDisplay = screen;
        queries->scripts[screen] = DisplayScript{
            sdlMode(1920, 1080, 60),
            {sdlMode(3840, 2160, 30), sdlMode(1920, 1080, 60.0f), sdlMode(1920, 1080, 59.995f),
             sdlMode(1920, 1080, 59.94f), sdlMode(1360, 768, 60), sdlMode(1280, 720, 50)}};
        queries->calls.clear();
    }

    std::shared_ptr<ScriptedDisplays> queries;
    std::unique_ptr<Display> display;
};

TEST_F(DisplayModesTest, AvailableModesListTheWindowDisplayOnce) {
    queries->windowMode = sdlMode(1920, 1080, 59.94f);
    const auto modes = display->availableModes();
    ASSERT_EQ(modes.size(), 5u);
    EXPECT_EQ(modes[0].width, 3840);
    EXPECT_FLOAT_EQ(modes[1].refreshRate, 60.0f);
    EXPECT_FLOAT_EQ(modes[2].refreshRate, 59.94f);
    EXPECT_TRUE(modes[2].current);
    EXPECT_FALSE(modes[1].current);
    for (const DisplayMode& mode : modes) EXPECT_EQ(mode.displayId, screen);

    queries->scripts[screen].modes.clear();
    EXPECT_TRUE(display->availableModes().empty());
    queries->windowDisplay = 0;
    EXPECT_TRUE(display->availableModes().empty());
}

TEST_F(DisplayModesTest, ApplyResolutionRefusesWhatTheDisplayDoesNotOffer) {
    struct Case {
        const char* name;
        DisplayMode mode;
        const char* err;
        std::size_t questions;
    };
    const Case cases[] = {
        {"no width", {0, 1080, 60, 1, 0, false}, "", 0},
        {"negative height", {1920, -1, 60, 1, 0, false}, "", 0},
        {"near miss", {1366, 768, 60, 1, 0, false},
         "[DISPLAY] Selected resolution is no longer available: 1366x768\n", 1},
        {"too large", {4096, 2160, 0, 1, 0, false},
         "[DISPLAY] Selected resolution is no longer available: 4096x2160\n", 1},
        {"unknown display", {1280, 720, 50, 1, 99, false},
         "[DISPLAY] Selected resolution is no longer available: 1280x720\n", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        queries->calls.clear();
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        EXPECT_FALSE(display->applyResolution(c.mode));
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
        const std::string err = ::testing::internal::GetCapturedStderr();
        if (std::string(c.name) == "unknown display") {
            // The unknown display is asked through SDL, which may phrase its refusal itself.
            EXPECT_NE(err.find(c.err), std::string::npos) << err;
        } else {
            EXPECT_EQ(err, c.err);
            EXPECT_EQ(queries->calls.size(), c.questions);
        }
        EXPECT_EQ(display->width(), 64);
        EXPECT_EQ(display->height(), 48);
    }
}

TEST_F(DisplayModesTest, ApplyResolutionReportsAModeTheWindowSystemRefuses) {
    // The scripted display's modes are unknown to SDL, so switching to one fails.
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(display->applyResolution(DisplayMode{1280, 720, 50, 1, 0, false}));
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("[DISPLAY] Could not apply 1280x720: ", 0), 0u) << err;
    ASSERT_EQ(queries->calls.size(), 1u);
    EXPECT_EQ(queries->calls[0], "closest 1280x720@50");
    EXPECT_EQ(display->width(), 64);
}

}  // namespace
}  // namespace lumetta
