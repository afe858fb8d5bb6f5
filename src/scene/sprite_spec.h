#pragma once
// One sprite: an image cut into a grid of equal frames, played as an animation.

#include <cstdint>
#include <string>
#include <vector>

#include "scene/aquarium_motion.h"

namespace lumetta::ticker {

struct SpriteTint {
    std::uint8_t red = 255;
    std::uint8_t green = 255;
    std::uint8_t blue = 255;
};

struct SpriteSpec {
    std::string file;    // image file name, beside the slide's other media
    std::string sha256;  // lower-case digest of that file
    std::int32_t frameWidth = 0;
    std::int32_t frameHeight = 0;
    std::vector<std::int32_t> frames;  // frame numbers in playing order
    double fps = 12.0;
    AquariumMotion aquarium;
    double swimFrequency = 0.0;
    double swimAmplitude = 0.12;
    double swimPhase = 0.0;
    std::string swimMode = "tail";
    bool facingLeft = false;
    bool loop = true;
    bool flipX = false;
    bool flipY = false;
    bool smooth = false;
    SpriteTint tint;
};

}  // namespace lumetta::ticker
