// Runs one media task through two download workers (content mesh off, pauses on a clock that
// moves at once), for tests that give it a file system of their choosing.
//   download_worker_probe <content directory> <url> <target> <digest>
// Prints "failed 1|0" (the task's group) and "pending <n>"; the worker's lines go to standard
// output and standard error as in the player.
#include <iostream>
#include <thread>
#include <vector>

#include "content/download_worker.h"
#include "support/manual_clock.h"

int main(int argc, char** argv) {
    using namespace lumetta;
    if (argc != 5) return 2;
    testing::ManualClock clock;
    clock.setAutoAdvance(true);
    ContentMesh mesh;
    ImageJobQueue jobs;
    PreparedImageCache cache;
    ThreadSafeQueue queue(cache);
    DownloadWorkerSettings settings;
    settings.mesh = &mesh;
    settings.imageJobs = &jobs;
    settings.clock = &clock;
    settings.contentDirectory = argv[1];
    std::vector<std::thread> workers;
    for (int i = 0; i < 2; ++i) workers.emplace_back([&] { downloadWorker(queue, settings); });
    const std::uint64_t group = queue.createGroup();
    queue.push({argv[2], argv[3], 100000, 100000, argv[4], group});
    queue.waitForGroup(group, 60'000);
    queue.stop();
    for (std::thread& worker : workers) worker.join();
    const auto state = queue.group(group);
    std::cout << "failed " << (state && state->failed ? 1 : 0) << "\npending " << (state ? state->pending : 0)
              << std::endl;
    return 0;
}
