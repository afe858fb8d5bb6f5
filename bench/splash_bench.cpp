// The start-up splash on a full HD software display, unpaced (vertical sync off):
//   - one cycle of the identity view and of the pairing view (QR picture, link and code), the
//     pairing view once with its values steady and once with new values on every cycle, which
//     makes it decode the QR picture and lay out both texts again each time;
//   - the fade of the kept last frame, in frames per second, with its 16 ms pauses (as shown)
//     and without them (the drawing alone);
//   - how long the probe thread takes to end once stopped between two probes.
//
// Each splash run is one benchmark iteration of many cycles; "ms/cycle" is the mean time from
// one cycle's present to the next.

#include <benchmark/benchmark.h>

#include <SDL3/SDL.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <opencv2/imgcodecs.hpp>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/config_store.h"
#include "display/display.h"
#include "link/server_link_state.h"
#include "player/view.h"
#include "screens/splash.h"
#include "support/manual_clock.h"
#include "support/temp_dir.h"

namespace {

using namespace lumetta;
using lumetta::screens::Splash;
using lumetta::screens::SplashSeams;
using Steady = std::chrono::steady_clock;

// The fonts are looked up in the source tree's assets, as in the tests.
const bool inSourceTree = [] { return chdir(LUMETTA_SOURCE_DIR) == 0; }();

class Stage {
public:
    static Stage& get() {
        static Stage instance;
        return instance;
    }
    Display* display() { return display_.get(); }
    const std::string& base() const { return base_; }

private:
    Stage() {
        setenv("SDL_VIDEO_DRIVER", "offscreen", 1);
        setenv("SDL_RENDER_DRIVER", "software", 1);
        setenv("SDL_FRAMEBUFFER_ACCELERATION", "0", 1);
        display_ = std::make_unique<Display>("", "splash bench", -1, -1, 1920, 1080, false, std::nullopt);
        // Unpaced: the display would otherwise wait for a (simulated) 60 Hz refresh on present.
        SDL_SetRenderVSync(display_->renderer(), 0);
        base_ = dir_.str();
        std::filesystem::create_directories(dir_.path() / "lumetta");
        setConfigString(base_, "account", "Harbour Coffee");
        setConfigString(base_, "branch", "Main street");
        setConfigString(base_, "name", "Lobby screen by the window");
    }
    testing::TempDir dir_;
    std::string base_;
    std::unique_ptr<Display> display_;
};

void resetLink() {
    const auto lock = lockWebSocketState();
    serverLinkState.bindCode.clear();
    serverLinkState.bindQrCode.clear();
    serverLinkState.bindUrl.clear();
    serverLinkState.bindComplete = false;
}

std::string base64(const std::vector<unsigned char>& bytes) {
    static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned v = bytes[i] << 16 | bytes[i + 1] << 8 | bytes[i + 2];
        for (int s = 18; s >= 0; s -= 6) out.push_back(alphabet[(v >> s) & 63]);
    }
    if (i + 1 == bytes.size()) {
        const unsigned v = bytes[i] << 16;
        out += std::string{alphabet[(v >> 18) & 63], alphabet[(v >> 12) & 63], '=', '='};
    } else if (i + 2 == bytes.size()) {
        const unsigned v = bytes[i] << 16 | bytes[i + 1] << 8;
        out += std::string{alphabet[(v >> 18) & 63], alphabet[(v >> 12) & 63], alphabet[(v >> 6) & 63], '='};
    }
    return out;
}

// A picture of the size and look of a QR code: 33 x 33 random modules of 4 pixels in a quiet
// zone, as a Base64 PNG.
std::string qrLikePicture(unsigned seed) {
    std::mt19937 random(seed);
    cv::Mat picture(148, 148, CV_8UC1, cv::Scalar(255));
    for (int y = 0; y < 33; ++y) {
        for (int x = 0; x < 33; ++x) {
            if (random() % 2 == 0) picture(cv::Rect(8 + x * 4, 8 + y * 4, 4, 4)).setTo(cv::Scalar(0));
        }
    }
    std::vector<unsigned char> png;
    cv::imencode(".png", picture, png);
    return base64(png);
}

