#include "objects/video/runtime/video.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <fstream>
#include <limits>
#include <future>
#include <mutex>
#include <thread>

extern "C" {
#include <libavutil/hwcontext_drm.h>
}

#include "core/process_state.h"
#include "display/display.h"
#include "display/draw_context.h"
#include "media_clips.h"
#include "support/manual_clock.h"
#include "support/temp_dir.h"

namespace lumetta {
namespace {

using namespace std::chrono_literals;
using testing::TempDir;
constexpr int64_t ms = 1000000;

struct HandOverLog {
    std::mutex mutex;
    std::vector<FrameHandOver> entries;
    std::function<void(const FrameHandOver&)> hook() {
        return [this](const FrameHandOver& entry) {
            std::lock_guard lock(mutex);
            entries.push_back(entry);
        };
    }
    std::vector<FrameHandOver> snapshot() {
        std::lock_guard lock(mutex);
        return entries;
    }
    size_t size() { return snapshot().size(); }
};

enum class Shade { Red, Green, Blue, Black, Magenta, Other };

Shade classify(SDL_Color c) {
    const auto low = [](int v) { return v < 70; };
    if (c.r > 190 && low(c.g) && low(c.b)) return Shade::Red;
    if (c.g > 90 && low(c.r) && low(c.b)) return Shade::Green;
    if (c.b > 190 && low(c.r) && low(c.g)) return Shade::Blue;
    if (c.r < 30 && c.g < 30 && c.b < 30) return Shade::Black;
    if (c.r > 190 && c.b > 190 && low(c.g)) return Shade::Magenta;
    return Shade::Other;
}

const char* name(Shade shade) {
    switch (shade) {
        case Shade::Red: return "red";
        case Shade::Green: return "green";
        case Shade::Blue: return "blue";
        case Shade::Black: return "black";
        case Shade::Magenta: return "magenta";
        default: return "other";
    }
}

class VideoTest : public ::testing::Test {
protected:
    void SetUp() override {
        displayRotation = 0;
        display = std::make_unique<Display>("", "video test", -1, -1, 320, 180, false, std::nullopt);
        // Moves only when the video waits: pacing runs at full speed and its arithmetic is exact.
        virtualClock.setAutoAdvance(true);
    }
    void TearDown() override {
        displayRotation = 0;
        display.reset();
    }

    SDL_Renderer* renderer() { return display->renderer(); }

    SDL_Color pixel(int x, int y) {
        SDL_Rect area{x, y, 1, 1};
        SDL_Surface* surface = SDL_RenderReadPixels(renderer(), &area);
        SDL_Color color{0, 0, 0, 0};
        if (surface != nullptr) {
            SDL_ReadSurfacePixel(surface, 0, 0, &color.r, &color.g, &color.b, &color.a);
            SDL_DestroySurface(surface);
        }
        return color;
    }
    std::string shadeAt(int x, int y) { return name(classify(pixel(x, y))); }

    void clearBlack() {
        SDL_SetRenderDrawColor(renderer(), 0, 0, 0, 255);
        SDL_RenderClear(renderer());
    }

    // Renders on this (the main) thread until the condition holds; false after a generous
    // real-time bound, which only a broken pipeline reaches.
    bool renderUntil(Video& video, const std::function<bool()>& condition, std::chrono::seconds bound = 30s) {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            clearBlack();
            video.render();
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }

    std::unique_ptr<Video> makeVideo(const std::filesystem::path& clip, VideoSeams hooks = {},
                                     SDL_Color background = {0, 0, 255, 255}, SDL_Rect layer = {0, 0, 160, 180},
                                     const std::string& opacity = "1") {
        return std::make_unique<Video>(display.get(), 320, 180, layer.x, layer.y, layer.w, layer.h, clip.string(),
                                       opacity, background.r, background.g, background.b, background.a,
                                       std::move(hooks));
    }

