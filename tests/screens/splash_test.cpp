#include "screens/splash.h"

#include <SDL3/SDL.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <opencv2/imgcodecs.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/config_store.h"
#include "core/palette.h"
#include "core/process_state.h"
#include "display/display.h"
#include "display/screen_shift.h"
#include "display/slide_mapping.h"
#include "link/server_link_state.h"
#include "link/server_messages.h"
#include "objects/text_lines.h"
#include "platform/websocket.h"
#include "player/view.h"
#include "support/line_capture.h"
#include "support/manual_clock.h"
#include "support/temp_dir.h"
#include "support/transition_screen.h"

namespace lumetta::screens {
namespace {

namespace fs = std::filesystem;
using lumetta::testing::Frame;
using lumetta::testing::LineCapture;
using lumetta::testing::ManualClock;
using lumetta::testing::Rgb;
using lumetta::testing::TempDir;

constexpr Rgb kArtOrange{0xF0, 0x7F, 0x14};
constexpr Rgb kRed{255, 0, 0};
constexpr Rgb kBlue{0, 0, 255};

// ---------------------------------------------------------------------------------------------
// Helpers

// std::cerr goes into `lines` while this lives.
class ErrorCapture {
public:
    ErrorCapture() : saved_(std::cerr.rdbuf(lines.rdbuf())) {}
    ~ErrorCapture() { std::cerr.rdbuf(saved_); }
    int containing(const std::string& part) const {
        int n = 0;
        for (const std::string& line : lines.lines()) n += line.find(part) != std::string::npos ? 1 : 0;
        return n;
    }
    LineCapture lines;

private:
    std::streambuf* saved_;
};

std::string errorLine(const std::string& message) {
    return std::string(ansi::BOLD_RED) + "[ORIENTATION]" + std::string(ansi::RESET) + " " + message;
}

Frame capture(SDL_Renderer* renderer) {
    SurfaceHandle read(SDL_RenderReadPixels(renderer, nullptr));
    if (!read) {
        ADD_FAILURE() << "read-back failed: " << SDL_GetError();
        return {};
    }
    SurfaceHandle rgb(SDL_ConvertSurface(read.get(), SDL_PIXELFORMAT_XRGB8888));
    Frame f{rgb->w, rgb->h, std::vector<std::uint32_t>(static_cast<std::size_t>(rgb->w) * rgb->h)};
    for (int y = 0; y < rgb->h; ++y) {
        const auto* row = reinterpret_cast<const std::uint32_t*>(static_cast<const char*>(rgb->pixels) + y * rgb->pitch);
        for (int x = 0; x < rgb->w; ++x) f.pixels[static_cast<std::size_t>(y) * rgb->w + x] = row[x] & 0xFFFFFF;
    }
    return f;
}

struct Box {
    int left = INT_MAX, top = INT_MAX, right = -1, bottom = -1;  // right and bottom inclusive
    bool empty() const { return right < 0; }
    int width() const { return right - left + 1; }
    int height() const { return bottom - top + 1; }
};

// The box of every pixel in rows [top, bottom) that `match` accepts.
Box boxOf(const Frame& f, int top, int bottom, const std::function<bool(Rgb)>& match) {
    Box box;
    for (int y = std::max(top, 0); y < std::min(bottom, f.height); ++y) {
        for (int x = 0; x < f.width; ++x) {
            if (!match(f.at(x, y))) continue;
            box.left = std::min(box.left, x);
            box.right = std::max(box.right, x);
            box.top = std::min(box.top, y);
            box.bottom = std::max(box.bottom, y);
        }
    }
    return box;
}

int brightest(const Frame& f, int top, int bottom) {
    int most = 0;
    for (int y = std::max(top, 0); y < std::min(bottom, f.height); ++y) {
        for (int x = 0; x < f.width; ++x) {
            const Rgb c = f.at(x, y);
            most = std::max({most, c.r, c.g, c.b});
        }
    }
    return most;
}

bool lit(Rgb c) { return c.r > 40 || c.g > 40 || c.b > 40; }
bool isRed(Rgb c) { return c.r > 200 && c.g < 40 && c.b < 40; }
bool isLinkOrange(Rgb c) { return c.r > 200 && c.g > 90 && c.g < 160 && c.b < 60; }
bool isWhite(Rgb c) { return c.r >= 240 && c.g >= 240 && c.b >= 240; }
bool isGreyText(Rgb c) { return c.r > 150 && std::abs(c.r - c.g) < 12 && std::abs(c.g - c.b) < 12; }

// Where a point of the built-in picture lands: fitted into the screen less 1 + margin pixels on
// each side, centred.
struct Point {
    int x = 0, y = 0;
};
Point artPoint(int width, int height, int margin, double artX, double artY) {
    const double w = width - 2.0 - 2.0 * margin, h = height - 2.0 - 2.0 * margin;
    const double k = std::min(w / 1920.0, h / 1080.0);
    const double left = 1 + margin + (w - 1920.0 * k) / 2, top = 1 + margin + (h - 1080.0 * k) / 2;
    return {static_cast<int>(std::lround(left + artX * k)), static_cast<int>(std::lround(top + artY * k))};
}

// A point inside the orange disc of the picture, off its white play sign.
constexpr double kDiscX = 810, kDiscY = 400;

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

// A PNG of one colour, or of two halves (left, right), as bytes.
std::vector<unsigned char> pngBytes(int width, int height, Rgb left, Rgb right) {
    cv::Mat picture(height, width, CV_8UC3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const Rgb c = x < width / 2 ? left : right;
            picture.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<unsigned char>(c.b), static_cast<unsigned char>(c.g),
                                                    static_cast<unsigned char>(c.r));
        }
    }
    std::vector<unsigned char> bytes;
    cv::imencode(".png", picture, bytes);
    return bytes;
}

void writeBytes(const fs::path& path, const std::vector<unsigned char>& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
}

// A valid grey PNG of 1 bit a pixel, all black: tiny on disk, gigabytes once decoded.
std::vector<unsigned char> hugePng(std::uint32_t side) {
    auto chunk = [](std::vector<unsigned char>& out, const char* type, const std::vector<unsigned char>& data) {
        auto put32 = [&](std::uint32_t v) {
            for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<unsigned char>(v >> s));
        };
        put32(static_cast<std::uint32_t>(data.size()));
        std::vector<unsigned char> body(type, type + 4);
        body.insert(body.end(), data.begin(), data.end());
        out.insert(out.end(), body.begin(), body.end());
        put32(static_cast<std::uint32_t>(crc32(0, body.data(), static_cast<uInt>(body.size()))));
    };
    std::vector<unsigned char> png{0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    std::vector<unsigned char> header;
    for (std::uint32_t v : {side, side})
        for (int s = 24; s >= 0; s -= 8) header.push_back(static_cast<unsigned char>(v >> s));
    header.insert(header.end(), {1, 0, 0, 0, 0});
    chunk(png, "IHDR", header);
    const std::size_t rowBytes = 1 + (side + 7) / 8;
    std::vector<unsigned char> raw(rowBytes * side, 0);
    uLongf packedSize = compressBound(static_cast<uLong>(raw.size()));
    std::vector<unsigned char> packed(packedSize);
    compress2(packed.data(), &packedSize, raw.data(), static_cast<uLong>(raw.size()), 9);
    packed.resize(packedSize);
    chunk(png, "IDAT", packed);
    chunk(png, "IEND", {});
    return png;
}

