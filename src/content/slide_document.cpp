#include "content/slide_document.h"

#include <cmath>
#include <exception>
#include <initializer_list>
#include <stdexcept>
#include <string>

#include "content/layer_options.h"
#include "content/scene_stand_in.h"

namespace lumetta {

namespace {

// The layer-type members in the order they are counted.
const char* const payloadMembers[] = {"rectangle", "square", "ellipse", "circle", "triangle",
                                      "star",      "text",   "image",   "video",  "sprite"};

// Thrown inside the walk to end it with one message.
struct Fault {
    std::string message;
};

bool oneOf(const Json::Value& value, std::initializer_list<const char*> words) {
    if (!value.isString()) return false;
    const std::string text = value.asString();
    for (const char* word : words) {
        if (text == word) return true;
    }
    return false;
}

bool finiteNumber(const Json::Value& value) { return value.isNumeric() && std::isfinite(value.asDouble()); }

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

bool triangleValid(const Json::Value& triangle) {
    const Json::Value borderWidth = triangle.get("borderWidth", 0);
    const Json::Value tipPosition = triangle.get("tipPosition", 0.5);
    return oneOf(triangle.get("type", "isosceles"), {"isosceles", "equilateral", "right-angled"}) &&
           oneOf(triangle.get("direction", "up"), {"up", "down", "left", "right"}) && finiteNumber(borderWidth) &&
           borderWidth.asDouble() >= 0 && finiteNumber(triangle.get("rotation", 0)) && tipPosition.isNumeric() &&
           tipPosition.asDouble() >= 0 && tipPosition.asDouble() <= 1 &&
           (!triangle.isMember("borderColor") || triangle["borderColor"].isString());
}

void checkStar(const Json::Value& star, const std::string& prefix) {
    const Json::Value points = star.get("points", 5);
    const Json::Value pointHeight = star.get("pointHeight", 0.5);
    if (!points.isInt() || points.asInt() < 3 || points.asInt() > 128 || !pointHeight.isNumeric() ||
        !(pointHeight.asDouble() > 0 && pointHeight.asDouble() < 1)) {
        throw Fault{prefix + " has invalid star points or pointHeight"};
    }
    if (!star.isMember("pointLengths")) return;
    const Json::Value& lengths = star["pointLengths"];
    if (!lengths.isArray() || lengths.size() != static_cast<Json::ArrayIndex>(points.asInt())) {
        throw Fault{prefix + " must have one star pointLengths value per point"};
    }
    for (const Json::Value& length : lengths) {
        if (!length.isNumeric() || !(length.asDouble() > 0 && length.asDouble() <= 1)) {
            throw Fault{prefix + " has invalid star pointLengths (expected values in (0, 1])"};
        }
    }
}

bool mediaValid(const Json::Value& media) {
    const Json::Value& file = media["file"];
    if (!file.isString()) return false;
    const std::string name = file.asString();
    return isSafeFileName(name) && !isReservedMediaName(name) && !readSha1(media).empty();
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

    const char* kind = nullptr;
    int count = 0;
    for (const char* member : payloadMembers) {
        const Json::Value& payload = layer[member];
        if (payload.isNull()) continue;
        if (!payload.isObject()) throw Fault{prefix + " has a non-object payload"};
        kind = member;
        ++count;
    }
    if (count != 1) throw Fault{prefix + " must contain exactly one layer type"};
    const std::string type = kind;
    const Json::Value& payload = layer[kind];

    if (type == "rectangle" || type == "square") {
        try {
            parseRectangle(payload);
        } catch (const std::exception& error) {
            throw Fault{prefix + " has invalid rectangle options: " + error.what()};
        }
    } else if (type == "ellipse" || type == "circle") {
        try {
            parseEllipse(payload);
        } catch (const std::exception& error) {
            throw Fault{prefix + " has invalid ellipse options: " + error.what()};
        }
    } else if (type == "triangle") {
        if (!triangleValid(payload)) throw Fault{prefix + " has invalid triangle options"};
    } else if (type == "star") {
        checkStar(payload, prefix);
    } else if (type == "text") {
        if (!payload["content"].isString() || !readPositiveInt(payload["font-size"])) {
            throw Fault{prefix + " has invalid text content"};
        }
    } else if (!mediaValid(payload)) {  // image, video, sprite
        throw Fault{prefix + " has invalid media metadata"};
    }

    // The loader reads every payload's opacity as a number (a boolean reads as 0 or 1); one it
    // cannot read would fail the load only after the document was stored.
    const Json::Value& opacity = payload["opacity"];
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
