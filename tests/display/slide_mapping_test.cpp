#include "display/slide_mapping.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>

#include "core/process_state.h"

namespace lumetta {
namespace {

TEST(SlideMapping, FitsTheSlideAndTurnsBoxesAboutTheViewportCentre) {
    // A 400x200 slide on a 300x600 viewport offset by (10, 20); the box is the slide's
    // top-left quarter-width strip (0, 0, 100, 50).
    struct Case {
        int rotation;
        double scale;
        double centreX, centreY;  // the box's centre on the output
        double boundsW, boundsH;
        double angle;
    };
    const Case cases[] = {
        // Upright: 300/400 across, the slide letterboxed vertically.
        {0, 0.75, 10 + 150 - 112.5, 20 + 300 - 56.25, 75, 37.5, 0},
        // A quarter turn either way fits the slide's sides swapped: min(300/200, 600/400).
        {-90, 1.5, 10 + 150 + 112.5, 20 + 300 - 225, 75, 150, 90},
        {270, 1.5, 10 + 150 + 112.5, 20 + 300 - 225, 75, 150, -270},
        {90, 1.5, 10 + 150 - 112.5, 20 + 300 + 225, 75, 150, -90},
        {-180, 0.75, 10 + 150 + 112.5, 20 + 300 + 56.25, 75, 37.5, 180},
        {360, 0.75, 10 + 150 - 112.5, 20 + 300 - 56.25, 75, 37.5, -360},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rotation);
        const SlideMapping mapping({10, 20, 300, 600}, c.rotation, 400, 200);
        ASSERT_TRUE(mapping.usable());
        EXPECT_EQ(mapping.scale(), c.scale);
        EXPECT_EQ(mapping.angle(), c.angle);
        const OutputBox box = mapping.box(0, 0, 100, 50);
        // Quarter turns are exact: no trace of a sine left in the centre.
        EXPECT_EQ(box.centreX, c.centreX);
        EXPECT_EQ(box.centreY, c.centreY);
        EXPECT_EQ(box.width, 100 * c.scale);
        EXPECT_EQ(box.height, 50 * c.scale);
        const OutputRect bounds = mapping.bounds(box);
        EXPECT_EQ(bounds.w, c.boundsW);
        EXPECT_EQ(bounds.h, c.boundsH);
        EXPECT_EQ(bounds.x, c.centreX - c.boundsW / 2);
        EXPECT_EQ(bounds.y, c.centreY - c.boundsH / 2);
    }
}

TEST(SlideMapping, OtherAnglesTurnByTrigonometry) {
    const SlideMapping mapping({0, 0, 200, 200}, -45, 200, 200);
    const OutputPoint corner = mapping.point(200, 100);  // the middle of the right edge
    EXPECT_NEAR(corner.x, 100 + 100 / std::sqrt(2.0), 1e-9);
    EXPECT_NEAR(corner.y, 100 + 100 / std::sqrt(2.0), 1e-9);
}

TEST(SlideMapping, NothingToMapWithoutAreaOnEitherSide) {
    const struct {
        SDL_Rect viewport;
        int slideWidth, slideHeight;
    } cases[] = {{{0, 0, 0, 100}, 100, 100}, {{0, 0, 100, -1}, 100, 100}, {{0, 0, 100, 100}, 0, 100},
                 {{0, 0, 100, 100}, 100, -5}};
    for (const auto& c : cases) {
        const SlideMapping mapping(c.viewport, 0, c.slideWidth, c.slideHeight);
        EXPECT_FALSE(mapping.usable());
        EXPECT_EQ(mapping.scale(), 0);
    }
}

TEST(SlideMapping, RoundedRectKeepsAtLeastAPixelAndSaturates) {
    const struct {
        OutputBox box;
        SDL_Rect expected;
    } cases[] = {
        {{50, 50, 10, 10}, {45, 45, 10, 10}},
        {{50.5, 50.5, 10.5, 9.5}, {45, 46, 11, 10}},     // halves round away from zero
        {{0.5, 0.5, 0.2, 0.2}, {0, 0, 1, 1}},              // never below one pixel
        {{-1e12, 1e12, 1e12, 5}, {INT_MIN, INT_MAX, INT_MAX, 5}},
        {{std::nan(""), 0, 4, 4}, {0, -2, 4, 4}},
    };
    for (const auto& c : cases) {
        const SDL_Rect r = roundedRect(c.box);
        EXPECT_EQ(r.x, c.expected.x);
        EXPECT_EQ(r.y, c.expected.y);
        EXPECT_EQ(r.w, c.expected.w);
        EXPECT_EQ(r.h, c.expected.h);
    }
}

TEST(SlideMapping, ReadsTheRenderersViewportAndTheDisplayRotation) {
    SDL_Surface* target = SDL_CreateSurface(64, 48, SDL_PIXELFORMAT_RGBA32);
    ASSERT_NE(target, nullptr) << SDL_GetError();
    SDL_Renderer* renderer = SDL_CreateSoftwareRenderer(target);
    ASSERT_NE(renderer, nullptr) << SDL_GetError();
    const int savedRotation = displayRotation.exchange(-90);

    const SlideMapping whole = SlideMapping::forRenderer(renderer, 48, 64);
    EXPECT_EQ(whole.rotation(), -90);
    EXPECT_EQ(whole.viewport().w, 64);
    EXPECT_EQ(whole.viewport().h, 48);
    EXPECT_EQ(whole.scale(), 1.0);

    const SDL_Rect part{4, 6, 32, 24};
    ASSERT_TRUE(SDL_SetRenderViewport(renderer, &part));
    displayRotation = 0;
    const SlideMapping inside = SlideMapping::forRenderer(renderer, 48, 64);
    EXPECT_EQ(inside.rotation(), 0);
    EXPECT_EQ(inside.viewport().x, 4);
    EXPECT_EQ(inside.viewport().y, 6);
    EXPECT_EQ(inside.viewport().w, 32);
    EXPECT_EQ(inside.scale(), 24.0 / 64);

    displayRotation = savedRotation;
    SDL_DestroyRenderer(renderer);
    SDL_DestroySurface(target);
}

}  // namespace
}  // namespace lumetta
