// The loop's shutdown: every thread it started stopped and joined, every object of the run let
// go, the standby marker removed and the watchdog switched off.

#include "link/player_events.h"
#include "player/player_loop.h"

namespace lumetta::player {

void PlayerLoop::destroyLiveLayers() { destroyLayers(shown.liveLayers); }

void PlayerLoop::shutdown() {
    if (shutDown) return;
    shutDown = true;
    viewRunning = false;
    // A start-up cut short by an exception may leave the first playlist's thread running.
    // Its waits end once the player stops, which it is doing.
    if (startUp.playlistThread.joinable()) {
        running = false;
        startUp.playlistThread.join();
    }
    destroyLiveLayers();
    if (cecThread.joinable()) {
        cecThread.request_stop();
        cecThread.join();
    }
    DisplayStandbyFile(seams.standbyFile).remove();
    screens::EventPump::dropWaiting(playlistReadyEvent);
    input.reset();
    // A pairing under way is stopped; its children are ended and its thread joined.
    pairing.reset();
    overlays.noSlidesPicture.reset();
    // The preloader's decode in progress ends; what it still had queued is dropped.
    if (sequence.preloader != nullptr) {
        sequence.preloader->stop();
        sequence.preloader.reset();
    }
    shown.scene.reset();
    shown.sceneKey.clear();
    overlays.ticker.update({});
    overlays.downloadTarget.reset();
    overlays.compositionTarget.reset();
    transition.previousTarget.reset();
    transition.currentTarget.reset();
    if (watchdogGuard != nullptr) {
        watchdogGuard->stop();
        watchdogGuard.reset();
    }
    startUp.splash.reset();
    startUp.failure = nullptr;
    sequence.releasedPlaylists.clear();
    startUp.pendingOverride.reset();
    startUp.playlist.reset();
    playlist.reset();
}

}  // namespace lumetta::player
