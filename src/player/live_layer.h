#pragma once
// The drawable objects of the slide on screen: one LiveLayer per layer of the slide model, built
// when the slide is set up, drawn into the slide's render target every frame and destroyed when
// the slide ends (videos stop and join their threads there).
//
// The object's kind is the index of its alternative, the same numbering as the slide model's
// LayerKind; an empty layer (kind 0) draws nothing.

#include <SDL3/SDL.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "content/slide_model.h"
#include "core/clock.h"
#include "objects/ellipse.h"
#include "objects/image.h"
#include "objects/rectangle.h"
#include "objects/star.h"
#include "objects/text.h"
#include "objects/triangle.h"
#include "objects/video/runtime/video.h"
#include "scene/animation_spec.h"
#include "scene/sprite_spec.h"

namespace lumetta {
class Display;
}

namespace lumetta::player {

// A sprite layer: its own copy of the description. Its frames are drawn by the scene engine.
struct SpriteLayer {
    ticker::SpriteSpec spec;
    std::size_t frameCount = 0;  // frames in the sheet's playing order
};

using LiveObject = std::variant<std::monostate, std::unique_ptr<Rectangle>, std::unique_ptr<Ellipse>,
                                std::unique_ptr<Triangle>, std::unique_ptr<Star>, std::unique_ptr<Text>,
                                std::unique_ptr<Image>, std::unique_ptr<Video>, std::unique_ptr<SpriteLayer>>;
static_assert(std::variant_size_v<LiveObject> == std::variant_size_v<LayerContent>);

struct LiveLayer {
    std::size_t layerIndex = 0;  // the layer it shows, in the slide's layer list
    LiveObject object;
    bool animated = false;       // it has an animation state (isAnimatedLayer)
    bool animationDisabled = false;

