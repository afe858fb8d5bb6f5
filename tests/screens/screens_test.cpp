#include <SDL3/SDL.h>
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "core/process_state.h"
#include "link/player_events.h"
#include "screens/download_screen.h"
#include "screens/overlay_box.h"
#include "screens/pairing_screen.h"
#include "screens/pause_overlay.h"
#include "support/manual_clock.h"
#include "support/overlay_screen.h"

namespace lumetta::screens {
namespace {

using lumetta::testing::countIn;
using lumetta::testing::Frame;
using lumetta::testing::kBackdrop;
using lumetta::testing::kBlack;
using lumetta::testing::kGrey;
using lumetta::testing::kOrange;
using lumetta::testing::kWhite;
using lumetta::testing::ManualClock;
using lumetta::testing::OverlayScreen;
using lumetta::testing::textSize;

const std::string boldFont = "assets/fonts/Lato-Bold.ttf";
const std::string boxFont = "assets/fonts/Lato-Regular.ttf";

// Every copy handed to SDL, with the texture's alpha at that moment.
class CopyRecorder : public DrawSubmitter {
public:
    struct Copy {
        SDL_Texture* texture = nullptr;
        SDL_FRect destination{};
        double angle = 0;
        Uint8 alpha = 0;
    };

    bool renderTextureRotated(SDL_Renderer* renderer, SDL_Texture* texture, const SDL_FRect* source,
                              const SDL_FRect* destination, double angle, const SDL_FPoint* center,
                              SDL_FlipMode flip) override {
        Copy copy;
        copy.texture = texture;
        copy.destination = destination != nullptr ? *destination : SDL_FRect{};
        copy.angle = angle;
        SDL_GetTextureAlphaMod(texture, &copy.alpha);
        copies.push_back(copy);
        return sdlDrawSubmitter().renderTextureRotated(renderer, texture, source, destination, angle, center, flip);
    }
    bool renderGeometry(SDL_Renderer* renderer, SDL_Texture* texture, const SDL_Vertex* vertices, int vertexCount,
                        const int* indices, int indexCount) override {
        return sdlDrawSubmitter().renderGeometry(renderer, texture, vertices, vertexCount, indices, indexCount);
    }

