#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/process_state.h"
#include "display/display.h"
#include "display/draw.h"
#include "objects/ellipse.h"
#include "objects/rectangle.h"
#include "objects/star.h"
#include "objects/triangle.h"

namespace lumetta {
namespace {

constexpr SDL_Color kRed{255, 0, 0, 255};
constexpr SDL_Color kBlue{0, 0, 255, 255};
constexpr SDL_Color kClear{255, 0, 0, 0};
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Sets the display rotation for one test and puts the old value back.
class RotationOverride {
public:
    explicit RotationOverride(int degrees) : saved_(displayRotation.load()) { displayRotation = degrees; }
    ~RotationOverride() { displayRotation = saved_; }

private:
    int saved_;
};

// Hands draws to SDL, or fails them like a lost device while `failing` is set.
class FailingSubmitter final : public DrawSubmitter {
public:
    bool failing = false;

    bool renderGeometry(SDL_Renderer* renderer, SDL_Texture* texture, const SDL_Vertex* vertices, int vertexCount,
                        const int* indices, int indexCount) override {
        return failed() ? false
                        : sdlDrawSubmitter().renderGeometry(renderer, texture, vertices, vertexCount, indices,
                                                            indexCount);
    }
    bool renderTextureRotated(SDL_Renderer* renderer, SDL_Texture* texture, const SDL_FRect* source,
                              const SDL_FRect* destination, double angle, const SDL_FPoint* center,
                              SDL_FlipMode flip) override {
        return failed() ? false
                        : sdlDrawSubmitter().renderTextureRotated(renderer, texture, source, destination, angle,
                                                                  center, flip);
    }

private:
    bool failed() const {
        if (failing) SDL_SetError("no luck");
        return failing;
    }
};

// A headless window of its own for each test, so draws and read-backs start from black.
class ShapeTest : public ::testing::Test {
protected:
    void open(int width, int height) {
        display_ = std::make_unique<Display>("", "shapes", -1, -1, width, height, false, std::nullopt, nullptr,
                                             submitter_);
        SDL_SetRenderDrawColor(display_->renderer(), 0, 0, 0, 255);
        SDL_RenderClear(display_->renderer());
    }
    Display* display() {
        if (!display_) {
            open(320, 240);
        }
        return display_.get();
    }
    SDL_Color pixel(int x, int y) {
        SDL_Rect area{x, y, 1, 1};
        SDL_Surface* surface = SDL_RenderReadPixels(display_->renderer(), &area);
        SDL_Color color{0, 0, 0, 0};
        if (surface != nullptr) {
            SDL_ReadSurfacePixel(surface, 0, 0, &color.r, &color.g, &color.b, &color.a);
            SDL_DestroySurface(surface);
        } else {
            ADD_FAILURE() << SDL_GetError();
        }
        return color;
    }
    bool isRed(int x, int y) {
        const SDL_Color c = pixel(x, y);
        return c.r > 200 && c.g < 40 && c.b < 40;
    }
    bool isBlack(int x, int y) {
        const SDL_Color c = pixel(x, y);
        return c.r < 10 && c.g < 10 && c.b < 10;
    }

