#include "content/layer_kinds.h"

#include <array>
#include <cmath>
#include <exception>
#include <initializer_list>
#include <utility>

#include "content/layer_options.h"
#include "content/scene_stand_in.h"
#include "content/slide_document.h"

namespace lumetta {

namespace {

// ---------------------------------------------------------------------------------------------
// Reading members

std::string textOr(const Json::Value& object, const char* key, const std::string& fallback) {
    const Json::Value& value = object[key];
    return value.isString() ? value.asString() : fallback;
}

SDL_Color colorOf(const Json::Value& object, const char* key, const std::string& fallback = "") {
    return hexToColor(textOr(object, key, fallback));
}

// A boolean reads as 0 or 1; the check refuses the kinds that do not read.
float opacityOf(const Json::Value& object) { return object.get("opacity", 1.0).asFloat(); }

// A JSON boolean, or the text "true" exactly.
bool flagOf(const Json::Value& object, const char* key) {
    const Json::Value& value = object[key];
    return value.isBool() ? value.asBool() : (value.isString() && value.asString() == "true");
}

bool oneOf(const Json::Value& value, std::initializer_list<const char*> words) {
    if (!value.isString()) return false;
    const std::string text = value.asString();
    for (const char* word : words) {
        if (text == word) return true;
    }
    return false;
}

bool finiteNumber(const Json::Value& value) { return value.isNumeric() && std::isfinite(value.asDouble()); }

std::vector<LayerMedium> noMedia(const LayerContent&) { return {}; }

// ---------------------------------------------------------------------------------------------
// Rectangle ("rectangle", "square") and ellipse ("ellipse", "circle")

template <typename Style, Style (*parse)(const Json::Value&)>
std::optional<std::string> checkShapeOptions(const Json::Value& payload, const char* shape) {
    try {
        parse(payload);
    } catch (const std::exception& error) {
        return std::string(" has invalid ") + shape + " options: " + error.what();
    }
    return std::nullopt;
}

std::optional<std::string> checkRectangle(const Json::Value& payload) {
    return checkShapeOptions<RectangleStyle, parseRectangle>(payload, "rectangle");
}

// The options and the colours the two shapes share.
template <typename Layer, typename Style>
Layer readShape(const Json::Value& options, Style (*parse)(const Json::Value&)) {
    Layer layer;
    layer.options = parse(options);
    layer.opacity = opacityOf(options);
    layer.color = colorOf(options, "color");
    layer.options.borderColor = colorOf(options, "borderColor", "#000000");
    layer.options.gradientColor = colorOf(options, "gradientColor", "#FFFFFF");
    return layer;
}

LayerContent readRectangle(const Json::Value& options) {
    RectangleLayer layer = readShape<RectangleLayer>(options, parseRectangle);
    layer.options.shadowColor = colorOf(options, "shadowColor", "#000000");
    return layer;
}

std::optional<std::string> checkEllipse(const Json::Value& payload) {
    return checkShapeOptions<EllipseStyle, parseEllipse>(payload, "ellipse");
}

LayerContent readEllipse(const Json::Value& options) { return readShape<EllipseLayer>(options, parseEllipse); }

// ---------------------------------------------------------------------------------------------
// Triangle

std::optional<std::string> checkTriangle(const Json::Value& triangle) {
    const Json::Value borderWidth = triangle.get("borderWidth", 0);
    const Json::Value tipPosition = triangle.get("tipPosition", 0.5);
    const bool valid =
        oneOf(triangle.get("type", "isosceles"), {"isosceles", "equilateral", "right-angled"}) &&
        oneOf(triangle.get("direction", "up"), {"up", "down", "left", "right"}) && finiteNumber(borderWidth) &&
        borderWidth.asDouble() >= 0 && finiteNumber(triangle.get("rotation", 0)) && tipPosition.isNumeric() &&
        tipPosition.asDouble() >= 0 && tipPosition.asDouble() <= 1 &&
        (!triangle.isMember("borderColor") || triangle["borderColor"].isString());
    if (!valid) return " has invalid triangle options";
    return std::nullopt;
}

LayerContent readTriangle(const Json::Value& options) {
    TriangleLayer layer;
    layer.opacity = opacityOf(options);
    layer.color = colorOf(options, "color");
    layer.direction = triangleDirectionByName(textOr(options, "direction", "up")).value_or(TriangleDirection::Up);
    layer.type = triangleTypeByName(textOr(options, "type", "isosceles")).value_or(TriangleType::Isosceles);
    layer.borderColor = colorOf(options, "borderColor", "#000000");
    layer.borderWidth = options.get("borderWidth", 0.0).asFloat();
    layer.rotation = options.get("rotation", 0.0).asDouble();
    layer.tipPosition = options.get("tipPosition", 0.5).asFloat();
    return layer;
}

// ---------------------------------------------------------------------------------------------
// Star

std::optional<std::string> checkStar(const Json::Value& star) {
    const Json::Value points = star.get("points", 5);
    const Json::Value pointHeight = star.get("pointHeight", 0.5);
    if (!points.isInt() || points.asInt() < 3 || points.asInt() > 128 || !pointHeight.isNumeric() ||
        !(pointHeight.asDouble() > 0 && pointHeight.asDouble() < 1)) {
        return " has invalid star points or pointHeight";
    }
    if (!star.isMember("pointLengths")) return std::nullopt;
    const Json::Value& lengths = star["pointLengths"];
    if (!lengths.isArray() || lengths.size() != static_cast<Json::ArrayIndex>(points.asInt())) {
        return " must have one star pointLengths value per point";
    }
    for (const Json::Value& length : lengths) {
        if (!length.isNumeric() || !(length.asDouble() > 0 && length.asDouble() <= 1)) {
            return " has invalid star pointLengths (expected values in (0, 1])";
        }
    }
    return std::nullopt;
}

LayerContent readStar(const Json::Value& options) {
    StarLayer layer;
    layer.opacity = opacityOf(options);
    layer.color = colorOf(options, "color");
    layer.points = options.get("points", 5).asInt();
    layer.pointHeight = options.get("pointHeight", 0.5).asFloat();
    for (const Json::Value& length : options["pointLengths"]) layer.pointLengths.push_back(length.asFloat());
    return layer;
}

// ---------------------------------------------------------------------------------------------
// Text

std::optional<std::string> checkText(const Json::Value& payload) {
    if (!payload["content"].isString() || !readPositiveInt(payload["font-size"])) return " has invalid text content";
    return std::nullopt;
}

LayerContent readText(const Json::Value& options) {
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

// ---------------------------------------------------------------------------------------------
// Image, video and sprite: a medium in the playlist's directory

std::optional<std::string> checkMedium(const Json::Value& media) {
    const Json::Value& file = media["file"];
    if (file.isString()) {
        const std::string name = file.asString();
        if (isSafeFileName(name) && !isReservedMediaName(name) && !readSha1(media).empty()) return std::nullopt;
    }
    return " has invalid media metadata";
}

template <typename Media>
LayerContent readMedia(const Json::Value& options) {
    Media layer;
    layer.opacity = opacityOf(options);
    layer.backgroundColor = colorOf(options, "background-color");
    layer.fit = imageFitOf(textOr(options, "size", ""));
    layer.digest = readSha1(options);
    layer.file = options["file"].asString();
    return layer;
}

LayerContent readImage(const Json::Value& options) { return readMedia<ImageLayer>(options); }
LayerContent readVideo(const Json::Value& options) { return readMedia<VideoLayer>(options); }

std::vector<LayerMedium> imageMedia(const LayerContent& content) {
    const auto& image = std::get<ImageLayer>(content);
    return {{"images", image.file, image.digest, true}};
}

std::vector<LayerMedium> videoMedia(const LayerContent& content) {
    const auto& video = std::get<VideoLayer>(content);
    return {{"videos", video.file, video.digest, true}};
}

LayerContent readSprite(const Json::Value& options) { return parseSprite(options); }

std::vector<LayerMedium> spriteMedia(const LayerContent& content) {
    const auto& sprite = std::get<ticker::SpriteSpec>(content);
    return {{"images", sprite.file, sprite.sha256, false}};
}

// ---------------------------------------------------------------------------------------------

constexpr std::array<LayerKindRow, layerKindCount> rows{{
    {LayerKind::Empty, nullptr, nullptr, nullptr, nullptr, noMedia},
    {LayerKind::Rectangle, "rectangle", "square", checkRectangle, readRectangle, noMedia},
    {LayerKind::Ellipse, "ellipse", "circle", checkEllipse, readEllipse, noMedia},
    {LayerKind::Triangle, "triangle", nullptr, checkTriangle, readTriangle, noMedia},
    {LayerKind::Star, "star", nullptr, checkStar, readStar, noMedia},
    {LayerKind::Text, "text", nullptr, checkText, readText, noMedia},
    {LayerKind::Image, "image", nullptr, checkMedium, readImage, imageMedia},
    {LayerKind::Video, "video", nullptr, checkMedium, readVideo, videoMedia},
    {LayerKind::Sprite, "sprite", nullptr, checkMedium, readSprite, spriteMedia},
}};

constexpr bool rowsComplete() {
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const LayerKindRow& row = rows[i];
        if (static_cast<std::size_t>(row.kind) != i || row.media == nullptr) return false;
        // Every kind but the empty one is named by a document member, checked and read.
        const bool named = row.member != nullptr && row.check != nullptr && row.read != nullptr;
        if (named != (row.kind != LayerKind::Empty)) return false;
    }
    return true;
}
static_assert(rowsComplete(), "one row per layer kind, in LayerKind order");

}  // namespace

std::span<const LayerKindRow> layerKindRows() { return rows; }

const LayerKindRow& layerKindRow(LayerKind kind) { return rows.at(static_cast<std::size_t>(kind)); }

std::vector<LayerMedium> layerMedia(const LayerContent& content) { return layerKindRow(layerKind(content)).media(content); }

}  // namespace lumetta
