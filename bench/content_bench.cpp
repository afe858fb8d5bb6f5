// The image worker's work per downloaded picture, and the download queue's cost per task.

#include <benchmark/benchmark.h>

#include <SDL3/SDL.h>

#include <cstdlib>
#include <filesystem>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <thread>
#include <vector>

#include "content/download_queue.h"
#include "content/image_processing.h"

namespace {

using namespace lumetta;
namespace fs = std::filesystem;

// A photograph-like picture (a smooth gradient with noise, so that the codecs do real work)
// in a directory of its own that lives for the run.
std::string benchPicture(const std::string& name, int width, int height) {
    struct Directory {
        fs::path path;
        Directory() {
            std::string pattern = (fs::temp_directory_path() / "lumetta-bench-XXXXXX").string();
            if (!::mkdtemp(pattern.data())) std::abort();
            path = pattern;
        }
        ~Directory() {
            std::error_code ignored;
            fs::remove_all(path, ignored);
        }
    };
    static const Directory directory;
    const fs::path path = directory.path / name;
    if (!fs::exists(path)) {
        cv::Mat picture(height, width, CV_8UC3);
        cv::randu(picture, cv::Scalar(0, 0, 0), cv::Scalar(40, 40, 40));
        for (int y = 0; y < height; ++y)
            picture.row(y) += cv::Scalar(y * 200.0 / height, 100, 255 - y * 200.0 / height);
        cv::imwrite(path.string(), picture);
    }
    return path.string();
}

void runJob(benchmark::State& state, const std::string& path, int targetWidth, int targetHeight) {
    PreparedImageCache cache;
    const DownloadTask job{"", path, targetWidth, targetHeight, "", 1};
    for (auto _ : state) {
        if (!processImageJob(job, cache)) state.SkipWithError("image job failed");
        SDL_DestroySurface(cache.take(path));
    }
}

// A 12-megapixel camera picture on a full-HD layer: measured, reduced into "FHD", written
// whole, then the original decoded into the cache.
void BM_ImageJobReduceToFhdAndPrepare(benchmark::State& state) {
    runJob(state, benchPicture("camera.jpg", 4000, 3000), 1920, 1080);
}
BENCHMARK(BM_ImageJobReduceToFhdAndPrepare)->Unit(benchmark::kMillisecond);

// A picture already at the layer's size: measured and decoded only.
void BM_ImageJobPrepareFhd(benchmark::State& state) {
    runJob(state, benchPicture("slide.jpg", 1920, 1080), 1920, 1080);
}
BENCHMARK(BM_ImageJobPrepareFhd)->Unit(benchmark::kMillisecond);

// One task through the queue on one thread: push, pop, complete in its group.
void BM_QueueTaskRoundTrip(benchmark::State& state) {
    PreparedImageCache cache;
    ThreadSafeQueue queue(cache);
    const std::uint64_t group = queue.createGroup();
    DownloadTask task{"http://127.0.0.1:9/a.png", "/content/a.png", 1920, 1080, std::string(40, '0'), group};
    DownloadTask taken;
    for (auto _ : state) {
        queue.push(task);
        queue.pop(taken);
        queue.completeTask(taken.groupId, true);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_QueueTaskRoundTrip);

// 10000 tasks of one playlist worked off by two workers while the playlist waits for them.
void BM_QueueTwoWorkersDrainAPlaylist(benchmark::State& state) {
    constexpr int tasks = 10000;
    for (auto _ : state) {
        PreparedImageCache cache;
        ThreadSafeQueue queue(cache);
        std::vector<std::jthread> workers;
        for (int w = 0; w < 2; ++w)
            workers.emplace_back([&] {
                DownloadTask task;
                while (queue.pop(task)) queue.completeTask(task.groupId, true);
            });
        const std::uint64_t group = queue.createGroup();
        for (int i = 0; i < tasks; ++i) queue.push({"", "/content/x.png", 1, 1, "", group});
        while (!queue.waitForGroup(group, 100)) {
        }
        queue.stop();
    }
    state.SetItemsProcessed(state.iterations() * tasks);
}
BENCHMARK(BM_QueueTwoWorkersDrainAPlaylist)->Unit(benchmark::kMillisecond);

}  // namespace
