#include "content/scene_stand_in.h"

#include <stdexcept>
#include <string>

namespace lumetta {

namespace {

const char* const layerMembers[] = {"sprite", "animation", "canvas", "motion", "stencil",
                                    "clip",   "scroll",    "wrapX",  "wrapY"};
const char* const geometryMembers[] = {"canvas", "motion", "stencil", "clip", "scroll", "wrapX", "wrapY"};

[[noreturn]] void refuse(const std::string& where, const char* member) {
    throw std::invalid_argument(where + "member \"" + member + "\" needs the scene engine, not available in this player");
}

bool holds(const Json::Value& object, const char* member) {
    return object.isObject() && !object[member].isNull();
}

}  // namespace

void parseLayers(const Json::Value& slide) {
    if (holds(slide, "slideshow")) refuse("", "slideshow");
    if (!slide.isObject()) return;
    const Json::Value& layers = slide["layers"];
    if (!layers.isArray()) return;
    for (Json::ArrayIndex m = 0; m < layers.size(); ++m) {
        const Json::Value& layer = layers[m];
        if (!layer.isObject()) continue;
        for (const char* member : layerMembers) {
            if (holds(layer, member)) refuse("layer " + std::to_string(m) + " ", member);
        }
        if (layer.isMember("id") && (!layer["id"].isString() || layer["id"].asString().empty())) {
            throw std::invalid_argument("Layer ID must be a nonempty string");
        }
    }
}

void loadSceneForSlide(const Json::Value& slide) {
    if (holds(slide, "scene")) refuse("", "scene");
}

Json::Value parseSlideshow(const Json::Value& slide) { return slide; }

AnimationSpec parseAnimation(const Json::Value& value) {
    if (!value.isNull()) refuse("", "animation");
    return AnimationSpec{};
}

ticker::SpriteSpec parseSprite(const Json::Value&) { refuse("", "sprite"); }

LayerSpec parseLayer(const Json::Value& layer, int slideWidth, int slideHeight) {
    for (const char* member : geometryMembers) {
        if (holds(layer, member)) refuse("", member);
    }
    LayerSpec spec;
    spec.canvasWidth = slideWidth;
    spec.canvasHeight = slideHeight;
    return spec;
}

}  // namespace lumetta
