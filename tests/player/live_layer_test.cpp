// The slide's live layers: each kind built from the slide model and drawn into a slide target,
// checked by reading the pixels back; what is left out and why; the clip area arithmetic and the
// sprite frame rule.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <climits>
#include <cmath>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "core/process_state.h"
#include "player/live_layer.h"
#include "player/slide_targets.h"
#include "player_test_support.h"
#include "support/temp_dir.h"

namespace lumetta::player {
namespace {

using namespace lumetta::testing;

class LiveLayers : public ::testing::Test {
protected:
    void SetUp() override {
        display_ = makeDisplay(320, 180);
        target_ = createSlideTarget(*display_);
        context_.display = display_.get();
        context_.slideWidth = 320;
        context_.slideHeight = 180;
        context_.playlistDirectory = directory_.str();
        context_.resolutionClass = display_->resolutionClass();
    }

    // One frame of the slide into the slide target, left selected for reading back.
    LayerFrame draw(const Slide& slide, std::vector<LiveLayer>& layers, double animationMs = 0) {
        SDL_Renderer* renderer = display_->renderer();
        EXPECT_TRUE(SDL_SetRenderTarget(renderer, target_.get()));
        SDL_SetRenderViewport(renderer, nullptr);
        display_->clear(SDL_Color{0, 0, 0, 255});
        return drawSlideLayers(renderer, slide, layers, animationMs, displayRotation.load());
    }

    Colour at(int x, int y) { return pixelAt(display_->renderer(), x, y); }