    // Red on the left half, green on the right: shows which way a picture was turned.
    std::filesystem::path splitClip(int frames = 3) {
        return testing::makeClip(dir / "split.mp4",
                                 {"-f", "lavfi", "-i", "color=c=red:size=160x120:rate=25", "-vf",
                                  "drawbox=x=80:y=0:w=80:h=120:color=green:t=fill", "-frames:v",
                                  std::to_string(frames), "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt",
                                  "yuv420p"});
    }

    // Hooks for playing at full speed on the virtual clock, recording every hand-over.
    VideoSeams fastHooks() {
        VideoSeams hooks;
        hooks.clock = &virtualClock;
        hooks.onHandOver = handOvers.hook();
        return hooks;
    }

    // Renders until the video has ended; false if it never does.
    bool playToEnd(Video& video) { return renderUntil(video, [&] { return video.isFinished(); }); }

    TempDir dir;
    std::unique_ptr<Display> display;
    testing::ManualClock virtualClock;
    HandOverLog handOvers;
};

TEST(VideoOpacity, TextsAndTheirBytes) {
    const std::vector<std::pair<std::string, int>> accepted = {
        {"1", 255}, {"0.5", 128}, {"1.5", 2}, {"100", 100}, {"300", 255}, {"-2", 0}, {" 0.25 ", 64}, {"0", 0}};
    for (const auto& [text, value] : accepted) {
        EXPECT_EQ(parseOpacity(text), value) << text;
    }
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"abc", "stod"}, {"", "stod"}, {"0.5x", "Invalid video opacity: 0.5x"}, {"inf", "Invalid video opacity: inf"},
        {"nan", "Invalid video opacity: nan"}, {"1e999", "stod"}};
    for (const auto& [text, message] : refused) {
        EXPECT_EQ(testing::failureOf([&] { parseOpacity(text); }), message) << text;
    }
}

// A number gives the byte its text gave; one that is not finite is refused as its text was.
TEST(VideoOpacity, NumbersAsTheirTexts) {
    for (const float number : {1.0f, 0.5f, 1.5f, 100.0f, 300.0f, -2.0f, 0.25f, 0.0f}) {
        const std::string text = opacityNumberText(number);
        EXPECT_EQ(videoOpacityByte(number), parseOpacity(text)) << text;
    }
    const float inf = std::numeric_limits<float>::infinity();
    for (const float number : {std::numeric_limits<float>::quiet_NaN(), inf, -inf}) {
        EXPECT_EQ(testing::failureOf([&] { videoOpacityByte(number); }),
                  "Invalid video opacity: " + opacityNumberText(number));
    }
}

TEST_F(VideoTest, ConstructionRefusesWhatCannotPlay) {
    const auto clip = testing::makeVideoClip(dir / "ok.mp4", 64, 48, 2);
    const auto sound = testing::makeAudioOnlyClip(dir / "sound.m4a");
    const auto attempt = [&](Display* target, const std::string& path, const std::string& opacity) {
        return testing::failureOf([&] { Video video(target, 320, 180, 0, 0, 10, 10, path, opacity, 0, 0, 0, 255); });
    };
    EXPECT_EQ(attempt(nullptr, clip.string(), "1"), "Video requires a valid Display pointer");
    EXPECT_EQ(attempt(nullptr, clip.string(), "x"), "stod") << "a bad opacity wins over a missing display";
    EXPECT_EQ(attempt(display.get(), clip.string(), "0.5x"), "Invalid video opacity: 0.5x");
    EXPECT_EQ(attempt(display.get(), sound.string(), "1"), "FFmpeg: No playable video stream found");
    EXPECT_EQ(attempt(display.get(), "", "1"), "FFmpeg: Empty media filename");
    EXPECT_EQ(attempt(display.get(), clip.string(), "1"), "(no failure)") << "built and destroyed, never drawn";
}

