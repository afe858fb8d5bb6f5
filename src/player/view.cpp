#include "player/view.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "core/process_state.h"
#include "device/command.h"
#include "display/display.h"
#include "link/outgoing_messages.h"
#include "link/player_events.h"
#include "player/device_report.h"
#include "player/player_loop.h"
#include "screens/splash.h"

namespace lumetta::player {

std::atomic<bool> viewRunning{false};
std::atomic<int> currentSlideIndex{0};

screens::SplashPairing linkSplashPairing() {
    return screens::SplashPairing{bindCode(), bindQrCode(), bindUrl(), isBindComplete()};
}

std::unique_ptr<StartupScreen> showSplash(const SplashRequest& request) {
    class Shown final : public StartupScreen {
    public:
        Shown(const SplashRequest& request, screens::SplashSeams seams)
            : splash_(request.dataDirectory, request.display,
                      request.serialNumber.empty() ? request.deviceId : request.serialNumber, "", request.macAddress,
                      request.initialPlaylistReady, std::move(seams)) {}
        void fadeFrame(int milliseconds) override {
            splash_.fadeFrame(static_cast<std::uint64_t>(std::max(0, milliseconds)));
        }

    private:
        screens::Splash splash_;
    };
    screens::SplashSeams seams;
    if (request.running != nullptr) seams.running = request.running;
    seams.pairing = linkSplashPairing;
    return std::make_unique<Shown>(request, std::move(seams));
}

std::unique_ptr<StartupScreen> waitWithoutSplash(const SplashRequest& request) {
    std::atomic<bool> unused{true};
    screens::EventPump events(request.running != nullptr ? *request.running : unused, std::cout);
    while ((request.initialPlaylistReady == nullptr || !request.initialPlaylistReady->load()) &&
           (request.running == nullptr || request.running->load())) {
        events.wait(idleEventWaitMs);
    }
    return nullptr;
}

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
                          seams.wireless, outgoingMessageQueue());
    }
    // 9: the first playlist becomes current; the texts of its first slides are asked for.
    playlist = std::move(startUp.playlist);
    precacheSlideTexts(*playlist, 0, sequence.preparedSlides, seams.prepareText);
    // 10: the playlist start-up just took must not be switched to again.
    screens::EventPump::dropWaiting(playlistReadyEvent);
    // 11: the menus for the current playlist.
    input->rebuildMenus(playlist.get());
    // 12: the first playlist's downloads finish before anything is drawn.
    waitForFirstPlaylistDownloads();
    // 13-17: group identity, preloader, clocks, slide targets.
    group.sync.start();
    prepareFirstPass();
    // The first slide is the group's when the join hears of it, or this player's as leader.
    const GroupJoinResult joined = group.sync.join(playlist->slideCount());
    currentSlideIndex = joined.index;
    group.startMs = joined.start;

    while (running.load()) runSlidePass();

    shutdown();
    return 0;
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