    TempDir directory_;
    std::unique_ptr<Display> display_;
    TextureHandle target_;
    LayerBuildContext context_;
};

TEST_F(LiveLayers, EveryKindIsBuiltAndDrawnAtItsPlace) {
    writePng(directory_ / "picture.png", 8, 8, kYellow);
    const Slide slide = slideOf({
        rectangleLayer(0, 0, 80, 90, kRed),
        ellipseLayer(80, 0, 80, 90, kGreen),
        triangleLayer(160, 0, 80, 90, kBlue),
        starLayer(240, 0, 80, 90, kWhite),
        textLayer(0, 90, 160, 90, "Hi", kBlack, kYellow),
        imageLayer(160, 90, 160, 90, "picture.png"),
    });
    std::vector<LiveLayer> layers;
    EXPECT_EQ(buildLiveLayers(slide, context_, layers), 0u);
    ASSERT_EQ(layers.size(), 6u);
    const LayerKind kinds[] = {LayerKind::Rectangle, LayerKind::Ellipse, LayerKind::Triangle,
                               LayerKind::Star,      LayerKind::Text,    LayerKind::Image};
    for (std::size_t i = 0; i < layers.size(); ++i) {
        EXPECT_EQ(layers[i].kind(), kinds[i]);
        EXPECT_EQ(layers[i].layerIndex, i);
    }

    const LayerFrame frame = draw(slide, layers);
    EXPECT_FALSE(frame.allVideosFinished);
    EXPECT_TRUE(frame.allVideosHavePicture);
    EXPECT_EQ(at(40, 45), kRed);
    EXPECT_EQ(at(81, 1), kBlack);  // outside the ellipse, inside its box
    EXPECT_EQ(at(120, 45), kGreen);
    EXPECT_EQ(at(161, 1), kBlack);  // beside the tip of the triangle
    EXPECT_EQ(at(200, 80), kBlue);
    EXPECT_EQ(at(280, 45), kWhite);
    EXPECT_EQ(at(2, 176), kYellow);  // the text's background panel
    EXPECT_EQ(at(240, 135), kYellow);

    destroyLayers(layers);
    EXPECT_TRUE(layers.empty());
}

TEST_F(LiveLayers, AnImageIsTakenFromTheCopyForTheDisplaysResolutionWhenThereIsOne) {
    ASSERT_EQ(context_.resolutionClass, "/FHD");
    writePng(directory_ / "photo.png", 8, 8, kBlue);
    const Slide slide = slideOf({imageLayer(0, 0, 320, 180, "photo.png")});
    std::vector<LiveLayer> layers;
    buildLiveLayers(slide, context_, layers);
    draw(slide, layers);
    EXPECT_EQ(at(160, 90), kBlue);
    destroyLayers(layers);

    writePng(directory_ / "FHD" / "photo.png", 8, 8, kRed);
    buildLiveLayers(slide, context_, layers);
    draw(slide, layers);
    EXPECT_EQ(at(160, 90), kRed);

    EXPECT_EQ(imageLayerPath("/p", "/FHD", "photo.png"), "/p/photo.png");
    EXPECT_EQ(imageLayerPath(directory_.str(), "/FHD", "photo.png"), directory_.str() + "/FHD/photo.png");
    EXPECT_EQ(imageLayerPath(directory_.str(), "", "photo.png"), directory_.str() + "/photo.png");
    EXPECT_EQ(imageLayerPath(directory_.str(), "/4K", "photo.png"), directory_.str() + "/photo.png");
}

TEST_F(LiveLayers, WhatCannotBeShownIsLeftOutAndTheRestIsDrawn) {
    writeTestFile(directory_ / "corrupt.png", "not a picture");
    SlideLayer unknownFont = textLayer(0, 0, 100, 60, "Hello", kWhite, kBlue);
    std::get<TextLayer>(unknownFont.content).fontFamily = "No Such Family";
    SlideLayer noArea = rectangleLayer(0, 0, 0, 10, kRed);  // the element refuses it
    SlideLayer sprite;
    sprite.content = ticker::SpriteSpec{};
    sprite.width = sprite.height = 10;
    SlideLayer stencilled = rectangleLayer(0, 0, 320, 180, kRed);
    stencilled.geometry.stencil = StencilSpec{};

    const Slide slide = slideOf({
        imageLayer(0, 0, 320, 180, "missing.png"),
        imageLayer(0, 0, 320, 180, "corrupt.png"),
        unknownFont,
        noArea,
        sprite,
        stencilled,
        rectangleLayer(100, 50, 100, 80, kGreen),
    });
    std::vector<LiveLayer> layers;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(buildLiveLayers(slide, context_, layers), 1u);
    const std::string errors = ::testing::internal::GetCapturedStderr();
    // The text whose font is missing lays out no line; it stays for its background.
    ASSERT_EQ(layers.size(), 2u);
    EXPECT_EQ(layers[0].layerIndex, 2u);
    EXPECT_EQ(layers[0].kind(), LayerKind::Text);
    EXPECT_EQ(layers[1].layerIndex, 6u);
    EXPECT_NE(errors.find("[PLAYLIST] Layer left out: Rectangle dimensions must be greater than zero\n"),
              std::string::npos)
        << errors;
    EXPECT_NE(errors.find("[SCENE] Sprite layer left out: sprites are not available yet\n"), std::string::npos);
    EXPECT_NE(errors.find("[SCENE] Stencil layer left out: stencils are not available yet\n"), std::string::npos);

    draw(slide, layers);
    EXPECT_EQ(at(150, 90), kGreen);
    EXPECT_EQ(at(10, 10), kBlue);
    EXPECT_EQ(at(110, 10), kBlack);
}

// A text that lays out no line still draws its box: an empty text used as a coloured panel, a
// box lower than its font, a font that cannot be opened.
TEST_F(LiveLayers, ATextWithoutALineKeepsItsBackground) {
    SlideLayer empty = textLayer(20, 20, 100, 60, "", kWhite, kBlue);
    SlideLayer low = textLayer(20, 20, 100, 4, "Hello", kWhite, kBlue);
    SlideLayer noFont = textLayer(20, 20, 100, 60, "Hello", kWhite, kBlue);
    std::get<TextLayer>(noFont.content).fontFamily = "No Such Family";
    struct Case {
        const char* name;
        SlideLayer layer;
        SDL_Point inside;
    };
    for (const Case& c : {Case{"empty", empty, {70, 50}}, Case{"lower than its font", low, {70, 22}},
                          Case{"unknown font", noFont, {70, 50}}}) {
        SCOPED_TRACE(c.name);
        const Slide slide = slideOf({c.layer});
        std::vector<LiveLayer> layers;
        ::testing::internal::CaptureStderr();
        buildLiveLayers(slide, context_, layers);
        ::testing::internal::GetCapturedStderr();
        ASSERT_EQ(layers.size(), 1u);
        draw(slide, layers);
        EXPECT_EQ(at(c.inside.x, c.inside.y), kBlue);
        EXPECT_EQ(at(10, 10), kBlack);
        destroyLayers(layers);
    }
}

// The layer's opacity reaches its element as the number the slide model holds: half a blue
// picture over red blends the two, and a number that is not finite leaves its layer out with
// the element's own message.
TEST_F(LiveLayers, TheOpacityReachesTheElementAsANumber) {
    writePng(directory_ / "blue.png", 8, 8, kBlue);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    SlideLayer halfImage = imageLayer(0, 0, 160, 180, "blue.png");
    std::get<ImageLayer>(halfImage.content).opacity = 0.5f;
    SlideLayer nanImage = imageLayer(160, 0, 160, 180, "blue.png");
    std::get<ImageLayer>(nanImage.content).opacity = nan;
    SlideLayer nanText = textLayer(0, 0, 100, 60, "Hi", kWhite, kBlack);
    std::get<TextLayer>(nanText.content).opacity = nan;
    SlideLayer infiniteVideo = videoLayer(0, 0, 100, 60, "clip.mp4");
    std::get<VideoLayer>(infiniteVideo.content).opacity = std::numeric_limits<float>::infinity();

    const Slide slide = slideOf({rectangleLayer(0, 0, 320, 180, kRed), halfImage, nanImage, nanText, infiniteVideo});
    std::vector<LiveLayer> layers;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(buildLiveLayers(slide, context_, layers), 2u);
    const std::string errors = ::testing::internal::GetCapturedStderr();
    // The video that could not be built keeps its place: it has ended, without a picture.
    ASSERT_EQ(layers.size(), 3u);
    EXPECT_EQ(layers[1].kind(), LayerKind::Image);
    EXPECT_EQ(layers[2].kind(), LayerKind::Video);
    EXPECT_EQ(layers[2].layerIndex, 4u);
    EXPECT_NE(errors.find("Invalid image opacity: nan"), std::string::npos) << errors;
    EXPECT_NE(errors.find("[PLAYLIST] Layer left out: Invalid text opacity: nan\n"), std::string::npos) << errors;
    EXPECT_NE(errors.find("[PLAYLIST] Layer left out: Invalid video opacity: inf\n"), std::string::npos) << errors;

    const LayerFrame frame = draw(slide, layers);
    EXPECT_TRUE(frame.allVideosFinished);
    EXPECT_FALSE(frame.allVideosHavePicture);
    EXPECT_TRUE(near(at(80, 90), Colour{127, 0, 128}, 3)) << at(80, 90);
    EXPECT_EQ(at(240, 90), kRed);
}

TEST_F(LiveLayers, AnAnimatedLayerIsDrawnStillAndSaysSoOnce) {
    SlideLayer moving = rectangleLayer(0, 0, 160, 180, kRed);
    moving.animation.preset = "fade-in";
    SlideLayer typing = textLayer(160, 0, 160, 180, "abc", kWhite, kBlue);
    std::get<TextLayer>(typing.content).style.typewriterSpeed = 10;
    const Slide slide = slideOf({moving, typing});
    EXPECT_TRUE(isAnimatedLayer(moving));
    EXPECT_TRUE(isAnimatedLayer(typing));
    EXPECT_FALSE(isAnimatedLayer(rectangleLayer(0, 0, 1, 1, kRed)));

    std::vector<LiveLayer> layers;
    buildLiveLayers(slide, context_, layers);
    ASSERT_EQ(layers.size(), 2u);
    ::testing::internal::CaptureStderr();
    for (double ms : {0.0, 16.0, 32.0}) draw(slide, layers, ms);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Layer animation disabled: layer animations are not available yet\n"
              "Layer animation disabled: layer animations are not available yet\n");
    EXPECT_EQ(at(80, 90), kRed);
    EXPECT_EQ(at(300, 170), kBlue);
}

TEST_F(LiveLayers, ExtremeBoxesNeitherCrashNorSpillOverTheRest) {
    const int limits[][4] = {
        {INT_MIN, INT_MIN, 10, 10},
        {INT_MAX - 5, INT_MAX - 5, 10, 10},
        {INT_MIN, 0, INT_MAX, 10},
        {-100000, -100000, 100, 100},
    };
    std::vector<SlideLayer> list;
    for (const auto& box : limits) list.push_back(rectangleLayer(box[0], box[1], box[2], box[3], kRed));
    list.push_back(rectangleLayer(10, 10, 20, 20, kGreen));
    const Slide slide = slideOf(list);
    std::vector<LiveLayer> layers;
    ::testing::internal::CaptureStderr();
    buildLiveLayers(slide, context_, layers);
    draw(slide, layers);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(at(20, 20), kGreen);
    EXPECT_EQ(at(200, 100), kBlack);
}

// Caps this process's data memory for one scope, so that a regression that tries to render a
// megabyte of text fails its allocations instead of taking the shared machine's memory. Not under
// the sanitizers, whose shadow memory counts as data.
class DataMemoryCap {
public:
    explicit DataMemoryCap(rlim_t extraBytes) {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        if (getrlimit(RLIMIT_DATA, &saved_) != 0) return;
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        rlimit capped = saved_;
        capped.rlim_cur = static_cast<rlim_t>(usage.ru_maxrss) * 1024 + extraBytes;
        if (saved_.rlim_cur != RLIM_INFINITY && saved_.rlim_cur < capped.rlim_cur) return;
        active_ = setrlimit(RLIMIT_DATA, &capped) == 0;
#else
        (void)extraBytes;
#endif
    }
    ~DataMemoryCap() {
        if (active_) setrlimit(RLIMIT_DATA, &saved_);
    }
    DataMemoryCap(const DataMemoryCap&) = delete;
    DataMemoryCap& operator=(const DataMemoryCap&) = delete;

private:
    rlimit saved_{};
    bool active_ = false;
};

TEST_F(LiveLayers, AMegabyteOfTextIsLeftOutAndTheRestIsDrawn) {
    // One line of it could never become a texture; a megabyte of short lines fills the box.
    const DataMemoryCap cap(rlim_t{2} << 30);
    std::string lines;
    while (lines.size() < (1u << 20)) lines += "line\n";
    const Slide slide = slideOf({
        textLayer(0, 0, 320, 180, std::string(1 << 20, 'W'), kWhite, kBlue),
        textLayer(0, 0, 160, 180, lines, kWhite, kBlue),
        rectangleLayer(200, 50, 100, 80, kGreen),
    });
    std::vector<LiveLayer> layers;
    ::testing::internal::CaptureStderr();
    buildLiveLayers(slide, context_, layers);
    const std::string errors = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("Text Exception: Text line is "), std::string::npos) << errors;
    // The line is left out; its box keeps its background.
    ASSERT_EQ(layers.size(), 3u);
    EXPECT_EQ(layers[0].layerIndex, 0u);
    EXPECT_EQ(layers[1].layerIndex, 1u);
    draw(slide, layers);
    EXPECT_EQ(at(250, 90), kGreen);
    EXPECT_EQ(at(150, 170), kBlue);
    EXPECT_EQ(at(310, 170), kBlue);
}

