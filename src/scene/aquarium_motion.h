#pragma once
// How a sprite fish swims and what it looks like. A sprite without an "aquarium" object keeps
// these defaults with `enabled` false.

#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace lumetta {

struct AquariumMotion {
    // The heading history integrated for a turn-limited fish; shared by copies of a motion.
    struct TurnTrack;

    bool enabled = false;
    std::uint32_t seed = 1;
    double speed = 1.0;
    double turnRate = 0.0;  // degrees per second; 0 sets no limit
    bool neutralBorderMatte = false;
    double homeX = 0.5;
    double homeY = 0.7;
    double homeRadius = 0.0;  // 0: no home, the fish roams the whole tank
    std::string mesh;         // empty: no mesh
    std::string colour = "orange";
    bool surfaceScales = false;
    bool surfaceReference = false;
    std::array<std::int32_t, 16> viewFrames{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    std::array<bool, 16> viewFlipX{};
    std::shared_ptr<TurnTrack> turnTrack;
};

}  // namespace lumetta
