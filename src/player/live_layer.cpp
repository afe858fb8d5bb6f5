#include "player/live_layer.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <filesystem>
#include <iostream>
#include <limits>
#include <numbers>
#include <type_traits>

#include "core/log.h"
#include "display/display.h"
#include "display/slide_mapping.h"
#include "objects/text_style.h"
#include "player/scene_services.h"

namespace lumetta::player {

namespace {

void logSceneLine(const std::string& message) { logLine(std::cerr, ansi::BOLD_RED, "[SCENE]", " " + message); }

SDL_Rect layerBox(const SlideLayer& layer) { return SDL_Rect{layer.x, layer.y, layer.width, layer.height}; }

bool hasTypewriterMotion(const TextLayer& text) {
    return text.style.typewriterSpeed > 0 || text.style.typewriterDelay > 0;
}

// Slide units a layer may draw beyond its box: a shape's shadow band, a text's outline and shadow.
double layerMargin(const SlideLayer& layer, const LiveLayer& live) {
    double margin = 0;
    if (const auto* rectangle = std::get_if<std::unique_ptr<Rectangle>>(&live.object); rectangle && *rectangle) {
        margin = (*rectangle)->marginPixels();
    }
    if (const auto* text = std::get_if<TextLayer>(&layer.content)) {
        if (const auto* element = std::get_if<std::unique_ptr<Text>>(&live.object); element && *element) {
            margin = (*element)->marginPixels();
        }
        const TextStyle& style = text->style;
        double extra = std::max(0, style.outlineWidth);
        if (style.shadow) {
            extra += std::max(std::abs(static_cast<double>(style.shadowOffsetX)),
                              std::abs(static_cast<double>(style.shadowOffsetY))) +
                     std::max(0, style.shadowBlur);
        }
        margin = std::max(margin, extra);
    }
    return margin;
}

double ownRotation(const SlideLayer& layer) {
    if (const auto* rectangle = std::get_if<RectangleLayer>(&layer.content)) return rectangle->options.rotation;
    if (const auto* triangle = std::get_if<TriangleLayer>(&layer.content)) return triangle->rotation;
    return 0;
}

int clampToInt(double value) {
    if (!(value > static_cast<double>(INT_MIN))) return INT_MIN;  // NaN too
    if (value >= static_cast<double>(INT_MAX)) return INT_MAX;
    return static_cast<int>(value);
}

// ---------------------------------------------------------------------------------------------
// The rows of the layer kinds

SDL_Renderer* rendererOf(const LayerBuildContext& context) {
    return context.display != nullptr ? context.display->renderer() : nullptr;
}

template <typename Element>
Element* objectOf(LiveLayer& live) {
    auto* held = std::get_if<std::unique_ptr<Element>>(&live.object);
    return held != nullptr ? held->get() : nullptr;
}

void buildNothing(const SlideLayer&, const LayerBuildContext&, LiveLayer&) {}
void drawNothing(LiveLayer&, bool) {}

template <typename Shape>
void drawShape(LiveLayer& live) {
    if (Shape* shape = objectOf<Shape>(live)) shape->draw(0, 0);
}
void drawRectangle(LiveLayer& live, bool) { drawShape<Rectangle>(live); }
void drawEllipse(LiveLayer& live, bool) { drawShape<Ellipse>(live); }
void drawTriangle(LiveLayer& live, bool) { drawShape<Triangle>(live); }
void drawStar(LiveLayer& live, bool) { drawShape<Star>(live); }

void buildRectangle(const SlideLayer& layer, const LayerBuildContext& context, LiveLayer& live) {
    const auto& rectangle = std::get<RectangleLayer>(layer.content);
    live.object = std::make_unique<Rectangle>(context.display, context.slideWidth, context.slideHeight,
                                              layerBox(layer), rectangle.color, rectangle.options, rectangle.opacity);
}

void buildEllipse(const SlideLayer& layer, const LayerBuildContext& context, LiveLayer& live) {
    const auto& ellipse = std::get<EllipseLayer>(layer.content);
    live.object = std::make_unique<Ellipse>(context.display, context.slideWidth, context.slideHeight, layerBox(layer),
                                            ellipse.color, ellipse.options, ellipse.opacity);
}

void buildTriangle(const SlideLayer& layer, const LayerBuildContext& context, LiveLayer& live) {
    const auto& triangle = std::get<TriangleLayer>(layer.content);
    live.object = std::make_unique<Triangle>(context.display, context.slideWidth, context.slideHeight,
                                             layerBox(layer), triangle.color, triangle.direction, triangle.type,
                                             triangle.borderColor, triangle.borderWidth, triangle.rotation,
                                             triangle.tipPosition, triangle.opacity);
}

void buildStar(const SlideLayer& layer, const LayerBuildContext& context, LiveLayer& live) {
    const auto& star = std::get<StarLayer>(layer.content);
    live.object = std::make_unique<Star>(context.display, context.slideWidth, context.slideHeight, layerBox(layer),
                                         star.color, star.points, star.pointHeight, star.pointLengths, star.opacity);
}

void buildText(const SlideLayer& layer, const LayerBuildContext& context, LiveLayer& live) {
    const auto& text = std::get<TextLayer>(layer.content);
    auto element = std::make_unique<Text>(context.display, context.slideWidth, context.slideHeight, layerBox(layer),
                                          text.content, text.fontSize, text.opacity, text.fontFamily,
                                          textStyleBits(text), text.color, text.backgroundColor,
                                          static_cast<int>(text.alignment), false, text.style, *context.clock);
    // A text that is not ready is left out of this showing rather than drawn half made. One that
    // lays out no line at all (no text, a box lower than the font, a font that cannot be opened)
    // has nothing to wait for: it shows its background and border.
    if (element->isPrepared() || element->lineRectangles().empty()) live.object = std::move(element);
}

void drawText(LiveLayer& live, bool) {
    if (Text* text = objectOf<Text>(live)) text->draw(0, 0, SDL_FLIP_NONE, 255, 1.0f);
}

std::string imagePictureFile(const LayerContent& content, const std::string& directory,
                             const std::string& resolutionClass) {
    return imageLayerPath(directory, resolutionClass, std::get<ImageLayer>(content).file);
}

void buildImage(const SlideLayer& layer, const LayerBuildContext& context, LiveLayer& live) {
    const auto& image = std::get<ImageLayer>(layer.content);
    const SDL_Rect box = layerBox(layer);
    auto element = std::make_unique<Image>(
        context.display, context.slideWidth, context.slideHeight, box.x, box.y, box.w, box.h,
        imagePictureFile(layer.content, context.playlistDirectory, context.resolutionClass), image.fit,
        image.opacity, image.backgroundColor, *context.clock);
    if (element->isLoaded()) live.object = std::move(element);
}

void drawImage(LiveLayer& live, bool firstLayer) {
    if (Image* image = objectOf<Image>(live)) image->draw(firstLayer && !live.animated);
}

void buildVideo(const SlideLayer& layer, const LayerBuildContext& context, LiveLayer& live) {
    const auto& video = std::get<VideoLayer>(layer.content);
    const SDL_Rect box = layerBox(layer);
    const SDL_Color& bg = video.backgroundColor;
    live.object = std::make_unique<Video>(context.display, context.slideWidth, context.slideHeight, box.x, box.y,
                                          box.w, box.h, context.playlistDirectory + "/" + video.file, video.opacity,
                                          bg.r, bg.g, bg.b, bg.a, context.videoSeams);
}

void drawVideo(LiveLayer& live, bool) {
    if (Video* video = objectOf<Video>(live)) video->render();
}

void buildSprite(const SlideLayer& layer, const LayerBuildContext& context, LiveLayer& live) {
    const auto& spec = std::get<ticker::SpriteSpec>(layer.content);
    try {
        auto sprite = std::make_unique<SpriteLayer>();
        sprite->spec = spec;
        sprite->frameCount = loadSpriteSheet(rendererOf(context), context.playlistDirectory, spec);
        live.object = std::move(sprite);
    } catch (const std::exception& error) {
        logSceneLine(std::string("Sprite layer left out: ") + error.what());
    }
}

// Sprites are drawn by the scene engine, which is not built in: nothing is ever loaded here.
void drawSprite(LiveLayer&, bool) {}

constexpr std::array<LiveLayerKindRow, layerKindCount> liveRows{{
    {LayerKind::Empty, buildNothing, drawNothing, nullptr},
    {LayerKind::Rectangle, buildRectangle, drawRectangle, nullptr},
    {LayerKind::Ellipse, buildEllipse, drawEllipse, nullptr},
    {LayerKind::Triangle, buildTriangle, drawTriangle, nullptr},
    {LayerKind::Star, buildStar, drawStar, nullptr},
    {LayerKind::Text, buildText, drawText, nullptr},
    {LayerKind::Image, buildImage, drawImage, imagePictureFile},
    {LayerKind::Video, buildVideo, drawVideo, nullptr},
    {LayerKind::Sprite, buildSprite, drawSprite, nullptr},
}};

constexpr bool liveRowsComplete() {
    for (std::size_t i = 0; i < liveRows.size(); ++i) {
        const LiveLayerKindRow& row = liveRows[i];
        if (static_cast<std::size_t>(row.kind) != i || row.build == nullptr || row.draw == nullptr) return false;
    }
    return true;
}
static_assert(liveRowsComplete(), "one row per layer kind, in LayerKind order");

}  // namespace

std::uint8_t textStyleBits(const TextLayer& text) {
    std::uint8_t bits = 0;
    if (text.bold) bits |= fontStyleBold;
    if (text.italic) bits |= fontStyleItalic;
    if (text.underline) bits |= fontStyleUnderline;
    return bits;
}

std::string imageLayerPath(const std::string& directory, const std::string& resolutionClass,
                           const std::string& file) {
    if (!resolutionClass.empty()) {
        const std::string sized = directory + resolutionClass + "/" + file;
        std::error_code error;
        if (std::filesystem::is_regular_file(sized, error)) return sized;
    }
    return directory + "/" + file;
}

const LiveLayerKindRow& liveLayerKindRow(LayerKind kind) { return liveRows.at(static_cast<std::size_t>(kind)); }

LiveLayer buildLiveLayer(const SlideLayer& layer, std::size_t layerIndex, const LayerBuildContext& context) {
    LiveLayer live;
    live.layerIndex = layerIndex;

    if (layer.geometry.stencil) {
        try {
            prepareStencil(rendererOf(context), context.playlistDirectory, *layer.geometry.stencil);
        } catch (const std::exception& error) {
            logSceneLine(std::string("Stencil layer left out: ") + error.what());
            return live;
        }
    }

    liveLayerKindRow(layerKind(layer.content)).build(layer, context, live);
    live.animated = live.kind() != LayerKind::Empty && isAnimatedLayer(layer);
    return live;
}

std::size_t buildLiveLayers(const Slide& slide, const LayerBuildContext& context, std::vector<LiveLayer>& layers) {
    std::size_t leftOut = 0;
    layers.reserve(layers.size() + slide.layers.size());
    for (std::size_t i = 0; i < slide.layers.size(); ++i) {
        try {
            LiveLayer live = buildLiveLayer(slide.layers[i], i, context);
            if (live.kind() != LayerKind::Empty) layers.push_back(std::move(live));
        } catch (const std::exception& error) {
            // One bad layer must not keep the rest of the slide off the screen.
            ++leftOut;
            logLine(std::cerr, ansi::BOLD_RED, "[PLAYLIST]", std::string(" Layer left out: ") + error.what());
            // A video that cannot be played stays as one that has ended without a picture, so a
            // slide that waits for its videos still ends.
            if (layerKind(slide.layers[i].content) == LayerKind::Video) {
                LiveLayer dead;
                dead.layerIndex = i;
                dead.object = std::unique_ptr<Video>();
                layers.push_back(std::move(dead));
            }
        }
    }
    return leftOut;
}

void drawLayer(LiveLayer& layer, bool firstLayer) { liveLayerKindRow(layer.kind()).draw(layer, firstLayer); }

SDL_Rect layerClipRect(int viewportWidth, int viewportHeight, int rotation, int slideWidth, int slideHeight,
                       const SDL_Rect& box, double margin, double ownRotationDegrees, const AnimationPose& pose) {
    const SlideMapping mapping(SDL_Rect{0, 0, viewportWidth, viewportHeight}, rotation, slideWidth, slideHeight);
    if (!mapping.usable()) return SDL_Rect{0, 0, 0, 0};
    const double left = static_cast<double>(box.x) - margin;
    const double top = static_cast<double>(box.y) - margin;
    const double right = static_cast<double>(box.x) + box.w + margin;
    const double bottom = static_cast<double>(box.y) + box.h + margin;
    const double cx = (left + right) / 2;
    const double cy = (top + bottom) / 2;
    const double own = ownRotationDegrees * std::numbers::pi / 180;
    const double turn = pose.rotation * std::numbers::pi / 180;
    const double sx = pose.scale * pose.scaleX;
    const double sy = pose.scale * pose.scaleY;

    double minX = std::numeric_limits<double>::infinity();
    double minY = minX;
    double maxX = -minX;
    double maxY = -minX;
    const std::array<std::array<double, 2>, 4> corners{{{left, top}, {right, top}, {right, bottom}, {left, bottom}}};
    for (const auto& corner : corners) {
        // The element's own turn, then the pose's size, turn and move, all about the box's centre.
        double x = corner[0] - cx;
        double y = corner[1] - cy;
        double ox = x * std::cos(own) - y * std::sin(own);
        double oy = x * std::sin(own) + y * std::cos(own);
        ox *= sx;
        oy *= sy;
        x = ox * std::cos(turn) - oy * std::sin(turn) + cx + pose.x;
        y = ox * std::sin(turn) + oy * std::cos(turn) + cy + pose.y;
        const OutputPoint p = mapping.point(x, y);
        minX = std::min(minX, p.x);
        minY = std::min(minY, p.y);
        maxX = std::max(maxX, p.x);
        maxY = std::max(maxY, p.y);
    }
    if (!(minX <= maxX) || !(minY <= maxY)) return SDL_Rect{0, 0, 0, 0};  // NaN somewhere
    // Only the output matters: cut to it before rounding, so far-off boxes stay in range. The
    // turns leave rounding dust (cos 90 degrees is not 0 in doubles), which must not cost a pixel.
    constexpr double dust = 1e-7;
    minX = std::clamp(std::floor(minX + dust), 0.0, static_cast<double>(viewportWidth));
    minY = std::clamp(std::floor(minY + dust), 0.0, static_cast<double>(viewportHeight));
    maxX = std::clamp(std::ceil(maxX - dust), 0.0, static_cast<double>(viewportWidth));
    maxY = std::clamp(std::ceil(maxY - dust), 0.0, static_cast<double>(viewportHeight));
    return SDL_Rect{clampToInt(minX), clampToInt(minY), clampToInt(maxX - minX), clampToInt(maxY - minY)};
}

void drawLayers(SDL_Renderer* renderer, const SlideLayer& layer, int slideWidth, int slideHeight,
                const AnimationPose& pose, int rotation, LiveLayer& live, bool firstLayer) {
    int outputWidth = 0;
    int outputHeight = 0;
    if (renderer == nullptr || !SDL_GetCurrentRenderOutputSize(renderer, &outputWidth, &outputHeight)) {
        drawLayer(live, firstLayer);
        return;
    }
    SDL_Rect clip = layerClipRect(outputWidth, outputHeight, rotation, slideWidth, slideHeight, layerBox(layer),
                                  layerMargin(layer, live), ownRotation(layer), pose);
    const bool clipped = SDL_RenderClipEnabled(renderer);
    SDL_Rect previous{0, 0, 0, 0};
    if (clipped) {
        SDL_GetRenderClipRect(renderer, &previous);
        SDL_Rect both{0, 0, 0, 0};
        if (!SDL_GetRectIntersection(&clip, &previous, &both)) both = SDL_Rect{0, 0, 0, 0};
        clip = both;
    }
    SDL_SetRenderClipRect(renderer, &clip);
    drawLayer(live, firstLayer);
    SDL_SetRenderClipRect(renderer, clipped ? &previous : nullptr);
}

LayerFrame drawSlideLayers(SDL_Renderer* renderer, const Slide& slide, std::vector<LiveLayer>& layers,
                           double animationMs, int rotation, const SceneRuntime* scene) {
    LayerFrame frame;
    bool anyVideo = false;
    bool allFinished = true;
    for (LiveLayer& live : layers) {
        if (live.layerIndex >= slide.layers.size()) continue;
        const SlideLayer& layer = slide.layers[live.layerIndex];
        if (scene != nullptr && scene->excludesLayer(layer.id)) continue;
        AnimationPose pose;
        if (live.animated && !live.animationDisabled) {
            try {
                pose = evaluateAnimation(layer.animation, animationMs);
            } catch (const std::exception& error) {
                live.animationDisabled = true;
                pose = AnimationPose{};
                logText(std::cerr, std::string("Layer animation disabled: ") + error.what());
            }
        }
        drawLayers(renderer, layer, slide.width, slide.height, pose, rotation, live, live.layerIndex == 0);
        if (const auto* video = std::get_if<std::unique_ptr<Video>>(&live.object)) {
            // A video that could not be built counts as finished, without a picture.
            anyVideo = true;
            allFinished = allFinished && (*video == nullptr || (*video)->isFinished());
            frame.allVideosHavePicture = frame.allVideosHavePicture && *video != nullptr && (*video)->hasDrawnFrame();
        }
    }
    frame.allVideosFinished = anyVideo && allFinished;
    return frame;
}

void destroyLayer(LiveLayer& layer) { layer.object = std::monostate{}; }

void destroyLayers(std::vector<LiveLayer>& layers) {
    for (LiveLayer& layer : layers) destroyLayer(layer);
    layers.clear();
}

bool hasAnimation(const AnimationSpec& spec) { return spec.preset != "none" || !spec.keyframes.empty(); }

bool isAnimatedLayer(const SlideLayer& layer) {
    if (hasAnimation(layer.animation)) return true;
    const auto* text = std::get_if<TextLayer>(&layer.content);
    return text != nullptr && hasTypewriterMotion(*text);
}

std::size_t spriteFrameAt(double timeMs, double fps, std::size_t frameCount, bool loop) {
    if (frameCount == 0 || !(fps > 0) || !std::isfinite(fps) || !(timeMs > 0) || !std::isfinite(timeMs)) return 0;
    const double frame = std::floor(timeMs * fps / 1000);
    if (loop) return static_cast<std::size_t>(std::fmod(frame, static_cast<double>(frameCount)));
    return frame >= static_cast<double>(frameCount - 1) ? frameCount - 1 : static_cast<std::size_t>(frame);
}

std::optional<int> spriteFrameWait(double timeMs, double fps, std::size_t frameCount, bool loop) {
    if (frameCount < 2 || !(fps > 0) || !std::isfinite(fps)) return std::nullopt;
    if (!std::isfinite(timeMs) || timeMs < 0) timeMs = 0;
    if (!loop && spriteFrameAt(timeMs, fps, frameCount, false) == frameCount - 1) return std::nullopt;
    const double period = 1000 / fps;
    const double wait = std::ceil(period - std::fmod(timeMs, period));
    return static_cast<int>(std::clamp(wait, 1.0, 50.0));
}

int idleWaitMs(const std::vector<LiveLayer>& layers, double animationMs) {
    int wait = 50;
    for (const LiveLayer& live : layers) {
        const auto* sprite = std::get_if<std::unique_ptr<SpriteLayer>>(&live.object);
        if (sprite == nullptr || !*sprite) continue;
        const ticker::SpriteSpec& spec = (*sprite)->spec;
        if (const std::optional<int> due = spriteFrameWait(animationMs, spec.fps, (*sprite)->frameCount, spec.loop)) {
            wait = std::min(wait, *due);
        }
    }
    return wait;
}

bool spriteFrameDue(const std::vector<LiveLayer>& layers, double drawnMs, double nowMs) {
    for (const LiveLayer& live : layers) {
        const auto* sprite = std::get_if<std::unique_ptr<SpriteLayer>>(&live.object);
        if (sprite == nullptr || !*sprite) continue;
        const ticker::SpriteSpec& spec = (*sprite)->spec;
        const std::size_t count = (*sprite)->frameCount;
        if (spriteFrameAt(drawnMs, spec.fps, count, spec.loop) != spriteFrameAt(nowMs, spec.fps, count, spec.loop)) {
            return true;
        }
    }
    return false;
}

}  // namespace lumetta::player
