// Many playlists at once: loaders push, two download workers hand pictures to the image
// worker or complete tasks themselves, playlists go away while their pictures are on the way,
// and the render side takes and preloads pictures. Built to be run under ThreadSanitizer; in
// any build it checks that nothing is left over once every playlist has gone.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "content/download_queue.h"
#include "content/image_processing.h"
#include "content/playlist.h"
#include "support/temp_dir.h"

namespace lumetta {
namespace {

TEST(DownloadStress, PlaylistsComeAndGoWhileTheirPicturesAreProcessed) {
    testing::TempDir dir;
    std::vector<std::string> pictures;
    for (int i = 0; i < 6; ++i) {
        pictures.push_back((dir / ("p" + std::to_string(i) + ".png")).string());
        ASSERT_TRUE(cv::imwrite(pictures.back(), cv::Mat(24, 24, CV_8UC4, cv::Scalar(i * 40, 90, 200, 255))));
    }
    const std::string preloaded = (dir / "preloaded.png").string();
    ASSERT_TRUE(cv::imwrite(preloaded, cv::Mat(8, 8, CV_8UC3, cv::Scalar(1, 2, 3))));

    PreparedImageCache cache;
    ThreadSafeQueue queue(cache);
    ImageJobQueue jobs;

    // SDL builds its global tables (live objects, properties) on first use, behind atomics
    // ThreadSanitizer cannot see into; in the player the display has made them long before any
    // worker runs. Load one picture here first for the same reason.
    cache.prepare(preloaded, 0);
    SDL_DestroySurface(cache.take(preloaded));

    std::vector<std::jthread> downloadWorkers;
    for (int w = 0; w < 2; ++w) {
        downloadWorkers.emplace_back([&, w] {
            std::minstd_rand random(17 + w);
            DownloadTask task;
            while (queue.pop(task)) {
                // Pictures go on to the image worker; a few other tasks fail here.
                if (task.url == "picture" && jobs.hand(task)) continue;
                queue.completeTask(task.groupId, random() % 5 != 0);
            }
        });
    }
    std::jthread imageWorker([&] { imageProcessingWorker(queue, jobs); });

    std::atomic<bool> loading{true};
    std::jthread renderer([&] {
        std::minstd_rand random(5);
        while (loading) {
            cache.prepare(preloaded, 0);
            SDL_DestroySurface(cache.take(preloaded));
            SDL_DestroySurface(cache.take(pictures[random() % pictures.size()]));
        }
    });

    std::atomic<std::uint64_t> highestGroup{0};
    std::atomic<int> succeeded{0};
    std::vector<std::jthread> loaders;
    for (int l = 0; l < 3; ++l) {
        loaders.emplace_back([&, l] {
            std::minstd_rand random(101 + l);
            for (int n = 0; n < 25; ++n) {
                auto playlist = std::make_unique<Playlist>(queue);
                playlist->downloadGroupId = playlist->preparedImageId = queue.createGroup();
                std::uint64_t seen = highestGroup;
                while (seen < playlist->downloadGroupId &&
                       !highestGroup.compare_exchange_weak(seen, playlist->downloadGroupId)) {
                }
                const int count = 2 + static_cast<int>(random() % 4);
                for (int t = 0; t < count; ++t) {
                    const bool picture = random() % 3 != 0;
                    const std::string& path = pictures[random() % pictures.size()];
                    // Now and then a target that makes the worker write a reduced copy.
                    const int side = random() % 4 == 0 ? 16 : 100000;
                    ASSERT_TRUE(queue.push({picture ? "picture" : "other", path, side, side, "", playlist->downloadGroupId}));
                }
                if (random() % 2 == 0) {
                    // Given up early: the playlist goes with tasks still pending.
                    playlist->waitForDownloads(random() % 3);
                } else {
                    ASSERT_TRUE(playlist->waitForDownloads(60'000));
                    if (playlist->downloadsSucceeded()) ++succeeded;
                    playlist->releaseDownloads();
                }
            }
        });
    }
    for (auto& loader : loaders) loader.join();

    queue.stop();
    for (auto& worker : downloadWorkers) worker.join();
    jobs.stop();
    imageWorker.join();
    loading = false;
    renderer.join();

    EXPECT_EQ(queue.pendingTotal(), 0u);
    EXPECT_EQ(queue.queuedTaskCount(), 0u);
    EXPECT_EQ(jobs.size(), 0u);
    EXPECT_GT(succeeded.load(), 0);
    // Every playlist is gone: so are its group, its pictures and its refusal of late pictures.
    for (std::uint64_t id = 1; id <= highestGroup; ++id) {
        EXPECT_FALSE(queue.group(id).has_value()) << id;
        EXPECT_FALSE(cache.isReleased(id)) << id;
    }
    EXPECT_EQ(cache.entryCount(), 0u);
    EXPECT_EQ(cache.byteTotal(), 0u);
}

}  // namespace
}  // namespace lumetta
