#pragma once
// The two-phase show/hide animation of the overlay that appears while the service has
// announced a playlist. Showing runs phase A up in 750 ms, then phase B in 400 ms; hiding runs B
// down first, then A. Time left over when one phase ends is not carried into the other, and a
// change of the wanted visibility reverses the motion from where it stands.

#include <cstdint>
#include <string_view>

#include "core/clock.h"

namespace lumetta::screens {

class OverlayReveal {
public:
    // `clock` gives the SDL tick scale (ticksMs) and must outlive the reveal.
    explicit OverlayReveal(const Clock& clock = systemClock()) : clock_(&clock) {}

    // Once per loop cycle with the id of the playlist the service announced last (empty when
    // none): the overlay is wanted while it is not empty. Advances the phases by the time since
    // the previous update and tells whether either phase changed. The update that sees the
    // wanted visibility change only takes the time.
    bool update(std::string_view announcedPlaylist);

    double phaseA() const { return phaseA_; }  // 0..1
    double phaseB() const { return phaseB_; }  // 0..1
    bool shown() const { return shown_; }

private:
    const Clock* clock_;
    double phaseA_ = 0.0;
    double phaseB_ = 0.0;
    bool shown_ = false;
    std::uint64_t lastTick_ = 0;  // 0: never updated
};

}  // namespace lumetta::screens