void pushKey(SDL_Keycode key, bool repeat = false) {
    SDL_Event event{};
    event.type = SDL_EVENT_KEY_DOWN;
    event.key.key = key;
    event.key.down = true;
    event.key.repeat = repeat;
    ASSERT_TRUE(SDL_PushEvent(&event)) << SDL_GetError();
}

void pushQuit() {
    SDL_Event event{};
    event.type = SDL_EVENT_QUIT;
    ASSERT_TRUE(SDL_PushEvent(&event)) << SDL_GetError();
}

// One splash run, scripted cycle by cycle from the hook before each present: the test reads the
// frame and pushes events and server frames, then the manual clock moves to the next cycle's
// tick (16 ms on by default).
struct Script {
    ManualClock clock;
    std::atomic<bool> online{true};
    std::atomic<bool> ready{true};
    std::atomic<int> probes{0};
    std::mutex mutex;
    std::condition_variable probed;
    std::function<bool(int call)> probe;  // replaces the plain answer of `online`
    int cycle = 0;
    std::uint64_t ticks = 0;  // of the cycle being presented
    std::function<void(Script&)> each;
    std::function<std::uint64_t(int cycle, std::uint64_t ticks)> next;
    int limit = 3000;  // then Escape, so that a broken end rule cannot hang the test
    bool fading = false;
    int fadeFrames = 0;
    std::function<void(Script&)> eachFade;

    SplashSeams seams() {
        SplashSeams s;
        s.clock = &clock;
        s.probe = [this] {
            const int call = probes.load() + 1;
            const bool answer = probe ? probe(call) : online.load();
            {
                std::lock_guard lock(mutex);
                probes.store(call);
            }
            probed.notify_all();
            return answer;
        };
        s.beforePresent = [this] { beforePresent(); };
        // The pairing as the service sends it, over the server link.
        s.pairing = player::linkSplashPairing;
        return s;
    }

    // The first probe has answered (the cycle then sees its result from the start).
    void awaitProbe(int count = 1) {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(probed.wait_for(lock, std::chrono::seconds(5), [&] { return probes.load() >= count; }));
    }

    // Lets the probe thread reach its wait before the clock moves on (so each step of 100 ms is
    // one step of its 2 s pause); true when by then `count` probes have answered and the splash's
    // online flag holds the last answer.
    bool probeSettled(int count) {
        const bool answered = probes.load() >= count;
        return clock.waitForWaiters(1) && answered;
    }

    void beforePresent() {
        if (fading) {
            ++fadeFrames;
            if (eachFade) eachFade(*this);
            return;
        }
        if (cycle == 0) awaitProbe();
        ticks = clock.ticksMs();
        if (each) each(*this);
        if (cycle >= limit) pushKey(SDLK_ESCAPE);
        ++cycle;
        const std::uint64_t target = next ? next(cycle, ticks) : ticks + 16;
        if (target > ticks) clock.advance(static_cast<std::int64_t>(target - ticks));
    }
};

// Cycle i at the i-th tick of the list, then on by 16 ms.
std::function<std::uint64_t(int, std::uint64_t)> at(std::vector<std::uint64_t> ticks) {
    return [ticks](int cycle, std::uint64_t now) {
        return static_cast<std::size_t>(cycle) < ticks.size() ? ticks[static_cast<std::size_t>(cycle)] : now + 16;
    };
}

class SplashTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(base / "lumetta");
        savedRotation = displayRotation.load();
        resetLink();
        playerRunning = true;
    }
    void TearDown() override {
        playerRunning = true;
        displayRotation = savedRotation;
        setScreenShift(0, 0, 0, 0.0f);
        resetLink();
        SDL_FlushEvents(SDL_EVENT_FIRST, SDL_EVENT_LAST);
    }

    static void resetLink() {
        const auto lock = lockWebSocketState();
        serverLinkState.bindCode.clear();
        serverLinkState.bindQrCode.clear();
        serverLinkState.bindUrl.clear();
        serverLinkState.bindComplete = false;
    }

    // A frame as the service sends it, through the server link's own handler.
    void serverFrame(const Json::Value& message) {
        const std::string text = Json::writeString(Json::StreamWriterBuilder(), message);
        ServerMessageContext context;
        context.baseDirectory = base.str();
        context.errors = &linkErrors;
        handleServerMessage(text.data(), static_cast<std::uint32_t>(text.size()), kWebSocketText, context);
    }
    void sendBindCode(const std::string& code, const std::string& qr, const std::string& url) {
        Json::Value message;
        message["type"] = "bindCode";
        message["data"]["code"] = code;
        message["data"]["qrCode"] = qr;
        message["data"]["url"] = url;
        serverFrame(message);
    }
    void sendBindComplete() {
        Json::Value message;
        message["type"] = "bindComplete";
        serverFrame(message);
    }

    void setConfig(const std::string& key, const Json::Value& value) {
        Json::Value document;
        loadConfigDocument(configPath(base.str()), document);
        document[key] = value;
        ASSERT_TRUE(saveConfigDocument(configPath(base.str()), document));
    }
    Json::Value config() const {
        Json::Value document;
        loadConfigDocument(configPath(base.str()), document);
        return document;
    }
    fs::path data() const { return base / "lumetta"; }
    std::string orientationFile() const {
        std::ifstream in(data() / "orientation");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    // Covers the built-in picture with a black one, so only the views show.
    void blackBackdrop() const { writeBytes(data() / "orientation.png", pngBytes(16, 9, {0, 0, 0}, {0, 0, 0})); }

    std::unique_ptr<Splash> run(Display* display, Script& script) {
        return std::make_unique<Splash>(base.str(), display, "SN-0042", "", "B8:27:EB:00:00:01", &script.ready,
                                        script.seams());
    }

    TempDir base;
    std::ostringstream linkErrors;
    int savedRotation = 0;
};

std::unique_ptr<Display> screen(int width, int height) {
    return std::make_unique<Display>("", "splash test", -1, -1, width, height, false, std::nullopt);
}

// ---------------------------------------------------------------------------------------------
// Orientation

