// The loop's start-up: its construction from the seams, the first playlist while the splash
// shows, the watchdog, the CEC thread, the wait for the first playlist's downloads and the
// first pass's set-up.

#include <algorithm>
#include <utility>

#include "content/played_playlists.h"
#include "core/log.h"
#include "core/palette.h"
#include "core/process_state.h"
#include "core/shared_defaults.h"
#include "device/command.h"
#include "display/display.h"
#include "player/player_loop.h"
#include "player/remote_pairing.h"
#include "player/slide_targets.h"
#include "wifi/wpa_control.h"

namespace lumetta::player {

namespace {

constexpr const char* emptyPlaylistName = "0 Empty Playlist";

bool isEmptyPlaylist(const Playlist& playlist) {
    return playlist.name() == emptyPlaylistName || playlist.slideCount() == 0;
}

ViewSeams withDefaults(ViewSeams seams) {
    if (!seams.waitEvent) seams.waitEvent = screens::sdlEventWaiter();
    if (!seams.pollEvent) seams.pollEvent = screens::sdlEventPoller();
    if (!seams.delay) seams.delay = [](int milliseconds) { SDL_Delay(static_cast<Uint32>(std::max(0, milliseconds))); };
    if (!seams.splash) seams.splash = showSplash;
    if (!seams.recordPlayed) seams.recordPlayed = recordPlayedPlaylist;
    if (!seams.wireless.connectedSsid) seams.wireless.connectedSsid = [] { return lumetta::connectedSsid(); };
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
    // The input side, and with it the event pump, runs on the loop's own clock, event sources,
    // flag and streams.
    seams.input.clock = seams.clock;
    seams.input.waitEvent = seams.waitEvent;
    seams.input.pollEvent = seams.pollEvent;
    seams.input.running = seams.running;
    seams.input.out = seams.out;
    seams.input.errors = seams.errors;
    if (!seams.input.playlists) {
        seams.input.playlists = [link = seams.link] {
            std::vector<screens::PlaylistChoice> choices;
            for (AvailablePlaylist& offered : availablePlaylists(*link)) {
                choices.push_back(screens::PlaylistChoice{std::move(offered.name), std::move(offered.id)});
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

}  // namespace

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
      pulse(*seams.watchdogClock),
      overlays(display, *seams.clock),
      group(groupSyncOptions(seams, dataDirectory, deviceId)),
      reporter(webSocketThread != nullptr,
               [this] { return command != nullptr ? command->uptimeText() : std::string(); }) {
    InputSeams inputSeams = seams.input;
    // Every wait for events, the standby wait's and the pairing screen's too, is a turn of the loop.
    inputSeams.waitEvent = [this, wait = inputSeams.waitEvent](SDL_Event& event, int timeoutMs) {
        const bool taken = wait(event, timeoutMs);
        pulse.beat();
        return taken;
    };
    inputSeams.pollEvent = [this, poll = inputSeams.pollEvent](SDL_Event& event) {
        pulse.beat();
        return poll(event);
    };
    if (!inputSeams.reboot && command != nullptr) inputSeams.reboot = [this] { command->reboot(); };
    // What the keys store (a chosen display mode, screenshots) goes under the loop's own base
    // directory.
    if (inputSeams.screenshotDirectory.empty()) {
        inputSeams.screenshotDirectory = dataDirectory + "/" + sharedDefaults().programDirectoryName;
    }
    if (!inputSeams.chooseMode) {
        inputSeams.chooseMode = [actions = screens::modeChoiceActions(display, dataDirectory, inputSeams.reboot)](
                                    const DisplayMode& mode) { screens::applyChosenMode(mode, actions); };
    }
    if (inputSeams.pairing == nullptr) {
        pairing = std::make_unique<BluetoothRemotePairing>();
        inputSeams.pairing = pairing.get();
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

int PlayerLoop::screenRotation() const { return displayRotation.load(); }

void PlayerLoop::initialPlaylistThreadBody() {
    try {
        std::unique_ptr<Playlist> built;
        try {
            built = std::make_unique<Playlist>(dataDirectory, deviceId, true, std::string(), seams.load);
        } catch (const std::exception& error) {
            // A load that the stop cut short is no failure: the player is on its way out.
            if (!running.load()) {
                startUp.playlistReady = true;
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
                    startUp.pendingOverride = std::move(update);
                } else {
                    built = std::move(update.playlist);
                }
                startUp.playlist = std::move(built);
                break;
            }
        } else {
            startUp.playlist = std::move(built);
        }
    } catch (...) {
        startUp.failure = std::current_exception();
    }
    startUp.playlistReady = true;
}

bool PlayerLoop::takeInitialPlaylist() {
    startUp.playlistThread = std::jthread([this] { initialPlaylistThreadBody(); });

    SplashRequest request;
    request.dataDirectory = dataDirectory;
    request.display = &display;
    request.deviceId = deviceId;
    request.macAddress = command != nullptr ? command->macAddressText() : std::string();
    request.initialPlaylistReady = &startUp.playlistReady;
    request.running = &running;
    startUp.splash = seams.splash(request);

    startUp.playlistThread.join();
    if (startUp.failure) std::rethrow_exception(std::exchange(startUp.failure, nullptr));
    return running.load() && startUp.playlist != nullptr;
}

void PlayerLoop::startWatchdog() {
    if (!watchdogRequested) return;
    auto watchdog = std::make_unique<HardwareWatchdog>(*seams.watchdogIo, *seams.errors);
    if (!watchdog->isOpen()) {
        logLine(*seams.errors, ansi::BOLD_RED, "[WATCHDOG]", " Hardware watchdog requested but unavailable");
        watchdog->stop();
        return;
    }
    pulse.beat();
    watchdogGuard = std::make_unique<WatchdogTimerGuard>(std::move(watchdog), *seams.watchdogClock, &pulse);
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

void PlayerLoop::waitForFirstPlaylistDownloads() {
    // Only the first playlist's own media are waited for (at start-up it has waited for them
    // already); downloads of a playlist still on its way must not keep the splash's last frame
    // up. Nothing is drawn meanwhile. A stop, or a quit that waits in the queue, ends the wait:
    // the first pass then sees it.
    while (running.load() && !screens::EventPump::quitWaiting()) {
        pulse.beat();
        if (playlist->waitForDownloads(50)) return;
    }
}

void PlayerLoop::prepareFirstPass() {
    transition.currentTarget = createSlideTarget(display);
    transition.previousTarget = createSlideTarget(display);
    currentSlideIndex = 0;
    shown.chainedStartMs.reset();
    cycle.fadeFromBlackOn = true;
    cycle.fadeStartTicks.reset();
    // 14: the next slide's pictures are decoded ahead from the first slide on.
    sequence.preloader = std::make_unique<SlideImagePreloader>();
    // 17: the random transitions start their sequence afresh.
    transition.picker = TransitionPicker();
}

}  // namespace lumetta::player
