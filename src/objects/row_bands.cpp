#include "objects/row_bands.h"

#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>
#include <vector>

namespace lumetta {

namespace {
// Below this many samples a picture is done before helper threads would have started.
constexpr std::int64_t kThreadedCost = 1 << 18;
constexpr unsigned kMaxThreads = 8;
}  // namespace

void runRowBands(int rows, std::int64_t costPerRow, const std::function<void(int, int)>& work) {
    if (rows <= 0) {
        return;
    }
    const unsigned hardware = std::max(1u, std::thread::hardware_concurrency());
    const unsigned threads = std::min({hardware, kMaxThreads, static_cast<unsigned>(std::max(1, rows / 4))});
    if (threads <= 1 || static_cast<std::int64_t>(rows) * costPerRow < kThreadedCost) {
        work(0, rows);
        return;
    }
    // Small bands handed out in turn keep the threads busy when some rows cost more
    // than others (the empty corners around an ellipse, for example).
    const int band = std::max(1, rows / static_cast<int>(threads * 8));
    std::atomic<int> next{0};
    auto drain = [&] {
        for (;;) {
            const int first = next.fetch_add(band, std::memory_order_relaxed);
            if (first >= rows) {
                return;
            }
            work(first, std::min(rows, first + band));
        }
    };
    std::vector<std::jthread> helpers;
    helpers.reserve(threads - 1);
    for (unsigned i = 1; i < threads; ++i) {
        try {
            helpers.emplace_back(drain);
        } catch (const std::system_error&) {
            break;  // fewer helpers: the calling thread still covers every band
        }
    }
    drain();
}

}  // namespace lumetta
