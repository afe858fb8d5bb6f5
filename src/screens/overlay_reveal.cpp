#include "screens/overlay_reveal.h"

#include <algorithm>

namespace lumetta::screens {

namespace {
constexpr double phaseAMs = 750.0;
constexpr double phaseBMs = 400.0;
}  // namespace

bool OverlayReveal::update(std::string_view announcedPlaylist) {
    const std::uint64_t now = clock_->ticksMs();
    const bool wanted = !announcedPlaylist.empty();
    if (wanted != shown_) {
        shown_ = wanted;
        lastTick_ = now;
    }
    const double elapsed =
        lastTick_ == 0 || now < lastTick_ ? 0.0 : static_cast<double>(now - lastTick_);
    lastTick_ = now;

    const double a = phaseA_, b = phaseB_;
    if (shown_) {
        if (phaseA_ < 1.0) {
            phaseA_ = std::min(1.0, phaseA_ + elapsed / phaseAMs);
        } else {
            phaseB_ = std::min(1.0, phaseB_ + elapsed / phaseBMs);
        }
    } else if (phaseB_ > 0.0) {
        phaseB_ = std::max(0.0, phaseB_ - elapsed / phaseBMs);
    } else {
        phaseA_ = std::max(0.0, phaseA_ - elapsed / phaseAMs);
    }
    return phaseA_ != a || phaseB_ != b;
}

}  // namespace lumetta::screens
