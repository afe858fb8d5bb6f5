// One frame cycle of the loop: the group's steps, display-mode requests, the service's reports,
// the slide's end, whether anything must be drawn, the drawing, and the events.

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <utility>

#include "core/config_store.h"
#include "device/command.h"
#include "display/display.h"
#include "display/screen_shift.h"
#include "player/device_report.h"
#include "player/image_motion.h"
#include "player/player_loop.h"
#include "player/slide_targets.h"
#include "player/transitions.h"

namespace lumetta::player {

namespace {

// A slide time moved later without overflowing: the group may time a slide at the very end of
// the clock's range, and it stays there.
std::int64_t shiftedLater(std::int64_t time, std::uint64_t shiftMs) {
    constexpr auto largest = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    return slideEndTime(time, static_cast<std::int64_t>(std::min(shiftMs, largest)));
}

}  // namespace

void PlayerLoop::runFrameCycle() {
    pulse.beat();
    // An override whose time is up ends the slide; the next pass restores the normal playlist.
    if (emergency.expired()) viewRunning = false;
    runGroupSync();
    answerDisplayModeRequest();
    reportAgainAfterReconnection();

    // Clocks, and the slide's end by its duration or its videos.
    const std::int64_t now = nowMs();
    if (viewRunning.load() && !shown.timesFromGroup && !input->paused()) {
        // A wall clock set back (one that ran ahead, corrected) must not hold the slide for the
        // size of the step: the time already shown counts.
        const auto shownMs = static_cast<std::int64_t>(ticks() - shown.startTicks);
        if (const std::optional<SlideTimes> moved =
                slideTimesAfterClockStep(SlideTimes{shown.startMs, shown.endMs},
                                         static_cast<std::int64_t>(shown.duration) * 1000, now, shownMs,
                                         groupLeadStartDelayMs)) {
            shown.startMs = moved->startMs;
            shown.endMs = moved->endMs;
        }
    }
    if (viewRunning.load()) {
        const SlideEndCheck check{shown.hasVideo, shown.duration, input->paused(), shown.lastFrame.allVideosFinished,
                                  playlist->slideCount(), now, shown.endMs};
        if (slideHasEnded(check)) {
            (shown.hasVideo ? shown.endedByVideos : shown.endedNormally) = true;
            viewRunning = false;
        }
    }

    cycle.overlayChanged = overlays.downloadBanner.update(requestedPlaylistName(*seams.link));
    // The menus' countdown, the pairing status and the pause box's number each force a frame
    // when what they show changed.
    const bool menusChanged = input->tickMenus();
    const bool pairingChanged = input->updatePairingPanel();
    const bool pauseChanged = input->pauseSecondsChanged();
    cycle.overlayChanged = cycle.overlayChanged || menusChanged || pairingChanged || pauseChanged;

    if (!pictureMayChange()) {
        // A slide that just ended is not waited on.
        if (!viewRunning.load()) return;
        // Nothing on screen can change: sleep until an event, the next due frame or the end of
        // the slide.
        const double animationMs = static_cast<double>(ticks() - shown.startTicks);
        int wait = idleWaitMs(shown.liveLayers, animationMs);
        // (A paused slide does not end: its end time is no reason to wake.)
        if (!shown.hasVideo && shown.duration > 0 && !input->paused()) {
            wait = static_cast<int>(std::clamp<std::int64_t>(shown.endMs - now, 1, wait));
        }
        const std::optional<screens::PumpedEvent> taken = events().wait(wait);
        cycle.eventTakenLastCycle = taken.has_value();
        if (taken) dispatchEvent(*taken);
        return;
    }

    if (!renderSlide()) {
        // The splash stays until every video of the slide has a picture; a quit still ends it.
        cycle.eventTakenLastCycle = false;
        if (screens::EventPump::quitWaiting()) {
            running = false;
            viewRunning = false;
            return;
        }
        seams.delay(10);
        return;
    }
    composeFrame();

    const std::optional<screens::PumpedEvent> taken = events().poll();
    cycle.eventTakenLastCycle = taken.has_value();
    if (taken) dispatchEvent(*taken);

    finishFrame();
    shown.firstFrame = false;
}

void PlayerLoop::runGroupSync() {
    group.sync.restartIfGroupChanged();
    SyncSlide slide;
    slide.index = currentSlideIndex.load();
    slide.slideCount = playlist->slideCount();
    slide.durationMs = static_cast<std::int64_t>(shown.duration) * 1000;
    slide.hasVideo = shown.hasVideo;
    slide.startTime = shown.startMs;
    slide.ended = !viewRunning.load() ||
                  slideHasEnded(SlideEndCheck{shown.hasVideo, shown.duration, input->paused(),
                                              shown.lastFrame.allVideosFinished, playlist->slideCount(), nowMs(),
                                              shown.endMs});
    const GroupSyncActions actions = group.sync.cycle(slide, input->paused());
    if (actions.report) reportSlide(false);
    if (actions.reanchor) {
        shown.startMs = actions.reanchor->startMs;
        shown.endMs = actions.reanchor->endMs;
        shown.timesFromGroup = true;
    }
    if (actions.change) {
        currentSlideIndex = actions.change->index;
        shown.endMs = actions.change->start;
        group.startMs = actions.change->start;
        shown.nextIndexChosen = true;
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
    reporter.groupScheduleSettled = group.sync.scheduleSettled();
    reporter.reportSlideChange(playlist->slideAt(static_cast<std::size_t>(index)).id, force);
}

void PlayerLoop::reportAgainAfterReconnection() {
    if (!takeReconnected(*seams.link)) return;
    // Nothing before the first report, and nothing while the group has not agreed on the slide.
    if (reporter.lastReportedId().empty() || !group.sync.scheduleSettled()) return;
    const int index = currentSlideIndex.load();
    if (index < 0 || static_cast<std::size_t>(index) >= playlist->slideCount()) return;
    reporter.sendTransitionStatus(command != nullptr ? command->uptimeText() : std::string(),
                                  playlist->slideAt(static_cast<std::size_t>(index)).id);
}

bool PlayerLoop::pictureMayChange() const {
    if (shown.firstFrame || cycle.eventTakenLastCycle || shown.hasVideo || startUp.splash != nullptr) return true;
    if (shown.scene != nullptr) return true;
    if (transition.chosen.active || overlays.ticker.shown() || positionBarShown()) return true;
    if (cycle.fadeFromBlackOn || cycle.overlayChanged) return true;
    if (!overlays.downloadBanner.atRest()) return true;
    if (playlist != nullptr) {
        const int index = shown.index;
        if (index >= 0 && static_cast<std::size_t>(index) < playlist->slideCount() &&
            playlist->slideAt(static_cast<std::size_t>(index)).motionEffect != MotionEffect::None) {
            return true;
        }
    }
    // A sprite whose next frame came due while the loop slept is drawn now.
    if (spriteFrameDue(shown.liveLayers, shown.drawnAnimationMs, static_cast<double>(ticks() - shown.startTicks))) {
        return true;
    }
    for (const LiveLayer& layer : shown.liveLayers) {
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
    if (!SDL_SetRenderTarget(renderer, transition.currentTarget.get())) {
        throw std::runtime_error(std::string("Could not select slide render target: ") + SDL_GetError());
    }
    SDL_SetRenderViewport(renderer, nullptr);
    display.clear(opaqueBlack);
    setScreenShift(0, 0, 0, 0.0f);
    // The slide whose layers are live: a group may already have chosen the next one in this
    // cycle, whose boxes and motion do not fit these layers.
    const Slide& slide = playlist->slideAt(static_cast<std::size_t>(shown.index));
    const double animationMs = static_cast<double>(ticks() - shown.startTicks);
    shown.drawnAnimationMs = animationMs;
    try {
        shown.lastFrame =
            drawSlideLayers(renderer, slide, shown.liveLayers, animationMs, screenRotation(), shown.scene.get());
    } catch (...) {
        SDL_SetRenderTarget(renderer, saved);
        throw;
    }
    SDL_SetRenderTarget(renderer, saved);
    if (transition.holdPreviousPicture && shown.lastFrame.allVideosHavePicture) {
        transition.holdPreviousPicture = false;
        transition.startTicks = ticks();
    }
    if (!transition.holdPreviousPicture) transition.currentPictureValid = true;

    if (startUp.splash != nullptr) {
        // A video that ended without a picture (it could not be played) holds nothing back:
        // the splash must not stay for good over a broken file.
        if (!shown.lastFrame.allVideosHavePicture && !shown.lastFrame.allVideosFinished) return false;
        startUp.splash->fadeFrame(splashFadeMs);
        startUp.splash.reset();
        SDL_SetRenderTarget(renderer, nullptr);
        SDL_SetRenderViewport(renderer, nullptr);
        display.clear(opaqueBlack);
    }
    return true;
}

void PlayerLoop::composeFrame() {
    SDL_Renderer* renderer = display.renderer();
    const double reveal = overlays.downloadBanner.reveal().phaseA();
    // While the overlay is (partly) shown the frame is composed off screen and drawn inset.
    const bool inset = reveal > 0.0;
    if (inset && !overlays.compositionTarget) overlays.compositionTarget = createSlideTarget(display);
    SDL_Texture* destination = inset ? overlays.compositionTarget.get() : nullptr;
    if (!SDL_SetRenderTarget(renderer, destination)) {
        throw std::runtime_error(std::string("Could not select composition target: ") + SDL_GetError());
    }
    SDL_SetRenderViewport(renderer, nullptr);
    display.clear(opaqueBlack);

    const Slide& slide = playlist->slideAt(static_cast<std::size_t>(shown.index));
    if (transition.holdPreviousPicture) {
        // The slide's videos have no picture yet: the previous slide stays rather than black.
        drawOutgoingFrame(renderer, transition.previousTarget.get(), display.width(), display.height(),
                          display.drawSubmitter());
    } else if (transition.chosen.active) {
        const TransitionFrame frame = transitionFrameAt(transition.startTicks, ticks());
        renderTransition(renderer, transition.previousTarget.get(), transition.currentTarget.get(), display.width(),
                         display.height(), transition.chosen.kind, frame.progress, display.drawSubmitter());
        if (frame.last) transition.chosen.active = false;
    } else {
        const double progress = motionProgress(nowMs(), shown.startMs, shown.duration);
        applyImageMotion(renderer, transition.currentTarget.get(), display.width(), display.height(),
                         slide.motionEffect, progress, display.drawSubmitter());
    }
    if (shown.scene != nullptr) shown.scene->drawFrame(screenRotation(), -1.0);
    drawSlideOverlays(renderer);

    if (inset) presentSlideTarget(display, reveal, destination);
}

bool PlayerLoop::positionBarShown() const {
    return !shown.hasVideo && shown.duration <= 0 && ticks() - shown.startTicks < positionBarMs;
}

void PlayerLoop::drawSlideOverlays(SDL_Renderer* renderer) {
    overlays.ticker.drawFrame();
    if (!positionBarShown()) return;
    // A slide that waits for the viewer shows where it stands in the playlist for a moment.
    int width = 0, height = 0;
    if (!SDL_GetCurrentRenderOutputSize(renderer, &width, &height)) return;
    const auto bar = positionBarAt(width, height, static_cast<std::size_t>(std::max(0, shown.index)),
                                   playlist->slideCount(), ticks() - shown.startTicks);
    if (bar) drawPositionBar(renderer, *bar);
}

void PlayerLoop::finishFrame() {
    SDL_Renderer* renderer = display.renderer();
    SDL_SetRenderTarget(renderer, nullptr);
    const bool slideOnScreen = playlist != nullptr && playlist->slideCount() > 0;
    if (slideOnScreen) input->drawMenus();
    overlays.downloadBanner.draw(
        {renderer, display.width(), display.height(), screenRotation(), &display.drawSubmitter()});

    if (cycle.fadeFromBlackOn) {
        const std::uint64_t now = ticks();
        if (!cycle.fadeStartTicks) cycle.fadeStartTicks = now;
        const double p = std::min(1.0, static_cast<double>(now - *cycle.fadeStartTicks) / fadeFromBlackMs);
        const auto alpha = static_cast<Uint8>((1.0 - p) * 255.0);
        SDL_SetRenderDrawBlendMode(renderer, SDL_BLENDMODE_BLEND);
        SDL_SetRenderDrawColor(renderer, 0, 0, 0, alpha);
        SDL_RenderFillRect(renderer, nullptr);
        SDL_SetRenderDrawBlendMode(renderer, SDL_BLENDMODE_NONE);
        if (p >= 1.0) {
            cycle.fadeFromBlackOn = false;
            cycle.fadeStartTicks.reset();
        }
    }

    input->drawPairingPanel(renderer, display.width(), display.height(), screenRotation());
    if (slideOnScreen) input->drawPause(renderer, display.width(), display.height());

    if (seams.beforePresent) seams.beforePresent(display);
    display.present(!display.mirrors().empty());
}

void PlayerLoop::dispatchEvent(const screens::PumpedEvent& event) {
    if (playlist == nullptr || playlist->slideCount() == 0) {
        applyInputOutcome(input->handleWaitingEvent(event));
        return;
    }
    SlideOnScreen slide;
    slide.index = currentSlideIndex.load();
    slide.count = static_cast<int>(playlist->slideCount());
    slide.hasVideo = shown.hasVideo;
    slide.pauseVideos = [this](bool paused) {
        for (LiveLayer& layer : shown.liveLayers) {
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
        shown.nextIndexChosen = true;
        // The group follows the slide the user chose once it is set up.
        group.sync.announceNextChange();
    }
    // A tap pause, and the part of a pairing screen no pause covered, move the slide's end.
    if (shown.duration > 0) {
        shown.endMs = shiftedLater(shiftedLater(shown.endMs, outcome.slideEndShiftMs), outcome.endShiftMs);
    }
    if (outcome.clockShiftMs > 0) {
        // The slide goes on where it stood before the pairing screen.
        shown.startMs = shiftedLater(shown.startMs, outcome.clockShiftMs);
        shown.startTicks += outcome.clockShiftMs;
        if (cycle.fadeStartTicks) *cycle.fadeStartTicks += outcome.clockShiftMs;
    }
    if (outcome.redraw) {
        cycle.eventTakenLastCycle = true;
    } else if (outcome.unseen) {
        // Nothing to draw for it: the next cycle may sleep, and a swipe's queued key ends that
        // sleep at once.
        cycle.eventTakenLastCycle = false;
    }
}

}  // namespace lumetta::player
