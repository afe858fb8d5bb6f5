#include "player/remote_control.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "core/palette.h"
#include "link/player_events.h"
#include "support/fake_cec_adapter.h"
#include "support/manual_clock.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace lumetta::player {
namespace {

using lumetta::testing::TempDir;

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string cecTag() { return std::string(ansi::BOLD_RED) + "[CEC]" + std::string(ansi::RESET); }

// Keeps what would have been pushed.
struct Pushed {
    std::vector<SDL_Event> events;
    bool accept = true;
    EventPusher pusher() {
        return [this](SDL_Event& event) {
            if (!accept) {
                SDL_SetError("queue full");
                return false;
            }
            events.push_back(event);
            return true;
        };
    }
};

bool zeroBeyondKey(const SDL_KeyboardEvent& key) {
    return key.scancode == 0 && key.mod == 0 && !key.repeat && key.timestamp == 0 && key.windowID == 0 &&
           key.which == 0 && key.raw == 0;
}

TEST(RemoteControl, ButtonsArePushedAsKeyDownsAndUps) {
    struct Case {
        std::uint8_t code;
        SDL_Keycode key;
    } cases[] = {{0x00, SDLK_RETURN}, {0x01, SDLK_UP},    {0x02, SDLK_DOWN},
                 {0x03, SDLK_LEFT},   {0x04, SDLK_RIGHT}, {0x0D, SDLK_AC_BACK}};
    for (const Case& c : cases) {
        Pushed pushed;
        EXPECT_TRUE(onCecKey(c.code, true, pushed.pusher()));
        EXPECT_TRUE(onCecKey(c.code, false, pushed.pusher()));
        ASSERT_EQ(pushed.events.size(), 2u);
        const SDL_Event& down = pushed.events[0];
        const SDL_Event& up = pushed.events[1];
        EXPECT_EQ(down.type, SDL_EVENT_KEY_DOWN);
        EXPECT_EQ(down.key.key, c.key);
        EXPECT_TRUE(down.key.down);
        EXPECT_TRUE(zeroBeyondKey(down.key));
        EXPECT_EQ(up.type, SDL_EVENT_KEY_UP);
        EXPECT_EQ(up.key.key, c.key);
        EXPECT_FALSE(up.key.down);
        EXPECT_TRUE(zeroBeyondKey(up.key));
    }
    // Other buttons push nothing.
    Pushed pushed;
    for (int code : {0x05, 0x09, 0x20, 0x44, 0x45, 0xFF}) {
        EXPECT_FALSE(onCecKey(static_cast<std::uint8_t>(code), true, pushed.pusher()));
        EXPECT_FALSE(onCecKey(static_cast<std::uint8_t>(code), false, pushed.pusher()));
    }
    EXPECT_TRUE(pushed.events.empty());
}

TEST(RemoteControl, AFailedPushIsLoggedAndThePressLost) {
    Pushed pushed;
    pushed.accept = false;
    std::ostringstream errors;
    EXPECT_FALSE(onCecKey(0x04, true, pushed.pusher(), errors));
    EXPECT_FALSE(onCecKey(0x04, false, pushed.pusher(), errors));
    EXPECT_EQ(errors.str(), cecTag() + " SDL_PushEvent (keydown) failed: queue full\n" + cecTag() +
                                " SDL_PushEvent (keyup) failed: queue full\n");

    std::ostringstream touch;
    EXPECT_FALSE(queueTouchNavigation(SDLK_LEFT, pushed.pusher(), touch));
    EXPECT_EQ(touch.str(), "[TOUCH] Could not queue navigation event: queue full\n");
}

TEST(RemoteControl, SwipeKeysComeBackAsPlainKeyDowns) {
    Pushed pushed;
    EXPECT_TRUE(queueTouchNavigation(SDLK_END, pushed.pusher()));
    ASSERT_EQ(pushed.events.size(), 1u);
    EXPECT_EQ(pushed.events[0].type, SDL_EVENT_KEY_DOWN);
    EXPECT_EQ(pushed.events[0].key.key, SDLK_END);
    EXPECT_FALSE(pushed.events[0].key.down);
    EXPECT_TRUE(zeroBeyondKey(pushed.events[0].key));
}

TEST(Standby, RepeatedReportsChangeNothing) {
    TempDir dir;
    const DisplayStandbyFile file(dir / "standby");
    std::atomic<bool> standby{false};
    Pushed pushed;

    EXPECT_FALSE(onCecPower(true, standby, file, pushed.pusher())) << "awake already";
    EXPECT_TRUE(pushed.events.empty());
    EXPECT_FALSE(std::filesystem::exists(file.path()));

    // Two standby reports in a row: the file once, one event.
    EXPECT_TRUE(onCecPower(false, standby, file, pushed.pusher()));
    EXPECT_TRUE(standby);
    EXPECT_EQ(readFile(file.path()), "standby\n");
    std::filesystem::remove(file.path());
    EXPECT_FALSE(onCecPower(false, standby, file, pushed.pusher()));
    EXPECT_FALSE(std::filesystem::exists(file.path())) << "the second report writes nothing";
    ASSERT_EQ(pushed.events.size(), 1u);
    EXPECT_EQ(pushed.events[0].type, standbyChangedEvent);

    // Awake again: the file goes, one more event; a repeat changes nothing.
    std::ofstream(file.path()) << "standby\n";
    EXPECT_TRUE(onCecPower(true, standby, file, pushed.pusher()));
    EXPECT_FALSE(standby);
    EXPECT_FALSE(std::filesystem::exists(file.path()));
    EXPECT_FALSE(onCecPower(true, standby, file, pushed.pusher()));
    ASSERT_EQ(pushed.events.size(), 2u);
    EXPECT_EQ(pushed.events[1].type, standbyChangedEvent);
}

TEST(Standby, FileFailuresAreIgnored) {
    TempDir dir;
    // A directory where the file should be: neither writing nor removing it can succeed.
    std::filesystem::create_directories(dir / "standby" / "inside");
    const DisplayStandbyFile blocked(dir / "standby");
    const DisplayStandbyFile unreachable(dir / "missing" / "standby");
    std::atomic<bool> standby{false};
    Pushed pushed;
    EXPECT_TRUE(onCecPower(false, standby, blocked, pushed.pusher()));
    EXPECT_TRUE(onCecPower(true, standby, blocked, pushed.pusher()));
    EXPECT_TRUE(onCecPower(false, standby, unreachable, pushed.pusher()));
    EXPECT_TRUE(onCecPower(true, standby, unreachable, pushed.pusher()));
    EXPECT_EQ(pushed.events.size(), 4u) << "the events go out all the same";
    EXPECT_TRUE(std::filesystem::is_directory(dir / "standby" / "inside"));
}

// Runs in a child of DefaultPathInAPrivateRun only, inside a mount namespace of its own with
// an empty /run.
TEST(Standby, DefaultPathChild) {
    if (std::getenv("LUMETTA_STANDBY_CHILD") == nullptr) GTEST_SKIP() << "runs inside DefaultPathInAPrivateRun";
    // Never touch the machine's own /run: only the private tmpfs its parent mounted will do.
    ASSERT_NE(readFile("/proc/self/mounts").find("lumetta-test-run /run tmpfs"), std::string::npos)
        << "/run is not the private test mount";
    const DisplayStandbyFile file;
    ASSERT_EQ(file.path(), "/run/lumetta-display-standby");
    std::atomic<bool> standby{false};
    Pushed pushed;
    onCecPower(false, standby, file, pushed.pusher());
    EXPECT_EQ(readFile("/run/lumetta-display-standby"), "standby\n");
    onCecPower(true, standby, file, pushed.pusher());
    EXPECT_FALSE(std::filesystem::exists("/run/lumetta-display-standby"));
    // The loop's start and end remove it whether or not it is there.
    file.create();
    file.remove();
    file.remove();
    EXPECT_FALSE(std::filesystem::exists("/run/lumetta-display-standby"));
}

TEST(Standby, DefaultPathInAPrivateRun) {
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    lumetta::testing::ProcessOptions options;
    options.environment["LUMETTA_STANDBY_CHILD"] = "1";
    const auto probe = lumetta::testing::runProcess(
        {"unshare", "--mount", "--propagation", "private", "--", "sh", "-c", "mount -t tmpfs lumetta-test-run /run"});
    if (probe.exitStatus != 0) GTEST_SKIP() << "no private mount namespace here";
    const auto result = lumetta::testing::runProcess(
        {"unshare", "--mount", "--propagation", "private", "--", "sh", "-c",
         "mount -t tmpfs lumetta-test-run /run || exit 99\nexec \"$0\" --gtest_filter=Standby.DefaultPathChild",
         self},
        options);
    EXPECT_EQ(result.exitStatus, 0) << result.out << result.err;
    EXPECT_NE(result.out.find("[  PASSED  ] 1 test"), std::string::npos) << result.out;
}

TEST(Standby, WaitDropsEverythingButAWakeUpAQuitOrADisplayRemoval) {
    std::atomic<bool> standby{true};
    std::atomic<bool> running{true};
    // Keys, touches, a playlist and a group wake-up, then nothing for a while, then the
    // television wakes.
    std::vector<SDL_EventType> script = {SDL_EVENT_KEY_DOWN, SDL_EVENT_FINGER_DOWN,
                                         static_cast<SDL_EventType>(playlistReadyEvent),
                                         static_cast<SDL_EventType>(groupChangedEvent), SDL_EVENT_DISPLAY_ADDED};
    std::size_t calls = 0;
    std::vector<int> timeouts;
    std::ostringstream out;
    // The standby wait takes its events through a pump on the player's flag and output.
    std::optional<screens::EventPump> events;
    const auto pump = [&](const screens::EventWaiter& source) -> screens::EventPump& {
        return events.emplace(running, out, source);
    };
    const screens::EventWaiter wait = [&](SDL_Event& event, int timeoutMs) {
        timeouts.push_back(timeoutMs);
        const std::size_t at = calls++;
        if (at < script.size()) {
            event.type = script[at];
            return true;
        }
        if (at == script.size() + 2) standby = false;
        return false;
    };
    EXPECT_TRUE(waitOutStandby(standby, pump(wait)));
    EXPECT_TRUE(running);
    EXPECT_EQ(calls, script.size() + 3);
    EXPECT_EQ(timeouts, std::vector<int>(calls, 250));
    EXPECT_EQ(out.str(), "");

    // A quit ends the player at once (a stop signal must not wait for the television).
    standby = true;
    calls = 0;
    script = {SDL_EVENT_KEY_DOWN, SDL_EVENT_QUIT, SDL_EVENT_KEY_DOWN};
    EXPECT_FALSE(waitOutStandby(standby, pump(wait)));
    EXPECT_FALSE(running);
    EXPECT_EQ(calls, 2u);
    EXPECT_TRUE(standby) << "the television still sleeps";

    // A display removal ends it with its line.
    running = true;
    calls = 0;
    const screens::EventWaiter removed = [&](SDL_Event& event, int) {
        ++calls;
        event.type = SDL_EVENT_DISPLAY_REMOVED;
        event.display.displayID = 42;
        return true;
    };
    EXPECT_FALSE(waitOutStandby(standby, pump(removed)));
    EXPECT_EQ(calls, 1u);
    EXPECT_EQ(out.str(), "Display disconnected " + std::string(ansi::BOLD_RED) + "42" + std::string(ansi::RESET) +
                             "; exiting for restart\n");

    // Awake or stopped before it starts: no wait at all.
    calls = 0;
    running = true;
    standby = false;
    EXPECT_TRUE(waitOutStandby(standby, pump(removed)));
    standby = true;
    running = false;
    EXPECT_FALSE(waitOutStandby(standby, pump(removed)));
    EXPECT_EQ(calls, 0u);
}

TEST(CecThread, WithoutAListenerTheLoopGoesOnWithoutTheRemote) {
    std::ostringstream errors;
    lumetta::testing::FakeCecIo noAdapter({});
    lumetta::testing::ManualClock clock;
    std::jthread thread = startCecThread(deviceCecListener(noAdapter, clock), displayStandby,
                                         DisplayStandbyFile("/nonexistent/x"), errors);
    thread.join();
    EXPECT_EQ(errors.str(), cecTag() + " No usable /dev/cec adapter found\n");
}

TEST(CecThread, ButtonsAndPowerReachTheQueueUntilStopped) {
    ASSERT_TRUE(SDL_InitSubSystem(SDL_INIT_EVENTS)) << SDL_GetError();
    SDL_FlushEvents(SDL_EVENT_FIRST, SDL_EVENT_LAST);
    TempDir dir;
    std::atomic<bool> standby{false};
    std::atomic<bool> stoppedSeen{false};
    const CecListener listener = [&](std::stop_token stop, const CecKeyHandler& keys, const CecPowerHandler& power) {
        keys(0x00, true);
        keys(0x00, false);
        keys(0x77, true);  // no key of ours
        power(false);
        power(false);
        while (!stop.stop_requested()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        stoppedSeen = true;
    };
    std::ostringstream errors;
    {
        std::jthread thread = startCecThread(listener, standby, DisplayStandbyFile(dir / "standby"), errors);
        std::vector<SDL_Event> seen;
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (seen.size() < 3 && std::chrono::steady_clock::now() < limit) {
            SDL_Event event;
            if (SDL_WaitEventTimeout(&event, 100)) seen.push_back(event);
        }
        ASSERT_EQ(seen.size(), 3u);
        EXPECT_EQ(seen[0].type, SDL_EVENT_KEY_DOWN);
        EXPECT_EQ(seen[0].key.key, SDLK_RETURN);
        EXPECT_EQ(seen[1].type, SDL_EVENT_KEY_UP);
        EXPECT_EQ(seen[2].type, standbyChangedEvent);
        EXPECT_TRUE(standby);
        EXPECT_EQ(readFile(dir / "standby"), "standby\n");
    }  // the thread is stopped and joined here
    EXPECT_TRUE(stoppedSeen);
    SDL_Event extra;
    EXPECT_FALSE(SDL_PollEvent(&extra)) << "the repeated standby report pushed nothing";
    EXPECT_EQ(errors.str(), "");
    SDL_QuitSubSystem(SDL_INIT_EVENTS);
}

}  // namespace
}  // namespace lumetta::player
