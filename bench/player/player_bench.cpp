// Figures of the whole program, run as a board runs it against the tests' stand-in service (the
// harness of tests/e2e): what people who run screens notice.
//   - SlideCuts: a playlist whose 12 cuts cover every ordered pair of the kinds video, image,
//     text and shape (1 s slides, no transition): frames read back that are wholly black or
//     blank between two slides, and how far each change lands from its 1 s boundary.
//   - ResidentMemory: a looping playlist of a video, a text and a shape with a ticker: resident
//     memory after start, after the first 100 slide changes and after LUMETTA_BENCH_CHANGES
//     (default 1,000), counted from the player's own transition reports.
//   - StillSlideCpu: CPU time of a still slide, in percent of one core.
//   - Video1080p30: a 1080p30 clip with sound in a 1920x1080 window on 2 cores (taskset): CPU
//     in percent of one core, and frames that never reached the screen, counted from the frame
//     number each picture carries (frames are saved to a tmpfs for this, which costs the player
//     a copy of each frame; the CPU figure comes from a run that saves nothing).
//   - GroupSkew: two players of one group on a LAN of veth pairs: the slide-change skew (p50,
//     p95) from the times the frames were presented, and the rate at which the second player
//     took a 64 MB medium from the first over the mesh against the service's rate for it.
//
// Needs root and a private network namespace, and the fake device tools first on PATH:
//     PATH=$PWD/tests/fakes/bin:$PATH unshare --net -- build-bench/bench/lumetta_player_bench
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "e2e/player_process.h"
#include "e2e/scenario_content.h"
#include "e2e/service_stand_in.h"
#include "support/lan.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace {

using namespace lumetta;
using namespace lumetta::testing;
namespace fs = std::filesystem;
using Steady = std::chrono::steady_clock;
using namespace std::chrono_literals;

enum class Kind { Image, Text, Shape, Video, Other };

