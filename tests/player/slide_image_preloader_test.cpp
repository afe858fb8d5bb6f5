#include "player/slide_image_preloader.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <utility>
#include <mutex>
#include <string>
#include <vector>

#include "content/slide_model.h"
#include "objects/prepared_image_cache.h"
#include "player/player_test_support.h"
#include "support/temp_dir.h"

namespace lumetta::player {
namespace {

using namespace lumetta::testing;
using namespace std::chrono_literals;

// A decoder the test holds: every decode records its path and waits for a permit.
class DecodeGate {
public:
    SlideImagePreloader::Decode decoder() {
        return [this](const std::string& path) {
            std::unique_lock lock(mutex_);
            started_.push_back(path);
            changed_.notify_all();
            changed_.wait(lock, [this] { return permits_ > 0; });
            --permits_;
            ++finished_;
            changed_.notify_all();
        };
    }
    void release(int count = 1) {
        {
            std::lock_guard lock(mutex_);
            permits_ += count;
        }
        changed_.notify_all();
    }
    bool waitStarted(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 5s, [&] { return started_.size() >= count; });
    }
    std::vector<std::string> started() {
        std::lock_guard lock(mutex_);
        return started_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> started_;
    int permits_ = 0;
    int finished_ = 0;
};

TEST(SlideImagePreloader, QueuesAPathOnceWhileItWaitsOrDecodesAndAgainAfterwards) {
    DecodeGate gate;
    SlideImagePreloader preloader(gate.decoder());

    preloader.enqueue({"/p/a.png"});
    ASSERT_TRUE(gate.waitStarted(1));
    // "a" is being decoded; "b" twice in one list; "a" again: only one "b" is queued.
    preloader.enqueue({"/p/b.png", "/p/a.png", "/p/b.png"});
    EXPECT_EQ(preloader.pendingCount(), 2u);

    gate.release();
    ASSERT_TRUE(gate.waitStarted(2));
    // The worker took "b" next: the "a" asked for during its decode was dropped, and "a" has left
    // the set, so it can be queued again.
    preloader.enqueue({"/p/a.png"});
    gate.release();
    ASSERT_TRUE(gate.waitStarted(3));
    gate.release();
    preloader.stop();
    EXPECT_EQ(gate.started(), (std::vector<std::string>{"/p/a.png", "/p/b.png", "/p/a.png"}));
    EXPECT_EQ(preloader.pendingCount(), 0u);
}

TEST(SlideImagePreloader, StoppingEndsAfterTheDecodeInProgressAndDropsTheQueue) {
    DecodeGate gate;
    SlideImagePreloader preloader(gate.decoder());
    std::vector<std::string> ten;
    for (int i = 0; i < 10; ++i) ten.push_back("/p/" + std::to_string(i) + ".png");
    preloader.enqueue(ten);
    ASSERT_TRUE(gate.waitStarted(1));

    preloader.requestStop();
    gate.release(10);
    preloader.stop();
    EXPECT_EQ(gate.started(), (std::vector<std::string>{"/p/0.png"}));
    preloader.stop();  // a second stop is harmless
}

TEST(SlideImagePreloader, AnIdleWorkerStopsAtOnce) {
    SlideImagePreloader preloader([](const std::string&) { FAIL() << "nothing was queued"; });
    preloader.stop();
}

TEST(SlideImagePreloader, ADecoderThatThrowsDoesNotEndTheWorker) {
    DecodeGate gate;
    bool first = true;
    auto held = gate.decoder();
    SlideImagePreloader preloader([&](const std::string& path) {
        if (std::exchange(first, false)) throw std::runtime_error("broken decoder");
        held(path);
    });
    preloader.enqueue({"/p/bad.png", "/p/good.png"});
    ASSERT_TRUE(gate.waitStarted(1));
    EXPECT_EQ(gate.started(), (std::vector<std::string>{"/p/good.png"}));
    gate.release();
}

// The real decoder into the process-wide cache: files that cannot be decoded are reported by the
// cache and passed over, the good one behind them still arrives; ten thousand copies of one path
// cost one decode.
TEST(SlideImagePreloader, BadPathsArePassedOverAndTheGoodOneIsPrepared) {
    TempDir dir;
    const std::string good = (dir.path() / "good.png").string();
    writePng(good, 8, 8, kRed);
    std::filesystem::create_directories(dir.path() / "folder.png");
    std::ofstream(dir.path() / "empty.jpg").close();

    std::mutex mutex;
    std::condition_variable decoded;
    std::vector<std::string> done;
    SlideImagePreloader preloader([&](const std::string& path) {
        prepareImage(path);
        std::lock_guard lock(mutex);
        done.push_back(path);
        decoded.notify_all();
    });
    std::vector<std::string> paths{(dir.path() / "missing.png").string(), (dir.path() / "folder.png").string(),
                                   (dir.path() / "empty.jpg").string(), ""};
    paths.insert(paths.end(), 10000, good);

    ::testing::internal::CaptureStderr();
    preloader.enqueue(paths);
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(decoded.wait_for(lock, 5s, [&] { return done.size() >= 5; }));
    }
    preloader.stop();
    const std::string errors = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(done.size(), 5u);
    EXPECT_NE(errors.find("Failed to prepare image: " + paths[0]), std::string::npos) << errors;
    EXPECT_NE(errors.find("Failed to prepare image: " + paths[1]), std::string::npos) << errors;
    EXPECT_NE(errors.find("Failed to prepare image: " + paths[2]), std::string::npos) << errors;
    SurfaceHandle surface(takePreparedImage(good));
    ASSERT_TRUE(surface);
    EXPECT_EQ(surface->w, 8);
}

TEST(NextSlideImagePaths, TakesTheNextSlidesImagesWithoutGifsPreferringTheResolutionCopy) {
    TempDir dir;
    const std::string directory = dir.path().string();
    writePng(dir.path() / "FHD" / "sized.png", 4, 4, kBlue);
    writePng(dir.path() / "sized.png", 4, 4, kBlue);

    std::vector<Slide> slides{
        slideOf({imageLayer(0, 0, 10, 10, "current.png")}, "s0"),
        slideOf({imageLayer(0, 0, 10, 10, "sized.png"), rectangleLayer(0, 0, 5, 5, kRed),
                 imageLayer(0, 0, 10, 10, "moving.gif"), imageLayer(0, 0, 10, 10, "MOVING.GIF"),
                 imageLayer(0, 0, 10, 10, "photo.avif"), imageLayer(0, 0, 10, 10, "photo.avif"),
                 videoLayer(0, 0, 10, 10, "clip.mp4")},
                "s1"),
    };
    // Duplicates stay in the list: the preloader refuses them.
    EXPECT_EQ(nextSlideImagePaths(slides, 0, directory, "/FHD"),
              (std::vector<std::string>{directory + "/FHD/sized.png", directory + "/photo.avif",
                                        directory + "/photo.avif"}));
    EXPECT_EQ(nextSlideImagePaths(slides, 0, directory, ""),
              (std::vector<std::string>{directory + "/sized.png", directory + "/photo.avif",
                                        directory + "/photo.avif"}));
    // From the last slide the next is the first; without a "/4K" copy the plain file is taken.
    EXPECT_EQ(nextSlideImagePaths(slides, 1, directory, "/4K"),
              (std::vector<std::string>{directory + "/current.png"}));
    // One slide: it is the next one too, and nothing is preloaded.
    EXPECT_TRUE(nextSlideImagePaths({slides[1]}, 0, directory, "/FHD").empty());
    EXPECT_TRUE(nextSlideImagePaths({}, 0, directory, "/FHD").empty());
}

}  // namespace
}  // namespace lumetta::player