TEST_F(SplashTest, StoredOrientationIsReducedAndWrittenBack) {
    auto display = screen(320, 180);
    struct Case {
        Json::Value stored;
        int expected;
    } cases[] = {{-90, 270}, {450, 90}, {45, 0}, {180, 180}, {270, 270}, {INT_MIN, 0}, {INT_MAX, 0},
                 {"90", 0},  {Json::Value(), 0}};
    sendBindComplete();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored.toStyledString());
        if (c.stored.isNull()) {
            fs::remove(configPath(base.str()));
        } else {
            setConfig("orientation", c.stored);
        }
        displayRotation = 12345;
        int seen = -1;
        Script script;
        script.each = [&](Script&) { seen = displayRotation.load(); };
        auto splash = run(display.get(), script);
        EXPECT_EQ(script.cycle, 1) << "a paired device with its playlist loaded ends at once";
        EXPECT_EQ(seen, c.expected);
        EXPECT_EQ(splash->orientation(), c.expected);
        EXPECT_EQ(config()["orientation"], Json::Value(c.expected));
    }
}

TEST_F(SplashTest, ArrowsStoreTheTurnAtOnceAndTheCurrentOneWritesNothing) {
    auto display = screen(320, 180);
    struct Step {
        SDL_Keycode key;
        int rotation;
        std::string file;
    } steps[] = {{SDLK_LEFT, 270, "270\n"}, {SDLK_DOWN, 180, "180\n"}, {SDLK_RIGHT, 90, "90\n"}, {SDLK_UP, 0, "0\n"}};
    Script script;
    script.ready = false;
    std::size_t step = 0;
    script.each = [&](Script& s) {
        if (s.cycle > 0 && step < std::size(steps)) {
            // The key pushed on the cycle before has been handled.
            EXPECT_EQ(displayRotation.load(), steps[step].rotation);
            EXPECT_EQ(orientationFile(), steps[step].file);
            EXPECT_EQ(config()["orientation"], Json::Value(steps[step].rotation));
            ++step;
        }
        if (step < std::size(steps)) {
            pushKey(steps[step].key);
        } else {
            // Up again: the screen is upright already, so nothing is written.
            fs::remove(data() / "orientation");
            removeConfigKey(base.str(), "orientation");
            pushKey(SDLK_UP);
            s.ready = true;
            sendBindComplete();
        }
    };
    auto splash = run(display.get(), script);
    EXPECT_EQ(step, std::size(steps));
    EXPECT_FALSE(fs::exists(data() / "orientation"));
    EXPECT_EQ(displayRotation.load(), 0);
    // The end of the splash writes the configuration whether or not it changed.
    EXPECT_EQ(config()["orientation"], Json::Value(0));
}

TEST_F(SplashTest, FailedOrientationStoresAreReportedWithTheirLines) {
    auto display = screen(320, 180);
    ErrorCapture errors;
    // The orientation file cannot be replaced: it is a directory.
    fs::create_directories(data() / "orientation" / "inside");
    Script script;
    script.ready = false;
    script.each = [&](Script& s) {
        if (s.cycle == 0) pushKey(SDLK_RIGHT);
        if (s.cycle == 1) {
            EXPECT_EQ(displayRotation.load(), 0) << "a turn that was not stored is not shown";
            // The configuration stops being a JSON object: the closing write fails.
            std::ofstream(configPath(base.str())) << "[1, 2]";
            s.ready = true;
            sendBindComplete();
        }
    };
    auto splash = run(display.get(), script);
    EXPECT_EQ(splash->orientation(), 0);
    EXPECT_EQ(errors.lines.count(errorLine("Unable to write config.json")), 1);
    EXPECT_EQ(errors.lines.count(errorLine("Unable to update config.json when closing splash")), 1);
}

// ---------------------------------------------------------------------------------------------
// When the splash ends

TEST_F(SplashTest, OnlineWithoutCodeShowsTheIntroThenEndsAtTheFirstRecheck) {
    auto display = screen(640, 360);
    Script script;
    std::uint64_t viewStart = 0;
    const Point disc = artPoint(640, 360, 0, kDiscX, kDiscY);
    script.each = [&](Script& s) {
        if (viewStart == 0 && near(capture(display->renderer()).at(disc.x, disc.y), kArtOrange, 1)) {
            viewStart = s.ticks;
        }
    };
    auto splash = run(display.get(), script);
    EXPECT_GE(viewStart, 4900u) << "the intro lasts just under 5 s";
    EXPECT_LT(viewStart, 5000u);
    EXPECT_GE(script.ticks, viewStart + 5000);
    EXPECT_LT(script.ticks, viewStart + 5016) << "the first re-check, 5 s after the view came, ends it";
    EXPECT_EQ(splash->lastFrameWidth(), 640);
    EXPECT_EQ(splash->lastFrameHeight(), 360);
    EXPECT_EQ(splash->lastFrame().size(), 640u * 360u);
    EXPECT_TRUE(playerRunning.load());
}

TEST_F(SplashTest, OfflineDeviceWithActiveContentEndsAtTheFirstRecheck) {
    auto display = screen(320, 180);
    std::ofstream(data() / "playing.json") << "{}";
    Script script;
    script.online = false;
    script.next = at({0, 5000, 9000, 9999, 10000, 10001});
    auto splash = run(display.get(), script);
    EXPECT_EQ(script.ticks, 10000u);
    EXPECT_FALSE(splash->lastFrame().empty());
}

TEST_F(SplashTest, OfflineUnpairedDeviceWaitsUntilPairingCompletesAndTheLoadEnds) {
    auto display = screen(320, 180);
    Script script;
    script.online = false;
    script.ready = false;
    script.next = at({0, 5000, 10000, 60000, 60016, 600000, 600016});
    script.each = [&](Script& s) {
        if (s.cycle == 3) sendBindComplete();  // paired while the first playlist still loads
        if (s.cycle == 5) s.ready = true;
    };
    auto splash = run(display.get(), script);
    EXPECT_EQ(script.cycle, 7) << "the cycle after the load ended ends the splash";
    EXPECT_FALSE(splash->lastFrame().empty());
}

TEST_F(SplashTest, NullReadyFlagCountsAsDone) {
    auto display = screen(320, 180);
    sendBindComplete();
    Script script;
    Splash splash(base.str(), display.get(), "", "", "", nullptr, script.seams());
    EXPECT_EQ(script.cycle, 1);
    EXPECT_FALSE(splash.lastFrame().empty());
}