Kind kindOf(const Frame& frame) {
    if (frame.share(kImageColor, 36) > 0.6) return Kind::Image;
    if (frame.share(kTextBackground, 36) > 0.6) return Kind::Text;
    if (frame.share(kShapeColor, 36) > 0.6) return Kind::Shape;
    if (frame.share(kVideoColor, 36) > 0.6) return Kind::Video;
    return Kind::Other;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::seconds bound) {
    const auto deadline = Steady::now() + bound;
    while (!condition()) {
        if (Steady::now() > deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

int countTransitions(const ServiceStandIn& service) {
    int count = 0;
    for (const std::string& message : service.messagesFromPlayer()) {
        if (message.find("\"type\":\"transition\"") != std::string::npos) ++count;
    }
    return count;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return -1.0;
    std::sort(values.begin(), values.end());
    const std::size_t at = std::min(values.size() - 1, static_cast<std::size_t>(p * (values.size() - 1) + 0.5));
    return values[at];
}

// One player with a playlist, on loopback.
struct Stage {
    TempDir files;
    TempDir home;
    ServiceStandIn service;

    std::unique_ptr<PlayerProcess> start(const std::string& document, const std::vector<std::pair<std::string, fs::path>>& media,
                                         PlayerOptions options) {
        auto player = std::make_unique<PlayerProcess>(home.path(), std::move(options));
        service.publishPlaylist(player->deviceId(), "bench", document);
        for (const auto& [target, file] : media) {
            const std::size_t slash = target.find('/');
            service.publishMedia(target.substr(0, slash), target.substr(slash + 1), file);
        }
        if (!service.waitForOpen()) throw std::runtime_error("the player never connected: " + player->err());
        service.send(R"({"type": "playlist", "data": {"name": "Bench", "sha1": "be", "id": "bench"}})");
        return player;
    }
};

void SlideCuts(benchmark::State& state) {
    for (auto _ : state) {
        Stage stage;
        const fs::path photo = makeImage(stage.files / "photo.png");
        const fs::path clip = makeClip(stage.files / "clip.mp4", 1.0);
        const std::string photoSha = sha1OfFile(photo);
        const std::string clipSha = sha1OfFile(clip);
        // An Euler circuit of the complete directed graph on the four kinds: every ordered pair once.
        const std::string order = "ITSVISTVSIVTI";
        std::vector<SlideSpec> slides;
        for (std::size_t i = 0; i < order.size(); ++i) {
            std::string id = std::to_string(i);
            id.insert(id.begin(), 's');
            switch (order[i]) {
                case 'I': slides.push_back(imageSlide(id, "photo.png", photoSha, 1)); break;
                case 'T': slides.push_back(textSlide(id, "Cut", 1)); break;
                case 'S': slides.push_back(shapeSlide(id, kShapeColor, 1)); break;
                default: slides.push_back(videoSlide(id, "clip.mp4", clipSha, 1)); break;
            }
        }
        std::string document = playlistDocument("Cuts", slides);
        PlayerOptions options = stage.service.playerOptions();
        std::mutex mutex;
        std::vector<std::pair<Kind, std::int64_t>> changes;  // kind, presented ns
        int badFrames = 0;
        int framesBetween = 0;
        Kind last = Kind::Other;
        bool started = false;
        auto player = stage.start(document, {{"images/photo.png", photo}, {"videos/clip.mp4", clip}}, options);
        player->onEveryFrame([&](const Frame& frame) {
            const Kind kind = kindOf(frame);
            std::lock_guard lock(mutex);
            if (kind != Kind::Other && kind != last) {
                changes.emplace_back(kind, frame.presentedNs);
                last = kind;
                started = true;
            }
            if (!started) return;
            ++framesBetween;
            if (kind == Kind::Other && (frame.blackShare() > 0.95 || frame.largestColorShare() > 0.98)) ++badFrames;
        });
        // Two rounds of the playlist.
        waitUntil([&] { std::lock_guard lock(mutex); return changes.size() >= 2 * order.size(); }, 90s);
        player->onEveryFrame({});
        state.counters["frames_read"] = static_cast<double>(player->framesSeen());
        player->stop();
        if (changes.empty()) std::cerr << player->out() << player->err();
        std::lock_guard lock(mutex);
        std::vector<double> lateness;
        for (std::size_t i = 1; i < changes.size(); ++i) {
            lateness.push_back(std::abs((changes[i].second - changes[i - 1].second) / 1e6 - 1000.0));
        }
        state.counters["changes"] = static_cast<double>(changes.size());
        state.counters["frames"] = framesBetween;
        state.counters["blank_or_black_frames"] = badFrames;
        state.counters["boundary_miss_ms_p50"] = percentile(lateness, 0.5);
        state.counters["boundary_miss_ms_max"] = percentile(lateness, 1.0);
    }
}
BENCHMARK(SlideCuts)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void ResidentMemory(benchmark::State& state) {
    const int target = std::getenv("LUMETTA_BENCH_CHANGES") ? std::atoi(std::getenv("LUMETTA_BENCH_CHANGES")) : 1000;
    for (auto _ : state) {
        Stage stage;
        const fs::path clip = makeClip(stage.files / "clip.mp4", 1.0);
        std::string document = playlistDocument(
            "Loop", {videoSlide("video", "clip.mp4", sha1OfFile(clip), 1), textSlide("text", "Memory", 1),
                     shapeSlide("shape", kShapeColor, 1)});
        document.pop_back();  // the closing brace: the ticker goes in before it
        document += R"(, "ticker": [{"message": "A ticker message that scrolls along"}]})";
        PlayerOptions options = stage.service.playerOptions();
        options.watchFrames = false;
        auto player = stage.start(document, {{"videos/clip.mp4", clip}}, options);
        waitUntil([&] { return countTransitions(stage.service) >= 3; }, 60s);
        const double afterStart = static_cast<double>(player->residentKb());
        waitUntil([&] { return countTransitions(stage.service) >= 100; }, 600s);
        const double after100 = static_cast<double>(player->residentKb());
        waitUntil([&] { return countTransitions(stage.service) >= target; }, std::chrono::seconds(target * 3));
        const double afterAll = static_cast<double>(player->residentKb());
        state.counters["changes"] = countTransitions(stage.service);
        state.counters["rss_start_kb"] = afterStart;
        state.counters["rss_100_kb"] = after100;
        state.counters["rss_end_kb"] = afterAll;
        state.counters["growth_after_100_kb"] = afterAll - after100;
        player->stop();
    }
}
BENCHMARK(ResidentMemory)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void StillSlideCpu(benchmark::State& state) {
    for (auto _ : state) {
        Stage stage;
        PlayerOptions options = stage.service.playerOptions();
        options.watchFrames = false;
        options.arguments = {"1920", "1080"};
        auto player = stage.start(playlistDocument("Still", {shapeSlide("still", kShapeColor, 120)}), {}, options);
        waitUntil([&] { return countTransitions(stage.service) >= 1; }, 60s);
        std::this_thread::sleep_for(3s);
        const double before = player->cpuSeconds();
        const auto from = Steady::now();
        std::this_thread::sleep_for(10s);
        const double used = player->cpuSeconds() - before;
        state.counters["cpu_percent_of_core"] =
            100.0 * used / std::chrono::duration<double>(Steady::now() - from).count();
        player->stop();
    }
}
BENCHMARK(StillSlideCpu)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// A 1080p30 clip whose every picture carries its number in 12 black or white blocks along the top.
fs::path numberedClip(const fs::path& file, int seconds) {
    std::string boxes;
    for (int bit = 0; bit < 12; ++bit) {
        boxes += ",drawbox=x=" + std::to_string(bit * 160) + ":y=0:w=160:h=120:t=fill:color=white:enable='eq(mod(floor(n/" +
                 std::to_string(1 << bit) + "),2),1)'";
    }
    const ProcessResult result = runProcess(
        {"ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
         "color=c=0x2040C0:size=1920x1080:rate=30,drawbox=x=0:y=0:w=1920:h=120:t=fill:color=black" + boxes, "-f",
         "lavfi", "-i", "sine=frequency=440:sample_rate=48000", "-t", std::to_string(seconds), "-c:v", "libx264",
         "-preset", "veryfast", "-pix_fmt", "yuv420p", "-c:a", "aac", "-shortest", file.string()});
    if (result.exitStatus != 0) throw std::runtime_error("ffmpeg: " + result.err);
    return file;
}

int frameNumberOn(const Frame& frame) {
    int number = 0;
    for (int bit = 0; bit < 12; ++bit) {
        const Frame::Color c = frame.pixel((bit * 160 + 80) * frame.width / 1920, 60 * frame.height / 1080);
        if (c.r + c.g + c.b > 3 * 128) number |= 1 << bit;
    }
    return number;
}

void Video1080p30(benchmark::State& state) {
    for (auto _ : state) {
        Stage stage;
        const int seconds = 10;
        const fs::path clip = numberedClip(stage.files / "hd.mp4", seconds);
        const std::string document =
            playlistDocument("Hd", {videoSlide("hd", "hd.mp4", sha1OfFile(clip), seconds + 2), shapeSlide("after")});
        // CPU: nothing saved.
        {
            PlayerOptions options = stage.service.playerOptions();
            options.watchFrames = false;
            options.arguments = {"1920", "1080"};
            options.cpus = {0, 1};
            auto player = stage.start(document, {{"videos/hd.mp4", clip}}, options);
            waitUntil([&] { return countTransitions(stage.service) >= 1; }, 60s);
            std::this_thread::sleep_for(1s);
            const double before = player->cpuSeconds();
            const auto from = Steady::now();
            std::this_thread::sleep_for(std::chrono::seconds(seconds - 3));
            state.counters["cpu_percent_of_core"] =
                100.0 * (player->cpuSeconds() - before) / std::chrono::duration<double>(Steady::now() - from).count();
            player->stop();
        }
        // Drops: every presented picture read back.
        {
            TempDir home;
            PlayerOptions options = stage.service.playerOptions();
            options.arguments = {"1920", "1080"};
            options.cpus = {0, 1};
            options.framesOnTmpfs = true;
            auto player = std::make_unique<PlayerProcess>(stage.home.path(), options);
            std::mutex mutex;
            std::map<int, int> seen;
            player->onEveryFrame([&](const Frame& frame) {
                if (frame.share(kVideoColor, 36) < 0.5) return;
                std::lock_guard lock(mutex);
                ++seen[frameNumberOn(frame)];
            });
            // The stored playlist plays at once.
            waitUntil([&] { std::lock_guard lock(mutex); return !seen.empty() && seen.rbegin()->first >= seconds * 30 - 2; },
                      std::chrono::seconds(seconds + 30));
            player->onEveryFrame({});
            player->stop();
            std::lock_guard lock(mutex);
            const int first = seen.empty() ? 0 : seen.begin()->first;
            const int lastNumber = seen.empty() ? 0 : seen.rbegin()->first;
            state.counters["frames_shown"] = static_cast<double>(seen.size());
            state.counters["frames_missing"] = static_cast<double>(lastNumber - first + 1 - static_cast<int>(seen.size()));
        }
    }
}
BENCHMARK(Video1080p30)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void GroupSkew(benchmark::State& state) {
    for (auto _ : state) {
        TempDir files;
        TempDir homeA;
        TempDir homeB;
        Lan lan;
        LanHost& serviceHost = lan.addHost();
        LanHost& a = lan.addHost();
        LanHost& b = lan.addHost();
        ServiceStandIn::Options serviceOptions;
        serviceOptions.address = serviceHost.address();
        serviceOptions.networkNamespaceOf = serviceHost.namespacePid();
        ServiceStandIn service(serviceOptions);

        const fs::path photo = makeImage(files / "photo.png");
        const fs::path clip = makeClip(files / "clip.mp4", 1.0);
        // 64 MB of a medium that only its digest needs to match.
        const fs::path big = files / "big.mp4";
        {
            std::ofstream out(big, std::ios::binary);
            std::vector<char> block(1 << 20);
            for (int i = 0; i < 64; ++i) {
                for (std::size_t j = 0; j < block.size(); ++j) block[j] = static_cast<char>((i * 131 + j * 7) & 0xff);
                out.write(block.data(), static_cast<std::streamsize>(block.size()));
            }
        }
        std::string document =
            playlistDocument("Group", {imageSlide("image", "photo.png", sha1OfFile(photo), 1), textSlide("text", "Step", 1),
                                       shapeSlide("shape", kShapeColor, 1), videoSlide("video", "clip.mp4", sha1OfFile(clip), 1)});
        const std::string bigSha = sha1OfFile(big);
        std::mutex mutex;
        std::map<int, std::vector<std::pair<Kind, std::int64_t>>> changes;
        std::map<int, Kind> last{{0, Kind::Other}, {1, Kind::Other}};
        auto observe = [&](int who) {
            return [&, who](const Frame& frame) {
                const Kind kind = kindOf(frame);
                std::lock_guard lock(mutex);
                if (kind == Kind::Other || kind == last[who]) return;
                last[who] = kind;
                changes[who].emplace_back(kind, frame.presentedNs);
            };
        };
        auto member = [&](LanHost& host, const fs::path& home, const std::string& machineId) {
            writeTestFile(home / "lumetta/config.json", R"({"groupId": "bench"})");
            PlayerOptions options = service.playerOptions();
            options.machineId = machineId;
            options.networkNamespaceOf = host.namespacePid();
            return std::make_unique<PlayerProcess>(home, options);
        };
        auto publish = [&](const std::string& deviceId) {
            service.publishPlaylist(deviceId, "group", document);
            service.publishMedia("images", "photo.png", photo);
            service.publishMedia("videos", "clip.mp4", clip);
            service.publishPlaylist(deviceId, "big",
                                    playlistDocument("Big", {shapeSlide("shape", kShapeColor, 1),
                                                             videoSlide("big", "big.mp4", bigSha, 1)}));
            service.publishMedia("videos", "big.mp4", big);
        };
        auto first = member(a, homeA.path(), "e2ebench0000000000000000000000a1");
        publish(first->deviceId());
        service.waitForOpen(1);
        // The leader fetches the big medium from the service.
        const auto leaderStart = Steady::now();
        service.send(R"({"type": "playlist", "data": {"name": "Big", "sha1": "b1", "id": "big"}})");
        waitUntil([&] { return service.downloads("/videos/big.mp4") >= 1; }, 120s);
        const double serviceSeconds = std::chrono::duration<double>(Steady::now() - leaderStart).count();
        waitUntil([&] { return fs::is_symlink(homeA.path() / "lumetta/playing.json"); }, 60s);

        auto second = member(b, homeB.path(), "e2ebench0000000000000000000000b2");
        publish(second->deviceId());
        service.waitForOpen(2);
        const auto followerStart = Steady::now();
        service.send(R"({"type": "playlist", "data": {"name": "Big", "sha1": "b1", "id": "big"}})");
        waitUntil([&] { return fs::exists(homeB.path() / "lumetta/acme/main/Big/big.mp4"); }, 120s);
        const double meshSeconds = std::chrono::duration<double>(Steady::now() - followerStart).count();
        state.counters["service_MBps"] = 64.0 / serviceSeconds;
        state.counters["mesh_MBps"] = 64.0 / meshSeconds;
        state.counters["service_downloads_of_big"] = service.downloads("/videos/big.mp4");

        // Both switch to the slide playlist; the skew of their changes.
        first->onEveryFrame(observe(0));
        second->onEveryFrame(observe(1));
        service.sendToAll(R"({"type": "playlist", "data": {"name": "Group", "sha1": "g1", "id": "group"}})");
        waitUntil([&] { std::lock_guard lock(mutex); return changes[0].size() >= 24 && changes[1].size() >= 24; }, 90s);
        first->onEveryFrame({});
        second->onEveryFrame({});
        std::vector<double> skews;
        {
            std::lock_guard lock(mutex);
            for (const auto& [kind, at] : changes[1]) {
                double best = 1e12;
                for (const auto& [other, otherAt] : changes[0]) {
                    if (other == kind) best = std::min(best, std::abs(at - otherAt) / 1e6);
                }
                // Only pairs of one change (a whole slide apart would be 1000 ms).
                if (best < 500) skews.push_back(best);
            }
        }
        state.counters["skew_ms_p50"] = percentile(skews, 0.5);
        state.counters["skew_ms_p95"] = percentile(skews, 0.95);
        state.counters["skew_pairs"] = static_cast<double>(skews.size());
        first->stop();
        second->stop();
    }
}
BENCHMARK(GroupSkew)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    if (!lumetta::testing::inPrivateNetworkNamespace() || !lumetta::testing::enterFreshNetworkNamespace()) {
        std::cerr << "run it as root in a private network namespace: unshare --net -- " << argv[0] << "\n";
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
