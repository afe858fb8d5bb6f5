#include "player_process.h"

#include <SDL3/SDL.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unordered_map>
#include <utility>

#include "support/program_box.h"

namespace lumetta::testing {
namespace {

using namespace std::chrono_literals;

// Runs inside the new mount namespace, before the program replaces it: the scenario's
// directory becomes /home, /run an empty tmpfs, and the machine id the scenario's. The program
// and the assets are bound into the run's directory first, so that they stay reachable wherever
// the checkout lies.
const std::string kBoxScript = keepReachableFunction() +
    "keep_reachable \"$1\" \"$LUMETTA_E2E_RUN/program\" || exit 99\n"
    "keep_reachable \"$LUMETTA_E2E_ASSETS\" \"$LUMETTA_E2E_RUN/assets\" || exit 99\n"
    "shift; set -- \"$LUMETTA_E2E_RUN/program\" \"$@\"\n"
    "mount --bind \"$LUMETTA_E2E_HOME\" /home || exit 99\n"
    "mount -t tmpfs lumetta-e2e-run /run || exit 99\n" +
    coverCecDevices() +
    "if [ -d /var/lib/dbus ]; then mount -t tmpfs lumetta-e2e-id /var/lib/dbus || exit 99\n"
    "else mount -t tmpfs lumetta-e2e-id /var/lib || exit 99; mkdir /var/lib/dbus || exit 99; fi\n"
    "printf '%s\\n' \"$LUMETTA_E2E_MACHINE_ID\" > /var/lib/dbus/machine-id || exit 99\n"
    "if [ -n \"$LUMETTA_E2E_FRAMES_TMPFS\" ]; then\n"
    "  mount -t tmpfs lumetta-e2e-frames \"$LUMETTA_E2E_FRAMES_TMPFS\" && cd \"$LUMETTA_E2E_FRAMES_TMPFS\" || exit 99\n"
    "fi\n"
    // The fonts are found as "assets/fonts" from the working directory, as in a source tree.
    "ln -s \"$LUMETTA_E2E_RUN/assets\" assets || exit 99\n"
    "unset LUMETTA_E2E_HOME LUMETTA_E2E_MACHINE_ID LUMETTA_E2E_FRAMES_TMPFS LUMETTA_E2E_ASSETS LUMETTA_E2E_RUN\n"
    "exec \"$@\"\n";

// Every device tool the player may call must resolve to the test fake.
void requireFakeTools() {
    const std::string fakes = std::string(LUMETTA_SOURCE_DIR) + "/tests/fakes/bin";
    const char* path = std::getenv("PATH");
    std::string directory;
    for (const char* tool : {"reboot", "systemctl", "wpa_cli", "bluetoothctl", "shutdown", "poweroff", "halt"}) {
        std::string found;
        std::stringstream search(path != nullptr ? path : "");
        while (std::getline(search, directory, ':')) {
            const std::filesystem::path candidate = std::filesystem::path(directory.empty() ? "." : directory) / tool;
            if (::access(candidate.c_str(), X_OK) == 0) {
                found = candidate.string();
                break;
            }
        }
        if (found != fakes + "/" + tool) {
            throw std::runtime_error(std::string("refusing to start the player: '") + tool +
                                     "' does not resolve to the fake (run the tests through run-tests.sh)");
        }
    }
}

std::filesystem::path makeRunDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "lumetta-e2e-run.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

// "SDL_window1-00000042.bmp" -> 42.
std::optional<std::uint64_t> frameNumber(const std::string& name) {
    if (name.rfind("SDL_window", 0) != 0 || name.size() < 14 || name.compare(name.size() - 4, 4, ".bmp") != 0) {
        return std::nullopt;
    }
    const std::size_t dash = name.rfind('-');
    if (dash == std::string::npos) return std::nullopt;
    const std::string digits = name.substr(dash + 1, name.size() - 4 - dash - 1);
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c); })) {
        return std::nullopt;
    }
    return std::stoull(digits);
}

int decodeStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

