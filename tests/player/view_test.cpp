// The player loop as a whole: start-up in its order, slides drawn and followed by their
// durations, the loop's error containment, the watchdog it arms, and its stop. Each run plays a
// stored playlist on a 320x180 offscreen display on a manual clock; frames are read back.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <thread>

#include "core/process_state.h"
#include "player/player_loop.h"
#include "support/line_capture.h"
#include "view_test_support.h"

namespace lumetta::player {
namespace {

using namespace lumetta::testing;

struct IndexedFrame {
    std::int64_t systemMs;
    int index;
    Colour centre;
};

class View : public ::testing::Test {
protected:
    View() {
        h.seams.out = &out;
        h.seams.errors = &errors;
        h.onFrame = [this](Display&) {
            indexed.push_back({h.frames.back().systemMs, currentSlideIndex.load(), h.frames.back().centre});
            if (onFrame) onFrame();
        };
    }

    // The time of the first frame that shows slide `index` after `from` frames.
    std::optional<std::int64_t> firstFrameOf(int index, std::size_t from = 0) const {
        for (std::size_t i = from; i < indexed.size(); ++i) {
            if (indexed[i].index == index) return indexed[i].systemMs;
        }
        return std::nullopt;
    }

    ViewHarness h;
    LineCapture out;
    LineCapture errors;
    std::vector<IndexedFrame> indexed;
    std::function<void()> onFrame;
};

TEST_F(View, PlaysTheStoredPlaylistSlideBySlideAndRecordsIt) {
    h.storePlaylist(playlistDocument("Shapes", {shapeSlide("a", "rectangle", "#FF0000", 1),
                                                shapeSlide("b", "ellipse", "#00FF00", 2, 80, 20, 160, 140)}));
    // Three slide changes, then stop.
    int changes = 0;
    onFrame = [&] {
        if (indexed.size() > 1 && indexed[indexed.size() - 2].index != indexed.back().index) ++changes;
        if (changes == 3) ViewHarness::pushQuit();
    };
    EXPECT_EQ(h.run(), 0);
    EXPECT_FALSE(h.running.load());

    ASSERT_FALSE(indexed.empty());
    const std::int64_t start = indexed.front().systemMs;
    // Faded in from black over 450 ms, then the slide's own picture.
    EXPECT_EQ(indexed.front().centre, kBlack);
    std::optional<Colour> settled;
    for (const auto& frame : indexed) {
        if (frame.index == 0 && frame.systemMs >= start + 450) {
            settled = frame.centre;
            break;
        }
    }
    ASSERT_TRUE(settled.has_value());
    EXPECT_EQ(*settled, kRed);

    // The second slide follows after one second, the first again two seconds later, by the
    // slide clock: a still slide waits for events no longer than until its end.
    const auto second = firstFrameOf(1);
    ASSERT_TRUE(second.has_value());
    EXPECT_GE(*second - start, 1000);
    EXPECT_LE(*second - start, 1000 + 16);
    std::size_t secondAt = 0;
    while (indexed[secondAt].index != 1) ++secondAt;
    EXPECT_TRUE(near(indexed[secondAt].centre, kGreen)) << indexed[secondAt].centre;
    const auto again = firstFrameOf(0, secondAt);
    ASSERT_TRUE(again.has_value());
    EXPECT_GE(*again - *second, 2000);
    EXPECT_LE(*again - *second, 2000 + 16);

    // A still slide is drawn once it stops changing and then only waits: the first slide showed
    // its fade and one more frame, not a frame every cycle.
    EXPECT_LE(secondAt, 450 / 16 + 4u);
    for (const int wait : h.waits) EXPECT_LE(wait, 50);

    EXPECT_NE(h.playedFile().find("\tacme\tmain\tShapes\n"), std::string::npos) << h.playedFile();
    EXPECT_TRUE(errors.lines().empty()) << errors.lines().front();
    // Without the watchdog option the device is never opened.
    EXPECT_TRUE(h.watchdogIo.calls().empty());
}

TEST_F(View, APlaylistReadyEventQueuedBeforeTheFirstSlideIsDiscarded) {
    h.storePlaylist(playlistDocument("Shapes", {shapeSlide("a", "rectangle", "#FF0000", 1),
                                                shapeSlide("b", "rectangle", "#0000FF", 1)}));
    pushPlayerEvent(playlistReadyEvent);
    onFrame = [&] {
        if (indexed.back().index == 1) ViewHarness::pushQuit();
    };
    EXPECT_EQ(h.run(), 0);
    // Had the event reached the loop, the first slide would have ended at its first frame.
    const auto second = firstFrameOf(1);
    ASSERT_TRUE(second.has_value());
    EXPECT_GE(*second - indexed.front().systemMs, 1000);
}

TEST_F(View, AQuitDuringTheSplashEndsTheRunBeforeAnythingElseStarts) {
    h.storePlaylist(playlistDocument("Shapes", {shapeSlide("a", "rectangle", "#FF0000", 1)}));
    bool listened = false;
    h.seams.cecListener = [&](std::stop_token, const CecKeyHandler&, const CecPowerHandler&) { listened = true; };
    h.seams.splash = [this](const SplashRequest& request) {
        // The splash sees a quit: the whole player stops.
        request.running->store(false);
        return std::unique_ptr<StartupScreen>();
    };
    EXPECT_EQ(h.run(/*watchdog=*/true), 0);
    EXPECT_TRUE(h.watchdogIo.calls().empty());
    EXPECT_FALSE(listened);
    EXPECT_TRUE(h.frames.empty());
    EXPECT_TRUE(errors.lines().empty());
}

TEST_F(View, TheSplashIsShownWithTheStartUpFactsAndFadedOutBeforeTheFirstSlide) {
    h.storePlaylist(playlistDocument("Shapes", {shapeSlide("a", "rectangle", "#FF0000", 1)}));
    struct Screen : StartupScreen {
        std::vector<int>* fades;
        explicit Screen(std::vector<int>* f) : fades(f) {}
        void fadeFrame(int milliseconds) override { fades->push_back(milliseconds); }
    };
    std::vector<int> fades;
    bool readyWhenDone = false;
    h.seams.splash = [&](const SplashRequest& request) {
        EXPECT_EQ(request.dataDirectory, h.base.str());
        EXPECT_EQ(request.display, h.display.get());
        EXPECT_EQ(request.deviceId, "DEVICE1");
        // Modal: it returns once the first playlist is there.
        while (!request.initialPlaylistReady->load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        readyWhenDone = true;
        return std::unique_ptr<StartupScreen>(std::make_unique<Screen>(&fades));
    };
    onFrame = [&] {
        // The splash has faded by the time the first slide frame is presented.
        EXPECT_EQ(fades, std::vector<int>{2000});
        ViewHarness::pushQuit();
    };
    EXPECT_EQ(h.run(), 0);
    EXPECT_TRUE(readyWhenDone);
    EXPECT_EQ(fades, std::vector<int>{2000});
}

// A playlist sent while the splash showed is still downloading its medium (nobody takes it off
// the queue here): the stored playlist's first slide shows meanwhile.
TEST_F(View, TheFirstSlideDoesNotWaitForAnotherPlaylistsDownloads) {
    h.storePlaylist(playlistDocument("Shapes", {shapeSlide("a", "rectangle", "#FF0000", 1)}));
    DownloadTask slow;
    slow.url = "http://127.0.0.1:9/slow.mp4";
    slow.targetPath = (h.base / "slow.mp4").string();
    slow.groupId = h.queue.createGroup();
    ASSERT_TRUE(h.queue.push(slow));
    // Had start-up waited for that download, nothing would ever show: after five seconds the
    // test gives up with a quit, which ends the wait.
    std::atomic<bool> ended{false};
    std::atomic<bool> gaveUp{false};
    std::optional<bool> shownBeforeGivingUp;
    onFrame = [&] {
        if (!shownBeforeGivingUp) shownBeforeGivingUp = !gaveUp.load();
        ViewHarness::pushQuit();
    };
    std::jthread guard([&] {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!ended && std::chrono::steady_clock::now() < limit) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (ended) return;
        gaveUp = true;
        ViewHarness::pushQuit();
    });
    EXPECT_EQ(h.run(), 0);
    ended = true;
    EXPECT_EQ(shownBeforeGivingUp, std::optional<bool>(true)) << "nothing was shown while the other download ran";
    EXPECT_EQ(h.queue.pendingTotal(), 1u);
}

TEST_F(View, AFailedPassIsLoggedAndTheSameSlideIsSetUpAgain) {
    h.storePlaylist(playlistDocument("Shapes", {shapeSlide("a", "rectangle", "#FF0000", 1),
                                                shapeSlide("b", "rectangle", "#0000FF", 1)}));
    int frames = 0;
    onFrame = [&] {
        ++frames;
        if (frames == 1) throw std::runtime_error("drawing went wrong");
        if (frames == 2) ViewHarness::pushQuit();
    };
    EXPECT_EQ(h.run(), 0);
    EXPECT_EQ(errors.lines(), std::vector<std::string>{"Loop Exception: drawing went wrong"});
    ASSERT_GE(indexed.size(), 2u);
    EXPECT_EQ(indexed[1].index, 0);
    // The failed pass waited up to a second for events before the next one.
    EXPECT_NE(std::find(h.waits.begin(), h.waits.end(), 1000), h.waits.end());
}

TEST_F(View, ASlideThatFailsTwiceRunningGivesWayToTheNext) {
    h.storePlaylist(playlistDocument("Shapes", {shapeSlide("a", "rectangle", "#FF0000", 1),
                                                shapeSlide("b", "rectangle", "#0000FF", 1)}));
    onFrame = [&] {
        if (indexed.back().index == 0) throw std::runtime_error("slide a is broken");
        ViewHarness::pushQuit();
    };
    EXPECT_EQ(h.run(), 0);
    EXPECT_EQ(errors.count("Loop Exception: slide a is broken"), 2);
    ASSERT_GE(indexed.size(), 3u);
    EXPECT_EQ(indexed[0].index, 0);
    EXPECT_EQ(indexed[1].index, 0);
    EXPECT_EQ(indexed[2].index, 1);
    // Every failed pass waited before the next: no busy loop.
    EXPECT_EQ(std::count(h.waits.begin(), h.waits.end(), 1000), 2);
}

TEST_F(View, ALayerThatCannotBeBuiltIsLeftOutAndTheSlidePlays) {
    Json::Value slide = shapeSlide("a", "rectangle", "#FF0000", 1);
    Json::Value text;
    text["x"] = 0;
    text["y"] = 0;
    text["width"] = 10;
    text["height"] = 10;
    text["text"]["content"] = std::string(1 << 20, 'x');
    text["text"]["font-size"] = 20;
    slide["layers"].append(text);
    h.storePlaylist(playlistDocument("Shapes", {slide}));
    onFrame = [&] {
        if (h.clock.systemMs() - indexed.front().systemMs > 600) ViewHarness::pushQuit();
    };
    EXPECT_EQ(h.run(), 0);
    EXPECT_EQ(indexed.back().centre, kRed);
    for (const auto& line : errors.lines()) EXPECT_EQ(line.find("Loop Exception"), std::string::npos) << line;
}

TEST_F(View, TheCecListenerRunsFromStartUpUntilTheStopAndTheStandbyMarkerIsCleared) {
    h.storePlaylist(playlistDocument("Shapes", {shapeSlide("a", "rectangle", "#FF0000", 1)}));
    writeTestFile(h.seams.standbyFile, "standby\n");
    std::atomic<bool> listening{false};
    std::atomic<bool> stopped{false};
    h.seams.cecListener = [&](std::stop_token stop, const CecKeyHandler&, const CecPowerHandler&) {
        listening = true;
        while (!stop.stop_requested()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        stopped = true;
    };
    onFrame = [&] {
        if (indexed.size() > 1) return;
        EXPECT_FALSE(std::filesystem::exists(h.seams.standbyFile));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!listening && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
        EXPECT_TRUE(listening.load());
        EXPECT_FALSE(stopped.load());
        // A marker written while playing is gone after the stop too.
        writeTestFile(h.seams.standbyFile, "standby\n");
        ViewHarness::pushQuit();
    };
    EXPECT_EQ(h.run(), 0);
    EXPECT_TRUE(stopped.load());
    EXPECT_FALSE(std::filesystem::exists(h.seams.standbyFile));
}

TEST_F(View, APlaylistWithoutSlidesShowsTheWaitingScreen) {
    h.storePlaylist(playlistDocument("0 Empty Playlist", {}));
    std::jthread service([this] {
        ASSERT_TRUE(out.waitFor("[PLAYLIST] Waiting for initial playlist download", 1));
        placePlaylistUpdate(PlaylistUpdate{playlistOf(h.queue, "Nothing", {}), PlaylistUpdateKind::normal, 0},
                            h.link);
    });
    onFrame = [&] {
        if (h.frames.size() == 3) ViewHarness::pushQuit();
    };
    EXPECT_EQ(h.run(), 0);
    EXPECT_GE(h.frames.size(), 3u);
    // One frame and one event per pass, waiting for the event while nothing moves.
    EXPECT_NE(std::find(h.waits.begin(), h.waits.end(), 50), h.waits.end());
    for (const auto& line : errors.lines()) EXPECT_EQ(line.find("Loop Exception"), std::string::npos) << line;
}

// Pixels of the accent orange (the banner's name) in the top rows of the presented frame.
int orangeAtTop(SDL_Renderer* renderer) {
    const SDL_Rect top{0, 0, 320, 50};
    SurfaceHandle read(SDL_RenderReadPixels(renderer, &top));
    if (!read) return -1;
    int count = 0;
    for (int y = 0; y < read->h; ++y) {
        for (int x = 0; x < read->w; ++x) {
            Uint8 r = 0, g = 0, b = 0, a = 0;
            SDL_ReadSurfacePixel(read.get(), x, y, &r, &g, &b, &a);
            count += (r > 230 && g > 100 && g < 155 && b < 30) ? 1 : 0;
        }
    }
    return count;
}

TEST_F(View, TheWaitingScreenShowsTheBannerOfAPlaylistBeingPreparedAndRestsUnderIt) {
    h.storePlaylist(playlistDocument("0 Empty Playlist", {}));
    {
        auto lock = lockWebSocketState();
        h.link.requestedPlaylistName = "Next";
    }
    std::jthread service([this] {
        ASSERT_TRUE(out.waitFor("[PLAYLIST] Waiting for initial playlist download", 1));
        placePlaylistUpdate(PlaylistUpdate{playlistOf(h.queue, "Nothing", {}), PlaylistUpdateKind::normal, 0},
                            h.link);
    });
    std::vector<std::pair<std::int64_t, int>> orange;  // ms since the first frame, orange pixels at the top
    h.onFrame = [&](Display& shown) {
        orange.emplace_back(h.frames.back().systemMs - h.frames.front().systemMs, orangeAtTop(shown.renderer()));
        if (orange.back().first >= 3000 || h.frames.size() > 1000) ViewHarness::pushQuit();
    };
    EXPECT_EQ(h.run(), 0);
    ASSERT_FALSE(orange.empty());
    EXPECT_EQ(orange.front().second, 0) << "hidden at first";
    // Shown after the reveal's 750 ms and 400 ms; then at rest, so the screen waits for events
    // between its frames (50 ms each) instead of drawing as fast as it can.
    int shownFrames = 0, restingFrames = 0;
    for (const auto& [ms, pixels] : orange) {
        if (ms >= 1200) shownFrames += pixels > 50 ? 1 : 0;
        if (ms >= 2000) ++restingFrames;
    }
    EXPECT_GT(shownFrames, 0);
    EXPECT_LE(restingFrames, 1000 / (50 + 16) + 1);
    for (const auto& line : errors.lines()) EXPECT_EQ(line.find("Loop Exception"), std::string::npos) << line;
}

// Without the scene engine a scene slide plays its own layers and says once per showing that
// its scene is left out; the frames are not held back by it.
TEST_F(View, ASceneSlidePlaysWithoutItsSceneAndSaysSoOncePerShowing) {
    h.storePlaylist(playlistDocument("0 Empty Playlist", {}));
    Slide slide = slideOf({rectangleLayer(0, 0, 320, 180, kBlue)});
    slide.sceneSource["scene"]["kind"] = "aquarium";
    std::jthread service([this, slide] {
        ASSERT_TRUE(out.waitFor("[PLAYLIST] Waiting for initial playlist download", 1));
        placePlaylistUpdate(PlaylistUpdate{playlistOf(h.queue, "Scenes", {slide}), PlaylistUpdateKind::normal, 0},
                            h.link);
    });
    onFrame = [&] {
        if (h.clock.systemMs() - indexed.front().systemMs > 600) ViewHarness::pushQuit();
    };
    EXPECT_EQ(h.run(), 0);
    ASSERT_FALSE(indexed.empty());
    EXPECT_TRUE(near(indexed.back().centre, kBlue)) << indexed.back().centre;
    EXPECT_EQ(errors.count("[SCENE] scenes are not available yet"), 1) << ::testing::PrintToString(errors.lines());
    for (const auto& line : errors.lines()) EXPECT_EQ(line.find("Loop Exception"), std::string::npos) << line;
}

// The watchdog is armed after the first playlist is there, fed by its guard, and switched off
// on the way out; without one the player plays on after one line.
TEST_F(View, TheWatchdogIsFedWhilePlayingAndSwitchedOffAtTheEnd) {
    h.storePlaylist(playlistDocument("Shapes", {shapeSlide("a", "rectangle", "#FF0000", 1)}));
    h.seams.watchdogClock = &systemClock();
    h.seams.watchdogIntervalMs = 10;
    onFrame = [&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (h.watchdogIo.count("keepalive") < 2 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        ViewHarness::pushQuit();
    };
    EXPECT_EQ(h.run(/*watchdog=*/true), 0);
    const auto calls = h.watchdogIo.calls();
    ASSERT_GE(calls.size(), 5u);
    EXPECT_EQ(calls.front(), "open");
    EXPECT_GE(h.watchdogIo.count("keepalive"), 2);
    // Nothing is fed after the switch-off.
    EXPECT_EQ(calls[calls.size() - 2], "disable");
    EXPECT_EQ(calls.back(), "close");
    EXPECT_TRUE(errors.lines().empty());
}

// Moves the watchdog's clock on by `ms` once its guard waits, and gives the guard the time to
// feed: true when it sent a keep-alive.
bool stepGuard(ManualClock& clock, const ScriptedWatchdogIo& io, std::int64_t ms) {
    EXPECT_TRUE(clock.waitForWaiters(1));
    const int before = io.count("keepalive");
    clock.advance(ms);
    const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (io.count("keepalive") == before && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return io.count("keepalive") > before;
}

// A loop stuck inside a cycle (a join or a page flip that never returns) is no longer fed once
// it has not turned for the watchdog's 15 s timeout, so the board resets; it is fed again once
// it turns, and still switched off on an orderly end.
TEST_F(View, TheWatchdogIsNotFedWhileTheLoopHangs) {
    h.storePlaylist(playlistDocument("Shapes", {shapeSlide("a", "rectangle", "#FF0000", 1)}));
    ManualClock watchdogClock;
    h.seams.watchdogClock = &watchdogClock;
    std::vector<bool> fed;
    onFrame = [&] {
        if (!fed.empty()) return;
        // Stuck for 40 s in this cycle, in steps of the 5 s feeding interval.
        for (int i = 0; i < 8; ++i) fed.push_back(stepGuard(watchdogClock, h.watchdogIo, 5'000));
        ViewHarness::pushQuit();
    };
    EXPECT_EQ(h.run(/*watchdog=*/true), 0);
    EXPECT_EQ(fed, (std::vector<bool>{true, true, true, false, false, false, false, false}));
    const auto calls = h.watchdogIo.calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 2], "disable");
    EXPECT_EQ(calls.back(), "close");
}

// An hour of standby, spent in the loop's waits for events, is fed throughout.
TEST_F(View, TheWatchdogIsFedThroughAnHourOfStandby) {
    h.storePlaylist(playlistDocument("Shapes", {shapeSlide("a", "rectangle", "#FF0000", 1)}));
    ManualClock watchdogClock;
    h.seams.watchdogClock = &watchdogClock;
    std::atomic<bool> standby{false};
    h.seams.input.standby = &standby;
    int standbyWaits = 0;
    int fed = 0;
    const auto wait = h.seams.waitEvent;
    h.seams.waitEvent = [&](SDL_Event& event, int timeoutMs) {
        if (standby.load() && timeoutMs == 250) {
            // Every 5 s of standby the guard is due.
            if (++standbyWaits % 20 == 0) {
                fed += stepGuard(watchdogClock, h.watchdogIo, 5'000) ? 1 : 0;
            }
            if (standbyWaits == 20 * 720) {
                standby = false;
                ViewHarness::pushQuit();
            }
        }
        return wait(event, timeoutMs);
    };
    onFrame = [&] {
        if (indexed.size() != 1) return;
        standby = true;
        pushPlayerEvent(standbyChangedEvent);
    };
    EXPECT_EQ(h.run(/*watchdog=*/true), 0);
    EXPECT_EQ(standbyWaits, 20 * 720);
    EXPECT_EQ(fed, 720);
}

TEST_F(View, AWatchdogThatCannotBeUsedLeavesOneLineAndPlaybackGoesOn) {
    struct Case {
        const char* what;
        bool openFails;
        int timeout;
        bool armed;
    };
    for (const Case& c : {Case{"no device", true, 15, false}, Case{"timeout 0", false, 0, false},
                          Case{"timeout -1", false, -1, false}, Case{"timeout INT_MAX", false, INT_MAX, true}}) {
        SCOPED_TRACE(c.what);
        ViewHarness run;
        LineCapture lines;
        run.seams.errors = &lines;
        run.watchdogIo.openFails = c.openFails;
        run.watchdogIo.timeoutAnswer = c.timeout;
        run.storePlaylist(playlistDocument("Shapes", {shapeSlide("a", "rectangle", "#FF0000", 1)}));
        run.onFrame = [](Display&) { ViewHarness::pushQuit(); };
        EXPECT_EQ(run.run(/*watchdog=*/true), 0);
        EXPECT_GE(run.frames.size(), 1u);
        EXPECT_EQ(lines.count("[WATCHDOG] Hardware watchdog requested but unavailable"), c.armed ? 0 : 1);
        EXPECT_EQ(run.watchdogIo.count("keepalive"), 0);
        // Whatever was opened is switched off again.
        EXPECT_EQ(run.watchdogIo.count("close"), run.watchdogIo.count("open") - (c.openFails ? 1 : 0));
    }
}

// Start-up without a playable stored playlist waits for the service's playlist; the splash
// stays meanwhile.
TEST_F(View, AnEmptyStoredPlaylistWaitsForTheServicesPlaylist) {
    Json::Value empty = playlistDocument("0 Empty Playlist", {});
    h.storePlaylist(empty);
    std::jthread service([this] {
        ASSERT_TRUE(out.waitFor("[PLAYLIST] Waiting for initial playlist download", 1));
        // The end of an emergency carries no playlist: the wait goes on.
        placePlaylistUpdate(PlaylistUpdate{nullptr, PlaylistUpdateKind::emergencyCleared, 0}, h.link);
        for (;;) {
            {
                auto lock = lockWebSocketState();
                if (!h.link.waitingEmergencyUpdate) break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        placePlaylistUpdate(
            PlaylistUpdate{playlistOf(h.queue, "Delivered", {slideOf({rectangleLayer(0, 0, 320, 180, kBlue)})}),
                           PlaylistUpdateKind::normal, 0},
            h.link);
    });
    // The delivered slide has no duration: it is drawn until the fade from black ends.
    onFrame = [&] {
        if (h.clock.systemMs() - indexed.front().systemMs > 400) ViewHarness::pushQuit();
    };
    EXPECT_EQ(h.run(), 0);
    EXPECT_TRUE(near(indexed.back().centre, kBlue)) << indexed.back().centre;
    EXPECT_NE(h.playedFile().find("\tacme\tmain\tDelivered\n"), std::string::npos) << h.playedFile();
}

// An emergency override that arrives while start-up waits plays from the first slide pass; the
// start-up playlist is what it gives way to.
TEST_F(View, AnOverrideThatArrivesDuringStartUpPlaysFromTheFirstPass) {
    h.storePlaylist(playlistDocument("0 Empty Playlist", {}));
    std::jthread service([this] {
        ASSERT_TRUE(out.waitFor("[PLAYLIST] Waiting for initial playlist download", 1));
        placePlaylistUpdate(
            PlaylistUpdate{playlistOf(h.queue, "Alert", {slideOf({rectangleLayer(0, 0, 320, 180, kRed)})}),
                           PlaylistUpdateKind::emergency, h.clock.systemMs() + 60'000},
            h.link);
    });
    onFrame = [&] {
        if (h.clock.systemMs() - indexed.front().systemMs > 400) ViewHarness::pushQuit();
    };
    EXPECT_EQ(h.run(), 0);
    ASSERT_FALSE(indexed.empty());
    EXPECT_TRUE(near(indexed.back().centre, kRed)) << indexed.back().centre;
    for (const auto& line : errors.lines()) EXPECT_EQ(line.find("Loop Exception"), std::string::npos) << line;
}

TEST_F(View, AStoredPlaylistThatCannotBeReadIsReportedAndTheServiceIsAwaited) {
    writeTestFile(h.base / "lumetta" / "acme" / "main" / "Broken" / "playlist.json", "{ not json");
    std::filesystem::create_symlink(h.base / "lumetta" / "acme" / "main" / "Broken" / "playlist.json",
                                    h.base / "lumetta" / "playing.json");
    std::jthread stopper([this] {
        ASSERT_TRUE(out.waitFor("[PLAYLIST] Waiting for initial playlist download", 1));
        h.running = false;
        wakePlaylistUpdateWaiters(h.link);
    });
    // Stopped while waiting: no failure, nothing played.
    EXPECT_EQ(h.run(), 0);
    // (The reader's own report may run over several lines.)
    ASSERT_GE(errors.lines().size(), 1u);
    EXPECT_EQ(errors.lines()[0].rfind("[PLAYLIST] Stored playlist failed: Invalid playlist JSON", 0), 0u)
        << errors.lines()[0];
    EXPECT_TRUE(h.frames.empty());
}

// The downloads that start-up queued finish before anything is drawn; a quit that arrives
// meanwhile is not held up by them.
TEST_F(View, TheWaitForIdleDownloadsEndsOnAQuit) {
    h.storePlaylist(playlistDocument("Shapes", {shapeSlide("a", "rectangle", "#FF0000", 1)}));
    DownloadTask task;
    task.url = "https://example.invalid/never";
    task.targetPath = (h.base / "never").string();
    ASSERT_TRUE(h.queue.push(task));
    ViewHarness::pushQuit();
    EXPECT_EQ(h.run(), 0);
    EXPECT_LE(h.frames.size(), 1u);
}

}  // namespace
}  // namespace lumetta::player
