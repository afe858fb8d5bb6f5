// Download worker figures against a reference measured in the same run on the same data:
//   - 1,000 media files of 4 KiB from the loopback HTTPS test server through the download queue
//     and both download workers (content mesh off), against 1,000 bare downloadFile calls on two
//     threads; with the growth of the peak resident memory for 100 and for 1,000 files;
//   - 20 files through both workers with a lone content mesh player (alone on a LAN of one host:
//     nobody answers), against the same files with the mesh off: the discovery cost per file.
// "ratio" is our time / reference time: 1 means as fast as the reference.
//
// Needs root and a private network namespace (the mesh binds its fixed ports); run it as
//     unshare --net -- build-bench/bench/lumetta_download_bench
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "content/download_worker.h"
#include "core/config_store.h"
#include "core/log.h"
#include "support/https_server.h"
#include "support/lan.h"
#include "support/temp_dir.h"

namespace {

using namespace lumetta;
namespace fs = std::filesystem;
using Steady = std::chrono::steady_clock;

double seconds(Steady::duration d) { return std::chrono::duration<double>(d).count(); }

long statusKiB(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::size_t length = std::char_traits<char>::length(field);
    while (std::getline(status, line)) {
        if (line.compare(0, length, field) == 0) return std::atol(line.c_str() + length);
    }
    return -1;
}
void resetPeakResident() { std::ofstream("/proc/self/clear_refs") << "5"; }

// Lines the workers write, dropped: a thousand "[DOWNLOADING]" lines are not what is measured.
class NullStream : private std::streambuf, public std::ostream {
public:
    NullStream() : std::ostream(static_cast<std::streambuf*>(this)) {}

private:
    int overflow(int c) override { return c; }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

std::string fileBody(std::size_t index, std::size_t size) {
    std::string body(size, '\0');
    for (std::size_t i = 0; i < size; ++i) body[i] = static_cast<char>((i * 31 + index * 7 + i / 97) & 0xff);
    return body;
}

// A loopback HTTPS server holding `count` media files and their digests.
struct MediaSet {
    MediaSet(std::size_t count, std::size_t size) : trust("SSL_CERT_FILE", server.caFile().string()) {
        for (std::size_t i = 0; i < count; ++i) {
            const std::string body = fileBody(i, size);
            std::string name(1, 'm');
            name += std::to_string(i);
            name += ".mp4";
            server.respond("/media/" + name, {.body = body});
            const std::string path = (scratch / "digest-source").string();
            std::ofstream(path, std::ios::binary) << body;
            digests.push_back(fileSha1(path));
            names.push_back(name);
        }
    }
    lumetta::testing::TestHttpsServer server;
    lumetta::testing::ScopedEnvironmentVariable trust;
    lumetta::testing::TempDir scratch;
    std::vector<std::string> names;
    std::vector<std::string> digests;
};

// Bare downloadFile calls on two threads, each taking the next file. Seconds; false on a failure.
double bareDownloads(MediaSet& media, std::size_t count, bool& ok) {
    lumetta::testing::TempDir dir;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> allGood{true};
    NullStream quiet;
    MediaRequestOptions options;
    options.errors = &quiet;
    const auto start = Steady::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] {
            for (std::size_t i; (i = next++) < count;) {
                if (!downloadFile(media.server.url("/media/" + media.names[i]), (dir / media.names[i]).string(), options)) {
                    allGood = false;
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    const double elapsed = seconds(Steady::now() - start);
    ok = allGood;
    return elapsed;
}

// The same files through the queue and two download workers into one playlist directory.
// Seconds from the first push to the group's end; false when the group failed.
double throughWorkers(MediaSet& media, std::size_t count, ContentMesh& mesh, bool& ok,
                      const fs::path& base = {}, std::size_t first = 0) {
    lumetta::testing::TempDir dir;
    const fs::path root = base.empty() ? dir.path() : base;
    const fs::path content = root / "lumetta";
    const fs::path playlist = content / "acme" / "main" / ("lobby" + std::to_string(Steady::now().time_since_epoch().count()));
    fs::create_directories(playlist);
    PreparedImageCache cache;
    ThreadSafeQueue queue(cache);
    ImageJobQueue jobs;
    NullStream quiet;
    DownloadWorkerSettings settings;
    settings.mesh = &mesh;
    settings.imageJobs = &jobs;
    settings.contentDirectory = content.string();
    settings.output = &quiet;
    settings.errors = &quiet;
    std::vector<std::thread> workers;
    for (int w = 0; w < 2; ++w) workers.emplace_back([&] { downloadWorker(queue, settings); });
    const std::uint64_t group = queue.createGroup();
    const auto start = Steady::now();
    for (std::size_t i = first; i < first + count; ++i) {
        queue.push({media.server.url("/media/" + media.names[i]), (playlist / media.names[i]).string(), 0, 0,
                    media.digests[i], group});
    }
    queue.waitForGroup(group, 3'600'000);
    const double elapsed = seconds(Steady::now() - start);
    ok = queue.groupSucceeded(group);
    queue.stop();
    for (std::thread& worker : workers) worker.join();
    fs::remove_all(playlist);
    return elapsed;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void BM_WorkersVersusBareDownloads(benchmark::State& state) {
    const std::size_t count = 1'000;
    MediaSet media(count, 4'096);
    ContentMesh off;  // never started
    for (auto _ : state) {
        std::vector<double> ours, reference;
        bool ok = true;
        for (int round = 0; round < 3; ++round) {
            bool good = false;
            reference.push_back(bareDownloads(media, count, good));
            ok = ok && good;
            ours.push_back(throughWorkers(media, count, off, good));
            ok = ok && good;
        }
        if (!ok) state.SkipWithError("a download failed");
        state.SetIterationTime(median(ours));
        state.counters["ours_s"] = median(ours);
        state.counters["reference_s"] = median(reference);
        state.counters["ratio"] = median(ours) / median(reference);

        // Memory: the peak resident growth for 100 files and for 1,000, ours and the reference's
        // (which shows what the test server and the TLS library add on their own).
        for (const std::size_t n : {std::size_t{100}, count}) {
            bool good = false;
            resetPeakResident();
            long before = statusKiB("VmHWM:");
            throughWorkers(media, n, off, good);
            state.counters["peak_rss_growth_KiB_" + std::to_string(n)] = static_cast<double>(statusKiB("VmHWM:") - before);
            resetPeakResident();
            before = statusKiB("VmHWM:");
            bareDownloads(media, n, good);
            state.counters["reference_peak_rss_growth_KiB_" + std::to_string(n)] =
                static_cast<double>(statusKiB("VmHWM:") - before);
        }
    }
}

void BM_LoneMeshPlayerDiscovery(benchmark::State& state) {
    const std::size_t count = 20;
    // A player alone on a LAN of one host (a default route, so its broadcasts go out and
    // nobody answers), the service on that host's loopback.
    lumetta::testing::Lan lan;
    lumetta::testing::LanHost& host = lan.addHost();
    std::unique_ptr<MediaSet> media;
    host.runInside([&] { media = std::make_unique<MediaSet>(count + 1, 4'096); });  // the last one goes alone
    lumetta::testing::TempDir base;
    fs::create_directories(base.path() / "lumetta");
    setConfigString(base.str(), "groupId", "bench group");
    NullStream quiet;
    ContentMesh lone(ContentMeshSettings{.errors = &quiet});
    bool started = false;
    host.runInside([&] { started = lone.start(base.str(), "BENCH1"); });
    if (!started) {
        state.SkipWithError("the mesh did not start");
        return;
    }
    ContentMesh off;
    // Workers (and every socket they open) in the host's namespace.
    const auto inHost = [&](std::size_t n, ContentMesh& mesh, bool& ok, const fs::path& root, std::size_t first) {
        double elapsed = 0;
        host.runInside([&] { elapsed = throughWorkers(*media, n, mesh, ok, root, first); });
        return elapsed;
    };
    for (auto _ : state) {
        // One file alone: the whole wait of one task.
        bool okSingle = false;
        state.counters["one_file_mesh_on_s"] = inHost(1, lone, okSingle, base.path(), count);
        state.counters["one_file_mesh_off_s"] = inHost(1, off, okSingle, {}, count);

        bool okOff = false, okOn = false;
        const double withoutMesh = inHost(count, off, okOff, {}, 0);
        const double withMesh = inHost(count, lone, okOn, base.path(), 0);
        if (!okOff || !okOn || !okSingle) state.SkipWithError("a download failed");
        state.SetIterationTime(withMesh);
        state.counters["mesh_on_s"] = withMesh;
        state.counters["mesh_off_s"] = withoutMesh;
        // Two workers discover side by side: each file's own wait is twice its share of the wall time.
        state.counters["discovery_per_file_s"] = (withMesh - withoutMesh) * 2 / static_cast<double>(count);
    }
    lone.stop();
}

BENCHMARK(BM_WorkersVersusBareDownloads)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoneMeshPlayerDiscovery)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    // The mesh's fixed ports and broadcasts: only ever inside a network namespace of our own.
    if (!lumetta::testing::inPrivateNetworkNamespace() || !lumetta::testing::enterFreshNetworkNamespace()) {
        std::cerr << "refusing to run outside a private network namespace: unshare --net -- " << argv[0] << "\n";
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
