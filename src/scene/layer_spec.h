#pragma once
// The geometry of one slide layer: the canvas it is drawn on, the canvas's own movement, its
// mask, its clip rectangle and its scrolling. The defaults are those of a layer that says
// nothing about its geometry, except the canvas size, which is the slide's.

#include <cstdint>
#include <optional>

#include "scene/animation_spec.h"
#include "scene/stencil_spec.h"

namespace lumetta {

struct LayerClip {
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
};

struct LayerSpec {
    double canvasWidth = 0;   // pixels; the slide width unless the layer sets it
    double canvasHeight = 0;  // pixels; the slide height unless the layer sets it
    double scrollX = 0;       // pixels per second
    double scrollY = 0;
    bool wrapX = false;       // the horizontal scroll offset wraps round the canvas width
    bool wrapY = false;
    std::optional<LayerClip> clip;
    std::optional<StencilSpec> stencil;
    AnimationSpec motion;     // the canvas's movement: translation, scale, rotation, opacity
    bool viewport = false;
};

}  // namespace lumetta
