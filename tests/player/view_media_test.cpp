// The player loop with media: a stored playlist whose pictures the download workers verify
// (they are on disk already, so nothing is fetched) plays every layer kind at its place; videos
// hold the splash until they have a picture; the slide is drawn inset while the overlay shows.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

#include "content/download_worker.h"
#include "content/image_processing.h"
#include "content/media_request.h"
#include "player/player_loop.h"
#include "support/line_capture.h"
#include "support/subprocess.h"
#include "view_test_support.h"

namespace lumetta::player {
namespace {

using namespace lumetta::testing;

// The player's download and image workers on the harness's queue, stopped and joined at the end.
class RealWorkers {
public:
    RealWorkers(ThreadSafeQueue& queue, const std::string& contentDirectory) : queue_(queue) {
        settings_.imageJobs = &jobs_;
        settings_.contentDirectory = contentDirectory;
        settings_.output = &lines_;
        settings_.errors = &lines_;
        download_ = std::jthread([this] { downloadWorker(queue_, settings_); });
        images_ = std::jthread([this] { imageProcessingWorker(queue_, jobs_); });
    }
    ~RealWorkers() {
        queue_.stop();
        download_.join();
        jobs_.stop();
        images_.join();
    }
    const LineCapture& lines() const { return lines_; }

private:
    ThreadSafeQueue& queue_;
    ImageJobQueue jobs_;
    LineCapture lines_;
    DownloadWorkerSettings settings_;
    std::jthread download_;
    std::jthread images_;
};

Json::Value layerAt(int x, int y, int w, int h) {
    Json::Value layer;
    layer["x"] = x;
    layer["y"] = y;
    layer["width"] = w;
    layer["height"] = h;
    return layer;
}

Json::Value imageLayerOf(int x, int y, int w, int h, const std::filesystem::path& file) {
    Json::Value layer = layerAt(x, y, w, h);
    layer["image"]["file"] = file.filename().string();
    layer["image"]["sha1"] = fileSha1(file.string());
    layer["image"]["size"] = "stretch";
    return layer;
}

// A one-colour H.264 clip made with the ffmpeg tool.
std::filesystem::path makeColourClip(const std::filesystem::path& path, const std::string& colour, int frames,
                                     const std::vector<std::string>& extra = {}) {
    std::filesystem::create_directories(path.parent_path());
    std::vector<std::string> command{"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                                     "color=c=" + colour + ":s=64x48:r=25", "-frames:v", std::to_string(frames),
                                     "-c:v", "libx264", "-pix_fmt", "yuv420p"};
    command.insert(command.end(), extra.begin(), extra.end());
    command.push_back(path.string());
    const ProcessResult made = runProcess(command);
    EXPECT_EQ(made.exitStatus, 0) << made.err;
    return path;
}

class ViewMedia : public ::testing::Test {
protected:
    ViewMedia() {
        h.seams.out = &out;
        h.seams.errors = &errors;
    }

    std::filesystem::path playlistDirectory(const std::string& name) const {
        return h.base / "lumetta" / "acme" / "main" / name;
    }

    // Hands `playlist` over while start-up waits for the service (an empty playlist is stored).
    std::jthread deliverAtStartUp(std::unique_ptr<Playlist> playlist) {
        h.storePlaylist(playlistDocument("0 Empty Playlist", {}));
        return std::jthread([this, delivered = std::shared_ptr<Playlist>(std::move(playlist))]() mutable {
            ASSERT_TRUE(out.waitFor("[PLAYLIST] Waiting for initial playlist download", 1));
            auto owned = std::make_unique<Playlist>(h.queue);
            owned->content = delivered->content;
            owned->playlistDirectory = delivered->playlistDirectory;
            placePlaylistUpdate(PlaylistUpdate{std::move(owned), PlaylistUpdateKind::normal, 0}, h.link);
        });
    }

