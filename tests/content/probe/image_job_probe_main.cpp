// Runs one picture through the image worker as a download of its own playlist and prints
// what became of it:
//   image_job_probe PATH WIDTH HEIGHT
// prints "group failed=<0|1>" and "prepared=<0|1>". The tests run it where the picture's
// directory cannot take a reduced copy.
#include <cstdlib>
#include <iostream>
#include <string>

#include "content/download_queue.h"
#include "content/image_processing.h"

int main(int argc, char** argv) {
    using namespace lumetta;
    if (argc != 4) {
        std::cerr << "usage: image_job_probe PATH WIDTH HEIGHT\n";
        return 2;
    }
    PreparedImageCache cache;
    ThreadSafeQueue queue(cache);
    ImageJobQueue jobs;
    DownloadTask task{"", argv[1], std::atoi(argv[2]), std::atoi(argv[3]), "", queue.createGroup()};
    if (!queue.push(task) || !queue.pop(task) || !jobs.hand(task)) return 3;
    jobs.stop();
    imageProcessingWorker(queue, jobs);
    const std::optional<DownloadGroup> group = queue.group(task.groupId);
    if (!group || group->pending != 0) return 4;
    std::cout << "group failed=" << group->failed << "\nprepared=" << cache.contains(task.targetPath) << std::endl;
    return 0;
}
