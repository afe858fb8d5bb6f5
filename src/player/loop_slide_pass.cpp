// One slide pass of the loop: the playlist updates, the waiting screen of a playlist without
// slides, the slide's set-up, what follows its frame cycle, and the recovery from a pass that
// failed.

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "core/config_store.h"
#include "core/log.h"
#include "core/palette.h"
#include "display/display.h"
#include "display/screen_shift.h"
#include "player/player_loop.h"
#include "player/slide_targets.h"

namespace lumetta::player {

namespace {

std::vector<std::string> tickerMessages(const Playlist& playlist) {
    std::vector<std::string> messages;
    for (std::size_t i = 0; i < playlist.tickerMessageCount(); ++i) messages.push_back(playlist.tickerMessageAt(i));
    return messages;
}

// A slide of videos that ended before any of them showed a picture (they could not start) is set
// up again at most once a second, so a playlist of such slides does not spin.
constexpr std::uint64_t deadVideoSlideGapMs = 1000;

}  // namespace

void PlayerLoop::runSlidePass() {
    pulse.beat();
    shown.nextIndexChosen = false;
    shown.endedNormally = false;
    shown.endedByVideos = false;
    try {
        // A group change is taken up at every pass, the waiting screen's too.
        group.sync.restartIfGroupChanged();
        seams.recordPlayed(playlist->account(), playlist->branch(), playlist->name());
        applyPlaylistUpdates();
        precacheSlideTexts(*playlist, static_cast<std::size_t>(std::max(0, currentSlideIndex.load())),
                           sequence.preparedSlides, seams.prepareText);
        overlays.ticker.update(tickerMessages(*playlist));
        if (playlist->slideCount() == 0) {
            showWaitingScreen();
        } else {
            setUpSlide();
            while (viewRunning.load()) runFrameCycle();
            afterCycle();
            sequence.lastFailedIndex.reset();
        }
    } catch (const std::exception& error) {
        recoverFromFailedPass(error.what());
    }
    sequence.releasedPlaylists.clear();
}

void PlayerLoop::applyPlaylistUpdates() {
    // An override that arrived while start-up waited for a playlist comes first.
    if (startUp.pendingOverride) {
        PlaylistUpdate update = std::move(*startUp.pendingOverride);
        startUp.pendingOverride.reset();
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
    for (auto& dropped : outcome.dropped) sequence.releasedPlaylists.push_back(std::move(dropped));
    // The new playlist's texts were asked for as it was prepared; a restored one starts afresh.
    if (outcome.installed) {
        sequence.preparedSlides = std::exchange(sequence.replacementPrepared, PreparedSlides());
    } else if (outcome.restored) {
        sequence.preparedSlides = PreparedSlides();
    }
    if (outcome.installed || outcome.restored) {
        currentSlideIndex = 0;
        shown.chainedStartMs.reset();
        group.startMs.reset();
        input->rebuildMenus(playlist.get());
    }
}

void PlayerLoop::prepareReplacement(Playlist& replacement) {
    // A throw keeps the playlist on screen (the override logic says so); the set is only taken
    // over once the replacement is installed.
    sequence.replacementPrepared = PreparedSlides();
    prepareSlide(replacement, 0, sequence.replacementPrepared, seams.prepareText);
}

void PlayerLoop::showWaitingScreen() {
    // A playlist being prepared shows its banner here too, where nothing else is on screen.
    overlays.downloadBanner.update(requestedPlaylistName(*seams.link));
    selectDownloadTarget(display, overlays.downloadTarget, true);
    // The built-in "no slides" picture, fitted to the screen.
    if (overlays.noSlidesPicture == nullptr) {
        overlays.noSlidesPicture = std::make_unique<Image>(Image::fromMemory(
            &display, display.width(), display.height(), 0, 0, display.width(), display.height(),
            BuiltInPicture::NoSlides, "fit", "1", opaqueBlack));
    }
    overlays.noSlidesPicture->draw(false);
    presentSlideTarget(display, overlays.downloadBanner.reveal().phaseA(), overlays.downloadTarget.get());
    input->updatePairingPanel();
    finishFrame();
    const std::optional<screens::PumpedEvent> taken =
        overlays.downloadBanner.atRest() ? events().wait(idleEventWaitMs) : events().poll();
    if (taken) dispatchEvent(*taken);
}

void PlayerLoop::setUpSlide() {
    const int count = static_cast<int>(playlist->slideCount());
    int index = currentSlideIndex.load();
    if (index < 0 || index >= count) {
        index = 0;
        currentSlideIndex = 0;
    }
    const Slide& slide = playlist->slideAt(static_cast<std::size_t>(index));
    shown.index = index;

    shown.duration = effectiveSlideDuration(slide.duration);
    const std::int64_t now = nowMs();
    // The next slide starts where the last one ended, so slide times do not drift; after a stall
    // of more than a second it starts from now.
    shown.startMs = slideTimes(shown.chainedStartMs, now, shown.duration).startMs;
    shown.chainedStartMs.reset();
    // A start the group fixed is used as it is, so the slide ends when it ends on the leader.
    shown.timesFromGroup = group.startMs.has_value();
    if (group.startMs) shown.startMs = *std::exchange(group.startMs, std::nullopt);
    // The user's navigation is announced to the group; the slide then starts now.
    if (const std::optional<std::int64_t> announced = group.sync.slideSetUp(index)) shown.startMs = *announced;
    shown.endMs = slideEndTime(shown.startMs, static_cast<std::int64_t>(shown.duration) * 1000);
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
    buildLiveLayers(slide, context, shown.liveLayers);
    shown.hasVideo = std::any_of(shown.liveLayers.begin(), shown.liveLayers.end(),
                                 [](const LiveLayer& layer) { return layer.kind() == LayerKind::Video; });
    shown.lastFrame = LayerFrame{};

    // The picture on screen becomes the one the slide comes from. A slide that never showed a
    // picture of its own (its videos had none yet) leaves the older one in place.
    if (transition.currentPictureValid) {
        std::swap(transition.currentTarget, transition.previousTarget);
        transition.previousPictureValid = true;
    }
    transition.currentPictureValid = false;
    transition.chosen = chooseSlideTransition(transition.picker, slide.transitionIn, playlist->slideCount(),
                                              transition.previousPictureValid, screenRotation());
    // A video slide keeps the previous picture until its videos have one; a transition into it
    // starts only then, so it never animates towards black.
    transition.holdPreviousPicture = shown.hasVideo && transition.previousPictureValid;

    // The next slide's pictures are decoded while this one shows.
    if (sequence.preloader != nullptr && playlist->content && playlist->slideCount() > 1) {
        sequence.preloader->enqueue(nextSlideImagePaths(playlist->content->slides, static_cast<std::size_t>(index),
                                                        playlist->directory(), display.resolutionClass()));
    }

    reportSlide(slideReportForced(videoLayerCount(slide), playlist->slideCount()));
    shown.startTicks = ticks();
    transition.startTicks = shown.startTicks;
    shown.firstFrame = true;
    viewRunning = true;
}

void PlayerLoop::updateScene(const Slide& slide) {
    // The scene stays across slides that show the same one; its key is the playlist directory
    // and the scene's text.
    const std::string key =
        slide.sceneSource.isNull() ? std::string() : playlist->directory() + slide.sceneSource.toStyledString();
    if (key == shown.sceneKey && (shown.scene != nullptr || key.empty())) return;
    shown.scene.reset();
    shown.sceneKey.clear();
    if (key.empty()) return;
    try {
        shown.scene = createSceneRuntime(display.renderer(), playlist->directory(), slide.sceneSource);
        shown.sceneKey = key;
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
        cycle.fadeFromBlackOn = true;
        cycle.fadeStartTicks.reset();
    }
    if (after.restartSlide) {
        shown.chainedStartMs.reset();
        destroyLiveLayers();
        return;
    }
    const int count = static_cast<int>(playlist->slideCount());
    const bool endsByItself = shown.duration > 0 || shown.hasVideo || shown.endedByVideos;
    if (endsByItself && !shown.nextIndexChosen && count > 0) {
        currentSlideIndex = (currentSlideIndex.load() + 1) % count;
    }
    if (shown.endedNormally && !shown.hasVideo) {
        shown.chainedStartMs = shown.endMs;
        group.sync.slideLeft(shown.index, shown.startMs);
    }
    // Videos that could not start end their slide at once; such a slide is not set up again
    // within a second of the last one.
    const bool deadVideos = shown.endedByVideos && !shown.lastFrame.allVideosHavePicture;
    destroyLiveLayers();
    if (!deadVideos) {
        sequence.deadVideoSlideTicks.reset();
        return;
    }
    if (sequence.deadVideoSlideTicks && ticks() - *sequence.deadVideoSlideTicks < deadVideoSlideGapMs) {
        const auto wait = static_cast<int>(deadVideoSlideGapMs - (ticks() - *sequence.deadVideoSlideTicks));
        if (const std::optional<screens::PumpedEvent> taken = events().wait(wait)) dispatchEvent(*taken);
    }
    sequence.deadVideoSlideTicks = ticks();
}

void PlayerLoop::recoverFromFailedPass(const std::string& message) {
    logText(*seams.errors, std::string(ansi::BOLD_RED) + "Loop Exception: " + message + std::string(ansi::RESET));
    viewRunning = false;
    destroyLiveLayers();
    // The failed slide is set up again on the next pass; one that fails twice running gives way
    // to the next, so one broken slide cannot hold the whole playlist.
    const int index = currentSlideIndex.load();
    if (sequence.lastFailedIndex == index) {
        const int count = playlist != nullptr ? static_cast<int>(playlist->slideCount()) : 0;
        if (count > 0) currentSlideIndex = (index + 1) % count;
        sequence.lastFailedIndex.reset();
    } else {
        sequence.lastFailedIndex = index;
    }
    shown.chainedStartMs.reset();
    // A failing pass must not spin: the next one comes after an event or a second.
    if (const std::optional<screens::PumpedEvent> taken = events().wait(failedPassWaitMs)) dispatchEvent(*taken);
}

}  // namespace lumetta::player