    std::vector<Copy> copies;
};

void expectRect(const SDL_FRect& got, double x, double y, double w, double h, const std::string& what) {
    EXPECT_NEAR(got.x, x, 0.01) << what;
    EXPECT_NEAR(got.y, y, 0.01) << what;
    EXPECT_NEAR(got.w, w, 0.01) << what;
    EXPECT_NEAR(got.h, h, 0.01) << what;
}

// ---------------------------------------------------------------------------------------------
// The bottom-right box

TEST(OverlayBox, SizesFollowTheOutputHeight) {
    struct Case {
        int tw, th, w, h;
        SDL_Rect box, text;
        int bar, font;
    } cases[] = {
        // 1080: margin 30, padding 36, half padding 18, bar 6, font 25.
        {300, 30, 1920, 1080, {1554, 984, 336, 66}, {1572, 1002, 300, 30}, 6, 25},
        // 2160: margin 60, padding 72, half padding 36, bar 12, font 30.
        {500, 40, 3840, 2160, {3208, 1988, 572, 112}, {3244, 2024, 500, 40}, 12, 30},
        // Below 756: margin 20, padding 28, half 14, font 18.
        {200, 20, 1280, 720, {1032, 652, 228, 48}, {1046, 666, 200, 20}, 6, 18},
        // 800 high: the big margin but the small padding.
        {200, 20, 1280, 800, {1030, 730, 228, 48}, {1044, 744, 200, 20}, 6, 19},
        // 1440: the bar widens.
        {200, 20, 2560, 1440, {2272, 1332, 248, 68}, {2296, 1356, 200, 20}, 8, 30},
    };
    for (const Case& c : cases) {
        const OverlayBoxLayout l = overlayBoxLayout(c.tw, c.th, c.w, c.h);
        const std::string what = std::to_string(c.w) + "x" + std::to_string(c.h);
        EXPECT_EQ((std::vector<int>{l.box.x, l.box.y, l.box.w, l.box.h}),
                  (std::vector<int>{c.box.x, c.box.y, c.box.w, c.box.h})) << what;
        EXPECT_EQ((std::vector<int>{l.text.x, l.text.y, l.text.w, l.text.h}),
                  (std::vector<int>{c.text.x, c.text.y, c.text.w, c.text.h})) << what;
        EXPECT_EQ((std::vector<int>{l.bar.x, l.bar.y, l.bar.w, l.bar.h}),
                  (std::vector<int>{c.box.x, c.box.y, c.bar, c.box.h})) << what;
        EXPECT_EQ(overlayBoxFontSize(c.h), c.font) << what;
    }
}

// ---------------------------------------------------------------------------------------------
// Pause overlay

TEST(PauseOverlay, SecondsRoundUp) {
    const std::uint64_t end = 1'000'000;
    struct Case {
        std::uint64_t now;
        int seconds;
    } cases[] = {{end - 60000, 60}, {end - 59001, 60}, {end - 59000, 59}, {end - 1000, 1},
                 {end - 1, 1},      {end, 0},          {end + 5, 0}};
    for (const Case& c : cases) EXPECT_EQ(pauseSecondsRemaining(end, c.now), c.seconds) << end - c.now;
    EXPECT_EQ(pauseSecondsRemaining(0, 0), 0);
}

TEST(PauseOverlay, BoxCountsDownAtTheBottomRightAndGoes) {
    OverlayScreen screen(1920, 1080);
    PauseOverlayState state;
    const std::uint64_t start = 5000;
    state.pauseEnd = start + touchPauseMs;

    struct Step {
        std::uint64_t now;
        const char* text;  // null: nothing drawn
    } steps[] = {
        {start, "Playback paused - 60 seconds remaining"},
        {start + 59000, "Playback paused - 1 seconds remaining"},
        {start + 59999, "Playback paused - 1 seconds remaining"},
        {start + 60000, nullptr},
    };
    for (const Step& s : steps) {
        screen.clear();
        drawPauseOverlay(state, screen.renderer(), 1920, 1080, s.now);
        const Frame f = screen.capture();
        if (s.text == nullptr) {
            EXPECT_EQ(countIn(f, {0, 0, 1920, 1080}, kBackdrop), 1920 * 1080) << "gone at the pause end";
            continue;
        }
        EXPECT_EQ(state.text.text(), s.text);
        const SDL_Point size = textSize(boxFont, 25, s.text);
        EXPECT_EQ(state.text.width(), size.x);
        const OverlayBoxLayout l = overlayBoxLayout(size.x, size.y, 1920, 1080);
        EXPECT_EQ(countIn(f, l.bar, kOrange), 6 * l.box.h) << s.text;
        EXPECT_EQ(f.at(l.box.x + l.box.w - 1, l.box.y), kGrey);
        EXPECT_EQ(f.at(l.box.x + 7, l.box.y + l.box.h - 1), kGrey);
        EXPECT_EQ(f.at(l.box.x - 1, l.box.y + 5), kBackdrop);
        EXPECT_EQ(f.at(l.box.x + 7, l.box.y - 1), kBackdrop);
        EXPECT_GT(countIn(f, l.text, kWhite, 8), 100) << "the words";
        EXPECT_EQ(countIn(f, {0, 0, 1920, l.box.y}, kBackdrop), 1920 * l.box.y) << "nothing else";
    }
}

TEST(PauseOverlay, MissingFontsLeaveItOutUntilOneOpens) {
    OverlayScreen screen(640, 360);
    PauseOverlayState state;
    state.pauseEnd = 100000;
    state.text.setFonts({"/nonexistent/Lato-Regular.ttf", "", "/nonexistent/DejaVuSans.ttf"});
    for (int i = 0; i < 2; ++i) {
        screen.clear();
        drawPauseOverlay(state, screen.renderer(), 640, 360, 1000);
        EXPECT_EQ(countIn(screen.capture(), {0, 0, 640, 360}, kBackdrop), 640 * 360);
        EXPECT_FALSE(state.text.hasFont());
    }
    state.text.setFonts(overlayBoxFonts("/nonexistent"));  // the source tree's copy
    drawPauseOverlay(state, screen.renderer(), 640, 360, 1000);
    EXPECT_TRUE(state.text.hasFont());
    EXPECT_GT(countIn(screen.capture(), {0, 0, 640, 360}, kOrange), 0);
}

// ---------------------------------------------------------------------------------------------
// Download banner

class DownloadBannerTest : public ::testing::Test {
protected:
    DownloadBannerTest() : screen_(1920, 1080), state_(clock_) { clock_.advance(1000); }

