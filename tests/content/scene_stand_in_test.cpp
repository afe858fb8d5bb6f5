#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "content/json_text.h"
#include "content/scene_stand_in.h"

namespace lumetta {
namespace {

using testing::json;

template <typename Call>
std::string refusal(Call call) {
    try {
        call();
    } catch (const std::invalid_argument& error) {
        return error.what();
    }
    return "";
}

const std::string tail = "\" needs the scene engine, not available in this player";

TEST(SceneStandIn, LayerWithoutGeometryGetsTheSlideCanvasAndNoMovement) {
    const LayerSpec spec = parseLayer(json(R"({"x": 0, "image": {}, "canvas": null, "id": "a"})"), 1920, 1080);
    EXPECT_EQ(spec.canvasWidth, 1920);
    EXPECT_EQ(spec.canvasHeight, 1080);
    EXPECT_EQ(spec.scrollX, 0);
    EXPECT_FALSE(spec.wrapX || spec.wrapY || spec.viewport);
    EXPECT_FALSE(spec.clip.has_value());
    EXPECT_FALSE(spec.stencil.has_value());
    EXPECT_EQ(spec.motion.preset, "none");
    EXPECT_TRUE(spec.motion.keyframes.empty());

    for (const char* member : {"canvas", "motion", "stencil", "clip", "scroll", "wrapX", "wrapY"}) {
        Json::Value layer(Json::objectValue);
        layer[member] = 0;
        EXPECT_EQ(refusal([&] { parseLayer(layer, 1, 1); }), std::string("member \"") + member + tail);
    }
}

TEST(SceneStandIn, AnimationsSpritesScenesAndSlideshows) {
    const AnimationSpec none = parseAnimation(Json::Value());
    EXPECT_EQ(none.preset, "none");
    EXPECT_EQ(none.anchor, "auto");
    EXPECT_EQ(none.repeat, 1);
    EXPECT_EQ(refusal([] { parseAnimation(json(R"({"preset": "fade-in"})")); }), "member \"animation" + tail);
    EXPECT_EQ(refusal([] { parseAnimation(json("{}")); }), "member \"animation" + tail);
    EXPECT_EQ(refusal([] { parseSprite(json(R"({"file": "a.png"})")); }), "member \"sprite" + tail);

    EXPECT_EQ(refusal([] { loadSceneForSlide(json(R"({"scene": {"kind": "items"}})")); }), "member \"scene" + tail);
    EXPECT_EQ(refusal([] { loadSceneForSlide(json(R"({"scene": null, "layers": []})")); }), "");

    // Nothing is expanded: the slide comes back as it was, and its layers are then refused.
    const Json::Value slide = json(R"({"id": "s", "slideshow": {"images": []}, "layers": []})");
    EXPECT_EQ(parseSlideshow(slide), slide);
    EXPECT_EQ(refusal([&] { parseLayers(parseSlideshow(slide)); }), "member \"slideshow" + tail);
}

TEST(SceneStandIn, LayerListNamesTheLayer) {
    EXPECT_EQ(refusal([] { parseLayers(json(R"({"layers": [{}, 5, {"id": "b", "stencil": {}}]})")); }),
              "layer 2 member \"stencil" + tail);
    EXPECT_EQ(refusal([] { parseLayers(json(R"({"layers": [{"id": "a"}, {"id": ""}]})")); }),
              "Layer ID must be a nonempty string");
    EXPECT_EQ(refusal([] { parseLayers(json(R"({"layers": [{"id": "a"}, {"id": "a"}, "x", null]})")); }), "");
    EXPECT_EQ(refusal([] { parseLayers(json(R"({"layers": "none"})")); }), "");
}

}  // namespace
}  // namespace lumetta