TEST_F(VideoTest, BeforeTheFirstPictureTheBoxShowsTheBackground) {
    const auto clip = testing::makeVideoClip(dir / "a.mp4", 64, 48, 5);
    // Slide and layer sizes of 0 take the whole output.
    Video video(display.get(), 0, 0, 0, 0, 0, 0, clip.string(), "1", 0, 0, 255, 255);
    video.setPaused(true);  // holds the present thread before its first frame
    clearBlack();
    video.render();
    for (const auto& [x, y] : std::vector<std::pair<int, int>>{{0, 0}, {319, 179}, {160, 90}}) {
        EXPECT_EQ(shadeAt(x, y), "blue") << x << "," << y;
    }
    EXPECT_FALSE(video.hasDrawnFrame());
    EXPECT_FALSE(video.isFinished());

    // An invisible background leaves what was drawn before.
    Video clear(display.get(), 0, 0, 0, 0, 0, 0, clip.string(), "1", 0, 0, 255, 0);
    clear.setPaused(true);
    clearBlack();
    clear.render();
    EXPECT_EQ(shadeAt(160, 90), "black");
}

TEST_F(VideoTest, FramesOfA25FpsClipFallDue40msApartAndTheVideoEndsOnce) {
    const auto clip = testing::makeVideoClip(dir / "25.mp4", 160, 120, 10, 25);
    VideoSeams hooks = fastHooks();
    auto video = makeVideo(clip, std::move(hooks));

    ASSERT_TRUE(playToEnd(*video));
    const auto entries = handOvers.snapshot();
    ASSERT_EQ(entries.size(), 10u);
    for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(entries[i].dueNs, static_cast<int64_t>(i) * 40 * ms) << "frame " << i;
        EXPECT_EQ(entries[i].timestampUs, static_cast<int64_t>(i) * 40000) << "frame " << i;
        EXPECT_GE(entries[i].handedAtNs, entries[i].dueNs) << "frame " << i;
    }
    EXPECT_TRUE(video->hasDrawnFrame());

    // Finished for good: the last picture stays and nothing restarts.
    for (int i = 0; i < 5; ++i) {
        clearBlack();
        video->render();
        EXPECT_TRUE(video->isFinished());
    }
    EXPECT_NE(shadeAt(80, 90), "blue");
    EXPECT_NE(shadeAt(80, 90), "black");
    EXPECT_EQ(shadeAt(80, 5), "blue") << "letterbox bar above the picture";
    EXPECT_EQ(handOvers.size(), 10u);
}

TEST_F(VideoTest, FramesWithoutTimestampsFollowTheDefaultSpacing) {
    const auto clip = testing::makeRawH264Clip(dir / "raw.h264", 6);
    VideoSeams hooks = fastHooks();
    // Strip whatever FFmpeg guessed, so the frames really carry no timestamp.
    hooks.adaptDecodedFrame = [](AVFrame* frame) {
        frame->pts = frame->best_effort_timestamp = frame->pkt_dts = AV_NOPTS_VALUE;
    };
    auto video = makeVideo(clip, std::move(hooks));
    ASSERT_TRUE(playToEnd(*video));
    const auto entries = handOvers.snapshot();
    ASSERT_EQ(entries.size(), 6u);
    for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(entries[i].dueNs, static_cast<int64_t>(i) * 40 * ms) << "frame " << i;
    }
}

TEST_F(VideoTest, APauseShiftsEveryLaterFrameByItsLength) {
    const auto clip = testing::makeVideoClip(dir / "p.mp4", 160, 120, 4, 25);
    testing::ManualClock clock;
    VideoSeams hooks;
    hooks.clock = &clock;
    hooks.onHandOver = handOvers.hook();
    auto video = makeVideo(clip, std::move(hooks));

    ASSERT_TRUE(renderUntil(*video, [&] { return handOvers.size() >= 1; }));
    video->setPaused(true);
    clock.advance(5000);
    video->setPaused(true);  // pausing twice changes nothing
    clock.advance(5000);
    video->setPaused(false);

    // Media time is now 0 again: frame 2 (due at 40 ms) waits for 10.040 s on the clock. Once
    // the present thread waits on the clock a millisecond before that, nothing has come.
    clock.advance(39);
    ASSERT_TRUE(clock.waitForWaiters(1));
    video->render();
    EXPECT_EQ(handOvers.size(), 1u) << "a frame came before its shifted due time";
    clock.advance(1);
    ASSERT_TRUE(renderUntil(*video, [&] { return handOvers.size() >= 2; }));
    const auto entries = handOvers.snapshot();
    EXPECT_EQ(entries[1].dueNs, 40 * ms);
    EXPECT_EQ(entries[1].handedAtNs, 10040 * ms) << "handed over at the first moment it was due";
}

