#include "content/image_processing.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <stdexcept>
#include <filesystem>
#include <iostream>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <sstream>
#include <string_view>
#include <vector>

#include "core/file_utils.h"
#include "core/log.h"
#include "objects/picture_orientation.h"

namespace lumetta {

bool ImageJobQueue::hand(const DownloadTask& task) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return false;
        jobs_.push_back(task);
    }
    condition_.notify_one();
    return true;
}

bool ImageJobQueue::take(DownloadTask& task) {
    std::unique_lock lock(mutex_);
    condition_.wait(lock, [&] { return !jobs_.empty() || stopping_; });
    if (jobs_.empty()) return false;
    task = std::move(jobs_.front());
    jobs_.pop_front();
    return true;
}

void ImageJobQueue::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    condition_.notify_all();
}

std::size_t ImageJobQueue::size() const {
    std::lock_guard lock(mutex_);
    return jobs_.size();
}

ImageJobQueue& imageJobQueue() {
    static ImageJobQueue jobs;
    return jobs;
}

void stopImageProcessing() { imageJobQueue().stop(); }

void imageProcessingWorker(ThreadSafeQueue& queue) { imageProcessingWorker(queue, imageJobQueue()); }

void imageProcessingWorker(ThreadSafeQueue& queue, ImageJobQueue& jobs) {
    DownloadTask job;
    while (jobs.take(job)) {
        const bool succeeded = processImageJob(job, queue.imageCache());
        queue.completeTask(job.groupId, succeeded);
    }
}

bool processImageJob(const DownloadTask& job, PreparedImageCache& cache) {
    try {
        if (imageExceedsSize(job.targetPath, job.targetWidth, job.targetHeight) &&
            !resizeImageIntoPlaylist(job.targetPath, job.targetWidth, job.targetHeight))
            return false;
        // The downloaded file itself is prepared, also when a reduced copy was written.
        cache.prepare(job.targetPath, job.groupId);
        return true;
    } catch (const std::exception& error) {
        logLine(std::cerr, ansi::BOLD_RED, "[IMAGE PROCESSING]", " " + job.targetPath + ": " + error.what());
    } catch (...) {
        logLine(std::cerr, ansi::BOLD_RED, "[IMAGE PROCESSING]", " Unknown failure: " + job.targetPath);
    }
    return false;
}

std::optional<std::string_view> resolutionLabel(int targetWidth, int targetHeight) {
    struct Box {
        std::string_view label;
        int longSide;
        int shortSide;
    };
    static constexpr Box boxes[] = {{"HD", 1280, 720}, {"FHD", 1920, 1080}, {"4K", 3840, 2160}};
    const bool portrait = targetWidth < targetHeight;
    for (const Box& box : boxes) {
        const int boxWidth = portrait ? box.shortSide : box.longSide;
        const int boxHeight = portrait ? box.longSide : box.shortSide;
        if (targetWidth <= boxWidth && targetHeight <= boxHeight) return box.label;
    }
    return std::nullopt;
}

namespace {

std::string quotedText(const std::filesystem::path& path) {
    std::ostringstream text;
    text << quoted(path);
    return text.str();
}

}  // namespace

PictureSize reducedCopySize(int pictureWidth, int pictureHeight, int targetWidth, int targetHeight) {
    if (pictureWidth <= 0 || pictureHeight <= 0) return {0, 0};
    // The larger of the two factors: the copy covers the box in both directions, so a "crop"
    // cuts from it and a "fit" shrinks it, each as it would the original.
    const double factor = std::max(static_cast<double>(targetWidth) / pictureWidth,
                                   static_cast<double>(targetHeight) / pictureHeight);
    if (factor >= 1.0) return {pictureWidth, pictureHeight};
    const auto side = [factor](int length) {
        return static_cast<int>(std::max(1L, std::lround(length * factor)));
    };
    return {side(pictureWidth), side(pictureHeight)};
}

bool resizeImageIntoPlaylist(const std::string& path, int width, int height) {
    if (width <= 0 || height <= 0) {
        throw std::invalid_argument("Invalid target size for resizing: " + std::to_string(width) + "x" +
                                    std::to_string(height));
    }
    const std::optional<std::string_view> label = resolutionLabel(width, height);
    if (!label) {
        // No display class draws a box this large from a copy: the original serves every screen.
        logText(std::cout, "Skipping: Target resolution exceeds 4K (" + std::to_string(width) + "x" +
                               std::to_string(height) + ") for file: " + path);
        return true;
    }
    cv::Mat picture = cv::imread(path, cv::IMREAD_UNCHANGED);
    if (picture.empty()) {
        logText(std::cerr, "Failed to read image for resizing: " + path);
        return false;
    }
    // The copy is stored upright and without the tag, so every screen class draws the picture
    // the same way up.
    const int orientation = exifOrientationOfFile(path);
    if (orientation != 1) {
        const bool swaps = pictureTurn(orientation).swapsSides;
        cv::Mat upright(swaps ? picture.cols : picture.rows, swaps ? picture.rows : picture.cols, picture.type());
        turnPixels(picture.data, picture.cols, picture.rows, picture.step, picture.elemSize(), upright.data,
                   upright.step, orientation);
        picture = std::move(upright);
    }
    const PictureSize size = reducedCopySize(picture.cols, picture.rows, width, height);
    // Already no larger than the box in one direction: a copy would only repeat the original.
    if (size == PictureSize{picture.cols, picture.rows}) return true;
    cv::resize(picture, picture, cv::Size(size.width, size.height), 0, 0, cv::INTER_LINEAR);

    const std::filesystem::path source(path);
    const std::filesystem::path directory = source.parent_path() / std::string(*label);
    const std::filesystem::path output = directory / source.filename();
    const std::filesystem::file_type type = std::filesystem::status(directory).type();
    if (type == std::filesystem::file_type::not_found || type == std::filesystem::file_type::none) {
        std::filesystem::create_directories(directory);
        logText(std::cout, "Created directory: " + quotedText(directory));
    }

    // The player and its preloader prefer this copy over the original: it is encoded whole in
    // memory and replaces the old copy in one rename, so no reader sees half a picture and a
    // power cut leaves either copy intact.
    std::vector<unsigned char> encoded;
    const bool written = cv::imencode(output.extension().string(), picture, encoded) &&
                         writeFileAtomically(output.string(),
                                             std::string_view(reinterpret_cast<const char*>(encoded.data()), encoded.size()));
    if (!written) logText(std::cerr, "Failed to write resized image: " + quotedText(output));
    return written;
}

}  // namespace lumetta