TEST_F(SplashTest, CodeAfterTheIdentityViewEndsAtTheNextRecheckWhenOnline) {
    auto display = screen(320, 180);
    const std::string qr = base64(pngBytes(32, 32, kRed, kRed));
    Script script;
    script.next = at({0, 5000, 7000, 9000, 9999, 10000, 10001});
    bool pairingShown = false;
    script.each = [&](Script& s) {
        if (s.cycle == 2) sendBindCode("K7Q2", qr, "lumetta.invalid/link");
        if (s.cycle == 4) pairingShown = !boxOf(capture(display->renderer()), 0, 180, isRed).empty();
    };
    auto splash = run(display.get(), script);
    EXPECT_TRUE(pairingShown);
    EXPECT_EQ(script.ticks, 10000u);
    EXPECT_EQ(splash->view(), SplashView::Pairing);
    EXPECT_FALSE(splash->lastFrame().empty());
}

TEST_F(SplashTest, PairingViewFromTheStartWaitsForThePairing) {
    auto display = screen(320, 180);
    sendBindCode("K7Q2", "", "lumetta.invalid/link");
    Script script;
    script.next = at({0, 5000, 10000, 20000, 600000, 600016, 600032});
    script.each = [&](Script& s) {
        if (s.cycle == 4) sendBindComplete();
    };
    auto splash = run(display.get(), script);
    EXPECT_EQ(script.cycle, 6) << "online all along, but no re-check runs without the identity view";
    EXPECT_FALSE(splash->lastFrame().empty());
}

TEST_F(SplashTest, PassedRecheckHoldsWhileTheLoadGoesOn) {
    auto display = screen(320, 180);
    Script script;
    script.ready = false;
    script.probe = [](int call) { return call == 1; };  // online at the re-check, then the link drops
    script.next = [](int cycle, std::uint64_t now) -> std::uint64_t {
        if (cycle == 1) return 5000;   // the identity view
        if (cycle == 2) return 10000;  // its first re-check passes
        return now + 100;
    };
    int offlineSeen = -1;  // the first cycle that reads the dropped link
    script.each = [&](Script& s) {
        if (s.cycle < 2) return;
        if (offlineSeen < 0) {
            if (s.probeSettled(2)) offlineSeen = s.cycle + 1;
        } else if (s.cycle == offlineSeen) {
            s.ready = true;  // the first playlist load ends
        }
    };
    auto splash = run(display.get(), script);
    ASSERT_GT(offlineSeen, 0);
    EXPECT_EQ(script.cycle, offlineSeen + 2) << "the cycle after the load ended ends the splash, offline or not";
    EXPECT_FALSE(splash->lastFrame().empty());
}

TEST_F(SplashTest, FailedRecheckComesAgainFiveSecondsLater) {
    auto display = screen(320, 180);
    Script script;
    script.probe = [](int call) { return call >= 2; };  // offline at the first re-check, online soon after
    int onlineSeen = -1;  // the first cycle that reads the link up
    std::uint64_t onlineTicks = 0;
    script.next = [&](int cycle, std::uint64_t now) -> std::uint64_t {
        if (cycle == 1) return 5000;   // the identity view
        if (cycle == 2) return 10000;  // its first re-check fails
        if (onlineSeen < 0) return now + 100;
        return now < 14999 ? 14999 : now + 1;
    };
    script.each = [&](Script& s) {
        if (s.cycle >= 2 && onlineSeen < 0 && s.probeSettled(2)) {
            onlineSeen = s.cycle + 1;
            onlineTicks = s.ticks;
        }
    };
    auto splash = run(display.get(), script);
    ASSERT_GT(onlineSeen, 0);
    EXPECT_LT(onlineTicks, 14000u);
    EXPECT_EQ(script.cycle, onlineSeen + 2) << "online at 14999 ms, but the next re-check is due at 15000 ms";
    EXPECT_EQ(script.ticks, 15000u);
    EXPECT_FALSE(splash->lastFrame().empty());
}

TEST_F(SplashTest, PrintScreenSavesTheNextFrameInTheDataDirectory) {
    auto display = screen(320, 180);
    auto screenshots = [&] {
        int n = 0;
        for (const auto& entry : fs::directory_iterator(data())) {
            n += entry.path().filename().string().starts_with("screenshot-") ? 1 : 0;
        }
        return n;
    };
    Script script;
    script.ready = false;
    script.each = [&](Script& s) {
        switch (s.cycle) {
            case 0: pushKey(SDLK_PRINTSCREEN, true); break;
            case 1: pushKey(SDLK_PRINTSCREEN); break;
            case 2: EXPECT_EQ(screenshots(), 0) << "a held key's repeats take none"; break;
            case 3:
                EXPECT_EQ(screenshots(), 1);
                s.ready = true;
                sendBindComplete();
                break;
            default: break;
        }
    };
    run(display.get(), script);
    EXPECT_EQ(screenshots(), 1);
}

TEST_F(SplashTest, EscapeOrQuitStopsThePlayer) {
    auto display = screen(320, 180);
    for (const bool quit : {false, true}) {
        SCOPED_TRACE(quit ? "quit event" : "Escape");
        fs::remove(configPath(base.str()));
        sendBindComplete();  // the end test passes on the same cycle: the frame is still dropped
        Script script;
        script.each = [&](Script&) {
            if (quit) {
                pushQuit();
            } else {
                pushKey(SDLK_ESCAPE);
            }
        };
        std::atomic<bool> running{true};
        SplashSeams seams = script.seams();
        seams.running = &running;
        Splash splash(base.str(), display.get(), "SN", "", "", &script.ready, seams);
        EXPECT_EQ(script.cycle, 1);
        EXPECT_FALSE(running.load());
        EXPECT_TRUE(playerRunning.load()) << "only the flag handed in";
        EXPECT_EQ(config()["orientation"], Json::Value(0));
        EXPECT_TRUE(splash.lastFrame().empty());
        splash.fadeFrame();
        EXPECT_EQ(script.fadeFrames, 0);
        resetLink();
    }
}

TEST_F(SplashTest, TheLoopsSplashStopsThroughTheLoopsFlagAndFadesOnItsCall) {
    auto display = screen(64, 7);  // no intro: the one frame shows the picture
    sendBindComplete();
    setConfig("orientation", -90);
    for (const bool escape : {true, false}) {
        SCOPED_TRACE(escape ? "Escape" : "ended");
        std::atomic<bool> ready{true};
        std::atomic<bool> running{true};
        player::SplashRequest request;
        request.dataDirectory = base.str();
        request.display = display.get();
        request.deviceId = "SN-0042";
        request.macAddress = "B8:27:EB:00:00:01";
        request.initialPlaylistReady = &ready;
        request.running = &running;
        if (escape) pushKey(SDLK_ESCAPE);
        auto shown = player::showSplash(request);  // paired and loaded: over after one frame
        ASSERT_TRUE(shown);
        EXPECT_EQ(running.load(), !escape);
        EXPECT_TRUE(playerRunning.load()) << "only the loop's flag";
        EXPECT_EQ(config()["orientation"], Json::Value(270));
        shown->fadeFrame(0);
        if (!escape) {
            EXPECT_TRUE(boxOf(capture(display->renderer()), 0, 7, lit).empty()) << "faded at once";
        }
    }
}

