#include "content/image_processing.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <thread>

#include "content/playlist.h"
#include "objects/image_layout.h"
#include "support/exif_jpeg.h"
#include "support/temp_dir.h"

namespace lumetta {
namespace {

namespace fs = std::filesystem;

std::string writePicture(const fs::path& path, int width, int height) {
    fs::create_directories(path.parent_path());
    const cv::Mat picture(height, width, CV_8UC3, cv::Scalar(40, 120, 200));
    EXPECT_TRUE(cv::imwrite(path.string(), picture)) << path;
    return path.string();
}

cv::Size pictureSize(const fs::path& path) {
    const cv::Mat picture = cv::imread(path.string(), cv::IMREAD_UNCHANGED);
    return picture.empty() ? cv::Size(0, 0) : picture.size();
}

TEST(ResolutionLabel, TheFirstBoxThatHoldsTheTargetTurnedForPortrait) {
    const struct {
        int width, height;
        const char* label;  // nullptr: no box holds it
    } cases[] = {
        {1280, 720, "HD"},   {720, 1280, "HD"},   {1281, 720, "FHD"}, {1920, 1080, "FHD"}, {1080, 1920, "FHD"},
        {1000, 1000, "FHD"},  // square: the landscape boxes, and 1000 is taller than 720
        {3840, 2160, "4K"},  {2160, 3840, "4K"},  {1921, 100, "4K"},  {3841, 100, nullptr}, {100, 3841, nullptr},
        {3000, 3000, nullptr}, {4000, 2000, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.width << "x" << c.height);
        const std::optional<std::string_view> label = resolutionLabel(c.width, c.height);
        if (c.label)
            EXPECT_EQ(label, std::string_view(c.label));
        else
            EXPECT_FALSE(label.has_value());
    }
}

// One picture through the worker's steps: what is written beside it, whether the original is
// prepared, whether the job succeeds and what is said.
TEST(ImageJob, ReducesLargePicturesAndPreparesTheOriginal) {
    const struct {
        const char* name;
        int pictureWidth, pictureHeight;
        int targetWidth, targetHeight;
        const char* copyDirectory;  // nullptr: no copy anywhere
        int copyWidth, copyHeight;  // the picture's aspect, covering the target, never enlarged
        bool succeeds;
        const char* out;  // expected on standard output ("" for nothing)
    } cases[] = {
        {"wide.png", 4000, 3000, 1920, 1080, "FHD", 1920, 1440, true, "Created directory: "},
        {"tall.jpg", 2000, 3000, 1080, 1920, "FHD", 1280, 1920, true, "Created directory: "},
        {"square.jpeg", 1500, 1500, 1000, 1000, "FHD", 1000, 1000, true, "Created directory: "},
        {"small.PNG", 1400, 800, 1280, 720, "HD", 1280, 731, true, "Created directory: "},
        {"panorama.png", 6000, 2000, 1920, 1080, "FHD", 3240, 1080, true, "Created directory: "},
        // Wider than the box but not taller: covering it takes the whole picture, so no copy.
        {"strip.png", 2400, 500, 1920, 1080, nullptr, 0, 0, true, ""},
        // No copy serves a box larger than 4K: the original is drawn there.
        {"banner.png", 5000, 200, 3841, 100, nullptr, 0, 0, true,
         "Skipping: Target resolution exceeds 4K (3841x100) for file: "},
        {"wall.jpg", 6000, 5000, 3000, 2500, nullptr, 0, 0, true,
         "Skipping: Target resolution exceeds 4K (3000x2500) for file: "},
        {"sprite.png", 2000, 1500, 100000, 100000, nullptr, 0, 0, true, ""},
        {"exact.png", 640, 360, 640, 360, nullptr, 0, 0, true, ""},
        {"under.png", 1000, 500, 4000, 2000, nullptr, 0, 0, true, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testing::TempDir dir;
        PreparedImageCache cache;
        const std::string path = writePicture(dir / "media" / c.name, c.pictureWidth, c.pictureHeight);
        const DownloadTask job{"http://127.0.0.1:9/x", path, c.targetWidth, c.targetHeight, "00", 5};

        ::testing::internal::CaptureStdout();
        const bool succeeded = processImageJob(job, cache);
        const std::string out = ::testing::internal::GetCapturedStdout();

        EXPECT_EQ(succeeded, c.succeeds);
        EXPECT_EQ(cache.contains(path), c.succeeds);
        EXPECT_EQ(pictureSize(path), cv::Size(c.pictureWidth, c.pictureHeight));  // the original is untouched
        if (*c.out)
            EXPECT_EQ(out.rfind(c.out, 0), 0u) << out;
        else
            EXPECT_EQ(out, "");
        if (c.copyDirectory) {
            const fs::path copy = dir / "media" / c.copyDirectory / c.name;
            EXPECT_EQ(pictureSize(copy), cv::Size(c.copyWidth, c.copyHeight));
            EXPECT_EQ(out, "Created directory: \"" + (dir / "media" / c.copyDirectory).string() + "\"\n");
            // Nothing else is left in the copy directory (no temporary file).
            EXPECT_EQ(std::distance(fs::directory_iterator(copy.parent_path()), fs::directory_iterator()), 1);
        }
        for (const char* label : {"HD", "FHD", "4K"}) {
            if (!c.copyDirectory || std::string(label) != c.copyDirectory) {
                EXPECT_FALSE(fs::exists(dir / "media" / label)) << label;
            }
        }
    }
}

// A screen of the copy's class draws the copy in place of the original: in a full-screen layer
// "fit" shows it whole with bars at the sides and "crop" its centre, just as from the original.
TEST(ImageJob, AReducedCopyIsDrawnAsTheOriginalWouldBe) {
    testing::TempDir dir;
    PreparedImageCache cache;
    const std::string path = writePicture(dir / "photo.jpg", 4000, 3000);
    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(processImageJob({"", path, 1920, 1080, "", 0}, cache));
    ::testing::internal::GetCapturedStdout();
    const cv::Size copy = pictureSize(dir / "FHD" / "photo.jpg");
    ASSERT_EQ(copy, cv::Size(1920, 1440));

    const auto place = [](cv::Size picture, ImageFit fit) {
        ImagePlacementInput input;
        input.viewport = {0, 0, 1920, 1080};
        input.slideWidth = 1920;
        input.slideHeight = 1080;
        input.element = {0, 0, 1920, 1080};
        input.pictureWidth = picture.width;
        input.pictureHeight = picture.height;
        input.fit = fit;
        return placeImage(input).value();
    };
    const ImagePlacement fitted = place(copy, ImageFit::Fit);
    EXPECT_EQ(fitted.destination.x, 240);
    EXPECT_EQ(fitted.destination.w, 1440);
    EXPECT_EQ(fitted.destination.h, 1080);
    EXPECT_EQ(place(cv::Size(4000, 3000), ImageFit::Fit).destination.w, fitted.destination.w);

    const ImagePlacement cropped = place(copy, ImageFit::Crop);
    const ImagePlacement fromOriginal = place(cv::Size(4000, 3000), ImageFit::Crop);
    EXPECT_EQ(cropped.destination.w, 1920);
    EXPECT_EQ(cropped.source.w, 1920);
    EXPECT_EQ(cropped.source.h, 1080);
    EXPECT_EQ(cropped.source.y, 180);
    // The same share of the picture as from the original.
    EXPECT_DOUBLE_EQ(cropped.source.y / 1440.0, fromOriginal.source.y / 3000.0);
    EXPECT_DOUBLE_EQ(cropped.source.h / 1440.0, fromOriginal.source.h / 3000.0);
}

// A photo taken upright on a phone (4:3 as coded, tagged "a quarter turn clockwise") in a 16:9
// layer: the reduced copy stands upright like the original, red on top, sized from the upright
// picture.
TEST(ImageJob, APhotoTakenUprightHasAnUprightCopy) {
    testing::TempDir dir;
    PreparedImageCache cache;
    const std::string path =
        testing::writeTestFile(dir / "phone.jpg", testing::jpegWithOrientation(testing::redLeftBlueRight(1600, 1200), 6))
            .string();
    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(processImageJob({"", path, 640, 360, "", 0}, cache));
    ::testing::internal::GetCapturedStdout();

    const cv::Mat copy = cv::imread((dir / "HD" / "phone.jpg").string(), cv::IMREAD_UNCHANGED);
    ASSERT_FALSE(copy.empty());
    EXPECT_EQ(copy.size(), cv::Size(640, 853));
    const cv::Vec3b top = copy.at<cv::Vec3b>(20, 320), bottom = copy.at<cv::Vec3b>(833, 320);
    EXPECT_GT(top[2], 200);  // red
    EXPECT_LT(top[0], 60);
    EXPECT_GT(bottom[0], 200);  // blue
    EXPECT_LT(bottom[2], 60);

    SurfaceHandle original(cache.take(path));
    ASSERT_NE(original, nullptr);
    EXPECT_EQ(original->w, 1200);
    EXPECT_EQ(original->h, 1600);
}

TEST(ImageJob, ANewerPictureReplacesTheCopyInItsExistingDirectory) {
    testing::TempDir dir;
    PreparedImageCache cache;
    const fs::path copy = dir / "FHD" / "photo.jpg";
    writePicture(copy, 50, 50);  // the copy of an older download
    const std::string path = writePicture(dir / "photo.jpg", 3000, 2000);

    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(processImageJob({"", path, 1920, 1080, "", 0}, cache));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");  // the directory was there
    EXPECT_EQ(pictureSize(copy), cv::Size(1920, 1280));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "FHD"), fs::directory_iterator()), 1);
}

