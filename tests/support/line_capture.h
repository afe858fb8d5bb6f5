#pragma once
// An output stream for log lines written by several threads at once: whole lines are kept in
// order, and a test can count them or wait for one.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

namespace lumetta::testing {

// An output stream whose lines another thread can count and wait for.
class LineCapture : private std::streambuf, public std::ostream {
public:
    LineCapture() : std::ostream(static_cast<std::streambuf*>(this)) {}

    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    // Lines equal to `line` so far.
    int count(const std::string& line) const {
        std::lock_guard lock(mutex_);
        int n = 0;
        for (const auto& each : lines_) n += each == line ? 1 : 0;
        return n;
    }
    // Waits (real time, at most `limit`) until `line` was written `times` times.
    bool waitFor(const std::string& line, int times,
                 std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] {
            int n = 0;
            for (const auto& each : lines_) n += each == line ? 1 : 0;
            return n >= times;
        });
    }
    std::size_t lineCount() const {
        std::lock_guard lock(mutex_);
        return lines_.size();
    }
    bool waitForLineCount(std::size_t count) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return lines_.size() >= count; });
    }

private:
    int overflow(int c) override {
        if (c != std::streambuf::traits_type::eof()) {
            const char ch = static_cast<char>(c);
            xsputn(&ch, 1);
        }
        return c;
    }
    std::streamsize xsputn(const char* text, std::streamsize size) override {
        {
            std::lock_guard lock(mutex_);
            for (std::streamsize i = 0; i < size; ++i) {
                if (text[i] == '\n') {
                    lines_.push_back(partial_);
                    partial_.clear();
                } else {
                    partial_.push_back(text[i]);
                }
            }
        }
        changed_.notify_all();
        return size;
    }

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> lines_;
    std::string partial_;
};

}  // namespace lumetta::testing
