#include "content/slide_document.h"

#include <cmath>
#include <exception>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>

#include "content/layer_kinds.h"
#include "content/layer_options.h"
#include "content/scene_stand_in.h"

namespace lumetta {

namespace {

// Thrown inside the walk to end it with one message.
struct Fault {
    std::string message;
};

void checkNameMember(const Json::Value& document, const char* member, bool reserved(const std::string&)) {
    const std::string name = document[member].asString();
    if (!isSafeFileName(name) || (reserved && reserved(name))) {
        throw Fault{std::string(member) + " contains an unsafe path component"};
    }
}

bool slideMetadataValid(const Json::Value& slide) {
    if (!slide.isObject()) return false;
    const Json::Value& id = slide["id"];
    return id.isString() && !id.asString().empty() && readPositiveInt(slide["width"]) &&
           readPositiveInt(slide["height"]) && readOptionalInt(slide["duration"]) && slide["layers"].isArray();
}

bool layerDimensionsValid(const Json::Value& layer) {
    return layer.isObject() && layer["x"].isInt() && layer["y"].isInt() && readPositiveInt(layer["width"]) &&
           readPositiveInt(layer["height"]);
}

void checkLayer(const Json::Value& slide, const Json::Value& layer, const std::string& prefix) {
    if (!layerDimensionsValid(layer)) throw Fault{prefix + " has invalid dimensions"};

    try {
        const AnimationSpec animation = parseAnimation(layer["animation"]);
        if (!layer["sprite"].isNull()) parseSprite(layer["sprite"]);
        checkLayerAnimation(slide, layer, animation);
    } catch (const std::exception& error) {
        throw Fault{prefix + " has invalid animation: " + error.what()};
    }

    const LayerKindRow* kind = nullptr;
    const Json::Value* payload = nullptr;
    int count = 0;
    for (const LayerKindRow& row : layerKindRows()) {
        for (const char* member : {row.member, row.alias}) {
            if (member == nullptr || layer[member].isNull()) continue;
            if (!layer[member].isObject()) throw Fault{prefix + " has a non-object payload"};
            kind = &row;
            payload = &layer[member];
            ++count;
        }
    }
    if (count != 1) throw Fault{prefix + " must contain exactly one layer type"};
    if (const std::optional<std::string> fault = kind->check(*payload)) throw Fault{prefix + *fault};

    // The loader reads every payload's opacity as a number (a boolean reads as 0 or 1); one it
    // cannot read would fail the load only after the document was stored.
    const Json::Value& opacity = (*payload)["opacity"];
    if (opacity.isString() || opacity.isArray() || opacity.isObject()) throw Fault{prefix + " has invalid opacity"};
}

void checkSlide(const Json::Value& slide, const std::string& prefix) {
    if (!slideMetadataValid(slide)) throw Fault{prefix + " has invalid metadata"};
    if (!slide["transitionIn"].isNull() && !parseTransition(slide["transitionIn"])) {
        throw Fault{prefix + " has an invalid transitionIn"};
    }
    if (!slide["motionEffect"].isNull() && !parseMotionEffect(slide["motionEffect"])) {
        throw Fault{prefix + " has an invalid motionEffect"};
    }
    try {
        parseLayers(slide);
        loadSceneForSlide(slide);
    } catch (const std::exception& error) {
        throw Fault{prefix + ": " + error.what()};
    }
    const Json::Value& layers = slide["layers"];
    for (Json::ArrayIndex m = 0; m < layers.size(); ++m) {
        checkLayer(slide, layers[m], prefix + ", layer " + std::to_string(m));
    }
}

void checkTicker(const Json::Value& ticker) {
    if (ticker.isNull()) return;
    if (!ticker.isArray()) throw Fault{"ticker must be an array"};
    for (Json::ArrayIndex i = 0; i < ticker.size(); ++i) {
        if (!ticker[i].isObject() || !ticker[i]["message"].isString()) {
            throw Fault{"ticker message " + std::to_string(i) + " is invalid"};
        }
    }
}

}  // namespace

void checkLayerAnimation(const Json::Value& slide, const Json::Value& layer, const AnimationSpec& animation) {
    const bool hasKeyframes = !animation.keyframes.empty();
    const Json::Value& text = layer["text"];
    if (text.isNull()) {
        if (animation.preset == "typewriter") throw std::invalid_argument("Typewriter requires a text layer");
    } else if (text.isObject()) {
        // A text member that is no object is reported as a payload fault, not here.
        const TextStyle style = parseTextStyle(text["textStyle"]);
        const std::int64_t padding = style.padding;
        if (2 * padding >= layer["width"].asInt() || 2 * padding >= layer["height"].asInt()) {
            throw std::invalid_argument("Text padding leaves no content area");
        }
        const bool typing = style.typewriterSpeed > 0 || style.typewriterDelay > 0 || style.typewriterCursor;
        if (typing && (hasKeyframes || (animation.preset != "none" && animation.preset != "typewriter"))) {
            throw std::invalid_argument("Text typing controls require the typewriter animation");
        }
    }

    const bool exists = animation.preset != "none" || hasKeyframes;
    const bool endAnchored =
        exists && (animation.anchor == "end" || (animation.anchor == "auto" && isExitPreset(animation.preset)));
    if (!endAnchored) return;
    bool slideHasVideo = false;
    for (const Json::Value& other : slide["layers"]) {
        // Elements that are not objects are reported as their own layer's fault.
        if (other.isObject() && !other["video"].isNull()) slideHasVideo = true;
    }
    const char* const untimed = "End-anchored animation needs a timed non-video slide; use anchor start otherwise";
    if (slideHasVideo) throw std::invalid_argument(untimed);
    const double slideMilliseconds = slide["duration"].asDouble() * 1000;
    if (!(slideMilliseconds > 0)) throw std::invalid_argument(untimed);
    if (slideMilliseconds < animation.delay + animation.repeat * animation.duration) {
        throw std::invalid_argument("End-anchored animation exceeds slide duration");
    }
}

bool validatePlaylistContent(const Json::Value& document, std::string& message) {
    try {
        checkNameMember(document, "account", isReservedAccountName);
        checkNameMember(document, "branch", nullptr);
        checkNameMember(document, "playlist", nullptr);
        const Json::Value& slides = document["slides"];
        for (Json::ArrayIndex n = 0; n < slides.size(); ++n) checkSlide(slides[n], "slide " + std::to_string(n));
        checkTicker(document["ticker"]);
    } catch (const Fault& fault) {
        message = fault.message;
        return false;
    }
    return true;
}

}  // namespace lumetta
