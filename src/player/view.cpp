#include "player/view.h"

#include <algorithm>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "content/played_playlists.h"
#include "core/config_store.h"
#include "core/log.h"
#include "core/palette.h"
#include "core/process_state.h"
#include "device/command.h"
#include "display/display.h"
#include "display/screen_shift.h"
#include "link/outgoing_messages.h"
#include "link/player_events.h"
#include "player/device_report.h"
#include "player/image_motion.h"
#include "player/player_loop.h"
#include "player/slide_sequence.h"
#include "player/slide_targets.h"
#include "player/splash.h"
#include "player/transitions.h"

namespace lumetta::player {

std::atomic<bool> viewRunning{false};
std::atomic<int> currentSlideIndex{0};

namespace {

constexpr const char* emptyPlaylistName = "0 Empty Playlist";
constexpr SDL_Color opaqueBlack{0, 0, 0, 255};

ViewSeams withDefaults(ViewSeams seams) {
    if (!seams.waitEvent) seams.waitEvent = [](SDL_Event& event, int timeoutMs) {
        return SDL_WaitEventTimeout(&event, timeoutMs);
    };
    if (!seams.pollEvent) seams.pollEvent = [](SDL_Event& event) { return SDL_PollEvent(&event); };
    if (!seams.delay) seams.delay = [](int milliseconds) { SDL_Delay(static_cast<Uint32>(std::max(0, milliseconds))); };
    if (!seams.splash) seams.splash = showSplash;
    if (!seams.recordPlayed) seams.recordPlayed = recordPlayedPlaylist;
    if (seams.clock == nullptr) seams.clock = &systemClock();
    if (seams.watchdogClock == nullptr) seams.watchdogClock = &systemClock();
    if (seams.watchdogIo == nullptr) seams.watchdogIo = &systemWatchdogIo();
    if (seams.link == nullptr) seams.link = &serverLinkState;
    if (seams.queue == nullptr) seams.queue = &downloadQueue;
    if (seams.running == nullptr) seams.running = &playerRunning;
    if (seams.out == nullptr) seams.out = &std::cout;
    if (seams.errors == nullptr) seams.errors = &std::cerr;
    seams.load.running = seams.running;
    seams.load.queue = seams.queue;
    // The input side runs on the loop's own clock, wait, flag and streams.
    seams.input.clock = seams.clock;
    seams.input.waitEvent = seams.waitEvent;
    seams.input.running = seams.running;
    seams.input.out = seams.out;
    seams.input.errors = seams.errors;
    if (!seams.input.playlists) {
        seams.input.playlists = [link = seams.link] {
            std::vector<PlaylistChoice> choices;
            for (AvailablePlaylist& offered : availablePlaylists(*link)) {
                choices.push_back(PlaylistChoice{std::move(offered.name), std::move(offered.id)});
            }
            return choices;
        };
    }
    return seams;
}

// The loop's clock, stop flag and error stream; the group of the loop's own data directory and
// device identity unless the seams read it elsewhere.
GroupSyncOptions groupSyncOptions(const ViewSeams& seams, const std::string& dataDirectory, const std::string& deviceId) {
    GroupSyncOptions options = seams.groupSync;
    options.clock = seams.clock;
    options.running = seams.running;
    options.errors = seams.errors;
    if (!options.identity) {
        options.identity = [dataDirectory, deviceId] { return GroupIdentity(dataDirectory, deviceId); };
    }
    return options;
}

std::vector<std::string> tickerMessages(const Playlist& playlist) {
    std::vector<std::string> messages;
    for (std::size_t i = 0; i < playlist.tickerMessageCount(); ++i) messages.push_back(playlist.tickerMessageAt(i));
    return messages;
}

// A slide of videos that ended before any of them showed a picture (they could not start) is set
// up again at most once a second, so a playlist of such slides does not spin.
constexpr std::uint64_t deadVideoSlideGapMs = 1000;

bool isEmptyPlaylist(const Playlist& playlist) {
    return playlist.name() == emptyPlaylistName || playlist.slideCount() == 0;
}

// A slide time moved later without overflowing: the group may time a slide at the very end of
// the clock's range, and it stays there.
std::int64_t shiftedLater(std::int64_t time, std::uint64_t shiftMs) {
    constexpr auto largest = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    return slideEndTime(time, static_cast<std::int64_t>(std::min(shiftMs, largest)));
}

// The download banner's reveal is at rest when it is fully hidden with nothing asked for, or
// fully shown: no frame of it then differs from the last.
bool revealAtRest(const OverlayReveal& reveal) {
    return (!reveal.shown() && reveal.phaseA() == 0.0 && reveal.phaseB() == 0.0) ||
           (reveal.shown() && reveal.phaseA() == 1.0 && reveal.phaseB() == 1.0);
}

}  // namespace

std::unique_ptr<StartupScreen> showSplash(const SplashRequest& request) {
    class Shown final : public StartupScreen {
    public:
        Shown(const SplashRequest& request, SplashSeams seams)
            : splash_(request.dataDirectory, request.display,
                      request.serialNumber.empty() ? request.deviceId : request.serialNumber, "", request.macAddress,
                      request.initialPlaylistReady, std::move(seams)) {}
        void fadeFrame(int milliseconds) override {
            splash_.fadeFrame(static_cast<std::uint64_t>(std::max(0, milliseconds)));
        }

    private:
        Splash splash_;
    };
    SplashSeams seams;
    if (request.running != nullptr) seams.running = request.running;
    return std::make_unique<Shown>(request, std::move(seams));
}

std::unique_ptr<StartupScreen> waitWithoutSplash(const SplashRequest& request) {
    while ((request.initialPlaylistReady == nullptr || !request.initialPlaylistReady->load()) &&
           (request.running == nullptr || request.running->load())) {
        SDL_Event event;
        if (SDL_WaitEventTimeout(&event, idleEventWaitMs) && event.type == SDL_EVENT_QUIT &&
            request.running != nullptr) {
            request.running->store(false);
        }
    }
    return nullptr;
}

PlayerLoop::PlayerLoop(std::string dataDirectory_, Display& display_, std::string deviceId_, bool watchdogRequested_,
                       SDL_Thread* webSocketThread_, Command* command_, const ViewSeams& seams_)
    : dataDirectory(std::move(dataDirectory_)),
      display(display_),
      deviceId(std::move(deviceId_)),
      watchdogRequested(watchdogRequested_),
      webSocketThread(webSocketThread_),
      command(command_),
      seams(withDefaults(seams_)),
      running(*seams.running),
      clock(*seams.clock),
      downloadScreen(*seams.clock),
      groupSync(groupSyncOptions(seams, dataDirectory, deviceId)),
      reporter(webSocketThread != nullptr,
               [this] { return command != nullptr ? command->uptimeText() : std::string(); }) {
    InputSeams inputSeams = seams.input;
    if (!inputSeams.reboot && command != nullptr) inputSeams.reboot = [this] { command->reboot(); };
    // What the keys store (a chosen display mode, screenshots) goes under the loop's own base
    // directory.
    if (inputSeams.screenshotDirectory.empty()) {
        inputSeams.screenshotDirectory = dataDirectory + "/" + sharedDefaults().programDirectoryName;
    }
    if (!inputSeams.chooseMode) {
        inputSeams.chooseMode = [actions = modeChoiceActions(display, dataDirectory, inputSeams.reboot)](
                                    const DisplayMode& mode) { applyChosenMode(mode, actions); };
    }
    input = std::make_unique<PlayerInput>(&display, std::move(inputSeams));
}

PlayerLoop::~PlayerLoop() {
    // An exception leaves the loop: the threads it started are stopped and joined, and the
    // watchdog is switched off, as on the orderly way out.
    try {
        shutdown();
    } catch (...) {
    }
}

std::uint64_t PlayerLoop::ticks() const { return clock.ticksMs(); }
std::int64_t PlayerLoop::nowMs() const { return clock.systemMs(); }
int PlayerLoop::screenRotation() const { return displayRotation.load(); }

void PlayerLoop::drainPlaylistReadyEvents() {
    SDL_Event events[16];
    while (SDL_PeepEvents(events, 16, SDL_GETEVENT, playlistReadyEvent, playlistReadyEvent) > 0) {
    }
}

bool PlayerLoop::quitWaiting() const {
    SDL_PumpEvents();
    SDL_Event event;
    return SDL_PeepEvents(&event, 1, SDL_PEEKEVENT, SDL_EVENT_QUIT, SDL_EVENT_QUIT) > 0;
}

// ---------------------------------------------------------------------------------------------
// Start-up

void PlayerLoop::initialPlaylistThreadBody() {
    try {
        std::unique_ptr<Playlist> built;
        try {
            built = std::make_unique<Playlist>(dataDirectory, deviceId, true, std::string(), seams.load);
        } catch (const std::exception& error) {
            // A load that the stop cut short is no failure: the player is on its way out.
            if (!running.load()) {
                initialPlaylistReady = true;
                return;
            }
            // Anything else leaves the player waiting for the service, as with no stored playlist.
            logLine(*seams.errors, ansi::BOLD_RED, "[PLAYLIST]", std::string(" Stored playlist failed: ") + error.what());
        }
        if (built == nullptr || isEmptyPlaylist(*built)) {
            logLine(*seams.out, ansi::YELLOW, "[PLAYLIST]", " Waiting for initial playlist download");
            for (;;) {
                PlaylistUpdate update = waitForPlaylistUpdate(*seams.link, running, clock);
                if (update.playlist == nullptr) {
                    // Nothing while stopping; an emergency's end with nothing to end: wait on.
                    if (!running.load()) break;
                    continue;
                }
                if (update.kind == PlaylistUpdateKind::emergency) {
                    // The override plays from the first pass; the start-up playlist is what it
                    // gives way to when it ends.
                    if (built == nullptr) built = std::make_unique<Playlist>(*seams.queue);
                    initialOverride = std::move(update);
                } else {
                    built = std::move(update.playlist);
                }
                initialPlaylist = std::move(built);
                break;
            }
        } else {
            initialPlaylist = std::move(built);
        }
    } catch (...) {
        initialFailure = std::current_exception();
    }
    initialPlaylistReady = true;
}

bool PlayerLoop::takeInitialPlaylist() {
    initialPlaylistThread = std::jthread([this] { initialPlaylistThreadBody(); });

    SplashRequest request;
    request.dataDirectory = dataDirectory;
    request.display = &display;
    request.deviceId = deviceId;
    request.macAddress = command != nullptr ? command->macAddressText() : std::string();
    request.initialPlaylistReady = &initialPlaylistReady;
    request.running = &running;
    splash = seams.splash(request);

    initialPlaylistThread.join();
    if (initialFailure) std::rethrow_exception(std::exchange(initialFailure, nullptr));
    return running.load() && initialPlaylist != nullptr;
}

void PlayerLoop::startWatchdog() {
    if (!watchdogRequested) return;
    auto watchdog = std::make_unique<HardwareWatchdog>(*seams.watchdogIo, *seams.errors);
    if (!watchdog->isOpen()) {
        logLine(*seams.errors, ansi::BOLD_RED, "[WATCHDOG]", " Hardware watchdog requested but unavailable");
        watchdog->stop();
        return;
    }
    watchdogGuard = std::make_unique<WatchdogTimerGuard>(std::move(watchdog), *seams.watchdogClock);
    if (seams.watchdogIntervalMs > 0) {
        watchdogGuard->start(seams.watchdogIntervalMs);
    } else {
        watchdogGuard->start();
    }
}

void PlayerLoop::startCecThread() {
    if (!seams.cecListener) return;
    cecThread = player::startCecThread(seams.cecListener, *seams.input.standby,
                                       DisplayStandbyFile(seams.standbyFile), *seams.errors);
}

void PlayerLoop::waitForIdleDownloads() {
    // Nothing is drawn meanwhile. A stop, or a quit that waits in the queue, ends the wait: the
    // first pass then sees it.
    while (running.load() && !quitWaiting()) {
        if (seams.queue->waitUntilNothingPending(50)) return;
    }
}

void PlayerLoop::prepareFirstPass() {
    currentTarget = createSlideTarget(display);
    previousTarget = createSlideTarget(display);
    currentSlideIndex = 0;
    chainedStartMs.reset();
    fadeFromBlackOn = true;
    fadeStartTicks.reset();
    // 14: the next slide's pictures are decoded ahead from the first slide on.
    preloader = std::make_unique<SlideImagePreloader>();
    // 17: the random transitions start their sequence afresh.
    transitionPicker = TransitionPicker();
}

// ---------------------------------------------------------------------------------------------
// The run

int PlayerLoop::run() {
    // 1-4: the first playlist while the splash shows.
    if (!takeInitialPlaylist()) {
        shutdown();
        return 0;
    }
    // 5-7: the watchdog, the standby marker, the CEC listener.
    startWatchdog();
    DisplayStandbyFile(seams.standbyFile).remove();
    seams.input.standby->store(false);
    startCecThread();
    // 8: the device report, for the service that the link thread talks to.
    if (webSocketThread != nullptr && command != nullptr) {
        queueDeviceReport(*command, screenOrientation(),
                          ReportedScreen{display.width(), display.height(), display.availableModes()}, dataDirectory,
                          WirelessStatus{}, outgoingMessageQueue(), *seams.out);
    }
    // 9: the first playlist becomes current; the texts of its first slides are asked for.
    playlist = std::move(initialPlaylist);
    precacheSlideTexts(*playlist, 0, preparedSlides, seams.prepareText);
    // 10: the playlist start-up just took must not be switched to again.
    drainPlaylistReadyEvents();
    // 11: the menus for the current playlist.
    input->rebuildMenus(playlist.get());
    // 12: downloads the first playlist queued finish before anything is drawn.
    waitForIdleDownloads();
    // 13-17: group identity, preloader, clocks, slide targets.
    groupSync.start();
    prepareFirstPass();
    // The first slide is the group's when the join hears of it, or this player's as leader.
    const GroupJoinResult joined = groupSync.join(playlist->slideCount());
    currentSlideIndex = joined.index;
    groupStartMs = joined.start;

    while (running.load()) runSlidePass();

    shutdown();
    return 0;
}

void PlayerLoop::runSlidePass() {
    nextIndexChosen = false;
    slideEndedNormally = false;
    slideEndedByVideos = false;
    try {
        // A group change is taken up at every pass, the waiting screen's too.
        groupSync.restartIfGroupChanged();
        seams.recordPlayed(playlist->account(), playlist->branch(), playlist->name());
        applyPlaylistUpdates();
        precacheSlideTexts(*playlist, static_cast<std::size_t>(std::max(0, currentSlideIndex.load())), preparedSlides,
                           seams.prepareText);
        ticker.update(tickerMessages(*playlist));
        if (playlist->slideCount() == 0) {
            showWaitingScreen();
        } else {
            setUpSlide();
            while (viewRunning.load()) runFrameCycle();
            afterCycle();
            lastFailedIndex.reset();
        }
    } catch (const std::exception& error) {
        recoverFromFailedPass(error.what());
    }
    releasedPlaylists.clear();
}

void PlayerLoop::applyPlaylistUpdates() {
    // An override that arrived while start-up waited for a playlist comes first.
    if (initialOverride) {
        PlaylistUpdate update = std::move(*initialOverride);
        initialOverride.reset();
        applyPlaylistUpdate(std::move(update));
    }
    // The normal update first, then the emergency one; an expired override ends here too.
    takeUpdateOutcome(applyWaitingUpdates(
        emergency, playlist, [this](Playlist& replacement) { prepareReplacement(replacement); },
        [this] { return takePlaylistUpdate(*seams.link); }));
}

void PlayerLoop::applyPlaylistUpdate(PlaylistUpdate update) {
    PlaylistUpdateOutcome outcome;
    emergency.apply(std::move(update), playlist, [this](Playlist& replacement) { prepareReplacement(replacement); },
                    outcome);
    takeUpdateOutcome(std::move(outcome));
}

void PlayerLoop::takeUpdateOutcome(PlaylistUpdateOutcome outcome) {
    for (auto& dropped : outcome.dropped) releasedPlaylists.push_back(std::move(dropped));
    // The new playlist's texts were asked for as it was prepared; a restored one starts afresh.
    if (outcome.installed) {
        preparedSlides = std::exchange(replacementPrepared, PreparedSlides());
    } else if (outcome.restored) {
        preparedSlides = PreparedSlides();
    }
    if (outcome.installed || outcome.restored) {
        currentSlideIndex = 0;
        chainedStartMs.reset();
        groupStartMs.reset();
        input->rebuildMenus(playlist.get());
    }
}

void PlayerLoop::prepareReplacement(Playlist& replacement) {
    // A throw keeps the playlist on screen (the override logic says so); the set is only taken
    // over once the replacement is installed.
    replacementPrepared = PreparedSlides();
    prepareSlide(replacement, 0, replacementPrepared, seams.prepareText);
}

void PlayerLoop::showWaitingScreen() {
    // A playlist being prepared shows its banner here too, where nothing else is on screen.
    requestedPlaylist = requestedPlaylistName(*seams.link);
    downloadScreen.reveal.update(requestedPlaylist);
    selectDownloadTarget(display, downloadTarget, true);
    // The built-in "no slides" picture, fitted to the screen.
    if (noSlidesPicture == nullptr) {
        noSlidesPicture = std::make_unique<Image>(Image::fromMemory(
            &display, display.width(), display.height(), 0, 0, display.width(), display.height(),
            BuiltInPicture::NoSlides, "fit", "1", opaqueBlack));
    }
    noSlidesPicture->draw(false);
    presentSlideTarget(display, downloadScreen.reveal.phaseA(), downloadTarget.get());
    input->updatePairingPanel();
    finishFrame();
    SDL_Event event;
    const bool taken =
        revealAtRest(downloadScreen.reveal) ? seams.waitEvent(event, idleEventWaitMs) : seams.pollEvent(event);
    if (taken) dispatchEvent(event);
}

void PlayerLoop::setUpSlide() {
    const int count = static_cast<int>(playlist->slideCount());
    int index = currentSlideIndex.load();
    if (index < 0 || index >= count) {
        index = 0;
        currentSlideIndex = 0;
    }
    const Slide& slide = playlist->slideAt(static_cast<std::size_t>(index));

    slideDuration = effectiveSlideDuration(slide.duration);
    const std::int64_t now = nowMs();
    // The next slide starts where the last one ended, so slide times do not drift; after a stall
    // of more than a second it starts from now.
    slideStartMs = slideTimes(chainedStartMs, now, slideDuration).startMs;
    chainedStartMs.reset();
    // A start the group fixed is used as it is, so the slide ends when it ends on the leader.
    if (groupStartMs) slideStartMs = *std::exchange(groupStartMs, std::nullopt);
    // The user's navigation is announced to the group; the slide then starts now.
    if (const std::optional<std::int64_t> announced = groupSync.slideSetUp(index)) slideStartMs = *announced;
    slideEndMs = slideEndTime(slideStartMs, static_cast<std::int64_t>(slideDuration) * 1000);
    // The screen's place on a canvas wider than one screen, read for every slide so a changed
    // configuration takes effect without a restart.
    setViewportOffsets(configInt(dataDirectory, "viewportX", 0), configInt(dataDirectory, "viewportY", 0));

    LayerBuildContext context;
    context.display = &display;
    context.slideWidth = slide.width;
    context.slideHeight = slide.height;
    context.playlistDirectory = playlist->directory();
    context.resolutionClass = display.resolutionClass();
    context.clock = &clock;
    context.videoSeams = seams.video;
    destroyLiveLayers();
    updateScene(slide);
    buildLiveLayers(slide, context, liveLayers);
    slideHasVideo = std::any_of(liveLayers.begin(), liveLayers.end(),
                                [](const LiveLayer& layer) { return layer.kind() == LayerKind::Video; });
    lastFrame = LayerFrame{};

    // The picture on screen becomes the one the slide comes from. A slide that never showed a
    // picture of its own (its videos had none yet) leaves the older one in place.
    if (currentPictureValid) {
        std::swap(currentTarget, previousTarget);
        previousPictureValid = true;
    }
    currentPictureValid = false;
    transition = chooseSlideTransition(transitionPicker, slide.transitionIn, playlist->slideCount(),
                                       previousPictureValid, screenRotation());
    // A video slide keeps the previous picture until its videos have one; a transition into it
    // starts only then, so it never animates towards black.
    holdPreviousPicture = slideHasVideo && previousPictureValid;

    // The next slide's pictures are decoded while this one shows.
    if (preloader != nullptr && playlist->content && playlist->slideCount() > 1) {
        preloader->enqueue(nextSlideImagePaths(playlist->content->slides, static_cast<std::size_t>(index),
                                               playlist->directory(), display.resolutionClass()));
    }

    reportSlide(slideReportForced(videoLayerCount(slide), playlist->slideCount()));
    slideStartTicks = ticks();
    transitionStartTicks = slideStartTicks;
    firstFrameOfSlide = true;
    viewRunning = true;
}

void PlayerLoop::updateScene(const Slide& slide) {
    // The scene stays across slides that show the same one; its key is the playlist directory
    // and the scene's text.
    const std::string key =
        slide.sceneSource.isNull() ? std::string() : playlist->directory() + slide.sceneSource.toStyledString();
    if (key == sceneKey && (scene != nullptr || key.empty())) return;
    scene.reset();
    sceneKey.clear();
    if (key.empty()) return;
    try {
        scene = createSceneRuntime(display.renderer(), playlist->directory(), slide.sceneSource);
        sceneKey = key;
    } catch (const std::exception& error) {
        // The slide plays without its scene.
        logLine(*seams.errors, ansi::BOLD_RED, "[SCENE]", std::string(" ") + error.what());
    }
}

void PlayerLoop::afterCycle() {
    // A standby is waited out and a requested Wi-Fi set-up runs; either brings the same slide
    // back from its beginning.
    const AfterCycleOutcome after = input->afterCycle([this] { destroyLiveLayers(); });
    if (after.fadeFromBlack) {
        fadeFromBlackOn = true;
        fadeStartTicks.reset();
    }
    if (after.restartSlide) {
        chainedStartMs.reset();
        destroyLiveLayers();
        return;
    }
    const int count = static_cast<int>(playlist->slideCount());
    const bool endsByItself = slideDuration > 0 || slideHasVideo || slideEndedByVideos;
    if (endsByItself && !nextIndexChosen && count > 0) {
        currentSlideIndex = (currentSlideIndex.load() + 1) % count;
    }
    if (slideEndedNormally && !slideHasVideo) chainedStartMs = slideEndMs;
    // Videos that could not start end their slide at once; such a slide is not set up again
    // within a second of the last one.
    const bool deadVideos = slideEndedByVideos && !lastFrame.allVideosHavePicture;
    destroyLiveLayers();
    if (!deadVideos) {
        deadVideoSlideTicks.reset();
        return;
    }
    if (deadVideoSlideTicks && ticks() - *deadVideoSlideTicks < deadVideoSlideGapMs) {
        SDL_Event event;
        const auto wait = static_cast<int>(deadVideoSlideGapMs - (ticks() - *deadVideoSlideTicks));
        if (seams.waitEvent(event, wait)) dispatchEvent(event);
    }
    deadVideoSlideTicks = ticks();
}

void PlayerLoop::recoverFromFailedPass(const std::string& message) {
    logText(*seams.errors, std::string(ansi::BOLD_RED) + "Loop Exception: " + message + std::string(ansi::RESET));
    viewRunning = false;
    destroyLiveLayers();
    // The failed slide is set up again on the next pass; one that fails twice running gives way
    // to the next, so one broken slide cannot hold the whole playlist.
    const int index = currentSlideIndex.load();
    if (lastFailedIndex == index) {
        const int count = playlist != nullptr ? static_cast<int>(playlist->slideCount()) : 0;
        if (count > 0) currentSlideIndex = (index + 1) % count;
        lastFailedIndex.reset();
    } else {
        lastFailedIndex = index;
    }
    chainedStartMs.reset();
    // A failing pass must not spin: the next one comes after an event or a second.
    SDL_Event event;
    if (seams.waitEvent(event, failedPassWaitMs)) dispatchEvent(event);
}

// ---------------------------------------------------------------------------------------------
// The frame cycle

void PlayerLoop::runFrameCycle() {
    // An override whose time is up ends the slide; the next pass restores the normal playlist.
    if (emergency.expired()) viewRunning = false;
    runGroupSync();
    answerDisplayModeRequest();
    reportAgainAfterReconnection();

    // Clocks, and the slide's end by its duration or its videos.
    const std::int64_t now = nowMs();
    if (viewRunning.load()) {
        const SlideEndCheck check{slideHasVideo,         slideDuration, input->paused(), lastFrame.allVideosFinished,
                                  playlist->slideCount(), now,           slideEndMs};
        if (slideHasEnded(check)) {
            (slideHasVideo ? slideEndedByVideos : slideEndedNormally) = true;
            viewRunning = false;
        }
    }

    requestedPlaylist = requestedPlaylistName(*seams.link);
    overlayChanged = downloadScreen.reveal.update(requestedPlaylist);
    // The menus' countdown, the pairing status and the pause box's number each force a frame
    // when what they show changed.
    const bool menusChanged = input->tickMenus();
    const bool pairingChanged = input->updatePairingPanel();
    const bool pauseChanged = input->pauseSecondsChanged();
    overlayChanged = overlayChanged || menusChanged || pairingChanged || pauseChanged;

    SDL_Event event;
    if (!pictureMayChange()) {
        // A slide that just ended is not waited on.
        if (!viewRunning.load()) return;
        // Nothing on screen can change: sleep until an event, the next due frame or the end of
        // the slide.
        const double animationMs = static_cast<double>(ticks() - slideStartTicks);
        int wait = idleWaitMs(liveLayers, animationMs);
        // (A paused slide does not end: its end time is no reason to wake.)
        if (!slideHasVideo && slideDuration > 0 && !input->paused()) {
            wait = static_cast<int>(std::clamp<std::int64_t>(slideEndMs - now, 1, wait));
        }
        const bool taken = seams.waitEvent(event, wait);
        eventTakenLastCycle = taken;
        if (taken) dispatchEvent(event);
        return;
    }

    if (!renderSlide()) {
        // The splash stays until every video of the slide has a picture; a quit still ends it.
        eventTakenLastCycle = false;
        if (quitWaiting()) {
            running = false;
            viewRunning = false;
            return;
        }
        seams.delay(10);
        return;
    }
    composeFrame();

    const bool taken = seams.pollEvent(event);
    eventTakenLastCycle = taken;
    if (taken) dispatchEvent(event);

    finishFrame();
    firstFrameOfSlide = false;
}

void PlayerLoop::runGroupSync() {
    groupSync.restartIfGroupChanged();
    SyncSlide slide;
    slide.index = currentSlideIndex.load();
    slide.slideCount = playlist->slideCount();
    slide.durationMs = static_cast<std::int64_t>(slideDuration) * 1000;
    slide.hasVideo = slideHasVideo;
    slide.startTime = slideStartMs;
    const GroupSyncActions actions = groupSync.cycle(slide, input->paused());
    if (actions.report) reportSlide(false);
    if (actions.reanchor) {
        slideStartMs = actions.reanchor->startMs;
        slideEndMs = actions.reanchor->endMs;
    }
    if (actions.change) {
        currentSlideIndex = actions.change->index;
        slideEndMs = actions.change->start;
        groupStartMs = actions.change->start;
        nextIndexChosen = true;
        viewRunning = false;
    }
}

void PlayerLoop::answerDisplayModeRequest() {
    const DisplayModeRequest request = takePendingDisplayMode(*seams.link);
    if (!request.pending) return;
    DisplayModeRequestActions actions;
    if (command != nullptr) {
        actions = displayModeRequestActions(dataDirectory, *command);
    } else {
        actions.store = [this](const DisplayMode& mode) { return setConfigDisplayMode(dataDirectory, mode); };
    }
    player::answerDisplayModeRequest(request, display.availableModes(), actions);
}

void PlayerLoop::reportSlide(bool force) {
    const int index = currentSlideIndex.load();
    if (index < 0 || static_cast<std::size_t>(index) >= playlist->slideCount()) return;
    reporter.groupScheduleSettled = groupSync.scheduleSettled();
    reporter.reportSlideChange(playlist->slideAt(static_cast<std::size_t>(index)).id, force);
}

void PlayerLoop::reportAgainAfterReconnection() {
    if (!takeReconnected(*seams.link)) return;
    // Nothing before the first report, and nothing while the group has not agreed on the slide.
    if (reporter.lastReportedId().empty() || !groupSync.scheduleSettled()) return;
    const int index = currentSlideIndex.load();
    if (index < 0 || static_cast<std::size_t>(index) >= playlist->slideCount()) return;
    reporter.sendTransitionStatus(command != nullptr ? command->uptimeText() : std::string(),
                                  playlist->slideAt(static_cast<std::size_t>(index)).id);
}

bool PlayerLoop::pictureMayChange() const {
    if (firstFrameOfSlide || eventTakenLastCycle || slideHasVideo || splash != nullptr) return true;
    if (scene != nullptr) return true;
    if (transition.active || ticker.shown() || positionBarShown()) return true;
    if (fadeFromBlackOn || overlayChanged) return true;
    if (!revealAtRest(downloadScreen.reveal)) return true;
    if (playlist != nullptr) {
        const int index = currentSlideIndex.load();
        if (index >= 0 && static_cast<std::size_t>(index) < playlist->slideCount() &&
            playlist->slideAt(static_cast<std::size_t>(index)).motionEffect != "none") {
            return true;
        }
    }
    // A sprite whose next frame came due while the loop slept is drawn now.
    if (spriteFrameDue(liveLayers, drawnAnimationMs, static_cast<double>(ticks() - slideStartTicks))) return true;
    for (const LiveLayer& layer : liveLayers) {
        if (layer.animated && !layer.animationDisabled) return true;
        if (const auto* image = std::get_if<std::unique_ptr<Image>>(&layer.object);
            image != nullptr && *image && (*image)->isAnimated()) {
            return true;
        }
    }
    return false;
}

bool PlayerLoop::renderSlide() {
    SDL_Renderer* renderer = display.renderer();
    SDL_Texture* saved = SDL_GetRenderTarget(renderer);
    if (!SDL_SetRenderTarget(renderer, currentTarget.get())) {
        throw std::runtime_error(std::string("Could not select slide render target: ") + SDL_GetError());
    }
    SDL_SetRenderViewport(renderer, nullptr);
    display.clear(opaqueBlack);
    setScreenShift(0, 0, 0, 0.0f);
    const Slide& slide = playlist->slideAt(static_cast<std::size_t>(currentSlideIndex.load()));
    const double animationMs = static_cast<double>(ticks() - slideStartTicks);
    drawnAnimationMs = animationMs;
    try {
        lastFrame = drawSlideLayers(renderer, slide, liveLayers, animationMs, screenRotation(), scene.get());
    } catch (...) {
        SDL_SetRenderTarget(renderer, saved);
        throw;
    }
    SDL_SetRenderTarget(renderer, saved);
    if (holdPreviousPicture && lastFrame.allVideosHavePicture) {
        holdPreviousPicture = false;
        transitionStartTicks = ticks();
    }
    if (!holdPreviousPicture) currentPictureValid = true;

    if (splash != nullptr) {
        // A video that ended without a picture (it could not be played) holds nothing back:
        // the splash must not stay for good over a broken file.
        if (!lastFrame.allVideosHavePicture && !lastFrame.allVideosFinished) return false;
        splash->fadeFrame(splashFadeMs);
        splash.reset();
        SDL_SetRenderTarget(renderer, nullptr);
        SDL_SetRenderViewport(renderer, nullptr);
        display.clear(opaqueBlack);
    }
    return true;
}

void PlayerLoop::composeFrame() {
    SDL_Renderer* renderer = display.renderer();
    const double reveal = downloadScreen.reveal.phaseA();
    // While the overlay is (partly) shown the frame is composed off screen and drawn inset.
    const bool inset = reveal > 0.0;
    if (inset && !compositionTarget) compositionTarget = createSlideTarget(display);
    SDL_Texture* destination = inset ? compositionTarget.get() : nullptr;
    if (!SDL_SetRenderTarget(renderer, destination)) {
        throw std::runtime_error(std::string("Could not select composition target: ") + SDL_GetError());
    }
    SDL_SetRenderViewport(renderer, nullptr);
    display.clear(opaqueBlack);

    const Slide& slide = playlist->slideAt(static_cast<std::size_t>(currentSlideIndex.load()));
    if (holdPreviousPicture) {
        // The slide's videos have no picture yet: the previous slide stays rather than black.
        drawOutgoingFrame(renderer, previousTarget.get(), display.width(), display.height(), display.drawSubmitter());
    } else if (transition.active) {
        const TransitionFrame frame = transitionFrameAt(transitionStartTicks, ticks());
        renderTransition(renderer, previousTarget.get(), currentTarget.get(), display.width(), display.height(),
                         transition.kind, frame.progress, display.drawSubmitter());
        if (frame.last) transition.active = false;
    } else {
        const double progress = motionProgress(nowMs(), slideStartMs, slideDuration);
        applyImageMotion(renderer, currentTarget.get(), display.width(), display.height(), slide.motionEffect,
                         progress, display.drawSubmitter());
    }
    if (scene != nullptr) scene->drawFrame(screenRotation(), -1.0);
    drawSlideOverlays(renderer);

    if (inset) presentSlideTarget(display, reveal, destination);
}

bool PlayerLoop::positionBarShown() const {
    return !slideHasVideo && slideDuration <= 0 && ticks() - slideStartTicks < positionBarMs;
}

void PlayerLoop::drawSlideOverlays(SDL_Renderer* renderer) {
    ticker.drawFrame();
    if (!positionBarShown()) return;
    // A slide that waits for the viewer shows where it stands in the playlist for a moment.
    int width = 0, height = 0;
    if (!SDL_GetCurrentRenderOutputSize(renderer, &width, &height)) return;
    const auto bar = positionBarAt(width, height, static_cast<std::size_t>(std::max(0, currentSlideIndex.load())),
                                   playlist->slideCount(), ticks() - slideStartTicks);
    if (bar) drawPositionBar(renderer, *bar);
}

void PlayerLoop::finishFrame() {
    SDL_Renderer* renderer = display.renderer();
    SDL_SetRenderTarget(renderer, nullptr);
    const bool slideOnScreen = playlist != nullptr && playlist->slideCount() > 0;
    if (slideOnScreen) input->drawMenus();
    drawDownloadScreen(downloadScreen, renderer, requestedPlaylist, screenRotation(), display.drawSubmitter());

    if (fadeFromBlackOn) {
        const std::uint64_t now = ticks();
        if (!fadeStartTicks) fadeStartTicks = now;
        const double p = std::min(1.0, static_cast<double>(now - *fadeStartTicks) / fadeFromBlackMs);
        const auto alpha = static_cast<Uint8>((1.0 - p) * 255.0);
        SDL_SetRenderDrawBlendMode(renderer, SDL_BLENDMODE_BLEND);
        SDL_SetRenderDrawColor(renderer, 0, 0, 0, alpha);
        SDL_RenderFillRect(renderer, nullptr);
        SDL_SetRenderDrawBlendMode(renderer, SDL_BLENDMODE_NONE);
        if (p >= 1.0) {
            fadeFromBlackOn = false;
            fadeStartTicks.reset();
        }
    }

    input->drawPairingPanel(renderer, display.width(), display.height(), screenRotation());
    if (slideOnScreen) input->drawPause(renderer, display.width(), display.height());

    if (seams.beforePresent) seams.beforePresent(display);
    display.present(!display.mirrors().empty());
}

void PlayerLoop::dispatchEvent(const SDL_Event& event) {
    if (playlist == nullptr || playlist->slideCount() == 0) {
        applyInputOutcome(input->handleWaitingEvent(event));
        return;
    }
    SlideOnScreen slide;
    slide.index = currentSlideIndex.load();
    slide.count = static_cast<int>(playlist->slideCount());
    slide.hasVideo = slideHasVideo;
    slide.pauseVideos = [this](bool paused) {
        for (LiveLayer& layer : liveLayers) {
            if (auto* video = std::get_if<std::unique_ptr<Video>>(&layer.object); video != nullptr && *video) {
                (*video)->setPaused(paused);
            }
        }
    };
    // A playlist update (0x8001) ends the slide here; the next pass takes it.
    applyInputOutcome(input->handleSlideEvent(event, slide));
}

void PlayerLoop::applyInputOutcome(const InputOutcome& outcome) {
    if (outcome.stopPlayer) running = false;
    if (outcome.endSlide) viewRunning = false;
    if (outcome.nextIndex) {
        currentSlideIndex = *outcome.nextIndex;
        nextIndexChosen = true;
        // The group follows the slide the user chose once it is set up.
        groupSync.announceNextChange();
    }
    // A tap pause, and the part of a pairing screen no pause covered, move the slide's end.
    if (slideDuration > 0) {
        slideEndMs = shiftedLater(shiftedLater(slideEndMs, outcome.slideEndShiftMs), outcome.endShiftMs);
    }
    if (outcome.clockShiftMs > 0) {
        // The slide goes on where it stood before the pairing screen.
        slideStartMs = shiftedLater(slideStartMs, outcome.clockShiftMs);
        slideStartTicks += outcome.clockShiftMs;
        if (fadeStartTicks) *fadeStartTicks += outcome.clockShiftMs;
    }
    if (outcome.redraw) {
        eventTakenLastCycle = true;
    } else if (outcome.unseen) {
        // Nothing to draw for it: the next cycle may sleep, and a swipe's queued key ends that
        // sleep at once.
        eventTakenLastCycle = false;
    }
}

// ---------------------------------------------------------------------------------------------
// Shutdown

void PlayerLoop::destroyLiveLayers() { destroyLayers(liveLayers); }

void PlayerLoop::shutdown() {
    if (shutDown) return;
    shutDown = true;
    viewRunning = false;
    // A start-up cut short by an exception may leave the first playlist's thread running.
    // Its waits end once the player stops, which it is doing.
    if (initialPlaylistThread.joinable()) {
        running = false;
        initialPlaylistThread.join();
    }
    destroyLiveLayers();
    if (cecThread.joinable()) {
        cecThread.request_stop();
        cecThread.join();
    }
    DisplayStandbyFile(seams.standbyFile).remove();
    drainPlaylistReadyEvents();
    input.reset();
    noSlidesPicture.reset();
    // The preloader's decode in progress ends; what it still had queued is dropped.
    if (preloader != nullptr) {
        preloader->stop();
        preloader.reset();
    }
    scene.reset();
    sceneKey.clear();
    ticker.update({});
    downloadTarget.reset();
    compositionTarget.reset();
    previousTarget.reset();
    currentTarget.reset();
    if (watchdogGuard != nullptr) {
        watchdogGuard->stop();
        watchdogGuard.reset();
    }
    splash.reset();
    initialFailure = nullptr;
    releasedPlaylists.clear();
    initialOverride.reset();
    initialPlaylist.reset();
    playlist.reset();
}

int view(std::string configBaseDirectory, Display* display, std::string deviceId, bool watchdog,
         SDL_Thread* webSocketThread, Command* command) {
    return view(std::move(configBaseDirectory), display, std::move(deviceId), watchdog, webSocketThread, command,
                ViewSeams{});
}

int view(std::string configBaseDirectory, Display* display, std::string deviceId, bool watchdog,
         SDL_Thread* webSocketThread, Command* command, const ViewSeams& seams) {
    if (display == nullptr) throw std::invalid_argument("The player loop needs a display");
    PlayerLoop loop(std::move(configBaseDirectory), *display, std::move(deviceId), watchdog, webSocketThread, command,
                    seams);
    return loop.run();
}

}  // namespace lumetta::player
