#pragma once
// The in-memory form of a playlist that the player loop plays: the playlist's content, its
// slides, each slide's layers in drawing order, and each layer's kind-specific content.
//
// Plain values: they own their strings and vectors, are copied and moved as a whole, and are
// never changed once the playlist is built. Default-constructed records hold the defaults of a
// layer or slide that says nothing, and the loader fills them field by field. Everything is read
// once, into its type: numbers as numbers (an opacity is a float from the document to the
// element), closed sets of words as enumerations. Nothing here draws.

#include <SDL3/SDL_pixels.h>
#include <json/value.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "content/slide_effects.h"
#include "objects/image_fit.h"
#include "objects/shape_style.h"
#include "objects/text_style.h"
#include "scene/animation_spec.h"
#include "scene/layer_spec.h"
#include "scene/sprite_spec.h"

namespace lumetta {

inline constexpr SDL_Color OPAQUE_BLACK{0, 0, 0, 255};

struct RectangleLayer {
    RectangleStyle options;
    float opacity = 1.0f;
    SDL_Color color = OPAQUE_BLACK;
};

struct EllipseLayer {
    EllipseStyle options;
    float opacity = 1.0f;
    SDL_Color color = OPAQUE_BLACK;
};

struct TriangleLayer {
    TriangleType type = TriangleType::Isosceles;
    TriangleDirection direction = TriangleDirection::Up;  // where the tip points
    float opacity = 1.0f;
    SDL_Color color = OPAQUE_BLACK;
    SDL_Color borderColor = OPAQUE_BLACK;
    float borderWidth = 0.0f;
    double rotation = 0.0;  // degrees
    float tipPosition = 0.5f;
};

struct StarLayer {
    float opacity = 1.0f;
    SDL_Color color = OPAQUE_BLACK;
    std::int32_t points = 5;
    float pointHeight = 0.5f;
    std::vector<float> pointLengths;  // one per point, or empty
};

// The numbers are those the Text element takes.
enum class TextAlignment : std::int32_t { Left = 0, Right = 1, Centre = 2 };

struct TextLayer {
    TextStyle style;
    TextAlignment alignment = TextAlignment::Left;
    std::string fontFamily = "Liberation Sans";
    bool bold = false;
    std::int32_t fontSize = 0;  // at least 1 once filled
    bool italic = false;
    bool underline = false;
    float opacity = 1.0f;
    SDL_Color backgroundColor = OPAQUE_BLACK;
    SDL_Color color = OPAQUE_BLACK;
    std::string content;
};

// An image or video layer: the medium lies in the playlist's directory under `file`.
struct MediaLayer {
    float opacity = 1.0f;
    SDL_Color backgroundColor = OPAQUE_BLACK;
    ImageFit fit = ImageFit::Stretch;  // how the medium fills its box (the document's "size")
    std::string file;
    std::string digest;  // lower-case hexadecimal SHA-1 or SHA-256 of the file
};

struct ImageLayer : MediaLayer {};
struct VideoLayer : MediaLayer {};

// What a layer shows. The index is part of the model: it is the layer's kind, by which the
// layer-kind tables (content/layer_kinds.h, player/live_layer.h) find what reads, fetches,
// builds and draws it; index 0 (LayerKind::Empty) is a layer with no content. A new kind is one
// alternative here, one enumerator below, one row in each table and the player's live object
// for it (LiveObject).
using LayerContent = std::variant<std::monostate, RectangleLayer, EllipseLayer, TriangleLayer, StarLayer, TextLayer,
                                  ImageLayer, VideoLayer, ticker::SpriteSpec>;

enum class LayerKind : std::size_t {
    Empty = 0,
    Rectangle = 1,
    Ellipse = 2,
    Triangle = 3,
    Star = 4,
    Text = 5,
    Image = 6,
    Video = 7,
    Sprite = 8,
};

static_assert(std::is_same_v<std::variant_alternative_t<1, LayerContent>, RectangleLayer>);
static_assert(std::is_same_v<std::variant_alternative_t<5, LayerContent>, TextLayer>);
static_assert(std::is_same_v<std::variant_alternative_t<6, LayerContent>, ImageLayer>);
static_assert(std::is_same_v<std::variant_alternative_t<8, LayerContent>, ticker::SpriteSpec>);
static_assert(std::variant_size_v<LayerContent> == 9);

inline constexpr std::size_t layerKindCount = std::variant_size_v<LayerContent>;
static_assert(static_cast<std::size_t>(LayerKind::Sprite) + 1 == layerKindCount);

inline LayerKind layerKind(const LayerContent& content) { return static_cast<LayerKind>(content.index()); }

struct SlideLayer {
    AnimationSpec animation;
    std::string id;
    LayerSpec geometry;  // canvas, canvas motion, stencil, clip, scroll and wrap, viewport
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t width = 0;   // at least 1 once filled
    std::int32_t height = 0;  // at least 1 once filled
    LayerContent content;
};

struct Slide {
    Json::Value sceneSource;  // the whole slide object when it holds a scene, else null
    std::string id;
    std::int32_t width = 0;     // at least 1 once filled
    std::int32_t height = 0;    // at least 1 once filled
    std::int32_t duration = 0;  // seconds
    Transition transitionIn = Transition::Random;
    MotionEffect motionEffect = MotionEffect::None;
    std::vector<SlideLayer> layers;
};

struct PlaylistContent {
    std::string account;
    std::string branch;
    std::string name;  // "0 Empty Playlist" marks the empty playlist
    std::vector<Slide> slides;
    std::vector<std::string> tickerMessages;  // joined into one ticker line by the player
};

}  // namespace lumetta