TEST_F(VideoTest, TwoPausesShiftLaterFramesByTheirSum) {
    const auto clip = testing::makeVideoClip(dir / "p2.mp4", 160, 120, 4, 25);
    testing::ManualClock clock;
    VideoSeams seams;
    seams.clock = &clock;
    seams.onHandOver = handOvers.hook();
    auto video = makeVideo(clip, std::move(seams));
    ASSERT_TRUE(renderUntil(*video, [&] { return handOvers.size() >= 1; }));

    video->setPaused(true);
    clock.advance(3000);
    video->setPaused(false);
    clock.advance(10);  // 10 ms of play between the pauses
    video->setPaused(true);
    clock.advance(2000);
    video->setPaused(false);

    // Frame 2 falls due at 40 ms of media time: 5.040 s on the clock.
    clock.advance(5039 - 5010);
    ASSERT_TRUE(clock.waitForWaiters(1));
    video->render();
    EXPECT_EQ(handOvers.size(), 1u) << "a frame came before its shifted due time";
    clock.advance(1);
    ASSERT_TRUE(renderUntil(*video, [&] { return handOvers.size() >= 2; }));
    EXPECT_EQ(handOvers.snapshot()[1].handedAtNs, 5040 * ms);
}

TEST_F(VideoTest, LetterboxAndTurnAtEveryRotation) {
    const auto clip = splitClip();
    VideoSeams hooks = fastHooks();
    auto video = makeVideo(clip, std::move(hooks));
    ASSERT_TRUE(playToEnd(*video));
    ASSERT_TRUE(video->hasDrawnFrame());

    struct Probe {
        int x, y;
        const char* shade;
    };
    struct Case {
        int rotation;
        std::vector<Probe> probes;
    };
    // The layer is the slide's left half (blue background); the 4:3 picture is red left,
    // green right.
    const std::vector<Case> cases = {
        {0, {{40, 90, "red"}, {120, 90, "green"}, {80, 10, "blue"}, {80, 170, "blue"}, {240, 90, "black"}}},
        {180, {{200, 90, "green"}, {280, 90, "red"}, {240, 10, "blue"}, {80, 90, "black"}}},
        // A quarter turn shows the slide as 180x320: the box is 101x90 at (109, 90), its
        // picture 68 wide and turned so that its left (red) half points down.
        {90, {{160, 160, "red"}, {160, 110, "green"}, {114, 135, "blue"}, {205, 135, "blue"}, {100, 135, "black"},
              {160, 60, "black"}}},
        {270, {{160, 20, "red"}, {160, 70, "green"}, {114, 45, "blue"}, {160, 120, "black"}}},
        {-90, {{160, 20, "red"}, {160, 70, "green"}, {114, 45, "blue"}, {160, 120, "black"}}},
    };
    for (const Case& c : cases) {
        displayRotation = c.rotation;
        clearBlack();
        video->render();
        for (const Probe& probe : c.probes) {
            EXPECT_EQ(shadeAt(probe.x, probe.y), probe.shade)
                << "rotation " << c.rotation << " at " << probe.x << "," << probe.y;
        }
    }
}