    ViewHarness h;
    LineCapture out;
    LineCapture errors;
};

TEST_F(ViewMedia, EveryLayerKindOfAStoredPlaylistIsDrawnAtItsPlace) {
    const auto directory = playlistDirectory("Kinds");
    // The picture has a copy sized for this display's class ("/FHD" for 320x180): that copy is
    // drawn; the other picture has none and is drawn from the playlist directory.
    writePng(directory / "photo.png", 8, 8, kRed);
    writePng(directory / "FHD" / "photo.png", 8, 8, kBlue);
    writePng(directory / "plain.png", 8, 8, kGreen);

    Json::Value slide;
    slide["id"] = "kinds";
    slide["width"] = 320;
    slide["height"] = 180;
    slide["duration"] = 5;
    auto shape = [](const char* kind, int x, const char* colour) {
        Json::Value layer = layerAt(x, 0, 80, 90);
        layer[kind]["color"] = colour;
        if (std::string(kind) == "triangle") layer[kind]["borderColor"] = colour;
        return layer;
    };
    slide["layers"].append(shape("rectangle", 0, "#FF0000"));
    slide["layers"].append(shape("ellipse", 80, "#00FF00"));
    slide["layers"].append(shape("triangle", 160, "#0000FF"));
    slide["layers"].append(shape("star", 240, "#FFFFFF"));
    Json::Value text = layerAt(0, 90, 160, 90);
    text["text"]["content"] = "Hi";
    text["text"]["font"] = "DejaVu Sans";
    text["text"]["font-size"] = 40;
    text["text"]["color"] = "#000000";
    text["text"]["background-color"] = "#FFFF00";
    slide["layers"].append(text);
    slide["layers"].append(imageLayerOf(160, 90, 80, 90, directory / "photo.png"));
    slide["layers"].append(imageLayerOf(240, 90, 80, 90, directory / "plain.png"));
    h.storePlaylist(playlistDocument("Kinds", {slide}));

    RealWorkers workers(h.queue, (h.base / "lumetta").string());
    std::vector<std::pair<SDL_Point, Colour>> seen;
    h.onFrame = [&](Display& shown) {
        // Once the fade from black is over.
        if (h.clock.systemMs() - h.frames.front().systemMs < 450) return;
        for (const SDL_Point p : {SDL_Point{40, 45}, SDL_Point{120, 45}, SDL_Point{200, 80}, SDL_Point{280, 45},
                                  SDL_Point{2, 176}, SDL_Point{200, 135}, SDL_Point{280, 135}}) {
            seen.push_back({p, pixelAt(shown.renderer(), p.x, p.y)});
        }
        ViewHarness::pushQuit();
    };
    EXPECT_EQ(h.run(), 0);
    ASSERT_GE(seen.size(), 7u);
    const Colour expected[] = {kRed, kGreen, kBlue, kWhite, kYellow, kBlue, kGreen};
    for (std::size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(seen[i].second, expected[i]) << "at " << seen[i].first.x << "," << seen[i].first.y;
    }
    EXPECT_TRUE(errors.lines().empty()) << errors.lines().front();
}

TEST_F(ViewMedia, TheSplashStaysUntilTheSlidesVideoHasAPicture) {
    const auto directory = playlistDirectory("Clip");
    makeColourClip(directory / "blue.mp4", "blue", 100);
    VideoLayer video;
    video.file = "blue.mp4";
    video.fit = ImageFit::Stretch;
    std::jthread service = deliverAtStartUp(playlistOf(
        h.queue, "Clip",
        {slideOf({rectangleLayer(0, 0, 160, 180, kRed), layerOf(video, 160, 0, 160, 180)})}, directory.string()));

    struct Screen : StartupScreen {
        std::function<void()> onFade;
        void fadeFrame(int) override { onFade(); }
    };
    int delays = 0;
    int delaysAtFade = -1;
    h.seams.delay = [&](int milliseconds) {
        ++delays;
        // The video's threads run on real time.
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
        h.clock.advance(milliseconds);
    };
    h.seams.splash = [&](const SplashRequest& request) {
        while (!request.initialPlaylistReady->load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        auto screen = std::make_unique<Screen>();
        screen->onFade = [&] { delaysAtFade = delays; };
        return std::unique_ptr<StartupScreen>(std::move(screen));
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    Colour videoSide;
    h.onFrame = [&](Display& shown) {
        // The first frame waits for the splash's fade.
        EXPECT_GE(delaysAtFade, 0);
        videoSide = pixelAt(shown.renderer(), 240, 90);
        const bool faded = h.clock.systemMs() - h.frames.front().systemMs >= 450;
        if ((faded && near(videoSide, kBlue, 40)) || std::chrono::steady_clock::now() > deadline) {
            ViewHarness::pushQuit();
        }
    };
    EXPECT_EQ(h.run(), 0);
    // A video's threads start on its first drawing, so that frame never has a picture: the
    // splash waited at least once.
    EXPECT_GE(delaysAtFade, 1);
    EXPECT_TRUE(near(videoSide, kBlue, 40)) << videoSide;
}

TEST_F(ViewMedia, AVideoThatCannotPlayDoesNotKeepTheSplashUp) {
    const auto directory = playlistDirectory("Broken");
    // A clip whose header is whole but whose pictures are cut off: it opens, and ends without
    // ever having a picture.
    makeColourClip(directory / "whole.mp4", "blue", 25, {"-movflags", "+faststart"});
    {
        std::ifstream in(directory / "whole.mp4", std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const std::size_t media = bytes.find("mdat");
        ASSERT_NE(media, std::string::npos);
        writeTestFile(directory / "broken.mp4", bytes.substr(0, media + 4) + std::string(16, '\0'));
    }
    VideoLayer video;
    video.file = "broken.mp4";
    video.fit = ImageFit::Stretch;
    std::jthread service = deliverAtStartUp(
        playlistOf(h.queue, "Broken", {slideOf({rectangleLayer(0, 0, 320, 180, kRed), layerOf(video, 160, 0, 160, 180)})},
                   directory.string()));
    struct Screen : StartupScreen {
        bool* faded;
        explicit Screen(bool* f) : faded(f) {}
        void fadeFrame(int) override { *faded = true; }
    };
    bool faded = false;
    int delays = 0;
    h.seams.delay = [&](int milliseconds) {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
        h.clock.advance(milliseconds);
        // Held for good: end the run, the test fails below.
        if (++delays == 300) ViewHarness::pushQuit();
    };
    h.seams.splash = [&](const SplashRequest& request) {
        while (!request.initialPlaylistReady->load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return std::unique_ptr<StartupScreen>(std::make_unique<Screen>(&faded));
    };
    h.onFrame = [&](Display&) {
        if (h.frames.size() == 3) ViewHarness::pushQuit();
    };
    EXPECT_EQ(h.run(), 0);
    EXPECT_TRUE(faded);
    EXPECT_GE(h.frames.size(), 3u);
}

// A video layer over a file without pictures (sound only) cannot be built: the slide, which
// has no duration and waits for its video, still ends; shown alone it is set up again at most
// once a second.
TEST(ViewBrokenVideo, AVideoThatCannotBeOpenedEndsItsSlide) {
    TempDir media;
    const auto directory = media / "Sound";
    std::filesystem::create_directories(directory);
    const ProcessResult made = runProcess({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                                           "sine=frequency=440:duration=1", "-c:a", "aac",
                                           (directory / "sound.mp4").string()});
    ASSERT_EQ(made.exitStatus, 0) << made.err;
    const Slide soundSlide = slideOf({rectangleLayer(0, 0, 320, 180, kRed), videoLayer(0, 0, 320, 180, "sound.mp4")}, "sound");
    Slide next = slideOf({rectangleLayer(0, 0, 320, 180, kBlue)}, "next");
    next.duration = 10;

    struct Case {
        const char* name;
        std::vector<Slide> slides;
    };
    for (const Case& c : {Case{"two slides", {soundSlide, next}}, Case{"alone", {soundSlide}}}) {
        SCOPED_TRACE(c.name);
        ViewHarness run;
        LineCapture out;
        LineCapture errors;
        run.seams.out = &out;
        run.seams.errors = &errors;
        run.storePlaylist(playlistDocument("0 Empty Playlist", {}));
        std::jthread service([&] {
            ASSERT_TRUE(out.waitFor("[PLAYLIST] Waiting for initial playlist download", 1));
            placePlaylistUpdate(PlaylistUpdate{playlistOf(run.queue, "Sound", c.slides, directory.string()),
                                               PlaylistUpdateKind::normal, 0},
                                run.link);
        });
        std::optional<std::int64_t> nextShownAt;
        run.onFrame = [&](Display&) {
            if (!nextShownAt && currentSlideIndex.load() == 1) nextShownAt = run.clock.systemMs();
            if (run.clock.systemMs() - run.frames.front().systemMs > 5'000) ViewHarness::pushQuit();
        };
        // Waits count as time passing too, for a run that only sleeps.
        const auto wait = run.seams.waitEvent;
        run.seams.waitEvent = [&](SDL_Event& event, int timeoutMs) {
            if (!run.frames.empty() && run.clock.systemMs() - run.frames.front().systemMs > 5'000) {
                ViewHarness::pushQuit();
            }
            return wait(event, timeoutMs);
        };
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(run.run(), 0);
        const std::string lines = ::testing::internal::GetCapturedStderr();
        service.join();
        ASSERT_FALSE(run.frames.empty());
        std::size_t setUps = 0;
        for (std::size_t at = lines.find("Layer left out: "); at != std::string::npos;
             at = lines.find("Layer left out: ", at + 1)) {
            ++setUps;
        }
        if (c.slides.size() == 2) {
            ASSERT_TRUE(nextShownAt.has_value()) << "the slide of the broken video never ended";
            EXPECT_LE(*nextShownAt - run.frames.front().systemMs, 1'000);
            EXPECT_EQ(setUps, 1u);
        } else {
            // Five seconds: set up again once at once, then once a second; never in a tight loop.
            EXPECT_GE(setUps, 4u) << lines;
            EXPECT_LE(setUps, 7u) << lines;
        }
    }
}

// While the service announces a playlist, the overlay reveal shrinks the slide towards the
// centre: fully shown on a 1920x1080 screen, by (1080 - 320) / 1080.
TEST(ViewInset, AFullyShownOverlayDrawsTheSlideInsetAndCentred) {
    ViewHarness h;
    h.display = makeDisplay(1920, 1080);
    SDL_PumpEvents();
    SDL_FlushEvents(SDL_EVENT_FIRST, SDL_EVENT_LAST);
    // Set up again every two seconds, so a frame is drawn after the reveal came to rest.
    Json::Value slide = shapeSlide("a", "rectangle", "#FF0000", 2);
    slide["width"] = 1920;
    slide["height"] = 1080;
    slide["layers"][0]["width"] = 1920;
    slide["layers"][0]["height"] = 1080;
    h.storePlaylist(playlistDocument("Shapes", {slide}));
    {
        auto lock = lockWebSocketState();
        h.link.requestedPlaylistName = "Next";
    }
    const double scale = (1080.0 - 320.0) / 1080.0;
    const int left = static_cast<int>((1920 - 1920 * scale) / 2);
    const int top = static_cast<int>((1080 - 1080 * scale) / 2);
    std::vector<Colour> outside, inside;  // just outside and just inside the left and top edges
    h.onFrame = [&](Display& shown) {
        // The reveal's first phase takes 750 ms; both phases are done after 1150 ms.
        if (h.clock.systemMs() - h.frames.front().systemMs < 1300) return;
        outside = {pixelAt(shown.renderer(), left - 3, 540), pixelAt(shown.renderer(), left + 20, top - 3)};
        inside = {pixelAt(shown.renderer(), left + 3, 540), pixelAt(shown.renderer(), left + 20, top + 3),
                  pixelAt(shown.renderer(), 1920 - left - 4, 1080 - top - 4)};
        ViewHarness::pushQuit();
    };
    EXPECT_EQ(h.run(), 0);
    EXPECT_EQ(outside, (std::vector<Colour>{kBlack, kBlack}));
    EXPECT_EQ(inside, (std::vector<Colour>{kRed, kRed, kRed}));
}

}  // namespace
}  // namespace lumetta::player
