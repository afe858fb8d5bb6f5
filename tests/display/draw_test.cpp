#include "display/draw.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

namespace lumetta {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// ---------------------------------------------------------------- capture seam

struct GeometryCall {
    SDL_Texture* texture;
    std::vector<SDL_Vertex> vertices;
    std::vector<int> indices;
};

struct RotatedCall {
    SDL_Texture* texture;
    bool hasSource, hasDestination, hasCenter;
    SDL_FRect source, destination;
    SDL_FPoint center;
    double angle;
    SDL_FlipMode flip;
    // Texture state while the draw happened.
    Uint8 alpha = 0, r = 0, g = 0, b = 0;
    SDL_BlendMode blend = SDL_BLENDMODE_INVALID;
};

thread_local std::vector<GeometryCall> geometryCalls;
thread_local std::vector<RotatedCall> rotatedCalls;
thread_local bool failGeometry = false;
thread_local std::vector<SDL_BlendMode> geometryBlendModes;

bool captureGeometry(SDL_Renderer*, SDL_Texture* texture, const SDL_Vertex* vertices, int count, const int* indices,
                     int indexCount) {
    geometryCalls.push_back({texture, std::vector<SDL_Vertex>(vertices, vertices + count),
                             std::vector<int>(indices, indices + indexCount)});
    SDL_BlendMode mode = SDL_BLENDMODE_INVALID;
    if (texture != nullptr) SDL_GetTextureBlendMode(texture, &mode);
    geometryBlendModes.push_back(mode);
    return !failGeometry;
}

bool captureRotated(SDL_Renderer*, SDL_Texture* texture, const SDL_FRect* source, const SDL_FRect* destination,
                    double angle, const SDL_FPoint* center, SDL_FlipMode flip) {
    RotatedCall call{};
    call.texture = texture;
    call.hasSource = source != nullptr;
    call.hasDestination = destination != nullptr;
    call.hasCenter = center != nullptr;
    if (source) call.source = *source;
    if (destination) call.destination = *destination;
    if (center) call.center = *center;
    call.angle = angle;
    call.flip = flip;
    if (texture != nullptr) {
        SDL_GetTextureAlphaMod(texture, &call.alpha);
        SDL_GetTextureColorMod(texture, &call.r, &call.g, &call.b);
        SDL_GetTextureBlendMode(texture, &call.blend);
    }
    rotatedCalls.push_back(call);
    return true;
}

class CaptureSubmitter final : public DrawSubmitter {
public:
    bool renderGeometry(SDL_Renderer* renderer, SDL_Texture* texture, const SDL_Vertex* vertices, int count,
                        const int* indices, int indexCount) override {
        return captureGeometry(renderer, texture, vertices, count, indices, indexCount);
    }
    bool renderTextureRotated(SDL_Renderer* renderer, SDL_Texture* texture, const SDL_FRect* source,
                              const SDL_FRect* destination, double angle, const SDL_FPoint* center,
                              SDL_FlipMode flip) override {
        return captureRotated(renderer, texture, source, destination, angle, center, flip);
    }
};

// A software renderer on a memory surface: no window or video driver needed.
class DrawTest : public ::testing::Test {
protected:
    void SetUp() override {
        surface_ = SDL_CreateSurface(kWidth, kHeight, SDL_PIXELFORMAT_RGBA32);
        ASSERT_NE(surface_, nullptr) << SDL_GetError();
        renderer_ = SDL_CreateSoftwareRenderer(surface_);
        ASSERT_NE(renderer_, nullptr) << SDL_GetError();
        clear();
        geometryCalls.clear();
        rotatedCalls.clear();
        geometryBlendModes.clear();
        failGeometry = false;
    }

    void TearDown() override {
        activeLayerTransform = nullptr;
        activeLayerCanvas = nullptr;
        activeCanvasPlacement = {};
        initThreadDrawState() = ThreadDrawState{};
        for (SDL_Texture* texture : textures_) SDL_DestroyTexture(texture);
        if (renderer_) SDL_DestroyRenderer(renderer_);
        if (surface_) SDL_DestroySurface(surface_);
    }

    // From here on the draws go to the recording submitter instead of SDL.
    void capture() { submitter_ = &captureSubmitter_; }

    void clear() {
        SDL_SetRenderDrawColor(renderer_, 0, 0, 0, 255);
        SDL_RenderClear(renderer_);
    }

    // A texture of the given size; the left half in `left`, the right half in `right`.
    SDL_Texture* texture(int w, int h, SDL_Color left = {255, 255, 255, 255}, SDL_Color right = {255, 255, 255, 255}) {
        SDL_Surface* s = SDL_CreateSurface(w, h, SDL_PIXELFORMAT_RGBA32);
        SDL_FillSurfaceRect(s, nullptr, SDL_MapSurfaceRGBA(s, left.r, left.g, left.b, left.a));
        const SDL_Rect half{w / 2, 0, w - w / 2, h};
        SDL_FillSurfaceRect(s, &half, SDL_MapSurfaceRGBA(s, right.r, right.g, right.b, right.a));
        SDL_Texture* t = SDL_CreateTextureFromSurface(renderer_, s);
        SDL_DestroySurface(s);
        textures_.push_back(t);
        return t;
    }

    SDL_Color pixel(int x, int y) {
        SDL_Surface* read = SDL_RenderReadPixels(renderer_, nullptr);
        EXPECT_NE(read, nullptr) << SDL_GetError();
        SDL_Color c{};
        if (read) {
            SDL_ReadSurfacePixel(read, x, y, &c.r, &c.g, &c.b, &c.a);
            SDL_DestroySurface(read);
        }
        return c;
    }