    // Runs the reveal until the banner is fully shown (phase B at `b`).
    void reveal(const std::string& name, double b = 1.0) {
        state_.reveal.update(name);
        clock_.advance(750);
        state_.reveal.update(name);
        clock_.advance(static_cast<std::int64_t>(std::lround(400 * b)));
        state_.reveal.update(name);
        ASSERT_NEAR(state_.reveal.phaseB(), b, 1e-9);
    }

    std::vector<CopyRecorder::Copy> draw(const std::string& name, int rotation = 0) {
        CopyRecorder recorder;
        drawDownloadScreen(state_, screen_.renderer(), name, rotation, recorder);
        return recorder.copies;
    }

    OverlayScreen screen_;
    ManualClock clock_;
    DownloadScreenState state_;
};

TEST_F(DownloadBannerTest, LaidOutOnTheTurnedScreenAndDrawnTurned) {
    const std::string name = "News";  // narrow enough to keep its size on the turned screen
    reveal(name);
    struct Case {
        int rotation;
        int layoutWidth;
        double angle;
    } cases[] = {{0, 1920, 0}, {-90, 1080, -270}, {-180, 1920, -180}, {-270, 1080, -90}};
    for (const Case& c : cases) {
        const auto copies = draw(name, c.rotation);
        ASSERT_EQ(copies.size(), 3u) << c.rotation;
        EXPECT_EQ(state_.cachedFontSize, 96);
        const SDL_Point prefix = textSize(boldFont, 96, "Downloading: ");
        const SDL_Point named = textSize(boldFont, 96, name);
        EXPECT_EQ(state_.prefixSize.x, prefix.x);
        EXPECT_EQ(state_.nameSize.x, named.x);
        const int w = state_.outlineSize.x, h = state_.outlineSize.y;
        // In the layout: outline centred at y = 8, the words inset by the outline's 4 pixels.
        const double x = (c.layoutWidth - w) / 2;
        const double layout[3][4] = {{x, 8, double(w), double(h)},
                                     {x + 4, 12, double(prefix.x), double(state_.prefixSize.y)},
                                     {x + 4 + prefix.x, 12, double(named.x), double(state_.nameSize.y)}};
        for (int i = 0; i < 3; ++i) {
            // Where that layout box lands on the screen: its centre turned with the screen.
            double cx = layout[i][0] + layout[i][2] / 2, cy = layout[i][1] + layout[i][3] / 2;
            const int turn = ((c.rotation % 360) + 360) % 360;
            if (turn == 90) std::swap(cx, cy), cy = 1080 - cy;
            if (turn == 180) cx = 1920 - cx, cy = 1080 - cy;
            if (turn == 270) std::swap(cx, cy), cx = 1920 - cx;
            expectRect(copies[i].destination, cx - layout[i][2] / 2, cy - layout[i][3] / 2, layout[i][2],
                       layout[i][3], "rotation " + std::to_string(c.rotation) + " picture " + std::to_string(i));
            EXPECT_DOUBLE_EQ(copies[i].angle, c.angle);
            EXPECT_EQ(copies[i].alpha, 255);
        }
    }
    EXPECT_EQ(state_.cachedName, name);
}

TEST_F(DownloadBannerTest, AWideNameShrinksTheWholeBanner) {
    const std::string name(60, 'W');
    reveal(name);
    const auto copies = draw(name);
    ASSERT_EQ(copies.size(), 3u);
    // The name is never cut: its picture is the whole name.
    EXPECT_EQ(state_.nameSize.x, textSize(boldFont, 96, name).x);
    const double s = 1880.0 / state_.outlineSize.x;
    ASSERT_LT(s, 1.0);
    const auto scaled = [&](int size) { return std::max(1, static_cast<int>(size * s)); };
    const int w = scaled(state_.outlineSize.x);
    const int inset = std::max(1, static_cast<int>(4 * s));
    const int x = (1920 - w) / 2;
    expectRect(copies[0].destination, x, 8, w, scaled(state_.outlineSize.y), "outline");
    expectRect(copies[1].destination, x + inset, 8 + inset, scaled(state_.prefixSize.x),
               scaled(state_.prefixSize.y), "prefix");
    expectRect(copies[2].destination, x + inset + scaled(state_.prefixSize.x), 8 + inset,
               scaled(state_.nameSize.x), scaled(state_.nameSize.y), "name");
    EXPECT_LE(copies[2].destination.x + copies[2].destination.w, 1900.0f);
}

TEST_F(DownloadBannerTest, FadesInAndTheLastNameFadesOut) {
    EXPECT_TRUE(draw("").empty()) << "nothing requested, nothing shown";
    reveal("Evening", 0.5);
    auto copies = draw("Evening");
    ASSERT_EQ(copies.size(), 3u);
    for (const auto& copy : copies) EXPECT_EQ(copy.alpha, 128) << "lround(255 * 0.25 * 2)";
    for (SDL_Texture* t : {state_.outlineTexture.get(), state_.prefixTexture.get(), state_.nameTexture.get()}) {
        Uint8 alpha = 0;
        SDL_GetTextureAlphaMod(t, &alpha);
        EXPECT_EQ(alpha, 255) << "set back after drawing";
    }

    // The playlist arrived: the name is gone, the same pictures fade out, then nothing.
    clock_.advance(200);
    state_.reveal.update("Evening");
    state_.reveal.update("");
    clock_.advance(300);
    state_.reveal.update("");
    copies = draw("");
    ASSERT_EQ(copies.size(), 3u);
    EXPECT_EQ(copies[0].texture, state_.outlineTexture.get());
    EXPECT_LT(copies[0].alpha, 128);
    clock_.advance(5000);
    state_.reveal.update("");
    clock_.advance(5000);
    state_.reveal.update("");
    EXPECT_TRUE(draw("").empty());
}

TEST_F(DownloadBannerTest, PixelsOfTheBanner) {
    reveal("Menu");
    screen_.clear();
    drawDownloadScreen(state_, screen_.renderer(), "Menu", 0);
    const Frame f = screen_.capture();
    const int h = state_.outlineSize.y;
    EXPECT_EQ(countIn(f, {0, 0, 1920, 8}, kBackdrop), 1920 * 8) << "the banner starts at y = 8";
    EXPECT_EQ(countIn(f, {0, 8 + h, 1920, 1080 - 8 - h}, kBackdrop), 1920 * (1080 - 8 - h));
    const SDL_Rect band{(1920 - state_.outlineSize.x) / 2, 8, state_.outlineSize.x, h};
    EXPECT_GT(countIn(f, band, kOrange, 10), 300) << "the name";
    EXPECT_GT(countIn(f, band, kWhite, 10), 300) << "the prefix";
    EXPECT_GT(countIn(f, band, kBlack, 10), 300) << "the outline";
}

TEST_F(DownloadBannerTest, MissingFontIsRetriedAndAHugeNameIsTriedOnce) {
    reveal("Shop");
    state_.fontsDirectory = "/nonexistent";
    EXPECT_TRUE(draw("Shop").empty());
    EXPECT_TRUE(draw("Shop").empty());
    state_.fontsDirectory = "assets/fonts";
    EXPECT_EQ(draw("Shop").size(), 3u) << "the next frame tries again";

    // A name of a megabyte cannot be shown: the banner is left out, and the name is not tried
    // again (with the fonts gone a second attempt would forget the name).
    const std::string huge(1'000'000, 'x');
    EXPECT_TRUE(draw(huge).empty());
    EXPECT_EQ(state_.cachedName, huge);
    EXPECT_FALSE(state_.outlineTexture);
    state_.fontsDirectory = "/nonexistent";
    EXPECT_TRUE(draw(huge).empty());
    EXPECT_EQ(state_.cachedName, huge);
}

// ---------------------------------------------------------------------------------------------
// Pairing panel and screen

TEST(PairingStatusUpdate, ProgressStaysAndAFinalTextGoesAfterFiveSeconds) {
    PairingScreenState state;
    struct Step {
        PairingStatus status;
        bool running;
        std::uint64_t now;
        bool changed, help, shown;
        const char* text;
    } steps[] = {
        {{"", 0, false}, false, 1000, false, false, false, ""},
        {{"Bluetooth: searching for hand controller...", 1, true}, true, 1000, true, true, true,
         "Bluetooth: searching for hand controller..."},
        {{"Bluetooth: searching for hand controller...", 1, true}, true, 90000, false, true, true,
         "Bluetooth: searching for hand controller..."},  // progress stays
        {{"Paired", 2, false}, false, 100000, true, false, true, "Paired"},  // help gone at once
        {{"Paired", 2, false}, false, 104999, false, false, true, "Paired"},
        {{"Paired", 2, false}, false, 105000, true, false, false, "Paired"},
        {{"Paired", 2, false}, false, 200000, false, false, false, "Paired"},
        {{"", 3, false}, false, 200000, true, false, false, ""},  // an empty text is not shown
    };
    for (const Step& s : steps) {
        EXPECT_EQ(updatePairingStatus(state, s.status, s.running, s.now), s.changed) << s.now;
        EXPECT_EQ(state.showHelp, s.help) << s.now;
        EXPECT_EQ(state.showStatus, s.shown) << s.now;
        EXPECT_EQ(state.statusText, s.text) << s.now;
    }
}

TEST(PairingPanel, HelpPictureTurnsWithTheScreenAndFitsWhole) {
    OverlayScreen screen(1920, 1080);
    PairingScreenState state;
    state.showHelp = true;
    const double picture = std::min(1920.0 / 1672, 1080.0 / 941);  // unturned fit
    const double turned = std::min(1080.0 / 1672, 1920.0 / 941);   // quarter-turn fit
    struct Case {
        int rotation;
        double angle, scale;
    } cases[] = {{0, 0, picture}, {-90, -270, turned}, {-180, -180, picture}, {-270, -90, turned}, {90, -90, turned}};
    for (const Case& c : cases) {
        CopyRecorder recorder;
        drawPairingScreen(state, screen.renderer(), 1920, 1080, c.rotation, recorder);
        ASSERT_EQ(recorder.copies.size(), 1u);
        const double w = 1672 * c.scale, h = 941 * c.scale;
        expectRect(recorder.copies[0].destination, (1920 - w) / 2, (1080 - h) / 2, w, h,
                   "rotation " + std::to_string(c.rotation));
        EXPECT_DOUBLE_EQ(recorder.copies[0].angle, c.angle);
    }

    // On a screen turned by -90 the picture stands upright in a 1080-wide column: the sides
    // stay black, nothing is cut off.
    screen.clear();
    drawPairingScreen(state, screen.renderer(), 1920, 1080, -90);
    const Frame f = screen.capture();
    const int column = static_cast<int>(941 * turned);
    const int left = (1920 - column) / 2;
    EXPECT_EQ(countIn(f, {0, 0, left - 1, 1080}, kBlack), (left - 1) * 1080);
    EXPECT_EQ(countIn(f, {left + column + 1, 0, 1920 - left - column - 1, 1080}, kBlack),
              (1920 - left - column - 1) * 1080);
    EXPECT_GT(countIn(f, {left, 0, column, 1080}, kWhite, 30), 5000);
    EXPECT_GT(countIn(f, {left, 0, column, 1080}, kOrange, 30), 1000);
}

TEST(PairingPanel, StatusBoxStaysUnturnedAndWorksWithoutThePicture) {
    OverlayScreen screen(1920, 1080);
    PairingScreenState state;
    const unsigned char notAPicture[] = {0x89, 'P', 'N', 'G', 1, 2, 3};
    state.helpPicture = notAPicture;
    updatePairingStatus(state, {"Bluetooth: searching for hand controller...", 1, true}, true, 0);

    for (int rotation : {0, -90}) {
        ::testing::internal::CaptureStderr();
        screen.clear();
        drawPairingScreen(state, screen.renderer(), 1920, 1080, rotation);
        const std::string err = ::testing::internal::GetCapturedStderr();
        if (rotation == 0) {
            EXPECT_NE(err.find("Could not load pairing help: "), std::string::npos) << err;
        } else {
            EXPECT_EQ(err, "") << "logged once, not tried again";
        }
        const Frame f = screen.capture();
        const SDL_Point size = textSize(boxFont, 25, state.statusText);
        const OverlayBoxLayout l = overlayBoxLayout(size.x, size.y, 1920, 1080);
        EXPECT_EQ(countIn(f, l.bar, kOrange), 6 * l.box.h) << rotation;
        EXPECT_EQ(f.at(l.box.x + l.box.w - 1, l.box.y), kGrey) << rotation;
        EXPECT_EQ(countIn(f, {0, 0, 1920, l.box.y}, kBackdrop), 1920 * l.box.y) << rotation;
    }
}

class FakePairing : public RemotePairing {
public:
    bool start() override { return true; }
    PairingStatus status() const override {
        ++looks;
        return looks <= passes ? PairingStatus{"Searching", 1, true} : PairingStatus{"Paired", 2, false};
    }
    bool running() const override { return looks <= passes; }

