// Announcements of the group as the player loop follows them: any position, start time and
// change bit the listener may accept, against any slide on screen. Checks that the loop is only
// ever sent to a slide of its playlist and that slide clocks never run backwards or overflow.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>

#include "link/slide_sync_listener.h"
#include "player/group_sync.h"

namespace {

class FixedClock final : public lumetta::Clock {
public:
    std::int64_t systemMs() const override { return now; }
    std::int64_t steadyMs() const override { return now; }
    bool sleepUntil(std::int64_t, std::stop_token) override { return true; }
    bool waitUntil(std::condition_variable_any&, std::unique_lock<std::mutex>&, std::int64_t, std::stop_token,
                   const std::function<bool()>& ready) override {
        return ready();
    }
    std::int64_t now = 0;
};

std::uint64_t take(const std::uint8_t*& data, std::size_t& size, int bytes) {
    std::uint64_t value = 0;
    for (int i = 0; i < bytes && size > 0; ++i, ++data, --size) value = (value << 8) | *data;
    return value;
}

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FixedClock clock;
    lumetta::player::GroupSyncOptions options;
    options.clock = &clock;
    options.identity = [] { return lumetta::GroupIdentity(); };
    options.networkUsable = [] { return false; };
    options.generation = [] { return std::uint64_t{1}; };
    lumetta::player::GroupSlideSync sync(options);
    sync.start();

    while (size > 0) {
        clock.now = static_cast<std::int64_t>(take(data, size, 8));
        lumetta::player::SyncSlide slide;
        slide.slideCount = static_cast<std::size_t>(take(data, size, 2));
        slide.index = slide.slideCount == 0 ? 0 : static_cast<int>(take(data, size, 2) % slide.slideCount);
        slide.durationMs = static_cast<std::int64_t>(take(data, size, 8));
        const std::uint64_t flags = take(data, size, 1);
        slide.hasVideo = (flags & 1) != 0;
        slide.startTime = static_cast<std::int64_t>(take(data, size, 8));
        {
            std::lock_guard lock(lumetta::groupSyncMutex);
            lumetta::groupSlidePosition = static_cast<std::int32_t>(take(data, size, 4));
            lumetta::groupSlidePending = (flags & 2) != 0;
            lumetta::groupSlideStartTime = take(data, size, 8);
        }
        const lumetta::player::GroupSyncActions actions = sync.cycle(slide, (flags & 4) != 0);
        check(!(actions.change && actions.reanchor));
        if (actions.change) {
            check(actions.change->index >= 0);
            check(static_cast<std::size_t>(actions.change->index) < slide.slideCount);
            check(actions.change->index != slide.index);
            check(actions.change->start >= 0);
        }
        if (actions.reanchor) {
            check(actions.reanchor->startMs >= 0);
            check(actions.reanchor->endMs >= actions.reanchor->startMs);
        }
    }
    lumetta::resetGroupSyncState();
    return 0;
}
