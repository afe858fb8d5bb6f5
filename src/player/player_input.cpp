#include "player/player_input.h"

#include <exception>
#include <stdexcept>
#include <utility>

#include "content/playlist.h"
#include "core/log.h"
#include "core/palette.h"
#include "core/process_state.h"
#include "display/display.h"
#include "link/outgoing_messages.h"
#include "link/player_events.h"
#include "link/server_link_state.h"

namespace lumetta::player {

namespace {

// The menus' place on the first slide, their row heights and family.
constexpr int menuInset = 40;
constexpr const char* menuFontFamily = "Lato";

}  // namespace

const std::vector<std::uint32_t> loopWakeUps{playlistReadyEvent, standbyChangedEvent};

PlayerInput::PlayerInput(Display* display, InputSeams seams)
    : display_(display),
      seams_(std::move(seams)),
      events_(*seams_.running, *seams_.out, seams_.waitEvent, seams_.pollEvent, loopWakeUps),
      pause_(*seams_.clock, seams_.fontsDirectory),
      pairing_(seams_.pairing, *seams_.clock, seams_.fontsDirectory) {
    if (!seams_.playlists) {
        seams_.playlists = [] {
            std::vector<screens::PlaylistChoice> choices;
            for (AvailablePlaylist& offered : availablePlaylists()) {
                choices.push_back(screens::PlaylistChoice{std::move(offered.name), std::move(offered.id)});
            }
            return choices;
        };
    }
    if (!seams_.sendPlaylistUpdate) seams_.sendPlaylistUpdate = [](const std::string& id) { return sendPlaylistUpdate(id); };
    if (!seams_.chooseMode && display_ != nullptr) {
        seams_.chooseMode = [actions = screens::modeChoiceActions(*display_, configBaseDirectory, seams_.reboot)](
                                const DisplayMode& mode) { screens::applyChosenMode(mode, actions); };
    }
    if (!seams_.requestScreenshot && display_ != nullptr) {
        seams_.requestScreenshot = [display = display_](const std::string& directory) {
            display->requestScreenshot(directory);
        };
    }
    if (seams_.screenshotDirectory.empty()) {
        seams_.screenshotDirectory = configBaseDirectory + "/" + sharedDefaults().programDirectoryName;
    }
}

PlayerInput::~PlayerInput() = default;

void PlayerInput::rebuildMenus(const Playlist* playlist) {
    int width = 0, height = 0;
    bool found = false;
    std::string missing;
    try {
        if (playlist == nullptr) throw std::out_of_range("no playlist");
        const Slide& first = playlist->slideAt(0);
        width = first.width;
        height = first.height;
        found = true;
    } catch (const std::exception& error) {
        missing = error.what();
    }
    if (found) {
        rebuildMenus(width, height);
        return;
    }
    // Without a first slide neither menu can be placed: both are absent until the next rebuild.
    playlistMenu_.reset();
    resolutionMenu_.reset();
    logText(*seams_.errors, std::string(ansi::BOLD_RED) + "Playlist menu exception: " + missing +
                                std::string(ansi::RESET));
    logText(*seams_.errors, "Resolution menu exception: " + missing);
}

void PlayerInput::rebuildMenus(int slideWidth, int slideHeight) {
    const int width = slideWidth - 2 * menuInset;
    const int height = slideHeight - 2 * menuInset;
    playlistMenu_.reset();
    try {
        playlistMenu_ = std::make_unique<screens::PlaylistMenu>(display_, slideWidth, slideHeight, menuInset,
                                                                menuInset, width, height,
                                                                screens::PlaylistMenu::defaultRowHeight,
                                                                menuFontFamily, seams_.playlists, *seams_.clock);
    } catch (const std::exception& error) {
        logText(*seams_.errors, std::string(ansi::BOLD_RED) + "Playlist menu exception: " + error.what() +
                                    std::string(ansi::RESET));
    }
    resolutionMenu_.reset();
    try {
        resolutionMenu_ = std::make_unique<screens::ResolutionMenu>(display_, slideWidth, slideHeight, menuInset,
                                                                    menuInset, width, height,
                                                                    screens::ResolutionMenu::defaultRowHeight,
                                                                    menuFontFamily, seams_.modes, *seams_.clock);
    } catch (const std::exception& error) {
        logText(*seams_.errors, std::string("Resolution menu exception: ") + error.what());
    }
}

bool PlayerInput::routeToMenus(const SDL_Event& event) {
    screens::ResolutionMenu* resolution = resolutionMenu_.get();
    screens::PlaylistMenu* playlists = playlistMenu_.get();
    // The resolution menu first while it is open or no playlist menu is open; so 'r' opens it
    // only while the playlist menu is closed.
    if (resolution != nullptr && (resolution->isOpen() || playlists == nullptr || !playlists->isOpen())) {
        if (resolution->takeEvent(event) == screens::ScreenAnswer::taken) {
            const std::optional<DisplayMode> chosen = resolution->result();
            if (chosen && !chosen->current && seams_.chooseMode) seams_.chooseMode(*chosen);
            return true;
        }
    }
    if (playlists != nullptr && (resolution == nullptr || !resolution->isOpen())) {
        if (playlists->takeEvent(event) == screens::ScreenAnswer::taken) {
            // Only asks the service; the switch itself comes back later as a playlist update.
            if (const std::optional<screens::PlaylistChoice> chosen = playlists->result()) {
                if (!seams_.sendPlaylistUpdate || !seams_.sendPlaylistUpdate(chosen->id)) {
                    logText(*seams_.errors, "[PLAYLIST] Failed to send playlist update");
                }
            }
            return true;
        }
    }
    return false;
}

InputOutcome PlayerInput::handleSlideEvent(const screens::PumpedEvent& pumped, const SlideOnScreen& slide) {
    InputOutcome outcome;
    const SDL_Event& event = pumped.event;
    // A quit or a display removal: the pump has logged it and stopped the player.
    if (pumped.stopsPlayer) {
        outcome.endSlide = outcome.stopPlayer = true;
        return outcome;
    }
    switch (event.type) {
        case SDL_EVENT_DISPLAY_ADDED:
            logText(*seams_.out, displayAddedLine(event.display.displayID));
            break;
        case SDL_EVENT_KEY_DOWN:
            if (routeToMenus(event)) {
                outcome.redraw = true;
                break;
            }
            outcome = globalKey(globalKeyAction(event.key.key, event.key.repeat, events_.ctrlHeld()), &slide);
            break;
        case SDL_EVENT_FINGER_DOWN:
        case SDL_EVENT_FINGER_UP:
            touch(event, slide, outcome);
            break;
        default:
            if (event.type == playlistReadyEvent) {
                outcome.endSlide = true;  // the next slide pass takes the update
            } else if (event.type == standbyChangedEvent && seams_.standby->load()) {
                outcome.endSlide = true;  // the loop then waits out the standby
            }
            // A group wake-up (0x8002) only ended the wait; everything else (a Ctrl key-up the
            // pump took note of among it) is of no concern.
            break;
    }
    return outcome;
}

InputOutcome PlayerInput::handleWaitingEvent(const screens::PumpedEvent& pumped) {
    InputOutcome outcome;
    if (pumped.stopsPlayer) {
        outcome.endSlide = outcome.stopPlayer = true;
    } else if (pumped.event.type == SDL_EVENT_KEY_DOWN) {
        const SDL_KeyboardEvent& key = pumped.event.key;
        outcome = globalKey(waitingKeyAction(key.key, key.repeat, events_.ctrlHeld()), nullptr);
    }
    return outcome;
}

InputOutcome PlayerInput::globalKey(KeyAction action, const SlideOnScreen* slide) {
    InputOutcome outcome;
    switch (action) {
        case KeyAction::none: break;
        case KeyAction::ctrlDown: events_.holdCtrl(); break;
        case KeyAction::quit: outcome.endSlide = outcome.stopPlayer = true; break;
        case KeyAction::screenshot: requestScreenshot(); break;
        case KeyAction::wifiSetup:
            if (!seams_.wifiSetup) {
                logText(*seams_.errors, "[PLAYER] Wi-Fi set-up is not available yet");
            } else if (slide != nullptr) {
                // The slide ends first; the set-up runs after its cycle (afterCycle).
                wifiRequested_ = true;
                outcome.endSlide = true;
            } else {
                seams_.wifiSetup();
            }
            break;
        case KeyAction::pairing: {
            if (slide == nullptr) {
                runPairing(outcome);
                break;
            }
            const std::uint64_t t0 = now();
            if (slide->pauseVideos) slide->pauseVideos(true);
            const bool ran = runPairing(outcome);
            if (slide->pauseVideos) slide->pauseVideos(false);
            if (ran) {
                // The slide goes on where it stood: its clocks move by the time the screen held it.
                const std::uint64_t t1 = now();
                outcome.clockShiftMs = t1 > t0 ? t1 - t0 : 0;
                outcome.endShiftMs = pairingEndShift(t0, t1, pause_.state().pauseEnd);
                outcome.redraw = true;
            }
            break;
        }
        default:
            if (slide != nullptr) {
                if (const std::optional<int> target = navigationTarget(action, slide->index, slide->count)) {
                    outcome.nextIndex = target;
                    outcome.endSlide = true;
                }
            }
            break;
    }
    return outcome;
}

void PlayerInput::touch(const SDL_Event& event, const SlideOnScreen& slide, InputOutcome& outcome) {
    const SDL_TouchFingerEvent& finger = event.tfinger;
    // Only a tap changes what is shown; the rest tracks the finger or queues a key.
    outcome.unseen = true;
    if (event.type == SDL_EVENT_FINGER_DOWN) {
        touch_.fingerDown(finger.fingerID, finger.x, finger.y);
        return;
    }
    const std::optional<TouchGesture> gesture = touch_.fingerUp(finger.fingerID, finger.x, finger.y);
    if (!gesture) return;
    if (!gesture->tap) {
        // Comes back as a key, so a swipe also moves through an open menu.
        queueTouchNavigation(gesture->key, seams_.push, *seams_.errors);
        return;
    }
    // A video cannot be held, so a tap on a video slide does nothing.
    if (slide.hasVideo) return;
    outcome.unseen = false;
    const TapPause pause = tapPause(pause_.state().pauseEnd, now());
    pause_.state().pauseEnd = pause.pauseEnd;
    outcome.slideEndShiftMs = pause.slideEndShift;
    outcome.redraw = true;
}

bool PlayerInput::runPairing(InputOutcome& outcome) {
    if (seams_.pairing == nullptr) return false;
    // A pairing already under way only posts its notice; the screen shows it either way.
    seams_.pairing->start();
    if (display_ == nullptr) return true;
    // The screen takes every event through the loop's pump; the keys held before it are
    // forgotten when it ends.
    if (screens::runPairingScreen(pairing_.state(), *seams_.pairing, *display_, events_, *seams_.clock) ==
        screens::PairingScreenEnd::quit) {
        outcome.endSlide = outcome.stopPlayer = true;
    }
    return true;
}

void PlayerInput::requestScreenshot() {
    if (seams_.requestScreenshot) seams_.requestScreenshot(seams_.screenshotDirectory);
}

bool PlayerInput::tickMenus() {
    bool changed = false;
    if (playlistMenu_) {
        const bool wasOpen = playlistMenu_->isOpen();
        changed = playlistMenu_->tickCountdown() || playlistMenu_->isOpen() != wasOpen || changed;
    }
    if (resolutionMenu_) {
        const bool wasOpen = resolutionMenu_->isOpen();
        changed = resolutionMenu_->tickCountdown() || resolutionMenu_->isOpen() != wasOpen || changed;
    }
    return changed;
}

bool PlayerInput::updatePairingPanel() { return pairing_.update(); }

bool PlayerInput::pauseSecondsChanged() {
    screens::PauseOverlayState& pause = pause_.state();
    const int seconds = screens::pauseSecondsRemaining(pause.pauseEnd, now());
    if (seconds == pause.secondsShown) return false;
    pause.secondsShown = seconds;
    return true;
}

bool PlayerInput::paused() const { return now() < pause_.state().pauseEnd; }

void PlayerInput::drawMenus() {
    // The menus draw on the display's renderer and its current target.
    const screens::ScreenOutput output;
    if (playlistMenu_) playlistMenu_->draw(output);
    if (resolutionMenu_) resolutionMenu_->draw(output);
}

void PlayerInput::drawPairingPanel(SDL_Renderer* renderer, int width, int height, int rotation) {
    pairing_.draw({renderer, width, height, rotation,
                   display_ != nullptr ? &display_->drawSubmitter() : &sdlDrawSubmitter()});
}

void PlayerInput::drawPause(SDL_Renderer* renderer, int width, int height) {
    pause_.draw({renderer, width, height, 0, &sdlDrawSubmitter()});
}

AfterCycleOutcome PlayerInput::afterCycle(const std::function<void()>& destroyLayers) {
    AfterCycleOutcome outcome;
    std::atomic<bool>& running = *seams_.running;
    std::atomic<bool>& standby = *seams_.standby;
    if (standby.load() && running.load()) {
        // Dropping the layers stops the slide's videos; nothing is drawn until the television wakes.
        if (destroyLayers) destroyLayers();
        if (!waitOutStandby(standby, events_)) {
            wifiRequested_ = false;
            return outcome;
        }
        outcome.restartSlide = true;
    }
    if (wifiRequested_) {
        wifiRequested_ = false;
        if (running.load() && !standby.load() && seams_.wifiSetup) {
            if (destroyLayers) destroyLayers();
            seams_.wifiSetup();
            outcome.restartSlide = true;
            outcome.fadeFromBlack = true;
        }
    }
    return outcome;
}

}  // namespace lumetta::player