TEST_F(SplashTest, NoDisplayReturnsAtOnce) {
    Script script;
    Splash splash(base.str(), nullptr, "SN", "", "", &script.ready, script.seams());
    EXPECT_EQ(script.probes.load(), 0) << "no probe thread";
    EXPECT_EQ(script.cycle, 0);
    splash.fadeFrame();
    EXPECT_EQ(script.fadeFrames, 0);
    EXPECT_FALSE(fs::exists(configPath(base.str())));
}

TEST_F(SplashTest, OutputOfSevenRowsHasNoIntro) {
    auto display = screen(64, 7);
    ASSERT_EQ(display->height(), 7);
    Script script;
    auto splash = run(display.get(), script);
    // The view (and its re-check) starts on the first frame.
    EXPECT_GE(script.ticks, 5000u);
    EXPECT_LT(script.ticks, 5016u);
}

TEST_F(SplashTest, DAndSpaceSwitchTheInformationUntilACodeArrives) {
    auto display = screen(640, 360);
    blackBackdrop();
    const std::string qr = base64(pngBytes(32, 32, kRed, kRed));
    Script script;
    script.ready = false;
    script.next = at({0, 5000});
    std::vector<int> detailRows;  // lit rows above the identity block, per cycle
    bool qrAfterD = false;
    script.each = [&](Script& s) {
        const Frame f = capture(display->renderer());
        detailRows.push_back(boxOf(f, 0, 250, lit).empty() ? 0 : boxOf(f, 0, 250, lit).height());
        switch (s.cycle) {
            case 1: pushKey(SDLK_D); break;
            case 2: pushKey(SDLK_SPACE); break;
            case 3: sendBindCode("K7Q2", qr, "lumetta.invalid/link"); break;
            case 4: pushKey(SDLK_D); break;
            case 5:
                pushKey(SDLK_SPACE);
                qrAfterD = !boxOf(f, 0, 360, isRed).empty();
                break;
            case 6:
                EXPECT_FALSE(boxOf(f, 0, 360, isRed).empty()) << "Space after a code keeps the pairing view";
                pushKey(SDLK_ESCAPE);
                break;
            default: break;
        }
    };
    auto splash = run(display.get(), script);
    ASSERT_GE(detailRows.size(), 4u);
    EXPECT_EQ(detailRows[1], 0) << "identity view without configured lines";
    EXPECT_GT(detailRows[2], 100) << "D: serial and MAC lines at 64 px";
    EXPECT_EQ(detailRows[3], 0) << "Space: back to the identity view";
    EXPECT_TRUE(qrAfterD) << "D after a code keeps the pairing view";
    EXPECT_EQ(splash->view(), SplashView::Pairing);
}

// ---------------------------------------------------------------------------------------------
// Identity lines

TEST_F(SplashTest, IdentityLinesStartAtTheSizeOfTheOutputHeight) {
    struct Case {
        int width, height, size;
    } cases[] = {{3840, 2160, 80}, {1920, 1188, 44}, {1920, 1080, 40}, {1750, 984, 40}, {1280, 720, 30},
                 {1000, 552, 23},  {300, 600, 25},   {768, 432, 18},   {640, 360, 18}};
    for (const Case& c : cases) {
        auto display = screen(c.width, c.height);
        const auto text = Splash::makeText(display.get(), "Lobby");
        ASSERT_TRUE(text) << c.height;
        EXPECT_EQ(text->laidOutFontSize(), c.size) << c.height;
    }
}

TEST_F(SplashTest, IdentityLinesShrinkByTwoAndEndInAnEllipsis) {
    auto display = screen(1920, 1080);
    const int maxWidth = 1920 - 64;
    EXPECT_EQ(Splash::makeText(display.get(), ""), nullptr);
    std::vector<int> sizes;
    std::string text;
    for (int words = 1; words <= 16; ++words) {
        text += "Main street branch ";
        const auto line = Splash::makeText(display.get(), text);
        ASSERT_TRUE(line);
        const int size = line->laidOutFontSize();
        SCOPED_TRACE(std::to_string(words) + " words at " + std::to_string(size));
        EXPECT_EQ(size % 2, 0);
        EXPECT_GE(size, 18);
        EXPECT_LE(size, 40);
        EXPECT_LE(line->contentWidth(), maxWidth);
        EXPECT_GT(line->contentWidth(), 0);
        if (size < 40) {
            EXPECT_NE(measureText(text, maxWidth, size + 2, "Lato", 0), text) << "a larger size would have fitted";
        }
        if (size == 18 && measureText(text, maxWidth, 18, "Lato", 0) != text) {
            const std::string cut = measureText(text, maxWidth, 18, "Lato", 0);
            ASSERT_TRUE(cut.ends_with("…"));
            Text expected(display.get(), 1920, 1080, SDL_Rect{0, 0, maxWidth, 100}, cut, 18, "255", "Lato", 0,
                          SDL_Color{255, 255, 255, 216}, SDL_Color{0, 0, 0, 0}, 0, false, TextStyle{});
            EXPECT_EQ(line->contentWidth(), expected.contentWidth());
        }
        sizes.push_back(size);
    }
    EXPECT_EQ(sizes.front(), 40);
    EXPECT_TRUE(std::any_of(sizes.begin(), sizes.end(), [](int s) { return s > 18 && s < 40; }));
    EXPECT_EQ(sizes.back(), 18);
}

TEST_F(SplashTest, LineTooLongForAnyTextureIsShortenedWithoutNoise) {
    auto display = screen(1920, 1080);
    ErrorCapture errors;
    const auto line = Splash::makeText(display.get(), std::string(100000, 'W'));
    ASSERT_TRUE(line);
    EXPECT_EQ(line->laidOutFontSize(), 18);
    EXPECT_GT(line->contentWidth(), 0);
    EXPECT_LE(line->contentWidth(), 1920 - 64);
    EXPECT_EQ(errors.lines.lineCount(), 0u);
}

// ---------------------------------------------------------------------------------------------
// Pictures read back