// A picture at full opacity is copied over a fill of the bars only; the screen must be the
// same, pixel for pixel, as when the whole box is filled and the picture blended over it: at
// every rotation, with bars above and below, beside, of odd width, and a translucent fill.
TEST_F(VideoTest, AnOpaquePictureOverTheBarsMatchesTheBlendedDrawPixelForPixel) {
    const auto wide = testing::makeVideoClip(dir / "wide.mp4", 160, 120, 2);
    const auto square = testing::makeVideoClip(dir / "square.mp4", 96, 96, 2);
    const auto odd = testing::makeOddSizeClip(dir / "odd.mkv", 175, 99, 2);
    struct Case {
        std::filesystem::path clip;
        SDL_Rect layer;
        SDL_Color background;
    };
    const std::vector<Case> cases = {
        {wide, {0, 0, 160, 180}, {0, 0, 255, 255}},      // bands above and below
        {wide, {10, 20, 300, 100}, {0, 0, 255, 255}},    // bands beside
        {square, {3, 5, 103, 100}, {255, 0, 255, 255}},  // odd slack
        {odd, {0, 0, 320, 180}, {0, 0, 255, 128}},       // odd picture, translucent fill
        {wide, {40, 30, 160, 120}, {0, 255, 0, 255}},    // no bars at all
    };
    const auto screen = [&] {
        SDL_Surface* surface = SDL_RenderReadPixels(renderer(), nullptr);
        std::vector<uint8_t> bytes;
        if (surface != nullptr) {
            SDL_Surface* packed = SDL_ConvertSurface(surface, SDL_PIXELFORMAT_RGBA32);
            SDL_DestroySurface(surface);
            if (packed != nullptr) {
                const auto* pixels = static_cast<const uint8_t*>(packed->pixels);
                for (int row = 0; row < packed->h; ++row) {
                    bytes.insert(bytes.end(), pixels + row * packed->pitch, pixels + row * packed->pitch + packed->w * 4);
                }
                SDL_DestroySurface(packed);
            }
        }
        return bytes;
    };
    for (const Case& c : cases) {
        auto copied = makeVideo(c.clip, fastHooks(), c.background, c.layer);
        VideoSeams blendedHooks = fastHooks();
        blendedHooks.blendOpaquePictures = true;
        auto blended = makeVideo(c.clip, std::move(blendedHooks), c.background, c.layer);
        ASSERT_TRUE(playToEnd(*copied));
        ASSERT_TRUE(playToEnd(*blended));
        for (const int rotation : {0, 90, 180, 270}) {
            SCOPED_TRACE(c.clip.filename().string() + " layer " + std::to_string(c.layer.w) + "x" +
                         std::to_string(c.layer.h) + " rotation " + std::to_string(rotation));
            displayRotation = rotation;
            clearBlack();
            blended->render();
            const std::vector<uint8_t> expected = screen();
            clearBlack();
            copied->render();
            const std::vector<uint8_t> actual = screen();
            ASSERT_EQ(actual.size(), 320u * 180u * 4u);
            ASSERT_EQ(actual.size(), expected.size());
            size_t differing = 0;
            size_t first = actual.size();
            for (size_t i = 0; i < actual.size(); ++i) {
                if (actual[i] != expected[i]) {
                    ++differing;
                    first = std::min(first, i);
                }
            }
            EXPECT_EQ(differing, 0u) << "first at pixel " << (first / 4) % 320 << "," << (first / 4) / 320;
            // The copy did draw: the picture and the fill both show.
            EXPECT_TRUE(copied->hasDrawnFrame());
        }
    }
    displayRotation = 0;
}

TEST_F(VideoTest, UnderALayerTransformTheFillTakesItsOpacity) {
    const auto clip = testing::makeVideoClip(dir / "t.mp4", 64, 48, 3);
    Video video(display.get(), 0, 0, 0, 0, 0, 0, clip.string(), "1", 0, 0, 255, 255);
    video.setPaused(true);
    LayerTransform transform;
    transform.opacity = 0.5;
    {
        ScopedDrawSlot<const LayerTransform*> slot(activeLayerTransform, &transform);
        clearBlack();
        video.render();
    }
    const SDL_Color fill = pixel(160, 90);
    EXPECT_NEAR(fill.b, 128, 6);
    EXPECT_LT(fill.r, 10);
}

