#pragma once
// The player loop: from the moment the program entry hands over until the player stops, it
// shows the start-up splash, takes the first playlist, and then plays the current playlist
// slide by slide on the main thread.
//
// Nothing outside calls into the loop while it runs: other threads store their result under
// their own lock and push an SDL user event (link/player_events.h), and the loop reads their
// state on its own schedule.
//
// `view` runs on the machine's own boundaries; tests hand in `ViewSeams` (a manual clock, a
// scripted event wait, a frame observer that reads pixels back, a scripted watchdog driver).

#include <SDL3/SDL.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <iostream>
#include <memory>
#include <ostream>
#include <stop_token>
#include <string>

#include "content/download_queue.h"
#include "content/playlist_loading.h"
#include "core/clock.h"
#include "link/server_link_state.h"
#include "objects/video/runtime/video.h"
#include "player/device_report.h"
#include "player/group_sync.h"
#include "player/hardware_watchdog.h"
#include "player/player_input.h"
#include "player/remote_control.h"
#include "player/slide_precache.h"

namespace lumetta {
class Command;
class Display;
}  // namespace lumetta

namespace lumetta::screens {
struct SplashPairing;
}

namespace lumetta::player {

// The start-up splash as the loop holds it: shown by its factory (which returns only when the
// splash is over), faded out once just before the first slide frame is presented, then dropped.
class StartupScreen {
public:
    virtual ~StartupScreen() = default;
    // Fades the splash's last frame to black over `milliseconds`.
    virtual void fadeFrame(int milliseconds) = 0;
};

// What the splash is shown with.
struct SplashRequest {
    std::string dataDirectory;
    Display* display = nullptr;
    std::string deviceId;
    std::string serialNumber;  // empty: the splash reads it itself
    std::string macAddress;
    // Set once the first playlist load has finished; the splash may end only then.
    const std::atomic<bool>* initialPlaylistReady = nullptr;
    std::atomic<bool>* running = nullptr;
};
using SplashFactory = std::function<std::unique_ptr<StartupScreen>(const SplashRequest&)>;

// The start-up splash (screens/splash.h) with the device identity as its serial number, no
// Ethernet MAC text, the request's MAC text as the Wi-Fi one, and the pairing the service
// offered over the server link (`linkSplashPairing`).
std::unique_ptr<StartupScreen> showSplash(const SplashRequest& request);

// The server link's bind code, its QR picture, address and completion, as the splash shows them.
screens::SplashPairing linkSplashPairing();

// Nothing is drawn; the events are read through an event pump of its own (a quit or a display
// removal stops the player) until the first playlist load has finished or the player stops.
// For tests that leave the splash out.
std::unique_ptr<StartupScreen> waitWithoutSplash(const SplashRequest& request);

// The loop's boundaries. The defaults are the running player's.
struct ViewSeams {
    // Wall-clock time for slide timing, SDL's tick scale (ticksMs) for animations and fades.
    Clock* clock = &systemClock();
    // The sources of the loop's event pump (the input's, which the pairing screen and the
    // standby wait share). Waits at most `timeoutMs` for one event (SDL_WaitEventTimeout); true
    // when one was taken.
    std::function<bool(SDL_Event& event, int timeoutMs)> waitEvent;
    // Takes one event without waiting (SDL_PollEvent).
    std::function<bool(SDL_Event& event)> pollEvent;
    // A short pause of the frame cycle (SDL_Delay).
    std::function<void(int milliseconds)> delay;
    // Called with the finished frame on the screen target just before each Display::present.
    std::function<void(Display& display)> beforePresent;
    SplashFactory splash = showSplash;
    // The remote-control listener, run on the loop's CEC thread until its stop is requested
    // (empty: no CEC thread at all).
    CecListener cecListener = deviceCecListener();
    // Keys, touch, menus, pairing and Wi-Fi set-up (its clock, event wait, running flag and
    // streams are the loop's own).
    InputSeams input;

    WatchdogIo* watchdogIo = &systemWatchdogIo();
    Clock* watchdogClock = &systemClock();
    // 0: the watchdog's own keep-alive interval.
    std::int64_t watchdogIntervalMs = 0;

    ServerLinkState* link = &serverLinkState;
    ThreadSafeQueue* queue = &downloadQueue;
    std::atomic<bool>* running = &playerRunning;
    // How the stored playlist is loaded at start-up (its `running` is replaced by `running`).
    PlaylistLoadOptions load;
    // Records a playlist as played (played-playlists.tsv).
    std::function<bool(const std::string& account, const std::string& branch, const std::string& name)>
        recordPlayed;
    // What the device report says of the Wi-Fi link (empty `connectedSsid`: wpa_supplicant's
    // association, `connectedSsid`).
    WirelessStatus wireless;
    // The marker the CEC power callback keeps while the television is in standby.
    std::string standbyFile = DisplayStandbyFile::defaultPath;

    // Asks for the background preparation of a slide text (prepareTextAsync when empty).
    PrepareText prepareText;
    // Group slide sync. Its clock, stop flag and error stream are always the loop's; without an
    // identity reader the group is read from the loop's data directory and device identity.
    GroupSyncOptions groupSync;

    // What every video of a slide is built with (its own clock, sound and hand-over hooks).
    VideoSeams video;

    std::ostream* out = &std::cout;
    std::ostream* errors = &std::cerr;
};

// The player loop. `display` is borrowed for the whole run; `webSocketThread` is only tested
// for null (null: no device report, no slide-change reports). Returns 0 on every orderly path;
// an exception that leaves it (the first playlist's thread failed in an unforeseen way, the
// slide targets cannot be made) has already stopped and joined everything the loop started.
int view(std::string configBaseDirectory, Display* display, std::string deviceId, bool watchdog,
         SDL_Thread* webSocketThread, Command* command);
int view(std::string configBaseDirectory, Display* display, std::string deviceId, bool watchdog,
         SDL_Thread* webSocketThread, Command* command, const ViewSeams& seams);

}  // namespace lumetta::player

namespace lumetta {
using player::view;
}
