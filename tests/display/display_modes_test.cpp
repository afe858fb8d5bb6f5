#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "display/display.h"
#include "scripted_displays.h"

namespace lumetta {
namespace {

using testing::DisplayScript;
using testing::ScriptedDisplays;
using testing::sdlMode;

constexpr SDL_DisplayID screen = 7;

struct DefaultModeCase {
    const char* name;
    DisplayScript script;
    int width;
    int height;
    float refreshRate;
};

TEST(DefaultModeRule, PrefersFullHdThenDesktopThenPlainFullHd) {
    const DefaultModeCase cases[] = {
        {"full HD offered below a larger desktop",
         {sdlMode(3840, 2160, 60), {sdlMode(3840, 2160, 60), sdlMode(1920, 1080, 50), sdlMode(1280, 720, 60)}},
         1920, 1080, 50},
        {"closest to full HD is larger",
         {sdlMode(3840, 2160, 30), {sdlMode(3840, 2160, 30), sdlMode(1280, 720, 60)}},
         3840, 2160, 30},
        {"no full HD, smaller desktop", {sdlMode(1280, 1024, 75), {sdlMode(1280, 1024, 75)}}, 1280, 1024, 75},
        {"no modes, no desktop", {std::nullopt, {}}, 1920, 1080, 0},
        {"desktop without a size", {sdlMode(0, 0, 60), {}}, 1920, 1080, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedDisplays queries;
        queries.scripts[screen] = c.script;
        const SDL_DisplayMode mode = chooseDefaultMode(queries, screen);
        EXPECT_EQ(mode.w, c.width);
        EXPECT_EQ(mode.h, c.height);
        EXPECT_FLOAT_EQ(mode.refresh_rate, c.refreshRate);
        ASSERT_FALSE(queries.calls.empty());
        EXPECT_EQ(queries.calls.front(), "closest 1920x1080@0");
    }
    ScriptedDisplays queries;
    queries.scripts[screen] = DisplayScript{};
    const SDL_DisplayMode fallback = chooseDefaultMode(queries, screen);
    EXPECT_FLOAT_EQ(fallback.pixel_density, 1.0f);
    EXPECT_EQ(fallback.displayID, screen);
}

struct OverrideCase {
    const char* name;
    DisplayMode override;
    int width;
    int height;
    float refreshRate;
    const char* out;
    const char* err;
};

TEST(PersistentOverride, UsedOnlyWhenTheDisplayOffersItsExactSize) {
    const DisplayScript script{sdlMode(1920, 1080, 60),
                               {sdlMode(1920, 1080, 60), sdlMode(1280, 768, 60), sdlMode(1280, 720, 60),
                                sdlMode(1280, 720, 50), sdlMode(1024, 768, 0)}};
    const OverrideCase cases[] = {
        {"exact size and rate", {1280, 720, 50.0f, 1.0f, 0, false}, 1280, 720, 50,
         "[DISPLAY] Using persistent resolution override 1280x720 @ 50Hz\n", ""},
        {"found mode without a rate", {1024, 768, 0.0f, 1.0f, 0, false}, 1024, 768, 0,
         "[DISPLAY] Using persistent resolution override 1024x768\n", ""},
        {"only a larger mode", {1280, 700, 60.0f, 1.0f, 0, false}, 1920, 1080, 60, "",
         "[DISPLAY] Persistent resolution override is not supported by the connected display; using its "
         "configured mode\n"},
        {"larger than anything", {4096, 2160, 60.0f, 1.0f, 0, false}, 1920, 1080, 60, "",
         "[DISPLAY] Persistent resolution override is not supported by the connected display; using its "
         "configured mode\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedDisplays queries;
        queries.scripts[screen] = script;
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        const SDL_DisplayMode mode = choosePrimaryMode(queries, screen, c.override);
        const std::string out = ::testing::internal::GetCapturedStdout();
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(mode.w, c.width);
        EXPECT_EQ(mode.h, c.height);
        EXPECT_FLOAT_EQ(mode.refresh_rate, c.refreshRate);
        EXPECT_EQ(out, c.out);
        EXPECT_EQ(err, c.err);
    }
}

TEST(PersistentOverride, NoOverrideKeepsTheDefaultModeSilently) {
    ScriptedDisplays queries;
    queries.scripts[screen] = DisplayScript{sdlMode(3840, 2160, 60), {sdlMode(3840, 2160, 60), sdlMode(1920, 1080, 60)}};
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const SDL_DisplayMode mode = choosePrimaryMode(queries, screen, std::nullopt);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(mode.w, 1920);
    EXPECT_EQ(mode.h, 1080);
}

TEST(RendererChoice, VulkanOnlyOnKmsdrmWithoutMirrors) {
    struct Case {
        const char* driver;
        bool mirror;
        bool vulkan;
    };
    const Case cases[] = {
        {"kmsdrm", false, true}, {"kmsdrm", true, false},   {"offscreen", false, false},
        {"x11", false, false},   {"", false, false},        {"KMSDRM", false, false},
        {"kmsdrm ", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("driver '") + c.driver + "' mirror " + (c.mirror ? "on" : "off"));
        EXPECT_EQ(vulkanWindowFlag(c.driver, c.mirror), c.vulkan ? SDL_WINDOW_VULKAN : SDL_WindowFlags{0});
    }
}

TEST(ResolutionClass, InclusiveLimitsSwappedInPortrait) {
    struct Case {
        int width;
        int height;
        const char* expected;
    };
    const Case cases[] = {
        {1920, 1080, "/FHD"}, {1080, 1920, "/FHD"}, {1080, 1080, "/FHD"}, {1280, 720, "/FHD"},
        {1920, 1200, "/4K"},  {1921, 1080, "/4K"},  {1080, 1921, "/4K"},  {1200, 1200, "/4K"},
        {3840, 2160, "/4K"},  {2160, 3840, "/4K"},  {2160, 2160, "/4K"},  {4096, 2160, ""},
        {3840, 2161, ""},     {2161, 3840, ""},     {2200, 2200, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        EXPECT_EQ(resolutionClassFor(c.width, c.height), c.expected);
    }
}

TEST(ModeList, RatesWithinOneHundredthOfAHertzAreOneMode) {
    const std::vector<SDL_DisplayMode> modes = {
        sdlMode(1920, 1080, 60.0f),  sdlMode(1920, 1080, 59.995f), sdlMode(1920, 1080, 59.94f),
        sdlMode(1920, 1080, 50.0f),  sdlMode(0, 1080, 60.0f),      sdlMode(1280, -1, 60.0f),
        sdlMode(1280, 720, 60.0f, 2.0f), sdlMode(1280, 720, 60.005f),
    };
    const auto result = distinctModes(modes, screen, sdlMode(1920, 1080, 59.945f));
    ASSERT_EQ(result.size(), 4u);
    const float rates[] = {60.0f, 59.94f, 50.0f, 60.0f};
    const int widths[] = {1920, 1920, 1920, 1280};
    for (std::size_t i = 0; i < result.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(result[i].width, widths[i]);
        EXPECT_FLOAT_EQ(result[i].refreshRate, rates[i]);
        EXPECT_EQ(result[i].displayId, screen);
        EXPECT_EQ(result[i].current, i == 1);
    }
    EXPECT_FLOAT_EQ(result[3].pixelDensity, 2.0f);  // the first of the same modes wins

    for (const DisplayMode& mode : distinctModes(modes, screen, std::nullopt)) EXPECT_FALSE(mode.current);
}

class LocalTimeZone {
public:
    explicit LocalTimeZone(const char* zone) {
        if (const char* value = std::getenv("TZ")) saved_ = value;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~LocalTimeZone() {
        if (saved_) {
            setenv("TZ", saved_->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    std::optional<std::string> saved_;
};

TEST(ScreenshotName, LocalTimeWithThreeDigitMilliseconds) {
    LocalTimeZone zone("UTC0");
    using namespace std::chrono;
    const system_clock::time_point second{seconds{1796909107}};  // 2026-12-10 13:25:07 UTC
    struct Case {
        milliseconds offset;
        const char* expected;
    };
    const Case cases[] = {
        {milliseconds{0}, "screenshot-20261210-132507-000.png"},
        {milliseconds{7}, "screenshot-20261210-132507-007.png"},
        {milliseconds{42}, "screenshot-20261210-132507-042.png"},
        {milliseconds{999}, "screenshot-20261210-132507-999.png"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(screenshotFileName(second + c.offset), c.expected);
    }
    // Microseconds beyond the millisecond do not change the name.
    EXPECT_EQ(screenshotFileName(second + microseconds{42999}), "screenshot-20261210-132507-042.png");
    LocalTimeZone berlin("CET-1");
    EXPECT_EQ(screenshotFileName(second), "screenshot-20261210-142507-000.png");
}

}  // namespace
}  // namespace lumetta
