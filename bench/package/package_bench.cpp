// Package extraction against Info-ZIP's unzip on the same file, in the same run:
//   - `unzip -o -d` extracts it (the reference we aim to stay within 1.3 times of);
//   - `unzip -t` reads, inflates and checks every CRC but writes nothing.
// Ours: extractZipPackage, and beside `unzip -t` the same reading and checks with nothing
// written (readPackageFile and readZipEntries).
// Two packages: a small one (a few sprite sheets, a manifest and a playlist) and one of 200 MiB
// (50 entries of 4 MiB, half stored media-like bytes, half deflated text-like bytes).
// "ratio_to_unzip" is our time / unzip -o -d's time (below 1.3 meets the goal). Memory: the
// growth of our peak resident set during the call, and unzip's whole peak resident set, sampled.
//
// Run it as build-bench/bench/lumetta_package_bench (it writes only beneath $TMPDIR or /tmp).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "assets/sample/zip_writer.h"
#include "package/zip_reader.h"
#include "support/temp_dir.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace lumetta;
using sample::ZipWriterEntry;
using Clock = std::chrono::steady_clock;

lumetta::testing::TempDir& scratch() {
    static lumetta::testing::TempDir dir;
    return dir;
}

std::string mediaBytes(std::size_t size, std::uint64_t seed) {
    std::mt19937_64 random(seed);
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i + 8 <= size; i += 8) {
        const std::uint64_t value = random();
        for (int b = 0; b < 8; ++b) bytes[i + b] = static_cast<char>(value >> (8 * b));
    }
    return bytes;
}

std::string textBytes(std::size_t size, std::uint64_t seed) {
    static const char* words[] = {"slide", "layer", "ticker", "duration", "image", "video", "scene", "text",
                                  "\"opacity\":", "1.0,", "{", "}", "[", "]", "\n", "  "};
    std::mt19937_64 random(seed);
    std::string text;
    text.reserve(size + 16);
    while (text.size() < size) {
        text += words[random() % 16];
        text += ' ';
        if (random() % 5 == 0) text += std::to_string(random() % 100000);
    }
    text.resize(size);
    return text;
}

