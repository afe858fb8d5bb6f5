#include "display/screenshot.h"

#include <ctime>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <system_error>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "core/log.h"

namespace lumetta {

std::string screenshotFileName(std::chrono::system_clock::time_point time) {
    const auto sinceEpoch = time.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch);
    auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch - seconds).count();
    std::time_t whole = static_cast<std::time_t>(seconds.count());
    if (millis < 0) {  // before 1970: keep the second and the part of it consistent
        millis += 1000;
        whole -= 1;
    }
    std::tm local{};
    localtime_r(&whole, &local);
    std::ostringstream name;
    name << "screenshot-" << std::put_time(&local, "%Y%m%d-%H%M%S") << "-" << std::setw(3) << std::setfill('0')
         << millis << ".png";
    return name.str();
}

bool writeScreenshot(const FrameReadback& frame, const std::string& directory,
                     std::chrono::system_clock::time_point time) {
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    if (error) {
        logText(std::cerr, "[SCREENSHOT] Unable to create " + directory + ": " + error.message());
        return false;
    }
    const std::string path = directory + "/" + screenshotFileName(time);
    try {
        // The readback is BGRA in memory, which is OpenCV's own four-channel order.
        const cv::Mat pixels(frame.height, frame.width, CV_8UC4, const_cast<std::uint8_t*>(frame.pixels.data()),
                             static_cast<std::size_t>(frame.width) * 4);
        if (!cv::imwrite(path, pixels, {cv::IMWRITE_PNG_COMPRESSION, 0})) {
            logText(std::cerr, "[SCREENSHOT] Unable to save " + path);
            return false;
        }
    } catch (const std::exception& exception) {
        logText(std::cerr, std::string("[SCREENSHOT] ") + exception.what());
        return false;
    }
    logText(std::cout, "[SCREENSHOT] Saved uncompressed " + path);
    return true;
}

void ScreenshotRequests::request(const std::string& directory) {
    std::lock_guard lock(mutex_);
    pending_ = directory;
}

std::string ScreenshotRequests::take() {
    std::lock_guard lock(mutex_);
    return std::exchange(pending_, std::string());
}

void ScreenshotRequests::retry(std::string directory) {
    std::lock_guard lock(mutex_);
    if (pending_.empty()) pending_ = std::move(directory);
}

}  // namespace lumetta
