// The server link's own costs: a playlist request until the player loop's wake-up event for a
// playlist whose media are already on disk, the same for an override that comes while a
// playlist waits for its activation time, and the outgoing queue at its bounds.

#include <benchmark/benchmark.h>
#include <json/json.h>
#include <openssl/evp.h>

#include <SDL3/SDL.h>

#include <cstdlib>
#include <memory>
#include <sstream>
#include <stop_token>
#include <string>
#include <thread>

#include "content/download_queue.h"
#include "link/outgoing_messages.h"
#include "link/player_events.h"
#include "link/playlist_job.h"
#include "support/download_worker_stand_in.h"
#include "support/https_server.h"
#include "support/temp_dir.h"

namespace {

using namespace lumetta;
using lumetta::testing::ScopedEnvironmentVariable;
using lumetta::testing::ScriptedResponse;
using lumetta::testing::StandInDownloadWorkers;
using lumetta::testing::TempDir;
using lumetta::testing::TestHttpsServer;

std::string sha1Hex(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha1(), nullptr);
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        static const char* hex = "0123456789abcdef";
        text.push_back(hex[digest[i] >> 4]);
        text.push_back(hex[digest[i] & 15]);
    }
    return text;
}

// One device with its service, download workers and playlist job, and a playlist of `media`
// video files of `mediumBytes` each.
class PlaylistService {
public:
    PlaylistService(int media, std::size_t mediumBytes) {
        Json::Value document;
        document["account"] = "acme";
        document["branch"] = "main";
        document["playlist"] = "Bench";
        for (int i = 0; i < media; ++i) {
            std::string bytes(mediumBytes, static_cast<char>('a' + i % 26));
            bytes += std::to_string(i);
            const std::string file = "medium" + std::to_string(i) + ".mp4";
            Json::Value slide;
            slide["id"] = "s" + std::to_string(i);
            slide["width"] = 1920;
            slide["height"] = 1080;
            slide["duration"] = 10;
            Json::Value layer;
            layer["x"] = 0;
            layer["y"] = 0;
            layer["width"] = 1920;
            layer["height"] = 1080;
            layer["video"]["file"] = file;
            layer["video"]["sha1"] = sha1Hex(bytes);
            slide["layers"].append(layer);
            document["slides"].append(slide);
            server.respond("/videos/" + file, {.body = bytes});
        }
        std::ostringstream text;
        text << document;
        server.respond("/devices/BENCH/playlist/json?playlistId=B1", {.body = text.str()});

        options.state = &state;
        options.mailbox = &mailbox;
        options.baseDirectory = config.str();
        options.deviceId = "BENCH";
        options.load.queue = &queue;
        options.load.serviceHost = server.hostPort();
        options.load.internetAccess = [] { return true; };
        job = std::jthread([this](std::stop_token stop) { playlistDownloadJob(stop, options); });
    }