    int passes = 3;
    mutable int looks = 0;
};

class PairingScreenTest : public ::testing::Test {
protected:
    PairingScreenTest() : screen_(640, 360) {
        SDL_FlushEvents(SDL_EVENT_FIRST, SDL_EVENT_LAST);
        clock_.setAutoAdvance(true);
        playerRunning = true;
    }
    ~PairingScreenTest() override {
        playerRunning = true;
        SDL_FlushEvents(SDL_EVENT_FIRST, SDL_EVENT_LAST);
    }

    static void push(SDL_EventType type, SDL_Keycode key = 0, SDL_Keymod mod = 0) {
        SDL_Event event;
        SDL_zero(event);
        event.type = type;
        event.key.key = key;
        event.key.mod = mod;
        event.key.down = type == SDL_EVENT_KEY_DOWN;
        ASSERT_TRUE(SDL_PushEvent(&event)) << SDL_GetError();
    }

    OverlayScreen screen_;
    ManualClock clock_;
    PairingScreenState state_;
    FakePairing pairing_;
    EventPump events_{playerRunning, std::cout, {}, {}, {playlistReadyEvent, standbyChangedEvent}};
};

TEST_F(PairingScreenTest, RunsUntilThePairingEndsAndKeepsItsLastWord) {
    push(SDL_EVENT_KEY_DOWN, SDLK_ESCAPE);  // Escape alone is dropped
    push(SDL_EVENT_KEY_DOWN, SDLK_RIGHT);
    push(SDL_EVENT_FINGER_DOWN);
    int frames = 0;
    std::vector<Frame> seen;
    const std::int64_t t0 = clock_.steadyMs();
    const auto end = runPairingScreen(state_, pairing_, *screen_.display(), events_, clock_, [&] {
        ++frames;
        seen.push_back(screen_.capture());
    });
    EXPECT_EQ(end, PairingScreenEnd::pairingOver);
    EXPECT_EQ(frames, 4) << "three passes while it runs, the pass that sees it end";
    EXPECT_EQ(clock_.steadyMs() - t0, 4 * 16);
    EXPECT_TRUE(playerRunning);
    SDL_Event left;
    EXPECT_FALSE(SDL_PollEvent(&left)) << "every event was taken";
    // The first frame: the picture over black with the progress box; the last one: the final word alone.
    EXPECT_GT(countIn(seen.front(), {0, 0, 640, 300}, kWhite, 30), 500);
    EXPECT_GT(countIn(seen.front(), {0, 300, 640, 60}, kOrange), 0);
    EXPECT_EQ(countIn(seen.back(), {0, 0, 640, 300}, kWhite, 30), 0);
    EXPECT_GT(countIn(seen.back(), {0, 300, 640, 60}, kOrange), 0);
    EXPECT_EQ(state_.statusText, "Paired");

    // Over the slides afterwards the final word stays 5 seconds.
    const std::uint64_t now = clock_.ticksMs();
    const PairingStatus last = pairing_.status();
    EXPECT_FALSE(updatePairingStatus(state_, last, pairing_.running(), now + 4900));
    EXPECT_TRUE(state_.showStatus);
    EXPECT_TRUE(updatePairingStatus(state_, last, pairing_.running(), now + 5000));
    EXPECT_FALSE(state_.showStatus);
}

TEST_F(PairingScreenTest, APlaylistOrStandbyWakeUpTakenMeanwhileIsQueuedAgain) {
    // The slide goes on after the screen: a playlist that became ready, or a television that
    // went to sleep, while the screen ran must still reach the loop.
    for (std::uint32_t type : {playlistReadyEvent, playlistReadyEvent, groupChangedEvent, standbyChangedEvent}) {
        push(static_cast<SDL_EventType>(type), SDLK_RIGHT);
    }
    push(SDL_EVENT_KEY_DOWN, SDLK_RIGHT);
    EXPECT_EQ(runPairingScreen(state_, pairing_, *screen_.display(), events_, clock_), PairingScreenEnd::pairingOver);
    std::vector<std::uint32_t> left;
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
        left.push_back(event.type);
        if (event.type >= SDL_EVENT_USER) {
            EXPECT_EQ(event.user.code, 0) << "zero-filled";
        }
    }
    EXPECT_EQ(left, (std::vector<std::uint32_t>{playlistReadyEvent, standbyChangedEvent}))
        << "each once; the key and the group wake-up are gone";

