#include "content/playlist_slides.h"

#include <array>
#include <stdexcept>
#include <string_view>

#include "content/layer_kinds.h"
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

SlideLayer readLayer(const Json::Value& layer, const Slide& slide, const MediaDestination& destination) {
    SlideLayer result;
    result.id = layer.isMember("id") ? layer["id"].asString() : std::string();
    result.geometry = parseLayer(layer, slide.width, slide.height);
    result.animation = parseAnimation(layer["animation"]);
    result.x = layer["x"].asInt();
    result.y = layer["y"].asInt();
    result.width = readPositiveInt(layer["width"]).value();
    result.height = readPositiveInt(layer["height"]).value();

    // The check let exactly one kind's member through.
    for (const LayerKindRow& row : layerKindRows()) {
        for (const char* member : {row.member, row.alias}) {
            if (member == nullptr || layer[member].isNull()) continue;
            result.content = row.read(layer[member]);
            for (const LayerMedium& medium : row.media(result.content)) {
                if (medium.sizedToLayer) {
                    queueMedium(destination, medium.folder, medium.file, medium.digest, result.width, result.height);
                } else if (isSafeFileName(medium.file)) {
                    queueMedium(destination, medium.folder, medium.file, medium.digest, unreducedMediaSide,
                                unreducedMediaSide);
                }
            }
            return result;
        }
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
        if (!slide["transitionIn"].isNull()) {
            model.transitionIn = parseTransition(slide["transitionIn"]).value_or(Transition::Random);
        }
        if (!slide["motionEffect"].isNull()) {
            model.motionEffect = parseMotionEffect(slide["motionEffect"]).value_or(MotionEffect::None);
        }
        if (!slide["scene"].isNull()) model.sceneSource = slide;

        queueSceneMedia(slide, model, destination);
        const Json::Value& layers = slide["layers"];
        model.layers.reserve(layers.size());
        for (const Json::Value& layer : layers) model.layers.push_back(readLayer(layer, model, destination));
    }
    return result;
}

}  // namespace lumetta
