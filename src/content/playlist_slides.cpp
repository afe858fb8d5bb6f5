#include "content/playlist_slides.h"

#include <array>
#include <stdexcept>
#include <string_view>

#include "content/layer_options.h"
#include "content/scene_stand_in.h"
#include "content/slide_document.h"
#include "core/percent_encoding.h"

namespace lumetta {
namespace {

void queueMedium(const MediaDestination& destination, std::string_view kind, const std::string& file,
                 const std::string& digest, std::int32_t width, std::int32_t height) {
    DownloadTask task;
    // The name is a bare file name, but "#", "?", "%" or a space in it would change the request.
    task.url = destination.serviceOrigin + "/" + std::string(kind) + "/" + encodePathSegment(file);
    task.targetPath = destination.directory + "/" + file;
    task.targetWidth = width;
    task.targetHeight = height;
    task.sha1 = digest;
    task.groupId = destination.groupId;
    if (!destination.queue->push(task)) throw std::runtime_error("Download queue is stopping");
}

// Scene resources, sprites and stencils name their files through the scene engine's readers;
// only bare names are fetched into the playlist directory.
void queueSceneMedium(const MediaDestination& destination, const std::string& file, const std::string& digest,
                      std::int32_t width, std::int32_t height) {
    if (isSafeFileName(file)) queueMedium(destination, "images", file, digest, width, height);
}

std::string textOr(const Json::Value& object, const char* key, const std::string& fallback) {
    const Json::Value& value = object[key];
    return value.isString() ? value.asString() : fallback;
}

SDL_Color colorOf(const Json::Value& object, const char* key, const std::string& fallback = "") {
    return hexToColor(textOr(object, key, fallback));
}

float opacityOf(const Json::Value& object) { return object.get("opacity", 1.0).asFloat(); }

// A JSON boolean, or the text "true" exactly.
bool flagOf(const Json::Value& object, const char* key) {
    const Json::Value& value = object[key];
    return value.isBool() ? value.asBool() : (value.isString() && value.asString() == "true");
}

// The first of `keys` that the layer holds and that is not null.
const Json::Value* member(const Json::Value& layer, std::initializer_list<const char*> keys) {
    for (const char* key : keys) {
        const Json::Value& value = layer[key];
        if (!value.isNull()) return &value;
    }
    return nullptr;
}

RectangleLayer readRectangle(const Json::Value& options) {
    RectangleLayer layer;
    layer.options = parseRectangle(options);
    layer.opacity = opacityOf(options);
    layer.color = colorOf(options, "color");
    layer.options.borderColor = colorOf(options, "borderColor", "#000000");
    layer.options.gradientColor = colorOf(options, "gradientColor", "#FFFFFF");
    layer.options.shadowColor = colorOf(options, "shadowColor", "#000000");
    return layer;
}

EllipseLayer readEllipse(const Json::Value& options) {
    EllipseLayer layer;
    layer.options = parseEllipse(options);
    layer.opacity = opacityOf(options);
    layer.color = colorOf(options, "color");
    layer.options.borderColor = colorOf(options, "borderColor", "#000000");
    layer.options.gradientColor = colorOf(options, "gradientColor", "#FFFFFF");
    return layer;
}

TriangleLayer readTriangle(const Json::Value& options) {
    TriangleLayer layer;
    layer.opacity = opacityOf(options);
    layer.color = colorOf(options, "color");
    layer.direction = textOr(options, "direction", "up");
    layer.type = textOr(options, "type", "isosceles");
    layer.borderColor = colorOf(options, "borderColor", "#000000");
    layer.borderWidth = options.get("borderWidth", 0.0).asFloat();
    layer.rotation = options.get("rotation", 0.0).asDouble();
    layer.tipPosition = options.get("tipPosition", 0.5).asFloat();
    return layer;
}

StarLayer readStar(const Json::Value& options) {
    StarLayer layer;
    layer.opacity = opacityOf(options);
    layer.color = colorOf(options, "color");
    layer.points = options.get("points", 5).asInt();
    layer.pointHeight = options.get("pointHeight", 0.5).asFloat();
    for (const Json::Value& length : options["pointLengths"]) layer.pointLengths.push_back(length.asFloat());
    return layer;
}

TextLayer readText(const Json::Value& options) {
    TextLayer layer;
    const std::string alignment = textOr(options, "alignment", "");
    layer.alignment = alignment == "Centre"  ? TextAlignment::Centre
                      : alignment == "Right" ? TextAlignment::Right
                                             : TextAlignment::Left;
    layer.fontFamily = textFontFamily(options["font"]);
    layer.fontSize = readPositiveInt(options["font-size"]).value();
    layer.bold = flagOf(options, "bold");
    layer.italic = flagOf(options, "italic");
    layer.underline = flagOf(options, "underline");
    layer.opacity = opacityOf(options);
    layer.backgroundColor = colorOf(options, "background-color");
    layer.color = colorOf(options, "color");
    layer.content = options["content"].asString();
    layer.style = parseTextStyle(options["textStyle"]);
    return layer;
}

template <typename Media>
Media readMedia(const Json::Value& options) {
    Media layer;
    layer.opacity = opacityOf(options);
    layer.backgroundColor = colorOf(options, "background-color");
    layer.size = textOr(options, "size", "");
    layer.digest = readSha1(options);
    layer.file = options["file"].asString();
    return layer;
}

SlideLayer readLayer(const Json::Value& layer, const Slide& slide, const MediaDestination& destination) {
    SlideLayer result;
    result.id = layer.isMember("id") ? layer["id"].asString() : std::string();
    result.geometry = parseLayer(layer, slide.width, slide.height);
    result.animation = parseAnimation(layer["animation"]);
    result.x = layer["x"].asInt();
    result.y = layer["y"].asInt();
    result.width = readPositiveInt(layer["width"]).value();
    result.height = readPositiveInt(layer["height"]).value();

    if (const Json::Value* options = member(layer, {"rectangle", "square"})) {
        result.content = readRectangle(*options);
    } else if (const Json::Value* options = member(layer, {"ellipse", "circle"})) {
        result.content = readEllipse(*options);
    } else if (const Json::Value* options = member(layer, {"triangle"})) {
        result.content = readTriangle(*options);
    } else if (const Json::Value* options = member(layer, {"star"})) {
        result.content = readStar(*options);
    } else if (const Json::Value* options = member(layer, {"text"})) {
        result.content = readText(*options);
    } else if (const Json::Value* options = member(layer, {"sprite"})) {
        ticker::SpriteSpec sprite = parseSprite(*options);
        queueSceneMedium(destination, sprite.file, sprite.sha256, unreducedMediaSide, unreducedMediaSide);
        result.content = std::move(sprite);
    } else if (const Json::Value* options = member(layer, {"image"})) {
        ImageLayer image = readMedia<ImageLayer>(*options);
        queueMedium(destination, "images", image.file, image.digest, result.width, result.height);
        result.content = std::move(image);
    } else if (const Json::Value* options = member(layer, {"video"})) {
        VideoLayer video = readMedia<VideoLayer>(*options);
        queueMedium(destination, "videos", video.file, video.digest, result.width, result.height);
        result.content = std::move(video);
    }
    return result;
}

// The files the slide's scene and its layers' stencils need, before any layer's own medium.
void queueSceneMedia(const Json::Value& slide, const Slide& model, const MediaDestination& destination) {
    const Json::Value& scene = slide["scene"];
    if (scene.isObject()) {
        for (const Json::Value& resource : scene["resources"]) {
            const ticker::SpriteSpec sprite = parseSprite(resource);
            queueSceneMedium(destination, sprite.file, sprite.sha256, unreducedMediaSide, unreducedMediaSide);
        }
        for (const Json::Value& item : scene["items"]) {
            const Json::Value& sprite = item["layer"]["sprite"];
            if (sprite.isNull()) continue;
            const ticker::SpriteSpec spec = parseSprite(sprite);
            queueSceneMedium(destination, spec.file, spec.sha256, unreducedMediaSide, unreducedMediaSide);
        }
    }
    for (const Json::Value& layer : slide["layers"]) {
        const LayerSpec geometry = parseLayer(layer, model.width, model.height);
        if (geometry.stencil && geometry.stencil->type == "image") {
            queueSceneMedium(destination, geometry.stencil->file, geometry.stencil->sha256, geometry.stencil->width,
                             geometry.stencil->height);
        }
    }
}

}  // namespace

std::vector<Slide> readSlides(const Json::Value& slides, const MediaDestination& destination) {
    std::vector<Slide> result(slides.size());
    for (Json::ArrayIndex i = 0; i < slides.size(); ++i) {
        const Json::Value& slide = slides[i];
        Slide& model = result[i];
        model.id = slide["id"].asString();
        model.width = readPositiveInt(slide["width"]).value();
        model.height = readPositiveInt(slide["height"]).value();
        model.duration = readOptionalInt(slide["duration"]).value();
        if (!slide["transitionIn"].isNull()) model.transitionIn = parseTransition(slide["transitionIn"]).value_or("random");
        if (!slide["motionEffect"].isNull()) model.motionEffect = parseMotionEffect(slide["motionEffect"]).value_or("none");
        if (!slide["scene"].isNull()) model.sceneSource = slide;

        queueSceneMedia(slide, model, destination);
        const Json::Value& layers = slide["layers"];
        model.layers.reserve(layers.size());
        for (const Json::Value& layer : layers) model.layers.push_back(readLayer(layer, model, destination));
    }
    return result;
}

}  // namespace lumetta