    // Nothing of the kind taken: nothing queued.
    pairing_.looks = 0;
    push(SDL_EVENT_KEY_DOWN, SDLK_LEFT);
    runPairingScreen(state_, pairing_, *screen_.display(), events_, clock_);
    EXPECT_FALSE(SDL_PollEvent(&event));
}

TEST_F(PairingScreenTest, QuitDisplayRemovalAndCtrlEscapeStopThePlayer) {
    struct Case {
        SDL_EventType type;
        SDL_Keycode key;
        SDL_Keymod mod;
    } cases[] = {{SDL_EVENT_QUIT, 0, 0},
                 {SDL_EVENT_DISPLAY_REMOVED, 0, 0},
                 {SDL_EVENT_KEY_DOWN, SDLK_ESCAPE, SDL_KMOD_LCTRL},
                 {SDL_EVENT_KEY_DOWN, SDLK_ESCAPE, SDL_KMOD_RCTRL}};
    for (const Case& c : cases) {
        playerRunning = true;
        pairing_.looks = 0;
        pairing_.passes = 1000;
        push(c.type, c.key, c.mod);
        EXPECT_EQ(runPairingScreen(state_, pairing_, *screen_.display(), events_, clock_), PairingScreenEnd::quit)
            << c.type;
        EXPECT_FALSE(playerRunning);
        EXPECT_EQ(pairing_.looks, 1) << "ends after the pass that took the event";
    }

    // Stopped from elsewhere: no pass beyond the one under way.
    playerRunning = false;
    pairing_.looks = 0;
    EXPECT_EQ(runPairingScreen(state_, pairing_, *screen_.display(), events_, clock_), PairingScreenEnd::stopped);
    EXPECT_EQ(pairing_.looks, 1);
}

}  // namespace
}  // namespace lumetta::screens
