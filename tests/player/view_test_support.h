#pragma once
// A run of the player loop for tests: a 320x180 offscreen display, a stored playlist in a
// temporary base directory (no service), a manual clock that the event wait steps when nothing
// is waiting and that moves 16 ms a drawn frame, and a frame observer that reads the screen back
// and may push events or stop the run.

#include <SDL3/SDL.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <linux/watchdog.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "content/played_playlists.h"
#include "content/playlist.h"
#include "link/player_events.h"
#include "link/server_link_state.h"
#include "player/view.h"
#include "player_test_support.h"
#include "support/manual_clock.h"
#include "support/temp_dir.h"

namespace lumetta::testing {

// A watchdog driver that answers like a plain one (15 s accepted, disable option supported) and
// records its calls.
class ScriptedWatchdogIo final : public player::WatchdogIo {
public:
    bool openFails = false;
    int timeoutAnswer = 15;

    int open(const char*, int) override {
        record("open");
        if (openFails) {
            errno = ENOENT;
            return -1;
        }
        return 9;
    }
    int ioctl(int, unsigned long request, void* argument) override {
        switch (request) {
            case WDIOC_GETSUPPORT:
                static_cast<watchdog_info*>(argument)->options = WDIOF_MAGICCLOSE;
                return 0;
            case WDIOC_SETTIMEOUT:
                *static_cast<int*>(argument) = timeoutAnswer;
                return 0;
            case WDIOC_KEEPALIVE:
                record("keepalive");
                return 0;
            case WDIOC_SETOPTIONS:
                record("disable");
                return 0;
            default:
                errno = ENOTTY;
                return -1;
        }
    }
    ssize_t write(int, const void*, size_t size) override {
        record("write");
        return static_cast<ssize_t>(size);
    }
    int close(int) override {
        record("close");
        return 0;
    }
    std::vector<std::string> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    int count(const std::string& call) const {
        std::lock_guard lock(mutex_);
        int n = 0;
        for (const auto& each : calls_) n += each == call ? 1 : 0;
        return n;
    }

private:
    void record(const std::string& call) {
        std::lock_guard lock(mutex_);
        calls_.push_back(call);
    }
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
};

// One slide of a stored playlist document with one full-screen shape layer. It cuts in without
// a transition, so a slide's first frame shows it whole.
inline Json::Value shapeSlide(const std::string& id, const std::string& kind, const std::string& colour, int duration,
                              int x = 0, int y = 0, int w = 320, int h = 180) {
    Json::Value slide;
    slide["id"] = id;
    slide["transitionIn"] = "none";
    slide["width"] = 320;
    slide["height"] = 180;
    slide["duration"] = duration;
    Json::Value layer;
    layer["x"] = x;
    layer["y"] = y;
    layer["width"] = w;
    layer["height"] = h;
    layer[kind]["color"] = colour;
    slide["layers"].append(layer);
    return slide;
}

inline Json::Value playlistDocument(const std::string& name, std::vector<Json::Value> slides) {
    Json::Value document;
    document["account"] = "acme";
    document["branch"] = "main";
    document["playlist"] = name;
    document["slides"] = Json::arrayValue;
    for (auto& slide : slides) document["slides"].append(slide);
    return document;
}

// A playlist handle made in code, as the playlist job hands one over.
inline std::unique_ptr<Playlist> playlistOf(ThreadSafeQueue& queue, const std::string& name, std::vector<Slide> slides,
                                            const std::string& directory = {}) {
    auto playlist = std::make_unique<Playlist>(queue);
    PlaylistContent content;
    content.account = "acme";
    content.branch = "main";
    content.name = name;
    content.slides = std::move(slides);
    playlist->content = std::move(content);
    playlist->playlistDirectory = directory;
    return playlist;
}

// The centre colour of one presented frame and when it was presented.
struct PresentedFrame {
    std::int64_t systemMs = 0;
    Colour centre;
};

class ViewHarness {
public:
    ViewHarness() : record(base / "run", clock) {
        SDL_FlushEvents(SDL_EVENT_FIRST, SDL_EVENT_LAST);
        running = true;
        seams.clock = &clock;
        seams.waitEvent = [this](SDL_Event& event, int timeoutMs) {
            waits.push_back(timeoutMs);
            if (SDL_PollEvent(&event)) return true;
            clock.advance(timeoutMs);
            return false;
        };
        seams.pollEvent = [](SDL_Event& event) { return SDL_PollEvent(&event); };
        seams.delay = [this](int milliseconds) { clock.advance(milliseconds); };
        seams.beforePresent = [this](Display& shown) {
            frames.push_back({clock.systemMs(), pixelAt(shown.renderer(), 160, 90)});
            if (onFrame) onFrame(shown);
            clock.advance(16);
        };
        seams.splash = [](const player::SplashRequest&) { return std::unique_ptr<player::StartupScreen>(); };
        seams.watchdogIo = &watchdogIo;
        seams.link = &link;
        seams.queue = &queue;
        seams.running = &running;
        seams.load.internetAccess = [] { return false; };
        seams.load.clock = &clock;
        seams.recordPlayed = [this](const std::string& account, const std::string& branch, const std::string& name) {
            return record.record(account, branch, name);
        };
        seams.standbyFile = (base / "standby").string();
        // No remote control unless a test hands one in.
        seams.cecListener = {};
        display = makeDisplay(320, 180);
        // The window's own first events are not part of any test.
        SDL_PumpEvents();
        SDL_FlushEvents(SDL_EVENT_FIRST, SDL_EVENT_LAST);
    }
    ~ViewHarness() { SDL_FlushEvents(SDL_EVENT_FIRST, SDL_EVENT_LAST); }

    // Stores `document` as the active playlist, as an earlier run left it.
    void storePlaylist(const Json::Value& document) {
        const std::string name = document["playlist"].asString();
        const auto directory = base / "lumetta" / "acme" / "main" / name;
        std::ostringstream text;
        text << document;
        writeTestFile(directory / "playlist.json", text.str());
        std::filesystem::remove(base / "lumetta" / "playing.json");
        std::filesystem::create_symlink(directory / "playlist.json", base / "lumetta" / "playing.json");
    }

    int run(bool watchdog = false, SDL_Thread* link = nullptr) {
        return player::view(base.str(), display.get(), "DEVICE1", watchdog, link, nullptr, seams);
    }

    // Ends the run at the next opportunity.
    static void pushQuit() {
        SDL_Event quit{};
        quit.type = SDL_EVENT_QUIT;
        SDL_PushEvent(&quit);
    }

    std::string playedFile() const {
        std::ifstream in(record.filePath());
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    TempDir base;
    ManualClock clock;
    ThreadSafeQueue queue;
    ServerLinkState link;
    std::atomic<bool> running{true};
    PlayedPlaylistsRecord record;
    ScriptedWatchdogIo watchdogIo;
    std::unique_ptr<Display> display;
    player::ViewSeams seams;
    std::vector<PresentedFrame> frames;
    std::vector<int> waits;
    std::function<void(Display&)> onFrame;
};

}  // namespace lumetta::testing