Frame::Color Frame::pixel(int x, int y) const {
    if (x < 0 || y < 0 || x >= width || y >= height) return {};
    const std::size_t at = (static_cast<std::size_t>(y) * width + x) * 4;
    return {rgba[at], rgba[at + 1], rgba[at + 2]};
}

double Frame::share(Color color, int tolerance) const {
    if (width <= 0 || height <= 0) return 0.0;
    std::size_t near = 0;
    for (std::size_t at = 0; at + 3 < rgba.size(); at += 4) {
        if (std::abs(rgba[at] - color.r) <= tolerance && std::abs(rgba[at + 1] - color.g) <= tolerance &&
            std::abs(rgba[at + 2] - color.b) <= tolerance) {
            ++near;
        }
    }
    return static_cast<double>(near) / (static_cast<double>(width) * height);
}

double Frame::largestColorShare() const {
    if (width <= 0 || height <= 0) return 0.0;
    std::unordered_map<std::uint32_t, std::size_t> counts;
    std::size_t largest = 0;
    for (std::size_t at = 0; at + 3 < rgba.size(); at += 4) {
        const std::uint32_t key = rgba[at] << 16 | rgba[at + 1] << 8 | rgba[at + 2];
        largest = std::max(largest, ++counts[key]);
    }
    return static_cast<double>(largest) / (static_cast<double>(width) * height);
}

double Frame::blackShare() const { return share({0, 0, 0}, 23); }

double Frame::differenceFrom(const Frame& other, int tolerance) const {
    if (width != other.width || height != other.height || width <= 0 || height <= 0) return 1.0;
    std::size_t differing = 0;
    for (std::size_t at = 0; at + 3 < rgba.size(); at += 4) {
        for (int c = 0; c < 3; ++c) {
            if (std::abs(rgba[at + c] - other.rgba[at + c]) > tolerance) {
                ++differing;
                break;
            }
        }
    }
    return static_cast<double>(differing) / (static_cast<double>(width) * height);
}

std::string deviceIdFor(const std::string& machineId) {
    std::string id;
    for (const char c : machineId) {
        if (c != '\n') id.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    }
    return id;
}