fs::path writePackage(const std::string& name, const std::vector<ZipWriterEntry>& entries) {
    const fs::path path = scratch() / name;
    if (!fs::exists(path)) {
        const std::vector<std::uint8_t> bytes = sample::writeZip(entries);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    return path;
}

fs::path smallPackage() {
    std::vector<ZipWriterEntry> entries = {
        {.name = "package.json", .content = R"({"name":"lobby","version":1})"},
        {.name = "media/"},
        {.name = "playlist.json", .content = textBytes(6'000, 1), .method = sample::kZipDeflated}};
    for (int i = 0; i < 4; ++i) {
        entries.push_back({.name = "media/sheet-" + std::to_string(i) + ".png", .content = mediaBytes(150'000, 10 + i)});
    }
    return writePackage("small.zip", entries);
}

fs::path largePackage() {
    std::vector<ZipWriterEntry> entries = {{.name = "playlist.json", .content = textBytes(4'000, 2)}};
    for (int i = 0; i < 49; ++i) {
        const bool deflated = i % 2 == 1;
        entries.push_back({.name = "media/asset-" + std::to_string(i),
                           .content = deflated ? textBytes(4 << 20, 100 + i) : mediaBytes(4 << 20, 100 + i),
                           .method = deflated ? sample::kZipDeflated : sample::kZipStored});
    }
    entries.push_back({.name = "media/asset-49", .content = mediaBytes((4 << 20) - 4'000, 149)});
    return writePackage("large.zip", entries);
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

long statusKiB(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::char_traits<char>::length(field));
    }
    return -1;
}

struct Run {
    double seconds = 0;
    long peakKiB = 0;
    bool ok = false;
};

long peakOfProcessKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return 0;
}

// Starts the tool and waits for it. With `samplePeak` its peak resident set is read from
// /proc every half millisecond while it runs (the kernel's own account of a child's peak also
// holds this process's pages, which the child shared until it started the tool), so that run's
// time is not the tool's own.
Run runTool(const std::vector<std::string>& argv, bool samplePeak = false) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const auto start = Clock::now();
    pid_t pid = -1;
    Run run;
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) == 0) {
        int status = 0;
        if (samplePeak) {
            while (waitpid(pid, &status, WNOHANG) == 0) {
                run.peakKiB = std::max(run.peakKiB, peakOfProcessKiB(pid));
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
        } else {
            waitpid(pid, &status, 0);
        }
        run.seconds = seconds(Clock::now() - start);
        run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    posix_spawn_file_actions_destroy(&actions);
    return run;
}

// Runs `work`, timed, with the growth of this process's peak resident set during it.
template <typename Work>
Run runOurs(Work&& work) {
    std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from the current set
    const long before = statusKiB("VmRSS:");
    Run run;
    const auto start = Clock::now();
    try {
        run.ok = work();
    } catch (const std::exception&) {
        run.ok = false;
    }
    run.seconds = seconds(Clock::now() - start);
    run.peakKiB = statusKiB("VmHWM:") - before;
    return run;
}

void compare(benchmark::State& state, const fs::path& package) {
    const fs::path ours = scratch() / "ours";
    const fs::path theirs = scratch() / "theirs";
    const std::vector<std::string> unzipExtract = {"unzip", "-q", "-o", package.string(), "-d", theirs.string()};
    const std::vector<std::string> unzipTest = {"unzip", "-q", "-t", package.string()};
    auto extract = [&] { return fs::exists(extractZipPackage(package, ours)); };
    auto check = [&] {
        return !readZipEntries(readPackageFile(package), [](const ZipEntry&) {}).empty();
    };
    double oursTotal = 0, checkTotal = 0, extractTotal = 0, testTotal = 0;
    long oursPeak = 0, checkPeak = 0;
    for (auto _ : state) {
        fs::remove_all(ours);
        fs::remove_all(theirs);
        fs::create_directories(ours);
        const Run our = runOurs(extract);
        const Run ourCheck = runOurs(check);
        const Run theirExtract = runTool(unzipExtract);
        const Run theirTest = runTool(unzipTest);
        if (!our.ok || !ourCheck.ok || !theirExtract.ok || !theirTest.ok) state.SkipWithError("an extraction failed");
        state.SetIterationTime(our.seconds);
        oursTotal += our.seconds;
        checkTotal += ourCheck.seconds;
        extractTotal += theirExtract.seconds;
        testTotal += theirTest.seconds;
        oursPeak = std::max(oursPeak, our.peakKiB);
        checkPeak = std::max(checkPeak, ourCheck.peakKiB);
    }
    fs::remove_all(theirs);
    const long extractPeak = runTool(unzipExtract, true).peakKiB;
    const long testPeak = runTool(unzipTest, true).peakKiB;
    fs::remove_all(ours);
    fs::remove_all(theirs);
    const double n = static_cast<double>(state.iterations());
    state.counters["ours_ms"] = oursTotal / n * 1e3;
    state.counters["ours_check_ms"] = checkTotal / n * 1e3;
    state.counters["unzip_extract_ms"] = extractTotal / n * 1e3;
    state.counters["unzip_test_ms"] = testTotal / n * 1e3;
    state.counters["ratio_to_unzip"] = oursTotal / extractTotal;
    state.counters["check_ratio_to_unzip_test"] = checkTotal / testTotal;
    state.counters["ours_peak_growth_KiB"] = static_cast<double>(oursPeak);
    state.counters["ours_check_peak_growth_KiB"] = static_cast<double>(checkPeak);
    state.counters["unzip_extract_peak_KiB"] = static_cast<double>(extractPeak);
    state.counters["unzip_test_peak_KiB"] = static_cast<double>(testPeak);
    state.counters["package_KiB"] = static_cast<double>(fs::file_size(package) >> 10);
}

void BM_ExtractSmallPackageVersusUnzip(benchmark::State& state) { compare(state, smallPackage()); }
void BM_ExtractLargePackageVersusUnzip(benchmark::State& state) { compare(state, largePackage()); }

BENCHMARK(BM_ExtractSmallPackageVersusUnzip)->Iterations(40)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExtractLargePackageVersusUnzip)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