// A file that cannot be decoded counts as fitting: nothing is written, the cache says why it
// stores nothing, and the job still counts as done.
TEST(ImageJob, AnUnreadablePictureIsReportedAndStillCountsAsDone) {
    testing::TempDir dir;
    PreparedImageCache cache;
    const std::string path = testing::writeTestFile(dir / "broken.png", "\x89PNG\r\n\x1a\n cut short").string();

    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(processImageJob({"", path, 10, 10, "", 3}, cache));
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Failed to read image: "), std::string::npos) << err;
    EXPECT_NE(err.find("Failed to prepare image: " + path + ": "), std::string::npos) << err;
    EXPECT_FALSE(cache.contains(path));
    EXPECT_FALSE(fs::exists(dir / "HD"));
}

// A target that the image cannot be scaled to makes OpenCV throw; the worker reports it
// under its tag and the job fails instead of the thread ending.
TEST(ImageJob, AnExceptionWhileProcessingFailsTheJob) {
    testing::TempDir dir;
    PreparedImageCache cache;
    const std::string path = writePicture(dir / "odd.png", 100, 100);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(processImageJob({"", path, 0, 50, "", 3}, cache));
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("[IMAGE PROCESSING] " + path + ": ", 0), 0u) << err;
    EXPECT_FALSE(cache.contains(path));
}