    // Queues the request as the "playlist" handler does and waits for the wake-up event;
    // false when none came within 30 seconds.
    bool requestAndWait() {
        {
            const auto lock = lockWebSocketState();
            state.pendingPlaylistRequest = {"Bench", "digest", 0};
            state.requestedPlaylistName = "Bench";
        }
        mailbox.queue({"Bench", "digest", "B1", 0, false, 0, 0});
        SDL_Event event;
        while (SDL_WaitEventTimeout(&event, 30'000)) {
            if (event.type == playlistReadyEvent) return true;
        }
        return false;
    }

    // Queues a playlist as the "playlist" handler does, to be activated an hour from now: the
    // job downloads it and keeps it aside until then.
    void schedule() {
        const std::int64_t inAnHour = systemClock().systemMs() + 3'600'000;
        {
            const auto lock = lockWebSocketState();
            state.pendingPlaylistRequest = {"Later", "digest", inAnHour};
            state.requestedPlaylistName = "Later";
        }
        mailbox.queue({"Later", "digest", "B1", inAnHour, false, 0, 0});
    }

    // Queues an override by id as the "emergency" handler does and waits for the wake-up
    // event; false when none came within 30 seconds.
    bool overrideAndWait() {
        {
            const auto lock = lockWebSocketState();
            state.requestedPlaylistName = "Alert";
        }
        mailbox.queue({"Alert", "digest", "B1", 0, true, systemClock().systemMs() + 3'600'000, 0});
        SDL_Event event;
        while (SDL_WaitEventTimeout(&event, 30'000)) {
            if (event.type == playlistReadyEvent) return true;
        }
        return false;
    }

    PlaylistUpdate take() { return takePlaylistUpdate(state); }

private:
    TestHttpsServer server;
    ScopedEnvironmentVariable trust{"SSL_CERT_FILE", server.caFile().string()};
    TempDir config;
    ThreadSafeQueue queue;
    StandInDownloadWorkers workers{queue};
    ServerLinkState state;
    PlaylistJobMailbox mailbox;
    PlaylistJobOptions options;
    std::jthread job;
};

// Request queued until 0x8001 for a playlist of 50 media that are on disk: the document over
// HTTPS, its check and atomic write, 50 digests of stored files, the activation and the
// hand-over.
void BM_PlaylistRequestToReadyEvent(benchmark::State& state) {
    if (!SDL_Init(SDL_INIT_EVENTS)) {
        state.SkipWithError(SDL_GetError());
        return;
    }
    {
        PlaylistService service(50, static_cast<std::size_t>(state.range(0)));
        // The first request fetches the media; the measured ones find them on disk.
        if (!service.requestAndWait()) {
            state.SkipWithError("no playlist event");
        } else {
            service.take();
            for (auto _ : state) {
                if (!service.requestAndWait()) {
                    state.SkipWithError("no playlist event");
                    break;
                }
                state.PauseTiming();
                PlaylistUpdate update = service.take();
                if (!update.playlist) state.SkipWithError("no update");
                update.playlist.reset();
                state.ResumeTiming();
            }
        }
    }
    SDL_Quit();
}
BENCHMARK(BM_PlaylistRequestToReadyEvent)->Arg(64 * 1024)->Arg(1024 * 1024)->Unit(benchmark::kMillisecond)->UseRealTime();

// An override queued while a playlist waits for its activation time an hour ahead, until its
// 0x8001: the override is prepared and handed over at once (50 media on disk), and the waiting
// playlist stays waiting.
void BM_OverrideDuringActivationWaitToReadyEvent(benchmark::State& state) {
    if (!SDL_Init(SDL_INIT_EVENTS)) {
        state.SkipWithError(SDL_GetError());
        return;
    }
    {
        PlaylistService service(50, static_cast<std::size_t>(state.range(0)));
        // The first override fetches the media; the scheduled playlist and the measured
        // overrides find them on disk.
        if (!service.overrideAndWait()) {
            state.SkipWithError("no playlist event");
        } else {
            service.take();
            service.schedule();
            for (auto _ : state) {
                if (!service.overrideAndWait()) {
                    state.SkipWithError("no playlist event");
                    break;
                }
                state.PauseTiming();
                PlaylistUpdate update = service.take();
                if (!update.playlist || update.kind != PlaylistUpdateKind::emergency) state.SkipWithError("no override");
                update.playlist.reset();
                state.ResumeTiming();
            }
        }
    }
    SDL_Quit();
}
BENCHMARK(BM_OverrideDuringActivationWaitToReadyEvent)->Arg(64 * 1024)->Unit(benchmark::kMillisecond)->UseRealTime();

// One append to a queue that is full: 128 frames of the size (or, for 16 MiB, the one frame the
// byte bound allows), so each append drops the oldest.
void BM_QueueOutgoingMessageFull(benchmark::State& state) {
    const std::size_t size = static_cast<std::size_t>(state.range(0));
    OutgoingMessageQueue& queue = outgoingMessageQueue();
    const std::string frame(size, 'f');
    for (int i = 0; i < 128; ++i) queueOutgoingMessage(frame);
    for (auto _ : state) queueOutgoingMessage(frame);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
    state.counters["frames"] = static_cast<double>(queue.size());
    while (const auto oldest = queue.copyOldest()) queue.removeSent(*oldest);
}
BENCHMARK(BM_QueueOutgoingMessageFull)->Arg(64)->Arg(64 * 1024)->Arg(16 * 1024 * 1024);

// Frames refused before the lock: empty and one byte over 16 MiB.
void BM_QueueOutgoingMessageRefused(benchmark::State& state) {
    const std::string frame(static_cast<std::size_t>(state.range(0)), 'f');
    for (auto _ : state) queueOutgoingMessage(frame);
    if (outgoingMessageQueue().size() != 0) state.SkipWithError("a refused frame was queued");
}
BENCHMARK(BM_QueueOutgoingMessageRefused)->Arg(0)->Arg(16 * 1024 * 1024 + 1);

// A transition report as the player loop sends one per slide change.
void BM_SendTransitionStatus(benchmark::State& state) {
    const std::string report = R"({"type":"transition","data":{"uptime":"123456","slide":"7"}})";
    for (auto _ : state) {
        if (!sendTransitionStatus(report)) state.SkipWithError("refused");
    }
}
BENCHMARK(BM_SendTransitionStatus);

}  // namespace