TEST_F(SplashTest, IntroCoverFadesWithTheMargin) {
    struct Case {
        int width, height;
    } cases[] = {{640, 360}, {1920, 1080}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        auto display = screen(c.width, c.height);
        playerRunning = true;
        const int shiftMax = c.height / 8;
        Script script;
        script.ready = false;
        script.next = at({0, 2500, 5000});
        std::vector<Rgb> seen;
        script.each = [&](Script& s) {
            const int margin = static_cast<int>(std::lround(shiftMax * std::max(0.0, 1.0 - s.ticks / 5000.0)));
            const Point disc = artPoint(c.width, c.height, margin, kDiscX, kDiscY);
            seen.push_back(capture(display->renderer()).at(disc.x, disc.y));
            if (s.cycle == 2) pushKey(SDLK_ESCAPE);
        };
        run(display.get(), script);
        ASSERT_EQ(seen.size(), 3u);
        EXPECT_EQ(seen[0], (Rgb{0, 0, 0})) << "fully covered at the start";
        const int margin = static_cast<int>(std::lround(shiftMax * 0.5));
        const int alpha = static_cast<int>(static_cast<double>(margin) / shiftMax * 255.0);
        EXPECT_TRUE(near(seen[1], lumetta::testing::blend(kArtOrange, {0, 0, 0}, alpha), 2)) << seen[1];
        EXPECT_TRUE(near(seen[2], kArtOrange, 1)) << seen[2] << ": uncovered once the intro is over";
    }
}

// Runs of rows in [top, bottom) holding a lit pixel, split at blank rows.
std::vector<std::pair<int, int>> litRuns(const Frame& f, int top, int bottom) {
    std::vector<std::pair<int, int>> runs;
    for (int y = top; y < bottom; ++y) {
        if (boxOf(f, y, y + 1, lit).empty()) continue;
        if (!runs.empty() && runs.back().second == y) {
            runs.back().second = y + 1;
        } else {
            runs.emplace_back(y, y + 1);
        }
    }
    return runs;
}

TEST_F(SplashTest, IdentityBlockIsCentredSixteenPixelsAboveTheBottom) {
    auto display = screen(1920, 1080);
    const std::vector<std::string> values{"Harbour Coffee", "Main street", "Lobby screen by the window"};
    setConfig("account", values[0]);
    setConfig("branch", values[1]);
    setConfig("name", values[2]);
    std::vector<int> heights;
    for (const std::string& value : values) heights.push_back(Splash::makeText(display.get(), value)->contentHeight());
    const int top = 1080 - (heights[0] + heights[1] + heights[2]) - 16;

    Script script;
    script.ready = false;
    script.next = at({0, 5000, 5000 + 1350, 5000 + 2700});
    std::vector<Frame> frames;
    script.each = [&](Script& s) {
        frames.push_back(capture(display->renderer()));
        if (s.cycle == 3) pushKey(SDLK_ESCAPE);
    };
    run(display.get(), script);
    ASSERT_EQ(frames.size(), 4u);

    const Frame& whole = frames[3];
    // The picture ends above y = 850; below it only the three lines.
    const auto lines = litRuns(whole, 850, 1080);
    ASSERT_EQ(lines.size(), 3u);
    // Each line's box starts where the one above ends (the glyphs sit a few pixels into it).
    EXPECT_EQ(lines[1].first - lines[0].first, heights[0]);
    EXPECT_EQ(lines[2].first - lines[1].first, heights[1]);
    EXPECT_GE(lines[0].first, top - 40 * 15 / 100 - 2);
    EXPECT_LE(lines[0].first, top + 12);
    EXPECT_LE(lines[2].second, 1080 - 16) << "the block ends 16 rows above the bottom";
    EXPECT_GE(lines[2].second, 1080 - 16 - 12);
    const int full = brightest(whole, lines[0].first, lines[0].second);
    EXPECT_GT(full, 100);
    for (std::size_t line = 0; line < 3; ++line) {
        SCOPED_TRACE(line);
        const Box box = boxOf(whole, lines[line].first, lines[line].second, lit);
        EXPECT_NEAR((box.left + box.right) / 2.0, 960, 3) << "centred";
        EXPECT_NEAR(brightest(whole, lines[line].first, lines[line].second), full, 2);
    }

    // Half way through the second line's fade: the first line whole, the second at half, the
    // third not yet there.
    const Frame& fading = frames[2];
    EXPECT_NEAR(brightest(fading, lines[0].first, lines[0].second), full, 2);
    EXPECT_NEAR(brightest(fading, lines[1].first, lines[1].second), full * 128 / 255, 4);
    EXPECT_EQ(brightest(fading, lines[2].first, lines[2].second), 0);
    EXPECT_TRUE(litRuns(frames[1], 850, 1080).empty()) << "the view's first frame: every line still at 0";
}

TEST_F(SplashTest, IdentityLineConfiguredDuringTheSplashIsShown) {
    auto display = screen(640, 360);
    blackBackdrop();
    Script script;
    script.ready = false;
    script.next = at({0, 5000, 5016, 8000});
    std::vector<std::vector<std::pair<int, int>>> runs;
    script.each = [&](Script& s) {
        runs.push_back(litRuns(capture(display->renderer()), 0, 360));
        if (s.cycle == 1) setConfig("name", "Lobby screen");  // as the service's "name" message stores it
        if (s.cycle == 3) pushKey(SDLK_ESCAPE);
    };
    run(display.get(), script);
    ASSERT_EQ(runs.size(), 4u);
    EXPECT_TRUE(runs[1].empty()) << "nothing configured yet";
    ASSERT_EQ(runs[3].size(), 1u) << "the name, read again once it was there";
    EXPECT_LE(runs[3][0].second, 360 - 16);
    EXPECT_GE(runs[3][0].second, 360 - 16 - 8);
}