    static constexpr int kWidth = 100;
    static constexpr int kHeight = 40;
    SDL_Surface* surface_ = nullptr;
    SDL_Renderer* renderer_ = nullptr;
    std::vector<SDL_Texture*> textures_;
    CaptureSubmitter captureSubmitter_;
    DrawSubmitter* submitter_ = &sdlDrawSubmitter();
};

// A transform that covers the whole 100 x 40 target, pivot in its middle.
LayerTransform layerTransform() {
    LayerTransform t;
    t.pivotX = 50;
    t.pivotY = 20;
    t.layerWidth = 100;
    t.layerHeight = 40;
    t.referenceWidth = 100;
    return t;
}

std::vector<SDL_Vertex> quad(float x0, float y0, float x1, float y1) {
    std::vector<SDL_Vertex> v(4);
    const float xs[4] = {x0, x1, x1, x0};
    const float ys[4] = {y0, y0, y1, y1};
    for (int i = 0; i < 4; ++i) {
        v[i].position = {xs[i], ys[i]};
        v[i].color = {1, 1, 1, 1};
        v[i].tex_coord = {i == 1 || i == 2 ? 1.0f : 0.0f, i >= 2 ? 1.0f : 0.0f};
    }
    return v;
}

struct Bounds {
    float minX = INFINITY, maxX = -INFINITY, minY = INFINITY, maxY = -INFINITY;
};

Bounds bounds(const std::vector<SDL_Vertex>& vertices) {
    Bounds b;
    for (const SDL_Vertex& v : vertices) {
        b.minX = std::min(b.minX, v.position.x);
        b.maxX = std::max(b.maxX, v.position.x);
        b.minY = std::min(b.minY, v.position.y);
        b.maxY = std::max(b.maxY, v.position.y);
    }
    return b;
}

// ---------------------------------------------------------------- point transform

TEST(LayerPointTransform, MapsPointsThroughPivotAxisScaleTurnAndTranslation) {
    struct Case {
        const char* name;
        LayerTransform t;
        double x, y, wantX, wantY;
    };
    auto make = [](auto edit) {
        LayerTransform t;
        t.pivotX = 10;
        t.pivotY = 20;
        edit(t);
        return t;
    };
    const Case cases[] = {
        {"identity", make([](LayerTransform&) {}), 13, 24, 13, 24},
        {"translation", make([](LayerTransform& t) { t.translationX = 5, t.translationY = -7; }), 13, 24, 18, 17},
        {"uniform scale about pivot", make([](LayerTransform& t) { t.scale = 2; }), 13, 24, 16, 28},
        {"quarter turn clockwise on screen", make([](LayerTransform& t) { t.rotation = 90; }), 13, 20, 10, 23},
        {"scale along x only", make([](LayerTransform& t) { t.scaleX = 3; }), 12, 21, 16, 21},
        {"scale across x only", make([](LayerTransform& t) { t.scaleY = 0.5; }), 12, 24, 12, 22},
        // Axis turned to the y direction: sx now stretches vertically.
        {"scale along a turned axis", make([](LayerTransform& t) { t.scaleX = 2, t.axisCos = 0, t.axisSin = 1; }),
         11, 23, 11, 26},
        {"mirror along x", make([](LayerTransform& t) { t.scaleX = -1; }), 14, 25, 6, 25},
        {"everything", make([](LayerTransform& t) { t.scale = 2, t.rotation = 180, t.translationX = 1; }), 11, 21, 9,
         18},
    };
    for (const Case& c : cases) {
        const SDL_FPoint p = transformLayerPoint(c.t, c.x, c.y);
        EXPECT_NEAR(p.x, c.wantX, 1e-4) << c.name;
        EXPECT_NEAR(p.y, c.wantY, 1e-4) << c.name;
    }
}

// ---------------------------------------------------------------- drawTexture paths

TEST_F(DrawTest, WithoutTransformEveryArgumentPassesThroughUnchanged) {
    capture();
    SDL_Texture* tex = texture(8, 8);
    const SDL_FRect src{1, 2, 3, 4};
    const SDL_FRect dst{5, 6, 7, 8};
    const SDL_FPoint centre{1.5f, 2.5f};
    EXPECT_TRUE(drawTexture(renderer_, tex, &src, &dst, 33.0, &centre, SDL_FLIP_VERTICAL, *submitter_));
    // No destination: SDL's own meaning (whole target) even with a transform active.
    const LayerTransform t = layerTransform();
    ScopedDrawSlot slot(activeLayerTransform, &t);
    EXPECT_TRUE(drawTexture(renderer_, tex, nullptr, nullptr, 0.0, nullptr, SDL_FLIP_NONE, *submitter_));

    ASSERT_EQ(rotatedCalls.size(), 2u);
    EXPECT_TRUE(geometryCalls.empty());
    const RotatedCall& a = rotatedCalls[0];
    EXPECT_EQ(a.texture, tex);
    EXPECT_EQ(a.source.x, 1);
    EXPECT_EQ(a.source.h, 4);
    EXPECT_EQ(a.destination.x, 5);
    EXPECT_EQ(a.destination.w, 7);
    EXPECT_EQ(a.center.y, 2.5f);
    EXPECT_EQ(a.angle, 33.0);
    EXPECT_EQ(a.flip, SDL_FLIP_VERTICAL);
    EXPECT_FALSE(rotatedCalls[1].hasDestination);
    EXPECT_FALSE(rotatedCalls[1].hasCenter);
}

TEST_F(DrawTest, PlainMoveTurnAndScaleStayOneRotatedRectangle) {
    capture();
    SDL_Texture* tex = texture(8, 8);
    LayerTransform t = layerTransform();
    t.translationX = 10;
    t.translationY = -5;
    t.scale = 2;
    t.rotation = 30;
    t.revealKind = reveal::wipe;
    t.reveal = 1.0;  // finished reveal: no clipping left to do
    ScopedDrawSlot slot(activeLayerTransform, &t);
    const SDL_FRect dst{40, 10, 20, 20};  // its centre is the pivot (50, 20)
    EXPECT_TRUE(drawTexture(renderer_, tex, nullptr, &dst, 15.0, nullptr, SDL_FLIP_HORIZONTAL, *submitter_));

    ASSERT_EQ(rotatedCalls.size(), 1u);
    EXPECT_TRUE(geometryCalls.empty());
    const RotatedCall& c = rotatedCalls[0];
    EXPECT_FLOAT_EQ(c.destination.x, 60 - 20);
    EXPECT_FLOAT_EQ(c.destination.y, 15 - 20);
    EXPECT_FLOAT_EQ(c.destination.w, 40);
    EXPECT_FLOAT_EQ(c.destination.h, 40);
    EXPECT_FLOAT_EQ(c.center.x, 20);
    EXPECT_FLOAT_EQ(c.center.y, 20);
    EXPECT_DOUBLE_EQ(c.angle, 45.0);
    EXPECT_EQ(c.flip, SDL_FLIP_HORIZONTAL);
}

// Opacity is applied through the texture's modulation for the draw only.
TEST_F(DrawTest, OpacityModulatesTheTextureForTheDrawAndRestoresIt) {
    capture();
    struct Case {
        const char* name;
        double opacity;
        SDL_BlendMode blend;
        Uint8 alpha, r, g, b;
        Uint8 wantAlpha, wantR, wantG, wantB;
        SDL_BlendMode wantBlend;
    };
    const Case cases[] = {
        {"half on an opaque texture", 0.5, SDL_BLENDMODE_NONE, 200, 255, 255, 255, 100, 255, 255, 255,
         SDL_BLENDMODE_BLEND},
        {"premultiplied scales colour too", 0.5, SDL_BLENDMODE_BLEND_PREMULTIPLIED, 255, 255, 128, 0, 128, 128, 64, 0,
         SDL_BLENDMODE_BLEND_PREMULTIPLIED},
        {"blended keeps colour", 0.25, SDL_BLENDMODE_BLEND, 255, 10, 20, 30, 64, 10, 20, 30, SDL_BLENDMODE_BLEND},
        // An easing that overshoots must not wrap round to a faint value.
        {"overshoot saturates", 1.3, SDL_BLENDMODE_BLEND, 255, 255, 255, 255, 255, 255, 255, 255,
         SDL_BLENDMODE_BLEND},
        {"premultiplied overshoot saturates colour", 2.0, SDL_BLENDMODE_BLEND_PREMULTIPLIED, 200, 200, 100, 0, 255, 255,
         200, 0, SDL_BLENDMODE_BLEND_PREMULTIPLIED},
        {"undershoot is transparent", -0.2, SDL_BLENDMODE_BLEND, 255, 255, 255, 255, 0, 255, 255, 255,
         SDL_BLENDMODE_BLEND},
        {"not a number is transparent", kNaN, SDL_BLENDMODE_BLEND, 255, 255, 255, 255, 0, 255, 255, 255,
         SDL_BLENDMODE_BLEND},
    };
    for (const Case& c : cases) {
        rotatedCalls.clear();
        SDL_Texture* tex = texture(4, 4);
        SDL_SetTextureBlendMode(tex, c.blend);
        SDL_SetTextureAlphaMod(tex, c.alpha);
        SDL_SetTextureColorMod(tex, c.r, c.g, c.b);
        LayerTransform t = layerTransform();
        t.opacity = c.opacity;
        {
            ScopedDrawSlot slot(activeLayerTransform, &t);
            const SDL_FRect dst{0, 0, 4, 4};
            EXPECT_TRUE(drawTexture(renderer_, tex, nullptr, &dst, 0, nullptr, SDL_FLIP_NONE, *submitter_)) << c.name;
        }
        ASSERT_EQ(rotatedCalls.size(), 1u) << c.name;
        const RotatedCall& seen = rotatedCalls[0];
        EXPECT_EQ(seen.alpha, c.wantAlpha) << c.name;
        EXPECT_EQ(seen.r, c.wantR) << c.name;
        EXPECT_EQ(seen.g, c.wantG) << c.name;
        EXPECT_EQ(seen.b, c.wantB) << c.name;
        EXPECT_EQ(seen.blend, c.wantBlend) << c.name;

        Uint8 alpha = 0, r = 0, g = 0, b = 0;
        SDL_BlendMode blend = SDL_BLENDMODE_INVALID;
        SDL_GetTextureAlphaMod(tex, &alpha);
        SDL_GetTextureColorMod(tex, &r, &g, &b);
        SDL_GetTextureBlendMode(tex, &blend);
        EXPECT_EQ(alpha, c.alpha) << c.name;
        EXPECT_EQ(r, c.r) << c.name;
        EXPECT_EQ(g, c.g) << c.name;
        EXPECT_EQ(b, c.b) << c.name;
        EXPECT_EQ(blend, c.blend) << c.name;
    }
}

TEST_F(DrawTest, TextureStateIsRestoredWhenTheGeometryDrawFails) {
    capture();
    failGeometry = true;
    SDL_Texture* tex = texture(4, 4);
    SDL_SetTextureBlendMode(tex, SDL_BLENDMODE_NONE);
    SDL_SetTextureAlphaMod(tex, 200);
    LayerTransform t = layerTransform();
    t.opacity = 0.5;
    t.scaleX = 2;  // geometry path
    ScopedDrawSlot slot(activeLayerTransform, &t);
    const SDL_FRect dst{0, 0, 4, 4};
    EXPECT_FALSE(drawTexture(renderer_, tex, nullptr, &dst, 0, nullptr, SDL_FLIP_NONE, *submitter_));
    ASSERT_EQ(geometryCalls.size(), 1u);
    // The vertices carried the faded alpha, and the texture was blended during the draw.
    EXPECT_NEAR(geometryCalls[0].vertices[0].color.a, 100 / 255.0, 1e-6);
    EXPECT_EQ(geometryBlendModes[0], SDL_BLENDMODE_BLEND);
    Uint8 alpha = 0;
    SDL_BlendMode blend = SDL_BLENDMODE_INVALID;
    SDL_GetTextureAlphaMod(tex, &alpha);
    SDL_GetTextureBlendMode(tex, &blend);
    EXPECT_EQ(alpha, 200);
    EXPECT_EQ(blend, SDL_BLENDMODE_NONE);
}

TEST_F(DrawTest, NullTextureWithTransformFailsWithoutDrawing) {
    capture();
    const LayerTransform t = layerTransform();
    ScopedDrawSlot slot(activeLayerTransform, &t);
    const SDL_FRect dst{0, 0, 4, 4};
    EXPECT_FALSE(drawTexture(renderer_, nullptr, nullptr, &dst, 0, nullptr, SDL_FLIP_NONE, *submitter_));
    EXPECT_TRUE(rotatedCalls.empty());
    EXPECT_TRUE(geometryCalls.empty());
}

// The four corners of the geometry path: texture coordinates follow the flips and the source
// rectangle; positions are the destination turned by the given angle about the centre.
TEST_F(DrawTest, GeometryPathCornersFollowFlipsSourceAndAngle) {
    capture();
    SDL_Texture* tex = texture(10, 20);
    LayerTransform t = layerTransform();
    t.scaleY = 1.0000001;  // any non-uniform scale leaves the direct path; this one moves nothing visibly
    ScopedDrawSlot slot(activeLayerTransform, &t);
    struct Case {
        SDL_FlipMode flip;
        float u[4], v[4];
    };
    const Case cases[] = {
        {SDL_FLIP_NONE, {0, 1, 1, 0}, {0, 0, 1, 1}},
        {SDL_FLIP_HORIZONTAL, {1, 0, 0, 1}, {0, 0, 1, 1}},
        {SDL_FLIP_VERTICAL, {0, 1, 1, 0}, {1, 1, 0, 0}},
        {static_cast<SDL_FlipMode>(SDL_FLIP_HORIZONTAL | SDL_FLIP_VERTICAL), {1, 0, 0, 1}, {1, 1, 0, 0}},
    };
    const SDL_FRect dst{40, 10, 20, 20};
    for (const Case& c : cases) {
        geometryCalls.clear();
        EXPECT_TRUE(drawTexture(renderer_, tex, nullptr, &dst, 0, nullptr, c.flip, *submitter_));
        ASSERT_EQ(geometryCalls.size(), 1u);
        const auto& v = geometryCalls[0].vertices;
        ASSERT_EQ(v.size(), 4u);
        for (int i = 0; i < 4; ++i) {
            EXPECT_FLOAT_EQ(v[i].tex_coord.x, c.u[i]) << "flip " << c.flip << " corner " << i;
            EXPECT_FLOAT_EQ(v[i].tex_coord.y, c.v[i]) << "flip " << c.flip << " corner " << i;
        }
        EXPECT_EQ(geometryCalls[0].indices, (std::vector<int>{0, 1, 2, 0, 2, 3}));
    }

    // A source rectangle maps into the texture's unit square; a quarter turn about the
    // destination's centre moves the first corner from top left to top right.
    geometryCalls.clear();
    const SDL_FRect src{5, 10, 5, 5};
    EXPECT_TRUE(drawTexture(renderer_, tex, &src, &dst, 90, nullptr, SDL_FLIP_NONE, *submitter_));
    ASSERT_EQ(geometryCalls.size(), 1u);
    const auto& v = geometryCalls[0].vertices;
    EXPECT_FLOAT_EQ(v[0].tex_coord.x, 0.5f);
    EXPECT_FLOAT_EQ(v[0].tex_coord.y, 0.5f);
    EXPECT_FLOAT_EQ(v[2].tex_coord.x, 1.0f);
    EXPECT_FLOAT_EQ(v[2].tex_coord.y, 0.75f);
    EXPECT_NEAR(v[0].position.x, 60, 1e-3);
    EXPECT_NEAR(v[0].position.y, 10, 1e-3);
    EXPECT_NEAR(v[1].position.x, 60, 1e-3);
    EXPECT_NEAR(v[1].position.y, 30, 1e-3);
}

// ---------------------------------------------------------------- reveal clip

TEST_F(DrawTest, RevealRectanglesClipTheLayer) {
    capture();
    struct Case {
        int kind;
        const char* direction;
        double progress;
        Bounds want;  // of the 100 x 40 layer centred on (50, 20)
    };
    const Case cases[] = {
        {reveal::wipe, "right", 0.25, {75, 100, 0, 40}},
        {reveal::wipe, "left", 0.25, {0, 25, 0, 40}},
        {reveal::wipe, "up", 0.5, {0, 100, 0, 20}},
        {reveal::wipe, "down", 0.25, {0, 100, 30, 40}},
        {reveal::split, "left", 0.5, {25, 75, 0, 40}},
        {reveal::split, "down", 0.5, {0, 100, 10, 30}},
        {reveal::split, "up", 0.1, {0, 100, 18, 22}},
    };
    for (const Case& c : cases) {
        geometryCalls.clear();
        LayerTransform t = layerTransform();
        t.revealKind = c.kind;
        t.direction = c.direction;
        t.reveal = c.progress;
        auto vertices = quad(0, 0, 100, 40);
        EXPECT_TRUE(renderTextureGeometry(renderer_, nullptr, vertices, t, nullptr, *submitter_));
        ASSERT_EQ(geometryCalls.size(), 1u);
        const Bounds b = bounds(geometryCalls[0].vertices);
        const std::string name = std::to_string(c.kind) + " " + c.direction;
        EXPECT_NEAR(b.minX, c.want.minX, 1e-3) << name;
        EXPECT_NEAR(b.maxX, c.want.maxX, 1e-3) << name;
        EXPECT_NEAR(b.minY, c.want.minY, 1e-3) << name;
        EXPECT_NEAR(b.maxY, c.want.maxY, 1e-3) << name;
    }
}

TEST_F(DrawTest, ClippedVerticesInterpolateTextureCoordinatesAndColour) {
    capture();
    LayerTransform t = layerTransform();
    t.revealKind = reveal::wipe;
    t.direction = "right";
    t.reveal = 0.25;
    auto vertices = quad(0, 0, 100, 40);
    vertices[0].color = vertices[3].color = {0, 0, 0, 0};  // colour runs from 0 on the left to 1 on the right
    EXPECT_TRUE(renderTextureGeometry(renderer_, nullptr, vertices, t, nullptr, *submitter_));
    ASSERT_EQ(geometryCalls.size(), 1u);
    const auto& out = geometryCalls[0].vertices;
    ASSERT_EQ(out.size(), 4u);
    for (const SDL_Vertex& v : out) {
        const float fraction = v.position.x / 100.0f;
        EXPECT_NEAR(v.tex_coord.x, fraction, 1e-5);
        EXPECT_NEAR(v.color.a, fraction, 1e-5);
        EXPECT_GE(v.tex_coord.x, 0.75f - 1e-5f);
    }
    EXPECT_EQ(geometryCalls[0].indices, (std::vector<int>{0, 1, 2, 0, 2, 3}));
}

TEST_F(DrawTest, CircleRevealIsA96SidedPolygonAroundThePivot) {
    capture();
    LayerTransform t;
    t.pivotX = 960;
    t.pivotY = 540;
    t.layerWidth = 1920;
    t.layerHeight = 1080;
    t.revealKind = reveal::circle;
    t.reveal = 0.5;
    // Larger than the circle, so the clip shows the whole polygon (on the 1080-high layer
    // itself its top and bottom would be cut off).
    auto vertices = quad(-1000, -1000, 3000, 2000);
    EXPECT_TRUE(renderTextureGeometry(renderer_, nullptr, vertices, t, nullptr, *submitter_));
    ASSERT_EQ(geometryCalls.size(), 1u);
    const auto& out = geometryCalls[0].vertices;
    ASSERT_EQ(out.size(), 96u);
    const double radius = std::hypot(1920.0, 1080.0) / 4.0;  // about 550.7
    for (const SDL_Vertex& v : out) {
        EXPECT_NEAR(std::hypot(v.position.x - 960.0, v.position.y - 540.0), radius, 0.05);
    }
    // A fan of n - 2 triangles, all anchored at the first vertex.
    const auto& indices = geometryCalls[0].indices;
    ASSERT_EQ(indices.size(), 3u * 94u);
    for (std::size_t i = 0; i < indices.size(); i += 3) {
        EXPECT_EQ(indices[i], 0);
        EXPECT_EQ(indices[i + 1], static_cast<int>(i / 3 + 1));
        EXPECT_EQ(indices[i + 2], static_cast<int>(i / 3 + 2));
    }
}

TEST_F(DrawTest, DrawsThatCoverNothingSucceedWithoutSubmitting) {
    capture();
    struct Case {
        const char* name;
        LayerTransform t;
    };
    auto make = [](auto edit) {
        LayerTransform t = layerTransform();
        edit(t);
        return t;
    };
    const Case cases[] = {
        {"reveal at 0", make([](LayerTransform& t) { t.revealKind = reveal::wipe, t.reveal = 0; })},
        {"reveal below 0", make([](LayerTransform& t) { t.revealKind = reveal::circle, t.reveal = -1; })},
        {"reveal not a number", make([](LayerTransform& t) { t.revealKind = reveal::split, t.reveal = kNaN; })},
        {"no scale along", make([](LayerTransform& t) { t.scaleX = 0; })},
        {"no scale across", make([](LayerTransform& t) { t.scaleY = -0.000001; })},
        {"clip misses the polygon",
         make([](LayerTransform& t) { t.revealKind = reveal::wipe, t.direction = "left", t.reveal = 0.1; })},
    };
    for (const Case& c : cases) {
        geometryCalls.clear();
        auto vertices = quad(60, 0, 100, 40);  // right part only: the 10 % left wipe misses it
        EXPECT_TRUE(renderTextureGeometry(renderer_, nullptr, vertices, c.t, nullptr, *submitter_)) << c.name;
        EXPECT_TRUE(geometryCalls.empty()) << c.name;
    }
    // drawTexture reports the same draw as a success.
    SDL_Texture* tex = texture(4, 4);
    const LayerTransform t = cases[0].t;
    ScopedDrawSlot slot(activeLayerTransform, &t);
    const SDL_FRect dst{0, 0, 100, 40};
    EXPECT_TRUE(drawTexture(renderer_, tex, nullptr, &dst, 0, nullptr, SDL_FLIP_NONE, *submitter_));
    EXPECT_TRUE(geometryCalls.empty());
    EXPECT_TRUE(rotatedCalls.empty());
}

TEST_F(DrawTest, CallerTrianglesAreClippedOneByOne) {
    capture();
    // Two separate triangles of a mesh, one left and one right of the wipe's edge at x = 50;
    // read as one polygon they would give a different shape.
    std::vector<SDL_Vertex> vertices = quad(0, 0, 40, 40);
    vertices.resize(3);
    std::vector<SDL_Vertex> right = quad(60, 0, 100, 40);
    vertices.insert(vertices.end(), right.begin() + 1, right.end());
    const std::vector<int> indices{0, 1, 2, 3, 4, 5};
    LayerTransform t = layerTransform();
    t.revealKind = reveal::wipe;
    t.direction = "right";
    t.reveal = 0.5;
    EXPECT_TRUE(renderTextureGeometry(renderer_, nullptr, vertices, t, &indices, *submitter_));
    ASSERT_EQ(geometryCalls.size(), 1u);
    const GeometryCall& call = geometryCalls[0];
    ASSERT_EQ(call.indices.size(), 3u);
    double area = 0;
    for (std::size_t i = 0; i < call.indices.size(); i += 3) {
        const SDL_FPoint a = call.vertices.at(call.indices[i]).position;
        const SDL_FPoint b = call.vertices.at(call.indices[i + 1]).position;
        const SDL_FPoint c = call.vertices.at(call.indices[i + 2]).position;
        area += std::fabs((b.x - a.x) * (c.y - a.y) - (c.x - a.x) * (b.y - a.y)) / 2.0;
    }
    EXPECT_NEAR(area, 40.0 * 40.0 / 2.0, 1e-2);  // the right triangle, whole
    EXPECT_GE(bounds(call.vertices).minX, 60.0f - 1e-4f);

    // Cut through the middle of the right triangle, the left one stays gone.
    geometryCalls.clear();
    vertices = quad(0, 0, 40, 40);
    vertices.resize(3);
    vertices.insert(vertices.end(), right.begin() + 1, right.end());
    t.reveal = 0.2;  // x >= 80
    EXPECT_TRUE(renderTextureGeometry(renderer_, nullptr, vertices, t, &indices, *submitter_));
    ASSERT_EQ(geometryCalls.size(), 1u);
    EXPECT_GE(bounds(geometryCalls[0].vertices).minX, 80.0f - 1e-4f);
    for (int index : geometryCalls[0].indices) {
        EXPECT_LT(index, static_cast<int>(geometryCalls[0].vertices.size()));
    }
}

// ---------------------------------------------------------------- layer canvas mapping

class CanvasDrawTest : public DrawTest {
protected:
    void SetUp() override {
        DrawTest::SetUp();
        capture();
        canvas_.width = 50;
        canvas_.height = 40;
        // Layer width equal to reference width and a canvas as tall as the 100 x 40 output
        // put the canvas mapping at the identity, so shifts are easy to read.
        transform_ = layerTransform();
        transform_.pivotX = 0;
        transform_.pivotY = 0;
        activeCanvasPlacement = {50, 40, 0, 0};  // canvas centre at the output centre
        activeLayerCanvas = &canvas_;
    }

