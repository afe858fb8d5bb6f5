#include "objects/shape_placement.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>

namespace lumetta {
namespace {

ShapePlacementInput input(int outW, int outH, int slideW, int slideH, SDL_Rect box) {
    ShapePlacementInput in;
    in.outputWidth = outW;
    in.outputHeight = outH;
    in.slideWidth = slideW;
    in.slideHeight = slideH;
    in.box = box;
    return in;
}

TEST(ShapePlacement, MapsTheBoxOntoTheOutput) {
    struct Case {
        const char* name;
        ShapePlacementInput in;
        SDL_FRect expected;
        double angle;
    };
    ShapePlacementInput plain = input(320, 240, 320, 240, {10, 20, 30, 40});
    plain.angle = 15;
    ShapePlacementInput offsets = plain;
    offsets.offsetX = -10;
    offsets.offsetY = 5;
    const ShapePlacementInput letterboxed = input(960, 1080, 1920, 1080, {0, 0, 1920, 1080});
    ShapePlacementInput turned = input(240, 320, 320, 240, {0, 0, 40, 30});
    turned.rotation = -90;
    ShapePlacementInput upsideDown = input(320, 240, 320, 240, {0, 0, 40, 30});
    upsideDown.rotation = -180;
    ShapePlacementInput threeQuarters = input(240, 320, 320, 240, {0, 0, 40, 30});
    threeQuarters.rotation = -270;
    ShapePlacementInput margin = input(160, 120, 320, 240, {100, 50, 40, 40});
    margin.margin = 12;
    ShapePlacementInput viewport = input(640, 480, 320, 240, {0, 0, 320, 240});
    viewport.viewport = {100, 50, 320, 240};
    ShapePlacementInput tiny = input(32, 24, 320, 240, {0, 0, 3, 3});
    const Case cases[] = {
        {"plain", plain, {10, 20, 30, 40}, 15},
        {"offsets", offsets, {0, 25, 30, 40}, 15},
        {"letterboxed", letterboxed, {0, 270, 960, 540}, 0},
        {"rotation -90", turned, {205, 5, 40, 30}, 90},
        {"rotation -180", upsideDown, {280, 210, 40, 30}, 180},
        {"rotation -270", threeQuarters, {-5, 285, 40, 30}, 270},
        {"shadow margin", margin, {44, 19, 32, 32}, 0},
        {"viewport", viewport, {100, 50, 320, 240}, 0},
        {"at least one pixel", tiny, {0, 0, 1, 1}, 0},
    };
    for (const Case& c : cases) {
        const auto placement = placeShape(c.in);
        ASSERT_TRUE(placement.has_value()) << c.name;
        EXPECT_FLOAT_EQ(placement->destination.x, c.expected.x) << c.name;
        EXPECT_FLOAT_EQ(placement->destination.y, c.expected.y) << c.name;
        EXPECT_FLOAT_EQ(placement->destination.w, c.expected.w) << c.name;
        EXPECT_FLOAT_EQ(placement->destination.h, c.expected.h) << c.name;
        EXPECT_FLOAT_EQ(placement->centre.x, c.expected.w / 2) << c.name;
        EXPECT_FLOAT_EQ(placement->centre.y, c.expected.h / 2) << c.name;
        EXPECT_DOUBLE_EQ(placement->angle, c.angle) << c.name;
    }
}

TEST(ShapePlacement, NothingWhenThereIsNothingToFit) {
    EXPECT_FALSE(placeShape(input(0, 240, 320, 240, {0, 0, 10, 10})));
    EXPECT_FALSE(placeShape(input(320, 0, 320, 240, {0, 0, 10, 10})));
    EXPECT_FALSE(placeShape(input(320, 240, 0, 240, {0, 0, 10, 10})));
    EXPECT_FALSE(placeShape(input(320, 240, 320, -1, {0, 0, 10, 10})));
    EXPECT_FALSE(placeShape(input(320, 240, 320, 240, {0, 0, 0, 10})));
}

TEST(ShapePlacement, ExtremePositionsAndOffsetsSaturateInsteadOfOverflowing) {
    struct Case {
        SDL_Rect box;
        int offsetX, offsetY;
        double outW;
        bool positive;
    };
    const Case cases[] = {
        {{INT_MAX - 100, INT_MAX - 100, 1000, 1000}, INT_MAX, INT_MAX, 320, true},
        {{INT_MIN + 10, INT_MIN + 10, 1000, 1000}, INT_MIN, INT_MIN, 320, false},
        {{INT_MAX, 0, INT_MAX, 10}, INT_MAX, 0, 3200, true},
    };
    for (const Case& c : cases) {
        ShapePlacementInput in = input(static_cast<int>(c.outW), 240, 320, 240, c.box);
        in.offsetX = c.offsetX;
        in.offsetY = c.offsetY;
        in.margin = 1000;
        const auto placement = placeShape(in);
        ASSERT_TRUE(placement.has_value());
        const SDL_FRect d = placement->destination;
        ASSERT_TRUE(std::isfinite(d.x) && std::isfinite(d.y) && std::isfinite(d.w) && std::isfinite(d.h));
        if (c.positive) {
            EXPECT_GT(d.x, 2.0e9f);
        } else {
            EXPECT_LT(d.x, -2.0e9f);
        }
        EXPECT_GE(d.w, 1.0f);
        EXPECT_LE(d.w, 2.0f * static_cast<float>(INT_MAX) + 1.0e10f);
    }
}

}  // namespace
}  // namespace lumetta