TEST_F(SplashTest, PairingRowsSitBesideTheQrPicture) {
    const std::string qr = base64(pngBytes(64, 64, kRed, kRed));
    for (const auto& [width, height] : {std::pair{1920, 1080}, std::pair{640, 360}}) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        auto display = screen(width, height);
        blackBackdrop();
        resetLink();
        playerRunning = true;
        sendBindCode("4F7K2Q", qr, "lumetta.invalid/link");
        Script script;
        script.ready = false;
        script.next = at({0, 5000});
        Frame frame;
        script.each = [&](Script& s) {
            if (s.cycle == 1) {
                frame = capture(display->renderer());
                pushKey(SDLK_ESCAPE);
            }
        };
        run(display.get(), script);
        ASSERT_EQ(frame.width, width);

        const int top = height - 160;
        const Box qrBox = boxOf(frame, 0, height, isRed);
        ASSERT_FALSE(qrBox.empty());
        // 128 x 128 drawn with the 1-pixel inset.
        EXPECT_EQ(qrBox.top, top + 1);
        EXPECT_EQ(qrBox.width(), 126);
        EXPECT_EQ(qrBox.height(), 126);
        const int x = qrBox.left - 1 + 152;

        // The glyphs sit up to 15 % of their size above a row's top and a few pixels right of
        // the column.
        const Box prompt = boxOf(frame, top - 5, top + 36, isGreyText);
        ASSERT_FALSE(prompt.empty());
        EXPECT_GE(prompt.top, top - 5);
        EXPECT_GE(prompt.left, x);
        EXPECT_LE(prompt.left, x + 8);
        const Box link = boxOf(frame, top + 36, top + 72, isLinkOrange);
        ASSERT_FALSE(link.empty()) << "the link in orange";
        const Box linkLine = boxOf(frame, top + 36, top + 72, isGreyText);
        ASSERT_FALSE(linkLine.empty());
        EXPECT_GE(linkLine.top, top + 40 - 4);
        EXPECT_GE(linkLine.left, x);
        EXPECT_LE(linkLine.left, x + 8);
        const Box code = boxOf(frame, 0, height, isWhite);
        ASSERT_FALSE(code.empty()) << "only the code is pure white";
        EXPECT_GE(code.top, top + 76 - 7);
        EXPECT_LE(code.top, top + 76 + 10);
        EXPECT_GE(code.left, x);
        EXPECT_LE(code.left, x + 8);

        if (width == 1920) {
            // The QR picture and the widest row form one block centred on the screen.
            const int right = std::max({prompt.right, linkLine.right, code.right});
            EXPECT_NEAR(qrBox.left - 1, width - 1 - right, 6);
        } else {
            EXPECT_EQ(x, 152) << "too wide to centre: the column starts at 152";
        }
    }
}

TEST_F(SplashTest, PairingViewFollowsNewValuesAndShowsNothingStaleOnceTheyGo) {
    auto display = screen(640, 360);
    blackBackdrop();
    auto isBlue = [](Rgb c) { return c.b > 200 && c.r < 40 && c.g < 40; };
    sendBindCode("4F7K2Q", base64(pngBytes(64, 64, kRed, kRed)), "lumetta.invalid/link");
    Script script;
    script.ready = false;
    script.next = at({0, 5000});
    int firstCodeWidth = 0;
    script.each = [&](Script& s) {
        const Frame f = capture(display->renderer());
        const Box red = boxOf(f, 0, 360, isRed), blue = boxOf(f, 0, 360, isBlue), code = boxOf(f, 0, 360, isWhite);
        switch (s.cycle) {
            case 1:
                EXPECT_FALSE(red.empty());
                ASSERT_FALSE(code.empty());
                firstCodeWidth = code.width();
                sendBindCode("K7", base64(pngBytes(64, 64, kBlue, kBlue)), "lumetta.invalid/other");
                break;
            case 2:
                EXPECT_TRUE(red.empty()) << "the kept picture gives way to the new text's";
                EXPECT_FALSE(blue.empty());
                ASSERT_FALSE(code.empty());
                EXPECT_LT(code.width(), firstCodeWidth) << "the new, shorter code";
                sendBindCode("", "", "");
                break;
            case 3:
                EXPECT_TRUE(red.empty() && blue.empty()) << "no QR picture without a QR text";
                EXPECT_TRUE(code.empty()) << "the code line is drawn empty";
                EXPECT_FALSE(boxOf(f, 200, 360, isGreyText).empty()) << "the prompt stays";
                pushKey(SDLK_D);
                break;
            case 4: pushKey(SDLK_ESCAPE); break;
            default: break;
        }
    };
    auto splash = run(display.get(), script);
    EXPECT_EQ(script.cycle, 5);
    EXPECT_EQ(splash->view(), SplashView::Pairing) << "the pairing view stays once a code came";
}

TEST_F(SplashTest, PairingViewNeedsTheDeviceOnline) {
    auto display = screen(640, 360);
    blackBackdrop();
    sendBindCode("4F7K2Q", base64(pngBytes(64, 64, kRed, kRed)), "lumetta.invalid/link");
    Script script;
    script.online = false;
    script.ready = false;
    script.next = at({0, 5000});
    Frame frame;
    script.each = [&](Script& s) {
        if (s.cycle == 1) {
            frame = capture(display->renderer());
            pushKey(SDLK_ESCAPE);
        }
    };
    run(display.get(), script);
    EXPECT_TRUE(boxOf(frame, 0, 360, lit).empty()) << "no text and no QR picture while offline";
}

TEST_F(SplashTest, UndecodableQrTextIsLoggedOncePerText) {
    auto display = screen(320, 180);
    ErrorCapture errors;
    sendBindCode("4F7K2Q", "not a picture", "lumetta.invalid/link");
    Script script;
    script.ready = false;
    script.next = at({0, 5000});
    script.each = [&](Script& s) {
        if (s.cycle == 30) sendBindCode("4F7K2Q", "still not a picture", "lumetta.invalid/link");
        if (s.cycle == 60) pushKey(SDLK_ESCAPE);
    };
    run(display.get(), script);
    EXPECT_EQ(errors.containing("PNG Base64 IMAGE Exception"), 2) << "one line for each distinct text";
}

TEST_F(SplashTest, PicturesTurnWithTheOrientation) {
    auto display = screen(640, 360);
    writeBytes(data() / "orientation.png", pngBytes(1920, 1080, kRed, kBlue));
    for (const int rotation : {0, 90, 180, 270}) {
        SCOPED_TRACE(rotation);
        setConfig("orientation", rotation);
        Script script;
        script.ready = false;
        script.next = at({0, 5000});
        Frame frame;
        script.each = [&](Script& s) {
            if (s.cycle == 1) {
                frame = capture(display->renderer());
                pushKey(SDLK_ESCAPE);
            }
        };
        run(display.get(), script);
        playerRunning = true;
        const SlideMapping mapping(SDL_Rect{0, 0, 640, 360}, rotation, 640, 360);
        const OutputPoint left = mapping.point(160, 180), right = mapping.point(480, 180);
        EXPECT_EQ(frame.at(static_cast<int>(left.x), static_cast<int>(left.y)), kRed);
        EXPECT_EQ(frame.at(static_cast<int>(right.x), static_cast<int>(right.y)), kBlue);
    }
}