TEST(ImageWorker, StopDrainsTheQueuedJobsAndCompletesEachInItsGroup) {
    testing::TempDir dir;
    PreparedImageCache cache;
    ThreadSafeQueue queue(cache);
    ImageJobQueue jobs;
    const std::uint64_t group = queue.createGroup();
    std::vector<std::string> paths;
    for (int i = 0; i < 5; ++i) {
        DownloadTask task{"", writePicture(dir / ("p" + std::to_string(i) + ".png"), 32, 32), 64, 64, "", group};
        // A failing one among them: the group learns of it.
        if (i == 3) task.targetWidth = 0, task.targetHeight = 16;
        ASSERT_TRUE(queue.push(task));
        ASSERT_TRUE(queue.pop(task));
        ASSERT_TRUE(jobs.hand(task));
        paths.push_back(task.targetPath);
    }
    jobs.stop();
    EXPECT_FALSE(jobs.hand(DownloadTask{}));  // refused: the caller completes it itself
    EXPECT_EQ(jobs.size(), 5u);

    ::testing::internal::CaptureStderr();
    std::thread worker([&] { imageProcessingWorker(queue, jobs); });
    worker.join();
    ::testing::internal::GetCapturedStderr();

    EXPECT_EQ(jobs.size(), 0u);
    EXPECT_EQ(queue.pendingTotal(), 0u);
    ASSERT_TRUE(queue.group(group).has_value());
    EXPECT_EQ(queue.group(group)->pending, 0u);
    EXPECT_TRUE(queue.group(group)->failed);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(cache.contains(paths[i]), i != 3) << i;
}

TEST(ImageWorker, WaitsForJobsUntilStopped) {
    testing::TempDir dir;
    PreparedImageCache cache;
    ThreadSafeQueue queue(cache);
    ImageJobQueue jobs;
    std::thread worker([&] { imageProcessingWorker(queue, jobs); });

    DownloadTask task{"", writePicture(dir / "late.png", 8, 8), 64, 64, "", 0};
    ASSERT_TRUE(queue.push(task));
    ASSERT_TRUE(queue.pop(task));
    ASSERT_TRUE(jobs.hand(task));
    EXPECT_TRUE(queue.waitUntilNothingPending(5000));
    EXPECT_TRUE(cache.contains(task.targetPath));
    jobs.stop();
    worker.join();
}

// A playlist that goes while its pictures are still being processed: what the worker prepares
// for it meanwhile is thrown away, and once its last job is done its id is free again.
TEST(ImageWorker, PicturesOfAReleasedPlaylistAreDiscardedUntilItsGroupDrains) {
    testing::TempDir dir;
    PreparedImageCache cache;
    ThreadSafeQueue queue(cache);
    ImageJobQueue jobs;
    auto playlist = std::make_unique<Playlist>(queue);
    playlist->downloadGroupId = playlist->preparedImageId = queue.createGroup();
    const std::uint64_t id = playlist->downloadGroupId;

    std::vector<DownloadTask> tasks;
    for (int i = 0; i < 2; ++i) {
        DownloadTask task{"", writePicture(dir / ("r" + std::to_string(i) + ".png"), 16, 16), 64, 64, "", id};
        ASSERT_TRUE(queue.push(task));
        ASSERT_TRUE(queue.pop(task));
        tasks.push_back(task);
    }
    playlist.reset();
    ASSERT_TRUE(cache.isReleased(id));

    // The first job, as the worker does it: prepared, refused by the cache, completed.
    EXPECT_TRUE(processImageJob(tasks[0], cache));
    queue.completeTask(id, true);
    EXPECT_FALSE(cache.contains(tasks[0].targetPath));
    EXPECT_TRUE(cache.isReleased(id));
    EXPECT_TRUE(queue.group(id).has_value());

    ASSERT_TRUE(jobs.hand(tasks[1]));
    jobs.stop();
    imageProcessingWorker(queue, jobs);

    EXPECT_FALSE(cache.contains(tasks[0].targetPath));
    EXPECT_FALSE(cache.contains(tasks[1].targetPath));
    EXPECT_FALSE(queue.group(id).has_value());
    EXPECT_FALSE(cache.isReleased(id));
}

}  // namespace
}  // namespace lumetta