    LayerKind kind() const { return static_cast<LayerKind>(object.index()); }
};

// What building a slide's layers needs beyond the layers themselves.
struct LayerBuildContext {
    Display* display = nullptr;
    int slideWidth = 0;
    int slideHeight = 0;
    std::string playlistDirectory;  // media are this directory, "/" and the file name
    std::string resolutionClass;    // "/FHD", "/4K" or empty: where a copy sized for the display lies
    const Clock* clock = &systemClock();
    VideoSeams videoSeams;
};

// The file an image layer is drawn from: the copy for the display's resolution class
// (directory + class + "/" + file) when it exists, else directory + "/" + file.
std::string imageLayerPath(const std::string& directory, const std::string& resolutionClass,
                           const std::string& file);

// The font engine's style bits of a text layer (bold, italic, underline), as its element and the
// background preparation of its text take them.
std::uint8_t textStyleBits(const TextLayer& text);

// The layer kinds as the player knows them, one row per kind in LayerKind order: how a layer of
// the kind is built into its live object and drawn. The content half of the table (document
// members, reading, media files) is content/layer_kinds.h; both halves have a row for every
// kind, which their definitions check when they compile.
struct LiveLayerKindRow {
    LayerKind kind;
    // Builds the live object of a layer of this kind into `live.object`, or leaves it empty for
    // what is left out of this showing (with its line on standard error). An element
    // constructor's failure is thrown on.
    void (*build)(const SlideLayer& layer, const LayerBuildContext& context, LiveLayer& live);
    // Draws the object `build` made onto the renderer's current target; `firstLayer` when it is
    // the slide's first layer.
    void (*draw)(LiveLayer& live, bool firstLayer);
    // The picture file `build` opens (imageLayerPath of the layer's file), which the preloader
    // may decode ahead; null for the kinds that open none.
    std::string (*pictureFile)(const LayerContent& content, const std::string& directory,
                               const std::string& resolutionClass);
};
const LiveLayerKindRow& liveLayerKindRow(LayerKind kind);

// Builds the live object of one layer. Kind 0 comes back for what is left out of this showing:
// an empty layer, a text with lines not all prepared (a text without any line is kept for its
// background and border), an image that did not load, and
// (without the scene engine) sprites and stencilled layers, each with its line on standard
// error. An element constructor's failure is thrown on.
LiveLayer buildLiveLayer(const SlideLayer& layer, std::size_t layerIndex, const LayerBuildContext& context);

// Builds every layer of `slide` in order. A layer whose element throws is left out of this
// showing with "[PLAYLIST] Layer left out: " and the message; the others are built. A video
// left out that way still takes its place as a video without an element, which draws nothing
// and counts as finished without a picture, so that a slide ending with its videos ends.
// Returns the number of layers left out that way.
std::size_t buildLiveLayers(const Slide& slide, const LayerBuildContext& context, std::vector<LiveLayer>& layers);

// Draws one live layer by its kind's row onto the renderer's current target (shapes at their
// place, texts fully opaque, the image with its decoration only as the slide's first layer when
// that layer has no animation state, videos rendered). Sprites draw through the scene engine.
void drawLayer(LiveLayer& layer, bool firstLayer);

// Draws one layer clipped to the area it can cover (layerClipRect at the renderer's output
// and `rotation`), within the clip already set, which is put back afterwards.
void drawLayers(SDL_Renderer* renderer, const SlideLayer& layer, int slideWidth, int slideHeight,
                const AnimationPose& pose, int rotation, LiveLayer& live, bool firstLayer);

// One frame of the slide's live layers in order, each through drawLayers with its animation
// evaluated at `animationMs`; a layer whose animation fails is drawn still from then on
// ("Layer animation disabled: " and the message, once); the layers a running `scene` draws
// itself are skipped. Tells whether the slide's videos all finished (false without video) and
// whether all of them drew a picture (true without video).
struct LayerFrame {
    bool allVideosFinished = false;
    bool allVideosHavePicture = true;
};
class SceneRuntime;
LayerFrame drawSlideLayers(SDL_Renderer* renderer, const Slide& slide, std::vector<LiveLayer>& layers,
                           double animationMs, int rotation, const SceneRuntime* scene = nullptr);

// Stops and frees one layer's object; the layer becomes kind 0.
void destroyLayer(LiveLayer& layer);
// All of them, in slide order, and empties the list.
void destroyLayers(std::vector<LiveLayer>& layers);

// The pixel area a layer can draw into on the output: its box grown by `margin` slide units,
// turned by the element's own `rotation` and by the animation pose about the box's centre,
// scaled and moved by the pose, mapped onto the output (display rotation included), rounded
// outward. Empty for a mapping that is not usable.
SDL_Rect layerClipRect(int viewportWidth, int viewportHeight, int rotation, int slideWidth, int slideHeight,
                       const SDL_Rect& box, double margin, double ownRotation, const AnimationPose& pose);

// Whether a layer gets a per-frame animation state: an effect other than "none" or keyframes;
// for text also a typewriter speed or delay above 0.
bool isAnimatedLayer(const SlideLayer& layer);
// Whether a movement description moves anything.
bool hasAnimation(const AnimationSpec& spec);

// Sprite frames. The frame shown at `timeMs` of a sprite playing `fps` frames per second over
// `frameCount` frames: looping ones wrap, others stop on their last frame.
std::size_t spriteFrameAt(double timeMs, double fps, std::size_t frameCount, bool loop);
// Milliseconds until the sprite shows its next frame, within 1..50; nothing when it will not
// change any more (a non-looping sprite on its last frame, one frame, no rate).
std::optional<int> spriteFrameWait(double timeMs, double fps, std::size_t frameCount, bool loop);
// The loop's idle wait while sprites play: the smallest wait over the sprites that still
// change, 50 ms when none does.
int idleWaitMs(const std::vector<LiveLayer>& layers, double animationMs);
// Whether some sprite shows another frame at `nowMs` than at `drawnMs` (the animation clock of
// the frame last drawn): the loop then draws instead of sleeping again.
bool spriteFrameDue(const std::vector<LiveLayer>& layers, double drawnMs, double nowMs);

}  // namespace lumetta::player