TEST_F(VideoTest, AWorkerFailureEndsTheVideoWithExactlyOneReport) {
    const auto clip = testing::makeVideoClip(dir / "fail.mp4", 64, 48, 20);
    VideoSeams hooks = fastHooks();
    int decoded = 0;
    hooks.adaptDecodedFrame = [&decoded](AVFrame*) {
        if (++decoded == 3) throw std::runtime_error("decoder exploded");
    };
    auto video = makeVideo(clip, std::move(hooks));

    ::testing::internal::CaptureStderr();
    const bool ended = playToEnd(*video);
    video->recordFailure(std::make_exception_ptr(std::runtime_error("second failure")));
    video->render();
    video->render();
    const std::string errors = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(ended);
    EXPECT_EQ(errors, "[VIDEO] " + clip.string() + ": decoder exploded\n");

    // A failure recorded from outside reports the same way, and an unknown one by name.
    auto other = makeVideo(clip);
    other->render();
    other->recordFailure(std::make_exception_ptr(42));
    ::testing::internal::CaptureStderr();
    other->render();
    other->render();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "[VIDEO] " + clip.string() + ": unknown playback failure\n");
    EXPECT_TRUE(other->isFinished());
}

// Stands in for the Vulkan importer: a magenta texture of its own for every frame.
class FakeImporter : public FrameImporter {
public:
    FakeImporter(SDL_Renderer* renderer, bool works, std::vector<std::string>* calls)
        : works(works), calls(calls) {
        texture = SDL_CreateTexture(renderer, SDL_PIXELFORMAT_RGBA8888, SDL_TEXTUREACCESS_TARGET, 8, 8);
        SDL_Texture* previous = SDL_GetRenderTarget(renderer);
        SDL_SetRenderTarget(renderer, texture);
        SDL_SetRenderDrawColor(renderer, 255, 0, 255, 255);
        SDL_RenderClear(renderer);
        SDL_SetRenderTarget(renderer, previous);
    }
    ~FakeImporter() override { SDL_DestroyTexture(texture); }
    SDL_Texture* import(const AVFrame* frame, uint8_t alpha) override {
        calls->push_back("import " + std::to_string(frame->width) + "x" + std::to_string(frame->height) + " alpha " +
                         std::to_string(alpha));
        held = works;
        return works ? texture : nullptr;
    }
    SDL_Texture* currentTexture() const override { return held ? texture : nullptr; }
    void releaseFrame() override { held = false; }

private:
    bool works;
    bool held = false;
    std::vector<std::string>* calls;
    SDL_Texture* texture = nullptr;
};

// Turns every decoded frame into a DRM PRIME frame, as a hardware decoder would hand out.
void makeHardwareFrame(AVFrame* frame) {
    const int width = frame->width;
    const int height = frame->height;
    const int64_t pts = frame->best_effort_timestamp;
    av_frame_unref(frame);
    frame->format = AV_PIX_FMT_DRM_PRIME;
    frame->width = width;
    frame->height = height;
    frame->best_effort_timestamp = pts;
    frame->buf[0] = av_buffer_allocz(sizeof(AVDRMFrameDescriptor));
    frame->data[0] = frame->buf[0]->data;
}

TEST_F(VideoTest, HardwareFramesAreDrawnThroughTheImporter) {
    const auto clip = splitClip(4);
    std::vector<std::string> calls;
    VideoSeams hooks = fastHooks();
    hooks.adaptDecodedFrame = &makeHardwareFrame;
    hooks.makeFrameImporter = [&calls](SDL_Renderer* renderer) {
        return std::make_unique<FakeImporter>(renderer, true, &calls);
    };
    auto video = makeVideo(clip, std::move(hooks), {0, 0, 255, 255}, {0, 0, 160, 180}, "0.5");
    ASSERT_TRUE(playToEnd(*video));
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front(), "import 160x120 alpha 128");

    video->render();  // the importer's texture stays the picture after the end
    EXPECT_TRUE(video->hasDrawnFrame());
    EXPECT_EQ(shadeAt(80, 90), "magenta") << "the imported picture is drawn, letterboxed like any other";
    EXPECT_EQ(shadeAt(80, 10), "blue");
}