    bool draw(std::vector<SDL_Vertex> vertices, SDL_Texture* tex = nullptr) {
        return renderTextureGeometry(renderer_, tex, vertices, transform_, nullptr, *submitter_);
    }

    LayerCanvas canvas_;
    LayerTransform transform_;
};

TEST_F(CanvasDrawTest, IdentityStateLeavesPositionsAndCameraOffsetMoves) {
    EXPECT_TRUE(draw(quad(10, 5, 30, 25)));
    ASSERT_EQ(geometryCalls.size(), 1u);
    Bounds b = bounds(geometryCalls[0].vertices);
    EXPECT_NEAR(b.minX, 10, 1e-4);
    EXPECT_NEAR(b.maxY, 25, 1e-4);

    // Camera offset in canvas units, times the layer-to-output factor k = 2.
    transform_.layerWidth = 200;
    initThreadDrawState().offsetX = 3;
    initThreadDrawState().offsetY = -1;
    geometryCalls.clear();
    EXPECT_TRUE(draw(quad(50, 20, 50, 20)));  // the canvas centre (a degenerate quad)
    ASSERT_EQ(geometryCalls.size(), 1u);
    b = bounds(geometryCalls[0].vertices);
    EXPECT_NEAR(b.minX, 50 + 2 * 3, 1e-3);
    EXPECT_NEAR(b.minY, 20 - 2 * 1, 1e-3);

    // Under `viewport` the origin is taken off the camera offset first.
    canvas_.viewport = true;
    activeCanvasPlacement.originX = 3;
    activeCanvasPlacement.originY = -1;
    geometryCalls.clear();
    EXPECT_TRUE(draw(quad(50, 20, 50, 20)));
    b = bounds(geometryCalls[0].vertices);
    EXPECT_NEAR(b.minX, 50, 1e-3);
    EXPECT_NEAR(b.minY, 20, 1e-3);
}

TEST_F(CanvasDrawTest, StateScaleAndRotationAreAppliedAboutTheCanvasCentre) {
    // Canvas centre on the output: (50, 20) with this placement and k = 1.
    ThreadDrawState& state = initThreadDrawState();
    state.scale = 2;
    state.scaleX = 1.5;
    EXPECT_TRUE(draw(quad(40, 15, 60, 25)));
    Bounds b = bounds(geometryCalls.at(0).vertices);
    EXPECT_NEAR(b.minX, 50 - 10 * 3, 1e-3);
    EXPECT_NEAR(b.maxX, 50 + 10 * 3, 1e-3);
    EXPECT_NEAR(b.minY, 20 - 5 * 2, 1e-3);
    EXPECT_NEAR(b.maxY, 20 + 5 * 2, 1e-3);

    state = ThreadDrawState{};
    state.rotation = 90;
    geometryCalls.clear();
    EXPECT_TRUE(draw(quad(40, 15, 60, 25)));
    b = bounds(geometryCalls.at(0).vertices);
    EXPECT_NEAR(b.minX, 45, 1e-3);
    EXPECT_NEAR(b.maxX, 55, 1e-3);
    EXPECT_NEAR(b.minY, 10, 1e-3);
    EXPECT_NEAR(b.maxY, 30, 1e-3);

    // A state that scales to nothing draws nothing and is no failure.
    state = ThreadDrawState{};
    state.scaleY = 0;
    geometryCalls.clear();
    EXPECT_TRUE(draw(quad(40, 15, 60, 25)));
    EXPECT_TRUE(geometryCalls.empty());
}

TEST_F(CanvasDrawTest, StateOpacityFadesAlphaOrAllChannelsWhenPremultiplied) {
    initThreadDrawState().opacity = 0.5;
    struct Case {
        const char* name;
        SDL_BlendMode blend;  // INVALID: no texture
        float wantRed;
    };
    const Case cases[] = {
        {"no texture counts as blended", SDL_BLENDMODE_INVALID, 1.0f},
        {"blended", SDL_BLENDMODE_BLEND, 1.0f},
        {"premultiplied", SDL_BLENDMODE_BLEND_PREMULTIPLIED, 0.5f},
    };
    for (const Case& c : cases) {
        geometryCalls.clear();
        SDL_Texture* tex = nullptr;
        if (c.blend != SDL_BLENDMODE_INVALID) {
            tex = texture(2, 2);
            SDL_SetTextureBlendMode(tex, c.blend);
        }
        EXPECT_TRUE(draw(quad(0, 0, 10, 10), tex)) << c.name;
        ASSERT_EQ(geometryCalls.size(), 1u) << c.name;
        for (const SDL_Vertex& v : geometryCalls[0].vertices) {
            EXPECT_FLOAT_EQ(v.color.a, 0.5f) << c.name;
            EXPECT_FLOAT_EQ(v.color.r, c.wantRed) << c.name;
        }
    }
    // Opacity beyond 1 keeps the vertex colour inside 0..1.
    initThreadDrawState().opacity = 3;
    geometryCalls.clear();
    EXPECT_TRUE(draw(quad(0, 0, 10, 10)));
    EXPECT_FLOAT_EQ(geometryCalls.at(0).vertices[0].color.a, 1.0f);
}

TEST_F(CanvasDrawTest, WrapCopiesCoverTheOutput) {
    struct Case {
        const char* name;
        bool wrapX, wrapY;
        float x0, x1;
        std::vector<SDL_FPoint> wantShifts;  // vertical index outer, horizontal inner
    };
    const std::vector<Case> cases = {
        // Period 50 across a 100-wide output: copies at -50, 0, 50, 100 (indices -1 to 2).
        {"horizontal", true, false, 0, 50, {{-50, 0}, {0, 0}, {50, 0}, {100, 0}}},
        // A narrow piece in the middle still needs neighbours at both sides.
        {"horizontal narrow", true, false, 20, 30, {{-50, 0}, {0, 0}, {50, 0}, {100, 0}}},
        // Period 40 down a 40-high output, piece spanning it: indices -1 to 1.
        {"vertical", false, true, 0, 50, {{0, -40}, {0, 0}, {0, 40}}},
        {"both", true, true, 0, 50, {{-50, -40}, {0, -40}, {50, -40}, {100, -40}, {-50, 0}, {0, 0}, {50, 0},
                                     {100, 0}, {-50, 40}, {0, 40}, {50, 40}, {100, 40}}},
    };
    for (const Case& c : cases) {
        geometryCalls.clear();
        canvas_.wrapX = c.wrapX;
        canvas_.wrapY = c.wrapY;
        EXPECT_TRUE(draw(quad(c.x0, 0, c.x1, 40))) << c.name;
        ASSERT_EQ(geometryCalls.size(), c.wantShifts.size()) << c.name;
        for (std::size_t i = 0; i < c.wantShifts.size(); ++i) {
            EXPECT_NEAR(geometryCalls[i].vertices[0].position.x, c.x0 + c.wantShifts[i].x, 1e-3) << c.name << " " << i;
            EXPECT_NEAR(geometryCalls[i].vertices[0].position.y, c.wantShifts[i].y, 1e-3) << c.name << " " << i;
            EXPECT_EQ(geometryCalls[i].indices, (std::vector<int>{0, 1, 2, 0, 2, 3}));
        }
    }
}

TEST_F(CanvasDrawTest, AFailingCopyFailsTheDrawButTheOthersAreStillDrawn) {
    canvas_.wrapX = true;
    failGeometry = true;
    EXPECT_FALSE(draw(quad(0, 0, 50, 40)));
    EXPECT_EQ(geometryCalls.size(), 4u);
}

// Mappings that cannot be worked out fail with nothing drawn instead of converting infinities.
TEST_F(CanvasDrawTest, UnusableScaleOrPeriodFailsWithNothingDrawn) {
    struct Case {
        const char* name;
        double layerWidth, referenceWidth, canvasWidth, canvasHeight;
        bool wrapX, wrapY;
        double stateScaleX;
    };
    const Case cases[] = {
        {"reference width 0", 100, 0, 50, 40, false, false, 1},
        {"reference width not a number", 100, kNaN, 50, 40, false, false, 1},
        {"layer width 0", 0, 100, 50, 40, false, false, 1},
        {"layer width infinite", kInf, 100, 50, 40, true, false, 1},
        {"wrap period 0", 100, 100, 0, 40, true, false, 1},
        {"wrap period not a number", 100, 100, 50, kNaN, false, true, 1},
        {"wrap period infinite", 100, 100, kInf, 40, true, false, 1},
        {"negative wrap period", 100, 100, -50, 40, true, false, 1},
        {"infinite state scale", 100, 100, 50, 40, true, false, kInf},
        {"too many horizontal steps", 100, 100, 0.1, 40, true, false, 1},
        {"too many copies in all", 100, 100, 1.5, 0.6, true, true, 1},
    };
    for (const Case& c : cases) {
        geometryCalls.clear();
        transform_.layerWidth = c.layerWidth;
        transform_.referenceWidth = c.referenceWidth;
        canvas_.width = c.canvasWidth;
        canvas_.height = c.canvasHeight;
        canvas_.wrapX = c.wrapX;
        canvas_.wrapY = c.wrapY;
        initThreadDrawState().scaleX = c.stateScaleX;
        SDL_ClearError();
        EXPECT_FALSE(draw(quad(0, 0, 50, 40))) << c.name;
        EXPECT_TRUE(geometryCalls.empty()) << c.name;
        EXPECT_STRNE(SDL_GetError(), "") << c.name;
    }

    // A camera offset so far out that the copy indices no longer fit an int, with only a few
    // copies needed (the piece collapses to one float position out there).
    transform_ = layerTransform();
    transform_.pivotX = 0;
    transform_.pivotY = 0;
    canvas_.width = 50;
    canvas_.height = 40;
    for (const auto& [wrapX, wrapY] : {std::pair{true, false}, std::pair{false, true}}) {
        geometryCalls.clear();
        initThreadDrawState() = ThreadDrawState{};
        initThreadDrawState().offsetX = wrapX ? 1e12 : 0.0;
        initThreadDrawState().offsetY = wrapY ? -1e12 : 0.0;
        canvas_.wrapX = wrapX;
        canvas_.wrapY = wrapY;
        EXPECT_FALSE(draw(quad(0, 0, 50, 40))) << wrapX << wrapY;
        EXPECT_TRUE(geometryCalls.empty()) << wrapX << wrapY;
    }
}

// ---------------------------------------------------------------- rendered

TEST_F(DrawTest, RightWipeAtAQuarterShowsOnlyTheRightQuarter) {
    SDL_Texture* tex = texture(10, 10);
    LayerTransform t = layerTransform();
    t.revealKind = reveal::wipe;
    t.direction = "right";
    t.reveal = 0.25;
    ScopedDrawSlot slot(activeLayerTransform, &t);
    const SDL_FRect dst{0, 0, 100, 40};
    ASSERT_TRUE(drawTexture(renderer_, tex, nullptr, &dst, 0, nullptr, SDL_FLIP_NONE, *submitter_)) << SDL_GetError();
    for (int y : {2, 20, 37}) {
        EXPECT_EQ(pixel(10, y).r, 0);
        EXPECT_EQ(pixel(50, y).r, 0);
        EXPECT_EQ(pixel(73, y).r, 0);
        EXPECT_EQ(pixel(77, y).r, 255);
        EXPECT_EQ(pixel(98, y).r, 255);
    }
}

TEST_F(DrawTest, HalfOpacityHalvesTheDrawnAlpha) {
    SDL_Texture* tex = texture(10, 10);
    SDL_SetTextureBlendMode(tex, SDL_BLENDMODE_NONE);
    LayerTransform t = layerTransform();
    t.opacity = 0.5;
    {
        ScopedDrawSlot slot(activeLayerTransform, &t);
        const SDL_FRect dst{0, 0, 100, 40};
        ASSERT_TRUE(drawTexture(renderer_, tex, nullptr, &dst, 0, nullptr, SDL_FLIP_NONE, *submitter_)) << SDL_GetError();
    }
    EXPECT_NEAR(pixel(50, 20).r, 128, 1);
    // Afterwards the same texture draws opaque again.
    const SDL_FRect dst{0, 0, 100, 40};
    ASSERT_TRUE(drawTexture(renderer_, tex, nullptr, &dst, 0, nullptr, SDL_FLIP_NONE, *submitter_));
    EXPECT_EQ(pixel(50, 20).r, 255);
}

TEST_F(DrawTest, FlippedGeometryDrawMirrorsTheTexture) {
    SDL_Texture* tex = texture(2, 1, {255, 0, 0, 255}, {0, 0, 255, 255});
    SDL_SetTextureScaleMode(tex, SDL_SCALEMODE_NEAREST);
    LayerTransform t = layerTransform();
    t.scaleY = 0.5;  // non-uniform: geometry path
    ScopedDrawSlot slot(activeLayerTransform, &t);
    const SDL_FRect dst{0, 0, 100, 40};
    ASSERT_TRUE(drawTexture(renderer_, tex, nullptr, &dst, 0, nullptr, SDL_FLIP_HORIZONTAL, *submitter_)) << SDL_GetError();
    const SDL_Color left = pixel(20, 20);
    const SDL_Color right = pixel(80, 20);
    EXPECT_EQ(left.b, 255);
    EXPECT_EQ(left.r, 0);
    EXPECT_EQ(right.r, 255);
    EXPECT_EQ(right.b, 0);
    // Squeezed to half height about the pivot row 20.
    EXPECT_EQ(pixel(20, 5).b, 0);
    EXPECT_EQ(pixel(20, 34).b, 0);
}

TEST_F(DrawTest, NullTextureFillsWithTheVertexColourUnderACanvas) {
    LayerCanvas canvas{50, 40, false, false, false};
    activeCanvasPlacement = {50, 40, 0, 0};
    ScopedDrawSlot canvasSlot(activeLayerCanvas, &canvas);
    LayerTransform t = layerTransform();
    t.pivotX = 0;
    t.pivotY = 0;
    auto vertices = quad(0, 0, 100, 40);
    for (SDL_Vertex& v : vertices) v.color = {0, 1, 0, 1};
    ASSERT_TRUE(renderTextureGeometry(renderer_, nullptr, vertices, t, nullptr, *submitter_)) << SDL_GetError();
    EXPECT_EQ(pixel(50, 20).g, 255);
}

// ---------------------------------------------------------------- the context itself

TEST(DrawContext, SlotsComeBackWhenTheDrawThrows) {
    LayerTransform outer;
    LayerTransform inner;
    activeLayerTransform = &outer;
    try {
        ScopedDrawSlot slot(activeLayerTransform, &inner);
        EXPECT_EQ(activeLayerTransform, &inner);
        throw std::runtime_error("draw failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(activeLayerTransform, &outer);
    activeLayerTransform = nullptr;

    ThreadDrawState& state = initThreadDrawState();
    {
        ThreadDrawState moved;
        moved.offsetX = 7;
        moved.alignment = "right";
        ScopedDrawSlot whole(state, moved);
        EXPECT_EQ(state.offsetX, 7);
    }
    EXPECT_TRUE(state.isIdentity());
    EXPECT_EQ(state.alignment, "left");
}

TEST(DrawContext, EveryThreadHasItsOwnStateAndSlots) {
    ThreadDrawState& mine = initThreadDrawState();
    mine.opacity = 0.25;
    const LayerTransform t;
    activeLayerTransform = &t;
    ThreadDrawState seen;
    const LayerTransform* seenTransform = &t;
    ThreadDrawState* seenAddress = nullptr;
    std::thread other([&] {
        seenTransform = activeLayerTransform;
        seenAddress = &initThreadDrawState();
        seen = initThreadDrawState();
    });
    other.join();
    EXPECT_EQ(seenTransform, nullptr);
    EXPECT_NE(seenAddress, &mine);
    EXPECT_TRUE(seen.isIdentity());
    EXPECT_EQ(seen.tint, 1.0);
    EXPECT_EQ(seen.alignment, "left");
    EXPECT_EQ(&initThreadDrawState(), &mine);  // later calls keep the same record
    EXPECT_EQ(mine.opacity, 0.25);
    mine = ThreadDrawState{};
    activeLayerTransform = nullptr;
}

}  // namespace
}  // namespace lumetta
