#pragma once
// The built player, run whole as a separate process the way a board runs it, for scenarios
// that drive it through a stand-in of the management service.
//
// Each run is boxed in: it inherits the calling thread's network namespace (a scenario enters a
// fresh one, or starts the run from inside a LanHost), and it gets a private mount namespace in
// which /home is the scenario's own directory (so that a later run of the same scenario finds
// what the earlier one stored), /run an empty tmpfs and the machine id one of the scenario's
// choosing. The fake device tools come first on PATH (run-tests.sh puts them there; the run
// refuses to start otherwise), SDL draws offscreen with the software renderer, and every
// presented frame is saved as a picture that a watcher thread reads back and then deletes.
//
//     TempDir home;
//     PlayerProcess player(home.path(), {.serviceHost = service.hostPort(), .trustedCa = ...});
//     player.waitForOutput("[PLAYLIST]", 20000);
//     auto frame = player.waitForFrame([](const Frame& f) { return f.share({255, 0, 0}) > 0.5; });
//     player.kill();                      // SIGKILL, as a power cut would
//
// The process is killed when the object goes, and when the test process dies.

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

namespace lumetta::testing {

// One presented frame, as RGBA bytes.
struct Frame {
    std::uint64_t number = 0;  // the order in which the player presented it, from 1
    std::int64_t presentedNs = 0;  // when it was saved (the file's time), Unix nanoseconds
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgba;

    struct Color {
        int r = 0, g = 0, b = 0;
    };
    Color pixel(int x, int y) const;
    // The share of pixels within `tolerance` (per channel) of `color`, 0..1.
    double share(Color color, int tolerance = 40) const;
    // The share of pixels of the most frequent colour (exactly): 1 for a blank frame.
    double largestColorShare() const;
    // The share of pixels darker than 24 in every channel.
    double blackShare() const;
    // The share of pixels whose colour differs from `other`'s at the same place by more than
    // `tolerance` in some channel; 1 when the sizes differ.
    double differenceFrom(const Frame& other, int tolerance = 24) const;
};

struct PlayerOptions {
    // LUMETTA_SERVICE_HOST ("host:port"); empty leaves the run's own (run-tests.sh points it at
    // a closed loopback port).
    std::string serviceHost;
    // SSL_CERT_FILE: the CA the player trusts; empty leaves it unset.
    std::filesystem::path trustedCa;
    // The machine id, from which the device id is made (upper-cased).
    std::string machineId = "e2e00000000000000000000000000001";
    // The command line after the program: the window's size by default.
    std::vector<std::string> arguments{"320", "180"};
    // Further variables (nullopt removes one).
    std::map<std::string, std::optional<std::string>> environment;
    // Save and read back the presented frames.
    bool watchFrames = true;
    // Run in the network namespace of this process (a LanHost's holder) instead of the caller's.
    pid_t networkNamespaceOf = 0;
    // Keep the saved frames on a tmpfs of the run's own (large frames at a high rate).
    bool framesOnTmpfs = false;
    // The CPUs the player may run on (empty: all).
    std::vector<int> cpus;
};

class PlayerProcess {
public:
    // Starts the player. `home` must exist; the player's data directory is `home`/lumetta.
    PlayerProcess(std::filesystem::path home, PlayerOptions options);
    ~PlayerProcess();
    PlayerProcess(const PlayerProcess&) = delete;
    PlayerProcess& operator=(const PlayerProcess&) = delete;

    pid_t pid() const { return pid_; }
    // The device id the player derives from the machine id.
    std::string deviceId() const;

    // The exit status once it ended (the exit code, or 128 + the signal); none while it runs.
    std::optional<int> exitStatus();
    std::optional<int> waitForExit(int timeoutMs);
    // Asks it to stop as an operator would (SIGTERM; SDL makes it a quit) and waits; SIGKILL
    // after `timeoutMs`. The exit status.
    int stop(int timeoutMs = 15000);
    // SIGKILL at once, and waits for it: a power cut as far as the program can tell.
    int kill();

    // What it wrote so far.
    std::string out() const;
    std::string err() const;
    // Waits until standard output or standard error holds `text` (a run that ended early stops
    // the wait); true when it does.
    bool waitForOutput(const std::string& text, int timeoutMs);

    // Frames: the first frame presented after this call that satisfies `test`, or none after
    // `timeoutMs` (or when the run ended).
    std::optional<Frame> waitForFrame(const std::function<bool(const Frame&)>& test, int timeoutMs);
    // Resident memory (VmRSS) and CPU time (user + system) used so far, while it runs.
    std::int64_t residentKb() const;
    double cpuSeconds() const;

    // The number of frames read back so far.
    std::uint64_t framesSeen() const;
    // The latest frame read back, if any.
    std::optional<Frame> latestFrame() const;
    // Called with every frame in order on the watcher thread, until replaced (empty: none).
    void onEveryFrame(std::function<void(const Frame&)> observer);

private:
    void watchFrames(std::stop_token stop);
    bool readFrame(const std::filesystem::path& file, std::uint64_t number);
    std::string readText(const std::filesystem::path& file) const;

    std::filesystem::path home_;
    PlayerOptions options_;
    std::filesystem::path runDirectory_;
    std::filesystem::path framesDirectory_;
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::mutex statusMutex_;

    std::jthread watcher_;
    mutable std::mutex frameMutex_;
    std::condition_variable frameArrived_;
    std::optional<Frame> latest_;
    std::uint64_t framesSeen_ = 0;
    std::function<void(const Frame&)> observer_;
    std::atomic<bool> ended_{false};
};

// The identity the player derives from a machine id: line breaks dropped, letters upper-cased.
std::string deviceIdFor(const std::string& machineId);

}  // namespace lumetta::testing