// Runs one splash of `cycles` cycles past the intro (all lines faded in) and reports the mean
// cycle. `eachCycle` runs before every present.
void runCycles(benchmark::State& state, int cycles, const std::function<void(int)>& eachCycle) {
    Stage& stage = Stage::get();
    for (auto _ : state) {
        testing::ManualClock clock;
        std::atomic<bool> running{true};
        std::atomic<bool> ready{false};
        SplashSeams seams;
        seams.pairing = player::linkSplashPairing;
        seams.clock = &clock;
        seams.probe = [] { return true; };
        seams.running = &running;
        int cycle = 0;
        Steady::time_point first{};
        Steady::time_point last{};
        seams.beforePresent = [&] {
            if (cycle == 0) clock.advance(8000);  // past the intro and every line's fade
            if (cycle == 2) first = Steady::now();
            if (cycle == cycles + 2) {
                last = Steady::now();
                running = false;
            }
            if (eachCycle) eachCycle(cycle);
            ++cycle;
        };
        Splash splash(stage.base(), stage.display(), "SN-0042", "", "B8:27:EB:00:00:01", &ready, seams);
        const double seconds = std::chrono::duration<double>(last - first).count();
        state.SetIterationTime(seconds);
        state.counters["ms/cycle"] = seconds * 1000.0 / cycles;
    }
}

void BM_SplashIdentityCycle(benchmark::State& state) {
    resetLink();
    runCycles(state, 200, {});
}
BENCHMARK(BM_SplashIdentityCycle)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_SplashPairingCycle(benchmark::State& state) {
    resetLink();
    storeBindCode("4F7K2Q", qrLikePicture(1), "lumetta.invalid/link");
    runCycles(state, 200, {});
    resetLink();
}
BENCHMARK(BM_SplashPairingCycle)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

// New values every cycle: the QR picture is decoded and both texts laid out again each time,
// which is what every cycle would cost without keeping them.
void BM_SplashPairingCycleRemade(benchmark::State& state) {
    resetLink();
    const std::string pictures[2] = {qrLikePicture(1), qrLikePicture(2)};
    storeBindCode("4F7K2Q", pictures[0], "lumetta.invalid/link");
    runCycles(state, 200, [&](int cycle) {
        const int which = cycle % 2;
        storeBindCode(which == 0 ? "4F7K2Q" : "4F7K2R", pictures[which],
                      which == 0 ? "lumetta.invalid/link" : "lumetta.invalid/link2");
    });
    resetLink();
}
BENCHMARK(BM_SplashPairingCycleRemade)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

// A splash that ends on its first cycle with a kept frame, for the fade.
std::unique_ptr<Splash> endedSplash(Clock& clock, std::atomic<bool>& running, int& frames) {
    resetLink();
    markBindComplete();
    SplashSeams seams;
    seams.pairing = player::linkSplashPairing;
    seams.clock = &clock;
    seams.probe = [] { return true; };
    seams.running = &running;
    seams.beforePresent = [&frames] { ++frames; };
    auto splash = std::make_unique<Splash>(Stage::get().base(), Stage::get().display(), "SN", "", "", nullptr, seams);
    resetLink();
    return splash;
}

void fadeBench(benchmark::State& state, bool paced) {
    for (auto _ : state) {
        testing::ManualClock manual;
        manual.setAutoAdvance(true);
        Clock& clock = paced ? systemClock() : static_cast<Clock&>(manual);
        std::atomic<bool> running{true};
        int frames = 0;
        auto splash = endedSplash(clock, running, frames);
        frames = 0;
        const auto begun = Steady::now();
        splash->fadeFrame();
        const double seconds = std::chrono::duration<double>(Steady::now() - begun).count();
        state.SetIterationTime(seconds);
        state.counters["frames"] = frames;
        state.counters["frames/s"] = frames / seconds;
    }
}

void BM_SplashFadeFrame(benchmark::State& state) { fadeBench(state, true); }
BENCHMARK(BM_SplashFadeFrame)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);

void BM_SplashFadeFrameUnpaced(benchmark::State& state) { fadeBench(state, false); }
BENCHMARK(BM_SplashFadeFrameUnpaced)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

// From the stop request to the end of the probe thread, while it waits between two probes.
void BM_SplashProbeThreadStop(benchmark::State& state) {
    for (auto _ : state) {
        std::atomic<bool> probed{false};
        SplashSeams seams;
        seams.pairing = player::linkSplashPairing;
        seams.probe = [&probed] {
            probed = true;
            probed.notify_all();
            return true;
        };
        Splash splash("", nullptr, "", "", "", nullptr, seams);
        std::atomic<bool> online{false};
        std::jthread thread([&](std::stop_token stop) { splash.connectivityThread(stop, &online); });
        probed.wait(false);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // well into its first wait
        const auto begun = Steady::now();
        thread.request_stop();
        thread.join();
        state.SetIterationTime(std::chrono::duration<double>(Steady::now() - begun).count());
    }
}
BENCHMARK(BM_SplashProbeThreadStop)->UseManualTime()->Iterations(20)->Unit(benchmark::kMicrosecond);

}  // namespace
