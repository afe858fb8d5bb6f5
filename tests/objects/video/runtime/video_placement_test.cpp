#include "objects/video/runtime/video_placement.h"

#include <gtest/gtest.h>

#include <climits>

namespace lumetta {
namespace {

std::string text(const SDL_Rect& r) {
    return std::to_string(r.x) + "," + std::to_string(r.y) + " " + std::to_string(r.w) + "x" + std::to_string(r.h);
}

TEST(VideoPlacement, RotationsPlaceTheBoxAndLetterboxThePicture) {
    struct Case {
        int rotation;
        std::string fill;
        std::string picture;
        double angle;
    };
    // A 320x180 output and slide; the layer is the left half; the picture is 160x120.
    const std::vector<Case> cases = {
        {0, "0,0 160x180", "0,30 160x120", 0},
        {360, "0,0 160x180", "0,30 160x120", 0},
        {180, "160,0 160x180", "160,30 160x120", 180},
        {-180, "160,0 160x180", "160,30 160x120", 180},
        // Quarter turns: the slide is seen as 180x320, the box is 101 x 90 on the output, the
        // picture rectangle is the unturned one and stays inside the box once turned.
        {90, "109,90 101x90", "115,101 90x68", 270},
        {270, "109,0 101x90", "115,10 90x68", 90},
        {-90, "109,0 101x90", "115,10 90x68", 90},
    };
    for (const Case& c : cases) {
        const VideoPlacement placement = placeVideo({0, 0, 320, 180}, 320, 180, {0, 0, 160, 180}, c.rotation, 160, 120);
        EXPECT_EQ(text(placement.fill), c.fill) << c.rotation;
        EXPECT_EQ(text(placement.picture), c.picture) << c.rotation;
        EXPECT_EQ(placement.angle, c.angle) << c.rotation;
        EXPECT_TRUE(placement.hasPicture);
    }
}

// Odd room beside or above the picture: the smaller half before it, the larger after it.
TEST(VideoPlacement, OddLetterboxSlackSplitsFloorThenCeiling) {
    const struct {
        SDL_Rect layer;
        std::string picture;
    } cases[] = {
        {{0, 0, 103, 100}, "1,0 100x100"},   // 3 columns spare: 1 left, 2 right
        {{0, 0, 100, 103}, "0,1 100x100"},   // 3 rows spare: 1 above, 2 below
        {{10, 20, 101, 100}, "10,20 100x100"},  // 1 column spare: all of it on the right
    };
    for (const auto& c : cases) {
        const VideoPlacement placement = placeVideo({0, 0, 320, 180}, 320, 180, c.layer, 0, 100, 100);
        EXPECT_EQ(text(placement.picture), c.picture) << text(c.layer);
    }
}

TEST(VideoPlacement, ViewportOffsetsAndNoPicture) {
    const VideoPlacement placement = placeVideo({10, 20, 640, 360}, 1920, 1080, {960, 540, 960, 540}, 0, 0, 0);
    EXPECT_EQ(text(placement.fill), "330,200 320x180");
    EXPECT_FALSE(placement.hasPicture);

    // Tiny boxes and pictures never shrink below one pixel.
    const VideoPlacement tiny = placeVideo({0, 0, 100, 100}, 100000, 100000, {0, 0, 1, 1}, 0, 4000, 1);
    EXPECT_EQ(tiny.fill.w, 1);
    EXPECT_EQ(tiny.fill.h, 1);
    EXPECT_EQ(tiny.picture.w, 1);
    EXPECT_EQ(tiny.picture.h, 1);
}

TEST(VideoPlacement, ExtremeLayerValuesClampInsteadOfOverflowing) {
    const SDL_Rect view{0, 0, 1920, 1080};
    for (const int rotation : {0, 90, 180, 270}) {
        SCOPED_TRACE(rotation);
        // slide width - x - w alone would overflow a 32-bit int here.
        const VideoPlacement far = placeVideo(view, INT_MAX, INT_MAX, {INT_MIN, INT_MIN, INT_MAX, INT_MAX}, rotation,
                                              1920, 1080);
        EXPECT_GE(far.fill.w, 1);
        EXPECT_GE(far.fill.h, 1);
        EXPECT_GE(far.picture.w, 1);

        const VideoPlacement huge = placeVideo(view, 1, 1, {INT_MAX, INT_MAX, INT_MAX, INT_MAX}, rotation, 1920, 1080);
        EXPECT_EQ(huge.fill.w, INT_MAX);
        EXPECT_EQ(huge.fill.h, INT_MAX);
    }
    const VideoPlacement right = placeVideo(view, 1, 1, {INT_MAX, 0, INT_MAX, 1}, 0, 16, 9);
    EXPECT_EQ(right.fill.x, INT_MAX) << "far right stays far right instead of wrapping negative";
    const VideoPlacement turned = placeVideo(view, 1, 1, {-INT_MAX, 0, INT_MAX, 1}, 180, 16, 9);
    EXPECT_GT(turned.fill.x, 0) << "slide width - x - w is large and positive, not wrapped";
}

// The bars are the box less the turned picture; a quarter turn that puts the picture's edges
// between pixels has none (the whole box is filled instead).
TEST(VideoPlacement, LetterboxBarsAroundTheTurnedPicture) {
    const auto bars = [](const VideoPlacement& placement) {
        const std::optional<LetterboxBars> found = letterboxBars(placement);
        if (!found) return std::string("none");
        std::string out;
        for (int i = 0; i < found->count; ++i) out += (i > 0 ? " | " : "") + text(found->rects[i]);
        return out;
    };
    const struct {
        SDL_Rect fill, picture;
        double angle;
        std::string expected;
    } cases[] = {
        {{0, 0, 160, 180}, {0, 30, 160, 120}, 0, "0,0 160x30 | 0,150 160x30"},
        {{0, 0, 160, 180}, {0, 30, 160, 120}, 180, "0,0 160x30 | 0,150 160x30"},
        {{10, 20, 300, 100}, {77, 20, 133, 100}, 0, "10,20 67x100 | 210,20 100x100"},
        {{0, 0, 100, 100}, {0, 0, 100, 100}, 0, ""},
        // Turned a quarter about its centre (115+45, 101+34), the 90x68 picture covers 68x90.
        {{109, 90, 101, 90}, {115, 101, 90, 68}, 270, "109,90 17x90 | 194,90 16x90"},
        {{109, 90, 101, 90}, {115, 101, 90, 67}, 90, "none"},
        // A picture reaching past the box leaves no negative bar.
        {{0, 0, 50, 50}, {-10, 10, 70, 20}, 0, "0,0 50x10 | 0,30 50x20"},
    };
    for (const auto& c : cases) {
        VideoPlacement placement;
        placement.fill = c.fill;
        placement.picture = c.picture;
        placement.angle = c.angle;
        placement.hasPicture = true;
        EXPECT_EQ(bars(placement), c.expected) << text(c.picture) << " at " << c.angle;
    }
    EXPECT_EQ(bars(VideoPlacement{}), "none");
}

}  // namespace
}  // namespace lumetta
