#pragma once
// The description of a layer's movement over time (a named preset or a keyframe list) and the
// state of a layer that it gives at one instant. Plain values: they own their strings and
// vectors and are copied as a whole.

#include <cstdint>
#include <string>
#include <vector>

namespace lumetta {

enum class RevealKind : std::int32_t { None = 0, Wipe = 1, Curtain = 2, CircularReveal = 3, Typewriter = 4 };

// The state of a layer at one instant. Default-constructed it is the identity pose: the layer
// is drawn as it stands.
struct AnimationPose {
    double x = 0;         // pixels added to the layer's place, positive to the right
    double y = 0;         // pixels, positive downwards
    double rotation = 0;  // degrees
    double scale = 1;     // uniform size factor
    double opacity = 1;   // factor 0..1 on the layer's opacity
    double scaleX = 1;    // extra horizontal factor; negative mirrors
    double scaleY = 1;    // extra vertical factor; negative mirrors
    double reveal = 1;    // uncovered fraction 0..1 when revealKind is not None
    RevealKind revealKind = RevealKind::None;
    std::string direction = "left";
};

struct AnimationKeyframe {
    double time = 0;  // fraction 0..1 of a cycle
    AnimationPose pose;
};

// One movement. The defaults describe no movement at all.
struct AnimationSpec {
    std::string preset = "none";
    std::string easing = "linear";
    std::string anchor = "auto";     // "auto", "start" or "end"
    std::string direction = "left";  // "left", "right", "up" or "down"
    double duration = 1000;          // milliseconds per cycle, 1..86400000
    double delay = 0;                // milliseconds, 0..86400000
    std::int32_t repeat = 1;         // cycles, 0..1000000; 0 repeats without end
    bool alternate = false;          // every second cycle runs backwards
    std::vector<AnimationKeyframe> keyframes;  // empty, or 2..128 with times from 0 to 1
};

}  // namespace lumetta