TEST(LayerClip, CoversWhatTheLayerCanDrawRoundedOutward) {
    struct Case {
        const char* name;
        int width, height, rotation, slideWidth, slideHeight;
        SDL_Rect box;
        double margin, own;
        AnimationPose pose;
        SDL_Rect expected;
    };
    AnimationPose moved;
    moved.x = 10;
    moved.y = -5;
    AnimationPose doubled;
    doubled.scale = 2;
    AnimationPose quarter;
    quarter.rotation = 90;
    const Case cases[] = {
        {"plain", 320, 180, 0, 320, 180, {10, 20, 30, 40}, 0, 0, {}, {10, 20, 30, 40}},
        {"half-size slide", 320, 180, 0, 640, 360, {10, 21, 30, 41}, 0, 0, {}, {5, 10, 15, 21}},
        {"margin", 320, 180, 0, 320, 180, {10, 20, 30, 40}, 4, 0, {}, {6, 16, 38, 48}},
        {"own quarter turn", 320, 180, 0, 320, 180, {0, 0, 40, 20}, 0, 90, {}, {10, 0, 20, 30}},
        {"own 45 degrees", 320, 180, 0, 320, 180, {100, 100, 20, 20}, 0, 45, {}, {95, 95, 30, 30}},
        {"pose moves", 320, 180, 0, 320, 180, {10, 20, 30, 40}, 0, 0, moved, {20, 15, 30, 40}},
        {"pose doubles", 320, 180, 0, 320, 180, {100, 50, 20, 20}, 0, 0, doubled, {90, 40, 40, 40}},
        {"pose turns", 320, 180, 0, 320, 180, {100, 50, 40, 20}, 0, 0, quarter, {110, 40, 20, 40}},
        {"screen turned 180", 320, 180, -180, 320, 180, {10, 20, 30, 40}, 0, 0, {}, {280, 120, 30, 40}},
        {"screen turned 90", 180, 320, -90, 320, 180, {0, 0, 320, 180}, 0, 0, {}, {0, 0, 180, 320}},
        {"cut to the output", 320, 180, 0, 320, 180, {-50, -50, 100, 100}, 0, 0, {}, {0, 0, 50, 50}},
        {"far off", 320, 180, 0, 320, 180, {INT_MIN, INT_MIN, INT_MAX, INT_MAX}, 0, 0, {}, {0, 0, 0, 0}},
        {"far off the other way", 320, 180, 0, 320, 180, {INT_MAX, INT_MAX, INT_MAX, INT_MAX}, 0, 0, {},
         {320, 180, 0, 0}},
        {"no slide", 320, 180, 0, 0, 180, {0, 0, 10, 10}, 0, 0, {}, {0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        const SDL_Rect r = layerClipRect(c.width, c.height, c.rotation, c.slideWidth, c.slideHeight, c.box, c.margin,
                                         c.own, c.pose);
        EXPECT_EQ(std::vector<int>({r.x, r.y, r.w, r.h}),
                  std::vector<int>({c.expected.x, c.expected.y, c.expected.w, c.expected.h}))
            << c.name;
    }
    AnimationPose broken;
    broken.scale = std::numeric_limits<double>::quiet_NaN();
    const SDL_Rect none = layerClipRect(320, 180, 0, 320, 180, {10, 10, 10, 10}, 0, 0, broken);
    EXPECT_EQ(none.w * none.h, 0);
}

TEST_F(LiveLayers, AShadowOrATurnIsNotCutOffAtTheBox) {
    SlideLayer shadowed = rectangleLayer(100, 60, 60, 40, kRed);
    auto& options = std::get<RectangleLayer>(shadowed.content).options;
    options.shadow = true;
    options.shadowColor = sdl(kWhite);
    options.shadowOpacity = 1;
    options.shadowBlur = 0;
    options.shadowOffsetX = 8;
    options.shadowOffsetY = 8;
    SlideLayer turned = rectangleLayer(240, 70, 60, 20, kGreen);
    std::get<RectangleLayer>(turned.content).options.rotation = 90;
    const Slide slide = slideOf({shadowed, turned});
    std::vector<LiveLayer> layers;
    buildLiveLayers(slide, context_, layers);
    draw(slide, layers);
    EXPECT_EQ(at(130, 80), kRed);
    EXPECT_NE(at(164, 104), kBlack);  // the shadow, beyond the box's corner
    EXPECT_EQ(at(270, 55), kGreen);   // the turned rectangle, above its unturned box
}

TEST(SlideTargets, TheRevealInsetsTheSlideAboutTheCentre) {
    const SDL_FRect full = revealedSlideRect(1920, 1080, 0);
    EXPECT_EQ(std::vector<float>({full.x, full.y, full.w, full.h}), std::vector<float>({0, 0, 1920, 1080}));
    const SDL_FRect shown = revealedSlideRect(1920, 1080, 1);
    const double scale = (1080.0 - 320) / 1080;
    EXPECT_NEAR(shown.w, 1920 * scale, 1e-3);
    EXPECT_NEAR(shown.h, 760, 1e-3);
    EXPECT_NEAR(shown.x, (1920 - 1920 * scale) / 2, 1e-3);
    EXPECT_NEAR(shown.y, 160, 1e-3);
    // Half way the inset is eased: (3 - 1) * 0.25 = 0.5 of 160.
    EXPECT_NEAR(revealedSlideRect(1920, 1080, 0.5).y, 80, 1e-3);
    // Out of range and NaN clamp; a small screen is inset by less than half its side.
    EXPECT_EQ(revealedSlideRect(1920, 1080, 7).h, shown.h);
    EXPECT_EQ(revealedSlideRect(1920, 1080, std::nan("")).h, 1080);
    EXPECT_GT(revealedSlideRect(100, 100, 1).w, 0);
}

TEST(SlideTargets, TheTargetIsCopiedToTheScreenInset) {
    auto display = makeDisplay(320, 180);
    TextureHandle target = createSlideTarget(*display);
    SDL_Renderer* renderer = display->renderer();
    SDL_SetRenderTarget(renderer, target.get());
    display->clear(SDL_Color{255, 0, 0, 255});
    presentSlideTarget(*display, 0.5, target.get());
    // 0.5 eases to 0.5 of min(89.5, 160): about 45 pixels a side on the short side.
    const SDL_FRect r = revealedSlideRect(320, 180, 0.5);
    EXPECT_EQ(pixelAt(renderer, 160, 90), kRed);
    EXPECT_EQ(pixelAt(renderer, static_cast<int>(r.x) - 2, 90), kBlack);
    EXPECT_EQ(pixelAt(renderer, 160, static_cast<int>(r.y) - 2), kBlack);

    TextureHandle download;
    selectDownloadTarget(*display, download, false);
    EXPECT_FALSE(download);
    selectDownloadTarget(*display, download, true);
    ASSERT_TRUE(download);
    EXPECT_EQ(SDL_GetRenderTarget(renderer), download.get());
    EXPECT_EQ(pixelAt(renderer, 5, 5), kBlack);
}

TEST(SpriteFrames, FramesFollowTheAnimationClock) {
    struct Case {
        double t, fps;
        std::size_t count;
        bool loop;
        std::size_t frame;
    };
    const Case cases[] = {
        {0, 25, 10, true, 0},      {39.9, 25, 10, true, 0},  {40, 25, 10, true, 1},
        {400, 25, 10, true, 0},    {440, 25, 10, true, 1},   {400, 25, 10, false, 9},
        {1e9, 25, 10, false, 9},   {1999, 0.5, 3, true, 0},  {2000, 0.5, 3, true, 1},
        {100, 0, 10, true, 0},     {100, 25, 0, true, 0},    {-5, 25, 10, true, 0},
        {std::nan(""), 25, 10, true, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(spriteFrameAt(c.t, c.fps, c.count, c.loop), c.frame) << c.t << " ms at " << c.fps;
    }
}

TEST(SpriteFrames, TheWaitIsTheTimeToTheNextFrameWithinOneToFiftyMilliseconds) {
    struct Case {
        double t, fps;
        std::size_t count;
        bool loop;
        std::optional<int> wait;
    };
    const Case cases[] = {
        {0, 25, 10, true, 40},     {10, 25, 10, true, 30},   {39.5, 25, 10, true, 1},
        {0, 0.5, 10, true, 50},    {0, 1000, 10, true, 1},   {0, 5000, 10, true, 1},
        {360, 25, 10, false, std::nullopt},  // on its last frame for good
        {350, 25, 10, false, 10},  {0, 25, 1, true, std::nullopt},
        {0, 0, 10, true, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(spriteFrameWait(c.t, c.fps, c.count, c.loop), c.wait) << c.t << " ms at " << c.fps;
    }

    std::vector<LiveLayer> layers;
    EXPECT_EQ(idleWaitMs(layers, 0), 50);
    auto sprite = [](double fps, bool loop) {
        LiveLayer live;
        auto layer = std::make_unique<SpriteLayer>();
        layer->spec.fps = fps;
        layer->spec.loop = loop;
        layer->frameCount = 10;
        live.object = std::move(layer);
        return live;
    };
    layers.push_back(sprite(0.5, true));
    EXPECT_EQ(idleWaitMs(layers, 0), 50);
    layers.push_back(sprite(25, true));
    EXPECT_EQ(idleWaitMs(layers, 5), 35);
    layers.push_back(sprite(100, false));  // finished at 90 ms: no longer counts
    EXPECT_EQ(idleWaitMs(layers, 1000), 40);
    EXPECT_EQ(idleWaitMs(layers, 25), 5);
}

// After a sleep that ended at a sprite's next frame, the loop must draw that frame rather than
// sleep again; a sprite that did not move, or no longer moves, does not keep it awake.
TEST(SpriteFrames, AFrameThatCameDueWhileTheLoopSleptIsDrawn) {
    std::vector<LiveLayer> layers;
    EXPECT_FALSE(spriteFrameDue(layers, 0, 1000));
    auto sprite = [](double fps, bool loop) {
        LiveLayer live;
        auto layer = std::make_unique<SpriteLayer>();
        layer->spec.fps = fps;
        layer->spec.loop = loop;
        layer->frameCount = 10;
        live.object = std::move(layer);
        return live;
    };
    layers.push_back(sprite(25, false));
    struct Case {
        double drawn, now;
        bool due;
    };
    for (const Case& c : {Case{0, 39, false}, Case{0, 40, true}, Case{41, 79, false}, Case{79, 80, true},
                          Case{360, 5000, false}, Case{350, 400, true}}) {
        EXPECT_EQ(spriteFrameDue(layers, c.drawn, c.now), c.due) << c.drawn << " -> " << c.now;
    }
    // A looping one wraps round to its first frame.
    layers.push_back(sprite(25, true));
    EXPECT_TRUE(spriteFrameDue(layers, 360, 400));
}

}  // namespace
}  // namespace lumetta::player
