#pragma once
// An output stream that one thread under test writes its log lines to while the test reads
// what arrived so far.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>

namespace lumetta::testing {

class CapturedLog : private std::streambuf, public std::ostream {
public:
    CapturedLog() : std::ostream(static_cast<std::streambuf*>(this)) {}

    std::string text() const {
        const std::lock_guard lock(mutex_);
        return text_;
    }

    // Waits (real time) until `needle` was written; whether it was.
    bool waitFor(const std::string& needle, int timeoutMs = 10000) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [&] { return text_.find(needle) != std::string::npos; });
    }

private:
    std::streamsize xsputn(const char* data, std::streamsize count) override {
        {
            const std::lock_guard lock(mutex_);
            text_.append(data, static_cast<std::size_t>(count));
        }
        changed_.notify_all();
        return count;
    }

    std::streambuf::int_type overflow(std::streambuf::int_type c) override {
        using traits = std::streambuf::traits_type;
        if (!traits::eq_int_type(c, traits::eof())) {
            const char ch = traits::to_char_type(c);
            xsputn(&ch, 1);
        }
        return traits::not_eof(c);
    }

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::string text_;
};

}  // namespace lumetta::testing
