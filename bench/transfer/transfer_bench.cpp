// Media transfer figures, each against a reference measured in the same run on the same data:
//   - fileDigest (SHA-1, SHA-256) of a large file against sha1sum / sha256sum, with the growth
//     of the peak resident memory during our call;
//   - downloadFile from the loopback HTTPS test server against the curl tool;
//   - a copy from a peer across a veth pair against the serving pace (65,536 bytes per
//     7.812 ms) and against the curl tool sending the same signed request to the same server.
// "ratio" is reference time / our time: 1 means as fast as the reference.
//
// Needs root and a private network namespace (it builds a test LAN); run it as
//     unshare --net -- build-bench/bench/lumetta_transfer_bench
// Sizes in MiB: LUMETTA_BENCH_DIGEST_MIB (1024), LUMETTA_BENCH_DOWNLOAD_MIB (1024),
// LUMETTA_BENCH_PEER_MB (200, decimal megabytes).
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "content/content_mesh.h"
#include "content/media_request.h"
#include "core/config_store.h"
#include "support/https_server.h"
#include "support/lan.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace {

using namespace lumetta;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::size_t sizeFromEnvironment(const char* name, std::size_t fallback) {
    const char* text = std::getenv(name);
    return text && *text ? static_cast<std::size_t>(std::strtoull(text, nullptr, 10)) : fallback;
}

lumetta::testing::TempDir& scratch() {
    static lumetta::testing::TempDir dir;
    return dir;
}

// A file of pseudo-random bytes, made once per size and read once so that every reader finds
// it in the page cache.
fs::path dataFile(std::size_t bytes) {
    const fs::path path = scratch() / ("data-" + std::to_string(bytes));
    if (!fs::exists(path)) {
        std::vector<char> block(1 << 20);
        std::mt19937_64 random(42);
        for (char& c : block) c = static_cast<char>(random());
        std::ofstream out(path, std::ios::binary);
        for (std::size_t written = 0; written < bytes;) {
            const std::size_t n = std::min(block.size(), bytes - written);
            block[0] = static_cast<char>(written >> 20);  // no two blocks alike
            out.write(block.data(), static_cast<std::streamsize>(n));
            written += n;
        }
    }
    lumetta::testing::runProcess({"sh", "-c", "cat \"$1\" > /dev/null", "sh", path.string()});  // into the page cache
    return path;
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

template <typename Work>
double timed(Work&& work) {
    const auto start = Clock::now();
    work();
    return seconds(Clock::now() - start);
}

long peakResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}
void resetPeakResident() { std::ofstream("/proc/self/clear_refs") << "5"; }

void report(benchmark::State& state, double bytes, double ours, double reference) {
    state.SetIterationTime(ours);
    state.counters["ours_MBps"] = bytes / ours / 1e6;
    state.counters["reference_MBps"] = bytes / reference / 1e6;
    state.counters["ratio"] = reference / ours;
}

void digest(benchmark::State& state, const char* tool, std::size_t expectedLength) {
    const std::size_t bytes = sizeFromEnvironment("LUMETTA_BENCH_DIGEST_MIB", 1024) << 20;
    const fs::path file = dataFile(bytes);
    for (auto _ : state) {
        std::string ours;
        resetPeakResident();
        const long before = peakResidentKiB();
        const double ourTime = timed([&] { ours = fileDigest(file.string(), std::string(expectedLength, '0')); });
        const long growth = peakResidentKiB() - before;
        lumetta::testing::ProcessResult theirs;
        const double toolTime = timed([&] { theirs = lumetta::testing::runProcess({tool, file.string()}, {}); });
        if (theirs.out.substr(0, ours.size()) != ours) state.SkipWithError("digests differ");
        report(state, static_cast<double>(bytes), ourTime, toolTime);
        state.counters["peak_rss_growth_KiB"] = static_cast<double>(growth);
    }
}
void BM_FileDigestSha1VersusSha1sum(benchmark::State& state) { digest(state, "sha1sum", 40); }
void BM_FileDigestSha256VersusSha256sum(benchmark::State& state) { digest(state, "sha256sum", 64); }

