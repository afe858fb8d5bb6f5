// The program's start and end; the pieces live in core/program_entry.h.
#include <SDL3/SDL_error.h>
#include <SDL3/SDL_thread.h>

#include <iostream>
#include <memory>
#include <optional>

#include "content/content_mesh.h"
#include "content/download_queue.h"
#include "content/download_worker.h"
#include "content/image_processing.h"
#include "core/clock.h"
#include "core/log.h"
#include "core/palette.h"
#include "core/process_state.h"
#include "core/program_entry.h"
#include "device/command.h"
#include "core/shared_defaults.h"
#include "display/display.h"
#include "link/server_link.h"
#include "link/slide_sync_listener.h"
#include "package/local_package.h"
#include "player/view.h"

namespace lumetta {
// The one device-services object, built before main runs; its destructor stops the telemetry thread.
Command command;
}  // namespace lumetta

int main(int argc, char** argv) {
    using namespace lumetta;
    LaunchOptions options;
    if (const std::optional<int> status = handleCommandLine(argc, argv, options, std::cout)) return *status;
    if (options.action == LaunchAction::LocalPackage) return runLocalPlaylistPackage(argc, argv);

    loadStartupSettings("/home", std::cerr);
    deviceId = deriveDeviceId(command.serialNumber());
    command.startTelemetry();

    // Without a video device yet (the kernel may still be bringing one up) wait for it indefinitely.
    std::unique_ptr<Display> display;
    const std::optional<DisplayMode> requestedMode = requestedDisplayMode(options, configBaseDirectory);
    retryUntilDisplayUp(
        [&] {
            display = std::make_unique<Display>(options.videoDriver, sharedDefaults().productLabel, options.x, options.y,
                                                options.width, options.height, options.mirror, requestedMode);
        },
        [] { systemClock().sleepFor(1000); }, std::cout, std::cerr);

    // The link to the management service runs on an SDL thread of its own from now until the
    // player stops; its argument is the device identity's text.
    SDL_Thread* webSocketThread = SDL_CreateThread(
        [](void* data) { return webSocket(data, command); }, "websocket", deviceId.data());
    if (webSocketThread == nullptr) {
        logText(std::cerr, std::string("[WEBSOCKET] Failed to create thread: ") + SDL_GetError());
        display.reset();
        return 1;
    }

    // The LAN content mesh is up (or known to be off) before any worker asks it for a peer.
    startContentMesh(configBaseDirectory, deviceId);

    // The group's slide-sync packets are heard from now until the player stops.
    std::jthread slideSyncListener([] { runSlideSyncListener(slideSyncPort); });

    // Two workers fetch the media that playlists queue; each asks the mesh before the origin.
    std::jthread firstDownloadWorker([] { downloadWorker(downloadQueue); });
    std::jthread secondDownloadWorker([] { downloadWorker(downloadQueue); });

    // Downloaded pictures are reduced and decoded on this one thread before their downloads
    // count as done.
    std::jthread imageWorker([] { imageProcessingWorker(downloadQueue); });

    // The player loop runs on this thread until the player stops. Whatever escapes it ends the run
    // with status 1, after the same orderly stop.
    int status = 1;
    try {
        status = view(configBaseDirectory, display.get(), deviceId, options.watchdog, webSocketThread, &command);
    } catch (const std::exception& error) {
        logText(std::cerr, std::string("[PLAYER] Player loop failed: ") + error.what());
    } catch (...) {
        logText(std::cerr, "[PLAYER] Player loop failed: unknown error");
    }

    // Stop in order: the mesh first (a copy from a peer in flight gives up), then the queue (a
    // download in flight is aborted; the download workers drain what is queued), then the image
    // worker finishes the pictures they handed it.
    stopContentMesh();
    downloadQueue.stop();
    firstDownloadWorker.join();
    secondDownloadWorker.join();
    stopImageProcessing();
    imageWorker.join();
    playerRunning = false;
    slideSyncListener.join();
    SDL_WaitThread(webSocketThread, nullptr);
    display.reset();
    if (factoryResetRequested) factoryReset(configBaseDirectory, [] { command.reboot(); }, std::cout, std::cerr);
    return status;
}
