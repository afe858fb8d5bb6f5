#include "objects/shape_raster.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "objects/picture.h"
#include "objects/row_bands.h"

namespace lumetta {
namespace {

using testing::Picture;
using testing::Rgba;

// The corners for the option words the cases are written in.
void placeTriangle(TriangleRaster& shape, int width, int height, std::string_view direction, std::string_view type,
                   double tipPosition) {
    lumetta::placeTriangle(shape, width, height, triangleDirectionByName(direction).value(),
                           triangleTypeByName(type).value(), tipPosition);
}

constexpr SDL_Color kRed{255, 0, 0, 255};
constexpr SDL_Color kGreen{0, 255, 0, 255};
constexpr SDL_Color kBlue{0, 0, 255, 255};
constexpr SDL_Color kWhite{255, 255, 255, 255};
constexpr SDL_Color kBlack{0, 0, 0, 255};

// ---------------------------------------------------------------------------------------
// Opacity

TEST(ShapeOpacity, MapsFractionsAndTheByteScale) {
    struct Case {
        unsigned base;
        float opacity;
        int alpha;
    };
    const Case cases[] = {
        {255, 1.0f, 255},    {255, 255.0f, 255}, {255, 0.5f, 128},  {255, 127.5f, 128},
        {255, 300.0f, 255},  {255, -1.0f, 0},    {255, 0.0f, 0},    {100, 0.5f, 50},
        {255, 1.0001f, 1},   {0, 1.0f, 0},       {255, 0.001f, 0},  {200, 255.0f, 200},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(shapeOpacityToAlpha(c.base, c.opacity, "Rectangle"), c.alpha)
            << "base " << c.base << " opacity " << c.opacity;
    }
}

TEST(ShapeOpacity, RefusesNonFiniteOpacityNamingTheShape) {
    const float bad[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                         -std::numeric_limits<float>::infinity()};
    for (const char* word : {"Rectangle", "Triangle", "Ellipse", "Star"}) {
        for (float opacity : bad) {
            try {
                shapeOpacityToAlpha(255, opacity, word);
                ADD_FAILURE() << word << " accepted " << opacity;
            } catch (const std::invalid_argument& error) {
                EXPECT_EQ(std::string(error.what()), std::string(word) + " opacity must be finite");
            }
        }
    }
}

// ---------------------------------------------------------------------------------------
// Rectangle

RectangleRaster box(int w, int h, SDL_Color color) {
    RectangleRaster shape;
    shape.width = w;
    shape.height = h;
    shape.color = color;
    return shape;
}

Picture render(const RectangleRaster& shape) {
    Picture picture(shape.width + 2 * shape.margin, shape.height + 2 * shape.margin);
    rasterizeRectangle(shape, picture.rows());
    return picture;
}

TEST(RectangleRaster, SoftEdgeRampsOverTheBlurWidth) {
    RectangleRaster shape = box(40, 40, kWhite);
    shape.blur = 4;
    const Picture picture = render(shape);
    // Sample depths 0.125 .. 0.875 (+ column) over a blur of 4, averaged over 16 samples.
    const int expected[] = {32, 96, 159, 223, 255, 255};
    for (int column = 0; column < 6; ++column) {
        EXPECT_EQ(picture.at(column, 20), (Rgba{255, 255, 255, expected[column]})) << "column " << column;
        EXPECT_EQ(picture.at(39 - column, 20), picture.at(column, 20)) << "column " << column;
    }
}

TEST(RectangleRaster, CornerRadiusIsCappedAtHalfTheShorterSide) {
    RectangleRaster stadium = box(100, 40, kRed);
    stadium.radii[0] = stadium.radii[1] = stadium.radii[2] = stadium.radii[3] = 50;
    RectangleRaster capped = stadium;
    capped.radii[0] = capped.radii[1] = capped.radii[2] = capped.radii[3] = 20;
    const Picture picture = render(stadium);
    EXPECT_EQ(picture.pixels, render(capped).pixels);
    EXPECT_EQ(picture.alpha(3, 3), 0);      // outside the round cap
    EXPECT_EQ(picture.alpha(96, 36), 0);
    EXPECT_EQ(picture.at(50, 0), (Rgba{255, 0, 0, 255}));  // straight top edge
    EXPECT_EQ(picture.at(1, 20), (Rgba{255, 0, 0, 255}));  // the middle of the cap
    EXPECT_EQ(render(box(100, 40, kRed)).alpha(3, 3), 255);
}

TEST(RectangleRaster, PerCornerRadiiRoundOnlyTheirOwnCorner) {
    RectangleRaster shape = box(60, 60, kRed);
    shape.radii[1] = 30;  // top-right only
    const Picture picture = render(shape);
    EXPECT_EQ(picture.alpha(58, 1), 0);
    EXPECT_EQ(picture.alpha(1, 1), 255);
    EXPECT_EQ(picture.alpha(58, 58), 255);
    EXPECT_EQ(picture.alpha(1, 58), 255);
}

TEST(RectangleRaster, LinearGradientRunsAlongItsAngle) {
    RectangleRaster shape = box(100, 50, kRed);
    shape.gradient = ShapeGradient::Linear;
    shape.gradientColor = kBlue;
    const Picture across = render(shape);
    EXPECT_EQ(across.at(0, 25), (Rgba{254, 0, 1, 255}));
    EXPECT_EQ(across.at(99, 25), (Rgba{1, 0, 254, 255}));
    EXPECT_EQ(across.at(0, 0), across.at(0, 49));

    shape.gradientAngle = 90;
    const Picture down = render(shape);
    EXPECT_EQ(down.at(50, 0), (Rgba{252, 0, 3, 255}));
    EXPECT_EQ(down.at(50, 49), (Rgba{3, 0, 252, 255}));
    EXPECT_EQ(down.at(0, 0), down.at(99, 0));

    shape.gradientAngle = 450;  // a full turn more is the same direction
    EXPECT_EQ(render(shape).pixels, down.pixels);
}

TEST(RectangleRaster, RadialGradientEndsInTheCorners) {
    RectangleRaster shape = box(100, 100, kRed);
    shape.gradient = ShapeGradient::Radial;
    shape.gradientColor = kBlue;
    const Picture picture = render(shape);
    EXPECT_EQ(picture.at(0, 0), (Rgba{0, 0, 255, 255}));
    EXPECT_EQ(picture.at(99, 99), (Rgba{0, 0, 255, 255}));
    const Rgba centre = picture.at(50, 50);
    EXPECT_GE(centre.r, 250);
    EXPECT_LE(centre.b, 5);
}

TEST(RectangleRaster, GradientStopsAtTheBorder) {
    RectangleRaster shape = box(60, 40, kRed);
    shape.gradient = ShapeGradient::Linear;
    shape.gradientColor = kBlue;
    shape.borderColor = kGreen;
    shape.borderWidth = 5;
    const Picture picture = render(shape);
    EXPECT_EQ(picture.at(0, 20), (Rgba{0, 255, 0, 255}));
    EXPECT_EQ(picture.at(59, 20), (Rgba{0, 255, 0, 255}));
    EXPECT_EQ(picture.at(30, 0), (Rgba{0, 255, 0, 255}));
    EXPECT_EQ(picture.at(30, 20).g, 0);
}

TEST(RectangleRaster, WideBorderFillsTheWholeShape) {
    struct Case {
        float border;
        Rgba centre;
    };
    const Case cases[] = {{20, {0, 255, 0, 255}}, {35, {0, 255, 0, 255}}, {10, {255, 0, 0, 255}}};
    for (const Case& c : cases) {
        RectangleRaster shape = box(60, 40, kRed);
        shape.borderColor = kGreen;
        shape.borderWidth = c.border;
        const Picture picture = render(shape);
        EXPECT_EQ(picture.at(30, 20), c.centre) << "border " << c.border;
        EXPECT_EQ(picture.at(0, 0), (Rgba{0, 255, 0, 255})) << "border " << c.border;
        if (c.border >= 20) {
            for (int y = 0; y < 40; ++y) {
                for (int x = 0; x < 60; ++x) {
                    ASSERT_EQ(picture.at(x, y), (Rgba{0, 255, 0, 255})) << x << "," << y;
                }
            }
        }
    }
}

TEST(RectangleRaster, TranslucentBorderKeepsItsColour) {
    RectangleRaster shape = box(40, 40, kRed);
    shape.borderColor = SDL_Color{0, 0, 255, 51};
    shape.borderWidth = 4;
    const Picture picture = render(shape);
    EXPECT_EQ(picture.at(1, 20), (Rgba{0, 0, 255, 51}));
    EXPECT_EQ(picture.at(20, 20), (Rgba{255, 0, 0, 255}));
}

TEST(RectangleRaster, ShadowLiesInTheMarginAtItsOffset) {
    RectangleRaster shape = box(40, 40, kWhite);
    shape.shadow = true;
    shape.shadowColor = kBlack;
    shape.shadowOpacity = 1;
    shape.shadowBlur = 0;
    shape.shadowOffsetX = 6;
    shape.shadowOffsetY = 0;
    shape.margin = 6;
    const Picture picture = render(shape);
    ASSERT_EQ(picture.width, 52);
    EXPECT_EQ(picture.at(26, 26), (Rgba{255, 255, 255, 255}));  // the box, over its shadow
    EXPECT_EQ(picture.at(48, 26), (Rgba{0, 0, 0, 255}));        // shadow to the right
    EXPECT_EQ(picture.at(2, 26), (Rgba{0, 0, 0, 0}));           // nothing to the left
    EXPECT_EQ(picture.at(26, 2), (Rgba{0, 0, 0, 0}));           // nor above

    shape.shadowOpacity = 0.5f;
    EXPECT_EQ(render(shape).at(48, 26), (Rgba{0, 0, 0, 128}));

    // A translucent box lets its shadow through: alpha adds up, colour mixes.
    shape.shadowOpacity = 1;
    shape.color = SDL_Color{255, 255, 255, 128};
    EXPECT_EQ(render(shape).at(26, 26), (Rgba{128, 128, 128, 255}));
}

TEST(RectangleRaster, ShadowBlurIsHalfStrengthOnTheShadowEdge) {
    RectangleRaster shape = box(40, 40, SDL_Color{0, 0, 0, 0});
    shape.shadow = true;
    shape.shadowColor = kBlack;
    shape.shadowOpacity = 1;
    shape.shadowBlur = 8;
    shape.shadowOffsetX = 0;
    shape.shadowOffsetY = 0;
    shape.margin = 8;
    const Picture picture = render(shape);
    // Columns 7 and 8 meet on the box edge; their samples mirror each other around u = 0.5.
    EXPECT_EQ(picture.alpha(7, 28) + picture.alpha(8, 28), 255);
    EXPECT_LT(picture.alpha(0, 28), 10);
    EXPECT_EQ(picture.alpha(20, 28), 255);
}

TEST(RectangleRaster, ElementOpacityScalesEveryPixel) {
    RectangleRaster shape = box(20, 20, kWhite);
    shape.blur = 1;
    shape.alpha = 128;
    const Picture picture = render(shape);
    EXPECT_EQ(picture.at(10, 10), (Rgba{255, 255, 255, 128}));
    EXPECT_EQ(picture.alpha(0, 10), 64);  // depth 0.5 on average over a blur of 1
}

// ---------------------------------------------------------------------------------------
// Triangle

TEST(TrianglePlacement, CornersFollowDirectionTypeAndTip) {
    struct Case {
        const char* direction;
        const char* type;
        int w, h;
        double tip;
        double x[3], y[3];  // tip, base end, base start
    };
    const double s = 2 * 100 / std::sqrt(3.0);  // equilateral side in a 200 x 100 box
    const double t = 100 * std::sqrt(3.0) / 2;  // its height in a 100 x 200 box
    const Case cases[] = {
        {"up", "equilateral", 200, 100, 0.9, {100, 100 + s / 2, 100 - s / 2}, {0, 100, 100}},
        {"up", "equilateral", 100, 200, 0.1, {50, 100, 0}, {100 - t / 2, 100 + t / 2, 100 + t / 2}},
        {"up", "right-angled", 100, 50, 0.7, {0, 100, 0}, {0, 50, 50}},
        {"down", "right-angled", 100, 50, 0.7, {100, 0, 100}, {50, 0, 0}},
        {"left", "right-angled", 100, 50, 0.7, {0, 100, 100}, {50, 0, 50}},
        {"right", "right-angled", 100, 50, 0.7, {100, 0, 0}, {0, 50, 0}},
        {"left", "isosceles", 100, 50, 1.0, {0, 100, 100}, {0, 0, 50}},
        {"down", "isosceles", 100, 50, 0.25, {75, 0, 100}, {50, 0, 0}},
        {"right", "isosceles", 100, 50, 0.25, {100, 0, 0}, {12.5, 50, 0}},
        {"up", "isosceles", 100, 50, 0.5, {50, 100, 0}, {0, 50, 50}},
    };
    for (const Case& c : cases) {
        TriangleRaster shape;
        placeTriangle(shape, c.w, c.h, c.direction, c.type, c.tip);
        for (int i = 0; i < 3; ++i) {
            EXPECT_NEAR(shape.x[i], c.x[i], 1e-9) << c.direction << " " << c.type << " corner " << i;
            EXPECT_NEAR(shape.y[i], c.y[i], 1e-9) << c.direction << " " << c.type << " corner " << i;
        }
    }
}

Picture render(const TriangleRaster& shape, int w, int h) {
    Picture picture(w, h);
    rasterizeTriangle(shape, picture.rows());
    return picture;
}

TEST(TriangleRaster, RightAngleSitsInTheCornerOfItsDirection) {
    struct Case {
        const char* direction;
        int fullX, fullY;    // pixel in the right-angle corner
        int emptyX, emptyY;  // pixel in the opposite corner
    };
    const Case cases[] = {
        {"up", 0, 39, 59, 0},
        {"down", 59, 0, 0, 39},
        {"left", 59, 39, 0, 0},
        {"right", 0, 0, 59, 39},
    };
    for (const Case& c : cases) {
        TriangleRaster shape;
        shape.color = kRed;
        placeTriangle(shape, 60, 40, c.direction, "right-angled", 0.5);
        const Picture picture = render(shape, 60, 40);
        EXPECT_EQ(picture.at(c.fullX, c.fullY), (Rgba{255, 0, 0, 255})) << c.direction;
        EXPECT_EQ(picture.at(c.emptyX, c.emptyY), (Rgba{0, 0, 0, 0})) << c.direction;
    }
}

TEST(TriangleRaster, EquilateralIsCentredInAWideBox) {
    TriangleRaster shape;
    shape.color = kRed;
    placeTriangle(shape, 200, 100, "up", "equilateral", 0.5);
    const Picture picture = render(shape, 200, 100);
    EXPECT_EQ(picture.alpha(100, 1), picture.alpha(99, 1));  // symmetric about the middle
    EXPECT_EQ(picture.alpha(40, 99), 0);   // left of the base start at 42.3
    EXPECT_EQ(picture.alpha(45, 99), 255);
    EXPECT_EQ(picture.alpha(154, 99), 255);
    EXPECT_EQ(picture.alpha(159, 99), 0);  // right of the base end at 157.7
    EXPECT_EQ(picture.alpha(100, 50), 255);
}

TEST(TriangleRaster, BorderBandAndSampleMixing) {
    TriangleRaster shape;
    shape.color = kRed;
    shape.borderColor = kBlue;
    placeTriangle(shape, 100, 100, "up", "isosceles", 0.5);

    shape.borderWidth = 0;
    Picture picture = render(shape, 100, 100);
    for (int y = 0; y < 100; ++y) {
        for (int x = 0; x < 100; ++x) {
            ASSERT_EQ(picture.at(x, y).b, 0) << x << "," << y;
        }
    }

    shape.borderWidth = 1000;  // wider than the inscribed circle
    picture = render(shape, 100, 100);
    for (int y = 0; y < 100; ++y) {
        for (int x = 0; x < 100; ++x) {
            ASSERT_EQ(picture.at(x, y).r, 0) << x << "," << y;
        }
    }
    EXPECT_EQ(picture.at(50, 60), (Rgba{0, 0, 255, 255}));

    // Row 90 with the band edge through the middle of the pixel: 8 fill and 8 border samples.
    shape.borderWidth = 9.5f;
    EXPECT_EQ(render(shape, 100, 100).at(50, 90), (Rgba{128, 0, 128, 255}));
    shape.fillAlpha = 100;
    EXPECT_EQ(render(shape, 100, 100).at(50, 90), (Rgba{72, 0, 183, 178}));
}

// ---------------------------------------------------------------------------------------
// Ellipse

Picture render(const EllipseRaster& shape, int w, int h) {
    Picture picture(w, h);
    rasterizeEllipse(shape, picture.rows());
    return picture;
}

EllipseRaster disc(EllipseMode mode = EllipseMode::Fill) {
    EllipseRaster shape;
    shape.mode = mode;
    shape.color = kRed;
    return shape;
}

TEST(EllipseRaster, FilledCircleHasSmoothedHardEdges) {
    const Picture picture = render(disc(), 100, 100);
    EXPECT_EQ(picture.at(50, 50), (Rgba{255, 0, 0, 255}));
    EXPECT_EQ(picture.at(0, 0), (Rgba{0, 0, 0, 0}));
    int partial = 0;  // pixels the edge crosses along the 45 degree stretch of row 14
    for (int x = 80; x < 90; ++x) {
        partial += picture.alpha(x, 14) > 0 && picture.alpha(x, 14) < 255 ? 1 : 0;
    }
    EXPECT_GT(partial, 0);
    for (int i = 0; i < 100; i += 7) {
        for (int j = 0; j < 100; j += 11) {
            ASSERT_EQ(picture.at(i, j), picture.at(99 - i, j)) << i << "," << j;
            ASSERT_EQ(picture.at(i, j), picture.at(j, i)) << i << "," << j;
        }
    }
}

TEST(EllipseRaster, RingHasAHoleUnlessItReachesTheCentre) {
    EllipseRaster ring = disc(EllipseMode::Ring);
    ring.ringWidth = 10;
    Picture picture = render(ring, 100, 100);
    EXPECT_EQ(picture.alpha(50, 50), 0);
    EXPECT_EQ(picture.alpha(50, 20), 0);
    EXPECT_EQ(picture.at(50, 5), (Rgba{255, 0, 0, 255}));
    EXPECT_EQ(picture.at(95, 50), (Rgba{255, 0, 0, 255}));

    ring.ringWidth = 60;
    picture = render(ring, 100, 100);
    EXPECT_EQ(picture.pixels, render(disc(), 100, 100).pixels);
}

TEST(EllipseRaster, SectorsRunCounterClockwiseFromTheRight) {
    struct Case {
        EllipseMode mode;
        double start, end;
        bool upperRight, upperLeft, lowerLeft, lowerRight;
    };
    const Case cases[] = {
        {EllipseMode::Pie, 0, 90, true, false, false, false},
        {EllipseMode::Pie, 90, 0, false, true, true, true},
        {EllipseMode::Pie, 90, 180, false, true, false, false},
        {EllipseMode::Pie, -90, 0, false, false, false, true},
        {EllipseMode::Pie, 180, 270, false, false, true, false},
        {EllipseMode::Pie, 0, 360, true, true, true, true},
        {EllipseMode::Pie, 10, 10, false, false, false, false},
        {EllipseMode::Arc, 10, 10, false, false, false, false},
    };
    for (const Case& c : cases) {
        EllipseRaster shape = disc(c.mode);
        shape.ringWidth = 30;
        shape.startAngle = c.start;
        shape.endAngle = c.end;
        const Picture picture = render(shape, 100, 100);
        // Points at radius ~32 on the diagonals: inside every ring of width 30.
        const int on = 255;
        EXPECT_EQ(picture.alpha(73, 27), c.upperRight ? on : 0) << c.start << ".." << c.end;
        EXPECT_EQ(picture.alpha(27, 27), c.upperLeft ? on : 0) << c.start << ".." << c.end;
        EXPECT_EQ(picture.alpha(27, 73), c.lowerLeft ? on : 0) << c.start << ".." << c.end;
        EXPECT_EQ(picture.alpha(73, 73), c.lowerRight ? on : 0) << c.start << ".." << c.end;
    }
}

TEST(EllipseRaster, EqualAnglesDrawNothingAndAFullTurnDrawsEverything) {
    for (EllipseMode mode : {EllipseMode::Arc, EllipseMode::Pie}) {
        EllipseRaster shape = disc(mode);
        shape.startAngle = shape.endAngle = 45;
        const Picture empty = render(shape, 64, 48);
        for (std::uint32_t pixel : empty.pixels) {
            ASSERT_EQ(pixel, 0u);
        }
    }
    EllipseRaster pie = disc(EllipseMode::Pie);
    pie.startAngle = 30;
    pie.endAngle = 30 + 720;
    EXPECT_EQ(render(pie, 64, 48).pixels, render(disc(), 64, 48).pixels);
}

TEST(EllipseRaster, ArcKeepsOnlyTheRingPartOfItsSector) {
    EllipseRaster arc = disc(EllipseMode::Arc);
    arc.ringWidth = 10;
    arc.startAngle = 0;
    arc.endAngle = 90;
    const Picture picture = render(arc, 100, 100);
    EXPECT_EQ(picture.alpha(75, 25), 0);    // radius 35: inside the hole
    EXPECT_EQ(picture.alpha(81, 18), 255);  // radius 45 at 45 degrees
    EXPECT_EQ(picture.alpha(18, 18), 0);    // same radius, outside the sector
}

TEST(EllipseRaster, PieBorderRunsAlongTheStraightEdges) {
    EllipseRaster pie = disc(EllipseMode::Pie);
    pie.startAngle = 0;
    pie.endAngle = 90;
    pie.borderColor = kBlue;
    pie.borderWidth = 4;
    const Picture picture = render(pie, 100, 100);
    EXPECT_EQ(picture.at(75, 48), (Rgba{0, 0, 255, 255}));  // along the 0 degree edge
    EXPECT_EQ(picture.at(52, 25), (Rgba{0, 0, 255, 255}));  // along the 90 degree edge
    EXPECT_EQ(picture.at(65, 35), (Rgba{255, 0, 0, 255}));  // inside
}

TEST(EllipseRaster, FeatherSoftensTheOutsideInward) {
    EllipseRaster shape = disc();
    shape.feather = 10;
    const Picture picture = render(shape, 100, 100);
    int previous = 0;
    for (int row = 0; row <= 12; ++row) {
        const int alpha = picture.alpha(50, row);
        EXPECT_GE(alpha, previous) << "row " << row;
        previous = alpha;
    }
    EXPECT_LT(picture.alpha(50, 2), 128);
    EXPECT_EQ(picture.alpha(50, 12), 255);
    EXPECT_EQ(picture.at(50, 3).r, 255);  // soft in alpha only, colour unchanged
}

TEST(EllipseRaster, GradientsStartAtTheFillColour) {
    EllipseRaster radial = disc();
    radial.gradient = ShapeGradient::Radial;
    radial.gradientColor = kBlue;
    Picture picture = render(radial, 100, 100);
    EXPECT_GE(picture.at(50, 50).r, 250);
    EXPECT_GT(picture.at(50, 1).b, 240);

    EllipseRaster linear = disc();
    linear.gradient = ShapeGradient::Linear;
    linear.gradientColor = kBlue;
    picture = render(linear, 100, 100);
    EXPECT_GT(picture.at(1, 50).r, 245);
    EXPECT_GT(picture.at(98, 50).b, 245);
    linear.gradientAngle = -270;  // the same as 90: top to bottom
    picture = render(linear, 100, 100);
    EXPECT_GT(picture.at(50, 1).r, 245);
    EXPECT_GT(picture.at(50, 98).b, 245);
}

// ---------------------------------------------------------------------------------------
// Star

TEST(StarOutline, AlternatesTipsAndNotchesSetByTheShorterNeighbour) {
    EXPECT_EQ(starOutline(5, 0.5, {}), (std::vector<double>{1, 0.5, 1, 0.5, 1, 0.5, 1, 0.5, 1, 0.5}));
    EXPECT_EQ(starOutline(3, 0.5, {1.0f, 0.5f, 1.0f}), (std::vector<double>{1, 0.25, 0.5, 0.25, 1, 0.5}));
    EXPECT_EQ(starOutline(4, 0.75, {0.5f, 1.0f, 1.0f, 1.0f}),
              (std::vector<double>{0.5, 0.125, 1, 0.25, 1, 0.25, 1, 0.125}));
}

Picture renderStar(int points, double height, std::vector<float> lengths, int w, int h, SDL_Color color = kRed) {
    const std::vector<double> outline = starOutline(points, height, lengths);
    StarRaster shape;
    shape.outline = &outline;
    shape.color = color;
    shape.alpha = color.a;
    Picture picture(w, h);
    rasterizeStar(shape, picture.rows());
    return picture;
}

TEST(StarRaster, FirstPointIsStraightUp) {
    const Picture picture = renderStar(5, 0.5, {}, 100, 100);
    EXPECT_EQ(picture.at(50, 50), (Rgba{255, 0, 0, 255}));
    EXPECT_GT(picture.alpha(49, 3) + picture.alpha(50, 3), 0);  // the tip reaches the top middle
    EXPECT_EQ(picture.alpha(40, 3), 0);
    EXPECT_EQ(picture.alpha(60, 3), 0);
    EXPECT_EQ(picture.alpha(50, 96), 0);  // a notch, not a point, straight down
    EXPECT_EQ(picture.alpha(49, 5), picture.alpha(50, 5));  // symmetric about the vertical
    // Transparent pixels keep the star's colour.
    EXPECT_EQ(picture.at(0, 0), (Rgba{255, 0, 0, 0}));
}

TEST(StarRaster, StretchesWithItsBox) {
    const Picture picture = renderStar(4, 0.5, {}, 200, 100);
    EXPECT_GT(picture.alpha(197, 49) + picture.alpha(197, 50), 0);  // right point reaches x = 200
    EXPECT_GT(picture.alpha(2, 49) + picture.alpha(2, 50), 0);
    EXPECT_EQ(picture.alpha(170, 20), 0);
}

TEST(StarRaster, ShortPointsStopShort) {
    const Picture full = renderStar(4, 0.5, {}, 100, 100);
    const Picture shortTop = renderStar(4, 0.5, {0.5f, 1, 1, 1}, 100, 100);
    EXPECT_GT(full.alpha(50, 10), 0);
    EXPECT_EQ(shortTop.alpha(50, 10), 0);
    EXPECT_EQ(shortTop.alpha(50, 30), 255);
    EXPECT_EQ(shortTop.alpha(95, 50), full.alpha(95, 50));  // the right point is unchanged
}

TEST(StarRaster, AlphaCountsInsideSamples) {
    const Picture picture = renderStar(6, 0.3, {}, 64, 64, SDL_Color{10, 20, 30, 200});
    EXPECT_EQ(picture.at(32, 32), (Rgba{10, 20, 30, 200}));
    for (std::uint32_t value : picture.pixels) {
        const int alpha = static_cast<int>(value >> 24);
        // (200 n + 8) / 16 for some n in 0..16
        bool reachable = false;
        for (int n = 0; n <= 16; ++n) {
            reachable = reachable || alpha == (200 * n + 8) / 16;
        }
        ASSERT_TRUE(reachable) << alpha;
    }
}

// ---------------------------------------------------------------------------------------
// Row bands

TEST(RowBands, EveryRowIsWorkedExactlyOnce) {
    struct Case {
        int rows;
        std::int64_t cost;
    };
    const Case cases[] = {{1, 1}, {3, 1 << 20}, {7, 1 << 30}, {1000, 30000}, {1081, 1 << 16}};
    for (const Case& c : cases) {
        std::vector<std::atomic<int>> seen(c.rows);
        runRowBands(c.rows, c.cost, [&](int first, int end) {
            ASSERT_LE(0, first);
            ASSERT_LT(first, end);
            ASSERT_LE(end, c.rows);
            for (int row = first; row < end; ++row) {
                seen[row].fetch_add(1);
            }
        });
        for (int row = 0; row < c.rows; ++row) {
            ASSERT_EQ(seen[row].load(), 1) << "rows " << c.rows << " row " << row;
        }
    }
}

TEST(ShapeRasters, LargePicturesMatchTheSameRowsDrawnAlone) {
    // A tall picture is split over threads; a one-row-high window into it drawn on its own
    // (too small to split) must give the same pixels for the top row.
    RectangleRaster shape = box(600, 400, kRed);
    shape.radii[0] = 50;
    shape.blur = 3;
    shape.gradient = ShapeGradient::Linear;
    shape.gradientColor = kBlue;
    shape.gradientAngle = 30;
    Picture whole = render(shape);
    Picture topRow(600, 1);
    rasterizeRectangle(shape, topRow.rows());
    for (int x = 0; x < 600; ++x) {
        ASSERT_EQ(topRow.at(x, 0), whole.at(x, 0)) << x;
    }
}

}  // namespace
}  // namespace lumetta