PlayerProcess::PlayerProcess(std::filesystem::path home, PlayerOptions options)
    : home_(std::move(home)), options_(std::move(options)) {
    requireFakeTools();
    runDirectory_ = makeRunDirectory();
    framesDirectory_ = runDirectory_ / "frames";
    std::filesystem::create_directories(framesDirectory_);
    std::filesystem::create_directories(home_);

    // Everything the child needs is made before the fork.
    std::vector<std::string> argv = {"unshare", "--mount", "--propagation", "private", "--", "sh", "-c", kBoxScript,
                                     "sh", LUMETTA_PROGRAM};
    argv.insert(argv.end(), options_.arguments.begin(), options_.arguments.end());
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);

    std::map<std::string, std::optional<std::string>> environment = {
        {"LUMETTA_E2E_HOME", std::filesystem::absolute(home_).string()},
        {"LUMETTA_E2E_MACHINE_ID", options_.machineId},
        {"LUMETTA_E2E_ASSETS", std::string(LUMETTA_SOURCE_DIR) + "/assets"},
        {"LUMETTA_E2E_RUN", runDirectory_.string()},
        {"LUMETTA_E2E_FRAMES_TMPFS",
         options_.framesOnTmpfs ? std::optional<std::string>(framesDirectory_.string()) : std::nullopt},
        {"NO_COLOR", "1"},
        {"SDL_VIDEO_DRIVER", "offscreen"},
        {"SDL_RENDER_DRIVER", "software"},
        {"SDL_AUDIO_DRIVER", "dummy"},
        {"SDL_VIDEO_OFFSCREEN_SAVE_FRAMES", options_.watchFrames ? "1" : "0"},
        // The window's surface stays plain memory that the offscreen driver saves; an
        // accelerated one (through EGL) is never saved.
        {"SDL_FRAMEBUFFER_ACCELERATION", "0"},
        {"SSL_CERT_FILE", options_.trustedCa.empty() ? std::nullopt : std::optional(options_.trustedCa.string())},
    };
    if (!options_.serviceHost.empty()) environment["LUMETTA_SERVICE_HOST"] = options_.serviceHost;
    for (const auto& [name, value] : options_.environment) environment[name] = value;

    const std::string outFile = (runDirectory_ / "out.log").string();
    const std::string errFile = (runDirectory_ / "err.log").string();
    const int out = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (out < 0 || err < 0 || in < 0) throw std::runtime_error("cannot open the run's output files");
    const std::string frames = framesDirectory_.string();
    int networkNamespace = -1;
    if (options_.networkNamespaceOf > 0) {
        const std::string path = "/proc/" + std::to_string(options_.networkNamespaceOf) + "/ns/net";
        networkNamespace = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (networkNamespace < 0) throw std::runtime_error("cannot open " + path);
    }

    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(126);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        if (networkNamespace >= 0 && ::setns(networkNamespace, CLONE_NEWNET) != 0) ::_exit(126);
        ::close_range(3, ~0U, 0);
        for (const auto& [name, value] : environment) {
            if (value) ::setenv(name.c_str(), value->c_str(), 1);
            else ::unsetenv(name.c_str());
        }
        if (::chdir(frames.c_str()) != 0) ::_exit(126);
        if (!options_.cpus.empty()) {
            cpu_set_t set;
            CPU_ZERO(&set);
            for (const int cpu : options_.cpus) CPU_SET(cpu, &set);
            if (::sched_setaffinity(0, sizeof set, &set) != 0) ::_exit(126);
        }
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(out);
    ::close(err);
    ::close(in);
    if (networkNamespace >= 0) ::close(networkNamespace);
    // Frames on a tmpfs of the run are reached through the process's own working directory.
    if (options_.framesOnTmpfs) framesDirectory_ = "/proc/" + std::to_string(pid_) + "/cwd";
    // SDL makes its table of live objects with the first surface and publishes it with atomics of
    // its own, which ThreadSanitizer does not see: make it here, before any watcher loads a frame.
    SDL_DestroySurface(SDL_CreateSurface(1, 1, SDL_PIXELFORMAT_RGBA32));
    // The thread gets its stop token as an argument: `watcher_` is still being assigned while it starts.
    watcher_ = std::jthread([this](std::stop_token stop) { watchFrames(std::move(stop)); });
}

PlayerProcess::~PlayerProcess() {
    if (!exitStatus()) kill();
    watcher_.request_stop();
    if (watcher_.joinable()) watcher_.join();
    std::error_code ignored;
    std::filesystem::remove_all(runDirectory_, ignored);
}

std::string PlayerProcess::deviceId() const { return deviceIdFor(options_.machineId); }

std::optional<int> PlayerProcess::exitStatus() {
    std::lock_guard lock(statusMutex_);
    if (status_) return status_;
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
        status_ = decodeStatus(status);
        ended_ = true;
        frameArrived_.notify_all();
    }
    return status_;
}

std::optional<int> PlayerProcess::waitForExit(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
        if (const std::optional<int> status = exitStatus()) return status;
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(10ms);
    }
}

int PlayerProcess::stop(int timeoutMs) {
    if (const std::optional<int> status = exitStatus()) return *status;
    ::kill(pid_, SIGTERM);
    if (const std::optional<int> status = waitForExit(timeoutMs)) return *status;
    return kill();
}

int PlayerProcess::kill() {
    if (const std::optional<int> status = exitStatus()) return *status;
    ::kill(pid_, SIGKILL);
    return waitForExit(30000).value_or(-1);
}