TEST_F(SplashTest, KeptFrameFadesToBlack) {
    auto display = screen(640, 360);
    Script script;
    script.next = at({0, 5000});
    Frame last;
    script.each = [&](Script& s) {
        last = capture(display->renderer());
        if (s.cycle == 1) sendBindComplete();
    };
    auto splash = run(display.get(), script);
    ASSERT_EQ(script.cycle, 3);
    ASSERT_EQ(splash->lastFrame().size(), last.pixels.size());
    std::size_t differing = 0;
    for (std::size_t i = 0; i < last.pixels.size(); ++i) {
        differing += (splash->lastFrame()[i] & 0xFFFFFF) != last.pixels[i] ? 1 : 0;
    }
    EXPECT_EQ(differing, 0u) << "the kept frame is the last one drawn";

    const Point disc = artPoint(640, 360, 0, kDiscX, kDiscY);
    std::vector<int> reds;
    script.fading = true;
    script.clock.setAutoAdvance(true);
    script.eachFade = [&](Script&) { reds.push_back(capture(display->renderer()).at(disc.x, disc.y).r); };
    splash->fadeFrame();
    ASSERT_GE(reds.size(), 100u) << "about one frame every 16 ms for 2 s";
    EXPECT_LE(reds.size(), 130u);
    EXPECT_NEAR(reds.front(), kArtOrange.r, 1);
    EXPECT_TRUE(std::is_sorted(reds.rbegin(), reds.rend())) << "darker frame by frame";
    EXPECT_EQ(capture(display->renderer()), (Frame{640, 360, std::vector<std::uint32_t>(640 * 360, 0)}))
        << "ends black";
    EXPECT_TRUE(splash->lastFrame().empty());
    const int frames = script.fadeFrames;
    splash->fadeFrame();
    EXPECT_EQ(script.fadeFrames, frames) << "only once";
}

// ---------------------------------------------------------------------------------------------
// Probe thread

TEST_F(SplashTest, ProbeRunsAgainTwoSecondsAfterEachProbe) {
    Script script;
    Splash splash(base.str(), nullptr, "", "", "", nullptr, script.seams());
    // Every wait of the thread moves the clock on to its end at once.
    script.clock.setAutoAdvance(true);
    std::stop_source stop;
    std::vector<std::int64_t> calls;
    script.probe = [&](int call) {
        calls.push_back(script.clock.steadyMs());
        if (call == 4) stop.request_stop();
        return call % 2 == 1;
    };
    std::atomic<bool> online{false};
    splash.connectivityThread(stop.get_token(), &online);
    const std::int64_t start = 1'000'000;  // the manual clock's origin
    EXPECT_EQ(calls, (std::vector<std::int64_t>{start, start + 2000, start + 4000, start + 6000}));
    EXPECT_FALSE(online.load()) << "the last answer counts";
}

TEST_F(SplashTest, ProbeThreadEndsAtOnceWhenStoppedBetweenProbes) {
    Script script;
    Splash splash(base.str(), nullptr, "", "", "", nullptr, script.seams());
    std::atomic<bool> online{false};
    std::jthread thread([&](std::stop_token stop) { splash.connectivityThread(stop, &online); });
    script.awaitProbe();
    ASSERT_TRUE(script.clock.waitForWaiters(1));
    EXPECT_TRUE(online.load());
    const std::int64_t before = script.clock.steadyMs();
    thread.request_stop();
    thread.join();
    EXPECT_EQ(script.clock.steadyMs(), before) << "the stop ended the wait, not the clock";
    EXPECT_EQ(script.probes.load(), 1);
}

TEST_F(SplashTest, SplashWaitsForARunningProbeToReturn) {
    auto display = screen(64, 36);
    Script script;
    std::mutex gate;
    std::condition_variable opened;
    bool open = false;
    std::atomic<bool> entered{false};
    std::atomic<bool> returned{false};
    script.probe = [&](int call) {
        if (call >= 2) {
            entered = true;
            std::unique_lock lock(gate);
            EXPECT_TRUE(opened.wait_for(lock, std::chrono::seconds(5), [&] { return open; }));
            returned = true;
        }
        return true;
    };
    std::jthread opener;
    bool ending = false;
    script.ready = false;
    script.each = [&](Script& s) {
        if (ending && !opener.joinable()) {
            // The last cycle: the probe is still running; it may return now.
            opener = std::jthread([&] {
                {
                    std::lock_guard lock(gate);
                    open = true;
                }
                opened.notify_all();
            });
        }
        if (entered && !ending) {
            ending = true;
            s.ready = true;
            sendBindComplete();
        }
    };
    auto splash = run(display.get(), script);
    EXPECT_TRUE(ending) << "a second probe ran";
    EXPECT_TRUE(returned.load()) << "the probe thread was joined";
}

// ---------------------------------------------------------------------------------------------
// Bad input

TEST_F(SplashTest, BadPictureFilesAreLoggedOnceAndTheSplashGoesOn) {
    auto display = screen(320, 180);
    const std::vector<unsigned char> good = pngBytes(64, 64, kRed, kBlue);
    struct Case {
        std::string name;
        std::function<void(const fs::path&)> make;
    } cases[] = {
        {"empty", [](const fs::path& p) { writeBytes(p, {}); }},
        {"truncated", [&](const fs::path& p) { writeBytes(p, std::vector<unsigned char>(good.begin(), good.begin() + 60)); }},
        {"directory", [](const fs::path& p) { fs::create_directories(p); }},
        {"20000 x 20000", [](const fs::path& p) { writeBytes(p, hugePng(20000)); }},
    };
    sendBindComplete();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(data() / "orientation.png");
        c.make(data() / "orientation.png");
        ErrorCapture errors;
        Script script;
        script.next = at({0, 5000});
        auto splash = run(display.get(), script);
        EXPECT_EQ(script.cycle, 1);
        EXPECT_FALSE(splash->lastFrame().empty());
        EXPECT_EQ(errors.lines.lineCount(), 1u);
        EXPECT_EQ(errors.containing("IMAGE Exception"), 1);
    }
}

TEST_F(SplashTest, HostileValuesShowAndEndWithOneLineAtMostPerFault) {
    auto display = screen(640, 360);
    setConfig("account", std::string(100000, 'A'));
    setConfig("branch", "tab\t\x01\x02\x1b[31mred\x1b");
    {
        // Broken UTF-8 stored as raw bytes.
        Json::Value document = config();
        document["name"] = std::string("name \xff\xfe\xc3 end");
        ASSERT_TRUE(saveConfigDocument(configPath(base.str()), document));
    }
    ErrorCapture errors;
    Script script;
    script.ready = false;
    script.next = at({0, 5000, 6000, 9000});
    script.each = [&](Script& s) {
        if (s.cycle == 2) sendBindCode(std::string(10000, '7'), "garbage!!", std::string(10000, 'l'));
        if (s.cycle == 30) {
            s.ready = true;
            sendBindComplete();
        }
    };
    auto splash = run(display.get(), script);
    EXPECT_EQ(script.cycle, 32);
    EXPECT_FALSE(splash->lastFrame().empty());
    std::vector<std::string> lines = errors.lines.lines();
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(std::adjacent_find(lines.begin(), lines.end()), lines.end()) << "no line twice";
    EXPECT_LE(lines.size(), 6u);
    for (const std::string& line : lines) std::cout << "logged: " << line.substr(0, 160) << "\n";
}

}  // namespace
}  // namespace lumetta::screens
