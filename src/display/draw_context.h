#pragma once
// The per-thread draw context. Elements draw through drawTexture with their ordinary
// arguments; whoever draws a layer (the player loop, the scene engine, the package player)
// fills these slots around that one draw and puts the previous values back afterwards, so
// nothing else needs to pass a transform down to the elements.

#include <string>
#include <type_traits>
#include <utility>

namespace lumetta {

// Reveal shapes of a LayerTransform; the values match the animation pose's reveal kind.
namespace reveal {
inline constexpr int none = 0;
inline constexpr int wipe = 1;
inline constexpr int split = 2;   // a band opening from the middle ("curtain")
inline constexpr int circle = 3;
inline constexpr int typewriter = 4;  // no geometric clip; drawn like none
}  // namespace reveal

// How one layer is moved, scaled, faded and revealed. Built and owned by the caller that
// activates it. The middle block carries the values of an evaluated animation pose.
struct LayerTransform {
    double pivotX = 0.0;  // point about which the layer scales and turns, render coordinates
    double pivotY = 0.0;
    double translationX = 0.0;
    double translationY = 0.0;
    double extraX = 0.0;  // free for the caller; drawing does not read them
    double extraY = 0.0;
    double rotation = 0.0;  // degrees
    double scale = 1.0;     // uniform
    double opacity = 1.0;   // 0..1, 1 leaves the texture as it is
    double scaleX = 1.0;    // along the axis (axisCos, axisSin)
    double scaleY = 1.0;    // across the axis
    double reveal = 1.0;    // uncovered fraction 0..1
    int revealKind = reveal::none;
    std::string direction = "left";  // "up", "down", "left", "right"
    double axisCos = 1.0;
    double axisSin = 0.0;
    double layerWidth = 0.0;   // size of the revealed area, render coordinates
    double layerHeight = 0.0;
    double referenceWidth = 0.0;  // layerWidth / referenceWidth maps a layer canvas to the output
};

// The canvas of one scene layer, owned by the scene engine for the whole draw of that layer.
struct LayerCanvas {
    double width = 0.0;
    double height = 0.0;
    bool wrapX = false;  // the layer repeats with the canvas width as its period
    bool wrapY = false;
    bool viewport = false;  // the camera offset is taken relative to the placement's origin
};

// Per-thread values of the layer being drawn under a LayerCanvas (camera offset, turn, size
// factors, opacity). The scene engine saves and restores the record whole.
struct ThreadDrawState {
    double offsetX = 0.0;
    double offsetY = 0.0;
    double rotation = 0.0;  // degrees
    double scale = 1.0;
    double opacity = 1.0;
    double scaleX = 1.0;
    double scaleY = 1.0;
    double tint = 1.0;  // not read by the drawing functions
    int flag = 0;       // not read by the drawing functions
    std::string alignment = "left";

    // Offsets and rotation 0, the first four factors 1 and the flag clear.
    bool isIdentity() const {
        return offsetX == 0.0 && offsetY == 0.0 && rotation == 0.0 && scale == 1.0 && opacity == 1.0 &&
               scaleX == 1.0 && scaleY == 1.0 && flag == 0;
    }
};

// Where a layer canvas sits: the canvas offset and the origin subtracted under `viewport`.
struct CanvasPlacement {
    double offsetX = 0.0;
    double offsetY = 0.0;
    double originX = 0.0;
    double originY = 0.0;
};

// The slots. Pointers are borrowed for the duration of one layer's draw.
extern thread_local const LayerTransform* activeLayerTransform;
extern thread_local const LayerCanvas* activeLayerCanvas;
extern thread_local CanvasPlacement activeCanvasPlacement;

// The calling thread's ThreadDrawState, built with the defaults on first use and destroyed
// when the thread ends.
ThreadDrawState& initThreadDrawState();

// Sets a slot for one scope and puts the previous value back on every way out, also when the
// draw throws.
template <typename T>
class ScopedDrawSlot {
public:
    ScopedDrawSlot(T& slot, std::type_identity_t<T> value) : slot_(slot), saved_(slot) { slot_ = std::move(value); }
    ~ScopedDrawSlot() { slot_ = std::move(saved_); }
    ScopedDrawSlot(const ScopedDrawSlot&) = delete;
    ScopedDrawSlot& operator=(const ScopedDrawSlot&) = delete;

    const T& saved() const { return saved_; }

private:
    T& slot_;
    T saved_;
};

}  // namespace lumetta