std::string PlayerProcess::readText(const std::filesystem::path& file) const {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string PlayerProcess::out() const { return readText(runDirectory_ / "out.log"); }
std::string PlayerProcess::err() const { return readText(runDirectory_ / "err.log"); }

bool PlayerProcess::waitForOutput(const std::string& text, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
        const bool ended = exitStatus().has_value();
        if (out().find(text) != std::string::npos || err().find(text) != std::string::npos) return true;
        if (ended || std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
}

bool PlayerProcess::readFrame(const std::filesystem::path& file, std::uint64_t number) {
    SDL_Surface* loaded = SDL_LoadBMP(file.c_str());
    if (loaded == nullptr) return false;
    SDL_Surface* converted = SDL_ConvertSurface(loaded, SDL_PIXELFORMAT_RGBA32);
    SDL_DestroySurface(loaded);
    if (converted == nullptr) return false;
    Frame frame;
    frame.number = number;
    frame.width = converted->w;
    frame.height = converted->h;
    frame.rgba.resize(static_cast<std::size_t>(converted->w) * converted->h * 4);
    const auto* pixels = static_cast<const std::uint8_t*>(converted->pixels);
    for (int row = 0; row < converted->h; ++row) {
        std::copy_n(pixels + static_cast<std::size_t>(row) * converted->pitch, static_cast<std::size_t>(converted->w) * 4,
                    frame.rgba.begin() + static_cast<std::ptrdiff_t>(row) * converted->w * 4);
    }
    SDL_DestroySurface(converted);

    struct stat status{};
    if (::stat(file.c_str(), &status) == 0) {
        frame.presentedNs = static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
    }
    std::function<void(const Frame&)> observer;
    {
        std::lock_guard lock(frameMutex_);
        observer = observer_;
    }
    if (observer) observer(frame);
    {
        std::lock_guard lock(frameMutex_);
        latest_ = std::move(frame);
        ++framesSeen_;
    }
    frameArrived_.notify_all();
    return true;
}

void PlayerProcess::watchFrames(std::stop_token stop) {
    while (!stop.stop_requested()) {
        // Once the process is gone its last frame is complete too.
        const bool ended = ended_.load();
        std::vector<std::pair<std::uint64_t, std::filesystem::path>> found;
        std::error_code error;
        for (std::filesystem::directory_iterator it(framesDirectory_, error), end; !error && it != end;
             it.increment(error)) {
            if (const std::optional<std::uint64_t> number = frameNumber(it->path().filename().string())) {
                found.emplace_back(*number, it->path());
            }
        }
        std::sort(found.begin(), found.end());
        // The newest file may still be being written: it is read once a newer one exists.
        const std::size_t ready = ended ? found.size() : (found.empty() ? 0 : found.size() - 1);
        for (std::size_t i = 0; i < ready; ++i) {
            readFrame(found[i].second, found[i].first);
            std::filesystem::remove(found[i].second, error);
        }
        if (ended && ready == found.size()) {
            frameArrived_.notify_all();
        }
        std::this_thread::sleep_for(5ms);
    }
}

std::optional<Frame> PlayerProcess::waitForFrame(const std::function<bool(const Frame&)>& test, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock lock(frameMutex_);
    std::uint64_t checked = framesSeen_;
    while (true) {
        if (framesSeen_ != checked && latest_) {
            checked = framesSeen_;
            Frame candidate = *latest_;
            lock.unlock();
            const bool matches = test(candidate);
            lock.lock();
            if (matches) return candidate;
            continue;
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        lock.unlock();
        const bool ended = exitStatus().has_value();
        lock.lock();
        if (ended && framesSeen_ == checked) {
            // Let the watcher read the last frames of a run that ended.
            frameArrived_.wait_for(lock, 50ms);
            if (framesSeen_ == checked) return std::nullopt;
            continue;
        }
        frameArrived_.wait_for(lock, 20ms);
    }
}

std::int64_t PlayerProcess::residentKb() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stoll(line.substr(6));
    }
    return -1;
}

double PlayerProcess::cpuSeconds() const {
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    // Fields after the command's closing parenthesis: state is the 3rd field, utime the 14th.
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) return -1.0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    long long utime = 0;
    long long stime = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14) utime = std::stoll(field);
        if (index == 15) {
            stime = std::stoll(field);
            break;
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::uint64_t PlayerProcess::framesSeen() const {
    std::lock_guard lock(frameMutex_);
    return framesSeen_;
}

std::optional<Frame> PlayerProcess::latestFrame() const {
    std::lock_guard lock(frameMutex_);
    return latest_;
}

void PlayerProcess::onEveryFrame(std::function<void(const Frame&)> observer) {
    std::lock_guard lock(frameMutex_);
    observer_ = std::move(observer);
}

}  // namespace lumetta::testing