    FailingSubmitter submitter_;  // outlives the display that draws through it
    std::unique_ptr<Display> display_;
};

// ---------------------------------------------------------------------------------------
// Refused options and surroundings: every message of every shape.

struct Refusal {
    const char* name;
    std::function<void(Display*)> build;
    bool invalidArgument;  // else std::runtime_error
    const char* message;
};

RectangleStyle styleWith(const std::function<void(RectangleStyle&)>& change) {
    RectangleStyle style;
    change(style);
    return style;
}

void rectangle(Display* d, const RectangleStyle& style, SDL_Rect box = {0, 0, 0, 0}, float opacity = 1,
               int slideWidth = 320) {
    Rectangle shape(d, slideWidth, 240, box, kRed, style, opacity);
}
void triangle(Display* d, const std::string& direction, const std::string& type, float border = 0,
              double rotation = 0, float tip = 0.5f, float opacity = 1, SDL_Rect box = {0, 0, 0, 0},
              int slideWidth = 320) {
    Triangle shape(d, slideWidth, 240, box, kRed, direction, type, kBlue, border, rotation, tip, opacity);
}
void ellipse(Display* d, const std::function<void(EllipseStyle&)>& change, float opacity = 1,
             SDL_Rect box = {0, 0, 0, 0}, int slideWidth = 320) {
    EllipseStyle style;
    change(style);
    Ellipse shape(d, slideWidth, 240, box, kRed, style, opacity);
}
void star(Display* d, int points, float height, const std::vector<float>& lengths = {}, float opacity = 1,
          SDL_Rect box = {0, 0, 0, 0}, int slideWidth = 320) {
    Star shape(d, slideWidth, 240, box, kRed, points, height, lengths, opacity);
}

TEST_F(ShapeTest, RefusalsCarryTheirShapesMessages) {
    const auto none = [](EllipseStyle&) {};
    const std::vector<Refusal> refusals = {
        // Rectangle
        {"gradient word", [](Display* d) { rectangle(d, styleWith([](auto& s) { s.gradient = "Linear"; })); }, true,
         "Invalid rectangle gradient"},
        {"gradient before numbers",
         [](Display* d) { rectangle(d, styleWith([](auto& s) { s.gradient = " none"; s.borderWidth = -1; })); }, true,
         "Invalid rectangle gradient"},
        {"negative border", [](Display* d) { rectangle(d, styleWith([](auto& s) { s.borderWidth = -1; })); }, true,
         "Rectangle widths, radii and blur must be finite and nonnegative"},
        {"NaN radius", [](Display* d) { rectangle(d, styleWith([](auto& s) { s.cornerRadius = kNaN; })); }, true,
         "Rectangle widths, radii and blur must be finite and nonnegative"},
        {"infinite blur", [](Display* d) { rectangle(d, styleWith([](auto& s) { s.blur = kInf; })); }, true,
         "Rectangle widths, radii and blur must be finite and nonnegative"},
        {"negative shadow blur", [](Display* d) { rectangle(d, styleWith([](auto& s) { s.shadowBlur = -0.5f; })); },
         true, "Rectangle widths, radii and blur must be finite and nonnegative"},
        {"negative corner radius",
         [](Display* d) {
             rectangle(d, styleWith([](auto& s) {
                           s.hasCornerRadii = true;
                           s.cornerRadius = 5;
                           s.cornerRadii[2] = -1;
                       }));
         },
         true, "Invalid rectangle corner radii"},
        {"infinite corner radius",
         [](Display* d) {
             rectangle(d, styleWith([](auto& s) {
                           s.hasCornerRadii = true;
                           s.cornerRadii[0] = kInf;
                       }));
         },
         true, "Invalid rectangle corner radii"},
        {"infinite rotation", [](Display* d) { rectangle(d, styleWith([](auto& s) { s.rotation = INFINITY; })); },
         true, "Invalid rectangle angle, shadow offset or opacity"},
        {"NaN gradient angle", [](Display* d) { rectangle(d, styleWith([](auto& s) { s.gradientAngle = NAN; })); },
         true, "Invalid rectangle angle, shadow offset or opacity"},
        {"infinite shadow offset", [](Display* d) { rectangle(d, styleWith([](auto& s) { s.shadowOffsetY = kInf; })); },
         true, "Invalid rectangle angle, shadow offset or opacity"},
        {"shadow opacity above 1", [](Display* d) { rectangle(d, styleWith([](auto& s) { s.shadowOpacity = 1.5f; })); },
         true, "Invalid rectangle angle, shadow offset or opacity"},
        {"negative shadow opacity",
         [](Display* d) { rectangle(d, styleWith([](auto& s) { s.shadowOpacity = -0.1f; })); }, true,
         "Invalid rectangle angle, shadow offset or opacity"},
        {"no display", [](Display*) { rectangle(nullptr, RectangleStyle{}); }, false, "Rectangle display is null"},
        {"no slide", [](Display* d) { rectangle(d, RectangleStyle{}, {0, 0, 0, 0}, 1, 0); }, false,
         "Rectangle logical dimensions must be greater than zero"},
        {"empty box", [](Display* d) { rectangle(d, RectangleStyle{}, {10, 0, 0, 50}); }, false,
         "Rectangle dimensions must be greater than zero"},
        {"negative box", [](Display* d) { rectangle(d, RectangleStyle{}, {0, 0, 50, -5}); }, false,
         "Rectangle dimensions must be greater than zero"},
        {"NaN opacity", [](Display* d) { rectangle(d, RectangleStyle{}, {0, 0, 0, 0}, kNaN); }, true,
         "Rectangle opacity must be finite"},
        {"huge shadow",
         [](Display* d) {
             rectangle(d, styleWith([](auto& s) {
                           s.shadow = true;
                           s.shadowBlur = 2e9f;
                       }));
         },
         true, "Rectangle shadow dimensions are too large"},
        // Triangle
        {"capitalised direction", [](Display* d) { triangle(d, "Up", "isosceles"); }, true,
         "Invalid triangle direction"},
        {"padded direction", [](Display* d) { triangle(d, "up ", "isosceles"); }, true, "Invalid triangle direction"},
        {"direction before type", [](Display* d) { triangle(d, "north", "square"); }, true,
         "Invalid triangle direction"},
        {"type word", [](Display* d) { triangle(d, "up", "Equilateral"); }, true, "Invalid triangle type"},
        {"negative triangle border", [](Display* d) { triangle(d, "up", "isosceles", -1); }, true,
         "Invalid triangle border width, rotation or tip position"},
        {"infinite triangle rotation", [](Display* d) { triangle(d, "up", "isosceles", 0, INFINITY); }, true,
         "Invalid triangle border width, rotation or tip position"},
        {"tip above 1", [](Display* d) { triangle(d, "up", "isosceles", 0, 0, 1.5f); }, true,
         "Invalid triangle border width, rotation or tip position"},
        {"negative tip", [](Display* d) { triangle(d, "up", "right-angled", 0, 0, -0.1f); }, true,
         "Invalid triangle border width, rotation or tip position"},
        {"NaN tip", [](Display* d) { triangle(d, "up", "equilateral", 0, 0, kNaN); }, true,
         "Invalid triangle border width, rotation or tip position"},
        {"triangle without display", [](Display*) { triangle(nullptr, "up", "isosceles"); }, false,
         "Triangle display is null"},
        {"triangle without slide",
         [](Display* d) { triangle(d, "up", "isosceles", 0, 0, 0.5f, 1, {0, 0, 0, 0}, -5); }, false,
         "Triangle logical dimensions must be greater than zero"},
        {"triangle empty box", [](Display* d) { triangle(d, "up", "isosceles", 0, 0, 0.5f, 1, {5, 5, 0, 0}); },
         false, "Triangle dimensions must be greater than zero"},
        {"triangle opacity", [](Display* d) { triangle(d, "up", "isosceles", 0, 0, 0.5f, -kInf); }, true,
         "Triangle opacity must be finite"},
        // Ellipse
        {"mode word", [](Display* d) { ellipse(d, [](auto& s) { s.mode = "circle"; }); }, true,
         "Invalid ellipse mode"},
        {"gradient word", [](Display* d) { ellipse(d, [](auto& s) { s.gradient = "conic"; }); }, true,
         "Invalid ellipse gradient"},
        {"zero ring width in fill mode", [](Display* d) { ellipse(d, [](auto& s) { s.ringWidth = 0; }); }, true,
         "Invalid ellipse thickness, angle or feather"},
        {"negative ellipse border", [](Display* d) { ellipse(d, [](auto& s) { s.borderWidth = -1; }); }, true,
         "Invalid ellipse thickness, angle or feather"},
        {"infinite start", [](Display* d) { ellipse(d, [](auto& s) { s.startAngle = INFINITY; }); }, true,
         "Invalid ellipse thickness, angle or feather"},
        {"NaN end", [](Display* d) { ellipse(d, [](auto& s) { s.endAngle = NAN; }); }, true,
         "Invalid ellipse thickness, angle or feather"},
        {"angle difference overflows",
         [](Display* d) {
             ellipse(d, [](auto& s) {
                 s.startAngle = -1e308;
                 s.endAngle = 1e308;
             });
         },
         true, "Invalid ellipse thickness, angle or feather"},
        {"infinite gradient angle", [](Display* d) { ellipse(d, [](auto& s) { s.gradientAngle = -INFINITY; }); },
         true, "Invalid ellipse thickness, angle or feather"},
        {"negative feather", [](Display* d) { ellipse(d, [](auto& s) { s.feather = -1; }); }, true,
         "Invalid ellipse thickness, angle or feather"},
        {"ellipse without display", [=](Display*) { ellipse(nullptr, none); }, false, "Ellipse display is null"},
        {"ellipse without slide", [=](Display* d) { ellipse(d, none, 1, {0, 0, 0, 0}, 0); }, false,
         "Ellipse logical dimensions must be greater than zero"},
        {"ellipse empty box", [=](Display* d) { ellipse(d, none, 1, {0, 1, 0, 0}); }, false,
         "Ellipse dimensions must be greater than zero"},
        {"ellipse opacity", [=](Display* d) { ellipse(d, none, kInf); }, true, "Ellipse opacity must be finite"},
        // Star
        {"two points", [](Display* d) { star(d, 2, 0.5f); }, true, "Star points must be between 3 and 128"},
        {"129 points", [](Display* d) { star(d, 129, 0.5f); }, true, "Star points must be between 3 and 128"},
        {"point height 0", [](Display* d) { star(d, 5, 0.0f); }, true,
         "Star point height must be greater than 0 and less than 1"},
        {"point height 1", [](Display* d) { star(d, 5, 1.0f); }, true,
         "Star point height must be greater than 0 and less than 1"},
        {"NaN point height", [](Display* d) { star(d, 5, kNaN); }, true,
         "Star point height must be greater than 0 and less than 1"},
        {"one length too few", [](Display* d) { star(d, 5, 0.5f, {1, 1, 1, 1}); }, true,
         "Star point lengths must contain one value per point"},
        {"zero length", [](Display* d) { star(d, 3, 0.5f, {1, 0, 1}); }, true,
         "Star point lengths must be greater than 0 and at most 1"},
        {"length above 1", [](Display* d) { star(d, 3, 0.5f, {1, 1.5f, 1}); }, true,
         "Star point lengths must be greater than 0 and at most 1"},
        {"NaN length", [](Display* d) { star(d, 3, 0.5f, {kNaN, 1, 1}); }, true,
         "Star point lengths must be greater than 0 and at most 1"},
        {"star without display", [](Display*) { star(nullptr, 5, 0.5f); }, false, "Star display is null"},
        {"star without slide", [](Display* d) { star(d, 5, 0.5f, {}, 1, {0, 0, 0, 0}, 0); }, false,
         "Star logical dimensions must be greater than zero"},
        {"star empty box", [](Display* d) { star(d, 5, 0.5f, {}, 1, {0, 0, 10, 0}); }, false,
         "Star dimensions must be greater than zero"},
        {"star opacity", [](Display* d) { star(d, 5, 0.5f, {}, kNaN); }, true, "Star opacity must be finite"},
    };
    for (const Refusal& refusal : refusals) {
        try {
            refusal.build(display());
            ADD_FAILURE() << refusal.name << ": accepted";
        } catch (const std::invalid_argument& error) {
            EXPECT_TRUE(refusal.invalidArgument) << refusal.name << ": invalid_argument " << error.what();
            EXPECT_EQ(std::string(error.what()), refusal.message) << refusal.name;
        } catch (const std::runtime_error& error) {
            EXPECT_FALSE(refusal.invalidArgument) << refusal.name << ": runtime_error " << error.what();
            EXPECT_EQ(std::string(error.what()), refusal.message) << refusal.name;
        }
    }
}

TEST_F(ShapeTest, LimitsThemselvesAreAccepted) {
    EXPECT_NO_THROW(star(display(), 3, 0.01f));
    EXPECT_NO_THROW(star(display(), 128, 0.99f, std::vector<float>(128, 1.0f)));
    EXPECT_NO_THROW(triangle(display(), "left", "isosceles", 0, -720, 1.0f));
    EXPECT_NO_THROW(triangle(display(), "right", "isosceles", 0, 0, 0.0f));
    // Per-corner radii are only checked when they are used.
    EXPECT_NO_THROW(rectangle(display(), styleWith([](auto& s) { s.cornerRadii[1] = -3; })));
    EXPECT_NO_THROW(rectangle(display(), styleWith([](auto& s) { s.shadowOpacity = 1; })));
    EXPECT_NO_THROW(ellipse(display(), [](auto& s) { s.mode = "ring"; s.ringWidth = 0.01f; }));
}

// ---------------------------------------------------------------------------------------
// Textures

SDL_Point textureSize(SDL_Texture* texture) {
    float w = 0, h = 0;
    SDL_GetTextureSize(texture, &w, &h);
    return {static_cast<int>(w), static_cast<int>(h)};
}

TEST_F(ShapeTest, PlainRectangleIsOnePixelStretched) {
    Rectangle plain(display(), 320, 240, {10, 10, 100, 50}, SDL_Color{10, 20, 30, 200}, RectangleStyle{}, 0.5f);
    ASSERT_NE(plain.textureHandle(), nullptr);
    EXPECT_EQ(textureSize(plain.textureHandle()).x, 1);
    EXPECT_EQ(textureSize(plain.textureHandle()).y, 1);
    SDL_BlendMode mode = SDL_BLENDMODE_NONE;
    SDL_GetTextureBlendMode(plain.textureHandle(), &mode);
    EXPECT_EQ(mode, SDL_BLENDMODE_BLEND);

    RectangleStyle rounded;
    rounded.cornerRadius = 4;
    Rectangle shaped(display(), 320, 240, {10, 10, 100, 50}, kRed, rounded, 1);
    EXPECT_EQ(textureSize(shaped.textureHandle()).x, 100);
    EXPECT_EQ(textureSize(shaped.textureHandle()).y, 50);
}

TEST_F(ShapeTest, ShadowWidensTheTextureByItsMargin) {
    RectangleStyle style;
    style.shadow = true;
    style.shadowBlur = 2.5f;
    style.shadowOffsetX = -3;
    style.shadowOffsetY = 1;
    Rectangle shape(display(), 320, 240, {20, 20, 60, 40}, kRed, style, 1);
    EXPECT_EQ(shape.marginPixels(), 6);  // ceil(2.5 + 3)
    EXPECT_EQ(textureSize(shape.textureHandle()).x, 72);
    EXPECT_EQ(textureSize(shape.textureHandle()).y, 52);
}

TEST_F(ShapeTest, PicturesTheRendererCannotTakeAreRefusedBeforeBeingPainted) {
    // A renderer that takes textures of at most 64 x 64 (the software one states no limit).
    SDL_PropertiesID properties = SDL_GetRendererProperties(display()->renderer());
    ASSERT_TRUE(SDL_SetNumberProperty(properties, SDL_PROP_RENDERER_MAX_TEXTURE_SIZE_NUMBER, 64));
    struct Case {
        int width, height;
        bool fits;
    };
    const Case cases[] = {{64, 64, true}, {65, 10, false}, {10, 65, false}, {1 << 30, 1 << 30, false}};
    for (const Case& c : cases) {
        bool painted = false;
        try {
            TextureHandle texture = makeShapeTexture(display()->renderer(), c.width, c.height,
                                                     [&](const PixelRows&) { painted = true; });
            EXPECT_TRUE(c.fits) << c.width << " x " << c.height;
            EXPECT_NE(texture.get(), nullptr);
        } catch (const std::runtime_error& error) {
            EXPECT_FALSE(c.fits) << c.width << " x " << c.height << ": " << error.what();
            EXPECT_EQ(std::string(error.what()),
                      "SDL_CreateTextureFromSurface failed: Texture dimensions are limited to 64x64");
        }
        EXPECT_EQ(painted, c.fits) << c.width << " x " << c.height;
    }
    RectangleStyle style;
    style.shadow = true;  // a margin of 12 makes 60 x 60 into 84 x 84
    EXPECT_THROW(Rectangle(display(), 320, 240, {0, 0, 60, 60}, kRed, style, 1), std::runtime_error);
    SDL_SetNumberProperty(properties, SDL_PROP_RENDERER_MAX_TEXTURE_SIZE_NUMBER, 0);
}

TEST_F(ShapeTest, InvisibleShapesHaveNoTextureAndDrawNothingQuietly) {
    std::vector<std::function<bool()>> draws;
    Rectangle rectangleShape(display(), 320, 240, {0, 0, 0, 0}, kRed, RectangleStyle{}, 0.001f);
    Triangle triangleShape(display(), 320, 240, {0, 0, 0, 0}, kClear, "up", "isosceles", kBlue, 0, 0, 0.5f, 1);
    EllipseStyle ellipseStyle;
    ellipseStyle.borderWidth = 3;
    ellipseStyle.borderColor = kClear;
    ellipseStyle.gradient = "linear";
    ellipseStyle.gradientColor = kClear;
    Ellipse ellipseShape(display(), 320, 240, {0, 0, 0, 0}, kClear, ellipseStyle, 1);
    Star starShape(display(), 320, 240, {0, 0, 0, 0}, kRed, 5, 0.5f, {}, -1);
    EXPECT_EQ(rectangleShape.textureHandle(), nullptr);
    EXPECT_EQ(triangleShape.textureHandle(), nullptr);
    EXPECT_EQ(ellipseShape.textureHandle(), nullptr);
    EXPECT_EQ(starShape.textureHandle(), nullptr);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(rectangleShape.draw(0, 0));
    EXPECT_FALSE(triangleShape.draw(0, 0));
    EXPECT_FALSE(ellipseShape.draw(0, 0));
    EXPECT_FALSE(starShape.draw(0, 0));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");

    // A border alone keeps a triangle visible.
    Triangle bordered(display(), 320, 240, {0, 0, 0, 0}, kClear, "up", "isosceles", kBlue, 2, 0, 0.5f, 1);
    EXPECT_NE(bordered.textureHandle(), nullptr);
}

// ---------------------------------------------------------------------------------------
// Drawing

TEST_F(ShapeTest, AllZeroBoxCoversTheWholeSlide) {
    open(160, 120);
    Rectangle whole(display(), 320, 240, {0, 0, 0, 0}, kRed, RectangleStyle{}, 1);
    const SDL_Rect box = whole.box();
    EXPECT_EQ(box.x, 0);
    EXPECT_EQ(box.y, 0);
    EXPECT_EQ(box.w, 320);
    EXPECT_EQ(box.h, 240);
    ASSERT_TRUE(whole.draw(0, 0));
    EXPECT_TRUE(isRed(0, 0));
    EXPECT_TRUE(isRed(159, 119));
}

TEST_F(ShapeTest, RectangleLandsOnItsBoxMovedByTheOffsets) {
    open(320, 240);
    RectangleStyle style;
    style.cornerRadius = 2;
    Rectangle shape(display(), 320, 240, {40, 60, 50, 30}, kRed, style, 1);
    ASSERT_TRUE(shape.draw(10, -20));
    EXPECT_TRUE(isRed(75, 55));
    EXPECT_TRUE(isRed(52, 42));
    EXPECT_TRUE(isBlack(45, 55));   // the box without its offset
    EXPECT_TRUE(isBlack(75, 75));
}

TEST_F(ShapeTest, DrawScalesTheSlideIntoTheOutput) {
    open(160, 120);  // half the slide size
    Rectangle shape(display(), 320, 240, {160, 120, 160, 120}, kRed, RectangleStyle{}, 1);
    ASSERT_TRUE(shape.draw(0, 0));
    EXPECT_TRUE(isRed(120, 90));
    EXPECT_TRUE(isRed(82, 62));
    EXPECT_TRUE(isBlack(77, 57));
}

TEST_F(ShapeTest, ShadowDrawsAroundTheBoxWhichStaysInPlace) {
    open(320, 240);
    RectangleStyle style;
    style.shadow = true;
    style.shadowColor = kBlue;
    style.shadowOpacity = 1;
    style.shadowBlur = 0;
    style.shadowOffsetX = 10;
    style.shadowOffsetY = 10;
    Rectangle shape(display(), 320, 240, {100, 100, 40, 40}, kRed, style, 1);
    ASSERT_TRUE(shape.draw(0, 0));
    EXPECT_TRUE(isRed(101, 101));
    EXPECT_TRUE(isRed(138, 138));
    const SDL_Color shadow = pixel(145, 145);
    EXPECT_GT(shadow.b, 200);
    EXPECT_LT(shadow.r, 40);
    EXPECT_TRUE(isBlack(97, 120));
}

TEST_F(ShapeTest, TopLeftBoxLandsTopRightOnAPortraitScreenTurnedClockwise) {
    open(240, 320);
    const RotationOverride rotation(-90);
    RectangleStyle style;
    style.gradient = "linear";  // red on its left side, blue on its right
    style.gradientColor = kBlue;
    Rectangle shape(display(), 320, 240, {0, 0, 80, 60}, kRed, style, 1);
    ASSERT_TRUE(shape.draw(0, 0));
    // The box covers x 180..240, y 0..80 after the quarter turn.
    const SDL_Color top = pixel(210, 3);
    const SDL_Color bottom = pixel(210, 76);
    EXPECT_GT(top.r, 200);
    EXPECT_LT(top.b, 40);
    EXPECT_GT(bottom.b, 200);
    EXPECT_LT(bottom.r, 40);
    EXPECT_TRUE(isBlack(175, 40));
    EXPECT_TRUE(isBlack(210, 85));
    EXPECT_TRUE(isBlack(20, 20));
}

TEST_F(ShapeTest, OnlyRectangleAndTriangleTurnWithTheirOwnRotation) {
    open(320, 240);
    // Pointing up, turned half a turn: the tip ends at the bottom.
    Triangle turned(display(), 320, 240, {100, 100, 60, 60}, kRed, "up", "isosceles", kBlue, 0, 180, 0.5f, 1);
    ASSERT_TRUE(turned.draw(0, 0));
    EXPECT_TRUE(isRed(130, 157));
    EXPECT_TRUE(isBlack(102, 157));
    EXPECT_TRUE(isRed(102, 102));

    RectangleStyle style;
    style.rotation = 405;  // 45 degrees
    Rectangle diamond(display(), 320, 240, {200, 100, 60, 60}, kRed, style, 1);
    ASSERT_TRUE(diamond.draw(0, 0));
    EXPECT_TRUE(isBlack(202, 102));  // a corner of the unturned square
    EXPECT_TRUE(isRed(230, 92));     // the turned square's top corner reaches above the box
}

TEST_F(ShapeTest, EllipseAndStarDrawInTheirBox) {
    open(320, 240);
    EllipseStyle pie;
    pie.mode = "pie";
    pie.startAngle = 0;
    pie.endAngle = 90;
    Ellipse quarter(display(), 320, 240, {0, 0, 100, 100}, kRed, pie, 1);
    ASSERT_TRUE(quarter.draw(0, 0));
    EXPECT_TRUE(isRed(75, 25));
    EXPECT_TRUE(isBlack(25, 25));
    EXPECT_TRUE(isBlack(75, 75));

    Star five(display(), 320, 240, {200, 100, 100, 100}, kRed, 5, 0.5f, {}, 1);
    ASSERT_TRUE(five.draw(0, 0));
    EXPECT_TRUE(isRed(250, 150));
    EXPECT_TRUE(isRed(250, 106));    // the first point, straight up
    EXPECT_TRUE(isBlack(250, 196));  // a notch straight down
}

TEST_F(ShapeTest, ExtremeOffsetsDrawOffScreenWithoutHarm) {
    open(320, 240);
    Rectangle shape(display(), 320, 240, {INT_MAX - 10, INT_MIN + 10, 1000, 1000}, kRed, RectangleStyle{}, 1);
    EXPECT_TRUE(shape.draw(INT_MAX, INT_MIN));  // far beyond the right and top edges
    EXPECT_TRUE(isBlack(160, 120));
    EXPECT_TRUE(isBlack(2, 2));
    // Position and offset cancel out: the box starts just left of and below the top-left corner.
    EXPECT_TRUE(shape.draw(INT_MIN, INT_MAX));
    EXPECT_TRUE(isBlack(5, 5));
    EXPECT_TRUE(isRed(5, 15));
    EXPECT_TRUE(isRed(160, 120));
}

TEST_F(ShapeTest, FailedDrawIsLoggedWithTheShapePrefixAndOnlyThatFrameIsLost) {
    open(320, 240);
    Rectangle rectangleShape(display(), 320, 240, {10, 10, 20, 20}, kRed, RectangleStyle{}, 1);
    Star starShape(display(), 320, 240, {40, 10, 20, 20}, kRed, 5, 0.5f, {}, 1);
    submitter_.failing = true;
    ::testing::internal::CaptureStderr();
    const bool drewRectangle = rectangleShape.draw(0, 0);
    const bool drewStar = starShape.draw(0, 0);
    const std::string log = ::testing::internal::GetCapturedStderr();
    submitter_.failing = false;
    EXPECT_FALSE(drewRectangle);
    EXPECT_FALSE(drewStar);
    EXPECT_NE(log.find("Rectangle Draw Exception: "), std::string::npos) << log;
    EXPECT_NE(log.find("Star Draw Exception: "), std::string::npos) << log;
    EXPECT_NE(log.find("SDL_RenderTextureRotated failed: no luck"), std::string::npos) << log;
    // The next frame draws again.
    EXPECT_TRUE(rectangleShape.draw(0, 0));
    EXPECT_TRUE(isRed(20, 20));
}

}  // namespace
}  // namespace lumetta
