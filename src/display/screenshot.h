#pragma once
// Screenshots: requests from any thread for the next presented frame, and the PNG written from
// the frame read back.

#include <chrono>
#include <mutex>
#include <string>

#include "display/mirrors.h"

namespace lumetta {

// The name of a screenshot taken at `time`: "screenshot-YYYYmmdd-HHMMSS-mmm.png" (local time).
std::string screenshotFileName(std::chrono::system_clock::time_point time);

// Writes `frame` uncompressed into a new file of `directory` (created when missing), named for
// `time`. False, with the reason logged, when it cannot.
bool writeScreenshot(const FrameReadback& frame, const std::string& directory,
                     std::chrono::system_clock::time_point time);

// The one pending screenshot request: a later request replaces an earlier one.
class ScreenshotRequests {
public:
    // Any thread.
    void request(const std::string& directory);
    // The pending directory, now no longer pending; empty when there is none.
    std::string take();
    // Puts back a request that failed, to be tried with the next frame, unless a newer request
    // arrived meanwhile.
    void retry(std::string directory);

private:
    std::mutex mutex_;
    std::string pending_;
};

}  // namespace lumetta
