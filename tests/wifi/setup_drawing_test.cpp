// The set-up screen's helpers: text read back from a software canvas (plain, accent, clipped),
// filled rectangles, the font and its fallbacks, sleeping through signals, and running a
// program with its output thrown away.
#include "wifi/setup_drawing.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/shared_defaults.h"
#include "support/fake_tools.h"
#include "support/process_hygiene.h"
#include "support/temp_dir.h"
#include "wifi_test_support.h"

namespace lumetta::wifi {
namespace {

namespace fs = std::filesystem;
using testing::SoftwareCanvas;
using testing::TempDir;

constexpr SDL_Color white{255, 255, 255, 255};
constexpr SDL_Color accent{255, 128, 0, 255};

// ---------------------------------------------------------------------------------------------
// Text and rectangles

class SetupText : public ::testing::Test {
protected:
    SetupText() : canvas(400, 100), font(openFont(24)) {}
    void SetUp() override {
        ASSERT_NE(font, nullptr) << "no font";
        TTF_GetStringSize(font.get(), text.data(), text.size(), &textWidth, &textHeight);
        ASSERT_GT(textWidth, 60);
    }

    SoftwareCanvas canvas;
    FontHandle font;
    const std::string text = "Wi-Fi WWW";
    int textWidth = 0;
    int textHeight = 0;
};

TEST_F(SetupText, TextGoesWithItsTopLeftCornerAtThePoint) {
    drawTextAt(canvas.renderer(), font.get(), text, 20, 30, white);
    EXPECT_GT(canvas.count(white, 20, 30, 20 + textWidth, 30 + textHeight), 20);
    EXPECT_EQ(canvas.drawn(0, 0, 20, canvas.height()), 0);
    EXPECT_EQ(canvas.drawn(0, 0, canvas.width(), 30), 0);
    EXPECT_EQ(canvas.drawn(20 + textWidth + 1, 0, canvas.width(), canvas.height()), 0);

    canvas.clear();
    drawAccentText(canvas.renderer(), font.get(), text, 20, 30);
    EXPECT_GT(canvas.count(accent, 20, 30, 20 + textWidth, 30 + textHeight), 20);
    EXPECT_EQ(canvas.count(white, 0, 0, canvas.width(), canvas.height()), 0);
}

TEST_F(SetupText, ClippedTextIsCutOnTheRightWithoutScaling) {
    drawTextAt(canvas.renderer(), font.get(), text, 10, 10, white);
    const int whole = canvas.count(white, 0, 0, canvas.width(), canvas.height());
    const int firstPart = canvas.count(white, 0, 0, 10 + 30, canvas.height());

    struct Case {
        int maxWidth;
        int expectedWhite;
    };
    const Case cases[] = {{0, 0}, {-7, 0}, {INT_MIN, 0}, {30, firstPart}, {textWidth + 100, whole}, {INT_MAX, whole}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.maxWidth);
        canvas.clear();
        drawText(canvas.renderer(), font.get(), text, 10, 10, c.maxWidth, white);
        EXPECT_EQ(canvas.count(white, 0, 0, canvas.width(), canvas.height()), c.expectedWhite);
        if (c.maxWidth > 0 && c.maxWidth < textWidth) {
            EXPECT_EQ(canvas.drawn(10 + c.maxWidth, 0, canvas.width(), 100), 0);
        }
    }
}

TEST_F(SetupText, NothingIsDrawnWithoutFontTextOrRenderer) {
    drawTextAt(canvas.renderer(), nullptr, text, 10, 10, white);
    drawTextAt(canvas.renderer(), font.get(), "", 10, 10, white);
    drawAccentText(canvas.renderer(), nullptr, text, 10, 10);
    drawText(canvas.renderer(), font.get(), "", 10, 10, 100, white);
    drawText(canvas.renderer(), nullptr, text, 10, 10, 100, white);
    drawTextAt(nullptr, font.get(), text, 10, 10, white);
    fillRect(nullptr, nullptr);
    EXPECT_EQ(canvas.drawnAnywhere(), 0);

    // Invalid UTF-8 still draws what can be drawn.
    drawTextAt(canvas.renderer(), font.get(), "\xC3\x28 ok \xFF", 10, 10, white);
    EXPECT_GT(canvas.drawnAnywhere(), 0);
}

TEST_F(SetupText, FillRectFillsItsRectangleOrTheWholeTarget) {
    SDL_SetRenderDrawColor(canvas.renderer(), 255, 128, 0, 255);
    const SDL_Rect rect{5, 6, 30, 20};
    fillRect(canvas.renderer(), &rect);
    EXPECT_EQ(canvas.count(accent, 0, 0, canvas.width(), canvas.height()), 30 * 20);
    EXPECT_EQ(canvas.count(accent, 5, 6, 35, 26), 30 * 20);

    SDL_SetRenderDrawColor(canvas.renderer(), 255, 255, 255, 255);
    fillRect(canvas.renderer(), nullptr);
    EXPECT_EQ(canvas.count(white, 0, 0, canvas.width(), canvas.height()), canvas.width() * canvas.height());
}

// ---------------------------------------------------------------------------------------------
// Font

std::string familyOf(const FontHandle& font) {
    return font ? TTF_GetFontFamilyName(font.get()) : "(none)";
}

TEST(SetupFont, LatoFromTheFontsDirectoryThenTheBuiltInCopyThenDejaVu) {
    EXPECT_EQ(fontCandidates("/opt/fonts"),
              (std::vector<fs::path>{"/opt/fonts/Lato-Regular.ttf", "assets/fonts/Lato-Regular.ttf",
                                     "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"}));
    EXPECT_EQ(fontCandidates(sharedDefaults().fontsDirectory).front(),
              fs::path(sharedDefaults().fontsDirectory + "/Lato-Regular.ttf"));

    if (TTF_WasInit() == 0) {
        ASSERT_TRUE(TTF_Init());
    }
    const fs::path lato = fs::path(LUMETTA_SOURCE_DIR) / "assets/fonts/Lato-Regular.ttf";
    const fs::path dejavu = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
    ASSERT_TRUE(fs::exists(lato)) << "run scripts/setup.sh for the fonts";
    ASSERT_TRUE(fs::exists(dejavu));
    TempDir dir;
    const fs::path missing = dir / "missing.ttf";
    const fs::path notAFont = testing::writeTestFile(dir / "broken.ttf", "not a font");
    const fs::path folder = dir / "folder.ttf";
    fs::create_directory(folder);

    struct Case {
        std::vector<fs::path> candidates;
        std::string family;
    };
    const Case cases[] = {
        {{lato, notAFont, dejavu}, "Lato"},
        {{missing, lato, dejavu}, "Lato"},
        {{missing, notAFont, dejavu}, "DejaVu Sans"},
        {{folder, missing, dejavu}, "DejaVu Sans"},
        {{missing, notAFont, folder}, "(none)"},
        {{}, "(none)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.family);
        EXPECT_EQ(familyOf(openFont(20, c.candidates)), c.family);
    }

    // The size is the point size of the font opened.
    FontHandle small = openFont(12, {lato});
    FontHandle large = openFont(48, {lato});
    ASSERT_TRUE(small && large);
    EXPECT_LT(TTF_GetFontHeight(small.get()), TTF_GetFontHeight(large.get()));
    // The program's own candidates find a font here (the source folder holds assets/fonts).
    EXPECT_NE(openFont(18), nullptr);
}

TEST(SetupFont, AFileSystemErrorOtherThanAMissingPathReachesTheCaller) {
    if (TTF_WasInit() == 0) {
        ASSERT_TRUE(TTF_Init());
    }
    TempDir dir;
    fs::create_symlink(dir / "loop", dir / "loop");
    EXPECT_THROW(openFont(20, {dir / "loop" / "Lato-Regular.ttf"}), fs::filesystem_error);
}

// ---------------------------------------------------------------------------------------------
// Sleeping

// A scripted nanosleep: each call records its request and answers with the next result
// (0, or an errno with the time it reports as left); then 0.
struct ScriptedSleep {
    struct Answer {
        int error;
        timespec left;
    };
    std::vector<Answer> answers;
    std::vector<std::pair<long long, long>> requests;

    Nanosleep function() {
        return [this](const timespec* request, timespec* remaining) {
            requests.emplace_back(request->tv_sec, request->tv_nsec);
            if (requests.size() > answers.size()) return 0;
            const Answer& a = answers[requests.size() - 1];
            if (a.error == 0) return 0;
            *remaining = a.left;
            errno = a.error;
            return -1;
        };
    }
};

TEST(SetupSleep, MillisecondsBecomeSecondsAndNanoseconds) {
    using Requests = std::vector<std::pair<long long, long>>;
    struct Case {
        std::int64_t ms;
        Requests requests;
    };
    const Case cases[] = {
        {0, {}},
        {-1, {}},
        {INT64_MIN, {}},
        {1, {{0, 1000000}}},
        {999, {{0, 999000000}}},
        {1000, {{1, 0}}},
        {1500, {{1, 500000000}}},
        {INT64_MAX, {{INT64_MAX / 1000, 807000000}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ms);
        ScriptedSleep sleep;
        sleepMilliseconds(c.ms, sleep.function());
        EXPECT_EQ(sleep.requests, c.requests);
    }
}

TEST(SetupSleep, AnInterruptedSleepGoesOnForWhatWasLeftAndOtherFailuresEndIt) {
    ScriptedSleep interrupted;
    interrupted.answers = {{EINTR, {0, 700000000}}, {EINTR, {0, 123}}, {0, {}}};
    sleepMilliseconds(1500, interrupted.function());
    EXPECT_EQ(interrupted.requests,
              (std::vector<std::pair<long long, long>>{{1, 500000000}, {0, 700000000}, {0, 123}}));

    ScriptedSleep failing;
    failing.answers = {{EINTR, {1, 0}}, {EINVAL, {0, 5}}};
    sleepMilliseconds(2000, failing.function());
    EXPECT_EQ(failing.requests, (std::vector<std::pair<long long, long>>{{2, 0}, {1, 0}}));
}

std::atomic<int> signalsSeen{0};

TEST(SetupSleep, SignalsDuringTheRealSleepDoNotShortenIt) {
    struct sigaction action {};
    action.sa_handler = [](int) { signalsSeen.fetch_add(1); };
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGUSR2, &action, &previous), 0);

    const pthread_t sleeper = ::pthread_self();
    std::atomic<bool> done{false};
    signalsSeen = 0;
    std::thread sender([&] {
        while (!done.load()) {
            ::pthread_kill(sleeper, SIGUSR2);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    const auto start = std::chrono::steady_clock::now();
    sleepMilliseconds(300);
    const auto slept = std::chrono::steady_clock::now() - start;
    const int seenWhileSleeping = signalsSeen.load();
    done = true;
    sender.join();
    ::sigaction(SIGUSR2, &previous, nullptr);

    EXPECT_GE(seenWhileSleeping, 1);
    EXPECT_GE(slept, std::chrono::milliseconds(300));
    EXPECT_LT(slept, std::chrono::seconds(60));
}

// ---------------------------------------------------------------------------------------------
// Running a program

class SetupCommand : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(testing::resolvesToFake("setxkbmap")) << "refusing to run: setxkbmap on PATH is "
                                                           << testing::findOnPath("setxkbmap");
    }
    void TearDown() override { EXPECT_EQ(hygiene.leftovers(), "") << "left behind by the test"; }

    testing::ProcessHygiene hygiene;
    testing::FakeTools fakes;
};

TEST_F(SetupCommand, RunsToTheEndWithItsOutputThrownAway) {
    const std::string megabyte(1 << 20, 'k');
    fakes.answer("setxkbmap", "de", {.out = "layout set\n", .err = "warning\n"});
    fakes.answer("setxkbmap", "it", {.out = "no such layout\n", .err = "Error loading new keyboard description\n", .status = 1});
    fakes.answer("setxkbmap", "big", {.out = megabyte, .err = "tail\n", .repeat = "10"});
    fakes.answer("setxkbmap", "slow", {.delaySeconds = "0.3"});
    struct Case {
        std::vector<std::string> args;
        int status;
    };
    const Case cases[] = {
        {{"setxkbmap", "de"}, 0},
        {{"setxkbmap", "it"}, 1},
        {{"setxkbmap", "big"}, 0},   // 10 MB to /dev/null
        {{"setxkbmap", "slow"}, 0},  // waited for, however long
        {{"lumetta-no-such-program", "x"}, 127},
        {{"/nonexistent/setxkbmap"}, 127},
        {{}, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "(empty)" : c.args.back());
        testing::OwnStreamsToFiles own;
        const int status = runCommand(c.args);
        EXPECT_EQ(own.restoreAndRead(), "");
        EXPECT_EQ(status, c.status);
    }
    // Each call ended before the next began: the log holds them in order, the slow one included.
    EXPECT_EQ(fakes.log(), (std::vector<std::string>{"setxkbmap de", "setxkbmap it", "setxkbmap big",
                                                     "setxkbmap slow"}));
}

TEST_F(SetupCommand, TheChildReadsTheCallersStandardInput) {
    TempDir dir;
    const fs::path script = testing::writeTestFile(dir / "copy-input", "#!/bin/sh\ncat > \"$1\"\n");
    fs::permissions(script, fs::perms::owner_all);
    const fs::path input = testing::writeTestFile(dir / "input", "typed\n");
    const int savedIn = ::dup(0);
    FILE* in = std::fopen(input.c_str(), "r");
    ::dup2(::fileno(in), 0);
    const int status = runCommand({script.string(), (dir / "copy").string()});
    ::dup2(savedIn, 0);
    ::close(savedIn);
    std::fclose(in);
    EXPECT_EQ(status, 0);
    std::ifstream copy(dir / "copy");
    std::string line;
    std::getline(copy, line);
    EXPECT_EQ(line, "typed");
}

}  // namespace
}  // namespace lumetta::wifi