void BM_DownloadFileVersusCurlTool(benchmark::State& state) {
    const std::size_t bytes = sizeFromEnvironment("LUMETTA_BENCH_DOWNLOAD_MIB", 1024) << 20;
    const fs::path file = dataFile(bytes);
    lumetta::testing::TestHttpsServer server;
    server.respond("/media", {.bodyFile = file});
    lumetta::testing::ScopedEnvironmentVariable trust("SSL_CERT_FILE", server.caFile().string());
    const std::string target = (scratch() / "downloaded").string();
    for (auto _ : state) {
        bool ok = false;
        const double ourTime = timed([&] { ok = downloadFile(server.url("/media"), target); });
        const std::uintmax_t ourSize = fs::file_size(partialDownloadPath(target));
        fs::remove(partialDownloadPath(target));
        lumetta::testing::ProcessResult theirs;
        const double curlTime = timed([&] {
            theirs = lumetta::testing::runProcess({"curl", "-sS", "--fail", "--cacert", server.caFile().string(), "-o",
                                          target + ".curl", server.url("/media")});
        });
        const std::uintmax_t curlSize = fs::file_size(target + ".curl");
        fs::remove(target + ".curl");
        if (!ok || theirs.exitStatus != 0 || ourSize != bytes || curlSize != bytes) {
            state.SkipWithError("a download failed");
        }
        report(state, static_cast<double>(bytes), ourTime, curlTime);
    }
}

// One player with its own mesh inside a host of the LAN; its threads live in the host's namespace.
struct LanPlayer {
    LanPlayer(lumetta::testing::LanHost& host, const std::string& id) : host(host) {
        fs::create_directories(dir.path() / "lumetta");
        setConfigString(dir.str(), "groupId", "bench group");
        host.runInside([&] { started = mesh.start(dir.str(), id); });
    }
    lumetta::testing::LanHost& host;
    lumetta::testing::TempDir dir;
    ContentMesh mesh;
    bool started = false;
};

void BM_PeerCopyVersusPaceAndCurlTool(benchmark::State& state) {
    const std::size_t bytes = sizeFromEnvironment("LUMETTA_BENCH_PEER_MB", 200) * 1'000'000;
    const fs::path file = dataFile(bytes);
    const std::string hash(40, 'a');
    lumetta::testing::Lan lan;
    LanPlayer holder(lan.addHost(), "HOLDER");
    LanPlayer fetcher(lan.addHost(), "FETCHER");
    if (!holder.started || !fetcher.started) {
        state.SkipWithError("a mesh did not start");
        return;
    }
    holder.mesh.registerFile(hash, file.string());
    const std::string copy = (fetcher.dir / "copy").string();
    // The pace the server allows: one 65,536-byte chunk per 7.812 ms.
    const double paceTime = static_cast<double>(bytes) / 65'536.0 * 0.007812;
    for (auto _ : state) {
        int result = -1;
        const double ourTime = timed([&] { fetcher.host.runInside([&] { result = fetcher.mesh.fetch(hash, copy); }); });
        const std::uintmax_t ourSize = fs::file_size(copy);
        fs::remove(copy);
        const std::string header = "X-Quorvela-Auth: " + fetcher.mesh.signature("get:" + hash);
        int curlStatus = -1;
        const double curlTime = timed([&] {
            curlStatus = fetcher.host.run({"curl", "-sS", "--fail", "-H", header, "-o", copy,
                                           "http://" + holder.host.address() + ":45873/content/" + hash});
        });
        const std::uintmax_t curlSize = fs::exists(copy) ? fs::file_size(copy) : 0;
        fs::remove(copy);
        if (result != 1 || ourSize != bytes || curlStatus != 0 || curlSize != bytes) {
            state.SkipWithError("a copy failed");
        }
        report(state, static_cast<double>(bytes), ourTime, curlTime);
        state.counters["pace_MBps"] = static_cast<double>(bytes) / paceTime / 1e6;
        state.counters["ratio_to_pace"] = paceTime / ourTime;
    }
}

BENCHMARK(BM_FileDigestSha1VersusSha1sum)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FileDigestSha256VersusSha256sum)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DownloadFileVersusCurlTool)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PeerCopyVersusPaceAndCurlTool)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    // Broadcasts and fixed ports: only ever inside a network namespace of our own.
    if (!lumetta::testing::inPrivateNetworkNamespace() || !lumetta::testing::enterFreshNetworkNamespace()) {
        std::cerr << "refusing to run outside a private network namespace: unshare --net -- " << argv[0] << "\n";
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