TEST_F(VideoTest, AHardwareFrameThatCannotBeImportedFailsTheVideo) {
    const auto clip = splitClip(4);
    for (const bool realImporter : {false, true}) {
        SCOPED_TRACE(realImporter ? "Vulkan importer on the software renderer" : "refusing importer");
        std::vector<std::string> calls;
        VideoSeams hooks = fastHooks();
        hooks.adaptDecodedFrame = &makeHardwareFrame;
        if (!realImporter) {
            hooks.makeFrameImporter = [&calls](SDL_Renderer* renderer) {
                return std::make_unique<FakeImporter>(renderer, false, &calls);
            };
        }
        auto video = makeVideo(clip, std::move(hooks));
        ::testing::internal::CaptureStderr();
        const bool ended = playToEnd(*video);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(),
                  "[VIDEO] " + clip.string() + ": Vulkan DRM PRIME import is unavailable for this frame\n");
        EXPECT_TRUE(ended);
        EXPECT_FALSE(video->hasDrawnFrame()) << "no copy is drawn instead";
    }
}

// Frames that drawing never took go back to the pool; otherwise the decoder would run dry
// after eight frames and the video would never end.
TEST_F(VideoTest, FramesReplacedUnseenReturnToThePool) {
    const auto clip = testing::makeVideoClip(dir / "many.mp4", 96, 64, 40, 25);
    VideoSeams hooks = fastHooks();
    auto video = makeVideo(clip, std::move(hooks));
    video->render();
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (handOvers.size() < 40 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(handOvers.size(), 40u);
    EXPECT_TRUE(playToEnd(*video));
}

std::string fileBytes(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

TEST_F(VideoTest, SoundOfTheChosenStreamPlaysAndOthersAreDiscarded) {
    const auto raw = dir / "pcm.raw";
    testing::TestPcmConfig pcm(dir.path(), raw);
    const auto clip = testing::makeTwoAudioClip(dir / "two.mkv");
    VideoSeams hooks = fastHooks();
    {
        auto video = makeVideo(clip, std::move(hooks));
        ASSERT_TRUE(playToEnd(*video));
        EXPECT_TRUE(video->hasDrawnFrame());
    }
    // One second of the 44.1 kHz stream as S16 stereo; the 48 kHz stream would give more.
    const double seconds = static_cast<double>(fileBytes(raw).size()) / (44100.0 * 4);
    EXPECT_NEAR(seconds, 1.0, 0.06);
}

// A sound sink the test holds back: every play waits until the test opens the gate (or the
// video stops).
struct SoundGate {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
    int plays = 0;

    void openGate() {
        {
            std::lock_guard lock(mutex);
            open = true;
        }
        changed.notify_all();
    }
    bool waitForPlays(int count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 30s, [&] { return plays >= count; });
    }
};

class HeldSoundSink final : public SoundSink {
public:
    HeldSoundSink(SoundGate& gate, const std::atomic<bool>* stop) : gate(gate), stop(stop) {}
    void play(const AVFrame*) override {
        std::unique_lock lock(gate.mutex);
        ++gate.plays;
        gate.changed.notify_all();
        // The stop flag is not announced: look at it now and then.
        while (!gate.open && !stop->load()) gate.changed.wait_for(lock, 1ms);
    }

private:
    SoundGate& gate;
    const std::atomic<bool>* stop;
};

TEST_F(VideoTest, SoundThatOutlastsThePictureKeepsTheVideoGoingWithoutHoldingUpRender) {
    const auto clip = testing::makeClip(
        dir / "long-sound.mp4", {"-f", "lavfi", "-i", "color=c=red:size=64x48:rate=25", "-f", "lavfi", "-i",
                                 "sine=sample_rate=48000:duration=1", "-frames:v", "3", "-c:v", "libx264", "-preset",
                                 "ultrafast", "-pix_fmt", "yuv420p", "-c:a", "aac"});
    SoundGate gate;
    VideoSeams seams = fastHooks();
    seams.makeSoundSink = [&gate](const AVCodecParameters*, const std::atomic<bool>* stop) {
        return std::make_unique<HeldSoundSink>(gate, stop);
    };
    auto video = makeVideo(clip, std::move(seams));
    ASSERT_TRUE(renderUntil(*video, [&] { return handOvers.size() >= 3; }));
    ASSERT_TRUE(gate.waitForPlays(1));

    // The picture is done, the sound is not: every render returns at once and the video goes on.
    for (int i = 0; i < 20; ++i) {
        auto rendered = std::async(std::launch::async, [&] { video->render(); });
        if (rendered.wait_for(5s) != std::future_status::ready) {
            gate.openGate();
            FAIL() << "render waited for the sound";
        }
        EXPECT_FALSE(video->isFinished()) << "finished while the sound still plays";
        std::this_thread::sleep_for(5ms);
    }
    gate.openGate();
    EXPECT_TRUE(playToEnd(*video));
    EXPECT_EQ(handOvers.size(), 3u);
}

// Frames as wide as the video but of another height cannot be copied as they are: the pool's
// frames are taller. They are scaled (under the address sanitizer a copy reads past the frame).
TEST_F(VideoTest, FramesOfAnotherHeightAreScaledNotCopied) {
    const auto clip = testing::makeVideoClip(dir / "h.mp4", 160, 120, 4, 25);
    VideoSeams seams = fastHooks();
    seams.adaptDecodedFrame = [](AVFrame* frame) {
        const int64_t timestamp = frame->best_effort_timestamp;
        const int width = frame->width;
        av_frame_unref(frame);
        frame->format = AV_PIX_FMT_NV12;
        frame->width = width;
        frame->height = 60;
        ASSERT_EQ(av_frame_get_buffer(frame, 0), 0);
        // Pure green in limited-range BT.601.
        std::memset(frame->data[0], 145, static_cast<size_t>(frame->linesize[0]) * 60);
        for (int row = 0; row < 30; ++row) {
            uint8_t* uv = frame->data[1] + row * frame->linesize[1];
            for (int x = 0; x < width; x += 2) {
                uv[x] = 54;
                uv[x + 1] = 34;
            }
        }
        frame->best_effort_timestamp = timestamp;
    };
    auto video = makeVideo(clip, std::move(seams));
    ASSERT_TRUE(playToEnd(*video));
    EXPECT_TRUE(video->hasDrawnFrame());
    // Scaled to the 4:3 picture box: green over its whole height.
    for (const int y : {32, 90, 148}) EXPECT_EQ(shadeAt(80, y), "green") << y;
}

TEST_F(VideoTest, WithoutASoundDeviceThePicturePlaysSilently) {
    testing::TestPcmConfig noDevice(dir.path(), std::nullopt);
    const auto clip = testing::makeSurroundClip(dir / "s.mp4");
    VideoSeams hooks = fastHooks();
    auto video = makeVideo(clip, std::move(hooks));
    ASSERT_TRUE(playToEnd(*video));
    EXPECT_EQ(handOvers.size(), 25u);
    EXPECT_TRUE(video->hasDrawnFrame());
}

TEST_F(VideoTest, OddSizedVideoPlaysToTheEnd) {
    const auto clip = testing::makeOddSizeClip(dir / "odd.mkv", 175, 99, 5);
    VideoSeams hooks = fastHooks();
    auto video = makeVideo(clip, std::move(hooks));
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(playToEnd(*video));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(video->hasDrawnFrame());
}

// Destruction must never wait for the media: in any state, with real time and sound.
TEST_F(VideoTest, CreatePlayDestroyInALoop) {
    const auto raw = dir / "pcm.raw";
    testing::TestPcmConfig pcm(dir.path(), raw);
    const auto clip = testing::makeClip(
        dir / "long.mp4", {"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25", "-f", "lavfi", "-i",
                           "sine=sample_rate=48000", "-t", "10", "-c:v", "libx264", "-preset", "ultrafast",
                           "-pix_fmt", "yuv420p", "-c:a", "aac"});
    for (int round = 0; round < 12; ++round) {
        auto video = makeVideo(clip);
        if (round % 4 == 1) video->setPaused(true);
        for (int draws = 0; draws < round % 5; ++draws) {
            video->render();
            std::this_thread::sleep_for(std::chrono::milliseconds(round));
        }
        if (round % 4 == 2) video->setPaused(true);
        video.reset();
    }
}

}  // namespace
}  // namespace lumetta
